// The push against services on 127.0.0.1: what counts as a failure, a long summary split under
// each service's limit, the DingTalk body with quotes and backslashes, base addresses and keys.

#include "engine/push.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "loopback_server.h"

namespace vesprey {
namespace {

using test::LocalServer;
using test::RawServer;

constexpr int kChannels[] = {kPushBark, kPushServerChan, kPushDingTalk};
const char* const kBaseVariables[] = {"VESPREY_BARK_URL", "VESPREY_SERVERCHAN_URL",
                                      "VESPREY_DINGTALK_URL"};
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
    void TearDown() override {
        for (const char* name : kBaseVariables) {
            unsetenv(name);
        }
    }

    // Every channel's base address at `base`.
    static void serveAllAt(const std::string& base) {
        for (const char* name : kBaseVariables) {
            setenv(name, base.c_str(), 1);
        }
    }

    static PushSettings keys(const std::string& bark = "barkkey",
                             const std::string& serverChan = "SCKEY",
                             const std::string& dingTalk = "robot") {
        return {
            {"1", utf8ToAnsi(bark)}, {"2", utf8ToAnsi(serverChan)}, {"3", utf8ToAnsi(dingTalk)}};
    }

    // Pushes `lines` through `channel` to a service that answers every request alike, and returns
    // what each request carried.
    std::vector<Carried> pushToRecorder(int channel, const std::vector<std::string>& lines) {
        RawServer service(httpAnswer("200 OK", "{}"));
        serveAllAt(service.url("/"));
        const PushOutcome done = pushSummary(channel, utf8ToAnsi(kTitle), gbkLines(lines), keys());
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
        Text title = utf8ToAnsi("签到提醒");
        const PushOutcome outcome = sendPush(c.channel, title, {}, keys());
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
        pushSummary(kPushBark, utf8ToAnsi(kTitle), gbkLines({"甲：ok", "乙：ok"}),
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
    const PushOutcome outcome = pushSummary(kPushDingTalk, utf8ToAnsi(kTitle), lines, keys());
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
    const PushOutcome outcome = pushSummary(kPushServerChan, utf8ToAnsi(kTitle), lines, keys());
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
    ASSERT_TRUE(pushSummary(kPushDingTalk, utf8ToAnsi(kTitle), gbkLines(rows), keys()).ok());
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
        setenv("VESPREY_BARK_URL", service.url("/bark" + slash).c_str(), 1);
        setenv("VESPREY_SERVERCHAN_URL", service.url("/sc" + slash).c_str(), 1);
        setenv("VESPREY_DINGTALK_URL", service.url("/ding" + slash).c_str(), 1);
        for (int channel : kChannels) {
            Text title;
            EXPECT_TRUE(sendPush(channel, title, {}, keys()).ok());
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
        Text title;
        sendPush(kPushBark, title, {}, keys(key));
        EXPECT_TRUE(requestLine(service.requests().back()).starts_with(expected))
            << service.requests().back();
    }
    Text title;
    sendPush(kPushServerChan, title, {}, keys({}, "../k?#"));
    EXPECT_EQ(requestLine(service.requests().back()), "POST /p/..%2Fk%3F%23.send HTTP/1.1");
    sendPush(kPushDingTalk, title, {}, keys({}, {}, "t&x=1#f"));
    EXPECT_EQ(requestLine(service.requests().back()),
              "POST /p/robot/send?access_token=t%26x%3D1%23f HTTP/1.1");
}

}  // namespace
}  // namespace vesprey
