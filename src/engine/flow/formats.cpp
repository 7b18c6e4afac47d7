#include "engine/flow/formats.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "engine/account_request.h"
#include "engine/flow/flow.h"
#include "engine/flow/json_value.h"
#include "engine/flow/render.h"
#include "json/json.h"
#include "web/web_client.h"

namespace vesprey::flow {

namespace {

const JsonStyle kStoredStyle{4, false, false};

constexpr std::string_view kBom = "\xEF\xBB\xBF";
constexpr std::string_view kCookieTemplate = "{{cookie}}";
constexpr std::string_view kFormMimeType = "application/x-www-form-urlencoded";

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    });
    return out;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::string_view withoutBom(std::string_view text) {
    if (text.starts_with(kBom)) {
        text.remove_prefix(kBom.size());
    }
    return text;
}

std::string textOf(const Value& v) {
    return v.kind() == ValueKind::String ? v.asString() : v.isUndefined() ? "" : v.toText();
}

// The text as a template that renders as the text itself: every "{{", "{%" and "{#" becomes an
// expression giving those two characters.
std::string literal(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '{' && i + 1 < text.size() &&
            (text[i + 1] == '{' || text[i + 1] == '%' || text[i + 1] == '#')) {
            out += "{{ '{";
            out += text[i + 1];
            out += "' }}";
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

Value namedPair(std::string name, std::string value) {
    return Value(ValueMap{{"name", Value(std::move(name))}, {"value", Value(std::move(value))}});
}

// Headers a step never carries: the HTTP/2 pseudo-headers and what the request itself decides.
bool droppedHeader(std::string_view name) {
    const std::string n = lower(name);
    return n.empty() || n.front() == ':' || n == "content-length" || n == "host";
}

struct StepParts {
    std::string comment;
    std::string method = "GET";
    std::string url;
    ValueList headers;
    ValueList cookies;
    std::string data;
    std::string mimeType;
    Value successAsserts = Value(ValueList{});
    Value failedAsserts = Value(ValueList{});
    Value extractVariables = Value(ValueList{});
};

Value stepValue(StepParts parts) {
    ValueMap request{{"method", Value(std::move(parts.method))},
                     {"url", Value(std::move(parts.url))},
                     {"headers", Value(std::move(parts.headers))},
                     {"cookies", Value(std::move(parts.cookies))},
                     {"data", Value(std::move(parts.data))},
                     {"mimeType", Value(std::move(parts.mimeType))}};
    ValueMap rule{{"success_asserts", std::move(parts.successAsserts)},
                  {"failed_asserts", std::move(parts.failedAsserts)},
                  {"extract_variables", std::move(parts.extractVariables)}};
    return Value(ValueMap{{"comment", Value(std::move(parts.comment))},
                          {"request", Value(std::move(request))},
                          {"rule", Value(std::move(rule))}});
}

std::string storedText(const Value& value) {
    return writeJson(value, kStoredStyle);
}

FormatError jsonError(const char* what, const JsonReadError& error) {
    return FormatError{std::string(what) + "不是有效的 JSON（第 " + std::to_string(error.position) +
                       " 个字符）：" + error.message};
}

// ----- HAR -----

struct HarFile {
    ValueList entries;
    bool qd = false;
};

bool hasQdMarks(const Value& entry) {
    return entry.member("checked").kind() == ValueKind::Bool ||
           !entry.member("success_asserts").isUndefined() ||
           !entry.member("failed_asserts").isUndefined() ||
           !entry.member("extract_variables").isUndefined();
}

std::optional<HarFile> harOf(const Value& root) {
    const Value entries = root.member("log").member("entries");
    if (entries.kind() != ValueKind::List) {
        return std::nullopt;
    }
    HarFile har;
    har.entries = entries.asList();
    har.qd = std::any_of(har.entries.begin(), har.entries.end(), hasQdMarks);
    return har;
}

std::variant<HarFile, FormatError> readHar(std::string_view utf8) {
    auto json = readJson(withoutBom(utf8));
    if (auto* error = std::get_if<JsonReadError>(&json)) {
        return jsonError("HAR 文件", *error);
    }
    std::optional<HarFile> har = harOf(std::get<Value>(json));
    if (!har) {
        return FormatError{"这不是 HAR 文件：没有 log.entries 列表"};
    }
    return std::move(*har);
}

std::string itemName(std::size_t number) {
    return "第 " + std::to_string(number) + " 项";
}

// An entry, header or cookie a QD HAR marks "checked": false is not sent.
bool unchecked(const Value& v) {
    const Value checked = v.member("checked");
    return checked.kind() == ValueKind::Bool && !checked.asBool();
}

bool isList(const Value& v) {
    return v.kind() == ValueKind::List;
}

std::variant<Value, FormatError> harStep(const Value& entry, std::size_t number, bool qd,
                                         std::string& cookie) {
    const Value request = entry.member("request");
    if (request.kind() != ValueKind::Map) {
        return FormatError{itemName(number) + "没有 request"};
    }
    const std::string url = textOf(request.member("url"));
    if (url.empty()) {
        return FormatError{itemName(number) + "没有 request.url"};
    }
    const auto text = [&](std::string_view t) { return qd ? std::string(t) : literal(t); };
    StepParts parts;
    parts.comment = textOf(entry.member("comment"));
    parts.method = textOf(request.member("method"));
    if (parts.method.empty()) {
        parts.method = "GET";
    }
    parts.url = text(url);
    bool sawCookie = false;
    if (isList(request.member("headers"))) {
        for (const Value& header : request.member("headers").asList()) {
            const std::string name = textOf(header.member("name"));
            if (droppedHeader(name) || unchecked(header)) {
                continue;
            }
            if (!qd && lower(name) == "cookie") {
                if (cookie.empty()) {
                    cookie = textOf(header.member("value"));
                }
                if (!sawCookie) {
                    parts.headers.push_back(namedPair("Cookie", std::string(kCookieTemplate)));
                }
                sawCookie = true;
                continue;
            }
            parts.headers.push_back(namedPair(text(name), text(textOf(header.member("value")))));
        }
    }
    if (qd && isList(request.member("cookies"))) {
        for (const Value& c : request.member("cookies").asList()) {
            if (unchecked(c)) {
                continue;
            }
            parts.cookies.push_back(namedPair(textOf(c.member("name")), textOf(c.member("value"))));
        }
    }
    const Value post = request.member("postData");
    const Value data = request.member("data");
    parts.data =
        text(data.kind() == ValueKind::String ? data.asString() : textOf(post.member("text")));
    parts.mimeType = textOf(request.member("mimeType"));
    if (parts.mimeType.empty()) {
        parts.mimeType = textOf(post.member("mimeType"));
    }
    if (qd) {
        const Value rule =
            entry.member("rule").kind() == ValueKind::Map ? entry.member("rule") : entry;
        for (auto [member, target] : {std::pair{"success_asserts", &parts.successAsserts},
                                      std::pair{"failed_asserts", &parts.failedAsserts},
                                      std::pair{"extract_variables", &parts.extractVariables}}) {
            if (isList(rule.member(member))) {
                *target = rule.member(member);
            }
        }
    }
    return stepValue(std::move(parts));
}

// ----- curl -----

using Words = std::vector<std::string>;

std::optional<std::uint32_t> hexDigits(std::string_view s, std::size_t& i, std::size_t most) {
    std::uint32_t v = 0;
    std::size_t n = 0;
    while (n < most && i < s.size() && std::isxdigit(static_cast<unsigned char>(s[i]))) {
        const char c = s[i++];
        v = v * 16 + static_cast<std::uint32_t>(c <= '9'   ? c - '0'
                                                : c <= 'F' ? c - 'A' + 10
                                                           : c - 'a' + 10);
        ++n;
    }
    return n == 0 ? std::nullopt : std::optional(v);
}

const FormatError kUnclosedQuote{"curl 命令里的引号没有配对，请把整条命令完整地复制过来"};

// The words of a command line copied for bash.
std::variant<Words, FormatError> bashWords(std::string_view s) {
    Words words;
    std::string word;
    bool inWord = false;
    std::size_t i = 0;
    while (i < s.size()) {
        const char c = s[i];
        if (isBlank(c)) {
            if (inWord) {
                words.push_back(std::move(word));
                word.clear();
                inWord = false;
            }
            ++i;
            continue;
        }
        if (c == '\\' && s.substr(i + 1, 1) == "\n") {
            i += 2;  // a line continued
            continue;
        }
        if (c == '\\' && s.substr(i + 1, 2) == "\r\n") {
            i += 3;
            continue;
        }
        inWord = true;
        if (c == '\\') {
            if (i + 1 < s.size()) {
                word += s[i + 1];
            }
            i += 2;
            continue;
        }
        if (c == '\'') {
            const std::size_t close = s.find('\'', i + 1);
            if (close == std::string_view::npos) {
                return kUnclosedQuote;
            }
            word += s.substr(i + 1, close - i - 1);
            i = close + 1;
            continue;
        }
        if (c == '"') {
            ++i;
            bool closed = false;
            while (i < s.size()) {
                const char d = s[i];
                if (d == '"') {
                    closed = true;
                    ++i;
                    break;
                }
                if (d == '\\' && i + 1 < s.size()) {
                    const char e = s[i + 1];
                    if (e == '\n') {
                        i += 2;
                        continue;
                    }
                    if (e == '$' || e == '`' || e == '"' || e == '\\') {
                        word += e;
                        i += 2;
                        continue;
                    }
                }
                word += d;
                ++i;
            }
            if (!closed) {
                return kUnclosedQuote;
            }
            continue;
        }
        if (c == '$' && s.substr(i + 1, 1) == "'") {
            i += 2;
            bool closed = false;
            while (i < s.size()) {
                const char d = s[i++];
                if (d == '\'') {
                    closed = true;
                    break;
                }
                if (d != '\\' || i >= s.size()) {
                    word += d;
                    continue;
                }
                const char e = s[i++];
                switch (e) {
                    case 'a':
                        word += '\a';
                        break;
                    case 'b':
                        word += '\b';
                        break;
                    case 'e':
                    case 'E':
                        word += '\x1B';
                        break;
                    case 'f':
                        word += '\f';
                        break;
                    case 'n':
                        word += '\n';
                        break;
                    case 'r':
                        word += '\r';
                        break;
                    case 't':
                        word += '\t';
                        break;
                    case 'v':
                        word += '\v';
                        break;
                    case 'x':
                    case 'u':
                    case 'U': {
                        const auto v = hexDigits(s, i, e == 'x' ? 2 : e == 'u' ? 4 : 8);
                        if (!v) {
                            word += '\\';
                            word += e;
                        } else if (e == 'x') {
                            word += static_cast<char>(*v);
                        } else {
                            appendUtf8(word, *v);
                        }
                        break;
                    }
                    default:
                        if (e >= '0' && e <= '7') {
                            std::uint32_t v = static_cast<std::uint32_t>(e - '0');
                            for (int k = 0; k < 2 && i < s.size() && s[i] >= '0' && s[i] <= '7';
                                 ++k) {
                                v = v * 8 + static_cast<std::uint32_t>(s[i++] - '0');
                            }
                            word += static_cast<char>(v);
                        } else {
                            word += e;  // \\ \' \" \? and anything else: the character
                        }
                }
            }
            if (!closed) {
                return kUnclosedQuote;
            }
            continue;
        }
        word += c;
        ++i;
    }
    if (inWord) {
        words.push_back(std::move(word));
    }
    return words;
}

// The words of a command line copied for Windows cmd: cmd's "^" escapes (a "^" at a line's end
// continues it) first, then the quotes of the program's own argument parsing: a backslash before
// a quote or a backslash stands for that character, and "" inside quotes for a quote.
std::variant<Words, FormatError> cmdWords(std::string_view s) {
    std::string passed;
    bool cmdQuote = false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '^' && !cmdQuote) {
            if (s.substr(i + 1, 2) == "\r\n") {
                i += 2;
            } else if (s.substr(i + 1, 1) == "\n") {
                i += 1;
            } else if (i + 1 < s.size()) {
                // An escaped quote passes as a quote of the program's parsing but leaves cmd's
                // own quoting alone; mark it so that the second pass sees it.
                passed += s[++i] == '"' ? '\x01' : s[i];
            }
            continue;
        }
        if (c == '"') {
            cmdQuote = !cmdQuote;
        }
        passed += c;
    }
    Words words;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (std::size_t i = 0; i < passed.size(); ++i) {
        const char c = passed[i] == '\x01' ? '"' : passed[i];
        if (!quoted && isBlank(c)) {
            if (inWord) {
                words.push_back(std::move(word));
                word.clear();
                inWord = false;
            }
            continue;
        }
        inWord = true;
        const char next = i + 1 < passed.size() ? passed[i + 1] : '\0';
        const bool quoteNext = next == '"' || next == '\x01';
        if (c == '\\' && (next == '\\' || quoteNext)) {
            word += quoteNext ? '"' : '\\';
            ++i;
        } else if (c == '"') {
            if (quoted && quoteNext) {
                word += '"';
                ++i;
            } else {
                quoted = !quoted;
            }
        } else {
            word += c;
        }
    }
    if (quoted) {
        return kUnclosedQuote;
    }
    if (inWord) {
        words.push_back(std::move(word));
    }
    return words;
}

