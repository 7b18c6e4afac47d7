#include "engine/flow/runner.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <thread>

#include "engine/flow/json_value.h"
#include "web/utf8_regex.h"

namespace vesprey::flow {

std::chrono::system_clock::time_point SystemFlowClock::now() {
    return std::chrono::system_clock::now();
}

void SystemFlowClock::wait(std::chrono::milliseconds duration) {
    std::this_thread::sleep_for(duration);
}

namespace {

constexpr const char* kUtilityPrefix = "api://util/";

std::string stepName(std::size_t number) {
    return "第 " + std::to_string(number) + " 步";
}

std::string lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return s;
}

std::string_view trimmedView(std::string_view s) {
    const std::size_t first = s.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    const std::size_t last = s.find_last_not_of(" \t\r\n");
    return s.substr(first, last - first + 1);
}

std::string trim(std::string_view s) {
    return std::string(trimmedView(s));
}

// "a=1&b=2" as pairs, "+" as a space and %XX decoded, as Python's parse_qsl reads it.
HeaderLines formPairs(std::string_view text) {
    HeaderLines pairs;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('&', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view item = text.substr(start, end - start);
        if (!item.empty()) {
            const std::size_t equals = item.find('=');
            pairs.emplace_back(percentDecode(item.substr(0, equals), true),
                               equals == std::string_view::npos
                                   ? std::string()
                                   : percentDecode(item.substr(equals + 1), true));
        }
        start = end + 1;
    }
    return pairs;
}

// A cookie string "a=1; b=2" as items.
HeaderLines cookieItems(std::string_view text) {
    HeaderLines items;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(';', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view item = trimmedView(text.substr(start, end - start));
        if (!item.empty()) {
            const std::size_t equals = item.find('=');
            items.emplace_back(trim(item.substr(0, equals)), equals == std::string_view::npos
                                                                 ? std::string()
                                                                 : trim(item.substr(equals + 1)));
        }
        start = end + 1;
    }
    return items;
}

void putItem(HeaderLines& items, const std::string& name, const std::string& value) {
    for (auto& item : items) {
        if (item.first == name) {
            item.second = value;
            return;
        }
    }
    items.emplace_back(name, value);
}

void removeItem(HeaderLines& items, const std::string& name) {
    items.erase(std::remove_if(items.begin(), items.end(),
                               [&](const auto& item) { return item.first == name; }),
                items.end());
}

// The cookies of the run: what the sites set, by name, in the order first set.
class CookieJar {
public:
    const HeaderLines& items() const { return items_; }

    void take(const HeaderLines& headers) {
        for (const auto& [name, value] : headers) {
            if (lower(name) != "set-cookie") {
                continue;
            }
            const std::size_t semicolon = value.find(';');
            const std::string first = value.substr(0, semicolon);
            const std::size_t equals = first.find('=');
            if (equals == std::string::npos) {
                continue;
            }
            const std::string cookie = trim(first.substr(0, equals));
            const std::string content = trim(first.substr(equals + 1));
            if (cookie.empty() || std::any_of(content.begin(), content.end(), [](char c) {
                    return static_cast<unsigned char>(c) < 0x20;
                })) {
                continue;
            }
            const std::string attributes =
                lower(semicolon == std::string::npos ? std::string() : value.substr(semicolon));
            // A cookie the site deletes: the value "deleted" or a Max-Age of 0 or less.
            const std::size_t maxAge = attributes.find("max-age=");
            const bool expired = content == "deleted" ||
                                 (maxAge != std::string::npos &&
                                  std::strtoll(attributes.c_str() + maxAge + 8, nullptr, 10) <= 0);
            if (expired) {
                removeItem(items_, cookie);
            } else {
                putItem(items_, cookie, content);
            }
        }
    }

private:
    HeaderLines items_;
};

std::string headerText(const HeaderLines& headers) {
    std::string out;
    for (const auto& [name, value] : headers) {
        out += (out.empty() ? "" : "\n") + name + ": " + value;
    }
    return out;
}

std::string headerValue(const HeaderLines& headers, const std::string& name) {
    std::string out;
    bool found = false;
    for (const auto& [key, value] : headers) {
        if (lower(key) == lower(name)) {
            out += (found ? ", " : "") + value;
            found = true;
        }
    }
    return out;
}

std::string fromName(const Source& from) {
    switch (from.kind) {
        case Source::Kind::Content:
            return "content";
        case Source::Kind::Status:
            return "status";
        case Source::Kind::Headers:
            return "header";
        case Source::Kind::Header:
            return "header-" + from.header;
    }
    return {};
}

// Ends a run from deep inside it; Run::run turns it into the result.
struct Stop {
    std::string message;
    std::optional<TransportFailure> failure;
};

[[noreturn]] void stop(std::string message) {
    throw Stop{std::move(message), std::nullopt};
}

std::string renderError(std::size_t number, const std::string& what, const TemplateError& error) {
    return stepName(number) + "的" + what + "算不出来（第 " + std::to_string(error.position) +
           " 个字符）：" + error.message;
}

// One iteration state of a for or while block.
struct LoopFrame {
    std::size_t head = 0;  // the index of the for or while entry
    ValueList items;       // for: the sequence
    std::size_t index = 0;
};

class Run {
public:
    Run(const Flow& flow, const Variables& inputs, FlowTransport& transport, FlowClock& clock,
        const FlowRunOptions& options)
        : flow_(flow), transport_(transport), clock_(clock), options_(options), variables_(inputs) {
        context_ = options.render;
        context_.now = [this] { return clock_.now(); };
        started_ = clock_.now();
    }

