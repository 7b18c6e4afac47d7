// Path access, the conversions, writes by path, the serializer and the operations on documents.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "json/json.h"

namespace vesprey {
namespace {

JsonDocument parsed(std::string_view text, bool decode = false) {
    JsonDocument doc;
    EXPECT_TRUE(doc.Parse(text, decode)) << text;
    return doc;
}

JsonDocument created() {
    JsonDocument doc;
    EXPECT_TRUE(doc.Create());
    return doc;
}

Text gbk(std::string_view utf8) {
    return utf8ToAnsi(utf8);
}

// ----- Paths -----

TEST(Path, ReadsMembersAndElements) {
    const JsonDocument doc = parsed(R"({"data":{"list":[{"msg":"ok"}]},"n":5})");
    EXPECT_EQ(doc.GetText("data.list[0].msg"), "ok");
    EXPECT_EQ(doc.GetText("data.list[1].msg"), "");
    EXPECT_EQ(doc.GetText("data.list[-1].msg"), "");
    EXPECT_EQ(doc.GetText("data"), "");  // an object has no text
    EXPECT_EQ(doc.GetCount("data.list"), 1);
    EXPECT_EQ(doc.GetText("[0].list[0].msg"), "ok");  // an index on an object: the n-th member
    EXPECT_EQ(doc.GetText("[1]"), "5");
    EXPECT_EQ(doc.GetText("n.x"), "");                    // a name on a number finds nothing
    EXPECT_EQ(doc.GetText("n[0]"), "");                   // an index on a number finds nothing
    EXPECT_EQ(doc.GetText("data..list[0]...msg"), "ok");  // empty names are skipped
    EXPECT_EQ(doc.GetText("data.list[0].msg."), "ok");
    EXPECT_EQ(doc.GetType(""), JsonKind::Object);  // the empty path is the root
    EXPECT_EQ(doc.GetCount(""), 2);
    EXPECT_EQ(doc.GetText("data.list[x].msg"), "ok");  // no digits read as 0
    EXPECT_EQ(doc.GetText("data.list[0abc].msg"), "ok");
    EXPECT_EQ(doc.GetCount("data.list[0"), 1);  // an unclosed index runs to the end
}

TEST(Path, BackslashesTakeSeparatorsIntoNames) {
    const JsonDocument doc =
        parsed(R"({"a.b":1, "c[0]":2, "d\\e":3, "f\\g":4, "a":{"b":5}, "x]y":6, "w\\":7})");
    EXPECT_EQ(doc.GetText(R"(a\.b)"), "1");
    EXPECT_EQ(doc.GetText("a.b"), "5");
    EXPECT_EQ(doc.GetText(R"(c\[0\])"), "2");
    EXPECT_EQ(doc.GetText(R"(d\\e)"), "3");  // an escaped backslash
    EXPECT_EQ(doc.GetText(R"(f\g)"), "4");   // before any other character it stays
    EXPECT_EQ(doc.GetText(R"(x\]y)"), "6");
    EXPECT_EQ(doc.GetText(R"(w\)"), "7");  // a backslash at the end stays too
    // A "]" without "[" ends the name it closes and drops it.
    EXPECT_EQ(doc.GetText("zzz].a.b"), "5");
    EXPECT_TRUE(doc.Exists(R"(a\.b)"));
    EXPECT_FALSE(doc.Exists("a.c"));
    EXPECT_FALSE(doc.Exists(""));  // only a non-empty path exists
}

TEST(Path, GbkNamesAndUtf16Twins) {
    const JsonDocument doc = parsed(gbk(R"({"网站":{"名称":"某站"},"list":["甲","乙"]})"));
    EXPECT_EQ(doc.GetText(gbk("网站.名称")), gbk("某站"));
    EXPECT_EQ(doc.GetText(u"\u7f51\u7ad9.\u540d\u79f0"), u"\u67d0\u7ad9");
    EXPECT_EQ(doc.GetText(u"list[1]"), u"\u4e59");
    EXPECT_EQ(doc.GetType(u"list"), JsonKind::Array);
    EXPECT_EQ(doc.GetCount(u"list"), 2);
    EXPECT_EQ(doc.GetKeys(u""), (std::vector<std::u16string>{u"\u7f51\u7ad9", u"list"}));
    EXPECT_EQ(doc.GetKey(u"list"), u"list");
    EXPECT_EQ(doc.ToUtf16Text(u"list"), u"[\"\u7532\",\"\u4e59\"]");
}

// ----- Reading and the conversions -----

TEST(Read, TextOfEachKind) {
    const JsonDocument doc =
        parsed(R"({"s":"x","r":1.50,"i":007,"b":true,"f":false,"n":null,"a":[1],"o":{}})");
    EXPECT_EQ(doc.GetText("s"), "x");
    EXPECT_EQ(doc.GetText("r"), "1.50");
    EXPECT_EQ(doc.GetText("i"), "007");
    EXPECT_EQ(doc.GetText("b"), "true");
    EXPECT_EQ(doc.GetText("f"), "false");
    EXPECT_EQ(doc.GetText("n"), "");
    EXPECT_EQ(doc.GetText("a"), "");
    EXPECT_EQ(doc.GetText("o"), "");
    EXPECT_EQ(doc.GetLiteralText("n"), "null");
    EXPECT_EQ(doc.GetLiteralText("r"), "1.50");
    EXPECT_EQ(doc.GetLiteralText("b"), "true");
    EXPECT_EQ(doc.GetLiteralText("s"), "");
    EXPECT_EQ(doc.GetLiteralText("a"), "");
    EXPECT_EQ(doc.GetType("missing"), JsonKind::Raw);
    EXPECT_EQ(doc.GetType("n"), JsonKind::Null);
    EXPECT_EQ(doc.GetType("r"), JsonKind::Real);
    EXPECT_EQ(doc.GetType("i"), JsonKind::Integer);
}

TEST(Read, Conversions) {
    const JsonDocument doc = parsed(
        R"({"r":1.50,"neg":-1.9,"tiny":0.00000001,"i":4294967298,"b":true,"s":"12abc","abc":"abc",)"
        R"("minus":"-42x","plus":"+7","blank":" 8","real":" 2.5e1x","n":null,"a":[1],"o":{"x":1},)"
        R"("zero":0,"big":3e10})");
    EXPECT_EQ(doc.GetInt32("r"), 1);
    EXPECT_EQ(doc.GetInt32("neg"), -1);  // toward zero
    EXPECT_EQ(doc.GetInteger("neg"), -1);
    EXPECT_DOUBLE_EQ(doc.GetReal("r"), 1.5);
    EXPECT_TRUE(doc.GetBoolean("r"));
    EXPECT_FALSE(doc.GetBoolean("tiny"));  // within 0.0000001 of zero
    EXPECT_EQ(doc.GetInt32("big"), INT32_MAX);

    EXPECT_EQ(doc.GetInt32("i"), 2);  // the low 32 bits
    EXPECT_EQ(doc.GetInteger("i"), 4294967298);
    EXPECT_DOUBLE_EQ(doc.GetReal("i"), 4294967298.0);
    EXPECT_TRUE(doc.GetBoolean("i"));
    EXPECT_FALSE(doc.GetBoolean("zero"));

    EXPECT_EQ(doc.GetInt32("b"), 1);
    EXPECT_EQ(doc.GetInteger("b"), 1);
    EXPECT_DOUBLE_EQ(doc.GetReal("b"), 1.0);
    EXPECT_TRUE(doc.GetBoolean("b"));

    EXPECT_EQ(doc.GetInt32("s"), 12);
    EXPECT_EQ(doc.GetInt32("abc"), 0);
    EXPECT_EQ(doc.GetInt32("minus"), -42);
    EXPECT_EQ(doc.GetInt32("plus"), 0);  // GetInt32 takes a minus sign only
    EXPECT_EQ(doc.GetInteger("plus"), 7);
    EXPECT_EQ(doc.GetInt32("blank"), 0);  // and no leading blanks
    EXPECT_EQ(doc.GetInteger("blank"), 8);
    EXPECT_DOUBLE_EQ(doc.GetReal("real"), 25.0);
    EXPECT_DOUBLE_EQ(doc.GetReal("abc"), 0.0);
    EXPECT_FALSE(doc.GetBoolean("s"));  // a string is never true

    for (const char* path : {"n", "a", "o", "missing"}) {
        EXPECT_EQ(doc.GetInt32(path), 0) << path;
        EXPECT_EQ(doc.GetInteger(path), 0) << path;
        EXPECT_EQ(doc.GetReal(path), 0.0) << path;
        EXPECT_FALSE(doc.GetBoolean(path)) << path;
    }
}

TEST(Read, TemplateImportReadsNumbersOrDigitStrings) {
    const JsonDocument doc = parsed(
        gbk(R"({"网站":"论坛","请求模式":"2","响应类型":1,"编码转换":"0","Headers":"a: b"})"));
    EXPECT_EQ(doc.GetText(gbk("网站")), gbk("论坛"));
    EXPECT_EQ(doc.GetInt32(gbk("请求模式")), 2);
    EXPECT_EQ(doc.GetInt32(gbk("响应类型")), 1);
    EXPECT_EQ(doc.GetInt32(gbk("编码转换")), 0);
    EXPECT_EQ(doc.GetText("Headers"), "a: b");
    EXPECT_EQ(doc.GetText("Date"), "");
}

// ----- Writing -----

TEST(Write, SetTextCreatesThePathInOrder) {
    JsonDocument doc = created();
    EXPECT_TRUE(doc.SetText("msgtype", "markdown"));
    EXPECT_TRUE(doc.SetText("markdown.title", gbk("签到结果")));
    EXPECT_TRUE(doc.SetText("markdown.text", gbk("论坛：签到成功\r\n\"引号\"")));
    EXPECT_EQ(doc.GetKeys(""), (std::vector<Text>{"msgtype", "markdown"}));
    EXPECT_EQ(doc.GetKeys("markdown"), (std::vector<Text>{"title", "text"}));
    // The DingTalk body: no escaping, one line, members in the order they were set.
    EXPECT_EQ(doc.ToText("", false, false),
              gbk("{\"msgtype\":\"markdown\",\"markdown\":{\"title\":\"签到结果\",\"text\":"
                  "\"论坛：签到成功\r\n\"引号\"\"}}"));
    EXPECT_EQ(doc.ToText(), gbk(R"({"msgtype":"markdown","markdown":{"title":"签到结果","text":)"
                                R"("论坛：签到成功\r\n\"引号\""}})"));
}

