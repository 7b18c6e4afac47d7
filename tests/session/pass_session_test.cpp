// A pass from Sign.db to its end as both programs go through it: what prepare reads from the
// files, and what finish writes into History.db and Sign.db. A real Sign.db and History.db, a
// site on 127.0.0.1.
#include "session/pass_session.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "engine/messages.h"
#include "loopback_server.h"
#include "store/history.h"
#include "store/push_channels.h"

namespace vesprey {
namespace {

namespace fs = std::filesystem;

class Quiet final : public PassObserver, public MessageSink {
public:
    void rowStarted(std::size_t, const PassRow&) override {}
    void rowFinished(std::size_t, const AccountReport&) override {}
    void passFinished(const VerdictCounts&, std::stop_token) override {}
    void showMessage(const Text&, const Text&, MessageIcon) override {}
};

class Session : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vesprey-session-XXXXXX").string();
        dir_ = mkdtemp(pattern.data());
        path_ = dir_ / "Sign.db";
        ASSERT_TRUE(createSiteDatabase(path_, nullptr));
        ASSERT_TRUE(openSiteDatabase(db_, path_));
        site_->Get("/renew", [](const httplib::Request&, httplib::Response& res) {
            res.set_header("Set-Cookie", "sid=new; Path=/");
            res.set_content(utf8ToAnsi("{\"msg\":\"签到成功\"}"), "application/json");
        });
        site_->Get("/expired", [](const httplib::Request&, httplib::Response& res) {
            res.status = 401;
            res.set_header("Set-Cookie", "sid=gone; Path=/");
            res.set_content("{}", "application/json");
        });
        site_.start();
        renewId_ = add("续期站", "/renew", "sid=old");
        add("失效站", "/expired", "sid=old");
        add("无账号站", "/renew", {});
    }
    void TearDown() override { fs::remove_all(dir_); }

    int add(std::string_view name, const std::string& path, std::string_view cookie) {
        TemplateFields f;
        f.WebName = utf8ToAnsi(name);
        f.WebLink = site_.url(path);
        f.Tying = "msg";
        if (cookie.empty()) {
            EXPECT_TRUE(insertTemplate(db_, f));
            return *selectMaxTemplateId(db_);
        }
        return addSite(db_, f, cookie).id;
    }

    PassSession session(std::vector<std::string> channels = {}) {
        PassPlan plan;
        plan.rows = passRows(loadSiteList(db_));
        plan.channels = std::move(channels);
        return PassSession(db_, path_, std::move(plan));
    }

    fs::path dir_;
    fs::path path_;
    SqlDatabase db_;
    test::LocalServer<> site_;
    int renewId_ = 0;
};

TEST_F(Session, PrepareReadsTheRulesTheNamedChannelsSettingsAndTheCookiesExpiry) {
    ASSERT_TRUE(saveVerdictRules(db_, renewId_, {"", "", "gone"}));
    ASSERT_TRUE(saveChannelSettings(db_, "ntfy", R"({"topic":"t"})"));
    HistoryDatabase history;
    ASSERT_TRUE(history.create(path_));
    ASSERT_TRUE(
        history.saveCookieExpiry({1, historyTime(nowDateTime() + 2), historyTime(nowDateTime())}));

    // Channels that keep no JSON settings do not have them read.
    PassSession bark = session({"bark"});
    const PassPreparation barkRead = bark.prepare(false);
    EXPECT_TRUE(barkRead.rules.ok() && barkRead.channelSettings.ok());
    EXPECT_EQ(bark.plan().rules.at(renewId_).expired, "gone");
    EXPECT_TRUE(bark.plan().channelSettings.empty());
    EXPECT_TRUE(bark.plan().cookieDaysLeft.empty());
    EXPECT_EQ(bark.time().size(), 19u);  // "yyyy-MM-dd HH:mm:ss"

    PassSession ntfy = session({"bark", "ntfy"});
    ntfy.prepare(true);
    EXPECT_EQ(ntfy.plan().channelSettings.at("ntfy"), R"({"topic":"t"})");
    const std::vector<std::optional<int>> days = {2, std::nullopt, std::nullopt};
    EXPECT_EQ(ntfy.plan().cookieDaysLeft, days);
}

