#include "web/web_client.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <limits>
#include <optional>

#include "text/gbk_text.h"
#include "web/byte_scan.h"
#include "web/cookies.h"

namespace vesprey {
namespace {

constexpr std::array<std::string_view, 8> kMethodWords = {"GET",     "POST",   "HEAD",  "PUT",
                                                          "OPTIONS", "DELETE", "TRACE", "CONNECT"};

constexpr int kDefaultTimeoutMs = 15000;
constexpr unsigned kIgnoredCertificateErrors = 0x3300;  // all four kIgnore... flags

using bytescan::hasLineBreakOrNul;
using bytescan::isAscii;

// gbk::trimSpaces; in ASCII text the only space is the blank byte (the full-width one takes two
// bytes above 0x7F).
std::string_view trimmedSpaces(std::string_view text) {
    if (!isAscii(text)) {
        return gbk::trimSpaces(text);
    }
    const std::size_t begin = text.find_first_not_of(' ');
    if (begin == std::string_view::npos) {
        return {};
    }
    return text.substr(begin, text.find_last_not_of(' ') - begin + 1);
}

// Calls `visit(name, value)` for each line of a header text, as splitRequestHeaders describes.
// CR and ":" are never trail bytes: each of their bytes is a character of its own.
template <class Visit>
void forEachRequestHeader(std::string_view headers, Visit&& visit) {
    auto visitLine = [&](std::string_view line) {
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            visit(std::string_view{}, std::string_view{});
        } else {
            visit(trimmedSpaces(line.substr(0, colon)), trimmedSpaces(line.substr(colon + 1)));
        }
    };
    if (headers.find("\r\n") == std::string_view::npos) {
        visitLine(headers);
        return;
    }
    std::size_t start = 0;
    while (start < headers.size()) {
        const std::size_t end = headers.find("\r\n", start);
        const std::string_view line = headers.substr(start, end - start);
        start = end == std::string_view::npos ? headers.size() : end + 2;
        if (!line.empty()) {
            visitLine(line);
        }
    }
}

}  // namespace

std::string base64(std::string_view bytes) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        unsigned triple = static_cast<unsigned>(static_cast<unsigned char>(bytes[i])) << 16 |
                          static_cast<unsigned>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                          static_cast<unsigned char>(bytes[i + 2]);
        out.push_back(kAlphabet[(triple >> 18) & 0x3F]);
        out.push_back(kAlphabet[(triple >> 12) & 0x3F]);
        out.push_back(kAlphabet[(triple >> 6) & 0x3F]);
        out.push_back(kAlphabet[triple & 0x3F]);
    }
    std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned triple = static_cast<unsigned>(static_cast<unsigned char>(bytes[i])) << 16;
        if (rest == 2) {
            triple |= static_cast<unsigned>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        }
        out.push_back(kAlphabet[(triple >> 18) & 0x3F]);
        out.push_back(kAlphabet[(triple >> 12) & 0x3F]);
        out.push_back(rest == 2 ? kAlphabet[(triple >> 6) & 0x3F] : '=');
        out.push_back('=');
    }
    return out;
}

std::string_view httpMethodWord(int method) {
    return method >= 0 && method < static_cast<int>(kMethodWords.size())
               ? kMethodWords[static_cast<std::size_t>(method)]
               : kMethodWords[0];
}

std::string_view refererOf(std::string_view url, std::string& scratch) {
    url = url.substr(0, url.find('#'));
    const std::size_t scheme = url.find("://");
    if (scheme == std::string_view::npos) {
        return url;
    }
    const std::size_t authority = scheme + 3;
    const std::size_t end = std::min(url.find_first_of("/?", authority), url.size());
    const std::size_t at = url.rfind('@', end);
    if (at == std::string_view::npos || at < authority) {
        return url;
    }
    scratch.assign(url.substr(0, authority));
    scratch.append(url.substr(at + 1));
    return scratch;
}

void completeRequestHeaders(Text& headers, std::string_view url, int method, bool referer) {
    // In ASCII text every byte is a character, and the plain search finds what the
    // character-wise one does.
    bool ascii = isAscii(headers);
    auto contains = [&](std::string_view name) {
        return ascii ? headers.find(name) != Text::npos : gbk::contains(headers, name);
    };
    if (headers.empty()) {
        headers = "Accept: */*";
    } else if (!contains("Accept:")) {
        headers += "\r\nAccept: */*";
    }
    if (referer && !contains("Referer:")) {
        std::string scratch;
        const std::string_view shown = refererOf(url, scratch);
        headers += "\r\nReferer: ";
        headers += shown;
        ascii = ascii && isAscii(shown);
    }
    if (!contains("Accept-Language:")) {
        headers += "\r\nAccept-Language: zh-cn";
    }
    if (!contains("User-Agent:")) {
        headers += "\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";
    }
    if (method == HttpMethod::Post) {
        if (contains("content-type")) {
            headers = gbk::replaceAll(headers, "content-type", "Content-Type");
        }
        if (!contains("Content-Type:")) {
            headers += "\r\nContent-Type: application/x-www-form-urlencoded";
        }
    }
}

std::vector<std::pair<Text, Text>> splitRequestHeaders(std::string_view headers) {
    std::vector<std::pair<Text, Text>> pairs;
    forEachRequestHeader(headers, [&](std::string_view name, std::string_view value) {
        pairs.emplace_back(Text(name), Text(value));
    });
    return pairs;
}

