#include "engine/flow/web_transport.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "engine/account_request.h"
#include "text/text.h"

namespace vesprey::flow {
namespace {

constexpr int kStepTimeoutMs = 15000;  // to connect, and without a byte moving
constexpr unsigned kAnyCertificate = kIgnoreUnknownCertificateAuthority |
                                     kIgnoreCertificateWrongUsage | kIgnoreCertificateNameInvalid |
                                     kIgnoreCertificateDateInvalid;
constexpr std::size_t kSniffedBytes = 2048;  // where a page declares its charset

char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lowered(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), lowerAscii);
    return out;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && lowered(a) == lowered(b);
}

bool isAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// Characters of a header name (an HTTP token).
bool isHeaderName(std::string_view name) {
    constexpr std::string_view kSigns = "!#$%&'*+-.^_`|~";
    return !name.empty() && std::all_of(name.begin(), name.end(), [&](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               kSigns.find(c) != std::string_view::npos;
    });
}

bool isHeaderValue(std::string_view value) {
    return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

// The charset name that follows "charset" or "encoding" at `at` in `text`: blanks, "=", blanks or
// a quote, then the name. Empty when none follows.
std::string nameAfter(std::string_view text, std::size_t at) {
    auto skip = [&](std::string_view chars) {
        while (at < text.size() && chars.find(text[at]) != std::string_view::npos) {
            ++at;
        }
    };
    skip(" \t\r\n");
    if (at >= text.size() || text[at] != '=') {
        return {};
    }
    ++at;
    skip(" \t\r\n\"'");
    std::string name;
    while (at < text.size() && name.size() < 40) {
        const char c = text[at++];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_' || c == '.' || c == ':')) {
            break;
        }
        name.push_back(c);
    }
    return name;
}

// The charset parameter of a Content-Type value.
std::string charsetOfContentType(std::string_view value) {
    const std::string lower = lowered(value);
    const std::size_t at = lower.find("charset");
    return at == std::string::npos ? std::string() : nameAfter(value, at + 7);
}

// The charset a page declares in its first bytes: an XML declaration's encoding, or a <meta>
// tag's charset (<meta charset="gbk"> or <meta http-equiv=... content="...; charset=gbk">).
std::string declaredCharset(std::string_view body) {
    const std::string head = lowered(body.substr(0, kSniffedBytes));
    const std::size_t start = head.find_first_not_of(" \t\r\n");
    if (start != std::string::npos && head.compare(start, 5, "<?xml") == 0) {
        const std::string_view declaration =
            std::string_view(head).substr(start, head.find("?>", start) - start);
        const std::size_t at = declaration.find("encoding");
        if (at != std::string_view::npos) {
            return nameAfter(declaration, at + 8);
        }
    }
    for (std::size_t at = head.find("<meta"); at != std::string::npos;
         at = head.find("<meta", at + 5)) {
        const std::string_view tag = std::string_view(head).substr(at, head.find('>', at) - at);
        const std::size_t charset = tag.find("charset");
        if (charset != std::string_view::npos) {
            if (std::string name = nameAfter(tag, charset + 7); !name.empty()) {
                return name;
            }
        }
    }
    return {};
}

enum class Family { Utf8, Chinese, Utf16, Other };

// How a charset name is read: UTF-8, the GB family (read as GB18030, which holds GBK and
// GB2312), UTF-16 (not ASCII-compatible) or another charset iconv is asked about.
Family familyOf(std::string_view lowerName) {
    constexpr std::string_view kChinese[] = {"gbk",      "gb2312",      "gb18030",    "x-gbk",
                                             "cp936",    "windows-936", "gb_2312-80", "euc-cn",
                                             "x-euc-cn", "csgb2312",    "chinese",    "iso-ir-58"};
    if (lowerName == "utf-8" || lowerName == "utf8" || lowerName == "unicode-1-1-utf-8") {
        return Family::Utf8;
    }
    if (std::find(std::begin(kChinese), std::end(kChinese), lowerName) != std::end(kChinese)) {
        return Family::Chinese;
    }
    if (lowerName.starts_with("utf-16") || lowerName.starts_with("utf16") ||
        lowerName == "unicode" || lowerName.starts_with("ucs-2")) {
        return Family::Utf16;
    }
    return Family::Other;
}

// The name iconv gets for a charset: browsers read Latin-1 and ASCII pages as Windows-1252.
std::string iconvCharset(const std::string& lowerName, Family family) {
    if (family == Family::Chinese) {
        return "GB18030";
    }
    if (lowerName == "iso-8859-1" || lowerName == "latin1" || lowerName == "us-ascii" ||
        lowerName == "ascii") {
        return "WINDOWS-1252";
    }
    return lowerName;
}

std::size_t countQuestionMarks(std::string_view text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '?'));
}

struct Conversion {
    std::optional<std::string> text;  // nothing: iconv does not know the charset
    std::size_t replaced = 0;         // bytes that were no character of it, now "?"
};

