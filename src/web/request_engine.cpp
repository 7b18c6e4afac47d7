#include "web/request_engine.h"

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "text/gbk_text.h"
#include "web/byte_scan.h"
#include "web/proxy.h"

namespace vesprey {
namespace {

constexpr int kMaxRedirects = 10;
constexpr std::size_t kMaxResponseHeaders = std::size_t{1024} * 1024;  // same reason as the body
constexpr std::size_t kMaxIdleHandles = 4;

void initCurl() {
    static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
    static_cast<void>(initialised);
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return gbk::asciiLower(x) == gbk::asciiLower(y);
           });
}

bool startsWithIgnoreCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && equalsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

using bytescan::hasLineBreakOrNul;
using bytescan::isAscii;

// Token characters of a header name or a method word.
bool isToken(std::string_view text) {
    constexpr std::string_view kSigns = "!#$%&'*+-.^_`|~";
    return !text.empty() && std::all_of(text.begin(), text.end(), [&](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               kSigns.find(c) != std::string_view::npos;
    });
}

std::string_view cutAtNul(std::string_view text) {
    return text.substr(0, text.find('\0'));
}

// The address as it goes on the wire: UTF-8, with non-ASCII bytes, blanks and control characters
// percent-encoded. `url` is code page 936, or UTF-8 already when `utf8Text` is set.
std::string wireUrl(std::string_view url, bool utf8Text) {
    std::string utf8;
    if (!utf8Text && !isAscii(url)) {
        utf8 = ansiToUtf8(url);
        url = utf8;
    }
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(url.size());
    for (char c : url) {
        auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F) {
            out.push_back('%');
            out.push_back(kHex[byte >> 4]);
            out.push_back(kHex[byte & 0x0F]);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string hostOf(const std::string& url) {
    std::string host;
    CURLU* parsed = curl_url();
    if (parsed != nullptr &&
        curl_url_set(parsed, CURLUPART_URL, url.c_str(),
                     CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK) {
        char* part = nullptr;
        if (curl_url_get(parsed, CURLUPART_HOST, &part, 0) == CURLUE_OK && part != nullptr) {
            host = part;
            curl_free(part);
        }
    }
    curl_url_cleanup(parsed);
    std::transform(host.begin(), host.end(), host.begin(), gbk::asciiLower);
    return host;
}

// Header text bytes from the wire: UTF-8 lines become code page 936, other lines (plain ASCII, or
// a site writing its own charset) are taken as they are.
Text headerLineToText(std::string_view line) {
    if (isAscii(line) || !isValidUtf8(line)) {
        return Text(line);
    }
    return utf8ToAnsi(line);
}

// Connection, DNS and TLS-session caches shared by the handles of one thread. Handles may move to
// other threads with their request object, so the share still locks.
class Share {
public:
    Share() : handle_(curl_share_init()) {
        if (handle_ == nullptr) {
            return;
        }
        curl_lock_function lockFunction = &Share::lock;
        curl_unlock_function unlockFunction = &Share::unlock;
        curl_share_setopt(handle_, CURLSHOPT_LOCKFUNC, lockFunction);
        curl_share_setopt(handle_, CURLSHOPT_UNLOCKFUNC, unlockFunction);
        curl_share_setopt(handle_, CURLSHOPT_USERDATA, this);
        curl_share_setopt(handle_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(handle_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
        curl_share_setopt(handle_, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
    }
    ~Share() {
        if (handle_ != nullptr) {
            curl_share_cleanup(handle_);
        }
    }
    Share(const Share&) = delete;
    Share& operator=(const Share&) = delete;

    CURLSH* handle() const { return handle_; }

private:
    static void lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
        static_cast<Share*>(self)->mutexFor(data).lock();
    }
    static void unlock(CURL*, curl_lock_data data, void* self) {
        static_cast<Share*>(self)->mutexFor(data).unlock();
    }
    std::mutex& mutexFor(curl_lock_data data) {
        auto index = static_cast<std::size_t>(data);
        return mutexes_[index < mutexes_.size() ? index : 0];
    }

    CURLSH* handle_;
    std::array<std::mutex, CURL_LOCK_DATA_LAST> mutexes_;
};

// Per thread: the share and the idle handles of finished request objects.
struct ThreadCache {
    std::shared_ptr<Share> share = std::make_shared<Share>();
    std::vector<CURL*> idle;

    ~ThreadCache() {
        for (CURL* handle : idle) {
            curl_easy_cleanup(handle);
        }
    }
};

// The cache is reached through a plain pointer, which stays readable while the thread's other
// objects are destroyed; the owner below frees it at thread exit.
thread_local ThreadCache* tCache = nullptr;
thread_local bool tCacheGone = false;

struct ThreadCacheOwner {
    ~ThreadCacheOwner() {
        delete tCache;
        tCache = nullptr;
        tCacheGone = true;
    }
};
thread_local ThreadCacheOwner tCacheOwner;

ThreadCache* threadCache(bool create) {
    if (tCache == nullptr && create && !tCacheGone) {
        static_cast<void>(&tCacheOwner);  // registers the owner's destructor for this thread
        tCache = new ThreadCache;
    }
    return tCache;
}

// A curl string list freed at scope end.
class HeaderList {
public:
    HeaderList() = default;
    ~HeaderList() { curl_slist_free_all(list_); }
    HeaderList(const HeaderList&) = delete;
    HeaderList& operator=(const HeaderList&) = delete;

    void add(const char* line) {
        if (curl_slist* grown = curl_slist_append(list_, line)) {
            list_ = grown;
        }
    }
    curl_slist* get() const { return list_; }

private:
    curl_slist* list_ = nullptr;
};

// The names of request headers the engine treats apart, in any case.
enum class HeaderKind {
    Cookie,
    ProxyAuthorization,
    Accept,
    AcceptEncoding,
    Expect,
    ContentType,
    Other
};

struct Header {
    HeaderKind kind = HeaderKind::Other;
    bool toEveryHost = false;  // also goes to another host on a redirect
    std::string text;          // a cookie's value, otherwise the whole line; wire form
};

Header headerFor(std::string_view name, std::string_view wireValue) {
    Header header;
    constexpr std::pair<std::string_view, HeaderKind> kKinds[] = {
        {"Cookie", HeaderKind::Cookie}, {"Proxy-Authorization", HeaderKind::ProxyAuthorization},
        {"Accept", HeaderKind::Accept}, {"Accept-Encoding", HeaderKind::AcceptEncoding},
        {"Expect", HeaderKind::Expect}, {"Content-Type", HeaderKind::ContentType}};
    for (const auto& [known, kind] : kKinds) {
        if (equalsIgnoreCase(name, known)) {
            header.kind = kind;
            break;
        }
    }
    // The Referer names the address first opened, query and all: it stays with that host too.
    header.toEveryHost =
        header.kind == HeaderKind::Accept || header.kind == HeaderKind::ContentType ||
        equalsIgnoreCase(name, "Accept-Language") || equalsIgnoreCase(name, "User-Agent");
    if (header.kind == HeaderKind::Cookie) {
        header.text = wireValue;
        return header;
    }
    // "Name;" is curl's way of sending a header with an empty value.
    header.text.reserve(name.size() + wireValue.size() + 2);
    header.text.append(name);
    if (wireValue.empty()) {
        header.text += ';';
    } else {
        header.text.append(": ").append(wireValue);
    }
    return header;
}

// A size as a user reads it: "64 MB", or "12 KB" below a megabyte, counted up to a whole unit.
std::string sizeText(std::size_t bytes) {
    constexpr std::size_t kMegabyte = std::size_t{1024} * 1024;
    return bytes >= kMegabyte ? std::to_string((bytes + kMegabyte - 1) / kMegabyte) + " MB"
                              : std::to_string((bytes + 1023) / 1024) + " KB";
}

// A hold of an answer without an announced length grows by at least this much at a time.
constexpr std::size_t kHoldStep = std::size_t{1024} * 1024;

// Milliseconds as the seconds a user reads: "15", or "1.5" for a limit that is not whole.
std::string secondsText(long ms) {
    std::string text = std::to_string(ms / 1000);
    if (ms % 1000 != 0) {
        text += '.' + std::to_string(ms % 1000 / 100);
    }
    return text;
}

bool isRedirectStatus(long code) {
    return code == 301 || code == 302 || code == 303 || code == 307 || code == 308;
}

// A cookie set by an answer inside a redirect chain, kept for the following hops of that send.
struct ChainCookie {
    std::string name;
    std::string item;    // "name=value" as received
    std::string domain;  // the setting host, or the Domain attribute
    bool hostOnly = true;
};

std::string_view trimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

bool domainMatches(std::string_view host, std::string_view domain) {
    return host == domain || (host.size() > domain.size() && host.ends_with(domain) &&
                              host[host.size() - domain.size() - 1] == '.');
}

// Takes the Set-Cookie lines of one hop's answer (any case, as HTTP names are) into `chain`.
// Path and expiry dates play no part within one request; Max-Age 0 or less removes a cookie.
void collectChainCookies(std::string_view headerText, const std::string& host,
                         std::vector<ChainCookie>& chain) {
    bytescan::forEachPiece(headerText, "\r\n", [&](std::string_view line) {
        if (!startsWithIgnoreCase(line, "Set-Cookie:")) {
            return;
        }
        std::string_view rest = line.substr(11);
        std::size_t semicolon = rest.find(';');
        std::string_view item = trimBlanks(rest.substr(0, semicolon));
        std::size_t equals = item.find('=');
        if (item.empty() || equals == 0) {
            return;
        }
        ChainCookie cookie{std::string(trimBlanks(item.substr(0, equals))), std::string(item), host,
                           true};
        bool expired = false;
        while (semicolon != std::string_view::npos) {
            rest.remove_prefix(semicolon + 1);
            semicolon = rest.find(';');
            std::string_view attribute = trimBlanks(rest.substr(0, semicolon));
            std::size_t is = attribute.find('=');
            std::string_view key = trimBlanks(attribute.substr(0, is));
            std::string_view value = is == std::string_view::npos
                                         ? std::string_view{}
                                         : trimBlanks(attribute.substr(is + 1));
            if (equalsIgnoreCase(key, "Domain") && !value.empty()) {
                std::string domain(value.front() == '.' ? value.substr(1) : value);
                std::transform(domain.begin(), domain.end(), domain.begin(), gbk::asciiLower);
                if (!domainMatches(host, domain)) {
                    expired = true;  // a host may not set cookies for another site
                }
                cookie.domain = std::move(domain);
                cookie.hostOnly = false;
            } else if (equalsIgnoreCase(key, "Max-Age") && !value.empty() &&
                       (value.front() == '-' ||
                        value.find_first_not_of('0') == std::string_view::npos)) {
                expired = true;
            }
        }
        std::erase_if(chain, [&](const ChainCookie& old) {
            return old.name == cookie.name && old.domain == cookie.domain &&
                   old.hostOnly == cookie.hostOnly;
        });
        if (!expired) {
            chain.push_back(std::move(cookie));
        }
    });
}

// The chain's cookies for a hop to `host`, joined by "; ".
std::string chainCookiesFor(const std::vector<ChainCookie>& chain, const std::string& host) {
    std::string joined;
    for (const ChainCookie& cookie : chain) {
        if (cookie.hostOnly ? host == cookie.domain : domainMatches(host, cookie.domain)) {
            joined += joined.empty() ? cookie.item : "; " + cookie.item;
        }
    }
    return joined;
}

std::string_view errorWords(HttpErrorCode code) {
    switch (code) {
        case HttpErrorCode::None:
            return {};
        case HttpErrorCode::NoRequestObject:
            return "无法创建网络请求";
        case HttpErrorCode::InvalidAddress:
            return "网址无效";
        case HttpErrorCode::InvalidCookie:
            return "Cookie 里有换行符，请求没有发出，请重新获取 Cookie";
        case HttpErrorCode::ResolveFailed:
            return "域名解析失败";
        case HttpErrorCode::ConnectFailed:
            return "无法连接";
        case HttpErrorCode::Timeout:
            return "连接超时";
        case HttpErrorCode::SlowAnswer:
            return "网站发送太慢，答复没有收完";
        case HttpErrorCode::Certificate:
            return "证书错误";
        case HttpErrorCode::SecureConnection:
            return "安全连接（TLS）失败";
        case HttpErrorCode::TooManyRedirects:
            return "重定向次数过多";
        case HttpErrorCode::HeadersTooLarge:
            return "响应头过大";
        case HttpErrorCode::ConnectionLost:
            return "连接中断";
        case HttpErrorCode::Stopped:
            return "已停止";
        case HttpErrorCode::AnswerTooLarge:
            return "答复太大，没有收下";
        case HttpErrorCode::ProxyFailed:
            return "代理无法连接";
        case HttpErrorCode::Other:
            break;
    }
    return "请求失败";
}

HttpErrorCode errorCodeOf(CURLcode result) {
    switch (result) {
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_URL_MALFORMAT:
            return HttpErrorCode::InvalidAddress;
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_RESOLVE_HOST:
            return HttpErrorCode::ResolveFailed;
        case CURLE_COULDNT_CONNECT:
            return HttpErrorCode::ConnectFailed;
        case CURLE_OPERATION_TIMEDOUT:
            return HttpErrorCode::Timeout;
        case CURLE_ABORTED_BY_CALLBACK:  // only the stop's progress callback aborts
            return HttpErrorCode::Stopped;
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
            return HttpErrorCode::Certificate;
        case CURLE_SSL_CONNECT_ERROR:
            return HttpErrorCode::SecureConnection;
        case CURLE_TOO_MANY_REDIRECTS:
            return HttpErrorCode::TooManyRedirects;
        case CURLE_WRITE_ERROR:  // only the header callback refuses data (a cut body is no error)
            return HttpErrorCode::HeadersTooLarge;
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
            return HttpErrorCode::ConnectionLost;
        default:
            return HttpErrorCode::Other;
    }
}

}  // namespace

HttpError makeHttpError(HttpErrorCode code) {
    return {code, utf8ToAnsi(errorWords(code))};
}

struct RequestEngine::Impl {
    std::shared_ptr<Share> share;
    CURL* curl = nullptr;

    // Settings kept on the object.
    long connectLimitMs = 60000;
    long stallSeconds = 30;
    long deadlineMs = kRequestDeadlineMs;
    std::string proxy;
    unsigned ignoredCertificateErrors = 0;
    std::string caFile;
    bool followRedirects = true;
    bool utf8Texts = false;      // the caller's texts are UTF-8, and so are the answer's headers
    bool decodeContent = false;  // gzip, deflate and br answers are decoded
    std::stop_token stop;
    std::shared_ptr<AnswerBudget> budget;

    // The opened request.
    bool opened = false;
    std::string method;
    std::string url;
    std::vector<Header> headers;

    // The answer.
    Bytes body;
    Text headerText;
    int status = 0;
    HttpError error;
    std::string finalUrl;
    int redirectCount = 0;

    AnswerHold hold;  // the budget's bytes of `body`

    // One hop of the transfer.
    std::string hopHeaders;  // the answer's header lines joined by CR LF
    std::size_t hopHeaderBytes = 0;
    bool bodyCut = false;
    // When the hop last received a header line or body bytes; none yet when not set.
    std::optional<std::chrono::steady_clock::time_point> lastDataAt;
    bool hopWithoutBody = false;  // HEAD: an announced length comes without a body
    std::chrono::steady_clock::time_point sendDeadline;
    // Why the hop's answer could not hold the budget's bytes, and how many it asked for.
    AnswerHold::Refusal refusal = AnswerHold::Refusal::None;
    std::size_t refusedBytes = 0;

    Impl() {
        initCurl();
        ThreadCache* cache = threadCache(true);
        if (cache != nullptr) {
            share = cache->share;
            if (!cache->idle.empty()) {
                curl = cache->idle.back();
                cache->idle.pop_back();
                return;
            }
        }
        curl = curl_easy_init();
        if (curl != nullptr && share != nullptr && share->handle() != nullptr) {
            curl_easy_setopt(curl, CURLOPT_SHARE, share->handle());  // kept by curl_easy_reset
        }
    }

    ~Impl() {
        if (curl == nullptr) {
            return;
        }
        ThreadCache* cache = threadCache(false);
        if (cache != nullptr && cache->share == share && cache->idle.size() < kMaxIdleHandles) {
            cache->idle.push_back(curl);
        } else {
            curl_easy_cleanup(curl);  // before `share` lets go of the share
        }
    }

    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
        auto* self = static_cast<Impl*>(user);
        std::size_t length = size * count;
        std::size_t room = kMaxResponseBody - self->body.size();
        self->lastDataAt = std::chrono::steady_clock::now();
        if (self->budget && self->body.size() + std::min(length, room) > self->hold.held() &&
            !self->growHold(self->body.size() + std::min(length, room), false)) {
            return 0;  // refused: the transfer ends, and the send fails
        }
        if (length > room) {
            self->body.append(data, room);
            self->bodyCut = true;
            return 0;  // ends the transfer; what arrived so far is the answer
        }
        self->body.append(data, length);
        return length;
    }

    static int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        return static_cast<Impl*>(user)->stop.stop_requested() ? 1 : 0;
    }

    static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
        auto* self = static_cast<Impl*>(user);
        std::size_t length = size * count;
        self->hopHeaderBytes += length;
        self->lastDataAt = std::chrono::steady_clock::now();
        if (self->hopHeaderBytes > kMaxResponseHeaders) {
            return 0;
        }
        std::string_view line(data, length);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.remove_suffix(1);
        }
        if (line.starts_with("HTTP/")) {
            self->hopHeaders.clear();  // a new response: interim answers are not kept
        } else if (!line.empty()) {
            if (!self->hopHeaders.empty()) {
                self->hopHeaders += "\r\n";
            }
            self->hopHeaders += line;
            if (!self->reserveFor(line)) {
                return 0;
            }
        }
        return length;
    }

    // Makes the hold cover `needed` body bytes: exactly that for an announced length, otherwise
    // in steps that double, as the body's own buffer grows. False (and the refusal noted) when
    // the budget cannot give them.
    bool growHold(std::size_t needed, bool exact) {
        std::size_t wanted = needed;
        if (!exact) {
            wanted = std::max({needed, 2 * hold.held(), kHoldStep});
            wanted = std::max(needed, std::min({wanted, kMaxResponseBody, budget->capacity()}));
        }
        refusal = hold.growTo(wanted, sendDeadline);
        if (refusal != AnswerHold::Refusal::None) {
            refusedBytes = needed;
            return false;
        }
        return true;
    }

    // A body announced by its length is received into one block of that size (up to the body
    // limit) rather than grown and copied on the way.
    // With a budget its bytes are held first, waiting for them when others hold them. False when
    // they cannot be had.
    bool reserveFor(std::string_view line) {
        constexpr std::string_view kLength = "Content-Length:";
        if (hopWithoutBody || !startsWithIgnoreCase(line, kLength)) {
            return true;
        }
        const std::string_view digits = trimBlanks(line.substr(kLength.size()));
        std::size_t announced = 0;
        for (const char c : digits) {
            if (c < '0' || c > '9' || announced > kMaxResponseBody) {
                return true;  // a length far past the limit is taken as it comes, cut at the limit
            }
            announced = announced * 10 + static_cast<std::size_t>(c - '0');
        }
        if (digits.empty() || !body.empty()) {
            return true;
        }
        const std::size_t kept = std::min(announced, kMaxResponseBody);
        if (budget && !growHold(kept, true)) {
            return false;
        }
        body.reserve(kept);
        return true;
    }

    // The error of an answer the budget could not hold, in the user's words.
    HttpError refusalError() const {
        const std::size_t capacity = budget ? budget->capacity() : 0;
        if (refusal == AnswerHold::Refusal::TooLarge) {
            return {HttpErrorCode::AnswerTooLarge,
                    utf8ToAnsi("答复太大（" + sizeText(refusedBytes) + "），超过了答复内存限额（" +
                               sizeText(capacity) + "），没有收下")};
        }
        return {HttpErrorCode::AnswerTooLarge,
                utf8ToAnsi("同时在收的答复太多，答复内存限额（" + sizeText(capacity) +
                           "）里放不下这个 " + sizeText(refusedBytes) +
                           " 的答复，没有收下；请减少同时签到的账号数")};
    }

    CURLcode performHop(const std::string& hopUrl, const std::string& hopMethod,
                        const std::string& payload, bool sameHost, const std::string& chainCookies,
                        long leftMs) {
        // Every hop starts from a reset handle: besides the options, that clears the speed curl
        // measured on the handle's last transfer, which would otherwise hide a stall for a second
        // or two beyond the limit.
        curl_easy_reset(curl);
        dropBody();
        hopHeaders.clear();
        hopHeaderBytes = 0;
        bodyCut = false;
        lastDataAt.reset();
        hopWithoutBody = hopMethod == "HEAD";
        refusal = AnswerHold::Refusal::None;

        curl_easy_setopt(curl, CURLOPT_URL, hopUrl.c_str());
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Impl::onBody);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &Impl::onHeader);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, this);
        curl_easy_setopt(curl, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
        curl_easy_setopt(curl, CURLOPT_HEADEROPT, static_cast<long>(CURLHEADER_SEPARATE));
        curl_easy_setopt(curl, CURLOPT_PROXY, proxy.c_str());
        if (!proxy.empty()) {
            // The proxy named is the one used, whatever no_proxy says; its own certificate (an
            // https:// proxy) is checked as the site's is.
            curl_easy_setopt(curl, CURLOPT_NOPROXY, "");
            curl_easy_setopt(curl, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC));
        }
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, std::max(leftMs, 1L));
        if (connectLimitMs > 0) {
            curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, connectLimitMs);
        }
        if (stallSeconds > 0) {
            curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
            curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, stallSeconds);
        }
        constexpr unsigned kPeerFlags = kIgnoreUnknownCertificateAuthority |
                                        kIgnoreCertificateWrongUsage |
                                        kIgnoreCertificateDateInvalid;
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER,
                         (ignoredCertificateErrors & kPeerFlags) != 0 ? 0L : 1L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST,
                         (ignoredCertificateErrors & kIgnoreCertificateNameInvalid) != 0 ? 0L : 2L);
        if (!proxy.empty()) {
            curl_easy_setopt(curl, CURLOPT_PROXY_SSL_VERIFYPEER,
                             (ignoredCertificateErrors & kPeerFlags) != 0 ? 0L : 1L);
            curl_easy_setopt(
                curl, CURLOPT_PROXY_SSL_VERIFYHOST,
                (ignoredCertificateErrors & kIgnoreCertificateNameInvalid) != 0 ? 0L : 2L);
            if (!caFile.empty()) {
                curl_easy_setopt(curl, CURLOPT_PROXY_CAINFO, caFile.c_str());
            }
        }
        if (!caFile.empty()) {
            curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
        }
        if (decodeContent) {
            // An empty list asks for every encoding this libcurl decodes.
            curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");
        }
        if (stop.stop_possible()) {
            // curl calls it about once a second even while nothing moves.
            curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
            curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &Impl::onProgress);
            curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
        }

        bool withBody = false;
        if (hopMethod == "GET") {
            curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
        } else if (hopMethod == "HEAD") {
            curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
        } else {
            // POST and PUT always carry a body (Content-Length: 0 when empty), others only when
            // there is one.
            withBody = !payload.empty() || hopMethod == "POST" || hopMethod == "PUT";
            if (hopMethod != "POST") {
                curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, hopMethod.c_str());
            }
        }
        if (withBody) {
            curl_easy_setopt(curl, CURLOPT_POST, 1L);
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(payload.size()));
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, payload.data());
        }

        HeaderList serverHeaders;
        HeaderList proxyHeaders;
        // One Cookie header before the caller's other lines: the cookies set earlier in the
        // redirect chain, then the caller's own (to the first host only).
        std::string cookie = "Cookie: " + chainCookies;
        bool hasCookie = !chainCookies.empty();
        for (const Header& header : headers) {
            if (sameHost && header.kind == HeaderKind::Cookie) {
                if (!header.text.empty()) {
                    if (cookie.size() > 8) {
                        cookie += "; ";
                    }
                    cookie += header.text;
                }
                hasCookie = true;
            }
        }
        if (hasCookie) {
            serverHeaders.add(cookie.size() == 8 ? "Cookie;" : cookie.c_str());
        }
        bool hasAccept = false;
        bool hasAcceptEncoding = false;
        bool hasExpect = false;
        bool hasContentType = false;
        for (const Header& header : headers) {
            if (header.kind == HeaderKind::Cookie ||
                (!sameHost && !header.toEveryHost &&
                 header.kind != HeaderKind::ProxyAuthorization)) {
                continue;
            }
            if (header.kind == HeaderKind::ProxyAuthorization) {
                proxyHeaders.add(header.text.c_str());
                continue;
            }
            if (decodeContent && header.kind == HeaderKind::AcceptEncoding) {
                hasAcceptEncoding = true;  // curl's own list of what it decodes goes instead
                continue;
            }
            hasAccept = hasAccept || header.kind == HeaderKind::Accept;
            hasExpect = hasExpect || header.kind == HeaderKind::Expect;
            hasContentType = hasContentType || header.kind == HeaderKind::ContentType;
            serverHeaders.add(header.text.c_str());
        }
        // "Name:" removes a header curl would add of its own accord.
        if (!hasAccept) {
            serverHeaders.add("Accept:");
        }
        if (!hasExpect) {
            serverHeaders.add("Expect:");
        }
        if (decodeContent && !hasAcceptEncoding) {
            serverHeaders.add("Accept-Encoding:");  // decoding without asking for compression
        }
        if (!hasContentType) {
            serverHeaders.add("Content-Type:");
        }
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, serverHeaders.get());
        curl_easy_setopt(curl, CURLOPT_PROXYHEADER, proxyHeaders.get());

        CURLcode result = curl_easy_perform(curl);
        // The options point into this frame's lists: drop them before the lists go.
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
        curl_easy_setopt(curl, CURLOPT_PROXYHEADER, nullptr);
        return result;
    }

    // "代理无法连接：" and what happened, naming the proxy without its password.
    HttpError proxyError(std::string_view what) const {
        return {HttpErrorCode::ProxyFailed,
                utf8ToAnsi("代理无法连接：" + std::string(what) + "（" + shownProxy(proxy) + "）")};
    }

    // The error of a hop through the proxy when the proxy is what failed; nothing when the proxy
    // did its part (or there is none).
    std::optional<HttpError> proxyFailure(CURLcode result) const {
        if (proxy.empty()) {
            return std::nullopt;
        }
        long tunnelStatus = 0;
        curl_easy_getinfo(curl, CURLINFO_HTTP_CONNECTCODE, &tunnelStatus);
        if (tunnelStatus == 407) {
            return proxyError("代理要求用户名和密码，或用户名、密码不对（HTTP 407）");
        }
        if (tunnelStatus != 0 && (tunnelStatus < 200 || tunnelStatus > 299)) {
            return proxyError("代理拒绝了到网站的连接（HTTP " + std::to_string(tunnelStatus) +
                              "）");
        }
        curl_off_t connectedAt = 0;
        curl_easy_getinfo(curl, CURLINFO_CONNECT_TIME_T, &connectedAt);
        const bool tlsProxy = startsWithIgnoreCase(proxy, "https:");
        switch (result) {
            case CURLE_COULDNT_RESOLVE_PROXY:
                return proxyError("代理的主机名解析不了");
            case CURLE_COULDNT_CONNECT:  // only the proxy is connected to
                return proxyError("连不上代理服务器（拒绝连接或无法到达）");
            case CURLE_OPERATION_TIMEDOUT:
                if (connectedAt == 0 && tunnelStatus == 0) {
                    return proxyError("连接代理超时");
                }
                return std::nullopt;
            case CURLE_PROXY:
                return socksFailure();
            case CURLE_SSL_CONNECT_ERROR:
            case CURLE_PEER_FAILED_VERIFICATION:
            case CURLE_SSL_CACERT_BADFILE:
                if (tlsProxy && tunnelStatus == 0) {
                    return proxyError(result == CURLE_SSL_CONNECT_ERROR
                                          ? "和代理的安全连接（TLS）失败"
                                          : "代理的证书不被接受");
                }
                return std::nullopt;
            case CURLE_SEND_ERROR:
            case CURLE_RECV_ERROR:
            case CURLE_GOT_NOTHING:
                if (tunnelStatus == 0 && connectedAt == 0) {
                    return proxyError("代理断开了连接");
                }
                return std::nullopt;
            default:
                return std::nullopt;
        }
    }

    // A SOCKS proxy's refusal in the user's words. A site the proxy could not reach is no
    // failure of the proxy: it is said as the site's.
    std::optional<HttpError> socksFailure() const {
        long code = CURLPX_OK;
        curl_easy_getinfo(curl, CURLINFO_PROXY_ERROR, &code);
        switch (static_cast<CURLproxycode>(code)) {
            case CURLPX_USER_REJECTED:
            case CURLPX_NO_AUTH:
            case CURLPX_SEND_AUTH:
            case CURLPX_RECV_AUTH:
                return proxyError("代理拒绝了用户名或密码，或要求登录");
            case CURLPX_RESOLVE_HOST:
                return proxyError("网站的主机名解析不了");
            case CURLPX_REPLY_CONNECTION_REFUSED:
            case CURLPX_REPLY_HOST_UNREACHABLE:
            case CURLPX_REPLY_NETWORK_UNREACHABLE:
            case CURLPX_REPLY_TTL_EXPIRED:
                return HttpError{
                    HttpErrorCode::ConnectFailed,
                    utf8ToAnsi("无法连接（代理 " + shownProxy(proxy) + " 连不上网站）")};
            case CURLPX_REPLY_NOT_ALLOWED:
                return proxyError("代理不允许连接这个网站");
            default:
                return proxyError("代理的握手失败（SOCKS 错误 " + std::to_string(code) + "）");
        }
    }

    // The error of a hop that brought no answer, in the user's words.
    HttpError hopError(CURLcode result, bool pastDeadline) const {
        if (std::optional<HttpError> failed = proxyFailure(result)) {
            return *failed;
        }
        HttpErrorCode code = errorCodeOf(result);
        if (code == HttpErrorCode::Timeout && lastDataAt) {
            code = HttpErrorCode::SlowAnswer;  // some of the answer came: the site did answer
        }
        if (code == HttpErrorCode::Other && result == CURLE_BAD_CONTENT_ENCODING && decodeContent) {
            return {code, utf8ToAnsi("答复的压缩格式无法识别，或压缩数据有误，无法解开")};
        }
        if (code == HttpErrorCode::Other) {
            return {code, utf8ToAnsi("请求失败（") + curl_easy_strerror(result) + utf8ToAnsi("）")};
        }
        if (code != HttpErrorCode::Timeout && code != HttpErrorCode::SlowAnswer) {
            return makeHttpError(code);
        }
        if (pastDeadline) {
            return {code, utf8ToAnsi("请求超时（" + secondsText(deadlineMs) + " 秒内没有完成）")};
        }
        if (code == HttpErrorCode::SlowAnswer &&
            std::chrono::steady_clock::now() - *lastDataAt < std::chrono::seconds(stallSeconds)) {
            return makeHttpError(code);  // data kept coming, too little for the stall limit
        }
        // Before the request went out the connection (or its handshake) took too long; after it
        // the answer stopped coming.
        curl_off_t sentAt = 0;
        curl_easy_getinfo(curl, CURLINFO_PRETRANSFER_TIME_T, &sentAt);
        if (sentAt == 0) {
            return {code, utf8ToAnsi("连接超时（" + secondsText(connectLimitMs) + " 秒）")};
        }
        return {code,
                utf8ToAnsi("响应超时（" + std::to_string(stallSeconds) + " 秒没有收到数据）")};
    }

    // The final answer's header text: ASCII as it came, other lines one by one.
    void takeHeaderText() {
        if (utf8Texts || isAscii(hopHeaders)) {
            headerText.swap(hopHeaders);
            return;
        }
        bytescan::forEachPiece(hopHeaders, "\r\n", [&](std::string_view line) {
            if (!headerText.empty()) {
                headerText += "\r\n";
            }
            headerText += headerLineToText(line);
        });
    }

    // The body and the budget's bytes it held, both given back.
    void dropBody() {
        Bytes().swap(body);
        hold.release();
    }

    bool run(std::string payload) {
        dropBody();
        hold = AnswerHold(budget);
        headerText.clear();
        status = 0;
        error = {};
        finalUrl.clear();
        redirectCount = 0;
        if (curl == nullptr) {
            error = makeHttpError(HttpErrorCode::NoRequestObject);
            return false;
        }
        if (!opened) {
            error = makeHttpError(HttpErrorCode::InvalidAddress);
            return false;
        }
        opened = false;  // a send consumes the opened request and its headers
        const std::string* hopUrl = &url;
        std::string redirectedUrl;
        std::string hopMethod = method;
        // The hosts are only needed once a redirect is followed: the first hop goes to the first
        // host, and no cookie of the chain exists yet.
        std::string firstHost;
        std::string host;

        std::vector<ChainCookie> chain;
        bool ok = false;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
        sendDeadline = deadline;
        for (int redirects = 0;; ++redirects) {
            if (redirects > 0) {
                host = hostOf(*hopUrl);
            }
            const long leftMs =
                static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      deadline - std::chrono::steady_clock::now())
                                      .count());
            CURLcode result =
                stop.stop_requested() ? CURLE_ABORTED_BY_CALLBACK
                : leftMs <= 0
                    ? CURLE_OPERATION_TIMEDOUT
                    : performHop(*hopUrl, hopMethod, payload, redirects == 0 || host == firstHost,
                                 chain.empty() ? std::string() : chainCookiesFor(chain, host),
                                 leftMs);
            if (result != CURLE_OK && refusal != AnswerHold::Refusal::None) {
                error = refusalError();
                break;
            }
            if (result != CURLE_OK && !(result == CURLE_WRITE_ERROR && bodyCut)) {
                // curl's own clock may stop it a few milliseconds before ours: a time-out that
                // close to the deadline is the deadline's.
                error = hopError(
                    result,
                    std::chrono::steady_clock::now() + std::chrono::milliseconds(50) >= deadline);
                break;
            }
            long code = 0;
            curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
            char* location = nullptr;
            curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &location);
            bool follow = followRedirects && isRedirectStatus(code) && location != nullptr &&
                          !(startsWithIgnoreCase(*hopUrl, "https:") &&
                            startsWithIgnoreCase(location, "http:"));
            if (follow) {
                if (redirects == kMaxRedirects) {
                    error = makeHttpError(HttpErrorCode::TooManyRedirects);
                    break;
                }
                if (redirects == 0) {
                    host = hostOf(url);
                    firstHost = host;
                }
                collectChainCookies(hopHeaders, host, chain);
                redirectedUrl = location;
                hopUrl = &redirectedUrl;
                redirectCount = redirects + 1;
                bool toGet = (code == 303 && hopMethod != "HEAD") ||
                             ((code == 301 || code == 302) && hopMethod == "POST");
                if (toGet) {
                    hopMethod = "GET";
                    payload.clear();
                }
                continue;
            }
            if (code == 407 && !proxy.empty()) {
                // An HTTP proxy that forwards plain requests answers for itself.
                error = proxyError("代理要求用户名和密码，或用户名、密码不对（HTTP 407）");
                break;
            }
            status = static_cast<int>(code);
            takeHeaderText();
            ok = true;
            break;
        }
        finalUrl = *hopUrl;
        headers.clear();
        hopHeaders.clear();
        if (!ok) {
            dropBody();
            headerText.clear();
            status = 0;
        }
        return ok;
    }

    // GET and HEAD never send a body, on any hop: a redirect turns a method only into GET.
    bool sendsNoBody() const { return method == "GET" || method == "HEAD"; }
};

