// The sign-in pass end to end: a real Sign.db, a fake site and a fake push server on 127.0.0.1.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

#include "engine/messages.h"
#include "engine/push.h"
#include "engine/sign_in_run.h"
#include "loopback_server.h"
#include "pass_recorder.h"
#include "session/pass_session.h"
#include "store/site_database.h"

namespace vesprey {
namespace {

namespace fs = std::filesystem;
using test::LocalServer;
using test::planOf;
using test::RawServer;
using test::RecordingMessages;
using test::RecordingObserver;

Text gbk(std::string_view utf8) {
    return utf8ToAnsi(utf8);
}

struct Received {
    std::string method;
    std::string path;
    std::string body;
    std::string cookie;
    std::string userAgent;
    std::string contentType;
    std::string token;
};

// A site with several sign-in endpoints that records what it received per path.
class FakeSite {
public:
    FakeSite() {
        auto record = [this](const httplib::Request& req) {
            std::lock_guard lock(mutex_);
            received_.push_back({req.method, req.path, req.body, req.get_header_value("Cookie"),
                                 req.get_header_value("User-Agent"),
                                 req.get_header_value("Content-Type"),
                                 req.get_header_value("X-Token")});
        };
        server_->Post("/json", [record](const httplib::Request& req, httplib::Response& res) {
            record(req);
            res.set_header("Set-Cookie", "token=T1; Path=/; HttpOnly");
            res.set_content("{\"data\":{\"msg\":\"签到成功，获得 5 积分\"}}", "application/json");
        });
        server_->Get("/regex", [record](const httplib::Request& req, httplib::Response& res) {
            record(req);
            res.set_content("<html><b>Already signed</b></html>", "text/html");
        });
        server_->Get("/usc", [record](const httplib::Request& req, httplib::Response& res) {
            record(req);
            res.set_content("{\"msg\":\"\\u7b7e\\u5230\\u6210\\u529f\"}", "application/json");
        });
        server_->Get("/headers", [record](const httplib::Request& req, httplib::Response& res) {
            record(req);
            res.set_content("whole answer", "text/plain");
        });
        server_->Post("/accounts", [record](const httplib::Request& req, httplib::Response& res) {
            record(req);
            const std::string who = req.get_header_value("Cookie");
            res.set_content("{\"code\":1,\"msg\":\"hello " + who + "\"}", "application/json");
        });
        server_->Get("/empty-eval", [record](const httplib::Request& req, httplib::Response& res) {
            record(req);
            res.set_content("%E7%AD%BE not json", "text/plain");
        });
        server_->Get("/big", [record](const httplib::Request& req, httplib::Response& res) {
            record(req);
            res.set_content(std::string(5 * 1024 * 1024, 'x') + "<i>end</i>", "text/html");
        });
        server_.start();
    }
    std::string url(const std::string& path) const { return server_.url(path); }
    std::vector<Received> received() {
        std::lock_guard lock(mutex_);
        return received_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        received_.clear();
    }

private:
    LocalServer<> server_;
    std::mutex mutex_;
    std::vector<Received> received_;
};

constexpr std::string_view kPassUserAgent =
    "Mozilla/5.0 (Windows NT 6.1; WOW64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/50.0.2661.87 Safari/537.36";

class SignInPass : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vesprey-pass-XXXXXX").string();
        dir_ = mkdtemp(pattern.data());
        path_ = dir_ / "Sign.db";
        ASSERT_TRUE(createSiteDatabase(path_, nullptr));
        ASSERT_TRUE(openSiteDatabase(db_, path_));
        services_.baseUrls = {{"bark", push_.url("/bark/")},
                              {"serverchan", push_.url("/sc/")},
                              {"dingtalk", push_.url("/ding")}};
    }
    void TearDown() override { fs::remove_all(dir_); }

    // A pass over `plan` with the push services of the test, told to `observer`.
    PassResult run(PassPlan& plan, RecordingObserver& observer, std::stop_token stop = {}) {
        plan.pushEnvironment = services_;
        return SignInRun(plan, observer, messages_).run(stop);
    }

