// The floor of a whole `vesprey-cli sign` of multi-step templates, doing the same work as the
// tool, written as a C/C++ programmer would with the library made for each job:
//   - Sign.db opened with SQLCipher by its raw page key, the account list read with the tool's
//     query, every template's steps from the Flow table and the accounts' inputs from
//     AccountInput;
//   - the steps read once per template with RapidJSON, their regular expressions compiled once
//     with PCRE2's JIT (UTF, caseless when the rule says /…/i);
//   - for every account with a cookie, each step in order over one reused libcurl handle: its
//     "{{name}}" placeholders filled from the account's values and what earlier steps
//     extracted, the same header lines in the same order as the tool sends (the Cookie line of
//     the account's cookie and what the sites set in the run, the step's lines, the form
//     content type), redirects not followed; the answer's header lines kept and its body
//     checked as UTF-8; the success asserts tried, then the extractions taken (the first group
//     of the first match);
//   - api://util/unicode answered in place: its content's \uXXXX escapes decoded into the JSON
//     answer the tool gives;
//   - the verdict of a run that passed decided as the tool does: the built-in "expired" and
//     "already" patterns searched in its __log__, else success;
//   - with a HISTORY_KEY, one History.db row per list row, with the tool's upkeep (loop_common.h).
//
//   flow_loop SIGN_DB SIGN_KEY [HISTORY_KEY]    keys: the files' raw page keys, 64 hex digits
//
// Prints one line per list row (number, verdict, result), texts UTF-8 as Sign.db and the flows
// hold them. Only "{{ name }}" placeholders are filled: the templates measured hold no others.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <curl/curl.h>
#include <pcre2.h>
#include <rapidjson/document.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "loop_common.h"

namespace {

using loop::columnText;
using loop::die;
using loop::prepare;

using Lines = std::vector<std::pair<std::string, std::string>>;
using Values = std::unordered_map<std::string, std::string>;

constexpr std::string_view kUtility = "api://util/";
constexpr const char* kUserAgent =
    "User-Agent: Mozilla/5.0 (Windows NT 6.1; WOW64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/50.0.2661.87 Safari/537.36";

std::string_view trimmed(std::string_view text) {
    const std::size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string_view::npos) {
        return {};
    }
    return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

bool equalsCaseless(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] + 32) : a[i];
        const char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] + 32) : b[i];
        if (x != y) {
            return false;
        }
    }
    return true;
}

// --- PCRE2 ---

struct Regex {
    pcre2_code* code = nullptr;
    pcre2_match_data* data = nullptr;

    explicit Regex(std::string_view source, std::uint32_t flags) {
        int error = 0;
        PCRE2_SIZE offset = 0;
        code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(source.data()), source.size(),
                             flags | PCRE2_UTF, &error, &offset, nullptr);
        if (code == nullptr) {
            die("pcre2_compile", std::string(source).c_str());
        }
        pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
        data = pcre2_match_data_create_from_pattern(code, nullptr);
    }
    ~Regex() {
        pcre2_match_data_free(data);
        pcre2_code_free(code);
    }
    Regex(const Regex&) = delete;
    Regex& operator=(const Regex&) = delete;

    // The first match's pairs (0: none); a subject already checked as UTF-8 is not checked again.
    int match(std::string_view subject, bool checked) const {
        const int rc =
            pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), 0,
                        checked ? PCRE2_NO_UTF_CHECK : 0, data, nullptr);
        return rc > 0 ? rc : 0;
    }
    std::string group(std::string_view subject, int pairs) const {
        if (pairs < 2) {
            return {};
        }
        const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data);
        return ovector[2] == PCRE2_UNSET
                   ? std::string()
                   : std::string(subject.substr(ovector[2], ovector[3] - ovector[2]));
    }
};

// A rule's pattern: "/pattern/flags" or the whole text.
std::unique_ptr<Regex> rulePattern(std::string_view text) {
    std::uint32_t flags = 0;
    if (text.size() >= 2 && text.front() == '/') {
        const std::size_t close = text.rfind('/');
        const std::string_view letters = text.substr(close + 1);
        if (close > 0 && letters.find_first_not_of("gimsu") == std::string_view::npos) {
            flags |= letters.find('i') != std::string_view::npos ? PCRE2_CASELESS : 0;
            flags |= letters.find('m') != std::string_view::npos ? PCRE2_MULTILINE : 0;
            flags |= letters.find('s') != std::string_view::npos ? PCRE2_DOTALL : 0;
            text = text.substr(1, close - 1);
        }
    }
    return std::make_unique<Regex>(text, flags);
}

// --- Steps ---