bool isCmdForm(std::string_view s) {
    return s.find("^\"") != std::string_view::npos || s.find("^\n") != std::string_view::npos ||
           s.find("^\r\n") != std::string_view::npos;
}

std::string base64(std::string_view bytes) {
    static constexpr char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t v = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (i + 1 < bytes.size()) {
            v |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        }
        if (i + 2 < bytes.size()) {
            v |= static_cast<unsigned char>(bytes[i + 2]);
        }
        out += kDigits[(v >> 18) & 63];
        out += kDigits[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? kDigits[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kDigits[v & 63] : '=';
    }
    return out;
}

// The options by what they take.
enum class Option {
    Request,
    Url,
    Header,
    Data,
    DataRaw,
    DataUrlencode,
    Json,
    Get,
    Head,
    Cookie,
    UserAgent,
    Referer,
    User,
    Form,
    Upload,
    Ignored,
    IgnoredWithValue,
    Unknown
};

Option longOption(std::string_view name) {
    static const std::pair<std::string_view, Option> kOptions[] = {
        {"request", Option::Request},
        {"url", Option::Url},
        {"header", Option::Header},
        {"data", Option::Data},
        {"data-ascii", Option::Data},
        {"data-binary", Option::Data},
        {"data-raw", Option::DataRaw},
        {"data-urlencode", Option::DataUrlencode},
        {"json", Option::Json},
        {"get", Option::Get},
        {"head", Option::Head},
        {"cookie", Option::Cookie},
        {"user-agent", Option::UserAgent},
        {"referer", Option::Referer},
        {"user", Option::User},
        {"form", Option::Form},
        {"form-string", Option::Form},
        {"upload-file", Option::Upload},
    };
    for (const auto& [n, option] : kOptions) {
        if (n == name) {
            return option;
        }
    }
    static constexpr std::string_view kIgnored[] = {"compressed",
                                                    "insecure",
                                                    "silent",
                                                    "show-error",
                                                    "location",
                                                    "location-trusted",
                                                    "include",
                                                    "verbose",
                                                    "http1.0",
                                                    "http1.1",
                                                    "http2",
                                                    "http2-prior-knowledge",
                                                    "http3",
                                                    "globoff",
                                                    "no-buffer",
                                                    "progress-bar",
                                                    "fail",
                                                    "fail-with-body",
                                                    "ipv4",
                                                    "ipv6",
                                                    "tlsv1",
                                                    "tlsv1.0",
                                                    "tlsv1.1",
                                                    "tlsv1.2",
                                                    "tlsv1.3",
                                                    "tr-encoding",
                                                    "no-keepalive",
                                                    "path-as-is",
                                                    "raw",
                                                    "junk-session-cookies",
                                                    "no-progress-meter",
                                                    "ssl-no-revoke",
                                                    "retry-all-errors"};
    static constexpr std::string_view kIgnoredWithValue[] = {
        "output",     "max-time",  "connect-timeout", "retry",      "retry-delay", "retry-max-time",
        "max-redirs", "write-out", "cookie-jar",      "limit-rate", "cacert",      "capath"};
    if (std::find(std::begin(kIgnored), std::end(kIgnored), name) != std::end(kIgnored)) {
        return Option::Ignored;
    }
    if (std::find(std::begin(kIgnoredWithValue), std::end(kIgnoredWithValue), name) !=
        std::end(kIgnoredWithValue)) {
        return Option::IgnoredWithValue;
    }
    return Option::Unknown;
}

Option shortOption(char letter) {
    switch (letter) {
        case 'X':
            return Option::Request;
        case 'H':
            return Option::Header;
        case 'd':
            return Option::Data;
        case 'G':
            return Option::Get;
        case 'I':
            return Option::Head;
        case 'b':
            return Option::Cookie;
        case 'A':
            return Option::UserAgent;
        case 'e':
            return Option::Referer;
        case 'u':
            return Option::User;
        case 'F':
            return Option::Form;
        case 'T':
            return Option::Upload;
        case 'k':
        case 's':
        case 'S':
        case 'L':
        case 'i':
        case 'v':
        case 'f':
        case 'g':
        case 'N':
        case '#':
        case '0':
        case '4':
        case '6':
        case 'j':
            return Option::Ignored;
        case 'o':
        case 'm':
        case 'w':
        case 'c':
            return Option::IgnoredWithValue;
        default:
            return Option::Unknown;
    }
}

bool takesValue(Option option) {
    return option != Option::Get && option != Option::Head && option != Option::Ignored &&
           option != Option::Unknown;
}

struct CurlCommand {
    std::optional<std::string> method;
    std::vector<std::string> urls;
    std::vector<std::pair<std::string, std::string>> headers;  // as given, Cookie included
    std::string data;
    bool hasData = false;
    bool json = false;
    bool get = false;
    bool head = false;
    std::vector<std::string> cookies;
    std::optional<std::string> userAgent;
    std::optional<std::string> referer;
    std::optional<std::string> user;
    std::vector<std::string> unknown;
};

std::optional<FormatError> fromFile(std::string_view option, std::string_view value) {
    return FormatError{"curl 命令的 " + std::string(option) + " 要从文件“" +
                       std::string(value.substr(1)) +
                       "”读取内容，导入时读不到这个文件，请把内容直接写在命令里"};
}

std::optional<FormatError> apply(CurlCommand& cmd, Option option, const std::string& shown,
                                 const std::string& value) {
    const auto addData = [&](const std::string& part, bool joined) {
        if (cmd.hasData && joined) {
            cmd.data += '&';
        }
        cmd.data += part;
        cmd.hasData = true;
    };
    switch (option) {
        case Option::Request:
            cmd.method = value;
            break;
        case Option::Url:
            cmd.urls.push_back(value);
            break;
        case Option::Header: {
            const std::size_t colon = value.find(':');
            const std::size_t semicolon = value.find(';');
            if (colon == std::string::npos && semicolon != std::string::npos &&
                trimmed(std::string_view(value).substr(semicolon + 1)).empty()) {
                // "Name;" sends the header without a value.
                cmd.headers.emplace_back(std::string(trimmed(value.substr(0, semicolon))), "");
            } else if (colon != std::string::npos) {
                const std::string_view v = trimmed(std::string_view(value).substr(colon + 1));
                if (!v.empty()) {  // "Name:" only keeps curl from sending a header of its own
                    cmd.headers.emplace_back(std::string(trimmed(value.substr(0, colon))),
                                             std::string(v));
                }
            }
            break;
        }
        case Option::Data:
        case Option::Json:
            if (value.starts_with("@")) {
                return fromFile(shown, value);
            }
            if (option == Option::Json) {
                cmd.json = true;
            }
            addData(value, option != Option::Json);
            break;
        case Option::DataRaw:
            addData(value, true);
            break;
        case Option::DataUrlencode: {
            const std::size_t equals = value.find('=');
            const std::size_t at = value.find('@');
            if (equals == std::string::npos && at != std::string::npos) {
                return fromFile(shown, value.substr(at));
            }
            if (equals == std::string::npos) {
                addData(percentEncode(value, ""), true);
            } else {
                const std::string name = value.substr(0, equals);
                addData((name.empty() ? "" : name + "=") +
                            percentEncode(std::string_view(value).substr(equals + 1), ""),
                        true);
            }
            break;
        }
        case Option::Get:
            cmd.get = true;
            break;
        case Option::Head:
            cmd.head = true;
            break;
        case Option::Cookie:
            if (value.empty()) {
                break;  // only turns curl's cookie engine on
            }
            if (value.find('=') == std::string::npos) {
                return FormatError{"curl 命令的 " + shown + " 后面是 Cookie 文件名（" + value +
                                   "），导入时读不到这个文件，请写成 " + shown +
                                   " 'name=value; ...'"};
            }
            cmd.cookies.push_back(value);
            break;
        case Option::UserAgent:
            cmd.userAgent = value;
            break;
        case Option::Referer:
            cmd.referer = value.substr(0, value.find(";auto"));
            break;
        case Option::User:
            if (value.find(':') == std::string::npos) {
                return FormatError{"curl 命令的 " + shown +
                                   " 只给了用户名，curl 会在运行时问密码；请写成 " + shown +
                                   " '用户名:密码'"};
            }
            cmd.user = value;
            break;
        case Option::Form:
            return FormatError{"curl 命令用 " + shown +
                               " 发送 multipart 表单（多用于上传文件），多步模板不支持这种请求体；"
                               "请改用 --data 发送表单，或在浏览器里复制别的请求"};
        case Option::Upload:
            return FormatError{"curl 命令用 " + shown + " 上传文件，多步模板不支持上传文件"};
        case Option::Ignored:
        case Option::IgnoredWithValue:
            break;
        case Option::Unknown:
            cmd.unknown.push_back(shown);
            break;
    }
    return std::nullopt;
}

std::variant<CurlCommand, FormatError> readCurlWords(const Words& words) {
    CurlCommand cmd;
    if (words.empty() || (words[0] != "curl" && words[0] != "curl.exe")) {
        return FormatError{"这不是 curl 命令：应当以 curl 开头"};
    }
    bool optionsEnded = false;
    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (optionsEnded || word.size() < 2 || word[0] != '-') {
            cmd.urls.push_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
            continue;
        }
        const auto valueAfter =
            [&](const std::string& shown) -> std::variant<std::string, FormatError> {
            if (i + 1 >= words.size()) {
                return FormatError{"curl 命令的 " + shown + " 后面缺少内容"};
            }
            return words[++i];
        };
        if (word.starts_with("--")) {
            const Option option = longOption(std::string_view(word).substr(2));
            std::string value;
            if (takesValue(option)) {
                auto v = valueAfter(word);
                if (auto* error = std::get_if<FormatError>(&v)) {
                    return *error;
                }
                value = std::get<std::string>(std::move(v));
            }
            if (auto error = apply(cmd, option, word, value)) {
                return *error;
            }
            continue;
        }
        // Short options, several in one word ("-sSL"); one that takes a value takes the rest of
        // the word or the next one.
        for (std::size_t k = 1; k < word.size(); ++k) {
            const Option option = shortOption(word[k]);
            const std::string shown = std::string("-") + word[k];
            std::string value;
            if (takesValue(option)) {
                if (k + 1 < word.size()) {
                    value = word.substr(k + 1);
                } else {
                    auto v = valueAfter(shown);
                    if (auto* error = std::get_if<FormatError>(&v)) {
                        return *error;
                    }
                    value = std::get<std::string>(std::move(v));
                }
                k = word.size();
            }
            if (auto error = apply(cmd, option, shown, value)) {
                return *error;
            }
        }
    }
    return cmd;
}

