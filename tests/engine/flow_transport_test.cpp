// The web transport of the flows against servers on 127.0.0.1: what goes on the wire, how the
// answers are decoded, the failures, and a two-step run over it.
#include <brotli/encode.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/account_request.h"
#include "engine/flow/web_transport.h"
#include "flow_entries.h"
#include "loopback_server.h"

namespace vesprey::flow {
namespace {

using namespace std::chrono_literals;
using testing::entry;
using testing::flowOf;

// ----- The server -----

// One request as it came off the socket.
struct Arrived {
    std::string requestLine;
    std::vector<std::string> lines;  // the header lines, in order
    std::string body;

    // The values of the header lines named `name` (any case).
    std::vector<std::string> values(std::string_view name) const {
        std::vector<std::string> found;
        for (const std::string& line : lines) {
            const std::size_t colon = line.find(':');
            std::string key = line.substr(0, colon);
            if (colon != std::string::npos && key.size() == name.size() &&
                std::equal(key.begin(), key.end(), name.begin(), [](char a, char b) {
                    return std::tolower(static_cast<unsigned char>(a)) ==
                           std::tolower(static_cast<unsigned char>(b));
                })) {
                found.push_back(line.substr(line.find_first_not_of(' ', colon + 1)));
            }
        }
        return found;
    }
};

// What the server sends for one request: these bytes, after a pause; with `hang` it then says
// nothing more and waits for the client to go.
struct Reply {
    std::string bytes;
    bool hang = false;
    std::chrono::milliseconds pause{0};
};

// A whole answer with its Content-Length.
std::string answer(std::string_view status, const std::vector<std::string>& lines,
                   std::string_view body) {
    std::string text = "HTTP/1.1 " + std::string(status) + "\r\n";
    for (const std::string& line : lines) {
        text += line + "\r\n";
    }
    return text + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

// Keeps each connection for as many requests as the client sends on it, records every request
// and answers it with `reply` (given the request line).
class ScriptedServer : public test::LoopbackAcceptor {
public:
    explicit ScriptedServer(std::function<Reply(const std::string&)> reply)
        : reply_(std::move(reply)) {
        startAccepting();
    }
    ~ScriptedServer() override {
        closing_ = true;
        stopAccepting();
        RequestEngine::closeIdleConnections();
    }

    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port()) + path;
    }
    std::vector<Arrived> arrived() {
        std::lock_guard lock(mutex_);
        return arrived_;
    }

    std::atomic<int> connections{0};

private:
    void take(int connection) override {
        ++connections;
        std::string buffer;
        while (std::optional<Arrived> request = read(connection, buffer)) {
            const Reply reply = reply_(request->requestLine);
            {
                std::lock_guard lock(mutex_);
                arrived_.push_back(std::move(*request));
            }
            std::this_thread::sleep_for(reply.pause);
            ::send(connection, reply.bytes.data(), reply.bytes.size(), MSG_NOSIGNAL);
            if (reply.hang) {
                std::string rest;
                while (receive(connection, rest)) {
                }
                break;
            }
        }
        ::close(connection);
    }

    // More bytes into `buffer`; false once the client left or the server closes.
    bool receive(int connection, std::string& buffer) {
        while (!closing_) {
            pollfd readable{connection, POLLIN, 0};
            if (::poll(&readable, 1, 20) <= 0) {
                continue;
            }
            char chunk[65536];
            const ssize_t got = ::recv(connection, chunk, sizeof chunk, 0);
            if (got <= 0) {
                return false;
            }
            buffer.append(chunk, static_cast<std::size_t>(got));
            return true;
        }
        return false;
    }