struct Step {
    std::string method, url, data, mimeType;
    Lines headers;
    std::vector<std::unique_ptr<Regex>> success;
    std::vector<std::pair<std::string, std::unique_ptr<Regex>>> extractions;
};

std::string text(const rapidjson::Value& object, const char* name) {
    const auto member = object.FindMember(name);
    return member != object.MemberEnd() && member->value.IsString()
               ? std::string(member->value.GetString(), member->value.GetStringLength())
               : std::string();
}

std::vector<Step> readSteps(const std::string& json) {
    rapidjson::Document document;
    document.Parse(json.data(), json.size());
    if (document.HasParseError() || !document.IsArray()) {
        die("Flow", "steps that are no JSON array");
    }
    std::vector<Step> steps;
    for (const rapidjson::Value& entry : document.GetArray()) {
        const rapidjson::Value& request = entry["request"];
        const rapidjson::Value& rule = entry["rule"];
        Step& step = steps.emplace_back();
        step.method = text(request, "method");
        step.url = text(request, "url");
        step.data = text(request, "data");
        step.mimeType = text(request, "mimeType");
        for (const rapidjson::Value& header : request["headers"].GetArray()) {
            step.headers.emplace_back(text(header, "name"), text(header, "value"));
        }
        for (const rapidjson::Value& assert : rule["success_asserts"].GetArray()) {
            step.success.push_back(rulePattern(text(assert, "re")));
        }
        for (const rapidjson::Value& extract : rule["extract_variables"].GetArray()) {
            step.extractions.emplace_back(text(extract, "name"), rulePattern(text(extract, "re")));
        }
    }
    return steps;
}

// `text` with every "{{ name }}" replaced by the value of name (nothing when it has none).
std::string filled(std::string_view text, const Values& values) {
    std::string out;
    out.reserve(text.size() + 64);
    std::size_t at = 0;
    for (std::size_t open = text.find("{{"); open != std::string_view::npos;
         open = text.find("{{", at)) {
        const std::size_t close = text.find("}}", open + 2);
        if (close == std::string_view::npos) {
            break;
        }
        out += text.substr(at, open - at);
        if (const auto value =
                values.find(std::string(trimmed(text.substr(open + 2, close - open - 2))));
            value != values.end()) {
            out += value->second;
        }
        at = close + 2;
    }
    out += text.substr(at);
    return out;
}

// --- The unicode utility ---

int hexDigit(char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
}

std::string percentDecoded(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && hexDigit(text[i + 1]) >= 0 &&
                   hexDigit(text[i + 2]) >= 0) {
            out += static_cast<char>(hexDigit(text[i + 1]) * 16 + hexDigit(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

void appendUtf8(std::string& out, unsigned code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | code >> 6);
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | code >> 12);
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | code >> 18);
        out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// The \uXXXX escapes of `text` decoded, surrogate pairs included.
std::string unicodeDecoded(std::string_view text) {
    auto unit = [&](std::size_t at) -> int {
        if (at + 6 > text.size() || text[at] != '\\' || text[at + 1] != 'u') {
            return -1;
        }
        int code = 0;
        for (std::size_t k = at + 2; k < at + 6; ++k) {
            if (hexDigit(text[k]) < 0) {
                return -1;
            }
            code = code * 16 + hexDigit(text[k]);
        }
        return code;
    };
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const int code = unit(i);
        if (code < 0) {
            out += text[i++];
            continue;
        }
        const int low = code >= 0xD800 && code < 0xDC00 ? unit(i + 6) : -1;
        if (low >= 0xDC00 && low < 0xE000) {
            appendUtf8(out, 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00));
            i += 12;
        } else {
            appendUtf8(out, static_cast<unsigned>(code));
            i += 6;
        }
    }
    return out;
}

std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// The answer of api://util/unicode?content=…: the content decoded, in the tool's JSON.
std::string unicodeAnswer(std::string_view url) {
    std::string content;
    const std::size_t question = url.find('?');
    std::string_view query = question == std::string_view::npos ? "" : url.substr(question + 1);
    while (!query.empty()) {
        const std::string_view item = query.substr(0, query.find('&'));
        query = item.size() < query.size() ? query.substr(item.size() + 1) : "";
        if (item.starts_with("content=")) {
            content = percentDecoded(item.substr(8));
        }
    }
    return "{\n    \"转换后\": " + jsonString(unicodeDecoded(content)) +
           ",\n    \"状态\": \"200\"\n}";
}

// --- HTTP ---

struct Answer {
    std::string body;
    Lines headers;
};

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
    static_cast<Answer*>(user)->body.append(data, size * count);
    return size * count;
}

