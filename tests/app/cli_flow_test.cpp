// Multi-step templates signed by `vesprey-cli sign --json` as a user runs it, against sites on
// loopback: a forum whose sign-in posts a formhash read from a page, a panel that logs in with
// e-mail and password and answers in gzip, and a page that says it is done so the sign-in is
// skipped. What each site received is checked with the verdicts.

#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "loopback_server.h"
#include "shell.h"
#include "store/flows.h"
#include "store/site_database.h"
#include "text/text.h"

// Under ThreadSanitizer: cpp-httplib, which runs the fake sites, is a shared library built
// without it (see cli_parallel_sign_test.cpp).
extern "C" const char* __tsan_default_suppressions() {
    return "race:libcpp-httplib.so\n";
}

namespace {

namespace fs = std::filesystem;
using vesprey::test::LocalServer;
using vesprey::test::Outcome;
using vesprey::test::quoted;

std::string gzipped(const std::string& text) {
    z_stream stream{};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&stream, text.size()) + 32, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

// What the sites received, one line per request: "POST /path body | cookie".
class Received {
public:
    void add(const httplib::Request& req) {
        std::lock_guard lock(mutex_);
        lines_.push_back(req.method + " " + req.path + (req.body.empty() ? "" : " " + req.body) +
                         " | " + req.get_header_value("Cookie"));
    }
    std::vector<std::string> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// A Discuz!-like forum: the page holds a formhash for a logged-in cookie and sends any other to
// the login page; the sign-in takes the formhash once a day.
class Forum {
public:
    Forum() {
        server_->Get("/forum.php", [this](const httplib::Request& req, httplib::Response& res) {
            received.add(req);
            if (req.get_header_value("Cookie").find("auth=ok") == std::string::npos) {
                res.status = 302;
                res.set_header("Location", "/member.php?mod=logging&action=login");
                return;
            }
            if (renew) {
                res.set_header("Set-Cookie", "visit=2; Path=/");
            }
            res.set_content(
                "<form><input type=\"hidden\" name=\"formhash\" value=\"f0e1d2c3\" /></form>",
                "text/html; charset=utf-8");
        });
        server_->Post("/plugin.php", [this](const httplib::Request& req, httplib::Response& res) {
            received.add(req);
            const bool right = req.body.find("formhash=f0e1d2c3") != std::string::npos;
            res.set_content(right ? "<div class=\"c\">签到成功，获得 3 金币</div>"
                                  : "<div class=\"c\">表单无效</div>",
                            "text/html; charset=utf-8");
        });
        server_.start();
    }
    std::string url(const std::string& path) const { return server_.url(path); }
    Received received;
    std::atomic<bool> renew{false};  // the page sets a cookie of its own

private:
    LocalServer<> server_;
};

// A panel: a login by e-mail and password sets the session cookie, the check-in needs it; both
// answer JSON in gzip.
class Panel {
public:
    Panel() {
        server_->Post("/auth/login", [this](const httplib::Request& req, httplib::Response& res) {
            received.add(req);
            const bool right = req.body == "email=me%40example.com&passwd=p%40ss%20w";
            if (right) {
                res.set_header("Set-Cookie", "uid=7; Path=/; HttpOnly");
                res.set_header("Set-Cookie", "key=k9; Path=/");
            }
            answer(res, right ? R"({"ret":1,"msg":"登录成功"})" : R"({"ret":0,"msg":"密码错误"})");
        });
        server_->Post("/user/checkin", [this](const httplib::Request& req, httplib::Response& res) {
            received.add(req);
            const bool session = req.get_header_value("Cookie") == "uid=7; key=k9";
            answer(res, session ? R"({"ret":1,"msg":"获得了 50MB 流量"})"
                                : R"({"ret":-1,"msg":"未登录"})");
        });
        server_.start();
    }
    std::string url(const std::string& path) const { return server_.url(path); }
    Received received;

private:
    static void answer(httplib::Response& res, const std::string& json) {
        res.set_header("Content-Encoding", "gzip");
        res.set_content(gzipped(json), "application/json");
    }
    LocalServer<> server_;
};

// A page that tells whether today is done; the sign-in is posted only when it is not.
class Daily {
public:
    Daily() {
        server_->Get("/state", [this](const httplib::Request& req, httplib::Response& res) {
            received.add(req);
            res.set_content(req.get_header_value("Cookie") == "day=done" ? "<p>今日已签到</p>"
                                                                         : "<p>今日未签到</p>",
                            "text/html; charset=utf-8");
        });
        server_->Post("/sign", [this](const httplib::Request& req, httplib::Response& res) {
            received.add(req);
            res.set_content("<p>签到成功</p>", "text/html; charset=utf-8");
        });
        server_.start();
    }
    std::string url(const std::string& path) const { return server_.url(path); }
    Received received;

private:
    LocalServer<> server_;
};

// A site whose session expires: the login form sets a new one, the check-in answers 401 to any
// other.
class Gate {
public:
    Gate() {
        server_->Post("/login", [this](const httplib::Request& req, httplib::Response& res) {
            received.add(req);
            const bool right = req.body == "user=amy&pass=s3cret";
            if (right) {
                res.set_header("Set-Cookie", "sess=good; Path=/");
            }
            res.set_content(right ? R"({"ok":true})" : R"({"ok":false})", "application/json");
        });
        server_->Get("/checkin", [this](const httplib::Request& req, httplib::Response& res) {
            received.add(req);
            if (req.get_header_value("Cookie").find("sess=good") == std::string::npos) {
                res.status = 401;
                res.set_content(R"({"msg":"登录已过期"})", "application/json");
                return;
            }
            res.set_content(R"({"msg":"签到成功"})", "application/json");
        });
        server_.start();
    }
    std::string url(const std::string& path) const { return server_.url(path); }
    Received received;

private:
    LocalServer<> server_;
};

// One entry of a community template.
std::string step(const std::string& method, const std::string& url, const std::string& headers,
                 const std::string& data, const std::string& rule) {
    return R"({"request": {"method": ")" + method + R"(", "url": ")" + url + R"(", "headers": [)" +
           headers + R"(], "cookies": [], "data": ")" + data +
           R"(", "mimeType": "application/x-www-form-urlencoded"}, "rule": {)" + rule + "}}";
}
// A control entry: its statement in the URL.
std::string control(const std::string& statement) {
    return step("GET", statement, "", "", "");
}
const std::string kCookieHeader = R"({"name": "Cookie", "value": "{{cookie}}"})";

