// "修改模板": the template of one list entry with its request data and its verdict rules, a trial
// of its own and the save into the Template row (and the rules into table Verdict). For an
// account of a multi-step template the window shows its inputs too (InputFields, below Date),
// which the save stores with the template. The window
// works on a copy of the entry taken when the command started; a trial's merged cookie goes into
// that copy (in memory only) and serves the window's next trial. An entry of a multi-step
// template is tried by running its flow with the account's inputs beside the window, its steps
// in the step window. "多步骤…" edits the template's steps (a one-request template's request as
// one step); the edited steps are tried by the next trial and stored by the save.
#pragma once

#include <QPointer>
#include <optional>
#include <string>

#include "engine/account_request.h"
#include "engine/flow_account.h"
#include "store/site_database.h"
#include "ui/dialogs/input_fields.h"
#include "ui/dialogs/schedule_proxy_dialog.h"
#include "ui/dialogs/tool_window.h"
#include "ui/window/trial_request.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;

namespace vesprey::ui {

class FlowTrialWindow;
class SiteBook;
class StepEditorDialog;
class WindowQueue;
struct FlowTrialOutcome;

class ModifyDialog : public ToolWindow {
    Q_OBJECT
public:
    // Stands over `owner`, stores through `book`; the trials' messages go through `calls`.
    ModifyDialog(QWidget* owner, SiteBook& book, WindowQueue& calls, SiteTemplate entry);
    // Stops a flow trial still under way and waits for it.
    ~ModifyDialog() override;

    // The entry as the window holds it (its Cookie as merged by the trials).
    const SiteTemplate& entry() const { return entry_; }
    // The verdict rules as the window holds them (loaded from Sign.db, then as edited).
    const VerdictRules& rules() const { return rules_; }
    // The template's own 签到周期 and proxy as the window holds them.
    const TemplateOwnSettings& ownSettings() const { return own_; }
    // The step window of the last flow trial; null before the first.
    FlowTrialWindow* flowTrialWindow() const { return flowTrial_; }
    // The step list while it is open; null otherwise.
    StepEditorDialog* stepEditor() const;

public slots:
    void editRules();  // "判定规则": the rules window, modal
    void editSteps();  // "多步骤…": the step list of the steps as the window holds them
    // "周期与代理…": the template's own 签到周期 and proxy, modal; stored by the save.
    void editOwnSettings();
    void trial();  // "调试": the answer in the result box, its verdict beside the buttons
    void save();   // "保存"; the window stays open
    // Another 编码转换 after a trial: its answer converted and evaluated again, while the result
    // box still shows what came of it.
    void conversionChanged(int index);

private:
    TemplateFields fields() const;
    TrialSetup trialSetup() const;
    void trialFlow(const FlowAccount& account);
    void flowTrialFinished(const FlowTrialOutcome& outcome);

    SiteBook& book_;
    WindowQueue& calls_;
    SiteTemplate entry_;
    QLineEdit* name_ = nullptr;
    QLineEdit* login_ = nullptr;
    QLineEdit* link_ = nullptr;
    QRadioButton* get_ = nullptr;
    QRadioButton* post_ = nullptr;
    QRadioButton* json_ = nullptr;
    QRadioButton* regex_ = nullptr;
    QPlainTextEdit* tying_ = nullptr;
    QPlainTextEdit* result_ = nullptr;
    QComboBox* conversion_ = nullptr;
    QPlainTextEdit* headers_ = nullptr;
    QPlainTextEdit* date_ = nullptr;
    QLabel* verdict_ = nullptr;
    QLabel* hint_ = nullptr;
    std::optional<TrialDisplay> trial_;
    std::optional<InputFields> inputs_;  // an account of a multi-step template only
    VerdictRules rules_;
    VerdictRules storedRules_;  // what Sign.db holds: the save writes the rules when they differ
    FlowTrialWindow* flowTrial_ = nullptr;
    Text flowTrialCookie_;  // the entry's cookie the running flow trial was given
    QPointer<StepEditorDialog> stepEditor_;
    std::optional<std::string> editedSteps_;  // steps changed in the step list, not yet saved
    TemplateOwnSettings own_;                 // as the window holds them
    TemplateOwnSettings storedOwn_;  // as Sign.db holds them: the save writes them when they differ
    QPushButton* ownButton_ = nullptr;
};

}  // namespace vesprey::ui
