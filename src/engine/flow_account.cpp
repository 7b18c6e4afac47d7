#include "engine/flow_account.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <initializer_list>
#include <mutex>

#include "engine/account_request.h"
#include "engine/evaluation.h"
#include "engine/flow/web_transport.h"
#include "text/gbk_text.h"
#include "web/cookies.h"

namespace vesprey {
namespace {

// The system clock (or the one the settings give), whose waits (the delay utility's) end at once
// when the pass is stopped.
class StoppableClock final : public flow::FlowClock {
public:
    StoppableClock(std::stop_token stop, std::function<std::chrono::system_clock::time_point()> now)
        : stop_(std::move(stop)), now_(std::move(now)) {}
    std::chrono::system_clock::time_point now() override {
        return now_ ? now_() : std::chrono::system_clock::now();
    }
    void wait(std::chrono::milliseconds duration) override {
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, stop_, duration, [] { return false; });
    }

private:
    std::stop_token stop_;
    std::function<std::chrono::system_clock::time_point()> now_;
    std::mutex mutex_;
    std::condition_variable_any wake_;
};

std::string headerValue(const flow::HeaderLines& headers, std::string_view name) {
    for (const auto& [key, value] : headers) {
        if (key.size() == name.size() &&
            std::equal(key.begin(), key.end(), name.begin(),
                       [](char a, char b) { return gbk::asciiLower(a) == gbk::asciiLower(b); })) {
            return value;
        }
    }
    return {};
}

}  // namespace

namespace {

std::string lowerAscii(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), gbk::asciiLower);
    return out;
}

bool hasAny(std::string_view name, std::initializer_list<std::string_view> words) {
    const std::string lowered = lowerAscii(name);
    return std::any_of(words.begin(), words.end(), [&](std::string_view word) {
        return lowered.find(word) != std::string::npos;
    });
}

// The number of characters of UTF-8 text, and the bytes of its first `count` characters.
std::pair<std::size_t, std::size_t> utf8Count(std::string_view text, std::size_t count) {
    std::size_t characters = 0;
    std::size_t prefix = text.size();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (characters == count) {
                prefix = i;
            }
            ++characters;
        }
    }
    return {characters, prefix};
}

// Runs one part of a template with the account's inputs and cookie; `ms` receives its time.
flow::FlowResult runPart(const flow::Flow& part, const SiteTemplate& site,
                         const FlowAccount& account, const FlowRunSettings& settings,
                         long long& ms) {
    flow::Variables values;
    for (const auto& [name, value] : account.inputs) {
        values[name] = flow::Value(value);
    }
    values["cookie"] = flow::Value(ansiToUtf8(site.Cookie));

    flow::WebTransportSettings transportSettings;
    transportSettings.verifyTls = settings.strictTls;
    transportSettings.requestDeadlineMs = settings.requestDeadlineMs;
    transportSettings.stop = settings.stop;
    transportSettings.answerBudget = settings.answerBudget;
    transportSettings.proxy = settings.proxy;
    flow::WebFlowTransport transport(transportSettings);
    StoppableClock clock(settings.stop, settings.now);
    flow::FlowRunOptions options;
    options.trace = settings.trace;
    options.traced = settings.traced;
    options.stop = settings.stop;

    const auto began = std::chrono::steady_clock::now();
    flow::FlowResult result = flow::runFlow(part, values, transport, clock, options);
    ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               began)
             .count();
    return result;
}

}  // namespace

bool isPasswordLike(std::string_view name) {
    return hasAny(name, {"password", "passwd", "pwd", "pass", "secret", "pin", "otp"});
}

std::string shownValue(std::string_view name, std::string_view value) {
    if (isPasswordLike(name)) {
        return "******";
    }
    const auto [characters, prefix] = utf8Count(value, 6);
    const bool token =
        lowerAscii(name) == "cookie" ||
        hasAny(name, {"token", "key", "auth", "session", "sid", "csrf", "ticket", "sign"});
    if ((token && characters > 6) || characters > 24) {
        return std::string(value.substr(0, prefix)) + "…（" + std::to_string(characters) + " 字）";
    }
    return std::string(value);
}

std::string shownUrl(std::string_view url) {
    const std::size_t question = url.find('?');
    if (question == std::string_view::npos) {
        return std::string(url);
    }
    const std::size_t hash = url.find('#', question);
    const std::string_view query =
        url.substr(question + 1,
                   hash == std::string_view::npos ? std::string_view::npos : hash - question - 1);
    std::string out(url.substr(0, question + 1));
    std::size_t start = 0;
    while (start <= query.size()) {
        std::size_t end = query.find('&', start);
        if (end == std::string_view::npos) {
            end = query.size();
        }
        const std::string_view item = query.substr(start, end - start);
        const std::size_t equals = item.find('=');
        if (start > 0) {
            out += '&';
        }
        if (equals == std::string_view::npos) {
            out += item;
        } else {
            const std::string_view key = item.substr(0, equals);
            out += std::string(key) + "=" + shownValue(key, item.substr(equals + 1));
        }
        start = end + 1;
    }
    if (hash != std::string_view::npos) {
        out += url.substr(hash);
    }
    return out;
}

