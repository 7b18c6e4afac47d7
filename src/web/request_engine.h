// The HTTP request engine: one request object in the manner of a Windows HTTP request object,
// over libcurl. Settings (timeouts, proxy, certificate errors to ignore, redirect following) stay
// on the object; request headers belong to the next send and are consumed by it.
//
// What a caller sees of the transport:
// - the response headers are those of the final response only, "Name: value" lines joined by
//   CR LF without the status line;
// - redirects (301, 302, 303, 307, 308) are followed up to 10 times, never from https to http
//   (that answer is then the final one); an 11th redirect makes the send fail. Cookies set by an
//   answer inside the chain are sent on the following hops of the same send (to the host that set
//   them, or the domain they name), in one Cookie header ahead of the caller's cookie, and
//   forgotten after it. The caller's cookie goes only to the host of the opened address;
// - on a hop to another host only the default headers (Accept, Accept-Language, User-Agent,
//   Content-Type) of the caller go along: a site's token goes to that site alone, and so does the
//   Referer, which names the address first opened;
// - a text body goes on the wire as it is when it is ASCII and as UTF-8 otherwise; a byte body as
//   it is; GET and HEAD send no body. Header values go as UTF-8 as well. A non-ASCII address is
//   sent percent-encoded as UTF-8 (setTextsAreUtf8: the caller's texts are UTF-8 already);
// - only http and https addresses are fetched; HTTP/1.1 is used, no compression is asked for
//   (unless setContentDecoding) and nothing is added beyond Host, Content-Length and what the
//   caller set;
// - a response body is cut at kMaxResponseBody bytes; with an answer budget it holds the budget's
//   bytes while it is received (see answer_budget.h), and an answer that cannot have them is
//   refused with HttpErrorCode::AnswerTooLarge.
//
// One object must not be used by two threads at once; different objects may be used in parallel.
// Objects made on one thread share that thread's connection, DNS and TLS-session caches, so
// sequential requests to one site reuse their connection.
#pragma once

#include <cstddef>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>

#include "text/text.h"
#include "web/answer_budget.h"

namespace vesprey {

// Why a request brought no answer. An answer of any status, even an empty one, is no error.
enum class HttpErrorCode {
    None,
    NoRequestObject,   // libcurl gave no handle
    InvalidAddress,    // empty, malformed, or not http or https
    InvalidCookie,     // a cookie with a line break, or too long, could not be sent as it is
    ResolveFailed,     // the host name (or the proxy's) did not resolve
    ConnectFailed,     // refused or unreachable
    Timeout,           // the connection or the answer took too long, and no byte came
    SlowAnswer,        // the answer began but did not come whole in time
    Certificate,       // the server's certificate was not accepted
    SecureConnection,  // the TLS handshake failed otherwise
    TooManyRedirects,
    HeadersTooLarge,
    ConnectionLost,  // the connection broke, or closed without an answer
    Stopped,         // the caller asked the send to stop (setStop)
    AnswerTooLarge,  // the answer did not fit the answer budget (setAnswerBudget)
    // The proxy (setProxy) could not be resolved or reached, or refused: its handshake, its
    // user name and password, or the tunnel. The message is "代理无法连接：" and what happened.
    ProxyFailed,
    Other,
};

struct HttpError {
    HttpErrorCode code = HttpErrorCode::None;
    Text message;  // a short sentence for the user, e.g. "连接超时（15 秒）"; empty without error
    explicit operator bool() const { return code != HttpErrorCode::None; }
};

// An error in the user's words.
HttpError makeHttpError(HttpErrorCode code);

// Certificate errors a request may ignore (combine with |).
inline constexpr unsigned kIgnoreUnknownCertificateAuthority = 0x0100;
inline constexpr unsigned kIgnoreCertificateWrongUsage = 0x0200;
inline constexpr unsigned kIgnoreCertificateNameInvalid = 0x1000;
inline constexpr unsigned kIgnoreCertificateDateInvalid = 0x2000;

// A site that trickles its answer must not hold a pass for as long as it likes: one send ends
// within this many milliseconds in all, unless the caller sets a shorter bound (setDeadline).
inline constexpr long kRequestDeadlineMs = 60000;

// A broken or hostile site must not make the program run out of memory: the body of an answer is
// cut at 64 MiB.
inline constexpr std::size_t kMaxResponseBody = std::size_t{64} * 1024 * 1024;

class RequestEngine {
public:
    RequestEngine();
    ~RequestEngine();
    RequestEngine(const RequestEngine&) = delete;
    RequestEngine& operator=(const RequestEngine&) = delete;