    FlowResult run() {
        FlowResult result;
        try {
            execute();
            result.passed = true;
            result.message = "全部 " + std::to_string(stepsRun_) + " 步完成";
        } catch (Stop& stopped) {
            result.passed = false;
            result.message = stopped.message;
            result.failedStep = currentStep_;
            result.transportFailure = std::move(stopped.failure);
            if (!trace_.empty() && trace_.back().number == currentStep_ && !trace_.back().passed) {
                trace_.back().decided = result.message;
            }
        }
        if (const auto log = variables_.find("__log__");
            logSet_ && log != variables_.end() && !log->second.isUndefined()) {
            result.log = log->second.toText();
            if (result.passed) {
                result.message = *result.log;
            }
        }
        result.stepsRun = stepsRun_;
        result.lastUrl = std::move(lastUrl_);
        result.lastStatus = lastStatus_;
        result.lastHeaders = std::move(lastHeaders_);
        result.cookies = jar_.items();
        finishTraced();
        result.trace = std::move(trace_);
        result.variables = std::move(variables_);
        result.lastAnswer = std::move(lastAnswer_);
        return result;
    }

private:
    const Control& controlAt(std::size_t index) const {
        return std::get<Control>(flow_.entries[index].body);
    }
    const std::string& keywordAt(std::size_t index) const {
        return controlAt(index).statement.keyword;
    }

    Value evaluate(std::size_t index) {
        const Control& control = controlAt(index);
        auto value = control.statement.expression->evaluate(variables_, context_);
        if (auto* error = std::get_if<TemplateError>(&value)) {
            stop(renderError(flow_.entries[index].number,
                             "“{% " + control.statement.keyword + " %}”", *error));
        }
        return std::get<Value>(std::move(value));
    }

    void setLoopVariables(std::size_t index, std::optional<std::size_t> length) {
        const auto k = static_cast<std::int64_t>(index);
        const Value count = length ? Value(static_cast<std::int64_t>(*length)) : Value::none();
        const Value last(length.has_value() && index + 1 == *length);
        variables_["loop_index"] = Value(k + 1);
        variables_["loop_index0"] = Value(k);
        variables_["loop_first"] = Value(index == 0);
        variables_["loop_last"] = last;
        variables_["loop_length"] = count;
        variables_["loop"] = Value(ValueMap{{"index", Value(k + 1)},
                                            {"index0", Value(k)},
                                            {"first", Value(index == 0)},
                                            {"last", last},
                                            {"length", count}});
    }