std::string joinedNames(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& name : names) {
        out += (out.empty() ? "" : "、") + name;
    }
    return out;
}

// ----- shared JSON -----

// Members only a shared template JSON has.
constexpr std::array<std::string_view, 5> kSharedMarks = {"网站", "登录链接", "签到链接",
                                                          "绑定语句", "请求模式"};

constexpr std::string_view kStepsMember = "步骤";

}  // namespace

TemplateFormat detectTemplateFormat(std::string_view utf8) {
    const std::string_view text = trimmed(withoutBom(utf8));
    if (text.starts_with("curl") && text.size() > 4 && isBlank(text[4])) {
        return TemplateFormat::Curl;
    }
    auto json = readJson(text);
    if (const Value* root = std::get_if<Value>(&json)) {
        if (root->kind() == ValueKind::List) {
            return TemplateFormat::CommunityJson;
        }
        if (const std::optional<HarFile> har = harOf(*root)) {
            return har->qd ? TemplateFormat::QdHar : TemplateFormat::BrowserHar;
        }
        for (std::string_view mark : kSharedMarks) {
            if (!root->member(mark).isUndefined()) {
                return TemplateFormat::SharedJson;
            }
        }
        return TemplateFormat::Unknown;
    }
    // The shared JSON is read leniently (single quotes, trailing commas, ...).
    if (text.starts_with("{")) {
        JsonDocument doc;
        if (doc.Parse(utf8ToAnsi(text))) {
            for (std::string_view mark : kSharedMarks) {
                if (doc.Exists(utf8ToAnsi(mark))) {
                    return TemplateFormat::SharedJson;
                }
            }
        }
    }
    return TemplateFormat::Unknown;
}

