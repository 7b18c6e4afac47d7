// Retries and spacing of a pass against sites on 127.0.0.1: a row that failed for a passing
// reason is requested again after the other rows, after waits the test's clock records instead
// of waiting them; the reasons that are never retried; Retry-After; the stretch of the waits;
// a stop during a wait; and the gap between two accounts of one host, measured at the site.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/flow_account.h"
#include "engine/messages.h"
#include "engine/sign_in_run.h"
#include "loopback_server.h"
#include "pass_recorder.h"
#include "session/pass_session.h"

extern "C" const char* __tsan_default_suppressions() {
    return "race:libcpp-httplib.so\n";
}

namespace vesprey {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using test::LocalServer;
using test::RecordingMessages;
using test::RecordingObserver;

// A clock whose waits take no time: each is recorded and moves its time on by as much.
class RecordingClock final : public PassClock {
public:
    std::chrono::steady_clock::time_point now() override {
        std::lock_guard lock(mutex_);
        return start_ + offset_;
    }
    std::chrono::system_clock::time_point calendarNow() override {
        std::lock_guard lock(mutex_);
        return calendar_ + offset_;
    }
    bool wait(milliseconds span, std::stop_token stop) override {
        {
            std::lock_guard lock(mutex_);
            waits_.push_back(span);
            offset_ += span;
        }
        if (onWait) {
            onWait(span);
        }
        return !stop.stop_requested();
    }
    std::vector<milliseconds> waits() {
        std::lock_guard lock(mutex_);
        return waits_;
    }
    std::function<void(milliseconds)> onWait;

private:
    std::mutex mutex_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    const std::chrono::system_clock::time_point calendar_ = std::chrono::system_clock::now();
    milliseconds offset_{};
    std::vector<milliseconds> waits_;
};

// A site whose paths answer from a script: each request to a path takes its next answer (the
// last one again once the script is through), and the path's arrivals are kept in order, with
// the time each came.
class ScriptedSite {
public:
    struct Answer {
        int status = 200;
        std::string body;
        std::string retryAfter;  // a Retry-After header when not empty
    };

    explicit ScriptedSite(const std::string& address = "127.0.0.1") {
        server_->Get(R"(/(\w+))", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard lock(mutex_);
            const std::string path = req.matches[1];
            arrivals_.push_back({path, std::chrono::steady_clock::now()});
            const std::vector<Answer>& script = scripts_[path];
            const std::size_t turn = std::min(served_[path]++, script.size() - 1);
            const Answer& answer = script.empty() ? Answer{} : script[turn];
            res.status = answer.status;
            if (!answer.retryAfter.empty()) {
                res.set_header("Retry-After", answer.retryAfter);
            }
            res.set_content(answer.body, "text/plain");
        });
        server_.start(address);
    }

    void script(const std::string& path, std::vector<Answer> answers) {
        std::lock_guard lock(mutex_);
        scripts_[path] = std::move(answers);
    }
    std::string url(const std::string& path) const { return server_.url("/" + path); }
    std::vector<std::string> arrivals() {
        std::lock_guard lock(mutex_);
        std::vector<std::string> paths;
        for (const auto& arrival : arrivals_) {
            paths.push_back(arrival.first);
        }
        return paths;
    }
    std::vector<std::chrono::steady_clock::time_point> arrivalTimes() {
        std::lock_guard lock(mutex_);
        std::vector<std::chrono::steady_clock::time_point> times;
        for (const auto& arrival : arrivals_) {
            times.push_back(arrival.second);
        }
        return times;
    }
    int served(const std::string& path) {
        std::lock_guard lock(mutex_);
        return static_cast<int>(served_[path]);
    }

private:
    std::mutex mutex_;
    std::map<std::string, std::vector<Answer>> scripts_;
    std::map<std::string, std::size_t> served_;
    std::vector<std::pair<std::string, std::chrono::steady_clock::time_point>> arrivals_;
    LocalServer<> server_;
};

