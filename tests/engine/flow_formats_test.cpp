// The import and export formats of the multi-step templates: what a text is, the community JSON
// made out of HAR files, curl command lines and one-request templates, the stored text, and the
// shared template JSON with steps.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "engine/account_request.h"
#include "engine/flow/flow.h"
#include "engine/flow/formats.h"
#include "engine/flow/json_value.h"
#include "engine/flow/render.h"

namespace vesprey::flow {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

// One step of a made community JSON, as plain texts.
struct StepTexts {
    std::string comment;
    std::string method;
    std::string url;
    Pairs headers;
    Pairs cookies;
    std::string data;
    std::string mimeType;
    Value rule;
};

Pairs pairsOf(const Value& list) {
    Pairs out;
    if (list.kind() == ValueKind::List) {
        for (const Value& p : list.asList()) {
            out.emplace_back(p.member("name").asString(), p.member("value").asString());
        }
    }
    return out;
}

// The steps of a made community JSON, after checking that parseFlow accepts it and that it is
// already in the stored style.
std::vector<StepTexts> stepsOf(const std::string& json) {
    auto flow = parseFlow(json);
    if (auto* error = std::get_if<FlowError>(&flow)) {
        ADD_FAILURE() << "parseFlow refused it: " << error->message << "\n" << json;
    }
    auto normalized = normalizedCommunityJson(json);
    EXPECT_TRUE(std::holds_alternative<std::string>(normalized) &&
                std::get<std::string>(normalized) == json)
        << json;
    std::vector<StepTexts> out;
    auto read = readJson(json);
    if (!std::holds_alternative<Value>(read)) {
        return out;
    }
    for (const Value& entry : std::get<Value>(read).asList()) {
        const Value request = entry.member("request");
        out.push_back(
            StepTexts{entry.member("comment").asString(), request.member("method").asString(),
                      request.member("url").asString(), pairsOf(request.member("headers")),
                      pairsOf(request.member("cookies")), request.member("data").asString(),
                      request.member("mimeType").asString(), entry.member("rule")});
    }
    return out;
}

template <typename T>
T ok(std::variant<T, FormatError> result) {
    if (auto* error = std::get_if<FormatError>(&result)) {
        ADD_FAILURE() << error->message;
        return T{};
    }
    return std::get<T>(std::move(result));
}

template <typename T>
std::string refusal(const std::variant<T, FormatError>& result) {
    if (!std::holds_alternative<FormatError>(result)) {
        ADD_FAILURE() << "accepted";
        return {};
    }
    return std::get<FormatError>(result).message;
}

// ----- detection -----

TEST(FlowFormats, DetectsWhatATextIs) {
    const std::pair<const char*, TemplateFormat> cases[] = {
        {R"([{"request": {"url": "https://a.test/"}}])", TemplateFormat::CommunityJson},
        {"\xEF\xBB\xBF\n  []", TemplateFormat::CommunityJson},
        {R"({"log": {"entries": [{"checked": true, "request": {}}]}})", TemplateFormat::QdHar},
        {R"({"log": {"entries": [{"request": {}, "success_asserts": []}]}})",
         TemplateFormat::QdHar},
        {R"({"log": {"entries": [{"request": {}, "response": {"status": 200}}]}})",
         TemplateFormat::BrowserHar},
        {"  \n curl 'https://a.test/'", TemplateFormat::Curl},
        {"curl\thttps://a.test/", TemplateFormat::Curl},
        {"curly braces", TemplateFormat::Unknown},
        {R"({"网站": "某站", "签到链接": "https://a.test/"})", TemplateFormat::SharedJson},
        {R"({'签到链接': 'https://a.test/',})", TemplateFormat::SharedJson},
        {R"({"a": 1})", TemplateFormat::Unknown},
        {"just words", TemplateFormat::Unknown},
    };
    for (const auto& [text, format] : cases) {
        EXPECT_EQ(detectTemplateFormat(text), format) << text;
    }
    EXPECT_EQ(templateFormatName(TemplateFormat::BrowserHar), "浏览器保存的 HAR 文件");
}

// ----- curl -----

struct CurlCase {
    const char* name;
    const char* command;
    const char* method;
    const char* url;
    Pairs headers;
    const char* data;
    const char* mimeType;
    const char* cookie;
};

TEST(FlowFormats, ReadsCurlCommandsAsBrowsersCopyThem) {
    const CurlCase cases[] = {
        {"Chrome for bash: $'…', continued lines, cookie header, dropped headers",
         "curl 'https://a.test/sign?x=1' \\\n"
         "  -H 'accept: application/json' \\\n"
         "  -H $'x-note: it\\'s \\u7b7e\\x21' \\\n"
         "  -H 'cookie: sid=abc; t=1' \\\n"
         "  -H 'host: a.test' -H 'content-length: 12' \\\n"
         "  -H 'content-type: application/json' \\\n"
         "  --data-raw $'{\"a\":\"b\\\\nc\"}' \\\n"
         "  --compressed",
         "POST",
         "https://a.test/sign?x=1",
         {{"accept", "application/json"},
          {"x-note", "it's 签!"},
          {"Cookie", "{{cookie}}"},
          {"content-type", "application/json"}},
         R"({"a":"b\nc"})",
         "application/json",
         "sid=abc; t=1"},
        {"Firefox for bash: double quotes with backslashes",
         "curl \"https://a.test/p\" -X POST -H \"User-Agent: Mozilla/5.0\" "
         "-H \"X-Q: say \\\"hi\\\" \\$HOME\" --data-raw \"a=1&b=%22x%22\"",
         "POST",
         "https://a.test/p",
         {{"User-Agent", "Mozilla/5.0"}, {"X-Q", "say \"hi\" $HOME"}},
         "a=1&b=%22x%22",
         "application/x-www-form-urlencoded",
         ""},
        {"-X PUT, two -b and -d",
         "curl -X PUT -b 'a=1' --cookie 'b=2' -b '' -d 'k=v' -d 'l=w' https://a.test/put",
         "PUT",
         "https://a.test/put",
         {{"Cookie", "{{cookie}}"}},
         "k=v&l=w",
         "application/x-www-form-urlencoded",
         "a=1; b=2"},
        {"--data-urlencode encodes the value part",
         "curl https://a.test/q --data-urlencode 'msg=签 到&' --data-urlencode 'raw text'",
         "POST",
         "https://a.test/q",
         {},
         "msg=%E7%AD%BE%20%E5%88%B0%26&raw%20text",
         "application/x-www-form-urlencoded",
         ""},
        {"-G puts the data into the address",
         "curl -G https://a.test/s?p=0 -d a=1 -d b=2",
         "GET",
         "https://a.test/s?p=0&a=1&b=2",
         {},
         "",
         "",
         ""},
        {"bundled flags, --url, -u, -A, -e and an address without scheme",
         "curl -sSLk --url a.test/u -u me:pw -A 'UA/1' -e 'https://a.test/;auto' --max-time 5",
         "GET",
         "http://a.test/u",
         {{"User-Agent", "UA/1"},
          {"Referer", "https://a.test/"},
          {"Authorization", "Basic bWU6cHc="}},
         "",
         "",
         ""},
        {"--json sets the JSON content type",
         "curl https://a.test/j --json '{\"k\":1}'",
         "POST",
         "https://a.test/j",
         {{"Content-Type", "application/json"}, {"Accept", "application/json"}},
         R"({"k":1})",
         "application/json",
         ""},
        {"Chrome for Windows cmd: ^ escapes and ^ line ends",
         "curl ^\"https://a.test/w?q=1^&r=2^\" ^\r\n"
         "  -H ^\"accept: */*^\" ^\r\n"
         "  -H ^\"cookie: s=^%^41^\" ^\r\n"
         "  --data-raw ^\"^{^\\^\"a^\\^\":1^}^\"",
         "POST",
         "https://a.test/w?q=1&r=2",
         {{"accept", "*/*"}, {"Cookie", "{{cookie}}"}},
         R"({"a":1})",
         "application/x-www-form-urlencoded",
         "s=%41"},
    };
    for (const CurlCase& c : cases) {
        SCOPED_TRACE(c.name);
        const CommunityImport made = ok(communityFromCurl(c.command));
        const std::vector<StepTexts> steps = stepsOf(made.json);
        ASSERT_EQ(steps.size(), 1U);
        EXPECT_EQ(steps[0].method, c.method);
        EXPECT_EQ(steps[0].url, c.url);
        EXPECT_EQ(steps[0].headers, c.headers);
        EXPECT_TRUE(steps[0].cookies.empty());
        EXPECT_EQ(steps[0].data, c.data);
        EXPECT_EQ(steps[0].mimeType, c.mimeType);
        EXPECT_EQ(made.cookie, c.cookie);
    }
}

TEST(FlowFormats, RefusesCurlCommandsAStepCannotSend) {
    const std::pair<const char*, const char*> cases[] = {
        {"curl https://a.test/up -F 'file=@a.txt'", "-F 发送 multipart 表单"},
        {"curl https://a.test/up --form a=1", "--form 发送 multipart 表单"},
        {"curl https://a.test/up -T a.txt", "-T 上传文件"},
        {"curl https://a.test/ -d @body.json", "“body.json”"},
        {"curl https://a.test/ --data-urlencode name@v.txt", "“v.txt”"},
        {"curl https://a.test/ -b cookies.txt", "Cookie 文件名（cookies.txt）"},
        {"curl https://a.test/ --proxy http://p.test:1 -Z", "不认识的选项：--proxy、-Z"},
        {"curl https://a.test/ https://b.test/", "2 个网址"},
        {"curl -s", "没有网址"},
        {"curl 'https://a.test/", "引号没有配对"},
        {"curl https://a.test/ -u me", "只给了用户名"},
        {"curl https://a.test/ -X", "-X 后面缺少内容"},
        {"wget https://a.test/", "应当以 curl 开头"},
    };
    for (const auto& [command, part] : cases) {
        EXPECT_NE(refusal(communityFromCurl(command)).find(part), std::string::npos) << command;
    }
}

TEST(FlowFormats, BracesFromABrowserRenderAsThemselves) {
    const CommunityImport made =
        ok(communityFromCurl("curl 'https://a.test/{{x}}' --data-raw 'a={%b%}&c={#d#}&e={{{f'"));
    const std::vector<StepTexts> steps = stepsOf(made.json);
    ASSERT_EQ(steps.size(), 1U);
    for (const auto& [stored, original] : {std::pair{steps[0].url, "https://a.test/{{x}}"},
                                           std::pair{steps[0].data, "a={%b%}&c={#d#}&e={{{f"}}) {
        auto compiled = Template::compile(stored);
        ASSERT_TRUE(std::holds_alternative<Template>(compiled)) << stored;
        auto rendered = std::get<Template>(compiled).render({}, systemRenderContext());
        ASSERT_TRUE(std::holds_alternative<std::string>(rendered)) << stored;
        EXPECT_EQ(std::get<std::string>(rendered), original);
    }
}

// ----- HAR -----

const char* const kQdHar = R"har({"log": {"version": "1.2", "entries": [
  {"checked": true, "comment": "登录",
   "request": {"method": "POST", "url": "https://a.test/login",
               "headers": [{"name": ":authority", "value": "a.test"},
                           {"name": "Content-Length", "value": "9"},
                           {"name": "Cookie", "value": "{{cookie}}"},
                           {"name": "X-Token", "value": "{{token}}"},
                           {"name": "X-Off", "value": "1", "checked": false}],
               "cookies": [{"name": "lang", "value": "zh"},
                           {"name": "off", "value": "1", "checked": false}],
               "postData": {"mimeType": "application/x-www-form-urlencoded",
                            "text": "u={{username}}"}},
   "response": {"status": 200},
   "success_asserts": [{"re": "200", "from": "status"}],
   "failed_asserts": [{"re": "密码错误", "from": "content"}],
   "extract_variables": [{"name": "sid", "re": "sid=(\\w+)", "from": "header-Set-Cookie"}]},
  {"checked": false, "request": {"method": "GET", "url": "https://a.test/ad"}},
  {"request": {"method": "GET", "url": "https://a.test/sign?sid={{sid}}"},
   "success_asserts": [], "failed_asserts": [], "extract_variables": []}
]}})har";

