#include "web/mail.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <random>

#include "web/proxy.h"
#include "web/web_client.h"

namespace vesprey {
namespace {

constexpr long kConnectLimitMs = 15000;
constexpr long kStallSeconds = 15;
// Once the server has taken the mail, its goodbye to QUIT is waited for this long at most: the
// mail is delivered whatever it says.
constexpr auto kGoodbyeLimit = std::chrono::seconds(3);
// Encoded words hold at most 75 characters: "=?UTF-8?B?" and "?=" around the Base64 of 45 bytes.
constexpr std::size_t kWordBytes = 45;
constexpr std::size_t kBodyLineLength = 76;

void initCurl() {
    static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
    static_cast<void>(initialised);
}

// The same bound as a web request's.
long deadlineOf(const MailRequest& request) {
    return request.deadlineMs > 0 ? request.deadlineMs : kRequestDeadlineMs;
}

std::string utf8Of(std::string_view text) {
    return ansiToUtf8(text.substr(0, text.find('\0')));
}

bool printableAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

// A host name or address literal that can stand in an address as it is.
bool plainHost(std::string_view host) {
    return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '-' || c == '_' || c == ':' || c == '[' || c == ']';
    });
}

// An address that can go between "<" and ">" and in a header without changing either.
bool plainAddress(std::string_view address) {
    return !address.empty() && printableAscii(address) &&
           address.find_first_of("<>,; \"") == std::string_view::npos;
}

std::string serverAddress(const std::string& host, int port, MailSecurity security) {
    const bool literal6 = host.find(':') != std::string::npos && !host.starts_with('[');
    return std::string(security == MailSecurity::Tls ? "smtps://" : "smtp://") +
           (literal6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// Line breaks as CR LF, whatever the text used.
std::string crlfLines(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 32);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) {
            out += '\r';
        }
        out += text[i];
    }
    return out;
}

// The date header's form (RFC 5322) in UTC, without the locale's names.
std::string mailDate(std::time_t now) {
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d +0000", kDays[utc.tm_wday],
                  utc.tm_mday, kMonths[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min,
                  utc.tm_sec);
    return text;
}

std::string messageId(std::string_view from, std::time_t now) {
    std::random_device random;
    const std::size_t at = from.rfind('@');
    const std::string_view domain =
        at == std::string_view::npos ? std::string_view("vesprey.invalid") : from.substr(at + 1);
    std::string id(1, '<');
    id += std::to_string(now) + "." + std::to_string(random()) + "." + std::to_string(random()) +
          "@" + std::string(domain) + ">";
    return id;
}

// The whole message as it goes after DATA: headers, an empty line, the body in Base64 lines.
std::string messageText(const std::string& from, const std::vector<std::string>& to,
                        const std::string& subject, const std::string& body) {
    const std::time_t now = std::time(nullptr);
    std::string text = "Date: " + mailDate(now) + "\r\nFrom: " + from + "\r\nTo: ";
    for (std::size_t i = 0; i < to.size(); ++i) {
        text += (i == 0 ? "" : ", ") + to[i];
    }
    text += "\r\nSubject: " + encodedWords(subject, "\r\n ");
    text += "\r\nMessage-ID: " + messageId(from, now);
    text +=
        "\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\n";
    const std::string encoded = base64(crlfLines(body));
    for (std::size_t at = 0; at < encoded.size(); at += kBodyLineLength) {
        text += encoded.substr(at, kBodyLineLength) + "\r\n";
    }
    return text;
}

// What libcurl reads of the message.
struct Upload {
    std::string text;
    std::size_t at = 0;

    static std::size_t read(char* buffer, std::size_t size, std::size_t count, void* user) {
        auto* self = static_cast<Upload*>(user);
        const std::size_t length = std::min(size * count, self->text.size() - self->at);
        std::copy_n(self->text.data() + self->at, length, buffer);
        self->at += length;
        return length;
    }
};

// The server's reply lines reach the header callback; the last one is kept, but for the goodbye
// that answers QUIT when a session is closed. A positive reply once the whole message has been
// read out is the server taking the mail.
struct Replies {
    const Upload* upload = nullptr;
    std::string last;
    std::optional<std::chrono::steady_clock::time_point> takenAt;

