#include "ui/window/main_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QScreen>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "engine/sign_in_run.h"
#include "session/cookie_cloud_sync.h"
#include "store/history.h"
#include "store/push_channels.h"
#include "ui/desktop/autostart.h"
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
#include "ui/window/pass_options.h"
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
constexpr int kProgressWidth = 150;
// The title strip's buttons: the first one's left edge, and the step from one to the next.
constexpr int kTitleButtonsLeft = 664;
constexpr int kTitleButtonStep = 18;
// How far the resize grips reach into the window from its edges.
constexpr int kGripWidth = 4;

// How long "已保存 N 个更新的 Cookie" stays in the status label.
constexpr std::chrono::seconds kSavedCookiesShown{5};
// How long "签到历史没有保存：…" stays in the status label.
constexpr std::chrono::seconds kHistoryFailureShown{5};

}  // namespace

MainWindow::MainWindow(std::filesystem::path databasePath, ProgramEnvironment environment,
                       QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint | Qt::WindowMinMaxButtonsHint),
      databasePath_(std::move(databasePath)),
      environment_(std::move(environment)) {
    setObjectName(QStringLiteral("主窗口"));
    setWindowTitle(QStringLiteral("Vesprey V1.0"));
    resize(kWidth, kDesignedHeight);
    calls_ = new WindowQueue(this);

    background_ =
        place(new WindowBackground(this), QStringLiteral("图片框1"), 0, 0, kWidth, kHeight);
    buildPages();
    buildTitleStrip();
    buildStatusStrip();
    const struct {
        const char16_t* name;
        Qt::Edges edges;
    } grips[] = {{u"拉伸_右", Qt::RightEdge},
                 {u"拉伸_下", Qt::BottomEdge},
                 {u"拉伸_右下", Qt::RightEdge | Qt::BottomEdge}};
    for (const auto& grip : grips) {
        auto* widget = new ResizeGrip(grip.edges, this);
        widget->setObjectName(QString::fromUtf16(grip.name));
        grips_.append(widget);
    }
    selectPage(0);
    tray_ = TrayIcon::create(*this);
}

MainWindow::~MainWindow() {
    saveWindowPlace();
    // The worker may wait for a call on this thread: stopping releases it before the join.
    pass_.request_stop();
    if (pass_.joinable()) {
        pass_.join();
    }
    templatePage_->editor().stopTrial();
    // A 备注 still being edited is committed as its editor loses the keyboard, which happens
    // while the widgets go, after the book: it is dropped instead.
    signPage_->dropEditing();
}