class CliFlows : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vesprey-flows-XXXXXX").string();
        dir_ = mkdtemp(pattern.data());
        db_ = dir_ / "Sign.db";
        ASSERT_TRUE(vesprey::createSiteDatabase(db_, nullptr));
        ASSERT_TRUE(vesprey::openSiteDatabase(sql_, db_));
    }
    void TearDown() override { fs::remove_all(dir_); }

    // A site with a flow and its first account; returns the account's Cid.
    int addFlow(const std::string& name, const std::string& firstUrl, const std::string& steps,
                const std::string& cookie, const vesprey::AccountInputs& inputs = {},
                const std::string& login = "") {
        vesprey::TemplateFields fields;
        fields.WebName = vesprey::utf8ToAnsi(name);
        fields.Weblogin = login;
        fields.WebLink = firstUrl;
        const auto added = vesprey::addFlowSite(sql_, fields, cookie, "[" + steps + "]", inputs);
        EXPECT_TRUE(added.site.write) << added.site.write.error;
        return added.cid;
    }
    // One more account of the site `id`.
    int addAccount(int id, const std::string& cookie, const vesprey::AccountInputs& inputs = {}) {
        EXPECT_TRUE(vesprey::insertWebCookie(sql_, id, "2026-01-01 00:00:00", cookie));
        const int cid = vesprey::selectMaxCid(sql_, id).value_or(0);
        std::vector<vesprey::InputChange> changes;
        for (const auto& [key, value] : inputs) {
            changes.emplace_back(key, value);
        }
        EXPECT_TRUE(vesprey::changeAccountInputs(sql_, cid, changes));
        return cid;
    }

    Outcome cli(const std::string& command, const std::string& input = "") {
        return vesprey::test::runCapturingStderr(
            (input.empty() ? "" : "printf '%s' " + quoted(input) + " | ") +
                std::string(VESPREY_CLI) + " " + command + " --db " + quoted(db_.string()),
            dir_);
    }

    nlohmann::json sign(int expectedExit, const std::string& options = "") {
        const Outcome outcome = vesprey::test::runCapturingStderr(
            std::string(VESPREY_CLI) + " sign --json --no-history " + options + " --db " +
                quoted(db_.string()),
            dir_);
        EXPECT_EQ(outcome.exitCode, expectedExit) << outcome.out << outcome.err;
        signErr_ = outcome.err;
        return nlohmann::json::parse(outcome.out, nullptr, false);
    }

    fs::path dir_;
    fs::path db_;
    vesprey::SqlDatabase sql_;
    std::string signErr_;  // the last sign's standard error
};

