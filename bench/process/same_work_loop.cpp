// The floor of a whole `vesprey-cli sign`, doing the same work as the tool, written as a C/C++
// programmer would with the library made for each job:
//   - Sign.db opened with SQLCipher, keyed with the raw page key (no PBKDF2, as the tool's key
//     cache gives it), the account list read with the tool's query, the templates' own verdict
//     rules read from the Verdict table;
//   - every account with a cookie requested over one reused libcurl handle: the same header lines
//     in the same order (Cookie, the template's lines, the defaults the tool adds), the same body;
//     the Set-Cookie lines of the answer collected;
//   - the result taken with RapidJSON (a path of member names) or PCRE2's JIT (the first group of
//     the first match, caseless, "#引号" standing for a double quote);
//   - the verdict decided in the tool's order: HTTP 401/403, a redirect to a login page, the
//     template's rules, then the built-in patterns (expired, already, success), each searched
//     caseless with PCRE2's JIT in the result and then in the whole answer;
//   - one History.db row per list row written beside Sign.db in one transaction, with the upkeep
//     the tool does on each pass: rows older than 400 days removed, each account's last two
//     verdicts kept in RecentVerdict and the table marked current.
//
//   same_work_loop SIGN_DB SIGN_KEY HISTORY_KEY    keys: the files' raw page keys, 64 hex digits
//
// Prints one line per list row (number, verdict, result). Texts are UTF-8 as Sign.db holds them;
// an answer is taken as code page 936 (the templates' "默认" conversion, the only one the
// benchmark's templates use), so patterns are also compiled in code page 936 for it, and its
// result is converted to UTF-8 once for the line and the row.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <curl/curl.h>
#include <iconv.h>
#include <pcre2.h>
#include <rapidjson/document.h>
#include <sqlite3.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "loop_common.h"

namespace {

using loop::bindText;
using loop::columnText;
using loop::die;
using loop::execute;
using loop::historyTime;
using loop::kBuiltInAlready;
using loop::kBuiltInExpired;
using loop::kBuiltInSuccess;
using loop::openKeyed;
using loop::prepare;

constexpr std::size_t kMaxResultCharacters = 500;
constexpr std::string_view kQuotePlaceholder = "#引号";

// Texts one of which every match of each contains, lower case: a text holding none of them is
// not searched (the tool does the same, and a whole page seldom holds one).
const std::vector<std::string> kExpiredWords = {
    "未登录",        "请登录",    "请先登录", "登录失效", "登录已过期", "重新登录",
    "not logged in", "unauthori", "cookie",   "token",    "session"};
const std::vector<std::string> kAlreadyWords = {"已签到",   "已经签到", "重复签到",
                                                "今日已签", "今天已签", "already"};
const std::vector<std::string> kSuccessWords = {"签到成功", "成功签到", "打卡成功",
                                                "success",  "获得",     "奖励"};

enum class Verdict { Success, Already, Expired, Failed, Unknown, Skipped };
constexpr const char* kVerdictNames[] = {"success", "already", "expired",
                                         "failed",  "unknown", "skipped"};
constexpr const char* kVerdictCaptions[] = {"成功", "已签到", "Cookie失效", "失败", "未知", "跳过"};

// --- Text ---

class Converter {
public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {
        if (cd_ == reinterpret_cast<iconv_t>(-1)) {
            die("iconv_open", std::strerror(errno));
        }
    }
    ~Converter() { iconv_close(cd_); }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // `text` converted; a character the target lacks (or a byte that is none) becomes '?'.
    std::string operator()(std::string_view text) {
        std::string out(text.size() * 3 / 2 + 8, '\0');
        char* in = const_cast<char*>(text.data());
        std::size_t inLeft = text.size();
        std::size_t done = 0;
        while (inLeft > 0) {
            char* dst = out.data() + done;
            std::size_t outLeft = out.size() - done;
            const std::size_t rc = iconv(cd_, &in, &inLeft, &dst, &outLeft);
            done = out.size() - outLeft;
            if (rc != static_cast<std::size_t>(-1)) {
                break;
            }
            if (errno == E2BIG) {
                out.resize(out.size() * 2);
            } else {  // EILSEQ, EINVAL
                if (done == out.size()) {
                    out.resize(out.size() * 2);
                }
                out[done++] = '?';
                ++in;
                --inLeft;
            }
        }
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        out.resize(done);
        return out;
    }

private:
    iconv_t cd_;
};

bool isAscii(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t extra = lead < 0x80                    ? 0
                                  : lead >= 0xC2 && lead <= 0xDF ? 1
                                  : lead >= 0xE0 && lead <= 0xEF ? 2
                                  : lead >= 0xF0 && lead <= 0xF4 ? 3
                                                                 : 9;
        if (extra == 9 || i + extra >= text.size()) {
            return false;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
                return false;
            }
        }
        i += extra + 1;
    }
    return true;
}

