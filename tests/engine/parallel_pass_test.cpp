// The pass with several jobs, against fake sites on addresses of their own (127.0.0.2,
// 127.0.0.3…: every address of 127.0.0.0/8 reaches this machine, and each is a host of its own to
// the client). What the view, the messages and the push see is what a pass of one account at a
// time gives; the accounts of one host go one after the other in list order while other hosts'
// go at the same time; a site that never answers holds up only the accounts of its own host.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "engine/messages.h"
#include "engine/push.h"
#include "engine/sign_in_run.h"
#include "loopback_server.h"
#include "pass_recorder.h"
#include "store/site_database.h"

// Under ThreadSanitizer: cpp-httplib, which runs the fake sites, is a shared library built
// without it, so the locks of its thread pools are invisible and what its threads hand each
// other looks like races. The client side, and everything of ours, stays checked.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libcpp-httplib.so\n";
}

namespace vesprey {
namespace {

namespace fs = std::filesystem;
using test::LocalServer;
using test::planOf;
using test::RawServer;
using test::RecordingMessages;
using test::RecordingObserver;
using test::SilentServer;

// Requests that get no answer end after 3 s here rather than after a minute.
constexpr long kShortDeadlineMs = 3000;

// How long a fake site waits for something the pass should make happen at once (another host's
// request, say) before it gives up and lets the test fail.
constexpr auto kPatience = std::chrono::seconds(10);

Text gbk(std::string_view utf8) {
    return utf8ToAnsi(utf8);
}

// What all the fake sites of a test saw together.
struct Traffic {
    std::mutex mutex;
    std::condition_variable changed;
    int inFlight = 0;  // requests being answered now, on every site
    int mostInFlight = 0;
    // Until another request is being answered with it, the first request waits (for kPatience
    // at most): a pass that requests several accounts at once gets past it at once.
    bool firstWaitsForCompany = false;
    int requests = 0;
};

// A site on an address of its own. Its sign-in pages answer after a short while, so that two
// requests to it at the same time would overlap; it records each request's cookie in the order
// they came, and how many of its requests were ever answered at the same time.
class FakeHost {
public:
    FakeHost(const std::string& address, Traffic& traffic) : traffic_(traffic) {
        server_->Get("/json", [this](const httplib::Request& req, httplib::Response& res) {
            answer(req);
            std::string seen = req.get_header_value("Cookie");
            seen.erase(std::remove(seen.begin(), seen.end(), '='), seen.end());
            res.set_header("Set-Cookie", "seen=" + seen + "; Path=/");
            res.set_content("{\"msg\":\"签到成功 " + req.get_header_value("Cookie") + "\"}",
                            "application/json");
        });
        server_->Get("/page", [this](const httplib::Request& req, httplib::Response& res) {
            answer(req);
            res.set_content("<html><b>今日已签到</b></html>", "text/html");
        });
        server_->Get("/denied", [this](const httplib::Request& req, httplib::Response& res) {
            answer(req);
            res.status = 401;
            res.set_content("请先登录", "text/plain");
        });
        server_.start(address);
    }

