#include "ui/window/trial_request.h"

#include <QApplication>
#include <QCursor>
#include <QFontMetrics>
#include <QLabel>

#include "engine/account_request.h"
#include "engine/messages.h"
#include "ui/dialogs/edit_text.h"
#include "ui/qt_text.h"

namespace vesprey::ui {
namespace {

// The wait cursor for as long as the object lives; a message shown meanwhile gets the normal one.
class BusyCursor final : public MessageSink {
public:
    explicit BusyCursor(MessageSink& messages) : messages_(messages) {
        QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    }
    ~BusyCursor() override { QApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;

    void showMessage(const Text& text, const Text& caption, MessageIcon icon) override {
        QApplication::restoreOverrideCursor();
        messages_.showMessage(text, caption, icon);
        QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    }

private:
    MessageSink& messages_;
};

}  // namespace

QString trialVerdictText(const AccountVerdict& verdict) {
    QString text = QStringLiteral("判定：") + fromAnsi(verdictCaption(verdict.verdict));
    if (!verdict.reason.empty()) {
        text += QStringLiteral("（") + fromAnsi(verdict.reason) + QStringLiteral("）");
    }
    return text;
}

void showTrialVerdict(QLabel* label, const std::optional<AccountVerdict>& verdict) {
    const QString text = verdict ? trialVerdictText(*verdict) : QString();
    label->setText(label->fontMetrics().elidedText(text, Qt::ElideRight, label->width()));
    label->setToolTip(text);
}

void showEncodingHint(QLabel* label, const std::optional<Text>& hint) {
    label->setText(hint ? fromAnsi(*hint) : QString());
    label->setVisible(hint.has_value());
}

void TrialDisplay::show(const TrialOutcome& outcome) {
    setEditText(result_, outcome.shown);
    showTrialVerdict(verdict_, outcome.verdict);
    showEncodingHint(hint_, outcome.encodingHint);
    answer_ = outcome.answer;
    shown_ = outcome.shown;
}

void TrialDisplay::clear() {
    showTrialVerdict(verdict_, std::nullopt);
    showEncodingHint(hint_, std::nullopt);
    answer_.reset();
}

const AccountAnswer* TrialDisplay::answerShown() const {
    return answer_ && editText(result_) == shown_ ? &*answer_ : nullptr;
}

namespace {

AccountRequest trialRequest(const TrialSetup& setup) {
    AccountRequest request;
    request.url = setup.url;
    request.get = setup.get;
    request.conversion = setup.conversion;
    request.extraction = setup.json    ? Extraction::Json
                         : setup.regex ? Extraction::Regex
                                       : Extraction::None;
    request.tying = setup.tying;
    return request;
}

// What the page shows of an evaluated answer; the answer is kept when the request went out.
TrialOutcome trialOutcome(const TrialSetup& setup, AccountAnswer answer, AccountVerdict verdict) {
    TrialOutcome trial;
    trial.verdict = std::move(verdict);
    trial.shown = answer.trialText();
    if (answer.response.sent()) {
        trial.encodingHint = encodingHint(answer.response.body, setup.conversion);
        trial.answer = std::move(answer);
    }
    return trial;
}

}  // namespace

TrialOutcome runTrial(const TrialSetup& setup, Text& cookie, Text& headers, std::string_view body,
                      MessageSink& messages) {
    AccountRequest request = trialRequest(setup);
    request.cookie = cookie;
    request.headers = headers;
    request.body = body;

    AccountAnswer outcome;
    AccountVerdict verdict;
    {
        BusyCursor busy(messages);
        outcome = requestAccount(request, busy);
        verdict = decideVerdict(outcome, setup.login, setup.rules, busy);
    }
    cookie = outcome.cookie;
    if (!headers.empty()) {
        headers = outcome.headers;
    }
    return trialOutcome(setup, std::move(outcome), std::move(verdict));
}

TrialOutcome reevaluateTrial(const TrialSetup& setup, const AccountAnswer& answer,
                             MessageSink& messages) {
    AccountAnswer outcome = answer;
    evaluateAnswer(outcome, trialRequest(setup), messages);
    AccountVerdict verdict = decideVerdict(outcome, setup.login, setup.rules, messages);
    return trialOutcome(setup, std::move(outcome), std::move(verdict));
}

}  // namespace vesprey::ui
