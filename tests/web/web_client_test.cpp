#include "web/web_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "loopback_server.h"

namespace vesprey {
namespace {

using test::LocalServer;
using test::RawServer;

const std::string kDefaultAgent = "User-Agent: Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";

// What the httplib server saw of one request.
struct Seen {
    std::string method;
    std::string target;
    httplib::Headers headers;
    std::string body;
    int remotePort = 0;
};

class Recorder {
public:
    void add(const httplib::Request& request) {
        std::lock_guard lock(mutex_);
        seen_.push_back(
            {request.method, request.target, request.headers, request.body, request.remote_port});
    }
    std::vector<Seen> all() {
        std::lock_guard lock(mutex_);
        return seen_;
    }
    Seen last() {
        std::lock_guard lock(mutex_);
        return seen_.empty() ? Seen{} : seen_.back();
    }
    Seen at(const std::string& target) {
        std::lock_guard lock(mutex_);
        for (const Seen& seen : seen_) {
            if (seen.target == target) {
                return seen;
            }
        }
        return {};
    }

private:
    std::mutex mutex_;
    std::vector<Seen> seen_;
};

std::vector<std::string> valuesOf(const httplib::Headers& headers, const std::string& name) {
    std::vector<std::string> values;
    auto [begin, end] = headers.equal_range(name);
    for (auto it = begin; it != end; ++it) {
        values.push_back(it->second);
    }
    return values;
}

// A site with the routes the tests need, recording every request.
class WebClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto record = [this](const httplib::Request& request, httplib::Response& response) {
            recorder_.add(request);
            response.set_content("echo", "text/plain");
        };
        server_->Get("/echo", record);
        server_->Post("/echo", record);
        server_->Get("/status",
                     [this](const httplib::Request& request, httplib::Response& response) {
                         recorder_.add(request);
                         response.set_header("Set-Cookie", "b=3; Path=/");
                         response.set_header("X-Mark", "v: 1");
                         response.set_content("fine", "text/plain");
                     });
        server_->Get("/start",
                     [this](const httplib::Request& request, httplib::Response& response) {
                         recorder_.add(request);
                         response.set_header("Set-Cookie", "hop=1; Path=/");
                         response.set_redirect("/next");
                         response.set_content("moved", "text/plain");
                     });
        server_->Get("/next", [this](const httplib::Request& request, httplib::Response& response) {
            recorder_.add(request);
            response.set_header("Set-Cookie", "final=2; Path=/");
            response.set_content("arrived", "text/plain");
        });
        server_->Post("/see-other",
                      [this](const httplib::Request& request, httplib::Response& response) {
                          recorder_.add(request);
                          response.set_redirect("/echo", 303);
                      });
        server_->Get(R"(/hop/(\d+))",
                     [this](const httplib::Request& request, httplib::Response& response) {
                         recorder_.add(request);
                         int left = std::stoi(request.matches[1]);
                         if (left == 0) {
                             response.set_content("end", "text/plain");
                         } else {
                             response.set_redirect("/hop/" + std::to_string(left - 1));
                         }
                     });
        server_->Get("/elsewhere", [this](const httplib::Request& request,
                                          httplib::Response& response) {
            recorder_.add(request);
            response.set_redirect("http://localhost:" + std::to_string(server_.port()) + "/echo");
        });
        server_->Get("/whoami", [](const httplib::Request& request, httplib::Response& response) {
            response.set_header("Set-Cookie", "seen=" + request.get_header_value("X-Caller"));
            response.set_content(request.get_header_value("Cookie"), "text/plain");
        });
        server_->Get("/stall", [this](const httplib::Request&, httplib::Response& response) {
            ++server_.requests;
            std::this_thread::sleep_for(std::chrono::milliseconds(5000));
            response.set_content("late", "text/plain");
        });
        server_->Get("/slow", [](const httplib::Request&, httplib::Response& response) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            response.set_content("slow", "text/plain");
        });
        server_->Get("/empty", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("", "text/plain");
        });
        server_->Get("/huge", [](const httplib::Request&, httplib::Response& response) {
            response.set_content(std::string(kMaxResponseBody + 4096, 'x'), "text/plain");
        });
        server_.start();
    }
    LocalServer<> server_;
    Recorder recorder_;
};

TEST(RequestHeaders, EmptyTextGetsTheFourDefaultsInOrder) {
    Text headers;
    completeRequestHeaders(headers, "http://a.example/x", HttpMethod::Get);
    EXPECT_EQ(headers, "Accept: */*\r\nReferer: http://a.example/x\r\nAccept-Language: zh-cn\r\n" +
                           kDefaultAgent);
    // The same for methods out of range; only POST adds the form type.
    Text post;
    completeRequestHeaders(post, "u", HttpMethod::Post);
    EXPECT_NE(post.find("\r\nContent-Type: application/x-www-form-urlencoded"), std::string::npos);
    Text put;
    completeRequestHeaders(put, "u", HttpMethod::Put);
    EXPECT_EQ(put.find("Content-Type"), std::string::npos);
}