std::vector<std::string> missingInputs(const flow::Flow& flow,
                                       const std::map<std::string, std::string>& inputs,
                                       bool hasCookie) {
    std::vector<std::string> missing;
    for (const std::string& name : flow.inputs) {
        if (name == "cookie") {
            if (!hasCookie) {
                missing.push_back(name);
            }
            continue;
        }
        const auto given = inputs.find(name);
        if (given == inputs.end() || given->second.empty()) {
            missing.push_back(name);
        }
    }
    return missing;
}

FlowAccountRun runFlowAccount(const SiteTemplate& site, const FlowAccount& account,
                              const FlowRunSettings& settings, MessageSink& messages) {
    FlowAccountRun run;
    run.cookie = site.Cookie;
    if (!account.flow) {
        run.outcome.message = account.unreadable;
        run.listText = account.unreadable;
        return run;
    }
    run.result = runPart(*account.flow, site, account, settings, run.ms);
    const flow::FlowResult& result = run.result;
    run.stopped = result.transportFailure && result.transportFailure->stopped;

    FlowOutcome& outcome = run.outcome;
    outcome.passed = result.passed;
    outcome.answered = !result.transportFailure;
    outcome.message = utf8ToAnsi(result.message);
    outcome.steps = result.stepsRun;
    outcome.lastAnswer = utf8ToAnsi(result.lastAnswer.value_or(std::string()));
    outcome.lastStatus = result.lastStatus;
    outcome.location = headerValue(result.lastHeaders, "Location");
    outcome.lastUrl = result.lastUrl;
    if (!result.passed) {
        outcome.result = outcome.message;
    } else if (result.log) {
        outcome.result = utf8ToAnsi(*result.log);
    } else if (!site.Tying.empty() && result.lastAnswer) {
        outcome.result = site.Rtype == AnswerType::Json
                             ? evaluateJson(outcome.lastAnswer, site.Tying)
                             : evaluateRegex(outcome.lastAnswer, site.Tying, messages);
    }
    if (outcome.result.empty()) {
        outcome.result = outcome.message;
    }
    run.listText = gbk::shortened(outcome.result, kMaxResultCharacters);

    // The cookies set go into the account's cookie only when the flow reads it: a login's session
    // cookie is of no use to a template that logs in anew each time.
    const bool readsCookie = std::find(account.flow->inputs.begin(), account.flow->inputs.end(),
                                       "cookie") != account.flow->inputs.end();
    if (readsCookie && !result.cookies.empty()) {
        std::string set;
        for (const auto& [name, value] : result.cookies) {
            set += (set.empty() ? "" : "; ") + name + "=" + value;
        }
        Text returned = utf8ToAnsi(set);
        mergeCookieStrings(run.cookie, returned);
    }
    return run;
}

std::vector<std::string> templateInputs(const flow::Flow& flow) {
    std::vector<std::string> names = flow.inputs;
    if (flow.login) {
        for (const std::string& name : flow.login->inputs) {
            if (std::find(names.begin(), names.end(), name) == names.end()) {
                names.push_back(name);
            }
        }
    }
    return names;
}

bool loginOnlyInput(const flow::Flow& flow, std::string_view name) {
    return flow.login &&
           std::find(flow.inputs.begin(), flow.inputs.end(), name) == flow.inputs.end() &&
           std::find(flow.login->inputs.begin(), flow.login->inputs.end(), name) !=
               flow.login->inputs.end();
}

bool canLogIn(const FlowAccount& account) {
    return account.flow && account.flow->login &&
           missingInputs(*account.flow->login, account.inputs, true).empty();
}

std::string hideSecrets(std::string text, const std::map<std::string, std::string>& inputs) {
    for (const auto& [name, value] : inputs) {
        if (value.empty() || !isPasswordLike(name)) {
            continue;
        }
        for (std::size_t at = text.find(value); at != std::string::npos;
             at = text.find(value, at + 6)) {
            text.replace(at, value.size(), "******");
        }
    }
    return text;
}

FlowLoginRun runFlowLogin(const SiteTemplate& site, const FlowAccount& account,
                          const FlowRunSettings& settings) {
    FlowLoginRun run;
    if (!account.flow || !account.flow->login) {
        run.message = utf8ToAnsi("模板没有登录步骤");
        return run;
    }
    const flow::FlowResult result = runPart(*account.flow->login, site, account, settings, run.ms);
    run.stopped = result.transportFailure && result.transportFailure->stopped;
    run.steps = result.stepsRun;
    if (!result.passed) {
        run.message = utf8ToAnsi(hideSecrets(result.message, account.inputs));
        return run;
    }
    if (result.cookies.empty()) {
        run.message = utf8ToAnsi("登录步骤走完了，但网站没有设置 Cookie，请检查登录步骤");
        return run;
    }
    std::string set;
    for (const auto& [name, value] : result.cookies) {
        set += (set.empty() ? "" : "; ") + name + "=" + value;
    }
    run.cookie = site.Cookie;
    Text returned = utf8ToAnsi(set);
    mergeCookieStrings(run.cookie, returned);
    run.passed = true;
    return run;
}

}  // namespace vesprey
