// The flow runner over a transport the test plays: what each step sends, what its checks and
// extractions find, the control entries, the cookie jar, the local utilities, the limits and the
// result of a run.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "engine/flow/runner.h"
#include "flow_entries.h"

namespace vesprey::flow {
namespace {

using testing::control;
using testing::entry;
using testing::flowOf;

// Records every request; answers with `answer` (by default status 200 and the URL as the body).
class RecordingTransport final : public FlowTransport {
public:
    std::function<std::variant<FlowResponse, TransportFailure>(const FlowRequest&)> answer =
        [](const FlowRequest& request) {
            return FlowResponse{200, {}, request.url};
        };
    std::vector<FlowRequest> sent;

    std::variant<FlowResponse, TransportFailure> send(const FlowRequest& request) override {
        sent.push_back(request);
        return answer(request);
    }

    std::vector<std::string> urls() const {
        std::vector<std::string> out;
        for (const FlowRequest& r : sent) {
            out.push_back(r.url);
        }
        return out;
    }
};

// Time stands still but for what the run waits and what the test moves on.
class ManualClock final : public FlowClock {
public:
    std::chrono::system_clock::time_point time{std::chrono::seconds(1767323045)};
    std::chrono::milliseconds waited{0};
    // Moved on by every call of now(), to let time pass while a run makes requests.
    std::chrono::milliseconds tick{0};

