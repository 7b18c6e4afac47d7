// History.db through the store's own API, on real SQLCipher files in a temporary directory.
#include "store/history.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "store/key_cache.h"
#include "store/site_database.h"

namespace vesprey {
namespace {

namespace fs = std::filesystem;

// A directory of its own with the path a Sign.db would have; History.db goes beside it.
class HistoryStore : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vesprey-history-XXXXXX").string();
        dir_ = mkdtemp(pattern.data());
        signDb_ = dir_ / "Sign.db";
    }
    void TearDown() override { fs::remove_all(dir_); }

    static HistoryEntry entry(std::string_view time, int cid, std::string_view verdict) {
        return {Text(time),
                7,
                cid,
                utf8ToAnsi("甲站"),
                Text(verdict),
                utf8ToAnsi("内置：成功"),
                utf8ToAnsi("签到成功"),
                200,
                31};
    }
    void append(const std::vector<HistoryEntry>& rows) {
        HistoryDatabase history;
        ASSERT_TRUE(history.create(signDb_));
        const WriteResult written = history.appendPass(rows);
        ASSERT_TRUE(written) << ansiToUtf8(written.error);
    }

    // History.db as any SQLite program would write it, past the store's API.
    void writeDirectly(std::string_view sql) {
        if (!fs::exists(dir_ / "History.db")) {
            std::ofstream(dir_ / "History.db");  // the store opens files, never makes them
        }
        SqlDatabase db;
        ASSERT_TRUE(db.open(dir_ / "History.db"));
        applyFileKey(db, dir_ / "History.db", kOpenReadWrite);
        SqlStatement stmt = db.prepare(sql);
        ASSERT_EQ(stmt.stepCode(), kSqliteDone) << ansiToUtf8(db.errorMessage());
    }
    std::map<int, std::vector<Text>> lastVerdicts() {
        HistoryDatabase history;
        EXPECT_TRUE(history.open(signDb_).ok());
        std::map<int, std::vector<Text>> last;
        EXPECT_TRUE(history.readLastVerdicts(2, last).ok());
        return last;
    }

    fs::path dir_;
    fs::path signDb_;
};

TEST_F(HistoryStore, AFirstAppendMakesAnOwnerOnlyFileThatReadsBackEveryField) {
    EXPECT_FALSE(HistoryDatabase::exists(signDb_));
    const double now = nowDateTime();
    const Text time = historyTime(now);
    HistoryEntry skipped{time, 8, 0, utf8ToAnsi("无号站"), "skipped", {}, {}, 0, 0};
    append({entry(time, 3, "success"), skipped});

    EXPECT_TRUE(HistoryDatabase::exists(signDb_));
    EXPECT_EQ(historyDatabasePath(signDb_), dir_ / "History.db");
    struct stat info {};
    ASSERT_EQ(::stat((dir_ / "History.db").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    HistoryDatabase history;
    ASSERT_TRUE(history.open(signDb_).ok());
    std::vector<HistoryEntry> rows;
    ASSERT_TRUE(history.readDays(1, now, rows).ok());
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].time, time);
    EXPECT_EQ(rows[0].templateId, 7);
    EXPECT_EQ(rows[0].cid, 3);
    EXPECT_EQ(rows[0].site, utf8ToAnsi("甲站"));
    EXPECT_EQ(rows[0].verdict, "success");
    EXPECT_EQ(rows[0].reason, utf8ToAnsi("内置：成功"));
    EXPECT_EQ(rows[0].result, utf8ToAnsi("签到成功"));
    EXPECT_EQ(rows[0].status, 200);
    EXPECT_EQ(rows[0].ms, 31);
    EXPECT_EQ(rows[1].site, utf8ToAnsi("无号站"));
    EXPECT_EQ(rows[1].verdict, "skipped");
}

