// History.db beside Sign.db as cron meets it: what `sign` appends (or, with --no-history, does
// not), the oldest rows going, a history that cannot be written, what `history` shows, the
// cookie column of `list` and the summary's line about cookies that run out soon.
#include "store/history.h"

#include <sys/stat.h>

#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>

#include "hostile.h"
#include "store/key_cache.h"

namespace vesprey::hostile {
namespace {

using nlohmann::json;

class PassHistory : public HostilePass {
protected:
    void SetUp() override {
        HostilePass::SetUp();
        site_->Get("/ok", [](const httplib::Request&, httplib::Response& response) {
            response.set_content(R"({"msg":"\u7b7e\u5230\u6210\u529f"})", "application/json");
        });
        site_->Get("/gone", [](const httplib::Request&, httplib::Response& response) {
            response.status = 401;
            response.set_content(R"({"msg":"\u8bf7\u767b\u5f55"})", "application/json");
        });
        site_.start();
    }
    void TearDown() override {
        fs::permissions(dir_, fs::perms::owner_all);  // after makeHistoryUnwritable
        HostilePass::TearDown();
    }

    fs::path historyFile() const { return dir_ / "History.db"; }

    // The time `daysAgo` days before today at `hour` o'clock, as History.db keeps it.
    static Text timeOf(int daysAgo, int hour) {
        return historyTime(std::floor(nowDateTime()) - daysAgo + hour / 24.0);
    }

    // One row as a pass writes it; texts are UTF-8.
    static HistoryEntry entry(const Text& time, int cid, const std::string& site,
                              const std::string& verdict, const std::string& result) {
        return {time, cid, cid, utf8ToAnsi(site), verdict, {}, utf8ToAnsi(result), 200, 12};
    }

    // Appends through the store, as a pass would have at those times.
    void append(const std::vector<HistoryEntry>& rows) {
        HistoryDatabase history;
        ASSERT_TRUE(history.create(db_));
        const WriteResult written = history.appendPass(rows);
        ASSERT_TRUE(written) << ansiToUtf8(written.error);
    }

    void saveExpiry(int cid, const Text& expires) {
        HistoryDatabase history;
        ASSERT_TRUE(history.create(db_));
        ASSERT_TRUE(history.saveCookieExpiry({cid, expires, timeOf(0, 0)}));
    }

    // Two accounts over the last four days: 甲站 already signed three days ago, succeeded and
    // then failed two days ago, did not sign yesterday, succeeded and then got an answer
    // nobody understood today; 乙站 expired two days ago, was skipped yesterday and succeeded
    // today.
    void appendFourDays() {
        append({entry(timeOf(3, 9), 1, "甲站", "already", "今日已签到"),
                entry(timeOf(2, 9), 1, "甲站", "success", "签到成功"),
                entry(timeOf(2, 9), 2, "乙站", "expired", "请登录"),
                entry(timeOf(2, 20), 1, "甲站", "failed", "无法连接"),
                entry(timeOf(1, 9), 2, "乙站", "skipped", ""),
                entry(timeOf(0, 7), 1, "甲站", "success", "签到成功"),
                entry(timeOf(0, 8), 1, "甲站", "unknown", "hello"),
                entry(timeOf(0, 8), 2, "乙站", "success", "签到成功")});
    }

    // Makes History.db impossible to make or write. Running as root, permissions stop no write,
    // so there the name is taken by a directory, which SQLite cannot open; otherwise the
    // directory becomes read-only (stderr.txt is made first: the shell still writes into it).
    // A Sign.db of its own in `folder`, whose History.db says twice that its first account's
    // cookie expired, in 别人的站. Returns that History.db.
    fs::path otherHistory(const fs::path& folder) {
        fs::create_directory(folder);
        EXPECT_TRUE(createSiteDatabase(folder / "Sign.db", nullptr));
        HistoryDatabase history;
        EXPECT_TRUE(history.create(folder / "Sign.db"));
        EXPECT_TRUE(history.appendPass({entry(timeOf(1, 9), 1, "别人的站", "expired", "请登录")}));
        EXPECT_TRUE(history.appendPass({entry(timeOf(0, 9), 1, "别人的站", "expired", "请登录")}));
        return folder / "History.db";
    }

    // Runs one statement on History.db, as another program would; gives the first column of
    // its first row.
    std::string onHistory(const std::string& sql) {
        SqlDatabase db;
        EXPECT_TRUE(db.open(historyFile()));
        db.setKey(kSiteDatabaseKey);
        SqlStatement stmt = db.prepare(sql);
        return stmt.step() ? ansiToUtf8(stmt.columnText(0)) : "(none)";
    }

