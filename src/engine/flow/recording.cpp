#include "engine/flow/recording.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <set>

#include "engine/flow/json_value.h"
#include "engine/flow/render.h"
#include "engine/flow/value.h"
#include "web/utf8_regex.h"

namespace vesprey::flow {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

bool isWordByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool allOf(std::string_view text, bool (*pass)(char)) {
    return !text.empty() && std::all_of(text.begin(), text.end(), pass);
}

// The text as a template that renders as itself ("{{", "{%" and "{#" written as expressions).
std::string literal(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '{' && i + 1 < text.size() &&
            (text[i + 1] == '{' || text[i + 1] == '%' || text[i + 1] == '#')) {
            out += std::string("{{ '{") + text[i + 1] + "' }}";
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

// A regular expression matching `text` as it is.
std::string escapedPattern(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (std::string_view("\\.^$|?*+()[]{}/").find(c) != std::string_view::npos) {
            out += '\\';
        }
        out += c;
    }
    return out;
}

bool isForm(std::string_view body) {
    return !body.empty() && body.find('=') != std::string_view::npos &&
           body.find_first_of("{[\n<") == std::string_view::npos;
}

// Headers a written step does not carry: what the request itself decides, and the cookie, which
// is the account's.
bool droppedHeader(std::string_view name) {
    const std::string n = lower(name);
    return n.empty() || n.front() == ':' || n == "content-length" || n == "host" || n == "cookie";
}

// Headers whose values are the browser's own, never a value of the site.
bool browserHeader(std::string_view name) {
    const std::string n = lower(name);
    static const std::set<std::string, std::less<>> kNames = {"accept",
                                                              "accept-encoding",
                                                              "accept-language",
                                                              "cache-control",
                                                              "connection",
                                                              "content-type",
                                                              "dnt",
                                                              "origin",
                                                              "pragma",
                                                              "priority",
                                                              "referer",
                                                              "user-agent",
                                                              "upgrade-insecure-requests"};
    return kNames.count(n) != 0 || n.rfind("sec-", 0) == 0;
}

// Makes one sent value of a picked request into an expression, or nothing to keep it as it is.
class Sources {
public:
    Sources(const std::vector<RecordedRequest>& recorded, std::string_view cookie,
            std::chrono::system_clock::time_point at)
        : recorded_(recorded), at_(at) {
        for (const auto& [name, value] : cookieItems(cookie)) {
            cookie_.emplace_back(name, value);
        }
    }

    // The expression for `value`, sent under `key` by request `index`.
    std::optional<std::string> expression(std::size_t index, const std::string& key,
                                          const std::string& value) {
        if (auto time = timestamp(value)) {
            return time;
        }
        if (value.size() < 4) {
            return std::nullopt;
        }
        for (const auto& [name, item] : cookie_) {
            if (item == value) {
                return "{{ cookie|regex_search('(?:^|; *)" + escapedPattern(name) +
                       "=([^;]*)', '\\\\1')|first }}";
            }
        }
        if (!tokenLike(key, value)) {
            return std::nullopt;
        }
        for (std::size_t earlier = index; earlier-- > 0;) {
            if (auto name = extraction(earlier, key, value)) {
                return "{{ " + *name + " }}";
            }
        }
        return std::nullopt;
    }

    // The extractions of each recorded request, by its number.
    const std::map<std::size_t, ValueList>& extractions() const { return extractions_; }
    const std::vector<std::pair<std::string, std::size_t>>& extracted() const { return extracted_; }

private:
    static Pairs cookieItems(std::string_view cookie) {
        Pairs items;
        std::size_t start = 0;
        while (start < cookie.size()) {
            std::size_t end = cookie.find(';', start);
            if (end == std::string_view::npos) {
                end = cookie.size();
            }
            std::string_view item = cookie.substr(start, end - start);
            while (!item.empty() && item.front() == ' ') {
                item.remove_prefix(1);
            }
            const std::size_t equals = item.find('=');
            if (equals != std::string_view::npos && equals > 0) {
                items.emplace_back(std::string(item.substr(0, equals)),
                                   std::string(item.substr(equals + 1)));
            }
            start = end + 1;
        }
        return items;
    }

    // Whether a value is one a site hands out anew (a formhash, a token): letters and digits
    // mixed, or under a name that says so. A fixed word of the page (an action name, "kx") that
    // the page's text also holds is sent as it is.
    static bool tokenLike(const std::string& key, const std::string& value) {
        const bool digit =
            std::any_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
        const bool letter = std::any_of(value.begin(), value.end(), [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        });
        const std::string name = lower(key);
        for (const char* word : {"hash", "token", "csrf", "nonce", "key", "sign"}) {
            if (name.find(word) != std::string::npos) {
                return true;
            }
        }
        return digit && letter;
    }

