#include "web/regex.h"

#include <gtest/gtest.h>

#include <string>

#include "text/text.h"

namespace vesprey {
namespace {

// Test sources are UTF-8; the adapter takes and returns code page 936.
Text G(std::string_view utf8) {
    return utf8ToAnsi(utf8);
}

// The options the response evaluation passes.
constexpr RegexOptions kEvaluation{
    .caseSensitive = false, .multiline = false, .global = true, .expandQuotePlaceholder = true};

int countMatches(std::string_view pattern, std::string_view subject,
                 const RegexOptions& options = {}) {
    RegexMatcher m;
    EXPECT_TRUE(m.run(pattern, subject, options)) << pattern;
    return m.matchCount();
}

Text firstGroup(std::string_view pattern, std::string_view subject,
                const RegexOptions& options = kEvaluation) {
    RegexMatcher m;
    EXPECT_TRUE(m.run(pattern, subject, options)) << pattern;
    return m.subMatch(1, 1);
}

TEST(RegexMatcherTest, RunReportsOnlyCompileFailures) {
    RegexMatcher m;
    EXPECT_EQ(m.matchCount(), 0);  // before the first run
    EXPECT_EQ(m.subMatch(1, 1), "");

    EXPECT_TRUE(m.run("xyz", "abc"));
    EXPECT_EQ(m.matchCount(), 0);
    EXPECT_EQ(m.subMatchCount(), 0);

    EXPECT_FALSE(m.run("(abc", "abc"));
    EXPECT_EQ(m.matchCount(), 0);
    EXPECT_FALSE(m.run("a)", "a)"));
    EXPECT_FALSE(m.run("*a", "a"));
    EXPECT_FALSE(m.run("[a", "[a"));

    // A failed run forgets the matches of the one before.
    ASSERT_TRUE(m.run("(b)", "abc"));
    EXPECT_EQ(m.matchCount(), 1);
    EXPECT_FALSE(m.run("(", "abc"));
    EXPECT_EQ(m.matchCount(), 0);
    EXPECT_EQ(m.subMatch(1, 1), "");
}

TEST(RegexMatcherTest, DefaultsIgnoreCaseAreMultilineAndGlobal) {
    EXPECT_EQ(countMatches("abc", "xABCx abc"), 2);
    EXPECT_EQ(countMatches("abc", "xABCx abc", {.caseSensitive = true}), 1);
    EXPECT_EQ(countMatches("^b$", "a\nb\nc"), 1);
    EXPECT_EQ(countMatches("^b$", "a\nb\nc", {.multiline = false}), 0);
    EXPECT_EQ(countMatches("a", "aaa", {.global = false}), 1);
    // Caseless matching covers letters beyond ASCII.
    EXPECT_EQ(countMatches(G("ω"), G("Ω")), 1);
}

TEST(RegexMatcherTest, QuotePlaceholder) {
    const Text subject = R"({"msg":"ok"})";
    EXPECT_EQ(firstGroup(G("#引号msg#引号:#引号(.*?)#引号"), subject), "ok");
    EXPECT_EQ(firstGroup(R"x("msg":"(.*?)")x", subject), "ok");

    RegexMatcher m;
    ASSERT_TRUE(m.run(G("#引号(ok)#引号"), subject, {.expandQuotePlaceholder = false}));
    EXPECT_EQ(m.matchCount(), 0);
    ASSERT_TRUE(m.run(G("#引号(ok)#引号"), G("#引号ok#引号"), {.expandQuotePlaceholder = false}));
    EXPECT_EQ(m.subMatch(1, 1), "ok");
    // Every occurrence is replaced.
    ASSERT_TRUE(m.run(G("#引号"), "\"\"", {.expandQuotePlaceholder = true}));
    EXPECT_EQ(m.matchCount(), 2);
}

TEST(RegexMatcherTest, SubMatchIndexing) {
    RegexMatcher m;
    ASSERT_TRUE(m.run("(a)|(b)", "ba", kEvaluation));
    ASSERT_EQ(m.matchCount(), 2);
    EXPECT_EQ(m.subMatchCount(), 2);
    EXPECT_EQ(m.subMatch(1, 1), "");  // group 1 took no part in the first match
    EXPECT_EQ(m.subMatch(1, 2), "b");
    EXPECT_EQ(m.subMatch(2, 1), "a");
    EXPECT_EQ(m.subMatch(5, 1), "");
    EXPECT_EQ(m.subMatch(0, 1), "");
    EXPECT_EQ(m.subMatch(1, 0), "");
    EXPECT_EQ(m.subMatch(1, 3), "");
    EXPECT_EQ(m.subMatch(-1, -1), "");

    ASSERT_TRUE(m.run("(?:no)(groups)?", "none", kEvaluation));
    EXPECT_EQ(m.matchCount(), 1);
    EXPECT_EQ(m.subMatchCount(), 1);
    ASSERT_TRUE(m.run("no", "none", kEvaluation));
    EXPECT_EQ(m.subMatchCount(), 0);
    ASSERT_TRUE(m.run("(x)", "none", kEvaluation));
    EXPECT_EQ(m.subMatchCount(), 0);  // no match, so no groups to read
}

TEST(RegexMatcherTest, ScriptEngineDialect) {
    // "." matches a carriage return but not a line feed.
    EXPECT_EQ(firstGroup("a(.)b", "a\rb"), "\r");
    EXPECT_EQ(countMatches("a.b", "a\nb", kEvaluation), 0);
    // Without multiline "$" matches only at the very end, not before a final line feed.
    EXPECT_EQ(countMatches("c$", "abc\n", kEvaluation), 0);
    EXPECT_EQ(countMatches("c$", "abc", kEvaluation), 1);
    EXPECT_EQ(countMatches("^a", "b\na", kEvaluation), 0);
    // With multiline "^" also matches after a final line feed, as the script engine does.
    EXPECT_EQ(countMatches("^", "a\n", {.multiline = true}), 2);
    // \d \w \s are ASCII only.
    EXPECT_EQ(countMatches(R"(\d)", G("１2"), kEvaluation), 1);
    EXPECT_EQ(countMatches(R"(\w)", G("签a"), kEvaluation), 1);
    EXPECT_EQ(countMatches(R"(\s)", G("\u3000 \t\n\r\v\f"), kEvaluation), 6);
    EXPECT_EQ(countMatches(R"(\bab\b)", G("签ab签"), kEvaluation), 1);
    // \xHH takes exactly two hex digits, \uHHHH exactly four; otherwise the letter itself.
    EXPECT_EQ(countMatches(R"(\x41)", "A", kEvaluation), 1);
    EXPECT_EQ(countMatches(R"(\x4)", "x4", kEvaluation), 1);
    EXPECT_EQ(countMatches(R"(\u7b7e\u5230)", G("签到"), kEvaluation), 1);
    EXPECT_EQ(countMatches(R"(\u12)", "u12", kEvaluation), 1);
    EXPECT_EQ(countMatches(R"(\U)", "U", {.caseSensitive = true}), 1);
    // An escaped ordinary character is that character.
    EXPECT_EQ(countMatches(R"(\q\y\签)", G("qy签"), kEvaluation), 1);
    // Lazy quantifiers, lookahead and non-capturing groups.
    EXPECT_EQ(firstGroup("<b>(.*?)</b>", "<b>1</b><b>2</b>"), "1");
    EXPECT_EQ(firstGroup(G("(\\d+)(?=元)"), G("共12元")), "12");
    EXPECT_EQ(firstGroup("(?:ab)+(c)", "ababc"), "c");
    // A back reference to a group that did not take part matches the empty text.
    EXPECT_EQ(countMatches(R"((?:(a)|b)\1c)", "bc", kEvaluation), 1);
    // Octal escapes.
    EXPECT_EQ(countMatches(R"(\101)", "A", kEvaluation), 1);
}

TEST(RegexMatcherTest, EmptyMatchesStepOneCharacterOn) {
    EXPECT_EQ(countMatches("x*", "ab"), 3);
    EXPECT_EQ(countMatches("", ""), 1);
    EXPECT_EQ(countMatches("a*", "aab"), 3);    // "aa", "" before b, "" at the end
    EXPECT_EQ(countMatches("", G("签到")), 3);  // positions count characters, not bytes
}

TEST(RegexMatcherTest, DoubleByteCharactersAreNeverSplit) {
    // The trail byte of 產 is "a", of 東 "|", of 淺 a backslash: byte-wise matching would find
    // them inside the characters.
    EXPECT_EQ(countMatches("a", G("產品"), kEvaluation), 0);
    EXPECT_EQ(countMatches(R"(\|)", G("東"), kEvaluation), 0);
    EXPECT_EQ(countMatches(R"(\\)", G("淺"), kEvaluation), 0);
    EXPECT_EQ(countMatches(R"([\x00-\x7f])", G("東產"), kEvaluation), 0);
    // A double-byte character next to the quote placeholder and in the capture.
    EXPECT_EQ(firstGroup(G("東#引号(.*?)#引号產"), G("x東\"積分：5產\"產")), G("積分：5產"));
    // Captures come back as code page 936.
    EXPECT_EQ(firstGroup(G("今日(.)"), G("今日已签到")), G("已"));
    EXPECT_EQ(firstGroup(G("(.)"), G("產")), G("產"));
}

TEST(RegexMatcherTest, CopiesShareTheLastRun) {
    RegexMatcher a;
    ASSERT_TRUE(a.run("(\\d)", "1 2 3"));
    RegexMatcher b = a;
    EXPECT_EQ(b.matchCount(), 3);
    EXPECT_EQ(b.subMatch(3, 1), "3");
    ASSERT_TRUE(a.run("(x)", "x"));
    EXPECT_EQ(a.matchCount(), 1);
    EXPECT_EQ(b.matchCount(), 3);  // the copy keeps the collection it shared
    RegexMatcher c = std::move(b);
    EXPECT_EQ(c.subMatch(2, 1), "2");
}

TEST(RegexMatcherTest, RepeatedPatternsKeepTheirOwnOptions) {
    // A pass runs the same patterns account after account, with different options between them.
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(countMatches("abc", "ABC abc"), 2);
        EXPECT_EQ(countMatches("abc", "ABC abc", {.caseSensitive = true}), 1);
        EXPECT_EQ(countMatches(G("#引号"), "\"", kEvaluation), 1);
        EXPECT_EQ(countMatches(G("#引号"), "\"", {}), 0);
        EXPECT_EQ(countMatches("^b", "a\nb"), 1);
        EXPECT_EQ(countMatches("^b", "a\nb", {.multiline = false}), 0);
    }
    // More patterns than a thread keeps compiled, twice over in turn.
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 100; ++i) {
            const std::string number = std::to_string(i);
            EXPECT_EQ(countMatches("n" + number + "x", "n" + number + "x n" + number + "y"), 1)
                << number;
        }
    }
    // Whether a pattern compiles does not depend on what ran before it.
    EXPECT_EQ(countMatches("(a)", "a"), 1);
    EXPECT_TRUE(regexError("(a"));
    EXPECT_FALSE(regexError("(a)"));
}

