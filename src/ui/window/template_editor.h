// Page 1 "模板区": a new site is described here, tried once against the site ("调试") and saved
// as a Template row with its first account ("保存"). The cookie, the extra header lines and the
// request body are not typed on the page; they wait in the main window's PendingCapture, filled
// by the manual-fill window, the built-in browser and the one-click import, and the page shows
// them ("待保存") with a "清除" that empties them. The site's own verdict rules ("判定规则") wait
// in the editor until the save stores them with the new site.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <cstddef>
#include <optional>

#include "engine/account_request.h"
#include "engine/flow/formats.h"
#include "model/site.h"
#include "text/text.h"
#include "ui/window/capture.h"
#include "ui/window/trial_request.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QRadioButton;
class QWidget;

namespace vesprey::ui {

class FlowTrialWindow;
class SiteBook;
class StepEditorDialog;
class WindowQueue;
struct FlowTrialOutcome;

class TemplateEditor : public QObject {
    Q_OBJECT
public:
    // Works on the controls of `page` (found by their names) and on the window's capture state;
    // saves through `book`; its boxes stand over `owner`, the trials' messages go through `calls`.
    TemplateEditor(QWidget* owner, SiteBook& book, CaptureState& capture, WindowQueue& calls,
                   QWidget* page);

    // 编辑框_登录链接: the address the built-in browser opens for the editor.
    Text loginAddress() const;
    // The text the last "解 析" of the one-click import kept.
    const Text& importText() const { return importText_; }
    // The verdict rules the next save stores with the new site.
    const VerdictRules& pendingRules() const { return rules_; }
    // The steps of a multi-step template (community JSON, UTF-8) the next save stores with the
    // new site; nothing for a one-request template. "初始化" forgets them; the one-click import
    // sets them, and the page shows how many requests they make.
    const std::optional<std::string>& pendingFlow() const { return flow_; }
    void setPendingFlow(std::optional<std::string> steps);
    // A flow written from a recording: its steps pending, and the sign-in request's address and
    // method on the page.
    void applyRecordedFlow(std::string steps, const Text& link, RequestMethod method);

public slots:
    void manualFill();  // "人工填写": the manual-fill window, modal, in the current mode
    // "一键置入": the import window, then the import; the window shows the text the last one
    // could not import.
    void oneClickImport();
    void editRules();  // "判定规则": the rules window, modal, on the pending rules
    // "多步骤…": the step list of the pending flow, or of the page's one-request template as one
    // step. What the list holds when it is closed with "确定" becomes the pending flow, the
    // page showing its first request; a list closed unchanged changes nothing, so that a
    // one-request template stays one.
    void editSteps();
    void reset();         // "初始化"
    void clearPending();  // "清除": the pending cookie, header lines and body
    // "调试": the answer in the result box, its verdict beside the buttons. With a pending flow,
    // the flow runs beside the window (the pending cookie its "cookie") and its steps are shown
    // in the step window; its result and verdict come here once it has ended.
    void trial();
    // "保存": a name the list has already is saved only once the user says so; a saved site's
    // pending capture, rules and steps are cleared, the page's fields stay.
    void save();
    // The user picked another conversion: the last trial's answer, while the result box still
    // shows what came of it, is converted and evaluated again (no new request); otherwise the
    // text of the result box is.
    void conversionChanged(int index);
    // Shows the pending capture ("标签_待保存") as it is now; the page calls it whenever it is
    // shown, and the editor after everything of its own that changes the capture.
    void showPending();

public:
    // Sets the page, the pending header lines and body and the pending verdict rules from an
    // import text (code page 936).
    // A text that is not JSON is reported ("信息：", error icon) and changes nothing.
    bool applyImport(const Text& text);
    // Imports the text of the one-click import (UTF-8; `ansi` the same in code page 936), opened
    // from the file `fileName` (without extension; empty when pasted): Vesprey's JSON as
    // applyImport does, its "步骤" becoming the pending flow; a community template, a HAR file
    // (a browser's after the user picked its requests) or a curl command as a multi-step
    // template. A text that cannot be imported is said so, what and where, and changes nothing.
    bool importTemplate(const std::string& utf8, const Text& ansi, const QString& fileName);
    // The step window of the last flow trial; null before the first.
    FlowTrialWindow* flowTrialWindow() const { return flowTrial_; }
    // The step list while it is open; null otherwise.
    StepEditorDialog* stepEditor() const;
    // Stops a flow trial under way and waits for it (the window is closing).
    void stopTrial();

private:
    // Sets the page and the pending flow from a multi-step template named `name`.
    void applyFlow(const flow::ImportedFlow& read, const QString& name);
    // The steps the step list was closed with: the pending flow, and its first request on the
    // page.
    void applySteps(std::string steps);
    TemplateFields pageFields() const;
    // True when no site of the list has the name, or the user wants another one of that name.
    bool confirmNameTaken(const Text& name);
    void refuseImport(const std::string& message);
    // Checks GET or POST, JSON or 正则; nothing checks neither.
    void setMethod(std::optional<RequestMethod> method);
    void setAnswerType(std::optional<AnswerType> type);
    Text tying() const;
    TrialSetup trialSetup() const;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void trialFlow();
    void flowTrialFinished(const FlowTrialOutcome& outcome);

    QWidget* owner_;
    SiteBook& book_;
    CaptureState& capture_;
    WindowQueue& calls_;
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
    QLabel* verdict_ = nullptr;
    QLabel* hint_ = nullptr;
    QLabel* pending_ = nullptr;
    std::optional<TrialDisplay> trial_;
    Text importText_;
    QString refusedImport_;  // the last text "解 析" could not import; the next window shows it
    VerdictRules rules_;
    std::optional<std::string> flow_;
    std::size_t flowRequests_ = 0;  // of flow_
    FlowTrialWindow* flowTrial_ = nullptr;
    QPointer<StepEditorDialog> stepEditor_;
    Text flowTrialCookie_;  // the pending cookie the running flow trial was given
};

}  // namespace vesprey::ui
