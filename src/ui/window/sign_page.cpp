#include "ui/window/sign_page.h"

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMenu>
#include <QStringList>
#include <QTreeView>

#include "text/gbk_text.h"
#include "ui/browser/browser_loader.h"
#include "ui/dialogs/manual_fill_dialog.h"
#include "ui/dialogs/message_boxes.h"
#include "ui/dialogs/modify_dialog.h"
#include "ui/qt_text.h"
#include "ui/window/account_list.h"
#include "ui/window/pass_history.h"
#include "ui/window/site_book.h"

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

SignPage::SignPage(SiteBook& book, CaptureState& capture, WindowQueue& calls)
    : book_(book), capture_(capture), calls_(calls) {
    model_ = new AccountListModel(this);
    list_ = new QTreeView(this);
    list_->setObjectName(QStringLiteral("超级列表框_签到区"));
    list_->setGeometry(0, -2, 590, 350);
    list_->setModel(model_);
    list_->setRootIsDecorated(false);
    list_->setItemsExpandable(false);
    list_->setUniformRowHeights(true);
    list_->setAlternatingRowColors(true);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setAllColumnsShowFocus(true);
    list_->header()->setStretchLastSection(true);
    list_->header()->setSectionsMovable(false);
    const auto& widths = AccountListModel::widths();
    for (int c = 0; c < kAccountColumns; ++c) {
        list_->setColumnWidth(c, widths[static_cast<std::size_t>(c)]);
    }
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(list_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { menu_->popup(list_->viewport()->mapToGlobal(at)); });
    connect(list_, &QAbstractItemView::doubleClicked, this, &SignPage::copySelectedResult);
    buildContextMenu();
}

void SignPage::buildContextMenu() {
    menu_ = new QMenu(QStringLiteral("主"), this);
    menu_->setObjectName(QStringLiteral("菜单_主"));
    auto addRowCommand = [this](QMenu* into, const QString& name, const QString& caption,
                                void (SignPage::*command)() = nullptr) {
        QAction* action = into->addAction(caption);
        action->setObjectName(name);
        connect(action, &QAction::triggered, this, [this, caption, command] {
            if (!requireSelection()) {
                return;
            }
            if (command != nullptr) {
                (this->*command)();
            } else {
                notYet(caption);
            }
        });
        rowActions_.append(action);
    };
    QMenu* login = menu_->addMenu(QStringLiteral("登录"));
    addRowCommand(login, QStringLiteral("菜单_软件登录"), QStringLiteral("软件登录"),
                  &SignPage::browserLogin);
    addRowCommand(login, QStringLiteral("菜单_人工填写"), QStringLiteral("人工填写"),
                  &SignPage::manualFillAccount);
    menu_->addSeparator();
    QMenu* edit = menu_->addMenu(QStringLiteral("操作"));
    addRowCommand(edit, QStringLiteral("菜单_删除"), QStringLiteral("删除(&D)"),
                  &SignPage::deleteAccount);
    addRowCommand(edit, QStringLiteral("菜单_删除网站"), QStringLiteral("删除网站"),
                  &SignPage::deleteSite);
    addRowCommand(edit, QStringLiteral("菜单_修改"), QStringLiteral("修改(&U)"),
                  &SignPage::modifyTemplate);
    addRowCommand(edit, QStringLiteral("菜单_增加"), QStringLiteral("增加(&N)"),
                  &SignPage::addAccount);
    menu_->addSeparator();
    signInAction_ = menu_->addAction(QStringLiteral("开始签到"));
    signInAction_->setObjectName(QStringLiteral("菜单_开始签到"));
    connect(signInAction_, &QAction::triggered, this, &SignPage::signInRequested);
    stopAction_ = menu_->addAction(QStringLiteral("停止签到"));
    stopAction_->setObjectName(QStringLiteral("菜单_停止签到"));
    stopAction_->setEnabled(false);
    connect(stopAction_, &QAction::triggered, this, &SignPage::stopRequested);
    QAction* history = menu_->addAction(QStringLiteral("签到历史"));
    history->setObjectName(QStringLiteral("菜单_签到历史"));
    connect(history, &QAction::triggered, this, &SignPage::historyRequested);
}