TEST(RegexMatcherTest, ALargeSubjectChangedInPlaceIsSearchedAsItIsNow) {
    Text page(64 * 1024, 'x');
    page += G("今日已签到");
    RegexMatcher m;
    ASSERT_TRUE(m.run(G("今日(.*)"), page));
    EXPECT_EQ(m.subMatch(1, 1), G("已签到"));
    // The same bytes at the same place with one character changed.
    page.replace(page.size() - 6, 2, G("未"));
    ASSERT_TRUE(m.run(G("今日(.*)"), page));
    EXPECT_EQ(m.subMatch(1, 1), G("未签到"));
}

// A large page: tags, attributes, Chinese text, a long run of words (exponential for
// (\w+\s?)+$), no line breaks.
Text bigPage(std::size_t bytes) {
    Text page =
        G("<html><body><p>Lorem ipsum dolor sit amet consectetur adipiscing elit sed do "
          "eiusmod tempor incididunt ut labore et dolore magna aliqua</p>");
    const Text row = G("<div class=\"item\"><a href=\"/t/123\">用户的帖子 hello world</a></div>");
    while (page.size() < bytes) {
        page += row;
    }
    page += G("<p class=\"msg\">今日已签到</p></body></html>");
    return page;
}

TEST(RegexMatcherTest, RunawayPatternsGiveUpAsNoMatchAndSaySo) {
    const Text page = bigPage(5 * 1024 * 1024);
    RegexMatcher m;
    // Exponential backtracking at a single start position.
    ASSERT_TRUE(m.run(R"((\w+\s?)+$)", page, kEvaluation));
    EXPECT_EQ(m.matchCount(), 0);
    EXPECT_TRUE(m.gaveUp());
    // Every start position rescans the rest of the page: quadratic, far beyond any match limit
    // in total although each position stays under it.
    ASSERT_TRUE(m.run(G(R"(([\s\S]*?)签到失败)"), page, kEvaluation));
    EXPECT_EQ(m.matchCount(), 0);
    EXPECT_TRUE(m.gaveUp());
    // The same page with an ordinary pattern still finds its answer; one that is not there is
    // not there.
    ASSERT_TRUE(m.run(G(R"(<p class="none">(.*?)</p>)"), page, kEvaluation));
    EXPECT_EQ(m.matchCount(), 0);
    EXPECT_FALSE(m.gaveUp());
    ASSERT_TRUE(m.run(G(R"(<p class="msg">(.*?)</p>)"), page, kEvaluation));
    EXPECT_FALSE(m.gaveUp());
    EXPECT_EQ(m.matchCount(), 1);
    EXPECT_EQ(m.subMatch(1, 1), G("今日已签到"));
}

