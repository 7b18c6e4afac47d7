// The pass's further options, chosen in "签到选项" and kept in Sign.db's Setting (one row each,
// so that vesprey-cli and other copies of the window see the same): every pass of the window
// reads them as it starts. Each option's default is what a pass without it does, and a Sign.db
// that holds none of them signs as it always did.
#pragma once

#include <string_view>

#include "engine/sign_in_run.h"
#include "store/site_database.h"

namespace vesprey::ui {

struct PassOptions {
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