    int add(std::string_view name, std::string_view path, int qtype, int rtype, int ctype,
            std::string_view tying, std::string_view headers = {}, std::string_view date = {},
            std::optional<std::string_view> cookie = std::string_view{}) {
        TemplateFields f;
        f.WebName = gbk(name);
        f.Weblogin = site_.url("/login");
        f.WebLink = site_.url(std::string(path));
        f.Qtype = storedMethod(qtype);
        f.Rtype = storedAnswerType(rtype);
        f.Ctype = ctype;
        f.Tying = gbk(tying);
        f.Headers = std::string(headers);
        f.Date = std::string(date);
        if (!cookie) {
            EXPECT_TRUE(insertTemplate(db_, f));
            return *selectMaxTemplateId(db_);
        }
        auto added = addSite(db_, f, *cookie);
        EXPECT_TRUE(added.write);
        return added.id;
    }

    // Sites of every kind the pass handles.
    void addEveryKind() {
        add("JSON站", "/json", 2, 1, 1, "data.msg=>结果：[@]", {}, "act=sign", "sid=A1");
        add("正则站", "/regex", 1, 2, 0, "<b>(.*?)</b>", {}, {}, "uid=2");
        add("USC站", "/usc", 1, 1, 2, "msg", {}, {}, "u=3");
        add("头部站", "/headers", 1, 1, 0, "", "X-Token: abc\r\nUser-Agent: own-agent", "q=1",
            "h=4");
        add("无账号站", "/json", 1, 1, 0, "msg", {}, {}, std::nullopt);
        int two = add("双账号站", "/accounts", 2, 1, 0, "msg", {}, "x=1", "who=first");
        ASSERT_TRUE(insertWebCookie(db_, two, "2020-12-19 08:05:09", "who=second"));
    }