TEST(RequestHeaders, SearchesAreCaseSensitive) {
    Text own = "User-Agent: X";
    completeRequestHeaders(own, "u", HttpMethod::Get);
    EXPECT_EQ(own, "User-Agent: X\r\nAccept: */*\r\nReferer: u\r\nAccept-Language: zh-cn");

    Text lower = "user-agent: X\r\naccept: text/html";
    completeRequestHeaders(lower, "u", HttpMethod::Get);
    EXPECT_NE(lower.find("\r\n" + kDefaultAgent), std::string::npos);
    EXPECT_NE(lower.find("\r\nAccept: */*"), std::string::npos);

    Text json = "content-type: application/json";
    completeRequestHeaders(json, "u", HttpMethod::Post);
    EXPECT_EQ(json.rfind("Content-Type: application/json", 0), 0U);
    EXPECT_EQ(json.find("x-www-form-urlencoded"), std::string::npos);
    // Not for other methods.
    Text getJson = "content-type: application/json";
    completeRequestHeaders(getJson, "u", HttpMethod::Get);
    EXPECT_EQ(getJson.rfind("content-type: application/json", 0), 0U);
}

TEST(RequestHeaders, SplitsTrimsAndKeepsColonsInValues) {
    using Pairs = std::vector<std::pair<Text, Text>>;
    EXPECT_EQ(splitRequestHeaders(" Referer :  http://a/b?c=d:e  "),
              (Pairs{{"Referer", "http://a/b?c=d:e"}}));
    EXPECT_EQ(splitRequestHeaders("\r\nA: 1\r\n\r\nNoColon\r\n\xA1\xA1"
                                  "B:\xA1\xA1"
                                  "2\r\n"),
              (Pairs{{"A", "1"}, {"", ""}, {"B", "2"}}));
    EXPECT_EQ(splitRequestHeaders("X-Tab:\tv"), (Pairs{{"X-Tab", "\tv"}}));  // tabs stay
}

TEST(WebClientRequest, EmptyHeaderTextSendsExactlyTheDefaultsInOrder) {
    RawServer raw;
    std::string url = raw.url("/path?q=1");
    Text headers;
    int status = 0;
    Bytes body = WebClient::request(url, HttpMethod::Get, {.headers = &headers, .status = &status});
    EXPECT_EQ(body, "ok");
    EXPECT_EQ(status, 200);
    EXPECT_EQ(headers,
              "Accept: */*\r\nReferer: " + url + "\r\nAccept-Language: zh-cn\r\n" + kDefaultAgent);
    // Nothing of libcurl's own beyond Host: no Accept-Encoding, no Expect, no Cookie, no body.
    std::vector<std::string> expected = {"GET /path?q=1 HTTP/1.1",
                                         "Host: 127.0.0.1:" + std::to_string(raw.port()),
                                         "Accept: */*",
                                         "Referer: " + url,
                                         "Accept-Language: zh-cn",
                                         kDefaultAgent};
    EXPECT_EQ(raw.lastHeadLines(), expected);
    EXPECT_EQ(raw.lastBody(), "");
}

TEST(WebClientRequest, CookieGoesFirstAndEvenWhenEmpty) {
    RawServer raw;
    Text cookie;
    Text headers = "X-Own: 1";
    WebClient::request(raw.url("/"), HttpMethod::Get, {.cookie = &cookie, .headers = &headers});
    auto lines = raw.lastHeadLines();
    ASSERT_GE(lines.size(), 4U);
    EXPECT_EQ(lines[2], "Cookie:");  // set before the caller's lines
    EXPECT_EQ(lines[3], "X-Own: 1");

    Text given = "sid=abc; lang=zh";
    WebClient::request(raw.url("/"), HttpMethod::Get, {.cookie = &given});
    lines = raw.lastHeadLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Cookie: sid=abc; lang=zh"), 1);

    WebClient::request(raw.url("/"));  // no cookie argument: no Cookie header
    lines = raw.lastHeadLines();
    EXPECT_TRUE(std::none_of(lines.begin(), lines.end(),
                             [](const std::string& line) { return line.starts_with("Cookie"); }));
}

TEST(WebClientRequest, PostFixesLowerCaseContentTypeAndSendsTheBody) {
    RawServer raw;
    Text headers = "content-type: application/json";
    WebClient::request(raw.url("/api"), HttpMethod::Post,
                       {.body = R"({"a":1})", .headers = &headers});
    auto lines = raw.lastHeadLines();
    EXPECT_EQ(lines[0], "POST /api HTTP/1.1");
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) {
                                return line.starts_with("Content-Type") ||
                                       line.starts_with("content-type");
                            }),
              1);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Content-Type: application/json"), lines.end());
    EXPECT_EQ(raw.lastBody(), R"({"a":1})");

    // An empty POST still says how long its body is, and gets the form type.
    WebClient::request(raw.url("/api"), HttpMethod::Post);
    lines = raw.lastHeadLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Content-Length: 0"), lines.end());
    EXPECT_NE(
        std::find(lines.begin(), lines.end(), "Content-Type: application/x-www-form-urlencoded"),
        lines.end());
}

