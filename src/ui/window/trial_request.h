// The trial request ("调试") of the template editor and of the modify window: the account's request
// sent and evaluated as a sign-in pass would (requestAccount), the text the result box then shows
// and the verdict a pass would give. Runs on the window thread and blocks it for the length of the
// request (at most the web client's time-outs), under a busy cursor. A multi-step template is
// tried beside the window instead (ui/window/flow_trial.h).
#pragma once

#include <QString>
#include <optional>
#include <string_view>

#include "engine/account_request.h"
#include "engine/verdict.h"
#include "model/site.h"
#include "text/text.h"

class QLabel;
class QPlainTextEdit;

namespace vesprey {
class MessageSink;
}

namespace vesprey::ui {

struct TrialSetup {
    Text url;            // 签到链接
    bool get = true;     // "GET" checked; otherwise the request is a POST
    int conversion = 0;  // selected item of 编码转换 (-1 for none)
    bool json = true;    // "JSON" checked
    bool regex = false;  // "正则表达式" checked
    Text tying;          // 绑定语句
    Text login;          // 登录链接: a redirect there means the cookie has expired
    VerdictRules rules;  // the template's own verdict rules
};

struct TrialOutcome {
    Text shown;              // what the result box shows
    AccountVerdict verdict;  // what a pass would make of the answer
    // The answer as received (the body before any conversion), kept for a later change of
    // 编码转换; nothing when the request did not go out.
    std::optional<AccountAnswer> answer;
    // "答复像是 UTF-8 编码…" for a UTF-8 answer taken with 编码转换 at 默认.
    std::optional<Text> encodingHint;
};

// "判定：成功（内置：成功）": the verdict and, in brackets, the rule that decided.
QString trialVerdictText(const AccountVerdict& verdict);
// Shows that text in `label` beside the trial's button, cut short with "…" where it is wider
// than the label; the whole text is the label's tooltip. Nothing (no verdict) empties both.
void showTrialVerdict(QLabel* label, const std::optional<AccountVerdict>& verdict);

// Sends the request and returns what the result box shows and the verdict. `cookie` is sent and
// receives the cookie merged with what the site set. When `headers` is not empty it is sent with
// `body` and receives the header text completed with the default headers; otherwise the desktop
// User-Agent line is sent instead, with `body` for a POST and no body for a GET. The evaluation's
// messages go to `messages`, and so does the notice of a verdict rule that does not compile.
TrialOutcome runTrial(const TrialSetup& setup, Text& cookie, Text& headers, std::string_view body,
                      MessageSink& messages);

// The answer of an earlier trial converted and evaluated again as `setup` now asks (the user chose
// another 编码转换): the same outcome the trial would have given, without a new request.
TrialOutcome reevaluateTrial(const TrialSetup& setup, const AccountAnswer& answer,
                             MessageSink& messages);

// Shows the encoding hint in `label`, or hides the label when there is none.
void showEncodingHint(QLabel* label, const std::optional<Text>& hint);

// What a trial window shows of its last trial (the result box, the verdict, the encoding hint),
// and the answer kept for a later change of 编码转换.
class TrialDisplay {
public:
    TrialDisplay(QPlainTextEdit* result, QLabel* verdict, QLabel* hint)
        : result_(result), verdict_(verdict), hint_(hint) {}

    void show(const TrialOutcome& outcome);
    // Empties the verdict and the hint and forgets the answer; the result box stays.
    void clear();
    // The last trial's answer while the result box still shows what came of it; null before any
    // trial, after one that sent nothing, and once the user has edited the box.
    const AccountAnswer* answerShown() const;

private:
    QPlainTextEdit* result_;
    QLabel* verdict_;
    QLabel* hint_;
    std::optional<AccountAnswer> answer_;
    Text shown_;
};

}  // namespace vesprey::ui
