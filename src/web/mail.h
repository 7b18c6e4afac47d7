// One plain-text mail through an SMTP server, over libcurl: STARTTLS on the submission port, TLS
// from the first byte (SMTPS), or no TLS at all for a server on the user's own network. The
// message is UTF-8 text/plain with its body in Base64 and its subject RFC 2047 encoded, so no
// server along the way has to pass 8-bit data or long lines.
//
// Like WebClient::send, sendMail takes the request as a value and returns the outcome as one:
// nothing throws, nothing is shown. Texts are code page 936; they go on the wire as UTF-8.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "text/text.h"
#include "web/request_engine.h"

namespace vesprey {

enum class MailSecurity {
    StartTls,  // plain connection upgraded with STARTTLS before logging in; refused without it
    Tls,       // TLS from the start (SMTPS, usually port 465)
    None,      // no TLS: password and mail go in the clear
};

// The port a server usually listens on for each security: 587, 465, 25.
int defaultMailPort(MailSecurity security);

struct MailRequest {
    std::string_view host{};
    int port = 0;  // 0 or less: defaultMailPort(security)
    MailSecurity security = MailSecurity::StartTls;
    std::string_view user{};  // empty: no login
    std::string_view password{};
    std::string_view from{};             // the sender's address, as the envelope and "From" give it
    std::vector<std::string_view> to{};  // one address each
    std::string_view subject{};
    std::string_view body{};    // line breaks as LF or CR LF; sent as CR LF
    bool verifyTls = true;      // check the server's certificate
    std::string_view caFile{};  // as HttpRequest::caFile
    long deadlineMs = 0;        // the bound of the whole exchange; 0 or less: kRequestDeadlineMs
    // A proxy address (web/proxy.h) the connection goes through, an HTTP one as a tunnel; empty:
    // none. A proxy that fails is HttpErrorCode::ProxyFailed.
    std::string_view proxy{};
};

struct MailOutcome {
    HttpError error;  // no error when the server took the mail
    int reply = 0;    // the server's last reply code (250 when it took the mail); 0 without one
    Text answer;      // the server's last reply line, e.g. "250 2.0.0 Ok: queued as 4F2"
    long long elapsedMs = 0;

    bool ok() const { return !error; }
    // The server answered and said no (a login, a sender or a recipient refused).
    bool refused() const { return error && reply >= 400; }
};

// Sends the mail and waits for the server to take it; like a web request it ends within its
// deadline in all, 15 s to connect (TLS included) and 15 s without data.
MailOutcome sendMail(const MailRequest& request);

// `utf8` as a header value: as it is when it is printable ASCII, otherwise RFC 2047 encoded words
// "=?UTF-8?B?...?=", each at most 75 characters and holding whole characters, joined by
// `separator` (CR LF and a blank folds a mail header; a blank keeps an HTTP header on one line).
std::string encodedWords(std::string_view utf8, std::string_view separator = " ");

}  // namespace vesprey