TEST(Write, WritesConvertWhatIsInTheWay) {
    JsonDocument doc = parsed(R"({"a":5,"keep":1})");
    EXPECT_TRUE(doc.SetText("a.b", "x"));
    EXPECT_EQ(doc.ToText(), R"({"a":{"b":"x"},"keep":1})");
    EXPECT_TRUE(doc.SetText("a.b[1]", "y"));  // the string becomes an array
    EXPECT_EQ(doc.ToText(), R"({"a":{"b":[null,"y"]},"keep":1})");

    JsonDocument list = created();
    EXPECT_TRUE(list.SetText("list[2]", "x"));
    EXPECT_EQ(list.ToText(), R"({"list":[null,null,"x"]})");

    JsonDocument root = created();
    EXPECT_TRUE(root.SetText("[1]", "x"));
    EXPECT_EQ(root.ToText(), R"([null,"x"])");
    EXPECT_TRUE(root.SetText("name", "y"));  // and back into an object
    EXPECT_EQ(root.ToText(), R"({"name":"y"})");

    JsonDocument negative = parsed(R"({"a":[1]})");
    EXPECT_FALSE(negative.SetText("a[-1]", "x"));
    EXPECT_FALSE(negative.SetText("a[-1].b", "x"));
    EXPECT_EQ(negative.ToText(), R"({"a":[1]})");

    JsonDocument empty;  // no root yet: the first write makes one
    EXPECT_TRUE(empty.SetText("k", "v"));
    EXPECT_EQ(empty.ToText(), R"({"k":"v"})");
}

