// The forum of the recording tests, on 127.0.0.1: /forum.php holds a fresh formhash at every
// load and a 签到 button that posts it to /plugin.php, by fetch or as a plain form. With a login,
// /forum.php shows a login form to a visitor without the auth cookie, and the login sets it.
//
// The page cannot be clicked from the test, so it asks /go every 100 ms what its user does
// next: "login" fills in and sends the login form, "sign" presses 签到 (and first sends a beacon,
// which no script of the page reports, and as many requests of /ping as asked). Each page acts
// once.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "loopback_server.h"  // before Qt: httplib.h must not see Qt's macros

namespace vesprey::browsertest {

enum class SignBy { Fetch, Form };

struct ForumOptions {
    SignBy signBy = SignBy::Fetch;
    bool login = false;  // a visitor logs in first; otherwise every load sets the auth cookie
    int pingsFirst = 0;  // GET requests of /ping?n=… the page makes right before 签到
};

inline constexpr char kForumUser[] = "alice";
inline constexpr char kForumPassword[] = "s3cret";

class Forum {
public:
    // What the sign-in post carries besides the formhash.
    static std::string moreFields(SignBy by) {
        return by == SignBy::Form ? "&qdxq=kx&signsubmit=yes" : "&qdxq=kx";
    }

    explicit Forum(ForumOptions options = {}) : options_(options) {
        server_->Get("/forum.php", [this](const httplib::Request& req, httplib::Response& res) {
            const bool member = req.get_header_value("Cookie").find("auth=ok") != std::string::npos;
            if (options_.login && !member) {
                res.set_content(loginPage(), "text/html; charset=utf-8");
                return;
            }
            const std::string hash = "f" + std::to_string(++loads_) + "e1d2c3";
            {
                std::lock_guard lock(mutex_);
                issued_ = hash;
            }
            if (!options_.login) {
                res.set_header("Set-Cookie", "auth=ok; Path=/");
            }
            res.set_content(signPage(hash), "text/html; charset=utf-8");
        });
        server_->Post("/member.php", [this](const httplib::Request& req, httplib::Response& res) {
            const bool right = req.body == std::string("username=") + kForumUser +
                                               "&password=" + kForumPassword + "&loginsubmit=yes";
            res.status = 302;
            res.set_header("Location", right ? "/forum.php" : "/forum.php?failed=1");
            if (right) {
                res.set_header("Set-Cookie", "auth=ok; Path=/");
                ++logins;
            }
        });
        server_->Get("/go", [this](const httplib::Request&, httplib::Response& res) {
            std::lock_guard lock(mutex_);
            res.set_content(command_, "text/plain");
        });
        server_->Get("/ping", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("pong", "text/plain");
        });
        server_->Post("/stat",
                      [](const httplib::Request&, httplib::Response& res) { res.status = 204; });
        server_->Post("/plugin.php", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard lock(mutex_);
            SignIn seen;
            seen.body = req.body;
            seen.cookie = req.get_header_value("Cookie");
            seen.referer = req.get_header_value("Referer");
            seen.userAgent = req.get_header_value("User-Agent");
            seen.origin = req.get_header_value("Origin");
            seen.issued = issued_;
            seen.right = req.body == "formhash=" + issued_ + moreFields(options_.signBy) &&
                         seen.cookie.find("auth=ok") != std::string::npos;
            res.set_content(seen.right ? "签到成功" : "表单无效", "text/plain; charset=utf-8");
            signIns_.push_back(std::move(seen));
            ++signIns;
        });
        server_.start();
    }

    std::string url(const std::string& path) const { return server_.url(path); }
    std::string origin() const { return url(""); }

    // What the page's user does at the page's next question: "login", "sign" or "wait".
    void command(const std::string& what) {
        std::lock_guard lock(mutex_);
        command_ = what;
    }

    // One post to /plugin.php as the forum saw it.
    struct SignIn {
        std::string body;
        std::string cookie;
        std::string referer;
        std::string userAgent;
        std::string origin;
        std::string issued;  // the formhash of the latest load of /forum.php then
        bool right = false;  // that formhash and the auth cookie
    };
    std::vector<SignIn> signInsSeen() {
        std::lock_guard lock(mutex_);
        return signIns_;
    }
    int loads() const { return loads_.load(); }

    std::atomic<int> signIns{0};
    std::atomic<int> logins{0};

private:
    // Asks /go and runs `act` (a function body) at the first answer `word`.
    static std::string askingScript(const std::string& word, const std::string& act) {
        return "<script>setInterval(function () { fetch('/go').then(function (r) { return "
               "r.text(); }).then(function (t) { if (t === '" +
               word + "' && !window.done) { window.done = true; " + act +
               " } }); }, 100);</script>";
    }

    static std::string loginPage() {
        return "<!doctype html><html><head><meta charset=\"utf-8\"><title>登录</title></head>"
               "<body><form method=\"post\" action=\"/member.php?mod=logging&amp;action=login\">"
               "<input id=\"username\" name=\"username\"><input id=\"password\" "
               "name=\"password\" type=\"password\"><button id=\"login\" type=\"submit\" "
               "name=\"loginsubmit\" value=\"yes\">登录</button></form>" +
               askingScript("login",
                            std::string("document.getElementById('username').value = '") +
                                kForumUser + "'; document.getElementById('password').value = '" +
                                kForumPassword + "'; document.getElementById('login').click();") +
               "</body></html>";
    }

    std::string signPage(const std::string& hash) const {
        const std::string press = "for (var i = 0; i < " + std::to_string(options_.pingsFirst) +
                                  "; ++i) { fetch('/ping?n=' + i); } "
                                  "navigator.sendBeacon('/stat?page=forum', 'seen=1'); "
                                  "document.getElementById('sign').click();";
        if (options_.signBy == SignBy::Form) {
            return "<!doctype html><html><head><meta charset=\"utf-8\"></head><body>"
                   "<form method=\"post\" action=\"/plugin.php?id=dsu_paulsign:sign\">"
                   "<input type=\"hidden\" name=\"formhash\" value=\"" +
                   hash +
                   "\" /><input type=\"hidden\" name=\"qdxq\" value=\"kx\" />"
                   "<button id=\"sign\" type=\"submit\" name=\"signsubmit\" "
                   "value=\"yes\">签到</button></form>" +
                   askingScript("sign", press) + "</body></html>";
        }
        return "<!doctype html><html><head><meta charset=\"utf-8\"></head><body>"
               "<form><input type=\"hidden\" name=\"formhash\" value=\"" +
               hash +
               "\" /></form>"
               "<button id=\"sign\" onclick=\"fetch('/plugin.php?id=dsu_paulsign:sign', "
               "{method: 'POST', headers: {'Content-Type': "
               "'application/x-www-form-urlencoded'}, body: 'formhash=' + "
               "document.querySelector('[name=formhash]').value + '&qdxq=kx'})\">签到</button>" +
               askingScript("sign", press) + "</body></html>";
    }

    ForumOptions options_;
    test::LocalServer<> server_;
    std::atomic<int> loads_{0};
    std::mutex mutex_;
    std::string command_ = "wait";
    std::string issued_;
    std::vector<SignIn> signIns_;
};

}  // namespace vesprey::browsertest
