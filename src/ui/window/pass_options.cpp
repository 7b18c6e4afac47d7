#include "ui/window/pass_options.h"

namespace vesprey::ui {

PassOptions readPassOptions(SqlDatabase& db) {
    PassOptions options;
    if (const std::optional<Text> relogin = readSetting(db, kReloginSetting)) {
        options.relogin = *relogin == "1";
    }
    return options;
}

WriteResult writePassOptions(SqlDatabase& db, const PassOptions& options) {
    WriteResult written;
    written.done = true;
    // The row is written once the option has been on, so that a file never switched on stays as
    // it was.
    if (options.relogin || readSetting(db, kReloginSetting)) {
        written = writeSetting(db, kReloginSetting, options.relogin ? "1" : "0");
        if (!written) {
            return written;
        }
    }
    return written;
}

void applyPassOptions(const PassOptions& options, PassPlan& plan) {
    plan.relogin = options.relogin;
}

}  // namespace vesprey::ui
