// "一键置入签到数据": a template pasted as JSON text. "解 析" keeps the text and closes the
// window; the close button closes it and keeps nothing. The editor applies the kept text.
#pragma once

#include "text/text.h"
#include "ui/dialogs/tool_window.h"

class QPlainTextEdit;
class QPushButton;

namespace vesprey::ui {

class ImportDialog : public ToolWindow {
    Q_OBJECT
public:
    explicit ImportDialog(QWidget* owner);

    // Whether "解 析" closed the window, and the text it kept (code page 936).
    bool stored() const { return stored_; }
    const Text& importText() const { return text_; }

public slots:
    void store();  // "解 析"

private:
    QPlainTextEdit* json_ = nullptr;
    QPushButton* parse_ = nullptr;
    bool stored_ = false;
    Text text_;
};

}  // namespace vesprey::ui
