#include "ui/dialogs/manual_fill_dialog.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <utility>

#include "ui/dialogs/edit_text.h"
#include "ui/dialogs/message_boxes.h"
#include "ui/qt_text.h"
#include "ui/window/site_book.h"

namespace vesprey::ui {
namespace {

constexpr int kWidth = 451;
constexpr int kHeight = 277;
constexpr int kAccountHeight = 131;

QPlainTextEdit* field(QWidget* parent, const QString& name, int x, int y, int w, int h) {
    auto* box = new QPlainTextEdit(parent);
    box->setObjectName(name);
    box->setGeometry(x, y, w, h);
    box->setTabChangesFocus(true);
    return box;
}

QLabel* label(QWidget* parent, const QString& name, const QString& text, int right, int y) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(name);
    l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    l->setGeometry(4, y, right - 4 - 3, 20);
    return l;
}

bool accountMode(CaptureMode mode) {
    return mode == CaptureMode::UpdateAccount || mode == CaptureMode::AddAccount;
}

const QString kEmptyCookie =
    QStringLiteral("Cookie 为空，没有保存：请把账号的 Cookie 粘贴到输入框后再点“保 存”。");

}  // namespace

ManualFillDialog::ManualFillDialog(QWidget* owner, SiteBook& book, CaptureState& capture,
                                   CaptureMode mode, SelectedAccount account)
    : ToolWindow(QStringLiteral("填写必要参数"), QStringLiteral("手动填写参数"), kWidth, kHeight,
                 owner),
      book_(book),
      capture_(capture),
      mode_(mode),
      account_(std::move(account)) {
    setObjectName(QStringLiteral("窗口_人工填写"));
    label(this, QStringLiteral("标签_Cookie"), QStringLiteral("Cookie："), 71, 35);
    cookie_ = field(this, QStringLiteral("编辑框_Cookie"), 71, 33, 369, 63);
    auto* dateLabel = label(this, QStringLiteral("标签_date"), QStringLiteral("Date："), 72, 106);
    date_ = field(this, QStringLiteral("编辑框_date"), 72, 104, 369, 63);
    label(this, QStringLiteral("标签_Headers"), QStringLiteral("Headers："), 72, 178);
    headers_ = field(this, QStringLiteral("编辑框_Headers"), 72, 176, 369, 63);
    save_ = new QPushButton(QStringLiteral("保 存"), this);
    save_->setObjectName(QStringLiteral("超级按钮_保存"));
    save_->setGeometry(356, 245, 85, 25);
    save_->setDefault(false);
    save_->setAutoDefault(false);
    connect(save_, &QPushButton::clicked, this, &ManualFillDialog::save);

    if (accountMode(mode_)) {
        // The cookie only: the window ends below the button, the Headers field lies outside it
        // and takes no focus.
        placeBeside(owner, 170, 130);
        int below = 101;
        if (mode_ == CaptureMode::AddAccount) {
            if (const auto flow = book_.flowAccount(account_.entry)) {
                // The new account starts without inputs of its own.
                FlowAccount fresh = *flow;
                fresh.inputs.clear();
                inputs_.emplace(this, fresh, 71, below + 2, 440);
                if (inputs_->empty()) {
                    inputs_.reset();
                } else {
                    below += inputs_->height() + 4;
                }
            }
        }
        setWindowHeight(kAccountHeight + below - 101);
        save_->move(356, below);
        dateLabel->hide();
        date_->hide();
        headers_->hide();
    } else {
        placeBeside(owner, 170, 75);
    }
    cookie_->setFocus();
}

void ManualFillDialog::save() {
    // An account keeps its cookie unless a new one is given; only a further account of a
    // multi-step template may start without one (its inputs carry the login).
    const bool cookieNeeded =
        mode_ == CaptureMode::UpdateAccount || (mode_ == CaptureMode::AddAccount && !inputs_);
    if (cookieNeeded && cookie_->toPlainText().trimmed().isEmpty()) {
        MessageBoxes::inform(this, kEmptyCookie, QStringLiteral("手动填写参数"), BoxIcon::Warning);
        cookie_->setFocus();
        return;
    }
    const Text cookie = editText(cookie_);
    if (const std::optional<QString> oversized = oversizedSaveText({}, cookie)) {
        MessageBoxes::inform(this, *oversized, QStringLiteral("手动填写参数"), BoxIcon::Warning);
        return;
    }
    if (inputs_) {
        if (const std::optional<QString> oversized = inputs_->oversizedText()) {
            MessageBoxes::inform(this, *oversized, QStringLiteral("手动填写参数"),
                                 BoxIcon::Warning);
            return;
        }
    }
    if (mode_ == CaptureMode::UpdateAccount && book_.ownsCookieRow(account_.entry)) {
        // The account has a row of its own (a cookie, or the inputs of a multi-step template):
        // it gets the new cookie (the result is not checked). A cookie typed by hand has no
        // known expiry.
        book_.updateCookie(account_.entry.Cid, cookie);
        book_.rememberCookieExpiry(account_.entry.Cid, QDateTime());
    } else if (accountMode(mode_)) {
        // A new account row for the site; a failed insert leaves the window open to try again.
        const WriteResult added =
            inputs_ ? book_.addFlowAccount(account_.templateId, cookie, inputs_->values())
                    : book_.addAccount(account_.templateId, cookie);
        if (!added) {
            return;
        }
    }
    book_.reload();
    CaptureState& capture = capture_;
    capture.mode = CaptureMode::ForEditor;
    // In the account modes the hidden fields are empty, so the pending Headers and Date become
    // empty too.
    capture.pending.setCookie(
        cookie,
        mode_ == CaptureMode::AddAccount ? CookieOrigin::AddAccount : CookieOrigin::ManualFill,
        accountMode(mode_) ? account_.entry.WebName : Text());
    capture.pending.Headers = accountMode(mode_) ? Text() : editText(headers_);
    capture.pending.Date = accountMode(mode_) ? Text() : editText(date_);
    accept();
}

void ManualFillDialog::reject() {
    capture_.mode = CaptureMode::ForEditor;
    ToolWindow::reject();
}

}  // namespace vesprey::ui