RequestEngine::RequestEngine() : impl_(std::make_unique<Impl>()) {}
RequestEngine::~RequestEngine() = default;

bool RequestEngine::valid() const {
    return impl_->curl != nullptr;
}

void RequestEngine::setTimeouts(int resolveMs, int connectMs, int sendMs, int receiveMs) {
    impl_->connectLimitMs = connectMs > 0 ? static_cast<long>(std::max(connectMs, resolveMs)) : 0;
    if (sendMs > 0 && receiveMs > 0) {
        long longest = std::max(sendMs, receiveMs);
        impl_->stallSeconds = (longest + 999) / 1000;
    } else {
        impl_->stallSeconds = 0;
    }
}

void RequestEngine::setDeadline(long milliseconds) {
    impl_->deadlineMs = milliseconds > 0 ? milliseconds : kRequestDeadlineMs;
}

void RequestEngine::setStop(std::stop_token stop) {
    impl_->stop = std::move(stop);
}

void RequestEngine::setProxy(std::string_view server) {
    impl_->proxy = cutAtNul(server);
}

bool RequestEngine::setRequestHeader(std::string_view name, std::string_view value) {
    if (impl_->curl == nullptr || !isToken(name) || equalsIgnoreCase(name, "Content-Length") ||
        equalsIgnoreCase(name, "Transfer-Encoding") || hasLineBreakOrNul(value)) {
        return false;
    }
    if (impl_->headers.empty()) {
        impl_->headers.reserve(8);
    }
    impl_->headers.push_back(impl_->utf8Texts || isAscii(value)
                                 ? headerFor(name, value)
                                 : headerFor(name, ansiToUtf8(value)));
    return true;
}

