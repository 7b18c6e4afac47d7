// Requests through an HTTP and a SOCKS5 proxy on loopback, with and without a user name and
// password, and proxies that fail; the proxy addresses as they are checked and shown.
#include "web/proxy.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <optional>
#include <string>
#include <vector>

#include "loopback_proxy.h"
#include "loopback_server.h"
#include "text/gbk_text.h"
#include "web/web_client.h"

namespace vesprey {
namespace {

using test::LocalServer;
using test::LoopbackProxy;

struct ProxyCase {
    const char* name;
    LoopbackProxy::Kind kind;
    std::string scheme;
    std::string user;         // the proxy's own; empty: it asks for none
    std::string credentials;  // what the client's address gives
    bool tls = false;         // the site is https (a tunnel through an HTTP proxy)
    bool host = false;        // the site is named "localhost" rather than 127.0.0.1
    bool through = true;      // the answer comes through the proxy
};

class ProxiedRequest : public ::testing::TestWithParam<ProxyCase> {
protected:
    void SetUp() override {
        plain_->Get("/sign", [](const httplib::Request& request, httplib::Response& response) {
            response.set_content("ok:" + request.get_header_value("Cookie"), "text/plain");
        });
        plain_.start();
        secure_->Get("/sign", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("ok:tls", "text/plain");
        });
        secure_.start();
    }

    std::string siteUrl(const ProxyCase& c) {
        const std::string host = c.host ? "localhost" : "127.0.0.1";
        const int port = c.tls ? secure_.port() : plain_.port();
        return (c.tls ? "https://" : "http://") + host + ":" + std::to_string(port) + "/sign";
    }
    int sitePort(const ProxyCase& c) { return c.tls ? secure_.port() : plain_.port(); }