std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
    std::string_view line(data, size * count);
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos && !line.starts_with("HTTP/")) {
        line = line.substr(0, line.find_first_of("\r\n"));
        static_cast<Answer*>(user)->headers.emplace_back(trimmed(line.substr(0, colon)),
                                                         trimmed(line.substr(colon + 1)));
    }
    return size * count;
}

// Puts a cookie item in the list in place of one of the same name.
void putCookie(Lines& cookies, std::string_view name, std::string_view value) {
    for (auto& [key, text] : cookies) {
        if (key == name) {
            text = value;
            return;
        }
    }
    cookies.emplace_back(name, value);
}

void putCookieItems(Lines& cookies, std::string_view text) {
    while (!text.empty()) {
        const std::string_view item = text.substr(0, text.find(';'));
        text = item.size() < text.size() ? text.substr(item.size() + 1) : "";
        const std::size_t equals = item.find('=');
        const std::string_view name = trimmed(item.substr(0, equals));
        if (!name.empty()) {
            putCookie(cookies, name,
                      equals == std::string_view::npos ? "" : trimmed(item.substr(equals + 1)));
        }
    }
}

struct Account {
    int id = 0, cid = 0;
    std::string name, cookie;
};

struct Row {
    const char* verdict = "skipped";
    std::string reason, result;
    int status = 0;
    int ms = 0;
};

// One account's run of its template's steps.
class Run {
public:
    Run(CURL* curl, Values values) : curl_(curl), values_(std::move(values)) {
        curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &answer_);
        curl_easy_setopt(curl_, CURLOPT_HEADERDATA, &answer_);
    }
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    Row run(const std::vector<Step>& steps) {
        Row row;
        const auto began = std::chrono::steady_clock::now();
        std::size_t number = 0;
        for (const Step& step : steps) {
            ++number;
            if (!send(step, row)) {
                row.verdict = "failed";
                break;
            }
            bool checked = false;
            if (!step.success.empty()) {
                bool passed = false;
                for (const auto& pattern : step.success) {
                    passed = passed || pattern->match(answer_.body, checked) > 0;
                    checked = true;
                }
                if (!passed) {
                    row.verdict = "failed";
                    row.reason = row.result =
                        "第 " + std::to_string(number) + " 步失败：答复不符合成功条件";
                    break;
                }
            }
            for (const auto& [name, pattern] : step.extractions) {
                values_[name] = pattern->group(answer_.body, pattern->match(answer_.body, checked));
                checked = true;
            }
        }
        row.ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - began)
                                      .count());
        if (row.reason.empty()) {
            row.verdict = "success";
            row.reason = "全部 " + std::to_string(steps.size()) + " 步通过";
            row.result = values_["__log__"];
        }
        return row;
    }