    void makeHistoryUnwritable() {
        if (geteuid() == 0) {
            fs::create_directory(historyFile());
        } else {
            std::ofstream(dir_ / "stderr.txt");
            fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec);
        }
    }
};

TEST_F(PassHistory, APassAppendsEveryListRowAtOneTimeAndLeavesSignDbAsItWas) {
    addSite("好站", site_.url("/ok"), "a=1");
    addSite("失效站", site_.url("/gone"), "b=1");
    addSite("无号站", site_.url("/ok"), "");
    const std::string before = test::readFile(db_);
    const Outcome out = sign("");
    EXPECT_EQ(out.exitCode, 3) << out.err;
    EXPECT_EQ(test::readFile(db_), before);

    const std::vector<HistoryEntry> rows = storedRows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].time.size(), std::string("yyyy-MM-dd HH:mm:ss").size());
    EXPECT_EQ(rows[1].time, rows[0].time);
    EXPECT_EQ(rows[2].time, rows[0].time);
    EXPECT_EQ(rows[0].templateId, 1);
    EXPECT_EQ(rows[0].cid, 1);
    EXPECT_EQ(ansiToUtf8(rows[0].site), "好站");
    EXPECT_EQ(rows[0].verdict, "success");
    EXPECT_EQ(ansiToUtf8(rows[0].reason), "内置：成功");
    EXPECT_EQ(ansiToUtf8(rows[0].result), "签到成功");
    EXPECT_EQ(rows[0].status, 200);
    EXPECT_GE(rows[0].ms, 0);
    EXPECT_EQ(rows[1].verdict, "expired");
    EXPECT_EQ(rows[1].reason, "HTTP 401");
    EXPECT_EQ(rows[1].status, 401);
    EXPECT_EQ(rows[2].cid, 3);
    EXPECT_EQ(rows[2].verdict, "skipped");
    EXPECT_EQ(rows[2].result, "");
}

TEST_F(PassHistory, NoHistoryWritesNothing) {
    addSite("好站", site_.url("/ok"), "a=1");
    const Outcome out = sign("--no-history");
    EXPECT_EQ(out.exitCode, 0) << out.err;
    EXPECT_FALSE(fs::exists(historyFile()));
}

TEST_F(PassHistory, RowsOlderThanTheKeptDaysGoWhenAPassAppends) {
    addSite("好站", site_.url("/ok"), "a=1");
    append({entry(timeOf(kHistoryKeepDays + 1, 12), 1, "好站", "failed", "太旧"),
            entry(timeOf(kHistoryKeepDays - 1, 12), 1, "好站", "success", "还在")});
    ASSERT_EQ(storedRows().size(), 2u);
    ASSERT_EQ(sign("").exitCode, 0);

    const std::vector<HistoryEntry> rows = storedRows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(ansiToUtf8(rows[0].result), "还在");
    EXPECT_EQ(ansiToUtf8(rows[1].result), "签到成功");
}

TEST_F(PassHistory, AHistoryThatCannotBeWrittenIsOnlyAWarning) {
    addSite("好站", site_.url("/ok"), "a=1");
    makeHistoryUnwritable();
    const Outcome out = sign("--notify bark");
    EXPECT_EQ(out.exitCode, 0) << out.err;
    EXPECT_NE(out.out.find("签到成功"), std::string::npos) << out.out;
    EXPECT_EQ(push_.requests, 1);
    const std::string warning = "签到历史没有保存：";
    const std::size_t at = out.err.find(warning);
    ASSERT_NE(at, std::string::npos) << out.err;
    EXPECT_EQ(out.err.find(warning, at + 1), std::string::npos) << out.err;
}

TEST_F(PassHistory, AHistoryDbOfAnotherSignDbIsNeitherReadNorWritten) {
    addSite("好站", site_.url("/ok"), "a=1");
    fs::copy_file(otherHistory(dir_ / "other"), historyFile());
    const std::string foreign = test::readFile(historyFile());

    const Outcome shown = cli("history");
    EXPECT_EQ(shown.exitCode, 2) << shown.err;
    EXPECT_NE(shown.err.find("这个 History.db 属于另一个 Sign.db（可能是从别处复制来的），没有采用"
                             "；要把它留在一边、另起一个新的，请加 --new-history。"),
              std::string::npos)
        << shown.err;
    EXPECT_EQ(shown.out.find("别人的站"), std::string::npos) << shown.out;

    const Outcome listed = cli("list");
    EXPECT_EQ(listed.exitCode, 0) << listed.err;
    EXPECT_EQ(listed.out.find("失效"), std::string::npos) << listed.out;
    EXPECT_NE(listed.err.find("属于另一个 Sign.db"), std::string::npos) << listed.err;

    const Outcome signed_ = sign("");
    EXPECT_EQ(signed_.exitCode, 0) << signed_.err;
    EXPECT_NE(signed_.err.find("签到历史没有保存：这个 History.db 属于另一个 Sign.db"),
              std::string::npos)
        << signed_.err;
    EXPECT_EQ(test::readFile(historyFile()), foreign);
}

