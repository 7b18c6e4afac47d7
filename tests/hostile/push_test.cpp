// Push services that fail the unattended pass: an error status, a port nobody listens on, a
// service that takes the request and never answers, a service that answers with its own error.
// push-test and sign --notify must say so on stderr and exit with 4; sign still prints its table.
#include <chrono>
#include <iterator>
#include <thread>

#include "hostile.h"

namespace vesprey::hostile {
namespace {

using test::RawServer;

constexpr int kExitPushFailed = 4;  // vesprey-cli's code for a failed push

std::string httpAnswer(const std::string& status, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

class HostilePush : public Hostile {
protected:
    void SetUp() override {
        Hostile::SetUp();
        setPushKey(1, "barkkey");
        setPushKey(2, "SCKEY");
        setPushKey(3, "robot");
    }

    // vesprey-cli with every push service at `base`.
    Outcome cliPushingTo(const std::string& args, const std::string& base) {
        return cli(args, "VESPREY_BARK_URL=" + test::quoted(base) +
                             " VESPREY_SERVERCHAN_URL=" + test::quoted(base) +
                             " VESPREY_DINGTALK_URL=" + test::quoted(base) + " ");
    }

    static void expectPushFailure(const Outcome& out, const std::string& reason) {
        EXPECT_EQ(out.exitCode, kExitPushFailed) << out.err;
        EXPECT_TRUE(out.err.ends_with("推送失败：" + reason + "\n")) << out.err;
    }
};

TEST_F(HostilePush, PushTestFailsOnAnErrorStatus) {
    RawServer service(httpAnswer("500 Internal Server Error", "{\"code\":200}"));
    const Outcome out = cliPushingTo("push-test --channel bark", service.url("/"));
    expectPushFailure(out, "HTTP 500");
    EXPECT_EQ(out.out, "");
}

TEST_F(HostilePush, PushTestFailsWhenNobodyListens) {
    const Outcome out = cliPushingTo("push-test --channel serverchan",
                                     "http://127.0.0.1:" + std::to_string(test::closedPort()));
    expectPushFailure(out, "无法连接");
}

TEST_F(HostilePush, PushTestFailsWhenTheServiceNeverAnswers) {
    test::SilentServer service;
    const Outcome out =
        cli("push-test --channel dingtalk", "VESPREY_TEST_DEADLINE_MS=2000 VESPREY_DINGTALK_URL=" +
                                                test::quoted(service.url("http", "")) + " ");
    expectPushFailure(out, "请求超时（2 秒内没有完成）");
}

TEST_F(HostilePush, PushTestReportsTheServicesOwnError) {
    const std::pair<std::string, std::string> answers[] = {
        {"bark", R"({"code":400,"message":"failed to get device token"})"},
        {"serverchan", R"({"errno":1024,"errmsg":"bad pushtoken"})"},
        {"dingtalk", R"({"errcode":300001,"errmsg":"token is not exist"})"},
    };
    const std::string reasons[] = {"failed to get device token", "bad pushtoken",
                                   "token is not exist"};
    for (std::size_t i = 0; i < std::size(answers); ++i) {
        SCOPED_TRACE(answers[i].first);
        RawServer service(httpAnswer("200 OK", answers[i].second));
        expectPushFailure(cliPushingTo("push-test --channel " + answers[i].first, service.url("/")),
                          reasons[i]);
    }
}

TEST_F(HostilePush, PushTestPrintsTheAnswerOfAServiceThatTookIt) {
    RawServer service(httpAnswer("200 OK", R"({"code":200,"message":"success"})"));
    const Outcome out = cliPushingTo("push-test --channel bark", service.url("/"));
    EXPECT_EQ(out.exitCode, 0) << out.err;
    EXPECT_EQ(out.out, "{\"code\":200,\"message\":\"success\"}\n");
    EXPECT_EQ(out.err, "");
}

TEST_F(HostilePush, SignPrintsTheResultsThenReportsTheFailedPush) {
    RawServer site(httpAnswer("200 OK", R"({"msg":"\u7b7e\u5230\u6210\u529f"})"));
    addSite("甲站", site.url("/sign"), "sid=1");
    RawServer service(httpAnswer("500 Internal Server Error", ""));
    const Outcome out = cliPushingTo("sign --notify serverchan", service.url("/"));
    expectPushFailure(out, "HTTP 500");
    EXPECT_NE(out.out.find("甲站"), std::string::npos) << out.out;
    EXPECT_NE(out.out.find("签到成功"), std::string::npos) << out.out;
    EXPECT_EQ(service.requests().size(), 1u);
}

// Each row's result is long: Bark's address takes only a few of them, so the summary goes in
// several requests, every row in exactly one of them, in order.
TEST_F(HostilePush, EveryRowReachesThePhone) {
    std::string result;
    std::string escaped;
    for (int i = 0; i < 60; ++i) {
        result += "签到成功";
        escaped += R"(\u7b7e\u5230\u6210\u529f)";
    }
    RawServer site(httpAnswer("200 OK", "{\"msg\":\"" + escaped + "\"}"));
    std::vector<std::string> rows;
    for (int i = 0; i < 12; ++i) {
        const std::string name = "站" + std::to_string(i);
        addSite(name, site.url("/sign"), "sid=1");
        rows.push_back(name + "：" + result);
    }
    RawServer service(httpAnswer("200 OK", R"({"code":200,"message":"success"})"));
    const std::string base = service.url("/");
    const Outcome out = cliPushingTo("sign --notify bark", base);
    EXPECT_EQ(out.exitCode, 0) << out.err;

    const auto requests = service.requests();
    EXPECT_GT(requests.size(), 1u);
    std::vector<std::string> received;
    for (const std::string& request : requests) {
        const std::string target = request.substr(4, request.find(" HTTP/1.1") - 4);
        EXPECT_LE(base.size() - 1 + target.size(), 4096u);
        const std::string content =
            httplib::detail::decode_url(target.substr(target.rfind('/') + 1), false);
        ASSERT_TRUE(content.ends_with("\r\n")) << content;
        for (std::size_t at = 0; at < content.size();) {
            const std::size_t end = content.find("\r\n", at);
            received.push_back(content.substr(at, end - at));
            at = end + 2;
        }
    }
    EXPECT_EQ(received, rows);
}

}  // namespace
}  // namespace vesprey::hostile