private:
    // Sends a step (or answers a utility); false, with the reason in `row`, when no answer came.
    bool send(const Step& step, Row& row) {
        const std::string url = filled(step.url, values_);
        const std::string body = filled(step.data, values_);
        answer_.body.clear();
        answer_.headers.clear();
        if (url.starts_with(kUtility)) {
            answer_.body = unicodeAnswer(url);
            row.status = 200;
            return true;
        }
        Lines cookies = jar_;
        Lines lines;
        bool userAgent = false, accept = false, contentType = false;
        for (const auto& [name, value] : step.headers) {
            const std::string text = filled(value, values_);
            if (equalsCaseless(name, "Cookie")) {
                putCookieItems(cookies, text);
                continue;
            }
            userAgent = userAgent || equalsCaseless(name, "User-Agent");
            accept = accept || equalsCaseless(name, "Accept");
            contentType = contentType || equalsCaseless(name, "Content-Type");
            lines.emplace_back(name, text);
        }
        std::string cookieLine;
        for (const auto& [name, value] : cookies) {
            cookieLine += (cookieLine.empty() ? "Cookie: " : "; ") + name + "=" + value;
        }
        curl_slist* list =
            cookieLine.empty() ? nullptr : curl_slist_append(nullptr, cookieLine.c_str());
        for (const auto& [name, value] : lines) {
            list = curl_slist_append(list, (name + ": " + value).c_str());
        }
        if (!contentType && !body.empty() && !step.mimeType.empty()) {
            list = curl_slist_append(list, ("Content-Type: " + step.mimeType).c_str());
        }
        if (!userAgent) {
            list = curl_slist_append(list, kUserAgent);
        }
        list = curl_slist_append(list, "Expect:");
        if (!accept) {
            list = curl_slist_append(list, "Accept:");
        }
        curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, list);
        if (step.method == "POST") {
            curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(body.size()));
            curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, body.c_str());
        } else {
            curl_easy_setopt(curl_, CURLOPT_HTTPGET, 1L);
        }
        const CURLcode sent = curl_easy_perform(curl_);
        curl_slist_free_all(list);
        if (sent != CURLE_OK) {
            row.reason = row.result = curl_easy_strerror(sent);
            return false;
        }
        long status = 0;
        curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status);
        row.status = static_cast<int>(status);
        for (const auto& [name, value] : answer_.headers) {
            if (equalsCaseless(name, "Set-Cookie")) {
                putCookieItems(jar_, value.substr(0, value.find(';')));
            }
        }
        return true;
    }

    CURL* curl_;
    Answer answer_;
    Values values_;
    Lines jar_;  // the cookies the sites set during the run
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::fputs("usage: flow_loop SIGN_DB SIGN_KEY [HISTORY_KEY]\n", stderr);
        return 1;
    }
    const std::string signPath = argv[1];
    const std::size_t slash = signPath.rfind('/');
    const std::string historyPath =
        (slash == std::string::npos ? std::string() : signPath.substr(0, slash + 1)) + "History.db";
    const std::string passTime = loop::historyTime();

    sqlite3* sign = loop::openKeyed(signPath, argv[2]);
    std::vector<Account> accounts;
    sqlite3_stmt* list = prepare(sign,
                                 "SELECT Template.*,WebCookie.Cookie,WebCookie.Cid FROM Template "
                                 "LEFT OUTER JOIN WebCookie ON WebCookie.Id = Template.Id");
    while (sqlite3_step(list) == SQLITE_ROW) {
        accounts.push_back({sqlite3_column_int(list, 0), sqlite3_column_int(list, 11),
                            columnText(list, 1), columnText(list, 10)});
    }
    sqlite3_finalize(list);
    // A file without the Flow or AccountInput table has no flows or no inputs.
    std::map<int, std::vector<Step>> flows;
    sqlite3_stmt* steps = nullptr;
    if (sqlite3_prepare_v2(sign, "SELECT Id, Steps FROM Flow", -1, &steps, nullptr) == SQLITE_OK) {
        while (sqlite3_step(steps) == SQLITE_ROW) {
            flows[sqlite3_column_int(steps, 0)] = readSteps(columnText(steps, 1));
        }
    }
    sqlite3_finalize(steps);
    std::map<int, Values> inputs;
    sqlite3_stmt* given = nullptr;
    if (sqlite3_prepare_v2(sign, "SELECT Cid, Name, Value FROM AccountInput", -1, &given,
                           nullptr) == SQLITE_OK) {
        while (sqlite3_step(given) == SQLITE_ROW) {
            inputs[sqlite3_column_int(given, 0)][columnText(given, 1)] = columnText(given, 2);
        }
    }
    sqlite3_finalize(given);
    sqlite3_close(sign);

    const Regex expired(loop::kBuiltInExpired, PCRE2_CASELESS | PCRE2_MULTILINE);
    const Regex already(loop::kBuiltInAlready, PCRE2_CASELESS | PCRE2_MULTILINE);

    curl_global_init(CURL_GLOBAL_DEFAULT);
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 60000L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, 15000L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &onBody);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &onHeader);

    std::vector<loop::HistoryRow> history;
    int counts[3] = {};  // success, already, failed
    for (std::size_t i = 0; i < accounts.size(); ++i) {
        const Account& account = accounts[i];
        const auto flow = flows.find(account.id);
        Row row;
        if (!account.cookie.empty() && account.cid != 0 && flow != flows.end()) {
            Values values = inputs[account.cid];
            values["cookie"] = account.cookie;
            Run run(curl, std::move(values));
            row = run.run(flow->second);
            if (std::strcmp(row.verdict, "success") == 0) {
                if (expired.match(row.result, false) > 0) {
                    row.verdict = "expired";
                    row.reason = "内置：Cookie失效";
                } else if (already.match(row.result, false) > 0) {
                    row.verdict = "already";
                    row.reason = "内置：已签到";
                }
            }
        }
        counts[std::strcmp(row.verdict, "success") == 0   ? 0
               : std::strcmp(row.verdict, "already") == 0 ? 1
                                                          : 2] += 1;
        std::printf("%zu\t%s\t%s\n", i + 1, row.verdict, row.result.c_str());
        history.push_back({account.id, account.cid, account.name, row.verdict,
                           std::strcmp(row.verdict, "skipped") == 0, row.reason, row.result,
                           row.status, row.ms});
    }
    curl_easy_cleanup(curl);
    curl_global_cleanup();
    std::fprintf(stderr, "成功 %d · 已签 %d · 其他 %d\n", counts[0], counts[1], counts[2]);
    if (argc == 4) {
        loop::writeHistory(historyPath, argv[3], passTime, history);
    }
    return 0;
}
