// CookieCloud's data: decrypted in both forms as the openssl command line encrypts them, read
// into cookies, picked for an address as a browser picks them and merged into an account's
// cookie; and downloaded from a server on 127.0.0.1.
#include "engine/cookie_cloud.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cookie_cloud_server.h"

namespace vesprey {
namespace {

const std::string kUuid = "k7Qp2xMvWn";
const std::string kPassword = "端到端 secret";

// Two domains' cookies, as the extension uploads them.
const std::string kPlain =
    "{\"cookie_data\":{"
    "\"example.com\":[{\"domain\":\".example.com\",\"name\":\"sid\",\"value\":\"s1\","
    "\"path\":\"/\",\"secure\":false,\"httpOnly\":true,\"hostOnly\":false,\"session\":true},"
    "{\"domain\":\"example.com\",\"name\":\"theme\",\"value\":\"dark\",\"path\":\"/\","
    "\"hostOnly\":true,\"expirationDate\":4102444800}],"
    "\"other.org\":[{\"domain\":\"other.org\",\"name\":\"o\",\"value\":\"1\",\"path\":\"/\"},"
    "{\"domain\":\"other.org\",\"name\":\"bad\",\"value\":\"a\\u0001b\",\"path\":\"/\"}]},"
    "\"local_storage_data\":{\"example.com\":{\"k\":\"v\"}},\"update_time\":\"2026-01-01\"}";

std::vector<std::string> namesOf(const std::vector<const CloudCookie*>& cookies) {
    std::vector<std::string> names;
    for (const CloudCookie* cookie : cookies) {
        names.push_back(cookie->name + "=" + cookie->value);
    }
    return names;
}

TEST(CookieCloudPassphrase, IsTheFirstSixteenHexDigitsOfMd5OfUuidDashPassword) {
    EXPECT_EQ(cookieCloudPassphrase(kUuid, kPassword), test::cloudPassphrase(kUuid, kPassword));
    EXPECT_EQ(cookieCloudPassphrase(kUuid, kPassword).size(), 16u);
}

// Both forms, as the server names them and as they are told apart without a name.
TEST(CookieCloudAnswer, DecryptsBothFormsMadeByTheOpensslCommand) {
    const std::string passphrase = test::cloudPassphrase(kUuid, kPassword);
    const std::string legacy = test::legacyEncrypted(kPlain, passphrase);
    const std::string fixed = test::fixedIvEncrypted(kPlain, passphrase);
    ASSERT_TRUE(legacy.starts_with("U2FsdGVkX1")) << legacy;  // "Salted__"
    ASSERT_FALSE(fixed.empty());
    const CookieCloudAccess access{"http://unused", kUuid, kPassword};
    for (const std::string& answer :
         {test::cloudAnswer(legacy), test::cloudAnswer(legacy, "legacy"), test::cloudAnswer(fixed),
          test::cloudAnswer(fixed, "aes-128-cbc-fixed")}) {
        const CookieCloudData data = readCookieCloudAnswer(answer, access);
        ASSERT_FALSE(data.failure) << ansiToUtf8(data.failure.message) << " " << answer;
        ASSERT_EQ(data.cookies.size(), 3u);
        EXPECT_EQ(data.leftOut, 1u);  // the one with a control character
        EXPECT_EQ(data.cookies[0].name, "sid");
        EXPECT_EQ(data.cookies[0].domain, ".example.com");
        EXPECT_FALSE(data.cookies[0].expires);
        EXPECT_TRUE(data.cookies[0].httpOnly);
        EXPECT_EQ(data.cookies[1].expires, 4102444800.0);
        EXPECT_EQ(data.cookies[1].hostOnly, std::optional<bool>(true));
        EXPECT_EQ(data.cookies[2].domain, "other.org");
    }
}

// What goes wrong is told apart, each as its own sentence.
TEST(CookieCloudAnswer, SaysWhyDataCannotBeRead) {
    const std::string passphrase = test::cloudPassphrase(kUuid, kPassword);
    const std::string legacy = test::legacyEncrypted(kPlain, passphrase);
    const std::string fixed = test::fixedIvEncrypted(kPlain, passphrase);
    const CookieCloudAccess right{"http://unused", kUuid, kPassword};
    const CookieCloudAccess wrong{"http://unused", kUuid, "wrong"};
    struct Case {
        std::string answer;
        CookieCloudAccess access;
        CookieCloudError error;
    };
    const std::vector<Case> cases = {
        {test::cloudAnswer(legacy), wrong, CookieCloudError::WrongPassword},
        {test::cloudAnswer(fixed, "aes-128-cbc-fixed"), wrong, CookieCloudError::WrongPassword},
        {test::cloudAnswer(legacy.substr(0, legacy.size() - 8)), right, CookieCloudError::Damaged},
        {test::cloudAnswer("not*base64!"), right, CookieCloudError::Damaged},
        {test::cloudAnswer(fixed, "legacy"), right, CookieCloudError::Damaged},
        {test::cloudAnswer(legacy, "aes-256-gcm"), right, CookieCloudError::NotCookieCloud},
        {"{\"uuid\":\"x\"}", right, CookieCloudError::NotCookieCloud},
        {"<html>502 Bad Gateway</html>", right, CookieCloudError::NotCookieCloud},
        {test::cloudAnswer(test::legacyEncrypted("[1,2]", passphrase)), right,
         CookieCloudError::WrongPassword},
    };
    for (const Case& c : cases) {
        const CookieCloudData data = readCookieCloudAnswer(c.answer, c.access);
        EXPECT_EQ(data.failure.code, c.error) << c.answer;
        EXPECT_FALSE(data.failure.message.empty());
        EXPECT_TRUE(data.cookies.empty());
    }
}

// The cookies a browser sends to an address, by domain, path, secure and expiry; longer paths
// first.
TEST(CookiesForAddress, PicksWhatABrowserWouldSend) {
    auto cookie = [](std::string name, std::string domain, std::string path,
                     std::optional<bool> hostOnly = std::nullopt) {
        CloudCookie made;
        made.name = name;
        made.value = name + "v";
        made.domain = std::move(domain);
        made.path = std::move(path);
        made.hostOnly = hostOnly;
        return made;
    };
    std::vector<CloudCookie> cookies = {
        cookie("dot", ".example.com", "/"),
        cookie("host", "example.com", "/", true),
        cookie("bare", "example.com", "/", false),
        cookie("app", ".example.com", "/app"),
        cookie("slash", ".example.com", "/app/"),
        cookie("sec", ".example.com", "/"),
        cookie("old", ".example.com", "/"),
        cookie("later", ".example.com", "/"),
        cookie("ip", "127.0.0.1", "/"),
        cookie("ipdot", ".0.0.1", "/"),
        cookie("nopath", "www.example.com", ""),
    };
    cookies[5].secure = true;
    cookies[6].expires = 999.0;
    cookies[7].expires = 1001.0;
    const double now = 1000.0;
    struct Case {
        std::string address;
        std::vector<std::string> sent;
    };
    const std::vector<Case> cases = {
        {"http://example.com/", {"dot=dotv", "host=hostv", "bare=barev", "later=laterv"}},
        {"https://example.com/",
         {"dot=dotv", "host=hostv", "bare=barev", "sec=secv", "later=laterv"}},
        {"http://www.example.com/x", {"dot=dotv", "bare=barev", "later=laterv", "nopath=nopathv"}},
        {"http://WWW.Example.COM:8080/",
         {"dot=dotv", "bare=barev", "later=laterv", "nopath=nopathv"}},
        {"http://a.b.example.com./", {"dot=dotv", "bare=barev", "later=laterv"}},
        {"http://badexample.com/", {}},
        {"http://example.com.cn/", {}},
        {"http://example.com/app",
         {"app=appv", "dot=dotv", "host=hostv", "bare=barev", "later=laterv"}},
        {"http://example.com/app/x?y=/z",
         {"slash=slashv", "app=appv", "dot=dotv", "host=hostv", "bare=barev", "later=laterv"}},
        {"http://example.com/apple", {"dot=dotv", "host=hostv", "bare=barev", "later=laterv"}},
        {"http://user:pw@example.com/#/app",
         {"dot=dotv", "host=hostv", "bare=barev", "later=laterv"}},
        {"http://127.0.0.1:5000/sign", {"ip=ipv"}},
        {"ftp://example.com/", {}},
        {"example.com/", {}},
    };
    for (const Case& c : cases) {
        const CookieChoice choice = cookiesForAddress(cookies, c.address, now);
        EXPECT_EQ(namesOf(choice.sent), c.sent) << c.address;
    }
    const CookieChoice home = cookiesForAddress(cookies, "http://example.com/", now);
    EXPECT_EQ(home.expired, std::vector<Text>{"old"});
}

// Of two cookies of one name the one with the longer path is sent, once; an expired one of a
// name that is sent anyway is not called expired.
TEST(CookiesForAddress, SendsEachNameOnceTheMostSpecificFirst) {
    std::vector<CloudCookie> cookies(3);
    cookies[0].name = "sid";
    cookies[0].value = "root";
    cookies[0].domain = ".example.com";
    cookies[0].path = "/";
    cookies[1] = cookies[0];
    cookies[1].value = "app";
    cookies[1].path = "/app";
    cookies[2] = cookies[0];
    cookies[2].value = "stale";
    cookies[2].expires = 1.0;
    const CookieChoice choice = cookiesForAddress(cookies, "http://www.example.com/app/x", 10.0);
    EXPECT_EQ(namesOf(choice.sent), std::vector<std::string>{"sid=app"});
    EXPECT_TRUE(choice.expired.empty());
}

// The account's cookie with the browser's merged in: names that change, never values.
TEST(MergeCloudCookies, ReplacesAddsAndRemovesByName) {
    CloudCookie sid;
    sid.name = "sid";
    sid.value = "new";
    CloudCookie lang;
    lang.name = "lang";
    lang.value = "zh";
    struct Case {
        std::string stored;
        std::vector<const CloudCookie*> sent;
        std::vector<Text> expired;
        std::string cookie;
        std::vector<Text> added, changed, removed;
    };
    const std::vector<Case> cases = {
        {"", {&sid}, {}, "sid=new", {"sid"}, {}, {}},
        {"sid=old; uid=7", {&sid}, {}, "sid=new; uid=7", {}, {"sid"}, {}},
        {"uid=7;sid=old", {&sid, &lang}, {}, "uid=7; sid=new; lang=zh", {"lang"}, {"sid"}, {}},
        {"uid=7; old=1", {}, {"old"}, "uid=7", {}, {}, {"old"}},
        {"uid=7", {}, {"old"}, "uid=7", {}, {}, {}},
        // Nothing differs: the stored bytes stay as they are, spacing included.
        {"uid=7 ;sid=new", {&sid}, {}, "uid=7 ;sid=new", {}, {}, {}},
        {"a=1", {}, {}, "a=1", {}, {}, {}},
    };
    for (const Case& c : cases) {
        CookieChoice choice;
        choice.sent = c.sent;
        choice.expired = c.expired;
        const CookieMerge merge = mergeCloudCookies(c.stored, choice);
        EXPECT_EQ(merge.cookie, c.cookie) << c.stored;
        EXPECT_EQ(merge.added, c.added) << c.stored;
        EXPECT_EQ(merge.changed, c.changed) << c.stored;
        EXPECT_EQ(merge.removed, c.removed) << c.stored;
        EXPECT_EQ(merge.differs(), merge.cookie != c.stored) << c.stored;
    }
}

TEST(CookieCloudAddress, IsTheServerThenGetAndTheUuid) {
    EXPECT_EQ(cookieCloudAddress({"https://cc.example.com/", "a b", "p"}),
              "https://cc.example.com/get/a%20b");
    EXPECT_EQ(cookieCloudAddress({"http://h:8088/cookie", "u", "p"}), "http://h:8088/cookie/get/u");
    EXPECT_EQ(cookieCloudAddress({"cc.example.com", "u", "p"}), "");
    EXPECT_EQ(cookieCloudAddress({"ftp://cc.example.com", "u", "p"}), "");
}

// The download from a server on 127.0.0.1: both forms, a wrong password, a damaged answer, an
// unknown UUID, a server that is down, settings that are missing.
TEST(FetchCookieCloud, DownloadsAndSaysWhyNot) {
    test::CookieCloudServer server(kUuid);
    const std::string passphrase = test::cloudPassphrase(kUuid, kPassword);
    const CookieCloudAccess access{server.url(), kUuid, kPassword};

    server.serve(test::cloudAnswer(test::legacyEncrypted(kPlain, passphrase)));
    EXPECT_EQ(fetchCookieCloud(access).cookies.size(), 3u);
    server.serve(
        test::cloudAnswer(test::fixedIvEncrypted(kPlain, passphrase), "aes-128-cbc-fixed"));
    EXPECT_EQ(fetchCookieCloud(access).cookies.size(), 3u);

    struct Case {
        CookieCloudAccess access;
        std::string answer;
        int status;
        CookieCloudError error;
    };
    const std::vector<Case> cases = {
        {{server.url(), kUuid, "wrong"},
         test::cloudAnswer(test::legacyEncrypted(kPlain, passphrase)),
         200,
         CookieCloudError::WrongPassword},
        {access, "{\"encrypted\":\"U2FsdGVkX1", 200, CookieCloudError::NotCookieCloud},
        {access, test::cloudAnswer("U2FsdGVkX19hYmNk"), 200, CookieCloudError::Damaged},
        {access, "{}", 500, CookieCloudError::Status},
        {{server.url(), "another", kPassword}, "{}", 200, CookieCloudError::Status},
        {{"", kUuid, kPassword}, "{}", 200, CookieCloudError::NotSet},
        {{server.url(), kUuid, ""}, "{}", 200, CookieCloudError::NotSet},
        {{"cc.example.com", kUuid, kPassword}, "{}", 200, CookieCloudError::BadAddress},
    };
    for (const Case& c : cases) {
        server.serve(c.answer, c.status);
        const CookieCloudData data = fetchCookieCloud(c.access);
        EXPECT_EQ(data.failure.code, c.error)
            << c.answer << " " << ansiToUtf8(data.failure.message);
    }
    const int asked = server.requests();
    server.stop();
    const CookieCloudData down = fetchCookieCloud(access);
    EXPECT_EQ(down.failure.code, CookieCloudError::Unreachable);
    EXPECT_NE(ansiToUtf8(down.failure.message).find("连不上 CookieCloud 服务器"),
              std::string::npos);
    EXPECT_EQ(asked, 7);  // the settings that are missing or wrong asked nothing
}

}  // namespace
}  // namespace vesprey
