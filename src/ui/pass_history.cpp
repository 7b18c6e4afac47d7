#include "ui/pass_history.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "engine/verdict.h"
#include "ui/qt_text.h"

namespace vesprey::ui {

WriteResult writePassHistory(const std::filesystem::path& database,
                             const std::vector<HistoryEntry>& rows) {
    HistoryDatabase history;
    WriteResult written = history.create(database);
    if (written) {
        written = history.appendPass(rows);
    }
    return written;
}

CookieHealth readCookieHealth(const std::filesystem::path& database) {
    CookieHealth health;
    vesprey::readCookieHealth(database, health);  // a file that cannot be read counts as empty
    return health;
}

QString cookieWarning(const CookieHealth& health, int cid, double now) {
    if (cid == 0) {
        return {};
    }
    if (expiredTwice(health, cid)) {
        return QStringLiteral("最近两次签到都是 Cookie失效");
    }
    const auto expiry = health.expiries.find(cid);
    if (expiry == health.expiries.end()) {
        return {};
    }
    const std::optional<int> days = vesprey::cookieDaysLeft(expiry->second.expires, now);
    if (!days || *days > kCookieMarkDays) {
        return {};
    }
    if (*days < 0) {
        return QStringLiteral("Cookie 已过期");
    }
    return QStringLiteral("Cookie 将于 %1 过期")
        .arg(fromAnsi(expiry->second.expires.substr(0, 10)));
}

}  // namespace vesprey::ui