TEST(WebClientRequest, MethodCodesMapToWordsAndOutOfRangeIsGet) {
    RawServer raw;
    const std::vector<std::pair<int, std::string>> cases = {{9, "GET"},
                                                            {-1, "GET"},
                                                            {HttpMethod::Put, "PUT"},
                                                            {HttpMethod::Delete, "DELETE"},
                                                            {HttpMethod::Options, "OPTIONS"},
                                                            {HttpMethod::Head, "HEAD"}};
    for (const auto& [code, word] : cases) {
        WebClient::request(raw.url("/m"), code, {.body = "data"});
        auto lines = raw.lastHeadLines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], word + " /m HTTP/1.1") << code;
        // GET and HEAD carry no body even when one is given; the others send it.
        bool carries = word != "GET" && word != "HEAD";
        EXPECT_EQ(raw.lastBody(), carries ? "data" : "") << code;
    }
}

TEST(WebClientRequest, TextBodyGoesAsUtf8AndByteBodyWinsAsItIs) {
    RawServer raw;
    Text gbkBody = "name=\xD6\xD0\xCE\xC4";  // "中文" in code page 936
    WebClient::request(raw.url("/b"), HttpMethod::Post, {.body = gbkBody});
    EXPECT_EQ(raw.lastBody(), "name=\xE4\xB8\xAD\xE6\x96\x87");

    std::string bytes("\x00\x01\xD6\xD0raw", 7);
    WebClient::request(raw.url("/b"), HttpMethod::Post, {.body = "ignored", .byteBody = bytes});
    EXPECT_EQ(raw.lastBody(), bytes);
}

TEST(WebClientRequest, NonAsciiAddressIsSentPercentEncodedAsUtf8) {
    RawServer raw;
    WebClient::request(raw.url("/\xC2\xB7\xBE\xB6?k=\xD6\xD0 x"));  // "路径", "中"
    auto lines = raw.lastHeadLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "GET /%E8%B7%AF%E5%BE%84?k=%E4%B8%AD%20x HTTP/1.1");
}

TEST(WebClientRequest, HeaderLineWithoutColonIsSkippedAndLineInjectionRefused) {
    RawServer raw;
    Text headers =
        "NoColonHere\r\nX-Link:  http://a.b/c?d=e:f \r\nX-Bad: a\nInjected: 1\r\nX-Ok: 2";
    int status = 0;
    Bytes body =
        WebClient::request(raw.url("/"), HttpMethod::Get, {.headers = &headers, .status = &status});
    EXPECT_EQ(body, "ok");
    EXPECT_EQ(status, 200);
    auto lines = raw.lastHeadLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "X-Link: http://a.b/c?d=e:f"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "X-Ok: 2"), lines.end());
    for (const std::string& line : lines) {
        EXPECT_EQ(line.find("NoColonHere"), std::string::npos);
        EXPECT_FALSE(line.starts_with("Injected"));
    }
}

TEST(WebClientRequest, LargeBodyGoesWithoutExpectOrCompression) {
    RawServer raw;
    std::string big(2 * 1024 * 1024, 'z');
    WebClient::request(raw.url("/up"), HttpMethod::Post, {.byteBody = big});
    EXPECT_EQ(raw.lastBody().size(), big.size());
    for (const std::string& line : raw.lastHeadLines()) {
        EXPECT_FALSE(line.starts_with("Expect"));
        EXPECT_FALSE(line.starts_with("Accept-Encoding"));
    }
}

TEST(RequestEngine, DecodesACompressedAnswerOnlyWhenAsked) {
    // "ok" in gzip.
    const std::string gzipOk(
        "\x1F\x8B\x08\x00\x00\x00\x00\x00\x02\x03\xCB\xCF\x06\x00\x47\xDD\xDC\x79"
        "\x02\x00\x00\x00",
        22);
    RawServer raw(
        "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 22\r\n"
        "Connection: close\r\n\r\n" +
        gzipOk);
    RequestEngine engine;
    for (bool decode : {false, true}) {
        engine.setContentDecoding(decode);
        engine.open("GET", raw.url("/"));
        engine.setRequestHeader("Accept-Encoding", "gzip, xz");
        ASSERT_TRUE(engine.send()) << decode;
        EXPECT_EQ(engine.responseBody(), decode ? "ok" : gzipOk);
        const auto lines = raw.lastHeadLines();
        const auto asked = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
            return line.starts_with("Accept-Encoding: ");
        });
        ASSERT_NE(asked, lines.end()) << decode;
        // Decoding, the engine asks for what it can decode in place of the caller's list.
        EXPECT_EQ(asked->find("xz") == std::string::npos, decode) << *asked;
    }
}