    LocalServer<> plain_;
    test::SelfSigned identity_;
    LocalServer<httplib::SSLServer> secure_{identity_.certificate, identity_.key};
};

TEST_P(ProxiedRequest, GoesThroughTheProxyOrFailsAsTheProxys) {
    const ProxyCase& c = GetParam();
    LoopbackProxy proxy(c.kind, c.user, c.user.empty() ? "" : "s3cret:pw");
    const std::string address = proxy.url(c.scheme, c.credentials);
    const std::string url = siteUrl(c);
    HttpRequest request;
    request.url = url;
    request.proxy = address;
    const Text cookie = "a=1";
    request.cookie = cookie;
    const HttpResponse response = WebClient::send(request);
    if (c.through) {
        ASSERT_TRUE(response.answered()) << ansiToUtf8(response.error.message);
        EXPECT_EQ(response.body, c.tls ? "ok:tls" : "ok:a=1");
        // socks5 resolves the site's name here and hands the proxy an address; socks5h and an
        // HTTP proxy get the name as written.
        const std::vector<std::string> targets = proxy.targets();
        ASSERT_EQ(targets.size(), 1U);
        const std::string port = ":" + std::to_string(sitePort(c));
        if (c.host && c.scheme == "socks5") {
            EXPECT_TRUE(targets[0] == "127.0.0.1" + port || targets[0] == "::1" + port)
                << targets[0];
        } else {
            EXPECT_EQ(targets[0], (c.host ? "localhost" : "127.0.0.1") + port);
        }
        return;
    }
    EXPECT_EQ(response.error.code, HttpErrorCode::ProxyFailed);
    const std::string message = ansiToUtf8(response.error.message);
    EXPECT_TRUE(message.starts_with("代理无法连接：")) << message;
    EXPECT_EQ(message.find("pw"), std::string::npos) << message;
    EXPECT_NE(message.find("127.0.0.1:" + std::to_string(proxy.port())), std::string::npos)
        << message;
    EXPECT_EQ(proxy.refused(), 1);
    EXPECT_TRUE(proxy.targets().empty());
    EXPECT_EQ(response.status, 0);
}

const std::string kGood = "me:s3cret%3Apw";  // the password "s3cret:pw", its colon encoded
const std::string kWrong = "me:wrong";

INSTANTIATE_TEST_SUITE_P(
    Proxies, ProxiedRequest,
    ::testing::Values(
        ProxyCase{"HttpOpen", LoopbackProxy::Kind::Http, "http", "", ""},
        ProxyCase{"HttpTunnel", LoopbackProxy::Kind::Http, "http", "", "", true},
        ProxyCase{"HttpNamedSite", LoopbackProxy::Kind::Http, "http", "", "", false, true},
        ProxyCase{"HttpLogin", LoopbackProxy::Kind::Http, "http", "me", kGood},
        ProxyCase{"HttpLoginTunnel", LoopbackProxy::Kind::Http, "http", "me", kGood, true},
        ProxyCase{"HttpWrongPassword", LoopbackProxy::Kind::Http, "http", "me", kWrong, false,
                  false, false},
        ProxyCase{"HttpWrongPasswordTunnel", LoopbackProxy::Kind::Http, "http", "me", kWrong, true,
                  false, false},
        ProxyCase{"HttpNoPassword", LoopbackProxy::Kind::Http, "http", "me", "", false, false,
                  false},
        ProxyCase{"Socks5Open", LoopbackProxy::Kind::Socks5, "socks5", "", ""},
        ProxyCase{"Socks5ResolvesHere", LoopbackProxy::Kind::Socks5, "socks5", "", "", false, true},
        ProxyCase{"Socks5hResolvesThere", LoopbackProxy::Kind::Socks5, "socks5h", "", "", false,
                  true},
        ProxyCase{"Socks5Tls", LoopbackProxy::Kind::Socks5, "socks5h", "", "", true},
        ProxyCase{"Socks5Login", LoopbackProxy::Kind::Socks5, "socks5", "me", kGood},
        ProxyCase{"Socks5WrongPassword", LoopbackProxy::Kind::Socks5, "socks5", "me", kWrong, false,
                  false, false},
        ProxyCase{"Socks5NoPassword", LoopbackProxy::Kind::Socks5, "socks5h", "me", "", false,
                  false, false}),
    [](const ::testing::TestParamInfo<ProxyCase>& each) { return std::string(each.param.name); });

class UnreachableProxy : public ::testing::TestWithParam<std::string> {};

TEST_P(UnreachableProxy, IsTheProxysFailureAndNoDirectRequest) {
    LocalServer<> site;
    int requests = 0;
    site->Get("/", [&](const httplib::Request&, httplib::Response& response) {
        ++requests;
        response.set_content("direct", "text/plain");
    });
    site.start();
    const std::string address =
        GetParam() + "://me:topsecret@127.0.0.1:" + std::to_string(test::closedPort());
    HttpRequest request;
    const std::string url = site.url("/");
    request.url = url;
    request.proxy = address;
    const HttpResponse response = WebClient::send(request);
    EXPECT_EQ(response.error.code, HttpErrorCode::ProxyFailed);
    const std::string message = ansiToUtf8(response.error.message);
    EXPECT_TRUE(message.starts_with("代理无法连接：连不上代理服务器")) << message;
    EXPECT_NE(message.find(GetParam() + "://me:***@127.0.0.1:"), std::string::npos) << message;
    EXPECT_EQ(message.find("topsecret"), std::string::npos);
    EXPECT_EQ(requests, 0);
}

INSTANTIATE_TEST_SUITE_P(Schemes, UnreachableProxy,
                         ::testing::Values("http", "https", "socks5", "socks5h"));

// The environment's proxy variables are never read: without a proxy a request goes direct, with
// one it goes through that one whatever no_proxy says.
TEST(ProxyEnvironment, OnlyTheNamedProxyIsUsed) {
    LocalServer<> site;
    site->Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("here", "text/plain");
    });
    site.start();
    LoopbackProxy fromEnvironment(LoopbackProxy::Kind::Http);
    LoopbackProxy named(LoopbackProxy::Kind::Socks5);
    const std::string environmentProxy = fromEnvironment.url("http");
    ::setenv("http_proxy", environmentProxy.c_str(), 1);
    ::setenv("HTTPS_PROXY", environmentProxy.c_str(), 1);
    ::setenv("ALL_PROXY", environmentProxy.c_str(), 1);
    ::setenv("no_proxy", "127.0.0.1,localhost", 1);
    const std::string url = site.url("/");
    HttpRequest direct;
    direct.url = url;
    EXPECT_EQ(WebClient::send(direct).body, "here");
    HttpRequest proxied;
    proxied.url = url;
    const std::string address = named.url("socks5");
    proxied.proxy = address;
    EXPECT_EQ(WebClient::send(proxied).body, "here");
    ::unsetenv("http_proxy");
    ::unsetenv("HTTPS_PROXY");
    ::unsetenv("ALL_PROXY");
    ::unsetenv("no_proxy");
    EXPECT_TRUE(fromEnvironment.targets().empty());
    EXPECT_EQ(named.targets().size(), 1U);
}

struct AddressCase {
    std::string url;
    bool valid;
    std::string shown;
    bool password;
};

class ProxyAddress : public ::testing::TestWithParam<AddressCase> {};

TEST_P(ProxyAddress, IsCheckedAndShownWithoutItsPassword) {
    const AddressCase& c = GetParam();
    EXPECT_EQ(!proxyProblem(c.url).has_value(), c.valid) << c.url;
    EXPECT_EQ(shownProxy(c.url), c.shown);
    EXPECT_EQ(proxyHasPassword(c.url), c.password);
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, ProxyAddress,
    ::testing::Values(AddressCase{"http://127.0.0.1:8080", true, "http://127.0.0.1:8080", false},
                      AddressCase{"HTTPS://proxy.example:443/", true, "https://proxy.example:443",
                                  false},
                      AddressCase{"socks5://u:p%40ss@h:1080", true, "socks5://u:***@h:1080", true},
                      AddressCase{"socks5h://u@[::1]:1080", true, "socks5h://u@[::1]:1080", false},
                      AddressCase{"socks4://h:1080", false, "socks4://h:1080", false},
                      AddressCase{"h:1080", false, "h:1080", false},
                      AddressCase{"http://h", false, "http://h", false},
                      AddressCase{"http://h:99999", false, "http://h:99999", false},
                      AddressCase{"http://h:80/path", false, "http://h:80", false},
                      AddressCase{"http://:80", false, "http://:80", false},
                      AddressCase{"http://a b:80", false, "http://a b:80", false},
                      AddressCase{"", false, "", false}));

}  // namespace
}  // namespace vesprey
