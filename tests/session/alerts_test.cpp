// Alerts that cannot go silent: a pass whose push waits for failures in a row (its History.db
// prepared with a run of passes, a real pass against a site on 127.0.0.1, the push to a webhook
// on 127.0.0.1), and the digest of a prepared History.db read at a fixed time.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "engine/messages.h"
#include "loopback_server.h"
#include "session/digest.h"
#include "session/pass_session.h"
#include "store/history.h"

namespace vesprey {
namespace {

namespace fs = std::filesystem;

class Quiet final : public PassObserver, public MessageSink {
public:
    void rowStarted(std::size_t, const PassRow&) override {}
    void rowFinished(std::size_t, const AccountReport&) override {}
    void passFinished(const VerdictCounts&, std::stop_token) override {}
    void showMessage(const Text&, const Text&, MessageIcon) override {}
};

// A temporary folder with a Sign.db.
class Files : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vesprey-alerts-XXXXXX").string();
        dir_ = mkdtemp(pattern.data());
        path_ = dir_ / "Sign.db";
        ASSERT_TRUE(createSiteDatabase(path_, nullptr));
        ASSERT_TRUE(openSiteDatabase(db_, path_));
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Appends one pass to History.db: every row at `time`.
    void appendPass(const std::string& time, std::vector<HistoryEntry> rows) {
        HistoryDatabase history;
        ASSERT_TRUE(history.create(path_));
        for (HistoryEntry& row : rows) {
            row.time = time;
        }
        ASSERT_TRUE(history.appendPass(rows));
    }

    void saveCookieExpiry(int cid, double expires) {
        HistoryDatabase history;
        ASSERT_TRUE(history.create(path_));
        ASSERT_TRUE(history.saveCookieExpiry({cid, historyTime(expires), historyTime(expires)}));
    }

    fs::path dir_;
    fs::path path_;
    SqlDatabase db_;
};

// The pushed text of a webhook request's JSON body, its "\n" as line breaks.
std::string pushedText(const std::string& body) {
    const std::string start = "\"text\":\"";
    const std::size_t at = body.find(start);
    if (at == std::string::npos) {
        return {};
    }
    std::string text = body.substr(at + start.size());
    text = text.substr(0, text.rfind("\"}"));
    for (std::size_t n = text.find("\\n"); n != std::string::npos; n = text.find("\\n", n + 1)) {
        text.replace(n, 2, "\n");
    }
    return text;
}

struct StreakCase {
    const char* name;
    int streak;                       // --notify-on failure:N
    std::vector<std::string> before;  // 甲站's verdicts in the passes before, oldest first
    bool failsNow;                    // 甲站 fails in this pass (HTTP 500), else signs in
    std::optional<int> cookieDays;    // 甲站's captured cookie runs out in so many days
    std::string firstLine;            // the summary's first line; empty: no push
};

class Streaks : public Files {
protected:
    void SetUp() override {
        Files::SetUp();
        site_->Get("/ok", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(utf8ToAnsi("{\"msg\":\"签到成功\"}"), "application/json");
        });
        site_->Get("/fail", [](const httplib::Request&, httplib::Response& res) {
            res.status = 500;
            res.set_content("{}", "application/json");
        });
        site_.start();
    }

    // 甲站, and 乙站 which always signs in: Cid 1 and 2.
    void addSites(bool failsNow) {
        TemplateFields f;
        f.WebName = utf8ToAnsi("甲站");
        f.WebLink = site_.url(failsNow ? "/fail" : "/ok");
        f.Tying = "msg";
        firstId_ = addSite(db_, f, "sid=1").id;
        f.WebName = utf8ToAnsi("乙站");
        f.WebLink = site_.url("/ok");
        ASSERT_TRUE(addSite(db_, f, "sid=2").write);
    }

    // The pass of the list that pushes to the webhook with the streak.
    PassSession session(int streak) {
        PassPlan plan;
        plan.rows = passRows(loadSiteList(db_));
        plan.switches->setNotify(true);
        plan.channels = {"webhook"};
        plan.pushEnvironment.baseUrls["webhook"] = push_.url("/hook");
        plan.notifyOn = NotifyOn::Failure;
        plan.failureStreak = streak;
        return PassSession(db_, path_, std::move(plan));
    }

    // The first line of the one push made; empty when none was.
    std::string pushedFirstLine() {
        EXPECT_LE(push_.requests().size(), 1u);
        if (push_.requests().empty()) {
            return {};
        }
        const std::string text = pushedText(push_.lastBody());
        return text.substr(0, text.find('\n'));
    }

    test::LocalServer<> site_;
    test::RawServer push_;
    int firstId_ = 0;
};

class FailureStreak : public Streaks, public ::testing::WithParamInterface<StreakCase> {};