// The first kMaxResultCharacters characters, the last of a longer text being "…"; characters
// of code page 936 or of UTF-8.
std::string shortened(std::string_view text, bool gbk) {
    std::size_t at = 0;
    std::size_t cut = 0;
    for (std::size_t count = 0; at < text.size(); ++count) {
        if (count + 1 == kMaxResultCharacters) {
            cut = at;
        }
        if (count == kMaxResultCharacters) {
            return std::string(text.substr(0, cut)) + (gbk ? "\xA1\xAD" : "…");
        }
        const auto lead = static_cast<unsigned char>(text[at]);
        at += gbk ? (lead >= 0x81 && lead <= 0xFE && at + 1 < text.size() ? 2 : 1)
                  : (lead < 0xC0   ? 1
                     : lead < 0xE0 ? 2
                     : lead < 0xF0 ? 3
                                   : 4);
    }
    return std::string(text);
}

bool hasLineBreakOrNul(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

std::string replaceAll(std::string text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::string_view trimmed(std::string_view text) {
    const std::size_t begin = text.find_first_not_of(' ');
    if (begin == std::string_view::npos) {
        return {};
    }
    return text.substr(begin, text.find_last_not_of(' ') - begin + 1);
}

bool equalsCaseless(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        x = x >= 'A' && x <= 'Z' ? static_cast<char>(x + 32) : x;
        y = y >= 'A' && y <= 'Z' ? static_cast<char>(y + 32) : y;
        if (x != y) {
            return false;
        }
    }
    return true;
}

std::string lowered(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
    }
    return out;
}

// --- PCRE2 ---

struct Regex {
    pcre2_code* code = nullptr;
    pcre2_match_data* data = nullptr;

    Regex() = default;
    Regex(std::string_view source, std::uint32_t flags) {
        pcre2_compile_context* context = pcre2_compile_context_create(nullptr);
        pcre2_set_newline(context, PCRE2_NEWLINE_LF);
        int error = 0;
        PCRE2_SIZE offset = 0;
        code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(source.data()), source.size(),
                             flags | PCRE2_DOLLAR_ENDONLY, &error, &offset, context);
        pcre2_compile_context_free(context);
        if (code != nullptr) {
            pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
            data = pcre2_match_data_create_from_pattern(code, nullptr);
        }
    }
    ~Regex() {
        pcre2_match_data_free(data);
        pcre2_code_free(code);
    }
    Regex(const Regex&) = delete;
    Regex& operator=(const Regex&) = delete;

    // The number of pairs of the first match, 0 when there is none.
    int match(std::string_view subject, std::uint32_t options = 0) const {
        const int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(subject.data()),
                                   subject.size(), 0, options, data, nullptr);
        return rc > 0 ? rc : 0;
    }
};

// A verdict pattern compiled for both kinds of text it is searched in: code page 936 bytes and
// UTF-8 characters.
// A literal text, lower case, with the byte of it that is looked for first: the last byte of its
// first character beyond ASCII when it has one (in code page 936 a trail byte, in UTF-8 a
// continuation byte: neither comes in ASCII text), else its letter rarest in English.
struct Word {
    std::string text;
    std::size_t key = 0;

    Word(std::string lower, bool gbk) : text(std::move(lower)) {
        for (std::size_t at = 0; at < text.size(); ++at) {
            if (static_cast<unsigned char>(text[at]) >= 0x80) {
                key = at + 1;
                while (!gbk && key + 1 < text.size() &&
                       (static_cast<unsigned char>(text[key + 1]) & 0xC0) == 0x80) {
                    ++key;  // UTF-8: the last continuation byte of the character
                }
                return;
            }
        }
        for (const char letter : std::string_view("qjzxkvbpygfwmucldrhsnioate")) {
            if (const std::size_t at = text.find(letter); at != std::string::npos) {
                key = at;
                return;
            }
        }
    }

