#include "ui/window/sign_page.h"

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QStringList>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <algorithm>

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
    model_->setNoteStore([this](int cid, const QString& note) { return storeNote(cid, note); });
    filter_ = new AccountFilter(model_, this);
    list_ = new QTreeView(this);
    list_->setObjectName(QStringLiteral("超级列表框_签到区"));
    list_->setGeometry(0, -2, 590, 350);
    listSize_ = list_->size();
    list_->setModel(filter_);
    list_->setRootIsDecorated(false);
    list_->setItemsExpandable(false);
    list_->setUniformRowHeights(true);
    list_->setAlternatingRowColors(true);
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);  // the note: F2 or the menu
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

    searchBar_ = new QWidget(this);
    searchBar_->setObjectName(QStringLiteral("区域_搜索"));
    auto* bar = new QHBoxLayout(searchBar_);
    bar->setContentsMargins(4, 3, 4, 3);
    bar->setSpacing(6);
    search_ = new QLineEdit(searchBar_);
    search_->setObjectName(QStringLiteral("编辑框_搜索"));
    search_->setPlaceholderText(QStringLiteral("搜索网站、备注、返回内容或判定（空格隔开几个词）"));
    search_->setClearButtonEnabled(true);
    search_->installEventFilter(this);
    searchCount_ = new QLabel(searchBar_);
    searchCount_->setObjectName(QStringLiteral("标签_搜索结果"));
    auto* close = new QToolButton(searchBar_);
    close->setObjectName(QStringLiteral("按钮_关闭搜索"));
    close->setText(QStringLiteral("×"));
    close->setToolTip(QStringLiteral("关闭搜索（Esc），显示全部账号"));
    close->setAutoRaise(true);
    bar->addWidget(search_, 1);
    bar->addWidget(searchCount_);
    bar->addWidget(close);
    searchBar_->hide();
    connect(search_, &QLineEdit::textChanged, this, [this](const QString& text) {
        filter_->setSearch(text);
        showSearchCount();
    });
    // Enter: the keyboard goes to the first row found.
    connect(search_, &QLineEdit::returnPressed, this, [this] {
        if (filter_->rowCount() > 0) {
            list_->setCurrentIndex(filter_->index(0, 0));
        }
        list_->setFocus();
    });
    connect(close, &QToolButton::clicked, this, &SignPage::closeSearch);
    connect(filter_, &QAbstractItemModel::rowsInserted, this, &SignPage::showSearchCount);
    connect(filter_, &QAbstractItemModel::rowsRemoved, this, &SignPage::showSearchCount);
    connect(filter_, &QAbstractItemModel::modelReset, this, &SignPage::showSearchCount);
    connect(filter_, &QAbstractItemModel::layoutChanged, this, &SignPage::showSearchCount);
    buildContextMenu();
}

