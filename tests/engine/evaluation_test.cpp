#include "engine/evaluation.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/messages.h"
#include "json/json.h"
#include "text/text.h"

namespace vesprey {
namespace {

// Test sources are UTF-8; the evaluation takes and returns code page 936.
Text G(std::string_view utf8) {
    return utf8ToAnsi(utf8);
}

struct Shown {
    std::string text;  // UTF-8
    std::string caption;
    MessageIcon icon;
};

class RecordingSink : public MessageSink {
public:
    void showMessage(const Text& text, const Text& caption, MessageIcon icon) override {
        shown.push_back({ansiToUtf8(text), ansiToUtf8(caption), icon});
    }
    std::vector<Shown> shown;
};

const std::string kCreateFailed = "正则创建失败，请检查正则表达式语句是否有误！";
const std::string kNoMatch = "匹配失败，请检检查正则语句是否有误，数量：0";

// ----- convertAnswer -----

TEST(ConvertAnswerTest, DefaultAndUnknownCtypesLeaveTheAnswer) {
    const Text answer = G("%E7 签到 \\u7b7e");
    EXPECT_EQ(convertAnswer(answer, kCtypeNone), answer);
    EXPECT_EQ(convertAnswer(answer, 3), answer);
    EXPECT_EQ(convertAnswer(answer, -1), answer);
    EXPECT_EQ(convertAnswer("", kCtypeUtf8Decode), "");
    EXPECT_EQ(convertAnswer("", kCtypeUsc2Ansi), "");
    // The answer ends at its first NUL.
    EXPECT_EQ(convertAnswer(std::string_view("ab\0cd", 5), kCtypeNone), "ab");
    EXPECT_EQ(convertAnswer(std::string_view("ab\0%41", 6), kCtypeUtf8Decode), "ab");
}

TEST(ConvertAnswerTest, Utf8DecodePercentDecodesThenTranscodes) {
    EXPECT_EQ(convertAnswer("%E7%AD%BE%E5%88%B0", kCtypeUtf8Decode), G("签到"));
    EXPECT_EQ(convertAnswer("%e7%ad%be%e5%88%b0", kCtypeUtf8Decode), G("签到"));
    EXPECT_EQ(convertAnswer("签到", kCtypeUtf8Decode), G("签到"));  // raw UTF-8
    EXPECT_EQ(convertAnswer("{\"msg\":\"%E6%88%90%E5%8A%9F\"}", kCtypeUtf8Decode),
              G("{\"msg\":\"成功\"}"));
    EXPECT_EQ(convertAnswer("a%2Bb%20c", kCtypeUtf8Decode), "a+b c");
    // %00 and a "%" at the very end add nothing.
    EXPECT_EQ(convertAnswer("a%00b", kCtypeUtf8Decode), "ab");
    EXPECT_EQ(convertAnswer("100%", kCtypeUtf8Decode), "100");
    // A "%" with one digit left: the missing digit counts as 0.
    EXPECT_EQ(convertAnswer("x%4", kCtypeUtf8Decode), "x@");
    // The two characters after "%" are always taken, digits or not: "G" counts as -2, so
    // "%G" + "7" is the byte (16 * -2 + 7) & 0xFF = 0xE7, and "%2" + "G" is 0x1E.
    EXPECT_EQ(convertAnswer("%2G", kCtypeUtf8Decode), "\x1E");
    EXPECT_EQ(convertAnswer("%G7%AD%BE", kCtypeUtf8Decode), G("签"));
}

TEST(ConvertAnswerTest, Usc2AnsiUnescapes) {
    EXPECT_EQ(convertAnswer("\\u7b7e\\u5230", kCtypeUsc2Ansi), G("签到"));
    EXPECT_EQ(convertAnswer("%u7B7E%u5230", kCtypeUsc2Ansi), G("签到"));
    // Mixed \u, %uXXXX, %XX, apostrophes and CR LF.
    EXPECT_EQ(convertAnswer("It's %u7B7E\\u5230%21\r\nOK %u4E0a 'x'", kCtypeUsc2Ansi),
              G("It's 签到!\r\nOK 上 'x'"));
    // A JSON answer full of escapes.
    EXPECT_EQ(convertAnswer(R"({"msg":"\u7b7e\u5230\u6210\u529f","url":"http:\/\/a.cn\/x"})",
                            kCtypeUsc2Ansi),
              G(R"({"msg":"签到成功","url":"http://a.cn/x"})"));
    EXPECT_EQ(convertAnswer(R"(a\"b\tc\\d)", kCtypeUsc2Ansi), "a\"b\tc\\d");
    EXPECT_EQ(convertAnswer(R"(a\nb)", kCtypeUsc2Ansi), "a\nb");  // an escaped LF is fine
    EXPECT_EQ(convertAnswer(R"(\x41\101\v\q)", kCtypeUsc2Ansi), "AAvq");
    // An escaped backslash before "u" still becomes %u first, so the escape is decoded.
    EXPECT_EQ(convertAnswer(R"(\\u7b7e)", kCtypeUsc2Ansi), G("签"));
    // Percent signs that start no escape stay.
    EXPECT_EQ(convertAnswer("100% %4 %zz %u12", kCtypeUsc2Ansi), "100% %4 %zz %u12");
    // GBK text passes through; a "’" in the answer comes back as an apostrophe.
    EXPECT_EQ(convertAnswer(G("今日已签到’"), kCtypeUsc2Ansi), G("今日已签到'"));
}

TEST(ConvertAnswerTest, Usc2AnsiLineBreaks) {
    EXPECT_EQ(convertAnswer("a\r\nb\r\n", kCtypeUsc2Ansi), "a\r\nb\r\n");
    EXPECT_EQ(convertAnswer("\r\na", kCtypeUsc2Ansi), "\r\na");
    // One leading CR is dropped.
    EXPECT_EQ(convertAnswer("\ra\\u5230", kCtypeUsc2Ansi), G("a到"));
    // "{$}" in the answer turns into a line break too.
    EXPECT_EQ(convertAnswer("a{$}b", kCtypeUsc2Ansi), "a\r\nb");
}

TEST(ConvertAnswerTest, Usc2AnsiFallsBackToUtf16WhenTheScriptFails) {
    // The UTF-16LE bytes of 签到上: the last character's low byte is a line feed, which the
    // script language does not allow inside a string, so the bytes are read as UTF-16.
    const std::string utf16 = "\x7E\x7B\x30\x52\x0A\x4E";
    EXPECT_EQ(convertAnswer(utf16, kCtypeUsc2Ansi), G("签到上"));
    // Every other syntax error takes the same way; each answer with the text the script was
    // given (one leading CR dropped, \\u made %u).
    const std::pair<std::string_view, std::string_view> failing[] = {
        {"a\nb", "a\nb"},   {"ab\\", "ab\\"}, {"\r\rab", "\rab"},
        {"\\x4g", "\\x4g"}, {"\\x4", "\\x4"}, {"a\\u12\\", "a%u12\\"}};
    for (const auto& [answer, given] : failing) {
        SCOPED_TRACE(std::string(answer));
        EXPECT_EQ(convertAnswer(answer, kCtypeUsc2Ansi), decodeUtf16Bytes(given));
    }
    // A script result that starts with NUL is empty as a text: the fallback is taken.
    EXPECT_EQ(convertAnswer("\\0ab", kCtypeUsc2Ansi), decodeUtf16Bytes("\\0ab"));
    EXPECT_EQ(convertAnswer("x\\0ab", kCtypeUsc2Ansi), "x");
    EXPECT_EQ(convertAnswer("x%00ab", kCtypeUsc2Ansi), "x");
}

TEST(ConvertAnswerTest, Usc2AnsiStepsOverDoubleByteCharacters) {
    // The trail byte of 淺 is a backslash: followed by "u" it is no escape.
    EXPECT_EQ(convertAnswer(G("淺u7b7e"), kCtypeUsc2Ansi), G("淺u7b7e"));
    EXPECT_EQ(convertAnswer(G("淺\\u7b7e"), kCtypeUsc2Ansi), G("淺签"));
}

TEST(UnescapeScriptLiteralTest, Escapes) {
    auto read = [](std::u16string_view body) { return unescapeScriptLiteral(body); };
    EXPECT_EQ(read(u"plain"), u"plain");
    EXPECT_EQ(read(u""), u"");
    EXPECT_EQ(read(uR"(\b\f\n\r\t\v)"), u"\b\f\n\r\tv");
    EXPECT_EQ(read(uR"(\'\"\\\q\签)"), u"'\"\\q签");
    EXPECT_EQ(read(uR"(\u7b7e\u5230)"), u"签到");
    EXPECT_EQ(read(uR"(\x41\x7e)"), u"A~");
    // Octal: up to three digits from \0-\3, up to two from \4-\7; never above \377.
    EXPECT_EQ(read(uR"(\101\60\7)"), u"A0\a");
    EXPECT_EQ(read(uR"(\377\400\08)"), std::u16string(u"\u00FF 0") + u'\0' + u"8");
    // The literal's escapes are read first, then unescape: \x25 is "%".
    EXPECT_EQ(read(uR"(\x25\x34\x31)"), u"A");
    EXPECT_EQ(read(u"%u4E0a%41%"), u"上A%");
    EXPECT_EQ(read(u"%u4E0%4"), u"%u4E0%4");
}

TEST(UnescapeScriptLiteralTest, SyntaxErrors) {
    for (std::u16string_view body :
         {u"a\nb", u"a\rb", u"it's", u"end\\", u"\\x4", u"\\x4g", u"\\u12", u"\\u12g4", u"\\\n"}) {
        EXPECT_FALSE(unescapeScriptLiteral(body).has_value()) << utf16ToUtf8(body);
    }
}

// ----- evaluateJson -----

TEST(EvaluateJsonTest, OnePath) {
    const Text answer = R"({"data":{"msg":"ok","n":1.50,"t":true,"z":null}})";
    EXPECT_EQ(evaluateJson(answer, "data.msg"), "ok");
    EXPECT_EQ(evaluateJson(answer, "data.msg=>result: [@]"), "result: ok");
    EXPECT_EQ(evaluateJson(answer, "data.msg=>[@]-[@]"), "ok-ok");
    EXPECT_EQ(evaluateJson(answer, "data.n"), "1.50");
    EXPECT_EQ(evaluateJson(answer, "data.t=>[@]!"), "true!");
    // No value: the whole answer, with or without a template.
    EXPECT_EQ(evaluateJson(answer, "data.none"), answer);
    EXPECT_EQ(evaluateJson(answer, "data"), answer);
    EXPECT_EQ(evaluateJson(answer, "data.z=>x[@]"), answer);
    EXPECT_EQ(evaluateJson(answer, "=>x[@]"), answer);
    // Two "=>": the path before the first, the template after the last.
    EXPECT_EQ(evaluateJson(answer, "data.msg=>ignored=>[@]!"), "ok!");
    // A template without "[@]" replaces the value altogether.
    EXPECT_EQ(evaluateJson(answer, "data.msg=>done"), "done");
}

TEST(EvaluateJsonTest, AnswersThatAreNotJson) {
    EXPECT_EQ(evaluateJson("<html>ok</html>", "msg"), "<html>ok</html>");
    EXPECT_EQ(evaluateJson("", "msg"), "");
    EXPECT_EQ(evaluateJson(R"({"msg":"ok")", "msg"), R"({"msg":"ok")");
}

TEST(EvaluateJsonTest, AnAnswerOverTheValueLimitIsNotJson) {
    // "msg" comes first, but the list after it holds more values than one parse makes.
    Text answer = R"({"msg":"ok","list":[)";
    for (std::int32_t k = 0; k < kJsonMaxValues; ++k) {
        answer += "0,";
    }
    answer += "0]}";
    EXPECT_EQ(evaluateJson(answer, "msg"), answer);
    EXPECT_EQ(evaluateJson(answer, "list||msg"), "");
}

TEST(EvaluateJsonTest, ChineseAndEscapes) {
    EXPECT_EQ(evaluateJson(R"({"msg":"\u7b7e\u5230"})", "msg"), G("签到"));
    EXPECT_EQ(evaluateJson(G(R"({"数据":{"消息":"好"}})"), G("数据.消息=>结果：[@]")),
              G("结果：好"));
    EXPECT_EQ(evaluateJson(R"({"list":[{"msg":"a"},{"msg":"b"}]})", "list[1].msg"), "b");
    EXPECT_EQ(evaluateJson(R"({"a.b":"dot"})", R"(a\.b)"), "dot");
}

TEST(EvaluateJsonTest, SeveralPaths) {
    const Text answer = R"({"a":"1","b":"2","e":""})";
    // Without a template: the last path's value.
    EXPECT_EQ(evaluateJson(answer, "a||b"), "2");
    EXPECT_EQ(evaluateJson(answer, "b||a"), "1");
    // The last path's value even when it is empty and an earlier one was not, and no whole
    // answer in its place.
    EXPECT_EQ(evaluateJson(answer, "a||none"), "");
    EXPECT_EQ(evaluateJson(answer, "a||e"), "");
    // With a template: the first path's value put into it when there is one...
    EXPECT_EQ(evaluateJson(answer, "a||b=>v=[@]"), "v=1");
    EXPECT_EQ(evaluateJson(answer, "a||none=>v=[@]"), "v=1");
    // ... otherwise the last path's value, bare.
    EXPECT_EQ(evaluateJson(answer, "none||b=>v=[@]"), "2");
    EXPECT_EQ(evaluateJson(answer, "none||e=>v=[@]"), "");
    EXPECT_EQ(evaluateJson(answer, "none||b||a=>v=[@]"), "1");
    // A trailing "||" adds no path; leading or doubled ones add empty paths (the root, which
    // has no text).
    EXPECT_EQ(evaluateJson(answer, "a||"), "1");
    EXPECT_EQ(evaluateJson(answer, "a||=>v=[@]"), "v=1");
    EXPECT_EQ(evaluateJson(answer, "||a"), "1");
    EXPECT_EQ(evaluateJson(answer, "||a=>v=[@]"), "1");
    EXPECT_EQ(evaluateJson(answer, "a||||"), "");
    EXPECT_EQ(evaluateJson("not json", "a||b"), "");
}

TEST(EvaluateJsonTest, MarkersNeverSplitDoubleByteCharacters) {
    // 東 ends in the byte "|", 擺 in "[": byte-wise searching would find "||" and "[@]" inside
    // them.
    const Text answer = G(R"({"東":"1","y":"2"})");
    EXPECT_EQ(evaluateJson(answer, G("東||y=>[@]!")), "1!");
    EXPECT_EQ(evaluateJson(answer, G("東=>擺@][@]")), G("擺@]1"));
    EXPECT_EQ(evaluateJson(answer, G("東")), "1");
    // Bytes that start no character do not hide the marker after them: 80 is the one-byte euro
    // sign, and FF leads nothing.
    EXPECT_EQ(evaluateJson(answer, "y=>\x80[@]"),
              "\x80"
              "2");
    EXPECT_EQ(evaluateJson(answer, "\xFF||y"), "2");
}

// ----- evaluateRegex -----

TEST(EvaluateRegexTest, FirstGroupOfTheFirstMatch) {
    RecordingSink sink;
    const Text answer = R"({"msg":"ok","msg":"second"})";
    EXPECT_EQ(evaluateRegex(answer, R"x("msg":"(.*?)")x", sink), "ok");
    EXPECT_EQ(evaluateRegex(answer, G("#引号msg#引号:#引号(.*?)#引号"), sink), "ok");
    EXPECT_EQ(evaluateRegex(answer, R"x("MSG":"(.*?)")x", sink), "ok");  // ignores case
    EXPECT_EQ(evaluateRegex(answer, R"x(("msg"):"(.*?)")x", sink), R"("msg")");
    EXPECT_EQ(evaluateRegex(answer, G(R"x("msg":"(.*?)"=>结果：[@])x"), sink), G("结果：ok"));
    EXPECT_EQ(evaluateRegex(answer, R"x("msg":"(x?)ok"=>[[@]])x", sink), "[]");
    EXPECT_EQ(evaluateRegex(answer, R"x("msg":"(x?)ok")x", sink), "");
    EXPECT_TRUE(sink.shown.empty());
}

TEST(EvaluateRegexTest, NoGroupMeansFailureWithoutAMessage) {
    RecordingSink sink;
    EXPECT_EQ(ansiToUtf8(evaluateRegex(R"({"msg":"ok"})", "msg", sink)), "匹配失败");
    EXPECT_TRUE(sink.shown.empty());
}

TEST(EvaluateRegexTest, NoMatchOnTheLastAlternative) {
    RecordingSink sink;
    EXPECT_EQ(ansiToUtf8(evaluateRegex("", "a+(b)", sink)), "匹配失败");
    ASSERT_EQ(sink.shown.size(), 1u);
    EXPECT_EQ(sink.shown[0].text, kNoMatch);
    EXPECT_EQ(sink.shown[0].caption, "信息：");
    EXPECT_EQ(sink.shown[0].icon, MessageIcon::Error);

    // "^" and "$" match only at the ends of the answer.
    sink.shown.clear();
    EXPECT_EQ(ansiToUtf8(evaluateRegex("x\nok\ny", "^(ok)$", sink)), "匹配失败");
    EXPECT_EQ(sink.shown.size(), 1u);
}

TEST(EvaluateRegexTest, InvalidPatternStopsAtOnce) {
    RecordingSink sink;
    const Text answer = R"({"msg":"ok"})";
    EXPECT_EQ(ansiToUtf8(evaluateRegex(answer, R"x((abc||"msg":"(.*?)")x", sink)), "匹配失败");
    ASSERT_EQ(sink.shown.size(), 1u);
    EXPECT_EQ(sink.shown[0].text, kCreateFailed);
    EXPECT_EQ(sink.shown[0].caption, "信息：");
    EXPECT_EQ(sink.shown[0].icon, MessageIcon::Error);

    // An alternative before it that finds nothing shows nothing of its own.
    sink.shown.clear();
    EXPECT_EQ(ansiToUtf8(evaluateRegex(answer, "(zzz)||[", sink)), "匹配失败");
    ASSERT_EQ(sink.shown.size(), 1u);
    EXPECT_EQ(sink.shown[0].text, kCreateFailed);
}

TEST(EvaluateRegexTest, Alternatives) {
    RecordingSink sink;
    const Text answer = R"({"code":7,"msg":"ok"})";
    // The first alternative that matches with a group wins; earlier misses show nothing.
    EXPECT_EQ(evaluateRegex(answer, R"x("none":(\d+)||"msg":"(.*?)")x", sink), "ok");
    // An alternative that matches without a group is passed over.
    EXPECT_EQ(evaluateRegex(answer, R"x("code"||"code":(\d+))x", sink), "7");
    EXPECT_TRUE(sink.shown.empty());
    // Every alternative matched, none had a group: failure without a message.
    EXPECT_EQ(ansiToUtf8(evaluateRegex(answer, R"x("code"||"msg")x", sink)), "匹配失败");
    EXPECT_TRUE(sink.shown.empty());
    // The last alternative finds nothing: the message, even though an earlier one matched.
    EXPECT_EQ(ansiToUtf8(evaluateRegex(answer, R"x("code"||"none":(\d))x", sink)), "匹配失败");
    EXPECT_EQ(sink.shown.size(), 1u);
}

TEST(EvaluateRegexTest, TemplatesOfSeveralAlternatives) {
    RecordingSink sink;
    const Text answer = R"({"code":7,"msg":"ok"})";
    // p1||p2=>t: a capture of p1 is returned bare, one of p2 goes into t.
    EXPECT_EQ(evaluateRegex(answer, R"x("code":(\d)||"msg":"(.*?)"=>t[@])x", sink), "7");
    EXPECT_EQ(evaluateRegex(answer, R"x("none":(\d)||"msg":"(.*?)"=>t[@])x", sink), "tok");
    // p1=>t1||p2=>t2: both go into t2.
    EXPECT_EQ(evaluateRegex(answer, R"x("code":(\d)=>a[@]||"msg":"(.*?)"=>b[@])x", sink), "b7");
    EXPECT_EQ(evaluateRegex(answer, R"x("none":(\d)=>a[@]||"msg":"(.*?)"=>b[@])x", sink), "bok");
    // p1=>t||p2: the template is everything after the last "=>", the second alternative
    // included, and it applies to p2 as well since an earlier alternative had "=>".
    EXPECT_EQ(evaluateRegex(answer, R"x("none":(\d)=>a[@]||"msg":"(.*?)")x", sink),
              R"x(aok||"msg":"(.*?)")x");
    // A trailing "||" adds no alternative but stays in the template.
    EXPECT_EQ(evaluateRegex(answer, R"x("msg":"(.*?)"=>a[@]||)x", sink), "aok||");
    EXPECT_TRUE(sink.shown.empty());
}

TEST(EvaluateRegexTest, DoubleByteCharactersNextToMarkers) {
    RecordingSink sink;
    // 東 ends in the byte "|": the statement is one alternative with a regex alternation.
    EXPECT_EQ(evaluateRegex(G("西東"), G("(東|乙)"), sink), G("東"));
    EXPECT_EQ(evaluateRegex(G("東"), G(R"((\|)||(東))"), sink), G("東"));
    // 擺 ends in "[": only the real "[@]" is replaced.
    EXPECT_EQ(evaluateRegex(G("積分：5"), G(R"(積分：(\d+)=>擺@]得[@]分)"), sink), G("擺@]得5分"));
    // A double-byte character right before the quote placeholder and the arrow.
    EXPECT_EQ(evaluateRegex(G(R"(產"今日已签到"產)"), G("產#引号(.*?)#引号產=>產[@]"), sink),
              G("產今日已签到"));
    EXPECT_TRUE(sink.shown.empty());
}

// A large page with a long run of words (exponential for (\w+\s?)+$) and no line breaks.
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

TEST(EvaluateRegexTest, RunawayPatternOnALargePageSaysItRanOutOfTime) {
    const Text page = bigPage(5 * 1024 * 1024);
    RecordingSink sink;
    EXPECT_EQ(ansiToUtf8(evaluateRegex(page, R"((\w+\s?)+$)", sink)), "正则表达式运行超时");
    ASSERT_EQ(sink.shown.size(), 1u);
    EXPECT_EQ(sink.shown[0].text,
              "正则表达式运行超时：0.5 秒内没有在答复里找完，请把正则语句写得更具体！");
    // A runaway alternative gives up and the next one is tried.
    sink.shown.clear();
    EXPECT_EQ(evaluateRegex(page, G(R"x(([\s\S]*?)签到失败||<p class="msg">(.*?)</p>)x"), sink),
              G("今日已签到"));
    EXPECT_TRUE(sink.shown.empty());
}

}  // namespace
}  // namespace vesprey