    std::optional<Arrived> read(int connection, std::string& buffer) {
        std::size_t headEnd = buffer.find("\r\n\r\n");
        while (headEnd == std::string::npos) {
            if (!receive(connection, buffer)) {
                return std::nullopt;
            }
            headEnd = buffer.find("\r\n\r\n");
        }
        Arrived request;
        std::size_t start = 0;
        while (start < headEnd) {
            const std::size_t end = buffer.find("\r\n", start);
            (start == 0 ? request.requestLine : request.lines.emplace_back()) =
                buffer.substr(start, end - start);
            start = end + 2;
        }
        const std::vector<std::string> length = request.values("Content-Length");
        const std::size_t bodySize = length.empty() ? 0 : std::stoul(length.front());
        while (buffer.size() < headEnd + 4 + bodySize) {
            if (!receive(connection, buffer)) {
                return std::nullopt;
            }
        }
        request.body = buffer.substr(headEnd + 4, bodySize);
        buffer.erase(0, headEnd + 4 + bodySize);
        return request;
    }

    std::function<Reply(const std::string&)> reply_;
    std::atomic<bool> closing_{false};
    std::mutex mutex_;
    std::vector<Arrived> arrived_;
};

// ----- Compressed bodies -----

// `data` (or `zeros` zero bytes after it) through zlib: windowBits 31 writes gzip, 15 the zlib
// format HTTP calls deflate.
std::string zlibCompressed(std::string_view data, int windowBits, std::size_t zeros = 0) {
    z_stream stream{};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
    std::string out;
    char chunk[65536];
    const std::string zeroBlock(std::size_t{1} << 20, '\0');
    auto feed = [&](std::string_view input, int flush) {
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
        stream.avail_in = static_cast<uInt>(input.size());
        do {
            stream.next_out = reinterpret_cast<Bytef*>(chunk);
            stream.avail_out = sizeof chunk;
            deflate(&stream, flush);
            out.append(chunk, sizeof chunk - stream.avail_out);
        } while (stream.avail_out == 0);
    };
    feed(data, Z_NO_FLUSH);
    for (std::size_t left = zeros; left > 0; left -= std::min(left, zeroBlock.size())) {
        feed(std::string_view(zeroBlock).substr(0, std::min(left, zeroBlock.size())), Z_NO_FLUSH);
    }
    feed({}, Z_FINISH);
    deflateEnd(&stream);
    return out;
}

std::string gzipped(std::string_view data) {
    return zlibCompressed(data, 31);
}

std::string brotlied(std::string_view data) {
    std::size_t size = BrotliEncoderMaxCompressedSize(data.size());
    std::string out(size, '\0');
    BrotliEncoderCompress(BROTLI_DEFAULT_QUALITY, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_GENERIC,
                          data.size(), reinterpret_cast<const uint8_t*>(data.data()), &size,
                          reinterpret_cast<uint8_t*>(out.data()));
    out.resize(size);
    return out;
}

// "签到成功" in code page 936.
const std::string kGbkDone = "\xC7\xA9\xB5\xBD\xB3\xC9\xB9\xA6";

FlowRequest get(std::string url) {
    return FlowRequest{"GET", std::move(url), {}, {}};
}

// The answer of a send that must have brought one.
FlowResponse answered(const std::variant<FlowResponse, TransportFailure>& outcome) {
    if (const auto* failed = std::get_if<TransportFailure>(&outcome)) {
        ADD_FAILURE() << "no answer: " << failed->message;
        return {};
    }
    return std::get<FlowResponse>(outcome);
}

TransportFailure failedWith(const std::variant<FlowResponse, TransportFailure>& outcome) {
    if (const auto* response = std::get_if<FlowResponse>(&outcome)) {
        ADD_FAILURE() << "an answer came: " << response->status;
        return {};
    }
    return std::get<TransportFailure>(outcome);
}

// ----- What goes on the wire -----

struct RequestCase {
    const char* name;
    FlowRequest request;  // its URL is a path on the server
    std::string requestLine;
    std::vector<std::string> present;  // header lines that must arrive as they are
    std::vector<std::string> absent;   // header names that must not arrive
    std::string body;
};

TEST(WebFlowTransport, SendsTheStepAsWritten) {
    const std::string desktopAgent(kDesktopUserAgentLine);
    const RequestCase cases[] = {
        {"utf-8 post",
         {"POST",
          "/签到 页?名=值&a=%41",
          {{"X-Note", "中文 值"},
           {"Cookie", "sid=1; 名=值"},
           {"Accept-Encoding", "gzip, deflate, br, zstd, xz"},
           {"Content-Length", "3"},
           {"User-Agent", "StepAgent/1"},
           {"Content-Type", "application/x-www-form-urlencoded"}},
          "名字=张三&x=%20"},
         "POST /%E7%AD%BE%E5%88%B0%20%E9%A1%B5?%E5%90%8D=%E5%80%BC&a=%41 HTTP/1.1",
         {"X-Note: 中文 值", "Cookie: sid=1; 名=值", "User-Agent: StepAgent/1",
          "Content-Type: application/x-www-form-urlencoded", "Content-Length: 19"},
         {"Referer", "Accept"},
         "名字=张三&x=%20"},
        {"get with a body",
         {"GET", "/a", {{"user-agent", "lower/1"}}, "dropped"},
         "GET /a HTTP/1.1",
         {"user-agent: lower/1"},
         {"Content-Length", "Referer", "Accept-Encoding", "Cookie", "Content-Type"},
         ""},
        {"no user agent",
         {"PUT", "/b", {}, ""},
         "PUT /b HTTP/1.1",
         {desktopAgent, "Content-Length: 0"},
         {"Referer", "Accept-Encoding"},
         ""},
        {"head",
         {"HEAD", "/c", {}, "dropped"},
         "HEAD /c HTTP/1.1",
         {desktopAgent},
         {"Content-Length"},
         ""},
    };
    ScriptedServer server([](const std::string&) { return Reply{answer("200 OK", {}, "")}; });
    WebFlowTransport transport({});
    for (const RequestCase& c : cases) {
        FlowRequest request = c.request;
        request.url = server.url(request.url);
        answered(transport.send(request));
        ASSERT_FALSE(server.arrived().empty());
        const Arrived got = server.arrived().back();
        EXPECT_EQ(got.requestLine, c.requestLine) << c.name;
        for (const std::string& line : c.present) {
            EXPECT_EQ(std::count(got.lines.begin(), got.lines.end(), line), 1) << c.name << line;
        }
        for (const std::string& name : c.absent) {
            EXPECT_TRUE(got.values(name).empty()) << c.name << " " << name;
        }
        EXPECT_EQ(got.values("User-Agent").size(), 1U) << c.name;
        EXPECT_EQ(got.body, c.body) << c.name;
    }
    // The step's Accept-Encoding gave way to what can be decoded.
    const std::vector<std::string> encodings = server.arrived().front().values("Accept-Encoding");
    ASSERT_EQ(encodings.size(), 1U);
    for (const char* decoded : {"gzip", "deflate", "br"}) {
        EXPECT_NE(encodings.front().find(decoded), std::string::npos) << encodings.front();
    }
    EXPECT_EQ(encodings.front().find("xz"), std::string::npos) << encodings.front();
    // One connection carried them all.
    EXPECT_EQ(server.connections, 1);
}

// ----- How answers are read -----

struct AnswerCase {
    const char* name;
    std::string reply;
    std::string body;  // as the step gets it
    std::string note;
};

TEST(WebFlowTransport, DecodesTheContentAndTheCharset) {
    const std::string page = "<p>签到成功</p>";
    const std::string gbkPage = "<p>" + kGbkDone + "</p>";
    const std::string html = "Content-Type: text/html";
    const AnswerCase cases[] = {
        {"gzip", answer("200 OK", {"Content-Encoding: gzip"}, gzipped(page)), page, ""},
        {"deflate", answer("200 OK", {"Content-Encoding: deflate"}, zlibCompressed(page, 15)), page,
         ""},
        {"br", answer("200 OK", {"Content-Encoding: br"}, brotlied(page)), page, ""},
        {"header charset", answer("200 OK", {"Content-Type: text/html; charset=GBK"}, gbkPage),
         page, "答复按 GBK 解码"},
        {"quoted header charset, gzip",
         answer("200 OK", {"Content-Type: text/html; Charset=\"gb2312\"", "Content-Encoding: gzip"},
                gzipped(gbkPage)),
         page, "答复按 GB2312 解码"},
        {"meta charset only",
         answer("200 OK", {html}, "<html><head><META Charset='gbk'></head>" + gbkPage),
         "<html><head><META Charset='gbk'></head>" + page, "答复按 GBK 解码"},
        {"meta http-equiv",
         answer(
             "200 OK", {html},
             "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=gb2312\">" + gbkPage),
         "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=gb2312\">" + page,
         "答复按 GB2312 解码"},
        {"xml declaration",
         answer("200 OK", {"Content-Type: text/xml"},
                "<?xml version=\"1.0\" encoding=\"GBK\"?><r>" + kGbkDone + "</r>"),
         "<?xml version=\"1.0\" encoding=\"GBK\"?><r>签到成功</r>", "答复按 GBK 解码"},
        {"utf-8 without charset", answer("200 OK", {html}, page), page, ""},
        {"utf-8 with a byte-order mark", answer("200 OK", {html}, "\xEF\xBB\xBF" + page), page, ""},
        {"gbk without charset", answer("200 OK", {html}, gbkPage), page,
         "答复没有注明编码，也不是 UTF-8，按 GB18030 解码"},
        {"bytes no charset holds",
         answer("200 OK", {"Content-Type: text/html; charset=gbk"}, kGbkDone + "\xFF" + "ok"),
         "签到成功?ok", "答复按 GBK 解码，其中 1 处无法解码的字节换成了“?”"},
        {"bad utf-8 under a utf-8 label",
         answer("200 OK", {"Content-Type: application/json; charset=utf-8"}, "{\"a\":\"\xC3\"}"),
         "{\"a\":\"?\"}", "答复注明 UTF-8，但有 1 处字节不是 UTF-8，已换成“?”"},
        {"an unknown charset", answer("200 OK", {"Content-Type: text/html; charset=x-none"}, page),
         page, "答复注明的编码 x-none 无法识别，按 UTF-8 读取"},
        {"big5", answer("200 OK", {"Content-Type: text/plain; charset=big5"}, "\xA4\xA4\xA4\xE5"),
         "中文", "答复按 BIG5 解码"},
        {"ascii under a gbk label",
         answer("200 OK", {"Content-Type: text/plain; charset=gbk"}, "plain"), "plain", ""},
    };
    const AnswerCase* current = nullptr;
    ScriptedServer server([&current](const std::string&) { return Reply{current->reply}; });
    WebFlowTransport transport({});
    for (const AnswerCase& c : cases) {
        current = &c;
        const FlowResponse response = answered(transport.send(get(server.url("/"))));
        EXPECT_EQ(response.status, 200) << c.name;
        EXPECT_EQ(response.body, c.body) << c.name;
        EXPECT_EQ(response.encodingNote, c.note) << c.name;
    }
}

TEST(WebFlowTransport, GivesARedirectAsTheAnswerWithEveryHeaderLine) {
    ScriptedServer server([](const std::string&) {
        return Reply{
            "HTTP/1.1 302 Found\r\nLocation: /next?t=1\r\nSet-Cookie: a=1; Path=/\r\n"
            "Set-Cookie: b=2\r\nX-Gbk: " +
                kGbkDone +
                "\r\nX-Utf8: 签到成功\r\nX-Folded: one\r\n two\r\n"
                "Content-Length: 4\r\n\r\nmove",
            false, 150ms};
    });
    WebFlowTransport transport({});
    const FlowResponse response = answered(transport.send(get(server.url("/start"))));
    EXPECT_EQ(response.status, 302);
    EXPECT_EQ(response.body, "move");
    EXPECT_EQ(response.headers, (HeaderLines{{"Location", "/next?t=1"},
                                             {"Set-Cookie", "a=1; Path=/"},
                                             {"Set-Cookie", "b=2"},
                                             {"X-Gbk", "签到成功"},
                                             {"X-Utf8", "签到成功"},
                                             {"X-Folded", "one two"},
                                             {"Content-Length", "4"}}));
    EXPECT_GE(response.elapsedMs, 150);
    EXPECT_LT(response.elapsedMs, 5000);
    EXPECT_EQ(server.arrived().size(), 1U);  // the Location was not followed
}

// ----- Failures -----

TEST(WebFlowTransport, RefusesADecodedBodyBeyondTheBudgetOrTheLimit) {
    struct BombCase {
        const char* name;
        std::size_t zeros;
        std::size_t budget;  // 0: none
        std::string message;
    };
    const BombCase cases[] = {
        {"budget", std::size_t{8} << 20, std::size_t{1} << 20,
         "答复太大（2 MB），超过了答复内存限额（1 MB），没有收下"},
        {"body limit", kMaxResponseBody + 1, 0, "答复太大（超过 64 MB），没有收下"},
    };
    for (const BombCase& c : cases) {
        const std::string bomb = zlibCompressed("", 31, c.zeros);
        ASSERT_LT(bomb.size(), c.zeros / 100) << c.name;  // small on the wire
        ScriptedServer server([&bomb](const std::string&) {
            return Reply{answer("200 OK", {"Content-Encoding: gzip"}, bomb)};
        });
        auto budget = c.budget == 0 ? nullptr : std::make_shared<AnswerBudget>(c.budget);
        WebFlowTransport transport({.answerBudget = budget});
        const TransportFailure failure = failedWith(transport.send(get(server.url("/bomb"))));
        EXPECT_EQ(failure.message, c.message) << c.name;
        EXPECT_FALSE(failure.noAnswer) << c.name;
        EXPECT_FALSE(failure.stopped) << c.name;
        if (budget) {
            EXPECT_EQ(budget->used(), 0U) << c.name;
        }
    }
}

TEST(WebFlowTransport, StopsARequestUnderWay) {
    ScriptedServer server([](const std::string&) {
        return Reply{"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nfirst part", true};
    });
    std::stop_source stop;
    WebFlowTransport transport({.stop = stop.get_token()});
    std::jthread stopper([&stop] {
        std::this_thread::sleep_for(300ms);
        stop.request_stop();
    });
    const auto started = std::chrono::steady_clock::now();
    const TransportFailure failure = failedWith(transport.send(get(server.url("/slow"))));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2500ms);
    EXPECT_TRUE(failure.stopped);
    EXPECT_FALSE(failure.noAnswer);
    EXPECT_EQ(failure.message, "已停止");
    // A later step fails at once the same way.
    EXPECT_TRUE(failedWith(transport.send(get(server.url("/again")))).stopped);
    EXPECT_EQ(server.arrived().size(), 1U);
}

