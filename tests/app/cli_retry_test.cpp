// `vesprey-cli sign --retry N` and `--gap MIN[-MAX]` run as a user runs them, against a site on
// loopback: the retried account's tries in --json and in History.db, the gap between two
// accounts of one host as the site saw it, and the options' bad values. The waits before retries
// are shortened by the tests' environment variable; the gaps are real and short.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "loopback_server.h"
#include "shell.h"
#include "store/history.h"
#include "store/site_database.h"
#include "text/text.h"

extern "C" const char* __tsan_default_suppressions() {
    return "race:libcpp-httplib.so\n";
}

namespace {

namespace fs = std::filesystem;
using vesprey::test::LocalServer;
using vesprey::test::Outcome;
using vesprey::test::quoted;

// A site whose /flaky answers 503 twice, then signs in; /steady always signs in. Each arrival
// is kept with its time.
class Site {
public:
    Site() {
        server_->Get("/flaky", [this](const httplib::Request&, httplib::Response& res) {
            std::lock_guard lock(mutex_);
            arrivals_.push_back(std::chrono::steady_clock::now());
            if (++flaky_ <= 2) {
                res.status = 503;
                res.set_content("稍后再试", "text/plain");
                return;
            }
            res.set_content("{\"msg\":\"签到成功\"}", "application/json");
        });
        server_->Get("/steady", [this](const httplib::Request&, httplib::Response& res) {
            std::lock_guard lock(mutex_);
            arrivals_.push_back(std::chrono::steady_clock::now());
            res.set_content("{\"msg\":\"签到成功\"}", "application/json");
        });
        server_.start();
    }
    std::string url(const std::string& path) const { return server_.url(path); }
    std::vector<std::chrono::steady_clock::time_point> arrivals() {
        std::lock_guard lock(mutex_);
        return arrivals_;
    }

private:
    std::mutex mutex_;
    int flaky_ = 0;
    std::vector<std::chrono::steady_clock::time_point> arrivals_;
    LocalServer<> server_;
};

class CliRetry : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vesprey-retry-XXXXXX").string();
        dir_ = mkdtemp(pattern.data());
        db_ = dir_ / "Sign.db";
        ASSERT_TRUE(vesprey::createSiteDatabase(db_, nullptr));
        ASSERT_TRUE(vesprey::openSiteDatabase(sql_, db_));
    }
    void TearDown() override { fs::remove_all(dir_); }

    void add(const std::string& name, const std::string& url) {
        vesprey::TemplateFields f;
        f.WebName = vesprey::utf8ToAnsi(name);
        f.WebLink = url;
        f.Qtype = vesprey::RequestMethod::Get;
        f.Rtype = vesprey::AnswerType::Json;
        f.Ctype = 1;  // the site answers in UTF-8
        f.Tying = "msg";
        ASSERT_TRUE(vesprey::addSite(sql_, f, "a=1").write);
    }

    // `environment` goes before the program ("NAME=value ").
    Outcome sign(const std::string& options, const std::string& environment = "") {
        return vesprey::test::runCapturingStderr(environment + std::string(VESPREY_CLI) + " sign " +
                                                     options + " --db " + quoted(db_.string()),
                                                 dir_);
    }

    fs::path dir_;
    fs::path db_;
    vesprey::SqlDatabase sql_;
};

