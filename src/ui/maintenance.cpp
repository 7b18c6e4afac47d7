// The context menu's commands on one account: manual cookie entry, a further account, deleting
// an account and modifying the site's template. The selection guard has run before each.
#include <QPointer>
#include <cstdlib>

#include "text/gbk_text.h"
#include "ui/main_window.h"
#include "ui/manual_fill_dialog.h"
#include "ui/message_boxes.h"
#include "ui/modify_dialog.h"
#include "ui/qt_text.h"

namespace vesprey::ui {
namespace {

// How much of the cookie the delete question shows.
constexpr std::size_t kCookieShown = 24;

// The delete question, naming the account: two accounts of one site look alike in the list.
QString deleteQuestion(const SiteTemplate& entry) {
    QString text =
        QStringLiteral("是否删除该网站账号，不再进行签到？\r\n网站：") + fromAnsi(entry.WebName);
    if (entry.Cid == 0) {
        return text + QStringLiteral("\r\n（该网站还没有账号）");
    }
    return text + QStringLiteral("\r\nCid：%1\r\nCookie：").arg(entry.Cid) +
           fromAnsi(gbk::shortened(entry.Cookie, kCookieShown));
}

}  // namespace

bool MainWindow::rememberSelection() {
    const int row = selectedRow();
    if (row < 0 || static_cast<std::size_t>(row) >= sites_.size()) {
        return false;
    }
    SelectedAccount& selected = capture_.selected;
    selected.index = row;
    selected.entry = sites_[static_cast<std::size_t>(row)];
    selected.templateId = selected.entry.id;
    return true;
}

void MainWindow::openManualFill(CaptureMode mode) {
    // One manual-fill window for the list at a time: one still open is closed as by its close
    // button (nothing stored) before the new command remembers its row.
    if (ManualFillDialog* open = manualFill_.data()) {
        open->reject();
    }
    if (!rememberSelection()) {
        return;
    }
    capture_.mode = mode;
    auto* window = new ManualFillDialog(*this, mode, capture_.selected);
    window->setAttribute(Qt::WA_DeleteOnClose);
    manualFill_ = window;
    window->show();
}

void MainWindow::manualFillAccount() {
    openManualFill(CaptureMode::UpdateAccount);
}

void MainWindow::addAccount() {
    openManualFill(CaptureMode::AddAccount);
}

void MainWindow::deleteAccount() {
    if (!rememberSelection()) {
        return;
    }
    const BoxAnswer answer = MessageBoxes::show(
        this, BoxRequest{deleteQuestion(capture_.selected.entry), QStringLiteral("删除签到网站"),
                         BoxIcon::Question, BoxButtons::OkCancel});
    if (answer != BoxAnswer::Ok) {
        return;
    }
    // Only the account row goes; the site stays and is listed with "×" once it has none left.
    deleteWebCookie(db_, capture_.selected.entry.Cid);
    reloadSiteList();
}

void MainWindow::modifyTemplate() {
    if (!rememberSelection()) {
        return;
    }
    ModifyDialog dialog(*this, capture_.selected.entry);
    dialog.exec();
}

}  // namespace vesprey::ui