TEST(FlowFormats, QdHarKeepsItsCheckedEntriesAndRules) {
    const CommunityImport made = ok(communityFromHar(kQdHar, {}));
    EXPECT_EQ(made.cookie, "");
    const std::vector<StepTexts> steps = stepsOf(made.json);
    ASSERT_EQ(steps.size(), 2U);
    EXPECT_EQ(steps[0].comment, "登录");
    EXPECT_EQ(steps[0].method, "POST");
    EXPECT_EQ(steps[0].headers, (Pairs{{"Cookie", "{{cookie}}"}, {"X-Token", "{{token}}"}}));
    EXPECT_EQ(steps[0].cookies, (Pairs{{"lang", "zh"}}));
    EXPECT_EQ(steps[0].data, "u={{username}}");
    EXPECT_EQ(steps[0].mimeType, "application/x-www-form-urlencoded");
    EXPECT_EQ(steps[0].rule.member("failed_asserts").asList().at(0).member("re").asString(),
              "密码错误");
    EXPECT_EQ(steps[0].rule.member("extract_variables").asList().at(0).member("from").asString(),
              "header-Set-Cookie");
    EXPECT_EQ(steps[1].url, "https://a.test/sign?sid={{sid}}");

    // The template's own inputs are what it reads and does not extract.
    auto flow = parseFlow(made.json);
    ASSERT_TRUE(std::holds_alternative<Flow>(flow));
    EXPECT_EQ(std::get<Flow>(flow).inputs,
              (std::vector<std::string>{"cookie", "token", "username"}));

    // Picks take entries by their number, unchecked ones too.
    const std::vector<StepTexts> picked = stepsOf(ok(communityFromHar(kQdHar, {2})).json);
    ASSERT_EQ(picked.size(), 1U);
    EXPECT_EQ(picked[0].url, "https://a.test/ad");
}