    // Whether `subject` holds the word, ASCII letters in either case: each place of the key byte
    // (in both cases for a letter) is found with memchr, and only there is the word compared.
    bool in(std::string_view subject) const {
        const char wanted = text[key];
        const char other = wanted >= 'a' && wanted <= 'z' ? static_cast<char>(wanted - 32) : wanted;
        for (const char byte : {wanted, other}) {
            for (std::size_t from = key; from < subject.size();) {
                const void* hit = std::memchr(subject.data() + from, byte, subject.size() - from);
                if (hit == nullptr) {
                    break;
                }
                const auto at =
                    static_cast<std::size_t>(static_cast<const char*>(hit) - subject.data());
                if (at - key + text.size() <= subject.size() &&
                    equalsCaseless(subject.substr(at - key, text.size()), text)) {
                    return true;
                }
                from = at + 1;
            }
            if (other == wanted) {
                break;
            }
        }
        return false;
    }
};

bool holdsOne(const std::vector<Word>& words, std::string_view subject) {
    if (words.empty()) {
        return true;  // no words known: the pattern is searched
    }
    for (const Word& word : words) {
        if (word.in(subject)) {
            return true;
        }
    }
    return false;
}

struct VerdictPattern {
    std::unique_ptr<Regex> gbk;
    std::unique_ptr<Regex> utf8;
    std::vector<Word> gbkWords;
    std::vector<Word> utf8Words;

    VerdictPattern(const std::string& utf8Source, Converter& toGbk,
                   const std::vector<std::string>& words = {}) {
        const std::string source = replaceAll(utf8Source, kQuotePlaceholder, "\"");
        constexpr std::uint32_t kFlags = PCRE2_CASELESS | PCRE2_MULTILINE;
        gbk = std::make_unique<Regex>(toGbk(source), kFlags);
        utf8 = std::make_unique<Regex>(source, kFlags | PCRE2_UTF);
        for (const std::string& word : words) {
            gbkWords.emplace_back(toGbk(word), true);
            utf8Words.emplace_back(word, false);
        }
    }
    bool valid() const { return gbk->code != nullptr && utf8->code != nullptr; }
};

// A text the verdict patterns are searched in: an answer or a result taken from it (code page
// 936), or a JSON value (UTF-8).
struct Subject {
    std::string_view text;
    bool gbk;
};

// Whether the pattern matches one of the subjects, in order; a code page 936 text that reads as
// UTF-8 (with characters beyond ASCII) is also searched as UTF-8, as the tool does.
bool found(const VerdictPattern& pattern, const Subject* subjects, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const Subject& subject = subjects[i];
        if (!subject.gbk && isValidUtf8(subject.text)) {
            if (holdsOne(pattern.utf8Words, subject.text) &&
                pattern.utf8->match(subject.text, PCRE2_NO_UTF_CHECK) > 0) {
                return true;
            }
            continue;
        }
        if (holdsOne(pattern.gbkWords, subject.text) && pattern.gbk->match(subject.text) > 0) {
            return true;
        }
        if (!isAscii(subject.text) && isValidUtf8(subject.text) &&
            holdsOne(pattern.utf8Words, subject.text) &&
            pattern.utf8->match(subject.text, PCRE2_NO_UTF_CHECK) > 0) {
            return true;
        }
    }
    return false;
}

struct Account {
    std::string id, name, login, link, tying, headers, body, cookie;
    int qtype = 0, rtype = 0, ctype = 0, cid = 0;
};

struct Rules {
    std::string success, already, expired;
};

struct Row {
    Verdict verdict = Verdict::Skipped;
    std::string reason;
    std::string result;
    int status = 0;
    int ms = 0;
};

// --- HTTP ---

struct Answer {
    std::string body;
    std::string setCookies;  // "a=1; b=2"
};

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
    static_cast<Answer*>(user)->body.append(data, size * count);
    return size * count;
}

