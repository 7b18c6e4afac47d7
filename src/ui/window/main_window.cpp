#include "ui/window/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QLabel>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "engine/sign_in_run.h"
#include "store/push_channels.h"
#include "ui/desktop/tray.h"
#include "ui/dialogs/history_window.h"
#include "ui/dialogs/message_boxes.h"
#include "ui/dialogs/new_database_dialog.h"
#include "ui/dialogs/push_channels_dialog.h"
#include "ui/layout.h"
#include "ui/qt_text.h"
#include "ui/skin.h"
#include "ui/window/about_page.h"
#include "ui/window/pass_history.h"
#include "ui/window/push_page.h"
#include "ui/window/scheduler.h"
#include "ui/window/sign_in_pass.h"
#include "ui/window/sign_page.h"
#include "ui/window/template_editor.h"
#include "ui/window/template_page.h"
#include "ui/window/window_calls.h"

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

// How long "已保存 N 个更新的 Cookie" stays in the status label.
constexpr std::chrono::seconds kSavedCookiesShown{5};
// How long "签到历史没有保存：…" stays in the status label.
constexpr std::chrono::seconds kHistoryFailureShown{5};

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
    selectPage(0);
    tray_ = TrayIcon::create(*this);
}

MainWindow::~MainWindow() {
    // The worker may wait for a call on this thread: stopping releases it before the join.
    pass_.request_stop();
    if (pass_.joinable()) {
        pass_.join();
    }
    templatePage_->editor().stopTrial();
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
    book_.setReloadAllowed([this] { return !passRunning_; });
    book_.setNotice([this](const QString& text) { addStatusNotice(text, kHistoryFailureShown); });

    signPage_ = new SignPage(book_, capture_, *calls_);
    book_.setReloaded([this](const ReadResult& read) { signPage_->showList(read); });
    connect(signPage_, &SignPage::signInRequested, this, &MainWindow::startPassFromMenu);
    connect(signPage_, &SignPage::historyRequested, this, &MainWindow::showHistory);
    tabs_->addTab(signPage_, QStringLiteral("签到区"));

    templatePage_ = new TemplatePage(this, book_, capture_, *calls_);
    tabs_->addTab(templatePage_, QStringLiteral("模板区"));

    pushPage_ = new PushPage(db_, environment_.push, switches_,
                             [this](const QString& text, std::chrono::milliseconds duration) {
                                 showStatusNotice(text, duration);
                             });
    Scheduler& schedule = pushPage_->scheduler();
    connect(&schedule, &Scheduler::statusText, this, &MainWindow::setStatus);
    connect(&schedule, &Scheduler::due, this, &MainWindow::startScheduledPass);
    schedule.setRunRecord([this](const QString& day) { return scheduledPassStarted(day); });
    tabs_->addTab(pushPage_, QStringLiteral("推送区"));

    tabs_->addTab(new AboutPage(this), QStringLiteral("关于我们"));
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
    pushPage_->load();
    templatePage_->conversion().setCurrentIndex(0);
}

bool MainWindow::reloadSiteList() {
    return book_.reload();
}

QString MainWindow::cellText(int row, int column) const {
    return signPage_->cellText(row, column);
}

void MainWindow::setCellText(int row, int column, const QString& text) {
    signPage_->setCellText(row, column, text);
}

void MainWindow::setRowVerdict(int row, const AccountVerdict& verdict) {
    signPage_->setRowVerdict(row, verdict);
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
    return pushPage_->notifyChecked();
}

bool MainWindow::scheduleChecked() const {
    return pushPage_->scheduleChecked();
}

NotifyOn MainWindow::notifyOn() const {
    return pushPage_->notifyOn();
}

bool MainWindow::saveRenewedCookiesChecked() const {
    return pushPage_->saveRenewedCookiesChecked();
}

int MainWindow::signInJobs() const {
    return pushPage_->signInJobs();
}

int MainWindow::pushChannel() const {
    return pushPage_->pushChannel();
}

void MainWindow::setTimerPeriod(int milliseconds) {
    pushPage_->scheduler().setTimerPeriod(milliseconds);
}

const PushSettings& MainWindow::pushSettings() const {
    return pushPage_->settings();
}

Scheduler& MainWindow::scheduler() {
    return pushPage_->scheduler();
}

TemplateEditor& MainWindow::editor() {
    return templatePage_->editor();
}

