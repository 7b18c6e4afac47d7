// Sign.db files and options that an unattended pass must refuse or survive.
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

#include "hostile.h"
#include "store/history.h"
#include "store/key_cache.h"

namespace vesprey::hostile {
namespace {

class BrokenFile : public Hostile {
protected:
    static constexpr int kAccounts = 300;
    // Accounts of one site whose link nobody answers: enough rows for many pages.
    void fillWithAccounts() {
        const int id = addSite("站点", "http://127.0.0.1:9/", "first=1");
        SqlDatabase db;
        ASSERT_TRUE(openSiteDatabase(db, db_));
        for (int i = 1; i < kAccounts; ++i) {
            ASSERT_TRUE(insertWebCookie(db, id, "2024-01-01 08:00:00",
                                        "account=" + std::to_string(i) + std::string(100, 'c')));
        }
    }
    std::string fileBytes() { return test::readFile(db_); }
    void writeFileBytes(const std::string& bytes) {
        std::ofstream(db_, std::ios::binary | std::ios::trunc) << bytes;
    }
    int templateRows() {
        SqlDatabase db;
        EXPECT_TRUE(openSiteDatabase(db, db_));
        SqlStatement count = db.prepare("select count(*) from Template");
        return count.step() ? count.columnInt(0) : -1;
    }
    // sign signs nothing from a list it could not read whole. list prints the rows as it reads
    // them: those before the damage stay, whole, and it says that the rest could not be read.
    void expectReadRefused(const std::string& why) {
        const Outcome sign = cli("sign");
        EXPECT_EQ(sign.exitCode, 2) << sign.err;
        EXPECT_NE(sign.err.find(why), std::string::npos) << sign.err;
        EXPECT_EQ(sign.out, "");
        EXPECT_EQ(sign.err.find("开始对"), std::string::npos) << "signed something: " << sign.err;

        const Outcome list = cli("list");
        EXPECT_EQ(list.exitCode, 2) << list.err;
        EXPECT_NE(list.err.find(why), std::string::npos) << list.err;
        if (!list.out.empty()) {
            EXPECT_EQ(list.out.rfind("序号", 0), 0u) << list.out;
            EXPECT_EQ(list.out.back(), '\n');
        }
        const auto lines = std::count(list.out.begin(), list.out.end(), '\n');
        EXPECT_LT(lines, 1 + kAccounts) << "the damage went unnoticed";
    }
};

TEST_F(BrokenFile, ADamagedPageFailsTheReadInsteadOfDroppingAccounts) {
    fillWithAccounts();
    std::string bytes = fileBytes();
    ASSERT_GT(bytes.size(), 40u * 1024);
    bytes.replace(29 * 1024 + 100, 16, std::string(16, 'Z'));
    writeFileBytes(bytes);
    expectReadRefused("文件可能已损坏");
}

TEST_F(BrokenFile, AFileCutShortFailsTheReadInsteadOfDroppingAnAccount) {
    fillWithAccounts();
    const std::string bytes = fileBytes();
    writeFileBytes(bytes.substr(0, bytes.size() - 1000));
    expectReadRefused("文件可能已损坏");
}

TEST_F(BrokenFile, AnImportThatCannotAddTheAccountLeavesNoTemplate) {
    {
        SqlDatabase db;
        ASSERT_TRUE(openSiteDatabase(db, db_));
        ASSERT_EQ(db.prepare("drop table WebCookie").stepCode(), kSqliteDone);
    }
    const fs::path shared = dir_ / "site.json";
    std::ofstream(shared) << R"({"网站":"新站","签到链接":"http://127.0.0.1:9/","绑定语句":"msg"})";
    const Outcome out = cli("import --cookie a=1 " + test::quoted(shared.string()));
    EXPECT_EQ(out.exitCode, 2) << out.err;
    EXPECT_NE(out.err.find("WebCookie"), std::string::npos) << out.err;
    EXPECT_EQ(templateRows(), 0);
}

TEST_F(BrokenFile, ABusyFileIsWaitedForThenCalledInUse) {
    addSite("站点", "http://127.0.0.1:9/", "");
    SqlDatabase holder;
    ASSERT_TRUE(openSiteDatabase(holder, db_));
    ASSERT_EQ(holder.prepare("BEGIN EXCLUSIVE").stepCode(), kSqliteDone);

    // Held throughout: the reader waits, then says the file is in use, not that the key is wrong.
    const Outcome busy = cli("sign");
    EXPECT_EQ(busy.exitCode, 2) << busy.err;
    EXPECT_NE(busy.err.find("正被其他程序使用"), std::string::npos) << busy.err;
    EXPECT_EQ(busy.err.find("密钥不对"), std::string::npos) << busy.err;

    // Let go after a second: a writer that waits gets through.
    std::thread release([&holder] {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        holder.prepare("COMMIT").stepCode();
    });
    const fs::path shared = dir_ / "site.json";
    std::ofstream(shared) << R"({"网站":"新站","签到链接":"http://127.0.0.1:9/"})";
    const Outcome patient = cli("import --cookie a=1 " + test::quoted(shared.string()));
    release.join();
    EXPECT_EQ(patient.exitCode, 0) << patient.err;
    EXPECT_EQ(templateRows(), 2);
}

TEST_F(BrokenFile, AHeldFileIsWaitedForOnceAndTheWaitSaidIsTheWaitDone) {
    addSite("站点", "http://127.0.0.1:9/", "");
    {
        HistoryDatabase history;
        ASSERT_TRUE(history.create(db_));
    }
    const std::string cache = "XDG_CACHE_HOME=" + test::quoted((dir_ / "cache").string()) + " ";
    const fs::path keys = dir_ / "cache" / "vesprey" / "keys";
    // Both files' keys are kept from here on.
    ASSERT_EQ(cli("list", cache).exitCode, 0);
    ASSERT_EQ(cli("history", cache).exitCode, 0);
    const std::string kept = test::readFile(keys);
    ASSERT_NE(kept.find(*fileSaltHex(db_)), std::string::npos) << kept;

    // Each command meets the file it reads first held by another program throughout.
    const std::pair<std::string, fs::path> cases[] = {{"list", db_},
                                                      {"history", dir_ / "History.db"}};
    for (const auto& [command, held] : cases) {
        SqlDatabase holder;
        ASSERT_TRUE(holder.open(held));
        holder.setKey(kSiteDatabaseKey);
        ASSERT_EQ(holder.prepare("BEGIN EXCLUSIVE").stepCode(), kSqliteDone);
        const auto started = std::chrono::steady_clock::now();
        const Outcome busy = cli(command, cache);
        const auto waited = std::chrono::steady_clock::now() - started;
        EXPECT_EQ(busy.exitCode, 2) << command << busy.err;
        EXPECT_NE(busy.err.find("等了 5 秒仍未释放"), std::string::npos) << busy.err;
        // One wait of the time it says, not one for every key tried and every read.
        EXPECT_LT(waited, std::chrono::milliseconds(2 * kBusyTimeoutMs)) << command;
        EXPECT_EQ(test::readFile(keys), kept) << command;  // no entry forgotten
    }
}

TEST_F(Hostile, HistoryOfASignDbThatIsNotThereSaysWhatIsWrong) {
    const std::pair<fs::path, std::string> cases[] = {{dir_ / "none.db", "这个文件不存在"},
                                                      {dir_, "这是一个文件夹，不是 Sign.db"}};
    for (const auto& [path, says] : cases) {
        const Outcome out = test::runCapturingStderr(
            std::string(VESPREY_CLI) + " history --db " + test::quoted(path.string()), dir_);
        EXPECT_EQ(out.exitCode, 2) << out.err;
        EXPECT_NE(out.err.find(says), std::string::npos) << out.err;
        EXPECT_EQ(out.err.find("还没有签到历史"), std::string::npos) << out.err;
    }
}

// History.db with one pass of 甲站, then the next pass's write of 半截站 cut off by kill -9
// half way: the file and its journal as the killed program left them.
class CutOffWrite : public Hostile {
protected:
    void SetUp() override {
        Hostile::SetUp();
        {
            HistoryDatabase history;
            ASSERT_TRUE(history.create(db_));
            ASSERT_TRUE(history.appendPass({{historyTime(nowDateTime()),
                                             1,
                                             1,
                                             utf8ToAnsi("甲站"),
                                             "success",
                                             {},
                                             utf8ToAnsi("签到成功"),
                                             200,
                                             10}}));
        }
        // The test runs no thread of its own here, so the child may use the library.
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            SqlDatabase db;
            db.open(history());
            db.setKey(kSiteDatabaseKey);
            db.prepare("PRAGMA cache_size = 8").stepCode();  // pages reach the file before commit
            db.prepare("BEGIN IMMEDIATE").stepCode();
            for (int i = 0; i < 400; ++i) {
                db.prepare(
                      "INSERT INTO History (Time, TemplateId, Cid, WebName, Verdict, Result) "
                      "VALUES (datetime('now', 'localtime'), 2, 2, '" +
                      utf8ToAnsi("半截站") + "', 'success', '" + std::string(1000, 'x') + "')")
                    .stepCode();
            }
            ::kill(::getpid(), SIGKILL);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status));
        ASSERT_GT(fs::file_size(journal()), 0u);
    }
    void TearDown() override {
        fs::permissions(dir_, fs::perms::owner_all);
        Hostile::TearDown();
    }

