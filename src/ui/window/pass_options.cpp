#include "ui/window/pass_options.h"

namespace vesprey::ui {

PassOptions readPassOptions(SqlDatabase& db) {
    PassOptions options;
    // ----- Proxies
    if (const std::optional<Text> proxy = readSetting(db, kPassProxySetting)) {
        options.proxy = *proxy;
    }
    options.pushUsesProxy = readSetting(db, kPushUsesProxySetting) == Text("1");
    return options;
}

WriteResult writePassOptions(SqlDatabase& db, const PassOptions& options) {
    WriteResult written;
    written.done = true;
    // ----- Proxies: rows are written only once the option was set, so that a file whose user
    // never chose one stays as it was.
    if (!options.proxy.empty() || readSetting(db, kPassProxySetting)) {
        written = writeSetting(db, kPassProxySetting, options.proxy);
    }
    if (written && (options.pushUsesProxy || readSetting(db, kPushUsesProxySetting))) {
        written = writeSetting(db, kPushUsesProxySetting, options.pushUsesProxy ? "1" : "0");
    }
    return written;
}

void applyPassOptions(const PassOptions& options, PassPlan& plan) {
    // ----- Proxies
    plan.proxy = options.proxy;
    plan.pushUsesProxy = options.pushUsesProxy && !options.proxy.empty();
}

}  // namespace vesprey::ui