    std::optional<std::string> timestamp(const std::string& value) const {
        if ((value.size() != 10 && value.size() != 13) ||
            !allOf(value, [](char c) { return c >= '0' && c <= '9'; })) {
            return std::nullopt;
        }
        const std::int64_t seconds = std::stoll(value.substr(0, 10));
        const std::int64_t now =
            std::chrono::duration_cast<std::chrono::seconds>(at_.time_since_epoch()).count();
        if (seconds < now - 86400 || seconds > now + 86400) {
            return std::nullopt;
        }
        return value.size() == 10 ? "{{ timestamp() }}"
                                  : "{{ (multiply(timestamp('float'), 1000))|int }}";
    }

    std::string variableName(const std::string& key) {
        std::string name;
        for (char c : key) {
            name += isWordByte(c) ? c : '_';
        }
        if (name.empty() || (name[0] >= '0' && name[0] <= '9')) {
            name = "value_" + name;
        }
        static const std::set<std::string, std::less<>> kTaken = {"cookie", "__log__", "loop"};
        std::string unique = name;
        for (int n = 2; kTaken.count(unique) != 0 || names_.count(unique) != 0; ++n) {
            unique = name + "_" + std::to_string(n);
        }
        names_.insert(unique);
        return unique;
    }

    // A pattern that finds `value` first in `answer`: the text before it (up to a line's start)
    // and the characters it is made of.
    static std::optional<std::string> patternFor(std::string_view answer, std::size_t at,
                                                 const std::string& value) {
        const std::string group = allOf(value, isWordByte) ? "(\\w+)"
                                  : allOf(value,
                                          [](char c) {
                                              return isWordByte(c) || c == '-' || c == '.' ||
                                                     c == '=' || c == '+' || c == '/';
                                          })
                                      ? "([\\w.=+/-]+)"
                                      : "([^\"'<>&\\s]+)";
        for (std::size_t length : {16, 32, 64}) {
            std::size_t begin = at > length ? at - length : 0;
            const std::size_t lineStart = answer.rfind('\n', at == 0 ? 0 : at - 1);
            if (lineStart != std::string_view::npos && lineStart + 1 > begin && lineStart < at) {
                begin = lineStart + 1;
            }
            const std::string pattern = escapedPattern(answer.substr(begin, at - begin)) + group;
            auto compiled = Utf8Regex::compile(pattern);
            if (auto* regex = std::get_if<Utf8Regex>(&compiled)) {
                const auto match = regex->search(answer);
                if (match && match->groups.size() > 1 && match->groups[1] == value) {
                    return pattern;
                }
            }
        }
        return std::nullopt;
    }

    std::optional<std::string> extraction(std::size_t earlier, const std::string& key,
                                          const std::string& value) {
        const std::string& answer = recorded_[earlier].answer;
        const std::size_t at = answer.find(value);
        if (at == std::string::npos) {
            return std::nullopt;
        }
        // Only a whole value: not the middle of a longer word.
        const bool whole =
            (at == 0 || !isWordByte(answer[at - 1])) &&
            (at + value.size() == answer.size() || !isWordByte(answer[at + value.size()]));
        if (!whole) {
            return std::nullopt;
        }
        const std::optional<std::string> pattern = patternFor(answer, at, value);
        if (!pattern) {
            return std::nullopt;
        }
        const auto known = byValue_.find(value);
        if (known != byValue_.end()) {
            return known->second;
        }
        const std::string name = variableName(key);
        extractions_[earlier].push_back(Value(
            ValueMap{{"name", Value(name)}, {"re", Value(*pattern)}, {"from", Value("content")}}));
        extracted_.emplace_back(name, earlier);
        byValue_[value] = name;
        return name;
    }

    const std::vector<RecordedRequest>& recorded_;
    std::chrono::system_clock::time_point at_;
    Pairs cookie_;
    std::set<std::string> names_;
    std::map<std::string, std::string> byValue_;
    std::map<std::size_t, ValueList> extractions_;
    std::vector<std::pair<std::string, std::size_t>> extracted_;
};

// The pairs written back, each value its expression or its literal (percent-encoded) text.
std::string rewrittenPairs(std::string_view text, std::size_t index, Sources& sources) {
    std::string out;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('&', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view item = text.substr(start, end - start);
        const std::size_t equals = item.find('=');
        out += start == 0 ? "" : "&";
        if (equals == std::string_view::npos) {
            out += literal(item);
        } else {
            const std::string key(item.substr(0, equals));
            const std::string value = percentDecode(item.substr(equals + 1), true);
            const auto expression = sources.expression(index, key, value);
            out += literal(key) + "=";
            if (!expression) {
                out += literal(item.substr(equals + 1));
            } else if (expression->find("timestamp") != std::string::npos) {
                out += *expression;
            } else {
                out += expression->substr(0, expression->size() - 3) + "|urlencode }}";
            }
        }
        start = end + 1;
    }
    return out;
}

// A JSON body with the string members' values the sources know written as expressions.
std::string rewrittenJson(const std::string& body, std::size_t index, Sources& sources) {
    std::string out = literal(body);
    auto parsed = readJson(body);
    const Value* root = std::get_if<Value>(&parsed);
    if (root == nullptr || root->kind() != ValueKind::Map) {
        return out;
    }
    for (const auto& [key, member] : root->asMap()) {
        const bool text = member.kind() == ValueKind::String;
        const std::string value = text ? member.asString() : member.toText();
        if (!text && member.kind() != ValueKind::Integer) {
            continue;
        }
        const auto expression = sources.expression(index, key, value);
        if (!expression) {
            continue;
        }
        const std::string sent = text ? "\"" + value + "\"" : value;
        const std::size_t at = out.find(sent);
        if (at != std::string::npos) {
            out.replace(at, sent.size(), text ? "\"" + *expression + "\"" : *expression);
        }
    }
    return out;
}

}  // namespace