TEST(WebClientRequest, ProxyGetsBasicProxyAuthorization) {
    RawServer proxy;
    std::string proxyAddress = "127.0.0.1:" + std::to_string(proxy.port());
    Bytes body = WebClient::request(
        "http://vesprey.invalid/x", HttpMethod::Get,
        {.proxy = proxyAddress, .proxyUser = "user", .proxyPassword = "pa:ss\xD6\xD0"});
    EXPECT_EQ(body, "ok");
    auto lines = proxy.lastHeadLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "GET http://vesprey.invalid/x HTTP/1.1");
    // Base64 of the code page 936 bytes "user:pa:ss" D6 D0.
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Proxy-Authorization: Basic dXNlcjpwYTpzc9bQ"),
              lines.end());

    // Another mode sends none; without a proxy the credentials go nowhere.
    WebClient::request("http://vesprey.invalid/x", HttpMethod::Get,
                       {.proxy = proxyAddress, .proxyUser = "user", .proxyAuthMode = 2});
    lines = proxy.lastHeadLines();
    EXPECT_TRUE(std::none_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.starts_with("Proxy-Authorization");
    }));
    RawServer direct;
    WebClient::request(direct.url("/"), HttpMethod::Get, {.proxyUser = "user"});
    lines = direct.lastHeadLines();
    EXPECT_TRUE(std::none_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.starts_with("Proxy-Authorization");
    }));
}

bool hasLineStartingWith(const std::vector<std::string>& lines, std::string_view start) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.starts_with(start); });
}

// The request objects of one thread pass their libcurl handle on, with the options it has: each
// request must still go out as only its own arguments say.
TEST(WebClientRequest, NothingOfARequestCarriesOverToTheNextOneOfTheThread) {
    RawServer raw;
    auto expectBodiless = [&](const std::string& requestLine) {
        const auto lines = raw.lastHeadLines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], requestLine);
        EXPECT_FALSE(hasLineStartingWith(lines, "Content-Length")) << requestLine;
        EXPECT_FALSE(hasLineStartingWith(lines, "Transfer-Encoding")) << requestLine;
        EXPECT_EQ(raw.lastBody(), "") << requestLine;
    };
    WebClient::request(raw.url("/post"), HttpMethod::Post, {.body = "x=1"});
    WebClient::request(raw.url("/get"));
    expectBodiless("GET /get HTTP/1.1");
    WebClient::request(raw.url("/put"), HttpMethod::Put, {.body = "y"});
    WebClient::request(raw.url("/delete"), HttpMethod::Delete);
    expectBodiless("DELETE /delete HTTP/1.1");
    WebClient::request(raw.url("/head"), HttpMethod::Head);
    EXPECT_EQ(WebClient::request(raw.url("/after-head")), "ok");
    expectBodiless("GET /after-head HTTP/1.1");

    RawServer proxy;
    WebClient::request("http://vesprey.invalid/x", HttpMethod::Get,
                       {.proxy = "127.0.0.1:" + std::to_string(proxy.port()), .proxyUser = "u"});
    EXPECT_EQ(WebClient::request(raw.url("/direct")), "ok");
    EXPECT_EQ(proxy.requests().size(), 1U);
    expectBodiless("GET /direct HTTP/1.1");
    EXPECT_FALSE(hasLineStartingWith(raw.lastHeadLines(), "Proxy-Authorization"));
}

TEST_F(WebClientTest, ResponseHeadersAreTheFinalOnesWithoutStatusLine) {
    Text responseHeaders;
    Text returned;
    int status = 0;
    Bytes body = WebClient::request(
        server_.url("/status"), HttpMethod::Get,
        {.returnedCookie = &returned, .responseHeaders = &responseHeaders, .status = &status});
    EXPECT_EQ(body, "fine");
    EXPECT_EQ(status, 200);
    EXPECT_EQ(returned, "b=3");  // collected even without a cookie to merge into
    EXPECT_FALSE(responseHeaders.starts_with("HTTP/"));
    EXPECT_FALSE(responseHeaders.ends_with("\r\n"));
    EXPECT_NE(responseHeaders.find("Set-Cookie: b=3; Path=/\r\n"), std::string::npos);
    EXPECT_NE(responseHeaders.find("X-Mark: v: 1"), std::string::npos);
    EXPECT_NE(responseHeaders.find("Content-Length: 4"), std::string::npos);
}