TEST_F(PassHistory, NewHistorySetsTheOtherSignDbsHistoryAsideAndBeginsAnew) {
    addSite("好站", site_.url("/ok"), "a=1");
    fs::copy_file(otherHistory(dir_ / "other"), historyFile());
    const std::string foreign = test::readFile(historyFile());

    const Outcome out = sign("--new-history");
    EXPECT_EQ(out.exitCode, 0) << out.err;
    EXPECT_NE(out.err.find("属于另一个 Sign.db 的签到历史已改名留在 "), std::string::npos)
        << out.err;
    std::vector<fs::path> aside;
    for (const auto& file : fs::directory_iterator(dir_)) {
        if (file.path().filename().string().starts_with("History.other-")) {
            aside.push_back(file.path());
        }
    }
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(test::readFile(aside[0]), foreign);
    const std::vector<HistoryEntry> rows = storedRows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(ansiToUtf8(rows[0].site), "好站");
    EXPECT_EQ(cli("history").exitCode, 0);
}

TEST_F(PassHistory, AHistoryDbOfAnEarlierVersionIsKeptAndLearnsItsSignDb) {
    addSite("好站", site_.url("/ok"), "a=1");
    append({entry(timeOf(1, 9), 1, "好站", "success", "签到成功")});
    // Both files as an earlier version left them: History.db names no Sign.db, Sign.db has no
    // id of its own.
    onHistory("DELETE FROM Setting WHERE Name IN ('SignDbId', 'SignDbSalt')");
    changeSignDb("DELETE FROM Setting WHERE Name = 'FileId'");
    const std::string signDb = test::readFile(db_);

    const Outcome shown = cli("history");
    EXPECT_EQ(shown.exitCode, 0) << shown.err;
    EXPECT_NE(shown.out.find("好站"), std::string::npos) << shown.out;
    const Outcome out = sign("");
    EXPECT_EQ(out.exitCode, 0) << out.err;
    EXPECT_EQ(out.err.find("签到历史没有保存"), std::string::npos) << out.err;
    EXPECT_EQ(test::readFile(db_), signDb);  // a pass still never writes Sign.db
    EXPECT_EQ(storedRows().size(), 2u);
    EXPECT_EQ(onHistory("SELECT Value FROM Setting WHERE Name = 'SignDbSalt'"), *fileSaltHex(db_));

    // The id Sign.db gets with its next write goes into History.db with the next pass.
    addSite("新站", site_.url("/ok"), "b=1");
    ASSERT_EQ(sign("").exitCode, 0);
    SqlDatabase sign;
    ASSERT_TRUE(openSiteDatabase(sign, db_));
    std::optional<Text> id;
    ASSERT_TRUE(readSiteDatabaseId(sign, id).ok());
    ASSERT_TRUE(id);
    EXPECT_EQ(onHistory("SELECT Value FROM Setting WHERE Name = 'SignDbId'"), *id);
}

TEST_F(PassHistory, ASignDbNamedHistoryDbIsNeverGivenAHistory) {
    addSite("好站", site_.url("/ok"), "a=1");
    fs::rename(db_, historyFile());
    db_ = historyFile();
    const std::string before = test::readFile(db_);
    const std::string same = "Sign.db 和签到历史是同一个文件，签到历史不能写进 Sign.db";
    const Outcome out = sign("");
    EXPECT_EQ(out.exitCode, 0) << out.err;
    EXPECT_NE(out.err.find("签到历史没有保存：" + same), std::string::npos) << out.err;
    EXPECT_EQ(test::readFile(db_), before);
    const Outcome shown = cli("history");
    EXPECT_EQ(shown.exitCode, 2) << shown.err;
    EXPECT_NE(shown.err.find(same), std::string::npos) << shown.err;
}

TEST_F(PassHistory, HistoryShowsEachDayAsItsWorstPassAndTheLastResult) {
    appendFourDays();
    const Outcome out = cli("history --days 4");
    EXPECT_EQ(out.exitCode, 0) << out.err;
    EXPECT_EQ(out.out,
              "网站  Cid  最近 4 天（旧→新）  最近结果\n"
              "甲站  1    ✓✗·?                hello\n"
              "乙站  2    ·!·✓                签到成功\n");
}

