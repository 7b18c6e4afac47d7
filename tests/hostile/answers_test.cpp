// Sites that answer too much, too slowly, somewhere else, or that cannot be asked at all.
#include <atomic>
#include <chrono>
#include <thread>

#include "hostile.h"

namespace vesprey::hostile {
namespace {

class HostileSite : public Hostile {
protected:
    void SetUp() override {
        Hostile::SetUp();
        site_->Get("/flood", [](const httplib::Request&, httplib::Response& response) {
            // A terminal escape first, then a megabyte of text that is no JSON.
            response.set_content("\x1b[2J\x07" + std::string(1024 * 1024, 'x'), "text/plain");
        });
        site_->Get("/nested", [](const httplib::Request&, httplib::Response& response) {
            std::string body = "[";
            for (std::size_t i = 0; body.size() < kMaxResponseBody - 8; ++i) {
                body += "[[]],";
            }
            body += "[]]";
            response.set_content(body, "application/json");
        });
        site_->Get("/trickle", [](const httplib::Request&, httplib::Response& response) {
            // Two bytes a second for ten seconds at most, or until the client goes.
            response.set_chunked_content_provider(
                "text/plain", [](std::size_t sent, httplib::DataSink& sink) {
                    if (sent >= 20) {
                        sink.done();
                        return true;
                    }
                    std::this_thread::sleep_for(std::chrono::seconds(1));
                    return sink.write("ab", 2);
                });
        });
        site_->Get("/elsewhere", [this](const httplib::Request&, httplib::Response& response) {
            response.set_redirect("http://localhost:" + std::to_string(site_.port()) + "/seen");
        });
        site_->Get("/seen", [this](const httplib::Request& request, httplib::Response& response) {
            ++site_.requests;
            token_ = request.get_header_value("X-Token");
            response.set_content(R"({"msg":"seen"})", "application/json");
        });
        site_.start();
    }

    test::LocalServer<> site_;
    std::string token_ = "never asked";
};

TEST_F(HostileSite, AFloodIsKeptToFiveHundredCharactersAndPrintedWithoutControls) {
    addSite("洪水", site_.url("/flood"), "a=1");
    const Outcome out = cli("sign");
    EXPECT_EQ(out.exitCode, 0) << out.err;
    EXPECT_LT(out.out.size(), 2000u);
    // Five characters of escape, then 494 of the text and the ellipsis: 500 in all.
    EXPECT_NE(row(out).find("[2J"), std::string::npos) << row(out);
    EXPECT_NE(row(out).find(std::string(494, 'x') + "…"), std::string::npos) << row(out);
    EXPECT_EQ(row(out).find(std::string(495, 'x')), std::string::npos) << row(out);
    EXPECT_EQ(out.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(out.out.find('\x07'), std::string::npos);
}

TEST_F(HostileSite, ANestedAnswerAtTheSizeLimitIsSurvived) {
    addSite("嵌套", site_.url("/nested"), "a=1", "0.0");
    const Outcome out = cli("sign");
    EXPECT_EQ(out.exitCode, 0) << out.err;
    EXPECT_NE(row(out).find("[[[]],[[]]"), std::string::npos) << row(out).substr(0, 200);
    EXPECT_NE(row(out).find("…"), std::string::npos);
}

TEST_F(HostileSite, ATricklingSiteIsCutAtTheDeadline) {
    addSite("涓流", site_.url("/trickle"), "a=1");
    const Outcome out = cli("sign", "VESPREY_TEST_DEADLINE_MS=2000 ");
    EXPECT_EQ(out.exitCode, 3) << out.err;  // the account failed
    // Cut before the site had sent its twenty bytes: nothing of the answer is kept.
    EXPECT_EQ(row(out).find("abab"), std::string::npos) << row(out);
}

TEST_F(HostileSite, ARedirectToAnotherHostLeavesTheTemplatesHeadersBehind) {
    addSite("跳转", site_.url("/elsewhere"), "a=1", "msg", 1, 1, "X-Token: secret");
    const Outcome out = cli("sign");
    EXPECT_EQ(out.exitCode, 0) << out.err;
    EXPECT_NE(row(out).find("seen"), std::string::npos) << out.out;
    EXPECT_EQ(token_, "");
}

TEST_F(HostileSite, AnAccountWhoseCookieHasALineBreakIsNotRequested) {
    addSite("换行", site_.url("/seen"), "a=1\r\nX-Injected: 1");
    const Outcome out = cli("sign");
    EXPECT_EQ(out.exitCode, 3) << out.err;  // the account failed
    EXPECT_NE(row(out).find("Cookie 里有换行符"), std::string::npos) << out.out;
    EXPECT_EQ(site_.requests, 0);
}

}  // namespace
}  // namespace vesprey::hostile