TEST(Write, ScalarSetters) {
    JsonDocument doc = created();
    EXPECT_TRUE(doc.SetNull("n"));
    EXPECT_TRUE(doc.SetBoolean("b", true));
    EXPECT_TRUE(doc.SetReal("r", 0.1));
    EXPECT_TRUE(doc.SetReal("big", 1e21));
    EXPECT_TRUE(doc.SetReal("nan", std::nan("")));
    EXPECT_TRUE(doc.SetInteger("i", -9007199254740993));
    EXPECT_TRUE(doc.SetInt32("i32", -5));
    EXPECT_TRUE(doc.SetRaw("raw", R"({"pre":"made"})"));
    EXPECT_TRUE(doc.SetEmptyObject("o"));
    EXPECT_TRUE(doc.SetEmptyArray("l"));
    EXPECT_EQ(doc.ToText(),
              R"({"n":null,"b":true,"r":0.1,"big":1e+21,"nan":null,"i":-9007199254740993,)"
              R"("i32":-5,"raw":{"pre":"made"},"o":{},"l":[]})");
    EXPECT_EQ(doc.GetType("r"), JsonKind::Real);
    EXPECT_DOUBLE_EQ(doc.GetReal("r"), 0.1);
    EXPECT_EQ(doc.GetType("i32"), JsonKind::Integer);
    EXPECT_EQ(doc.GetInteger("i"), -9007199254740993);
    EXPECT_EQ(doc.GetType("raw"), JsonKind::Raw);
    EXPECT_EQ(doc.GetLiteralText("raw"), R"({"pre":"made"})");
    EXPECT_EQ(doc.GetText("raw"), "");

    // An object or array stays as it is; anything else is replaced.
    EXPECT_TRUE(doc.SetText("o.x", "1"));
    EXPECT_TRUE(doc.SetEmptyObject("o"));
    EXPECT_EQ(doc.GetCount("o"), 1);
    EXPECT_TRUE(doc.SetEmptyArray("o"));
    EXPECT_EQ(doc.ToText("o"), "[]");
}