void SignPage::showList(const ReadResult& read) {
    model_->load(book_.sites(), [this](const SiteTemplate& site) { return book_.ready(site); });
    showCookieHealth();
    // A file that cannot be read at all (not open, wrong key) shows an empty list, which says
    // enough; a list the file gave up on part way, or a file held by another program, is said.
    if (read.busy() || (!read.ok() && read.started)) {
        MessageBoxes::inform(
            window(), QStringLiteral("账号列表读取失败！\r\n") + fromAnsi(readFailureText(read)),
            MessageBoxes::defaultCaption(), BoxIcon::Warning);
    }
}

void SignPage::showCookieHealth() {
    const CookieHealth health = readCookieHealth(book_.path());
    const double now = nowDateTime();
    const SiteList& sites = book_.sites();
    for (std::size_t row = 0; row < sites.size(); ++row) {
        model_->setCookieWarning(static_cast<int>(row), cookieWarning(health, sites[row].Cid, now));
    }
}

QString SignPage::cellText(int row, int column) const {
    return model_->cell(row, column);
}

void SignPage::setCellText(int row, int column, const QString& text) {
    model_->setCell(row, column, text);
}

void SignPage::setRowVerdict(int row, const AccountVerdict& verdict) {
    model_->setVerdict(row, verdict);
}

void SignPage::setListSize(const QSize& size) {
    list_->resize(size);
}

void SignPage::clearResults() {
    model_->clearResults();
}

bool SignPage::ready(int row) const {
    return model_->ready(row);
}

int SignPage::selectedRow() const {
    const QModelIndexList rows = list_->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.front().row();
}

int SignPage::rowCount() const {
    return model_->rowCount();
}

void SignPage::setPassControlsEnabled(bool enabled) {
    signInAction_->setEnabled(enabled);
    stopAction_->setEnabled(!enabled);
    for (QAction* action : rowActions_) {
        action->setEnabled(enabled);
    }
}

void SignPage::copySelectedResult() {
    const int row = selectedRow();
    if (row < 0) {
        return;
    }
    QGuiApplication::clipboard()->setText(model_->cell(row, kColumnResult));
}

bool SignPage::requireSelection() {
    if (selectedRow() >= 0) {
        return true;
    }
    MessageBoxes::inform(window(), QStringLiteral("请点击选中需要操作的网站！"),
                         QStringLiteral("操作提示"), BoxIcon::Error);
    return false;
}

void SignPage::notYet(const QString& what) {
    QString command = what;
    command.remove(QStringLiteral("&"));
    MessageBoxes::inform(window(),
                         QStringLiteral("“%1”功能尚未开放，敬请期待！").arg(command.trimmed()),
                         QStringLiteral("操作提示"), BoxIcon::Information);
}

bool SignPage::rememberSelection() {
    const int row = selectedRow();
    const SiteList& sites = book_.sites();
    if (row < 0 || static_cast<std::size_t>(row) >= sites.size()) {
        return false;
    }
    SelectedAccount& selected = capture_.selected;
    selected.index = row;
    selected.entry = sites[static_cast<std::size_t>(row)];
    selected.templateId = selected.entry.id;
    return true;
}

void SignPage::browserLogin() {
    if (!rememberSelection()) {
        return;
    }
    capture_.mode = CaptureMode::BrowserAccount;
    // The account as it was when the command started; the window works on this copy whatever
    // the list does meanwhile.
    const SelectedAccount account = capture_.selected;
    BrowserLogin login;
    login.owner = window();
    login.address = account.entry.Weblogin;
    login.capture = [this, account](const CapturedCookie& captured, QWidget* shown) {
        capture_.pending.setCookie(captured.cookie, CookieOrigin::Browser, account.entry.WebName,
                                   captured.expires);
        return book_.storeCapturedCookie(
            account, captured.cookie, captured.expires,
            [shown](const QString& text, const QString& caption, bool warning) {
                MessageBoxes::inform(shown, text, caption,
                                     warning ? BoxIcon::Warning : BoxIcon::Information);
            });
    };
    QString failure;
    const BrowserLoginResult result = runBrowserLogin(login, &failure);
    // Stored, or closed without storing: either way the window is gone.
    capture_.mode = CaptureMode::ForEditor;
    if (result == BrowserLoginResult::Unavailable) {
        MessageBoxes::inform(window(), failure, QStringLiteral("软件登录"), BoxIcon::Warning);
    }
}