TEST_F(Session, FinishKeepsEveryRowAndSavesOnlyTheCookiesOfAccountsThatWentWell) {
    PassSession pass = session();
    pass.prepare(false);
    Quiet quiet;
    const PassResult result = pass.run(quiet, quiet);
    ASSERT_TRUE(pass.writeHistory(result));
    const CookieSave save = pass.saveRenewedCookies(result);
    EXPECT_TRUE(save.written && save.any);
    EXPECT_EQ(save.saved, 1);

    // The renewed cookie of the account that signed in; the expired one keeps its old cookie.
    const SiteList stored = loadSiteList(db_);
    EXPECT_EQ(stored[0].Cookie, "sid=new");
    EXPECT_EQ(stored[1].Cookie, "sid=old");

    HistoryDatabase history;
    std::vector<HistoryEntry> rows;
    ASSERT_TRUE(history.open(path_).ok());
    ASSERT_TRUE(history.readDays(1, nowDateTime(), rows).ok());
    ASSERT_EQ(rows.size(), 3u);
    for (const HistoryEntry& row : rows) {
        EXPECT_EQ(row.time, pass.time());
    }
    EXPECT_EQ(rows[0].verdict, "success");
    EXPECT_EQ(rows[1].verdict, "expired");
    EXPECT_EQ(rows[2].verdict, "skipped");

    // What the list keeps for a pass without a reload: the merged cookies, the expired one's
    // too; the row that was not requested stays as it was.
    SiteList kept = loadSiteList(db_);
    keepRequestState(result, kept);
    EXPECT_EQ(kept[1].Cookie, "sid=gone");
    EXPECT_EQ(kept[2].Cookie, "");
}

TEST_F(Session, ACookieChangedWhileThePassRanIsLeftAndItsRowNamed) {
    PassSession pass = session();
    pass.prepare(false);
    Quiet quiet;
    const PassResult result = pass.run(quiet, quiet);
    ASSERT_TRUE(updateWebCookie(db_, 1, "sid=MANUAL"));  // the user, while the pass ran
    const CookieSave save = pass.saveRenewedCookies(result);
    EXPECT_TRUE(save.written && save.any);
    EXPECT_EQ(save.saved, 0);
    EXPECT_EQ(save.changedRows, (std::vector<std::size_t>{0}));
    EXPECT_EQ(ansiToUtf8(changedCookiesText(save, pass.plan())),
              "这些账号的 Cookie 在签到期间被改动或删除，没有覆盖：续期站");
    EXPECT_EQ(loadSiteList(db_)[0].Cookie, "sid=MANUAL");
}

TEST_F(Session, ACookieKeptByTheProgramSinceAnEarlierPassIsSavedOverTheFilesCookie) {
    // The window keeps what the sites set between passes without saving it: its rows then hold
    // a cookie the file does not. The file's cookie at the start of the pass is the one written
    // over.
    PassPlan plan;
    plan.rows = passRows(loadSiteList(db_));
    plan.rows[0].site.Cookie = "sid=kept";
    PassSession pass(db_, path_, std::move(plan));
    pass.prepare(false);
    Quiet quiet;
    const PassResult result = pass.run(quiet, quiet);
    const CookieSave save = pass.saveRenewedCookies(result);
    EXPECT_TRUE(save.written);
    EXPECT_EQ(save.saved, 1);
    EXPECT_TRUE(save.changedRows.empty());
    EXPECT_EQ(loadSiteList(db_)[0].Cookie, "sid=new");
}

}  // namespace
}  // namespace vesprey