TEST(Write, RemoveAndClear) {
    JsonDocument doc = parsed(R"({"a":1,"b":[1,2,3],"c":{"d":1}})");
    EXPECT_TRUE(doc.RemoveMember("", "a"));
    EXPECT_FALSE(doc.RemoveMember("", "a"));
    EXPECT_TRUE(doc.RemoveElement("b", 1));
    EXPECT_EQ(doc.ToText("b"), "[1,3]");
    EXPECT_FALSE(doc.RemoveElement("b", 2));
    EXPECT_FALSE(doc.RemoveElement("b", -1));
    EXPECT_TRUE(doc.ClearAt("c"));
    EXPECT_EQ(doc.ToText(), R"({"b":[1,3],"c":{}})");
    // Removing resolves the path for writing, so a missing path is created on the way.
    EXPECT_FALSE(doc.RemoveMember("x.y", "z"));
    EXPECT_EQ(doc.ToText(), R"({"b":[1,3],"c":{},"x":{"y":null}})");
}

// ----- Serialization -----

TEST(Serialize, PrettyOutputByteForByte) {
    JsonDocument doc = parsed(R"({"a":1,"b":[1,2]})");
    EXPECT_EQ(doc.ToText("", true), "{\r\n\t\"a\":1,\r\n\t\"b\":[1,2]\r\n}");
    JsonDocument nested = parsed(R"({"a":{"b":{}},"c":[{"d":1}],"e":[]})");
    EXPECT_EQ(nested.ToText("", true),
              "{\r\n\t\"a\":{\r\n\t\t\"b\":{\r\n\t\t}\r\n\t},\r\n\t\"c\":[{\r\n\t\t\t\"d\":1\r\n"
              "\t\t}],\r\n\t\"e\":[]\r\n}");
    EXPECT_EQ(parsed("{}").ToText("", true), "{\r\n}");
    EXPECT_EQ(parsed("[1,{}]").ToText("", true), "[1,{\r\n\t}]");
    EXPECT_EQ(nested.ToText("a", true), "{\r\n\t\"b\":{\r\n\t}\r\n}");
}

