// A template written from a recording, then run: the values a picked request sent come from an
// earlier answer, the cookie and the time of the run, whatever they are on the day it runs.
#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "engine/flow/flow.h"
#include "engine/flow/recording.h"
#include "engine/flow/runner.h"

namespace vesprey::flow {
namespace {

const auto kRecordedAt = std::chrono::system_clock::time_point(std::chrono::seconds(1765432100));

// A forum: its home page, the login, the page with the formhash, and the sign-in posted by a
// script with the formhash, a token from the cookie and the time in milliseconds.
std::vector<RecordedRequest> forumRecording() {
    return {
        {"GET", "https://bbs.test/", {}, "", 200, "<a href=\"/login\">登录</a>", false},
        {"POST",
         "https://bbs.test/login",
         {{"Content-Type", "application/x-www-form-urlencoded"}},
         "user=me&pass=secret",
         200,
         "{\"ok\":1}",
         false},
        {"GET",
         "https://bbs.test/forum.php",
         {{"User-Agent", "Mozilla/5.0"}, {"Cookie", "sid=1; csrftoken=abc123xyz"}},
         "",
         200,
         "<form>\n<input type=\"hidden\" name=\"formhash\" value=\"f0e1d2c3\" />\n</form>",
         false},
        {"POST",
         "https://bbs.test/plugin.php?id=dsu_paulsign:sign&_t=1765432100123",
         {{"Content-Type", "application/x-www-form-urlencoded"},
          {"X-CSRF-Token", "abc123xyz"},
          {"Cookie", "sid=1; csrftoken=abc123xyz"},
          {"Content-Length", "25"}},
         "formhash=f0e1d2c3&qdxq=kx",
         200,
         "签到成功",
         true},
        {"GET", "https://bbs.test/home.php", {}, "", 200, "<p>积分 5</p>", false},
    };
}

TEST(FlowRecording, TheSignInIsTheLastPostThatSpeaksOfIt) {
    std::vector<RecordedRequest> recorded = forumRecording();
    EXPECT_EQ(likelySignIn(recorded), 3U);
    recorded[3].url = "https://bbs.test/plugin.php?id=x";
    EXPECT_EQ(likelySignIn(recorded), 4U);  // nothing speaks of signing in: the last one
    recorded.push_back({"POST",
                        "https://bbs.test/api",
                        {},
                        "action=%E7%AD%BE%E5%88%B0",
                        200,
                        "",
                        false});  // 签到, percent-encoded
    EXPECT_EQ(likelySignIn(recorded), 5U);
    EXPECT_EQ(likelySignIn({}), 0U);
}

class Recorder final : public FlowTransport {
public:
    std::vector<FlowRequest> sent;
    std::variant<FlowResponse, TransportFailure> send(const FlowRequest& request) override {
        sent.push_back(request);
        if (request.url.find("forum.php") != std::string::npos) {
            return FlowResponse{
                200, {}, "<form>\n<input type=\"hidden\" name=\"formhash\" value=\"9a8b7c6d\" />"};
        }
        return FlowResponse{200, {}, "签到成功"};
    }
};

class StillClock final : public FlowClock {
public:
    std::chrono::system_clock::time_point now() override {
        return kRecordedAt + std::chrono::hours(24 * 30);
    }
    void wait(std::chrono::milliseconds) override {}
};

TEST(FlowRecording, APickedRequestGetsItsValuesFromEarlierAnswersTheCookieAndTheClock) {
    const RecordedFlow written =
        flowFromRecording(forumRecording(), {3}, "sid=1; csrftoken=abc123xyz", kRecordedAt);
    EXPECT_EQ(written.steps, 2U);  // the page the formhash came from, and the sign-in
    ASSERT_EQ(written.extracted.size(), 1U);
    EXPECT_EQ(written.extracted[0], (std::pair<std::string, std::size_t>{"formhash", 2}));

    auto parsed = parseFlow(written.json);
    ASSERT_TRUE(std::holds_alternative<Flow>(parsed)) << std::get<FlowError>(parsed).message << "\n"
                                                      << written.json;
    EXPECT_EQ(std::get<Flow>(parsed).inputs, std::vector<std::string>{"cookie"});

    // A month later, with another cookie and another formhash on the page.
    Recorder transport;
    StillClock clock;
    const FlowResult result = runFlow(
        std::get<Flow>(parsed), {{"cookie", Value("sid=2; csrftoken=zzz999")}}, transport, clock);
    ASSERT_TRUE(result.passed) << result.message;
    ASSERT_EQ(transport.sent.size(), 2U);
    EXPECT_EQ(transport.sent[0].url, "https://bbs.test/forum.php");
    const FlowRequest& signIn = transport.sent[1];
    EXPECT_EQ(signIn.method, "POST");
    EXPECT_EQ(signIn.body, "formhash=9a8b7c6d&qdxq=kx");
    const std::string later = std::to_string(1765432100 + 24 * 30 * 3600);
    EXPECT_EQ(signIn.url.rfind("https://bbs.test/plugin.php?id=dsu_paulsign:sign&_t=" + later, 0),
              0U)
        << signIn.url;
    const HeaderLines expected = {{"Content-Type", "application/x-www-form-urlencoded"},
                                  {"X-CSRF-Token", "zzz999"},
                                  {"Cookie", "sid=2; csrftoken=zzz999"}};
    EXPECT_EQ(signIn.headers, expected);
}

TEST(FlowRecording, ValuesNoAnswerHeldStayAsTheyWere) {
    std::vector<RecordedRequest> recorded = forumRecording();
    recorded[2].answer = "<p>没有表单</p>";
    const RecordedFlow written = flowFromRecording(recorded, {3}, "", kRecordedAt);
    EXPECT_EQ(written.steps, 1U);
    EXPECT_TRUE(written.extracted.empty());
    EXPECT_NE(written.json.find("formhash=f0e1d2c3&qdxq=kx"), std::string::npos) << written.json;
    EXPECT_NE(written.json.find("\"X-CSRF-Token\""), std::string::npos);
    EXPECT_NE(written.json.find("\"abc123xyz\""), std::string::npos);  // no cookie to take it from
}

}  // namespace
}  // namespace vesprey::flow
