// The push against services on 127.0.0.1: what counts as a failure, a long summary split under
// each service's limit, the DingTalk body with quotes and backslashes, base addresses and keys;
// what every channel with JSON settings puts on the wire, the mail through a local SMTP server, the
// services' certificates, and how settings are changed.

#include "engine/push.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "loopback_server.h"

namespace vesprey {
namespace {

using test::LocalServer;
using test::RawServer;

constexpr int kChannels[] = {kPushBark, kPushServerChan, kPushDingTalk};
// Where the services are for the push of a test: what the programs read from VESPREY_<NAME>_URL
// and VESPREY_PUSH_CAFILE. Each test starts without any.
PushEnvironment& services() {
    static PushEnvironment environment;
    return environment;
}
const std::string kTitle = "12-17/签到提醒";

std::string httpAnswer(const std::string& status, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

std::string requestLine(const std::string& request) {
    return request.substr(0, request.find("\r\n"));
}

std::string bodyOf(const std::string& request) {
    return request.substr(request.find("\r\n\r\n") + 4);
}

std::string between(const std::string& text, const std::string& before, const std::string& after) {
    const std::size_t start = text.find(before);
    if (start == std::string::npos) {
        ADD_FAILURE() << "no " << before << " in " << text;
        return {};
    }
    const std::size_t from = start + before.size();
    const std::size_t end = text.rfind(after);
    if (end == std::string::npos || end < from) {
        ADD_FAILURE() << "no " << after << " in " << text;
        return {};
    }
    return text.substr(from, end - from);
}

std::string percentDecoded(const std::string& text) {
    return httplib::detail::decode_url(text, false);
}

// The robot's body carries raw CR LF inside its strings, which the service reads and a strict
// parser refuses; escaped, the rest of the body must be JSON as it stands.
nlohmann::json dingTalkJson(const std::string& body) {
    std::string strict;
    for (char c : body) {
        strict += c == '\r'   ? std::string("\\r")
                  : c == '\n' ? std::string("\\n")
                              : std::string(1, c);
    }
    return nlohmann::json::parse(strict);
}

// What one request carried, in UTF-8, and its size as the service's limit counts it.
struct Carried {
    std::string title;
    std::vector<std::string> lines;  // without line ends
    std::size_t size = 0;
};

Carried carried(int channel, const std::string& request, const std::string& origin) {
    Carried out;
    std::string content;
    std::string lineEnd = "\r\n";
    if (channel == kPushBark) {
        const std::string path = between(requestLine(request), "GET ", " HTTP/1.1");
        out.size = origin.size() + path.size();
        const std::size_t contentAt = path.rfind('/');
        const std::size_t titleAt = path.rfind('/', contentAt - 1);
        out.title = percentDecoded(path.substr(titleAt + 1, contentAt - titleAt - 1));
        content = percentDecoded(path.substr(contentAt + 1));
    } else if (channel == kPushServerChan) {
        const std::string body = bodyOf(request);
        out.size = body.size();
        out.title = percentDecoded(between(body, "text=", "&desp="));
        content = percentDecoded(body.substr(body.find("&desp=") + 6));
    } else {
        const std::string body = bodyOf(request);
        out.size = body.size();
        const std::string text = dingTalkJson(body).at("markdown").at("text");
        out.title = between(text, "#### ", "  \r\n> ");
        content = between(text, "  \r\n> ", "\r\n ###### ");
        lineEnd = "\n>\n>";
    }
    for (std::size_t at = 0; at < content.size();) {
        const std::size_t end = content.find(lineEnd, at);
        if (end == std::string::npos) {
            ADD_FAILURE() << "content without a final line end: " << content;
            break;
        }
        out.lines.push_back(content.substr(at, end - at));
        at = end + lineEnd.size();
    }
    return out;
}

std::size_t limitOf(int channel) {
    return channel == kPushBark         ? kBarkUrlLimit
           : channel == kPushServerChan ? kServerChanBodyLimit
                                        : kDingTalkBodyLimit;
}

std::vector<Text> gbkLines(const std::vector<std::string>& utf8) {
    std::vector<Text> lines;
    for (const std::string& line : utf8) {
        lines.push_back(utf8ToAnsi(line));
    }
    return lines;
}

class Push : public ::testing::Test {
protected:
    void TearDown() override { services() = {}; }

    // The base address of the channels of Send rows 1 to 3 at `base`.
    static void serveAllAt(const std::string& base) {
        for (const char* name : {"bark", "serverchan", "dingtalk"}) {
            services().baseUrls[name] = base;
        }
    }

    static PushSettings keys(const std::string& bark = "barkkey",
                             const std::string& serverChan = "SCKEY",
                             const std::string& dingTalk = "robot") {
        return {
            {"1", utf8ToAnsi(bark)}, {"2", utf8ToAnsi(serverChan)}, {"3", utf8ToAnsi(dingTalk)}};
    }

    // Pushes `lines` under `title` through the channel of Send row `channel` (kPushBark...).
    static PushOutcome pushRow(int channel, const Text& title, const std::vector<Text>& lines,
                               const PushSettings& rowKeys) {
        return pushSummaryTo(pushChannelOfRow(channel), title, lines, rowKeys, {}, services());
    }

    // The settings' test of the channel of Send row `channel`: one request, titled 签到提醒,
    // without content.
    static PushOutcome testRow(int channel, const PushSettings& rowKeys) {
        return sendTestPush(pushChannelOfRow(channel), rowKeys, {}, services());
    }

    // Pushes `lines` through `channel` to a service that answers every request alike, and returns
    // what each request carried.
    std::vector<Carried> pushToRecorder(int channel, const std::vector<std::string>& lines) {
        RawServer service(httpAnswer("200 OK", "{}"));
        serveAllAt(service.url("/"));
        const PushOutcome done = pushRow(channel, utf8ToAnsi(kTitle), gbkLines(lines), keys());
        EXPECT_TRUE(done.ok()) << ansiToUtf8(done.error.message);
        const std::string origin = "http://127.0.0.1:" + std::to_string(service.port());
        std::vector<Carried> requests;
        for (const std::string& request : service.requests()) {
            requests.push_back(carried(channel, request, origin));
        }
        EXPECT_EQ(done.parts, requests.size());
        EXPECT_EQ(done.sent, requests.size());
        return requests;
    }
};

// The window's checked channel and the pass's default push go by Send row.
TEST_F(Push, EachOfSendRowsOneToThreeNamesItsChannel) {
    const std::pair<int, std::string> rows[] = {
        {kPushBark, "bark"},
        {kPushServerChan, "serverchan"},
        {kPushDingTalk, "dingtalk"},
        {0, ""},
        {4, ""},
    };
    for (const auto& [row, name] : rows) {
        SCOPED_TRACE(row);
        EXPECT_EQ(pushChannelOfRow(row), name);
        if (!name.empty()) {
            EXPECT_EQ(findPushChannel(name)->row, row);
            EXPECT_EQ(pushChannels()[static_cast<std::size_t>(row - 1)].name, name);
        }
    }
}

TEST_F(Push, TheAnswerDecidesWhetherThePushFailed) {
    struct Case {
        int channel;
        std::string status;
        std::string body;
        PushErrorCode code;
        std::string message;
    };
    const Case cases[] = {
        {kPushBark, "200 OK", R"({"code":200,"message":"success"})", PushErrorCode::None, ""},
        {kPushBark, "200 OK", R"({"code":400,"message":"failed to get device token"})",
         PushErrorCode::ServiceError, "failed to get device token"},
        {kPushServerChan, "200 OK", R"({"errno":0,"errmsg":"success"})", PushErrorCode::None, ""},
        {kPushServerChan, "200 OK", R"({"errno":1024,"errmsg":"\u4e0d\u8981\u91cd\u590d"})",
         PushErrorCode::ServiceError, "不要重复"},
        {kPushServerChan, "200 OK", R"({"code":40001,"message":"bad pushkey"})",
         PushErrorCode::ServiceError, "bad pushkey"},
        {kPushDingTalk, "200 OK", R"({"errcode":0,"errmsg":"ok"})", PushErrorCode::None, ""},
        {kPushDingTalk, "200 OK", R"({"errcode":310000,"errmsg":"keywords not in content"})",
         PushErrorCode::ServiceError, "keywords not in content"},
        {kPushDingTalk, "200 OK", R"({"errcode":"300001"})", PushErrorCode::ServiceError,
         "服务返回错误码 300001"},
        // Members of the other services, or none, or no JSON: nothing reported.
        {kPushBark, "200 OK", R"({"errcode":1,"errno":1})", PushErrorCode::None, ""},
        {kPushDingTalk, "200 OK", "ok", PushErrorCode::None, ""},
        {kPushServerChan, "500 Internal Server Error", R"({"errno":0})", PushErrorCode::HttpStatus,
         "HTTP 500"},
        {kPushBark, "404 Not Found", "", PushErrorCode::HttpStatus, "HTTP 404"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.channel) + " " + c.status + " " + c.body);
        RawServer service(httpAnswer(c.status, c.body));
        serveAllAt(service.url("/"));
        const PushOutcome outcome = testRow(c.channel, keys());
        EXPECT_EQ(outcome.error.code, c.code);
        EXPECT_EQ(ansiToUtf8(outcome.error.message), c.message);
        EXPECT_EQ(outcome.answer, utf8ToAnsi(c.body));
        EXPECT_EQ(service.requests().size(), 1u);
    }
}

// Rows long enough that no service takes them all in one request; some with quotes and
// backslashes, which DingTalk's escaping makes longer.
std::vector<std::string> manyLongRows() {
    std::vector<std::string> rows;
    for (int i = 0; i < 90; ++i) {
        std::string result;
        for (int j = 0; j < 30; ++j) {
            result += i % 7 == 0 ? "\"签\\到\" " : "签到成功 ok ";
        }
        rows.push_back("站点" + std::to_string(i) + "：" + result);
    }
    return rows;
}

TEST_F(Push, ALongSummaryGoesInSeveralRequestsEachUnderTheServicesLimit) {
    const std::vector<std::string> rows = manyLongRows();
    for (int channel : kChannels) {
        SCOPED_TRACE(channel);
        const std::vector<Carried> requests = pushToRecorder(channel, rows);
        EXPECT_GT(requests.size(), 1u);
        std::vector<std::string> received;
        for (const Carried& request : requests) {
            EXPECT_LE(request.size, limitOf(channel));
            EXPECT_EQ(request.title, kTitle);
            received.insert(received.end(), request.lines.begin(), request.lines.end());
        }
        EXPECT_EQ(received, rows);
    }
}

TEST_F(Push, ALineTooLongForOneRequestGoesAloneCutBetweenCharacters) {
    std::string longLine = "长站：";
    for (int i = 0; i < 4000; ++i) {
        longLine += "乗\"a\\";  // 乗 is 81 5C in GBK: its trail byte is no backslash
    }
    const std::vector<std::string> rows = {"前站：ok", longLine, "后站：ok"};
    for (int channel : kChannels) {
        SCOPED_TRACE(channel);
        const std::vector<Carried> requests = pushToRecorder(channel, rows);
        ASSERT_GE(requests.size(), 4u);
        EXPECT_EQ(requests.front().lines, std::vector<std::string>{rows.front()});
        EXPECT_EQ(requests.back().lines, std::vector<std::string>{rows.back()});
        std::string pieces;
        for (std::size_t i = 1; i + 1 < requests.size(); ++i) {
            EXPECT_LE(requests[i].size, limitOf(channel));
            ASSERT_EQ(requests[i].lines.size(), 1u);
            pieces += requests[i].lines.front();
        }
        EXPECT_EQ(pieces, longLine);
    }
}

// No split makes a request with a key this long fit: the summary goes once, not a character a
// request.
TEST_F(Push, WhenNoRequestCanFitTheSummaryGoesInOne) {
    RawServer service(httpAnswer("200 OK", "{}"));
    serveAllAt(service.url("/"));
    const PushOutcome outcome =
        pushRow(kPushBark, utf8ToAnsi(kTitle), gbkLines({"甲：ok", "乙：ok"}),
                keys(std::string(kBarkUrlLimit, 'k')));
    EXPECT_TRUE(outcome.ok()) << ansiToUtf8(outcome.error.message);
    ASSERT_EQ(service.requests().size(), 1u);
    EXPECT_EQ(percentDecoded(requestLine(service.requests()[0])),
              "GET /" + std::string(kBarkUrlLimit, 'k') + "/" + kTitle +
                  "/甲：ok\r\n乙：ok\r\n HTTP/1.1");
}

TEST_F(Push, AFailedRequestIsNamedAndTheOthersStillGo) {
    LocalServer<> service;
    service->Post(R"(/.*)", [&service](const httplib::Request&, httplib::Response& response) {
        if (++service.requests == 2) {
            response.status = 500;
        }
        response.set_content("{}", "application/json");
    });
    service.start();
    serveAllAt(service.url("/"));
    const std::vector<Text> lines(100, Text(1000, 'x'));  // several requests' worth
    const PushOutcome outcome = pushRow(kPushDingTalk, utf8ToAnsi(kTitle), lines, keys());
    ASSERT_GE(outcome.parts, 3u);
    EXPECT_EQ(outcome.sent, outcome.parts);
    EXPECT_EQ(service.requests.load(), static_cast<int>(outcome.parts));
    EXPECT_EQ(outcome.failedPart, 2u);
    EXPECT_EQ(outcome.error.code, PushErrorCode::HttpStatus);
    EXPECT_EQ(ansiToUtf8(outcome.error.message),
              "第 2 条（共 " + std::to_string(outcome.parts) + " 条）：HTTP 500");
}

TEST_F(Push, WithoutAnAnswerTheRestIsNotTried) {
    serveAllAt("http://127.0.0.1:" + std::to_string(test::closedPort()));
    const std::vector<Text> lines(100, Text(1000, 'x'));
    const PushOutcome outcome = pushRow(kPushServerChan, utf8ToAnsi(kTitle), lines, keys());
    ASSERT_GE(outcome.parts, 3u);
    EXPECT_EQ(outcome.sent, 1u);
    EXPECT_EQ(outcome.error.code, PushErrorCode::NoAnswer);
    EXPECT_EQ(ansiToUtf8(outcome.error.message),
              "第 1 条（共 " + std::to_string(outcome.parts) + " 条）：无法连接；其余 " +
                  std::to_string(outcome.parts - 1) + " 条未发送");
}

TEST_F(Push, DingTalkBodyStaysJsonWhateverTheResultsHold) {
    // A result that would close the string and add members of its own.
    const std::vector<std::string> rows = {R"(甲站：他说"好" C:\temp\ 乗","msgtype":"text","x":")",
                                           "乙站：ok"};
    RawServer service(httpAnswer("200 OK", "{}"));
    serveAllAt(service.url("/"));
    ASSERT_TRUE(pushRow(kPushDingTalk, utf8ToAnsi(kTitle), gbkLines(rows), keys()).ok());
    ASSERT_EQ(service.requests().size(), 1u);
    const std::string request = service.requests()[0];
    const nlohmann::json body = dingTalkJson(bodyOf(request));
    EXPECT_EQ(body.size(), 2u);
    EXPECT_EQ(body.at("msgtype"), "markdown");
    EXPECT_EQ(body.at("markdown").size(), 2u);
    EXPECT_EQ(body.at("markdown").at("title"), "签到提醒");
    EXPECT_EQ(carried(kPushDingTalk, request, {}).lines, rows);
}

TEST_F(Push, BaseAddressesJoinWithOrWithoutTheFinalSlash) {
    RawServer service(httpAnswer("200 OK", "{}"));
    const std::string expected[] = {"GET /bark/barkkey/", "POST /sc/SCKEY.send HTTP/1.1",
                                    "POST /ding/robot/send?access_token=robot HTTP/1.1"};
    for (const std::string slash : {"", "/"}) {
        SCOPED_TRACE("final slash: " + slash);
        services().baseUrls = {{"bark", service.url("/bark" + slash)},
                               {"serverchan", service.url("/sc" + slash)},
                               {"dingtalk", service.url("/ding" + slash)}};
        for (int channel : kChannels) {
            EXPECT_TRUE(testRow(channel, keys()).ok());
            EXPECT_TRUE(
                requestLine(service.requests().back()).starts_with(expected[channel - kPushBark]))
                << service.requests().back();
        }
    }
}

TEST_F(Push, KeysStayInsideTheirPathSegment) {
    RawServer service(httpAnswer("200 OK", "{}"));
    serveAllAt(service.url("/p/"));
    const std::pair<std::string, std::string> barkKeys[] = {
        {"a#b?c/../d", "GET /p/a%23b%3Fc%2F..%2Fd/"},
        {"..", "GET /p/%2E%2E/"},
        {"Ab-1_2.x~", "GET /p/Ab-1_2.x~/"},
        {"键 1", "GET /p/%E9%94%AE%201/"},
    };
    for (const auto& [key, expected] : barkKeys) {
        testRow(kPushBark, keys(key));
        EXPECT_TRUE(requestLine(service.requests().back()).starts_with(expected))
            << service.requests().back();
    }
    testRow(kPushServerChan, keys({}, "../k?#"));
    EXPECT_EQ(requestLine(service.requests().back()), "POST /p/..%2Fk%3F%23.send HTTP/1.1");
    testRow(kPushDingTalk, keys({}, {}, "t&x=1#f"));
    EXPECT_EQ(requestLine(service.requests().back()),
              "POST /p/robot/send?access_token=t%26x%3D1%23f HTTP/1.1");
}

// ----- The channels with JSON settings: ntfy, Gotify, Telegram, WeCom, Feishu, PushPlus,
// ServerChan³, a webhook, e-mail -----

// A summary with Chinese, quotes, a backslash and a JSON lookalike; its lines are joined by the
// line break each service shows.
const std::vector<std::string> kSummary = {"甲站：签到成功", R"(乙站：他说"好" C:\temp\ ","x":")",
                                           "【失败】丙站：无法连接"};

std::string joined(const std::vector<std::string>& lines, const std::string& separator) {
    std::string text;
    for (const std::string& line : lines) {
        text += (text.empty() ? "" : separator) + line;
    }
    return text;
}

// RFC 2047 encoded words ("=?UTF-8?B?...?=", blank or folded between them) decoded.
std::string decodedWords(const std::string& value) {
    std::string text;
    for (std::size_t at = value.find("=?UTF-8?B?"); at != std::string::npos;
         at = value.find("=?UTF-8?B?", at)) {
        const std::size_t end = value.find("?=", at + 10);
        text += test::base64Decode(value.substr(at + 10, end - at - 10));
        at = end + 2;
    }
    return text;
}

// Characters as Telegram counts them: UTF-16 units.
std::size_t utf16Units(const std::string& utf8) {
    std::size_t units = 0;
    for (char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        units += (byte & 0xC0) == 0x80 ? 0 : byte >= 0xF0 ? 2 : 1;
    }
    return units;
}

// What a push service on 127.0.0.1 saw of one request.
struct Received {
    std::string method;
    std::string target;
    httplib::Headers headers;
    std::string body;