// The texts of a pass's rows repeat from row to row, change, and come back: each row reads back
// with its own.
TEST_F(HistoryStore, EveryRowKeepsItsOwnTextsAsTheyRepeatAndAlternate) {
    const double now = nowDateTime();
    const Text time = historyTime(now);
    HistoryEntry other{time,
                       9,
                       5,
                       utf8ToAnsi("乙站"),
                       "expired",
                       utf8ToAnsi("内置：Cookie失效"),
                       utf8ToAnsi("请先登录"),
                       200,
                       12};
    HistoryEntry empty{time, 9, 6, utf8ToAnsi("乙站"), "unknown", {}, {}, 0, 0};
    const std::vector<HistoryEntry> written = {entry(time, 3, "success"), entry(time, 4, "success"),
                                               other, empty, entry(time, 3, "success")};
    append(written);

    HistoryDatabase history;
    ASSERT_TRUE(history.open(signDb_).ok());
    std::vector<HistoryEntry> rows;
    ASSERT_TRUE(history.readDays(1, now, rows).ok());
    ASSERT_EQ(rows.size(), written.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].time, written[i].time) << i;
        EXPECT_EQ(rows[i].cid, written[i].cid) << i;
        EXPECT_EQ(rows[i].site, written[i].site) << i;
        EXPECT_EQ(rows[i].verdict, written[i].verdict) << i;
        EXPECT_EQ(rows[i].reason, written[i].reason) << i;
        EXPECT_EQ(rows[i].result, written[i].result) << i;
        EXPECT_EQ(rows[i].status, written[i].status) << i;
        EXPECT_EQ(rows[i].ms, written[i].ms) << i;
    }
}

TEST_F(HistoryStore, ReadingNeverMakesTheFile) {
    HistoryDatabase history;
    EXPECT_FALSE(history.open(signDb_).ok());
    EXPECT_FALSE(HistoryDatabase::exists(signDb_));
}

TEST_F(HistoryStore, AFileWithAnotherKeyIsRefusedAndLeftAsItWas) {
    const fs::path file = dir_ / "History.db";
    std::ofstream(file, std::ios::binary) << std::string(4096, 'x');
    HistoryDatabase history;
    const ReadResult read = history.open(signDb_);
    EXPECT_FALSE(read.ok());
    EXPECT_NE(ansiToUtf8(historyReadFailureText(read)).find("密钥不对"), std::string::npos);
    EXPECT_FALSE(history.create(signDb_));
    EXPECT_EQ(fs::file_size(file), 4096u);
}

TEST_F(HistoryStore, LastVerdictsAreTheNewestRequestedPassesOfEachAccount) {
    append({entry("2024-03-01 08:00:00", 1, "expired"), entry("2024-03-01 08:00:00", 2, "success"),
            entry("2024-03-01 08:00:00", 0, "skipped")});
    append({entry("2024-03-02 08:00:00", 1, "failed"), entry("2024-03-02 08:00:00", 2, "skipped")});
    append({entry("2024-03-03 08:00:00", 1, "expired")});
    // Of two rows at the same time the later written is the newer.
    append({entry("2024-03-03 08:00:00", 4, "failed"), entry("2024-03-03 08:00:00", 4, "success")});
    const std::map<int, std::vector<Text>> expected{
        {1, {"expired", "failed"}}, {2, {"success"}}, {4, {"success", "failed"}}};
    EXPECT_EQ(lastVerdicts(), expected);

    // Rows another program wrote without keeping the verdicts at hand are not missed: the reader
    // goes through the history, and the next pass brings the kept verdicts up to date.
    writeDirectly(
        "INSERT INTO History (Time, TemplateId, Cid, Verdict) VALUES "
        "('2024-03-04 08:00:00', 7, 2, 'expired'), ('2024-03-04 08:00:00', 7, 5, 'failed')");
    std::map<int, std::vector<Text>> later = expected;
    later[2] = {"expired", "success"};
    later[5] = {"failed"};
    EXPECT_EQ(lastVerdicts(), later);
    append({entry("2024-03-05 08:00:00", 5, "success")});
    later[5] = {"success", "failed"};
    EXPECT_EQ(lastVerdicts(), later);
    // While up to date, the kept verdicts alone give them.
    writeDirectly("DELETE FROM History WHERE rowid < (SELECT max(rowid) FROM History)");
    EXPECT_EQ(lastVerdicts(), later);
}