    fs::path history() const { return dir_ / "History.db"; }
    fs::path journal() const { return dir_ / "History.db-journal"; }
};

TEST_F(CutOffWrite, AReaderThatMayWriteRollsTheCutOffWriteBack) {
    const Outcome shown = cli("history");
    EXPECT_EQ(shown.exitCode, 0) << shown.err;
    EXPECT_NE(shown.out.find("甲站"), std::string::npos) << shown.out;
    EXPECT_EQ(shown.out.find("半截站"), std::string::npos) << shown.out;
    EXPECT_FALSE(fs::exists(journal()));
}

TEST_F(CutOffWrite, AReaderThatMayNotWriteSaysWhatTheFileNeeds) {
    // Root may write anything: the reader is then another user, who may read the files only.
    std::string reader;
    if (::geteuid() == 0) {
        fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
        for (const fs::path& file : {db_, history(), journal()}) {
            fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write |
                                      fs::perms::group_read | fs::perms::others_read);
        }
        reader = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    } else {
        fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec);
    }
    const Outcome refused = test::runCapturingStderr(
        reader + VESPREY_CLI + " history --db " + test::quoted(db_.string()), dir_);
    EXPECT_EQ(refused.exitCode, 2) << refused.err;
    EXPECT_NE(refused.err.find("上次写入被中断，文件要先恢复才能读：请运行一次 vesprey-cli "
                               "sign，或取得这个文件和所在文件夹的写权限"),
              std::string::npos)
        << refused.err;
    EXPECT_TRUE(fs::exists(journal()));

    // The owner's next pass rolls it back and appends its own rows.
    fs::permissions(dir_, fs::perms::owner_all);
    EXPECT_EQ(cli("sign").exitCode, 0);
    EXPECT_FALSE(fs::exists(journal()));
    const Outcome shown = cli("history");
    EXPECT_EQ(shown.exitCode, 0) << shown.err;
    EXPECT_NE(shown.out.find("甲站"), std::string::npos) << shown.out;
    EXPECT_EQ(shown.out.find("半截站"), std::string::npos) << shown.out;
}

TEST_F(Hostile, AnEmptyDatabasePathIsRefused) {
    for (const std::string option : {"--db ''", "--db="}) {
        const Outcome out = test::runCapturingStderr(
            "VESPREY_DB=" + test::quoted(db_) + " " + VESPREY_CLI + " list " + option, dir_);
        EXPECT_EQ(out.exitCode, 1) << option;
        EXPECT_NE(out.err.find("--db"), std::string::npos) << out.err;
        EXPECT_EQ(out.out, "") << option;
    }
}

}  // namespace
}  // namespace vesprey::hostile
