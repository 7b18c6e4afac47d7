#include "session/digest.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "engine/sign_in_run.h"
#include "store/history.h"
#include "text/gbk_text.h"

namespace vesprey {
namespace {

// A failure's words in the digest are cut to this many characters.
constexpr std::size_t kFailureCharacters = 60;

bool wentWell(std::string_view verdict) {
    return verdict == "success" || verdict == "already";
}

bool needsUser(std::string_view verdict) {
    return verdict == "failed" || verdict == "expired";
}

// "yyyy-MM-dd HH:mm:ss" as a date-time; nothing when it is not one.
std::optional<double> storedTime(std::string_view text) {
    int parts[6] = {};
    constexpr std::size_t kAt[6] = {0, 5, 8, 11, 14, 17};
    constexpr std::size_t kDigits[6] = {4, 2, 2, 2, 2, 2};
    if (text.size() < 19) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < 6; ++i) {
        int value = 0;
        for (std::size_t d = 0; d < kDigits[i]; ++d) {
            const char c = text[kAt[i] + d];
            if (c < '0' || c > '9') {
                return std::nullopt;
            }
            value = value * 10 + (c - '0');
        }
        parts[i] = value;
    }
    return makeDateTime(parts[0], parts[1], parts[2], parts[3], parts[4], parts[5]);
}

// "12-09" of a stored time or day.
Text monthDay(const Text& time) {
    return time.size() >= 10 ? time.substr(5, 5) : time;
}

// "2026-12-11 08:12" of a stored time.
Text minuteOf(const Text& time) {
    return time.substr(0, 16);
}

// A text of History.db on one line of a push, cut short.
Text oneLine(const Text& text) {
    std::string line(text);
    std::replace_if(
        line.begin(), line.end(), [](char c) { return c == '\r' || c == '\n' || c == '\t'; }, ' ');
    return gbk::shortened(gbk::trimSpaces(line), kFailureCharacters);
}

}  // namespace

ReadResult readDigest(const std::filesystem::path& siteDatabase, int days, double now,
                      Digest& digest) {
    digest = Digest{};
    digest.days = days;
    const std::vector<Text> window = historyDays(days, now);
    digest.firstDay = window.front();
    digest.lastDay = window.back();
    if (!HistoryDatabase::exists(siteDatabase)) {
        digest.silentDays = -1;
        return {};
    }
    HistoryDatabase history;
    std::optional<Text> first;
    std::vector<HistoryEntry> rows;
    std::map<int, CookieExpiry> expiries;
    ReadResult read = history.open(siteDatabase);
    if (read.ok()) {
        read = history.readPassSpan(first, digest.lastPass);
    }
    if (read.ok()) {
        read = history.readDays(days, now, rows);
    }
    if (read.ok()) {
        read = history.readCookieExpiries(expiries);
    }
    if (!read.ok()) {
        digest = Digest{};
        return read;
    }
    if (!digest.lastPass) {
        digest.silentDays = -1;
    } else if (const std::optional<double> last = storedTime(*digest.lastPass)) {
        const double idle = now - *last;
        if (idle > kDigestSilenceDays) {
            digest.silentDays = static_cast<int>(std::floor(idle));
        }
    }

    const Text today = window.back();
    std::set<Text> passDays;
    for (const HistoryEntry& row : rows) {
        passDays.insert(row.time.substr(0, 10));
    }
    const Text earliestPass = rows.empty() ? Text{} : rows.front().time;
    const Text historyBegins = first ? first->substr(0, 10) : Text{};
    std::map<std::pair<int, int>, DigestAccount> accounts;
    std::map<std::pair<int, int>, Text> firstSeen;
    std::map<std::pair<int, int>, std::set<Text>> signedOn;
    for (const HistoryEntry& row : rows) {
        if (row.cid == 0) {
            continue;  // a site without an account: nothing to sign
        }
        const std::pair<int, int> key{row.templateId, row.cid};
        DigestAccount& account = accounts[key];
        account.templateId = row.templateId;
        account.cid = row.cid;
        account.site = row.site;
        firstSeen.try_emplace(key, row.time);
        if (wentWell(row.verdict)) {
            signedOn[key].insert(row.time.substr(0, 10));
        }
        if (needsUser(row.verdict)) {
            ++account.failures;
            account.lastFailure = row;
        }
        if (row.verdict != "skipped") {
            account.lastSigned = row.time;
        }
    }
    for (auto& [key, account] : accounts) {
        const Text& seen = firstSeen[key];
        // Passes in the window went without it: it was added since.
        Text start =
            earliestPass < seen ? seen.substr(0, 10) : std::max(window.front(), historyBegins);
        for (const Text& day : window) {
            if (day >= start && (day < today || passDays.count(today) != 0)) {
                ++account.dueDays;
            }
        }
        account.signedDays = static_cast<int>(signedOn[key].size());
        if (const auto expiry = expiries.find(account.cid); expiry != expiries.end()) {
            const std::optional<int> left = cookieDaysLeft(expiry->second.expires, now);
            if (left && *left <= days) {
                account.cookie = left;
            }
        }
        digest.accounts.push_back(std::move(account));
    }
    return {};
}