void MainWindow::buildTitleStrip() {
    auto* strip = findChild<WindowBackground*>(QStringLiteral("图片框1"));
    auto* title = place(new QLabel(QStringLiteral("Vesprey V1.0"), strip), QStringLiteral("标签1"),
                        10, 3, 120, 24);
    title->setStyleSheet(QStringLiteral("color: white; font-weight: bold;"));

    auto* minimize = place(new PictureButton(Picture::Minimize, {}, strip),
                           QStringLiteral("最小化"), kTitleButtonsLeft, 8, 13, 13);
    minimize->setToolTip(QStringLiteral("最小化"));
    connect(minimize, &QAbstractButton::clicked, this, &QWidget::showMinimized);

    auto* maximize =
        place(new PictureButton(Picture::Maximize, {}, strip), QStringLiteral("最大化"),
              kTitleButtonsLeft + kTitleButtonStep, 8, 13, 13);
    maximize->setToolTip(QStringLiteral("最大化"));
    connect(maximize, &QAbstractButton::clicked, this, [this] { toggleMaximized(*this); });

    auto* close =
        place(new PictureButton(Picture::Close, {}, strip), QStringLiteral("图形按钮_关闭"),
              kTitleButtonsLeft + 2 * kTitleButtonStep, 8, 13, 13);
    close->setToolTip(QStringLiteral("关闭"));
    connect(close, &QAbstractButton::clicked, this, &MainWindow::closeWindow);
    titleButtons_ = {minimize, maximize, close};

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
    statusStrip_ = strip;
    strip->setAttribute(Qt::WA_StyledBackground);
    place(new PictureBox(Picture::Network, strip), QStringLiteral("网络状态"), 4, 2, 20, 20);
    auto* separator = place(new QWidget(strip), QStringLiteral("图片框2"), 26, 4, 1, 16);
    separator->setAttribute(Qt::WA_StyledBackground);
    separator->setStyleSheet(QStringLiteral("background: #c9d3df;"));
    status_ = place(new QLabel(strip), QStringLiteral("zt1"), kStatusLeft, 3, kStatusWidth, 20);
    counts_ = place(new QLabel(strip), QStringLiteral("zt2"), kStripWidth - kStripMargin, 3, 0, 20);
    counts_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    counts_->hide();
    progress_ =
        place(new QProgressBar(strip), QStringLiteral("进度条_签到"), 0, 4, kProgressWidth, 16);
    progress_->setFormat(QStringLiteral("签到 %v/%m"));
    progress_->setAlignment(Qt::AlignCenter);
    // A light fill, so that the text in the middle reads the same over it and beside it.
    progress_->setStyleSheet(QStringLiteral(
        "QProgressBar { border: 1px solid #b0bac6; border-radius: 3px; background: white; }"
        "QProgressBar::chunk { background: #a9cdf7; border-radius: 2px; }"));
    progress_->hide();
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
    connect(signPage_, &SignPage::signChosenRequested, this, &MainWindow::startChosenPass);
    connect(signPage_, &SignPage::historyRequested, this, &MainWindow::showHistory);
    connect(signPage_, &SignPage::stopRequested, this, &MainWindow::stopPass);
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
    kept_.setFailureNotice(
        [this](const QString& text) { addStatusNotice(text, kHistoryFailureShown); });
    pushPage_->keepSettingsIn(kept_);

    auto* about = new AboutPage(this, databaseArguments(databasePath_));
    closeToTray_ = place(new QCheckBox(QStringLiteral("关闭时最小化到托盘"), about),
                         QStringLiteral("选择框_关闭时最小化到托盘"), 170, 6, 170, 20);
    connect(closeToTray_, &QCheckBox::toggled, this,
            [this](bool on) { kept_.saveFlag(kKeptCloseToTray, on); });
    tabs_->addTab(about, QStringLiteral("关于我们"));
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
    // The start-up window is gone by now: the window's own size, or the one it was left at.
    setMinimumSize(kWidth, kHeight);
    resize(kWidth, kHeight);
    restoreWindowPlace();
    startPlace_ = windowPlace();
    startedUp_ = true;
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
    // What the last session left switched on; an armed schedule may start today's missing pass.
    kept_.read();
    {
        const KeptSettings::Restoring restoring(kept_);
        closeToTray_->setChecked(kept_.flag(kKeptCloseToTray));
    }
    showCloseToTrayAvailable();
    pushPage_->restoreKeptSettings(kept_);
    readLastPass();
}

void MainWindow::readLastPass() {
    lastPass_.clear();
    HistoryDatabase history;
    std::vector<HistoryEntry> rows;
    if (!HistoryDatabase::exists(databasePath_) || !history.open(databasePath_).ok() ||
        !history.readLastPass(rows).ok() || rows.empty()) {
        return;  // no pass yet, or none that can be read: the tooltip says nothing of it
    }
    VerdictCounts counts{};
    for (const HistoryEntry& row : rows) {
        for (std::size_t v = 0; v < kVerdictCount; ++v) {
            if (row.verdict == verdictName(static_cast<Verdict>(v))) {
                ++counts[v];
            }
        }
    }
    // "yyyy-MM-dd HH:mm:ss": the month, the day and the minute.
    const QString time = fromAnsi(rows.front().time).mid(5, 11);
    lastPass_ = QStringLiteral("（%1）：").arg(time) + fromAnsi(verdictCountsText(counts));
}

QString MainWindow::lastPassText() const {
    if (const QString counts = passCountsText(); !counts.isEmpty()) {
        return QStringLiteral("：") + counts;
    }
    return lastPass_;
}

void MainWindow::useTray(std::unique_ptr<TrayIcon> tray) {
    tray_ = std::move(tray);
    showCloseToTrayAvailable();
}

void MainWindow::showCloseToTrayAvailable() {
    closeToTray_->setEnabled(tray_ != nullptr);
    closeToTray_->setToolTip(tray_ != nullptr
                                 ? QStringLiteral("点关闭按钮时窗口收到系统托盘，定时签到照常进行；"
                                                  "托盘菜单的“退出”结束程序")
                                 : QStringLiteral("这个桌面没有系统托盘：关闭窗口总是结束程序"));
}