TEST_F(HistoryStore, AFileOfTheEarlierLayoutIsReadAndThenKeptWithoutTheAccountIndex) {
    // The earlier layout: no table of recent verdicts, an index on (Cid, Time) instead.
    writeDirectly(
        "CREATE TABLE History (Time TEXT NOT NULL, TemplateId INTEGER, Cid INTEGER, WebName TEXT, "
        "Verdict TEXT, Reason TEXT, Result TEXT, Status INTEGER, Ms INTEGER)");
    writeDirectly("CREATE INDEX HistoryAccount ON History (Cid, Time)");
    writeDirectly(
        "CREATE TABLE CookieExpiry (Cid INTEGER PRIMARY KEY, Expires TEXT, Captured TEXT)");
    writeDirectly("CREATE TABLE Setting (Name TEXT PRIMARY KEY, Value TEXT)");
    writeDirectly(
        "INSERT INTO History (Time, TemplateId, Cid, Verdict) VALUES "
        "('2024-03-01 08:00:00', 7, 1, 'failed'), ('2024-03-02 08:00:00', 7, 1, 'expired'), "
        "('2024-03-02 08:00:00', 7, 2, 'success'), ('2024-03-03 08:00:00', 7, 1, 'skipped')");
    EXPECT_EQ(lastVerdicts(),
              (std::map<int, std::vector<Text>>{{1, {"expired", "failed"}}, {2, {"success"}}}));

    append({entry("2024-03-04 08:00:00", 2, "expired")});
    EXPECT_EQ(lastVerdicts(), (std::map<int, std::vector<Text>>{{1, {"expired", "failed"}},
                                                                {2, {"expired", "success"}}}));
    SqlDatabase db;
    ASSERT_TRUE(db.open(dir_ / "History.db"));
    applyFileKey(db, dir_ / "History.db", kOpenReadWrite);
    SqlStatement index =
        db.prepare("SELECT count(*) FROM sqlite_master WHERE name = 'HistoryAccount'");
    ASSERT_EQ(index.stepCode(), kSqliteRow);
    EXPECT_EQ(index.columnInt(0), 0);
}

TEST_F(HistoryStore, TheTriesOfRetriedRowsReadBackBesideTheirRows) {
    const double now = nowDateTime();
    const Text time = historyTime(now);
    HistoryEntry skipped{time, 8, 0, utf8ToAnsi("无号站"), "skipped", {}, {}, 0, 0};
    {
        HistoryDatabase history;
        ASSERT_TRUE(history.create(signDb_));
        ASSERT_TRUE(history.appendPass({entry(time, 3, "success"), entry(time, 4, "failed"),
                                        skipped, entry(time, 5, "success")},
                                       {3, 6, 0, 1}));
    }
    append({entry(time, 3, "success"), skipped});  // a pass that gave no tries

    HistoryDatabase history;
    ASSERT_TRUE(history.open(signDb_).ok());
    std::vector<HistoryEntry> rows;
    std::vector<int> tries;
    ASSERT_TRUE(history.readDays(1, now, rows, tries).ok());
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(rows[1].cid, 4);
    EXPECT_EQ(tries, (std::vector<int>{3, 6, 0, 1, 1, 0}));
}

TEST_F(HistoryStore, ACookieRecordIsReplacedByTheNextCaptureAndCanBeForgotten) {
    HistoryDatabase history;
    ASSERT_TRUE(history.create(signDb_));
    ASSERT_TRUE(history.saveCookieExpiry({4, "2025-01-10 12:00:00", "2024-12-01 09:00:00"}));
    ASSERT_TRUE(history.saveCookieExpiry({5, "2025-02-01 00:00:00", "2024-12-01 09:05:00"}));
    ASSERT_TRUE(history.saveCookieExpiry({4, "2025-03-10 12:00:00", "2024-12-20 10:00:00"}));
    ASSERT_TRUE(history.removeCookieExpiry(5));

    HistoryDatabase reader;
    ASSERT_TRUE(reader.open(signDb_).ok());
    std::map<int, CookieExpiry> expiries;
    ASSERT_TRUE(reader.readCookieExpiries(expiries).ok());
    ASSERT_EQ(expiries.size(), 1u);
    EXPECT_EQ(expiries[4].expires, "2025-03-10 12:00:00");
    EXPECT_EQ(expiries[4].captured, "2024-12-20 10:00:00");
}

