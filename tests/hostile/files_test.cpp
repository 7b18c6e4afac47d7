// Sign.db files and options that an unattended pass must refuse or survive.
#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

#include "hostile.h"

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
