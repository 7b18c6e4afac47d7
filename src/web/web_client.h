// One HTTP request, synchronously: the default headers are completed, the answer's cookies are
// collected and merged into the cookie that was sent.
//
// WebClient::send takes the request as a value and returns everything about the answer as a
// value, failures included. WebClient::request is a form over it for callers that keep their
// texts in variables: it returns the body alone and writes the rest through those variables.
#pragma once

#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "text/text.h"
#include "web/request_engine.h"

namespace vesprey {

// A cookie longer than this is not sent: no site sets one that long, and one pasted with the rest
// of a page would only make the request fail.
inline constexpr std::size_t kMaxCookieBytes = 64 * 1024;

// Method codes; any value outside 0..7 is taken as GET.
struct HttpMethod {
    enum : int {
        Get = 0,
        Post = 1,
        Head = 2,
        Put = 3,
        Options = 4,
        Delete = 5,
        Trace = 6,
        Connect = 7,
    };
};

// The method word of a code ("GET" for codes out of range).
std::string_view httpMethodWord(int method);

// The optional arguments of a request. Texts are code page 936. In-only texts are views: they
// must stay alive for the call. Pointers are the caller's variables; null means "not given",
// which is not the same as an empty text.
struct RequestOptions {
    std::string_view body{};          // sent when byteBody is empty
    Text* cookie = nullptr;           // in/out: sent as "Cookie" (even empty); receives the merge
    Text* returnedCookie = nullptr;   // out: cookies the answer set ("a=1; b=2")
    Text* headers = nullptr;          // in/out: header lines joined by CR LF; defaults appended
    Text* responseHeaders = nullptr;  // out: the answer's header lines joined by CR LF
    int* status = nullptr;            // out: HTTP status, 0 when nothing came back
    bool noRedirect = false;          // true: do not follow redirects
    std::string_view byteBody{};      // raw body bytes, sent instead of `body` when not empty
    std::string_view proxy{};         // "host:port"; empty: no proxy
    int timeoutSeconds = 0;           // -1: engine's own limits; below 1: 15 s; else this many
    std::string_view proxyUser{};
    std::string_view proxyPassword{};
    int proxyAuthMode = 1;            // 1: Basic "Proxy-Authorization" when proxyUser is given
    RequestEngine* engine = nullptr;  // an existing request object to use instead of a new one
    bool mergeCookies = true;         // merge the returned cookies into *cookie when given
};

// One request. Texts are code page 936; views must stay alive for the call.
struct HttpRequest {
    std::string_view url{};
    int method = HttpMethod::Get;
    Text headers{};                            // header lines joined by CR LF; the defaults
                                               // missing from them are added
    std::string_view body{};                   // sent when byteBody is empty
    std::optional<std::string_view> cookie{};  // sent as "Cookie" (even empty) when given
    bool mergeCookies = true;                  // merge the answer's cookies into `cookie`
    bool noRedirect = false;                   // true: do not follow redirects
    std::string_view byteBody{};               // raw body bytes, sent instead of `body`
    // A proxy address (web/proxy.h; "host:port" alone is an HTTP proxy); empty: no proxy.
    std::string_view proxy{};
    std::string_view proxyUser{};
    std::string_view proxyPassword{};
    int proxyAuthMode = 1;            // 1: Basic "Proxy-Authorization" when proxyUser is given
    int timeoutSeconds = 0;           // -1: engine's own limits; below 1: 15 s; else this many
    RequestEngine* engine = nullptr;  // an existing request object to use instead of a new one
    // The server's certificate is checked (authority, dates, name) when true; otherwise any
    // certificate is taken, as many sites' sign-in pages need. A push always checks it: it
    // carries keys and the user's results.
    bool verifyTls = false;
    std::string_view caFile{};  // a PEM file of authorities to trust in place of the system's
                                // bundle (Debian's libcurl still reads /etc/ssl/certs); empty:
                                // the system's (Debian's ca-certificates)
    long deadlineMs = 0;  // the bound of the whole send, redirects included; 0: kRequestDeadlineMs
    // False: no Referer is added to the defaults (a push, whose address holds its key).
    bool sendReferer = true;
    std::stop_token stop{};  // once requested, the send ends within about a second (Stopped)
    // The budget the answer's body holds its bytes in while it is received and kept (see
    // answer_budget.h), shared by requests running at once; null: only the body limit.
    std::shared_ptr<AnswerBudget> answerBudget{};
};

// Everything about one request's outcome.
struct HttpResponse {
    HttpError error;       // why no answer came; no error when one came, whatever its status
    int status = 0;        // 0 without an answer
    Bytes body;            // as received (cut at kMaxResponseBody); empty without an answer
    Text headers;          // the final answer's header lines joined by CR LF
    std::string finalUrl;  // where the final answer came from after redirects (wire form)
    int redirects = 0;     // redirects followed on the way
    long long elapsedMs = 0;
    Text sentHeaders;  // the request's header text completed with the defaults
    Text setCookies;   // the cookies the answer set, "a=1; b=2"
    // Cookies the answer set that were left out of setCookies: they hold a control character or
    // bytes that are no text (collectReturnedCookies).
    std::vector<Text> refusedCookies;
    Text cookie;  // the request's cookie merged with setCookies (as sent without merging);
                  // setCookies when no cookie was sent
    // The answer budget's bytes `body` holds (HttpRequest::answerBudget): given back when the
    // last copy of the response goes, or by a taker done with the body before that.
    std::shared_ptr<AnswerHold> answerHold;

    bool answered() const { return !error; }
    // False when the request never went out (no request object, a cookie with a line break).
    bool sent() const {
        return error.code != HttpErrorCode::NoRequestObject &&
               error.code != HttpErrorCode::InvalidCookie;
    }
};

class WebClient {
public:
    // Sends one request and waits for its answer. Never throws and shows nothing. Safe to call
    // from any thread; `request.engine`, when given, must not be in use by another thread.
    static HttpResponse send(const HttpRequest& request);

    // Sends one request through `send` and returns the answer's body bytes exactly as received
    // (empty when nothing came back); the other results go to the variables `options` points to.
    // A failed request shows as an empty body, empty response headers and status 0; without a
    // request object the variables stay as they were.
    static Bytes request(std::string_view url, int method = HttpMethod::Get,
                         const RequestOptions& options = {});
};

// Standard Base64 (RFC 4648) of bytes, with padding and no line breaks.
std::string base64(std::string_view bytes);

// Appends the default headers missing from `headers` (searches are case-sensitive and include
// the colon): Accept, Referer (the url without a user name or password and without its
// #fragment; left out when `referer` is false), Accept-Language, User-Agent and, for POST, the
// form Content-Type after writing a lower-case "content-type" as "Content-Type".
void completeRequestHeaders(Text& headers, std::string_view url, int method, bool referer = true);

// `url` as a Referer gives it: without "user:password@" and without the "#fragment".
std::string_view refererOf(std::string_view url, std::string& scratch);

// The header lines of a completed header text as (name, value) pairs: split at CR LF, empty lines
// skipped, name before the first ":" and value after it, both trimmed of spaces; a line without
// ":" gives an empty name and value.
std::vector<std::pair<Text, Text>> splitRequestHeaders(std::string_view headers);

}  // namespace vesprey