TEST_F(HistoryStore, AHistoryIsTakenOnlyForTheSignDbItNames) {
    // What History.db names of its Sign.db: "own" the Sign.db's id or salt, "other" another
    // file's, nullptr nothing.
    struct Case {
        const char* what;
        bool signDbHasId;
        const char* keptId;
        const char* keptSalt;
        bool taken;
    };
    const Case cases[] = {
        {"both names its own", true, "own", "own", true},
        {"another id, its own salt", true, "other", "own", false},
        {"its own id, a salt that changed", true, "own", "other", true},
        {"no id yet, its own salt", true, nullptr, "own", true},
        {"no id yet, another salt", true, nullptr, "other", false},
        {"nothing: an earlier version's file", true, nullptr, nullptr, true},
        {"a Sign.db without id, its own salt", false, "other", "own", true},
        {"a Sign.db without id, another id alone", false, "other", nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dir_);
        fs::create_directory(dir_);
        ASSERT_TRUE(createSiteDatabase(signDb_, nullptr));
        std::optional<Text> id;
        {
            SqlDatabase sign;
            ASSERT_TRUE(openSiteDatabase(sign, signDb_));
            ASSERT_TRUE(readSiteDatabaseId(sign, id).ok());
            ASSERT_TRUE(id);
            if (!c.signDbHasId) {
                ASSERT_EQ(sign.prepare("DELETE FROM Setting").stepCode(), kSqliteDone);
            }
        }
        append({entry("2024-05-01 08:00:00", 1, "success")});
        writeDirectly("DELETE FROM Setting WHERE Name IN ('SignDbId', 'SignDbSalt')");
        const std::string other(32, 'f');
        auto keep = [&](std::string_view name, const char* which, const std::string& own) {
            if (which != nullptr) {
                writeDirectly("INSERT INTO Setting (Name, Value) VALUES ('" + std::string(name) +
                              "', '" + (std::string_view(which) == "own" ? own : other) + "')");
            }
        };
        keep("SignDbId", c.keptId, *id);
        keep("SignDbSalt", c.keptSalt, *fileSaltHex(signDb_));

        HistoryDatabase reader;
        const ReadResult read = reader.open(signDb_);
        EXPECT_EQ(read.ok(), c.taken) << ansiToUtf8(read.error);
        HistoryDatabase writer;
        const WriteResult written = writer.create(signDb_);
        EXPECT_EQ(static_cast<bool>(written), c.taken) << ansiToUtf8(written.error);
        if (!c.taken) {
            EXPECT_EQ(read.code, kHistoryOfAnotherFile);
            EXPECT_EQ(written.code, kHistoryOfAnotherFile);
        }
    }
}

TEST_F(HistoryStore, TheLastScheduledPassIsNothingUntilSaved) {
    HistoryDatabase history;
    ASSERT_TRUE(history.create(signDb_));
    std::optional<Text> day;
    ASSERT_TRUE(history.readLastScheduledPass(day).ok());
    EXPECT_FALSE(day);
    ASSERT_TRUE(history.saveLastScheduledPass("2024-05-01"));
    ASSERT_TRUE(history.saveLastScheduledPass("2024-05-02"));
    ASSERT_TRUE(history.readLastScheduledPass(day).ok());
    EXPECT_EQ(day, "2024-05-02");
}

TEST(CookieDaysLeft, CountsCalendarDaysAndCallsAPassedExpiryPast) {
    const double now = makeDateTime(2024, 5, 1, 10, 0, 0);
    EXPECT_EQ(cookieDaysLeft("2024-05-01 23:00:00", now), 0);
    EXPECT_EQ(cookieDaysLeft("2024-05-02 00:30:00", now), 1);
    EXPECT_EQ(cookieDaysLeft("2024-06-01 00:00:00", now), 31);
    EXPECT_EQ(cookieDaysLeft("2024-05-01 09:59:59", now), -1);
    EXPECT_EQ(cookieDaysLeft("2023-12-31 12:00:00", now), -1);
    EXPECT_EQ(cookieDaysLeft("never", now), std::nullopt);
}

}  // namespace
}  // namespace vesprey
