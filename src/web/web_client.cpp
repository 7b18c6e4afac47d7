#include "web/web_client.h"

#include <algorithm>
#include <array>
#include <limits>
#include <optional>

#include "web/cookies.h"
#include "web/gbk_text.h"

namespace vesprey {
namespace {

constexpr std::array<std::string_view, 8> kMethodWords = {"GET",     "POST",   "HEAD",  "PUT",
                                                          "OPTIONS", "DELETE", "TRACE", "CONNECT"};

constexpr int kDefaultTimeoutMs = 15000;
constexpr unsigned kIgnoredCertificateErrors = 0x3300;  // all four kIgnore... flags

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

}  // namespace

std::string_view httpMethodWord(int method) {
    return method >= 0 && method < static_cast<int>(kMethodWords.size())
               ? kMethodWords[static_cast<std::size_t>(method)]
               : kMethodWords[0];
}

void completeRequestHeaders(Text& headers, std::string_view url, int method) {
    if (headers.empty()) {
        headers = "Accept: */*";
    } else if (!gbk::contains(headers, "Accept:")) {
        headers += "\r\nAccept: */*";
    }
    if (!gbk::contains(headers, "Referer:")) {
        headers += "\r\nReferer: ";
        headers += url;
    }
    if (!gbk::contains(headers, "Accept-Language:")) {
        headers += "\r\nAccept-Language: zh-cn";
    }
    if (!gbk::contains(headers, "User-Agent:")) {
        headers += "\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";
    }
    if (method == HttpMethod::Post) {
        if (gbk::contains(headers, "content-type")) {
            headers = gbk::replaceAll(headers, "content-type", "Content-Type");
        }
        if (!gbk::contains(headers, "Content-Type:")) {
            headers += "\r\nContent-Type: application/x-www-form-urlencoded";
        }
    }
}

std::vector<std::pair<Text, Text>> splitRequestHeaders(std::string_view headers) {
    std::vector<std::string_view> lines;
    if (!gbk::contains(headers, "\r\n")) {
        lines.push_back(headers);
    } else {
        for (std::string_view line : gbk::split(headers, "\r\n")) {
            if (!line.empty()) {
                lines.push_back(line);
            }
        }
    }
    std::vector<std::pair<Text, Text>> pairs;
    pairs.reserve(lines.size());
    for (std::string_view line : lines) {
        std::size_t colon = gbk::find(line, ":");
        if (colon == gbk::npos) {
            pairs.emplace_back();
            continue;
        }
        pairs.emplace_back(Text(gbk::trimSpaces(line.substr(0, colon))),
                           Text(gbk::trimSpaces(line.substr(colon + 1))));
    }
    return pairs;
}

Bytes WebClient::request(std::string_view url, int method, const RequestOptions& options) {
    std::string_view methodWord = httpMethodWord(method);

    std::optional<RequestEngine> ownEngine;
    RequestEngine* engine = options.engine;
    if (engine == nullptr) {
        engine = &ownEngine.emplace();
    }
    if (!engine->valid()) {
        return {};  // no request object: the caller's variables stay as they were
    }

    if (options.timeoutSeconds != -1) {
        long long ms = options.timeoutSeconds < 1
                           ? kDefaultTimeoutMs
                           : static_cast<long long>(options.timeoutSeconds) * 1000;
        int limit = static_cast<int>(std::min<long long>(ms, std::numeric_limits<int>::max()));
        engine->setTimeouts(limit, limit, limit, limit);
    }

    if (!options.proxy.empty()) {
        engine->setProxy(options.proxy);
        if (!options.proxyUser.empty() && options.proxyAuthMode == 1) {
            Text credentials(options.proxyUser);
            credentials += ':';
            credentials += options.proxyPassword;
            engine->setRequestHeader("Proxy-Authorization", "Basic " + base64(credentials));
        }
    }

    engine->open(methodWord, url);
    if (options.noRedirect) {
        engine->setFollowRedirects(false);
    }
    engine->setIgnoredCertificateErrors(kIgnoredCertificateErrors);

    Text localHeaders;
    Text& headers = options.headers != nullptr ? *options.headers : localHeaders;
    completeRequestHeaders(headers, url, method);

    if (options.cookie != nullptr) {
        engine->setRequestHeader("Cookie", *options.cookie);
    }
    // A line the engine refuses (no name, a forbidden name) is left out; the request goes on.
    for (const auto& [name, value] : splitRequestHeaders(headers)) {
        engine->setRequestHeader(name, value);
    }

    if (!options.byteBody.empty()) {
        engine->sendBytes(options.byteBody);
    } else {
        engine->send(options.body);
    }

    Bytes body = engine->responseBody();
    Text responseHeaders = engine->allResponseHeaders();
    if (options.status != nullptr) {
        *options.status = engine->status();
    }

    Text returned = collectReturnedCookies(responseHeaders);
    if (options.mergeCookies && options.cookie != nullptr) {
        mergeCookieStrings(*options.cookie, returned);
        returned = *options.cookie;
    }
    if (options.returnedCookie != nullptr) {
        *options.returnedCookie = std::move(returned);
    }
    if (options.responseHeaders != nullptr) {
        *options.responseHeaders = std::move(responseHeaders);
    }
    return body;
}

}  // namespace vesprey