TEST_F(WebClientTest, MergedCookieIsWrittenBack) {
    Text cookie = "a=1;  b=2; c=deleted";
    Text returned;
    WebClient::request(server_.url("/status"), HttpMethod::Get,
                       {.cookie = &cookie, .returnedCookie = &returned});
    EXPECT_EQ(cookie, "b=3; a=1");  // the old deleted item is dropped as well
    EXPECT_EQ(returned, cookie);
    EXPECT_EQ(valuesOf(recorder_.last().headers, "Cookie"),
              std::vector<std::string>{"a=1;  b=2; c=deleted"});

    Text untouched = "a=1;  b=2";
    Text raw;
    WebClient::request(server_.url("/status"), HttpMethod::Get,
                       {.cookie = &untouched, .returnedCookie = &raw, .mergeCookies = false});
    EXPECT_EQ(untouched, "a=1;  b=2");
    EXPECT_EQ(raw, "b=3");
}

TEST_F(WebClientTest, CookiesSetOnARedirectHopReachTheNextHop) {
    Text cookie = "acct=7";
    Text responseHeaders;
    int status = 0;
    Bytes body = WebClient::request(
        server_.url("/start"), HttpMethod::Get,
        {.cookie = &cookie, .responseHeaders = &responseHeaders, .status = &status});
    EXPECT_EQ(body, "arrived");
    EXPECT_EQ(status, 200);
    std::vector<std::string> sent = valuesOf(recorder_.at("/next").headers, "Cookie");
    ASSERT_EQ(sent.size(), 1U);  // one Cookie header carrying both
    EXPECT_NE(sent[0].find("hop=1"), std::string::npos);
    EXPECT_NE(sent[0].find("acct=7"), std::string::npos);
    // Only the final answer's cookies are collected and merged.
    EXPECT_EQ(cookie, "final=2; acct=7");
    EXPECT_EQ(responseHeaders.find("hop=1"), std::string::npos);
    EXPECT_EQ(responseHeaders.find("Location"), std::string::npos);

    // Nothing of the chain survives into the next request of this thread.
    Text headers = "X-Once: 1";
    WebClient::request(server_.url("/start"), HttpMethod::Get, {.headers = &headers});
    WebClient::request(server_.url("/echo"));
    Seen next = recorder_.last();
    EXPECT_EQ(next.target, "/echo");
    EXPECT_FALSE(next.headers.count("Cookie"));
    EXPECT_FALSE(next.headers.count("X-Once"));
}

TEST_F(WebClientTest, NoRedirectReturnsTheRedirectAnswer) {
    Text responseHeaders;
    int status = 0;
    Bytes body = WebClient::request(
        server_.url("/start"), HttpMethod::Get,
        {.responseHeaders = &responseHeaders, .status = &status, .noRedirect = true});
    EXPECT_EQ(status, 302);
    EXPECT_EQ(body, "moved");
    EXPECT_NE(responseHeaders.find("Location: /next"), std::string::npos);
    EXPECT_EQ(recorder_.at("/next").target, "");
}

TEST_F(WebClientTest, SeeOtherTurnsAPostIntoAGet) {
    int status = 0;
    WebClient::request(server_.url("/see-other"), HttpMethod::Post,
                       {.body = "x=1", .status = &status});
    EXPECT_EQ(status, 200);
    Seen last = recorder_.last();
    EXPECT_EQ(last.method, "GET");
    EXPECT_EQ(last.body, "");
}

TEST_F(WebClientTest, AtMostTenRedirectsAreFollowed) {
    int status = -1;
    EXPECT_EQ(WebClient::request(server_.url("/hop/10"), HttpMethod::Get, {.status = &status}),
              "end");
    EXPECT_EQ(status, 200);
    Text responseHeaders = "stale";
    EXPECT_EQ(WebClient::request(server_.url("/hop/11"), HttpMethod::Get,
                                 {.responseHeaders = &responseHeaders, .status = &status}),
              "");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(responseHeaders, "");
}

TEST_F(WebClientTest, OnlyTheDefaultHeadersFollowARedirectToAnotherHost) {
    Text cookie = "acct=7";
    Text headers = "X-Token: secret\r\nAuthorization: Bearer t\r\nUser-Agent: own";
    int status = 0;
    WebClient::request(server_.url("/elsewhere"), HttpMethod::Get,
                       {.cookie = &cookie, .headers = &headers, .status = &status});
    EXPECT_EQ(status, 200);
    const Seen first = recorder_.at("/elsewhere");
    EXPECT_EQ(valuesOf(first.headers, "X-Token"), std::vector<std::string>{"secret"});
    Seen last = recorder_.last();
    EXPECT_EQ(last.target, "/echo");
    EXPECT_FALSE(last.headers.count("Cookie"));
    EXPECT_FALSE(last.headers.count("X-Token"));
    EXPECT_FALSE(last.headers.count("Authorization"));
    EXPECT_EQ(valuesOf(last.headers, "User-Agent"), std::vector<std::string>{"own"});
    EXPECT_EQ(valuesOf(last.headers, "Accept-Language"), std::vector<std::string>{"zh-cn"});
}

