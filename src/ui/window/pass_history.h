// What the window keeps of its passes in History.db beside Sign.db (store/history.h): the rows
// of every finished pass, and what the captures and the last passes tell of each account's
// cookie, for the list's warning marks and the pushed summary's expiry line. Plain functions
// over the store, called on the window thread.
#pragma once

#include <QDateTime>
#include <QString>
#include <filesystem>
#include <map>
#include <optional>
#include <vector>

#include "engine/sign_in_run.h"
#include "store/history.h"

namespace vesprey::ui {

// Appends the rows to History.db beside `database`, making the file on first use.
WriteResult writePassHistory(const std::filesystem::path& database,
                             const std::vector<HistoryEntry>& rows);

// Keeps what a capture knew of the account's cookie: `expires` (any time zone) is the earliest
// expiry of the captured cookies, stored with the time of capture. An invalid `expires` (only
// session cookies, or a cookie typed by hand) forgets what was known; nothing is made for that.
WriteResult recordCookieExpiry(const std::filesystem::path& database, int cid,
                               const QDateTime& expires);

// A cookie that runs out within this many days, or has run out, is marked in the list.
inline constexpr int kCookieMarkDays = 7;

// What History.db knows of the accounts' cookies; nothing when the file is missing or cannot be
// read: the marks are a hint, and a pass that cannot write the file says so itself.
CookieHealth readCookieHealth(const std::filesystem::path& database);

// The account's warning as of `now`, or an empty text when its cookie looks sound:
// "最近两次签到都是 Cookie失效", "Cookie 已过期", or "Cookie 将于 yyyy-MM-dd 过期" within
// kCookieMarkDays days.
QString cookieWarning(const CookieHealth& health, int cid, double now);

}  // namespace vesprey::ui
