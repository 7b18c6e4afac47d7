// The accounts' cookies synced from CookieCloud, the same for `vesprey-cli cookiecloud`,
// `sign --cookiecloud` and the window's "签到前同步 Cookie": where the server is and how to open
// its data (Setting rows of Sign.db), what the browser's cookies would change in each account
// (names only), and those changes written into WebCookie.
//
// The download runs on any thread (fetchCookieCloud); planning and writing use the open Sign.db
// and belong to the thread that owns it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/cookie_cloud.h"
#include "model/site.h"
#include "store/site_database.h"
#include "text/text.h"

namespace vesprey {

// The Setting rows: the server's address, the UUID (the extension's "用户KEY") and the password
// (its "端对端加密密码"), code page 936 as every Setting; and whether the window syncs before its
// passes ("1" when it does).
inline constexpr std::string_view kCookieCloudUrlSetting = "CookieCloudUrl";
inline constexpr std::string_view kCookieCloudUuidSetting = "CookieCloudUuid";
inline constexpr std::string_view kCookieCloudPasswordSetting = "CookieCloudPassword";
inline constexpr std::string_view kCookieCloudBeforePassSetting = "CookieCloudBeforePass";

// The settings as Sign.db holds them (UTF-8); a missing row is empty.
CookieCloudAccess readCookieCloudAccess(SqlDatabase& db);
// Keeps the parts given; the first row that cannot be written ends it with why.
WriteResult writeCookieCloudAccess(SqlDatabase& db, const std::optional<std::string>& url,
                                   const std::optional<std::string>& uuid,
                                   const std::optional<std::string>& password);

// What the browser's cookies do to one account.
struct AccountCookieSync {
    std::size_t row = 0;  // in the list
    int cid = 0;
    Text site;  // the template's name
    Text read;  // the account's cookie as the list held it
    CookieMerge merge;
    std::size_t offered = 0;  // the browser's cookies for its address
    // Several accounts of this host hold different cookies: the browser is logged in as one of
    // them at most, and none is changed.
    bool shared = false;
    bool changes() const { return !shared && merge.differs(); }
};

struct CookieCloudSync {
    CookieCloudFailure failure;
    std::vector<AccountCookieSync> accounts;  // every account with a cookie row, in list order
    std::size_t cookies = 0;                  // the cookies the data holds
    std::size_t changing() const;             // accounts whose cookie changes
};

// Each account of `sites` that has a WebCookie row, its cookie merged with the cookies a browser
// would send to its sign-in address at `nowUnix`. A failure of the data is carried over and no
// account is listed.
CookieCloudSync planCookieCloudSync(const CookieCloudData& data, const SiteList& sites,
                                    double nowUnix);

// The current time in Unix seconds, as the browser's expiry dates count.
double unixNow();

// Writes the accounts whose cookie changes, in one transaction, each only where its row still
// holds the cookie that was read (saveCookies).
CookieSaveResult applyCookieCloudSync(SqlDatabase& db, const CookieCloudSync& sync);

// "甲站（账号 3）、乙站（账号 5）" for the accounts of `cids`, in list order.
Text syncedAccountsText(const CookieCloudSync& sync, const std::vector<int>& cids);

// The accounts left as they were because several of their host hold different cookies:
// "同一网站有几个账号、Cookie 各不相同，不知道浏览器登录的是哪一个，没有同步：甲站（账号 3、4）";
// empty when there are none.
Text sharedAccountsText(const CookieCloudSync& sync);

}  // namespace vesprey
