// The UTF-8 regex adapter in Python's dialect: what a pattern finds, its substitutions and the
// errors of patterns that do not compile.
#include "web/utf8_regex.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>

namespace vesprey {
namespace {

Utf8Regex compiled(const std::string& pattern, const Utf8RegexFlags& flags = {}) {
    auto result = Utf8Regex::compile(pattern, flags);
    if (auto* error = std::get_if<Utf8RegexError>(&result)) {
        ADD_FAILURE() << pattern << ": " << error->message;
        return std::get<Utf8Regex>(Utf8Regex::compile("(?!)"));
    }
    return std::get<Utf8Regex>(std::move(result));
}

struct FindCase {
    const char* pattern;
    const char* subject;
    const char* found;  // every whole match joined by "|"; "" when none
};

TEST(Utf8Regex, FindsAsPythonsReDoes) {
    const FindCase cases[] = {
        {"\\d+", "积分 12 和 ３４", "12|３４"},  // \d takes every decimal digit
        {"\\w+", "签到ok 好", "签到ok|好"},      // \w takes Chinese characters
        {"a.c", "a\nc abc", "abc"},              // "." stops at a line feed
        {"end$", "the end\n", "end"},            // "$" before a final line feed
        {"end\\Z", "the end\n", ""},             // \Z only at the very end
        {"(?P<n>\\d)(?P=n)", "12 33", "33"},     // named groups and their back references
        {"\\u4e2d", "中文", "中"},               // \uXXXX
        {"\\x41", "BAB", "A"},
        {"", "ab", "||"},  // an empty match at every character and the end
        {"x*", "中x", "|x|"},
    };
    for (const FindCase& c : cases) {
        std::string joined;
        bool first = true;
        for (const Utf8Match& match : compiled(c.pattern).findAll(c.subject)) {
            joined += (first ? "" : "|") + match.groups[0].value_or("?");
            first = false;
        }
        EXPECT_EQ(joined, c.found) << c.pattern;
    }
}

TEST(Utf8Regex, FlagsChangeWhatMatches) {
    Utf8RegexFlags ignoreCase;
    ignoreCase.ignoreCase = true;
    Utf8RegexFlags multiline;
    multiline.multiline = true;
    Utf8RegexFlags dotAll;
    dotAll.dotAll = true;
    EXPECT_TRUE(compiled("ok", ignoreCase).search("OK"));
    EXPECT_TRUE(compiled("^b", multiline).search("a\nb"));
    EXPECT_FALSE(compiled("^b").search("a\nb"));
    EXPECT_TRUE(compiled("a.b", dotAll).search("a\nb"));
}

TEST(Utf8Regex, InvalidBytesInTheSubjectAreSearchedAround) {
    const auto match = compiled("ok").search("\xFF\xFEok");
    ASSERT_TRUE(match);
    EXPECT_EQ(match->start, 2U);
}

struct SubstituteCase {
    const char* pattern;
    const char* replacement;
    const char* subject;
    const char* result;
};

TEST(Utf8Regex, SubstitutesAsReSub) {
    const SubstituteCase cases[] = {
        {"(\\d+)", "<\\1>", "a1b22", "a<1>b<22>"},
        {"(?P<y>\\d{4})-(\\d\\d)", "\\2/\\g<y>", "2026-01", "01/2026"},
        {"(a)|(b)", "[\\2]", "ab", "[][b]"},  // a group that took no part inserts nothing
        {"x", "\\n\\t\\\\", "x", "\n\t\\"},
        {"", "-", "中文", "-中-文-"},
    };
    for (const SubstituteCase& c : cases) {
        EXPECT_EQ(compiled(c.pattern).substitute(c.subject, c.replacement), c.result) << c.pattern;
    }
}

TEST(Utf8Regex, SaysInChineseWhereAndWhyAPatternGoesWrong) {
    struct Case {
        const char* pattern;
        std::size_t position;  // characters, not bytes
        const char* message;
    };
    const Case cases[] = {
        {"中文(a", 5, "括号 ( 没有对应的 )"},
        {"签到)", 3, "多了一个 )，它前面没有对应的 ("},
        {"*签到", 1, "* + ? 或 {} 前面没有可以重复的内容（要找这些字符本身，请在前面加 \\）"},
        {"[a-", 4, "方括号 [ 没有对应的 ]"},
        {"[z-a]", 4, "方括号里的范围前大后小（如 z-a）"},
        {"a\\", 3, "末尾多了一个反斜杠 \\"},
        {"a{3,1}", 6, "{} 里的次数前大后小"},
    };
    for (const Case& c : cases) {
        auto result = Utf8Regex::compile(c.pattern);
        ASSERT_TRUE(std::holds_alternative<Utf8RegexError>(result)) << c.pattern;
        EXPECT_EQ(std::get<Utf8RegexError>(result).position, c.position) << c.pattern;
        EXPECT_EQ(std::get<Utf8RegexError>(result).message, c.message) << c.pattern;
    }
}

}  // namespace
}  // namespace vesprey
