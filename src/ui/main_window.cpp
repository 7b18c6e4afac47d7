#include "ui/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QTreeView>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "engine/push.h"
#include "engine/sign_in_run.h"
#include "store/push_channels.h"
#include "ui/account_list.h"
#include "ui/autostart.h"
#include "ui/browser_loader.h"
#include "ui/history_window.h"
#include "ui/message_boxes.h"
#include "ui/new_database_dialog.h"
#include "ui/pass_history.h"
#include "ui/push_channels_dialog.h"
#include "ui/push_test.h"
#include "ui/qt_text.h"
#include "ui/sign_in_pass.h"
#include "ui/skin.h"
#include "ui/template_editor.h"
#include "ui/tray.h"
#include "ui/window_calls.h"

namespace vesprey::ui {
namespace {

constexpr int kWidth = 720;
constexpr int kDesignedHeight = 456;
constexpr int kHeight = 400;

// The status strip and its labels.
constexpr int kStripWidth = 592;
constexpr int kStatusLeft = 30;
constexpr int kStatusWidth = 500;
constexpr int kStripMargin = 6;

// The names of the push page's switches in Sign.db's settings.
constexpr std::string_view kNotifyOnSetting = "notify_on";
constexpr std::string_view kSaveCookiesSetting = "save_cookies";
constexpr std::string_view kJobsSetting = "sign_in_jobs";
constexpr std::string_view kStrictTlsSetting = "strict_tls";

// How long "已保存 N 个更新的 Cookie" stays in the status label.
constexpr std::chrono::seconds kSavedCookiesShown{5};
// Longer than any push request may take.
constexpr std::chrono::seconds kPushTestShown{120};
// How long "签到历史没有保存：…" stays in the status label.
constexpr std::chrono::seconds kHistoryFailureShown{5};

template <class W>
W* place(W* widget, const QString& name, int x, int y, int w, int h) {
    widget->setObjectName(name);
    widget->setGeometry(x, y, w, h);
    return widget;
}

QLabel* label(QWidget* parent, const QString& text, int x, int y, int w = 64, int h = 20) {
    auto* l = new QLabel(text, parent);
    l->setGeometry(x, y, w, h);
    return l;
}

QPushButton* button(QWidget* parent, const QString& name, const QString& caption, int x, int y,
                    int w = 61, int h = 25) {
    return place(new QPushButton(caption, parent), name, x, y, w, h);
}

}  // namespace

MainWindow::MainWindow(std::filesystem::path databasePath, ProgramEnvironment environment,
                       QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint),
      databasePath_(std::move(databasePath)),
      environment_(std::move(environment)) {
    setObjectName(QStringLiteral("主窗口"));
    setWindowTitle(QStringLiteral("Vesprey V1.0"));
    resize(kWidth, kDesignedHeight);
    calls_ = new WindowQueue(this);

    auto* background =
        place(new WindowBackground(this), QStringLiteral("图片框1"), 0, 0, kWidth, kHeight);
    Q_UNUSED(background);
    buildPages();
    buildTitleStrip();
    buildStatusStrip();
    buildContextMenu();
    selectPage(0);
    tray_ = TrayIcon::create(*this);
}

MainWindow::~MainWindow() {
    // The worker may wait for a call on this thread: stopping releases it before the join.
    pass_.request_stop();
    if (pass_.joinable()) {
        pass_.join();
    }
}

void MainWindow::buildTitleStrip() {
    auto* strip = findChild<WindowBackground*>(QStringLiteral("图片框1"));
    auto* title = place(new QLabel(QStringLiteral("Vesprey V1.0"), strip), QStringLiteral("标签1"),
                        10, 3, 80, 24);
    title->setStyleSheet(QStringLiteral("color: white; font-weight: bold;"));

    auto* minimize = place(new PictureButton(Picture::Minimize, {}, strip),
                           QStringLiteral("最小化"), 682, 8, 13, 13);
    minimize->setToolTip(QStringLiteral("最小化"));
    connect(minimize, &QAbstractButton::clicked, this, &QWidget::showMinimized);

    auto* close = place(new PictureButton(Picture::Close, {}, strip),
                        QStringLiteral("图形按钮_关闭"), 700, 8, 13, 13);
    close->setToolTip(QStringLiteral("关闭"));
    connect(close, &QAbstractButton::clicked, this, &MainWindow::endProcess);

    struct Page {
        const char16_t* name;
        const char16_t* caption;
        Picture picture;
        int top;
    };
    const Page pages[] = {{u"推荐板块", u"签到区", Picture::SignIn, 107},
                          {u"生成模板", u"模板区", Picture::Editor, 141},
                          {u"推荐板块2", u"推送区", Picture::Push, 175},
                          {u"推荐板块3", u"关于我们", Picture::About, 209}};
    for (int i = 0; i < 4; ++i) {
        const Page& page = pages[i];
        auto* b = place(new PictureButton(page.picture, QString::fromUtf16(page.caption), strip),
                        QString::fromUtf16(page.name), 0, page.top, 128, 34);
        b->setCheckable(true);
        b->setAutoExclusive(true);
        connect(b, &QAbstractButton::clicked, this, [this, i] { selectPage(i); });
        pageButtons_.append(b);
    }
}

void MainWindow::buildStatusStrip() {
    auto* strip = place(new QWidget(this), QStringLiteral("外形框1"), 128, 376, kStripWidth, 24);
    strip->setAttribute(Qt::WA_StyledBackground);
    place(new PictureBox(Picture::Network, strip), QStringLiteral("网络状态"), 4, 2, 20, 20);
    auto* separator = place(new QWidget(strip), QStringLiteral("图片框2"), 26, 4, 1, 16);
    separator->setAttribute(Qt::WA_StyledBackground);
    separator->setStyleSheet(QStringLiteral("background: #c9d3df;"));
    status_ = place(new QLabel(strip), QStringLiteral("zt1"), kStatusLeft, 3, kStatusWidth, 20);
    counts_ = place(new QLabel(strip), QStringLiteral("zt2"), kStripWidth - kStripMargin, 3, 0, 20);
    counts_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    counts_->hide();
    statusNotice_ = new QTimer(this);
    statusNotice_->setSingleShot(true);
    connect(statusNotice_, &QTimer::timeout, this, [this] {
        status_->setText(statusBehindNotice_);
        emit statusChanged(statusBehindNotice_);
    });
    strip->raise();
}

void MainWindow::buildPages() {
    tabs_ = place(new QTabWidget(this), QStringLiteral("选择夹1"), 128, 30, 592, 393);
    tabs_->tabBar()->hide();  // the left column selects the page
    tabs_->addTab(buildListPage(), QStringLiteral("签到区"));
    tabs_->addTab(buildTemplatePage(), QStringLiteral("模板区"));
    tabs_->addTab(buildPushPage(), QStringLiteral("推送区"));
    tabs_->addTab(buildAboutPage(), QStringLiteral("关于我们"));
}

QWidget* MainWindow::buildListPage() {
    auto* page = new QWidget;
    model_ = new AccountListModel(this);
    list_ = place(new QTreeView(page), QStringLiteral("超级列表框_签到区"), 0, -2, 590, 350);
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
    connect(list_, &QAbstractItemView::doubleClicked, this, &MainWindow::copySelectedResult);
    return page;
}

QWidget* MainWindow::buildPushPage() {
    auto* page = new QWidget;
    auto* notice = place(new QGroupBox(QStringLiteral("推送通知："), page),
                         QStringLiteral("分组框3"), 16, 6, 560, 184);
    label(notice, QStringLiteral("推送类型："), 10, 24);
    auto* kinds = place(new QGroupBox(notice), QStringLiteral("分组框5"), 72, 16, 264, 32);
    bark_ = place(new QRadioButton(QStringLiteral("Bark"), kinds), QStringLiteral("单选框_Brak"), 9,
                  8, 66, 18);
    serverChan_ = place(new QRadioButton(QStringLiteral("Server酱"), kinds),
                        QStringLiteral("单选框_Server酱"), 80, 8, 84, 18);
    dingTalk_ = place(new QRadioButton(QStringLiteral("钉钉"), kinds),
                      QStringLiteral("单选框_钉钉"), 168, 8, 66, 18);
    bark_->setChecked(true);
    // A running pass reads the checked channel at its end.
    for (auto [radio, channel] :
         {std::pair{bark_, kPushBark}, std::pair{serverChan_, kPushServerChan},
          std::pair{dingTalk_, kPushDingTalk}}) {
        connect(radio, &QAbstractButton::toggled, this, [this, channel = channel](bool on) {
            if (on) {
                switches_->setChannel(channel);
            }
        });
    }
    connect(bark_, &QAbstractButton::clicked, this, [this] { showPushKey(kPushBark); });
    connect(serverChan_, &QAbstractButton::clicked, this, [this] { showPushKey(kPushServerChan); });
    connect(dingTalk_, &QAbstractButton::clicked, this, [this] { showPushKey(kPushDingTalk); });

    label(notice, QStringLiteral("推送标识："), 8, 58);
    pushKey_ = place(new QLineEdit(notice), QStringLiteral("编辑框_推送标识"), 71, 56, 473, 24);
    label(notice, QStringLiteral("推送语句："), 8, 90);
    place(new QPlainTextEdit(notice), QStringLiteral("编辑框_推送语句"), 71, 88, 473, 84);
    auto* more =
        button(notice, QStringLiteral("超级按钮_推送渠道"), QStringLiteral("更多渠道…"), 344, 20);
    more->setToolTip(
        QStringLiteral("ntfy、Gotify、Telegram、企业微信、飞书、PushPlus、Server酱³、"
                       "Webhook、电子邮件；可同时启用多个"));
    connect(more, &QPushButton::clicked, this, &MainWindow::showPushChannels);
    enabledChannels_ =
        place(new QLabel(notice), QStringLiteral("标签_已启用渠道"), 418, 22, 130, 20);

    auto* timed = place(new QGroupBox(QStringLiteral("定时执行："), page),
                        QStringLiteral("分组框4"), 16, 193, 560, 112);
    label(timed, QStringLiteral("执行时间："), 8, 17);
    period_ = place(new QComboBox(timed), QStringLiteral("组合框_执行时间"), 72, 17, 113, 20);
    period_->addItems(periodCaptions());
    notify_ = place(new QCheckBox(QStringLiteral("同步通知"), timed),
                    QStringLiteral("选择框_同步通知"), 11, 81, 80, 20);
    // A running pass reads it at every row and at its end.
    connect(notify_, &QCheckBox::toggled, this, [this](bool on) { switches_->setNotify(on); });
    schedule_ = place(new QCheckBox(QStringLiteral("开启定时"), timed),
                      QStringLiteral("选择框_开启定时"), 96, 81, 80, 20);
    failureOnly_ = place(new QCheckBox(QStringLiteral("仅失败时推送"), timed),
                         QStringLiteral("选择框_仅失败时推送"), 181, 81, 110, 20);
    saveCookies_ = place(new QCheckBox(QStringLiteral("保存更新的 Cookie"), timed),
                         QStringLiteral("选择框_保存更新的Cookie"), 296, 81, 150, 20);
    connect(failureOnly_, &QCheckBox::toggled, this,
            [this](bool on) { storeSwitch(kNotifyOnSetting, on ? "failure" : "always"); });
    connect(saveCookies_, &QCheckBox::toggled, this,
            [this](bool on) { storeSwitch(kSaveCookiesSetting, on ? "1" : "0"); });
    label(timed, QStringLiteral("同时签到数："), 8, 49, 76);
    jobs_ = place(new QSpinBox(timed), QStringLiteral("数字框_同时签到数"), 84, 49, 60, 20);
    jobs_->setRange(1, kMaxSignInJobs);
    jobs_->setKeyboardTracking(false);  // stored once the number is typed, not at each digit
    jobs_->setToolTip(QStringLiteral("同一网站的账号仍按列表顺序一个接一个签到"));
    connect(jobs_, &QSpinBox::valueChanged, this,
            [this](int jobs) { storeSwitch(kJobsSetting, std::to_string(jobs)); });
    strictTls_ = place(new QCheckBox(QStringLiteral("签到也校验证书"), timed),
                       QStringLiteral("选择框_签到也校验证书"), 160, 49, 150, 20);
    strictTls_->setToolTip(
        QStringLiteral("签到请求也检查网站的证书（推送总是检查）；证书有误的网站会签到失败"));
    connect(strictTls_, &QCheckBox::toggled, this,
            [this](bool on) { storeSwitch(kStrictTlsSetting, on ? "1" : "0"); });
    scheduler_ = new Scheduler(period_, schedule_, this);
    connect(schedule_, &QAbstractButton::clicked, scheduler_, &Scheduler::armSchedule);
    connect(scheduler_, &Scheduler::statusText, this, &MainWindow::setStatus);
    connect(scheduler_, &Scheduler::due, this, &MainWindow::startScheduledPass);
    scheduler_->setRunRecord([this](const QString& day) { return scheduledPassStarted(day); });

    pushTestButton_ =
        button(page, QStringLiteral("超级按钮_推送_调试"), QStringLiteral("调试"), 442, 312);
    connect(pushTestButton_, &QPushButton::clicked, this, &MainWindow::testPush);
    pushTest_ = new PushTest(environment_.push, this);
    connect(pushTest_, &PushTest::runningChanged, pushTestButton_,
            [this](bool running) { pushTestButton_->setEnabled(!running); });
    connect(
        pushTest_, &PushTest::finished, this, [this](const QString&, const PushOutcome& outcome) {
            showStatusNotice(outcome.ok()
                                 ? QStringLiteral("推送成功")
                                 : QStringLiteral("推送失败：") + fromAnsi(outcome.error.message),
                             kPushFailureShown);
        });
    auto* save =
        button(page, QStringLiteral("超级按钮_推送_保存"), QStringLiteral("保存"), 514, 312);
    connect(save, &QPushButton::clicked, this, &MainWindow::savePushKey);
    return page;
}

QWidget* MainWindow::buildAboutPage() {
    auto* page = new QWidget;
    place(new PictureBox(Picture::Calendar, page), QStringLiteral("图片框3"), 40, 34, 225, 247);
    place(new PictureBox(Picture::Phone, page), QStringLiteral("图片框4"), 320, 34, 225, 247);
    auto* thanks =
        place(new QLabel(QStringLiteral("“感谢有你支持，「Vesprey」有您将为变得更精彩！”"), page),
              QStringLiteral("标签2"), 40, 298, 504, 32);
    thanks->setAlignment(Qt::AlignCenter);
    addAutostartSwitch(page, this)->setGeometry(40, 6, 120, 20);
    return page;
}

void MainWindow::buildContextMenu() {
    menu_ = new QMenu(QStringLiteral("主"), this);
    menu_->setObjectName(QStringLiteral("菜单_主"));
    auto addRowCommand = [this](QMenu* into, const QString& name, const QString& caption,
                                void (MainWindow::*command)() = nullptr) {
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
                  &MainWindow::browserLogin);
    addRowCommand(login, QStringLiteral("菜单_人工填写"), QStringLiteral("人工填写"),
                  &MainWindow::manualFillAccount);
    menu_->addSeparator();
    QMenu* edit = menu_->addMenu(QStringLiteral("操作"));
    addRowCommand(edit, QStringLiteral("菜单_删除"), QStringLiteral("删除(&D)"),
                  &MainWindow::deleteAccount);
    addRowCommand(edit, QStringLiteral("菜单_修改"), QStringLiteral("修改(&U)"),
                  &MainWindow::modifyTemplate);
    addRowCommand(edit, QStringLiteral("菜单_增加"), QStringLiteral("增加(&N)"),
                  &MainWindow::addAccount);
    menu_->addSeparator();
    signInAction_ = menu_->addAction(QStringLiteral("开始签到"));
    signInAction_->setObjectName(QStringLiteral("菜单_开始签到"));
    connect(signInAction_, &QAction::triggered, this, &MainWindow::startPassFromMenu);
    QAction* history = menu_->addAction(QStringLiteral("签到历史"));
    history->setObjectName(QStringLiteral("菜单_签到历史"));
    connect(history, &QAction::triggered, this, &MainWindow::showHistory);
}

void MainWindow::showHistory() {
    // One window at a time, read afresh when asked for again.
    if (history_) {
        history_->close();
    }
    history_ = new HistoryWindow(databasePath_, nowDateTime(), this);
    history_->setAttribute(Qt::WA_DeleteOnClose);
    history_->show();
}

void MainWindow::startUp() {
    // The start-up window is gone by now; the height is the one the window keeps.
    setFixedSize(kWidth, kHeight);
    // No file where the program looked (a first start): it offers to create one there.
    std::error_code unknown;
    const bool missing = !std::filesystem::exists(databasePath_, unknown) && !unknown;
    if (missing && !offerNewDatabase(databasePath_, environment_.folders.dataDirectory, this)) {
        setStatus(QStringLiteral("没有 Sign.db：签到和保存都不会生效，重新启动程序可以新建。"));
    } else if (!openSiteDatabase(db_, databasePath_)) {
        MessageBoxes::inform(this, fromAnsi(openFailedMessage()), MessageBoxes::defaultCaption(),
                             BoxIcon::Warning);
    }
    reloadSiteList();
    readSwitches();
    push_ = loadPushSettings(db_);
    pushKey_->setText(push_.empty() ? QString() : fromAnsi(push_.front().RobotId));
    conversion_->setCurrentIndex(0);
    period_->setCurrentIndex(0);
}

bool MainWindow::reloadSiteList() {
    if (passRunning_) {
        return false;
    }
    model_->clear();
    const ReadResult read = readSiteList(db_, sites_);
    model_->load(sites_);
    showCookieHealth();
    // A file that cannot be read at all (not open, wrong key) shows an empty list as it always
    // did; a list the file gave up on part way, or a file held by another program, is said.
    if (read.busy() || (!read.ok() && read.started)) {
        MessageBoxes::inform(
            this, QStringLiteral("账号列表读取失败！\r\n") + fromAnsi(readFailureText(read)),
            MessageBoxes::defaultCaption(), BoxIcon::Warning);
    }
    return true;
}

QString MainWindow::cellText(int row, int column) const {
    return model_->cell(row, column);
}

void MainWindow::setCellText(int row, int column, const QString& text) {
    model_->setCell(row, column, text);
}

void MainWindow::setRowVerdict(int row, const AccountVerdict& verdict) {
    model_->setVerdict(row, verdict);
}

QString MainWindow::statusText() const {
    return status_->text();
}

void MainWindow::setStatus(const QString& text) {
    if (statusNotice_->isActive()) {
        statusBehindNotice_ = text;
        return;
    }
    status_->setText(text);
    emit statusChanged(text);
}

void MainWindow::showStatusNotice(const QString& text, std::chrono::milliseconds duration) {
    if (!statusNotice_->isActive()) {
        statusBehindNotice_ = status_->text();
    }
    status_->setText(text);
    emit statusChanged(text);
    statusNotice_->start(duration);
}

void MainWindow::addStatusNotice(const QString& text, std::chrono::milliseconds duration) {
    // A notice of the same pass (a failed push, say) is still up: both stay in view.
    showStatusNotice(
        statusNotice_->isActive() ? status_->text() + QStringLiteral("；") + text : text, duration);
}

void MainWindow::showPassCounts(const QString& text) {
    counts_->setText(text);
    counts_->setVisible(!text.isEmpty());
    // The counts sit at the right end; the status label gives up the room they take.
    const int width = text.isEmpty() ? 0 : counts_->sizeHint().width();
    counts_->setGeometry(kStripWidth - kStripMargin - width, 3, width, 20);
    status_->resize(text.isEmpty()
                        ? kStatusWidth
                        : std::min(kStatusWidth, counts_->x() - kStripMargin - kStatusLeft),
                    status_->height());
}

QString MainWindow::passCountsText() const {
    return counts_->text();
}

bool MainWindow::notifyChecked() const {
    return notify_->isChecked();
}

bool MainWindow::scheduleChecked() const {
    return schedule_->isChecked();
}

NotifyOn MainWindow::notifyOn() const {
    return failureOnly_->isChecked() ? NotifyOn::Failure : NotifyOn::Always;
}

bool MainWindow::saveRenewedCookiesChecked() const {
    return saveCookies_->isChecked();
}

int MainWindow::signInJobs() const {
    return jobs_->value();
}

void MainWindow::storeSwitch(std::string_view name, std::string_view value) {
    // Like a push key, a switch that cannot be stored says nothing: it still holds for this
    // session.
    writeSetting(db_, name, value);
}

void MainWindow::readSwitches() {
    // Only the user's clicks store: the switches read at start-up are set with the signals
    // blocked. A file without the settings leaves both unchecked.
    const QSignalBlocker quietFailureOnly(failureOnly_);
    const QSignalBlocker quietSaveCookies(saveCookies_);
    failureOnly_->setChecked(readSetting(db_, kNotifyOnSetting) == Text("failure"));
    saveCookies_->setChecked(readSetting(db_, kSaveCookiesSetting) == Text("1"));
    const QSignalBlocker quietStrictTls(strictTls_);
    strictTls_->setChecked(readSetting(db_, kStrictTlsSetting) == Text("1"));
    QStringList enabled;
    for (const std::string& channel : enabledPushChannels(db_)) {
        enabled.append(QString::fromStdString(channel));
    }
    showEnabledChannels(enabled);
    // "同时签到数" as stored, within the box's range; 1 without a number.
    const QSignalBlocker quietJobs(jobs_);
    const std::optional<Text> jobs = readSetting(db_, kJobsSetting);
    jobs_->setValue(jobs ? QString::fromStdString(*jobs).toInt() : 1);
}

int MainWindow::pushChannel() const {
    if (bark_->isChecked()) {
        return kPushBark;
    }
    if (serverChan_->isChecked()) {
        return kPushServerChan;
    }
    if (dingTalk_->isChecked()) {
        return kPushDingTalk;
    }
    return 0;
}

void MainWindow::setTimerPeriod(int milliseconds) {
    scheduler_->setTimerPeriod(milliseconds);
}

int MainWindow::selectedRow() const {
    const QModelIndexList rows = list_->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.front().row();
}

int MainWindow::rowCount() const {
    return model_->rowCount();
}

void MainWindow::selectPage(int index) {
    tabs_->setCurrentIndex(index);
    if (index >= 0 && index < pageButtons_.size()) {
        pageButtons_[index]->setChecked(true);
    }
}

bool MainWindow::requireSelection() {
    if (selectedRow() >= 0) {
        return true;
    }
    MessageBoxes::inform(this, QStringLiteral("请点击选中需要操作的网站！"),
                         QStringLiteral("操作提示"), BoxIcon::Error);
    return false;
}

void MainWindow::notYet(const QString& what) {
    QString command = what;
    command.remove(QStringLiteral("&"));
    MessageBoxes::inform(this,
                         QStringLiteral("“%1”功能尚未开放，敬请期待！").arg(command.trimmed()),
                         QStringLiteral("操作提示"), BoxIcon::Information);
}

void MainWindow::browserLogin() {
    if (!rememberSelection()) {
        return;
    }
    capture_.mode = CaptureMode::BrowserAccount;
    // The account as it was when the command started; the window works on this copy whatever
    // the list does meanwhile.
    const SelectedAccount account = capture_.selected;
    BrowserLogin login;
    login.owner = this;
    login.address = account.entry.Weblogin;
    login.capture = [this, account](const CapturedCookie& captured, QWidget* window) {
        capture_.pending.setCookie(captured.cookie, CookieOrigin::Browser, account.entry.WebName,
                                   captured.expires);
        // Set before the list is rebuilt, so that the rebuilt list shows the new expiry.
        int storedCid = 0;
        return storeAccountCookie(
            db_, account.entry, account.templateId, captured.cookie,
            [window](const QString& text, const QString& caption, bool warning) {
                MessageBoxes::inform(window, text, caption,
                                     warning ? BoxIcon::Warning : BoxIcon::Information);
            },
            [this, &storedCid, &captured] {
                rememberCookieExpiry(storedCid, captured.expires);
                reloadSiteList();
            },
            &storedCid);
    };
    QString failure;
    const BrowserLoginResult result = runBrowserLogin(login, &failure);
    // Stored, or closed without storing: either way the window is gone.
    capture_.mode = CaptureMode::ForEditor;
    if (result == BrowserLoginResult::Unavailable) {
        MessageBoxes::inform(this, failure, QStringLiteral("软件登录"), BoxIcon::Warning);
    }
}

void MainWindow::editorBrowserLogin() {
    QString failure;
    CapturedCookie captured;
    const BrowserLoginResult result =
        captureForEditor(this, editor_->loginAddress(), &captured, &failure);
    capture_.mode = CaptureMode::ForEditor;
    if (result == BrowserLoginResult::Captured) {
        capture_.pending.setCookie(std::move(captured.cookie), CookieOrigin::Browser, {},
                                   captured.expires);
    }
    editor_->showPending();
    if (result == BrowserLoginResult::Unavailable) {
        MessageBoxes::inform(this, failure, QStringLiteral("软件登录"), BoxIcon::Warning);
    }
}

void MainWindow::copySelectedResult() {
    const int row = selectedRow();
    if (row < 0) {
        return;
    }
    QGuiApplication::clipboard()->setText(model_->cell(row, kColumnResult));
}

void MainWindow::showPushKey(int channel) {
    const auto entry = static_cast<std::size_t>(channel - 1);
    pushKey_->setText(channel >= 1 && entry < push_.size() ? fromAnsi(push_[entry].RobotId)
                                                           : QString());
}

void MainWindow::savePushKey() {
    const QString key = pushKey_->text();
    if (key.isEmpty()) {
        MessageBoxes::inform(this, QStringLiteral("推送标识信息为空，请补充完毕再保存！"),
                             QStringLiteral("推送工具"), BoxIcon::Information);
        return;
    }
    const int channel = pushChannel();
    const Text robotId = toAnsi(key);
    // A failed write says nothing. A saved key is used from now on, by the push test and by the
    // next pass, not only after a restart.
    if (updatePushKey(db_, channel, robotId).done) {
        const auto entry = static_cast<std::size_t>(channel - 1);
        if (channel >= 1 && entry < push_.size()) {
            push_[entry].RobotId = robotId;
        }
    }
}

void MainWindow::testPush() {
    const int channel = pushChannel();
    if (channel < 1) {
        return;  // no channel checked: nothing to send
    }
    if (pushTest_->start(std::string(pushChannels()[static_cast<std::size_t>(channel - 1)].name),
                         push_, {})) {
        // Up until the outcome replaces it; the status before comes back after the outcome.
        showStatusNotice(QStringLiteral("正在推送…"), kPushTestShown);
    }
}

void MainWindow::showPushChannels() {
    PushChannelsDialog dialog(db_, push_, *pushTest_, this);
    connect(&dialog, &PushChannelsDialog::enabledChanged, this, &MainWindow::showEnabledChannels);
    dialog.exec();
    showPushKey(pushChannel());  // a key saved there shows here too
}

void MainWindow::showEnabledChannels(const QStringList& channels) {
    enabledChannels_->setText(
        channels.isEmpty() ? QString() : QStringLiteral("已启用 %1 个渠道").arg(channels.size()));
    enabledChannels_->setToolTip(channels.isEmpty()
                                     ? QStringLiteral("没有启用其他渠道：推送到上面选中的一个")
                                     : QStringLiteral("签到完毕后推送到：") +
                                           channels.join(QStringLiteral("、")));
}

void MainWindow::startPassFromMenu() {
    if (passRunning_) {
        return;
    }
    reloadSiteList();
    startPass();
}

void MainWindow::startScheduledPass() {
    selectPage(0);
    // A pass started from the menu is still going: it re-arms the schedule at its end, so the
    // drawn minute is not taken a second time.
    if (passRunning_) {
        return;
    }
    rememberScheduledPass();
    startPass();
}

bool MainWindow::scheduledPassStarted(const QString& day) const {
    if (!HistoryDatabase::exists(databasePath_)) {
        return false;
    }
    HistoryDatabase history;
    std::optional<Text> last;
    ReadResult read = history.open(databasePath_);
    if (read.ok()) {
        read = history.readLastScheduledPass(last);
    }
    // A record that cannot be read may hold the day: no catching up, rather than a second run.
    return !read.ok() || (last && fromAnsi(*last) == day);
}

void MainWindow::rememberScheduledPass() {
    const std::optional<QString> day = scheduler_->lastRunDay();
    if (!day) {
        return;
    }
    HistoryDatabase history;
    WriteResult written = history.create(databasePath_);
    if (written) {
        written = history.saveLastScheduledPass(toAnsi(*day));
    }
    if (!written) {
        addStatusNotice(QStringLiteral("定时签到的日期没有保存：") + fromAnsi(written.error),
                        kHistoryFailureShown);
    }
}

void MainWindow::startPass() {
    passRunning_ = true;
    setPassControlsEnabled(false);
    showPassCounts(QString());
    PassPlan plan;
    plan.rows.reserve(sites_.size());
    for (std::size_t row = 0; row < sites_.size(); ++row) {
        plan.rows.push_back({sites_[row], model_->hasCookie(static_cast<int>(row))});
    }
    plan.switches = switches_;
    plan.keys = push_;
    plan.notifyOn = notifyOn();
    plan.jobs = signInJobs();
    plan.strictTls = strictTls_->isChecked();
    plan.pushEnvironment = environment_.push;
    plan.requestDeadlineMs = environment_.requestDeadlineMs;
    // The channels enabled in "推送渠道"; none enabled: the push page's one checked channel.
    plan.channels = enabledPushChannels(db_);
    session_ = std::make_unique<PassSession>(db_, databasePath_, std::move(plan));
    // What the files cannot give is left out without a message (the list's own read says what
    // is wrong with the file): the built-in rules alone decide, a channel without its settings
    // fails with what it lacks.
    session_->prepare(true);
    emit passStarted();
    const auto hold = finishedHold_;
    pass_ = std::jthread([this, hold](std::stop_token stop) {
        PassResult result;
        {
            WindowPassObserver observer(*this, hold);
            WindowMessageSink messages(*this, stop);
            result = session_->run(observer, messages, stop);
        }
        calls_->post([this, result = std::move(result)] { onPassFinished(result); });
    });
}

void MainWindow::onPassFinished(const PassResult& result) {
    if (pass_.joinable()) {
        pass_.join();
    }
    passRunning_ = false;
    setPassControlsEnabled(true);
    keepRequestState(result, sites_);
    // History.db is a file of its own and takes every pass; Sign.db is written only when asked
    // for. Both on this thread, after the worker is gone.
    if (!result.stopped) {
        if (const WriteResult written = session_->writeHistory(result); !written) {
            addStatusNotice(QStringLiteral("签到历史没有保存：") + fromAnsi(written.error),
                            kHistoryFailureShown);
        }
        if (saveRenewedCookiesChecked()) {
            saveRenewedCookies(result);
        }
    }
    session_.reset();
    showCookieHealth();
    emit passFinished();
}

void MainWindow::rememberCookieExpiry(int cid, const QDateTime& expires) {
    const WriteResult written = recordCookieExpiry(databasePath_, cid, expires);
    if (!written) {
        addStatusNotice(QStringLiteral("Cookie 的过期时间没有保存：") + fromAnsi(written.error),
                        kHistoryFailureShown);
    }
}

void MainWindow::showCookieHealth() {
    const CookieHealth health = readCookieHealth(databasePath_);
    const double now = nowDateTime();
    for (std::size_t row = 0; row < sites_.size(); ++row) {
        model_->setCookieWarning(static_cast<int>(row),
                                 cookieWarning(health, sites_[row].Cid, now));
    }
}

void MainWindow::saveRenewedCookies(const PassResult& result) {
    const CookieSave save = session_->saveRenewedCookies(result);
    if (!save.any) {
        return;
    }
    if (!save.written) {
        MessageBoxes::inform(
            this, QStringLiteral("更新的 Cookie 保存失败！\r\n") + fromAnsi(save.written.error),
            QStringLiteral("保存 Cookie"), BoxIcon::Warning);
        return;
    }
    if (save.saved > 0) {
        addStatusNotice(QStringLiteral("已保存 %1 个更新的 Cookie").arg(save.saved),
                        kSavedCookiesShown);
    }
}

void MainWindow::setPassControlsEnabled(bool enabled) {
    signInAction_->setEnabled(enabled);
    for (QAction* action : rowActions_) {
        action->setEnabled(enabled);
    }
    editorSave_->setEnabled(enabled);
}

void MainWindow::endProcess() {
    if (!passRunning_ && !pushTest_->running()) {
        QCoreApplication::exit(0);
        return;
    }
    // The pass and the push test write nothing to Sign.db, so ending here loses nothing; waiting
    // for them could mean waiting for a request's time-out.
    pass_.request_stop();
    std::fflush(nullptr);
    std::_Exit(0);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    event->accept();
    endProcess();
}

}  // namespace vesprey::ui