    void restoreLoopVariables() {
        if (loops_.empty()) {
            for (const char* name :
                 {"loop_index", "loop_index0", "loop_first", "loop_last", "loop_length", "loop"}) {
                variables_.erase(name);
            }
            return;
        }
        const LoopFrame& frame = loops_.back();
        const bool isFor = keywordAt(frame.head) == "for";
        setLoopVariables(frame.index, isFor ? std::optional(frame.items.size()) : std::nullopt);
    }

    void bindTargets(std::size_t head, const Value& item) {
        const Statement& statement = controlAt(head).statement;
        if (statement.targets.size() == 1) {
            variables_[statement.targets[0]] = item;
            return;
        }
        const ValueList parts = item.kind() == ValueKind::List ? item.asList() : ValueList{};
        if (parts.size() != statement.targets.size()) {
            stop(stepName(flow_.entries[head].number) + "的循环元素不能拆成 " +
                 std::to_string(statement.targets.size()) + " 个变量");
        }
        for (std::size_t k = 0; k < parts.size(); ++k) {
            variables_[statement.targets[k]] = parts[k];
        }
    }

    // The entry after the branch of an if chain that holds at `index` (an if or elif whose
    // condition is false moves on to its partner).
    std::size_t enterBranch(std::size_t index) {
        while (true) {
            const std::string& word = keywordAt(index);
            if (word == "endif" || word == "else") {
                return index + 1;
            }
            if (evaluate(index).truthy()) {
                return index + 1;
            }
            index = controlAt(index).partner;
        }
    }

    void checkLimits(std::size_t number) {
        if (options_.stop.stop_requested()) {
            throw Stop{"已停止", TransportFailure("已停止", true)};
        }
        if (stepsRun_ >= options_.limits.maxRequests) {
            stop("请求次数超过 " + std::to_string(options_.limits.maxRequests) + "（停在" +
                 stepName(number) + "）");
        }
        if (clock_.now() - started_ > options_.limits.maxDuration) {
            stop("用时超过 " + std::to_string(options_.limits.maxDuration.count()) + " 分钟（停在" +
                 stepName(number) + "）");
        }
    }

    void execute() {
        std::size_t pc = 0;
        std::size_t passes = 0;
        while (pc < flow_.entries.size()) {
            const Entry& entry = flow_.entries[pc];
            currentStep_ = entry.number;
            if (const auto* step = std::get_if<Step>(&entry.body)) {
                checkLimits(entry.number);
                runStep(*step, entry.number);
                ++pc;
                continue;
            }
            if (++passes > options_.limits.maxControlPasses) {
                stop(stepName(entry.number) + "的循环执行了太多次，请检查循环条件");
            }
            if (clock_.now() - started_ > options_.limits.maxDuration) {
                checkLimits(entry.number);
            }
            const Control& control = std::get<Control>(entry.body);
            const std::string& word = control.statement.keyword;
            if (word == "set") {
                const Value value = evaluate(pc);
                variables_[control.statement.targets[0]] = value;
                if (control.statement.targets[0] == "__log__") {
                    logSet_ = true;
                }
                ++pc;
            } else if (word == "if") {
                pc = enterBranch(pc);
            } else if (word == "elif" || word == "else") {
                // The branch before it ran: on past the endif.
                std::size_t end = pc;
                while (keywordAt(end) != "endif") {
                    end = controlAt(end).partner;
                }
                pc = end + 1;
            } else if (word == "endif") {
                ++pc;
            } else if (word == "for") {
                const Value sequence = evaluate(pc);
                ValueList items;
                if (sequence.kind() == ValueKind::List) {
                    items = sequence.asList();
                } else if (sequence.kind() == ValueKind::Map) {
                    for (const auto& member : sequence.asMap()) {
                        items.push_back(Value(member.first));
                    }
                } else if (sequence.kind() == ValueKind::String) {
                    // The characters of the text, as the renderer splits them.
                    static const Expression kCharacters =
                        std::get<Expression>(Expression::compile("s|list"));
                    items =
                        std::get<Value>(kCharacters.evaluate({{"s", sequence}}, context_)).asList();
                } else if (!sequence.isUndefined() && sequence.kind() != ValueKind::None) {
                    stop(stepName(entry.number) + "的“{% for %}”不能逐个取出" + sequence.toText());
                }
                if (items.empty()) {
                    pc = control.partner + 1;
                    continue;
                }
                loops_.push_back(LoopFrame{pc, std::move(items), 0});
                bindTargets(pc, loops_.back().items[0]);
                setLoopVariables(0, loops_.back().items.size());
                ++pc;
            } else if (word == "endfor") {
                LoopFrame& frame = loops_.back();
                if (++frame.index < frame.items.size()) {
                    bindTargets(frame.head, frame.items[frame.index]);
                    setLoopVariables(frame.index, frame.items.size());
                    pc = frame.head + 1;
                } else {
                    loops_.pop_back();
                    restoreLoopVariables();
                    ++pc;
                }
            } else if (word == "while") {
                if (loops_.empty() || loops_.back().head != pc) {
                    loops_.push_back(LoopFrame{pc, {}, 0});
                }
                setLoopVariables(loops_.back().index, std::nullopt);
                if (evaluate(pc).truthy()) {
                    ++pc;
                } else {
                    loops_.pop_back();
                    restoreLoopVariables();
                    pc = control.partner + 1;
                }
            } else if (word == "endwhile") {
                ++loops_.back().index;
                pc = control.partner;
            } else {
                ++pc;
            }
        }
    }