std::string_view templateFormatName(TemplateFormat format) {
    switch (format) {
        case TemplateFormat::CommunityJson:
            return "多步模板（JSON）";
        case TemplateFormat::QdHar:
            return "QD 的 HAR 文件";
        case TemplateFormat::BrowserHar:
            return "浏览器保存的 HAR 文件";
        case TemplateFormat::Curl:
            return "curl 命令";
        case TemplateFormat::SharedJson:
            return "Vesprey 的模板 JSON";
        case TemplateFormat::Unknown:
            break;
    }
    return "认不出的内容";
}

std::variant<std::vector<HarEntry>, FormatError> browserHarEntries(std::string_view utf8) {
    auto har = readHar(utf8);
    if (auto* error = std::get_if<FormatError>(&har)) {
        return *error;
    }
    std::vector<HarEntry> out;
    const ValueList& entries = std::get<HarFile>(har).entries;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const Value request = entries[i].member("request");
        HarEntry e;
        e.number = i + 1;
        e.method = textOf(request.member("method"));
        e.url = textOf(request.member("url"));
        const Value status = entries[i].member("response").member("status");
        e.status = status.kind() == ValueKind::Integer ? static_cast<int>(status.asInteger()) : 0;
        e.checked = !unchecked(entries[i]);
        out.push_back(std::move(e));
    }
    return out;
}