TEST(WebFlowTransport, SaysWhyNoAnswerCame) {
    struct FailureCase {
        const char* name;
        FlowRequest request;
        std::string message;
        bool noAnswer;
    };
    const std::string refused = "http://127.0.0.1:" + std::to_string(test::closedPort()) + "/";
    ScriptedServer server([](const std::string& requestLine) {
        if (requestLine.starts_with("GET /silent")) {
            return Reply{"", true};
        }
        if (requestLine.starts_with("GET /partial")) {
            return Reply{"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhalf", true};
        }
        return Reply{answer("200 OK", {"Content-Encoding: gzip"}, "not gzip at all")};
    });
    const FailureCase cases[] = {
        {"refused", get(refused), "无法连接", true},
        {"silent past the deadline", get(server.url("/silent")), "请求超时（0.6 秒内没有完成）",
         true},
        {"half an answer by the deadline", get(server.url("/partial")),
         "请求超时（0.6 秒内没有完成）", false},
        {"bad gzip", get(server.url("/bad")), "答复的压缩格式无法识别，或压缩数据有误，无法解开",
         false},
        {"other scheme", get("ftp://127.0.0.1/x"),
         "这一步的网址以“ftp:”开头，只能请求 http 或 https 网址，请检查模板", false},
        {"no scheme", get("127.0.0.1/x"),
         "这一步的网址没有以 http:// 或 https:// 开头，无法请求，请检查模板", false},
        {"bad header name",
         {"GET", refused, {{"Bad Name", "1"}}, ""},
         "这一步的请求头“Bad Name”写得不对（名字有空格或符号，或者值里有换行），请检查模板",
         false},
        {"line break in a value",
         {"GET", refused, {{"X-A", "1\r\nX-B: 2"}}, ""},
         "这一步的请求头“X-A”写得不对（名字有空格或符号，或者值里有换行），请检查模板",
         false},
        {"a cookie over 64 KB",
         {"GET", refused, {{"Cookie", "a=" + std::string(64 * 1024, 'x')}}, ""},
         "Cookie 太长（超过 64 KB），请求没有发出，请重新获取 Cookie",
         false},
        {"bad method",
         {"GE T", refused, {}, ""},
         "这一步的请求方法“GE T”或网址无效，请检查模板",
         false},
    };
    WebFlowTransport transport({.requestDeadlineMs = 600});
    for (const FailureCase& c : cases) {
        const TransportFailure failure = failedWith(transport.send(c.request));
        EXPECT_EQ(failure.message, c.message) << c.name;
        EXPECT_EQ(failure.noAnswer, c.noAnswer) << c.name;
        EXPECT_FALSE(failure.stopped) << c.name;
    }
}