// The panel's check-in: the login with e-mail and password, then the check-in with its session.
std::string panelSteps(const Panel& panel) {
    return step(
               "POST", panel.url("/auth/login"), "",
               "email={{email|urlencode}}&passwd={{password|urlencode}}",
               R"("success_asserts": [{"re": "\"ret\":1", "from": "content"}], "failed_asserts": [],
                "extract_variables": [])") +
           "," +
           step(
               "POST", panel.url("/user/checkin"),
               R"({"name": "Accept-Encoding", "value": "gzip, deflate, br, zstd"})", "",
               R"("success_asserts": [{"re": "\"ret\":1", "from": "content"}], "failed_asserts": [],
                "extract_variables": [{"name": "__log__", "re": "\"msg\":\"(.*?)\"", "from": "content"}])");
}

// The forum's sign-in: the formhash read from the page, posted with the account's cookie.
std::string forumSteps(const Forum& forum) {
    return step("GET", forum.url("/forum.php"), kCookieHeader, "",
                R"("success_asserts": [{"re": "formhash", "from": "content"}], "failed_asserts": [],
                "extract_variables": [{"name": "formhash", "re": "name=\"formhash\" value=\"(\\w+)\"", "from": "content"}])") +
           "," +
           step(
               "POST", forum.url("/plugin.php?id=dsu_paulsign:sign&operation=qiandao"),
               kCookieHeader, "formhash={{formhash}}&qdxq=kx",
               R"("success_asserts": [{"re": "签到成功|已经签到", "from": "content"}], "failed_asserts": [],
                "extract_variables": [{"name": "__log__", "re": "<div class=\"c\">(.*?)</div>", "from": "content"}])");
}

TEST_F(CliFlows, AForumPostsTheFormhashItReadFromThePage) {
    Forum forum;
    const std::string steps = forumSteps(forum);
    const int good = addFlow("论坛", forum.url("/forum.php"), steps, "auth=ok; sid=1", {},
                             forum.url("/member.php?mod=logging&action=login"));
    addAccount(1, "auth=gone");

    const nlohmann::json out = sign(3);
    ASSERT_TRUE(out.is_object());
    const auto& accounts = out["accounts"];
    ASSERT_EQ(accounts.size(), 2U);
    EXPECT_EQ(accounts[0]["cid"], good);
    EXPECT_EQ(accounts[0]["verdict"], "success");
    EXPECT_EQ(accounts[0]["result"], "签到成功，获得 3 金币");
    EXPECT_EQ(accounts[0]["steps"], 2);
    EXPECT_EQ(accounts[1]["verdict"], "expired");  // sent to the login page
    EXPECT_EQ(accounts[1]["status"], 302);
    EXPECT_NE(accounts[1]["reason"].get<std::string>().find("跳转到登录页，第 1 步失败"),
              std::string::npos)
        << accounts[1]["reason"];
    EXPECT_EQ(
        forum.received.lines(),
        (std::vector<std::string>{"GET /forum.php | auth=ok; sid=1",
                                  "POST /plugin.php formhash=f0e1d2c3&qdxq=kx | auth=ok; sid=1",
                                  "GET /forum.php | auth=gone"}));
}