    std::string render(const Template& text, std::size_t number, const std::string& what) {
        auto rendered = text.render(variables_, context_);
        if (auto* error = std::get_if<TemplateError>(&rendered)) {
            stop(renderError(number, what, *error));
        }
        return std::get<std::string>(std::move(rendered));
    }

    void runStep(const Step& step, std::size_t number) {
        FlowRequest request;
        std::string method = render(step.method, number, "请求方法");
        for (char& c : method) {
            if (c >= 'a' && c <= 'z') {
                c = static_cast<char>(c - 'a' + 'A');
            }
        }
        request.method = trim(method).empty() ? "GET" : trim(method);
        request.url = trim(render(step.url, number, "网址"));
        request.body = render(step.data, number, "请求体");
        ++stepsRun_;
        lastUrl_ = request.url;
        FlowResponse response;
        const bool isUtility = request.url.rfind(kUtilityPrefix, 0) == 0;
        if (options_.trace) {
            finishTraced();
            StepTrace& traced = trace_.emplace_back();
            traced.number = number;
            traced.utility = isUtility;
            traced.request = request;
            tracedDone_ = false;
            if (options_.traced) {
                options_.traced(traced, false);
            }
        }
        if (isUtility) {
            response = utility(request, number);
        } else {
            HeaderLines cookies = jar_.items();
            for (const NamedTemplate& cookie : step.cookies) {
                const std::string name = trim(render(cookie.name, number, "Cookie 名"));
                if (!name.empty()) {
                    putItem(cookies, name, render(cookie.value, number, "Cookie“" + name + "”"));
                }
            }
            bool hasContentType = false;
            for (const NamedTemplate& header : step.headers) {
                const std::string name = trim(render(header.name, number, "请求头名"));
                if (name.empty()) {
                    continue;
                }
                const std::string value = render(header.value, number, "请求头“" + name + "”");
                if (lower(name) == "cookie") {
                    for (const auto& [key, item] : cookieItems(value)) {
                        putItem(cookies, key, item);
                    }
                    continue;
                }
                hasContentType = hasContentType || lower(name) == "content-type";
                request.headers.emplace_back(name, value);
            }
            if (!hasContentType && !request.body.empty() && !step.mimeType.empty()) {
                request.headers.emplace_back("Content-Type", step.mimeType);
            }
            if (!cookies.empty()) {
                std::string line;
                for (const auto& [key, value] : cookies) {
                    line.append(line.empty() ? "" : "; ").append(key).append("=").append(value);
                }
                request.headers.emplace_back("Cookie", line);
            }
            if (options_.trace) {
                trace_.back().request = request;
            }
            auto answer = transport_.send(request);
            if (auto* failure = std::get_if<TransportFailure>(&answer)) {
                throw Stop{stepName(number) + "的请求没有得到答复：" + failure->message,
                           std::move(*failure)};
            }
            response = std::get<FlowResponse>(std::move(answer));
            jar_.take(response.headers);
        }
        lastStatus_ = response.status;
        lastHeaders_ = response.headers;
        if (options_.trace) {
            StepTrace& traced = trace_.back();
            traced.response = response;
            if (traced.response->body.size() > kMaxTracedBodyBytes) {
                traced.response->body.resize(kMaxTracedBodyBytes);
                traced.bodyCut = true;
            }
        }
        // The body is the run's last answer from here on: the rules look at it there.
        lastAnswer_ = std::move(response.body);
        response.body.clear();
        for (const Extraction& extraction : step.extractions) {
            extract(extraction, response, number);
        }
        check(step, response, number);
        if (options_.trace) {
            trace_.back().passed = true;
        }
    }

