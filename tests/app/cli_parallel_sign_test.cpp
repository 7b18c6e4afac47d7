// `vesprey-cli sign --jobs N` and its progress, run as a user runs them: from sites on several
// loopback addresses (127.0.0.2, 127.0.0.3: hosts of their own to the client) several jobs give
// what one job gives; on a terminal (a pseudo-terminal here) the progress is one line drawn again
// in place.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "loopback_server.h"
#include "shell.h"
#include "store/site_database.h"
#include "text/text.h"

// Under ThreadSanitizer: cpp-httplib, which runs the fake sites, is a shared library built
// without it, so the locks of its thread pools are invisible and what its threads hand each
// other looks like races. The client side, and everything of ours, stays checked.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libcpp-httplib.so\n";
}

namespace {

namespace fs = std::filesystem;
using vesprey::test::LocalServer;
using vesprey::test::Outcome;
using vesprey::test::quoted;

// A site answering its sign-in pages in UTF-8: /json with the cookie it got, /page an HTML page
// with the day's state in <b>, /denied 401.
class Site {
public:
    explicit Site(const std::string& address) {
        server_->Get("/json", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content("{\"msg\":\"签到成功 " + req.get_header_value("Cookie") + "\"}",
                            "application/json");
        });
        server_->Get("/page", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("<html><b>今日已签到</b></html>", "text/html");
        });
        server_->Get("/denied", [](const httplib::Request&, httplib::Response& res) {
            res.status = 401;
            res.set_content("请先登录", "text/plain");
        });
        server_.start(address);
    }
    std::string url(const std::string& path) const { return server_.url(path); }

private:
    LocalServer<> server_;
};

// Terminal columns of UTF-8 text as the test's texts need: CJK and full-width forms take two.
std::size_t columns(const std::string& utf8) {
    std::size_t width = 0;
    const std::u16string units = vesprey::utf8ToUtf16(utf8);
    for (char16_t c : units) {
        width += c >= 0x2E80 ? 2 : 1;
    }
    return width;
}

class CliJobs : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vesprey-jobs-XXXXXX").string();
        dir_ = mkdtemp(pattern.data());
        db_ = dir_ / "Sign.db";
        ASSERT_TRUE(vesprey::createSiteDatabase(db_, nullptr));
        ASSERT_TRUE(vesprey::openSiteDatabase(sql_, db_));
    }
    void TearDown() override { fs::remove_all(dir_); }

    void add(const std::string& name, const std::string& url, int rtype, const std::string& tying,
             const std::string& cookie) {
        vesprey::TemplateFields f;
        f.WebName = vesprey::utf8ToAnsi(name);
        f.WebLink = url;
        f.Qtype = vesprey::RequestMethod::Get;
        f.Rtype = vesprey::storedAnswerType(rtype);
        f.Ctype = 1;  // the sites answer in UTF-8
        f.Tying = vesprey::utf8ToAnsi(tying);
        if (cookie.empty()) {
            ASSERT_TRUE(vesprey::insertTemplate(sql_, f));
        } else {
            ASSERT_TRUE(vesprey::addSite(sql_, f, cookie).write);
        }
    }

    Outcome sign(const std::string& options) {
        return vesprey::test::runCapturingStderr(std::string(VESPREY_CLI) + " sign --no-history " +
                                                     options + " --db " + quoted(db_.string()),
                                                 dir_);
    }

    fs::path dir_;
    fs::path db_;
    vesprey::SqlDatabase sql_;
};

TEST_F(CliJobs, SeveralJobsPrintWhatOneJobPrints) {
    Site a("127.0.0.2");
    Site b("127.0.0.3");
    add("甲站", a.url("/json"), 1, "msg", "a=1");
    add("乙站", b.url("/page"), 2, "<b>(.*?)</b>", "b=1");
    add("没账号", a.url("/json"), 1, "msg", "");
    add("要登录", b.url("/denied"), 1, "msg", "d=1");
    add("对不上", a.url("/page"), 2, "<i>(.*?)</i>", "e=1");
    for (int i = 0; i < 6; ++i) {
        add("站" + std::to_string(i), (i % 2 == 0 ? a : b).url("/json"), 1, "msg",
            "n=" + std::to_string(i));
    }

    const std::regex times("\"ms\":[0-9]+");
    for (const std::string format : {"", "--json"}) {
        const Outcome one = sign(format + " --jobs 1");
        const Outcome four = sign(format + " --jobs 4");
        EXPECT_EQ(four.exitCode, 3);  // one account's cookie has expired
        EXPECT_EQ(four.exitCode, one.exitCode);
        EXPECT_EQ(std::regex_replace(four.out, times, ""), std::regex_replace(one.out, times, ""));
        EXPECT_EQ(four.err, one.err);
        EXPECT_NE(four.out.find("签到成功 n=5"), std::string::npos) << four.out;
    }

    for (const std::string bad : {"0", "65", "x", "2x", "-1", "''"}) {
        const Outcome refused = sign("--jobs " + bad);
        EXPECT_EQ(refused.exitCode, 1) << bad;
        EXPECT_NE(refused.err.find("--jobs 只能是 1 到 64 之间的整数"), std::string::npos)
            << refused.err;
    }
}

