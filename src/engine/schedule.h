// 签到周期: the days a template's accounts are signed. Every day (the default), every N days
// counted from a start day, or on chosen weekdays. Written as "daily", "every:N" or
// "weekdays:1,3,5" (1 Monday … 7 Sunday), as Sign.db keeps it and vesprey-cli takes it.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "text/text.h"

namespace vesprey {

struct SignSchedule {
    enum class Kind { Daily, EveryDays, Weekdays };
    Kind kind = Kind::Daily;
    int everyDays = 1;              // EveryDays: 2 to kMaxScheduleDays
    std::chrono::sys_days start{};  // EveryDays: the first day signed
    unsigned weekdays = 0;          // Weekdays: bit d for ISO weekday d (1 Monday … 7 Sunday)
    bool operator==(const SignSchedule&) const = default;
};

inline constexpr int kMaxScheduleDays = 366;

// The schedule written as `text` ("daily", "every:3", "weekdays:1,3,5"), every N days counted
// from `start`; nothing, with a UTF-8 sentence in *error, when it is written otherwise.
std::optional<SignSchedule> parseSchedule(std::string_view text, std::chrono::sys_days start,
                                          std::string* error = nullptr);
// The schedule as parseSchedule reads it.
std::string scheduleText(const SignSchedule& schedule);
// The schedule in the user's words (UTF-8): "每天", "每 3 天（从 2026-12-11 起）",
// "每周一、三、五".
std::string scheduleWords(const SignSchedule& schedule);

// Whether the schedule signs on `day`.
bool scheduledOn(const SignSchedule& schedule, std::chrono::sys_days day);

// "YYYY-MM-DD" of a day, and back (nothing for another form or no such day).
std::string dayText(std::chrono::sys_days day);
std::optional<std::chrono::sys_days> parseDay(std::string_view text);
// Today's date on this machine's clock, in its time zone.
std::chrono::sys_days localToday();

// "今天不在签到周期内" (code page 936): the reason and text of a row its schedule skips.
const Text& offScheduleText();

}  // namespace vesprey
