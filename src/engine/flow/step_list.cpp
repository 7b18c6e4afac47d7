#include "engine/flow/step_list.h"

#include <algorithm>
#include <array>

#include "engine/flow/flow.h"
#include "engine/flow/json_value.h"
#include "engine/flow/render.h"
#include "web/utf8_regex.h"

namespace vesprey::flow {

namespace {

const JsonStyle kWrittenStyle{4, false, false};

struct ControlName {
    ControlKind kind;
    std::string_view keyword;
    std::string_view caption;
};

constexpr std::array<ControlName, 9> kControls{{
    {ControlKind::If, "if", "如果"},
    {ControlKind::Elif, "elif", "否则如果"},
    {ControlKind::Else, "else", "否则"},
    {ControlKind::Endif, "endif", "结束如果"},
    {ControlKind::For, "for", "循环"},
    {ControlKind::Endfor, "endfor", "结束循环"},
    {ControlKind::While, "while", "当…时循环"},
    {ControlKind::Endwhile, "endwhile", "结束当…时循环"},
    {ControlKind::Set, "set", "设置变量"},
}};

const ControlName& controlName(ControlKind kind) {
    return kControls[static_cast<std::size_t>(kind)];
}

std::string_view trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    const std::size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::string textOf(const Value& v) {
    return v.kind() == ValueKind::String ? v.asString() : v.toText();
}

// The keyword and the expression of a text that is one "{% … %}" block of a known statement.
std::optional<std::pair<ControlKind, std::string>> controlOf(std::string_view url) {
    std::string_view text = trimmed(url);
    if (text.size() < 4 || text.substr(0, 2) != "{%" || text.substr(text.size() - 2) != "%}") {
        return std::nullopt;
    }
    text = text.substr(2, text.size() - 4);
    if (!text.empty() && text.front() == '-') {
        text.remove_prefix(1);
    }
    if (!text.empty() && text.back() == '-') {
        text.remove_suffix(1);
    }
    text = trimmed(text);
    if (text.find("%}") != std::string_view::npos) {
        return std::nullopt;  // more than one block
    }
    const std::size_t end = text.find_first_of(" \t\r\n");
    const std::string_view keyword = text.substr(0, end);
    for (const ControlName& name : kControls) {
        if (name.keyword == keyword) {
            return std::pair{
                name.kind, std::string(end == std::string_view::npos ? std::string_view{}
                                                                     : trimmed(text.substr(end)))};
        }
    }
    return std::nullopt;
}

std::vector<EditedPair> pairsOf(const Value& list) {
    std::vector<EditedPair> out;
    if (list.kind() != ValueKind::List) {
        return out;
    }
    for (const Value& item : list.asList()) {
        EditedPair pair;
        pair.name = textOf(item.member("name"));
        pair.value = textOf(item.member("value"));
        const Value checked = item.member("checked");
        pair.checked = checked.kind() != ValueKind::Bool || checked.asBool();
        out.push_back(std::move(pair));
    }
    return out;
}

std::vector<EditedRule> rulesOf(const Value& list, bool named) {
    std::vector<EditedRule> out;
    if (list.kind() != ValueKind::List) {
        return out;
    }
    for (const Value& item : list.asList()) {
        EditedRule rule;
        if (named) {
            rule.name = textOf(item.member("name"));
        }
        rule.re = textOf(item.member("re"));
        const Value from = item.member("from");
        rule.from = from.isUndefined() ? "content" : textOf(from);
        out.push_back(std::move(rule));
    }
    return out;
}

EditedEntry entryOf(const Value& item) {
    EditedEntry entry;
    entry.original = item;
    const Value checked = item.member("checked");
    entry.checked = checked.kind() != ValueKind::Bool || checked.asBool();
    const Value login = item.member("login");
    entry.login = login.kind() == ValueKind::Bool && login.asBool();
    entry.comment = textOf(item.member("comment"));
    const Value request = item.member("request");
    const std::string url = textOf(request.member("url"));
    if (auto control = controlOf(url)) {
        entry.control = control->first;
        entry.expression = std::move(control->second);
    }
    entry.method = textOf(request.member("method"));
    if (entry.method.empty()) {
        entry.method = "GET";
    }
    entry.url = url;
    entry.headers = pairsOf(request.member("headers"));
    entry.cookies = pairsOf(request.member("cookies"));
    const Value data = request.member("data");
    const Value post = request.member("postData");
    entry.data = data.kind() == ValueKind::String ? data.asString() : textOf(post.member("text"));
    entry.mimeType = textOf(request.member("mimeType"));
    if (entry.mimeType.empty()) {
        entry.mimeType = textOf(post.member("mimeType"));
    }
    const Value rule = item.member("rule").kind() == ValueKind::Map ? item.member("rule") : item;
    entry.success = rulesOf(rule.member("success_asserts"), false);
    entry.failure = rulesOf(rule.member("failed_asserts"), false);
    entry.extractions = rulesOf(rule.member("extract_variables"), true);
    return entry;
}

ValueMap without(ValueMap map, std::string_view name) {
    map.erase(std::remove_if(map.begin(), map.end(),
                             [&](const auto& member) { return member.first == name; }),
              map.end());
    return map;
}

bool has(const Value& map, std::string_view name) {
    return !map.member(name).isUndefined();
}

Value pairsValue(const std::vector<EditedPair>& pairs) {
    ValueList out;
    for (const EditedPair& pair : pairs) {
        ValueMap map{{"name", Value(pair.name)}, {"value", Value(pair.value)}};
        if (!pair.checked) {
            map.emplace_back("checked", Value(false));
        }
        out.emplace_back(std::move(map));
    }
    return Value(std::move(out));
}

Value rulesValue(const std::vector<EditedRule>& rules, bool named) {
    ValueList out;
    for (const EditedRule& rule : rules) {
        ValueMap map;
        if (named) {
            map.emplace_back("name", Value(rule.name));
        }
        map.emplace_back("re", Value(rule.re));
        map.emplace_back("from", Value(rule.from));
        out.emplace_back(std::move(map));
    }
    return Value(std::move(out));
}

Value entryValue(const EditedEntry& entry) {
    const bool read = entry.original.kind() == ValueKind::Map;
    ValueMap map = read ? entry.original.asMap() : ValueMap{};
    if (!entry.checked || has(entry.original, "checked")) {
        map = withMember(std::move(map), "checked", Value(entry.checked));
    }
    // Only login steps carry the mark: the other entries stay as the community format has them.
    map = entry.login ? withMember(std::move(map), "login", Value(true))
                      : without(std::move(map), "login");
    map = withMember(std::move(map), "comment", Value(entry.comment));
    const Value oldRequest = entry.original.member("request");
    ValueMap request = oldRequest.kind() == ValueKind::Map ? oldRequest.asMap() : ValueMap{};
    request = withMember(std::move(request), "method", Value(entry.method));
    request =
        withMember(std::move(request), "url",
                   Value(entry.control ? controlUrl(*entry.control, entry.expression) : entry.url));
    request = withMember(std::move(request), "headers", pairsValue(entry.headers));
    request = withMember(std::move(request), "cookies", pairsValue(entry.cookies));
    request = withMember(std::move(request), "data", Value(entry.data));
    request = withMember(std::move(request), "mimeType", Value(entry.mimeType));
    request = without(std::move(request), "postData");
    map = withMember(std::move(map), "request", Value(std::move(request)));
    // The rules go under "rule", as the community format keeps them.
    const Value oldRule = entry.original.member("rule");
    ValueMap rule = oldRule.kind() == ValueKind::Map ? oldRule.asMap() : ValueMap{};
    rule = withMember(std::move(rule), "success_asserts", rulesValue(entry.success, false));
    rule = withMember(std::move(rule), "failed_asserts", rulesValue(entry.failure, false));
    rule = withMember(std::move(rule), "extract_variables", rulesValue(entry.extractions, true));
    for (const char* member : {"success_asserts", "failed_asserts", "extract_variables"}) {
        map = without(std::move(map), member);
    }
    map = withMember(std::move(map), "rule", Value(std::move(rule)));
    return Value(std::move(map));
}

std::string position(std::size_t at) {
    return "第 " + std::to_string(at) + " 个字符";
}

// The problem of a template text, if the renderer cannot read it.
std::optional<std::string> templateProblem(std::string_view text) {
    auto compiled = Template::compile(text);
    if (const auto* error = std::get_if<TemplateError>(&compiled)) {
        return "读不懂的表达式（" + position(error->position) + "）：" + error->message;
    }
    return std::nullopt;
}

std::optional<std::string> ruleProblem(const EditedRule& rule) {
    auto compiled = Template::compile(rule.re);
    if (const auto* error = std::get_if<TemplateError>(&compiled)) {
        return "读不懂的表达式（" + position(error->position) + "）：" + error->message;
    }
    if (!ruleSource(rule.from)) {
        return "不认识的取值位置“" + rule.from + "”：只能是内容、状态码、响应头或某个响应头";
    }
    if (std::get<Template>(compiled).isPlain()) {
        auto checked = compileRuleRegex(ruleRegex(rule.re));
        if (const auto* error = std::get_if<Utf8RegexError>(&checked)) {
            return "正则表达式有误（" + position(error->position) + "）：" + error->message;
        }
    }
    return std::nullopt;
}

}  // namespace

bool EditedEntry::operator==(const EditedEntry& other) const {
    return checked == other.checked && login == other.login && comment == other.comment &&
           control == other.control && expression == other.expression && method == other.method &&
           url == other.url && headers == other.headers && cookies == other.cookies &&
           data == other.data && mimeType == other.mimeType && success == other.success &&
           failure == other.failure && extractions == other.extractions &&
           original.equals(other.original);
}

std::string_view controlKeyword(ControlKind kind) {
    return controlName(kind).keyword;
}

std::string_view controlCaption(ControlKind kind) {
    return controlName(kind).caption;
}

bool takesExpression(ControlKind kind) {
    return kind == ControlKind::If || kind == ControlKind::Elif || kind == ControlKind::For ||
           kind == ControlKind::While || kind == ControlKind::Set;
}

std::string controlUrl(ControlKind kind, std::string_view expression) {
    std::string url = "{% ";
    url += controlKeyword(kind);
    const std::string_view e = trimmed(expression);
    if (takesExpression(kind) && !e.empty()) {
        url += ' ';
        url += e;
    }
    return url + " %}";
}

std::variant<StepList, FormatError> readStepList(std::string_view utf8) {
    auto json = readJson(utf8);
    if (const auto* error = std::get_if<JsonReadError>(&json)) {
        return FormatError{"步骤不是有效的 JSON（" + position(error->position) + "）：" +
                           error->message};
    }
    const Value& root = std::get<Value>(json);
    if (root.kind() != ValueKind::List) {
        return FormatError{"步骤应当是社区模板的步骤列表（JSON 数组）"};
    }
    StepList list;
    for (const Value& item : root.asList()) {
        if (item.kind() != ValueKind::Map) {
            return FormatError{"第 " + std::to_string(list.entries.size() + 1) +
                               " 项不是一个对象，请检查模板"};
        }
        list.entries.push_back(entryOf(item));
    }
    return list;
}

std::variant<StepList, FormatError> stepListFor(const std::optional<std::string>& steps,
                                                const TemplateFields& fields) {
    if (steps) {
        return readStepList(*steps);
    }
    if (!fields.WebLink.empty()) {
        auto one = communityFromFields(fields);
        if (auto* error = std::get_if<FormatError>(&one)) {
            return std::move(*error);
        }
        return readStepList(std::get<std::string>(one));
    }
    StepList list;
    EditedEntry first;
    first.headers = {{"Cookie", "{{cookie}}", true}};
    list.entries.push_back(std::move(first));
    return list;
}

std::string writeStepList(const StepList& list) {
    ValueList entries;
    entries.reserve(list.entries.size());
    for (const EditedEntry& entry : list.entries) {
        entries.push_back(entryValue(entry));
    }
    return writeJson(Value(std::move(entries)), kWrittenStyle);
}

std::vector<int> stepIndents(const StepList& list) {
    std::vector<int> indents;
    int depth = 0;
    for (const EditedEntry& entry : list.entries) {
        if (!entry.control) {
            indents.push_back(depth);
            continue;
        }
        switch (*entry.control) {
            case ControlKind::If:
            case ControlKind::For:
            case ControlKind::While:
                indents.push_back(depth++);
                break;
            case ControlKind::Elif:
            case ControlKind::Else:
                indents.push_back(std::max(depth - 1, 0));
                break;
            case ControlKind::Endif:
            case ControlKind::Endfor:
            case ControlKind::Endwhile:
                depth = std::max(depth - 1, 0);
                indents.push_back(depth);
                break;
            case ControlKind::Set:
                indents.push_back(depth);
                break;
        }
    }
    return indents;
}

std::string pairLines(const std::vector<EditedPair>& pairs, char separator) {
    std::string out;
    for (const EditedPair& pair : pairs) {
        if (!out.empty()) {
            out += '\n';
        }
        if (!pair.checked) {
            out += "# ";
        }
        out += pair.name;
        out += separator;
        if (separator == ':') {
            out += ' ';
        }
        out += pair.value;
    }
    return out;
}

std::vector<EditedPair> readPairLines(std::string_view text, char separator) {
    std::vector<EditedPair> out;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (trimmed(line).empty()) {
            continue;
        }
        EditedPair pair;
        line = trimmed(line);
        if (line.front() == '#') {
            pair.checked = false;
            line = trimmed(line.substr(1));
        }
        const std::size_t at = line.find(separator);
        pair.name = std::string(trimmed(line.substr(0, at)));
        if (at != std::string_view::npos) {
            std::string_view value = line.substr(at + 1);
            if (separator == ':' && !value.empty() && value.front() == ' ') {
                value.remove_prefix(1);
            }
            pair.value = std::string(value);
        }
        out.push_back(std::move(pair));
    }
    return out;
}

