// `sign --notify-on failure:N` and `digest` run as a user runs them, against a site and a webhook
// on 127.0.0.1 and History.db files the passes wrote or the test prepared.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "loopback_server.h"
#include "shell.h"
#include "store/history.h"
#include "store/site_database.h"
#include "text/text.h"

namespace {

namespace fs = std::filesystem;

using vesprey::test::Outcome;
using vesprey::test::quoted;

// The text of a webhook request's JSON body, its "\n" as line breaks.
std::string pushedText(const std::string& request) {
    const std::string start = "\"text\":\"";
    const std::size_t at = request.find(start);
    if (at == std::string::npos) {
        return {};
    }
    std::string text = request.substr(at + start.size());
    text = text.substr(0, text.rfind("\"}"));
    for (std::size_t n = text.find("\\n"); n != std::string::npos; n = text.find("\\n", n + 1)) {
        text.replace(n, 2, "\n");
    }
    return text;
}

class Alerts : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vesprey-cli-alerts-XXXXXX").string();
        dir_ = mkdtemp(pattern.data());
        db_ = dir_ / "Sign.db";
        ASSERT_TRUE(vesprey::createSiteDatabase(db_, nullptr));
        site_->Get("/fail", [](const httplib::Request&, httplib::Response& res) {
            res.status = 500;
            res.set_content("{}", "application/json");
        });
        site_.start();
    }
    void TearDown() override { fs::remove_all(dir_); }

    // vesprey-cli with the webhook pointed at `push`; stderr apart.
    Outcome cli(const std::string& args, const std::string& webhook) {
        return vesprey::test::runCapturingStderr("VESPREY_WEBHOOK_URL=" + quoted(webhook) + " " +
                                                     VESPREY_CLI + " " + args + " --db " +
                                                     quoted(db_.string()),
                                                 dir_);
    }

    void addFailingSite() {
        vesprey::SqlDatabase db;
        ASSERT_TRUE(vesprey::openSiteDatabase(db, db_));
        vesprey::TemplateFields f;
        f.WebName = vesprey::utf8ToAnsi("甲站");
        f.WebLink = site_.url("/fail");
        f.Tying = "msg";
        ASSERT_TRUE(vesprey::addSite(db, f, "sid=1").write);
    }

    fs::path dir_;
    fs::path db_;
    vesprey::test::LocalServer<> site_;
    vesprey::test::RawServer push_;
};

// The first failure of failure:2 stays quiet; the second in a row pushes and says why.
TEST_F(Alerts, FailureStreakPushesFromTheSecondFailedPass) {
    addFailingSite();
    const std::string args = "sign --notify webhook --notify-on failure:2";
    const Outcome first = cli(args, push_.url("/hook"));
    EXPECT_EQ(first.exitCode, 3) << first.err;
    EXPECT_TRUE(push_.requests().empty());
    const Outcome second = cli(args, push_.url("/hook"));
    EXPECT_EQ(second.exitCode, 3) << second.err;
    ASSERT_EQ(push_.requests().size(), 1u);
    EXPECT_EQ(pushedText(push_.requests()[0]),
              "推送原因：甲站连续 2 次失效或失败\n【失败】甲站：{}");
}

TEST_F(Alerts, NotifyOnRefusesWhatIsNoStreak) {
    for (const std::string value : {"failure:0", "failure:31", "failure:", "failure:2x", "fail"}) {
        const Outcome out = cli("sign --notify-on " + value, push_.url("/hook"));
        EXPECT_EQ(out.exitCode, 1) << value;
        EXPECT_NE(out.err.find("--notify-on"), std::string::npos) << value << out.err;
    }
}

class Digest : public Alerts {
protected:
    // Two passes of 甲站, the last one 3 days and some hours ago.
    void prepareHistory() {
        vesprey::HistoryDatabase history;
        ASSERT_TRUE(history.create(db_));
        const double now = vesprey::nowDateTime();
        for (const double ago : {4.25, 3.25}) {
            last_ = vesprey::historyTime(now - ago);
            ASSERT_TRUE(history.appendPass(
                {{last_, 1, 1, vesprey::utf8ToAnsi("甲站"), "success", {}, {}, 200, 5}}));
        }
    }

    std::string last_;  // the time of the last pass
};

TEST_F(Digest, PrintsAndPushesTheSameLinesTheFirstSayingThatNoPassRan) {
    prepareHistory();
    const Outcome out = cli("digest --notify webhook", push_.url("/hook"));
    EXPECT_EQ(out.exitCode, 0) << out.err;
    EXPECT_EQ(out.out.substr(0, out.out.find('\n')), "已经超过 3 天没有签到了：最近一次签到在 " +
                                                         last_.substr(0, 16) +
                                                         "，请检查定时签到是否还在运行");
    ASSERT_EQ(push_.requests().size(), 1u);
    EXPECT_EQ(pushedText(push_.requests()[0]) + "\n", out.out);
    EXPECT_NE(push_.requests()[0].find("\"title\":\"签到摘要（最近 7 天）\""), std::string::npos)
        << push_.requests()[0];
}

TEST_F(Digest, AFailedPushStillPrintsAndExitsWithFour) {
    prepareHistory();
    const std::string closed =
        "http://127.0.0.1:" + std::to_string(vesprey::test::closedPort()) + "/hook";
    const Outcome out = cli("digest --notify webhook", closed);
    EXPECT_EQ(out.exitCode, 4);
    EXPECT_NE(out.out.find("甲站（账号 1）：签到 2/"), std::string::npos) << out.out;
    EXPECT_EQ(out.err.substr(0, std::string("推送失败：").size()), "推送失败：") << out.err;
}

TEST_F(Digest, BadDaysAndAnUnreadableHistoryAreRefused) {
    const Outcome none = cli("digest", push_.url("/hook"));
    EXPECT_EQ(none.exitCode, 0);
    EXPECT_EQ(none.out.substr(0, none.out.find('\n')),
              "还没有任何签到记录：请检查定时签到是否开着（vesprey-cli sign）");
    for (const std::string days : {"0", "401", "7d"}) {
        EXPECT_EQ(cli("digest --days " + days, push_.url("/hook")).exitCode, 1) << days;
    }
    std::ofstream(dir_ / "History.db") << "this is no database, only a text file of some length.";
    const Outcome damaged = cli("digest", push_.url("/hook"));
    EXPECT_EQ(damaged.exitCode, 2);
    EXPECT_EQ(damaged.out, "");
    EXPECT_NE(damaged.err.find("无法读取签到历史"), std::string::npos) << damaged.err;
}

}  // namespace