    std::string fileBytes() {
        std::ifstream in(path_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    fs::path dir_;
    fs::path path_;
    SqlDatabase db_;
    FakeSite site_;
    RawServer push_{"HTTP/1.1 200 OK\r\nContent-Length: 3\r\nConnection: close\r\n\r\n{}\n"};
    PushEnvironment services_;
    RecordingMessages messages_;
};

TEST_F(SignInPass, RequestsEveryAccountWithACookieAndShowsTheResults) {
    addEveryKind();
    SiteList sites = loadSiteList(db_);
    ASSERT_EQ(sites.size(), 7u);
    PassPlan plan = planOf(sites, loadPushSettings(db_));
    RecordingObserver view(plan.rows);
    const PassResult result = run(plan, view);

    EXPECT_EQ(view.rows[0][kColumnResult], gbk("结果：签到成功，获得 5 积分"));
    EXPECT_EQ(view.rows[1][kColumnResult], "Already signed");
    EXPECT_EQ(view.rows[2][kColumnResult], gbk("签到成功"));
    EXPECT_EQ(view.rows[3][kColumnResult], "whole answer");  // empty binding: the whole answer
    EXPECT_EQ(view.rows[4][kColumnResult], "");              // no account: not requested
    EXPECT_EQ(view.rows[5][kColumnResult], "hello who=first");
    EXPECT_EQ(view.rows[6][kColumnResult], "hello who=second");
    EXPECT_TRUE(messages_.messages.empty());

    const auto got = site_.received();
    ASSERT_EQ(got.size(), 6u);
    // POST without own headers: the pass's User-Agent, the form type, the body, the cookie.
    EXPECT_EQ(got[0].method, "POST");
    EXPECT_EQ(got[0].body, "act=sign");
    EXPECT_EQ(got[0].cookie, "sid=A1");
    EXPECT_EQ(got[0].userAgent, kPassUserAgent);
    EXPECT_EQ(got[0].contentType, "application/x-www-form-urlencoded");
    // GET without own headers sends no body.
    EXPECT_EQ(got[1].method, "GET");
    EXPECT_EQ(got[1].body, "");
    EXPECT_EQ(got[1].cookie, "uid=2");
    // A GET template with its own headers: those headers, its cookie, and its body.
    EXPECT_EQ(got[3].method, "GET");
    EXPECT_EQ(got[3].token, "abc");
    EXPECT_EQ(got[3].userAgent, "own-agent");
    EXPECT_EQ(got[3].cookie, "h=4");
    EXPECT_EQ(got[4].cookie, "who=first");
    EXPECT_EQ(got[5].cookie, "who=second");

    // Status texts: one progress text per row (skipped rows too), then done, then empty.
    ASSERT_EQ(view.statuses.size(), 9u);
    EXPECT_EQ(view.statuses[0], gbk("开始对>>>JSON站<<<进行签到"));
    EXPECT_EQ(view.statuses[4], gbk("开始对>>>无账号站<<<进行签到"));
    EXPECT_EQ(view.statuses[7], gbk("签到完毕！"));
    EXPECT_EQ(view.statuses[8], "");
    EXPECT_EQ(view.holds, 1);
    EXPECT_TRUE(push_.requests().empty());  // "同步通知" not checked
    EXPECT_TRUE(view.pushes.empty());

    // The records kept after it hold the merged cookie and the completed headers; a second pass
    // without reload sends them.
    keepRequestState(result, sites);
    EXPECT_EQ(sites[0].Cookie, "token=T1; sid=A1");  // new cookies first
    EXPECT_NE(sites[3].Headers.find("Referer: " + site_.url("/headers")), std::string::npos);
    site_.clear();
    PassPlan again = planOf(sites, plan.keys);
    RecordingObserver second(again.rows);
    run(again, second);
    EXPECT_EQ(site_.received().at(0).cookie, "token=T1; sid=A1");
    // Nothing of it reached the database.
    EXPECT_EQ(loadSiteList(db_)[0].Cookie, "sid=A1");
}

TEST_F(SignInPass, PushesTheSummaryThroughEachChannel) {
    add("甲站", "/regex", 1, 2, 0, "<b>(.*?)</b>", {}, {}, "a=1");
    add("乙站", "/json", 1, 1, 0, "msg", {}, {}, std::nullopt);
    ASSERT_TRUE(updatePushKey(db_, 1, "barkkey"));
    ASSERT_TRUE(updatePushKey(db_, 2, "SCKEY"));
    ASSERT_TRUE(updatePushKey(db_, 3, "robot"));
    const PushSettings push = loadPushSettings(db_);

    for (int channel : {kPushBark, kPushServerChan, kPushDingTalk}) {
        PassPlan plan = planOf(loadSiteList(db_), push);
        plan.switches->setNotify(true);
        plan.switches->setChannel(channel);
        RecordingObserver view(plan.rows);
        run(plan, view);
        ASSERT_EQ(view.pushes.size(), 1u);
        EXPECT_TRUE(view.pushes[0].ok()) << ansiToUtf8(view.pushes[0].error.message);
    }
    const auto requests = push_.requests();
    ASSERT_EQ(requests.size(), 3u);

    // Bark: title and summary as percent-encoded UTF-8 path segments.
    EXPECT_EQ(requests[0].substr(0, requests[0].find("\r\n")),
              "GET /bark/barkkey/12-17%2F%E7%AD%BE%E5%88%B0%E6%8F%90%E9%86%92/"
              "%E7%94%B2%E7%AB%99%EF%BC%9AAlready%20signed%0D%0A%E4%B9%99%E7%AB%99%EF%BC%9A%0D%0A"
              " HTTP/1.1");

    // ServerChan: a form body.
    EXPECT_EQ(requests[1].substr(0, requests[1].find("\r\n")), "POST /sc/SCKEY.send HTTP/1.1");
    EXPECT_EQ(requests[1].substr(requests[1].find("\r\n\r\n") + 4),
              "text=12-17%2F%E7%AD%BE%E5%88%B0%E6%8F%90%E9%86%92&desp="
              "%E7%94%B2%E7%AB%99%EF%BC%9AAlready%20signed%0D%0A%E4%B9%99%E7%AB%99%EF%BC%9A%0D%0A");
    EXPECT_NE(requests[1].find("Content-Type: application/x-www-form-urlencoded"),
              std::string::npos);

    // DingTalk: one line of JSON, UTF-8, raw CR LF, the \n> sequences unescaped.
    const std::string& ding = requests[2];
    EXPECT_EQ(ding.substr(0, ding.find("\r\n")),
              "POST /ding/robot/send?access_token=robot HTTP/1.1");
    EXPECT_NE(ding.find("Content-Type: application/json"), std::string::npos);
    const std::string body = ding.substr(ding.find("\r\n\r\n") + 4);
    const std::string expectedStart =
        "{\"msgtype\":\"markdown\",\"markdown\":{\"title\":\"签到提醒\",\"text\":\"#### "
        "12-17/签到提醒  \r\n> 甲站：Already signed\\n>\\n>乙站：\\n>\\n>\r\n ###### ";
    EXPECT_EQ(body.substr(0, expectedStart.size()), expectedStart) << body;
    // The time stamp: hh:mm:ss on the 24-hour clock, then 签到.
    const std::string rest = body.substr(expectedStart.size());
    ASSERT_EQ(rest.size(), 8 + std::string("签到\"}}").size()) << rest;
    EXPECT_EQ(rest[2], ':');
    EXPECT_EQ(rest.substr(8), "签到\"}}");
}

TEST_F(SignInPass, EmptyListAndListWithoutAccounts) {
    PassPlan none = planOf({}, loadPushSettings(db_));
    none.switches->setNotify(true);
    RecordingObserver emptyView(none.rows);
    run(none, emptyView);
    ASSERT_EQ(emptyView.statuses.size(), 2u);
    EXPECT_EQ(emptyView.statuses[0], gbk("签到完毕！"));
    ASSERT_EQ(push_.requests().size(), 1u);  // an empty summary is still pushed
    EXPECT_NE(push_.requests()[0].find("GET /bark//12-17%2F"), std::string::npos);
    EXPECT_NE(push_.requests()[0].find("%E9%86%92/ HTTP/1.1"), std::string::npos);

    add("甲", "/json", 1, 1, 0, "msg", {}, {}, std::nullopt);
    add("乙", "/json", 1, 1, 0, "msg", {}, {}, std::nullopt);
    PassPlan plan = planOf(loadSiteList(db_), loadPushSettings(db_));
    plan.switches->setNotify(true);
    plan.switches->setChannel(kPushServerChan);
    RecordingObserver view(plan.rows);
    run(plan, view);
    EXPECT_TRUE(site_.received().empty());
    ASSERT_EQ(push_.requests().size(), 2u);
    EXPECT_TRUE(
        push_.requests()[1].ends_with("&desp=%E7%94%B2%EF%BC%9A%0D%0A%E4%B9%99%EF%BC%9A%0D%0A"));
}

TEST_F(SignInPass, EvaluationFallbacks) {
    // The answer is "%E7%AD%BE not json"; UTF-8 decoding makes it "签 not json".
    add("正则站", "/empty-eval", 1, 2, 1, "nomatch(.)", {}, {}, "c=1");
    add("JSON站", "/empty-eval", 1, 1, 1, "data.x", {}, {}, "c=1");
    add("两个路径", "/empty-eval", 1, 1, 1, "a||b", {}, {}, "c=1");
    PassPlan plan = planOf(loadSiteList(db_));
    RecordingObserver view(plan.rows);
    run(plan, view);
    // A regex that finds nothing: the message, then "匹配失败" in the row.
    EXPECT_EQ(view.rows[0][kColumnResult], gbk("匹配失败"));
    ASSERT_EQ(messages_.messages.size(), 1u);
    EXPECT_EQ(messages_.messages[0], "信息：匹配失败，请检检查正则语句是否有误，数量：0");
    EXPECT_EQ(messages_.icons[0], MessageIcon::Error);
    // JSON mode on text that is not JSON returns the converted answer whole.
    EXPECT_EQ(view.rows[1][kColumnResult], gbk("签 not json"));
    // Alternatives whose last value is empty yield empty: the row shows the answer as received.
    EXPECT_EQ(view.rows[2][kColumnResult], "%E7%AD%BE not json");
}

// Accepts connections into its backlog and never answers them.
class StalledServer {
public:
    StalledServer() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(fd_, 8);
        socklen_t length = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~StalledServer() { ::close(fd_); }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

private:
    int fd_ = -1;
    int port_ = 0;
};

TEST_F(SignInPass, UnreachableHugeAndStalledSitesDoNotStopThePass) {
    StalledServer stalled;
    add("关闭的端口", "/", 1, 1, 0, "msg", {}, {}, "a=1");
    add("不回答的站", "/", 1, 2, 0, "(.)", {}, {}, "s=1");
    add("巨大的回答", "/big", 1, 2, 0, "<i>(.*?)</i>", {}, {}, "b=2");
    add("后面的站", "/regex", 1, 2, 0, "<b>(.*?)</b>", {}, {}, "c=3");
    {
        SqlStatement stmt = db_.prepare("update Template set WebLink='http://127.0.0.1:" +
                                        std::to_string(test::closedPort()) + "/' where id=1");
        ASSERT_EQ(stmt.stepCode(), kSqliteDone);
        SqlStatement stall =
            db_.prepare("update Template set WebLink='" + stalled.url() + "' where id=2");
        ASSERT_EQ(stall.stepCode(), kSqliteDone);
    }
    SiteList sites = loadSiteList(db_);
    db_ = SqlDatabase();  // closed: the pass must not need it
    const std::string before = fileBytes();

    PassPlan plan = planOf(sites);
    RecordingObserver view(plan.rows);
    run(plan, view);
    // Nothing came back from the closed port: JSON mode gives the empty answer.
    EXPECT_EQ(view.rows[0][kColumnResult], "");
    // The stalled site is cut after the request time-out; regex mode reports no match.
    EXPECT_EQ(view.rows[1][kColumnResult], gbk("匹配失败"));
    EXPECT_EQ(view.rows[2][kColumnResult], "end");
    EXPECT_EQ(view.rows[3][kColumnResult], "Already signed");
    EXPECT_EQ(fileBytes(), before);
}

TEST_F(SignInPass, StopRequestEndsThePassBeforeTheNextRowAndSendsNoPush) {
    add("甲", "/regex", 1, 2, 0, "<b>(.*?)</b>", {}, {}, "a=1");
    add("乙", "/regex", 1, 2, 0, "<b>(.*?)</b>", {}, {}, "b=1");
    PassPlan plan = planOf(loadSiteList(db_), loadPushSettings(db_));
    plan.switches->setNotify(true);

    // The observer asks to stop when the first row's result is shown.
    std::stop_source source;
    RecordingObserver view(plan.rows);
    view.stopAtResult = &source;
    EXPECT_TRUE(run(plan, view, source.get_token()).stopped);
    EXPECT_EQ(site_.received().size(), 1u);
    EXPECT_EQ(view.rows[1][kColumnResult], "");
    EXPECT_TRUE(push_.requests().empty());
    EXPECT_TRUE(view.pushes.empty());
    EXPECT_EQ(view.holds, 0);
}

TEST_F(SignInPass, AFailedPushIsReportedToTheView) {
    add("甲", "/regex", 1, 2, 0, "<b>(.*?)</b>", {}, {}, "a=1");
    services_.baseUrls["bark"] = "http://127.0.0.1:" + std::to_string(test::closedPort()) + "/";
    PassPlan plan = planOf(loadSiteList(db_), loadPushSettings(db_));
    plan.switches->setNotify(true);
    RecordingObserver view(plan.rows);
    run(plan, view);
    EXPECT_EQ(view.rows[0][kColumnResult], "Already signed");
    ASSERT_EQ(view.pushes.size(), 1u);
    EXPECT_EQ(view.pushes[0].error.code, PushErrorCode::NoAnswer);
    EXPECT_EQ(view.pushes[0].error.message, gbk("无法连接"));
}

// "签到也校验证书" and --strict-tls belong to the pass that asks for them: the same site with a
// self-signed certificate answers one pass and is refused by the strict one.
TEST_F(SignInPass, AStrictPassChecksTheSitesCertificate) {
    test::SelfSigned identity;
    LocalServer<httplib::SSLServer> secure(identity.certificate, identity.key);
    secure->Get("/sign", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("{\"msg\":\"ok\"}", "application/json");
    });
    secure.start();
    add("自签名站", "/", 1, 1, 0, "msg", {}, {}, "a=1");
    {
        SqlStatement stmt = db_.prepare("update Template set WebLink='https://127.0.0.1:" +
                                        std::to_string(secure.port()) + "/sign'");
        ASSERT_EQ(stmt.stepCode(), kSqliteDone);
    }
    for (const bool strict : {false, true}) {
        PassPlan plan = planOf(loadSiteList(db_));
        plan.strictTls = strict;
        RecordingObserver view(plan.rows);
        const PassResult result = run(plan, view);
        const AccountReport& report = result.reports.at(0);
        if (strict) {
            EXPECT_EQ(report.verdict.verdict, Verdict::Failed);
            EXPECT_EQ(ansiToUtf8(report.verdict.reason).substr(0, 12), "证书错误");
        } else {
            EXPECT_EQ(report.listText, "ok");
        }
    }
}

}  // namespace
}  // namespace vesprey