bool MainWindow::closeHidesToTray() const {
    return tray_ != nullptr && closeToTray_->isChecked();
}

void MainWindow::closeWindow() {
    if (closeHidesToTray()) {
        hide();
        return;
    }
    endProcess();
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
    layoutStatusStrip();
}

void MainWindow::layoutStatusStrip() {
    const int stripWidth = statusStrip_->width();
    // The counts, or the progress bar during a pass, sit at the right end; the status label
    // gives up the room they take.
    const int width = counts_->isHidden() ? 0 : counts_->sizeHint().width();
    counts_->setGeometry(stripWidth - kStripMargin - width, 3, width, 20);
    progress_->move(stripWidth - kStripMargin - kProgressWidth, progress_->y());
    const int statusWidth = kStatusWidth + stripWidth - kStripWidth;
    int right = stripWidth;
    if (!progress_->isHidden()) {
        right = progress_->x();
    } else if (!counts_->isHidden()) {
        right = counts_->x();
    }
    status_->resize(right == stripWidth ? statusWidth
                                        : std::min(statusWidth, right - kStripMargin - kStatusLeft),
                    status_->height());
}

void MainWindow::passRowFinished(int row) {
    if (!passRunning_ || !signPage_->ready(row)) {
        return;
    }
    passDone_ = std::min(passDone_ + 1, passPlanned_);
    showPassProgress();
}