    static std::size_t onLine(char* data, std::size_t size, std::size_t count, void* user) {
        auto* self = static_cast<Replies*>(user);
        std::string_view line(data, size * count);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.remove_suffix(1);
        }
        if (!line.empty() && !line.starts_with("221")) {
            self->last.assign(line.substr(0, 512));
        }
        if (!self->takenAt && line.starts_with('2') &&
            self->upload->at == self->upload->text.size()) {
            self->takenAt = std::chrono::steady_clock::now();
        }
        return size * count;
    }

    // Ends the goodbye's wait kGoodbyeLimit after the mail was taken.
    static int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        const auto* self = static_cast<const Replies*>(user);
        return self->takenAt && std::chrono::steady_clock::now() - *self->takenAt > kGoodbyeLimit
                   ? 1
                   : 0;
    }
};

class StringList {
public:
    StringList() = default;
    ~StringList() { curl_slist_free_all(list_); }
    StringList(const StringList&) = delete;
    StringList& operator=(const StringList&) = delete;
    void add(const std::string& item) {
        if (curl_slist* grown = curl_slist_append(list_, item.c_str())) {
            list_ = grown;
        }
    }
    curl_slist* get() const { return list_; }

private:
    curl_slist* list_ = nullptr;
};

HttpError failure(HttpErrorCode code, std::string_view utf8) {
    return {code, utf8ToAnsi(utf8)};
}

// Why the mail did not go, in the user's words; the server's own line after a refusal.
HttpError mailError(CURLcode result, int reply, const std::string& answer, long deadlineMs,
                    bool pastDeadline, const char* detail, const std::string& proxy) {
    const std::string said = answer.empty() ? std::string() : "：" + answer;
    if (!proxy.empty() &&
        (result == CURLE_COULDNT_RESOLVE_PROXY || result == CURLE_COULDNT_CONNECT ||
         result == CURLE_PROXY ||
         (reply == 0 && (result == CURLE_RECV_ERROR || result == CURLE_GOT_NOTHING)))) {
        // Only the proxy is connected to; with reply 0 the mail server never said a word.
        return failure(HttpErrorCode::ProxyFailed,
                       "代理无法连接：" +
                           std::string(*detail != '\0' ? detail : curl_easy_strerror(result)) +
                           "（" + shownProxy(proxy) + "）");
    }
    if (result == CURLE_LOGIN_DENIED) {
        return failure(HttpErrorCode::Other, "邮件服务器拒绝登录，用户名或密码不对" + said);
    }
    if (result == CURLE_USE_SSL_FAILED) {
        return failure(HttpErrorCode::SecureConnection,
                       "邮件服务器不支持 STARTTLS（可改用 ssl，或确认端口）");
    }
    if (reply >= 400) {
        return failure(HttpErrorCode::Other, "邮件服务器拒绝了这封邮件" + said);
    }
    switch (result) {
        case CURLE_URL_MALFORMAT:
        case CURLE_UNSUPPORTED_PROTOCOL:
            return failure(HttpErrorCode::InvalidAddress, "邮件服务器地址无效");
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return makeHttpError(HttpErrorCode::ResolveFailed);
        case CURLE_COULDNT_CONNECT:
            return makeHttpError(HttpErrorCode::ConnectFailed);
        case CURLE_OPERATION_TIMEDOUT:
            return pastDeadline ? failure(HttpErrorCode::Timeout,
                                          "请求超时（" + std::to_string(deadlineMs / 1000) +
                                              " 秒内没有完成）")
                                : makeHttpError(HttpErrorCode::Timeout);
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
            return makeHttpError(HttpErrorCode::Certificate);
        case CURLE_SSL_CONNECT_ERROR:
            return makeHttpError(HttpErrorCode::SecureConnection);
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
            return makeHttpError(HttpErrorCode::ConnectionLost);
        default:
            break;
    }
    return failure(HttpErrorCode::Other,
                   std::string("发送邮件失败（") +
                       (*detail != '\0' ? detail : curl_easy_strerror(result)) + "）" + said);
}

}  // namespace

int defaultMailPort(MailSecurity security) {
    switch (security) {
        case MailSecurity::Tls:
            return 465;
        case MailSecurity::None:
            return 25;
        case MailSecurity::StartTls:
            break;
    }
    return 587;
}