Conversion convert(std::string_view body, const std::string& charset, bool asciiCompatible) {
    if (body.empty()) {
        return {std::string(), 0};
    }
    std::string text = transcodeBytes(body, charset, "UTF-8", 3);
    if (text.empty()) {
        return {};
    }
    // Every charset read here writes "?" as itself, so new ones are the replaced bytes.
    const std::size_t before = countQuestionMarks(body);
    const std::size_t after = countQuestionMarks(text);
    return {std::move(text), asciiCompatible && after > before ? after - before : 0};
}

std::string replacedNote(std::size_t replaced) {
    return replaced == 0 ? std::string()
                         : "，其中 " + std::to_string(replaced) + " 处无法解码的字节换成了“?”";
}

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](char c) {
        return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    });
    return text;
}

// A body said to be UTF-8 that is not quite: the stray bytes become "?".
std::string repairedUtf8(std::string_view body, std::string_view said, std::string& note) {
    Conversion fixed = convert(body, "UTF-8", true);
    note = std::string(said) + "，但有 " +
           std::to_string(std::max<std::size_t>(fixed.replaced, 1)) +
           " 处字节不是 UTF-8，已换成“?”";
    return std::move(fixed.text).value_or(std::string(body));
}

// A body that names no charset (or one iconv does not know): kept when it is UTF-8, else read as
// GB18030.
std::string undeclared(std::string_view body, std::string prefix, std::string& note) {
    if (isValidUtf8(body)) {
        note = prefix.empty() ? std::string() : prefix + "按 UTF-8 读取";
        return std::string(body);
    }
    Conversion gb = convert(body, "GB18030", true);
    note = (prefix.empty() ? std::string("答复没有注明编码，也不是 UTF-8，") : prefix) +
           "按 GB18030 解码" + replacedNote(gb.replaced);
    return std::move(gb.text).value_or(std::string(body));
}

// The value of the last header line named `name`.
std::string_view headerValue(const HeaderLines& headers, std::string_view name) {
    std::string_view value;
    for (const auto& [key, text] : headers) {
        if (equalsIgnoreCase(key, name)) {
            value = text;
        }
    }
    return value;
}

// The answer's header text (lines joined by CR LF, bytes as they came) as name and value pairs;
// a folded line continues the value before it.
HeaderLines splitHeaderText(std::string_view text) {
    HeaderLines lines;
    while (!text.empty()) {
        const std::size_t end = text.find("\r\n");
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 2);
        if (trimmed(line).empty()) {
            continue;
        }
        if ((line.front() == ' ' || line.front() == '\t') && !lines.empty()) {
            lines.back().second += ' ';
            lines.back().second += headerTextToUtf8(trimmed(line));
            continue;
        }
        const std::size_t colon = line.find(':');
        const std::string_view name = trimmed(line.substr(0, colon));
        const std::string_view value =
            colon == std::string_view::npos ? std::string_view() : trimmed(line.substr(colon + 1));
        lines.emplace_back(headerTextToUtf8(name), headerTextToUtf8(value));
    }
    return lines;
}

bool startsWithIgnoreCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && equalsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

// Why a step's URL cannot be fetched, or nothing when it is an http or https URL. The URL itself
// is not repeated: it may carry a token.
std::optional<std::string> urlProblem(std::string_view url) {
    if (startsWithIgnoreCase(url, "http://") || startsWithIgnoreCase(url, "https://")) {
        return std::nullopt;
    }
    const std::size_t colon = url.find(':');
    const std::string_view scheme = url.substr(0, colon);
    const bool named = colon != std::string_view::npos && !scheme.empty() && scheme.size() <= 20 &&
                       std::all_of(scheme.begin(), scheme.end(), [](char c) {
                           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                  (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
                       });
    if (named) {
        return "这一步的网址以“" + std::string(scheme) +
               ":”开头，只能请求 http 或 https 网址，请检查模板";
    }
    return std::string("这一步的网址没有以 http:// 或 https:// 开头，无法请求，请检查模板");
}

TransportFailure failure(std::string message) {
    return TransportFailure{std::move(message), false, false};
}

}  // namespace

std::string headerTextToUtf8(std::string_view bytes) {
    if (isValidUtf8(bytes)) {
        return std::string(bytes);
    }
    return std::move(convert(bytes, "GB18030", true).text).value_or(std::string(bytes));
}

std::string decodeAnswerBody(std::string&& body, const HeaderLines& headers, std::string& note) {
    // The body as it came, moved rather than copied, when it needs no conversion: UTF-8 without a
    // byte-order mark, named so or not named, or ASCII in any charset but UTF-16.
    if (!body.starts_with("\xEF\xBB\xBF")) {
        std::string name = charsetOfContentType(headerValue(headers, "Content-Type"));
        if (name.empty()) {
            name = declaredCharset(body);
        }
        const Family family = familyOf(lowered(name));
        if (((name.empty() || family == Family::Utf8) && isValidUtf8(body)) ||
            (!name.empty() && family != Family::Utf16 && isAscii(body))) {
            note.clear();
            return std::move(body);
        }
    }
    return decodeAnswerBody(std::string_view(body), headers, note);
}