TEST(Serialize, EscapingOnAndOff) {
    JsonDocument doc = created();
    doc.SetText(u"s", u"q\" s/ b\\ n\n r\r t\t f\f b\b ' \x01 \u4e2d");
    EXPECT_EQ(doc.ToUtf16Text(u"s"),
              u"\"q\\\" s\\/ b\\\\ n\\n r\\r t\\t f\\f b\\b ' \x01 \u4e2d\"");
    EXPECT_EQ(doc.ToUtf16Text(u"s", false, false),
              u"\"q\" s/ b\\ n\n r\r t\t f\f b\b ' \x01 \u4e2d\"");
    EXPECT_EQ(doc.ToText("s"), gbk("\"q\\\" s\\/ b\\\\ n\\n r\\r t\\t f\\f b\\b ' \x01 中\""));
    // Names are escaped the same way.
    JsonDocument names = parsed(R"({"a\"b/c":1})");
    EXPECT_EQ(names.ToText(), R"({"a\"b\/c":1})");
    EXPECT_EQ(names.ToText("", false, false), R"({"a"b/c":1})");
}

TEST(Serialize, ValuesAndMissingPaths) {
    const JsonDocument doc = parsed(R"({"a":[1,"x",true,null,1e5],"s":"t"})");
    EXPECT_EQ(doc.ToText("a"), R"([1,"x",true,null,1e5])");
    EXPECT_EQ(doc.ToText("a[1]"), R"("x")");
    EXPECT_EQ(doc.ToText("a[4]"), "1e5");
    EXPECT_EQ(doc.ToText("missing"), "");
    EXPECT_EQ(JsonDocument().ToText(), "");
    EXPECT_EQ(doc.ToText("", false, true, 1), R"({"a":[1,"x",true,null,1e5],"s":"t"})");
}

// ----- Documents around values -----

