// The verdict of one account, rule by rule in the order they are tried, against a site on
// 127.0.0.1.
#include "engine/verdict.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/messages.h"
#include "loopback_server.h"

namespace vesprey {
namespace {

class RecordedMessages : public MessageSink {
public:
    void showMessage(const Text& text, const Text&, MessageIcon) override {
        shown.push_back(ansiToUtf8(text));
    }
    std::vector<std::string> shown;
};

class VerdictTest : public ::testing::Test {
protected:
    void SetUp() override {
        site_->Get(R"(/status/(\d+))",
                   [](const httplib::Request& request, httplib::Response& response) {
                       response.status = std::stoi(request.matches[1]);
                       response.set_content(R"({"msg":"签到成功"})", "application/json");
                   });
        site_->Get("/to-login", [](const httplib::Request&, httplib::Response& response) {
            response.set_redirect("/member/login.php?from=sign");
        });
        site_->Get("/to-passport", [](const httplib::Request&, httplib::Response& response) {
            response.set_redirect("/Passport/enter");
        });
        site_->Get("/to-home", [](const httplib::Request&, httplib::Response& response) {
            response.set_redirect("/home");
        });
        site_->Get(R"(/(member/login\.php|Passport/enter|home))",
                   [](const httplib::Request&, httplib::Response& response) {
                       response.set_content("<html>welcome</html>", "text/html");
                   });
        site_->Get("/say", [](const httplib::Request& request, httplib::Response& response) {
            response.set_content(request.get_param_value("text"), "text/plain");
        });
        site_.start();
    }

    // The verdict of a GET of `path` whose answer is taken as JSON with the statement `tying`.
    AccountVerdict verdictOf(const std::string& path, const VerdictRules& rules = {},
                             const std::string& tying = {}) {
        url_ = site_.url(path);
        AccountRequest request;
        request.url = url_;
        request.cookie = "sid=1";
        request.extraction = tying.empty() ? Extraction::None : Extraction::Json;
        const Text statement = utf8ToAnsi(tying);
        request.tying = statement;
        const AccountAnswer outcome = requestAccount(request, messages_);
        return decideVerdict(outcome, login_, rules, messages_);
    }
    std::string say(const std::string& utf8) {
        return "/say?text=" + httplib::detail::encode_query_param(utf8);
    }
    static VerdictRules rules(const std::string& success, const std::string& already,
                              const std::string& expired) {
        return {utf8ToAnsi(success), utf8ToAnsi(already), utf8ToAnsi(expired)};
    }