TEST_F(CliFlows, ATrialPrintsEachStepAndTheVerdictWithoutWriting) {
    Forum forum;
    const std::string steps =
        step("GET", forum.url("/forum.php"), kCookieHeader, "",
             R"("success_asserts": [{"re": "formhash", "from": "content"}], "failed_asserts": [],
                "extract_variables": [{"name": "formhash", "re": "value=\"(\\w+)\"", "from": "content"},
                                      {"name": "token", "re": "name=\"(\\w+)\" value", "from": "content"}])") +
        "," +
        step(
            "POST", forum.url("/plugin.php?id=sign&sign_token={{token}}{{token}}"), kCookieHeader,
            "formhash={{formhash}}",
            R"("success_asserts": [], "failed_asserts": [{"re": "表单无效", "from": "content"}], "extract_variables": [])");
    const int cid = addFlow("论坛", forum.url("/forum.php"), steps, "auth=ok; sid=0123456789");

    const Outcome tried = cli("try --cid " + std::to_string(cid));
    EXPECT_EQ(tried.exitCode, 0) << tried.out << tried.err;
    const std::string expected = "第 1 步  GET " + forum.url("/forum.php") + "  →  200  ";
    EXPECT_EQ(tried.out.rfind(expected, 0), 0U) << tried.out;
    for (const std::string& line :
         {std::string("    符合成功条件“formhash”（content）\n"),
          std::string("    formhash = f0e1d2c3\n"),
          std::string(
              "    token = formha…（8 字）\n"),  // a token is shortened, here and in the address
          "第 2 步  POST " + forum.url("/plugin.php?id=sign&sign_token=formha…（16 字）") +
              "  →  200",
          std::string("结果：全部 2 步完成\n"), std::string("判定：成功（全部 2 步通过）\n")}) {
        EXPECT_NE(tried.out.find(line), std::string::npos) << line << "\n" << tried.out;
    }
    EXPECT_EQ(tried.out.find("0123456789"), std::string::npos) << tried.out;

    // A file runs the same with the values given; a failed check is exit 3 and says which.
    std::ofstream(dir_ / "forum.json") << "[" + steps + "]";
    const Outcome file =
        cli("try " + quoted((dir_ / "forum.json").string()) + " --cookie -", "auth=nope");
    EXPECT_EQ(file.exitCode, 3) << file.out << file.err;
    EXPECT_NE(file.out.find("第 1 步失败：答复不符合成功条件“formhash”（content）"),
              std::string::npos)
        << file.out;
    // "Copy as cURL" runs as it is, its cookie the account's.
    std::ofstream(dir_ / "copied.sh")
        << "curl '" + forum.url("/forum.php") + "' \\\n  -H 'Cookie: auth=ok; sid=2' --compressed";
    const Outcome copied = cli("try " + quoted((dir_ / "copied.sh").string()));
    EXPECT_EQ(copied.exitCode, 0) << copied.out << copied.err;
    EXPECT_NE(copied.out.find("判定：成功（全部 1 步通过）"), std::string::npos) << copied.out;
    EXPECT_EQ(forum.received.lines().back(), "GET /forum.php | auth=ok; sid=2");
}

TEST_F(CliFlows, SeveralJobsGiveWhatOneGives) {
    Forum forum;
    addFlow("论坛", forum.url("/forum.php"), forumSteps(forum), "auth=ok; n=0");
    for (int i = 1; i < 6; ++i) {
        addAccount(1, i % 3 == 0 ? "auth=gone" : "auth=ok; n=" + std::to_string(i));
    }
    vesprey::TemplateFields other;  // a one-request site beside it
    other.WebName = "其他";
    other.WebLink = forum.url("/forum.php");
    ASSERT_TRUE(vesprey::addSite(sql_, other, "auth=ok").write);
    const std::regex times("\"ms\":[0-9]+");
    const std::string one = std::regex_replace(sign(3, "--jobs 1").dump(), times, "");
    const std::string four = std::regex_replace(sign(3, "--jobs 4").dump(), times, "");
    EXPECT_EQ(four, one);
    EXPECT_NE(one.find("签到成功，获得 3 金币"), std::string::npos) << one;
}

TEST_F(CliFlows, SavedCookiesAreThoseOfTemplatesThatReadTheCookie) {
    Forum forum;
    forum.renew = true;
    Panel panel;
    addFlow("论坛", forum.url("/forum.php"), forumSteps(forum), "auth=ok; sid=1");
    addFlow("面板", panel.url("/auth/login"), panelSteps(panel), "",
            {{"email", "me@example.com"}, {"password", "p@ss w"}});
    sign(0, "--save-cookies");
    std::map<int, vesprey::Text> cookies;
    ASSERT_TRUE(vesprey::readWebCookies(sql_, cookies).ok());
    EXPECT_EQ(cookies[1], "visit=2; auth=ok; sid=1");  // as a one-request pass merges
    EXPECT_EQ(cookies[2], "");  // the panel's session cookie stays the run's own
}

