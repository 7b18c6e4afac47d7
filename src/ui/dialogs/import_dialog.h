// "一键置入签到数据": a template pasted, or opened from a file with "打开文件…": Vesprey's JSON, a
// community template, a HAR file or a curl command. "解 析" keeps the text and closes the window;
// the close button closes it and keeps nothing. The editor applies the kept text.
#pragma once

#include <QString>

#include "text/text.h"
#include "ui/dialogs/tool_window.h"

class QPlainTextEdit;
class QPushButton;

namespace vesprey::ui {

class ImportDialog : public ToolWindow {
    Q_OBJECT
public:
    explicit ImportDialog(QWidget* owner);

    // Whether "解 析" closed the window, and the text it kept (code page 936, and as the box
    // showed it).
    bool stored() const { return stored_; }
    const Text& importText() const { return text_; }
    const QString& shownText() const { return shown_; }
    // The name of the file the kept text was opened from, without its extension; empty for a
    // pasted text or one changed after it was opened.
    const QString& fileName() const { return keptFileName_; }

    // The box's text as the window opens.
    void setText(const QString& text);

public slots:
    void store();       // "解 析"
    void chooseFile();  // "打开文件…": a file window, then openFile
    // Puts the text of the file at `path` in the box: UTF-8 (a byte order mark is skipped), or
    // code page 936 when it is not UTF-8. A file that cannot be read or is too large to be a
    // template is said so and leaves the box.
    bool openFile(const QString& path);

private:
    QPlainTextEdit* json_ = nullptr;
    QPushButton* open_ = nullptr;
    QPushButton* parse_ = nullptr;
    bool stored_ = false;
    Text text_;
    QString shown_;
    QString openedName_;  // the file the box's text came from
    QString openedText_;  // and that text, to tell whether it was changed since
    QString keptFileName_;
};

}  // namespace vesprey::ui
