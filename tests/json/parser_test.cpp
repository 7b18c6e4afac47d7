// The parser: error codes and positions, the leniencies stored templates depend on, unescaping,
// number literals, the member map, reference counting, depth without recursion and the limit on
// the values of one parse.
#include <gtest/gtest.h>

#include <cmath>
#include <memory_resource>
#include <mutex>
#include <new>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "json/json.h"

namespace vesprey {
namespace {

struct Outcome {
    bool ok;
    std::int32_t code;
    std::int32_t position;
};

Outcome parse(JsonDocument& doc, std::string_view text, bool decode = false,
              bool ignoreTopLevelText = false) {
    std::int32_t code = 99;
    std::int32_t position = 99;
    const bool ok = doc.Parse(text, decode, ignoreTopLevelText, &code, &position);
    return {ok, code, position};
}

// Concatenation without operator+ (which trips a false -Wrestrict in GCC 12).
std::string joined(std::initializer_list<std::string_view> parts) {
    std::string s;
    for (std::string_view part : parts) {
        s.append(part);
    }
    return s;
}

// The text of the whole document, compact and escaped.
std::string compact(std::string_view text, bool decode = false) {
    JsonDocument doc;
    const Outcome out = parse(doc, text, decode);
    EXPECT_TRUE(out.ok) << text << " code " << out.code << " at " << out.position;
    return doc.ToText();
}

// ----- Error codes and positions -----

struct ErrorCase {
    const char* text;
    std::int32_t code;
    std::int32_t position;
};

void PrintTo(const ErrorCase& c, std::ostream* out) {
    *out << c.text << " -> " << c.code << " at " << c.position;
}

class ParseErrors : public testing::TestWithParam<ErrorCase> {};

TEST_P(ParseErrors, GiveTheirCodeAndPositionAndLeaveAnEmptyRoot) {
    const ErrorCase& c = GetParam();
    JsonDocument doc;
    const Outcome out = parse(doc, c.text);
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.code, c.code);
    EXPECT_EQ(out.position, c.position);
    EXPECT_EQ(doc.GetCount(""), 0);
    EXPECT_EQ(doc.GetText("a"), "");
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ParseErrors,
    testing::Values(
        // -4: a member name was expected
        ErrorCase{R"({"a" "b":1})", -4, 5},  // a quote after a closed name
        ErrorCase{R"({{}})", -4, 1},         // a container where a name belongs
        ErrorCase{R"({"a"[1]})", -4, 4},     // a container where ":" belongs
        ErrorCase{R"({a"b":1})", -4, 2},     // a quote after bare name characters
        ErrorCase{R"({"a"x:1})", -4, 4},     // characters between a quoted name and ":"
        ErrorCase{R"({:1})", -4, 1},         // an empty name
        ErrorCase{R"({"":1})", -4, 3},       // an empty quoted name
        ErrorCase{R"([{}{}])", -4, 3},       // a container right after a closed one
        ErrorCase{R"({"a":{}{}})", -4, 7},
        // -5: containers still open at the end: the text length + 1
        ErrorCase{R"({"a":1)", -5, 7}, ErrorCase{R"([1,2)", -5, 5}, ErrorCase{R"({"a":[)", -5, 7},
        ErrorCase{"[ ", -5, 3},
        // -6: malformed or misplaced values, at the token's first character
        ErrorCase{R"({"a"})", -6, 0},           // a name without a value
        ErrorCase{R"({,"a":1})", -6, 0},        // a leading comma inside an object
        ErrorCase{R"({"a":1,,"b":2})", -6, 0},  // a doubled comma inside an object
        ErrorCase{R"({"a":})", -6, 5},          // a name with an empty value
        ErrorCase{R"([1]x)", -6, 0},            // text after the top-level container
        ErrorCase{R"([1]])", -6, 0},
        ErrorCase{R"([1 {}])", -6, 1},  // a container after other token characters
        ErrorCase{R"({"a":1{}})", -6, 5}, ErrorCase{R"([tru])", -6, 1},  // unknown literal
        ErrorCase{R"([True])", -6, 1},  // literals are case-sensitive
        ErrorCase{R"([NULL])", -6, 1}, ErrorCase{R"([NaN])", -6, 1}, ErrorCase{R"([0x10])", -6, 1},
        ErrorCase{R"([1.2.3])", -6, 1},     // two points
        ErrorCase{R"([1e5e])", -6, 1},      // two exponent letters
        ErrorCase{R"([1, 2+3-4])", -6, 4},  // two signs after the first character
        ErrorCase{R"(["a"b])", -6, 1},      // a string token must end with its quote
        ErrorCase{R"({"a":[1,2})", -6, 8},  // "}" is an ordinary character in an array token
        ErrorCase{R"({"a":x"y"})", -6, 5},
        // -7: an open quote at the end of the token
        ErrorCase{R"({"a":"x)", -7, 2},  // at the member's name
        ErrorCase{R"(["abc)", -7, 1}, ErrorCase{R"([  "x ])", -7, 3},
        ErrorCase{R"({'a':'b})", -7, 2}, ErrorCase{R"(["\"])", -7, 1}),
    [](const testing::TestParamInfo<ErrorCase>& param) {
        return joined(
            {"Minus", std::to_string(-param.param.code), "_", std::to_string(param.index)});
    });

TEST(Parse, EmptyTextIsMinus2AndBlanksAloneGiveAnEmptyObject) {
    JsonDocument doc;
    Outcome out = parse(doc, "");
    EXPECT_EQ(out.code, -2);
    EXPECT_EQ(out.position, 0);
    EXPECT_FALSE(out.ok);

    JsonDocument blanks;
    out = parse(blanks, " \t\r\n ");
    EXPECT_TRUE(out.ok);
    EXPECT_EQ(out.code, 0);
    EXPECT_EQ(blanks.GetType(""), JsonKind::Object);
    EXPECT_EQ(blanks.ToText(), "{}");

    // The text ends at its first NUL.
    JsonDocument nul;
    out = parse(nul, std::string_view("\0{\"a\":1}", 8));
    EXPECT_EQ(out.code, -2);
    EXPECT_TRUE(parse(nul, std::string_view("{\"a\":1}\0garbage", 15)).ok);
    EXPECT_EQ(nul.GetText("a"), "1");
}

TEST(Parse, CreateWithAndWithoutText) {
    JsonDocument doc;
    std::int32_t code = 0;
    std::int32_t position = 5;
    EXPECT_TRUE(doc.Create(std::nullopt, false, false, &code, &position));
    EXPECT_EQ(position, 5);  // untouched without text
    EXPECT_EQ(doc.GetType(""), JsonKind::Object);
    code = -4;
    EXPECT_FALSE(doc.Create(std::nullopt, false, false, &code, nullptr));  // as the caller set it
    EXPECT_TRUE(doc.Create("[1,2]", false, false, &code, &position));
    EXPECT_EQ(doc.ToText(), "[1,2]");
    EXPECT_FALSE(doc.Create("", false, false, &code, &position));
    EXPECT_EQ(code, -2);
    EXPECT_EQ(doc.ToText(), "{}");  // a new empty object even though the text was empty
    EXPECT_TRUE(doc.CreateFromUtf16(u"{\"k\":\"\u7b7e\"}", false, false, &code, &position));
    EXPECT_EQ(doc.GetText(u"k"), u"\u7b7e");
}

TEST(Parse, AFailedOrNewParseNeverKeepsEarlierValues) {
    JsonDocument doc;
    ASSERT_TRUE(parse(doc, R"({"a":1,"b":[1,2]})").ok);
    ASSERT_TRUE(parse(doc, R"({"c":3})").ok);
    EXPECT_EQ(doc.ToText(), R"({"c":3})");
    EXPECT_EQ(parse(doc, R"({"d":4,"e")").code, -6);
    EXPECT_EQ(doc.ToText(), "{}");
    ASSERT_TRUE(parse(doc, "[1]").ok);
    EXPECT_EQ(parse(doc, "").code, -2);
    EXPECT_EQ(doc.ToText(), "[]");  // cleared, keeping its kind
    // The root is reused: a document around it sees the new contents.
    JsonDocument shared = doc;
    ASSERT_TRUE(parse(doc, R"({"x":"y"})").ok);
    EXPECT_EQ(shared.GetText("x"), "y");
}

// ----- Leniencies -----

TEST(Leniency, QuotesNamesAndCommas) {
    EXPECT_EQ(compact(R"({'a':'x', b : "y", c:true,})"), R"({"a":"x","b":"y","c":true})");
    EXPECT_EQ(compact("[1,,2,]"), "[1,2]");
    EXPECT_EQ(compact("[,]"), "[]");
    EXPECT_EQ(compact("{ }"), "{}");
    EXPECT_EQ(compact(R"({"a":1,})"), R"({"a":1})");
    EXPECT_EQ(compact(R"(["it's", 'say "hi"'])"), R"(["it's","say \"hi\""])");
    // A bare name keeps its inner blanks and loses the outer ones.
    EXPECT_EQ(compact("{ first name :1}"), R"({"first name":1})");
    EXPECT_EQ(compact(R"({"a b":1})"), R"({"a b":1})");
}

TEST(Leniency, ValuesAfterAClosedContainerNeedNoComma) {
    EXPECT_EQ(compact(R"({"a":{}"b":1})"), R"({"a":{},"b":1})");
    EXPECT_EQ(compact(R"([[1]2])"), "[[1],2]");
    EXPECT_EQ(compact(R"([{}"x"])"), R"([{},"x"])");
    EXPECT_EQ(compact(R"({"a":[1], "b":2})"), R"({"a":[1],"b":2})");
}

TEST(Leniency, ASecondTopLevelContainerContinuesTheRoot) {
    EXPECT_EQ(compact(R"({"a":1}{"b":2})"), R"({"a":1,"b":2})");
    EXPECT_EQ(compact(R"({"a":1} {"a":3})"), R"({"a":3})");
    EXPECT_EQ(compact("{}[]"), "[]");
    EXPECT_EQ(compact("[1][2]"), "[1,2]");
    EXPECT_EQ(compact(R"({"a":1}[2])"), "[2]");
}

TEST(Leniency, TextAfterTheContainerIsIgnoredOnRequest) {
    JsonDocument doc;
    EXPECT_TRUE(parse(doc, "[1]x", false, true).ok);
    EXPECT_EQ(doc.ToText(), "[1]");
    EXPECT_TRUE(parse(doc, R"(while(1);{"a":1} trailing)", false, true).ok);
    EXPECT_EQ(doc.ToText(), R"({"a":1})");
}

TEST(Leniency, ALoneScalarIsTheDocument) {
    JsonDocument doc;
    ASSERT_TRUE(parse(doc, "123").ok);
    EXPECT_EQ(doc.GetType(""), JsonKind::Integer);
    EXPECT_EQ(doc.GetText(""), "123");
    ASSERT_TRUE(parse(doc, R"("abc")").ok);
    EXPECT_EQ(doc.GetType(""), JsonKind::String);
    EXPECT_EQ(doc.GetText(""), "abc");
    ASSERT_TRUE(parse(doc, "  true\r\n").ok);  // blanks around it do not count
    EXPECT_EQ(doc.GetType(""), JsonKind::Boolean);
    ASSERT_TRUE(parse(doc, "null").ok);
    EXPECT_EQ(doc.GetType(""), JsonKind::Null);
    ASSERT_TRUE(parse(doc, R"("[1]")").ok);  // brackets inside a string open nothing
    EXPECT_EQ(doc.GetText(""), "[1]");
    EXPECT_EQ(parse(doc, "abc").code, -6);
    EXPECT_EQ(parse(doc, "1 2 x").code, -6);
}

// ----- Members -----

TEST(Members, ALaterMemberReplacesTheEarlierInItsPlace) {
    JsonDocument doc;
    ASSERT_TRUE(parse(doc, R"({"a":1,"b":2,"a":{"x":3}})").ok);
    EXPECT_EQ(doc.GetCount(""), 2);
    EXPECT_EQ(doc.GetKeys(""), (std::vector<Text>{"a", "b"}));
    EXPECT_EQ(doc.GetText("a.x"), "3");
    EXPECT_EQ(doc.ToText(), R"({"a":{"x":3},"b":2})");
    EXPECT_EQ(compact(R"({"b":1,"a":2})"), R"({"b":1,"a":2})");
}

TEST(Members, HashAndBucketGrowth) {
    JsonDocument doc;
    ASSERT_TRUE(parse(doc, R"({"a":1,"ab":2})").ok);
    // Over the UTF-16LE bytes from the last to the first, h = h * 31 + byte.
    EXPECT_EQ(doc.RootValue()->member(u"a")->hash(), 97);
    EXPECT_EQ(doc.RootValue()->member(u"ab")->hash(), (98 * 31) * 31 + 97);
    EXPECT_EQ(doc.RootValue()->member(u"\u7b7e"), nullptr);

    JsonDocument han;
    ASSERT_TRUE(han.ParseUtf16(u"{\"\u7b7e\":1}"));  // bytes 7E 7B
    EXPECT_EQ(han.RootValue()->member(u"\u7b7e")->hash(), 0x7B * 31 + 0x7E);

    // 11 buckets hold 8 members; the 9th makes 23 (threshold 17), the 18th 47.
    std::string text = "{";
    JsonDocument grow;
    for (int k = 0; k < 200; ++k) {
        text += joined({k ? ",\"k" : "\"k", std::to_string(k), "\":", std::to_string(k)});
        ASSERT_TRUE(parse(grow, text + "}").ok);
        const std::int32_t buckets = grow.RootValue()->bucketCount();
        const int members = k + 1;
        EXPECT_EQ(buckets, members <= 8     ? 11
                           : members <= 17  ? 23
                           : members <= 35  ? 47
                           : members <= 71  ? 95
                           : members <= 143 ? 191
                                            : 383)
            << members;
    }
    for (int k = 0; k < 200; ++k) {
        EXPECT_EQ(grow.GetInt32(joined({"k", std::to_string(k)})), k);
    }
    EXPECT_EQ(grow.GetKeys("").front(), "k0");
    EXPECT_EQ(grow.GetKeys("").back(), "k199");
}

// An object "k0":0 .. "k<count-1>":count-1 whose first member comes again at the end as "k0":-1.
std::string membersWithARepeat(int count) {
    std::string text = "{";
    for (int k = 0; k < count; ++k) {
        text += joined({"\"k", std::to_string(k), "\":", std::to_string(k), ","});
    }
    return text + "\"k0\":-1}";
}

TEST(Members, BucketsFollowTheMembersLeftHoweverTheObjectWasBuilt) {
    // A repeated name leaves one member fewer than were read: the buckets are those of the
    // members left, as when they are added one by one.
    JsonDocument doc;
    ASSERT_TRUE(parse(doc, membersWithARepeat(8)).ok);  // 9 read, 8 left
    EXPECT_EQ(doc.GetCount(""), 8);
    EXPECT_EQ(doc.RootValue()->bucketCount(), 11);
    EXPECT_EQ(doc.GetKeys("").front(), "k0");
    EXPECT_EQ(doc.GetInt32("k0"), -1);
    // Written after the parse, the 9th member brings 23 buckets; every member is still found.
    ASSERT_TRUE(doc.SetInt32("k8", 8));
    EXPECT_EQ(doc.RootValue()->bucketCount(), 23);
    for (int k = 1; k <= 8; ++k) {
        EXPECT_EQ(doc.GetInt32(joined({"k", std::to_string(k)})), k);
    }

    ASSERT_TRUE(parse(doc, membersWithARepeat(18)).ok);  // 19 read: room for 47 buckets
    EXPECT_EQ(doc.RootValue()->bucketCount(), 47);
    ASSERT_TRUE(parse(doc, membersWithARepeat(17)).ok);  // 18 read, 17 left
    EXPECT_EQ(doc.RootValue()->bucketCount(), 23);
    EXPECT_EQ(doc.GetInt32("k0"), -1);
    EXPECT_EQ(doc.GetInt32("k16"), 16);
}

// ----- Unescaping -----

TEST(Unescape, LineBreaksBecomeCrLfExceptAtTheStartOrAfterACr) {
    JsonDocument doc;
    ASSERT_TRUE(parse(doc, R"({"s":"a\nb", "t":"\r\n", "u":"\n", "v":"a\\n", \nb:1, "\nc":2})").ok);
    EXPECT_EQ(doc.GetText("s"), "a\r\nb");
    EXPECT_EQ(doc.GetText("t"), "\r\n");   // \n right after a CR
    EXPECT_EQ(doc.GetText("u"), "\r\n");   // the opening quote comes first
    EXPECT_EQ(doc.GetText("v"), "a\\n");   // an escaped backslash, then a plain n
    EXPECT_EQ(doc.GetKeys("")[4], "\nb");  // a name: the backslash is its first character
    EXPECT_EQ(doc.GetKeys("")[5], "\nc");
}

TEST(Unescape, SimpleEscapes) {
    JsonDocument doc;
    ASSERT_TRUE(parse(doc, R"(["\"\\\/\b\t\r\f", "\'x\q", "a\"b"])").ok);
    EXPECT_EQ(doc.GetText("[0]"), "\"\\/\b\t\r\f");
    EXPECT_EQ(doc.GetText("[1]"), "\\'x\\q");  // unknown escapes keep their backslash
    EXPECT_EQ(doc.GetText("[2]"), "a\"b");
}

TEST(Unescape, ABackslashRightBeforeTheClosingQuote) {
    // \u without four hex digits is no escape, so the backslash after "ABC" pairs with the
    // closing quote: after a double quote nothing of the pair stays, after a single quote the
    // backslash does.
    JsonDocument doc;
    ASSERT_TRUE(parse(doc, R"(["\uABC\", '\uABC\'])", true).ok);
    EXPECT_EQ(doc.GetText("[0]"), "\\uABC");
    EXPECT_EQ(doc.GetText("[1]"), "\\uABC\\");
}

TEST(Unescape, UnicodeEscapesOnlyOnRequest) {
    const std::string text = R"({"zh":"\u4e2d", "nul":"a\u0000b", "pair":"\ud83d\ude00",)"
                             R"( "bad":"\u12G4", "\u0041":1})";
    JsonDocument on;
    ASSERT_TRUE(parse(on, text, true).ok);
    EXPECT_EQ(on.GetText(u"zh"), u"\u4e2d");
    EXPECT_EQ(on.GetText("zh"), utf8ToAnsi("中"));
    EXPECT_EQ(on.GetText("nul"), "ab");               // \u0000 is dropped
    EXPECT_EQ(on.GetText(u"pair"), u"\xd83d\xde00");  // two code units, as they came
    EXPECT_EQ(on.GetText("bad"), "\\u12G4");          // not four hex digits: left alone
    EXPECT_EQ(on.GetInt32("A"), 1);

    JsonDocument off;
    ASSERT_TRUE(parse(off, text, false).ok);
    EXPECT_EQ(off.GetText("zh"), "\\u4e2d");
    EXPECT_EQ(off.GetText("nul"), "a\\u0000b");
    EXPECT_EQ(off.GetInt32("\\u0041"), 1);
    // Either way a \u escape is skipped whole while scanning: its digits never end a token.
    EXPECT_EQ(compact(R"(["\u0022]"])"), R"(["\\u0022]"])");
}

