// The runner of a flow (engine/flow/flow.h): one account's run of a multi-step template, step by
// step, over a transport the caller provides, with the control entries, the checks and
// extractions of every step, one cookie jar for the run, the local utilities (api://util/...) and
// the limits of a run.
//
// Everything here is UTF-8 (engine/flow/value.h) except what coreOutcome hands to the rest of
// the core, which is code page 936.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "engine/flow/flow.h"
#include "engine/flow/render.h"
#include "text/text.h"

namespace vesprey::flow {

using HeaderLines = std::vector<std::pair<std::string, std::string>>;

struct FlowRequest {
    std::string method;  // upper case
    std::string url;
    HeaderLines headers;  // in order; the cookies of the run are in one "Cookie" line
    std::string body;
};

// An answer as the transport got it: the body already decoded (content encoding and charset) to
// UTF-8 text.
struct FlowResponse {
    FlowResponse() = default;
    FlowResponse(int code, HeaderLines lines, std::string text)
        : status(code), headers(std::move(lines)), body(std::move(text)) {}

    int status = 0;
    HeaderLines headers;
    std::string body;
    long long elapsedMs = 0;  // from sending the request to the answer's last byte
    // What the transport noticed about the body's encoding, for the user (a UTF-8 sentence, e.g.
    // "答复按 GBK 解码"); empty when there is nothing to say.
    std::string encodingNote{};
};

// Why a request got no answer (time-out, refused connection, bad certificate...), in Chinese.
struct TransportFailure {
    TransportFailure() = default;
    explicit TransportFailure(std::string why, bool cut = false, bool unanswered = false)
        : message(std::move(why)), stopped(cut), noAnswer(unanswered) {}

    std::string message;
    bool stopped = false;   // the run's stop was requested: the request was cut off
    bool noAnswer = false;  // nothing came back at all: no name, no connection, time-out
};

// Sends one request and returns its answer. It follows no redirect: a 302 is the answer.
class FlowTransport {
public:
    virtual ~FlowTransport() = default;
    virtual std::variant<FlowResponse, TransportFailure> send(const FlowRequest& request) = 0;
};

// The time of a run and its waiting, so that tests neither wait nor depend on the hour.
class FlowClock {
public:
    virtual ~FlowClock() = default;
    virtual std::chrono::system_clock::time_point now() = 0;
    virtual void wait(std::chrono::milliseconds duration) = 0;
};

// The system clock; waiting sleeps.
class SystemFlowClock final : public FlowClock {
public:
    std::chrono::system_clock::time_point now() override;
    void wait(std::chrono::milliseconds duration) override;
};

struct FlowLimits {
    std::size_t maxRequests = 500;  // steps run, the local utilities' included
    std::chrono::minutes maxDuration{15};
    std::chrono::seconds maxDelay{60};  // one delay utility waits at most this long
    // Control entries passed (loop heads and ends included) before a run is stopped as looping.
    std::size_t maxControlPasses = 100'000;
};

struct StepTrace;

struct FlowRunOptions {
    FlowLimits limits;
    // The random source and time zone of the templates; their clock is the run's FlowClock.
    RenderContext render = systemRenderContext();
    // Keep a StepTrace of every step run (FlowResult::trace), for a trial that shows them.
    bool trace = false;
    // With `trace`: told, on the run's thread, of each traced step as it begins (`done` false: its
    // request only) and once it is over (`done` true: its answer, what decided, what it set), so
    // that a trial shows the steps while the run goes on.
    std::function<void(const StepTrace& step, bool done)> traced;
    // Once requested, the run ends before its next step ("已停止"), as a failure marked stopped.
    std::stop_token stop;
};

// What one step of a traced run did.
struct StepTrace {
    std::size_t number = 0;  // the step number, from 1
    FlowRequest request;     // as rendered and sent (a local utility's too)
    bool utility = false;    // answered by Vesprey itself (api://util/...)
    // The answer; its body cut at kMaxTracedBodyBytes. Nothing when none came.
    std::optional<FlowResponse> response;
    bool bodyCut = false;
    // What decided: the assert that failed or matched, or why the step ended the run; empty for a
    // step without asserts that went through.
    std::string decided;
    bool passed = false;
    // The variables the step's extractions set, in order.
    std::vector<std::pair<std::string, Value>> set;
};
inline constexpr std::size_t kMaxTracedBodyBytes = 256 * 1024;

struct FlowResult {
    bool passed = false;
    // Passed: __log__ when a step set it, else "全部 N 步完成". Failed: the sentence naming the
    // step and what decided.
    std::string message;
    std::optional<std::string> log;  // __log__ when a step or a set gave it a value
    std::size_t stepsRun = 0;
    // The step that ended a failed run (0 for a passed one).
    std::size_t failedStep = 0;
    // The failed run ended because a request got no answer: why.
    std::optional<TransportFailure> transportFailure;
    // The address of the last request sent (a local utility's too), and the status and header
    // lines of the last answer (0 and none before one came).
    std::string lastUrl;
    int lastStatus = 0;
    HeaderLines lastHeaders;
    // The cookies the sites set during the run, by name in the order first set (deleted ones
    // left out).
    HeaderLines cookies;
    std::vector<StepTrace> trace;  // FlowRunOptions::trace
    // The variables at the end of the run (inputs, extractions, sets).
    Variables variables;
    // The body of the last answer, when a step ran.
    std::optional<std::string> lastAnswer;
};

// Runs `flow` with the user's values `inputs` (cookie, username, ...).
FlowResult runFlow(const Flow& flow, const Variables& inputs, FlowTransport& transport,
                   FlowClock& clock, const FlowRunOptions& options = {});

// A run's result as the rest of the core keeps it: the message in code page 936 (characters it
// lacks become "?").
struct CoreFlowOutcome {
    bool passed = false;
    Text message;
    std::size_t stepsRun = 0;
};
CoreFlowOutcome coreOutcome(const FlowResult& result);

}  // namespace vesprey::flow
