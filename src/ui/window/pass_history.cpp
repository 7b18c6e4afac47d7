#include "ui/window/pass_history.h"

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

WriteResult recordCookieExpiry(const std::filesystem::path& database, int cid,
                               const QDateTime& expires) {
    HistoryDatabase history;
    if (!expires.isValid()) {
        if (!HistoryDatabase::exists(database)) {
            WriteResult nothingKept;
            nothingKept.done = true;
            return nothingKept;
        }
        const WriteResult opened = history.create(database);
        return opened ? history.removeCookieExpiry(cid) : opened;
    }
    const QDateTime local = expires.toLocalTime();
    const double expiry =
        makeDateTime(local.date().year(), local.date().month(), local.date().day(),
                     local.time().hour(), local.time().minute(), local.time().second());
    WriteResult written = history.create(database);
    if (written) {
        written = history.saveCookieExpiry({cid, historyTime(expiry), historyTime(nowDateTime())});
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