const char* const kBrowserHar = R"({"log": {"version": "1.2", "entries": [
  {"request": {"method": "GET", "url": "https://a.test/page",
               "headers": [{"name": ":path", "value": "/page"},
                           {"name": "cookie", "value": "sid=s1; uid=7"},
                           {"name": "accept", "value": "text/html"}],
               "cookies": [{"name": "sid", "value": "s1"}, {"name": "uid", "value": "7"}]},
   "response": {"status": 200}},
  {"request": {"method": "GET", "url": "https://a.test/pic.png", "headers": []},
   "response": {"status": 304}},
  {"request": {"method": "POST", "url": "https://a.test/api/sign?d={{x}}",
               "headers": [{"name": "Host", "value": "a.test"},
                           {"name": "Content-Type", "value": "application/json"},
                           {"name": "Cookie", "value": "sid=s2"}],
               "cookies": [],
               "postData": {"mimeType": "application/json", "text": "{\"day\":1}"}},
   "response": {"status": 201}}
]}})";

TEST(FlowFormats, ListsTheRequestsOfABrowsersHar) {
    const std::vector<HarEntry> entries = ok(browserHarEntries(kBrowserHar));
    ASSERT_EQ(entries.size(), 3U);
    const std::tuple<std::size_t, const char*, const char*, int> expected[] = {
        {1, "GET", "https://a.test/page", 200},
        {2, "GET", "https://a.test/pic.png", 304},
        {3, "POST", "https://a.test/api/sign?d={{x}}", 201}};
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto& [number, method, url, status] = expected[i];
        EXPECT_EQ(entries[i].number, number);
        EXPECT_EQ(entries[i].method, method);
        EXPECT_EQ(entries[i].url, url);
        EXPECT_EQ(entries[i].status, status);
        EXPECT_TRUE(entries[i].checked);
    }
    EXPECT_FALSE(ok(browserHarEntries(kQdHar)).at(1).checked);
}