void MainWindow::showPassProgress() {
    progress_->setMaximum(std::max(passPlanned_, 1));
    progress_->setValue(passDone_);
    if (passPlanned_ == 0) {
        progress_->setFormat(QStringLiteral("签到 0/0"));
    } else {
        progress_->setFormat(QStringLiteral("签到 %v/%m"));
    }
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

void MainWindow::startChosenPass() {
    if (passRunning_) {
        return;
    }
    // The accounts by template and Cid: the reload may list them at other rows.
    std::set<std::pair<int, int>> keys;
    for (const int row : signPage_->selectedRows()) {
        if (row >= 0 && static_cast<std::size_t>(row) < book_.sites().size()) {
            const SiteTemplate& site = book_.sites()[static_cast<std::size_t>(row)];
            keys.emplace(site.id, site.Cid);
        }
    }
    reloadSiteList();
    std::vector<int> chosen;
    const SiteList& sites = book_.sites();
    for (std::size_t row = 0; row < sites.size(); ++row) {
        if (keys.contains({sites[row].id, sites[row].Cid})) {
            chosen.push_back(static_cast<int>(row));
        }
    }
    if (chosen.empty()) {
        showStatusNotice(QStringLiteral("选中的账号已不在列表里，没有签到。"),
                         std::chrono::seconds(10));
        return;
    }
    startPass(&chosen);
}

namespace {
// How long a scheduled pass that found another pass on its Sign.db waits before it tries again.
constexpr int kScheduledRetrySeconds = 60;
}  // namespace

void MainWindow::startScheduledPass() {
    selectPage(0);
    // A pass started from the menu is still going: it re-arms the schedule at its end, so the
    // drawn minute is not taken a second time.
    if (passRunning_) {
        return;
    }
    // Refused while vesprey-cli signs on this Sign.db: today's run is still to come, a minute on.
    if (!startPass()) {
        pushPage_->scheduler().retryIn(kScheduledRetrySeconds);
        return;
    }
    rememberScheduledPass();
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

bool MainWindow::startPass(const std::vector<int>* chosen) {
    // A pass of vesprey-cli sign on this Sign.db is running: this one does not start. A schedule
    // goes on counting (a scheduled pass tries again, see startScheduledPass).
    if (passLock_.take(databasePath_) == PassLock::Outcome::Held) {
        showStatusNotice(QStringLiteral("另一个签到（vesprey-cli sign）正在这个 Sign.db "
                                        "上进行，这次没有签到；请等它结束后再试。"),
                         std::chrono::seconds(30));
        if (scheduleChecked()) {
            setTimerPeriod(1000);
        }
        return false;
    }
    passRunning_ = true;
    setPassControlsEnabled(false);
    passChosen_.reset();
    if (chosen != nullptr) {
        const SiteList& sites = book_.sites();
        passChosen_.emplace();
        for (const int row : *chosen) {
            if (row >= 0 && static_cast<std::size_t>(row) < sites.size()) {
                passChosen_->emplace(sites[static_cast<std::size_t>(row)].id,
                                     sites[static_cast<std::size_t>(row)].Cid);
            }
        }
    }
    // "签到前同步 Cookie": the browser's cookies first, then the pass.
    if (const PassOptions options = readPassOptions(db_); options.cookieCloudBeforePass) {
        syncCookieCloudThenPass(options.cookieCloud);
        return true;
    }
    beginPass();
    return true;
}

void MainWindow::syncCookieCloudThenPass(const CookieCloudAccess& access) {
    setStatus(QStringLiteral("正在从 CookieCloud 同步 Cookie……"));
    pass_ = std::jthread([this, access](std::stop_token stop) {
        CookieCloudData fetched = fetchCookieCloud(access, stop);
        calls_->post([this, fetched = std::move(fetched)] { onCookieCloudFetched(fetched); });
    });
}

void MainWindow::onCookieCloudFetched(const CookieCloudData& fetched) {
    const bool stopped = pass_.get_stop_token().stop_requested();
    if (pass_.joinable()) {
        pass_.join();
    }
    if (stopped) {
        passLock_.release();
        passRunning_ = false;
        setPassControlsEnabled(true);
        setStatus(QStringLiteral("签到已停止：同步 CookieCloud 时停止，没有签到"));
        emit passFinished();
        return;
    }
    const CookieCloudSync sync = planCookieCloudSync(fetched, book_.sites(), unixNow());
    if (sync.failure) {
        addStatusNotice(fromAnsi(sync.failure.message) + QStringLiteral("（Cookie 都没有改动）"),
                        kSavedCookiesShown);
    } else if (const CookieSaveResult saved = applyCookieCloudSync(db_, sync); !saved.written) {
        addStatusNotice(QStringLiteral("从 CookieCloud 同步的 Cookie 没有保存：") +
                            fromAnsi(saved.written.error),
                        kSavedCookiesShown);
    } else {
        if (!saved.saved.empty()) {
            addStatusNotice(QStringLiteral("已从 CookieCloud 同步 %1 个账号的 Cookie：")
                                    .arg(saved.saved.size()) +
                                fromAnsi(syncedAccountsText(sync, saved.saved)),
                            kSavedCookiesShown);
            // The list again from the file, with the cookies just written.
            passRunning_ = false;
            reloadSiteList();
            passRunning_ = true;
        }
        if (!saved.changed.empty()) {
            addStatusNotice(QStringLiteral("这些账号的 Cookie 在同步期间被改动或删除，没有覆盖：") +
                                fromAnsi(syncedAccountsText(sync, saved.changed)),
                            kSavedCookiesShown);
        }
        if (const Text shared = sharedAccountsText(sync); !shared.empty()) {
            addStatusNotice(fromAnsi(shared), kSavedCookiesShown);
        }
    }
    beginPass();
}

void MainWindow::beginPass() {
    showPassCounts(QString());
    PassPlan plan;
    const SiteList& sites = book_.sites();
    passListRows_.clear();
    for (std::size_t row = 0; row < sites.size(); ++row) {
        if (!passChosen_ || passChosen_->contains({sites[row].id, sites[row].Cid})) {
            passListRows_.push_back(static_cast<int>(row));
        }
    }
    if (passChosen_) {
        signPage_->clearResults(passListRows_);
    } else {
        signPage_->clearResults();
    }
    plan.rows.reserve(passListRows_.size());
    passDone_ = 0;
    passPlanned_ = 0;
    for (const int row : passListRows_) {
        const bool requested = signPage_->ready(row);
        passPlanned_ += requested ? 1 : 0;
        plan.rows.push_back({sites[static_cast<std::size_t>(row)], requested, nullptr});
    }
    showPassProgress();
    progress_->show();
    layoutStatusStrip();
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
    applyPassOptions(readPassOptions(db_), plan);
    if (environment_.waitDivisor > 0) {
        plan.clock = shortenedPassClock(environment_.waitDivisor);
    }
    session_ = std::make_unique<PassSession>(db_, databasePath_, std::move(plan));
    // What the files cannot give is left out without a message (the list's own read says what
    // is wrong with the file): the built-in rules alone decide, a channel without its settings
    // fails with what it lacks.
    // Multi-step templates that cannot be read would go as one request each: no pass then.
    // So would a template's accounts without their own proxy.
    const PassPreparation prepared = session_->prepare(true);
    if (!prepared.flows.ok() || !prepared.templateSettings.ok()) {
        session_.reset();
        passLock_.release();
        passRunning_ = false;
        progress_->hide();
        layoutStatusStrip();
        setPassControlsEnabled(true);
        showStatusNotice(!prepared.flows.ok()
                             ? QStringLiteral("多步骤模板读不出，没有签到：") +
                                   fromAnsi(readFailureText(prepared.flows))
                             : QStringLiteral("模板的代理和签到周期读不出，没有签到：") +
                                   fromAnsi(readFailureText(prepared.templateSettings)),
                         std::chrono::seconds(30));
        return;  // said; trying again would not help
    }
    emit passStarted();
    const auto hold = finishedHold_;
    pass_ = std::jthread([this, hold](std::stop_token stop) {
        PassResult result;
        {
            WindowPassObserver observer(*this, hold, passListRows_);
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
    progress_->hide();
    layoutStatusStrip();
    setPassControlsEnabled(true);
    // The pass's reports at their list rows; rows outside a pass of chosen rows as skipped.
    PassResult listed;
    listed.reports.resize(book_.sites().size());
    for (std::size_t row = 0; row < result.reports.size() && row < passListRows_.size(); ++row) {
        if (static_cast<std::size_t>(passListRows_[row]) < listed.reports.size()) {
            listed.reports[static_cast<std::size_t>(passListRows_[row])] = result.reports[row];
        }
    }
    keepRequestState(listed, book_.sites());
    if (result.stopped) {
        setStatus(QStringLiteral("签到已停止：完成 %1/%2").arg(passDone_).arg(passPlanned_));
    }
    // History.db is a file of its own and takes every pass; Sign.db is written only when asked
    // for. Both on this thread, after the worker is gone.
    if (!result.stopped) {
        if (const WriteResult written = session_->writeHistory(result); !written) {
            addStatusNotice(QStringLiteral("签到历史没有保存：") + fromAnsi(written.error),
                            kHistoryFailureShown);
        }
        showRefusedCookies(listed);
        if (saveRenewedCookiesChecked()) {
            saveRenewedCookies(result);
        }
        if (session_->plan().relogin) {
            saveReloginCookies(result);
        }
    }
    session_.reset();
    passLock_.release();  // once its rows and cookies are written
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

void MainWindow::saveReloginCookies(const PassResult& result) {
    const CookieSave save = session_->saveReloginCookies(result);
    if (!save.any) {
        return;
    }
    if (!save.written) {
        MessageBoxes::inform(
            this,
            QStringLiteral("重新登录得到的 Cookie 保存失败！\r\n") + fromAnsi(save.written.error),
            QStringLiteral("保存 Cookie"), BoxIcon::Warning);
        return;
    }
    if (save.saved > 0) {
        addStatusNotice(QStringLiteral("已保存 %1 个重新登录得到的 Cookie").arg(save.saved),
                        kSavedCookiesShown);
    }
    if (const Text left = changedCookiesText(save, session_->plan()); !left.empty()) {
        addStatusNotice(fromAnsi(left), kSavedCookiesShown);
    }
}

void MainWindow::setPassControlsEnabled(bool enabled) {
    signPage_->setPassControlsEnabled(enabled);
    templatePage_->setSaveEnabled(enabled);
}

void MainWindow::stopPass() {
    if (!passRunning_ || pass_.get_stop_token().stop_requested()) {
        return;
    }
    pass_.request_stop();
    setStatus(QStringLiteral("正在停止签到……"));
}

bool MainWindow::confirmEndDuringPass() {
    const BoxAnswer answer = MessageBoxes::show(
        this,
        BoxRequest{QStringLiteral("正在签到（%1/%2），退出会停止签到，这次签到不会记入签到历史。"
                                  "\r\n确定要退出吗？")
                       .arg(passDone_)
                       .arg(passPlanned_),
                   QStringLiteral("退出"), BoxIcon::Question, BoxButtons::OkCancel});
    return answer == BoxAnswer::Ok;
}

void MainWindow::endProcess() {
    if (passRunning_ && !confirmEndDuringPass()) {
        return;
    }
    endNow();
}

void MainWindow::endNow() {
    saveWindowPlace();
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

void MainWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // What the window has beyond 720 × 400 goes to the pages, the list and the status strip.
    const int wider = width() - kWidth;
    const int taller = height() - kHeight;
    background_->setGeometry(0, 0, width(), height());
    tabs_->setGeometry(128, 30, 592 + wider, 393 + taller);
    signPage_->setListSize(QSize(590 + wider, 350 + taller));
    statusStrip_->setGeometry(128, 376 + taller, kStripWidth + wider, 24);
    layoutStatusStrip();
    for (int i = 0; i < titleButtons_.size(); ++i) {
        titleButtons_[i]->move(kTitleButtonsLeft + i * kTitleButtonStep + wider, 8);
    }
    const QRect grips[] = {
        {width() - kGripWidth, 30, kGripWidth, height() - 30 - 2 * kGripWidth},
        {128, height() - kGripWidth, width() - 128 - 2 * kGripWidth, kGripWidth},
        {width() - 2 * kGripWidth, height() - 2 * kGripWidth, 2 * kGripWidth, 2 * kGripWidth}};
    for (int i = 0; i < grips_.size(); ++i) {
        grips_[i]->setGeometry(grips[i]);
        grips_[i]->raise();
        grips_[i]->setVisible(!isMaximized());
    }
    if (startedUp_) {
        placeChanged_ = true;
    }
}

void MainWindow::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    if (startedUp_ && isVisible()) {
        placeChanged_ = true;
    }
}

void MainWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange) {
        for (QWidget* grip : grips_) {
            grip->setVisible(!isMaximized());
        }
        if (startedUp_) {
            placeChanged_ = true;
        }
    }
}

void MainWindow::restoreWindowPlace() {
    if (!HistoryDatabase::exists(databasePath_)) {
        return;
    }
    HistoryDatabase history;
    std::optional<Text> kept;
    if (!history.open(databasePath_).ok() || !history.readWindowPlace(kept).ok() || !kept) {
        return;
    }
    const QStringList parts = fromAnsi(*kept).split(QLatin1Char(','));
    if (parts.size() != 5) {
        return;
    }
    int numbers[5] = {};
    for (int i = 0; i < 5; ++i) {
        bool ok = false;
        numbers[i] = parts[i].toInt(&ok);
        if (!ok) {
            return;
        }
    }
    const QRect place(numbers[0], numbers[1], std::max(numbers[2], kWidth),
                      std::max(numbers[3], kHeight));
    // Its title strip on one of the screens, or the window stays where it was put.
    const QRect title(place.topLeft(), QSize(place.width(), 30));
    const QList<QScreen*> screens = QGuiApplication::screens();
    const bool seen = std::any_of(screens.begin(), screens.end(), [&title](QScreen* screen) {
        return screen->availableGeometry().intersects(title);
    });
    if (seen) {
        move(place.topLeft());
    }
    resize(place.size());
    if (numbers[4] != 0) {
        showMaximized();
    }
}

QString MainWindow::windowPlace() const {
    const QRect normal = isMaximized() ? normalGeometry() : geometry();
    return QStringLiteral("%1,%2,%3,%4,%5")
        .arg(normal.x())
        .arg(normal.y())
        .arg(normal.width())
        .arg(normal.height())
        .arg(isMaximized() ? 1 : 0);
}

void MainWindow::saveWindowPlace() {
    std::error_code unknown;
    const QString place = windowPlace();
    if (!placeChanged_ || place == startPlace_ ||
        !std::filesystem::exists(databasePath_, unknown)) {
        return;
    }
    placeChanged_ = false;
    startPlace_ = place;
    HistoryDatabase history;
    if (history.create(databasePath_)) {
        history.saveWindowPlace(toAnsi(place));
    }
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (closeHidesToTray()) {
        event->ignore();
        hide();
        return;
    }
    if (passRunning_ && !confirmEndDuringPass()) {
        event->ignore();
        return;
    }
    event->accept();
    endNow();
}

}  // namespace vesprey::ui
