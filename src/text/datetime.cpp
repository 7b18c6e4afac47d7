// Date-times are OLE automation dates: days since 1899-12-30 00:00 local time.

#include <langinfo.h>
#include <locale.h>

#include <chrono>
#include <cmath>
#include <ctime>

#include "text/text.h"

namespace vesprey {
namespace {

// Days from 1970-01-01 to the civil date, and back (proleptic Gregorian calendar).
long long daysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

struct Fields {
    int year, month, day, hour, minute, second;
};

void civilFromDays(long long z, Fields& f) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long y = static_cast<long long>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    f.year = static_cast<int>(y + (m <= 2));
    f.month = static_cast<int>(m);
    f.day = static_cast<int>(d);
}

constexpr long long kOleEpochToUnixDays = 25569;  // 1899-12-30 to 1970-01-01
constexpr double kMinOleDate = -657434.0;         // 0100-01-01
constexpr double kMaxOleDate = 2958466.0;         // 10000-01-01, exclusive

bool splitDateTime(double value, Fields& f) {
    if (!std::isfinite(value) || value < kMinOleDate || value >= kMaxOleDate) {
        return false;
    }
    // Before the epoch the whole part counts back while the fraction still counts forward.
    double whole = std::trunc(value);
    double fraction = std::fabs(value - whole);
    auto seconds = static_cast<long long>(std::llround(fraction * 86400.0));
    auto days = static_cast<long long>(whole);
    if (seconds >= 86400) {
        seconds -= 86400;
        days += value < 0 ? -1 : 1;
    }
    civilFromDays(days - kOleEpochToUnixDays, f);
    f.hour = static_cast<int>(seconds / 3600);
    f.minute = static_cast<int>(seconds / 60 % 60);
    f.second = static_cast<int>(seconds % 60);
    return f.year >= 100 && f.year <= 9999;
}

void appendNumber(Text& out, int value, int minDigits) {
    std::string digits = std::to_string(value);
    if (static_cast<int>(digits.size()) < minDigits) {
        out.append(static_cast<std::size_t>(minDigits) - digits.size(), '0');
    }
    out += digits;
}

// Length of the run of `c` starting at `i`.
std::size_t runLength(std::string_view picture, std::size_t i) {
    std::size_t n = 1;
    while (i + n < picture.size() && picture[i + n] == picture[i]) {
        ++n;
    }
    return n;
}

// Copies a quoted literal ('...', with '' for one quote); returns the index after it.
std::size_t copyQuoted(std::string_view picture, std::size_t i, Text& out) {
    ++i;
    while (i < picture.size()) {
        if (picture[i] == '\'') {
            if (i + 1 < picture.size() && picture[i + 1] == '\'') {
                out.push_back('\'');
                i += 2;
                continue;
            }
            return i + 1;
        }
        out.push_back(picture[i]);
        ++i;
    }
    return i;
}

// Copies one character of the picture; a double-byte character is copied whole, so its trail
// byte is never read as a picture letter.
std::size_t copyCharacter(std::string_view picture, std::size_t i, Text& out) {
    out.push_back(picture[i]);
    if (static_cast<unsigned char>(picture[i]) >= 0x81 && i + 1 < picture.size()) {
        out.push_back(picture[i + 1]);
        return i + 2;
    }
    return i + 1;
}

Text formatDate(const Fields& f, std::string_view picture) {
    Text out;
    std::size_t i = 0;
    while (i < picture.size()) {
        char c = picture[i];
        if (c == '\'') {
            i = copyQuoted(picture, i, out);
            continue;
        }
        if (c != 'y' && c != 'M' && c != 'd') {
            i = copyCharacter(picture, i, out);
            continue;
        }
        std::size_t n = runLength(picture, i);
        if (c == 'y') {
            if (n >= 3) {
                appendNumber(out, f.year, 4);
            } else {
                appendNumber(out, f.year % 100, static_cast<int>(n));
            }
        } else if (c == 'M') {
            appendNumber(out, f.month, n >= 2 ? 2 : 1);
        } else {
            appendNumber(out, f.day, n >= 2 ? 2 : 1);
        }
        i += n;
    }
    return out;
}

Text formatTime(const Fields& f, std::string_view picture, bool force24Hour) {
    Text out;
    std::size_t i = 0;
    while (i < picture.size()) {
        char c = picture[i];
        if (c == '\'') {
            i = copyQuoted(picture, i, out);
            continue;
        }
        if (c != 'h' && c != 'H' && c != 'm' && c != 's' && c != 't') {
            i = copyCharacter(picture, i, out);
            continue;
        }
        std::size_t n = runLength(picture, i);
        int width = n >= 2 ? 2 : 1;
        switch (c) {
            case 'h': {
                int hour = f.hour;
                if (!force24Hour) {
                    hour %= 12;
                    if (hour == 0) {
                        hour = 12;
                    }
                }
                appendNumber(out, hour, width);
                break;
            }
            case 'H':
                appendNumber(out, f.hour, width);
                break;
            case 'm':
                appendNumber(out, f.minute, width);
                break;
            case 's':
                appendNumber(out, f.second, width);
                break;
            default:  // 't': the AM/PM marker, one letter or the whole word
                out += (f.hour < 12 ? "AM" : "PM");
                if (n == 1) {
                    out.resize(out.size() - 1);
                }
                break;
        }
        i += n;
    }
    return out;
}

// The platform formats into a 50-byte buffer; a longer part does not fit and comes out empty.
constexpr std::size_t kMaxPartBytes = 49;

}  // namespace