TEST(WebFlowTransport, ChecksTheCertificateOnlyWhenAsked) {
    test::SelfSigned identity;
    test::LocalServer<httplib::SSLServer> site(identity.certificate, identity.key);
    site->Get("/hello", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("secret", "text/plain");
    });
    site.start();
    const std::string url = "https://127.0.0.1:" + std::to_string(site.port()) + "/hello";
    const test::TempFile authority(identity.pem());

    EXPECT_EQ(answered(WebFlowTransport({}).send(get(url))).body, "secret");
    EXPECT_EQ(failedWith(WebFlowTransport({.verifyTls = true}).send(get(url))).message, "证书错误");
    WebFlowTransport trusting({.verifyTls = true, .caFile = authority.path()});
    EXPECT_EQ(answered(trusting.send(get(url))).body, "secret");
}

// ----- A run over it -----

TEST(WebFlowTransport, CarriesATwoStepRun) {
    ScriptedServer server([](const std::string& requestLine) {
        if (requestLine.starts_with("GET /login")) {
            return Reply{answer("302 Found", {"Location: /home", "Set-Cookie: sid=s3cr3t; Path=/"},
                                "token=t0k")};
        }
        return Reply{answer("200 OK",
                            {"Content-Type: text/html; charset=gbk", "Content-Encoding: gzip"},
                            gzipped("<b>" + kGbkDone + "</b>"))};
    });
    const std::string text = flowOf(
        {entry(
             "\"" + server.url("/login") + "\"", "",
             R"~("extract_variables": [{"name": "token", "re": "token=(\\w+)", "from": "content"}])~"),
         entry("\"" + server.url("/sign?t={{ token }}") + "\"",
               R"~(, "method": "POST", "data": "day=今天")~",
               R"~("success_asserts": [{"re": "签到成功", "from": "content"}])~")});
    auto parsed = parseFlow(text);
    ASSERT_TRUE(std::holds_alternative<Flow>(parsed)) << std::get<FlowError>(parsed).message;
    WebFlowTransport transport({});
    SystemFlowClock clock;
    const FlowResult result = runFlow(std::get<Flow>(parsed), {}, transport, clock);
    EXPECT_TRUE(result.passed) << result.message;
    EXPECT_EQ(result.stepsRun, 2U);
    EXPECT_EQ(result.lastAnswer, "<b>签到成功</b>");
    const std::vector<Arrived> arrived = server.arrived();
    ASSERT_EQ(arrived.size(), 2U);
    EXPECT_EQ(arrived[1].requestLine, "POST /sign?t=t0k HTTP/1.1");
    EXPECT_EQ(arrived[1].values("Cookie"), std::vector<std::string>{"sid=s3cr3t"});
    EXPECT_EQ(arrived[1].body, "day=今天");
    EXPECT_EQ(server.connections, 1);
}

}  // namespace
}  // namespace vesprey::flow
