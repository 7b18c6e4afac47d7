// 失效时自动登录 from Sign.db to its end: an account of a template with a login part whose cookie
// has expired logs in again against a site on 127.0.0.1 that checks a TOTP code, signs in once
// more, and only then has its new cookie written into Sign.db. A real Sign.db; the templates'
// time fixed at second 59, where RFC 6238 gives the secret "12345678901234567890" the code
// 94287082.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>

#include "engine/messages.h"
#include "loopback_server.h"
#include "session/pass_session.h"
#include "store/flows.h"

namespace vesprey {
namespace {

namespace fs = std::filesystem;

// RFC 6238, appendix B: the first test vector, its last six digits.
constexpr const char* kCodeAt59 = "287082";
// The secret "12345678901234567890" in Base32, as an authenticator app shows it.
constexpr const char* kSecret = "gezd gnbv gy3t qojq gezd gnbv gy3t qojq";

class Quiet final : public PassObserver, public MessageSink {
public:
    void rowStarted(std::size_t, const PassRow&) override {}
    void rowFinished(std::size_t, const AccountReport&) override {}
    void passFinished(const VerdictCounts&, std::stop_token) override {}
    void showMessage(const Text&, const Text&, MessageIcon) override {}
};

class Relogin : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vesprey-relogin-XXXXXX").string();
        dir_ = mkdtemp(pattern.data());
        path_ = dir_ / "Sign.db";
        ASSERT_TRUE(createSiteDatabase(path_, nullptr));
        ASSERT_TRUE(openSiteDatabase(db_, path_));
        // The login form: the user, the password and the code of the moment.
        site_->Post("/login", [this](const httplib::Request& req, httplib::Response& res) {
            ++logins_;
            if (req.get_param_value("user") == "alice" &&
                req.get_param_value("pass") == "p@ss word" &&
                req.get_param_value("code") == kCodeAt59) {
                res.set_header("Set-Cookie", "sid=fresh; Path=/");
                res.set_content("{\"ok\":1}", "application/json");
            } else {
                res.set_content("{\"error\":\"bad code\"}", "application/json");
            }
        });
        // The sign-in: only the session the login gives is still good.
        site_->Get("/sign", [](const httplib::Request& req, httplib::Response& res) {
            if (req.get_header_value("Cookie").find("sid=fresh") == std::string::npos) {
                res.status = 401;
                res.set_content("{\"msg\":\"请先登录\"}", "application/json");
                return;
            }
            res.set_content(utf8ToAnsi("{\"msg\":\"签到成功\"}"), "application/json");
        });
        site_.start();
    }
    void TearDown() override { fs::remove_all(dir_); }

    // A template whose first step logs in and whose second signs in with the account's cookie.
    std::string steps() const {
        return R"([{"login": true, "comment": "登录", "request": {"method": "POST", "url": ")" +
               site_.url("/login") +
               R"(", "headers": [], "cookies": [], "data": "user={{username}}&pass={{password|urlencode}}&code={{ totp(totp_secret) }}", "mimeType": "application/x-www-form-urlencoded"}, "rule": {"success_asserts": [{"re": "\"ok\"", "from": "content"}]}},
              {"comment": "签到", "request": {"method": "GET", "url": ")" +
               site_.url("/sign") +
               R"(", "headers": [{"name": "Cookie", "value": "{{cookie}}"}], "cookies": []}, "rule": {}}])";
    }

    int addAccount(const AccountInputs& inputs, std::string_view cookie = "sid=old") {
        TemplateFields fields;
        fields.WebName = utf8ToAnsi("登录站");
        fields.WebLink = site_.url("/sign");
        fields.Tying = "msg";
        const AddFlowSiteResult added = addFlowSite(db_, fields, cookie, steps(), inputs);
        EXPECT_TRUE(added.site.write);
        return added.cid;
    }

    static AccountInputs loginInputs(std::string password = "p@ss word") {
        return {{"username", "alice"}, {"password", std::move(password)}, {"totp_secret", kSecret}};
    }

    PassSession session(bool relogin) {
        PassPlan plan;
        plan.rows = passRows(loadSiteList(db_));
        plan.relogin = relogin;
        plan.flowNow = [] {
            return std::chrono::system_clock::time_point(std::chrono::seconds(59));
        };
        return PassSession(db_, path_, std::move(plan));
    }

    struct Finished {
        AccountReport report;
        CookieSave save;
    };
    Finished pass(bool relogin, bool userChangesCookie = false) {
        PassSession pass = session(relogin);
        EXPECT_TRUE(pass.prepare(false).flows.ok());
        Quiet quiet;
        const PassResult result = pass.run(quiet, quiet);
        if (userChangesCookie) {
            EXPECT_TRUE(updateWebCookie(db_, loadSiteList(db_)[0].Cid, "sid=MANUAL"));
        }
        EXPECT_EQ(result.reports.size(), 1u);
        return {result.reports.at(0), pass.saveReloginCookies(result)};
    }

    std::string storedCookie() { return loadSiteList(db_).at(0).Cookie; }

    fs::path dir_;
    fs::path path_;
    SqlDatabase db_;
    test::LocalServer<> site_;
    std::atomic<int> logins_{0};
};