std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
    const std::string_view line(data, size * count);
    constexpr std::string_view kSetCookie = "Set-Cookie:";
    if (line.size() > kSetCookie.size() &&
        equalsCaseless(line.substr(0, kSetCookie.size()), kSetCookie)) {
        std::string_view item = line.substr(kSetCookie.size());
        item = item.substr(0, item.find_first_of(";\r\n"));
        std::string& cookies = static_cast<Answer*>(user)->setCookies;
        cookies += cookies.empty() ? "" : "; ";
        cookies += trimmed(item);
    }
    return size * count;
}

// The cookie merged with what the site set: the returned items first, then the sent ones whose
// names were not set again.
std::string mergedCookie(const std::string& sent, const std::string& returned) {
    auto nameOf = [](std::string_view item) { return trimmed(item.substr(0, item.find('='))); };
    std::string merged = returned;
    std::size_t start = 0;
    while (start <= sent.size()) {
        const std::size_t end = std::min(sent.find(';', start), sent.size());
        const std::string_view item = trimmed(std::string_view(sent).substr(start, end - start));
        start = end + 1;
        if (item.empty()) {
            continue;
        }
        bool again = false;
        std::size_t at = 0;
        while (at <= returned.size() && !again) {
            const std::size_t stop = std::min(returned.find(';', at), returned.size());
            again = nameOf(std::string_view(returned).substr(at, stop - at)) == nameOf(item);
            at = stop + 1;
        }
        if (!again) {
            merged += merged.empty() ? "" : "; ";
            merged += item;
        }
    }
    return merged;
}

// The request's header lines for curl, as the tool sends them: the Cookie line, the template's
// lines completed with the defaults, and the lines that keep curl from adding its own.
curl_slist* requestHeaders(const Account& account, bool post) {
    std::string text = account.headers.empty()
                           ? "User-Agent: Mozilla/5.0 (Windows NT 6.1; WOW64) AppleWebKit/537.36 "
                             "(KHTML, like Gecko) Chrome/50.0.2661.87 Safari/537.36"
                           : account.headers;
    auto has = [&](std::string_view name) { return text.find(name) != std::string::npos; };
    if (!has("Accept:")) {
        text += "\r\nAccept: */*";
    }
    if (!has("Referer:")) {
        text += "\r\nReferer: " + account.link;
    }
    if (!has("Accept-Language:")) {
        text += "\r\nAccept-Language: zh-cn";
    }
    if (!has("User-Agent:")) {
        text += "\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";
    }
    if (post) {
        text = replaceAll(std::move(text), "content-type", "Content-Type");
        if (!has("Content-Type:")) {
            text += "\r\nContent-Type: application/x-www-form-urlencoded";
        }
    }
    std::string cookie = "Cookie: " + account.cookie;
    std::vector<std::string> lines;
    bool accept = false;
    bool expect = false;
    bool contentType = false;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find("\r\n", start), text.size());
        const std::string_view line = std::string_view(text).substr(start, end - start);
        start = end + 2;
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            continue;
        }
        const std::string_view name = trimmed(line.substr(0, colon));
        const std::string_view value = trimmed(line.substr(colon + 1));
        // The lines the tool leaves out: no name, a name with a blank, a length of its own, a
        // value with a line break in it.
        if (name.empty() || name.find(' ') != std::string_view::npos ||
            equalsCaseless(name, "Content-Length") || equalsCaseless(name, "Transfer-Encoding") ||
            hasLineBreakOrNul(value)) {
            continue;
        }
        if (equalsCaseless(name, "Cookie")) {
            if (!value.empty()) {
                cookie += cookie.size() > 8 ? "; " : "";
                cookie += value;
            }
            continue;
        }
        accept = accept || equalsCaseless(name, "Accept");
        expect = expect || equalsCaseless(name, "Expect");
        contentType = contentType || equalsCaseless(name, "Content-Type");
        std::string wire(name);
        wire += value.empty() ? ";" : ": ";
        wire += value;
        lines.push_back(std::move(wire));
    }
    curl_slist* list = curl_slist_append(nullptr, cookie.c_str());
    for (const std::string& line : lines) {
        list = curl_slist_append(list, line.c_str());
    }
    if (!accept) {
        list = curl_slist_append(list, "Accept:");
    }
    if (!expect) {
        list = curl_slist_append(list, "Expect:");
    }
    if (!contentType) {
        list = curl_slist_append(list, "Content-Type:");
    }
    return list;
}