double makeDateTime(int year, int month, int day, int hour, int minute, int second) {
    long long days = daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) +
                     kOleEpochToUnixDays;
    double time = (hour * 3600.0 + minute * 60.0 + second) / 86400.0;
    // Before the epoch the whole part counts back and the fraction forward.
    return days < 0 ? static_cast<double>(days) - time : static_cast<double>(days) + time;
}

double nowDateTime() {
    auto now = std::chrono::system_clock::now();
    std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&t, &local);
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    double value = makeDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                local.tm_hour, local.tm_min, local.tm_sec);
    return value + static_cast<double>(ms) / 86400000.0;
}

Text formatDateTime(double dateTime, std::string_view dateFormat, std::string_view timeFormat,
                    bool force24Hour) {
    Fields f{};
    if (!splitDateTime(dateTime, f)) {
        return {};
    }
    Text date = dateFormat.size() >= 3 ? formatDate(f, dateFormat) : Text{};
    Text time = timeFormat.size() >= 3 ? formatTime(f, timeFormat, force24Hour) : Text{};
    if (date.size() > kMaxPartBytes) {
        date.clear();
    }
    if (time.size() > kMaxPartBytes) {
        time.clear();
    }
    return date + time;
}

Text dateTimeToText(std::optional<double> dateTime, int style, int part) {
    struct Pictures {
        const char* fullDate;
        const char* monthDay;
        const char* fullTime;
        const char* hourMinute;
        const char* minuteSecond;
    };
    // Pictures are code page 936 text: 年 月 日 时 分 秒.
    static constexpr Pictures kStyles[4] = {
        {"yyyy\xC4\xEA"
         "MM\xD4\xC2"
         "dd\xC8\xD5 ",
         "MM\xD4\xC2"
         "dd\xC8\xD5",
         "hh\xCA\xB1"
         "mm\xB7\xD6"
         "ss\xC3\xEB",
         "hh\xCA\xB1"
         "mm\xB7\xD6",
         "mm\xB7\xD6"
         "ss\xC3\xEB"},
        {"yyyy-MM-dd ", "MM-dd", "hh:mm:ss", "hh:mm", "mm:ss"},
        {"yyyy/MM/dd ", "MM/dd", "hh/mm/ss", "hh/mm", "mm/ss"},
        {"yyyyMMdd", "MMdd", "hhmmss", "hhmm", "mmss"},
    };
    if (style < 0 || style > 3) {
        style = 0;
    }
    const Pictures& p = kStyles[style];
    std::string date;
    std::string time;
    switch (part) {
        case 1:
            date = p.fullDate;
            while (!date.empty() && date.back() == ' ') {
                date.pop_back();
            }
            break;
        case 2:
            date = p.monthDay;
            break;
        case 3:
            time = p.fullTime;
            break;
        case 4:
            time = p.hourMinute;
            break;
        case 5:
            time = p.minuteSecond;
            break;
        default:
            date = p.fullDate;
            time = p.fullTime;
            break;
    }
    if (localeUses24Hour()) {
        for (std::size_t at = time.find("hh"); at != std::string::npos;
             at = time.find("hh", at + 2)) {
            time.replace(at, 2, "HH");
        }
    }
    return formatDateTime(dateTime ? *dateTime : nowDateTime(), date, time, false);
}

bool localeUses24Hour() {
    locale_t loc = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(nullptr));
    if (loc == static_cast<locale_t>(nullptr)) {
        loc = newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(nullptr));
        if (loc == static_cast<locale_t>(nullptr)) {
            return true;
        }
    }
    std::string_view format = nl_langinfo_l(T_FMT, loc);
    bool uses24 = format.find("%H") != std::string_view::npos ||
                  format.find("%R") != std::string_view::npos ||
                  format.find("%T") != std::string_view::npos ||
                  format.find("%k") != std::string_view::npos;
    freelocale(loc);
    return uses24;
}

}  // namespace vesprey
