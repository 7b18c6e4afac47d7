#include "ui/window/pass_options.h"

#include "session/cookie_cloud_sync.h"

namespace vesprey::ui {

PassOptions readPassOptions(SqlDatabase& db) {
    PassOptions options;
    options.cookieCloudBeforePass = readSetting(db, kCookieCloudBeforePassSetting) == Text("1");
    options.cookieCloud = readCookieCloudAccess(db);
    return options;
}

WriteResult writePassOptions(SqlDatabase& db, const PassOptions& options) {
    WriteResult written;
    written.done = true;
    // CookieCloud: only a Sign.db that has or is given its settings gets the rows.
    const bool cookieCloudKept = readSetting(db, kCookieCloudBeforePassSetting).has_value();
    const CookieCloudAccess& cloud = options.cookieCloud;
    if (cookieCloudKept || options.cookieCloudBeforePass || !cloud.url.empty() ||
        !cloud.uuid.empty() || !cloud.password.empty()) {
        written = writeSetting(db, kCookieCloudBeforePassSetting,
                               options.cookieCloudBeforePass ? "1" : "0");
        if (written) {
            written = writeCookieCloudAccess(db, cloud.url, cloud.uuid, cloud.password);
        }
        if (!written) {
            return written;
        }
    }
    return written;
}

void applyPassOptions(const PassOptions& /*options*/, PassPlan& /*plan*/) {}

}  // namespace vesprey::ui