std::size_t likelySignIn(const std::vector<RecordedRequest>& recorded) {
    static const char* const kWords[] = {"sign",    "checkin",    "check_in", "check-in",
                                         "qiandao", "attendance", "签到",     "打卡"};
    for (std::size_t i = recorded.size(); i-- > 0;) {
        const RecordedRequest& r = recorded[i];
        if (r.method != "POST" && !r.script) {
            continue;
        }
        const std::string said = lower(percentDecode(r.url, true) + " " + r.body);
        for (const char* word : kWords) {
            if (said.find(word) != std::string::npos) {
                return i;
            }
        }
    }
    return recorded.empty() ? 0 : recorded.size() - 1;
}

RecordedFlow flowFromRecording(const std::vector<RecordedRequest>& recorded,
                               const std::vector<std::size_t>& picks, std::string_view cookie,
                               std::chrono::system_clock::time_point recordedAt) {
    Sources sources(recorded, cookie, recordedAt);
    std::set<std::size_t> picked;
    for (const std::size_t pick : picks) {
        if (pick < recorded.size()) {
            picked.insert(pick);
        }
    }
    // The picked requests, each written with its values' expressions; the extraction steps they
    // need come out of that.
    struct Written {
        std::string url;
        ValueList headers;
        std::string body;
    };
    std::map<std::size_t, Written> written;
    for (const std::size_t index : picked) {
        const RecordedRequest& r = recorded[index];
        Written w;
        const std::size_t question = r.url.find('?');
        w.url =
            question == std::string::npos
                ? literal(r.url)
                : literal(r.url.substr(0, question + 1)) +
                      rewrittenPairs(std::string_view(r.url).substr(question + 1), index, sources);
        for (const auto& [name, value] : r.headers) {
            if (droppedHeader(name)) {
                continue;
            }
            std::optional<std::string> expression;
            if (!browserHeader(name)) {
                expression = sources.expression(index, name, value);
            }
            w.headers.push_back(
                Value(ValueMap{{"name", Value(literal(name))},
                               {"value", Value(expression.value_or(literal(value)))}}));
        }
        w.body = isForm(r.body) ? rewrittenPairs(r.body, index, sources)
                                : rewrittenJson(r.body, index, sources);
        written.emplace(index, std::move(w));
    }

    std::set<std::size_t> steps = picked;
    for (const auto& [index, extractions] : sources.extractions()) {
        steps.insert(index);
    }
    ValueList entries;
    for (const std::size_t index : steps) {
        const RecordedRequest& r = recorded[index];
        std::string url = literal(r.url);
        ValueList headers;
        std::string body = literal(r.body);
        if (const auto w = written.find(index); w != written.end()) {
            url = w->second.url;
            headers = w->second.headers;
            body = w->second.body;
        } else {
            for (const auto& [name, value] : r.headers) {
                if (!droppedHeader(name)) {
                    headers.push_back(Value(ValueMap{{"name", Value(literal(name))},
                                                     {"value", Value(literal(value))}}));
                }
            }
        }
        if (!cookie.empty()) {
            headers.push_back(
                Value(ValueMap{{"name", Value("Cookie")}, {"value", Value("{{ cookie }}")}}));
        }
        std::string mimeType;
        for (const auto& [name, value] : r.headers) {
            if (lower(name) == "content-type") {
                mimeType = value;
            }
        }
        const auto extractions = sources.extractions().find(index);
        ValueMap request{{"method", Value(r.method.empty() ? std::string("GET") : r.method)},
                         {"url", Value(url)},
                         {"headers", Value(std::move(headers))},
                         {"cookies", Value(ValueList{})},
                         {"data", Value(body)},
                         {"mimeType", Value(mimeType)}};
        ValueMap rule{{"success_asserts", Value(ValueList{})},
                      {"failed_asserts", Value(ValueList{})},
                      {"extract_variables", extractions != sources.extractions().end()
                                                ? Value(extractions->second)
                                                : Value(ValueList{})}};
        entries.push_back(Value(
            ValueMap{{"comment", Value(picked.count(index) != 0 ? std::string("录制的请求")
                                                                : std::string("取出后面要用的值"))},
                     {"request", Value(std::move(request))},
                     {"rule", Value(std::move(rule))}}));
    }
    RecordedFlow flow;
    JsonStyle style;
    style.indent = 4;
    style.asciiOnly = false;
    flow.json = writeJson(Value(std::move(entries)), style);
    flow.extracted = sources.extracted();
    flow.steps = steps.size();
    return flow;
}

}  // namespace vesprey::flow