// A requested one-request row: GET of `url`, the answer taken as it is.
PassRow row(const std::string& name, const std::string& url) {
    PassRow planned;
    planned.site.id = 1;
    planned.site.WebName = utf8ToAnsi(name);
    planned.site.WebLink = url;
    planned.site.Qtype = RequestMethod::Get;
    planned.site.Rtype = AnswerType::Regex;
    planned.site.Ctype = 1;  // the sites answer UTF-8
    planned.site.Cookie = "a=1";
    planned.site.Cid = 1;
    planned.requested = true;
    return planned;
}

// A requested row of a one-step flow, GET of `url`, that passes when the answer has "ok".
PassRow flowRow(const std::string& name, const std::string& url) {
    PassRow planned = row(name, url);
    planned.flow = readableFlow(planned.site.WebName,
                                R"({"log": {"version": "1.2", "entries": [{"request":
                                   {"method": "GET", "url": ")" +
                                    url + R"("}, "response": {},
                                   "success_asserts": [{"re": "ok", "from": "content"}]}]}})");
    return planned;
}

// What an observer saw of each row, every rowFinished in order.
class TriesObserver final : public RecordingObserver {
public:
    using RecordingObserver::RecordingObserver;
    void rowFinished(std::size_t row, const AccountReport& report) override {
        RecordingObserver::rowFinished(row, report);
        finished.push_back({row, report.tries, report.retryDue, ansiToUtf8(report.listText)});
    }
    void retriesDue(int retry, std::size_t due, milliseconds wait) override {
        rounds.push_back({retry, due, wait});
    }
    struct Round {
        int retry;
        std::size_t rows;
        milliseconds wait;
        bool operator==(const Round&) const = default;
    };
    std::vector<Round> rounds;
    struct Seen {
        std::size_t row;
        int tries;
        bool retryDue;
        std::string text;
    };
    std::vector<Seen> finished;
};

struct Pass {
    PassResult result;
    std::vector<TriesObserver::Seen> finished;
    std::vector<TriesObserver::Round> rounds;
};

Pass runPass(PassPlan& plan, std::stop_token stop = {}) {
    TriesObserver observer(plan.rows);
    RecordingMessages messages;
    SignInRun run(plan, observer, messages);
    Pass pass;
    pass.result = run.run(stop);
    pass.finished = observer.finished;
    pass.rounds = observer.rounds;
    return pass;
}

PassPlan retryPlan(std::vector<PassRow> rows, int retries,
                   const std::shared_ptr<RecordingClock>& clock) {
    PassPlan plan;
    plan.rows = std::move(rows);
    plan.retries = retries;
    plan.clock = clock;
    plan.requestDeadlineMs = 3000;
    return plan;
}

TEST(RetryPass, SiteThatFailsTwiceIsSignedAfterTwoRetriesWaitingTheBackOff) {
    ScriptedSite site;
    site.script("flaky", {{503, "busy", {}}, {502, "busy", {}}, {200, "签到成功", {}}});
    site.script("steady", {{200, "签到成功", {}}});
    auto clock = std::make_shared<RecordingClock>();
    PassPlan plan =
        retryPlan({row("甲站", site.url("flaky")), row("乙站", site.url("steady"))}, 3, clock);
    const Pass pass = runPass(plan);

    // The retries come after the other row.
    EXPECT_EQ(site.arrivals(), (std::vector<std::string>{"flaky", "steady", "flaky", "flaky"}));
    const AccountReport& report = pass.result.reports[0];
    EXPECT_EQ(report.verdict.verdict, Verdict::Success);
    EXPECT_EQ(report.tries, 3);
    EXPECT_FALSE(report.retryDue);
    EXPECT_EQ(ansiToUtf8(report.listText), "重试 2 次后成功：签到成功");
    EXPECT_EQ(pass.result.reports[1].tries, 1);
    EXPECT_EQ(ansiToUtf8(pass.result.reports[1].listText), "签到成功");

    const std::vector<milliseconds> waits = clock->waits();
    ASSERT_EQ(waits.size(), 2U);
    EXPECT_GE(waits[0], seconds(30));
    EXPECT_LE(waits[0], seconds(39));
    EXPECT_GE(waits[1], seconds(120));
    EXPECT_LE(waits[1], seconds(156));
    // Each round is told before its wait, with the wait.
    EXPECT_EQ(pass.rounds, (std::vector<TriesObserver::Round>{{1, 1, waits[0]}, {2, 1, waits[1]}}));

    // The first report of the row, then the other row, then its last one.
    ASSERT_EQ(pass.finished.size(), 3U);
    EXPECT_EQ(pass.finished[0].row, 0U);
    EXPECT_TRUE(pass.finished[0].retryDue);
    EXPECT_EQ(pass.finished[0].tries, 1);
    EXPECT_EQ(pass.finished[1].row, 1U);
    EXPECT_EQ(pass.finished[2].row, 0U);
    EXPECT_FALSE(pass.finished[2].retryDue);
    EXPECT_EQ(pass.finished[2].tries, 3);
    EXPECT_EQ(pass.finished[2].text, "重试 2 次后成功：签到成功");
    EXPECT_EQ(pass.result.counts()[static_cast<std::size_t>(Verdict::Success)], 2);
}