    // False when libcurl could not give a handle; every other call then fails.
    bool valid() const;

    // Limits in milliseconds; 0 or less means no limit. Resolving, connecting and the TLS
    // handshake together may take the larger of resolveMs and connectMs; sending and receiving
    // are cut when no byte moved for the larger of sendMs and receiveMs (rounded up to whole
    // seconds). A new object has 60 s to connect and 30 s without progress. Whatever the limits
    // and the server do, one send (redirects included) ends within the deadline.
    void setTimeouts(int resolveMs, int connectMs, int sendMs, int receiveMs);
    // The bound of one send in all, in milliseconds: kRequestDeadlineMs for a new object, and for
    // 0 or less. Kept for every later send.
    void setDeadline(long milliseconds);
    // Once `stop` is requested, a send under way ends within about a second with
    // HttpErrorCode::Stopped, and a later send fails at once the same way. Kept for every later
    // send; a token that cannot be stopped (the default) changes nothing.
    void setStop(std::stop_token stop);

    // The proxy every later send goes through: an address of web/proxy.h ("socks5h://user:
    // password@host:port"; "host:port" alone is an HTTP proxy). Empty (a new object): no proxy,
    // and the proxy variables of the environment are never used; with one, no_proxy is not read
    // either: every address goes through it. A proxy that fails gives HttpErrorCode::ProxyFailed,
    // never a request that goes direct; so does an HTTP proxy's 407 answer.
    void setProxy(std::string_view server);

    // Adds a header to the next send. Fails for an empty or malformed name and for a value holding
    // CR, LF or NUL; "Content-Length" and "Transfer-Encoding" are the engine's own and fail too.
    // "Proxy-Authorization" goes to the proxy only.
    bool setRequestHeader(std::string_view name, std::string_view value);

    // Method word and absolute address (code page 936) of the next send.
    bool open(std::string_view method, std::string_view url);

    // kIgnore... flags; any of the authority, usage or date flags turns peer verification off, the
    // name flag turns host-name verification off. TLS itself stays on.
    void setIgnoredCertificateErrors(unsigned flags);
    // A PEM file of certificate authorities to trust in place of the system's bundle (Debian's
    // ca-certificates; the certificate directory /etc/ssl/certs is still read); empty: the
    // system's. Kept for every later send; an unreadable file fails a verified send with
    // HttpErrorCode::Certificate.
    void setCaFile(std::string_view path);
    void setFollowRedirects(bool follow);
    // True: the texts given to open, setRequestHeader and send are UTF-8 and go on the wire as
    // they are (a non-ASCII address still percent-encoded), and allResponseHeaders gives the
    // header bytes as they came. False (a new object): code page 936, as above. Kept for every
    // later send.
    void setTextsAreUtf8(bool utf8);
    // True: an answer in gzip, deflate or br (and any other encoding this libcurl decodes) is
    // decoded, and the body limit and the answer budget count the decoded bytes. A caller's
    // Accept-Encoding header is replaced by the list of those encodings; without one, none is
    // asked for. False (a new object): bodies come as they were sent. Kept for every later send.
    void setContentDecoding(bool decode);
    // The budget the bodies of later sends hold their bytes in; null: none (only the body limit).
    // A send that waits for the budget's bytes waits no longer than its deadline.
    void setAnswerBudget(std::shared_ptr<AnswerBudget> budget);

    // Sends the opened request and waits for the whole answer. False when nothing usable came
    // back; the response values are then empty and the status 0.
    bool send(std::string_view textBody = {});
    bool sendBytes(std::string_view bytes);

    // Closes the connections this thread keeps open for later requests (they are closed at
    // thread exit anyway); connections of request objects still alive stay open.
    static void closeIdleConnections();

    const Bytes& responseBody() const;
    // Moves the body out (responseBody() is empty after), for a caller done with the object.
    Bytes takeResponseBody();
    // Moves out the budget's bytes the last answer holds, for a caller that moved the body out
    // and keeps it a while; the engine gives them back at its next send otherwise.
    AnswerHold takeAnswerHold();
    const Text& allResponseHeaders() const;
    int status() const;
    // Why the last send brought no answer; no error after an answer.
    const HttpError& error() const;
    // The address of the last send's final answer after redirects, as it went on the wire; the
    // address that failed when there was no answer.
    const std::string& finalUrl() const;
    // How many redirects the last send followed.
    int redirectCount() const;
    // True when the last answer's body was cut at kMaxResponseBody.
    bool bodyCut() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vesprey
