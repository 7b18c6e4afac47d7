// `vesprey-cli cookiecloud` and `sign --cookiecloud` run as a user runs them, against a real
// Sign.db, a CookieCloud server and sign-in sites on 127.0.0.1.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "cookie_cloud_server.h"
#include "loopback_server.h"
#include "shell.h"
#include "store/site_database.h"
#include "text/text.h"

namespace vesprey {
namespace {

namespace fs = std::filesystem;
using test::Outcome;
using test::quoted;

const std::string kUuid = "u9XeR2";
const std::string kPassword = "p@ss word";

// The browser's cookies for 127.0.0.1: one the account has with another value, one it lacks.
std::string cloudPlain() {
    return "{\"cookie_data\":{\"127.0.0.1\":["
           "{\"domain\":\"127.0.0.1\",\"name\":\"sid\",\"value\":\"fresh\",\"path\":\"/\","
           "\"hostOnly\":true},"
           "{\"domain\":\"127.0.0.1\",\"name\":\"lang\",\"value\":\"zh\",\"path\":\"/\","
           "\"hostOnly\":true}]},\"local_storage_data\":{}}";
}

class CookieCloudCli : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vesprey-cloud-XXXXXX").string();
        dir_ = mkdtemp(pattern.data());
        db_ = dir_ / "Sign.db";
        for (test::LocalServer<>* site : {&first_, &second_}) {
            (*site)->Get("/sign", [this](const httplib::Request& req, httplib::Response& res) {
                std::lock_guard lock(mutex_);
                received_[req.local_addr] = req.get_header_value("Cookie");
                res.set_content(utf8ToAnsi("{\"msg\":\"签到成功\"}"), "application/json");
            });
        }
        first_.start("127.0.0.1");
        second_.start("127.0.0.2");
        ASSERT_TRUE(createSiteDatabase(db_, nullptr));
        ASSERT_TRUE(openSiteDatabase(file_, db_));
        add("甲站", first_.url("/sign"), "sid=old; uid=7");
        add("乙站", second_.url("/sign"), "k=1");
        passphrase_ = test::cloudPassphrase(kUuid, kPassword);
        cloud_.serve(test::cloudAnswer(test::legacyEncrypted(cloudPlain(), passphrase_)));
    }
    void TearDown() override { fs::remove_all(dir_); }

    void add(std::string_view name, const std::string& link, std::string_view cookie) {
        TemplateFields fields;
        fields.WebName = utf8ToAnsi(name);
        fields.WebLink = link;
        fields.Tying = "msg";
        ASSERT_TRUE(addSite(file_, fields, cookie).write);
    }

    // Runs the program with `input` on its standard input; stderr apart.
    Outcome cli(const std::string& args, const std::string& input = {}) {
        const std::string command =
            std::string(VESPREY_CLI) + " " + args + " --db " + quoted(db_.string());
        return test::runCapturingStderr(input.empty()
                                            ? command + " </dev/null"
                                            : "printf '%s' " + quoted(input) + " | " + command,
                                        dir_);
    }
    void saveSettings() {
        const Outcome saved =
            cli("cookiecloud --url " + quoted(cloud_.url()) + " --uuid " + kUuid + " --password -",
                kPassword);
        ASSERT_EQ(saved.exitCode, 0) << saved.out << saved.err;
    }

    std::vector<std::string> cookies() {
        std::vector<std::string> held;
        for (const SiteTemplate& site : loadSiteList(file_)) {
            held.push_back(site.Cookie);
        }
        return held;
    }
    std::string received(const std::string& address) {
        std::lock_guard lock(mutex_);
        return received_[address];
    }

    fs::path dir_;
    fs::path db_;
    SqlDatabase file_;
    test::LocalServer<> first_;
    test::LocalServer<> second_;
    test::CookieCloudServer cloud_{kUuid};
    std::string passphrase_;
    std::mutex mutex_;
    std::map<std::string, std::string> received_;  // by the site's address
};

TEST_F(CookieCloudCli, SavesTheSettingsThenShowsWhatWouldChangeByNameOnly) {
    const Outcome shown = cli(
        "cookiecloud --url " + quoted(cloud_.url() + "/") + " --uuid " + kUuid + " --password -",
        kPassword + "\n");
    ASSERT_EQ(shown.exitCode, 0) << shown.out << shown.err;
    EXPECT_EQ(shown.out,
              "已保存 CookieCloud 的设置。\n"
              "CookieCloud 里有 2 个 Cookie。\n"
              "  账号 1  甲站：新增 lang；更改 sid\n"
              "  账号 2  乙站：浏览器里没有这个网站的 Cookie\n"
              "有 1 个账号的 Cookie 与浏览器的不同；加 --apply 写进 Sign.db。\n");
    EXPECT_EQ(shown.err, "");
    EXPECT_EQ(shown.out.find("fresh"), std::string::npos);
    EXPECT_EQ(cookies(), (std::vector<std::string>{"sid=old; uid=7", "k=1"}));
    EXPECT_EQ(readSetting(file_, "CookieCloudUrl"), cloud_.url() + "/");
    EXPECT_EQ(readSetting(file_, "CookieCloudUuid"), kUuid);
    EXPECT_EQ(readSetting(file_, "CookieCloudPassword"),
              kPassword);  // its final line break dropped
}