    std::string url(const std::string& path) const { return server_.url(path); }
    int port() const { return server_.port(); }
    std::vector<std::string> arrivals() {
        std::lock_guard lock(mutex_);
        return arrivals_;
    }
    int mostInFlight() {
        std::lock_guard lock(mutex_);
        return mostInFlight_;
    }
    // Runs before each request is answered, after it is counted.
    std::function<void()> onRequest;

private:
    void answer(const httplib::Request& req) {
        {
            std::lock_guard lock(mutex_);
            arrivals_.push_back(req.get_header_value("Cookie"));
            mostInFlight_ = std::max(mostInFlight_, ++inFlight_);
        }
        {
            std::unique_lock lock(traffic_.mutex);
            traffic_.mostInFlight = std::max(traffic_.mostInFlight, ++traffic_.inFlight);
            traffic_.changed.notify_all();
            if (traffic_.firstWaitsForCompany && ++traffic_.requests == 1) {
                traffic_.changed.wait_for(lock, kPatience,
                                          [this] { return traffic_.mostInFlight > 1; });
            }
        }
        if (onRequest) {
            onRequest();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        {
            std::lock_guard lock(traffic_.mutex);
            --traffic_.inFlight;
        }
        std::lock_guard lock(mutex_);
        --inFlight_;
    }

    Traffic& traffic_;
    LocalServer<> server_;
    std::mutex mutex_;
    std::vector<std::string> arrivals_;
    int inFlight_ = 0;
    int mostInFlight_ = 0;
};

// One pass over a fresh load of the list, and everything it showed and kept.
struct PassRecord {
    std::vector<std::string> calls;
    std::vector<std::string> messages;
    std::vector<std::array<Text, 6>> rows;
    std::vector<std::string> reports;  // verdict, reason, status and renewed cookie of each row
    std::vector<std::string> records;  // cookie and header lines each record holds afterwards
    std::set<std::thread::id> threads;
};

class ParallelPass : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vesprey-jobs-XXXXXX").string();
        dir_ = mkdtemp(pattern.data());
        path_ = dir_ / "Sign.db";
        ASSERT_TRUE(createSiteDatabase(path_, nullptr));
        ASSERT_TRUE(openSiteDatabase(db_, path_));
    }
    void TearDown() override { fs::remove_all(dir_); }

    // A template with its first account (none when `cookie` is empty); returns its id.
    int add(std::string_view name, const std::string& url, int rtype, std::string_view tying,
            std::string_view cookie, std::string_view headers = {}) {
        TemplateFields f;
        f.WebName = gbk(name);
        f.Weblogin = url + "/login";
        f.WebLink = url;
        f.Qtype = RequestMethod::Get;
        f.Rtype = storedAnswerType(rtype);
        f.Ctype = 1;  // the fake sites answer in UTF-8
        f.Tying = gbk(tying);
        f.Headers = std::string(headers);
        if (cookie.empty()) {
            EXPECT_TRUE(insertTemplate(db_, f));
            return *selectMaxTemplateId(db_);
        }
        auto added = addSite(db_, f, cookie);
        EXPECT_TRUE(added.write);
        return added.id;
    }

    // The plan of a pass over a fresh load of the list, with the test's push service and bound.
    PassPlan plan(int jobs, bool notify = false) {
        PassPlan planned = planOf(loadSiteList(db_), loadPushSettings(db_));
        planned.jobs = jobs;
        planned.switches->setNotify(notify);
        planned.pushEnvironment.baseUrls["bark"] = push_.url("/bark/");
        planned.requestDeadlineMs = kShortDeadlineMs;
        return planned;
    }

    PassRecord pass(int jobs, bool notify = false, const std::map<int, VerdictRules>& rules = {}) {
        PassPlan planned = plan(jobs, notify);
        planned.rules = rules;
        RecordingObserver view(planned.rows);
        RecordingMessages messages;
        const PassResult result = SignInRun(planned, view, messages).run();

        PassRecord record{view.calls, messages.messages, view.rows, {}, {}, view.threads};
        record.threads.insert(messages.threads.begin(), messages.threads.end());
        for (const AccountReport& report : result.reports) {
            record.reports.push_back(std::string(verdictName(report.verdict.verdict)) + " " +
                                     ansiToUtf8(report.verdict.reason) + " " +
                                     std::to_string(report.status) + " " +
                                     (report.cookieRenewed ? report.cookie : "-"));
        }
        SiteList sites = loadSiteList(db_);
        keepRequestState(result, sites);
        for (const SiteTemplate& site : sites) {
            record.records.push_back(site.Cookie + " | " + site.Headers);
        }
        return record;
    }