    // The text a rule looks at; the body is not copied, any other text is made in `held`.
    std::string_view sourceText(const Source& from, const FlowResponse& response,
                                std::string& held) const {
        switch (from.kind) {
            case Source::Kind::Content:
                return lastAnswer_ ? std::string_view(*lastAnswer_)
                                   : std::string_view(response.body);
            case Source::Kind::Status:
                held = std::to_string(response.status);
                return held;
            case Source::Kind::Headers:
                held = headerText(response.headers);
                return held;
            case Source::Kind::Header:
                held = headerValue(response.headers, from.header);
                return held;
        }
        return {};
    }

    std::pair<Utf8Regex, RuleRegex> compile(const RulePattern& pattern, std::size_t number,
                                            const std::string& what) {
        if (pattern.regex) {
            return {*pattern.regex, ruleRegex(pattern.text)};
        }
        const RuleRegex regex = ruleRegex(render(pattern.compiled, number, what + "的正则表达式"));
        auto compiled = compileRuleRegex(regex);
        if (auto* error = std::get_if<Utf8RegexError>(&compiled)) {
            // The written text is named, not the rendered one: variables may hold secrets.
            stop(stepName(number) + "的" + what + "的正则表达式代入变量后有误（" + error->message +
                 "）：" + pattern.text);
        }
        return {std::get<Utf8Regex>(std::move(compiled)), regex};
    }

    static Value captured(const Utf8Match& match) {
        if (match.groups.size() > 1) {
            return Value(match.groups[1].value_or(""));
        }
        return Value(match.groups[0].value_or(""));
    }

    void extract(const Extraction& extraction, const FlowResponse& response, std::size_t number) {
        const auto [regex, rule] =
            compile(extraction.pattern, number, "提取变量“" + extraction.name + "”");
        std::string held;
        const std::string_view subject = sourceText(extraction.pattern.from, response, held);
        if (rule.global) {
            const auto matches = regex.findAll(subject);
            if (matches.empty()) {
                return;
            }
            ValueList list;
            for (const Utf8Match& match : matches) {
                list.push_back(captured(match));
            }
            variables_[extraction.name] = Value(std::move(list));
        } else {
            const auto match = regex.search(subject);
            if (!match) {
                return;
            }
            variables_[extraction.name] = captured(*match);
        }
        if (extraction.name == "__log__") {
            logSet_ = true;
        }
        if (options_.trace) {
            trace_.back().set.emplace_back(extraction.name, variables_[extraction.name]);
        }
    }

    void check(const Step& step, const FlowResponse& response, std::size_t number) {
        for (const RulePattern& failed : step.failedAsserts) {
            const auto [regex, rule] = compile(failed, number, "失败条件");
            std::string held;
            if (regex.search(sourceText(failed.from, response, held))) {
                stop(stepName(number) + "失败：答复符合失败条件“" + failed.text + "”（" +
                     fromName(failed.from) + "）");
            }
        }
        if (step.successAsserts.empty()) {
            return;
        }
        std::string tried;
        for (const RulePattern& success : step.successAsserts) {
            const auto [regex, rule] = compile(success, number, "成功条件");
            std::string held;
            if (regex.search(sourceText(success.from, response, held))) {
                if (options_.trace) {
                    trace_.back().decided =
                        "符合成功条件“" + success.text + "”（" + fromName(success.from) + "）";
                }
                return;
            }
            tried += (tried.empty() ? "“" : "、“") + success.text + "”（" + fromName(success.from) +
                     "）";
        }
        stop(stepName(number) + "失败：答复不符合成功条件" + tried);
    }