TEST_P(FailureStreak, PushesOnlyAfterTheRunOfFailuresOrForACookieAboutToRunOut) {
    const StreakCase& c = GetParam();
    addSites(c.failsNow);
    for (std::size_t i = 0; i < c.before.size(); ++i) {
        const std::string time = "2026-11-0" + std::to_string(i + 1) + " 08:00:00";
        appendPass(time, {{{}, firstId_, 1, utf8ToAnsi("甲站"), c.before[i], {}, {}, 0, 0},
                          {{}, firstId_ + 1, 2, utf8ToAnsi("乙站"), "success", {}, {}, 0, 0}});
    }
    if (c.cookieDays) {
        saveCookieExpiry(1, nowDateTime() + *c.cookieDays);
    }
    PassSession pass = session(c.streak);
    EXPECT_TRUE(pass.prepare(true).failureRuns.ok());
    Quiet quiet;
    const PassResult result = pass.run(quiet, quiet);
    EXPECT_EQ(pushedFirstLine(), c.firstLine) << pushedText(push_.lastBody());
    EXPECT_EQ(result.pushSkipped, c.firstLine.empty());
}

// A History.db that cannot be read holds no failure back: the streak is unknown, and the pass
// pushes as the streak of one does.
TEST_F(Streaks, AnUnreadableHistoryPushesEveryFailure) {
    addSites(true);
    std::ofstream(dir_ / "History.db") << "this is no database, only a text file of some length..";
    PassSession pass = session(3);
    EXPECT_FALSE(pass.prepare(true).failureRuns.ok());
    Quiet quiet;
    pass.run(quiet, quiet);
    EXPECT_EQ(pushedFirstLine(), "推送原因：甲站失效或失败");
}

