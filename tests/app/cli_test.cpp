// Drives the real vesprey-cli binary as a user would from a shell.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "loopback_server.h"
#include "shell.h"
#include "store/site_database.h"
#include "text/text.h"

namespace {

namespace fs = std::filesystem;

using vesprey::test::Outcome;

// Runs a shell command; stderr joins stdout unless the command redirects it itself.
Outcome run(const std::string& command, bool mergeStderr = true) {
    return vesprey::test::runShell(mergeStderr ? command + " 2>&1" : command);
}

std::string quoted(const fs::path& p) {
    return vesprey::test::quoted(p.string());
}

class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vesprey-cli-XXXXXX").string();
        dir_ = mkdtemp(pattern.data());
        db_ = dir_ / "Sign.db";
    }
    void TearDown() override { fs::remove_all(dir_); }

    Outcome cli(const std::string& args) { return run(std::string(VESPREY_CLI) + " " + args); }

    fs::path dir_;
    fs::path db_;
};

TEST_F(Cli, InitDbThenListShowsTheDemoSitesAligned) {
    Outcome init = cli("init-db --demo --db " + quoted(db_));
    ASSERT_EQ(init.exitCode, 0) << init.out;
    Outcome list = cli("list --db " + quoted(db_));
    ASSERT_EQ(list.exitCode, 0) << list.out;
    EXPECT_EQ(list.out,
              "序号  网站              请求类型  响应类型  账号状态\n"
              "1     示例站点（JSON）  POST      JSON      ×\n"
              "2     示例论坛（正则）  GET       正则      ×\n");
}

TEST_F(Cli, InitDbRefusesAnExistingFile) {
    std::ofstream(db_) << "precious";
    Outcome init = cli("init-db --db " + quoted(db_));
    EXPECT_EQ(init.exitCode, 1);
    EXPECT_NE(init.out.find("已存在"), std::string::npos) << init.out;
    std::ifstream in(db_);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "precious");
}

TEST_F(Cli, DatabaseFailuresExitWithTwo) {
    Outcome missing = cli("list --db " + quoted(dir_ / "missing.db"));
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_NE(missing.out.find("打开失败！你选择的文件可能不是Sqlite数据库！"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir_ / "missing.db"));

    std::ofstream(db_) << "this is not a database, it is a text file of some length......";
    Outcome garbage = cli("list --db " + quoted(db_));
    EXPECT_EQ(garbage.exitCode, 2);
    EXPECT_NE(garbage.out.find("无法读取"), std::string::npos) << garbage.out;
}

TEST_F(Cli, EnvironmentVariableChoosesTheDatabase) {
    ASSERT_EQ(cli("init-db --db " + quoted(db_)).exitCode, 0);
    Outcome list = run("VESPREY_DB=" + quoted(db_) + " " + VESPREY_CLI + " list");
    EXPECT_EQ(list.exitCode, 0) << list.out;
    EXPECT_EQ(list.out, "序号  网站  请求类型  响应类型  账号状态\n");
}

TEST_F(Cli, BadArgumentsExitWithOneAndHelpWithZero) {
    EXPECT_EQ(cli("").exitCode, 1);
    EXPECT_EQ(cli("frobnicate").exitCode, 1);
    Outcome bad = cli("list --colour");
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_NE(bad.out.find("--colour"), std::string::npos);
    EXPECT_EQ(cli("list --db").exitCode, 1);
    EXPECT_EQ(cli("list extra").exitCode, 1);
    Outcome help = cli("--help");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("init-db"), std::string::npos);
    Outcome listHelp = cli("list --help");
    EXPECT_EQ(listHelp.exitCode, 0);
    EXPECT_NE(listHelp.out.find("用法: vesprey-cli list"), std::string::npos);
}