    std::string header(const std::string& name) const {
        const auto found = headers.find(name);
        return found != headers.end() ? found->second : std::string();
    }
    nlohmann::json json() const { return nlohmann::json::parse(body); }
};

// A push service that answers every request alike and keeps what it received.
template <typename ServerType = httplib::Server>
class FakeService {
public:
    template <typename... Args>
    explicit FakeService(int status = 200, std::string answer = "{}", Args&&... args)
        : status_(status), answer_(std::move(answer)), server_(std::forward<Args>(args)...) {
        const auto record = [this](const httplib::Request& request, httplib::Response& response) {
            {
                std::lock_guard lock(mutex_);
                received_.push_back(
                    {request.method, request.target, request.headers, request.body});
            }
            response.status = status_;
            response.set_content(answer_, "application/json");
        };
        server_->Post(".*", record);
        server_->Get(".*", record);
        server_.start();
    }

    std::string url(const std::string& path) const {
        const bool tls = std::is_same_v<ServerType, httplib::SSLServer>;
        return (tls ? "https" : "http") + std::string("://127.0.0.1:") +
               std::to_string(server_.port()) + path;
    }
    std::vector<Received> received() {
        std::lock_guard lock(mutex_);
        return received_;
    }

private:
    int status_;
    std::string answer_;
    std::mutex mutex_;
    std::vector<Received> received_;
    LocalServer<ServerType> server_;  // last: it stops before what its handlers use goes
};

// Settings given as UTF-8 JSON for one channel.
ChannelSettings settingsFor(const std::string& channel, const std::string& json) {
    return {{channel, utf8ToAnsi(json)}};
}

PushOutcome pushTo(const std::string& channel, const std::string& settings,
                   const std::vector<std::string>& lines = kSummary) {
    return pushSummaryTo(channel, utf8ToAnsi(kTitle), gbkLines(lines), {},
                         settingsFor(channel, settings), services());
}

// The channel's base address at `base`, as its VESPREY_<NAME>_URL gives it.
void serveChannelAt(const std::string& channel, const std::string& base) {
    services().baseUrls[channel] = base;
}

TEST_F(Push, EveryJsonChannelPostsTitleAndSummaryWhereItsServiceReadsThem) {
    FakeService service;
    const std::string text = joined(kSummary, "\n");
    const std::string titled = kTitle + "\n" + text;
    struct Case {
        std::string channel;
        std::string settings;
        std::string target;
        nlohmann::json body;
    };
    const Case cases[] = {
        {"gotify",
         R"({"url":")" + service.url("/base/") + R"(","token":"gt/1"})",
         "/base/message?token=gt%2F1",
         {{"title", kTitle}, {"message", text}, {"priority", 5}}},
        {"telegram",
         R"({"token":"123:ABC","chat_id":"-100"})",
         "/base/bot123:ABC/sendMessage",
         {{"chat_id", "-100"}, {"text", titled}}},
        {"wecom",
         R"({"key":"k-1"})",
         "/base/cgi-bin/webhook/send?key=k-1",
         {{"msgtype", "text"}, {"text", {{"content", titled}}}}},
        {"feishu",
         R"({"token":"f1"})",
         "/base/open-apis/bot/v2/hook/f1",
         {{"msg_type", "text"}, {"content", {{"text", titled}}}}},
        {"pushplus",
         R"({"token":"p1"})",
         "/base/send",
         {{"token", "p1"}, {"title", kTitle}, {"content", text}, {"template", "txt"}}},
        {"webhook",
         R"({"url":")" + service.url("/hook?sig=1") + R"("})",
         "/hook?sig=1",
         {{"title", kTitle}, {"text", text}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.channel);
        if (c.channel != "gotify" && c.channel != "webhook") {
            serveChannelAt(c.channel, service.url("/base"));
        }
        const PushOutcome outcome = pushTo(c.channel, c.settings);
        EXPECT_TRUE(outcome.ok()) << ansiToUtf8(outcome.error.message);
        const Received request = service.received().back();
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.target, c.target);
        EXPECT_EQ(request.header("Content-Type"), "application/json; charset=utf-8");
        EXPECT_EQ(request.json(), c.body);
    }
    EXPECT_EQ(service.received().size(), std::size(cases));
}

TEST_F(Push, NtfyTakesTheSummaryAsItsBodyAndTheTitleEncodedInAHeader) {
    FakeService service;
    serveChannelAt("ntfy", service.url("/"));
    ASSERT_TRUE(pushTo("ntfy", R"({"topic":"vesprey-daily","token":"tk_1"})").ok());
    const Received request = service.received().at(0);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/vesprey-daily");
    EXPECT_TRUE(request.header("Title").starts_with("=?UTF-8?B?")) << request.header("Title");
    EXPECT_EQ(decodedWords(request.header("Title")), kTitle);
    EXPECT_EQ(request.header("Authorization"), "Bearer tk_1");
    EXPECT_EQ(request.body, joined(kSummary, "\n"));
}

TEST_F(Push, ServerChan3TakesAFormWithEachLineAMarkdownParagraph) {
    FakeService service(200, R"({"code":0,"message":"","data":{}})");
    serveChannelAt("serverchan3", service.url("/"));
    ASSERT_TRUE(pushTo("serverchan3", R"({"sendkey":"SCT1"})").ok());
    const Received request = service.received().at(0);
    EXPECT_EQ(request.target, "/SCT1.send");
    EXPECT_EQ(request.header("Content-Type"), "application/x-www-form-urlencoded");
    httplib::Params form;
    httplib::detail::parse_query_text(request.body, form);
    EXPECT_EQ(form.size(), 2u);
    EXPECT_EQ(form.find("title")->second, kTitle);
    EXPECT_EQ(form.find("desp")->second, joined(kSummary, "\n\n"));
}

TEST_F(Push, EmailGoesAsOnePlainTextUtf8Mail) {
    test::SmtpServer server;
    const std::string settings = R"({"host":"127.0.0.1","port":)" + std::to_string(server.port()) +
                                 R"(,"tls":"none","user":"me@example.com","password":"pa ss",)"
                                 R"("to":"a@example.com, b@example.com"})";
    const PushOutcome outcome = pushTo("email", settings);
    ASSERT_TRUE(outcome.ok()) << ansiToUtf8(outcome.error.message);
    EXPECT_EQ(ansiToUtf8(outcome.answer), "250 2.0.0 Ok: queued as 4F2");

    const std::vector<std::string> commands = server.commands();
    const auto login = std::find(commands.begin(), commands.end(), "AUTH PLAIN");
    ASSERT_NE(login, commands.end());
    ASSERT_NE(login + 1, commands.end());
    EXPECT_EQ(test::base64Decode(*(login + 1)), std::string("\0me@example.com\0pa ss", 21));
    const std::vector<std::string> envelope(login + 2, commands.end());
    EXPECT_EQ(envelope,
              (std::vector<std::string>{"MAIL FROM:<me@example.com>", "RCPT TO:<a@example.com>",
                                        "RCPT TO:<b@example.com>", "DATA", "QUIT"}));

    ASSERT_EQ(server.messages().size(), 1u);
    const std::string message = server.messages().front();
    const std::size_t split = message.find("\r\n\r\n");
    const std::string head = "\r\n" + message.substr(0, split);
    const auto header = [&head](const std::string& name) {
        const std::size_t at = head.find("\r\n" + name + ": ");
        std::size_t end = head.find("\r\n", at + 2);
        while (end != std::string::npos && head[end + 2] == ' ') {  // a folded line goes on
            end = head.find("\r\n", end + 2);
        }
        return at == std::string::npos
                   ? std::string()
                   : head.substr(at + name.size() + 4, end - at - name.size() - 4);
    };
    EXPECT_EQ(header("From"), "me@example.com");
    EXPECT_EQ(header("To"), "a@example.com, b@example.com");
    EXPECT_EQ(decodedWords(header("Subject")), kTitle);
    EXPECT_EQ(header("MIME-Version"), "1.0");
    EXPECT_EQ(header("Content-Type"), "text/plain; charset=UTF-8");
    EXPECT_EQ(header("Content-Transfer-Encoding"), "base64");
    EXPECT_EQ(test::base64Decode(message.substr(split + 4)), joined(kSummary, "\r\n"));
}

TEST_F(Push, AMailServersRefusalIsReportedInItsOwnWords) {
    const std::pair<std::string, std::string> refusals[] = {
        {"AUTH", "535 5.7.8 Authentication credentials invalid"},
        {"RCPT", "550 5.1.1 <a@example.com>: Recipient address rejected"},
    };
    for (const auto& [command, words] : refusals) {
        SCOPED_TRACE(command);
        test::SmtpServer server(std::map<std::string, std::string>{{command, words}});
        const PushOutcome outcome =
            pushTo("email", R"({"host":"127.0.0.1","port":)" + std::to_string(server.port()) +
                                R"(,"tls":"none","user":"me@example.com","password":"x",)"
                                R"("to":"a@example.com"})");
        EXPECT_EQ(outcome.error.code, PushErrorCode::ServiceError);
        EXPECT_TRUE(ansiToUtf8(outcome.error.message).ends_with("：" + words))
            << ansiToUtf8(outcome.error.message);
        EXPECT_TRUE(server.messages().empty());
    }
}

TEST_F(Push, EachServiceSaysInItsOwnWayThatThePushFailed) {
    struct Case {
        std::string channel;
        std::string settings;
        int status;
        std::string answer;
        PushErrorCode code;
        std::string message;
    };
    const Case cases[] = {
        {"telegram", R"({"token":"1:A","chat_id":"1"})", 401,
         R"({"ok":false,"error_code":401,"description":"Unauthorized"})", PushErrorCode::HttpStatus,
         "HTTP 401（Unauthorized）"},
        {"telegram", R"({"token":"1:A","chat_id":"1"})", 200,
         R"({"ok":false,"description":"Bad Request: chat not found"})", PushErrorCode::ServiceError,
         "Bad Request: chat not found"},
        {"telegram", R"({"token":"1:A","chat_id":"1"})", 200, R"({"ok":true,"result":{}})",
         PushErrorCode::None, ""},
        {"gotify", R"({"token":"g"})", 401,
         R"({"error":"Unauthorized","errorCode":401,"errorDescription":"you need to provide a valid access token"})",
         PushErrorCode::HttpStatus, "HTTP 401（you need to provide a valid access token）"},
        {"ntfy", R"({"topic":"t"})", 429, R"({"code":42901,"http":429,"error":"limit reached"})",
         PushErrorCode::HttpStatus, "HTTP 429（limit reached）"},
        {"wecom", R"({"key":"k"})", 200, R"({"errcode":93000,"errmsg":"invalid webhook url"})",
         PushErrorCode::ServiceError, "invalid webhook url"},
        {"wecom", R"({"key":"k"})", 200, R"({"errcode":45009})", PushErrorCode::ServiceError,
         "服务返回 errcode 45009"},
        {"wecom", R"({"key":"k"})", 200, R"({"errcode":0,"errmsg":"ok"})", PushErrorCode::None, ""},
        {"feishu", R"({"token":"f"})", 200, R"({"code":19021,"msg":"sign match fail"})",
         PushErrorCode::ServiceError, "sign match fail"},
        {"pushplus", R"({"token":"p"})", 200, R"({"code":903,"msg":"\u65e0\u6548\u7684token"})",
         PushErrorCode::ServiceError, "无效的token"},
        {"pushplus", R"({"token":"p"})", 200, R"({"code":200,"msg":"ok"})", PushErrorCode::None,
         ""},
        {"serverchan3", R"({"sendkey":"s"})", 200, R"({"code":40001,"message":"bad pushtoken"})",
         PushErrorCode::ServiceError, "bad pushtoken"},
        {"webhook", "{}", 500, "", PushErrorCode::HttpStatus, "HTTP 500"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.channel + " " + c.answer);
        FakeService service(c.status, c.answer);
        serveChannelAt(c.channel, service.url("/"));
        const PushOutcome outcome = pushTo(c.channel, c.settings);
        EXPECT_EQ(outcome.error.code, c.code);
        EXPECT_EQ(ansiToUtf8(outcome.error.message), c.message);
        EXPECT_EQ(service.received().size(), 1u);
    }
}

// A channel's settings and what is said of them.
struct SettingsCase {
    std::string channel;
    std::string settings;
    std::string words;
};

TEST_F(Push, AChannelLackingWhatItNeedsSendsNothing) {
    FakeService service;
    serveChannelAt("telegram", service.url("/"));
    const SettingsCase cases[] = {
        {"gotify", R"({"token":"g"})",
         "没有设置服务地址（Gotify 的 url，或环境变量 VESPREY_GOTIFY_URL）"},
        {"webhook", "{}", "没有设置服务地址（Webhook 的 url，或环境变量 VESPREY_WEBHOOK_URL）"},
        {"telegram", R"({"token":"1:A"})", "没有设置 Telegram 的 chat_id"},
        {"email", R"({"to":"a@example.com"})", "没有设置服务地址（电子邮件的 host）"},
        {"email", R"({"host":"127.0.0.1","user":"me@example.com","tls":"smime"})",
         "电子邮件的 tls 只能是 starttls、ssl 或 none"},
        {"pigeon", "{}",
         "没有这个推送通道：pigeon。可用的通道：bark、serverchan、dingtalk、ntfy、gotify、"
         "telegram、wecom、feishu、pushplus、serverchan3、webhook、email"},
    };
    for (const SettingsCase& c : cases) {
        SCOPED_TRACE(c.channel + " " + c.settings);
        const PushOutcome outcome = pushTo(c.channel, c.settings);
        EXPECT_EQ(outcome.error.code, PushErrorCode::Settings);
        EXPECT_EQ(ansiToUtf8(outcome.error.message), c.words);
        EXPECT_EQ(outcome.sent, 0u);
    }
    EXPECT_TRUE(service.received().empty());
}

// The text of one message of a channel that limits it, and its size as the service counts it.
std::pair<std::string, std::size_t> messageText(const std::string& channel,
                                                const Received& request) {
    if (channel == "ntfy") {
        return {request.body, request.body.size()};
    }
    const nlohmann::json body = request.json();
    const std::string text = channel == "telegram" ? body.at("text")
                             : channel == "wecom"  ? body.at("text").at("content")
                                                   : body.at("content").at("text");
    const std::size_t size = channel == "telegram" ? utf16Units(text)
                             : channel == "wecom"  ? text.size()
                                                   : request.body.size();
    EXPECT_TRUE(text.starts_with(kTitle + "\n")) << text;
    return {text.substr(kTitle.size() + 1), size};
}

TEST_F(Push, ALongSummaryGoesInMessagesEachServiceTakes) {
    const std::vector<std::string> rows = manyLongRows();
    const std::pair<std::string, std::size_t> limits[] = {
        {"ntfy", 4096}, {"telegram", 4096}, {"wecom", 2048}, {"feishu", 20000}};
    const std::string settings = R"({"topic":"t","token":"1:A","chat_id":"1","key":"k"})";
    for (const auto& [channel, limit] : limits) {
        SCOPED_TRACE(channel);
        FakeService service;
        serveChannelAt(channel, service.url("/"));
        const PushOutcome outcome = pushTo(channel, settings, rows);
        EXPECT_TRUE(outcome.ok()) << ansiToUtf8(outcome.error.message);
        const std::vector<Received> requests = service.received();
        EXPECT_GT(requests.size(), 1u);
        EXPECT_EQ(outcome.parts, requests.size());
        std::vector<std::string> received;
        for (const Received& request : requests) {
            const auto [text, size] = messageText(channel, request);
            EXPECT_LE(size, limit);
            for (std::size_t at = 0; at <= text.size();) {
                const std::size_t end = std::min(text.find('\n', at), text.size());
                received.push_back(text.substr(at, end - at));
                at = end + 1;
            }
        }
        EXPECT_EQ(received, rows);
    }
}

TEST_F(Push, APushTrustsTheSystemsAuthoritiesOrTheFileNamed) {
    test::SelfSigned identity;
    FakeService<httplib::SSLServer> service(200, R"({"code":200})", identity.certificate,
                                            identity.key);
    const test::TempFile authority(identity.pem());
    for (const std::string channel : {"gotify", "bark"}) {
        SCOPED_TRACE(channel);
        serveChannelAt(channel, service.url("/"));
        services().caFile.clear();
        const PushOutcome refused =
            channel == "bark" ? testRow(kPushBark, keys()) : pushTo(channel, R"({"token":"g"})");
        EXPECT_EQ(refused.error.code, PushErrorCode::NoAnswer);
        EXPECT_EQ(ansiToUtf8(refused.error.message),
                  "证书错误（服务的证书不受信任；自建的服务请用 VESPREY_PUSH_CAFILE 指定它的 CA "
                  "证书）");

        services().caFile = authority.path();
        const PushOutcome trusted =
            channel == "bark" ? testRow(kPushBark, keys()) : pushTo(channel, R"({"token":"g"})");
        EXPECT_TRUE(trusted.ok()) << ansiToUtf8(trusted.error.message);
    }
    EXPECT_EQ(service.received().size(), 2u);
}

TEST_F(Push, SavedSettingsKeepWhatWasNotGiven) {
    const PushChannelInfo& ntfy = *findPushChannel("ntfy");
    struct Case {
        std::string stored;
        std::string given;
        nlohmann::json settings;
        std::vector<std::string> unknown;
    };
    const Case cases[] = {
        {R"({"topic":"a","token":"t","later":{"x":1}})",
         R"({"token":null,"topic":"b","url":"https://n.example/"})",
         {{"topic", "b"}, {"later", {{"x", 1}}}, {"url", "https://n.example/"}},
         {}},
        {R"({"topic":"a"})", R"({"colour":"红"})", {{"topic", "a"}, {"colour", "红"}}, {"colour"}},
        {"no json", R"({'topic':'c'})", {{"topic", "c"}}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.given);
        const ChannelSettingsUpdate update =
            updateChannelSettings(ntfy, utf8ToAnsi(c.stored), utf8ToAnsi(c.given));
        ASSERT_TRUE(update.ok()) << ansiToUtf8(update.error);
        EXPECT_EQ(nlohmann::json::parse(ansiToUtf8(update.settings)), c.settings);
        EXPECT_EQ(update.unknown, c.unknown);
        EXPECT_EQ(ansiToUtf8(channelSetting(update.settings, "topic")),
                  c.settings.at("topic").get<std::string>());
    }
    // A Send row's channel keeps a plain key in its row.
    const ChannelSettingsUpdate bark =
        updateChannelSettings(*findPushChannel("bark"), "old", R"({"key":"new/key"})");
    EXPECT_TRUE(bark.ok());
    EXPECT_EQ(bark.settings, "new/key");
}

TEST_F(Push, SettingsThatCannotBeStoredAreRefusedWithTheReason) {
    const auto refusal = [](const std::string& channel, const std::string& given) {
        return ansiToUtf8(
            updateChannelSettings(*findPushChannel(channel), R"({"topic":"kept"})", given).error);
    };
    const SettingsCase cases[] = {
        {"ntfy", R"(["topic"])", R"(设置应是一个 JSON 对象，如 {"token":"…"})"},
        {"ntfy", R"({"topic":true})", "ntfy 的 topic 应是文本"},
        {"ntfy", R"({"topic":"a\nb"})", "ntfy 的 topic 不能含换行符"},
        {"email", R"({"port":"70000"})", "电子邮件的 port 应是 1 到 65535 之间的数"},
        {"email", R"({"tls":"smime"})", "电子邮件的 tls 只能是 starttls、ssl 或 none"},
        {"bark", R"({"key":"k","sound":"bell"})", "bark 只有 key 一项设置，没有 sound"},
        // What the lenient parser would bend: nothing, a second object, a control character.
        {"ntfy", " \r\n\t", R"(设置是空的：请给出一个 JSON 对象，如 {"token":"…"})"},
        {"ntfy", R"({"topic":"a"} {"topic":"b"})",
         "设置里只能有一个 JSON 对象，它后面还有别的内容"},
        {"ntfy", R"({"topic":"a\u0000b"})", "设置的文本里不能有控制字符（\\u0000）"},
        {"ntfy", R"({"topic":"a\u001Fb"})", "设置的文本里不能有控制字符（\\u001F）"},
        {"ntfy", "{\"topic\":\"a\x01b\"}", "设置的文本里不能有控制字符"},
        {"email", R"({"tls":""})", "电子邮件的 tls 只能是 starttls、ssl 或 none"},
    };
    for (const SettingsCase& c : cases) {
        EXPECT_EQ(refusal(c.channel, c.settings), c.words) << c.settings;
    }
    // An escaped backslash before "u0000" is text, and so are braces in a text.
    EXPECT_EQ(refusal("ntfy", R"({"topic":"a\\u0000b"})"), "");
    EXPECT_EQ(refusal("webhook", R"({"url":"http://x/}{\"]"} )"), "");
    // Where the parser stopped is the parser's to say.
    const std::string broken = refusal("ntfy", R"({"topic":)");
    EXPECT_TRUE(broken.starts_with("设置不是有效的 JSON（第 ")) << broken;
}

}  // namespace
}  // namespace vesprey
