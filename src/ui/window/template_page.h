// Page 1 "模板区": the template editor's controls, laid out as the editor expects them, and the
// editor that works on them. The editor's "软件登录 " opens the built-in browser on 编辑框_登录链接
// and keeps the captured cookie in PendingCapture for the editor's save.
#pragma once

#include <QWidget>

class QComboBox;
class QPushButton;

namespace vesprey::ui {

struct CaptureState;
class SiteBook;
class TemplateEditor;
class WindowQueue;

class TemplatePage : public QWidget {
    Q_OBJECT
public:
    // The editor saves through `book`, takes captures from `capture`, and its boxes stand over
    // `owner`; the trials' messages go through `calls`.
    TemplatePage(QWidget* owner, SiteBook& book, CaptureState& capture, WindowQueue& calls);

    TemplateEditor& editor() { return *editor_; }
    // "编码转换", set to its first item at start-up.
    QComboBox& conversion() { return *conversion_; }
    // "保存" is disabled while a pass runs: a save reloads the list the pass works on.
    void setSaveEnabled(bool enabled);

private:
    void browserLogin();

    QWidget* owner_;
    CaptureState& capture_;
    QComboBox* conversion_ = nullptr;
    QPushButton* save_ = nullptr;
    TemplateEditor* editor_ = nullptr;
};

}  // namespace vesprey::ui