// The address as it goes on the wire: blanks, control characters and non-ASCII bytes
// percent-encoded.
std::string wireUrl(std::string_view url) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(url.size());
    for (const char c : url) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F) {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        } else {
            out += c;
        }
    }
    return out;
}

// Whether a redirect ended on the template's login page or on a path that names a login.
bool isLoginPage(std::string_view finalUrl, std::string_view loginLink) {
    auto parts = [](std::string_view url, std::string& scheme, std::string& host,
                    std::string& path) {
        const std::size_t colon = url.find("://");
        if (colon == std::string_view::npos || colon == 0) {
            return false;
        }
        std::string_view rest = url.substr(colon + 3);
        const std::size_t hostEnd = rest.find_first_of("/?#");
        scheme = lowered(url.substr(0, colon));
        host = lowered(rest.substr(0, hostEnd));
        rest = hostEnd == std::string_view::npos ? std::string_view{} : rest.substr(hostEnd);
        path = rest.substr(0, rest.find_first_of("?#"));
        path = path.empty() ? "/" : path;
        return true;
    };
    std::string scheme, host, path, loginScheme, loginHost, loginPath;
    if (!parts(finalUrl, scheme, host, path)) {
        return false;
    }
    if (parts(loginLink, loginScheme, loginHost, loginPath) && loginScheme == scheme &&
        loginHost == host && loginPath == path) {
        return true;
    }
    const std::string lower = lowered(path);
    return lower.find("login") != std::string::npos || lower.find("signin") != std::string::npos ||
           lower.find("passport") != std::string::npos;
}

// --- Results ---

// The JSON value at a path of member names; nothing when the answer or the path gives none.
bool jsonText(std::string_view body, std::string_view path, std::string& out) {
    rapidjson::Document document;
    document.Parse(body.data(), body.size());
    if (document.HasParseError()) {
        return false;
    }
    const rapidjson::Value* value = &document;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('.', start), path.size());
        const std::string_view name = path.substr(start, end - start);
        start = end + 1;
        if (!value->IsObject()) {
            return false;
        }
        const rapidjson::Value key(rapidjson::StringRef(name.data(), name.size()));
        const auto member = value->FindMember(key);
        if (member == value->MemberEnd()) {
            return false;
        }
        value = &member->value;
    }
    if (value->IsString()) {
        out.assign(value->GetString(), value->GetStringLength());
    } else if (value->IsInt64()) {
        out = std::to_string(value->GetInt64());
    } else {
        return false;
    }
    return !out.empty();
}