TEST_F(CliFlows, APanelLogsInByEmailAndItsSessionReachesTheCheckIn) {
    Panel panel;
    const std::string steps = panelSteps(panel);
    // No cookie: the flow does not read one, its e-mail and password are enough.
    addFlow("面板", panel.url("/auth/login"), steps, "",
            {{"email", "me@example.com"}, {"password", "p@ss w"}});
    addAccount(1, "", {{"email", "me@example.com"}, {"password", "wrong"}});
    addAccount(1, "", {{"email", "me@example.com"}});  // no password: not signed

    // Ready is every input set: the list says so, `inputs` tells what is missing, masking the
    // password.
    const Outcome listed = cli("list");
    EXPECT_NE(listed.out.find("1     面板  GET       JSON      √"), std::string::npos)
        << listed.out;
    EXPECT_NE(listed.out.find("3     面板  GET       JSON      ×"), std::string::npos)
        << listed.out;
    const Outcome second = cli("inputs --cid 2");
    EXPECT_EQ(second.exitCode, 0) << second.err;
    EXPECT_NE(second.out.find("password          ******"), std::string::npos) << second.out;
    const Outcome third = cli("inputs --cid 3");
    EXPECT_NE(third.out.find("password          （未设置）"), std::string::npos) << third.out;
    EXPECT_NE(third.out.find("还缺：password"), std::string::npos) << third.out;

    const nlohmann::json out = sign(3);
    ASSERT_TRUE(out.is_object());
    const auto& accounts = out["accounts"];
    ASSERT_EQ(accounts.size(), 3U);
    EXPECT_EQ(accounts[0]["verdict"], "success");
    EXPECT_EQ(accounts[0]["result"], "获得了 50MB 流量");
    EXPECT_EQ(accounts[1]["verdict"], "failed");
    EXPECT_EQ(accounts[1]["reason"], "第 1 步失败：答复不符合成功条件“\"ret\":1”（content）");
    EXPECT_EQ(accounts[1]["steps"], 1);
    EXPECT_EQ(accounts[2]["verdict"], "skipped");
    EXPECT_NE(signErr_.find("“面板”的账号 3 还缺 password，没有签到（vesprey-cli inputs --cid 3 "
                            "password=-）"),
              std::string::npos)
        << signErr_;
    EXPECT_EQ(
        panel.received.lines(),
        (std::vector<std::string>{"POST /auth/login email=me%40example.com&passwd=p%40ss%20w | ",
                                  "POST /user/checkin | uid=7; key=k9",
                                  "POST /auth/login email=me%40example.com&passwd=wrong | "}));
}

TEST_F(CliFlows, ReloginSignsAnExpiredAccountInAgainAndSavesItsNewCookie) {
    Gate gate;
    const std::string steps =
        R"({"login": true, )" +
        step("POST", gate.url("/login"), "", "user={{username}}&pass={{password}}",
             R"("success_asserts": [{"re": "\"ok\":true", "from": "content"}])")
            .substr(1) +
        "," +
        step(
            "GET", gate.url("/checkin"), kCookieHeader, "",
            R"("extract_variables": [{"name": "__log__", "re": "\"msg\":\"(.*?)\"", "from": "content"}])");
    addFlow("闸门", gate.url("/checkin"), steps, "sess=stale",
            {{"username", "amy"}, {"password", "s3cret"}});

    // The login's inputs are listed as such; the account is ready with its cookie alone.
    const Outcome inputs = cli("inputs --cid 1");
    EXPECT_NE(inputs.out.find("password          ******（重新登录用）"), std::string::npos)
        << inputs.out;
    EXPECT_NE(inputs.out.find("每个输入都有值"), std::string::npos) << inputs.out;

    // Without --relogin the login part does not run and nothing is written.
    const nlohmann::json before = sign(3);
    ASSERT_TRUE(before.is_object());
    EXPECT_EQ(before["accounts"][0]["verdict"], "expired");
    EXPECT_EQ(gate.received.lines(), (std::vector<std::string>{"GET /checkin | sess=stale"}));

    const nlohmann::json after = sign(0, "--relogin");
    ASSERT_TRUE(after.is_object());
    EXPECT_EQ(after["accounts"][0]["verdict"], "success");
    EXPECT_EQ(after["accounts"][0]["result"], "Cookie 失效，已重新登录并签到成功：签到成功");
    EXPECT_EQ(after["accounts"][0]["steps"], 3);
    EXPECT_NE(signErr_.find("已保存 1 个重新登录得到的 Cookie。"), std::string::npos) << signErr_;
    EXPECT_EQ(signErr_.find("s3cret"), std::string::npos) << signErr_;
    std::map<int, vesprey::Text> cookies;
    ASSERT_TRUE(vesprey::readWebCookies(sql_, cookies).ok());
    EXPECT_EQ(cookies[1], "sess=good");
    EXPECT_EQ(gate.received.lines(),
              (std::vector<std::string>{"GET /checkin | sess=stale", "GET /checkin | sess=stale",
                                        "POST /login user=amy&pass=s3cret | ",
                                        "GET /checkin | sess=good"}));
}

