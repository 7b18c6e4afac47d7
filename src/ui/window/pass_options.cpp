#include "ui/window/pass_options.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <string>

namespace vesprey::ui {
namespace {

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
    return options;
}

WriteResult writePassOptions(SqlDatabase& db, const PassOptions& options) {
    WriteResult written;
    written.done = true;
    // Retries and spacing.
    written = writeSetting(db, kRetriesSetting, std::to_string(options.retries));
    if (!written) {
        return written;
    }
    written =
        writeSetting(db, kHostGapSetting,
                     std::to_string(options.gapMinMs) + "-" + std::to_string(options.gapMaxMs));
    if (!written) {
        return written;
    }
    return written;
}

void applyPassOptions(const PassOptions& options, PassPlan& plan) {
    // Retries and spacing.
    plan.retries = options.retries;
    plan.gapMinMs = options.gapMinMs;
    plan.gapMaxMs = options.gapMaxMs;
}

}  // namespace vesprey::ui
