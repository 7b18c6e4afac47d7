// What `sign` tells cron and scripts: verdicts, the JSON report, exit codes, pushing only on
// failure, and saving renewed cookies only when asked.
#include <fstream>
#include <nlohmann/json.hpp>

#include "hostile.h"

namespace vesprey::hostile {
namespace {

using nlohmann::json;

class Verdicts : public HostilePass {
protected:
    void SetUp() override {
        HostilePass::SetUp();
        site_->Get("/ok", [](const httplib::Request&, httplib::Response& response) {
            response.set_header("Set-Cookie", "fresh=1");
            response.set_content(R"({"msg":"\u7b7e\u5230\u6210\u529f"})", "application/json");
        });
        site_->Get("/again", [](const httplib::Request&, httplib::Response& response) {
            response.set_content(R"({"msg":"\u4eca\u65e5\u5df2\u7b7e\u5230"})", "application/json");
        });
        site_->Get("/gone", [](const httplib::Request&, httplib::Response& response) {
            response.status = 401;
            response.set_header("Set-Cookie", "fresh=2");
            response.set_content(R"({"msg":"\u8bf7\u767b\u5f55"})", "application/json");
        });
        site_.start();
    }
};

TEST_F(Verdicts, JsonReportsEveryRowInOrderAndTheExitCodeSaysSomethingNeedsTheUser) {
    addSite("好站", site_.url("/ok"), "a=1");
    addSite("失效站", site_.url("/gone"), "b=1");
    addSite("关站", "http://127.0.0.1:" + std::to_string(test::closedPort()) + "/", "c=1");
    addSite("无号站", site_.url("/ok"), "");
    const Outcome out = sign("--json");
    EXPECT_EQ(out.exitCode, 3) << out.err;
    const json report = json::parse(out.out);
    ASSERT_EQ(report["accounts"].size(), 4u);
    const json& ok = report["accounts"][0];
    EXPECT_EQ(ok["row"], 1);
    EXPECT_EQ(ok["site"], "好站");
    EXPECT_EQ(ok["id"], 1);
    EXPECT_EQ(ok["cid"], 1);
    EXPECT_EQ(ok["verdict"], "success");
    EXPECT_EQ(ok["reason"], "内置：成功");
    EXPECT_EQ(ok["result"], "签到成功");
    EXPECT_EQ(ok["status"], 200);
    EXPECT_GE(ok["ms"].get<int>(), 0);
    EXPECT_EQ(report["accounts"][1]["verdict"], "expired");
    EXPECT_EQ(report["accounts"][1]["reason"], "HTTP 401");
    EXPECT_EQ(report["accounts"][2]["verdict"], "failed");
    EXPECT_EQ(report["accounts"][2]["reason"], "无法连接");
    EXPECT_EQ(report["accounts"][2]["status"], 0);
    EXPECT_EQ(report["accounts"][3]["verdict"], "skipped");
    EXPECT_EQ(report["counts"], json::parse(R"({"success":1,"already":0,"expired":1,
                                                "failed":1,"unknown":0,"skipped":1})"));
    EXPECT_TRUE(report["push"].is_null());
}

TEST_F(Verdicts, PushOnlyOnFailureAsksWhetherAnythingNeedsTheUser) {
    addSite("好站", site_.url("/ok"), "a=1");
    addSite("已签站", site_.url("/again"), "b=1");
    Outcome out = sign("--notify bark --notify-on failure --json");
    EXPECT_EQ(out.exitCode, 0) << out.err;
    EXPECT_EQ(json::parse(out.out)["push"],
              json::parse(R"({"channel":"bark","sent":false,"error":"无需推送"})"));
    EXPECT_EQ(push_.requests, 0);

    out = sign("--notify bark --json");  // always, the default
    EXPECT_EQ(out.exitCode, 0) << out.err;
    EXPECT_EQ(json::parse(out.out)["push"]["sent"], true);
    EXPECT_EQ(push_.requests, 1);

    addSite("失效站", site_.url("/gone"), "c=1");
    out = sign("--notify bark --notify-on failure");
    EXPECT_EQ(out.exitCode, 3) << out.err;
    EXPECT_EQ(push_.requests, 2);
    // The line of the account that needs the user is marked; the others are as they were.
    EXPECT_NE(lastPush_.find("\r\n【失效】失效站：请登录\r\n"), std::string::npos) << lastPush_;
    EXPECT_NE(lastPush_.find("/好站：签到成功\r\n已签站："), std::string::npos) << lastPush_;
}

TEST_F(Verdicts, AFailedPushWinsOverExpiredAccounts) {
    addSite("失效站", site_.url("/gone"), "c=1");
    const Outcome out =
        cli("sign --notify bark",
            "VESPREY_BARK_URL=http://127.0.0.1:" + std::to_string(test::closedPort()) + "/ ");
    EXPECT_EQ(out.exitCode, 4) << out.err;
}

TEST_F(Verdicts, RenewedCookiesAreSavedOnlyWhenAskedAndOnlyForAccountsThatWentWell) {
    addSite("好站", site_.url("/ok"), "a=1");
    addSite("失效站", site_.url("/gone"), "b=1");
    addSite("已签站", site_.url("/again"), "c=1");
    const std::string before = test::readFile(db_);
    Outcome out = sign("");
    EXPECT_EQ(out.exitCode, 3) << out.err;
    EXPECT_EQ(test::readFile(db_), before);  // a pass writes nothing

    out = sign("--save-cookies");
    EXPECT_EQ(out.exitCode, 3) << out.err;
    EXPECT_NE(out.err.find("已保存 1 个更新的 Cookie"), std::string::npos) << out.err;
    EXPECT_EQ(cookieOf(1), "fresh=1; a=1");
    EXPECT_EQ(cookieOf(2), "b=1");  // expired: its new cookie is not kept
    EXPECT_EQ(cookieOf(3), "c=1");  // nothing renewed
}

TEST_F(Verdicts, TemplateRulesComeWithTheSharedTemplateAndAnInvalidOneIsRefused) {
    const fs::path shared = dir_ / "rules.json";
    std::ofstream(shared) << R"({"网站":"规则站","签到链接":")" << site_.url("/ok")
                          << R"(","绑定语句":"msg","失效判定":"签到成功"})";
    ASSERT_EQ(cli("import --cookie a=1 " + test::quoted(shared.string())).exitCode, 0);
    const Outcome out = sign("--json");
    EXPECT_EQ(out.exitCode, 3) << out.err;
    EXPECT_EQ(json::parse(out.out)["accounts"][0]["reason"], "规则：失效判定");

    std::ofstream(shared, std::ios::trunc) << R"({"网站":"坏规则","成功判定":"ok(("})";
    const Outcome refused = cli("import " + test::quoted(shared.string()));
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("“成功判定”第 5 个字符有误"), std::string::npos) << refused.err;
}

TEST_F(Verdicts, AFileFromBeforeVerdictsSignsAsItDid) {
    addSite("好站", site_.url("/ok"), "a=1");
    {
        SqlDatabase db;
        ASSERT_TRUE(openSiteDatabase(db, db_));
        ASSERT_EQ(db.prepare("drop table Verdict").stepCode(), kSqliteDone);
        ASSERT_EQ(db.prepare("drop table Setting").stepCode(), kSqliteDone);
    }
    const Outcome out = sign("");
    EXPECT_EQ(out.exitCode, 0) << out.err;
    EXPECT_NE(out.out.find("签到成功"), std::string::npos) << out.out;
    EXPECT_EQ(out.err.find("判定规则读不出"), std::string::npos) << out.err;
}

}  // namespace
}  // namespace vesprey::hostile