TEST_F(Relogin, AnExpiredCookieLogsInWithTheTotpCodeSignsInAgainAndSavesTheNewCookie) {
    addAccount(loginInputs());
    const Finished done = pass(true);
    EXPECT_EQ(done.report.verdict.verdict, Verdict::Success);
    EXPECT_EQ(ansiToUtf8(done.report.listText), "Cookie 失效，已重新登录并签到成功：签到成功");
    EXPECT_TRUE(done.report.relogged);
    EXPECT_EQ(done.report.steps, 3u);  // the sign-in, the login, the sign-in again
    EXPECT_EQ(logins_.load(), 1);
    EXPECT_TRUE(done.save.written && done.save.any);
    EXPECT_EQ(done.save.saved, 1);
    EXPECT_EQ(storedCookie(), "sid=fresh");

    // The next pass signs in with the saved cookie and logs in no more.
    const Finished next = pass(true);
    EXPECT_EQ(next.report.verdict.verdict, Verdict::Success);
    EXPECT_FALSE(next.report.relogged);
    EXPECT_EQ(logins_.load(), 1);
}

TEST_F(Relogin, ALoginThatFailsSaysWhichStepAndSavesNothing) {
    addAccount(loginInputs("wrong password"));
    const Finished done = pass(true);
    EXPECT_EQ(done.report.verdict.verdict, Verdict::Expired);
    const std::string text = ansiToUtf8(done.report.listText);
    EXPECT_EQ(text.rfind("重新登录失败：第 1 步失败：答复不符合成功条件", 0), 0u) << text;
    EXPECT_EQ(text.find("wrong password"), std::string::npos);
    EXPECT_FALSE(done.report.relogged);
    EXPECT_FALSE(done.save.any);
    EXPECT_EQ(storedCookie(), "sid=old");
}

TEST_F(Relogin, WithoutReloginOrWithoutTheLoginInputsAnExpiredAccountStaysExpired) {
    struct Case {
        const char* what;
        bool relogin;
        AccountInputs inputs;
    };
    const Case cases[] = {
        {"relogin off", false, loginInputs()},
        {"no TOTP secret", true, {{"username", "alice"}, {"password", "p@ss word"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const SiteTemplate& earlier : loadSiteList(db_)) {
            ASSERT_TRUE(deleteSite(db_, earlier.id));
        }
        addAccount(c.inputs);
        const Finished done = pass(c.relogin);
        EXPECT_EQ(done.report.verdict.verdict, Verdict::Expired);
        EXPECT_EQ(done.report.steps, 1u);
        EXPECT_FALSE(done.report.relogged);
        EXPECT_FALSE(done.save.any);
        EXPECT_EQ(logins_.load(), 0);
        EXPECT_EQ(storedCookie(), "sid=old");
    }
}

TEST_F(Relogin, ACookieTheUserChangedDuringThePassIsNotWrittenOver) {
    addAccount(loginInputs());
    const Finished done = pass(true, true);
    EXPECT_TRUE(done.report.relogged);
    EXPECT_EQ(done.save.saved, 0);
    EXPECT_EQ(done.save.changedRows, (std::vector<std::size_t>{0}));
    EXPECT_EQ(storedCookie(), "sid=MANUAL");
}

TEST_F(Relogin, ReloggedCookiesAreNotAmongTheRenewedOnes) {
    addAccount(loginInputs());
    PassSession pass = session(true);
    pass.prepare(false);
    Quiet quiet;
    const PassResult result = pass.run(quiet, quiet);
    // --save-cookies beside --relogin: the renewed cookies leave the relogged row to its own save.
    EXPECT_FALSE(pass.saveRenewedCookies(result).any);
    EXPECT_EQ(pass.saveReloginCookies(result).saved, 1);
    EXPECT_EQ(storedCookie(), "sid=fresh");
}

}  // namespace
}  // namespace vesprey
