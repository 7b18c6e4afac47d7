// The command-line program against what an unattended pass meets: sites and push services on
// 127.0.0.1 that misbehave, and Sign.db files that are broken, busy or half made. Each test runs
// the real vesprey-cli as cron would and checks its exit code, its output and the file.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "loopback_server.h"
#include "shell.h"
#include "store/history.h"
#include "store/site_database.h"
#include "text/text.h"

namespace vesprey::hostile {

namespace fs = std::filesystem;
using test::Outcome;

// vesprey-cli run in the background, for a test that acts while the pass runs: its standard
// output and error go to files of the test's folder. Killed if the test never waits for it.
class RunningCli {
public:
    RunningCli(const std::string& command, const fs::path& dir)
        : out_(dir / "background-stdout.txt"), err_(dir / "background-stderr.txt") {
        const std::string line = "exec " + command + " >" + test::quoted(out_.string()) + " 2>" +
                                 test::quoted(err_.string());
        pid_ = ::fork();
        if (pid_ == 0) {
            ::execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    ~RunningCli() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    RunningCli(const RunningCli&) = delete;
    RunningCli& operator=(const RunningCli&) = delete;

    void signal(int number) const { ::kill(pid_, number); }
    // What it wrote to stderr so far.
    std::string err() const { return test::readFile(err_); }
    // Waits for its end: the exit code (-1 when a signal ended it) and what it wrote.
    Outcome finish() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        Outcome outcome;
        outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        outcome.out = test::readFile(out_);
        outcome.err = test::readFile(err_);
        return outcome;
    }

private:
    fs::path out_;
    fs::path err_;
    pid_t pid_ = -1;
};

// Waits until `condition` holds, for a minute at most; false when it never did.
inline bool eventually(const std::function<bool()>& condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class Hostile : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vesprey-hostile-XXXXXX").string();
        dir_ = mkdtemp(pattern.data());
        db_ = dir_ / "Sign.db";
        Text error;
        ASSERT_TRUE(createSiteDatabase(db_, &error)) << ansiToUtf8(error);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Adds a site with its first account (whose cookie may be empty); texts are UTF-8.
    int addSite(const std::string& name, const std::string& link, const std::string& cookie,
                const std::string& tying = "msg", int rtype = 1, int qtype = 1,
                const std::string& headers = {}) {
        SqlDatabase db;
        EXPECT_TRUE(openSiteDatabase(db, db_));
        TemplateFields fields;
        fields.WebName = utf8ToAnsi(name);
        fields.Weblogin = "http://127.0.0.1/login";
        fields.WebLink = link;
        fields.Qtype = storedMethod(qtype);
        fields.Rtype = storedAnswerType(rtype);
        fields.Tying = utf8ToAnsi(tying);
        fields.Headers = headers;
        const AddSiteResult added = vesprey::addSite(db, fields, cookie);
        EXPECT_TRUE(added.write) << ansiToUtf8(added.write.error);
        return added.id;
    }

    // The cookie (UTF-8) of the account row `cid`; "(none)" when there is no such row.
    std::string cookieOf(int cid) {
        SqlDatabase db;
        EXPECT_TRUE(openSiteDatabase(db, db_));
        SqlStatement stmt =
            db.prepare("select Cookie from WebCookie where Cid=" + std::to_string(cid));
        return stmt.step() ? ansiToUtf8(stmt.columnText(0)) : "(none)";
    }

    // Runs one statement on Sign.db, as another program would.
    void changeSignDb(const std::string& sql) {
        SqlDatabase db;
        ASSERT_TRUE(openSiteDatabase(db, db_));
        ASSERT_EQ(db.prepare(sql).stepCode(), kSqliteDone) << ansiToUtf8(db.errorMessage());
    }

    void setPushKey(int channel, const std::string& key) {
        SqlDatabase db;
        ASSERT_TRUE(openSiteDatabase(db, db_));
        ASSERT_TRUE(updatePushKey(db, channel, key));
    }

    // Runs vesprey-cli with `args` (already quoted where needed) and `environment` ("NAME=value
    // NAME2=value2 ", placed before the program); stderr comes back apart from stdout.
    Outcome cli(const std::string& args, const std::string& environment = {}) {
        return test::runCapturingStderr(cliCommand(args, environment), dir_);
    }
    // The same command, left running.
    std::unique_ptr<RunningCli> startCli(const std::string& args,
                                         const std::string& environment = {}) {
        return std::make_unique<RunningCli>(cliCommand(args, environment), dir_);
    }
    std::string cliCommand(const std::string& args, const std::string& environment) const {
        return environment + std::string(VESPREY_CLI) + " " + args + " --db " + test::quoted(db_);
    }

    // The printed row of the only account, or of the given one.
    static std::string row(const Outcome& out, int number = 1) {
        const std::string start = "\n" + std::to_string(number) + " ";
        const std::size_t at = out.out.find(start);
        return at == std::string::npos
                   ? std::string()
                   : out.out.substr(at + 1, out.out.find('\n', at + 1) - at - 1);
    }

    // Every row History.db holds, oldest first.
    std::vector<HistoryEntry> storedRows() {
        HistoryDatabase history;
        std::vector<HistoryEntry> rows;
        EXPECT_TRUE(history.open(db_).ok());
        EXPECT_TRUE(history.readDays(10 * kHistoryKeepDays, nowDateTime(), rows).ok());
        return rows;
    }

    fs::path dir_;
    fs::path db_;
};

// A pass's fixture: `site_` for the test's own routes (started by the test's SetUp) and a Bark
// service on 127.0.0.1, with the key in Sign.db, that counts the pushes and keeps the path of
// the last one; `sign` runs vesprey-cli sign pushing there.
class HostilePass : public Hostile {
protected:
    void SetUp() override {
        Hostile::SetUp();
        push_->Get(R"(/bark/[\s\S]*)",
                   [this](const httplib::Request& request, httplib::Response& response) {
                       ++push_.requests;
                       lastPush_ = request.path;
                       response.set_content(R"({"code":200})", "application/json");
                   });
        push_.start();
        setPushKey(1, "key");
    }

    Outcome sign(const std::string& options) {
        return cli("sign " + options,
                   "VESPREY_BARK_URL=" + test::quoted(push_.url("/bark/")) + " ");
    }

    test::LocalServer<> site_;
    test::LocalServer<> push_;
    std::string lastPush_;  // written by the push server's thread before it answers
};

}  // namespace vesprey::hostile
