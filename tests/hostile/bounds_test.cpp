// What bounds an unattended pass: a signal or --max-time that stops it half-way and still keeps
// the rows done, a site that never answers, a site that trickles its answer, a mail server that
// never says goodbye.
#include <chrono>
#include <csignal>
#include <nlohmann/json.hpp>

#include "hostile.h"

namespace vesprey::hostile {
namespace {

using nlohmann::json;

constexpr int kExitTimeUp = 5;  // vesprey-cli's code for a pass --max-time cut short

// A pass over two hosts: 127.0.0.1 answers at once and renews the account's cookie, 127.0.0.2
// holds every request at its gate until the test ends.
class StoppedPass : public Hostile {
protected:
    void SetUp() override {
        Hostile::SetUp();
        quick_->Get("/ok", [this](const httplib::Request&, httplib::Response& response) {
            ++quick_.requests;
            response.set_header("Set-Cookie", "fresh=1");
            response.set_content(R"({"msg":"\u7b7e\u5230\u6210\u529f"})", "application/json");
        });
        quick_.start();
        held_->Get("/held", [this](const httplib::Request&, httplib::Response& response) {
            held_.pass();
            response.set_content(R"({"msg":"late"})", "application/json");
        });
        held_.closeGate();
        held_.start("127.0.0.2");
    }

    // The site's first account's cookie as Sign.db keeps it.
    std::string storedCookie(const std::string& site) {
        SqlDatabase db;
        EXPECT_TRUE(openSiteDatabase(db, db_));
        for (const SiteTemplate& row : loadSiteList(db)) {
            if (ansiToUtf8(row.WebName) == site) {
                return row.Cookie;
            }
        }
        return {};
    }

    // The verdict and result of each History.db row, in list order.
    std::vector<std::pair<std::string, std::string>> storedVerdicts() {
        std::vector<std::pair<std::string, std::string>> verdicts;
        for (const HistoryEntry& entry : storedRows()) {
            verdicts.emplace_back(ansiToUtf8(entry.verdict), ansiToUtf8(entry.result));
        }
        return verdicts;
    }

    test::LocalServer<> quick_;
    test::LocalServer<> held_;
};

// 甲 and 丙 are done, 乙 is held, 丁 waits behind 乙 on the same host: the signal cuts 乙, 丁
// never goes, and what was done is printed, recorded and saved. Each signal with its exit code.
class StopSignal : public StoppedPass, public ::testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(StopSignal, KeepsTheRowsDoneAndEndsWithItsCode) {
    const auto [signal, code] = GetParam();
    addSite("甲站", quick_.url("/ok"), "sid=1");
    addSite("乙站", held_.url("/held"), "sid=2");
    addSite("丙站", quick_.url("/ok"), "sid=3");
    addSite("丁站", held_.url("/held"), "sid=4");
    const std::unique_ptr<RunningCli> pass = startCli("sign --jobs 16 --save-cookies");
    ASSERT_TRUE(eventually([&] { return quick_.requests == 2 && held_.waiting == 1; }));
    pass->signal(signal);
    const Outcome out = pass->finish();