TEST_F(WebClientTest, SequentialRequestsOfOneThreadReuseTheConnection) {
    WebClient::request(server_.url("/echo"));
    WebClient::request(server_.url("/echo"), HttpMethod::Post, {.body = "x"});
    WebClient::request(server_.url("/echo"));
    std::vector<Seen> all = recorder_.all();
    ASSERT_EQ(all.size(), 3U);
    EXPECT_EQ(all[0].remotePort, all[1].remotePort);
    EXPECT_EQ(all[1].remotePort, all[2].remotePort);
}

TEST_F(WebClientTest, TimeoutsAgainstAStallingServer) {
    // Run side by side: the server answers after 5 s of silence.
    auto ask = [this](int timeoutSeconds) {
        return std::async(std::launch::async, [this, timeoutSeconds] {
            int status = -1;
            Bytes body = WebClient::request(server_.url("/stall"), HttpMethod::Get,
                                            {.status = &status, .timeoutSeconds = timeoutSeconds});
            return std::make_pair(body, status);
        });
    };
    auto engineDefault = ask(-1);  // the engine's own limits: 30 s without progress
    auto fifteen = ask(0);         // below 1: 15 s
    auto three = ask(3);
    EXPECT_EQ(engineDefault.get(), std::make_pair(Bytes("late"), 200));
    EXPECT_EQ(fifteen.get(), std::make_pair(Bytes("late"), 200));
    EXPECT_EQ(three.get(), std::make_pair(Bytes(), 0));
}

// The request objects of one thread pass their libcurl handle on: a stall limit still counts from
// the start of each request, even right after a quick answer, and stays with its own object.
TEST_F(WebClientTest, EachRequestObjectHasItsOwnStallLimit) {
    WebClient::request(server_.url("/echo"));  // leaves a handle that has just moved bytes fast
    {
        RequestEngine limited;
        limited.setTimeouts(1000, 1000, 1000, 1000);
        limited.open("GET", server_.url("/slow"));
        EXPECT_FALSE(limited.send());
        EXPECT_EQ(limited.error().code, HttpErrorCode::Timeout);
    }
    RequestEngine unlimited;
    unlimited.setTimeouts(0, 0, 0, 0);
    unlimited.open("GET", server_.url("/slow"));
    EXPECT_TRUE(unlimited.send());
    EXPECT_EQ(unlimited.responseBody(), "slow");
}

// The server answers only after 5 s; the stop comes once the request is under way and ends it
// without an answer. A send asked to stop before it begins does not go at all.
TEST_F(WebClientTest, AStopEndsTheSendUnderWay) {
    std::stop_source source;
    HttpRequest request;
    const std::string url = server_.url("/stall");
    request.url = url;
    request.stop = source.get_token();
    auto sent = std::async(std::launch::async, [&request] { return WebClient::send(request); });
    while (server_.requests == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    source.request_stop();
    const HttpResponse stopped = sent.get();
    EXPECT_EQ(stopped.error.code, HttpErrorCode::Stopped);
    EXPECT_EQ(ansiToUtf8(stopped.error.message), "已停止");
    EXPECT_EQ(stopped.body, "");

    EXPECT_EQ(WebClient::send(request).error.code, HttpErrorCode::Stopped);
    EXPECT_EQ(server_.requests, 1);
}

TEST_F(WebClientTest, ThreadsRequestingAtOnceKeepTheirOwnCookiesAndAnswers) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 25;
    std::vector<std::future<int>> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.push_back(std::async(std::launch::async, [this, t] {
            int mismatches = 0;
            for (int round = 0; round < kRounds; ++round) {
                std::string id = std::to_string(t) + "-" + std::to_string(round);
                Text cookie = "who=" + id;
                Text headers = "X-Caller: " + id;
                Bytes body = WebClient::request(server_.url("/whoami"), HttpMethod::Get,
                                                {.cookie = &cookie, .headers = &headers});
                if (body != "who=" + id || cookie != "seen=" + id + "; who=" + id) {
                    ++mismatches;
                }
            }
            return mismatches;
        }));
    }
    for (auto& worker : workers) {
        EXPECT_EQ(worker.get(), 0);
    }
}

TEST_F(WebClientTest, HugeAnswerIsCutAtTheLimit) {
    int status = 0;
    Bytes body = WebClient::request(server_.url("/huge"), HttpMethod::Get, {.status = &status});
    EXPECT_EQ(body.size(), kMaxResponseBody);
    EXPECT_EQ(status, 200);
}

