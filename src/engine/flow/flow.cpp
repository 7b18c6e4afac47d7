#include "engine/flow/flow.h"

#include <algorithm>
#include <set>

#include "engine/flow/json_value.h"
#include "web/utf8_regex.h"

namespace vesprey::flow {

namespace {

// A text quoted in a message is cut to this many characters.
constexpr std::size_t kQuotedCharacters = 60;

std::string quoted(std::string_view text) {
    std::string out;
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && ++count > kQuotedCharacters) {
            return out + "…";
        }
        out += text[i];
    }
    return out;
}

std::string stepName(std::size_t number) {
    return "第 " + std::to_string(number) + " 步";
}

struct Refusal {
    FlowError error;
};

[[noreturn]] void refuse(std::size_t step, std::string message) {
    throw Refusal{FlowError{step, std::move(message)}};
}

std::string textOf(const Value& v) {
    return v.kind() == ValueKind::String ? v.asString() : v.toText();
}

class Reader {
public:
    Flow run(const Value& root) {
        const ValueList* list = nullptr;
        if (root.kind() == ValueKind::List) {
            list = &root.asList();
        } else if (root.member("log").member("entries").kind() == ValueKind::List) {
            har_ = root.member("log").member("entries");
            list = &har_.asList();
        } else {
            refuse(0, "模板应当是步骤的列表（JSON 数组）或 HAR 文件，请检查导入的内容");
        }
        std::size_t kept = 0;
        for (const Value& item : *list) {
            if (item.kind() != ValueKind::Map) {
                refuse(kept + 1, stepName(kept + 1) + "不是一个对象，请检查模板");
            }
            const Value checked = item.member("checked");
            if (checked.kind() == ValueKind::Bool && !checked.asBool()) {
                continue;
            }
            const Value login = item.member("login");
            part_ = login.kind() == ValueKind::Bool && login.asBool() ? &login_ : &signIn_;
            entry(item, ++kept);
        }
        if (kept == 0) {
            refuse(0, "模板里没有步骤");
        }
        if (signIn_.flow.entries.empty()) {
            refuse(0, "模板的步骤都标成了登录，请至少留一步签到的步骤不标登录");
        }
        finish(signIn_);
        if (!login_.flow.entries.empty()) {
            finish(login_);
            signIn_.flow.login = std::make_shared<const Flow>(std::move(login_.flow));
        }
        return std::move(signIn_.flow);
    }

private:
    // A part of the template as it is read: its entries, and the names it reads and sets.
    struct Part {
        Flow flow;
        std::vector<std::string> read;
        std::set<std::string> assigned = {"loop",      "loop_index",  "loop_index0", "loop_first",
                                          "loop_last", "loop_length", "__log__"};
    };

    void finish(Part& part) {
        nesting(part.flow);
        for (const std::string& name : part.read) {
            if (part.assigned.count(name) == 0) {
                part.flow.inputs.push_back(name);
            }
        }
    }

    void noteRead(const std::vector<std::string>& names) {
        for (const std::string& name : names) {
            if (std::find(part_->read.begin(), part_->read.end(), name) == part_->read.end()) {
                part_->read.push_back(name);
            }
        }
    }

    Template compile(std::size_t number, const std::string& field, const std::string& text) {
        auto compiled = Template::compile(text);
        if (auto* error = std::get_if<TemplateError>(&compiled)) {
            refuse(number, stepName(number) + "的" + field + "里有读不懂的表达式（第 " +
                               std::to_string(error->position) + " 个字符）：" + error->message +
                               "。原文：" + quoted(text));
        }
        noteRead(std::get<Template>(compiled).names());
        return std::get<Template>(std::move(compiled));
    }

    static Source source(std::size_t number, const std::string& from) {
        std::optional<Source> s = ruleSource(from);
        if (!s) {
            refuse(number, stepName(number) + "的规则从“" + quoted(from) +
                               "”取值，Vesprey 只认 content、status、header 和 header-名字");
        }
        return std::move(*s);
    }

    RulePattern pattern(std::size_t number, const Value& rule, const std::string& list) {
        RulePattern p;
        p.text = textOf(rule.member("re"));
        p.compiled = compile(number, list + "的正则表达式", p.text);
        p.from = source(number, textOf(rule.member("from")));
        if (p.compiled.isPlain()) {
            auto compiled = compileRuleRegex(ruleRegex(p.text));
            if (auto* error = std::get_if<Utf8RegexError>(&compiled)) {
                refuse(number, stepName(number) + "的" + list + "的正则表达式有误（第 " +
                                   std::to_string(error->position) + " 个字符：" + error->message +
                                   "）：" + quoted(p.text));
            }
            p.regex = std::get<Utf8Regex>(std::move(compiled));
        }
        return p;
    }