    EXPECT_EQ(out.exitCode, code) << out.err;
    EXPECT_NE(row(out, 1).find("签到成功"), std::string::npos) << out.out;
    EXPECT_NE(row(out, 2).find("已停止"), std::string::npos) << out.out;
    EXPECT_NE(row(out, 3).find("签到成功"), std::string::npos) << out.out;
    EXPECT_NE(row(out, 4).find("已停止"), std::string::npos) << out.out;
    EXPECT_EQ(storedVerdicts(),
              (std::vector<std::pair<std::string, std::string>>{{"success", "签到成功"},
                                                                {"skipped", "已停止"},
                                                                {"success", "签到成功"},
                                                                {"skipped", "已停止"}}));
    EXPECT_NE(out.err.find("已保存 2 个更新的 Cookie。"), std::string::npos) << out.err;
    EXPECT_NE(storedCookie("甲站").find("fresh=1"), std::string::npos);
    EXPECT_NE(storedCookie("丙站").find("fresh=1"), std::string::npos);
    EXPECT_EQ(storedCookie("乙站"), "sid=2");
    EXPECT_EQ(held_.waiting, 1);  // 丁 was never requested
}

INSTANTIATE_TEST_SUITE_P(EachSignal, StopSignal,
                         ::testing::Values(std::pair{SIGTERM, 143}, std::pair{SIGINT, 130},
                                           std::pair{SIGHUP, 129}));

// Sign.db is held by another program, so the first signal's end waits to save the cookies; the
// second signal does not wait for that.
TEST_F(StoppedPass, ASecondSignalEndsAtOnce) {
    addSite("甲站", quick_.url("/ok"), "sid=1");
    addSite("乙站", held_.url("/held"), "sid=2");
    SqlDatabase holder;
    ASSERT_TRUE(openSiteDatabase(holder, db_));
    ASSERT_EQ(holder.prepare("BEGIN IMMEDIATE").stepCode(), kSqliteDone);

    const std::unique_ptr<RunningCli> pass = startCli("sign --save-cookies");
    ASSERT_TRUE(eventually([&] { return held_.waiting == 1; }));
    pass->signal(SIGTERM);
    ASSERT_TRUE(eventually([&] { return pass->err().find("正在停止") != std::string::npos; }));
    pass->signal(SIGTERM);
    const Outcome out = pass->finish();

    EXPECT_EQ(out.exitCode, 143) << out.err;
    EXPECT_EQ(out.err.find("Cookie"), std::string::npos) << out.err;
}

TEST_F(StoppedPass, MaxTimeStopsThePassAsASignalDoes) {
    addSite("甲站", quick_.url("/ok"), "sid=1");
    addSite("乙站", held_.url("/held"), "sid=2");
    addSite("丙站", held_.url("/held"), "sid=3");
    const Outcome out = cli("sign --max-time 2 --save-cookies");

    EXPECT_EQ(out.exitCode, kExitTimeUp) << out.err;
    EXPECT_NE(out.err.find("签到已用满 --max-time 的 2 秒"), std::string::npos) << out.err;
    EXPECT_NE(row(out, 1).find("签到成功"), std::string::npos) << out.out;
    EXPECT_NE(row(out, 2).find("已停止"), std::string::npos) << out.out;
    EXPECT_NE(row(out, 3).find("已停止"), std::string::npos) << out.out;
    EXPECT_EQ(storedVerdicts(),
              (std::vector<std::pair<std::string, std::string>>{
                  {"success", "签到成功"}, {"skipped", "已停止"}, {"skipped", "已停止"}}));
    EXPECT_NE(storedCookie("甲站").find("fresh=1"), std::string::npos);
}

TEST_F(Hostile, MaxTimeTakesWholeSecondsOnly) {
    for (const char* given : {"0", "-1", "1.5", "x", "604801", ""}) {
        SCOPED_TRACE(given);
        const Outcome out = cli("sign --max-time " + test::quoted(given));
        EXPECT_EQ(out.exitCode, 1);
        EXPECT_TRUE(out.err.starts_with("--max-time 只能是 1 到 604800 之间的整数（秒），不是 "))
            << out.err;
    }
}

// Rows 1-3 tried and not answered, 4-6 given up, 7-10 answered with an error status.
void expectGivenUpAfterThree(const json& accounts);

// Six accounts of a site nobody listens on: three are tried, the rest fail at once. A site that
// answers with an error status did answer: all its accounts are requested.
TEST_F(Hostile, ASiteThatNeverAnswersIsGivenUpAfterThreeAccounts) {
    test::LocalServer<> failing;
    failing->Get("/sign", [&failing](const httplib::Request&, httplib::Response& response) {
        ++failing.requests;
        response.status = 500;
        response.set_content("busy", "text/plain");
    });
    failing.start();
    const std::string dead = "http://127.0.0.1:" + std::to_string(test::closedPort()) + "/sign";
    for (int i = 1; i <= 6; ++i) {
        addSite("死站" + std::to_string(i), dead, "sid=1");
    }
    for (int i = 1; i <= 4; ++i) {
        addSite("忙站" + std::to_string(i), failing.url("/sign"), "sid=1");
    }
    // With several jobs the accounts of one host still go one after the other: the same.
    for (const char* jobs : {"1", "4"}) {
        SCOPED_TRACE(jobs);
        failing.requests = 0;
        const Outcome out = cli("sign --json --jobs " + std::string(jobs));
        EXPECT_EQ(out.exitCode, 3) << out.err;
        expectGivenUpAfterThree(json::parse(out.out).at("accounts"));
        EXPECT_EQ(failing.requests, 4);
    }
}

void expectGivenUpAfterThree(const json& accounts) {
    ASSERT_EQ(accounts.size(), 10u);
    for (std::size_t i = 0; i < accounts.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(accounts[i].at("verdict"), "failed");
        if (i < 3) {
            EXPECT_EQ(accounts[i].at("reason"), "无法连接");
        } else if (i < 6) {
            EXPECT_EQ(accounts[i].at("reason"), "同一网站前 3 个账号都没有回应，本次跳过");
            EXPECT_EQ(accounts[i].at("result"), "同一网站前 3 个账号都没有回应，本次跳过");
        } else {
            EXPECT_EQ(accounts[i].at("result"), "busy");
        }
    }
}

// Headers at once, then one byte of the body every two seconds: data comes, too slowly.
class TricklingServer : public test::LoopbackAcceptor {
public:
    TricklingServer() { startAccepting(); }
    ~TricklingServer() override { stopAccepting(); }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port()) + "/sign"; }

private:
    void take(int connection) override {
        char request[4096];
        static_cast<void>(::recv(connection, request, sizeof request, 0));
        const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n";
        ssize_t sent = ::send(connection, head.data(), head.size(), MSG_NOSIGNAL);
        for (int i = 0; i < 100 && sent > 0; ++i) {
            std::this_thread::sleep_for(std::chrono::seconds(2));
            sent = ::send(connection, "x", 1, MSG_NOSIGNAL);
        }
        ::close(connection);
    }
};

