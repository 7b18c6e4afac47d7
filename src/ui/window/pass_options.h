// The pass's further options, chosen in "签到选项" and kept in Sign.db's Setting (one row each,
// so that vesprey-cli and other copies of the window see the same): every pass of the window
// reads them as it starts. Each option's default is what a pass without it does, and a Sign.db
// that holds none of them signs as it always did.
#pragma once

#include <string>
#include <string_view>

#include "engine/cookie_cloud.h"
#include "engine/sign_in_run.h"
#include "store/site_database.h"

namespace vesprey::ui {

// The Setting row of 失效时自动登录.
inline constexpr std::string_view kReloginSetting = "Relogin";
// ----- Proxies: Setting rows kPassProxySetting and kPushUsesProxySetting.
inline constexpr std::string_view kPassProxySetting = "PassProxy";
inline constexpr std::string_view kPushUsesProxySetting = "PushUsesProxy";  // "1" or "0"

struct PassOptions {
    // "签到前同步 Cookie": the browser's cookies from CookieCloud go into the accounts before
    // each pass (Setting CookieCloudBeforePass), with the server, UUID and password of
    // CookieCloudUrl, CookieCloudUuid and CookieCloudPassword.
    bool cookieCloudBeforePass = false;
    CookieCloudAccess cookieCloud;
    // "连续失败 N 次才推送" (Setting notify_failure_streak, 0 to kMaxFailureStreak): with
    // "仅失败时推送" checked, the summary goes out only when an account failed in each of its
    // last N passes or a cookie runs out soon (PassPlan::failureStreak); 0 leaves it off.
    int failureStreak = 0;
    // ----- Proxies
    std::string proxy;           // every sign-in request's proxy (web/proxy.h); empty: none
    bool pushUsesProxy = false;  // the push goes through it too
    // 失效时自动登录 (Setting "Relogin", "1" or "0"): PassPlan::relogin.
    bool relogin = false;
    // Retries and spacing (PassPlan::retries, gapMinMs, gapMaxMs): "失败重试 N 次" and
    // "同一网站账号间隔 MIN–MAX 秒", kept as kRetriesSetting ("3") and kHostGapSetting
    // (milliseconds, "2000-5000").
    int retries = 0;
    long long gapMinMs = 0;
    long long gapMaxMs = 0;
};

inline constexpr std::string_view kRetriesSetting = "PassRetries";
inline constexpr std::string_view kHostGapSetting = "PassHostGapMs";

// The options kept in `db`; a missing or unreadable row keeps that option's default.
PassOptions readPassOptions(SqlDatabase& db);
// Keeps every option in `db`, one Setting row each; the first that cannot be written ends it
// with why.
WriteResult writePassOptions(SqlDatabase& db, const PassOptions& options);
// Puts the options into a pass's plan.
void applyPassOptions(const PassOptions& options, PassPlan& plan);

}  // namespace vesprey::ui