TEST(FlowFormats, PickedBrowserEntriesBecomeStepsWithoutTheUsersCookie) {
    const CommunityImport made = ok(communityFromHar(kBrowserHar, {3, 1}));
    EXPECT_EQ(made.cookie, "sid=s2");
    const std::vector<StepTexts> steps = stepsOf(made.json);
    ASSERT_EQ(steps.size(), 2U);
    EXPECT_EQ(steps[0].method, "POST");
    EXPECT_EQ(steps[0].url, "https://a.test/api/sign?d={{ '{{' }}x}}");
    EXPECT_EQ(steps[0].headers,
              (Pairs{{"Content-Type", "application/json"}, {"Cookie", "{{cookie}}"}}));
    EXPECT_EQ(steps[0].data, R"({"day":1})");
    EXPECT_EQ(steps[0].mimeType, "application/json");
    EXPECT_EQ(steps[1].url, "https://a.test/page");
    EXPECT_EQ(steps[1].headers, (Pairs{{"Cookie", "{{cookie}}"}, {"accept", "text/html"}}));
    EXPECT_TRUE(steps[1].cookies.empty());
    EXPECT_TRUE(steps[1].rule.member("success_asserts").asList().empty());
}

TEST(FlowFormats, RefusesHarPicksAndEntriesItCannotUse) {
    EXPECT_EQ(refusal(communityFromHar(kBrowserHar, {1, 4})), "没有第 4 项，HAR 里只有 3 项");
    EXPECT_EQ(refusal(communityFromHar(kBrowserHar, {0})), "没有第 0 项，HAR 里只有 3 项");
    EXPECT_NE(refusal(communityFromHar(kBrowserHar, {})).find("有 3 项请求，请用编号选出"),
              std::string::npos);
    EXPECT_EQ(
        refusal(communityFromHar(
            R"({"log": {"entries": [{"request": {"url": "u"}}, {"request": {"method": "GET"}}]}})",
            {1, 2})),
        "第 2 项没有 request.url");
    EXPECT_EQ(refusal(communityFromHar(R"({"log": {"entries": [{"response": {}}]}})", {1})),
              "第 1 项没有 request");
    EXPECT_EQ(refusal(browserHarEntries(R"({"log": {}})")),
              "这不是 HAR 文件：没有 log.entries 列表");
    EXPECT_NE(refusal(browserHarEntries("{\"log\": ")).find("HAR 文件不是有效的 JSON"),
              std::string::npos);
}