TEST(RetryPass, RowStillFailingAfterItsRetriesSaysSo) {
    ScriptedSite site;
    site.script("down", {{503, "busy", {}}});
    auto clock = std::make_shared<RecordingClock>();
    PassPlan plan = retryPlan({row("甲站", site.url("down"))}, 2, clock);
    const Pass pass = runPass(plan);
    EXPECT_EQ(site.served("down"), 3);
    EXPECT_EQ(pass.result.reports[0].verdict.verdict, Verdict::Failed);
    EXPECT_EQ(pass.result.reports[0].tries, 3);
    EXPECT_EQ(ansiToUtf8(pass.result.reports[0].listText), "重试 2 次后失败：busy");
    EXPECT_EQ(clock->waits().size(), 2U);
}

TEST(RetryPass, WithoutRetriesNothingIsRequestedAgain) {
    ScriptedSite site;
    site.script("down", {{503, "busy", {}}});
    auto clock = std::make_shared<RecordingClock>();
    PassPlan plan = retryPlan({row("甲站", site.url("down"))}, 0, clock);
    const Pass pass = runPass(plan);
    EXPECT_EQ(site.served("down"), 1);
    EXPECT_EQ(pass.result.reports[0].tries, 1);
    EXPECT_EQ(ansiToUtf8(pass.result.reports[0].listText), "busy");
    EXPECT_TRUE(clock->waits().empty());
    ASSERT_EQ(pass.finished.size(), 1U);
    EXPECT_FALSE(pass.finished[0].retryDue);
}

TEST(RetryPass, RetryAfterIsHonoured) {
    ScriptedSite site;
    site.script("later", {{429, "slow down", "200"}, {200, "签到成功", {}}});
    auto clock = std::make_shared<RecordingClock>();
    PassPlan plan = retryPlan({row("甲站", site.url("later"))}, 1, clock);
    const Pass pass = runPass(plan);
    EXPECT_EQ(pass.result.reports[0].verdict.verdict, Verdict::Success);
    const std::vector<milliseconds> waits = clock->waits();
    ASSERT_EQ(waits.size(), 1U);
    EXPECT_GE(waits[0], seconds(200));
    EXPECT_LE(waits[0], seconds(260));
}