TEST_F(Cli, SignRunsThePassPrintsProgressAndTheResultsAndPushes) {
    vesprey::test::RawServer site(
        "HTTP/1.1 200 OK\r\nContent-Length: 25\r\nConnection: "
        "close\r\n\r\n{\"msg\":\"\\u7b7e\\u5230 ok\"}");
    vesprey::test::RawServer push;
    ASSERT_EQ(cli("init-db --db " + quoted(db_)).exitCode, 0);
    {
        vesprey::SqlDatabase db;
        ASSERT_TRUE(vesprey::openSiteDatabase(db, db_));
        vesprey::TemplateFields f;
        f.WebName = vesprey::utf8ToAnsi("测试站");
        f.WebLink = site.url("/sign");
        f.Tying = "msg";
        ASSERT_TRUE(vesprey::addSite(db, f, "sid=1").write);
        f.WebName = "no account";
        ASSERT_TRUE(vesprey::insertTemplate(db, f));
        ASSERT_TRUE(vesprey::updatePushKey(db, 1, "KEY"));
    }
    const std::string env = "VESPREY_BARK_URL=" + push.url("/") + " ";
    Outcome out =
        run(env + VESPREY_CLI + " sign --notify bark --db " + quoted(db_) + " 2>/dev/null", false);
    EXPECT_EQ(out.exitCode, 0) << out.out;
    EXPECT_EQ(out.out,
              "序号  网站        请求类型  响应类型  账号状态  返回内容\n"
              "1     测试站      GET       JSON      √         签到 ok\n"
              "2     no account  GET       JSON      ×\n");
    Outcome progress =
        run(env + VESPREY_CLI + " sign --db " + quoted(db_) + " 2>&1 >/dev/null", false);
    EXPECT_EQ(progress.out,
              "开始对>>>测试站<<<进行签到\n开始对>>>no account<<<进行签到\n签到完毕！\n");
    ASSERT_EQ(push.requests().size(), 1u);  // only the run with --notify pushed
    EXPECT_TRUE(
        push.requests()[0].starts_with("GET /KEY/12-17%2F%E7%AD%BE%E5%88%B0%E6%8F%90%E9%86%92/"
                                       "%E6%B5%8B%E8%AF%95%E7%AB%99%EF%BC%9A%E7%AD%BE%E5%88%B0%"
                                       "20ok%0D%0Ano%20account%EF%BC%9A%0D%0A "))
        << push.requests()[0];

    Outcome test = run(env + VESPREY_CLI + " push-test --channel bark --db " + quoted(db_));
    EXPECT_EQ(test.exitCode, 0) << test.out;
    ASSERT_EQ(push.requests().size(), 2u);
    EXPECT_TRUE(push.requests()[1].starts_with("GET /KEY/%E7%AD%BE%E5%88%B0%E6%8F%90%E9%86%92/ "));

    EXPECT_EQ(cli("sign --notify pager --db " + quoted(db_)).exitCode, 1);
    EXPECT_EQ(cli("push-test --db " + quoted(db_)).exitCode, 1);
    EXPECT_EQ(cli("sign --db " + quoted(dir_ / "none.db")).exitCode, 2);
}

// The file init-db writes is an ordinary SQLCipher database with the tool's key.
TEST_F(Cli, InitDbFileOpensInTheSqlcipherShell) {
    ASSERT_EQ(cli("init-db --db " + quoted(db_)).exitCode, 0);
    Outcome shell =
        run("printf \"PRAGMA key='Xq7LmP2zRt9VwK4s';\\nselect id, RobotId from Send;\\n"
            "select count(*) from Template;\\npragma table_info(Template);\\n\" | sqlcipher " +
            quoted(db_));
    EXPECT_EQ(shell.exitCode, 0);
    EXPECT_NE(shell.out.find("1|\n2|\n3|\n0\n"), std::string::npos) << shell.out;
    EXPECT_NE(shell.out.find("9|Date|"), std::string::npos) << shell.out;

    Outcome wrongKey =
        run("printf \"PRAGMA key='wrong';\\nselect count(*) from Send;\\n\" | sqlcipher " +
            quoted(db_));
    EXPECT_NE(wrongKey.out.find("not a database"), std::string::npos) << wrongKey.out;
}

// libsqlcipher exports the same symbols as the system libsqlite3; loading both would bind some
// calls to the unencrypted library.
TEST(Linking, CliDoesNotMapSystemSqlite) {
    Outcome ldd = run(std::string("LD_TRACE_LOADED_OBJECTS=1 ") + VESPREY_CLI);
    ASSERT_EQ(ldd.exitCode, 0);
    EXPECT_NE(ldd.out.find("libsqlcipher"), std::string::npos) << ldd.out;
    EXPECT_EQ(ldd.out.find("libsqlite3"), std::string::npos) << ldd.out;
    EXPECT_EQ(ldd.out.find("libQt"), std::string::npos) << ldd.out;
}

}  // namespace