TEST_F(CliJobs, OnATerminalTheProgressIsOneLineDrawnInPlace) {
    Site a("127.0.0.2");
    add("甲站", a.url("/json"), 1, "msg", "a=1");
    add("一个名字非常非常非常非常非常非常非常非常长的网站", a.url("/json"), 1, "msg", "b=1");
    add("对不上", a.url("/page"), 2, "<i>(.*?)</i>", "c=1");
    const fs::path table = dir_ / "table.txt";

    // stderr on a terminal 50 columns wide, stdout in a file.
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 50;
    int terminal = -1;
    const pid_t child = forkpty(&terminal, nullptr, nullptr, &size);
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int out = ::open(table.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(out, STDOUT_FILENO);
        ::execl(VESPREY_CLI, VESPREY_CLI, "sign", "--no-history", "--db", db_.c_str(), nullptr);
        ::_exit(127);
    }
    std::string shown;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(terminal, buffer, sizeof buffer)) > 0) {
        shown.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(terminal);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(WEXITSTATUS(status), 0);

    // The terminal turns each newline into CR LF.
    shown = std::regex_replace(shown, std::regex("\r\n"), "\n");
    EXPECT_EQ(shown.find("开始对>>>"), std::string::npos) << shown;
    std::vector<std::string> drawn;
    const std::regex draw("\r([^\r\n]*)\x1b\\[K");
    for (auto it = std::sregex_iterator(shown.begin(), shown.end(), draw);
         it != std::sregex_iterator(); ++it) {
        drawn.push_back((*it)[1]);
    }
    ASSERT_GE(drawn.size(), 4u) << shown;
    EXPECT_TRUE(std::regex_match(drawn[0], std::regex("签到 0/3 · 甲站 · 已用 0:[0-9]{2}")))
        << drawn[0];
    const std::string progress = "签到 [0-9]/3 · .* · 已用 [0-9]+:[0-9]{2}";
    const std::string estimate = " · 还需约 [0-9]+:[0-9]{2}";
    bool cut = false;
    for (std::size_t i = 0; i + 1 < drawn.size(); ++i) {
        EXPECT_TRUE(std::regex_match(drawn[i], std::regex(progress + "(" + estimate + ")?")) ||
                    drawn[i].empty())
            << drawn[i];
        EXPECT_LE(columns(drawn[i]), 49u) << drawn[i];
        cut = cut || drawn[i].find("…") != std::string::npos;
    }
    EXPECT_TRUE(cut) << shown;
    EXPECT_TRUE(std::regex_search(shown, std::regex("签到 2/3 · 对不上 · .*" + estimate)));
    // The message of the regex that found nothing has a line of its own, and the progress line
    // is drawn again under it.
    EXPECT_TRUE(std::regex_search(shown, std::regex("\r\x1b\\[K信息：匹配失败[^\r]*\n\r签到 2/3")))
        << shown;
    // The last line stays, with the newline after it.
    EXPECT_TRUE(std::regex_match(drawn.back(), std::regex("签到完毕！ 3/3 · 用时 [0-9]+:[0-9]{2}")))
        << drawn.back();
    EXPECT_TRUE(shown.ends_with("\x1b[K\n")) << shown;

    // The table on stdout is the one of a run without a terminal.
    const Outcome plain = sign("");
    EXPECT_EQ(vesprey::test::readFile(table), plain.out);
    EXPECT_NE(plain.err.find("开始对>>>甲站<<<进行签到\n"), std::string::npos) << plain.err;
}

}  // namespace