    std::vector<RulePattern> patterns(std::size_t number, const Value& list,
                                      const std::string& name) {
        std::vector<RulePattern> out;
        if (list.kind() != ValueKind::List) {
            return out;
        }
        for (const Value& rule : list.asList()) {
            out.push_back(pattern(number, rule, name));
        }
        return out;
    }

    static void refuseUtility(std::size_t number, const std::string& url) {
        const std::string path = url.substr(0, url.find_first_of("?#"));
        const auto startsWith = [&](std::string_view prefix) {
            return path.compare(0, prefix.size(), prefix) == 0;
        };
        if (startsWith("api://util/dddd/")) {
            refuse(number,
                   stepName(number) + "要识别验证码（" + quoted(path) + "），Vesprey 还不支持");
        }
        if (startsWith("api://util/rsa")) {
            refuse(number,
                   stepName(number) + "要做 RSA 加解密（" + quoted(path) + "），Vesprey 还不支持");
        }
        if (startsWith("api://util/toolbox")) {
            refuse(number,
                   stepName(number) + "要用工具箱（" + quoted(path) + "），Vesprey 还不支持");
        }
        static const char* const kOffered[] = {"api://util/unicode",        "api://util/urldecode",
                                               "api://util/gb2312",         "api://util/regex",
                                               "api://util/string/replace", "api://util/timestamp",
                                               "api://util/delay"};
        for (const char* offered : kOffered) {
            const std::string_view o(offered);
            if (path == o || (startsWith(o) && path.size() > o.size() && path[o.size()] == '/' &&
                              o == "api://util/delay")) {
                return;
            }
        }
        refuse(number, stepName(number) + "要用本地接口（" + quoted(path) + "），Vesprey 还不支持");
    }

    void step(const Value& item, const Value& request, std::size_t number) {
        Step s;
        s.comment = textOf(item.member("comment"));
        std::string method = textOf(request.member("method"));
        if (method.empty()) {
            method = "GET";
        }
        s.method = compile(number, "请求方法", method);
        s.urlText = textOf(request.member("url"));
        if (s.urlText.empty()) {
            refuse(number, stepName(number) + "没有网址");
        }
        s.url = compile(number, "网址", s.urlText);
        if (s.urlText.rfind("api://", 0) == 0) {
            refuseUtility(number, s.urlText);
        }
        const auto pairs = [&](const char* member, const std::string& field) {
            std::vector<NamedTemplate> out;
            const Value list = request.member(member);
            if (list.kind() != ValueKind::List) {
                return out;
            }
            for (const Value& pair : list.asList()) {
                const Value checked = pair.member("checked");
                if (checked.kind() == ValueKind::Bool && !checked.asBool()) {
                    continue;
                }
                NamedTemplate named;
                named.name = compile(number, field + "名", textOf(pair.member("name")));
                named.value =
                    compile(number, field + "“" + quoted(textOf(pair.member("name"))) + "”",
                            textOf(pair.member("value")));
                out.push_back(std::move(named));
            }
            return out;
        };
        s.headers = pairs("headers", "请求头");
        s.cookies = pairs("cookies", "Cookie");
        Value data = request.member("data");
        s.mimeType = textOf(request.member("mimeType"));
        if (data.kind() != ValueKind::String) {
            const Value post = request.member("postData");
            data = post.member("text");
            if (s.mimeType.empty()) {
                s.mimeType = textOf(post.member("mimeType"));
            }
        }
        s.data = compile(number, "请求体", data.kind() == ValueKind::String ? data.asString() : "");
        // The community format keeps the rule lists under "rule", HAR at the top of the entry.
        const Value rule =
            item.member("rule").kind() == ValueKind::Map ? item.member("rule") : item;
        s.successAsserts = patterns(number, rule.member("success_asserts"), "成功条件");
        s.failedAsserts = patterns(number, rule.member("failed_asserts"), "失败条件");
        const Value extractions = rule.member("extract_variables");
        if (extractions.kind() == ValueKind::List) {
            for (const Value& e : extractions.asList()) {
                Extraction extraction;
                extraction.name = textOf(e.member("name"));
                if (extraction.name.empty()) {
                    continue;  // sets nothing: left out
                }
                extraction.pattern =
                    pattern(number, e, "提取变量“" + quoted(extraction.name) + "”");
                part_->assigned.insert(extraction.name);
                s.extractions.push_back(std::move(extraction));
            }
        }
        part_->flow.entries.push_back(Entry{number, std::move(s)});
    }

    void entry(const Value& item, std::size_t number) {
        const Value request = item.member("request");
        if (request.kind() != ValueKind::Map) {
            refuse(number, stepName(number) + "缺少 request，请检查模板");
        }
        const std::string url = textOf(request.member("url"));
        auto statement = parseStatement(url);
        if (!statement) {
            step(item, request, number);
            return;
        }
        if (auto* error = std::get_if<TemplateError>(&*statement)) {
            refuse(number, stepName(number) + "的控制语句读不懂（第 " +
                               std::to_string(error->position) + " 个字符）：" + error->message +
                               "。原文：" + quoted(url));
        }
        Control control;
        control.statement = std::get<Statement>(std::move(*statement));
        if (control.statement.expression) {
            noteRead(control.statement.expression->names());
        }
        for (const std::string& target : control.statement.targets) {
            part_->assigned.insert(target);
        }
        part_->flow.entries.push_back(Entry{number, std::move(control)});
    }