TEST_F(CliFlows, AnIfSkipsTheSignInWhenThePageSaysItIsDone) {
    Daily daily;
    const std::string steps =
        step("GET", daily.url("/state"), kCookieHeader, "",
             R"("success_asserts": [], "failed_asserts": [],
                "extract_variables": [{"name": "state", "re": "<p>(.*?)</p>", "from": "content"}])") +
        "," + control("{% if '未签到' in state %}") + "," +
        step("POST", daily.url("/sign"), kCookieHeader, "",
             R"("success_asserts": [{"re": "签到成功", "from": "content"}], "failed_asserts": [],
                "extract_variables": [{"name": "state", "re": "<p>(.*?)</p>", "from": "content"}])") +
        "," + control("{% endif %}") + "," + control("{% set __log__ = state %}");
    addFlow("每日", daily.url("/state"), steps, "day=done");
    addAccount(1, "day=new");

    const nlohmann::json out = sign(0);
    ASSERT_TRUE(out.is_object());
    const auto& accounts = out["accounts"];
    ASSERT_EQ(accounts.size(), 2U);
    EXPECT_EQ(accounts[0]["verdict"], "already");
    EXPECT_EQ(accounts[0]["result"], "今日已签到");
    EXPECT_EQ(accounts[0]["steps"], 1);
    EXPECT_EQ(accounts[1]["verdict"], "success");
    EXPECT_EQ(accounts[1]["result"], "签到成功");
    EXPECT_EQ(accounts[1]["steps"], 2);
    EXPECT_EQ(daily.received.lines(),
              (std::vector<std::string>{"GET /state | day=done", "GET /state | day=new",
                                        "POST /sign | day=new"}));
}

}  // namespace

namespace {

// A browser's HAR with two requests: a page and the sign-in post with the user's cookie.
const std::string kBrowserHar = R"({"log": {"version": "1.2", "entries": [
  {"request": {"method": "GET", "url": "https://bbs.test/forum.php", "headers": [], "cookies": []},
   "response": {"status": 200}},
  {"request": {"method": "POST", "url": "https://bbs.test/plugin.php?id=sign",
               "headers": [{"name": "Cookie", "value": "auth=abc"}], "cookies": [],
               "postData": {"mimeType": "application/x-www-form-urlencoded", "text": "qdxq=kx"}},
   "response": {"status": 200}}]}})";