TEST_F(WebClientTest, GivenEngineIsUsedAndKeepsItsAnswer) {
    RequestEngine engine;
    Bytes body = WebClient::request(server_.url("/status"), HttpMethod::Get, {.engine = &engine});
    EXPECT_EQ(body, "fine");
    EXPECT_EQ(engine.status(), 200);
    EXPECT_EQ(engine.responseBody(), "fine");
    // Headers are consumed by each send: a second request through it sends only its own.
    Text headers = "X-First: 1";
    WebClient::request(server_.url("/echo"), HttpMethod::Get,
                       {.headers = &headers, .engine = &engine});
    WebClient::request(server_.url("/echo"), HttpMethod::Get, {.engine = &engine});
    EXPECT_FALSE(recorder_.last().headers.count("X-First"));
}

// The value form tells an empty answer from each way of getting none, in words a user reads.
TEST_F(WebClientTest, SendTellsAnEmptyAnswerFromEveryFailure) {
    auto send = [](std::string url, int timeoutSeconds = 0) {
        HttpRequest request;
        request.url = url;
        request.timeoutSeconds = timeoutSeconds;
        return WebClient::send(request);
    };
    auto words = [](const HttpResponse& response) { return ansiToUtf8(response.error.message); };

    HttpResponse empty = send(server_.url("/empty"));
    EXPECT_TRUE(empty.answered());
    EXPECT_EQ(empty.status, 200);
    EXPECT_EQ(empty.body, "");
    EXPECT_EQ(words(empty), "");
    EXPECT_EQ(empty.finalUrl, server_.url("/empty"));

    HttpResponse moved = send(server_.url("/start"));
    EXPECT_EQ(moved.status, 200);
    EXPECT_EQ(moved.body, "arrived");
    EXPECT_EQ(moved.finalUrl, server_.url("/next"));
    EXPECT_EQ(moved.setCookies, "final=2");
    EXPECT_GE(moved.elapsedMs, 0);

    HttpResponse refused = send("http://127.0.0.1:" + std::to_string(test::closedPort()) + "/");
    EXPECT_EQ(refused.error.code, HttpErrorCode::ConnectFailed);
    EXPECT_EQ(words(refused), "无法连接");
    EXPECT_EQ(refused.status, 0);

    HttpResponse loop = send(server_.url("/hop/11"));
    EXPECT_EQ(loop.error.code, HttpErrorCode::TooManyRedirects);
    EXPECT_EQ(words(loop), "重定向次数过多");
    EXPECT_EQ(loop.body, "");

    for (const char* bad : {"", "file:///etc/hostname", "http://[broken"}) {
        HttpResponse invalid = send(bad);
        EXPECT_EQ(invalid.error.code, HttpErrorCode::InvalidAddress) << bad;
        EXPECT_EQ(words(invalid), "网址无效") << bad;
    }

    HttpResponse stalled = send(server_.url("/stall"), 1);
    EXPECT_EQ(stalled.error.code, HttpErrorCode::Timeout);
    EXPECT_EQ(words(stalled), "响应超时（1 秒没有收到数据）");
}

TEST(WebClientFailure, ASilentTlsPeerIsCutAtTheConnectLimit) {
    test::SilentServer silent;
    RequestEngine engine;
    engine.setTimeouts(1000, 1000, 1000, 1000);
    ASSERT_TRUE(engine.open("GET", silent.url("https", "/")));
    EXPECT_FALSE(engine.send());
    EXPECT_EQ(engine.error().code, HttpErrorCode::Timeout);
    EXPECT_EQ(ansiToUtf8(engine.error().message), "连接超时（1 秒）");
}

TEST(WebClientFailure, ACookieWithALineBreakIsNeverSent) {
    RawServer raw;
    Text cookie = "a=1\r\nX-Injected: 1";
    const std::string url = raw.url("/");
    HttpRequest request;
    request.url = url;
    request.cookie = cookie;
    const HttpResponse response = WebClient::send(request);
    EXPECT_FALSE(response.sent());
    EXPECT_EQ(response.error.code, HttpErrorCode::InvalidCookie);
    EXPECT_TRUE(raw.requests().empty());
    // WebClient::request leaves the caller's variables as they were.
    int status = 7;
    EXPECT_EQ(
        WebClient::request(raw.url("/"), HttpMethod::Get, {.cookie = &cookie, .status = &status}),
        "");
    EXPECT_EQ(status, 7);
    EXPECT_TRUE(raw.requests().empty());
}

TEST(WebClientFailure, UnreachablePortGivesEmptyAnswer) {
    std::string url = "http://127.0.0.1:" + std::to_string(test::closedPort()) + "/";
    Text cookie = "a=1;  b=2";
    Text returned = "stale";
    Text responseHeaders = "stale";
    int status = 123;
    Bytes body = WebClient::request(url, HttpMethod::Post,
                                    {.body = "x",
                                     .cookie = &cookie,
                                     .returnedCookie = &returned,
                                     .responseHeaders = &responseHeaders,
                                     .status = &status});
    EXPECT_EQ(body, "");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(responseHeaders, "");
    EXPECT_EQ(cookie, "a=1; b=2");  // merged with nothing
    EXPECT_EQ(returned, "a=1; b=2");
}