Text digestTitle(const Digest& digest) {
    return utf8ToAnsi("签到摘要（最近 " + std::to_string(digest.days) + " 天）");
}

std::vector<Text> digestLines(const Digest& digest) {
    std::vector<Text> lines;
    if (digest.silentDays && !digest.lastPass) {
        lines.push_back(
            utf8ToAnsi("还没有任何签到记录：请检查定时签到是否开着（vesprey-cli sign）"));
    } else if (digest.silentDays) {
        lines.push_back(utf8ToAnsi("已经超过 " + std::to_string(*digest.silentDays) +
                                   " 天没有签到了：最近一次签到在 ") +
                        minuteOf(*digest.lastPass) + utf8ToAnsi("，请检查定时签到是否还在运行"));
    }
    Text window = utf8ToAnsi("最近 " + std::to_string(digest.days) + " 天（") + digest.firstDay +
                  utf8ToAnsi(" 至 ") + digest.lastDay + utf8ToAnsi("）");
    if (digest.accounts.empty()) {
        lines.push_back(window + utf8ToAnsi("没有账号的签到记录"));
        return lines;
    }
    window += utf8ToAnsi("：" + std::to_string(digest.accounts.size()) + " 个账号");
    if (digest.lastPass) {
        window += utf8ToAnsi("，最近一次签到在 ") + minuteOf(*digest.lastPass);
    }
    lines.push_back(window);
    for (const DigestAccount& account : digest.accounts) {
        Text line = account.site + utf8ToAnsi("（账号 " + std::to_string(account.cid) +
                                              "）：签到 " + std::to_string(account.signedDays) +
                                              "/" + std::to_string(account.dueDays) + " 天");
        if (account.failures > 0) {
            const HistoryEntry& failure = account.lastFailure;
            const Text& words = failure.reason.empty() ? failure.result : failure.reason;
            line += utf8ToAnsi("；失效或失败 " + std::to_string(account.failures) + " 次，最近 ") +
                    monthDay(failure.time) +
                    utf8ToAnsi(failure.verdict == "expired" ? " 失效" : " 失败");
            if (!words.empty()) {
                line += utf8ToAnsi("：") + oneLine(words);
            }
        }
        if (account.cookie) {
            line += *account.cookie < 0 ? utf8ToAnsi("；Cookie 已过期")
                    : *account.cookie == 0
                        ? utf8ToAnsi("；Cookie 今天过期")
                        : utf8ToAnsi("；Cookie " + std::to_string(*account.cookie) + " 天后过期");
        }
        if (account.lastSigned.empty()) {
            line += utf8ToAnsi("；这几天都跳过了（没有 Cookie 或缺少输入）");
        } else if (!digest.lastPass || account.lastSigned != *digest.lastPass) {
            line += utf8ToAnsi("；最近一次签到在 ") + monthDay(account.lastSigned);
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

}  // namespace vesprey