HttpResponse WebClient::send(const HttpRequest& request) {
    const auto started = std::chrono::steady_clock::now();
    HttpResponse response;
    response.sentHeaders = request.headers;
    if (request.cookie) {
        response.cookie = *request.cookie;
    }

    std::optional<RequestEngine> ownEngine;
    RequestEngine* engine = request.engine;
    if (engine == nullptr) {
        engine = &ownEngine.emplace();
    }
    if (!engine->valid()) {
        response.error = makeHttpError(HttpErrorCode::NoRequestObject);
        return response;
    }
    // An address with a line break or another control byte would put its rest on lines of its
    // own (a header of the address's choosing): it is not requested.
    if (std::any_of(request.url.begin(), request.url.end(), [](char c) {
            const auto byte = static_cast<unsigned char>(c);
            return byte < 0x20 || byte == 0x7F;
        })) {
        response.error = {HttpErrorCode::InvalidAddress,
                          utf8ToAnsi("网址里有换行符或控制字符，请求没有发出，请检查签到链接")};
        return response;
    }
    // Such a cookie cannot go as one header line; without it the site would answer a stranger.
    if (request.cookie && hasLineBreakOrNul(*request.cookie)) {
        response.error = makeHttpError(HttpErrorCode::InvalidCookie);
        return response;
    }
    if (request.cookie && request.cookie->size() > kMaxCookieBytes) {
        response.error = {HttpErrorCode::InvalidCookie,
                          utf8ToAnsi("Cookie 太长（超过 64 KB），请求没有发出，请重新获取 Cookie")};
        return response;
    }

    if (request.timeoutSeconds != -1) {
        long long ms = request.timeoutSeconds < 1
                           ? kDefaultTimeoutMs
                           : static_cast<long long>(request.timeoutSeconds) * 1000;
        int limit = static_cast<int>(std::min<long long>(ms, std::numeric_limits<int>::max()));
        engine->setTimeouts(limit, limit, limit, limit);
    }

    if (!request.proxy.empty()) {
        engine->setProxy(request.proxy);
        if (!request.proxyUser.empty() && request.proxyAuthMode == 1) {
            Text credentials(request.proxyUser);
            credentials += ':';
            credentials += request.proxyPassword;
            engine->setRequestHeader("Proxy-Authorization", "Basic " + base64(credentials));
        }
    }

    engine->open(httpMethodWord(request.method), request.url);
    if (request.noRedirect) {
        engine->setFollowRedirects(false);
    }
    engine->setIgnoredCertificateErrors(request.verifyTls ? 0 : kIgnoredCertificateErrors);
    engine->setDeadline(request.deadlineMs);
    engine->setStop(request.stop);
    engine->setCaFile(request.caFile);
    engine->setAnswerBudget(request.answerBudget);

    completeRequestHeaders(response.sentHeaders, request.url, request.method, request.sendReferer);
    if (request.cookie) {
        engine->setRequestHeader("Cookie", *request.cookie);
    }
    // A line the engine refuses (no name, a forbidden name) is left out; the request goes on.
    forEachRequestHeader(response.sentHeaders, [&](std::string_view name, std::string_view value) {
        engine->setRequestHeader(name, value);
    });

    if (!request.byteBody.empty()) {
        engine->sendBytes(request.byteBody);
    } else {
        engine->send(request.body);
    }

    response.error = engine->error();
    response.status = engine->status();
    // A given engine keeps its answer for the caller; a body of our own engine is moved.
    response.body = ownEngine ? ownEngine->takeResponseBody() : engine->responseBody();
    if (ownEngine && request.answerBudget) {
        response.answerHold = std::make_shared<AnswerHold>(ownEngine->takeAnswerHold());
    }
    response.headers = engine->allResponseHeaders();
    response.finalUrl = engine->finalUrl();
    response.redirects = engine->redirectCount();
    response.setCookies = collectReturnedCookies(response.headers, &response.refusedCookies);
    if (!request.cookie) {
        response.cookie = response.setCookies;
    } else if (request.mergeCookies) {
        mergeCookieStrings(response.cookie, response.setCookies);
    }
    response.elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - started)
                             .count();
    return response;
}

Bytes WebClient::request(std::string_view url, int method, const RequestOptions& options) {
    HttpRequest request;
    request.url = url;
    request.method = method;
    if (options.headers != nullptr) {
        request.headers = *options.headers;
    }
    request.body = options.body;
    if (options.cookie != nullptr) {
        request.cookie = *options.cookie;
    }
    request.mergeCookies = options.mergeCookies;
    request.noRedirect = options.noRedirect;
    request.byteBody = options.byteBody;
    request.proxy = options.proxy;
    request.proxyUser = options.proxyUser;
    request.proxyPassword = options.proxyPassword;
    request.proxyAuthMode = options.proxyAuthMode;
    request.timeoutSeconds = options.timeoutSeconds;
    request.engine = options.engine;

    HttpResponse response = send(request);
    if (!response.sent()) {
        return {};  // nothing went out: the caller's variables stay as they were
    }
    const bool merged = options.cookie != nullptr && options.mergeCookies;
    if (options.headers != nullptr) {
        *options.headers = std::move(response.sentHeaders);
    }
    if (options.status != nullptr) {
        *options.status = response.status;
    }
    if (options.returnedCookie != nullptr) {
        *options.returnedCookie = merged ? response.cookie : response.setCookies;
    }
    if (merged) {
        *options.cookie = std::move(response.cookie);
    }
    if (options.responseHeaders != nullptr) {
        *options.responseHeaders = std::move(response.headers);
    }
    return std::move(response.body);
}

}  // namespace vesprey