TEST(RetryPass, RetryAfterReadsSecondsAndDates) {
    const auto now = std::chrono::sys_days(std::chrono::year(2015) / 10 / 21) +
                     std::chrono::hours(7) + std::chrono::minutes(26) + seconds(30);
    struct Case {
        const char* headers;
        std::optional<milliseconds> wait;
    };
    const Case cases[] = {
        {"HTTP/1.1 503 x\r\nRetry-After: 120\r\n", seconds(120)},
        {"retry-after:5", seconds(5)},
        {"Retry-After: Wed, 21 Oct 2015 07:28:00 GMT\r\n", seconds(90)},
        {"Retry-After: Wed, 21 Oct 2015 07:20:00 GMT\r\n", milliseconds(0)},
        {"Retry-After: 86400\r\n", kMaxRetryAfter},
        {"Retry-After: soon\r\n", std::nullopt},
        {"Content-Type: text/plain\r\n", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(retryAfterOf(c.headers, now), c.wait) << c.headers;
    }
}

TEST(RetryPass, WaitsAreStretchedByUpToThirtyPercent) {
    const PassRandom random = systemPassRandom();
    const milliseconds bases[] = {seconds(30), seconds(120), seconds(600), seconds(600)};
    for (int retry = 1; retry <= 4; ++retry) {
        const milliseconds base = bases[retry - 1];
        milliseconds least = base * 2;
        milliseconds most{};
        for (int draw = 0; draw < 2000; ++draw) {
            const milliseconds wait = retryWait(retry, random(), std::nullopt);
            least = std::min(least, wait);
            most = std::max(most, wait);
        }
        EXPECT_GE(least, base);
        EXPECT_LE(most, base * 13 / 10);
        // The draws spread over the range.
        EXPECT_LT(least, base * 103 / 100);
        EXPECT_GT(most, base * 127 / 100);
    }
    EXPECT_EQ(retryWait(1, 0.0, seconds(45)), seconds(45));
    EXPECT_EQ(retryWait(3, 0.0, seconds(45)), seconds(600));
    EXPECT_EQ(retryWait(1, 0.5, std::nullopt), milliseconds(34500));
}

TEST(RetryPass, PassingFailuresAreRetriedOthersNever) {
    ScriptedSite site;
    site.script("e500", {{500, "error", {}}});
    site.script("e503", {{503, "busy", {}}});
    site.script("e429", {{429, "slow", {}}});
    site.script("denied", {{401, "请先登录", {}}});
    site.script("forbidden", {{403, "no", {}}});
    site.script("already", {{503, "今日已签到", {}}});
    site.script("notfound", {{404, "none", {}}});
    site.script("plain", {{200, "whatever", {}}});
    site.script("refused", {{200, "签到失败，请稍后", {}}});
    site.script("flowcheck", {{200, "nope", {}}});
    site.script("flowbusy", {{503, "busy", {}}});
    // A port nothing listens on: the connection is refused.
    int port = 0;
    const int listener = test::listenOnLoopback(port);
    ::close(listener);
    const std::string closed = "http://127.0.0.1:" + std::to_string(port) + "/x";
    struct Case {
        PassRow planned;
        bool retried;
        const char* path;  // where the requests are counted; none for the closed port
    };
    const std::vector<Case> cases = {
        {row("500", site.url("e500")), true, "e500"},
        {row("503", site.url("e503")), true, "e503"},
        {row("429", site.url("e429")), true, "e429"},
        {row("refused", closed), true, nullptr},
        {flowRow("flowbusy", site.url("flowbusy")), true, "flowbusy"},
        {row("401", site.url("denied")), false, "denied"},
        {row("403", site.url("forbidden")), false, "forbidden"},
        {row("503 already", site.url("already")), false, "already"},
        {row("404", site.url("notfound")), false, "notfound"},
        {row("200", site.url("plain")), false, "plain"},
        {row("refusal", site.url("refused")), false, "refused"},
        {flowRow("flowcheck", site.url("flowcheck")), false, "flowcheck"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ansiToUtf8(c.planned.site.WebName));
        auto clock = std::make_shared<RecordingClock>();
        PassPlan plan = retryPlan({c.planned}, 1, clock);
        const int before = c.path != nullptr ? site.served(c.path) : 0;
        const Pass pass = runPass(plan);
        EXPECT_EQ(pass.result.reports[0].tries, c.retried ? 2 : 1);
        EXPECT_EQ(clock->waits().size(), c.retried ? 1U : 0U);
        if (c.path != nullptr) {
            EXPECT_EQ(site.served(c.path) - before, c.retried ? 2 : 1);
        }
    }
}

TEST(RetryPass, StopDuringAWaitEndsThePassAtOnce) {
    ScriptedSite site;
    site.script("down", {{503, "busy", {}}});
    auto clock = std::make_shared<RecordingClock>();
    std::stop_source stop;
    clock->onWait = [&](milliseconds) { stop.request_stop(); };
    PassPlan plan = retryPlan({row("甲站", site.url("down"))}, 3, clock);
    const Pass pass = runPass(plan, stop.get_token());
    EXPECT_TRUE(pass.result.stopped);
    EXPECT_EQ(site.served("down"), 1);
    EXPECT_EQ(clock->waits().size(), 1U);
    // The row keeps its try, told once more as its last report.
    EXPECT_EQ(pass.result.reports[0].verdict.verdict, Verdict::Failed);
    EXPECT_EQ(pass.result.reports[0].tries, 1);
    ASSERT_EQ(pass.finished.size(), 2U);
    EXPECT_FALSE(pass.finished[1].retryDue);
    EXPECT_EQ(pass.finished[1].text, "busy");
}

TEST(RetryPass, SystemClockWaitEndsWhenStopped) {
    std::stop_source stop;
    std::thread stopper([&] { stop.request_stop(); });
    EXPECT_FALSE(systemPassClock()->wait(std::chrono::minutes(10), stop.get_token()));
    stopper.join();
}

TEST(GapPass, AccountsOfOneHostAreSpacedAtTheSite) {
    ScriptedSite site;
    ScriptedSite other("127.0.0.2");
    for (const char* path : {"a", "b", "c"}) {
        site.script(path, {{200, "签到成功", {}}});
    }
    other.script("d", {{200, "签到成功", {}}});
    PassPlan plan;
    plan.rows = {row("1", site.url("a")), row("2", other.url("d")), row("3", site.url("b")),
                 row("4", site.url("c"))};
    plan.gapMinMs = 200;
    plan.gapMaxMs = 300;
    const Pass pass = runPass(plan);
    EXPECT_FALSE(pass.result.stopped);
    const auto times = site.arrivalTimes();
    ASSERT_EQ(times.size(), 3U);
    EXPECT_GE(times[1] - times[0], milliseconds(200));
    EXPECT_GE(times[2] - times[1], milliseconds(200));
}

TEST(GapPass, GapsAreDrawnFromTheRangeAndOtherHostsGoMeanwhile) {
    ScriptedSite site;
    ScriptedSite other("127.0.0.2");
    site.script("a", {{200, "签到成功", {}}});
    other.script("d", {{200, "签到成功", {}}});
    auto clock = std::make_shared<RecordingClock>();
    // Each gap of the first host waits until the other host has had its request (for ten
    // seconds at most): a pass that held the other host back behind the gap would be late.
    std::mutex mutex;
    std::condition_variable never;
    std::vector<bool> otherWent;
    clock->onWait = [&](milliseconds) {
        std::unique_lock lock(mutex);
        otherWent.push_back(
            never.wait_for(lock, seconds(10), [&] { return other.served("d") > 0; }));
    };
    PassPlan plan;
    plan.rows = {row("1", site.url("a")), row("2", site.url("a")), row("3", site.url("a")),
                 row("4", other.url("d"))};
    plan.jobs = 2;
    plan.clock = clock;
    plan.gapMinMs = 1000;
    plan.gapMaxMs = 3000;
    const Pass pass = runPass(plan);
    const std::vector<milliseconds> waits = clock->waits();
    ASSERT_EQ(waits.size(), 2U);
    for (const milliseconds wait : waits) {
        EXPECT_GE(wait, milliseconds(1000));
        EXPECT_LE(wait, milliseconds(3000));
    }
    // The other host's account went while the first host waited its gap.
    EXPECT_EQ(otherWent, (std::vector<bool>{true, true}));
    EXPECT_EQ(other.served("d"), 1);
    EXPECT_EQ(site.served("a"), 3);
    for (const AccountReport& report : pass.result.reports) {
        EXPECT_EQ(report.verdict.verdict, Verdict::Success);
    }
}

TEST(GapPass, StopDuringAGapEndsThePass) {
    ScriptedSite site;
    site.script("a", {{200, "签到成功", {}}});
    auto clock = std::make_shared<RecordingClock>();
    std::stop_source stop;
    clock->onWait = [&](milliseconds) { stop.request_stop(); };
    PassPlan plan;
    plan.rows = {row("1", site.url("a")), row("2", site.url("a"))};
    plan.clock = clock;
    plan.gapMinMs = 1000;
    plan.gapMaxMs = 1000;
    const Pass pass = runPass(plan, stop.get_token());
    EXPECT_TRUE(pass.result.stopped);
    EXPECT_EQ(site.served("a"), 1);
    EXPECT_TRUE(pass.result.reports[1].stopped);
}

}  // namespace
}  // namespace vesprey