TEST(Documents, SharedValuesAndTheirPlaces) {
    JsonDocument doc = parsed(R"({"data":{"list":[{"msg":"ok"},{"msg":"no"}]}})");
    JsonDocument list = doc.GetMember("data", "list");
    EXPECT_EQ(list.GetType(""), JsonKind::Array);
    EXPECT_EQ(list.GetKey(""), "list");
    JsonDocument second = doc.GetElement("data.list", 1);
    EXPECT_EQ(second.GetText("msg"), "no");
    EXPECT_TRUE(second.SetText("msg", "changed"));  // shared, not copied
    EXPECT_EQ(doc.GetText("data.list[1].msg"), "changed");
    EXPECT_EQ(doc.GetElement("data", 0).GetKey(""), "list");  // the n-th member
    EXPECT_EQ(doc.GetParent("data.list[0]").RootValue(), list.RootValue());
    EXPECT_EQ(doc.GetParent("").RootValue(), nullptr);
    EXPECT_EQ(doc.GetParent("missing").RootValue(), nullptr);
    EXPECT_EQ(doc.GetMember("data", "missing").RootValue(), nullptr);
    EXPECT_EQ(doc.GetElement("data.list", 2).RootValue(), nullptr);

    std::vector<JsonDocument> children = doc.GetChildren("data.list");
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(children[0].GetText("msg"), "ok");
    EXPECT_EQ(doc.GetChildren("data.list[0].msg").size(), 0u);

    JsonDocument created = doc.GetDocument("data.extra.deep");
    EXPECT_EQ(created.GetType(""), JsonKind::Null);
    EXPECT_TRUE(created.SetText("", "v"));
    EXPECT_EQ(doc.GetText("data.extra.deep"), "v");

    JsonDocument copy = doc.GetCopy("data.list");
    EXPECT_TRUE(copy.SetText("[0].msg", "copy"));
    EXPECT_EQ(doc.GetText("data.list[0].msg"), "ok");  // deep, not shared
    EXPECT_EQ(copy.GetKey(""), "");

    JsonDocument attached;
    attached.AttachRoot(doc.GetMember("data", "list").RootValue());
    EXPECT_EQ(attached.GetCount(""), 2);
    EXPECT_TRUE(attached.Detach());
    EXPECT_FALSE(attached.Detach());
    EXPECT_EQ(doc.GetType("data.list"), JsonKind::Raw);
    EXPECT_EQ(list.GetCount(""), 2);  // still alive through the other documents
    attached.Clear();
    EXPECT_EQ(attached.RootValue(), nullptr);
}

TEST(Documents, NewValues) {
    EXPECT_EQ(JsonDocument::NewObject().ToText(), "{}");
    EXPECT_EQ(JsonDocument::NewArray().ToText(), "[]");
    EXPECT_EQ(JsonDocument::NewNull().ToText(), "null");
    EXPECT_EQ(JsonDocument::NewBoolean(false).ToText(), "false");
    EXPECT_EQ(JsonDocument::NewString(gbk("签")).ToText(), gbk("\"签\""));
    EXPECT_EQ(JsonDocument::NewStringUtf16(u"a\"b").ToUtf16Text(), u"\"a\\\"b\"");
    EXPECT_EQ(JsonDocument::NewReal(2.5).ToText(), "2.5");
    EXPECT_EQ(JsonDocument::NewInteger(-7).GetLiteralText(""), "-7");
    EXPECT_EQ(JsonDocument::NewString("x").GetType(""), JsonKind::String);
}

TEST(Documents, StoringDeepCopies) {
    JsonDocument doc = parsed(R"({"o":{"a":1,"b":2},"l":[1,2]})");
    const JsonDocument value = parsed(R"({"v":[true]})");
    EXPECT_TRUE(doc.SetMemberDocument("o", "a", value));  // replaces in place
    EXPECT_TRUE(doc.SetMemberDocument("o", "c", value));
    EXPECT_EQ(doc.ToText("o"), R"({"a":{"v":[true]},"b":2,"c":{"v":[true]}})");
    EXPECT_TRUE(doc.SetText("o.a.v[0]", "changed"));
    EXPECT_EQ(value.ToText(), R"({"v":[true]})");  // a copy was stored

    EXPECT_TRUE(doc.AppendDocument("l", JsonDocument::NewInteger(3)));
    EXPECT_TRUE(doc.InsertDocument("l", 0, JsonDocument::NewInteger(0)));
    EXPECT_TRUE(doc.InsertDocument("l", 4, JsonDocument::NewInteger(4)));
    EXPECT_FALSE(doc.InsertDocument("l", 6, JsonDocument::NewInteger(6)));
    EXPECT_FALSE(doc.InsertDocument("l", -1, JsonDocument::NewInteger(6)));
    EXPECT_EQ(doc.ToText("l"), "[0,1,2,3,4]");
    EXPECT_TRUE(doc.SetElementDocument("l", 1, JsonDocument::NewString("one")));
    EXPECT_TRUE(doc.SetElementDocument("l", 7, JsonDocument::NewString("seven")));
    EXPECT_FALSE(doc.SetElementDocument("l", -1, JsonDocument::NewNull()));
    EXPECT_EQ(doc.ToText("l"), R"([0,"one",2,3,4,null,null,"seven"])");
    EXPECT_FALSE(doc.AppendDocument("l", JsonDocument()));  // nothing to store

    // Storing a document into itself copies it first.
    EXPECT_TRUE(doc.SetMemberDocument("", "self", doc));
    EXPECT_EQ(doc.GetText("self.l[1]"), "one");
    EXPECT_EQ(doc.GetType("self.self"), JsonKind::Raw);

    // Into something that is not a container: it becomes one.
    JsonDocument scalar = parsed(R"({"x":5})");
    EXPECT_TRUE(scalar.AppendDocument("x", JsonDocument::NewNull()));
    EXPECT_EQ(scalar.ToText(), R"({"x":[null]})");
}

