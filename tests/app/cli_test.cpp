// Drives the real vesprey-cli binary as a user would from a shell.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int exitCode = -1;
    std::string out;  // stdout and stderr, in order
};

Outcome run(const std::string& command) {
    Outcome result;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    std::array<char, 4096> buffer{};
    std::size_t n = 0;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
        result.out.append(buffer.data(), n);
    }
    const int status = pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string quoted(const fs::path& p) {
    return "'" + p.string() + "'";
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
