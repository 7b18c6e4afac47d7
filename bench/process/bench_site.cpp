// The site the whole-process benchmarks sign in to: a one-thread epoll HTTP/1.1 server on
// 127.0.0.1 in a process of its own, with keep-alive and every answer made before the first
// request, so that it is never what a benchmark measures.
//
//   bench_site            prints the port it listens on, then serves until killed
//
// Paths: /page… answers a 200 KB HTML page in GBK with one <div class="c">…</div> near its end;
// the three pages of a forum's sign-in (UTF-8): /forum.php… a 16 KB page holding the formhash,
// /plugin.php… the sign-in, "签到成功" when its body holds that formhash and "表单无效" when not,
// /home.php… an 8 KB profile page with the points; every other path answers a small JSON document {"code":0,"data":{"msg":"签到成功",…}}, its
// Chinese written as \u escapes as most sites send it.
#include <arpa/inet.h>
#include <iconv.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>

namespace {

std::string toGbk(const std::string& utf8) {
    iconv_t cd = iconv_open("CP936", "UTF-8");
    std::string out(utf8.size() * 2 + 16, '\0');
    char* in = const_cast<char*>(utf8.data());
    std::size_t inLeft = utf8.size();
    char* dst = out.data();
    std::size_t outLeft = out.size();
    iconv(cd, &in, &inLeft, &dst, &outLeft);
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

std::string answer(std::string_view type, const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: " + std::string(type) +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string page() {
    std::string html =
        "<!DOCTYPE html><html><head><meta charset=\"gbk\"><title>签到页面</title>"
        "</head><body>\n";
    int n = 0;
    while (html.size() < 180 * 1024) {
        const std::string id = std::to_string(n++);
        html += "<p class=\"post\" id=\"p" + id +
                "\">会员 用户名 发表于 2024-01-01 今天也来签到了，大家好！<a href=\"/thread-" + id +
                ".html\">查看全文</a></p>\n";
    }
    html += "<div class=\"c\">今日已签到，获得 5 积分，连续签到 12 天</div>\n";
    while (html.size() < 200 * 1024) {
        html += "<p class=\"foot\">版权所有 © 示例论坛 2024</p>\n";
    }
    html += "</body></html>\n";
    return answer("text/html; charset=gbk", toGbk(html));
}

// A forum page as Discuz! sends it: a list of threads around `inside`, `bytes` long in all.
std::string forumPage(const std::string& title, const std::string& inside, std::size_t bytes) {
    std::string html = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>" + title +
                       " - 示例论坛</title></head><body>\n";
    for (int n = 0; html.size() < bytes / 2; ++n) {
        const std::string id = std::to_string(n);
        html += "<tr><th><a href=\"thread-" + id + "-1-1.html\" class=\"s xst\">第" + id +
                "期 每日福利活动，签到领取积分奖励</a></th><td class=\"by\"><cite>用户" + id +
                "</cite></td></tr>\n";
    }
    html += inside;
    while (html.size() < bytes) {
        html += "<p class=\"foot\">版权所有 © 示例论坛 2024，Powered by Discuz!</p>\n";
    }
    html += "</body></html>\n";
    return answer("text/html; charset=utf-8", html);
}

constexpr std::string_view kFormhash = "f0e1d2c3";

struct Connection {
    std::string in;
    std::string out;
    std::size_t sent = 0;
};

}  // namespace

int main() {
    const std::string json =
        answer("application/json",
               "{\"code\":0,\"message\":\"ok\",\"data\":{\"msg\":\"\\u7b7e\\u5230\\u6210\\u529f\","
               "\"days\":12,"
               "\"reward\":{\"points\":5,\"items\":[1,2,3]},\"user\":\"\\u6d4b\\u8bd5\"}}");
    const std::string html = page();
    const std::string forum = forumPage(
        "签到", "<form id=\"qiandao\" method=\"post\"><input type=\"hidden\" name=\"formhash\" "
              "value=\"" + std::string(kFormhash) + "\" /></form>\n",
        16 * 1024);
    const std::string signedIn = answer(
        "text/html; charset=utf-8",
        "<div class=\"c\">签到成功，获得随机奖励 金币 3，连续签到 12 天</div>");
    const std::string refused =
        answer("text/html; charset=utf-8", "<div class=\"c\">表单无效，请刷新后重试</div>");
    const std::string profile = forumPage(
        "积分", "<ul class=\"creditl\"><li><em id=\"points\">1234</em> 积分</li></ul>\n", 8 * 1024);

    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    const int yes = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 128) != 0) {
        std::perror("bench_site");
        return 1;
    }
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    std::printf("%d\n", ntohs(address.sin_port));
    std::fflush(stdout);

    const int poll = epoll_create1(0);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = listener;
    epoll_ctl(poll, EPOLL_CTL_ADD, listener, &event);
    std::unordered_map<int, Connection> connections;
    epoll_event ready[64];
    char buffer[65536];
    for (;;) {
        const int count = epoll_wait(poll, ready, 64, -1);
        for (int i = 0; i < count; ++i) {
            const int fd = ready[i].data.fd;
            if (fd == listener) {
                int client = 0;
                while ((client = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK)) >= 0) {
                    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
                    epoll_event e{};
                    e.events = EPOLLIN;
                    e.data.fd = client;
                    epoll_ctl(poll, EPOLL_CTL_ADD, client, &e);
                    connections[client];
                }
                continue;
            }
            Connection& c = connections[fd];
            bool closed = false;
            if (ready[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
                for (;;) {
                    const ssize_t n = read(fd, buffer, sizeof buffer);
                    if (n > 0) {
                        c.in.append(buffer, static_cast<std::size_t>(n));
                        continue;
                    }
                    closed = n == 0;
                    break;
                }
            }
            // Every complete request (headers and a Content-Length body) gets its answer.
            for (;;) {
                const std::size_t end = c.in.find("\r\n\r\n");
                if (end == std::string::npos) {
                    break;
                }
                std::size_t bodyLength = 0;
                const std::size_t field = c.in.find("Content-Length:");
                if (field != std::string::npos && field < end) {
                    bodyLength = std::strtoul(c.in.c_str() + field + 15, nullptr, 10);
                }
                if (c.in.size() < end + 4 + bodyLength) {
                    break;
                }
                const std::string_view request(c.in.data(), end + 4 + bodyLength);
                const std::string_view path = request.substr(request.find(' ') + 1);
                if (path.starts_with("/page")) {
                    c.out += html;
                } else if (path.starts_with("/forum.php")) {
                    c.out += forum;
                } else if (path.starts_with("/plugin.php")) {
                    const std::string_view body = request.substr(end + 4);
                    c.out += body.find("formhash=" + std::string(kFormhash)) !=
                                     std::string_view::npos
                                 ? signedIn
                                 : refused;
                } else if (path.starts_with("/home.php")) {
                    c.out += profile;
                } else {
                    c.out += json;
                }
                c.in.erase(0, end + 4 + bodyLength);
            }
            while (c.sent < c.out.size()) {
                const ssize_t n = write(fd, c.out.data() + c.sent, c.out.size() - c.sent);
                if (n <= 0) {
                    break;
                }
                c.sent += static_cast<std::size_t>(n);
            }
            if (c.sent == c.out.size()) {
                c.out.clear();
                c.sent = 0;
            }
            epoll_event e{};
            e.events = EPOLLIN | (c.out.empty() ? 0u : static_cast<unsigned>(EPOLLOUT));
            e.data.fd = fd;
            epoll_ctl(poll, EPOLL_CTL_MOD, fd, &e);
            if (closed && c.out.empty()) {
                epoll_ctl(poll, EPOLL_CTL_DEL, fd, nullptr);
                close(fd);
                connections.erase(fd);
            }
        }
    }
}
