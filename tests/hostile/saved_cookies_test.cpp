// `sign --save-cookies` while the user or another program changes Sign.db during the pass: a
// cookie is written back only over the cookie the pass read, and the rows left are named.
#include <chrono>
#include <thread>

#include "hostile.h"

namespace vesprey::hostile {
namespace {

class SavedCookies : public HostilePass {
protected:
    void SetUp() override {
        HostilePass::SetUp();
        // Every account signs in and gets a new token, once the test lets its request through.
        site_->Get("/held", [this](const httplib::Request&, httplib::Response& response) {
            site_.pass();
            response.set_header("Set-Cookie", "tok=cB_" + std::to_string(++site_.requests));
            response.set_content(R"({"msg":"\u7b7e\u5230\u6210\u529f"})", "application/json");
        });
        site_.start();
    }

    // Runs `sign --save-cookies` with the site's gate closed; `meanwhile` runs once the first
    // request waits at the gate, then the requests go through.
    Outcome signWhile(const std::function<void()>& meanwhile) {
        site_.closeGate();
        Outcome out;
        std::thread pass([&] { out = sign("--save-cookies"); });
        while (site_.waiting == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        meanwhile();
        site_.openGate();
        pass.join();
        return out;
    }
};

TEST_F(SavedCookies, ARowChangedOrDeletedDuringThePassIsLeftAsItIsAndNamed) {
    addSite("手动站", site_.url("/held"), "tok=OLD");
    addSite("删除站", site_.url("/held"), "tok=OLD");
    addSite("原样站", site_.url("/held"), "tok=OLD");
    const Outcome out = signWhile([&] {
        changeSignDb("update WebCookie set Cookie='tok=MANUAL; sess=fresh' where Cid=1");
        changeSignDb("delete from WebCookie where Cid=2");
    });
    EXPECT_EQ(out.exitCode, 0) << out.err;
    EXPECT_NE(out.err.find("已保存 1 个更新的 Cookie。"), std::string::npos) << out.err;
    EXPECT_NE(out.err.find("这些账号的 Cookie 在签到期间被改动或删除，没有覆盖：手动站、删除站。"),
              std::string::npos)
        << out.err;
    EXPECT_EQ(cookieOf(1), "tok=MANUAL; sess=fresh");
    EXPECT_EQ(cookieOf(2), "(none)");  // not made again
    EXPECT_EQ(cookieOf(3), "tok=cB_3");
}

TEST_F(SavedCookies, NothingChangedMeanwhileSavesEveryRenewedCookieWithoutANote) {
    addSite("甲站", site_.url("/held"), "tok=OLD");
    addSite("乙站", site_.url("/held"), "tok=OLD");
    const Outcome out = signWhile([] {});
    EXPECT_EQ(out.exitCode, 0) << out.err;
    EXPECT_NE(out.err.find("已保存 2 个更新的 Cookie。"), std::string::npos) << out.err;
    EXPECT_EQ(out.err.find("没有覆盖"), std::string::npos) << out.err;
    EXPECT_EQ(cookieOf(1), "tok=cB_1");
    EXPECT_EQ(cookieOf(2), "tok=cB_2");
}

}  // namespace
}  // namespace vesprey::hostile
