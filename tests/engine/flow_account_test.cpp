// What a pass makes of a multi-step run without a network: the verdict rule by rule, the inputs
// an account still lacks, and how a trial shows secrets.
#include "engine/flow_account.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/messages.h"
#include "engine/verdict.h"

namespace vesprey {
namespace {

class NoMessages final : public MessageSink {
public:
    void showMessage(const Text&, const Text&, MessageIcon) override { ++shown; }
    int shown = 0;
};

FlowOutcome failedAt(int status, std::string location = {}, std::string answer = {}) {
    FlowOutcome outcome;
    outcome.message = utf8ToAnsi("第 1 步失败：答复不符合成功条件“ok”（content）");
    outcome.lastStatus = status;
    outcome.location = std::move(location);
    outcome.lastUrl = "https://bbs.test/forum.php?mod=sign";
    outcome.lastAnswer = utf8ToAnsi(answer);
    return outcome;
}

FlowOutcome passedWith(const std::string& result) {
    FlowOutcome outcome;
    outcome.passed = true;
    outcome.result = utf8ToAnsi(result);
    outcome.steps = 3;
    return outcome;
}

TEST(FlowVerdict, EachRuleInItsTurn) {
    FlowOutcome unanswered = failedAt(0);
    unanswered.answered = false;
    unanswered.message = utf8ToAnsi("第 2 步的请求没有得到答复：连接被拒绝");
    VerdictRules own;
    own.already = utf8ToAnsi("明天再来");
    const struct {
        const char* name;
        FlowOutcome outcome;
        Verdict verdict;
        const char* reason;
    } cases[] = {
        {"no answer", unanswered, Verdict::Failed, "第 2 步的请求没有得到答复：连接被拒绝"},
        {"401", failedAt(401), Verdict::Expired,
         "HTTP 401，第 1 步失败：答复不符合成功条件“ok”（content）"},
        {"to the login page, relative", failedAt(302, "member.php?mod=logging&action=login"),
         Verdict::Expired, "跳转到登录页，第 1 步失败：答复不符合成功条件“ok”（content）"},
        {"to a signin path", failedAt(301, "//bbs.test/user/signin"), Verdict::Expired,
         "跳转到登录页，第 1 步失败：答复不符合成功条件“ok”（content）"},
        {"to the home page", failedAt(302, "/home"), Verdict::Failed,
         "第 1 步失败：答复不符合成功条件“ok”（content）"},
        {"an expired answer", failedAt(200, "", "{\"msg\":\"请先登录\"}"), Verdict::Expired,
         "内置：Cookie失效，第 1 步失败：答复不符合成功条件“ok”（content）"},
        {"a plain failure", failedAt(200, "", "表单无效"), Verdict::Failed,
         "第 1 步失败：答复不符合成功条件“ok”（content）"},
        {"every step", passedWith("全部 3 步完成"), Verdict::Success, "全部 3 步通过"},
        {"a log that says done", passedWith("今天已签到，明天再来"), Verdict::Already,
         "规则：已签判定"},
        {"a log the built-in rules know", passedWith("您今天已经签到过了"), Verdict::Already,
         "内置：已签到"},
        {"success is the default", passedWith("获得 5 积分"), Verdict::Success, "全部 3 步通过"},
    };
    for (const auto& c : cases) {
        NoMessages messages;
        const AccountVerdict verdict = decideFlowVerdict(
            c.outcome, "https://bbs.test/member.php?mod=logging&action=login", own, messages);
        EXPECT_EQ(verdictName(verdict.verdict), verdictName(c.verdict)) << c.name;
        EXPECT_EQ(ansiToUtf8(verdict.reason), c.reason) << c.name;
    }
}

TEST(FlowAccount, MissingInputsAreTheFlowsInItsOrder) {
    flow::Flow flow;
    flow.inputs = {"cookie", "username", "password"};
    const struct {
        std::map<std::string, std::string> inputs;
        bool hasCookie;
        std::vector<std::string> missing;
    } cases[] = {
        {{}, false, {"cookie", "username", "password"}},
        {{{"username", "me"}, {"password", ""}}, true, {"password"}},
        {{{"username", "me"}, {"password", "x"}, {"other", ""}}, true, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(missingInputs(flow, c.inputs, c.hasCookie), c.missing);
    }
}

TEST(FlowAccount, SecretsAreShortenedWhereverTheyAreShown) {
    const struct {
        const char* name;
        const char* value;
        const char* shown;
    } values[] = {
        {"password", "hunter2", "******"},
        {"PassWd", "x", "******"},
        {"cookie", "sid=0123456789", "sid=01…（14 字）"},
        {"csrf_token", "短的", "短的"},
        {"access_token", "abcdefgh", "abcdef…（8 字）"},
        {"username", "me@example.com", "me@example.com"},
        {"msg", "签到成功，获得了二十五个积分以及一张抽奖券和一个勋章", "签到成功，获…（26 字）"},
    };
    for (const auto& v : values) {
        EXPECT_EQ(shownValue(v.name, v.value), v.shown) << v.name;
    }
    EXPECT_EQ(shownUrl("https://a.test/s?uid=7&token=0123456789abc&pwd=x#top"),
              "https://a.test/s?uid=7&token=012345…（13 字）&pwd=******#top");
    EXPECT_EQ(shownUrl("https://a.test/plain"), "https://a.test/plain");
}

}  // namespace
}  // namespace vesprey