TEST_F(Hostile, ATricklingSiteIsCalledSlowNotSilent) {
    TricklingServer site;
    addSite("慢站", site.url(), "sid=1");
    const Outcome out = cli("sign --json");
    const json account = json::parse(out.out).at("accounts").at(0);
    EXPECT_EQ(account.at("verdict"), "failed");
    EXPECT_EQ(account.at("reason"), "网站发送太慢，答复没有收完") << out.out;
}

// The server takes the mail and then never answers QUIT: the push is sent, and the pass does not
// wait for the goodbye.
TEST_F(Hostile, AMailServerThatNeverSaysGoodbyeHasStillTakenTheMail) {
    test::SmtpServer server(std::map<std::string, std::string>{{"QUIT", ""}});
    test::LocalServer<> site;
    site->Get("/ok", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(R"({"msg":"\u7b7e\u5230\u6210\u529f"})", "application/json");
    });
    site.start();
    addSite("甲站", site.url("/ok"), "sid=1");
    ASSERT_EQ(cli("push-set --channel email --settings " +
                  test::quoted(R"({"host":"127.0.0.1","port":)" + std::to_string(server.port()) +
                               R"(,"tls":"none","from":"me@example.com"})"))
                  .exitCode,
              0);

    const auto started = std::chrono::steady_clock::now();
    const Outcome out = cli("sign --json --notify email");
    const auto took = std::chrono::steady_clock::now() - started;

    EXPECT_EQ(out.exitCode, 0) << out.err;
    EXPECT_EQ(json::parse(out.out).at("push").at("sent"), true) << out.out;
    EXPECT_EQ(server.messages().size(), 1u);
    EXPECT_LT(took, std::chrono::seconds(20));  // the server stays silent for two minutes
}

}  // namespace
}  // namespace vesprey::hostile