    // Pairs every control entry with its partner and refuses a nesting that does not close.
    static void nesting(Flow& flow) {
        struct Open {
            std::size_t index;
            std::size_t lastPart;  // the if, elif or else whose part is open
            bool sawElse;
        };
        std::vector<Open> open;
        const auto word = [&](std::size_t index) -> const std::string& {
            return std::get<Control>(flow.entries[index].body).statement.keyword;
        };
        const auto control = [&](std::size_t index) -> Control& {
            return std::get<Control>(flow.entries[index].body);
        };
        for (std::size_t i = 0; i < flow.entries.size(); ++i) {
            if (!std::holds_alternative<Control>(flow.entries[i].body)) {
                continue;
            }
            const std::size_t number = flow.entries[i].number;
            const std::string& keyword = word(i);
            if (keyword == "set") {
                continue;
            }
            if (keyword == "if" || keyword == "for" || keyword == "while") {
                open.push_back(Open{i, i, false});
                continue;
            }
            const std::string opener = keyword == "endfor"     ? "for"
                                       : keyword == "endwhile" ? "while"
                                                               : "if";
            if (open.empty() || word(open.back().index) != opener) {
                refuse(number, stepName(number) + "的“{% " + keyword + " %}”前面没有对应的“{% " +
                                   opener + " %}”");
            }
            Open& top = open.back();
            if (keyword == "elif" || keyword == "else") {
                if (top.sawElse) {
                    refuse(number, stepName(number) + "的“{% " + keyword +
                                       " %}”出现在同一个“{% if %}”的“{% else %}”之后");
                }
                top.sawElse = keyword == "else";
                control(top.lastPart).partner = i;
                top.lastPart = i;
                continue;
            }
            control(top.lastPart).partner = i;
            control(i).partner = top.index;
            open.pop_back();
        }
        if (!open.empty()) {
            const std::string keyword = word(open.back().index);
            const std::size_t number = flow.entries[open.back().index].number;
            refuse(number, stepName(number) + "的“{% " + keyword + " %}”后面没有对应的“{% end" +
                               keyword + " %}”");
        }
    }

    Value har_;
    Part signIn_;
    Part login_;
    Part* part_ = &signIn_;
};

}  // namespace

std::variant<Flow, FlowError> parseFlow(std::string_view utf8) {
    auto json = readJson(utf8);
    if (auto* error = std::get_if<JsonReadError>(&json)) {
        return FlowError{0, "模板不是有效的 JSON（第 " + std::to_string(error->position) +
                                " 个字符）：" + error->message};
    }
    try {
        return Reader().run(std::get<Value>(json));
    } catch (const Refusal& refusal) {
        return refusal.error;
    }
}

std::optional<Source> ruleSource(std::string_view from) {
    std::string lowered(from);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    });
    Source s;
    if (lowered.empty() || lowered == "content") {
        s.kind = Source::Kind::Content;
    } else if (lowered == "status") {
        s.kind = Source::Kind::Status;
    } else if (lowered == "header") {
        s.kind = Source::Kind::Headers;
    } else if (lowered.rfind("header-", 0) == 0 && lowered.size() > 7) {
        s.kind = Source::Kind::Header;
        s.header = std::string(from.substr(7));
    } else {
        return std::nullopt;
    }
    return s;
}

std::variant<Utf8Regex, Utf8RegexError> compileRuleRegex(const RuleRegex& regex) {
    Utf8RegexFlags flags;
    flags.ignoreCase = regex.ignoreCase;
    flags.multiline = regex.multiline;
    flags.dotAll = regex.dotAll;
    return Utf8Regex::compile(regex.pattern, flags);
}

RuleRegex ruleRegex(std::string_view rendered) {
    RuleRegex regex;
    regex.pattern = std::string(rendered);
    const std::size_t close = rendered.rfind('/');
    if (rendered.size() < 2 || rendered[0] != '/' || close == 0 || close == std::string::npos) {
        return regex;
    }
    const std::string_view flags = rendered.substr(close + 1);
    if (flags.find_first_not_of("gimsu") != std::string_view::npos) {
        return regex;
    }
    regex.pattern = std::string(rendered.substr(1, close - 1));
    regex.global = flags.find('g') != std::string_view::npos;
    regex.ignoreCase = flags.find('i') != std::string_view::npos;
    regex.multiline = flags.find('m') != std::string_view::npos;
    regex.dotAll = flags.find('s') != std::string_view::npos;
    return regex;
}

}  // namespace vesprey::flow