TEST(Documents, InsertMemberAtAPosition) {
    JsonDocument doc = parsed(R"({"a":1,"b":2,"c":3})");
    EXPECT_TRUE(doc.InsertMemberDocument("", "x", 0, JsonDocument::NewInteger(9)));
    EXPECT_EQ(doc.ToText(), R"({"x":9,"a":1,"b":2,"c":3})");
    EXPECT_TRUE(doc.InsertMemberDocument("", "y", 4, JsonDocument::NewInteger(8)));
    EXPECT_EQ(doc.ToText(), R"({"x":9,"a":1,"b":2,"c":3,"y":8})");
    EXPECT_TRUE(doc.InsertMemberDocument("", "c", 1, JsonDocument::NewInteger(7)));  // moves c
    EXPECT_EQ(doc.ToText(), R"({"x":9,"c":7,"a":1,"b":2,"y":8})");
    EXPECT_FALSE(doc.InsertMemberDocument("", "z", 6, JsonDocument::NewInteger(0)));
    EXPECT_FALSE(doc.InsertMemberDocument("", "c", 5, JsonDocument::NewInteger(0)));
    EXPECT_EQ(doc.GetInt32("c"), 7);
    EXPECT_EQ(doc.GetInt32("b"), 2);  // lookups still work after the moves
}

TEST(Documents, MergeMembersAndAppendElements) {
    JsonDocument doc = parsed(R"({"o":{"a":1,"b":2},"l":[1]})");
    EXPECT_TRUE(doc.MergeMembers("o", parsed(R"({"b":{"x":1},"c":3})")));
    EXPECT_EQ(doc.ToText("o"), R"({"a":1,"b":{"x":1},"c":3})");
    EXPECT_FALSE(doc.MergeMembers("o", parsed("[1]")));
    EXPECT_TRUE(doc.AppendElements("l", parsed(R"([2,{"y":3}])")));
    EXPECT_EQ(doc.ToText("l"), R"([1,2,{"y":3}])");
    EXPECT_FALSE(doc.AppendElements("l", parsed("{}")));
    EXPECT_TRUE(doc.AppendElements("l", doc.GetDocument("l")));  // with itself
    EXPECT_EQ(doc.ToText("l"), R"([1,2,{"y":3},1,2,{"y":3}])");
}

TEST(Documents, MergeText) {
    JsonDocument doc = parsed(R"({"a":{"x":1,"y":{"z":1}},"b":[1,2],"c":"s"})");
    EXPECT_TRUE(doc.MergeText("", R"({"a":{"y":{"z":2,"w":3},"v":4},"b":[3],"c":{"k":1},"d":5})"));
    EXPECT_EQ(doc.ToText(), R"({"a":{"x":1,"y":{"z":2,"w":3},"v":4},"b":[3],"c":{"k":1},"d":5})");
    EXPECT_TRUE(doc.MergeText("a", R"({"x":"new","only":1})", false, false));  // no additions
    EXPECT_EQ(doc.ToText("a"), R"({"x":"new","y":{"z":2,"w":3},"v":4})");
    EXPECT_TRUE(doc.MergeText("b", R"("\u4e2d")", true));
    EXPECT_EQ(doc.GetText(u"b"), u"\u4e2d");
    std::int32_t code = 0;
    std::int32_t position = 0;
    EXPECT_FALSE(doc.MergeText("", R"({"a":)", false, true, &code, &position));
    EXPECT_EQ(code, -6);
    EXPECT_EQ(doc.GetText("d"), "5");  // unchanged after a failed parse
}

