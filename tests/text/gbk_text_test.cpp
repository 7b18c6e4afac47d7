#include "text/gbk_text.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace vesprey {
namespace {

// "签" in UTF-8, then CR LF: E7 AD is a valid GBK pair, BE is a lead byte without a trail, so the
// line break is two characters of its own.
const std::string kUtf8ThenCrLf = "\xE7\xAD\xBE\r\n";
const std::string kLeadThenA =
    "\x81"
    "A";  // one character whose trail byte is "A"

TEST(GbkText, ACharacterStartsAtALeadByteOnlyWhenAValidTrailFollows) {
    EXPECT_EQ(gbk::charLength(kUtf8ThenCrLf, 0), 2u);
    EXPECT_EQ(gbk::charLength(kUtf8ThenCrLf, 2), 1u);  // BE then CR: no pair
    EXPECT_EQ(gbk::charLength(kUtf8ThenCrLf, 3), 1u);
    EXPECT_EQ(gbk::charLength(kUtf8ThenCrLf, 5), 0u);
    EXPECT_EQ(gbk::charLength("\x80"
                              "A",
                              0),
              1u);  // 80 is the euro sign, one byte
    EXPECT_EQ(gbk::charLength("\xFF"
                              "A",
                              0),
              1u);                                  // FF leads nothing
    EXPECT_EQ(gbk::charLength("\x81\x7F", 0), 1u);  // 7F is no trail
    EXPECT_EQ(gbk::charLength(kLeadThenA, 0), 2u);
    EXPECT_EQ(gbk::charLength("\xB0", 0), 1u);  // a lead byte at the end stands alone
    EXPECT_FALSE(gbk::isBoundary(kLeadThenA, 1));
    EXPECT_TRUE(gbk::isBoundary(kUtf8ThenCrLf, 3));
}

TEST(GbkText, MixedInputStillShowsItsLineBreaks) {
    EXPECT_EQ(gbk::find(kUtf8ThenCrLf + "ok", "\r\n"), 3u);
    EXPECT_EQ(gbk::split(kUtf8ThenCrLf + "ok", "\r\n"),
              (std::vector<std::string_view>{"\xE7\xAD\xBE", "ok"}));
    EXPECT_EQ(gbk::replaceAll("\x80[@]", "[@]", "5"),
              "\x80"
              "5");
    // A marker hidden inside a real character stays hidden, and the search goes on past it.
    EXPECT_EQ(gbk::find(kLeadThenA + "b", "Ab"), gbk::npos);
    EXPECT_EQ(gbk::find(kLeadThenA + "bAb", "Ab"), 3u);
    // A match has to end where a character ends.
    EXPECT_EQ(gbk::find("a" + kLeadThenA, "a\x81"), gbk::npos);
}

TEST(GbkText, ShortenedKeepsWholeCharactersAndEndsWithAnEllipsis) {
    const std::string ellipsis = "\xA1\xAD";
    EXPECT_EQ(gbk::shortened("abc", 3), "abc");
    EXPECT_EQ(gbk::shortened("abcd", 3), "ab" + ellipsis);
    const std::string chinese = "\xC7\xA9\xB5\xBD\xB3\xC9";  // 签到成: three characters
    EXPECT_EQ(gbk::shortened(chinese + "x", 3), "\xC7\xA9\xB5\xBD" + ellipsis);
    EXPECT_EQ(gbk::shortened(chinese, 3), chinese);
    EXPECT_EQ(gbk::shortened("ab", 0), "");
}

TEST(GbkText, SplitsLikeTheCookieStringsNeed) {
    EXPECT_TRUE(gbk::split("", ";").empty());
    EXPECT_EQ(gbk::split("a;b;", ";"), (std::vector<std::string_view>{"a", "b"}));
    EXPECT_EQ(gbk::split(";a;;b", ";"), (std::vector<std::string_view>{"", "a", "", "b"}));
    EXPECT_EQ(gbk::split(";", ";"), (std::vector<std::string_view>{""}));
    const std::string hidden = kLeadThenA + "Ab";  // only the second "A" starts a character
    EXPECT_EQ(gbk::split(hidden, "A"), (std::vector<std::string_view>{kLeadThenA, "b"}));
    EXPECT_EQ(gbk::replaceAll("content-type: x; content-type", "content-type", "Content-Type"),
              "Content-Type: x; Content-Type");
}

}  // namespace
}  // namespace vesprey