TEST(Unescape, GbkTextAndChineseNames) {
    JsonDocument doc;
    const Text text = utf8ToAnsi(R"({"网站":"某论坛","请求模式":"1","签到":{"结果":"成功"}})");
    ASSERT_TRUE(parse(doc, text).ok);
    EXPECT_EQ(doc.GetText(utf8ToAnsi("网站")), utf8ToAnsi("某论坛"));
    EXPECT_EQ(doc.GetInt32(utf8ToAnsi("请求模式")), 1);
    EXPECT_EQ(doc.GetText(utf8ToAnsi("签到.结果")), utf8ToAnsi("成功"));
    EXPECT_EQ(doc.ToText(), text);
}

// ----- Numbers -----

TEST(Numbers, LiteralsAreKeptVerbatim) {
    JsonDocument doc;
    ASSERT_TRUE(
        parse(doc, "[1e5, 1.50, 007, -5, .5, 1E+5, -5.0, 1e, -, +7, 123456789012345678901]").ok);
    EXPECT_EQ(doc.ToText(), "[1e5,1.50,007,-5,.5,1E+5,-5.0,1e,-,+7,123456789012345678901]");
    const JsonKind kinds[] = {JsonKind::Real,    JsonKind::Real,   JsonKind::Integer,
                              JsonKind::Integer, JsonKind::Real,   JsonKind::Real,
                              JsonKind::Real,    JsonKind::Real,   JsonKind::Integer,
                              JsonKind::Integer, JsonKind::Integer};
    for (int k = 0; k < 11; ++k) {
        EXPECT_EQ(doc.GetType(joined({"[", std::to_string(k), "]"})), kinds[k]) << k;
    }
    EXPECT_EQ(doc.GetText("[0]"), "1e5");
    EXPECT_DOUBLE_EQ(doc.GetReal("[0]"), 100000.0);
    EXPECT_EQ(doc.GetText("[1]"), "1.50");
    EXPECT_EQ(doc.GetText("[2]"), "007");
    EXPECT_EQ(doc.GetInteger("[2]"), 7);
    EXPECT_EQ(doc.GetInteger("[3]"), -5);
    EXPECT_DOUBLE_EQ(doc.GetReal("[4]"), 0.5);
    EXPECT_DOUBLE_EQ(doc.GetReal("[5]"), 100000.0);
    EXPECT_DOUBLE_EQ(doc.GetReal("[7]"), 1.0);  // the numeric prefix
    EXPECT_EQ(doc.GetInteger("[8]"), 0);
    EXPECT_EQ(doc.GetInteger("[9]"), 7);
    EXPECT_EQ(doc.GetInteger("[10]"), INT64_MAX);  // saturates
}

