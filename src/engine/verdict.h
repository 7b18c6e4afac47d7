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

// How many accounts got each verdict, indexed by Verdict.
using VerdictCounts = std::array<int, kVerdictCount>;

// "成功 12 · 已签 3 · 失效 1 · 失败 0" (code page 936), and " · 未知 N" when there are some.
Text verdictCountsText(const VerdictCounts& counts);

}  // namespace vesprey