std::vector<StepProblem> stepListProblems(const StepList& list) {
    std::vector<StepProblem> problems;
    const auto note = [&](std::size_t entry, StepField field, std::size_t row,
                          std::optional<std::string> message) {
        if (message) {
            problems.push_back(StepProblem{entry, field, row, std::move(*message)});
        }
    };
    for (std::size_t i = 0; i < list.entries.size(); ++i) {
        const EditedEntry& entry = list.entries[i];
        if (entry.control) {
            if (takesExpression(*entry.control)) {
                if (trimmed(entry.expression).empty()) {
                    note(i, StepField::Expression, 0,
                         "“" + std::string(controlCaption(*entry.control)) + "”要写条件或表达式");
                    continue;
                }
                auto statement = parseStatement(controlUrl(*entry.control, entry.expression));
                if (statement) {
                    if (const auto* error = std::get_if<TemplateError>(&*statement)) {
                        note(i, StepField::Expression, 0,
                             "读不懂的表达式（" + position(error->position) + "）：" +
                                 error->message);
                    }
                }
            }
            continue;
        }
        note(i, StepField::Method, 0, templateProblem(entry.method));
        if (trimmed(entry.url).empty()) {
            note(i, StepField::Url, 0, "请求要有网址");
        } else {
            note(i, StepField::Url, 0, templateProblem(entry.url));
        }
        for (std::size_t h = 0; h < entry.headers.size(); ++h) {
            auto problem = templateProblem(entry.headers[h].name);
            note(i, StepField::Headers, h,
                 problem ? problem : templateProblem(entry.headers[h].value));
        }
        for (std::size_t c = 0; c < entry.cookies.size(); ++c) {
            auto problem = templateProblem(entry.cookies[c].name);
            note(i, StepField::Cookies, c,
                 problem ? problem : templateProblem(entry.cookies[c].value));
        }
        note(i, StepField::Data, 0, templateProblem(entry.data));
        for (std::size_t r = 0; r < entry.success.size(); ++r) {
            note(i, StepField::Success, r, ruleProblem(entry.success[r]));
        }
        for (std::size_t r = 0; r < entry.failure.size(); ++r) {
            note(i, StepField::Failure, r, ruleProblem(entry.failure[r]));
        }
        for (std::size_t r = 0; r < entry.extractions.size(); ++r) {
            note(i, StepField::Extractions, r, ruleProblem(entry.extractions[r]));
        }
    }
    if (!problems.empty()) {
        return problems;
    }
    // Every field reads: what the template as a whole is refused for, on the entry it names
    // (the steps are numbered among the checked entries).
    auto parsed = parseFlow(writeStepList(list));
    if (const auto* error = std::get_if<FlowError>(&parsed)) {
        std::size_t entry = 0;
        std::size_t number = 0;
        for (std::size_t i = 0; i < list.entries.size(); ++i) {
            if (list.entries[i].checked && ++number == error->step) {
                entry = i;
                break;
            }
        }
        problems.push_back(StepProblem{entry, StepField::Entry, 0, error->message});
    }
    return problems;
}

}  // namespace vesprey::flow