struct TemplateRegex {
    std::unique_ptr<Regex> regex;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: same_work_loop SIGN_DB SIGN_KEY HISTORY_KEY\n", stderr);
        return 1;
    }
    const std::string signPath = argv[1];
    const std::size_t slash = signPath.rfind('/');
    const std::string historyPath =
        (slash == std::string::npos ? std::string() : signPath.substr(0, slash + 1)) + "History.db";
    const std::string passTime = historyTime();
    Converter toGbk("CP936", "UTF-8");
    Converter toUtf8("UTF-8", "CP936");

    // The list and the templates' own rules.
    sqlite3* sign = openKeyed(signPath, argv[2]);
    std::vector<Account> accounts;
    sqlite3_stmt* list = prepare(sign,
                                 "SELECT Template.*,WebCookie.Cookie,WebCookie.Cid FROM Template "
                                 "LEFT OUTER JOIN WebCookie ON WebCookie.Id = Template.Id");
    while (sqlite3_step(list) == SQLITE_ROW) {
        Account a;
        a.id = columnText(list, 0);
        a.name = columnText(list, 1);
        a.login = columnText(list, 2);
        a.link = columnText(list, 3);
        a.qtype = sqlite3_column_int(list, 4);
        a.rtype = sqlite3_column_int(list, 5);
        a.ctype = sqlite3_column_int(list, 6);
        a.tying = columnText(list, 7);
        a.headers = columnText(list, 8);
        a.body = columnText(list, 9);
        a.cookie = columnText(list, 10);
        a.cid = sqlite3_column_int(list, 11);
        accounts.push_back(std::move(a));
    }
    sqlite3_finalize(list);
    std::map<std::string, Rules> rules;
    sqlite3_stmt* verdictTable =
        prepare(sign, "SELECT count(*) FROM sqlite_master WHERE type='table' AND name='Verdict'");
    const bool hasRules =
        sqlite3_step(verdictTable) == SQLITE_ROW && sqlite3_column_int(verdictTable, 0) > 0;
    sqlite3_finalize(verdictTable);
    if (hasRules) {
        sqlite3_stmt* read = prepare(sign, "SELECT Id, Success, Already, Expired FROM Verdict");
        while (sqlite3_step(read) == SQLITE_ROW) {
            rules[columnText(read, 0)] = {columnText(read, 1), columnText(read, 2),
                                          columnText(read, 3)};
        }
        sqlite3_finalize(read);
    }

    const VerdictPattern builtIn[] = {{kBuiltInExpired, toGbk, kExpiredWords},
                                      {kBuiltInAlready, toGbk, kAlreadyWords},
                                      {kBuiltInSuccess, toGbk, kSuccessWords}};
    constexpr Verdict kBuiltInVerdicts[] = {Verdict::Expired, Verdict::Already, Verdict::Success};
    std::map<std::string, std::unique_ptr<VerdictPattern>> ownPatterns;  // by UTF-8 source
    std::map<std::string, TemplateRegex> templatePatterns;               // by UTF-8 source
    auto ownPattern = [&](const std::string& source) -> const VerdictPattern* {
        auto& entry = ownPatterns[source];
        if (!entry) {
            entry = std::make_unique<VerdictPattern>(source, toGbk);
            if (!entry->valid()) {
                std::fprintf(stderr, "判定规则写得不对，已忽略：%s\n", source.c_str());
            }
        }
        return entry->valid() ? entry.get() : nullptr;
    };

    curl_global_init(CURL_GLOBAL_DEFAULT);
    CURL* curl = curl_easy_init();
    Answer answer;
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 60000L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, 15000L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 15L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &onBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &onHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &answer);

    std::vector<Row> rows(accounts.size());
    int counts[6] = {};
    for (std::size_t i = 0; i < accounts.size(); ++i) {
        Account& account = accounts[i];
        Row& row = rows[i];
        if (account.cookie.empty()) {
            ++counts[static_cast<int>(Verdict::Skipped)];
            std::printf("%zu\tskipped\t\n", i + 1);
            continue;
        }
        if (hasLineBreakOrNul(account.cookie)) {
            // Such a cookie cannot go as one header line: the request is not sent.
            row.verdict = Verdict::Failed;
            row.reason = row.result = "Cookie 里有换行符，请求没有发出，请重新获取 Cookie";
            ++counts[static_cast<int>(row.verdict)];
            std::printf("%zu\t%s\t%s\n", i + 1, kVerdictNames[static_cast<int>(row.verdict)],
                        row.result.c_str());
            continue;
        }
        const bool post = account.qtype != 1;
        curl_slist* headers = requestHeaders(account, post);
        const std::string url = wireUrl(account.link);
        answer.body.clear();
        answer.setCookies.clear();
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        if (post) {
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(account.body.size()));
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, account.body.c_str());
        } else {
            curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
        }
        const CURLcode sent = curl_easy_perform(curl);
        curl_slist_free_all(headers);
        curl_off_t micros = 0;
        curl_easy_getinfo(curl, CURLINFO_TOTAL_TIME_T, &micros);
        row.ms = static_cast<int>(micros / 1000);
        if (!answer.setCookies.empty()) {
            account.cookie = mergedCookie(account.cookie, answer.setCookies);
        }

        std::string_view body(answer.body);
        body = body.substr(0, body.find('\0'));
        long status = 0;
        long redirects = 0;
        char* finalUrl = nullptr;
        if (sent == CURLE_OK) {
            curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
            curl_easy_getinfo(curl, CURLINFO_REDIRECT_COUNT, &redirects);
            curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &finalUrl);
        }
        row.status = static_cast<int>(status);

        // The result: UTF-8 from a JSON value, code page 936 from the page.
        std::string result;
        bool resultGbk = true;
        bool extracted = !account.tying.empty();
        if (sent != CURLE_OK) {
            row.verdict = Verdict::Failed;
            row.reason = curl_easy_strerror(sent);
            row.result = row.reason;
        } else {
            if (extracted && account.rtype == 1) {
                if (jsonText(body, account.tying, result)) {
                    resultGbk = false;
                } else {
                    result.assign(body);  // the whole answer when the path gives nothing
                }
            } else if (extracted) {
                TemplateRegex& pattern = templatePatterns[account.tying];
                if (!pattern.regex) {
                    pattern.regex = std::make_unique<Regex>(
                        toGbk(replaceAll(account.tying, kQuotePlaceholder, "\"")), PCRE2_CASELESS);
                }
                const Regex& regex = *pattern.regex;
                if (regex.code != nullptr && regex.match(body) >= 2) {
                    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(regex.data);
                    result.assign(body.substr(ovector[2], ovector[3] - ovector[2]));
                } else {
                    result = toGbk("匹配失败");
                }
            }
            const std::string_view shown = extracted && !result.empty() ? result : body;
            const bool shownGbk = extracted && !result.empty() ? resultGbk : true;
            row.result = shownGbk ? toUtf8(shortened(shown, true)) : shortened(shown, false);

            if (status == 401 || status == 403) {
                row.verdict = Verdict::Expired;
                row.reason = "HTTP " + std::to_string(status);
            } else if (redirects > 0 && finalUrl != nullptr &&
                       isLoginPage(finalUrl, account.login)) {
                row.verdict = Verdict::Expired;
                row.reason = "跳转到登录页";
            } else {
                const Subject subjects[] = {
                    {extracted ? std::string_view(result) : body, extracted ? resultGbk : true},
                    {body, true}};
                const std::size_t subjectCount = extracted ? 2 : 1;
                bool decided = false;
                if (const auto own = rules.find(account.id); own != rules.end()) {
                    const std::pair<Verdict, const std::string*> ownRules[] = {
                        {Verdict::Expired, &own->second.expired},
                        {Verdict::Already, &own->second.already},
                        {Verdict::Success, &own->second.success}};
                    constexpr const char* kRuleNames[] = {"规则：失效判定", "规则：已签判定",
                                                          "规则：成功判定"};
                    for (std::size_t r = 0; r < 3 && !decided; ++r) {
                        if (ownRules[r].second->empty()) {
                            continue;
                        }
                        const VerdictPattern* pattern = ownPattern(*ownRules[r].second);
                        if (pattern != nullptr && found(*pattern, subjects, subjectCount)) {
                            row.verdict = ownRules[r].first;
                            row.reason = kRuleNames[r];
                            decided = true;
                        }
                    }
                }
                for (std::size_t r = 0; r < 3 && !decided; ++r) {
                    if (found(builtIn[r], subjects, subjectCount)) {
                        row.verdict = kBuiltInVerdicts[r];
                        row.reason =
                            std::string("内置：") + kVerdictCaptions[static_cast<int>(row.verdict)];
                        decided = true;
                    }
                }
                if (!decided) {
                    row.verdict = status >= 500 ? Verdict::Failed : Verdict::Unknown;
                    row.reason = status >= 500 ? "HTTP " + std::to_string(status) : "";
                }
            }
        }
        ++counts[static_cast<int>(row.verdict)];
        std::printf("%zu\t%s\t%s\n", i + 1, kVerdictNames[static_cast<int>(row.verdict)],
                    row.result.c_str());
    }
    curl_easy_cleanup(curl);
    curl_global_cleanup();
    std::fprintf(stderr, "成功 %d · 已签 %d · 失效 %d · 失败 %d\n", counts[0], counts[1], counts[2],
                 counts[3]);

    // History.db: every list row of the pass.
    std::vector<loop::HistoryRow> historyRows;
    historyRows.reserve(accounts.size());
    for (std::size_t i = 0; i < accounts.size(); ++i) {
        const Row& row = rows[i];
        historyRows.push_back({std::atoi(accounts[i].id.c_str()), accounts[i].cid, accounts[i].name,
                               kVerdictNames[static_cast<int>(row.verdict)],
                               row.verdict == Verdict::Skipped, row.reason, row.result, row.status,
                               row.ms});
    }
    loop::writeHistory(historyPath, argv[3], passTime, historyRows);
    sqlite3_close(sign);
    return 0;
}