std::variant<CommunityImport, FormatError> communityFromHar(std::string_view utf8,
                                                            const std::vector<std::size_t>& picks) {
    auto read = readHar(utf8);
    if (auto* error = std::get_if<FormatError>(&read)) {
        return *error;
    }
    const HarFile& har = std::get<HarFile>(read);
    const std::size_t count = har.entries.size();
    std::vector<std::size_t> numbers = picks;
    if (numbers.empty()) {
        if (!har.qd) {
            return FormatError{"浏览器保存的 HAR 文件里有 " + std::to_string(count) +
                               " 项请求，请用编号选出要做成步骤的几项"};
        }
        for (std::size_t i = 0; i < count; ++i) {
            if (!unchecked(har.entries[i])) {
                numbers.push_back(i + 1);
            }
        }
        if (numbers.empty()) {
            return FormatError{"HAR 文件里没有勾选的项，没有可以做成步骤的请求"};
        }
    }
    CommunityImport out;
    ValueList steps;
    for (const std::size_t number : numbers) {
        if (number < 1 || number > count) {
            return FormatError{"没有" + itemName(number) + "，HAR 里只有 " + std::to_string(count) +
                               " 项"};
        }
        auto step = harStep(har.entries[number - 1], number, har.qd, out.cookie);
        if (auto* error = std::get_if<FormatError>(&step)) {
            return *error;
        }
        steps.push_back(std::get<Value>(std::move(step)));
    }
    out.json = storedText(Value(std::move(steps)));
    return out;
}