// ----- a file read as a multi-step template -----

TEST(FlowFormats, ImportsAFileWithItsFirstRequestAndCookie) {
    const struct {
        const char* name;
        std::string text;
        TemplateFormat format;
        std::vector<std::size_t> picks;
        std::string link;
        RequestMethod method;
        std::size_t requests;
        std::string cookie;
    } cases[] = {
        {"community, lower-case method",
         R"([{"request": {"method": "post", "url": "https://c.test/a?x={{x}}"}},
             {"request": {"method": "GET", "url": "https://c.test/b"}}])",
         TemplateFormat::CommunityJson,
         {},
         "https://c.test/a?x={{x}}",
         RequestMethod::Post,
         2,
         ""},
        {"QD HAR",
         kQdHar,
         TemplateFormat::QdHar,
         {},
         "https://a.test/login",
         RequestMethod::Post,
         2,
         ""},
        {"browser HAR",
         kBrowserHar,
         TemplateFormat::BrowserHar,
         {1, 3},
         "https://a.test/page",
         RequestMethod::Get,
         2,
         "sid=s1; uid=7"},
        {"curl",
         "curl 'https://u.test/s' -b 'k=v'",
         TemplateFormat::Curl,
         {},
         "https://u.test/s",
         RequestMethod::Get,
         1,
         "k=v"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ImportedFlow read = ok(importFlowText(c.text, c.format, c.picks, "没有导入"));
        EXPECT_EQ(read.fields.WebLink, c.link);
        EXPECT_EQ(read.fields.Qtype, c.method);
        EXPECT_EQ(read.requests, c.requests);
        EXPECT_EQ(read.cookie, c.cookie);
        // Stored as it is exported.
        EXPECT_EQ(ok(normalizedCommunityJson(read.json)), read.json);
        EXPECT_TRUE(read.fields.WebName.empty());
    }
}