    std::chrono::system_clock::time_point now() override {
        time += tick;
        return time;
    }
    void wait(std::chrono::milliseconds duration) override {
        waited += duration;
        time += duration;
    }
};

FlowRunOptions fixedOptions() {
    FlowRunOptions options;
    options.render.random = [] { return std::uint64_t{41}; };
    options.render.utcOffset = std::chrono::hours(8);
    return options;
}

Flow parsedFlow(const std::string& text) {
    auto parsed = parseFlow(text);
    if (auto* error = std::get_if<FlowError>(&parsed)) {
        ADD_FAILURE() << error->message;
        return {};
    }
    return std::get<Flow>(std::move(parsed));
}

FlowResult run(const std::string& text, RecordingTransport& transport, const Variables& inputs = {},
               ManualClock* clock = nullptr) {
    ManualClock own;
    return runFlow(parsedFlow(text), inputs, transport, clock ? *clock : own, fixedOptions());
}

// ----- Extractions -----

const FlowResponse kAnswer{
    302,
    {{"Set-Cookie", "sid=abc; Path=/"}, {"Location", "/next"}, {"X-Id", "42"}},
    "<b>签到成功</b> 积分 12 积分 30"};

struct ExtractionCase {
    const char* rule;  // the members of one extraction besides its name
    const char* expected;
};

TEST(FlowRunner, ExtractsFromEachSource) {
    const ExtractionCase cases[] = {
        {R"~("re": "积分 (\\d+)", "from": "content")~", "12"},
        {R"~("re": "/积分 (\\d+)/g", "from": "content")~", "['12', '30']"},
        {R"~("re": "签到\\S+?<", "from": "content")~", "签到成功<"},  // no group: the whole match
        {R"~("re": "\\d+", "from": "status")~", "302"},
        {R"~("re": "(.*)", "from": "header-location")~", "/next"},
        {R"~("re": "X-Id: (\\d+)", "from": "header")~", "42"},
        {R"~("re": "Location: (\\S+)\\nX", "from": "header")~", "/next"},
        {R"~("re": "nothing(\\d)", "from": "content")~", "old"},     // no match leaves it
        {R"~("re": "{{ key }} (\\d+)", "from": "content")~", "12"},  // rendered first
        {R"~("re": "/签到(x)?成功/", "from": "content")~", ""},      // a group that took no part
        {R"~("re": "/签到成功/i", "from": "content")~", "签到成功"},
    };
    for (const ExtractionCase& c : cases) {
        RecordingTransport transport;
        transport.answer = [](const FlowRequest&) { return kAnswer; };
        const FlowResult result = run(
            flowOf(
                {entry(R"~("https://a.test/")~", "",
                       std::string(R"~("extract_variables": [{"name": "v", )~") + c.rule + "}]")}),
            transport, {{"v", Value("old")}, {"key", Value("积分")}});
        EXPECT_TRUE(result.passed) << c.rule << " " << result.message;
        EXPECT_EQ(result.variables.at("v").toText(), c.expected) << c.rule;
    }
}

// ----- Checks -----

struct CheckCase {
    const char* rule;
    bool passes;
    const char* message;  // when it fails
};

TEST(FlowRunner, ChecksDecideWhetherTheStepPasses) {
    const CheckCase cases[] = {
        {"", true, ""},
        {R"~("success_asserts": [{"re": "302", "from": "status"}])~", true, ""},
        {R"~("success_asserts": [{"re": "200", "from": "status"}, {"re": "签到成功", "from": "content"}])~",
         true, ""},
        {R"~("success_asserts": [{"re": "200", "from": "status"}, {"re": "已签", "from": "content"}])~",
         false, "第 1 步失败：答复不符合成功条件“200”（status）、“已签”（content）"},
        {R"~("failed_asserts": [{"re": "/next", "from": "header-Location"}])~", false,
         "第 1 步失败：答复符合失败条件“/next”（header-Location）"},
        {R"~("success_asserts": [{"re": "302", "from": "status"}], "failed_asserts": [{"re": "/失败/", "from": "content"}])~",
         true, ""},
        {R"~("success_asserts": [{"re": "{{ want }}", "from": "content"}])~", false,
         "第 1 步失败：答复不符合成功条件“{{ want }}”（content）"},
        {R"~("success_asserts": [{"re": "{{ bad }}", "from": "content"}])~", false,
         "第 1 步的成功条件的正则表达式代入变量后有误（括号 ( 没有对应的 )）：{{ bad }}"},
    };
    for (const CheckCase& c : cases) {
        RecordingTransport transport;
        transport.answer = [](const FlowRequest&) { return kAnswer; };
        const FlowResult result =
            run(flowOf({entry(R"~("https://a.test/")~", "", c.rule)}), transport,
                {{"want", Value("已领取")}, {"bad", Value("((x")}});
        EXPECT_EQ(result.passed, c.passes) << c.rule;
        if (!c.passes) {
            EXPECT_EQ(result.message, c.message) << c.rule;
        }
    }
}

TEST(FlowRunner, TheFirstStepThatDoesNotPassEndsTheRun) {
    RecordingTransport transport;
    const FlowResult result =
        run(flowOf({entry(R"~("https://a.test/1")~"), control("{% if true %}"),
                    entry(R"~("https://a.test/2")~", "",
                          R"~("success_asserts": [{"re": "ok", "from": "content"}])~"),
                    control("{% endif %}"), entry(R"~("https://a.test/3")~")}),
            transport);
    EXPECT_FALSE(result.passed);
    EXPECT_EQ(result.message, "第 3 步失败：答复不符合成功条件“ok”（content）");
    EXPECT_EQ(result.stepsRun, 2U);
    EXPECT_EQ(transport.urls(), (std::vector<std::string>{"https://a.test/1", "https://a.test/2"}));
}

TEST(FlowRunner, TracedStepsAreToldAsTheyBeginAndOnceTheyAreOver) {
    RecordingTransport transport;
    ManualClock clock;
    FlowRunOptions options = fixedOptions();
    options.trace = true;
    std::vector<std::string> told;
    options.traced = [&told](const StepTrace& step, bool done) {
        told.push_back(std::to_string(step.number) + (done ? " over " : " begins ") +
                       (step.response ? std::to_string(step.response->status) : "-") +
                       (step.decided.empty() ? "" : " " + step.decided));
    };
    const FlowResult result = runFlow(
        parsedFlow(flowOf({entry(R"~("https://a.test/1")~"),
                           entry(R"~("https://a.test/2")~", "",
                                 R"~("success_asserts": [{"re": "ok", "from": "content"}])~")})),
        {}, transport, clock, options);
    EXPECT_EQ(told, (std::vector<std::string>{
                        "1 begins -", "1 over 200", "2 begins -",
                        "2 over 200 第 2 步失败：答复不符合成功条件“ok”（content）"}));
    ASSERT_EQ(result.trace.size(), 2U);
    EXPECT_EQ(result.trace[1].decided, result.message);
}

// ----- Control flow -----

struct ControlCase {
    const char* name;
    std::string flow;
    std::vector<std::string> urls;
};

TEST(FlowRunner, FollowsTheControlEntries) {
    const auto to = [](const std::string& path) {
        return entry("\"https://a.test/" + path + "\"");
    };
    const ControlCase cases[] = {
        {"if taken",
         flowOf({control("{% if n > 5 %}"), to("big"), control("{% elif n > 2 %}"), to("mid"),
                 control("{% else %}"), to("small"), control("{% endif %}"), to("end")}),
         {"https://a.test/big", "https://a.test/end"}},
        {"elif taken",
         flowOf({control("{% if n > 9 %}"), to("big"), control("{% elif n > 2 %}"), to("mid"),
                 control("{% else %}"), to("small"), control("{% endif %}")}),
         {"https://a.test/mid"}},
        {"else taken",
         flowOf({control("{% if n > 9 %}"), to("big"), control("{% else %}"), to("small"),
                 control("{% endif %}")}),
         {"https://a.test/small"}},
        {"no branch",
         flowOf({control("{% if n > 9 %}"), to("big"), control("{% endif %}"), to("end")}),
         {"https://a.test/end"}},
        {"for with loop variables",
         flowOf({control("{% for x in xs %}"),
                 to("{{x}}/{{loop_index}}/{{loop_index0}}/{{loop_first}}/{{loop_last}}/"
                    "{{loop_length}}/{{loop.index}}"),
                 control("{% endfor %}")}),
         {"https://a.test/a/1/0/True/False/2/1", "https://a.test/b/2/1/False/True/2/2"}},
        {"nested for",
         flowOf({control("{% for x in xs %}"), control("{% for y in range(2) %}"),
                 to("{{x}}{{y}}-{{loop_index}}"), control("{% endfor %}"),
                 to("{{x}}-{{loop_index}}"), control("{% endfor %}"), to("after{{loop_index}}")}),
         {"https://a.test/a0-1", "https://a.test/a1-2", "https://a.test/a-1", "https://a.test/b0-1",
          "https://a.test/b1-2", "https://a.test/b-2", "https://a.test/after"}},
        {"for over nothing",
         flowOf(
             {control("{% for x in missing %}"), to("{{x}}"), control("{% endfor %}"), to("end")}),
         {"https://a.test/end"}},
        {"while",
         flowOf({control("{% while int(loop_index0) < 3 %}"), to("w{{loop_index}}"),
                 control("{% endwhile %}"), to("end")}),
         {"https://a.test/w1", "https://a.test/w2", "https://a.test/w3", "https://a.test/end"}},
        {"set",
         flowOf({control("{% set total = n * 2 %}"), to("{{total}}")}),
         {"https://a.test/14"}},
    };
    for (const ControlCase& c : cases) {
        RecordingTransport transport;
        const FlowResult result = run(
            c.flow, transport, {{"n", Value(7)}, {"xs", Value(ValueList{Value("a"), Value("b")})}});
        EXPECT_TRUE(result.passed) << c.name << ": " << result.message;
        EXPECT_EQ(transport.urls(), c.urls) << c.name;
        EXPECT_EQ(result.stepsRun, c.urls.size()) << c.name;
    }
}

TEST(FlowRunner, AWhileEndsWhenAnExtractionChangesItsCondition) {
    RecordingTransport transport;
    transport.answer = [&transport](const FlowRequest&) {
        return FlowResponse{200, {}, transport.sent.size() == 3 ? "state=done" : "state=wait"};
    };
    const FlowResult result = run(
        flowOf(
            {control("{% while s != 'done' %}"),
             entry(
                 R"~("https://a.test/poll")~", "",
                 R"~("extract_variables": [{"name": "s", "re": "state=(\\w+)", "from": "content"}])~"),
             control("{% endwhile %}")}),
        transport);
    EXPECT_TRUE(result.passed) << result.message;
    EXPECT_EQ(transport.sent.size(), 3U);
}

// ----- What a step sends -----

TEST(FlowRunner, SendsTheRenderedRequest) {
    RecordingTransport transport;
    run(flowOf({entry(
            R"~("https://a.test/{{ user|urlencode }}")~",
            R"~(, "method": "post", "headers": [{"name": "X-Sign", "value": "{{ 'k'|md5 }}"}, {"name": "", "value": "dropped"}], "data": "u={{ user|urlencode }}&p={{ password }}", "mimeType": "application/x-www-form-urlencoded")~")}),
        transport, {{"user", Value("张 三")}, {"password", Value("pw")}});
    ASSERT_EQ(transport.sent.size(), 1U);
    const FlowRequest& r = transport.sent[0];
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.url, "https://a.test/%E5%BC%A0%20%E4%B8%89");
    EXPECT_EQ(r.body, "u=%E5%BC%A0%20%E4%B8%89&p=pw");
    EXPECT_EQ(r.headers, (HeaderLines{{"X-Sign", "8ce4b16b22b58894aa86c421e8759df3"},
                                      {"Content-Type", "application/x-www-form-urlencoded"}}));
}

TEST(FlowRunner, CarriesTheCookiesTheSitesSetAndLetsTheStepsOwnWin) {
    RecordingTransport transport;
    transport.answer = [&transport](const FlowRequest& request) {
        FlowResponse response{200, {}, "ok"};
        if (transport.sent.size() == 1) {
            response.headers = {{"Set-Cookie", "a=1; Path=/; HttpOnly"}, {"set-cookie", "b=2"}};
        } else if (transport.sent.size() == 2) {
            response.headers = {{"Set-Cookie", "a=; Max-Age=0"}, {"Set-Cookie", "c=new"}};
        }
        (void)request;
        return response;
    };
    run(flowOf(
            {entry(R"~("https://a.test/1")~",
                   R"~(, "headers": [{"name": "Cookie", "value": "{{cookie}}"}])~"),
             entry(
                 R"~("https://a.test/2")~",
                 R"~(, "headers": [{"name": "cookie", "value": "b=9; d=4"}], "cookies": [{"name": "e", "value": "5"}])~"),
             entry(R"~("https://a.test/3")~")}),
        transport, {{"cookie", Value("u=me")}});
    ASSERT_EQ(transport.sent.size(), 3U);
    EXPECT_EQ(transport.sent[0].headers, (HeaderLines{{"Cookie", "u=me"}}));
    EXPECT_EQ(transport.sent[1].headers, (HeaderLines{{"Cookie", "a=1; b=9; e=5; d=4"}}));
    EXPECT_EQ(transport.sent[2].headers, (HeaderLines{{"Cookie", "b=2; c=new"}}));
}

// ----- The local utilities -----

struct UtilityCase {
    const char* url;
    const char* data;
    const char* answer;
};

TEST(FlowRunner, AnswersTheLocalUtilitiesItself) {
    const UtilityCase cases[] = {
        {"api://util/unicode?content=%5Cu7b7e%5Cu5230%20%26amp%3B", "",
         "{\n    \"转换后\": \"签到 &amp;\",\n    \"状态\": \"200\"\n}"},
        {"api://util/unicode", "content=%5Cu7b7e+%26amp%3B&html_unescape=true",
         "{\n    \"转换后\": \"签 &\",\n    \"状态\": \"200\"\n}"},
        {"api://util/urldecode?content=%E4%B8%AD%2Bx%2B", "",
         "{\n    \"转换后\": \"中+x+\",\n    \"状态\": \"200\"\n}"},
        {"api://util/urldecode?content=a%2Bb&unquote_plus=true", "",
         "{\n    \"转换后\": \"a b\",\n    \"状态\": \"200\"\n}"},
        {"api://util/urldecode?content=%D6%D0&encoding=gbk", "",
         "{\n    \"转换后\": \"中\",\n    \"状态\": \"200\"\n}"},
        {"api://util/gb2312?content=%E4%B8%AD%E6%96%87a", "",
         "{\n    \"转换后\": \"%D6%D0%CE%C4a\",\n    \"状态\": \"200\"\n}"},
        {"api://util/regex?p=id%3D(%5Cd%2B)", "data=ID%3D1+id%3D22",
         "{\n    \"数据\": {\n        \"1\": \"1\",\n        \"2\": \"22\"\n    },\n    \"状态\": "
         "\"OK\"\n}"},
        {"api://util/regex?p=x&data=y", "", "{\n    \"数据\": {},\n    \"状态\": \"OK\"\n}"},
        {"api://util/string/replace?s=a1b2&p=%5Cd&t=%23", "",
         "{\n    \"原始字符串\": \"a1b2\",\n    \"处理后字符串\": \"a#b#\",\n    \"状态\": "
         "\"OK\"\n}"},
        {"api://util/string/replace?s=a1&p=1&t=%3Cb%3E&r=text", "", "a&lt;b&gt;"},
        {"api://util/timestamp", "",
         "{\n    \"状态\": \"200\",\n    \"时间戳\": 1767323045,\n    \"周\": \"星期五\",\n    "
         "\"日期\": \"2026-01-02 11:04:05\"\n}"},
    };
    for (const UtilityCase& c : cases) {
        RecordingTransport transport;
        const FlowResult result =
            run(flowOf({entry("\"" + std::string(c.url) + "\"",
                              std::string(", \"data\": \"") + c.data + "\"")}),
                transport);
        EXPECT_TRUE(result.passed) << c.url << ": " << result.message;
        EXPECT_EQ(result.lastAnswer.value_or("(none)"), c.answer) << c.url;
        EXPECT_TRUE(transport.sent.empty()) << c.url;
    }
}

TEST(FlowRunner, DelaysWaitOnTheClockAtMostAMinuteEach) {
    const struct {
        const char* url;
        long long waitedMs;
        const char* answer;
    } cases[] = {
        {"api://util/delay/3", 3000, "delay 3 second."},
        {"api://util/delay/{{ random(1, 3, 0) }}", 3000, "delay 3 second."},  // 1 + 41 % 3
        {"api://util/delay?seconds=1.5", 1500, "delay 1.5 second."},
        {"api://util/delay/125", 60000, "delay 60.0 second."},
    };
    for (const auto& c : cases) {
        RecordingTransport transport;
        ManualClock clock;
        const FlowResult result =
            run(flowOf({entry("\"" + std::string(c.url) + "\"")}), transport, {}, &clock);
        EXPECT_TRUE(result.passed) << c.url << ": " << result.message;
        EXPECT_EQ(clock.waited.count(), c.waitedMs) << c.url;
        EXPECT_EQ(result.lastAnswer.value_or("(none)"), c.answer) << c.url;
    }
}

// ----- Limits -----

TEST(FlowRunner, StopsAfterTheMostRequestsOfARun) {
    RecordingTransport transport;
    const FlowResult result =
        run(flowOf({control("{% while true %}"), entry(R"~("https://a.test/again")~"),
                    control("{% endwhile %}")}),
            transport);
    EXPECT_FALSE(result.passed);
    EXPECT_EQ(result.message, "请求次数超过 500（停在第 2 步）");
    EXPECT_EQ(result.stepsRun, 500U);
    EXPECT_EQ(transport.sent.size(), 500U);
}

TEST(FlowRunner, StopsAfterTheLongestTimeOfARun) {
    RecordingTransport transport;
    ManualClock clock;
    const FlowResult result =
        run(flowOf({control("{% for i in range(100) %}"), entry(R"~("api://util/delay/60")~"),
                    entry(R"~("https://a.test/{{i}}")~"), control("{% endfor %}")}),
            transport, {}, &clock);
    EXPECT_FALSE(result.passed);
    EXPECT_EQ(result.message, "用时超过 15 分钟（停在第 3 步）");
    EXPECT_EQ(transport.sent.size(), 15U);
}

TEST(FlowRunner, StopsALoopThatMakesNoRequests) {
    RecordingTransport transport;
    const FlowResult result =
        run(flowOf({control("{% while true %}"), control("{% endwhile %}")}), transport);
    EXPECT_FALSE(result.passed);
    EXPECT_EQ(result.message, "第 1 步的循环执行了太多次，请检查循环条件");
}

// ----- The result -----

TEST(FlowRunner, TheResultIsTheLogElseTheStepCount) {
    RecordingTransport transport;
    transport.answer = [](const FlowRequest&) {
        return FlowResponse{200, {}, R"~({"msg": "\u4eca\u65e5\u5df2\u7b7e"})~"};
    };
    const FlowResult logged = run(
        flowOf(
            {entry(
                 R"~("https://a.test/")~", "",
                 R"~("extract_variables": [{"name": "m", "re": "\"msg\": \"(.*?)\"", "from": "content"}])~"),
             control("{% set __log__ = '结果：' ~ unicode(m) %}")}),
        transport);
    EXPECT_TRUE(logged.passed);
    EXPECT_EQ(logged.message, "结果：今日已签");
    EXPECT_EQ(logged.stepsRun, 1U);

    const FlowResult answered = run(flowOf({entry(R"~("https://a.test/")~")}), transport);
    EXPECT_EQ(answered.message, "全部 1 步完成");
    EXPECT_FALSE(answered.log);
    EXPECT_EQ(answered.lastAnswer, R"~({"msg": "\u4eca\u65e5\u5df2\u7b7e"})~");

    transport.answer = [](const FlowRequest&) { return FlowResponse{204, {}, ""}; };
    const FlowResult counted = run(
        flowOf({entry(R"~("https://a.test/1")~"), entry(R"~("https://a.test/2")~")}), transport);
    EXPECT_EQ(counted.message, "全部 2 步完成");
}

TEST(FlowRunner, FailuresNameTheStep) {
    const struct {
        std::string flow;
        const char* message;
    } cases[] = {
        {flowOf({entry(R"~("https://a.test/")~"), entry(R"~("https://a.test/{{ 1 / zero }}")~")}),
         "第 2 步的网址算不出来（第 21 个字符）：除数为 0"},
        {flowOf({control("{% if missing + 1 %}"), control("{% endif %}")}),
         "第 1 步的“{% if %}”算不出来（第 15 个字符）：“+”运算用到了未定义的变量"},
        {flowOf({entry(R"~("api://util/delay/soon")~")}), "第 1 步的等待时间“soon”不是秒数"},
        {flowOf({entry(R"~("https://down.test/")~")}), "第 1 步的请求没有得到答复：连接被拒绝"},
    };
    for (const auto& c : cases) {
        RecordingTransport transport;
        transport.answer =
            [](const FlowRequest& request) -> std::variant<FlowResponse, TransportFailure> {
            if (request.url.find("down") != std::string::npos) {
                return TransportFailure{"连接被拒绝"};
            }
            return FlowResponse{200, {}, "ok"};
        };
        const FlowResult result = run(c.flow, transport, {{"zero", Value(0)}});
        EXPECT_FALSE(result.passed) << c.flow;
        EXPECT_EQ(result.message, c.message) << c.flow;
    }
}

TEST(FlowRunner, TheCoreOutcomeIsCodePage936) {
    FlowResult result;
    result.passed = true;
    result.message = "签到成功 \xF0\x9F\x98\x80";  // an emoji GBK lacks
    result.stepsRun = 3;
    const CoreFlowOutcome outcome = coreOutcome(result);
    EXPECT_TRUE(outcome.passed);
    EXPECT_EQ(outcome.message, utf8ToAnsi("签到成功 ?"));
    EXPECT_EQ(outcome.stepsRun, 3U);
}

}  // namespace
}  // namespace vesprey::flow