    fs::path dir_;
    fs::path path_;
    SqlDatabase db_;
    RawServer push_{"HTTP/1.1 200 OK\r\nContent-Length: 3\r\nConnection: close\r\n\r\n{}\n"};
    Traffic traffic_;
};

TEST_F(ParallelPass, ShowsAndKeepsWhatAPassOfOneAccountAtATimeDoes) {
    FakeHost a("127.0.0.2", traffic_);
    FakeHost b("127.0.0.3", traffic_);
    FakeHost c("127.0.0.4", traffic_);
    const std::string closed = "http://127.0.0.1:" + std::to_string(test::closedPort()) + "/";
    add("甲站", a.url("/json"), 1, "msg", "a=1");
    add("乙站", b.url("/page"), 2, "<b>(.*?)</b>", "b=1");
    add("无账号", c.url("/json"), 1, "msg", "");
    add("关着的站", closed, 1, "msg", "d=1");
    add("要登录", c.url("/denied"), 1, "msg", "e=1");
    add("对不上", a.url("/page"), 2, "<i>(.*?)</i>", "f=1");
    const int twoAccounts = add("坏规则", b.url("/json"), 1, "msg", "g=1");
    ASSERT_TRUE(insertWebCookie(db_, twoAccounts, "2020-12-19 08:05:09", "g=2"));
    add("自带头", c.url("/json"), 1, "msg", "h=1", "X-Token: t\r\nUser-Agent: own");
    add("再来甲", a.url("/json"), 1, "msg", "i=1");
    std::map<int, VerdictRules> rules;
    rules[twoAccounts].expired = "(unclosed";

    const PassRecord one = pass(1, true, rules);
    const PassRecord eight = pass(8, true, rules);

    EXPECT_EQ(eight.calls, one.calls);
    EXPECT_EQ(eight.messages, one.messages);
    EXPECT_EQ(eight.rows, one.rows);
    EXPECT_EQ(eight.reports, one.reports);
    EXPECT_EQ(eight.records, one.records);
    // Both pushed the same summary.
    const std::vector<std::string> pushed = push_.requests();
    ASSERT_EQ(pushed.size(), 2u);
    EXPECT_EQ(pushed[1].substr(0, pushed[1].find("\r\n")),
              pushed[0].substr(0, pushed[0].find("\r\n")));
    // The view and the messages were called from the caller's thread only.
    EXPECT_EQ(eight.threads, std::set<std::thread::id>{std::this_thread::get_id()});

    // What the list shows is what each kind of account gives.
    ASSERT_EQ(one.rows.size(), 10u);
    EXPECT_EQ(one.rows[0][kColumnResult], gbk("签到成功 a=1"));
    EXPECT_EQ(one.rows[1][kColumnResult], gbk("今日已签到"));
    EXPECT_EQ(one.rows[2][kColumnResult], "");
    EXPECT_EQ(one.rows[5][kColumnResult], gbk("匹配失败"));
    EXPECT_EQ(one.rows[7][kColumnResult], gbk("签到成功 g=2"));
    EXPECT_EQ(one.reports[0].substr(0, 8), "success ");
    EXPECT_EQ(one.reports[1].substr(0, 8), "already ");
    EXPECT_EQ(one.reports[2].substr(0, 8), "skipped ");
    EXPECT_EQ(one.reports[3].substr(0, 7), "failed ");
    EXPECT_EQ(one.reports[4].substr(0, 8), "expired ");
    // The regex that finds nothing, and the broken rule said once for its two accounts.
    EXPECT_EQ(one.messages.size(), 2u);
    EXPECT_NE(one.records[8].find("X-Token: t"), std::string::npos);
    EXPECT_NE(one.records[8].find("Referer: "), std::string::npos);
}

TEST_F(ParallelPass, AccountsOfOneHostGoOneAfterTheOtherInListOrder) {
    traffic_.firstWaitsForCompany = true;
    FakeHost a("127.0.0.2", traffic_);
    FakeHost b("127.0.0.3", traffic_);
    FakeHost local("127.0.0.1", traffic_);  // reached as localhost, spelt two ways
    const std::string port = std::to_string(local.port());
    const std::vector<std::string> localUrls = {"http://localhost:" + port + "/json",
                                                "http://LocalHost:" + port + "/json"};
    std::map<FakeHost*, std::vector<std::string>> expected;
    for (int i = 0; i < 12; ++i) {
        FakeHost* host = i % 3 == 0 ? &a : i % 3 == 1 ? &b : &local;
        const std::string url = host == &local ? localUrls[(i / 3) % 2] : host->url("/json");
        const std::string cookie = "n=" + std::to_string(i);
        add("站" + std::to_string(i), url, 1, "msg", cookie);
        expected[host].push_back(cookie);
    }

    const PassRecord record = pass(4);

    for (FakeHost* host : {&a, &b, &local}) {
        EXPECT_EQ(host->arrivals(), expected[host]);
        EXPECT_EQ(host->mostInFlight(), 1);
    }
    EXPECT_GE(traffic_.mostInFlight, 2);  // different hosts did go at the same time
    for (std::size_t row = 0; row < 12; ++row) {
        EXPECT_EQ(record.rows[row][kColumnResult], gbk("签到成功 n=" + std::to_string(row)));
    }
}

TEST_F(ParallelPass, ASiteThatNeverAnswersHoldsUpOnlyItsOwnAccounts) {
    SilentServer silent;
    FakeHost a("127.0.0.2", traffic_);
    FakeHost b("127.0.0.3", traffic_);
    // Every other host's request should come while the silent site's first account waits for
    // its answer, before its second one begins.
    std::vector<int> silentAccepted;
    std::mutex mutex;
    auto whileSilentWaits = [&] {
        const auto until = std::chrono::steady_clock::now() + kPatience;
        while (silent.accepted == 0 && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::lock_guard lock(mutex);
        silentAccepted.push_back(silent.accepted);
    };
    a.onRequest = whileSilentWaits;
    b.onRequest = whileSilentWaits;
    add("不回答", silent.url("http", "/"), 1, "msg", "s=1");
    add("也不回答", silent.url("http", "/again"), 1, "msg", "s=2");
    for (int i = 0; i < 3; ++i) {
        add("甲" + std::to_string(i), a.url("/json"), 1, "msg", "a=" + std::to_string(i));
        add("乙" + std::to_string(i), b.url("/json"), 1, "msg", "b=" + std::to_string(i));
    }

    const PassRecord record = pass(3);

    EXPECT_EQ(silentAccepted, std::vector<int>(6, 1));
    EXPECT_EQ(silent.accepted, 2);
    EXPECT_EQ(record.reports[0].substr(0, 7), "failed ");
    EXPECT_EQ(record.reports[1].substr(0, 7), "failed ");
    for (std::size_t row = 2; row < 8; ++row) {
        EXPECT_EQ(record.reports[row].substr(0, 8), "success ") << row;
    }
}

TEST_F(ParallelPass, StopRequestEndsThePassBeforeTheNextRow) {
    FakeHost a("127.0.0.2", traffic_);
    FakeHost b("127.0.0.3", traffic_);
    for (int i = 0; i < 6; ++i) {
        add("站" + std::to_string(i), (i % 2 == 0 ? a : b).url("/json"), 1, "msg", "c=1");
    }
    PassPlan planned = plan(4, true);

    // The observer asks to stop when the first row's result is shown. The first host answers
    // only once the other has its first request, which it holds until the stop: that row is
    // under way when the stop comes, however slowly the jobs start.
    std::stop_source source;
    std::atomic<bool> bAsked{false};
    const auto waitFor = [](const std::function<bool()>& done) {
        const auto until = std::chrono::steady_clock::now() + kPatience;
        while (!done() && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    };
    a.onRequest = [&] { waitFor([&] { return bAsked.load(); }); };
    b.onRequest = [&] {
        bAsked = true;
        waitFor([&] { return source.stop_requested(); });
    };
    RecordingObserver view(planned.rows);
    view.stopAtResult = &source;
    RecordingMessages messages;
    SignInRun(planned, view, messages).run(source.get_token());

    EXPECT_EQ(view.calls.back(), "verdict 0 success 内置：成功");
    for (std::size_t row = 1; row < 6; ++row) {
        EXPECT_EQ(view.rows[row][kColumnResult], "");
    }
    EXPECT_TRUE(push_.requests().empty());
    EXPECT_EQ(a.mostInFlight(), 1);
    EXPECT_EQ(b.mostInFlight(), 1);
}

}  // namespace
}  // namespace vesprey