std::string encodedWords(std::string_view utf8, std::string_view separator) {
    if (printableAscii(utf8)) {
        return std::string(utf8);
    }
    std::string out;
    std::size_t at = 0;
    while (at < utf8.size()) {
        // Whole characters only: a cut never falls before a continuation byte.
        std::size_t end = std::min(at + kWordBytes, utf8.size());
        while (end > at + 1 && end < utf8.size() &&
               (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80) {
            --end;
        }
        if (!out.empty()) {
            out += separator;
        }
        out += "=?UTF-8?B?" + base64(utf8.substr(at, end - at)) + "?=";
        at = end;
    }
    return out;
}

MailOutcome sendMail(const MailRequest& request) {
    const auto started = std::chrono::steady_clock::now();
    const long deadline = deadlineOf(request);
    MailOutcome outcome;
    const std::string host = utf8Of(request.host);
    const std::string from = utf8Of(request.from);
    std::vector<std::string> to;
    for (std::string_view address : request.to) {
        to.push_back(utf8Of(address));
    }
    if (!plainHost(host)) {
        outcome.error = failure(HttpErrorCode::InvalidAddress, "邮件服务器地址无效");
        return outcome;
    }
    const bool badRecipient = to.empty() || !std::all_of(to.begin(), to.end(), plainAddress);
    if (!plainAddress(from) || badRecipient) {
        outcome.error = failure(HttpErrorCode::InvalidAddress,
                                "邮件地址无效：发件人和收件人各是一个地址，如 me@example.com");
        return outcome;
    }

    initCurl();
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        outcome.error = makeHttpError(HttpErrorCode::NoRequestObject);
        return outcome;
    }
    const int port = request.port > 0 ? request.port : defaultMailPort(request.security);
    const std::string url = serverAddress(host, port, request.security);
    const std::string user = utf8Of(request.user);
    const std::string password = utf8Of(request.password);
    const std::string caFile(request.caFile.substr(0, request.caFile.find('\0')));
    Upload upload{messageText(from, to, utf8Of(request.subject), utf8Of(request.body))};
    Replies replies;
    replies.upload = &upload;
    StringList recipients;
    for (const std::string& address : to) {
        recipients.add("<" + address + ">");
    }
    const std::string envelopeFrom = "<" + from + ">";
    char detail[CURL_ERROR_SIZE] = {};

    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    // The environment's proxies are never used; a proxy named is, for every address.
    const std::string proxy(request.proxy.substr(0, request.proxy.find('\0')));
    curl_easy_setopt(curl, CURLOPT_PROXY, proxy.c_str());
    if (!proxy.empty()) {
        curl_easy_setopt(curl, CURLOPT_NOPROXY, "");
        curl_easy_setopt(curl, CURLOPT_HTTPPROXYTUNNEL, 1L);
    }
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, detail);
    curl_easy_setopt(curl, CURLOPT_USE_SSL,
                     static_cast<long>(request.security == MailSecurity::None ? CURLUSESSL_NONE
                                                                              : CURLUSESSL_ALL));
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, request.verifyTls ? 1L : 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, request.verifyTls ? 2L : 0L);
    if (!caFile.empty()) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
    }
    if (!user.empty()) {
        curl_easy_setopt(curl, CURLOPT_USERNAME, user.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, password.c_str());
    }
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, envelopeFrom.c_str());
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, recipients.get());
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, &Upload::read);
    curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &Replies::onLine);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &replies);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, kConnectLimitMs);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, deadline);
    // The session is closed (QUIT) by this transfer, where the progress callback bounds the wait
    // for the goodbye, and not later by libcurl's cleanup, which waits minutes for it.
    curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &Replies::onProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &replies);

    const CURLcode result = curl_easy_perform(curl);
    long reply = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply);
    const std::string answer = replies.last;
    curl_easy_cleanup(curl);

    const auto elapsed = std::chrono::steady_clock::now() - started;
    outcome.elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
    outcome.reply = static_cast<int>(reply);
    outcome.answer = utf8ToAnsi(answer);
    if (result != CURLE_OK && !replies.takenAt) {
        outcome.error = mailError(result, outcome.reply, answer, deadline,
                                  elapsed >= std::chrono::milliseconds(deadline), detail, proxy);
    }
    return outcome;
}

}  // namespace vesprey
