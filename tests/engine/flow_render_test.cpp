// The template renderer of the multi-step templates: expressions, filters, functions and
// blocks against fixed variables, and the errors it reports with their positions.
#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "engine/flow/render.h"

namespace vesprey::flow {
namespace {

// 2026-01-02 03:04:05.25 UTC; the local zone is UTC+8.
constexpr std::int64_t kNowSeconds = 1767323045;

RenderContext fixedContext(std::uint64_t randomValue = 41) {
    RenderContext context;
    context.now = [] {
        return std::chrono::system_clock::time_point(std::chrono::seconds(kNowSeconds)) +
               std::chrono::milliseconds(250);
    };
    context.random = [randomValue] { return randomValue; };
    context.utcOffset = std::chrono::hours(8);
    return context;
}

Variables fixedVariables() {
    Variables v;
    v["name"] = Value("张三");
    v["n"] = Value(7);
    v["f"] = Value(2.5);
    v["s"] = Value("a b");
    v["word"] = Value("Hello World");
    v["items"] = Value(ValueList{Value(1), Value(2), Value(3)});
    v["words"] = Value(ValueList{Value("b"), Value("a"), Value("c")});
    v["m"] = Value(ValueMap{{"a", Value(ValueMap{{"b", Value("x")}})}, {"k", Value(1)}});
    v["empty"] = Value("");
    v["zero"] = Value(0);
    v["text"] = Value("<p>Hi &amp; <b>bye</b></p>");
    v["path"] = Value("/a b/c?d=1&e=中");
    v["nums"] = Value(ValueList{Value("3"), Value("12")});
    v["t"] = Value("  pad  ");
    return v;
}

// Renders `text`; the error's position and message when it fails to compile or to render.
std::string render(std::string_view text, const RenderContext& context = fixedContext()) {
    auto compiled = Template::compile(text);
    if (auto* error = std::get_if<TemplateError>(&compiled)) {
        return "compile error at " + std::to_string(error->position) + ": " + error->message;
    }
    auto rendered = std::get<Template>(compiled).render(fixedVariables(), context);
    if (auto* error = std::get_if<TemplateError>(&rendered)) {
        return "render error at " + std::to_string(error->position) + ": " + error->message;
    }
    return std::get<std::string>(rendered);
}

struct Case {
    const char* text;
    const char* expected;
};

// What Jinja2 renders for these, with md5, sha1, sha256, b64encode and b64decode over the UTF-8
// bytes. One difference on purpose: a member of an undefined value is undefined too, where Jinja2
// stops with an error.
const Case kJinjaCases[] = {
    {R"~({{ missing }})~", R"~()~"},
    {R"~([{{ missing.attr }}])~", R"~([])~"},
    {R"~({{ missing|default('d') }})~", R"~(d)~"},
    {R"~({{ empty|default('d') }})~", R"~()~"},
    {R"~({{ empty|default('d', true) }})~", R"~(d)~"},
    {R"~({{ zero|default(5, boolean=True) }})~", R"~(5)~"},
    {R"~({{ name }})~", R"~(张三)~"},
    {R"~({{ path|urlencode }})~", R"~(/a%20b/c%3Fd%3D1%26e%3D%E4%B8%AD)~"},
    {R"~({{ name|urlencode }})~", R"~(%E5%BC%A0%E4%B8%89)~"},
    {R"~({{ 'a+b=c'|urlencode }})~", R"~(a%2Bb%3Dc)~"},
    {R"~({{ {'a b': 'c&d', 'e': 1}|urlencode }})~", R"~(a+b=c%26d&e=1)~"},
    {R"~({{ 7 / 2 }})~", R"~(3.5)~"},
    {R"~({{ 6 / 2 }})~", R"~(3.0)~"},
    {R"~({{ 7 // 2 }})~", R"~(3)~"},
    {R"~({{ -7 // 2 }})~", R"~(-4)~"},
    {R"~({{ -7 % 3 }})~", R"~(2)~"},
    {R"~({{ 7.0 // 2 }})~", R"~(3.0)~"},
    {R"~({{ 2 ** 10 }})~", R"~(1024)~"},
    {R"~({{ 1 ~ 2 }})~", R"~(12)~"},
    {R"~({{ n ~ 'x' ~ f }})~", R"~(7x2.5)~"},
    {R"~({{ 1 + 2 * 3 }})~", R"~(7)~"},
    {R"~({{ (1 + 2) * 3 }})~", R"~(9)~"},
    {R"~({{ 'ab' * 3 }})~", R"~(ababab)~"},
    {R"~({{ 0.1 + 0.2 }})~", R"~(0.30000000000000004)~"},
    {R"~({{ 1e16 }})~", R"~(1e+16)~"},
    {R"~({{ 1.5e-5 }})~", R"~(1.5e-05)~"},
    {R"~({{ 3.0 }})~", R"~(3.0)~"},
    {R"~({{ 10 / 4 * 2 }})~", R"~(5.0)~"},
    {R"~({{ 'b' in s }})~", R"~(True)~"},
    {R"~({{ 'z' in s }})~", R"~(False)~"},
    {R"~({{ 2 in items }})~", R"~(True)~"},
    {R"~({{ 5 not in items }})~", R"~(True)~"},
    {R"~({{ 'a' in m }})~", R"~(True)~"},
    {R"~({{ 'x' in missing }})~", R"~(False)~"},
    {R"~({{ 'a\tb\n' ~ "q\"" ~ '\u4e2d\x41' ~ '\q' }})~", R"~(a	b
q"中A\q)~"},
    {R"~({{ 'it''s' }})~", R"~(its)~"},
    {R"~({{ word|replace('o', '0')|upper }})~", R"~(HELL0 W0RLD)~"},
    {R"~({{ word|truncate(9) }})~", R"~(Hello World)~"},
    {R"~({{ word|truncate(9, true) }})~", R"~(Hello World)~"},
    {R"~({{ word|truncate(9, True, '~', 0) }})~", R"~(Hello Wo~)~"},
    {R"~({{ text|striptags }})~", R"~(Hi & bye)~"},
    {R"~({{ f|round }})~", R"~(2.0)~"},
    {R"~({{ 3.14159|round(2) }})~", R"~(3.14)~"},
    {R"~({{ 2.5|round }})~", R"~(2.0)~"},
    {R"~({{ 3.5|round }})~", R"~(4.0)~"},
    {R"~({{ 2.1|round(0, 'ceil') }})~", R"~(3.0)~"},
    {R"~({{ 7|round }})~", R"~(7)~"},
    {R"~({{ nums|join('-') }})~", R"~(3-12)~"},
    {R"~({{ items|length }})~", R"~(3)~"},
    {R"~({{ name|length }})~", R"~(2)~"},
    {R"~({{ items|first }})~", R"~(1)~"},
    {R"~({{ items|last }})~", R"~(3)~"},
    {R"~({{ name|first }})~", R"~(张)~"},
    {R"~({{ '12'|int + 1 }})~", R"~(13)~"},
    {R"~({{ '1.9'|int }})~", R"~(1)~"},
    {R"~({{ 'x'|int }})~", R"~(0)~"},
    {R"~({{ 'x'|int(5) }})~", R"~(5)~"},
    {R"~({{ '0x1A'|int(0, 16) }})~", R"~(26)~"},
    {R"~({{ 2.9|int }})~", R"~(2)~"},
    {R"~({{ '2.5'|float * 2 }})~", R"~(5.0)~"},
    {R"~({{ 'y'|float }})~", R"~(0.0)~"},
    {R"~({{ 12|string ~ 3 }})~", R"~(123)~"},
    {R"~({{ t|trim }}|)~", R"~(pad|)~"},
    {R"~({{ 'xxhixx'|trim('x') }})~", R"~(hi)~"},
    {R"~({{ word|lower }})~", R"~(hello world)~"},
    {R"~({{ 'hello world'|title }})~", R"~(Hello World)~"},
    {R"~({{ 'hELLO'|capitalize }})~", R"~(Hello)~"},
    {R"~({{ m|tojson }})~", R"~({"a": {"b": "x"}, "k": 1})~"},
    {R"~({{ {'b': [1, 'x'], 'a': none}|tojson }})~", R"~({"a": null, "b": [1, "x"]})~"},
    {R"~({{ "<'&>"|tojson }})~", R"~("\u003c\u0027\u0026\u003e")~"},
    {R"~({{ name|tojson }})~", R"~("\u5f20\u4e09")~"},
    {R"~({{ words|sort|join }})~", R"~(abc)~"},
    {R"~({{ words|reverse|join }})~", R"~(cab)~"},
    {R"~({{ items|sum }})~", R"~(6)~"},
    {R"~({{ items|max }})~", R"~(3)~"},
    {R"~({{ [1, 1, 2]|unique|list }})~", R"~([1, 2])~"},
    {R"~({{ m.a.b }})~", R"~(x)~"},
    {R"~({{ m['a']['b'] }})~", R"~(x)~"},
    {R"~({{ items[0] }})~", R"~(1)~"},
    {R"~({{ items[-1] }})~", R"~(3)~"},
    {R"~({{ items[5] }})~", R"~()~"},
    {R"~({{ word[0:5] }})~", R"~(Hello)~"},
    {R"~({{ word[-5:] }})~", R"~(World)~"},
    {R"~({{ items[::-1] }})~", R"~([3, 2, 1])~"},
    {R"~({{ n > 5 and n < 10 }})~", R"~(True)~"},
    {R"~({{ 1 < 2 < 3 }})~", R"~(True)~"},
    {R"~({{ 3 > 2 > 2 }})~", R"~(False)~"},
    {R"~({{ not empty }})~", R"~(True)~"},
    {R"~({{ empty or 'fallback' }})~", R"~(fallback)~"},
    {R"~({{ 'yes' if n == 7 else 'no' }})~", R"~(yes)~"},
    {R"~({{ 'yes' if n == 8 }}|)~", R"~(|)~"},
    {R"~({{ true }} {{ False }} {{ none }})~", R"~(True False None)~"},
    {R"~({{ items }})~", R"~([1, 2, 3])~"},
    {R"~({{ m }})~", R"~({'a': {'b': 'x'}, 'k': 1})~"},
    {R"~({{ [1, 'a'] }})~", R"~([1, 'a'])~"},
    {R"~({{ -n }})~", R"~(-7)~"},
    {R"~({{ n is defined }})~", R"~(True)~"},
    {R"~({{ missing is not defined }})~", R"~(True)~"},
    {R"~({{ n is odd }})~", R"~(True)~"},
    {R"~({{ 10 is divisibleby 5 }})~", R"~(True)~"},
    {R"~({{ 1 == 1.0 }})~", R"~(True)~"},
    {R"~({{ '1' == 1 }})~", R"~(False)~"},
    {R"~({{ true == 1 }})~", R"~(True)~"},
    {R"~({% if n > 5 %}big{% elif n > 2 %}mid{% else %}small{% endif %})~", R"~(big)~"},
    {R"~({% for x in items %}{{ loop.index }}:{{ x }}{% if not loop.last %},{% endif %}{% endfor %})~",
     R"~(1:1,2:2,3:3)~"},
    {R"~({% for x in [] %}a{% else %}none{% endfor %})~", R"~(none)~"},
    {R"~({% set y = n * 2 %}{{ y }})~", R"~(14)~"},
    {R"~(a {{- ' b ' -}} c)~", R"~(a b c)~"},
    {R"~(x{# note #}y)~", R"~(xy)~"},
    {R"~({{ '}}' }})~", R"~(}})~"},
    {R"~({{ 'a,b'.split(',')|join('+') }})~", R"~(a+b)~"},
    {R"~({{ ' q '.strip() }})~", R"~(q)~"},
    {R"~({{ m.get('k') }})~", R"~(1)~"},
    {R"~({{ m.get('zz', 'd') }})~", R"~(d)~"},
    {R"~({{ word.startswith('He') }})~", R"~(True)~"},
    {R"~({{ 'abc'|md5 }})~", R"~(900150983cd24fb0d6963f7d28e17f72)~"},
    {R"~({{ name|md5 }})~", R"~(615db57aa314529aaa0fbe95b3e95bd3)~"},
    {R"~({{ 'abc'|sha1 }})~", R"~(a9993e364706816aba3e25717850c26c9cd0d89d)~"},
    {R"~({{ 'abc'|sha256 }})~",
     R"~(ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad)~"},
    {R"~({{ name|b64encode }})~", R"~(5byg5LiJ)~"},
    {R"~({{ '5byg5LiJ'|b64decode }})~", R"~(张三)~"},
};

TEST(FlowRender, RendersAsJinja) {
    for (const Case& c : kJinjaCases) {
        EXPECT_EQ(render(c.text), c.expected) << c.text;
    }
}

// The functions of the community templates, with the clock at kNowSeconds (UTC+8) and the random
// source always giving 41.
const Case kFunctionCases[] = {
    {"{{ random(0, 100, 0) }}", "41"},
    {"{{ random(10, 12) }}", "12"},  // 10 + 41 % 3
    {"{{ random(5, 5, 0) }}", "5"},
    {"{{ timestamp() }}", "1767323045"},
    {"{{ timestamp('int') }}", "1767323045"},
    {"{{ (multiply(timestamp('float'), 1000))|int }}", "1767323045250"},
    {"{{ timestamp()|int * 1000 }}", "1767323045000"},
    {"{{ date_time('%Y/%m/%d %H:%M') }}", "2026/01/02 11:04"},
    {"{{ date_time(1, 1, 0) }}", "2026-01-02 11:04:05"},
    {"{{ date_time(1, 0, 0) }}", "2026-01-02"},
    {"{{ md5('abc') }}", "900150983cd24fb0d6963f7d28e17f72"},
    {"{{ unicode('\\\\u7b7e\\\\u5230 ok') }}", "签到 ok"},
    {"{{ unicode(missing|default('已签到')) }}", "已签到"},
    {"{{ urlencode('a b/c') }}", "a%20b/c"},
    {"{{ add(1, '2') }} {{ sub(5, 1.5) }} {{ multiply('3', 4) }} {{ divide(7, 2) }}",
     "3 3.5 12 3.5"},
    {"{{ add(1, 2, 3) }} {{ multiply(2, 3, 4) }}", "6 24"},
    {"{{ range(0, 6, 2)|join(',') }}", "0,2,4"},
    {"{{ range(3)|list }}", "[0, 1, 2]"},
    {"{{ list('ab') }}", "['a', 'b']"},
    {"{{ int('12') < 13 }}", "True"},
    {"{{ 'a1b22'|regex_replace('(\\\\d+)', '<\\\\1>') }}", "a<1>b<22>"},
    {"{{ 'AbA'|regex_replace('a', '-', ignorecase=True) }}", "-b-"},
    {"{{ regex_replace('x.test/', '/$') }}", "x.test"},
    {"{{ regex_replace(word, 'o', '0') }}", "Hell0 W0rld"},
    {"{{ '%E4%B8%AD+x'|urldecode }}", "中+x"},
    {"{{ 'Ok'|md5|upper|truncate(8, true, '') }}", "A60852F2"},
    {"{{ ternary(1 == 1, '已完成', '异常') }} {{ (2 > 3)|ternary('是', '否') }}", "已完成 否"},
    {"{{ none|ternary('是', '否', '空') }}", "空"},
    {"{{ regex_search('https://a.test/x', '^(https?://)[^/]+') }}", "https://a.test"},
    {"{{ 'id=42;n=7'|regex_search('n=(\\\\d+)', '\\\\1')|first }}", "7"},
    {"{{ regex_search('abc', 'z') is none }}", "True"},
    {"{{ 'www.example.com'|to_uuid }}", "69680a13-a686-5d20-a166-0e7b3b17ef84"},
    {"{{ ['a', 'b', 'c']|random }}", "c"},  // 41 % 3
    {"{{ [1, 2, 3, 2]|select('equalto', 2)|list|length }} {{ [0, 1, '']|select|list }}", "2 [1]"},
    {"{{ [1, 2, 3, 4]|reject('odd')|join(',') }}", "2,4"},
};

TEST(FlowRender, CallsTheFunctionsOfTheCommunityTemplates) {
    for (const Case& c : kFunctionCases) {
        EXPECT_EQ(render(c.text), c.expected) << c.text;
    }
}

TEST(FlowRender, RandomWithDecimalsStaysInItsRange) {
    // The smallest draw is the lower bound, the largest just below the upper one; the decimals
    // are cut as asked.
    EXPECT_EQ(render("{{ random(2, 3, 2) }}", fixedContext(0)), "2.0");
    EXPECT_EQ(render("{{ random(0, 1, 16) }}", fixedContext(~std::uint64_t{0})),
              "0.9999999999999999");
    EXPECT_EQ(render("{{ random(0, 10, 3) }}", fixedContext(std::uint64_t{1} << 63)), "5.0");
}

RenderContext atSeconds(std::int64_t seconds) {
    RenderContext context = fixedContext();
    context.now = [seconds] {
        return std::chrono::system_clock::time_point(std::chrono::seconds(seconds));
    };
    return context;
}

// The RFC 6238 test vectors for HMAC-SHA1 (appendix B: the secret "12345678901234567890", 30 s
// steps, 8 digits; the last, of the year 2603, is past the clock's range), the secret in Base32 as
// an authenticator app shows it: spaced, in either case.
struct TotpCase {
    std::int64_t seconds;
    const char* text;
    const char* expected;
};
const TotpCase kTotpCases[] = {
    {59, "{{ totp('GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ', 8) }}", "94287082"},
    {1111111109, "{{ totp('gezd gnbv gy3t qojq gezd gnbv gy3t qojq', 8) }}", "07081804"},
    {1111111111, "{{ totp(secret='GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ', digits=8) }}", "14050471"},
    {1234567890, "{{ totp('GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ', 8, 30) }}", "89005924"},
    {2000000000, "{{ totp('GEZDGNBVGY3TQOJQ-GEZDGNBVGY3TQOJQ', 8) }}", "69279037"},
    // Six digits unless asked: the last six of the code.
    {59, "{{ totp('GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ') }}", "287082"},
    // 60 s steps: second 59 is still in step 0, the RFC 4226 code of counter 0.
    {59, "{{ totp('GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ', 6, 60) }}", "755224"},
};

TEST(FlowRender, TotpGivesTheCodesOfTheRfc6238TestVectorsAtTheContextsTime) {
    for (const TotpCase& c : kTotpCases) {
        EXPECT_EQ(render(c.text, atSeconds(c.seconds)), c.expected) << c.text << " @" << c.seconds;
    }
}

TEST(FlowRender, TotpRefusesABadSecretWithoutQuotingIt) {
    const Case cases[] = {
        {"{{ totp('SECRET1SECRET') }}",
         "render error at 4: totp 的密钥不是 Base32 文字（只能有字母 A–Z 和数字 2–7），"
         "请照验证器上显示的密钥填写"},
        {"{{ totp(missing) }}", "render error at 4: totp 的密钥是空的，请先在账号的输入里填上它"},
        {"{{ totp('GEZDGNBV', 5) }}", "render error at 4: totp 的位数应当是 6、7 或 8"},
        {"{{ totp('GEZDGNBV', 6, 0) }}", "render error at 4: totp 的周期应当是 1 到 86400 秒"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(render(c.text), c.expected) << c.text;
    }
}

// Texts that do not parse: the position (a character from 1) and the start of the message.
const Case kCompileErrors[] = {
    {"ab{{ name", "compile error at 3: “{{”没有对应的“}}”"},
    {"{{ 1 + }}", "compile error at 8: 表达式不完整"},
    {"{{ a b }}", "compile error at 6: 表达式在这里多出了内容"},
    {"中文{{ x|nosuch }}", "compile error at 8: 不认识的过滤器“nosuch”"},
    {"{{ nosuch(1) }}", "compile error at 4: 不认识的函数“nosuch”"},
    {"{{ 'open }}", "compile error at 1: “{{”没有对应的“}}”"},
    {"{% if 'x %}a{% endif %}", "compile error at 7: 字符串缺少结束的引号"},
    {"{{ a ; b }}", "compile error at 6: 表达式里有不认识的字符“;”"},
    {"{% if x %}a", "compile error at 1: “{% endif %}”缺少对应的结尾"},
    {"a{% endif %}", "compile error at 5: “endif”没有对应的开头"},
    {"{% frob %}", "compile error at 4: 不认识的语句“frob”"},
    {"{{ f(1, x=2, 3) }}", "compile error at 4: 不认识的函数“f”"},
    {"{{ x|default(a=1, 2) }}", "compile error at 19: 按名字给出的参数之后不能再有不带名字的参数"},
    {"{{ '\\x4' }}", "compile error at 5: 字符串里的 \\x 转义不完整"},
    {"{{ x is frob }}", "compile error at 9: 不认识的检验“frob”"},
    {"{{ x.frob() }}", "compile error at 6: 不认识的方法“frob”"},
};

TEST(FlowRender, RefusesTextsItCannotReadWithThePosition) {
    for (const Case& c : kCompileErrors) {
        EXPECT_EQ(render(c.text), c.expected) << c.text;
    }
}

// Texts that parse but cannot be rendered with the fixed variables.
const Case kRenderErrors[] = {
    {"{{ missing + 1 }}", "render error at 12: “+”运算用到了未定义的变量"},
    {"{{ 1 / 0 }}", "render error at 6: 除数为 0"},
    {"{{ 7 // zero }}", "render error at 6: 除数为 0"},
    {"{{ 'a' + 1 }}", "render error at 8: 文本和整数不能做“+”运算"},
    {"{{ 1 in 'a1' }}", "render error at 4: “in”的左边应当是文本，却是整数"},
    {"{{ items < 'a' }}", "render error at 4: 列表和文本不能比较大小（“<”）"},
    {"中{{ add('x', 1) }}", "render error at 5: add 的参数应当是数字，却是“x”"},
    {"{{ add('secret-password', 1) }}", "render error at 4: add 的参数应当是数字，却是“secret-…”"},
    {"{{ range(0, 5, 0) }}", "render error at 4: range 的步长不能为 0"},
    {"{{ range(10000000)|length }}", "render error at 4: range 的元素超过 100000 个"},
    {"{{ 'x'|b64decode }}", "render error at 8: b64decode 的内容不是有效的 Base64"},
};

TEST(FlowRender, ReportsWhatCannotBeComputedWithThePosition) {
    for (const Case& c : kRenderErrors) {
        EXPECT_EQ(render(c.text), c.expected) << c.text;
    }
}

TEST(FlowRender, ListsTheVariablesATextReads) {
    auto compiled = Template::compile(
        "{{ cookie }}{% for x in xs %}{{ x ~ loop.index ~ y }}{% endfor %}{% set z = 1 %}{{ z ~ "
        "cookie ~ m.a }}");
    ASSERT_TRUE(std::holds_alternative<Template>(compiled));
    EXPECT_EQ(std::get<Template>(compiled).names(),
              (std::vector<std::string>{"cookie", "xs", "y", "m"}));
}

TEST(FlowRender, PlainTextsAreMarkedPlain) {
    EXPECT_TRUE(std::get<Template>(Template::compile("https://a.test/{x}")).isPlain());
    EXPECT_FALSE(std::get<Template>(Template::compile("https://a.test/{{x}}")).isPlain());
}

TEST(FlowRender, SetAtTheTopLevelIsHandedBack) {
    auto compiled = Template::compile(
        "{% set a = n + 1 %}{% if true %}{% set b = 'x' %}{% endif %}"
        "{% for i in items %}{% set c = i %}{% endfor %}");
    Variables assigned;
    ASSERT_TRUE(std::holds_alternative<std::string>(
        std::get<Template>(compiled).render(fixedVariables(), fixedContext(), &assigned)));
    EXPECT_EQ(assigned.size(), 2U);
    EXPECT_TRUE(assigned["a"].equals(Value(8)));
    EXPECT_TRUE(assigned["b"].equals(Value("x")));
}

}  // namespace
}  // namespace vesprey::flow
