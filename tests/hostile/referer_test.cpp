// What an address gives away. A push address holds its key: no push sends a Referer or follows a
// redirect (a POST turned into a GET would count as sent and deliver nothing). A sign-in address
// holds its query: its Referer goes to its own host only, never with a #fragment or a password,
// and an address with a line break is not requested at all.
#include <mutex>
#include <nlohmann/json.hpp>
#include <vector>

#include "hostile.h"

namespace vesprey::hostile {
namespace {

struct Seen {
    std::string path;
    std::string referer;  // "-" without the header
    std::string smuggled;
};

class Referers : public Hostile {
protected:
    void SetUp() override {
        Hostile::SetUp();
        // Everything asked of 127.0.0.1 is sent on to 127.0.0.2.
        auto redirect = [this](const httplib::Request& request, httplib::Response& response) {
            record(request, asked_);
            response.status = 302;
            response.set_header("Location", elsewhere_.url("/landed?from=redirect"));
        };
        auto land = [this](const httplib::Request& request, httplib::Response& response) {
            record(request, landed_);
            response.set_content(R"({"code":200,"ok":true,"errcode":0,"msg":"ok"})",
                                 "application/json");
        };
        redirector_->Get(R"([\s\S]*)", redirect);
        redirector_->Post(R"([\s\S]*)", redirect);
        elsewhere_->Get(R"([\s\S]*)", land);
        elsewhere_->Post(R"([\s\S]*)", land);
        redirector_.start();
        elsewhere_.start("127.0.0.2");
    }

    void record(const httplib::Request& request, std::vector<Seen>& into) {
        std::lock_guard lock(mutex_);
        into.push_back({request.path,
                        request.has_header("Referer") ? request.get_header_value("Referer") : "-",
                        request.get_header_value("X-Smuggled")});
    }
    std::vector<Seen> asked() {
        std::lock_guard lock(mutex_);
        return asked_;
    }
    std::vector<Seen> landed() {
        std::lock_guard lock(mutex_);
        return landed_;
    }

    std::mutex mutex_;
    std::vector<Seen> asked_;
    std::vector<Seen> landed_;
    test::LocalServer<> redirector_;
    test::LocalServer<> elsewhere_;
};

TEST_F(Referers, APushSendsNoRefererAndFollowsNoRedirect) {
    setPushKey(1, "BARKSECRET");
    const std::pair<std::string, std::string> channels[] = {
        {"bark", ""},
        {"telegram", R"({"token":"123:SECRET_TG_TOKEN","chat_id":"1"})"},
        {"ntfy", R"({"topic":"secret-topic"})"},
        {"wecom", R"({"key":"SECRET_WECOM"})"},
        {"webhook", R"({})"},
    };
    for (const auto& [channel, settings] : channels) {
        SCOPED_TRACE(channel);
        if (!settings.empty()) {
            ASSERT_EQ(cli("push-set --channel " + channel + " --settings " + test::quoted(settings))
                          .exitCode,
                      0);
        }
        std::string variable = "VESPREY_" + channel + "_URL";
        for (char& c : variable) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        const Outcome out = cli("push-test --channel " + channel,
                                variable + "=" + test::quoted(redirector_.url("/redir/")) + " ");
        EXPECT_EQ(out.exitCode, 4) << out.err;
        EXPECT_NE(out.err.find("HTTP 302（推送不跟随跳转，服务要转到 http://127.0.0.2:" +
                               std::to_string(elsewhere_.port()) + "，请检查服务地址）"),
                  std::string::npos)
            << out.err;
    }
    ASSERT_EQ(asked().size(), std::size(channels));
    for (const Seen& seen : asked()) {
        EXPECT_EQ(seen.referer, "-") << seen.path;
    }
    EXPECT_TRUE(landed().empty());
}

TEST_F(Referers, ASignInsRefererStaysWithItsHostWithoutFragmentOrPassword) {
    const std::string port = std::to_string(redirector_.port());
    addSite("跳转站", "http://user:pw@127.0.0.1:" + port + "/sign?token=Q#part", "a=1");
    const Outcome out = cli("sign");
    EXPECT_EQ(out.exitCode, 0) << out.err;
    ASSERT_EQ(asked().size(), 1u);
    EXPECT_EQ(asked()[0].referer, "http://127.0.0.1:" + port + "/sign?token=Q");
    ASSERT_EQ(landed().size(), 1u);
    EXPECT_EQ(landed()[0].path, "/landed");
    EXPECT_EQ(landed()[0].referer, "-");
}

TEST_F(Referers, AnAddressWithALineBreakIsNotRequested) {
    addSite("夹带站",
            "http://127.0.0.1:" + std::to_string(redirector_.port()) + "/sign\r\nX-Smuggled: yes",
            "a=1");
    // A site at 127.0.0.1 would answer; the address with the break must not reach it.
    const Outcome out = cli("sign --json");
    EXPECT_EQ(out.exitCode, 3) << out.err;
    const auto report = nlohmann::json::parse(out.out);
    EXPECT_EQ(report["accounts"][0]["verdict"], "failed");
    EXPECT_EQ(report["accounts"][0]["reason"],
              "网址里有换行符或控制字符，请求没有发出，请检查签到链接");
    EXPECT_TRUE(landed().empty());
    EXPECT_TRUE(asked().empty());
}

}  // namespace
}  // namespace vesprey::hostile