bool RequestEngine::open(std::string_view method, std::string_view url) {
    url = cutAtNul(url);
    if (impl_->curl == nullptr || !isToken(method) || url.empty()) {
        impl_->opened = false;
        return false;
    }
    impl_->method = method;
    impl_->url = wireUrl(url, impl_->utf8Texts);
    impl_->opened = true;
    return true;
}

void RequestEngine::setIgnoredCertificateErrors(unsigned flags) {
    impl_->ignoredCertificateErrors = flags;
}

void RequestEngine::setCaFile(std::string_view path) {
    impl_->caFile = cutAtNul(path);
}

void RequestEngine::setFollowRedirects(bool follow) {
    impl_->followRedirects = follow;
}

void RequestEngine::setTextsAreUtf8(bool utf8) {
    impl_->utf8Texts = utf8;
}

void RequestEngine::setContentDecoding(bool decode) {
    impl_->decodeContent = decode;
}

void RequestEngine::setAnswerBudget(std::shared_ptr<AnswerBudget> budget) {
    impl_->budget = std::move(budget);
}

bool RequestEngine::send(std::string_view textBody) {
    textBody = cutAtNul(textBody);
    if (impl_->sendsNoBody()) {
        return impl_->run({});
    }
    return impl_->run(impl_->utf8Texts || isAscii(textBody) ? std::string(textBody)
                                                            : ansiToUtf8(textBody));
}

bool RequestEngine::sendBytes(std::string_view bytes) {
    return impl_->run(impl_->sendsNoBody() ? std::string() : std::string(bytes));
}

void RequestEngine::closeIdleConnections() {
    delete tCache;
    tCache = nullptr;
}

const Bytes& RequestEngine::responseBody() const {
    return impl_->body;
}
Bytes RequestEngine::takeResponseBody() {
    return std::move(impl_->body);
}
AnswerHold RequestEngine::takeAnswerHold() {
    return std::move(impl_->hold);
}
const Text& RequestEngine::allResponseHeaders() const {
    return impl_->headerText;
}
int RequestEngine::status() const {
    return impl_->status;
}
const HttpError& RequestEngine::error() const {
    return impl_->error;
}
const std::string& RequestEngine::finalUrl() const {
    return impl_->finalUrl;
}
int RequestEngine::redirectCount() const {
    return impl_->redirectCount;
}
bool RequestEngine::bodyCut() const {
    return impl_->status != 0 && impl_->bodyCut;
}

}  // namespace vesprey