// Passes written as they come: the second failure in a row of failure:2 pushes, a success ends
// the run, and the next failure starts a new one.
TEST_F(Streaks, TheHistoryOfEachPassCountsForTheNext) {
    addSites(true);
    const std::vector<std::size_t> pushesAfter = {0, 1, 1, 1, 2};
    const std::vector<bool> fails = {true, true, false, true, true};
    Quiet quiet;
    for (std::size_t i = 0; i < fails.size(); ++i) {
        TemplateFields f;
        f.WebName = utf8ToAnsi("甲站");
        f.WebLink = site_.url(fails[i] ? "/fail" : "/ok");
        f.Tying = "msg";
        ASSERT_TRUE(updateTemplate(db_, firstId_, f));
        PassSession pass = session(2);
        ASSERT_TRUE(pass.prepare(true).failureRuns.ok());
        ASSERT_TRUE(pass.writeHistory(pass.run(quiet, quiet)));
        EXPECT_EQ(push_.requests().size(), pushesAfter[i]) << "after pass " << i + 1;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FailureStreak,
    ::testing::Values(
        StreakCase{"OneFailureNow", 1, {}, true, {}, "推送原因：甲站失效或失败"},
        StreakCase{"OneAllWell", 1, {"failed"}, false, {}, ""},
        StreakCase{
            "TwoAfterOneFailure", 2, {"failed"}, true, {}, "推送原因：甲站连续 2 次失效或失败"},
        StreakCase{"TwoFirstFailure", 2, {"failed", "success"}, true, {}, ""},
        StreakCase{"ThreeExpiredAndFailed",
                   3,
                   {"success", "expired", "failed"},
                   true,
                   {},
                   "推送原因：甲站连续 3 次失效或失败"},
        StreakCase{"ThreeRunBroken", 3, {"failed", "success", "failed"}, true, {}, ""},
        StreakCase{"ThreeSkippedPassesDoNotCount",
                   3,
                   {"failed", "skipped", "failed"},
                   true,
                   {},
                   "推送原因：甲站连续 3 次失效或失败"},
        StreakCase{"ThreeRecovered", 3, {"failed", "failed"}, false, {}, ""},
        StreakCase{"ThreeCookieInTwoDays", 3, {}, false, 2, "推送原因：Cookie 即将过期"},
        StreakCase{"ThreeCookieInFiveDays", 3, {}, false, 5, ""},
        StreakCase{"TwoFailuresAndCookie",
                   2,
                   {"failed"},
                   true,
                   1,
                   "推送原因：甲站连续 2 次失效或失败；Cookie 即将过期"}),
    [](const ::testing::TestParamInfo<StreakCase>& param) {
        return std::string(param.param.name);
    });

// One row of a prepared pass: the account and what the pass made of it.
struct Row {
    int templateId;
    int cid;
    const char* site;
    const char* verdict;
    const char* reason = "";
};

struct Pass {
    const char* time;
    std::vector<Row> rows;
};

struct DigestCase {
    const char* name;
    std::vector<Pass> passes;
    std::vector<std::pair<int, const char*>> expiries;  // Cid, the captured cookie's expiry
    std::vector<std::string> lines;
};

class DigestText : public Files, public ::testing::WithParamInterface<DigestCase> {};

TEST_P(DigestText, SaysPerAccountTheDaysSignedAndDueTheFailuresCookiesAndSilence) {
    const DigestCase& c = GetParam();
    for (const Pass& pass : c.passes) {
        std::vector<HistoryEntry> rows;
        for (const Row& row : pass.rows) {
            rows.push_back({{},
                            row.templateId,
                            row.cid,
                            utf8ToAnsi(row.site),
                            row.verdict,
                            utf8ToAnsi(row.reason),
                            {},
                            0,
                            0});
        }
        appendPass(pass.time, rows);
    }
    for (const auto& [cid, expires] : c.expiries) {
        HistoryDatabase history;
        ASSERT_TRUE(history.create(path_));
        ASSERT_TRUE(history.saveCookieExpiry({cid, expires, "2026-11-01 08:00:00"}));
    }
    const double now = makeDateTime(2026, 12, 11, 10, 0, 0);
    Digest digest;
    ASSERT_TRUE(readDigest(path_, kDefaultDigestDays, now, digest).ok());
    std::vector<std::string> lines;
    for (const Text& line : digestLines(digest)) {
        lines.push_back(ansiToUtf8(line));
    }
    EXPECT_EQ(lines, c.lines);
    EXPECT_EQ(ansiToUtf8(digestTitle(digest)), "签到摘要（最近 7 天）");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DigestText,
    ::testing::Values(
        // The last pass four days ago: the first line says so. 新站 came with the third pass,
        // 空站 has no cookie, the site without an account is left out.
        DigestCase{"Silent",
                   {{"2026-12-05 08:10:00",
                     {{1, 1, "好站", "success"},
                      {2, 4, "某站", "success"},
                      {3, 9, "空站", "skipped"},
                      {4, 0, "无账号站", "skipped"}}},
                    {"2026-12-06 08:11:00",
                     {{1, 1, "好站", "already"},
                      {2, 4, "某站", "failed", "HTTP 500"},
                      {3, 9, "空站", "skipped"},
                      {4, 0, "无账号站", "skipped"}}},
                    {"2026-12-07 08:12:00",
                     {{1, 1, "好站", "success"},
                      {2, 4, "某站", "expired", "HTTP 401"},
                      {3, 9, "空站", "skipped"},
                      {4, 0, "无账号站", "skipped"},
                      {5, 7, "新站", "success"}}}},
                   {{1, "2026-12-13 12:00:00"}, {4, "2027-01-30 00:00:00"}},
                   {"已经超过 4 天没有签到了：最近一次签到在 2026-12-07 08:12，"
                    "请检查定时签到是否还在运行",
                    "最近 7 天（2026-12-05 至 2026-12-11）：4 个账号，最近一次签到在 "
                    "2026-12-07 08:12",
                    "好站（账号 1）：签到 3/6 天；Cookie 2 天后过期",
                    "某站（账号 4）：签到 1/6 天；失效或失败 2 次，最近 12-07 失效：HTTP 401",
                    "空站（账号 9）：签到 0/6 天；这几天都跳过了（没有 Cookie 或缺少输入）",
                    "新站（账号 7）：签到 1/4 天"}},
        // A pass ran today: today is due. The history began within the window; 旧站 left the
        // list after the first of its passes; a cookie that has run out is said.
        DigestCase{"RanToday",
                   {{"2026-12-09 08:00:00", {{1, 1, "好站", "success"}, {6, 5, "旧站", "success"}}},
                    {"2026-12-10 08:00:00", {{1, 1, "好站", "success"}}},
                    {"2026-12-11 08:00:00", {{1, 1, "好站", "already"}}}},
                   {{1, "2026-12-10 20:00:00"}},
                   {"最近 7 天（2026-12-05 至 2026-12-11）：2 个账号，最近一次签到在 "
                    "2026-12-11 08:00",
                    "好站（账号 1）：签到 3/3 天；Cookie 已过期",
                    "旧站（账号 5）：签到 1/3 天；最近一次签到在 12-09"}},
        // Two days and a little less since the last pass is no silence yet; the day before is
        // due, today not before a pass.
        DigestCase{"NotYetSilent",
                   {{"2026-12-09 10:30:00", {{1, 1, "好站", "success"}}}},
                   {},
                   {"最近 7 天（2026-12-05 至 2026-12-11）：1 个账号，最近一次签到在 "
                    "2026-12-09 10:30",
                    "好站（账号 1）：签到 1/2 天"}},
        DigestCase{"NoHistory",
                   {},
                   {},
                   {"还没有任何签到记录：请检查定时签到是否开着（vesprey-cli sign）",
                    "最近 7 天（2026-12-05 至 2026-12-11）没有账号的签到记录"}}),
    [](const ::testing::TestParamInfo<DigestCase>& param) {
        return std::string(param.param.name);
    });

}  // namespace
}  // namespace vesprey
