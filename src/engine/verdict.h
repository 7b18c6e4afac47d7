// What a pass made of one account: signed in, already signed in, cookie expired, failed, unknown
// or skipped, and which rule said so. Decided from the request's outcome in a fixed order, first
// match wins:
//   1. not requested: skipped;
//   2. no answer: failed, the transport error in words;
//   3. HTTP 401 or 403: expired;
//   4. redirected to the template's login page, or to a path with login, signin or passport in it:
//      expired;
//   5. the template's own rules, then 6. the built-in ones, each in the order expired, already,
//      success: a case-insensitive regular expression searched in the result text, then in the
//      whole (converted) answer;
//   7. HTTP status 500 and above: failed;
//   8. otherwise unknown.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "engine/account_request.h"
#include "model/site.h"
#include "text/text.h"

namespace vesprey {

class MessageSink;

enum class Verdict { Success, Already, Expired, Failed, Unknown, Skipped };
inline constexpr std::size_t kVerdictCount = 6;

// "success", "already", "expired", "failed", "unknown", "skipped".
std::string_view verdictName(Verdict verdict);
// "成功", "已签到", "Cookie失效", "失败", "未知", "跳过" (code page 936).
const Text& verdictCaption(Verdict verdict);

struct AccountVerdict {
    Verdict verdict = Verdict::Unknown;
    // Which rule decided, for the user: "HTTP 401", "规则：失效判定", "内置：已签到", the
    // transport error...; empty when nothing did (unknown, skipped).
    Text reason;
    bool needsAttention() const {
        return verdict == Verdict::Expired || verdict == Verdict::Failed;
    }
};

// The verdict of a requested account. `loginLink` is the template's login page. A rule that does
// not compile is left out; `messages` is told once per such rule.
AccountVerdict decideVerdict(const AccountAnswer& outcome, std::string_view loginLink,
                             const VerdictRules& rules, MessageSink& messages);

// What a run of a multi-step template gives its verdict; texts in code page 936.
struct FlowOutcome {
    bool passed = false;    // every step passed
    bool answered = true;   // false: the run ended because a request got no answer
    Text message;           // why it failed (naming the step and what decided)
    Text result;            // the row's result (a passed run)
    std::size_t steps = 0;  // the steps run
    Text lastAnswer;        // the last answer's body
    int lastStatus = 0;     // its status, 0 without one
    std::string location;   // its Location header
    std::string lastUrl;    // the address the last request went to
};

// The verdict of a multi-step run, first match wins:
//   1. no answer: failed, the step's sentence;
//   2. a step did not pass: expired when its answer was HTTP 401 or 403, a redirect to the login
//      page (as decideVerdict tells one), or matches the template's or the built-in expired rule
//      (the reason names the rule, then the step); else failed with the step's sentence;
//   3. every step passed: the template's own rules on the result, then the built-in expired and
//      already rules on it; else success ("全部 N 步通过").
AccountVerdict decideFlowVerdict(const FlowOutcome& outcome, std::string_view loginLink,
                                 const VerdictRules& rules, MessageSink& messages);

// How many accounts got each verdict, indexed by Verdict.
using VerdictCounts = std::array<int, kVerdictCount>;

// "成功 12 · 已签 3 · 失效 1 · 失败 0" (code page 936), and " · 未知 N" when there are some.
Text verdictCountsText(const VerdictCounts& counts);

}  // namespace vesprey