TEST_F(CliFlows, ImportTakesEachFormatAndSaysWhatIsMissing) {
    const struct {
        const char* file;
        std::string text;
        std::string options;
        std::string input;  // standard input
        int exitCode;
        std::vector<std::string> out;  // in the output or on stderr
    } cases[] = {
        {"login.json",
         "[" + step("POST", "https://p.test/login", "", "u={{username}}&p={{password}}", "") + "]",
         "--input username=me --input password=-",
         "s3cret\n",
         0,
         {"已导入多步骤模板“login”（编号 1，1 个请求），并添加了账号 1。"}},
        {"half.json",
         "[" + step("POST", "https://p.test/login", "", "u={{username}}&p={{password}}", "") + "]",
         "--name 半个",
         "",
         0,
         {"已导入多步骤模板“半个”",
          "签到前还要给出：username、password。用 vesprey-cli inputs --cid 2 "
          "username=… password=- 设置"}},
        {"copied.sh",
         "curl 'https://bbs.test/plugin.php?id=sign' \\\n  -H 'Cookie: auth=abc; sid=9' \\\n"
         "  --data-raw 'qdxq=kx' --compressed",
         "",
         "",
         0,
         {"已导入多步骤模板“copied”（编号 3，1 个请求），并添加了账号 3。"}},
        {"browser.har",
         kBrowserHar,
         "",
         "",
         1,
         {"1     GET      200   https://bbs.test/forum.php", "请用 --pick 选出签到要用的请求"}},
        {"browser.har", kBrowserHar, "--pick 2", "", 0, {"（编号 4，1 个请求）"}},
        {"ocr.json",
         "[" + step("POST", "api://util/dddd/ocr", "", "img={{img}}", "") + "]",
         "",
         "",
         1,
         {"模板没有导入：第 1 步要识别验证码（api://util/dddd/ocr），Vesprey 还不支持"}},
        {"bad.json",
         "[" + step("GET", "https://p.test/{{ a | nosuch }}", "", "", "") + "]",
         "",
         "",
         1,
         {"第 1 步的网址里有读不懂的表达式"}},
    };
    for (const auto& c : cases) {
        const fs::path file = dir_ / c.file;
        std::ofstream(file) << c.text;
        const Outcome imported = cli("import " + c.options + " " + quoted(file.string()), c.input);
        EXPECT_EQ(imported.exitCode, c.exitCode) << c.file << imported.out << imported.err;
        for (const std::string& expected : c.out) {
            EXPECT_NE((imported.out + imported.err).find(expected), std::string::npos)
                << c.file << ": " << expected << "\n"
                << imported.out << imported.err;
        }
    }
    // What went in: the password from standard input, the curl command's cookie as the account's.
    vesprey::AccountInputs inputs;
    ASSERT_TRUE(vesprey::readAccountInputs(sql_, 1, inputs).ok());
    EXPECT_EQ(inputs, (vesprey::AccountInputs{{"password", "s3cret"}, {"username", "me"}}));
    std::map<int, vesprey::Text> cookies;
    ASSERT_TRUE(vesprey::readWebCookies(sql_, cookies).ok());
    EXPECT_EQ(cookies[3], "auth=abc; sid=9");
    EXPECT_EQ(cookies[4], "auth=abc");
    const Outcome listed = cli("list");
    EXPECT_NE(listed.out.find("\n1     login    POST      JSON      √\n"), std::string::npos)
        << listed.out;
}

TEST_F(CliFlows, AnExportImportedAgainExportsTheSameBytes) {
    vesprey::TemplateFields one;
    one.WebName = "one";
    one.WebLink = "https://one.test/sign";
    one.Qtype = vesprey::RequestMethod::Post;
    one.Headers = "X-A: 1";
    one.Date = "a=1";
    ASSERT_TRUE(vesprey::insertTemplate(sql_, one));
    addFlow("多步", "https://p.test/a",
            step("GET", "https://p.test/a", kCookieHeader, "",
                 R"("success_asserts": [{"re": "ok", "from": "status"}])"),
            "c=1");
    for (const std::string format : {"qd", "vesprey"}) {
        for (const int id : {1, 2}) {
            const Outcome first = cli("export --id " + std::to_string(id) + " --format " + format);
            ASSERT_EQ(first.exitCode, 0) << first.err;
            EXPECT_EQ(first.out.find("c=1"), std::string::npos) << first.out;  // no cookie
            const fs::path file = dir_ / ("export-" + format + std::to_string(id) + ".json");
            std::ofstream(file) << first.out;
            const Outcome imported = cli("import " + quoted(file.string()));
            ASSERT_EQ(imported.exitCode, 0) << imported.out << imported.err;
            const int newId = vesprey::selectMaxTemplateId(sql_).value_or(0);
            const Outcome again =
                cli("export --id " + std::to_string(newId) + " --format " + format);
            EXPECT_EQ(again.out, first.out) << format << " " << id;
        }
    }
}

}  // namespace