std::variant<CommunityImport, FormatError> communityFromCurl(std::string_view utf8) {
    const std::string_view text = trimmed(withoutBom(utf8));
    auto words = isCmdForm(text) ? cmdWords(text) : bashWords(text);
    if (auto* error = std::get_if<FormatError>(&words)) {
        return *error;
    }
    auto read = readCurlWords(std::get<Words>(words));
    if (auto* error = std::get_if<FormatError>(&read)) {
        return *error;
    }
    CurlCommand& cmd = std::get<CurlCommand>(read);
    if (!cmd.unknown.empty()) {
        return FormatError{"curl 命令里有 Vesprey 不认识的选项：" + joinedNames(cmd.unknown) +
                           "。请去掉它们再导入"};
    }
    if (cmd.urls.empty()) {
        return FormatError{"curl 命令里没有网址"};
    }
    if (cmd.urls.size() > 1) {
        return FormatError{"curl 命令里有 " + std::to_string(cmd.urls.size()) + " 个网址（" +
                           joinedNames(cmd.urls) + "），一个步骤只能请求一个"};
    }
    std::string url = cmd.urls.front();
    if (url.find("://") == std::string::npos) {
        url = "http://" + url;
    }
    if (cmd.get && cmd.hasData) {
        url += (url.find('?') == std::string::npos ? "?" : "&") + cmd.data;
        cmd.data.clear();
        cmd.hasData = false;
    }

    StepParts parts;
    parts.method = cmd.method ? *cmd.method : cmd.head ? "HEAD" : cmd.hasData ? "POST" : "GET";
    parts.url = literal(url);
    CommunityImport out;
    std::vector<std::string> cookies;
    bool cookieHeader = false;
    const auto has = [&](std::string_view name) {
        return std::any_of(cmd.headers.begin(), cmd.headers.end(),
                           [&](const auto& h) { return lower(h.first) == lower(name); });
    };
    std::string contentType;
    for (const auto& [name, value] : cmd.headers) {
        if (droppedHeader(name)) {
            continue;
        }
        const std::string n = lower(name);
        if (n == "cookie") {
            cookies.push_back(value);
            if (!cookieHeader) {
                parts.headers.push_back(namedPair("Cookie", std::string(kCookieTemplate)));
                cookieHeader = true;
            }
            continue;
        }
        if (n == "content-type") {
            contentType = value;
        }
        parts.headers.push_back(namedPair(literal(name), literal(value)));
    }
    const auto add = [&](const char* name, const std::string& value) {
        if (!has(name)) {
            parts.headers.push_back(namedPair(name, literal(value)));
        }
    };
    if (cmd.userAgent) {
        add("User-Agent", *cmd.userAgent);
    }
    if (cmd.referer) {
        add("Referer", *cmd.referer);
    }
    if (cmd.user) {
        add("Authorization", "Basic " + base64(*cmd.user));
    }
    if (cmd.json) {
        add("Content-Type", "application/json");
        add("Accept", "application/json");
        if (contentType.empty()) {
            contentType = "application/json";
        }
    }
    cookies.insert(cookies.end(), cmd.cookies.begin(), cmd.cookies.end());
    if (!cookies.empty() && !cookieHeader) {
        parts.headers.push_back(namedPair("Cookie", std::string(kCookieTemplate)));
    }
    for (const std::string& c : cookies) {
        out.cookie += (out.cookie.empty() ? "" : "; ") + std::string(trimmed(c));
    }
    parts.data = literal(cmd.data);
    if (cmd.hasData) {
        parts.mimeType = contentType.empty() ? std::string(kFormMimeType) : contentType;
    }
    out.json = storedText(Value(ValueList{stepValue(std::move(parts))}));
    return out;
}