TEST(Numbers, IntegersAreExactToTheEndsOfTheRangeAndSaturateBeyond) {
    JsonDocument doc;
    ASSERT_TRUE(parse(doc,
                      "[999999999999999999, -99999999999999999, 9223372036854775807,"
                      " -9223372036854775808, 9999999999999999999, -9999999999999999999, -0]")
                    .ok);
    EXPECT_EQ(doc.GetInteger("[0]"), 999'999'999'999'999'999);
    EXPECT_EQ(doc.GetInteger("[1]"), -99'999'999'999'999'999);
    EXPECT_EQ(doc.GetInteger("[2]"), INT64_MAX);
    EXPECT_EQ(doc.GetInteger("[3]"), INT64_MIN);
    EXPECT_EQ(doc.GetInteger("[4]"), INT64_MAX);
    EXPECT_EQ(doc.GetInteger("[5]"), INT64_MIN);
    EXPECT_EQ(doc.GetInteger("[6]"), 0);
    EXPECT_EQ(doc.GetText("[6]"), "-0");
}

TEST(Numbers, RealsBeyondTheRangeOverflowOrUnderflow) {
    JsonDocument doc;
    ASSERT_TRUE(parse(doc, "[2.5, 1e400, -1e400, 1e-400, 0.1e1]").ok);
    EXPECT_DOUBLE_EQ(doc.GetReal("[0]"), 2.5);
    EXPECT_EQ(doc.GetReal("[1]"), HUGE_VAL);
    EXPECT_EQ(doc.GetReal("[2]"), -HUGE_VAL);
    EXPECT_EQ(doc.GetReal("[3]"), 0.0);
    EXPECT_DOUBLE_EQ(doc.GetReal("[4]"), 1.0);
    EXPECT_EQ(doc.GetInt32("[1]"), INT32_MAX);  // truncation saturates
    EXPECT_EQ(doc.GetInteger("[2]"), INT64_MIN);
}

// ----- Values, references and heaps -----

TEST(Values, AMemberOutlivesItsDocumentAndReleasingDetaches) {
    JsonDocument member;
    {
        JsonDocument doc;
        ASSERT_TRUE(parse(doc, R"({"a":{"x":[1,2]},"b":2})").ok);
        member = doc.GetMember("", "a");
        EXPECT_EQ(member.GetKey(""), "a");
        EXPECT_EQ(member.RootValue()->refCount(), 2);
    }
    // The parent is gone: the member stands alone, without its name.
    EXPECT_EQ(member.RootValue()->parent(), nullptr);
    EXPECT_EQ(member.GetKey(""), "");
    EXPECT_EQ(member.ToText(), R"({"x":[1,2]})");

    JsonDocument doc;
    ASSERT_TRUE(parse(doc, R"({"a":1,"b":2,"c":3})").ok);
    JsonValue* b = doc.RootValue()->member(u"b");
    b->addRef();
    EXPECT_TRUE(doc.GetMember("", "b").Detach());
    EXPECT_EQ(doc.ToText(), R"({"a":1,"c":3})");
    EXPECT_EQ(b->refCount(), 1);
    b->release();
    // Releasing the last reference of a member detaches it first.
    JsonValue* c = doc.RootValue()->member(u"c");
    c->release();  // the container's own reference
    EXPECT_EQ(doc.ToText(), R"({"a":1})");
    EXPECT_EQ(doc.RootValue()->member(u"c"), nullptr);
}

TEST(Values, ClearingKeepsTheKind) {
    JsonDocument doc;
    ASSERT_TRUE(parse(doc, R"({"o":{"a":1},"l":[1],"s":"x","n":5})").ok);
    for (const char* path : {"o", "l", "s", "n"}) {
        const JsonKind kind = doc.GetType(path);
        EXPECT_TRUE(doc.ClearAt(path));
        EXPECT_EQ(doc.GetType(path), kind) << path;
        EXPECT_EQ(doc.GetCount(path), 0);
        EXPECT_EQ(doc.GetText(path), "");
    }
    EXPECT_EQ(doc.ToText(), R"({"o":{},"l":[],"s":"","n":})");
}

TEST(Values, ParsedContainersGrowAndChangeAfterTheParse) {
    // What a parse builds comes from its own blocks; what is added later comes from the heap.
    JsonDocument doc;
    ASSERT_TRUE(parse(doc, R"({"l":[0,1,2,3,4,5,6,7],"o":{"a":0,"b":1,"c":2,"d":3,"e":4,)"
                           R"("f":5,"g":6,"h":7},"e":{},"s":"x"})")
                    .ok);
    JsonDocument kept = doc.GetMember("", "o");
    for (int k = 8; k < 40; ++k) {
        ASSERT_TRUE(doc.SetInt32(joined({"l[", std::to_string(k), "]"}), k));
        ASSERT_TRUE(doc.SetInt32(joined({"o.k", std::to_string(k)}), k));
        ASSERT_TRUE(doc.SetInt32(joined({"e.k", std::to_string(k)}), k));
    }
    EXPECT_TRUE(doc.SetText("s", "a longer text than before"));
    EXPECT_TRUE(doc.SetText("l[3]", "three"));
    EXPECT_TRUE(doc.RemoveMember("o", "a"));
    EXPECT_EQ(doc.GetCount("l"), 40);
    EXPECT_EQ(doc.GetCount("o"), 39);
    EXPECT_EQ(doc.GetInt32("o.h"), 7);
    EXPECT_EQ(doc.GetInt32("o.k39"), 39);
    EXPECT_EQ(doc.GetText("l[3]"), "three");
    EXPECT_EQ(doc.GetInt32("l[39]"), 39);
    doc.Clear();
    // The member outlives the document and the rest of its parse.
    EXPECT_EQ(kept.GetInt32("k20"), 20);
    EXPECT_EQ(kept.GetKeys("").front(), "b");
}

// Counts live allocations; fails every allocation after `budget` of them.
class TestHeap : public std::pmr::memory_resource {
public:
    explicit TestHeap(long budget = -1) : budget_(budget) {}
    long live() const { return live_; }
    long made() const { return made_; }

private:
    void* do_allocate(std::size_t bytes, std::size_t align) override {
        if (budget_ >= 0 && made_ >= budget_) {
            throw std::bad_alloc();
        }
        ++made_;
        ++live_;
        return std::pmr::new_delete_resource()->allocate(bytes, align);
    }
    void do_deallocate(void* p, std::size_t bytes, std::size_t align) override {
        --live_;
        std::pmr::new_delete_resource()->deallocate(p, bytes, align);
    }
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
        return this == &other;
    }
    long budget_;
    long live_ = 0;
    long made_ = 0;
};

TEST(Values, TheTreeComesFromTheRootsHeapAndGoesBackToIt) {
    TestHeap heap;
    {
        JsonDocument doc(&heap);
        ASSERT_TRUE(doc.Create(R"({"a":[1,"x",{"b":null}],"c":"y"})"));
        EXPECT_GT(heap.live(), 5);
        EXPECT_EQ(doc.GetMember("", "a").RootValue()->heap(), &heap);
        EXPECT_TRUE(doc.SetText("a[2].d", "z"));
        EXPECT_TRUE(doc.MergeText("", R"({"e":[1,2,3]})"));
        EXPECT_TRUE(doc.SetElementDocument("a", 5, doc.GetCopy("a")));
    }
    EXPECT_EQ(heap.live(), 0);
}

TEST(Values, RunningOutOfMemoryIsMinus3) {
    // The store of the value at index 5 fails.
    for (long budget = 0; budget < 40; ++budget) {
        TestHeap heap(budget);
        JsonDocument doc(&heap);
        std::int32_t code = 0;
        std::int32_t position = 0;
        const bool ok = doc.Create(R"({"a":1,"b":[true,"x"]})", false, false, &code, &position);
        if (budget == 0) {
            EXPECT_EQ(code, -3);  // not even the root
            EXPECT_EQ(doc.RootValue(), nullptr);
        } else if (!ok) {
            EXPECT_EQ(code, -3);
            EXPECT_EQ(doc.ToText(), "{}");
        } else {
            EXPECT_EQ(doc.ToText(), R"({"a":1,"b":[true,"x"]})");
            EXPECT_GE(budget, 4);
        }
        if (budget == 1) {
            EXPECT_EQ(position, 5);  // the value token of the first member
        }
    }
    TestHeap none(0);
    JsonDocument limited(&none);
    std::int32_t code = 0;
    EXPECT_FALSE(limited.Create(std::nullopt, false, false, &code));
    EXPECT_EQ(code, -3);
}

// Standing in for the default heap, `heap` also receives the blocks of every parse.
class DefaultHeap {
public:
    explicit DefaultHeap(std::pmr::memory_resource* heap)
        : previous_(std::pmr::set_default_resource(heap)) {}
    ~DefaultHeap() { std::pmr::set_default_resource(previous_); }
    DefaultHeap(const DefaultHeap&) = delete;
    DefaultHeap& operator=(const DefaultHeap&) = delete;

private:
    std::pmr::memory_resource* previous_;
};

// ----- Releasing a parsed tree -----
//
// A parsed tree that nothing has touched goes with its blocks in one go; anything done to it
// after the parse (a value handed out, changed, removed, added, a parse into one of its values)
// must leave it released value by value. Either way every allocation goes back and every value
// still held stays readable.

struct AfterParse {
    const char* name;
    // Done to the parsed document; what it keeps in `kept` outlives the document.
    void (*act)(JsonDocument& doc, std::vector<JsonDocument>& kept);
    // The compact text of each kept document, each followed by ";".
    const char* keptText;
};

void PrintTo(const AfterParse& c, std::ostream* out) {
    *out << c.name;
}

constexpr std::string_view kParsedAnswer = R"({"a":{"b":"x","c":[1,2]},"d":[{"e":true}],"f":"y"})";

class ParsedTreeRelease : public testing::TestWithParam<AfterParse> {};

TEST_P(ParsedTreeRelease, GivesBackEveryAllocationAndKeepsWhatIsHeld) {
    const AfterParse& c = GetParam();
    TestHeap heap;
    {
        const DefaultHeap scope(&heap);
        std::vector<JsonDocument> kept;
        {
            JsonDocument doc;
            ASSERT_TRUE(parse(doc, kParsedAnswer).ok);
            c.act(doc, kept);
        }
        std::string texts;
        for (const JsonDocument& k : kept) {
            texts.append(k.ToText()).append(";");
        }
        EXPECT_EQ(texts, c.keptText);
    }
    EXPECT_EQ(heap.live(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Events, ParsedTreeRelease,
    testing::Values(
        AfterParse{
            "Untouched",
            [](JsonDocument& doc, std::vector<JsonDocument>&) { EXPECT_EQ(doc.GetText("f"), "y"); },
            ""},
        AfterParse{"MemberHeld",
                   [](JsonDocument& doc, std::vector<JsonDocument>& kept) {
                       kept.push_back(doc.GetMember("", "a"));
                   },
                   R"({"b":"x","c":[1,2]};)"},
        AfterParse{"DeepElementHeld",
                   [](JsonDocument& doc, std::vector<JsonDocument>& kept) {
                       kept.push_back(doc.GetElement("d", 0));
                   },
                   R"({"e":true};)"},
        AfterParse{"MemberDetached",
                   [](JsonDocument& doc, std::vector<JsonDocument>& kept) {
                       JsonDocument member = doc.GetMember("", "a");
                       EXPECT_TRUE(member.Detach());
                       kept.push_back(member);
                   },
                   R"({"b":"x","c":[1,2]};)"},
        AfterParse{"DocumentShared",
                   [](JsonDocument& doc, std::vector<JsonDocument>& kept) { kept.push_back(doc); },
                   R"({"a":{"b":"x","c":[1,2]},"d":[{"e":true}],"f":"y"};)"},
        AfterParse{"StringChanged",
                   [](JsonDocument& doc, std::vector<JsonDocument>&) {
                       EXPECT_TRUE(doc.SetText("a.b", "longer"));
                   },
                   ""},
        AfterParse{"MemberRemoved",
                   [](JsonDocument& doc, std::vector<JsonDocument>&) {
                       EXPECT_TRUE(doc.RemoveMember("a", "c"));
                   },
                   ""},
        AfterParse{"MemberAddedToTheRoot",
                   [](JsonDocument& doc, std::vector<JsonDocument>&) {
                       EXPECT_TRUE(doc.SetInteger("g", 7));
                   },
                   ""},
        AfterParse{"ArrayGrown",
                   [](JsonDocument& doc, std::vector<JsonDocument>&) {
                       for (int k = 0; k < 20; ++k) {
                           EXPECT_TRUE(doc.AppendDocument("a.c", JsonDocument::NewInteger(k)));
                       }
                   },
                   ""},
        AfterParse{
            "SubtreeCleared",
            [](JsonDocument& doc, std::vector<JsonDocument>&) { EXPECT_TRUE(doc.ClearAt("a")); },
            ""},
        AfterParse{"TextMerged",
                   [](JsonDocument& doc, std::vector<JsonDocument>&) {
                       EXPECT_TRUE(doc.MergeText("", R"({"a":{"b":"z"},"d":5,"h":[1]})"));
                   },
                   ""},
        AfterParse{"ParsedAgain",
                   [](JsonDocument& doc, std::vector<JsonDocument>& kept) {
                       kept.push_back(doc.GetMember("", "f"));
                       EXPECT_TRUE(parse(doc, R"([1,{"k":2}])").ok);
                   },
                   R"("y";)"},
        AfterParse{"ParsedIntoAMemberHeld",
                   [](JsonDocument& doc, std::vector<JsonDocument>& kept) {
                       JsonDocument inner = doc.GetDocument("a");
                       EXPECT_TRUE(parse(inner, R"({"k":[1,2,3]})").ok);
                       kept.push_back(inner);
                   },
                   R"({"k":[1,2,3]};)"},
        AfterParse{"ParsedIntoAMemberDropped",
                   [](JsonDocument& doc, std::vector<JsonDocument>&) {
                       JsonDocument inner = doc.GetDocument("d[0]");
                       EXPECT_TRUE(parse(inner, R"({"k":[1,2,3]})").ok);
                       EXPECT_EQ(doc.GetText("d[0].k[2]"), "3");
                   },
                   ""}),
    [](const testing::TestParamInfo<AfterParse>& param) { return param.param.name; });

TEST(Values, DocumentsParsedAndReleasedOnThreadsThatEnd) {
    // Blocks go back from whichever thread releases a parse's last value, and each thread keeps
    // one for its next parse until it ends. Every document alive at once keeps its own values.
    auto answer = [](int t, int k) {
        return joined({R"({"t":)", std::to_string(t), R"(,"k":)", std::to_string(k), "}"});
    };
    std::mutex mutex;
    std::vector<std::pair<std::string, JsonDocument>> handedOver;
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([&, t] {
            for (int k = 0; k < 50; ++k) {
                JsonDocument doc;
                EXPECT_TRUE(parse(doc, answer(t, k)).ok);
                if (k % 10 == 0) {
                    const std::lock_guard<std::mutex> lock(mutex);
                    handedOver.emplace_back(answer(t, k), doc);
                }
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    std::vector<std::pair<std::string, JsonDocument>> alive;
    for (int k = 0; k < 40; ++k) {
        alive.emplace_back(answer(9, k), JsonDocument());
        EXPECT_TRUE(parse(alive.back().second, alive.back().first).ok);
    }
    ASSERT_EQ(handedOver.size(), 20u);
    for (const auto& [text, doc] : handedOver) {
        EXPECT_EQ(doc.ToText(), text);
    }
    for (const auto& [text, doc] : alive) {
        EXPECT_EQ(doc.ToText(), text);
    }
}

// ----- The value limit -----

TEST(Limits, AsManyValuesAsTheLimitParse) {
    std::string text = "[";
    for (std::int32_t k = 0; k < kJsonMaxValues; ++k) {
        text += "0,";
    }
    text.back() = ']';
    JsonDocument doc;
    ASSERT_TRUE(parse(doc, text).ok);
    EXPECT_EQ(doc.GetCount(""), kJsonMaxValues);
    EXPECT_EQ(doc.GetText(joined({"[", std::to_string(kJsonMaxValues - 1), "]"})), "0");
}

struct OverLimit {
    const char* shape;
    std::string (*text)();
    std::int32_t position;  // of the first value over the limit
};

void PrintTo(const OverLimit& c, std::ostream* out) {
    *out << c.shape;
}

class ValuesOverTheLimit : public testing::TestWithParam<OverLimit> {};

TEST_P(ValuesOverTheLimit, FailWithMinus8AndFreeWhatTheParseMade) {
    const OverLimit& c = GetParam();
    TestHeap heap;
    {
        const DefaultHeap scope(&heap);
        JsonDocument doc;
        const Outcome out = parse(doc, c.text());
        EXPECT_EQ(out.code, json_error::kTooLarge);
        EXPECT_EQ(out.position, c.position);
        EXPECT_EQ(doc.GetCount(""), 0);
        EXPECT_EQ(heap.live(), 1);  // the root alone
    }
    EXPECT_EQ(heap.live(), 0);
}

// One level more than the limit below the root: every value is a container still open.
std::string nestedArrays() {
    constexpr auto kLevels = static_cast<std::size_t>(kJsonMaxValues) + 2;
    std::string text(kLevels, '[');
    text.append(kLevels, ']');
    return text;
}

// {"a":0,"a":0,...}: each member replaces the one before, but every one was read and counts.
std::string oneMemberRepeated() {
    std::string text = "{";
    for (std::int32_t k = 0; k <= kJsonMaxValues; ++k) {
        text += R"("a":0,)";
    }
    text.back() = '}';
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, ValuesOverTheLimit,
    testing::Values(OverLimit{"NestedArrays", nestedArrays, kJsonMaxValues + 1},
                    OverLimit{"OneMemberRepeated", oneMemberRepeated, 1 + 6 * kJsonMaxValues + 4}),
    [](const testing::TestParamInfo<OverLimit>& param) { return param.param.shape; });

// ----- Depth -----

// As deep as the value limit lets a text go: a million levels, far beyond any stack.
constexpr auto kDepth = static_cast<std::size_t>(kJsonMaxValues);

TEST(Depth, DeepArraysParseSerializeCopyMergeAndRelease) {
    std::string text(kDepth, '[');
    text.append(kDepth, ']');
    JsonDocument copy;
    {
        JsonDocument doc;
        ASSERT_TRUE(parse(doc, text).ok);
        EXPECT_EQ(doc.ToText(), text);
        copy = doc.GetCopy("");
    }  // released here
    EXPECT_EQ(copy.ToText(), text);
    EXPECT_TRUE(copy.MergeText("", text));
    EXPECT_EQ(copy.GetCount("[0][0][0]"), 1);
    copy.Clear();
    // Not closed: -5, and everything parsed so far is released.
    text.pop_back();
    JsonDocument open;
    const Outcome out = parse(open, text);
    EXPECT_EQ(out.code, -5);
    EXPECT_EQ(out.position, static_cast<std::int32_t>(text.size() + 1));
}

TEST(Depth, DeepObjectsParseSerializeCopyMergeAndRelease) {
    std::string text;
    text.reserve(kDepth * 6 + 2);
    for (std::size_t k = 0; k < kDepth; ++k) {
        text += "{\"a\":";
    }
    text += "1";
    text.append(kDepth, '}');
    JsonDocument copy;
    {
        JsonDocument doc;
        ASSERT_TRUE(parse(doc, text).ok);
        EXPECT_EQ(doc.GetType("a.a.a.a"), JsonKind::Object);
        EXPECT_EQ(doc.ToText(), text);
        copy = doc.GetCopy("a");  // one level less
    }
    EXPECT_EQ(copy.ToText(), std::string_view(text).substr(5, text.size() - 6));
    // Merging walks both trees to the bottom, where 1 gives way to {"a":1}.
    EXPECT_TRUE(copy.MergeText("", text));
    EXPECT_EQ(copy.ToText(), text);
}

}  // namespace
}  // namespace vesprey
