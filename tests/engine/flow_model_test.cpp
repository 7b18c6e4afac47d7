// The flow model: reading community templates and HAR files into steps and control entries, and
// refusing, with the step and the reason, what could not run.
#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "engine/flow/flow.h"
#include "flow_entries.h"

namespace vesprey::flow {
namespace {

using testing::control;
using testing::entry;
using testing::flowOf;
using testing::loginEntry;

Flow parsed(const std::string& text) {
    auto result = parseFlow(text);
    if (auto* error = std::get_if<FlowError>(&result)) {
        ADD_FAILURE() << error->message;
        return {};
    }
    return std::get<Flow>(std::move(result));
}

TEST(FlowModel, ReadsTheCommunityFormat) {
    const Flow flow = parsed(flowOf(
        {entry(
             R"("https://a.test/login")",
             R"(, "headers": [{"name": "Cookie", "value": "{{cookie}}"}], "data": "u={{username|urlencode}}", "mimeType": "application/x-www-form-urlencoded")",
             R"~("success_asserts": [{"re": "200", "from": "status"}],
                  "failed_asserts": [{"re": "/错误/i", "from": "content"}],
                  "extract_variables": [{"name": "token", "re": "t=(\\w+)", "from": "header-Set-Cookie"}])~"),
         entry(R"("https://a.test/sign?t={{token}}&d={{domain}}")")}));
    ASSERT_EQ(flow.entries.size(), 2U);
    const Step& first = std::get<Step>(flow.entries[0].body);
    EXPECT_EQ(flow.entries[0].number, 1U);
    EXPECT_EQ(first.comment, "c");
    EXPECT_EQ(first.urlText, "https://a.test/login");
    ASSERT_EQ(first.headers.size(), 1U);
    EXPECT_EQ(first.mimeType, "application/x-www-form-urlencoded");
    ASSERT_EQ(first.successAsserts.size(), 1U);
    EXPECT_EQ(first.successAsserts[0].from.kind, Source::Kind::Status);
    EXPECT_EQ(first.failedAsserts[0].text, "/错误/i");
    ASSERT_EQ(first.extractions.size(), 1U);
    EXPECT_EQ(first.extractions[0].name, "token");
    EXPECT_EQ(first.extractions[0].pattern.from.kind, Source::Kind::Header);
    EXPECT_EQ(first.extractions[0].pattern.from.header, "Set-Cookie");
    // token is set by the template itself; the others are the user's.
    EXPECT_EQ(flow.inputs, (std::vector<std::string>{"cookie", "username", "domain"}));
}

TEST(FlowModel, ReadsHarWithTheRulesAtTheTopAndSkipsUncheckedEntries) {
    const Flow flow = parsed(R"({"log": {"version": "1.2", "entries": [
        {"checked": true, "request": {"method": "POST", "url": "https://a.test/x",
          "headers": [{"name": "A", "value": "1", "checked": false}, {"name": "B", "value": "2"}],
          "cookies": [], "postData": {"text": "k=v", "mimeType": "text/plain"}},
         "response": {}, "success_asserts": [{"re": "ok", "from": "content"}]},
        {"checked": false, "request": {"method": "GET", "url": "https://a.test/skipped"}},
        {"request": {"method": "GET", "url": "https://a.test/y"}}]}})");
    ASSERT_EQ(flow.entries.size(), 2U);
    const Step& first = std::get<Step>(flow.entries[0].body);
    EXPECT_EQ(first.headers.size(), 1U);
    EXPECT_EQ(first.mimeType, "text/plain");
    EXPECT_EQ(first.successAsserts.size(), 1U);
    EXPECT_EQ(std::get<Step>(flow.entries[1].body).urlText, "https://a.test/y");
    EXPECT_EQ(flow.entries[1].number, 2U);
}

TEST(FlowModel, PairsControlEntries) {
    const Flow flow = parsed(
        flowOf({control("{% for x in xs %}"), control("{% if x == 1 %}"),
                entry(R"("https://a.test/{{x}}")"), control("{% elif x %}"), control("{% else %}"),
                control("{% endif %}"), control("{% endfor%}"), control("{% while n < 3 %}"),
                control("{% set n = n + 1 %}"), control("{% endwhile %}")}));
    ASSERT_EQ(flow.entries.size(), 10U);
    const auto partner = [&](std::size_t i) {
        return std::get<Control>(flow.entries[i].body).partner;
    };
    EXPECT_EQ(partner(0), 6U);  // for → endfor
    EXPECT_EQ(partner(6), 0U);
    EXPECT_EQ(partner(1), 3U);  // if → elif → else → endif
    EXPECT_EQ(partner(3), 4U);
    EXPECT_EQ(partner(4), 5U);
    EXPECT_EQ(partner(5), 1U);
    EXPECT_EQ(partner(7), 9U);
    EXPECT_EQ(std::get<Control>(flow.entries[8].body).statement.targets,
              (std::vector<std::string>{"n"}));
    EXPECT_EQ(flow.inputs, (std::vector<std::string>{"xs"}));
}

struct Refused {
    std::string text;
    std::size_t step;
    const char* message;
};

TEST(FlowModel, RefusesWhatCannotRunNamingTheStep) {
    const Refused cases[] = {
        {"[{\"request\": ", 0, "模板不是有效的 JSON（第 14 个字符）：JSON 文本不完整"},
        {R"({"a": 1})", 0, "模板应当是步骤的列表（JSON 数组）或 HAR 文件，请检查导入的内容"},
        {"[]", 0, "模板里没有步骤"},
        {"[1]", 1, "第 1 步不是一个对象，请检查模板"},
        {R"([{"rule": {}}])", 1, "第 1 步缺少 request，请检查模板"},
        {flowOf({entry(R"("https://a.test/")"), entry(R"("https://a.test/{{ x|nosuch }}")")}), 2,
         "第 2 步的网址里有读不懂的表达式（第 21 个字符）：不认识的过滤器“nosuch”。原文："
         "https://a.test/{{ x|nosuch }}"},
        {flowOf({entry(R"("https://a.test/")",
                       R"(, "headers": [{"name": "X", "value": "{{ a + }}"}])")}),
         1, "第 1 步的请求头“X”里有读不懂的表达式（第 8 个字符）：表达式不完整。原文：{{ a + }}"},
        {flowOf({entry(R"("https://a.test/")", R"(, "data": "{% if a %}")")}), 1,
         "第 1 步的请求体里有读不懂的表达式（第 1 个字符）：“{% endif %}”缺少对应的结尾。原文："
         "{% if a %}"},
        {flowOf({entry(R"("https://a.test/")", "",
                       R"("success_asserts": [{"re": "/(a/", "from": "content"}])")}),
         1, "第 1 步的成功条件的正则表达式有误（第 3 个字符：括号 ( 没有对应的 )）：/(a/"},
        {flowOf({entry(R"("https://a.test/")", "",
                       R"("failed_asserts": [{"re": "a", "from": "body"}])")}),
         1, "第 1 步的规则从“body”取值，Vesprey 只认 content、status、header 和 header-名字"},

        {flowOf({entry(R"("https://a.test/")"), control("{% if a %}")}), 2,
         "第 2 步的“{% if %}”后面没有对应的“{% endif %}”"},
        {flowOf({control("{% for a in b %}"), control("{% endif %}")}), 2,
         "第 2 步的“{% endif %}”前面没有对应的“{% if %}”"},
        {flowOf({control("{% endwhile %}")}), 1,
         "第 1 步的“{% endwhile %}”前面没有对应的“{% while %}”"},
        {flowOf({control("{% if a %}"), control("{% else %}"), control("{% elif b %}"),
                 control("{% endif %}")}),
         3, "第 3 步的“{% elif %}”出现在同一个“{% if %}”的“{% else %}”之后"},
        {flowOf({control("{% if %}")}), 1,
         "第 1 步的控制语句读不懂（第 7 个字符）：表达式不完整。原文：{% if %}"},
        {flowOf({control("{% macro m() %}")}), 1,
         "第 1 步的控制语句读不懂（第 4 个字符）：不认识的语句“macro”。原文：{% macro m() %}"},
        {flowOf({entry(R"("https://a.test/")"), entry(R"("https://a.test/")"),
                 entry(R"("https://a.test/")"), entry(R"("https://a.test/")"),
                 entry(R"("api://util/dddd/ocr")")}),
         5, "第 5 步要识别验证码（api://util/dddd/ocr），Vesprey 还不支持"},
        {flowOf({entry(R"("api://util/rsa?key=1")")}), 1,
         "第 1 步要做 RSA 加解密（api://util/rsa），Vesprey 还不支持"},
        {flowOf({entry(R"("api://util/toolbox/notepad")")}), 1,
         "第 1 步要用工具箱（api://util/toolbox/notepad），Vesprey 还不支持"},
        {flowOf({entry(R"("api://util/qrcode")")}), 1,
         "第 1 步要用本地接口（api://util/qrcode），Vesprey 还不支持"},
    };
    for (const Refused& c : cases) {
        auto result = parseFlow(c.text);
        ASSERT_TRUE(std::holds_alternative<FlowError>(result)) << c.text;
        EXPECT_EQ(std::get<FlowError>(result).step, c.step) << c.text;
        EXPECT_EQ(std::get<FlowError>(result).message, c.message) << c.text;
    }
}

TEST(FlowModel, StepsMarkedLoginMakeTheLoginPartNumberedAsTheListShowsThem) {
    const Flow flow = parsed(
        flowOf({loginEntry(R"("https://a.test/login")",
                           R"(, "data": "u={{username}}&p={{password}}&c={{ totp(totp_secret) }}")",
                           R"~("extract_variables": [{"name": "t", "re": "t=(\\w+)"}])~"),
                loginEntry(R"("https://a.test/home?t={{t}}")"),
                entry(R"("https://a.test/sign")",
                      R"(, "headers": [{"name": "Cookie", "value": "{{cookie}}"}])"),
                // "login": false is no mark.
                R"({"login": false, "request": {"url": "https://a.test/{{day}}"}})"}));
    ASSERT_EQ(flow.entries.size(), 2U);
    EXPECT_EQ(flow.entries[0].number, 3U);
    EXPECT_EQ(flow.entries[1].number, 4U);
    EXPECT_EQ(flow.inputs, (std::vector<std::string>{"cookie", "day"}));
    ASSERT_TRUE(flow.login);
    ASSERT_EQ(flow.login->entries.size(), 2U);
    EXPECT_EQ(flow.login->entries[1].number, 2U);
    // t is set by the login part itself.
    EXPECT_EQ(flow.login->inputs,
              (std::vector<std::string>{"username", "password", "totp_secret"}));
    EXPECT_FALSE(flow.login->login);
}

TEST(FlowModel, ATemplateWithoutMarkedStepsHasNoLoginPart) {
    EXPECT_FALSE(
        parsed(flowOf({entry(R"("https://a.test/login")"), entry(R"("https://a.test/sign")")}))
            .login);
}

TEST(FlowModel, EachPartNestsItsControlEntriesOnItsOwn) {
    const std::string ifInLogin = R"({"login": true, "request": {"url": "{% if a %}"}})";
    auto result =
        parseFlow(flowOf({ifInLogin, entry(R"("https://a.test/")"), control("{% endif %}")}));
    ASSERT_TRUE(std::holds_alternative<FlowError>(result));
    EXPECT_EQ(std::get<FlowError>(result).step, 3U);
    EXPECT_EQ(std::get<FlowError>(result).message,
              "第 3 步的“{% endif %}”前面没有对应的“{% if %}”");

    auto onlyLogin = parseFlow(flowOf({loginEntry(R"("https://a.test/login")")}));
    ASSERT_TRUE(std::holds_alternative<FlowError>(onlyLogin));
    EXPECT_EQ(std::get<FlowError>(onlyLogin).message,
              "模板的步骤都标成了登录，请至少留一步签到的步骤不标登录");
}

TEST(FlowModel, LeavesOutExtractionsWithoutAName) {
    const Flow flow = parsed(flowOf(
        {entry(R"("https://a.test/")", "",
               R"("extract_variables": [{"name": "", "re": "a"}, {"name": "b", "re": "b"}])")}));
    ASSERT_EQ(flow.entries.size(), 1U);
    ASSERT_EQ(std::get<Step>(flow.entries[0].body).extractions.size(), 1U);
    EXPECT_EQ(std::get<Step>(flow.entries[0].body).extractions[0].name, "b");
}

TEST(FlowModel, AcceptsTheOfferedUtilities) {
    const Flow flow = parsed(flowOf(
        {entry(R"("api://util/unicode?content={{a}}")"), entry(R"("api://util/urldecode")"),
         entry(R"("api://util/gb2312")"), entry(R"("api://util/regex")"),
         entry(R"("api://util/string/replace")"), entry(R"("api://util/delay/{{random(1,3,0)}}")"),
         entry(R"("api://util/delay?seconds=2")"), entry(R"("api://util/timestamp")")}));
    EXPECT_EQ(flow.entries.size(), 8U);
}

struct RuleCase {
    const char* text;
    const char* pattern;
    bool global, ignoreCase, multiline, dotAll;
};

TEST(FlowModel, ReadsSlashFormPatterns) {
    const RuleCase cases[] = {
        {"/a(b)/g", "a(b)", true, false, false, false},
        {"/x/gims", "x", true, true, true, true},
        {"//go/.+html|http/g", "/go/.+html|http", true, false, false, false},
        {"/path/to", "/path/to", false, false, false, false},  // "to" are no flags
        {"plain", "plain", false, false, false, false},
        {"/", "/", false, false, false, false},
    };
    for (const RuleCase& c : cases) {
        const RuleRegex r = ruleRegex(c.text);
        EXPECT_EQ(r.pattern, c.pattern) << c.text;
        EXPECT_EQ(r.global, c.global) << c.text;
        EXPECT_EQ(r.ignoreCase, c.ignoreCase) << c.text;
        EXPECT_EQ(r.multiline, c.multiline) << c.text;
        EXPECT_EQ(r.dotAll, c.dotAll) << c.text;
    }
}

}  // namespace
}  // namespace vesprey::flow
