// "多步骤模板": the steps of a multi-step template as a list, and the selected one's fields.
// Requests and control entries (如果 / 否则如果 / 否则 / 结束如果, 循环 / 结束循环, 当…时循环,
// 设置变量) are added, removed, moved and duplicated; the entries inside a block are indented. A
// request has its method, address, header lines, cookies, body and content type, its checks
// (成功 / 失败, a regular expression and where it looks) and its extractions (a name, a regular
// expression and where). A field the template cannot run with is marked, with the reason, while
// it is typed; "确定" is refused while anything is marked, showing the first.
#pragma once

#include <QString>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "engine/flow/step_list.h"
#include "ui/dialogs/tool_window.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QStackedWidget;
class QTableWidget;
class QWidget;

namespace vesprey::ui {

class StepEditorDialog : public ToolWindow {
    Q_OBJECT
public:
    StepEditorDialog(flow::StepList list, QWidget* owner);

    // Opens the list over `owner` (window-modal, deleted when closed), or says why the steps
    // cannot be read. `changed` receives the steps when the list is closed with "确定" and
    // differs from what it opened with. Null when it did not open.
    static StepEditorDialog* open(std::variant<flow::StepList, flow::FormatError> read,
                                  QWidget* owner, std::function<void(std::string)> changed);

    const flow::StepList& list() const { return list_; }
    // The list as the community JSON a save stores.
    std::string json() const { return flow::writeStepList(list_); }
    // Whether the list differs from the one the window opened with.
    bool changed() const { return json() != opened_; }
    // The problems of the list as it is now.
    const std::vector<flow::StepProblem>& problems() const { return problems_; }

public slots:
    // "确定": refused while a field is marked; the first marked field is shown.
    void accept() override;
    void addRequest();
    void addControl(flow::ControlKind kind);
    void duplicateEntry();
    void removeEntry();
    void moveUp();
    void moveDown();
    void addCheck();
    void removeCheck();
    void addExtraction();
    void removeExtraction();

private:
    // The widgets of the selected entry into the list, and the marks and the list's rows again.
    void edited();
    // The selected entry into the widgets.
    void showEntry();
    void showRows();
    void showProblems();
    void select(int row);
    void insertEntry(int at, flow::EditedEntry entry);
    void moveEntry(int by);
    int current() const;
    void addRuleRow(QTableWidget* table, const flow::EditedRule& rule, bool success, bool named);
    std::vector<flow::EditedRule> rulesOf(QTableWidget* table, bool named,
                                          std::optional<bool> success) const;
    // The widget a problem is on, for its mark; null for one on the entry as a whole.
    QWidget* fieldWidget(const flow::StepProblem& problem) const;
    QString problemText(const flow::StepProblem& problem) const;

    flow::StepList list_;
    std::string opened_;
    std::vector<flow::StepProblem> problems_;
    bool loading_ = false;

    QListWidget* steps_ = nullptr;
    QStackedWidget* pages_ = nullptr;
    QCheckBox* enabled_ = nullptr;
    QLineEdit* comment_ = nullptr;
    QComboBox* method_ = nullptr;
    QLineEdit* url_ = nullptr;
    QCheckBox* login_ = nullptr;  // the request is a step of the login part
    QPlainTextEdit* headers_ = nullptr;
    QPlainTextEdit* cookies_ = nullptr;
    QPlainTextEdit* data_ = nullptr;
    QLineEdit* mimeType_ = nullptr;
    QTableWidget* checks_ = nullptr;
    QTableWidget* extractions_ = nullptr;
    QComboBox* controlKind_ = nullptr;
    QLineEdit* expression_ = nullptr;
    QLabel* problem_ = nullptr;
    std::vector<QPushButton*> entryButtons_;  // the buttons that need a selected entry
};

}  // namespace vesprey::ui