    test::LocalServer<> site_;
    std::string url_;
    std::string login_ = "http://127.0.0.1/member/login.php";
    RecordedMessages messages_;
};

void expectVerdict(const AccountVerdict& got, Verdict verdict, const std::string& reason) {
    EXPECT_EQ(verdictName(got.verdict), verdictName(verdict)) << ansiToUtf8(got.reason);
    EXPECT_EQ(ansiToUtf8(got.reason), reason);
}

TEST_F(VerdictTest, NoAnswerFailsWithTheErrorInWords) {
    url_ = "http://127.0.0.1:" + std::to_string(test::closedPort()) + "/";
    AccountRequest request;
    request.url = url_;
    const AccountAnswer outcome = requestAccount(request, messages_);
    expectVerdict(decideVerdict(outcome, login_, {}, messages_), Verdict::Failed, "无法连接");
}

TEST_F(VerdictTest, UnauthorisedAndForbiddenAreExpiredWhateverTheTextSays) {
    expectVerdict(verdictOf("/status/401"), Verdict::Expired, "HTTP 401");
    expectVerdict(verdictOf("/status/403"), Verdict::Expired, "HTTP 403");
}

TEST_F(VerdictTest, ARedirectToALoginPageIsExpired) {
    // The template's login page (host compared with its port, query ignored)...
    login_ = site_.url("/member/login.php");
    expectVerdict(verdictOf("/to-login"), Verdict::Expired, "跳转到登录页");
    // ...or any path that names a login, whatever its case.
    login_ = "https://elsewhere.example/";
    expectVerdict(verdictOf("/to-passport"), Verdict::Expired, "跳转到登录页");
    expectVerdict(verdictOf("/to-home"), Verdict::Unknown, "");
}

TEST_F(VerdictTest, TheTemplatesRulesComeBeforeTheBuiltInOnesInTheirOrder) {
    // The built-in rules would call this a success ("签到成功"); the template knows better.
    const std::string path = say(R"({"msg":"签到成功","points":0,"state":"LIMIT"})");
    expectVerdict(verdictOf(path, rules("", "limit", "")), Verdict::Already, "规则：已签判定");
    expectVerdict(verdictOf(path, rules("points", "limit", "state")), Verdict::Expired,
                  "规则：失效判定");
    expectVerdict(verdictOf(path), Verdict::Success, "内置：成功");
}

TEST_F(VerdictTest, BuiltInRulesTryExpiredThenAlreadyThenSuccess) {
    expectVerdict(verdictOf(say("签到成功，但今日已签")), Verdict::Already, "内置：已签到");
    expectVerdict(verdictOf(say("Already done, token expired")), Verdict::Expired,
                  "内置：Cookie失效");
    expectVerdict(verdictOf(say("请先登录")), Verdict::Expired, "内置：Cookie失效");
    expectVerdict(verdictOf(say("SUCCESS")), Verdict::Success, "内置：成功");
}

TEST_F(VerdictTest, TheResultIsSearchedBeforeTheWholeAnswer) {
    // The result says already; the rest of the answer says success: the result wins.
    const std::string path = say(R"({"msg":"今日已签","tip":"签到成功可获得奖励"})");
    expectVerdict(verdictOf(path, {}, "msg"), Verdict::Already, "内置：已签到");
    // A rule that misses the result is still tried on the whole answer.
    expectVerdict(verdictOf(path, rules("", "", "tip"), "msg"), Verdict::Expired, "规则：失效判定");
}

TEST_F(VerdictTest, ServerErrorsWithoutAKnownTextFailAndTheRestIsUnknown) {
    site_->Get("/broken", [](const httplib::Request&, httplib::Response& response) {
        response.status = 502;
        response.set_content("bad gateway", "text/plain");
    });
    expectVerdict(verdictOf("/broken"), Verdict::Failed, "HTTP 502");
    expectVerdict(verdictOf(say("hello")), Verdict::Unknown, "");
}

TEST_F(VerdictTest, AnInvalidRuleIsLeftOutWithAMessage) {
    const AccountVerdict got = verdictOf(say("签到成功"), rules("", "", "(unclosed"));
    expectVerdict(got, Verdict::Success, "内置：成功");
    ASSERT_EQ(messages_.shown.size(), 1u);
    EXPECT_NE(messages_.shown[0].find("失效判定"), std::string::npos) << messages_.shown[0];
    EXPECT_NE(messages_.shown[0].find("第 10 个字符"), std::string::npos) << messages_.shown[0];
}

TEST(VerdictCounts, NameTheFourThatMatterAndUnknownWhenThereAreSome) {
    VerdictCounts counts{};
    counts[static_cast<std::size_t>(Verdict::Success)] = 12;
    counts[static_cast<std::size_t>(Verdict::Already)] = 3;
    counts[static_cast<std::size_t>(Verdict::Expired)] = 1;
    EXPECT_EQ(ansiToUtf8(verdictCountsText(counts)), "成功 12 · 已签 3 · 失效 1 · 失败 0");
    counts[static_cast<std::size_t>(Verdict::Unknown)] = 2;
    EXPECT_EQ(ansiToUtf8(verdictCountsText(counts)), "成功 12 · 已签 3 · 失效 1 · 失败 0 · 未知 2");
}

}  // namespace
}  // namespace vesprey