TEST(WebClientFailure, BadAddressesFailQuietly) {
    int status = 5;
    EXPECT_EQ(WebClient::request("", HttpMethod::Get, {.status = &status}), "");
    EXPECT_EQ(status, 0);
    status = 5;
    EXPECT_EQ(WebClient::request("file:///etc/hostname", HttpMethod::Get, {.status = &status}), "");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(WebClient::request("http://[broken", HttpMethod::Get, {.status = &status}), "");
}

TEST(WebClientTls, SelfSignedServerAnswersNormally) {
    test::SelfSigned identity;
    ASSERT_NE(identity.key, nullptr);
    LocalServer<httplib::SSLServer> secure(identity.certificate, identity.key);
    LocalServer<> plain;
    plain->Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("plain", "text/plain");
    });
    plain.start();
    secure->Get("/hello", [](const httplib::Request&, httplib::Response& response) {
        response.set_header("Set-Cookie", "tls=1; Secure");
        response.set_content("secret", "text/plain");
    });
    secure->Get("/down", [&plain](const httplib::Request&, httplib::Response& response) {
        response.set_redirect(plain.url("/"));
        response.set_content("stay", "text/plain");
    });
    secure.start();
    std::string base = "https://127.0.0.1:" + std::to_string(secure.port());

    Text cookie;
    int status = 0;
    Bytes body = WebClient::request(base + "/hello", HttpMethod::Get,
                                    {.cookie = &cookie, .status = &status});
    EXPECT_EQ(body, "secret");
    EXPECT_EQ(status, 200);
    EXPECT_EQ(cookie, "tls=1");

    // A redirect from https to http is not followed: its own answer is the result.
    body = WebClient::request(base + "/down", HttpMethod::Get, {.status = &status});
    EXPECT_EQ(status, 302);
    EXPECT_EQ(body, "stay");

    // The engine alone verifies certificates unless told otherwise.
    RequestEngine strict;
    strict.open("GET", base + "/hello");
    EXPECT_FALSE(strict.send());
    EXPECT_EQ(strict.status(), 0);
    EXPECT_EQ(strict.error().code, HttpErrorCode::Certificate);
    EXPECT_EQ(ansiToUtf8(strict.error().message), "证书错误");
    // A plain server spoken to in TLS fails the handshake.
    HttpRequest mismatched;
    const std::string plainAsTls = "https" + plain.url("/").substr(4);
    mismatched.url = plainAsTls;
    const HttpResponse handshake = WebClient::send(mismatched);
    EXPECT_EQ(handshake.error.code, HttpErrorCode::SecureConnection);
    EXPECT_EQ(ansiToUtf8(handshake.error.message), "安全连接（TLS）失败");
    RequestEngine lenient;
    lenient.setIgnoredCertificateErrors(kIgnoreUnknownCertificateAuthority |
                                        kIgnoreCertificateNameInvalid);
    lenient.open("GET", base + "/hello");
    EXPECT_TRUE(lenient.send());
    EXPECT_EQ(lenient.responseBody(), "secret");
}

// A TLS site whose certificate no system authority signed.
class SelfSignedSite : public ::testing::Test {
protected:
    void SetUp() override {
        site_->Get("/hello", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("secret", "text/plain");
        });
        site_.start();
        url_ = "https://127.0.0.1:" + std::to_string(site_.port()) + "/hello";
    }

    HttpResponse get(bool verifyTls, std::string_view caFile = {}) const {
        HttpRequest request;
        request.url = url_;
        request.verifyTls = verifyTls;
        request.caFile = caFile;
        return WebClient::send(request);
    }

    test::SelfSigned identity_;
    LocalServer<httplib::SSLServer> site_{identity_.certificate, identity_.key};
    std::string url_;
};

TEST_F(SelfSignedSite, ACheckedRequestTrustsOnlyTheSystemsOrTheGivenAuthorities) {
    EXPECT_EQ(get(false).body, "secret");  // a sign-in request takes any certificate
    const HttpResponse refused = get(true);
    EXPECT_EQ(refused.error.code, HttpErrorCode::Certificate);
    EXPECT_EQ(refused.status, 0);

    const test::TempFile authority(identity_.pem());
    const HttpResponse trusted = get(true, authority.path());
    EXPECT_TRUE(trusted.answered()) << ansiToUtf8(trusted.error.message);
    EXPECT_EQ(trusted.body, "secret");
    // The next checked request without the file trusts the system's authorities alone again.
    EXPECT_EQ(get(true).error.code, HttpErrorCode::Certificate);

    EXPECT_EQ(get(true, "/nonexistent/vesprey-ca.pem").error.code, HttpErrorCode::Certificate);
}

}  // namespace
}  // namespace vesprey