// --apply writes the cookies that differ; a second run finds nothing to do. The fixed-IV form
// reads the same.
TEST_F(CookieCloudCli, ApplyWritesTheBrowsersCookiesIntoTheAccounts) {
    saveSettings();
    cloud_.serve(
        test::cloudAnswer(test::fixedIvEncrypted(cloudPlain(), passphrase_), "aes-128-cbc-fixed"));
    const Outcome applied = cli("cookiecloud --apply");
    ASSERT_EQ(applied.exitCode, 0) << applied.out << applied.err;
    EXPECT_NE(applied.out.find("已从 CookieCloud 同步 1 个账号的 Cookie：甲站（账号 1）。\n"),
              std::string::npos)
        << applied.out;
    EXPECT_EQ(cookies(), (std::vector<std::string>{"sid=fresh; uid=7; lang=zh", "k=1"}));

    const Outcome again = cli("cookiecloud --apply");
    ASSERT_EQ(again.exitCode, 0) << again.out << again.err;
    EXPECT_NE(again.out.find("  账号 1  甲站：与浏览器的相同\n"), std::string::npos) << again.out;
    EXPECT_NE(again.out.find("没有需要改动的 Cookie。\n"), std::string::npos) << again.out;
}

// A wrong password, a damaged answer, a server that is down, settings that are missing: one
// sentence on stderr, exit code 7, nothing changed.
TEST_F(CookieCloudCli, FailuresSayWhyAndChangeNothing) {
    struct Case {
        std::string setup;  // the options given first, if any
        std::string input;
        std::string answer;
        std::string said;
    };
    const std::string legacy = test::legacyEncrypted(cloudPlain(), passphrase_);
    const std::string good = test::cloudAnswer(legacy);
    const std::vector<Case> cases = {
        {"", "", good, "还没有设置 CookieCloud 的服务器地址、UUID、密码（Cookie 都没有改动）。\n"},
        {"--url " + quoted(cloud_.url()) + " --uuid " + kUuid + " --password -", "wrong", good,
         "用这个 UUID 和密码解不开 CookieCloud 的数据"},
        {"--password -", kPassword, test::cloudAnswer(legacy.substr(0, 40)),
         "CookieCloud 服务器给的加密数据已损坏"},
        {"", "", "<html>bad gateway</html>", "CookieCloud 服务器的答复里没有加密的 Cookie 数据"},
        {"--uuid other", "", good, "CookieCloud 服务器答复 HTTP 404"},
    };
    for (const Case& c : cases) {
        cloud_.serve(c.answer);
        const Outcome failed = cli("cookiecloud --apply " + c.setup, c.input);
        EXPECT_EQ(failed.exitCode, 7) << c.setup << failed.out << failed.err;
        EXPECT_NE(failed.err.find(c.said), std::string::npos) << failed.err;
        EXPECT_EQ(failed.err.find('\n'), failed.err.size() - 1) << failed.err;  // one line
        EXPECT_EQ(failed.out.find("CookieCloud 里有"), std::string::npos) << failed.out;
        EXPECT_EQ(cookies(), (std::vector<std::string>{"sid=old; uid=7", "k=1"}));
    }
    cli("cookiecloud --uuid " + kUuid);
    cloud_.stop();
    const Outcome down = cli("cookiecloud --apply");
    EXPECT_EQ(down.exitCode, 7);
    EXPECT_NE(down.err.find("连不上 CookieCloud 服务器（"), std::string::npos) << down.err;
    EXPECT_EQ(cookies(), (std::vector<std::string>{"sid=old; uid=7", "k=1"}));
}

// The password is never taken from the command line, and nothing is saved then.
TEST_F(CookieCloudCli, RefusesAPasswordOnTheCommandLine) {
    const Outcome refused = cli("cookiecloud --uuid " + kUuid + " --password hunter2");
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("--password -"), std::string::npos) << refused.err;
    EXPECT_EQ(readSetting(file_, "CookieCloudUuid"), std::nullopt);
    EXPECT_EQ(readSetting(file_, "CookieCloudPassword"), std::nullopt);
}

// sign --cookiecloud signs with the synced cookies; when the sync fails it signs with the stored
// ones and exits with 7.
TEST_F(CookieCloudCli, SignSyncsBeforeThePass) {
    saveSettings();
    const Outcome signedIn = cli("sign --cookiecloud --no-history");
    ASSERT_EQ(signedIn.exitCode, 0) << signedIn.out << signedIn.err;
    EXPECT_NE(signedIn.err.find("已从 CookieCloud 同步 1 个账号的 Cookie：甲站（账号 1）。"),
              std::string::npos)
        << signedIn.err;
    EXPECT_EQ(received("127.0.0.1"), "sid=fresh; uid=7; lang=zh");
    EXPECT_EQ(received("127.0.0.2"), "k=1");

    ASSERT_TRUE(updateWebCookie(file_, 1, "sid=old"));
    cloud_.serve(test::cloudAnswer(test::legacyEncrypted(cloudPlain(), "another")));
    const Outcome failed = cli("sign --cookiecloud --no-history");
    EXPECT_EQ(failed.exitCode, 7) << failed.out << failed.err;
    EXPECT_NE(failed.err.find("解不开 CookieCloud 的数据"), std::string::npos) << failed.err;
    EXPECT_EQ(received("127.0.0.1"), "sid=old");
    EXPECT_EQ(cookies(), (std::vector<std::string>{"sid=old", "k=1"}));

    // Without the option nothing is asked of the server.
    const int asked = cloud_.requests();
    EXPECT_EQ(cli("sign --no-history").exitCode, 0);
    EXPECT_EQ(cloud_.requests(), asked);
}

}  // namespace
}  // namespace vesprey