int MainWindow::selectedRow() const {
    return signPage_->selectedRow();
}

int MainWindow::rowCount() const {
    return signPage_->rowCount();
}

void MainWindow::selectPage(int index) {
    tabs_->setCurrentIndex(index);
    if (index >= 0 && index < pageButtons_.size()) {
        pageButtons_[index]->setChecked(true);
    }
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
    const std::optional<QString> day = pushPage_->scheduler().lastRunDay();
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
    const SiteList& sites = book_.sites();
    plan.rows.reserve(sites.size());
    for (std::size_t row = 0; row < sites.size(); ++row) {
        plan.rows.push_back({sites[row], signPage_->ready(static_cast<int>(row)), nullptr});
    }
    plan.switches = switches_;
    plan.keys = pushPage_->settings();
    plan.notifyOn = notifyOn();
    plan.pushOpening = pushPage_->pushOpening();
    plan.jobs = signInJobs();
    plan.strictTls = pushPage_->strictTlsChecked();
    plan.pushEnvironment = environment_.push;
    plan.requestDeadlineMs = environment_.requestDeadlineMs;
    // The channels enabled in "推送渠道"; none enabled: the push page's one checked channel.
    plan.channels = enabledPushChannels(db_);
    session_ = std::make_unique<PassSession>(db_, databasePath_, std::move(plan));
    // What the files cannot give is left out without a message (the list's own read says what
    // is wrong with the file): the built-in rules alone decide, a channel without its settings
    // fails with what it lacks.
    // Multi-step templates that cannot be read would go as one request each: no pass then.
    if (const PassPreparation prepared = session_->prepare(true); !prepared.flows.ok()) {
        session_.reset();
        passRunning_ = false;
        setPassControlsEnabled(true);
        showStatusNotice(QStringLiteral("多步骤模板读不出，没有签到：") +
                             fromAnsi(readFailureText(prepared.flows)),
                         std::chrono::seconds(30));
        return;
    }
    emit passStarted();
    const auto hold = finishedHold_;
    pass_ = std::jthread([this, hold](std::stop_token stop) {
        PassResult result;
        {
            WindowPassObserver observer(*this, hold);
            WindowMessageSink messages(*calls_, stop);
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
    keepRequestState(result, book_.sites());
    // History.db is a file of its own and takes every pass; Sign.db is written only when asked
    // for. Both on this thread, after the worker is gone.
    if (!result.stopped) {
        if (const WriteResult written = session_->writeHistory(result); !written) {
            addStatusNotice(QStringLiteral("签到历史没有保存：") + fromAnsi(written.error),
                            kHistoryFailureShown);
        }
        showRefusedCookies(result);
        if (saveRenewedCookiesChecked()) {
            saveRenewedCookies(result);
        }
    }
    session_.reset();
    signPage_->showCookieHealth();
    emit passFinished();
}

void MainWindow::showRefusedCookies(const PassResult& result) {
    QStringList named;
    const SiteList& sites = book_.sites();
    for (std::size_t row = 0; row < result.reports.size() && row < sites.size(); ++row) {
        QStringList names;
        for (const Text& name : result.reports[row].refusedCookies) {
            names.append(fromAnsi(name));
        }
        if (!names.isEmpty()) {
            named.append(fromAnsi(sites[row].WebName) + QStringLiteral("（") +
                         names.join(QStringLiteral("、")) + QStringLiteral("）"));
        }
    }
    if (!named.isEmpty()) {
        addStatusNotice(
            QStringLiteral("网站设置的 Cookie 里有控制字符或不是文字的字节，没有采用：") +
                named.join(QStringLiteral("、")),
            kSavedCookiesShown);
    }
}

void MainWindow::rememberCookieExpiry(int cid, const QDateTime& expires) {
    book_.rememberCookieExpiry(cid, expires);
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
    // Rows whose cookie changed in Sign.db while the pass ran keep what they hold now.
    if (const Text left = changedCookiesText(save, session_->plan()); !left.empty()) {
        addStatusNotice(fromAnsi(left), kSavedCookiesShown);
    }
}

void MainWindow::setPassControlsEnabled(bool enabled) {
    signPage_->setPassControlsEnabled(enabled);
    templatePage_->setSaveEnabled(enabled);
}

void MainWindow::endProcess() {
    if (!passRunning_ && !pushPage_->pushTestRunning()) {
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