TEST(FlowFormats, ImportRefusalsSayWhatWasNotDoneAndWhere) {
    const struct {
        std::string text;
        TemplateFormat format;
        std::vector<std::size_t> picks;
        const char* what;
        std::string message;
    } cases[] = {
        {R"([{"request": {"method": "POST", "url": "api://util/dddd/ocr"}}])",
         TemplateFormat::CommunityJson,
         {},
         "没有导入",
         "模板没有导入：第 1 步要识别验证码（api://util/dddd/ocr），Vesprey 还不支持"},
        {kBrowserHar,
         TemplateFormat::BrowserHar,
         {4},
         "没有运行",
         "HAR 文件没有运行：没有第 4 项，HAR 里只有 3 项"},
        {"curl https://u.test/ -F a=@f",
         TemplateFormat::Curl,
         {},
         "没有导入",
         "curl 命令没有导入："},
        {"[{\"request\": ", TemplateFormat::CommunityJson, {}, "没有运行", "模板没有运行："},
        {R"({"网站": "x"})", TemplateFormat::SharedJson, {}, "没有导入", "认不出这个文件："},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const std::string message = refusal(importFlowText(c.text, c.format, c.picks, c.what));
        EXPECT_TRUE(message.starts_with(c.message)) << message;
    }
}

// ----- one-request templates -----

TemplateFields oneRequest(RequestMethod method, const char* headers) {
    TemplateFields fields;
    fields.WebName = utf8ToAnsi("某论坛");
    fields.Weblogin = "https://bbs.test/login";
    fields.WebLink = "https://bbs.test/sign?day=1";
    fields.Qtype = method;
    fields.Rtype = AnswerType::Regex;
    fields.Ctype = 1;
    fields.Tying = utf8ToAnsi("\"msg\":\"(.*?)\"=>结果：[@]");
    fields.Headers = headers;
    fields.Date = utf8ToAnsi("formhash=abc&签=1");
    return fields;
}

TEST(FlowFormats, ExportsAOneRequestGetTemplate) {
    const std::vector<StepTexts> steps =
        stepsOf(ok(communityFromFields(oneRequest(RequestMethod::Get, ""))));
    ASSERT_EQ(steps.size(), 1U);
    EXPECT_EQ(steps[0].comment, "某论坛");
    EXPECT_EQ(steps[0].method, "GET");
    EXPECT_EQ(steps[0].url, "https://bbs.test/sign?day=1");
    const std::string_view agent = kDesktopUserAgentLine;
    EXPECT_EQ(steps[0].headers,
              (Pairs{{"User-Agent", std::string(agent.substr(12))}, {"Cookie", "{{cookie}}"}}));
    EXPECT_EQ(steps[0].data, "");  // a GET without header lines sends no body
    EXPECT_EQ(steps[0].mimeType, "");
}

TEST(FlowFormats, ExportsAOneRequestPostTemplate) {
    const std::vector<StepTexts> steps = stepsOf(ok(communityFromFields(oneRequest(
        RequestMethod::Post, "Content-Type: application/json\r\nX-A: 1\r\nCookie: old=1"))));
    ASSERT_EQ(steps.size(), 1U);
    EXPECT_EQ(steps[0].method, "POST");
    EXPECT_EQ(
        steps[0].headers,
        (Pairs{{"Content-Type", "application/json"}, {"X-A", "1"}, {"Cookie", "{{cookie}}"}}));
    EXPECT_EQ(steps[0].data, "formhash=abc&签=1");
    EXPECT_EQ(steps[0].mimeType, "application/json");

    const std::vector<StepTexts> plain =
        stepsOf(ok(communityFromFields(oneRequest(RequestMethod::Post, ""))));
    ASSERT_EQ(plain.size(), 1U);
    EXPECT_EQ(plain[0].mimeType, "application/x-www-form-urlencoded");

    TemplateFields noLink = oneRequest(RequestMethod::Post, "");
    noLink.WebLink.clear();
    EXPECT_NE(refusal(communityFromFields(noLink)).find("没有“签到链接”"), std::string::npos);
}