TEST_F(CliRetry, ARetriedAccountSaysItsTriesInJsonAndHistory) {
    Site site;
    add("甲站", site.url("/flaky"));
    add("乙站", site.url("/steady"));
    const Outcome outcome = sign("--json --retry 3", "VESPREY_TEST_WAIT_DIVISOR=1000 ");
    ASSERT_EQ(outcome.exitCode, 0) << outcome.out << outcome.err;
    const nlohmann::json out = nlohmann::json::parse(outcome.out, nullptr, false);
    ASSERT_TRUE(out.is_object()) << outcome.out;
    const auto& accounts = out["accounts"];
    ASSERT_EQ(accounts.size(), 2U);
    EXPECT_EQ(accounts[0]["verdict"], "success");
    EXPECT_EQ(accounts[0]["tries"], 3);
    EXPECT_EQ(accounts[0]["result"], "重试 2 次后成功：签到成功");
    EXPECT_EQ(accounts[1]["tries"], 1);
    EXPECT_EQ(accounts[1]["result"], "签到成功");
    EXPECT_EQ(site.arrivals().size(), 4U);
    EXPECT_NE(outcome.err.find("1 个账号稍后第 1 次重试，约 "), std::string::npos) << outcome.err;
    EXPECT_NE(outcome.err.find("1 个账号稍后第 2 次重试，约 "), std::string::npos) << outcome.err;

    vesprey::HistoryDatabase history;
    ASSERT_TRUE(history.open(db_).ok());
    std::vector<vesprey::HistoryEntry> rows;
    std::vector<int> tries;
    ASSERT_TRUE(history.readDays(1, vesprey::nowDateTime(), rows, tries).ok());
    EXPECT_EQ(tries, (std::vector<int>{3, 1}));
    ASSERT_EQ(rows.size(), 2U);
    EXPECT_EQ(vesprey::ansiToUtf8(rows[0].result), "重试 2 次后成功：签到成功");
}

TEST_F(CliRetry, WithoutRetryAFailedAccountIsTriedOnce) {
    Site site;
    add("甲站", site.url("/flaky"));
    const Outcome outcome = sign("--json --no-history");
    EXPECT_EQ(outcome.exitCode, 3) << outcome.out << outcome.err;
    const nlohmann::json out = nlohmann::json::parse(outcome.out, nullptr, false);
    ASSERT_TRUE(out.is_object()) << outcome.out;
    EXPECT_EQ(out["accounts"][0]["tries"], 1);
    EXPECT_EQ(out["accounts"][0]["verdict"], "failed");
    EXPECT_EQ(site.arrivals().size(), 1U);
}

TEST_F(CliRetry, AccountsOfOneHostAreSpacedByTheGap) {
    Site site;
    add("甲站", site.url("/steady"));
    add("乙站", site.url("/steady"));
    add("丙站", site.url("/steady"));
    const Outcome outcome = sign("--no-history --gap 0.2-0.3");
    ASSERT_EQ(outcome.exitCode, 0) << outcome.out << outcome.err;
    const auto arrivals = site.arrivals();
    ASSERT_EQ(arrivals.size(), 3U);
    for (std::size_t i = 1; i < arrivals.size(); ++i) {
        EXPECT_GE(arrivals[i] - arrivals[i - 1], std::chrono::milliseconds(200));
    }
}

TEST_F(CliRetry, BadValuesAreRefusedWithWhatIsAllowed) {
    struct Case {
        const char* options;
        const char* says;
    };
    const Case cases[] = {
        {"--retry 6", "--retry 只能是 0 到 5 之间的整数，不是 6。"},
        {"--retry x", "--retry 只能是 0 到 5 之间的整数，不是 x。"},
        {"--retry -1", "--retry 只能是 0 到 5 之间的整数"},
        {"--gap abc", "--gap 只能是 0 到 600 之间的秒数"},
        {"--gap 601", "--gap 只能是 0 到 600 之间的秒数"},
        {"--gap 1.2345", "--gap 只能是 0 到 600 之间的秒数"},
        {"--gap 2-", "--gap 只能是 0 到 600 之间的秒数"},
        {"--gap 5-2", "--gap 的前一个数不能大于后一个：5-2。"},
    };
    for (const Case& c : cases) {
        const Outcome outcome = sign(c.options);
        EXPECT_EQ(outcome.exitCode, 1) << c.options;
        EXPECT_NE(outcome.err.find(c.says), std::string::npos) << c.options << ": " << outcome.err;
    }
}

}  // namespace
