// The trial ("调试") of a multi-step template: the account's flow run once on a thread of its own,
// traced step by step, while the window goes on answering, and the window of its steps
// ("窗口_调试步骤"): each step's request, status, time, what decided and the variables it set,
// secrets shortened, listed as the run goes on (a step under way says "进行中…"); a double-click
// shows the step's whole request and answer. "停止" (or closing the window) stops the run: a
// request under way ends within about a second, a delay at once.
#pragma once

#include <QDialog>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/flow_account.h"
#include "engine/verdict.h"
#include "model/site.h"
#include "text/text.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace vesprey::ui {

class WindowQueue;

// What a flow trial gave: the run and the verdict a pass would give it.
struct FlowTrialOutcome {
    FlowAccountRun run;
    AccountVerdict verdict;
};

// Why the account's flow cannot be tried, in words: its steps do not read, or "还缺这些值，没有
// 调试：username、password。…" with the inputs it has no value for; nothing when it can.
std::optional<QString> flowTrialRefusal(const FlowAccount& account, bool hasCookie);

// A step's request and answer as the step window shows them on a double-click (secrets shortened
// as in the list).
QString stepDetailText(const flow::StepTrace& step);

class FlowTrialWindow : public QDialog {
    Q_OBJECT
public:
    // Stands over `owner`; the evaluation's messages go through `calls`.
    FlowTrialWindow(QWidget* owner, WindowQueue& calls);
    // Stops a run still under way and waits for it.
    ~FlowTrialWindow() override;

    bool running() const { return running_; }

    // Shows the window and starts the run of `account` for `site` (its cookie is the flow's
    // "cookie", its login page and binding statement serve the verdict and the result), judged
    // with `rules`. False, and nothing started, while another run is under way.
    bool start(const SiteTemplate& site, const FlowAccount& account, const VerdictRules& rules);
    // Asks the run to stop; `finished` follows once it has.
    void stop();
    // Stops a run and waits for its thread (the window's owner is going).
    void stopAndWait();

signals:
    // On the window thread, once the run has ended (stopped ones too).
    void finished(const vesprey::ui::FlowTrialOutcome& outcome);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void showOutcome(const FlowTrialOutcome& outcome);
    // A step of the run under way: a new row as it begins, that row filled in once it is over.
    void showLiveStep(const flow::StepTrace& step, bool done);
    static void fillStep(QTreeWidgetItem* item, const flow::StepTrace& step, std::size_t index);
    void showStep(QTreeWidgetItem* item);

    WindowQueue& calls_;
    QTreeWidget* steps_ = nullptr;
    QPlainTextEdit* detail_ = nullptr;
    QLabel* result_ = nullptr;
    QPushButton* stop_ = nullptr;
    std::vector<flow::StepTrace> trace_;
    std::jthread thread_;
    bool running_ = false;
};

}  // namespace vesprey::ui
