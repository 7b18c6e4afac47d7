// The main window: the drawn title strip with its page buttons, the four pages (sign, template,
// push, about: each a class of its own), the status strip, and the sign-in pass. It is 720 × 400
// at first and grows: dragged at its right and bottom edges or maximised, the pages, the account
// list and the status strip take the room (the list's "返回内容" column all the width it gains);
// its place and size are kept in History.db when they change and come back at the next start. It
// owns the open Sign.db, the SiteBook the pages and dialogs change it through, the capture windows'
// hand-over, and the pass's worker thread.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "app/environment.h"
#include "engine/cookie_cloud.h"
#include "engine/sign_in_run.h"
#include "session/pass_session.h"
#include "store/pass_lock.h"
#include "store/site_database.h"
#include "ui/window/capture.h"
#include "ui/window/kept_settings.h"
#include "ui/window/site_book.h"

class QCheckBox;
class QLabel;
class QProgressBar;
class QTabWidget;
class QTimer;

namespace vesprey::ui {

class HistoryWindow;
class PictureButton;
class PushPage;
class Scheduler;
class SignPage;
class TemplateEditor;
class TemplatePage;
class TrayIcon;
class WindowQueue;

class MainWindow : public QWidget {
    Q_OBJECT
public:
    // `environment` is what the program read of its environment at start.
    explicit MainWindow(std::filesystem::path databasePath,
                        ProgramEnvironment environment = readProgramEnvironment(),
                        QWidget* parent = nullptr);
    ~MainWindow() override;

    // Opens Sign.db, loads the account list and the push keys, selects the first items of the
    // drop-down lists. A database that cannot be opened is reported and leaves an empty list.
    void startUp();

    // Rebuilds SiteList and the list view from the database. Refused (false) while a pass runs.
    bool reloadSiteList();
    // Keeps what a browser capture knew of the account's cookie expiry in History.db; an invalid
    // `expires` (a cookie typed by hand) forgets it. A failure is said in the status label.
    void rememberCookieExpiry(int cid, const QDateTime& expires);

    // Window-thread accessors; the pass's events reach them through WindowCalls.
    QString cellText(int row, int column) const;
    void setCellText(int row, int column, const QString& text);
    // The row's verdict: an icon in its "返回内容" cell, the reason as the cell's tooltip.
    void setRowVerdict(int row, const AccountVerdict& verdict);
    QString statusText() const;
    void setStatus(const QString& text);
    // What the last pass made of the accounts ("成功 12 · 已签 3 · 失效 1 · 失败 0"): shown at the
    // right end of the status strip until the next pass starts. It has a label of its own beside
    // the status label, so that the progress texts, the notices and the schedule's countdown,
    // which rewrites the status label every second, all go on as they are while the counts stay.
    void showPassCounts(const QString& text);
    QString passCountsText() const;
    // What the tray says after "上次签到": "：" and this session's last counts, or before its
    // first pass "（12-10 08:03）：" and the counts of the last pass History.db holds; empty
    // when there is none.
    QString lastPassText() const;
    // Shows `text` in the status label for `duration` (a failed push, say): texts set meanwhile,
    // the schedule's countdown among them, wait behind it and the latest shows when it goes.
    void showStatusNotice(const QString& text, std::chrono::milliseconds duration);
    // The push page's switches, as the pass and the tray read them.
    bool notifyChecked() const;
    bool scheduleChecked() const;
    NotifyOn notifyOn() const;
    bool saveRenewedCookiesChecked() const;
    int signInJobs() const;
    int pushChannel() const;  // 1 Bark, 2 ServerChan, 3 DingTalk robot
    void setTimerPeriod(int milliseconds);

    int selectedRow() const;  // -1 when no row is selected
    int rowCount() const;
    const SiteList& siteList() const { return book_.sites(); }
    const PushSettings& pushSettings() const;
    SiteBook& siteBook() { return book_; }
    Scheduler& scheduler();
    WindowQueue& calls() { return *calls_; }
    bool passRunning() const { return passRunning_; }
    // The running pass's rows finished and the rows it requests ("签到 37/200" in the status
    // strip's progress bar).
    int passRowsDone() const { return passDone_; }
    int passRowsPlanned() const { return passPlanned_; }
    // A row of the running pass has finished (not stopped): one more in the progress bar when it
    // was requested.
    void passRowFinished(int row);
    // The capture windows' hand-over (PendingCapture, CaptureMode, SelectedAccount) and page 1.
    CaptureState& capture() { return capture_; }
    TemplateEditor& editor();
    // The tray icon; null where the desktop has no system tray.
    TrayIcon* tray() { return tray_.get(); }
    // Puts `tray` in place of the one made at start (none where the desktop had no tray then).
    void useTray(std::unique_ptr<TrayIcon> tray);
    // The settings kept for the next start (History.db's Setting).
    KeptSettings& keptSettings() { return kept_; }
    // "关闭时最小化到托盘" is on and there is a tray icon to come back from: closing hides the
    // window instead of ending the program.
    bool closeHidesToTray() const;

