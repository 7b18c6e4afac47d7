#include "web/cookies.h"

#include <gtest/gtest.h>

#include "text/gbk_text.h"

namespace vesprey {
namespace {

// Two-byte characters whose trail byte is an ASCII letter, and bytes that only look like one.
const std::string kLeadThenA =
    "\x81"
    "A";  // one character whose trail byte is "A"
const std::string kLeadThenEq =
    "\x81"
    "=";                                         // "=" is no trail byte: two characters
const std::string kFullWidthSpace = "\xA1\xA1";  // the double-byte blank

TEST(CollectReturnedCookies, TakesSetCookieLinesUpToTheFirstAttribute) {
    EXPECT_EQ(collectReturnedCookies("Set-Cookie: a=1; path=/\r\nSet-Cookie: b=2"), "a=1; b=2");
    EXPECT_EQ(collectReturnedCookies("Content-Type: text/html\r\nSet-Cookie: sid=xyz; HttpOnly\r\n"
                                     "Server: x\r\nSet-Cookie:  c=3 "),
              "sid=xyz; c=3");
    // Without ";" the name is removed whatever its case inside the line.
    EXPECT_EQ(collectReturnedCookies("Set-Cookie: x=SET-COOKIE:y"), "x=y");
}

TEST(CollectReturnedCookies, LeavesOutCookiesNoRequestCouldCarryAndSaysWhich) {
    using namespace std::string_literals;
    std::vector<Text> refused;
    const std::string headers =
        "Set-Cookie: cr=x\ry; Path=/\r\nSet-Cookie: ok=1\r\nSet-Cookie: nul=a\0b\r\n"
        "Set-Cookie: bytes=\xE9\xFF\r\nSet-Cookie: del=\x7F"s;
    EXPECT_EQ(collectReturnedCookies(headers, &refused), "ok=1");
    EXPECT_EQ(refused, (std::vector<Text>{"cr=x\ry", "nul=a\0b"s, "bytes=\xE9\xFF", "del=\x7F"}));
    // Code page 936 text, a name in Chinese say, is a cookie like any other.
    EXPECT_EQ(collectReturnedCookies("Set-Cookie: name=" + utf8ToAnsi("张三"), &refused),
              "name=" + utf8ToAnsi("张三"));
}

TEST(CollectReturnedCookies, IgnoresOtherNamesAndCases) {
    EXPECT_EQ(collectReturnedCookies(""), "");
    EXPECT_EQ(collectReturnedCookies("Content-Type: text/plain\r\nX-A: 1"), "");
    EXPECT_EQ(collectReturnedCookies("set-cookie: a=1"), "");
    EXPECT_EQ(collectReturnedCookies("SET-COOKIE: a=1; path=/"), "");
    EXPECT_EQ(collectReturnedCookies("Set-Cookie:a=1"), "");  // no ": " gives no name
    EXPECT_EQ(collectReturnedCookies("X-Set-Cookie: a=1"), "");
}

TEST(MergeCookieStrings, NewCookiesFirstThenOldOnesNotSetAgain) {
    Text sent = "a=1; b=2";
    Text returned = "b=3; c=4";
    EXPECT_EQ(mergeCookieStrings(sent, returned), "b=3; c=4; a=1");
    EXPECT_EQ(sent, "b=3; c=4; a=1");
    EXPECT_EQ(returned, "b=3;c=4");  // the returned argument keeps its space-free form
}

TEST(MergeCookieStrings, EmptyReturnedCookieNormalisesTheOldOne) {
    Text sent = "a=1;  b=2";
    Text returned;
    EXPECT_EQ(mergeCookieStrings(sent, returned), "a=1; b=2");
    EXPECT_EQ(sent, "a=1; b=2");

    Text empty;
    Text none;
    EXPECT_EQ(mergeCookieStrings(empty, none), "");
    Text trailing = "a=1; b=2;";
    EXPECT_EQ(mergeCookieStrings(trailing, none), "a=1; b=2");
}

TEST(MergeCookieStrings, DeletedCookieDropsEveryItemOfItsName) {
    Text sent = "a=1; b=2";
    Text returned = "a=deleted";
    EXPECT_EQ(mergeCookieStrings(sent, returned), "b=2");

    Text sentTwice = "a=1; a=5; b=2";
    Text deleted = "a=deleted";
    EXPECT_EQ(mergeCookieStrings(sentTwice, deleted), "b=2");
    // Only an item ending in "=deleted" counts.
    Text other = "a=undeleted2";
    Text keep = "b=2";
    EXPECT_EQ(mergeCookieStrings(keep, other), "a=undeleted2; b=2");
}

TEST(MergeCookieStrings, RepeatedOldItemsSurviveOnce) {
    Text sent = "a=1; a=1";
    Text returned;
    EXPECT_EQ(mergeCookieStrings(sent, returned), "a=1");
    Text differing = "a=1; a=2; b=3";
    EXPECT_EQ(mergeCookieStrings(differing, returned), "a=1; b=3");
    // Repeats inside the returned string are caught by the final duplicate removal.
    Text old = "z=9";
    Text twice = "a=1; a=1";
    EXPECT_EQ(mergeCookieStrings(old, twice), "a=1; z=9");
}

TEST(MergeCookieStrings, RemovesBlanksInsideValuesAndFullWidthBlanks) {
    Text sent = "x=hello world";
    Text returned;
    EXPECT_EQ(mergeCookieStrings(sent, returned), "x=helloworld");
    Text wide = kFullWidthSpace + "y=1;" + kFullWidthSpace + "z=2";
    EXPECT_EQ(mergeCookieStrings(wide, returned), "y=1; z=2");
    // Tabs are not spaces.
    Text tab = "t=1\t";
    EXPECT_EQ(mergeCookieStrings(tab, returned), "t=1\t");
}

TEST(MergeCookieStrings, ItemsWithoutEqualsAreNamedByTheirWholeText) {
    Text sent = "flag; a=1";
    Text returned = "flag";
    EXPECT_EQ(mergeCookieStrings(sent, returned), "flag; a=1");
    Text names = "a=1";
    Text bare = "a";
    EXPECT_EQ(mergeCookieStrings(names, bare), "a");  // "a" and "a=1" are both named "a"
}

TEST(MergeCookieStrings, EmptyItemsStayInsideButNotAtTheEnd) {
    Text none;
    Text inside = "a=1;;b=2";
    EXPECT_EQ(mergeCookieStrings(inside, none), "a=1; ; b=2");
    Text atEnd = "a=1;;";
    EXPECT_EQ(mergeCookieStrings(atEnd, none), "a=1");
    Text deletedAfter = "a=1;; c=deleted";  // the empty item is the last one kept
    EXPECT_EQ(mergeCookieStrings(deletedAfter, none), "a=1");
}

TEST(MergeCookieStrings, BlankRemovalCanJoinAFullWidthBlankThatNamesIgnore) {
    // A1, a blank, A1: the blank goes and the two A1 bytes become one full-width blank, which the
    // name of the first item does not include, so the second item repeats its name.
    Text sent = "\xA1 \xA1n=1;n=2";
    Text none;
    EXPECT_EQ(mergeCookieStrings(sent, none), "\xA1\xA1n=1");
}

TEST(CookieName, TakesTheTrimmedTextBeforeTheFirstEquals) {
    EXPECT_EQ(cookieName(" sid =a=b"), "sid");
    EXPECT_EQ(cookieName("flag "), "flag");
    EXPECT_EQ(cookieName(""), "");
    EXPECT_EQ(cookieName(kFullWidthSpace + "n=1"), "n");
    std::vector<Text> items = {"a=1", "B=2"};
    EXPECT_TRUE(containsCookieName(items, "a"));
    EXPECT_FALSE(containsCookieName(items, "b"));  // names compare case-sensitively
    EXPECT_FALSE(containsCookieName({}, ""));
}

TEST(RemoveDuplicateItems, KeepsTheFirstOccurrenceInPlace) {
    EXPECT_EQ(removeDuplicateItems("a; b; a; c; b", "; "), "a; b; c");
    EXPECT_EQ(removeDuplicateItems("A|a|A", "|"), "A|a");
    EXPECT_EQ(removeDuplicateItems("", "; "), "");
    EXPECT_EQ(removeDuplicateItems("x", ""), "x");
    EXPECT_EQ(removeDuplicateItems("a||a|", "|"), "a|");  // the empty piece is an item too
}

TEST(TextBetween, FindsTheTextBetweenTwoMarkers) {
    EXPECT_EQ(textBetween("<a>one</a><a>two</a>", "<a>", "</a>"), "one");
    EXPECT_EQ(textBetween("<a>one</a><a>two</a>", "<a>", "</a>", 2), "two");
    EXPECT_EQ(textBetween("<a>one</a>", "<A>", "</A>"), "");
    EXPECT_EQ(textBetween("<a>one</a>", "<A>", "</A>", 1, true), "one");
    EXPECT_EQ(textBetween("abc", "x", "c"), "");
    EXPECT_EQ(textBetween("abc", "a", "x"), "");
    EXPECT_EQ(textBetween("abc", "a", "c", 0), "b");  // positions below 1 start at 1
    EXPECT_EQ(textBetween("abc", "a", "c", 99), "");
    // The placeholder stands for a double quote in both markers.
    Text placeholder = "#\xD2\xFD\xBA\xC5";
    EXPECT_EQ(textBetween(R"({"msg":"ok","code":1})",
                          placeholder + "msg" + placeholder + ":" + placeholder, placeholder),
              "ok");
}

TEST(TextBetween, NeverMatchesInsideATwoByteCharacter) {
    // "A" is the trail byte of the first character: the marker "A=" must not match there.
    Text text = kLeadThenA + "=1;A=2;";
    EXPECT_EQ(textBetween(text, "A=", ";"), "2");
    EXPECT_EQ(textBetween(text, "a=", ";", 1, true), "2");
    // A lead byte followed by "=" is no character: "=" stands on its own and can match.
    EXPECT_EQ(cookieName(kLeadThenEq + "1"), "\x81");
    // A two-byte character whose bytes are both A1 is the full-width blank; "\xB0\xA1" followed by
    // "\xA1\xA1" ends in one character and one blank, not in a blank found across characters.
    Text word = "\xB0\xA1\xA1\xA1";
    EXPECT_EQ(gbk::trimSpaces(word), "\xB0\xA1");
    Text notBlank = "\xB0\xA1\xA1";  // a character, then a lone A1
    EXPECT_EQ(gbk::trimSpaces(notBlank), notBlank);
    // A deleted marker needs its own characters.
    Text sent = "b=2";
    Text returned = "a" + std::string("\x81") + "=deleted";
    EXPECT_EQ(mergeCookieStrings(sent, returned), "b=2");
}

}  // namespace
}  // namespace vesprey