TEST(Documents, Sorting) {
    JsonDocument doc = parsed(R"({"b":1,"C":2,"a":3,"c":4})");
    EXPECT_TRUE(doc.SortMembers(""));
    EXPECT_EQ(doc.GetKeys(""), (std::vector<Text>{"C", "a", "b", "c"}));
    EXPECT_TRUE(doc.SortMembers("", true));
    EXPECT_EQ(doc.GetKeys(""), (std::vector<Text>{"c", "b", "a", "C"}));
    EXPECT_TRUE(doc.SortMembers("", false, false));
    EXPECT_EQ(doc.GetKeys(""), (std::vector<Text>{"a", "b", "c", "C"}));  // stable for c and C
    EXPECT_EQ(doc.GetInt32("C"), 2);
    EXPECT_FALSE(doc.SortMembers("a"));

    JsonDocument list = parsed(R"([3,"1",2,{"k":0},10])");
    auto byNumber = [](const JsonValue& a, const JsonValue& b) {
        const double x = a.kind() == JsonKind::Integer ? static_cast<double>(a.integerValue()) : -1;
        const double y = b.kind() == JsonKind::Integer ? static_cast<double>(b.integerValue()) : -1;
        return x < y ? -1 : x > y ? 1 : 0;
    };
    EXPECT_TRUE(list.Sort("", byNumber));
    EXPECT_EQ(list.ToText(), R"(["1",{"k":0},2,3,10])");
    EXPECT_TRUE(doc.Sort("", [](const JsonValue& a, const JsonValue& b) {
        return static_cast<int>(b.integerValue() - a.integerValue());
    }));
    EXPECT_EQ(doc.ToText(), R"({"c":4,"a":3,"C":2,"b":1})");
    // A comparison that contradicts itself cannot break the list.
    int flip = 0;
    EXPECT_TRUE(
        list.Sort("", [&](const JsonValue&, const JsonValue&) { return (flip++ % 3) - 1; }));
    EXPECT_EQ(list.GetCount(""), 5);
    EXPECT_FALSE(list.Sort("nothing", byNumber));
    EXPECT_FALSE(parsed("[1]").Sort("[0]", byNumber));  // not a container
}

// Copies of documents share the tree; reference counts are atomic, so documents sharing a tree
// may be released on different threads.
TEST(Documents, CopiesShareTheTree) {
    JsonDocument doc = parsed(R"({"a":[1,2,3]})");
    JsonDocument copy = doc;
    EXPECT_EQ(copy.RootValue(), doc.RootValue());
    EXPECT_EQ(doc.RootValue()->refCount(), 2);
    copy.SetText("b", "x");
    EXPECT_EQ(doc.GetText("b"), "x");
    JsonDocument moved = std::move(copy);
    EXPECT_EQ(doc.RootValue()->refCount(), 2);
    copy = moved;
    EXPECT_EQ(doc.RootValue()->refCount(), 3);
    std::vector<JsonDocument> many(64, doc);
    std::thread worker([mine = std::move(many)]() mutable { mine.clear(); });
    JsonDocument member = doc.GetMember("", "a");
    worker.join();
    EXPECT_EQ(doc.RootValue()->refCount(), 3);
    EXPECT_EQ(member.RootValue()->refCount(), 2);
}

}  // namespace
}  // namespace vesprey