TEST(RegexMatcherTest, ManyMatchesOnALargePage) {
    const Text page = bigPage(1024 * 1024);
    RegexMatcher m;
    ASSERT_TRUE(m.run(R"x(href="(.*?)")x", page, kEvaluation));
    EXPECT_GT(m.matchCount(), 10000);
    EXPECT_EQ(m.subMatch(m.matchCount(), 1), "/t/123");
}

}  // namespace
}  // namespace vesprey

namespace vesprey {
namespace {

std::vector<Text> literals(std::string_view utf8Pattern, const RegexOptions& options = {}) {
    return regexLiterals(G(utf8Pattern), options);
}

std::vector<Text> texts(std::initializer_list<std::string_view> utf8) {
    std::vector<Text> out;
    for (const std::string_view t : utf8) {
        out.push_back(G(t));
    }
    return out;
}

TEST(RegexLiteralsTest, EveryMatchHoldsOneOfThem) {
    EXPECT_EQ(
        literals("未登录|请登录|Not Logged in|unauthori[sz]ed|"
                 "(cookie|token|session)[^\\n]{0,20}(失效|过期)"),
        texts({"未登录", "请登录", "not logged in", "unauthori", "cookie", "token", "session"}));
    EXPECT_EQ(literals("Not", {.caseSensitive = true}), texts({"Not"}));
    // A quantifier that may leave the last character out takes it off; "+" does not.
    EXPECT_EQ(literals("colou?r|ab*|ab+c"), texts({"colo", "a", "ab"}));
    EXPECT_EQ(literals("^签到成功$|(?:已签|签过)了"), texts({"签到成功", "已签", "签过"}));
    EXPECT_EQ(literals("<div class=#引号c#引号>(.*?)</div>", {.expandQuotePlaceholder = true}),
              texts({"<div class=\"c\">"}));
    // Trail bytes with the values of "|" and "\" are halves of characters, not syntax.
    EXPECT_EQ(literals("祙a|癨b"), texts({"祙a", "癨b"}));
}

TEST(RegexLiteralsTest, NoneWhereAMatchNeedNotHoldAnyOrTheReadingCouldBeWrong) {
    for (const char* pattern :
         {"a|", "|a", "a{0,2}b", "(ab)?c", "(a|)b", ".*成功", "\\d+天", "[ab]c|d", "(?x)a b|c",
          "a(?i)b|c", "(*UCP)ab", "\\Qa|b\\E", "[[:alpha:]]|x", "成(功|败"}) {
        EXPECT_EQ(literals(pattern), std::vector<Text>{}) << pattern;
    }
    // Greek letters have other cases, and the euro sign a second code, that a byte search misses.
    for (const char* pattern : {"Σ", "€"}) {
        EXPECT_EQ(literals(pattern, {.caseSensitive = true}), std::vector<Text>{}) << pattern;
    }
}

TEST(RegexLiteralsTest, ASubjectWithALiteralInAnyCaseIsStillSearched) {
    const RegexOptions byCase{.caseSensitive = true};
    EXPECT_EQ(countMatches(G("(cookie|token)[^\\n]{0,5}(失效|expired)"),
                           G("您的 TOKEN 已失效，Cookie  EXPIRED")),
              2);
    EXPECT_EQ(countMatches(G("colou?r|签到成+"), G("COLOR 签到成成")), 2);
    EXPECT_EQ(countMatches(G("Cookie"), G("cookie Cookie"), byCase), 1);
    EXPECT_EQ(countMatches(G("未登录|session"), G("祙癨会话已过期")), 0);
    // A page without any literal finds nothing, and the run after it finds its matches.
    RegexMatcher m;
    ASSERT_TRUE(m.run(G("已签到|签到成功"), G(std::string(200000, 'x'))));
    EXPECT_EQ(m.matchCount(), 0);
    ASSERT_TRUE(m.run(G("已签到|(签到)成功"), G("今日已签到，签到成功")));
    EXPECT_EQ(m.matchCount(), 2);
    EXPECT_EQ(m.subMatch(2, 1), G("签到"));
}

}  // namespace
}  // namespace vesprey