TEST(FlowFormats, TheStoredTextIsStableAcrossImportAndExport) {
    const std::string exported = ok(communityFromFields(oneRequest(RequestMethod::Post, "X-A: 1")));
    const std::string imported = ok(normalizedCommunityJson(exported));
    EXPECT_EQ(imported, exported);
    EXPECT_EQ(ok(normalizedCommunityJson(imported)), imported);

    // A hand-written text: members keep their order, characters past ASCII are written as they
    // are, four spaces indent.
    const std::string written = ok(normalizedCommunityJson(
        R"([{"request":{"url":"https://a.test/\u7b7e","method":"GET","n":1.5e3},"comment":"签"}])"));
    EXPECT_EQ(written,
              "[\n    {\n        \"request\": {\n            \"url\": \"https://a.test/签\",\n"
              "            \"method\": \"GET\",\n            \"n\": 1500.0\n        },\n"
              "        \"comment\": \"签\"\n    }\n]");
    EXPECT_EQ(ok(normalizedCommunityJson(written)), written);
    EXPECT_EQ(refusal(normalizedCommunityJson(R"({"a": 1})")),
              "多步模板应当是步骤的列表（JSON 数组）");
    EXPECT_NE(
        refusal(normalizedCommunityJson("[1,")).find("多步模板不是有效的 JSON（第 4 个字符）"),
        std::string::npos);
}

// ----- shared JSON -----

void expectSameFields(const TemplateFields& a, const TemplateFields& b) {
    EXPECT_EQ(a.WebName, b.WebName);
    EXPECT_EQ(a.Weblogin, b.Weblogin);
    EXPECT_EQ(a.WebLink, b.WebLink);
    EXPECT_EQ(a.Qtype, b.Qtype);
    EXPECT_EQ(a.Rtype, b.Rtype);
    EXPECT_EQ(a.Ctype, b.Ctype);
    EXPECT_EQ(a.Tying, b.Tying);
    EXPECT_EQ(a.Headers, b.Headers);
    EXPECT_EQ(a.Date, b.Date);
}

TEST(FlowFormats, SharedJsonCarriesTheStepsAndReadsBackTheSame) {
    TemplateFields fields = oneRequest(RequestMethod::Post, "X-A: 1\r\nX-B: \\u7b7e");
    fields.Tying = "\\\"code\\\":(\\d+)";
    const VerdictRules rules{utf8ToAnsi("成功"), utf8ToAnsi("已经签到"), "login"};
    const std::string flow = ok(communityFromHar(kQdHar, {})).json;
    for (const std::optional<std::string>& steps :
         {std::optional<std::string>(flow), std::optional<std::string>()}) {
        SCOPED_TRACE(steps ? "with steps" : "without steps");
        const std::string shared = ok(sharedJsonFor(fields, rules, steps));
        EXPECT_EQ(shared.find("\"步骤\"") != std::string::npos, steps.has_value());
        EXPECT_EQ(detectTemplateFormat(shared), TemplateFormat::SharedJson);

        const SharedTemplate read = ok(readSharedJson(shared));
        expectSameFields(importedTemplateFields(read.imported), fields);
        EXPECT_EQ(read.imported.rules.success, rules.success);
        EXPECT_EQ(read.imported.rules.already, rules.already);
        EXPECT_EQ(read.imported.rules.expired, rules.expired);
        EXPECT_EQ(read.flowJson, steps);
        EXPECT_EQ(ok(sharedJsonFor(importedTemplateFields(read.imported), read.imported.rules,
                                   read.flowJson)),
                  shared);
        // The one-request reader sees the same members.
        const auto plain = parseTemplateImport(utf8ToAnsi(shared));
        ASSERT_TRUE(plain);
        expectSameFields(importedTemplateFields(*plain), fields);
    }
}

TEST(FlowFormats, SharedJsonRefusesStepsThatCannotRun) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"网站": "x", "步骤": {"a": 1}})", "“步骤”应当是步骤的列表"},
        {R"({"网站": "x", "步骤": [{"request": {"url": "{% if a %}"}}]})",
         "模板的“步骤”读不了：第 1 步的“{% if %}”后面没有对应的“{% endif %}”"},
        {R"({'网站': 'x', '步骤': []})", "有“步骤”的模板不是有效的 JSON"},
        {"not json", "Json数据匹配失败"},
    };
    for (const auto& [text, part] : cases) {
        EXPECT_NE(refusal(readSharedJson(text)).find(part), std::string::npos) << text;
    }
    // Written leniently and without steps, it reads as before.
    const SharedTemplate lenient = ok(readSharedJson(R"({'网站': '某站', "请求模式": "1",})"));
    EXPECT_EQ(ansiToUtf8(lenient.imported.WebName), "某站");
    EXPECT_EQ(lenient.imported.method, RequestMethod::Post);
    EXPECT_FALSE(lenient.flowJson);
}

}  // namespace
}  // namespace vesprey::flow
