// The browser's cookies planned into the accounts of a real Sign.db and written there: a row
// changed meanwhile is never overwritten, and accounts of one site that hold different cookies
// are left alone.
#include "session/cookie_cloud_sync.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

namespace vesprey {
namespace {

namespace fs = std::filesystem;

class CookieCloudSyncTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vesprey-sync-XXXXXX").string();
        dir_ = mkdtemp(pattern.data());
        ASSERT_TRUE(createSiteDatabase(dir_ / "Sign.db", nullptr));
        ASSERT_TRUE(openSiteDatabase(db_, dir_ / "Sign.db"));
        CloudCookie sid;
        sid.name = "sid";
        sid.value = "fresh";
        sid.domain = ".example.com";
        sid.path = "/";
        data_.cookies.push_back(sid);
    }
    void TearDown() override { fs::remove_all(dir_); }

    int add(std::string_view name, std::string_view link, std::string_view cookie) {
        TemplateFields fields;
        fields.WebName = utf8ToAnsi(name);
        fields.WebLink = link;
        const AddSiteResult added = addSite(db_, fields, cookie);
        EXPECT_TRUE(added.write);
        return static_cast<int>(db_.lastInsertId());
    }
    std::map<int, Text> cookies() {
        std::map<int, Text> held;
        EXPECT_TRUE(readWebCookies(db_, held).ok());
        return held;
    }

    fs::path dir_;
    SqlDatabase db_;
    CookieCloudData data_;
};

TEST_F(CookieCloudSyncTest, NeverWritesOverARowChangedMeanwhile) {
    const int kept = add("甲站", "https://www.example.com/sign", "sid=old");
    const int changed = add("乙站", "https://bbs.example.com/sign", "sid=old2");
    const CookieCloudSync sync = planCookieCloudSync(data_, loadSiteList(db_), unixNow());
    ASSERT_EQ(sync.changing(), 2u);
    ASSERT_TRUE(updateWebCookie(db_, changed, "sid=typed-by-hand"));

    const CookieSaveResult saved = applyCookieCloudSync(db_, sync);
    ASSERT_TRUE(saved.written);
    EXPECT_EQ(saved.saved, std::vector<int>{kept});
    EXPECT_EQ(saved.changed, std::vector<int>{changed});
    EXPECT_EQ(cookies()[kept], "sid=fresh");
    EXPECT_EQ(cookies()[changed], "sid=typed-by-hand");
    EXPECT_EQ(ansiToUtf8(syncedAccountsText(sync, saved.changed)),
              "乙站（账号 " + std::to_string(changed) + "）");
}

// Two accounts of one host with different cookies: the browser is logged in as one of them at
// most. Two with the same cookie (two templates of one login) both take the browser's.
TEST_F(CookieCloudSyncTest, LeavesAccountsOfOneSiteWithDifferentCookiesAlone) {
    const int first = add("甲站", "https://www.example.com/sign", "sid=a");
    const int second = add("甲站", "https://www.example.com/sign", "sid=b");
    const int third = add("丙站", "https://other.example.com/a", "sid=c");
    const int fourth = add("丙站任务", "https://other.example.com/b", "sid=c");
    const CookieCloudSync sync = planCookieCloudSync(data_, loadSiteList(db_), unixNow());
    ASSERT_EQ(sync.accounts.size(), 4u);
    EXPECT_TRUE(sync.accounts[0].shared);
    EXPECT_TRUE(sync.accounts[1].shared);
    EXPECT_FALSE(sync.accounts[2].shared);
    EXPECT_FALSE(sync.accounts[3].shared);
    EXPECT_EQ(
        ansiToUtf8(sharedAccountsText(sync)),
        "同一网站有几个账号、Cookie 各不相同，不知道浏览器登录的是哪一个，没有同步：甲站（账号 " +
            std::to_string(first) + "、" + std::to_string(second) + "）");

    ASSERT_TRUE(applyCookieCloudSync(db_, sync).written);
    EXPECT_EQ(
        cookies(),
        (std::map<int, Text>{
            {first, "sid=a"}, {second, "sid=b"}, {third, "sid=fresh"}, {fourth, "sid=fresh"}}));
}

// A failure of the data is carried over, and nothing is planned.
TEST_F(CookieCloudSyncTest, AFailureOfTheDataPlansNothing) {
    add("甲站", "https://www.example.com/sign", "sid=old");
    data_.failure.code = CookieCloudError::WrongPassword;
    const CookieCloudSync sync = planCookieCloudSync(data_, loadSiteList(db_), unixNow());
    EXPECT_EQ(sync.failure.code, CookieCloudError::WrongPassword);
    EXPECT_TRUE(sync.accounts.empty());
    EXPECT_EQ(applyCookieCloudSync(db_, sync).saved, std::vector<int>{});
    EXPECT_EQ(cookies().begin()->second, "sid=old");
}

// The settings go into Setting rows and come back as given; a part not given stays.
TEST_F(CookieCloudSyncTest, KeepsTheSettingsInSettingRows) {
    ASSERT_TRUE(writeCookieCloudAccess(db_, "https://cc.example.com", "uu", "密码 1"));
    ASSERT_TRUE(writeCookieCloudAccess(db_, std::nullopt, "vv", std::nullopt));
    const CookieCloudAccess access = readCookieCloudAccess(db_);
    EXPECT_EQ(access.url, "https://cc.example.com");
    EXPECT_EQ(access.uuid, "vv");
    EXPECT_EQ(access.password, "密码 1");
    EXPECT_EQ(readSetting(db_, kCookieCloudPasswordSetting), utf8ToAnsi("密码 1"));
}

}  // namespace
}  // namespace vesprey