TEST_F(PassHistory, HistoryJsonGivesTheRowsOfTheDaysOldestFirst) {
    appendFourDays();
    const Outcome out = cli("history --days 3 --json");
    EXPECT_EQ(out.exitCode, 0) << out.err;
    const json rows = json::parse(out.out);
    ASSERT_EQ(rows.size(), 7u);  // three days ago is left out
    EXPECT_EQ(rows[0], json({{"time", ansiToUtf8(timeOf(2, 9))},
                             {"id", 1},
                             {"cid", 1},
                             {"site", "甲站"},
                             {"verdict", "success"},
                             {"reason", ""},
                             {"result", "签到成功"},
                             {"status", 200},
                             {"ms", 12}}));
    EXPECT_EQ(rows[6]["site"], "乙站");
    EXPECT_EQ(rows[6]["verdict"], "success");
}

TEST_F(PassHistory, HistoryTellsAMissingFileFromOneItCannotRead) {
    Outcome out = cli("history");
    EXPECT_EQ(out.exitCode, 0);
    EXPECT_EQ(out.out, "");
    EXPECT_NE(out.err.find("还没有签到历史"), std::string::npos) << out.err;
    EXPECT_EQ(cli("history --json").out, "[]\n");
    EXPECT_FALSE(fs::exists(historyFile()));

    std::ofstream(historyFile(), std::ios::binary) << std::string(4096, 'x');
    out = cli("history");
    EXPECT_EQ(out.exitCode, 2);
    EXPECT_EQ(out.out, "");
    EXPECT_NE(out.err.find("无法读取签到历史"), std::string::npos) << out.err;
}

TEST_F(PassHistory, ListEndsWithTheCookieColumnOnlyWhenItHasSomethingToShow) {
    for (const char* name : {"甲站", "乙站", "丙站", "丁站"}) {
        addSite(name, site_.url("/ok"), "a=1");
    }
    const std::string before = cli("list").out;
    {
        HistoryDatabase history;
        ASSERT_TRUE(history.create(db_));
    }
    EXPECT_EQ(cli("list").out, before);

    const double today = std::floor(nowDateTime());
    saveExpiry(1, historyTime(today + 10.5));
    saveExpiry(2, timeOf(1, 12));
    append({entry(timeOf(2, 9), 3, "丙站", "expired", "请登录"),
            entry(timeOf(1, 9), 3, "丙站", "expired", "请登录")});
    const Outcome out = cli("list");
    EXPECT_EQ(out.exitCode, 0) << out.err;
    EXPECT_EQ(out.out,
              "序号  网站  请求类型  响应类型  账号状态  Cookie 过期\n"
              "1     甲站  GET       JSON      √         " +
                  ansiToUtf8(historyDay(today + 10)) +
                  "\n"
                  "2     乙站  GET       JSON      √         已过期\n"
                  "3     丙站  GET       JSON      √         失效\n"
                  "4     丁站  GET       JSON      √\n");
}

TEST_F(PassHistory, TheSummaryEndsWithTheCookiesThatRunOutWithinThreeDays) {
    addSite("甲站", site_.url("/ok"), "a=1");
    addSite("乙站", site_.url("/ok"), "b=1");
    addSite("丙站", site_.url("/ok"), "c=1");
    const double today = std::floor(nowDateTime());
    saveExpiry(1, historyTime(today + 2.5));
    saveExpiry(2, timeOf(1, 12));
    saveExpiry(3, historyTime(today + 10.5));
    const Outcome out = sign("--notify bark");
    EXPECT_EQ(out.exitCode, 0) << out.err;
    EXPECT_TRUE(
        lastPush_.ends_with("丙站：签到成功\r\nCookie 即将过期：甲站（2 天）、乙站（已过期）\r\n"))
        << lastPush_;
}

TEST_F(PassHistory, HistoryDbOpensInTheSqlcipherShellWithTheKey) {
    addSite("好站", site_.url("/ok"), "a=1");
    ASSERT_EQ(sign("").exitCode, 0);
    const Outcome shell = test::runShell(
        "printf \"PRAGMA key='Xq7LmP2zRt9VwK4s';\\nselect Cid, WebName, Verdict from History;\\n\" "
        "| sqlcipher " +
        test::quoted(historyFile().string()));
    EXPECT_EQ(shell.exitCode, 0);
    EXPECT_EQ(shell.out, "1|好站|success\n");
}

}  // namespace
}  // namespace vesprey::hostile