std::string decodeAnswerBody(std::string_view body, const HeaderLines& headers, std::string& note) {
    note.clear();
    // A byte-order mark says more than any label.
    if (body.starts_with("\xEF\xBB\xBF")) {
        body.remove_prefix(3);
        if (isValidUtf8(body)) {
            return std::string(body);
        }
        return repairedUtf8(body, "答复以 UTF-8 标记开头", note);
    }
    std::string name = charsetOfContentType(headerValue(headers, "Content-Type"));
    if (name.empty()) {
        name = declaredCharset(body);
    }
    if (name.empty()) {
        return undeclared(body, {}, note);
    }
    const std::string lowerName = lowered(name);
    const Family family = familyOf(lowerName);
    if (family != Family::Utf16 && isAscii(body)) {
        return std::string(body);  // the same text in every charset read here
    }
    if (family == Family::Utf8) {
        if (isValidUtf8(body)) {
            return std::string(body);
        }
        return repairedUtf8(body, "答复注明 UTF-8", note);
    }
    Conversion converted = convert(body, iconvCharset(lowerName, family), family != Family::Utf16);
    if (!converted.text) {
        return undeclared(body, "答复注明的编码 " + name + " 无法识别，", note);
    }
    note = "答复按 " + upper(name) + " 解码" + replacedNote(converted.replaced);
    return std::move(*converted.text);
}

WebFlowTransport::WebFlowTransport(WebTransportSettings settings) : settings_(std::move(settings)) {
    engine_.setTextsAreUtf8(true);
    engine_.setContentDecoding(true);
    engine_.setFollowRedirects(false);
    engine_.setTimeouts(kStepTimeoutMs, kStepTimeoutMs, kStepTimeoutMs, kStepTimeoutMs);
    engine_.setDeadline(settings_.requestDeadlineMs);
    engine_.setStop(settings_.stop);
    engine_.setAnswerBudget(settings_.answerBudget);
    engine_.setCaFile(settings_.caFile);
    engine_.setProxy(settings_.proxy);
    engine_.setIgnoredCertificateErrors(settings_.verifyTls ? 0 : kAnyCertificate);
}

std::variant<FlowResponse, TransportFailure> WebFlowTransport::send(const FlowRequest& request) {
    if (std::optional<std::string> problem = urlProblem(request.url)) {
        return failure(std::move(*problem));
    }
    // Checked before anything is handed to the engine, whose header lines wait for the next send.
    bool hasUserAgent = false;
    for (const auto& [name, value] : request.headers) {
        if (!isHeaderName(name) || !isHeaderValue(value)) {
            return failure("这一步的请求头“" + headerTextToUtf8(name) +
                           "”写得不对（名字有空格或符号，或者值里有换行），请检查模板");
        }
        hasUserAgent = hasUserAgent || equalsIgnoreCase(name, "User-Agent");
        // As for a one-request template: a cookie pasted with the rest of a page is no cookie.
        if (equalsIgnoreCase(name, "Cookie") && value.size() > kMaxCookieBytes) {
            return failure("Cookie 太长（超过 64 KB），请求没有发出，请重新获取 Cookie");
        }
    }
    if (!engine_.valid()) {
        return failure("无法创建网络请求");
    }
    if (!engine_.open(request.method, request.url)) {
        return failure("这一步的请求方法“" + request.method + "”或网址无效，请检查模板");
    }
    for (const auto& [name, value] : request.headers) {
        // A length copied from a browser's request does not fit the body sent: the engine
        // writes its own.
        if (!equalsIgnoreCase(name, "Content-Length") &&
            !equalsIgnoreCase(name, "Transfer-Encoding")) {
            engine_.setRequestHeader(name, value);
        }
    }
    if (!hasUserAgent) {
        constexpr std::string_view kName = "User-Agent: ";
        engine_.setRequestHeader("User-Agent", kDesktopUserAgentLine.substr(kName.size()));
    }

    const auto started = std::chrono::steady_clock::now();
    const bool answered = engine_.sendBytes(request.body);
    const long long elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - started)
                                    .count();
    if (!answered) {
        const HttpError& error = engine_.error();
        TransportFailure failed{ansiToUtf8(error.message), error.code == HttpErrorCode::Stopped,
                                error.code == HttpErrorCode::ResolveFailed ||
                                    error.code == HttpErrorCode::ConnectFailed ||
                                    error.code == HttpErrorCode::Timeout};
        if (failed.message.empty()) {
            failed.message = "请求失败";
        }
        return failed;
    }
    if (engine_.bodyCut()) {
        return failure("答复太大（超过 " +
                       std::to_string(kMaxResponseBody / (std::size_t{1024} * 1024)) +
                       " MB），没有收下");
    }

    FlowResponse response;
    response.status = engine_.status();
    response.headers = splitHeaderText(engine_.allResponseHeaders());
    // The budget's bytes stay held by the engine until the next send, while the step's answer
    // is looked at.
    response.body =
        decodeAnswerBody(engine_.takeResponseBody(), response.headers, response.encodingNote);
    response.elapsedMs = elapsedMs;
    return response;
}

}  // namespace vesprey::flow
