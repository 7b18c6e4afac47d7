// The login site of the browser tests: /start redirects to /account/login, and both set cookies.
#pragma once

#include <httplib.h>

namespace vesprey::browsertest {

// What a capture on the login page must give. Besides these, the page sets cookies it must not
// get: one for another path and one for a path that only starts like the page's. The redirect
// before it sets "hop"; a cookie without a path gets the page's directory, /account. Longest
// path first, then in the order they were set.
inline constexpr char kLoginCookie[] = "deep=d1; nopath=np; hop=h1; plain=p1; session=s3cret";

inline void addLoginRoutes(httplib::Server& server) {
    server.Get("/start", [](const httplib::Request&, httplib::Response& res) {
        res.status = 302;
        res.set_header("Location", "/account/login");
        res.set_header("Set-Cookie", "hop=h1; Path=/");
    });
    server.Get("/account/login", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("Set-Cookie", "plain=p1; Path=/");
        res.set_header("Set-Cookie", "session=s3cret; Path=/; HttpOnly");
        res.set_header("Set-Cookie", "deep=d1; Path=/account");
        res.set_header("Set-Cookie", "nopath=np");
        res.set_header("Set-Cookie", "near=n1; Path=/acc");
        res.set_header("Set-Cookie", "other=o1; Path=/elsewhere");
        res.set_content(
            "<!doctype html><html><head><meta charset=\"utf-8\"><title>login</title></head>"
            "<body><form method=\"post\" action=\"/account/login\"><input name=\"user\">"
            "<input name=\"password\" type=\"password\"><button>login</button></form></body>"
            "</html>",
            "text/html; charset=utf-8");
    });
}

}  // namespace vesprey::browsertest