void SignPage::openManualFill(CaptureMode mode) {
    // One manual-fill window for the list at a time: one still open is closed as by its close
    // button (nothing stored) before the new command remembers its row.
    if (ManualFillDialog* open = manualFill_.data()) {
        open->reject();
    }
    if (!rememberSelection()) {
        return;
    }
    capture_.mode = mode;
    auto* dialog = new ManualFillDialog(window(), book_, capture_, mode, capture_.selected);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    manualFill_ = dialog;
    dialog->show();
}

void SignPage::manualFillAccount() {
    openManualFill(CaptureMode::UpdateAccount);
}

void SignPage::addAccount() {
    openManualFill(CaptureMode::AddAccount);
}

void SignPage::deleteAccount() {
    if (!rememberSelection()) {
        return;
    }
    if (capture_.selected.entry.Cid == 0) {
        deleteSite();  // no account to delete: the site is what the row shows
        return;
    }
    const BoxAnswer answer =
        MessageBoxes::show(window(), BoxRequest{deleteQuestion(capture_.selected.entry),
                                                QStringLiteral("删除签到网站"), BoxIcon::Question,
                                                BoxButtons::OkCancel});
    if (answer != BoxAnswer::Ok) {
        return;
    }
    book_.deleteAccount(capture_.selected.entry.Cid);
    book_.reload();
}

QString SignPage::deleteSiteQuestion(const SiteTemplate& entry) {
    QStringList cids;
    for (const SiteTemplate& site : book_.sites()) {
        if (site.id == entry.id && site.Cid != 0) {
            cids << QString::number(site.Cid);
        }
    }
    QString text = QStringLiteral("是否删除网站“%1”？删除后不能恢复，以下内容一起删除：\r\n")
                       .arg(fromAnsi(entry.WebName)) +
                   QStringLiteral("模板：%1\r\n").arg(fromAnsi(entry.WebName));
    text += cids.isEmpty() ? QStringLiteral("账号：没有")
                           : QStringLiteral("账号：%1 个（Cid：%2）")
                                 .arg(cids.size())
                                 .arg(cids.join(QStringLiteral("、")));
    if (book_.steps(entry.id)) {
        text += QStringLiteral("\r\n多步骤：它的步骤和各账号填写的参数");
    }
    if (!book_.rules(entry.id).empty()) {
        text += QStringLiteral("\r\n判定规则");
    }
    return text;
}

void SignPage::deleteSite() {
    if (!rememberSelection()) {
        return;
    }
    const SiteTemplate entry = capture_.selected.entry;
    const BoxAnswer answer = MessageBoxes::show(
        window(), BoxRequest{deleteSiteQuestion(entry), QStringLiteral("删除网站"),
                             BoxIcon::Question, BoxButtons::OkCancel});
    if (answer != BoxAnswer::Ok) {
        return;
    }
    if (const WriteResult deleted = book_.deleteSite(entry.id); !deleted) {
        MessageBoxes::inform(window(),
                             QStringLiteral("网站“%1”没有删除：").arg(fromAnsi(entry.WebName)) +
                                 fromAnsi(deleted.error),
                             QStringLiteral("删除网站"), BoxIcon::Warning);
    }
    book_.reload();
}

void SignPage::modifyTemplate() {
    if (!rememberSelection()) {
        return;
    }
    ModifyDialog dialog(window(), book_, calls_, capture_.selected.entry);
    dialog.exec();
}

}  // namespace vesprey::ui
