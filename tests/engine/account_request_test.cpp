// One account's request: what goes out for each kind of template, and what the pass and the trial
// each show of the outcome.
#include "engine/account_request.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/messages.h"
#include "loopback_server.h"

namespace vesprey {
namespace {

class SilentMessages : public MessageSink {
public:
    void showMessage(const Text& text, const Text&, MessageIcon) override {
        shown.push_back(ansiToUtf8(text));
    }
    std::vector<std::string> shown;
};

class AccountRequestTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Echoes what it received, after "%E7%AD%BE" (签 percent-encoded in UTF-8).
        auto echo = [](const httplib::Request& request, httplib::Response& response) {
            response.set_header("Set-Cookie", "fresh=1");
            response.set_content("%E7%AD%BE " + request.method + " [" + request.body + "] " +
                                     request.get_header_value("User-Agent") + " " +
                                     request.get_header_value("X-Token"),
                                 "text/plain");
        };
        site_->Get("/echo", echo);
        site_->Post("/echo", echo);
        site_->Get("/moved", [](const httplib::Request&, httplib::Response& response) {
            response.set_redirect("/echo");
        });
        site_.start();
    }

    AccountRequest request(const std::string& path) {
        url_ = site_.url(path);
        AccountRequest r;
        r.url = url_;
        r.cookie = "sid=1";
        r.body = "act=sign";
        return r;
    }

    test::LocalServer<> site_;
    std::string url_;
    SilentMessages messages_;
};

TEST_F(AccountRequestTest, WithoutOwnHeadersTheDesktopAgentGoesAndTheBodyOnlyWithAPost) {
    AccountAnswer get = requestAccount(request("/echo"), messages_);
    const std::string agent(kDesktopUserAgentLine.substr(12));  // after "User-Agent: "
    EXPECT_EQ(get.answer, "%E7%AD%BE GET [] " + agent + " ");
    EXPECT_EQ(get.cookie, "fresh=1; sid=1");
    EXPECT_EQ(get.headers, "");  // the template had none to complete

    AccountRequest post = request("/echo");
    post.get = false;
    EXPECT_EQ(requestAccount(post, messages_).answer, "%E7%AD%BE POST [act=sign] " + agent + " ");
}

TEST_F(AccountRequestTest, OwnHeadersGoWithTheBodyAndComeBackCompleted) {
    AccountRequest r = request("/echo");
    r.get = false;
    r.headers = "X-Token: abc\r\nUser-Agent: own";
    AccountAnswer outcome = requestAccount(r, messages_);
    EXPECT_EQ(outcome.answer, "%E7%AD%BE POST [act=sign] own abc");
    EXPECT_EQ(outcome.headers.rfind("X-Token: abc\r\nUser-Agent: own\r\nAccept: */*", 0), 0u)
        << outcome.headers;
}

TEST_F(AccountRequestTest, TheListAndTheTrialShowTheOutcomeEachTheirWay) {
    AccountRequest r = request("/moved");
    r.conversion = kCtypeUtf8Decode;

    // No statement: both show the converted answer.
    AccountAnswer whole = requestAccount(r, messages_);
    EXPECT_FALSE(whole.extracted);
    EXPECT_EQ(whole.response.finalUrl, site_.url("/echo"));
    EXPECT_EQ(whole.answer.substr(0, 3), utf8ToAnsi("签 "));
    EXPECT_EQ(whole.listText(), whole.answer);
    EXPECT_EQ(whole.trialText(), whole.answer);

    // A regex that finds nothing: the list shows "匹配失败", the trial the converted answer.
    r.extraction = Extraction::Regex;
    r.tying = "(nothing here)";
    AccountAnswer missed = requestAccount(r, messages_);
    EXPECT_EQ(missed.listText(), matchFailedText());
    EXPECT_EQ(missed.trialText(), missed.answer);
    EXPECT_EQ(messages_.shown.size(), 1u);

    // JSON of a text that is none gives the whole answer back.
    r.extraction = Extraction::Json;
    r.tying = "msg";
    EXPECT_EQ(requestAccount(r, messages_).listText(), whole.answer);

    // With neither mode the statement is not applied.
    r.extraction = Extraction::None;
    AccountAnswer unapplied = requestAccount(r, messages_);
    EXPECT_FALSE(unapplied.extracted);
    EXPECT_EQ(unapplied.trialText(), whole.answer);
}

TEST_F(AccountRequestTest, NoAnswerIsAnErrorInWordsAndAnEmptyText) {
    AccountRequest r = request("/echo");
    const std::string closed = "http://127.0.0.1:" + std::to_string(test::closedPort()) + "/";
    r.url = closed;
    r.extraction = Extraction::Json;
    r.tying = "msg";
    AccountAnswer outcome = requestAccount(r, messages_);
    EXPECT_FALSE(outcome.response.answered());
    EXPECT_EQ(ansiToUtf8(outcome.response.error.message), "无法连接");
    EXPECT_EQ(outcome.listText(), "");
    EXPECT_EQ(outcome.cookie, "sid=1");
}

}  // namespace
}  // namespace vesprey