std::variant<std::string, FormatError> communityFromFields(const TemplateFields& fields) {
    if (fields.WebLink.empty()) {
        return FormatError{"模板没有“签到链接”，没有可以导出的请求"};
    }
    StepParts parts;
    parts.comment = ansiToUtf8(fields.WebName);
    const bool post = fields.Qtype == RequestMethod::Post;
    parts.method = post ? "POST" : "GET";
    parts.url = literal(ansiToUtf8(fields.WebLink));
    std::string contentType;
    const auto headerLines =
        splitRequestHeaders(fields.Headers.empty() ? Text(kDesktopUserAgentLine) : fields.Headers);
    for (const auto& [name, value] : headerLines) {
        const std::string n = lower(name);
        if (droppedHeader(name) || n == "cookie") {
            continue;
        }
        if (n == "content-type") {
            contentType = ansiToUtf8(value);
        }
        parts.headers.push_back(namedPair(literal(ansiToUtf8(name)), literal(ansiToUtf8(value))));
    }
    parts.headers.push_back(namedPair("Cookie", std::string(kCookieTemplate)));
    // The body goes with a POST, and with any method when the template has header lines.
    if (post || !fields.Headers.empty()) {
        parts.data = literal(ansiToUtf8(fields.Date));
    }
    if (post) {
        parts.mimeType = contentType.empty() ? std::string(kFormMimeType) : contentType;
    }
    return storedText(Value(ValueList{stepValue(std::move(parts))}));
}

std::variant<std::string, FormatError> normalizedCommunityJson(std::string_view utf8) {
    auto json = readJson(withoutBom(utf8));
    if (auto* error = std::get_if<JsonReadError>(&json)) {
        return jsonError("多步模板", *error);
    }
    const Value& root = std::get<Value>(json);
    if (root.kind() != ValueKind::List) {
        return FormatError{"多步模板应当是步骤的列表（JSON 数组）"};
    }
    return storedText(root);
}

