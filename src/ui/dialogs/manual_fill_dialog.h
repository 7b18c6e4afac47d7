// "填写必要参数": the cookie, request body and header lines typed or pasted by hand. For the
// template editor (CaptureMode::ForEditor) they only go into PendingCapture; for an account of
// the list (UpdateAccount, AddAccount) the window shows the cookie field only and stores the
// cookie for the account remembered when the command started. A further account (AddAccount) of a
// multi-step template gets the inputs its flow reads too, below the cookie (InputFields).
#pragma once

#include <optional>

#include "ui/dialogs/input_fields.h"
#include "ui/dialogs/tool_window.h"
#include "ui/window/capture.h"

class QPlainTextEdit;
class QPushButton;

namespace vesprey::ui {

class SiteBook;

class ManualFillDialog : public ToolWindow {
    Q_OBJECT
public:
    // `mode` and `account` are what the window works with, whatever happens to the list or to
    // the window's CaptureMode meanwhile. It stands beside `owner`, stores through `book` and
    // hands its fields to `capture`.
    ManualFillDialog(QWidget* owner, SiteBook& book, CaptureState& capture, CaptureMode mode,
                     SelectedAccount account);

    CaptureMode mode() const { return mode_; }

public slots:
    // "保 存": stores the cookie as the mode asks, hands the three fields to PendingCapture and
    // closes. A failed account insert keeps the window open, without a message.
    void save();
    // The close button: back to ForEditor, nothing stored.
    void reject() override;

private:
    SiteBook& book_;
    CaptureState& capture_;
    CaptureMode mode_;
    SelectedAccount account_;
    QPlainTextEdit* cookie_ = nullptr;
    QPlainTextEdit* date_ = nullptr;
    QPlainTextEdit* headers_ = nullptr;
    QPushButton* save_ = nullptr;
    std::optional<InputFields> inputs_;  // a further account of a multi-step template only
};

}  // namespace vesprey::ui
