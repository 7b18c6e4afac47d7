// Drives the real vesprey-cli binary as a user would from a shell.

#include "app/cli.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "loopback_server.h"
#include "shell.h"
#include "store/site_database.h"
#include "text/text.h"

namespace {

namespace fs = std::filesystem;

using vesprey::cli::Command;
using vesprey::cli::commands;
using vesprey::cli::DatabaseUse;
using vesprey::cli::Option;
using vesprey::test::Outcome;

// Runs a shell command; stderr joins stdout unless the command redirects it itself.
Outcome run(const std::string& command, bool mergeStderr = true) {
    return vesprey::test::runShell(mergeStderr ? command + " 2>&1" : command);
}

std::string quoted(const fs::path& p) {
    return vesprey::test::quoted(p.string());
}

// The option as its --help and the synopsis write it: "--db PATH", "--json".
std::string entry(const Option& option) {
    return std::string(option.name) + (option.value.empty() ? "" : " " + std::string(option.value));
}

// Whether `text` names the option on its own: "--notify" is not found in "--notify-on".
bool namesOption(const std::string& text, std::string_view name) {
    const std::regex word("(^|[^a-z-])" + std::string(name) + "([^a-z-]|$)");
    return std::regex_search(text, word);
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
    // The same with stderr apart from stdout.
    Outcome cliApart(const std::string& args) {
        return vesprey::test::runCapturingStderr(std::string(VESPREY_CLI) + " " + args, dir_);
    }

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

    // The 推送语句 the desktop window saved is the summary's first line.
    {
        vesprey::SqlDatabase db;
        ASSERT_TRUE(vesprey::openSiteDatabase(db, db_));
        ASSERT_TRUE(
            vesprey::writeSetting(db, vesprey::kPushOpeningSetting, vesprey::utf8ToAnsi("早上好")));
    }
    run(env + VESPREY_CLI + " sign --notify bark --db " + quoted(db_) + " 2>/dev/null", false);
    ASSERT_EQ(push.requests().size(), 3u);
    EXPECT_TRUE(
        push.requests()[2].starts_with("GET /KEY/12-17%2F%E7%AD%BE%E5%88%B0%E6%8F%90%E9%86%92/"
                                       "%E6%97%A9%E4%B8%8A%E5%A5%BD%0D%0A%E6%B5%8B"))
        << push.requests()[2];
}

// A sign started while another pass runs on the same Sign.db (the desktop window's or, here,
// another sign's, held at the site's gate) signs nothing and exits with 6; the running one goes
// on to its end, and a sign after it runs as usual.
TEST_F(Cli, SignBesideARunningPassRefusesWithSix) {
    vesprey::test::LocalServer<> site;
    site.server().Get("/sign", [&site](const httplib::Request&, httplib::Response& response) {
        ++site.requests;
        site.pass();
        response.set_content("{\"msg\":\"ok\"}", "application/json");
    });
    site.start();
    ASSERT_EQ(cli("init-db --db " + quoted(db_)).exitCode, 0);
    {
        vesprey::SqlDatabase db;
        ASSERT_TRUE(vesprey::openSiteDatabase(db, db_));
        vesprey::TemplateFields f;
        f.WebName = "site";
        f.WebLink = site.url("/sign");
        f.Tying = "msg";
        ASSERT_TRUE(vesprey::addSite(db, f, "sid=1").write);
    }
    site.closeGate();
    Outcome running;
    std::thread first([&] { running = cli("sign --db " + quoted(db_)); });
    while (site.waiting.load() == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const Outcome beside = cliApart("sign --db " + quoted(db_));
    site.openGate();
    first.join();
    EXPECT_EQ(beside.exitCode, vesprey::cli::kExitPassRunning);
    EXPECT_EQ(beside.out, "");
    EXPECT_NE(beside.err.find("另一个签到正在 " + db_.string() +
                              " 上进行（桌面程序或另一个 vesprey-cli sign），这次没有签到"),
              std::string::npos)
        << beside.err;
    EXPECT_EQ(running.exitCode, 0) << running.out;
    EXPECT_EQ(site.requests.load(), 1);
    EXPECT_EQ(cli("sign --db " + quoted(db_)).exitCode, 0);
    EXPECT_EQ(site.requests.load(), 2);
}

TEST_F(Cli, ProgramHelpGivesEveryCommandEveryExitCodeAndWhereSignDbIsFound) {
    const Outcome help = cli("--help");
    ASSERT_EQ(help.exitCode, 0);
    for (const Command* command : commands()) {
        EXPECT_NE(help.out.find("  " + vesprey::cli::padRight(command->name, 12) +
                                std::string(command->summary) + "\n"),
                  std::string::npos)
            << command->name;
    }
    for (const char* code : {"0 成功", "1 参数或输入有误", "2 数据库打不开", "3 有账号 Cookie 失效",
                             "4 推送失败", "6 另一个签到正在同一个 Sign.db 上"}) {
        EXPECT_NE(help.out.find(code), std::string::npos) << code;
    }
    // The places in the order they are tried (store/site_database.h, siteDatabasePath).
    std::size_t at = 0;
    for (const char* place : {"--db PATH", "VESPREY_DB", "程序所在目录下已有的 Sign.db", "构建目录",
                              "$XDG_DATA_HOME/vesprey/Sign.db", "~/.local/share/vesprey/Sign.db"}) {
        const std::size_t found = help.out.find(place, at);
        ASSERT_NE(found, std::string::npos) << place << " after byte " << at << ":\n" << help.out;
        at = found;
    }
}

// The parser takes each command's declarations and nothing else; the command's --help lists
// every one of them and no other; an option no command declares is refused with a hint.
TEST_F(Cli, EveryCommandsHelpListsTheOptionsItTakesAndItRefusesOthers) {
    for (const Command* command : commands()) {
        const std::string name(command->name);
        const Outcome help = cliApart(name + " --help");
        ASSERT_EQ(help.exitCode, 0) << name;
        EXPECT_TRUE(help.out.starts_with("用法: vesprey-cli " + name)) << help.out;
        std::vector<std::string> listed;  // the option list's entries, "--db PATH"
        const std::regex line("\n  (--[a-z-]+(?: [^ \n]+)?)(?:   |\n)");
        for (std::sregex_iterator it(help.out.begin(), help.out.end(), line), end; it != end;
             ++it) {
            listed.push_back((*it)[1]);
        }
        std::vector<std::string> declared;
        for (const Option& option : command->options) {
            declared.push_back(entry(option));
            std::vector<std::string> argv = {std::string(option.name)};
            if (!option.value.empty()) {
                argv.push_back("v");
            }
            const vesprey::cli::Arguments parsed(*command, argv);
            EXPECT_TRUE(parsed.ok()) << name << " " << option.name << ": " << parsed.error();
            EXPECT_TRUE(option.value.empty() ? parsed.flag(argv[0]) : parsed.value(argv[0]) == "v")
                << name << " " << option.name;
        }
        EXPECT_EQ(listed, declared) << name << ":\n" << help.out;

        const Outcome refused = cliApart(name + " --undeclared");
        EXPECT_EQ(refused.exitCode, 1) << name;
        EXPECT_EQ(refused.out, "");
        EXPECT_EQ(refused.err,
                  "不认识的选项：--undeclared。 用法见 vesprey-cli " + name + " --help。\n");
    }
}

// Every command that uses Sign.db gets it from the one helper: an empty --db is refused, and a
// missing file is said alike by each command that opens it.
TEST_F(Cli, EveryDatabaseCommandRefusesAnEmptyDbAndSaysAMissingFileAlike) {
    const std::string templateFile = quoted(dir_ / "site.json");
    std::ofstream(dir_ / "site.json") << R"({"网站": "站", "签到链接": "http://127.0.0.1/"})";
    // What each command needs besides --db to come as far as opening the file.
    const std::map<std::string, std::string> otherArguments = {
        {"init-db", ""},
        {"list", ""},
        {"sign", ""},
        {"history", ""},
        {"push-test", "--channel bark"},
        {"push-set", "--channel bark --settings '{\"key\":\"k\"}'"},
        {"import", templateFile},
        {"inputs", "--cid 1"},
        {"export", "--id 1"},
        {"try", "--cid 1"},
        {"cookiecloud", ""},
        {"digest", ""},
        {"site-set", "--id 1"},
    };
    const fs::path missing = dir_ / "missing.db";
    for (const Command* command : commands()) {
        if (command->database == DatabaseUse::None) {
            continue;
        }
        const std::string name(command->name);
        ASSERT_EQ(otherArguments.count(name), 1u) << name << " needs a line in this table";
        const std::string rest = " " + otherArguments.at(name);
        const Outcome empty = cliApart(name + " --db ''" + rest);
        EXPECT_EQ(empty.exitCode, 1) << name;
        EXPECT_EQ(empty.err,
                  "--db 后面的路径是空的：请写出 Sign.db 的路径，或去掉 --db 使用默认位置。\n")
            << name;
        if (command->database == DatabaseUse::Path) {
            continue;
        }
        const Outcome absent = cliApart(name + " --db " + quoted(missing) + rest);
        EXPECT_EQ(absent.exitCode, 2) << name;
        EXPECT_EQ(absent.out, "") << name;
        EXPECT_EQ(absent.err,
                  "打开失败！你选择的文件可能不是Sqlite数据库！（" + missing.string() +
                      "）\n这个文件不存在：请先运行 vesprey-cli init-db 创建它（加 --demo "
                      "带两个示例站点），或用 --db 指定已有的 Sign.db。\n")
            << name;
        EXPECT_FALSE(fs::exists(missing)) << name;
    }
}

// The parser's rules, on the real declarations of `eval` (value options --tying and --ctype,
// flags --json and --regex).
TEST(Arguments, ParseByTheDeclarations) {
    struct Case {
        std::vector<std::string> argv = {};
        std::map<std::string, std::string> values = {};
        std::vector<std::string> flags = {};
        std::vector<std::string> positionals = {};
        std::string error = {};
        bool help = false;
    };
    const std::vector<Case> cases = {
        {{"--tying", "msg", "answer.json"}, {{"--tying", "msg"}}, {}, {"answer.json"}, ""},
        {{"--tying=a=b"}, {{"--tying", "a=b"}}, {}, {}, ""},
        {{"--tying", "--json"}, {{"--tying", "--json"}}, {}, {}, ""},
        {{"--tying="}, {{"--tying", ""}}, {}, {}, ""},
        {{"--json", "--regex"}, {}, {"--json", "--regex"}, {}, ""},
        {{"--", "--json", "-x"}, {}, {}, {"--json", "-x"}, ""},
        {{"-", "x"}, {}, {}, {"-", "x"}, ""},
        {{"-h"}, {}, {}, {}, "", true},
        {{"--json", "--help"}, {}, {"--json"}, {}, "", true},
        {{"--tying"}, {}, {}, {}, "选项 --tying 后面缺少取值。"},
        {{"--json=1"}, {}, {}, {}, "不认识的选项：--json=1。"},
        {{"-x"}, {}, {}, {}, "不认识的选项：-x。"},
        {{"--db", "Sign.db"}, {}, {}, {"Sign.db"}, "不认识的选项：--db。"},
        {{"--bogus", "--ctype"}, {}, {}, {}, "不认识的选项：--bogus。"},
    };
    for (const Case& c : cases) {
        const vesprey::cli::Arguments args(vesprey::cli::evalCommand(), c.argv);
        const std::string shown = ::testing::PrintToString(c.argv);
        EXPECT_EQ(args.error(), c.error) << shown;
        EXPECT_EQ(args.ok(), c.error.empty()) << shown;
        EXPECT_EQ(args.helpRequested(), c.help) << shown;
        EXPECT_EQ(args.positionals(), c.positionals) << shown;
        for (const char* name : {"--tying", "--ctype"}) {
            const auto expected = c.values.find(name);
            EXPECT_EQ(args.value(name), expected == c.values.end()
                                            ? std::nullopt
                                            : std::optional<std::string>(expected->second))
                << shown << " " << name;
        }
        for (const char* name : {"--json", "--regex"}) {
            EXPECT_EQ(args.flag(name),
                      std::find(c.flags.begin(), c.flags.end(), name) != c.flags.end())
                << shown << " " << name;
        }
    }
}

// The man page and the README are written by hand: the man page's section of each command names
// every option the command declares, and the README's command line list has each command's
// synopsis as its --help gives it.
TEST(Declarations, ManPageAndReadmeDescribeEveryCommandAsDeclared) {
    std::string man = vesprey::test::readFile(VESPREY_MAN_PAGE);
    ASSERT_FALSE(man.empty());
    // Roff to plain text: "\-" is a hyphen, "\fB" and the like change the font, "\&" and "\%"
    // print nothing.
    man = std::regex_replace(man, std::regex(R"(\\-)"), "-");
    man = std::regex_replace(man, std::regex(R"(\\f[BIRP]|\\&|\\%)"), "");
    std::map<std::string, std::string> sections;  // ".SS name" to the next .SS or .SH
    for (std::size_t at = man.find("\n.SS "); at != std::string::npos;) {
        const std::size_t title = at + 5;
        const std::size_t body = man.find('\n', title);
        ASSERT_NE(body, std::string::npos);
        at = std::min(man.find("\n.SS ", body), man.find("\n.SH ", body));
        sections[man.substr(title, body - title)] = man.substr(body, at - body);
        if (at != std::string::npos && man.compare(at, 5, "\n.SH ") == 0) {
            at = man.find("\n.SS ", at + 1);
        }
    }
    const std::string readme = vesprey::test::readFile(VESPREY_README);
    const std::size_t block = readme.find("## Command line\n\n```\n");
    ASSERT_NE(block, std::string::npos);
    const std::string commandLine = readme.substr(block, readme.find("```\n", block + 20) - block);
    std::set<std::string> names;
    for (const Command* command : commands()) {
        const std::string name(command->name);
        names.insert(name);
        ASSERT_EQ(sections.count(name), 1u) << "no section " << name << " in the man page";
        for (const Option& option : command->options) {
            EXPECT_TRUE(namesOption(sections[name], option.name))
                << "the man page's " << name << " lacks " << option.name;
        }
        EXPECT_NE(commandLine.find("\n" + vesprey::cli::synopsis(*command) + "\n"),
                  std::string::npos)
            << "README.md lacks: " << vesprey::cli::synopsis(*command);
    }
    for (const auto& [name, text] : sections) {
        EXPECT_EQ(names.count(name), 1u) << "the man page has a section for no command: " << name;
    }
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