    // How long "签到完毕！" stays up at the end of a pass (two seconds).
    void setFinishedHold(std::chrono::milliseconds hold) { finishedHold_ = hold; }
    std::chrono::milliseconds finishedHold() const { return finishedHold_; }

public slots:
    void startPassFromMenu();  // "开始签到": reload, then the pass
    // "签到选中": reload, then a pass of the selected accounts (those still listed) alone; the
    // summary, the counts and History.db hold those rows only.
    void startChosenPass();
    void startScheduledPass();  // the drawn minute: page 0, the pass without a reload
    void showHistory();         // "签到历史": the history window of the last 30 days
    // "停止签到": the running pass stops (a request under way ends within about a second); the
    // rows not yet signed are marked "已停止" and the pass is not kept in History.db.
    void stopPass();
    void selectPage(int index);
    // "退出", and the close button unless it hides to the tray: during a pass, only once the
    // user has agreed.
    void endProcess();
    void closeWindow();  // the close button: hides to the tray (closeHidesToTray) or ends

signals:
    void statusChanged(const QString& text);
    void passStarted();
    void passFinished();

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void buildTitleStrip();
    void buildStatusStrip();
    void buildPages();

    // A pass of every row, or of the list rows in `chosen` (in list order) alone. False when it
    // could not start because another program's pass holds the Sign.db (said in the status).
    bool startPass(const std::vector<int>* chosen = nullptr);
    // The pass itself, once the lock is held and the controls are disabled: of the accounts
    // chosen when it was asked for (passChosen_), at the rows the list has them now.
    void beginPass();
    // "签到前同步 Cookie": downloads the browser's cookies on the worker thread, then on this
    // thread writes the accounts they change (each only where its row still holds what the list
    // read), says what happened in the status label, and begins the pass; a sync that fails
    // changes nothing and the pass goes on. A stop while it downloads ends the pass there.
    void syncCookieCloudThenPass(const CookieCloudAccess& access);
    void onCookieCloudFetched(const CookieCloudData& fetched);
    // The last pass History.db holds, for the tray until this session's first pass.
    void readLastPass();
    // The pass's end, on this thread after the worker: the rows it requested keep their merged
    // cookies for the next pass without a reload; unless it was stopped, its rows go to
    // History.db, and the cookies sites renewed for accounts that went well are saved when
    // "保存更新的 Cookie" is checked.
    void onPassFinished(const PassResult& result);
    // The scheduler's run record in History.db: whether the scheduled pass of `day`
    // ("yyyy-MM-dd") has been started, and the day of the one starting now.
    bool scheduledPassStarted(const QString& day) const;
    void rememberScheduledPass();

    // showStatusNotice, after the notice still shown, if any.
    void addStatusNotice(const QString& text, std::chrono::milliseconds duration);
    void saveRenewedCookies(const PassResult& result);
    // Writes the cookies of the accounts that logged in again (PassPlan::relogin) into Sign.db.
    void saveReloginCookies(const PassResult& result);
    // The cookies sites set that the merge left out (control characters, bytes that are no
    // text), named with their sites in the status label.
    void showRefusedCookies(const PassResult& result);
    void setPassControlsEnabled(bool enabled);
    // "关闭时最小化到托盘" can be changed only where there is a tray icon; its tooltip says why.
    void showCloseToTrayAvailable();
    // The window's place kept in History.db: read at start-up (a place no screen shows is left
    // alone), written at the end when the user moved, resized or maximised the window.
    void restoreWindowPlace();
    void saveWindowPlace();
    // "x,y,width,height,maximised", the size and place the window has when not maximised.
    QString windowPlace() const;
    // Places the status strip's labels and progress bar for the strip's width.
    void layoutStatusStrip();
    void showPassProgress();
    // During a pass: asks whether to end the program all the same.
    bool confirmEndDuringPass();
    // Ends the program at once (the pass and the push test write nothing to Sign.db).
    void endNow();

    std::filesystem::path databasePath_;
    ProgramEnvironment environment_;
    KeptSettings kept_{databasePath_};
    SqlDatabase db_;
    SiteBook book_{db_, databasePath_};
    // "同步通知" and the checked channel, as the running pass reads them.
    std::shared_ptr<PassSwitches> switches_ = std::make_shared<PassSwitches>();
    std::unique_ptr<PassSession> session_;  // the running pass's, until it has finished
    PassLock passLock_;  // held while a pass runs, so that vesprey-cli sign waits its turn
    CaptureState capture_;

    QTabWidget* tabs_ = nullptr;
    SignPage* signPage_ = nullptr;
    TemplatePage* templatePage_ = nullptr;
    PushPage* pushPage_ = nullptr;
    QCheckBox* closeToTray_ = nullptr;  // "关闭时最小化到托盘", on page 3
    QLabel* status_ = nullptr;
    QLabel* counts_ = nullptr;
    QProgressBar* progress_ = nullptr;  // shown while a pass runs
    QWidget* statusStrip_ = nullptr;
    QWidget* background_ = nullptr;
    QList<QWidget*> titleButtons_;  // minimise, maximise, close: kept at the right end
    QList<QWidget*> grips_;         // right edge, bottom edge, corner
    bool startedUp_ = false;
    bool placeChanged_ = false;       // moved, resized or maximised since start-up
    QString startPlace_;              // windowPlace() at the end of start-up, or as last kept
    QTimer* statusNotice_ = nullptr;  // running while a notice is shown
    QString statusBehindNotice_;
    QList<PictureButton*> pageButtons_;
    WindowQueue* calls_ = nullptr;
    QPointer<HistoryWindow> history_;  // the open history window, if any
    std::unique_ptr<TrayIcon> tray_;

    bool passRunning_ = false;
    int passDone_ = 0;
    int passPlanned_ = 0;
    // The list row of each row of the running pass's plan.
    std::vector<int> passListRows_;
    // The accounts (template id, Cid) a pass of chosen rows signs; none: every row.
    std::optional<std::set<std::pair<int, int>>> passChosen_;
    QString lastPass_;  // see lastPassText
    std::chrono::milliseconds finishedHold_{2000};
    std::jthread pass_;
};

}  // namespace vesprey::ui