std::variant<std::string, FormatError> sharedJsonFor(const TemplateFields& fields,
                                                     const VerdictRules& rules,
                                                     const std::optional<std::string>& flowJson) {
    ValueMap map{
        {"网站", Value(ansiToUtf8(fields.WebName))},
        {"登录链接", Value(ansiToUtf8(fields.Weblogin))},
        {"签到链接", Value(ansiToUtf8(fields.WebLink))},
        {"请求模式", Value(fields.Qtype == RequestMethod::Get ? 0 : 1)},
        {"响应类型", Value(fields.Rtype == AnswerType::Json ? 0 : 1)},
        {"绑定语句", Value(ansiToUtf8(fields.Tying))},
        {"编码转换", Value(fields.Ctype)},
        {"Headers", Value(ansiToUtf8(fields.Headers))},
        {"Date", Value(ansiToUtf8(fields.Date))},
        {"成功判定", Value(ansiToUtf8(rules.success))},
        {"已签判定", Value(ansiToUtf8(rules.already))},
        {"失效判定", Value(ansiToUtf8(rules.expired))},
    };
    if (flowJson) {
        auto json = readJson(*flowJson);
        if (auto* error = std::get_if<JsonReadError>(&json)) {
            return jsonError("模板的多步模板", *error);
        }
        if (std::get<Value>(json).kind() != ValueKind::List) {
            return FormatError{"模板的多步模板应当是步骤的列表（JSON 数组）"};
        }
        map.emplace_back(std::string(kStepsMember), std::get<Value>(std::move(json)));
    }
    return storedText(Value(std::move(map)));
}

std::variant<SharedTemplate, FormatError> readSharedJson(std::string_view utf8) {
    const std::string_view text = withoutBom(utf8);
    std::optional<TemplateImport> imported = parseTemplateImport(utf8ToAnsi(text));
    if (!imported) {
        return FormatError{ansiToUtf8(templateImportFailedMessage())};
    }
    SharedTemplate out;
    out.imported = std::move(*imported);
    auto json = readJson(text);
    if (auto* error = std::get_if<JsonReadError>(&json)) {
        // Written leniently: fine for the one-request members, not for steps.
        JsonDocument doc;
        if (doc.Parse(utf8ToAnsi(text)) && doc.Exists(utf8ToAnsi(kStepsMember))) {
            return jsonError("有“步骤”的模板", *error);
        }
        return out;
    }
    const Value steps = std::get<Value>(json).member(kStepsMember);
    if (steps.isUndefined() || steps.kind() == ValueKind::None) {
        return out;
    }
    if (steps.kind() != ValueKind::List) {
        return FormatError{"模板的“步骤”应当是步骤的列表（JSON 数组）"};
    }
    std::string flow = storedText(steps);
    auto parsed = parseFlow(flow);
    if (auto* error = std::get_if<FlowError>(&parsed)) {
        return FormatError{"模板的“步骤”读不了：" + error->message};
    }
    out.flowJson = std::move(flow);
    return out;
}

std::variant<ImportedFlow, FormatError> importFlowText(std::string_view utf8, TemplateFormat format,
                                                       const std::vector<std::size_t>& picks,
                                                       std::string_view what) {
    ImportedFlow out;
    if (format == TemplateFormat::CommunityJson) {
        auto normalized = normalizedCommunityJson(utf8);
        if (auto* error = std::get_if<FormatError>(&normalized)) {
            return FormatError{"模板" + std::string(what) + "：" + error->message};
        }
        out.json = std::get<std::string>(std::move(normalized));
    } else if (format == TemplateFormat::Curl || format == TemplateFormat::QdHar ||
               format == TemplateFormat::BrowserHar) {
        auto converted = format == TemplateFormat::Curl ? communityFromCurl(utf8)
                                                        : communityFromHar(utf8, picks);
        if (auto* error = std::get_if<FormatError>(&converted)) {
            return FormatError{
                std::string(format == TemplateFormat::Curl ? "curl 命令" : "HAR 文件") +
                std::string(what) + "：" + error->message};
        }
        auto& imported = std::get<CommunityImport>(converted);
        out.json = std::move(imported.json);
        out.cookie = std::move(imported.cookie);
    } else {
        return FormatError{
            "认不出这个文件：模板应是社区模板（JSON 数组）、HAR 文件或 curl 命令"
            "（浏览器的“复制为 cURL”）。"};
    }
    auto parsed = parseFlow(out.json);
    if (auto* refused = std::get_if<FlowError>(&parsed)) {
        return FormatError{"模板" + std::string(what) + "：" + refused->message};
    }
    bool first = true;
    for (const Entry& entry : std::get<Flow>(parsed).entries) {
        const auto* step = std::get_if<Step>(&entry.body);
        if (step == nullptr) {
            continue;
        }
        ++out.requests;
        if (first) {
            first = false;
            out.fields.WebLink = utf8ToAnsi(step->urlText);
            auto method = step->method.render({}, systemRenderContext());
            const std::string* word = std::get_if<std::string>(&method);
            out.fields.Qtype = word != nullptr && (*word == "POST" || *word == "post")
                                   ? RequestMethod::Post
                                   : RequestMethod::Get;
        }
    }
    if (const auto& login = std::get<Flow>(parsed).login) {
        out.requests += static_cast<std::size_t>(std::count_if(
            login->entries.begin(), login->entries.end(),
            [](const Entry& entry) { return std::holds_alternative<Step>(entry.body); }));
    }
    return out;
}

}  // namespace vesprey::flow
