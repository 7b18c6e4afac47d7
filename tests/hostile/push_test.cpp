// Push services that fail the unattended pass: an error status, a port nobody listens on, a
// service that takes the request and never answers, a service that answers with its own error.
// push-test and sign --notify must say so on stderr and exit with 4; sign still prints its table.
// Settings saved with push-set reach the service; with several channels one failing does not keep
// the summary from the others. Sites with a certificate no authority signed are signed in unless
// --strict-tls.
#include <chrono>
#include <iterator>
#include <nlohmann/json.hpp>
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

TEST_F(HostilePush, PushSetSavesWhatPushTestThenSends) {
    const Outcome saved =
        cli("push-set --channel telegram --settings " +
            test::quoted(R"({"token":"123:ABC","chat_id":"-100","language":"zh"})"));
    EXPECT_EQ(saved.exitCode, 0) << saved.err;
    EXPECT_EQ(saved.out, "已保存 telegram 的推送设置。\n");
    EXPECT_EQ(saved.err, "注意：telegram 用不到这些设置，已原样保存：language。\n");

    RawServer service(httpAnswer("200 OK", R"({"ok":true,"result":{}})"));
    const Outcome sent = cli("push-test --channel telegram",
                             "VESPREY_TELEGRAM_URL=" + test::quoted(service.url("/")) + " ");
    EXPECT_EQ(sent.exitCode, 0) << sent.err;
    EXPECT_EQ(sent.out, "{\"ok\":true,\"result\":{}}\n");
    ASSERT_EQ(service.requests().size(), 1u);
    EXPECT_EQ(service.lastHeadLines().front(), "POST /bot123:ABC/sendMessage HTTP/1.1");
    const nlohmann::json body = nlohmann::json::parse(service.lastBody());
    EXPECT_EQ(body.at("chat_id"), "-100");
    EXPECT_TRUE(body.at("text").get<std::string>().starts_with("签到提醒\n")) << body;
}

TEST_F(HostilePush, PushSetAndNotifyRefuseWhatTheyCannotUse) {
    const std::string channels =
        "可用的通道：bark、serverchan、dingtalk、ntfy、gotify、telegram、"
        "wecom、feishu、pushplus、serverchan3、webhook、email";
    const std::pair<std::string, std::string> refusals[] = {
        {"push-set --channel pigeon --settings '{}'", "没有这个推送通道：pigeon。" + channels},
        {"push-set --channel ntfy --settings '{\"topic\":'",
         "--settings 有误：设置不是有效的 JSON"},
        {"push-set --channel ntfy --settings '[]'", "--settings 有误：设置应是一个 JSON 对象"},
        {"sign --notify bark,pigeon", "--notify 里没有这个通道：pigeon。" + channels},
    };
    for (const auto& [args, words] : refusals) {
        SCOPED_TRACE(args);
        const Outcome out = cli(args);
        EXPECT_EQ(out.exitCode, 1);
        EXPECT_TRUE(out.err.starts_with(words)) << out.err;
    }
}

TEST_F(HostilePush, SignPushesToEveryChannelAndNamesTheOneThatFailed) {
    RawServer site(httpAnswer("200 OK", R"({"msg":"\u7b7e\u5230\u6210\u529f"})"));
    addSite("甲站", site.url("/sign"), "sid=1");
    ASSERT_EQ(cli("push-set --channel ntfy --settings '{\"topic\":\"daily\"}'").exitCode, 0);
    ASSERT_EQ(cli("push-set --channel gotify --settings '{\"token\":\"g\"}'").exitCode, 0);
    RawServer ntfy(httpAnswer("200 OK", "{}"));
    RawServer gotify(httpAnswer("500 Internal Server Error", ""));
    const Outcome out = cli("sign --json --notify ntfy,gotify",
                            "VESPREY_NTFY_URL=" + test::quoted(ntfy.url("/")) +
                                " VESPREY_GOTIFY_URL=" + test::quoted(gotify.url("/")) + " ");
    EXPECT_EQ(out.exitCode, kExitPushFailed) << out.err;
    EXPECT_TRUE(out.err.ends_with("推送失败（gotify）：HTTP 500\n")) << out.err;
    EXPECT_EQ(ntfy.lastBody(), "甲站：签到成功");
    EXPECT_EQ(gotify.requests().size(), 1u);
    const nlohmann::json report = nlohmann::json::parse(out.out);
    EXPECT_EQ(report.at("push"), nlohmann::json::parse(R"([
        {"channel":"ntfy","sent":true,"error":""},
        {"channel":"gotify","sent":false,"error":"HTTP 500"}])"));
}

// Push requests always check certificates; sign-in requests only when asked to.
TEST_F(HostilePush, StrictTlsChecksTheSitesCertificateToo) {
    test::SelfSigned identity;
    test::LocalServer<httplib::SSLServer> site(identity.certificate, identity.key);
    site->Get("/sign", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(R"({"msg":"\u7b7e\u5230\u6210\u529f"})", "application/json");
    });
    site.start();
    addSite("甲站", "https://127.0.0.1:" + std::to_string(site.port()) + "/sign", "sid=1");

    const Outcome lenient = cli("sign --json");
    EXPECT_EQ(lenient.exitCode, 0) << lenient.err;
    EXPECT_EQ(nlohmann::json::parse(lenient.out).at("accounts").at(0).at("result"), "签到成功");

    const Outcome strict = cli("sign --json --strict-tls");
    EXPECT_EQ(strict.exitCode, 3) << strict.err;
    const nlohmann::json account = nlohmann::json::parse(strict.out).at("accounts").at(0);
    EXPECT_EQ(account.at("verdict"), "failed");
    EXPECT_EQ(account.at("reason"), "证书错误");
}

}  // namespace
}  // namespace vesprey::hostile
