#include "engine/schedule.h"

#include <cstdio>
#include <ctime>

#include "text/gbk_text.h"

namespace vesprey {
namespace {

constexpr std::string_view kForm =
    "签到周期写成 daily（每天）、every:N（每 N 天，N 为 2–366）或 weekdays:1,3,5（每周几，1 是"
    "周一，7 是周日）";

std::optional<int> smallNumber(std::string_view text) {
    if (text.empty() || text.size() > 4) {
        return std::nullopt;
    }
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

// ISO weekday of a day: 1 Monday … 7 Sunday.
unsigned isoWeekday(std::chrono::sys_days day) {
    return std::chrono::weekday(day).iso_encoding();
}

}  // namespace

std::optional<SignSchedule> parseSchedule(std::string_view text, std::chrono::sys_days start,
                                          std::string* error) {
    auto fail = [&](std::string sentence) -> std::optional<SignSchedule> {
        if (error != nullptr) {
            *error = std::move(sentence);
        }
        return std::nullopt;
    };
    SignSchedule schedule;
    if (text == "daily" || text == "every:1") {
        return schedule;
    }
    if (text.starts_with("every:")) {
        const std::optional<int> days = smallNumber(text.substr(6));
        if (!days || *days < 1 || *days > kMaxScheduleDays) {
            return fail("“" + std::string(text) + "”的天数不对：" + std::string(kForm) + "。");
        }
        schedule.kind = SignSchedule::Kind::EveryDays;
        schedule.everyDays = *days;
        schedule.start = start;
        return schedule;
    }
    if (text.starts_with("weekdays:")) {
        std::string_view list = text.substr(9);
        schedule.kind = SignSchedule::Kind::Weekdays;
        while (true) {
            const std::size_t comma = list.find(',');
            const std::optional<int> day = smallNumber(list.substr(0, comma));
            if (!day || *day < 1 || *day > 7) {
                return fail("“" + std::string(text) + "”里有不是 1–7 的星期：" +
                            std::string(kForm) + "。");
            }
            schedule.weekdays |= 1U << *day;
            if (comma == std::string_view::npos) {
                break;
            }
            list.remove_prefix(comma + 1);
        }
        return schedule;
    }
    return fail("没有这种签到周期：“" + std::string(text) + "”。" + std::string(kForm) + "。");
}

std::string scheduleText(const SignSchedule& schedule) {
    switch (schedule.kind) {
        case SignSchedule::Kind::Daily:
            break;
        case SignSchedule::Kind::EveryDays:
            return "every:" + std::to_string(schedule.everyDays);
        case SignSchedule::Kind::Weekdays: {
            std::string text = "weekdays:";
            for (unsigned day = 1; day <= 7; ++day) {
                if ((schedule.weekdays & (1U << day)) != 0) {
                    text += (text.back() == ':' ? "" : ",") + std::to_string(day);
                }
            }
            return text;
        }
    }
    return "daily";
}

std::string scheduleWords(const SignSchedule& schedule) {
    static constexpr std::string_view kDays[] = {"", "一", "二", "三", "四", "五", "六", "日"};
    switch (schedule.kind) {
        case SignSchedule::Kind::Daily:
            break;
        case SignSchedule::Kind::EveryDays:
            return "每 " + std::to_string(schedule.everyDays) + " 天（从 " +
                   dayText(schedule.start) + " 起）";
        case SignSchedule::Kind::Weekdays: {
            std::string words = "每周";
            bool first = true;
            for (unsigned day = 1; day <= 7; ++day) {
                if ((schedule.weekdays & (1U << day)) != 0) {
                    words += (first ? "" : "、") + std::string(kDays[day]);
                    first = false;
                }
            }
            return words;
        }
    }
    return "每天";
}

bool scheduledOn(const SignSchedule& schedule, std::chrono::sys_days day) {
    switch (schedule.kind) {
        case SignSchedule::Kind::Daily:
            break;
        case SignSchedule::Kind::EveryDays: {
            if (schedule.everyDays <= 1) {
                return true;
            }
            const long long since = (day - schedule.start).count();
            // Days before the start count backwards from it in the same rhythm.
            return since % schedule.everyDays == 0;
        }
        case SignSchedule::Kind::Weekdays:
            return (schedule.weekdays & (1U << isoWeekday(day))) != 0;
    }
    return true;
}

std::string dayText(std::chrono::sys_days day) {
    const std::chrono::year_month_day date(day);
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
    return text;
}

std::optional<std::chrono::sys_days> parseDay(std::string_view text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') {
        return std::nullopt;
    }
    const std::optional<int> year = smallNumber(text.substr(0, 4));
    const std::optional<int> month = smallNumber(text.substr(5, 2));
    const std::optional<int> day = smallNumber(text.substr(8, 2));
    if (!year || !month || !day) {
        return std::nullopt;
    }
    const std::chrono::year_month_day date{std::chrono::year(*year),
                                           std::chrono::month(static_cast<unsigned>(*month)),
                                           std::chrono::day(static_cast<unsigned>(*day))};
    if (!date.ok()) {
        return std::nullopt;
    }
    return std::chrono::sys_days(date);
}

std::chrono::sys_days localToday() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    const std::chrono::year_month_day date{
        std::chrono::year(local.tm_year + 1900),
        std::chrono::month(static_cast<unsigned>(local.tm_mon + 1)),
        std::chrono::day(static_cast<unsigned>(local.tm_mday))};
    return std::chrono::sys_days(date);
}

const Text& offScheduleText() {
    static const Text text = utf8ToAnsi("今天不在签到周期内");
    return text;
}

}  // namespace vesprey
