// An account of a multi-step template in a pass or a trial: its flow, its inputs, whether it is
// ready, and one run of it over the network with everything a pass makes of it (the result, the
// verdict's outcome, the merged cookie).
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "engine/flow/flow.h"
#include "engine/flow/runner.h"
#include "engine/verdict.h"
#include "model/site.h"
#include "text/text.h"
#include "web/answer_budget.h"

namespace vesprey {

class MessageSink;

// The flow of a template and the values one account gives it.
struct FlowAccount {
    // Shared by the accounts of a template; null when its stored steps could not be read.
    std::shared_ptr<const flow::Flow> flow;
    Text unreadable;  // why not (code page 936), when flow is null
    // The account's inputs by name, UTF-8 (the cookie is the account's WebCookie.Cookie).
    std::map<std::string, std::string> inputs;
};

// The inputs the flow reads that the account has no value for, in the flow's order: "cookie"
// when the flow uses it and `hasCookie` is false, and every other input not set or empty.
std::vector<std::string> missingInputs(const flow::Flow& flow,
                                       const std::map<std::string, std::string>& inputs,
                                       bool hasCookie);

// Every input the template reads: its sign-in part's, then those only its login part reads.
std::vector<std::string> templateInputs(const flow::Flow& flow);
// Whether only the login part reads the input.
bool loginOnlyInput(const flow::Flow& flow, std::string_view name);

// Whether an input holds a password, shown only as "******": its name (without regard to case)
// has password, passwd, pwd, pass, secret, pin or otp in it.
bool isPasswordLike(std::string_view name);
// A variable's value as a trial or a listing shows it (UTF-8): "******" for a password-like
// name; for the cookie, a token (a name with token, key, auth, session, sid, csrf, ticket or
// sign in it) or any value of more than 24 characters, its first 6 characters, "…" and its
// length ("abc123…（40 字）"); any other value as it is.
std::string shownValue(std::string_view name, std::string_view value);
// The address with the values of its query's password-like and token parameters shown the same.
std::string shownUrl(std::string_view url);

// How the run's requests go.
struct FlowRunSettings {
    bool strictTls = false;
    long requestDeadlineMs = 0;  // each request's bound; 0: the default
    std::stop_token stop;
    std::shared_ptr<AnswerBudget> answerBudget;
    std::string proxy;   // a proxy address (web/proxy.h) the run's requests go through; empty: none
    bool trace = false;  // keep each step's trace (FlowResult::trace)
    // With `trace`: each step as it begins and once it is over (FlowRunOptions::traced).
    std::function<void(const flow::StepTrace& step, bool done)> traced;
    // The time the templates see (totp(), timestamp(), date_time()); empty: the system clock.
    std::function<std::chrono::system_clock::time_point()> now;
};

// What one run of an account's flow gave.
struct FlowAccountRun {
    flow::FlowResult result;
    FlowOutcome outcome;  // what decideFlowVerdict reads
    // The list's 返回内容 (at most kMaxResultCharacters): __log__ when a step set it, else the last
    // answer through the template's binding statement when it has one, else "全部 N 步完成"; for
    // a run that failed, why.
    Text listText;
    // The account's cookie merged with the cookies the sites set during the run, when the flow
    // reads "cookie"; otherwise the account's cookie as it was.
    Text cookie;
    long long ms = 0;      // the whole run's time
    bool stopped = false;  // the pass's stop ended it
};

// Runs the account's flow: its inputs and its cookie ("cookie", as UTF-8) are the flow's values.
// The binding statement's messages go to `messages`.
FlowAccountRun runFlowAccount(const SiteTemplate& site, const FlowAccount& account,
                              const FlowRunSettings& settings, MessageSink& messages);

// Whether the account can sign in again by itself: its template has a login part and every
// input that part reads, the cookie aside, has a value.
bool canLogIn(const FlowAccount& account);

// What one run of an account's login part gave.
struct FlowLoginRun {
    bool passed = false;
    bool stopped = false;  // the pass's stop ended it
    // Failed: why, as the runner says it ("第 1 步失败：…"), with the values of the account's
    // password-like inputs hidden (code page 936).
    Text message;
    // Passed: the account's cookie with the cookies the login's sites set merged over it.
    Text cookie;
    std::size_t steps = 0;
    long long ms = 0;
};

// Runs the account's login part with its inputs and its cookie. A run that passes but that no
// site set a cookie in fails: there is nothing to sign in with.
FlowLoginRun runFlowLogin(const SiteTemplate& site, const FlowAccount& account,
                          const FlowRunSettings& settings);

// `text` with every value of the inputs whose names are password-like (isPasswordLike) put as
// "******".
std::string hideSecrets(std::string text, const std::map<std::string, std::string>& inputs);

}  // namespace vesprey
