#include "ui/window/pass_options.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "session/cookie_cloud_sync.h"

namespace vesprey::ui {
namespace {

constexpr std::string_view kFailureStreakSetting = "notify_failure_streak";

// A whole number of the Setting row within [low, high]; nothing otherwise.
std::optional<int> numberSetting(SqlDatabase& db, std::string_view name, int low, int high) {
    const std::optional<Text> stored = readSetting(db, name);
    if (!stored) {
        return std::nullopt;
    }
    int value = 0;
    const char* end = stored->data() + stored->size();
    const auto parsed = std::from_chars(stored->data(), end, value);
    if (parsed.ec != std::errc{} || parsed.ptr != end || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

// A whole number of a Setting row; nothing when the row is missing or holds another text.
std::optional<long long> numberOf(std::string_view text) {
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

PassOptions readPassOptions(SqlDatabase& db) {
    PassOptions options;
    // Retries and spacing.
    if (const std::optional<Text> stored = readSetting(db, kRetriesSetting)) {
        if (const auto retries = numberOf(*stored); retries && *retries >= 0) {
            options.retries = static_cast<int>(std::min<long long>(*retries, kMaxRetries));
        }
    }
    if (const std::optional<Text> stored = readSetting(db, kHostGapSetting)) {
        const std::string_view text(*stored);
        const std::size_t dash = text.find('-');
        const auto low = numberOf(text.substr(0, dash));
        const auto high = dash == std::string_view::npos ? low : numberOf(text.substr(dash + 1));
        if (low && high && *low >= 0 && *low <= *high) {
            options.gapMinMs = std::min(*low, kMaxGapMs);
            options.gapMaxMs = std::min(*high, kMaxGapMs);
        }
    }
    options.cookieCloudBeforePass = readSetting(db, kCookieCloudBeforePassSetting) == Text("1");
    options.cookieCloud = readCookieCloudAccess(db);
    options.failureStreak =
        numberSetting(db, kFailureStreakSetting, 0, kMaxFailureStreak).value_or(0);
    // ----- Proxies
    if (const std::optional<Text> proxy = readSetting(db, kPassProxySetting)) {
        options.proxy = *proxy;
    }
    options.pushUsesProxy = readSetting(db, kPushUsesProxySetting) == Text("1");
    if (const std::optional<Text> relogin = readSetting(db, kReloginSetting)) {
        options.relogin = *relogin == "1";
    }
    return options;
}

WriteResult writePassOptions(SqlDatabase& db, const PassOptions& options) {
    WriteResult written;
    written.done = true;
    // Retries and spacing: rows only once set, like the others.
    if (options.retries != 0 || readSetting(db, kRetriesSetting)) {
        written = writeSetting(db, kRetriesSetting, std::to_string(options.retries));
        if (!written) {
            return written;
        }
    }
    if (options.gapMaxMs != 0 || readSetting(db, kHostGapSetting)) {
        written =
            writeSetting(db, kHostGapSetting,
                         std::to_string(options.gapMinMs) + "-" + std::to_string(options.gapMaxMs));
        if (!written) {
            return written;
        }
    }
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
    // 失效时自动登录: the row is written once the option has been on, so that a file never
    // switched on stays as it was.
    if (options.relogin || readSetting(db, kReloginSetting)) {
        written = writeSetting(db, kReloginSetting, options.relogin ? "1" : "0");
        if (!written) {
            return written;
        }
    }
    if (options.failureStreak != 0 || readSetting(db, kFailureStreakSetting)) {
        written = writeSetting(db, kFailureStreakSetting, std::to_string(options.failureStreak));
        if (!written) {
            return written;
        }
    }
    // ----- Proxies: rows are written only once the option was set, so that a file whose user
    // never chose one stays as it was.
    if (written && (!options.proxy.empty() || readSetting(db, kPassProxySetting))) {
        written = writeSetting(db, kPassProxySetting, options.proxy);
    }
    if (written && (options.pushUsesProxy || readSetting(db, kPushUsesProxySetting))) {
        written = writeSetting(db, kPushUsesProxySetting, options.pushUsesProxy ? "1" : "0");
    }
    return written;
}

void applyPassOptions(const PassOptions& options, PassPlan& plan) {
    // Retries and spacing.
    plan.retries = options.retries;
    plan.gapMinMs = options.gapMinMs;
    plan.gapMaxMs = options.gapMaxMs;
    // The streak narrows "仅失败时推送"; a pass that pushes every time keeps doing so.
    if (plan.notifyOn == NotifyOn::Failure) {
        plan.failureStreak = options.failureStreak;
    }
    // ----- Proxies
    plan.proxy = options.proxy;
    plan.pushUsesProxy = options.pushUsesProxy && !options.proxy.empty();
    plan.relogin = options.relogin;
}

}  // namespace vesprey::ui
