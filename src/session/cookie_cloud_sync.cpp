#include "session/cookie_cloud_sync.h"

#include <algorithm>
#include <chrono>
#include <map>

namespace vesprey {
namespace {

std::string settingText(SqlDatabase& db, std::string_view name) {
    const std::optional<Text> value = readSetting(db, name);
    return value ? ansiToUtf8(*value) : std::string();
}

}  // namespace

CookieCloudAccess readCookieCloudAccess(SqlDatabase& db) {
    CookieCloudAccess access;
    access.url = settingText(db, kCookieCloudUrlSetting);
    access.uuid = settingText(db, kCookieCloudUuidSetting);
    access.password = settingText(db, kCookieCloudPasswordSetting);
    return access;
}

WriteResult writeCookieCloudAccess(SqlDatabase& db, const std::optional<std::string>& url,
                                   const std::optional<std::string>& uuid,
                                   const std::optional<std::string>& password) {
    WriteResult written;
    written.done = true;
    for (const auto& [name, value] :
         {std::pair{kCookieCloudUrlSetting, &url}, std::pair{kCookieCloudUuidSetting, &uuid},
          std::pair{kCookieCloudPasswordSetting, &password}}) {
        if (*value) {
            written = writeSetting(db, name, utf8ToAnsi(**value));
            if (!written) {
                return written;
            }
        }
    }
    return written;
}

std::size_t CookieCloudSync::changing() const {
    return static_cast<std::size_t>(
        std::count_if(accounts.begin(), accounts.end(),
                      [](const AccountCookieSync& account) { return account.changes(); }));
}

CookieCloudSync planCookieCloudSync(const CookieCloudData& data, const SiteList& sites,
                                    double nowUnix) {
    CookieCloudSync sync;
    sync.failure = data.failure;
    if (data.failure) {
        return sync;
    }
    sync.cookies = data.cookies.size();
    // The cookies the accounts of each host hold, to find hosts whose accounts differ.
    std::map<std::string, std::vector<const Text*>> held;
    for (std::size_t row = 0; row < sites.size(); ++row) {
        const SiteTemplate& site = sites[row];
        if (site.Cid == 0) {
            continue;
        }
        AccountCookieSync account;
        account.row = row;
        account.cid = site.Cid;
        account.site = site.WebName;
        account.read = site.Cookie;
        const CookieChoice choice = cookiesForAddress(data.cookies, site.WebLink, nowUnix);
        account.offered = choice.sent.size();
        account.merge = mergeCloudCookies(site.Cookie, choice);
        sync.accounts.push_back(std::move(account));
        held[cookieHost(site.WebLink)].push_back(&site.Cookie);
    }
    for (AccountCookieSync& account : sync.accounts) {
        const std::vector<const Text*>& cookies = held[cookieHost(sites[account.row].WebLink)];
        account.shared = std::any_of(cookies.begin(), cookies.end(), [&](const Text* cookie) {
            return *cookie != *cookies.front();
        });
    }
    return sync;
}

double unixNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

CookieSaveResult applyCookieCloudSync(SqlDatabase& db, const CookieCloudSync& sync) {
    std::vector<CookieUpdate> updates;
    for (const AccountCookieSync& account : sync.accounts) {
        if (account.changes()) {
            updates.push_back({account.cid, account.read, account.merge.cookie});
        }
    }
    if (updates.empty()) {
        CookieSaveResult none;
        none.written.done = true;
        return none;
    }
    return saveCookies(db, updates);
}

Text syncedAccountsText(const CookieCloudSync& sync, const std::vector<int>& cids) {
    // Site by site in list order, the accounts of each in brackets.
    std::vector<std::pair<Text, Text>> named;
    for (const AccountCookieSync& account : sync.accounts) {
        if (std::find(cids.begin(), cids.end(), account.cid) == cids.end()) {
            continue;
        }
        auto at = std::find_if(named.begin(), named.end(),
                               [&](const auto& entry) { return entry.first == account.site; });
        if (at == named.end()) {
            named.emplace_back(account.site, Text{});
            at = std::prev(named.end());
        }
        at->second += (at->second.empty() ? utf8ToAnsi("账号 ") : utf8ToAnsi("、")) +
                      std::to_string(account.cid);
    }
    Text text;
    for (const auto& [site, accounts] : named) {
        text += (text.empty() ? Text{} : utf8ToAnsi("、")) + site + utf8ToAnsi("（") + accounts +
                utf8ToAnsi("）");
    }
    return text;
}

Text sharedAccountsText(const CookieCloudSync& sync) {
    std::vector<int> cids;
    for (const AccountCookieSync& account : sync.accounts) {
        if (account.shared && account.merge.differs()) {
            cids.push_back(account.cid);
        }
    }
    if (cids.empty()) {
        return {};
    }
    return utf8ToAnsi(
               "同一网站有几个账号、Cookie 各不相同，不知道浏览器登录的是哪一个，没有同步：") +
           syncedAccountsText(sync, cids);
}

}  // namespace vesprey