bool SignPage::eventFilter(QObject* watched, QEvent* event) {
    if (watched == search_ && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        closeSearch();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void SignPage::buildContextMenu() {
    menu_ = new QMenu(QStringLiteral("主"), this);
    menu_->setObjectName(QStringLiteral("菜单_主"));
    // A row command's key works while the list has the keyboard (Delete in the search field
    // deletes a character); the pass's and the search's anywhere on the page.
    auto withKey = [this](QAction* action, const QKeySequence& key, QWidget* on) {
        action->setShortcut(key);
        action->setShortcutContext(on == list_ ? Qt::WidgetShortcut
                                               : Qt::WidgetWithChildrenShortcut);
        on->addAction(action);
    };
    auto addRowCommand = [this, withKey](QMenu* into, const QString& name, const QString& caption,
                                         void (SignPage::*command)(), const QKeySequence& key) {
        QAction* action = into->addAction(caption);
        action->setObjectName(name);
        connect(action, &QAction::triggered, this, [this, command] {
            if (requireSelection()) {
                (this->*command)();
            }
        });
        withKey(action, key, list_);
        rowActions_.append(action);
    };
    QMenu* login = menu_->addMenu(QStringLiteral("登录"));
    addRowCommand(login, QStringLiteral("菜单_软件登录"), QStringLiteral("软件登录"),
                  &SignPage::browserLogin, QKeySequence(Qt::CTRL | Qt::Key_L));
    addRowCommand(login, QStringLiteral("菜单_人工填写"), QStringLiteral("人工填写"),
                  &SignPage::manualFillAccount, QKeySequence(Qt::CTRL | Qt::Key_K));
    menu_->addSeparator();
    QMenu* edit = menu_->addMenu(QStringLiteral("操作"));
    addRowCommand(edit, QStringLiteral("菜单_删除"), QStringLiteral("删除(&D)"),
                  &SignPage::deleteAccount, QKeySequence::Delete);
    addRowCommand(edit, QStringLiteral("菜单_删除网站"), QStringLiteral("删除网站"),
                  &SignPage::deleteSite, QKeySequence(Qt::SHIFT | Qt::Key_Delete));
    addRowCommand(edit, QStringLiteral("菜单_修改"), QStringLiteral("修改(&U)"),
                  &SignPage::modifyTemplate, QKeySequence(Qt::CTRL | Qt::Key_E));
    addRowCommand(edit, QStringLiteral("菜单_增加"), QStringLiteral("增加(&N)"),
                  &SignPage::addAccount, QKeySequence(Qt::CTRL | Qt::Key_N));
    addRowCommand(edit, QStringLiteral("菜单_备注"), QStringLiteral("备注(&R)"),
                  &SignPage::editNote, QKeySequence(Qt::Key_F2));
    QAction* copy = edit->addAction(QStringLiteral("复制返回内容(&C)"));
    copy->setObjectName(QStringLiteral("菜单_复制返回内容"));
    withKey(copy, QKeySequence::Copy, list_);
    connect(copy, &QAction::triggered, this, &SignPage::copySelectedResult);
    menu_->addSeparator();
    signInAction_ = menu_->addAction(QStringLiteral("开始签到"));
    signInAction_->setObjectName(QStringLiteral("菜单_开始签到"));
    withKey(signInAction_, QKeySequence(Qt::Key_F5), this);
    connect(signInAction_, &QAction::triggered, this, &SignPage::signInRequested);
    signChosenAction_ = menu_->addAction(QStringLiteral("签到选中"));
    signChosenAction_->setObjectName(QStringLiteral("菜单_签到选中"));
    withKey(signChosenAction_, QKeySequence(Qt::CTRL | Qt::Key_F5), this);
    connect(signChosenAction_, &QAction::triggered, this, [this] {
        if (requireSelection()) {
            emit signChosenRequested();
        }
    });
    stopAction_ = menu_->addAction(QStringLiteral("停止签到"));
    stopAction_->setObjectName(QStringLiteral("菜单_停止签到"));
    stopAction_->setEnabled(false);
    withKey(stopAction_, QKeySequence(Qt::SHIFT | Qt::Key_F5), this);
    connect(stopAction_, &QAction::triggered, this, &SignPage::stopRequested);
    QAction* find = menu_->addAction(QStringLiteral("查找(&F)"));
    find->setObjectName(QStringLiteral("菜单_查找"));
    withKey(find, QKeySequence::Find, this);
    connect(find, &QAction::triggered, this, &SignPage::openSearch);
    QAction* history = menu_->addAction(QStringLiteral("签到历史"));
    history->setObjectName(QStringLiteral("菜单_签到历史"));
    withKey(history, QKeySequence(Qt::CTRL | Qt::Key_H), this);
    connect(history, &QAction::triggered, this, &SignPage::historyRequested);
}

void SignPage::showList(const ReadResult& read) {
    model_->load(
        book_.sites(), [this](const SiteTemplate& site) { return book_.ready(site); },
        [this](int cid) { return book_.note(cid); });
    fitSiteColumn();
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
    listSize_ = size;
    layoutList();
}

void SignPage::layoutList() {
    if (searchBar_->isHidden()) {
        list_->resize(listSize_);
        return;
    }
    const int barHeight = searchBar_->sizeHint().height();
    list_->resize(listSize_.width(), std::max(0, listSize_.height() - barHeight));
    searchBar_->setGeometry(0, list_->geometry().bottom() + 1, listSize_.width(), barHeight);
}

void SignPage::openSearch() {
    if (searchBar_->isHidden()) {
        searchBar_->show();
        layoutList();
        showSearchCount();
    }
    search_->setFocus();
    search_->selectAll();
}

void SignPage::closeSearch() {
    search_->clear();
    searchBar_->hide();
    layoutList();
    list_->setFocus();
}

QString SignPage::searchText() const {
    return searchBar_->isHidden() ? QString() : search_->text();
}

int SignPage::shownRowCount() const {
    return filter_->rowCount();
}

void SignPage::showSearchCount() {
    searchCount_->setText(
        QStringLiteral("显示 %1/%2").arg(filter_->rowCount()).arg(model_->rowCount()));
}

void SignPage::clearResults() {
    model_->clearResults();
}

void SignPage::clearResults(const std::vector<int>& rows) {
    model_->clearResults(rows);
}

bool SignPage::ready(int row) const {
    return model_->ready(row);
}

int SignPage::selectedRow() const {
    const QItemSelectionModel* selection = list_->selectionModel();
    const QModelIndex current = list_->currentIndex();
    if (current.isValid() && selection->isRowSelected(current.row(), current.parent())) {
        return filter_->mapToSource(current).row();
    }
    const std::vector<int> rows = selectedRows();
    return rows.empty() ? -1 : rows.front();
}

std::vector<int> SignPage::selectedRows() const {
    std::vector<int> rows;
    for (const QModelIndex& shown : list_->selectionModel()->selectedRows()) {
        rows.push_back(filter_->mapToSource(shown).row());
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

int SignPage::rowCount() const {
    return model_->rowCount();
}

void SignPage::dropEditing() {
    model_->setNoteStore({});
}

void SignPage::setPassControlsEnabled(bool enabled) {
    signInAction_->setEnabled(enabled);
    signChosenAction_->setEnabled(enabled);
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
    if (const std::vector<int> rows = selectedRows(); rows.size() > 1) {
        deleteAccounts(rows);
        return;
    }
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
    if (const WriteResult deleted = book_.deleteAccount(capture_.selected.entry.Cid); !deleted) {
        MessageBoxes::inform(window(), QStringLiteral("账号没有删除：") + fromAnsi(deleted.error),
                             QStringLiteral("删除签到网站"), BoxIcon::Warning);
    }
    book_.reload();
}

void SignPage::deleteAccounts(const std::vector<int>& rows) {
    const SiteList& sites = book_.sites();
    std::vector<int> cids;
    QStringList named;
    for (const int row : rows) {
        if (row < 0 || static_cast<std::size_t>(row) >= sites.size()) {
            continue;
        }
        const SiteTemplate& site = sites[static_cast<std::size_t>(row)];
        if (site.Cid == 0) {
            continue;  // a site without account: "删除网站" deletes it
        }
        cids.push_back(site.Cid);
        const QString note = model_->note(row);
        named.append(
            fromAnsi(site.WebName) +
            (note.isEmpty() ? QString() : QStringLiteral("（") + note + QStringLiteral("）")) +
            QStringLiteral("，Cid：%1").arg(site.Cid));
    }
    if (cids.empty()) {
        MessageBoxes::inform(window(),
                             QStringLiteral("选中的网站都还没有账号；要删除网站，请用“删除网站”。"),
                             QStringLiteral("删除签到网站"), BoxIcon::Information);
        return;
    }
    constexpr qsizetype kNamed = 10;  // the question names this many and counts the rest
    QString list = named.mid(0, kNamed).join(QStringLiteral("\r\n"));
    if (named.size() > kNamed) {
        list += QStringLiteral("\r\n……另外 %1 个").arg(named.size() - kNamed);
    }
    const BoxAnswer answer = MessageBoxes::show(
        window(),
        BoxRequest{
            QStringLiteral("是否删除选中的 %1 个网站账号，不再进行签到？\r\n").arg(cids.size()) +
                list,
            QStringLiteral("删除签到网站"), BoxIcon::Question, BoxButtons::OkCancel});
    if (answer != BoxAnswer::Ok) {
        return;
    }
    QStringList failed;
    for (const int cid : cids) {
        if (const WriteResult deleted = book_.deleteAccount(cid); !deleted) {
            failed.append(QStringLiteral("Cid %1：").arg(cid) + fromAnsi(deleted.error));
        }
    }
    if (!failed.isEmpty()) {
        MessageBoxes::inform(window(),
                             QStringLiteral("%1 个账号没有删除：\r\n").arg(failed.size()) +
                                 failed.join(QStringLiteral("\r\n")),
                             QStringLiteral("删除签到网站"), BoxIcon::Warning);
    }
    book_.reload();
}

void SignPage::editNote() {
    const int row = selectedRow();
    if (!model_->hasAccount(row)) {
        MessageBoxes::inform(window(), QStringLiteral("这个网站还没有账号，不能写备注。"),
                             QStringLiteral("备注"), BoxIcon::Information);
        return;
    }
    const QModelIndex shown = filter_->mapFromSource(model_->index(row, kColumnSite));
    list_->setCurrentIndex(shown);
    list_->edit(shown);
}

void SignPage::fitSiteColumn() {
    // Without notes the column keeps its width; with them it grows to show "甲站（大号）" whole, up
    // to a bound that leaves "返回内容" its room.
    constexpr int kWidestSiteColumn = 180;
    const int base = AccountListModel::widths()[static_cast<std::size_t>(kColumnSite)];
    bool noted = false;
    for (int row = 0; row < model_->rowCount() && !noted; ++row) {
        noted = !model_->note(row).isEmpty();
    }
    const QAbstractItemView* view = list_;  // QTreeView hides sizeHintForColumn
    const int wanted = noted ? view->sizeHintForColumn(kColumnSite) + 12 : base;
    list_->setColumnWidth(kColumnSite, std::clamp(wanted, base, kWidestSiteColumn));
}

bool SignPage::storeNote(int cid, const QString& note) {
    if (const WriteResult written = book_.saveNote(cid, note); !written) {
        MessageBoxes::inform(window(), QStringLiteral("备注没有保存：") + fromAnsi(written.error),
                             QStringLiteral("备注"), BoxIcon::Warning);
        return false;
    }
    QTimer::singleShot(0, this, &SignPage::fitSiteColumn);  // once the row shows the note
    return true;
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