    // ----- The local utilities -----

    HeaderLines parameters(const FlowRequest& request) const {
        HeaderLines pairs;
        const std::size_t question = request.url.find('?');
        if (question != std::string::npos) {
            pairs = formPairs(std::string_view(request.url).substr(question + 1));
        }
        for (auto& pair : formPairs(request.body)) {
            putItem(pairs, pair.first, pair.second);
        }
        return pairs;
    }

    static std::string parameter(const HeaderLines& pairs, const std::string& name,
                                 std::string fallback = {}) {
        for (const auto& [key, value] : pairs) {
            if (key == name) {
                return value;
            }
        }
        return fallback;
    }

    static bool flag(const HeaderLines& pairs, const std::string& name) {
        const std::string v = lower(parameter(pairs, name));
        return v == "true" || v == "1" || v == "yes" || v == "on";
    }

    static std::string answerJson(ValueMap members) {
        JsonStyle style;
        style.indent = 4;
        style.asciiOnly = false;
        return writeJson(Value(std::move(members)), style);
    }

    FlowResponse utility(const FlowRequest& request, std::size_t number) {
        FlowResponse response;
        response.status = 200;
        response.headers.emplace_back("Content-Type", "application/json; charset=utf-8");
        const std::string url = request.url;
        const std::string path =
            url.substr(std::string_view(kUtilityPrefix).size(),
                       url.find('?') == std::string::npos
                           ? std::string::npos
                           : url.find('?') - std::string_view(kUtilityPrefix).size());
        const HeaderLines pairs = parameters(request);
        if (path == "unicode") {
            std::string content = decodeUnicodeEscapes(parameter(pairs, "content"));
            if (flag(pairs, "html_unescape")) {
                content = htmlUnescape(content);
            }
            response.body = answerJson({{"转换后", Value(content)}, {"状态", Value("200")}});
        } else if (path == "urldecode") {
            std::string content =
                percentDecode(parameter(pairs, "content"), flag(pairs, "unquote_plus"));
            const std::string encoding = lower(parameter(pairs, "encoding", "utf-8"));
            if (encoding != "utf-8" && encoding != "utf8") {
                content = transcodeBytes(content, encoding, "UTF-8");
                // The conversion writes a byte order mark first; the answer holds the text alone.
                if (content.rfind("\xEF\xBB\xBF", 0) == 0) {
                    content.erase(0, 3);
                }
            }
            response.body = answerJson({{"转换后", Value(content)}, {"状态", Value("200")}});
        } else if (path == "gb2312") {
            const Bytes bytes = transcodeBytes(parameter(pairs, "content"), "UTF-8", "GB2312");
            response.body =
                answerJson({{"转换后", Value(percentEncode(bytes, "/"))}, {"状态", Value("200")}});
        } else if (path == "regex") {
            Utf8RegexFlags flags;
            flags.ignoreCase = true;
            auto compiled = Utf8Regex::compile(parameter(pairs, "p"), flags);
            if (auto* error = std::get_if<Utf8RegexError>(&compiled)) {
                stop(stepName(number) + "的 api://util/regex 正则表达式有误（第 " +
                     std::to_string(error->position) + " 个字符：" + error->message + "）");
            }
            ValueMap found;
            std::size_t k = 0;
            for (const Utf8Match& match :
                 std::get<Utf8Regex>(compiled).findAll(parameter(pairs, "data"))) {
                Value item;
                if (match.groups.size() > 2) {
                    ValueList groups;
                    for (std::size_t g = 1; g < match.groups.size(); ++g) {
                        groups.push_back(Value(match.groups[g].value_or("")));
                    }
                    item = Value(std::move(groups));
                } else {
                    item = captured(match);
                }
                found.emplace_back(std::to_string(++k), std::move(item));
            }
            response.body = answerJson({{"数据", Value(std::move(found))}, {"状态", Value("OK")}});
        } else if (path == "string/replace") {
            const std::string s = parameter(pairs, "s");
            auto compiled = Utf8Regex::compile(parameter(pairs, "p"));
            if (auto* error = std::get_if<Utf8RegexError>(&compiled)) {
                stop(stepName(number) + "的 api://util/string/replace 正则表达式有误（第 " +
                     std::to_string(error->position) + " 个字符：" + error->message + "）");
            }
            const std::string replaced =
                std::get<Utf8Regex>(compiled).substitute(s, parameter(pairs, "t"));
            if (parameter(pairs, "r") == "text") {
                response.headers = {{"Content-Type", "text/html; charset=utf-8"}};
                response.body = htmlEscape(replaced);
            } else {
                response.body = answerJson({{"原始字符串", Value(s)},
                                            {"处理后字符串", Value(replaced)},
                                            {"状态", Value("OK")}});
            }
        } else if (path == "delay" || path.rfind("delay/", 0) == 0) {
            const std::string given =
                path == "delay" ? parameter(pairs, "seconds") : path.substr(6);
            char* end = nullptr;
            const double seconds = std::strtod(given.c_str(), &end);
            if (given.empty() || end != given.c_str() + given.size() || !std::isfinite(seconds) ||
                seconds < 0) {
                stop(stepName(number) + "的等待时间“" + given + "”不是秒数");
            }
            const double capped =
                std::min(seconds, static_cast<double>(options_.limits.maxDelay.count()));
            clock_.wait(std::chrono::milliseconds(static_cast<std::int64_t>(capped * 1000)));
            response.headers = {{"Content-Type", "text/html; charset=utf-8"}};
            response.body = "delay " + (capped == seconds ? given : floatText(capped)) + " second.";
        } else if (path == "timestamp") {
            const auto seconds =
                std::chrono::duration_cast<std::chrono::seconds>(clock_.now().time_since_epoch())
                    .count();
            static const char* const kWeekdays[] = {"星期日", "星期一", "星期二", "星期三",
                                                    "星期四", "星期五", "星期六"};
            auto when =
                Expression::compile("date_time('%Y-%m-%d %H:%M:%S') ~ '|' ~ date_time('%w')");
            auto text = std::get<Value>(std::get<Expression>(when).evaluate({}, context_)).toText();
            const std::size_t bar = text.find('|');
            const int weekday = std::clamp(std::atoi(text.c_str() + bar + 1), 0, 6);
            response.body = answerJson({{"状态", Value("200")},
                                        {"时间戳", Value(static_cast<std::int64_t>(seconds))},
                                        {"周", Value(kWeekdays[weekday])},
                                        {"日期", Value(text.substr(0, bar))}});
        } else {
            stop(stepName(number) + "要用本地接口（" + url + "），Vesprey 还不支持");
        }
        return response;
    }

    const Flow& flow_;
    FlowTransport& transport_;
    FlowClock& clock_;
    const FlowRunOptions& options_;
    Variables variables_;
    RenderContext context_;
    std::chrono::system_clock::time_point started_;
    std::vector<LoopFrame> loops_;
    CookieJar jar_;
    std::size_t stepsRun_ = 0;
    std::size_t currentStep_ = 0;  // the entry under way
    std::optional<std::string> lastAnswer_;
    std::string lastUrl_;
    int lastStatus_ = 0;
    HeaderLines lastHeaders_;
    // Tells the traced callback that the last traced step is over, once.
    void finishTraced() {
        if (options_.traced && !trace_.empty() && !tracedDone_) {
            options_.traced(trace_.back(), true);
        }
        tracedDone_ = true;
    }

    std::vector<StepTrace> trace_;
    bool tracedDone_ = true;  // the last traced step has been told as over
    bool logSet_ = false;
};

}  // namespace

FlowResult runFlow(const Flow& flow, const Variables& inputs, FlowTransport& transport,
                   FlowClock& clock, const FlowRunOptions& options) {
    return Run(flow, inputs, transport, clock, options).run();
}

CoreFlowOutcome coreOutcome(const FlowResult& result) {
    return CoreFlowOutcome{result.passed, utf8ToAnsi(result.message), result.stepsRun};
}

}  // namespace vesprey::flow
