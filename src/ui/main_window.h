// The main window: the account list with its context menu, the template page, the push settings
// with the daily schedule, and the about page, under a drawn title strip. It owns the open
// Sign.db, the loaded SiteList and PushSettings, and the sign-in pass's worker thread.
#pragma once

#include <QDateTime>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "app/environment.h"
#include "engine/sign_in_run.h"
#include "session/pass_session.h"
#include "store/site_database.h"
#include "ui/capture.h"
#include "ui/scheduler.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTabWidget;
class QTimer;
class QTreeView;

namespace vesprey::ui {

class AccountListModel;
class HistoryWindow;
class ManualFillDialog;
class PictureButton;
class PushTest;
class TemplateEditor;
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
    // Shows `text` in the status label for `duration` (a failed push, say): texts set meanwhile,
    // the schedule's countdown among them, wait behind it and the latest shows when it goes.
    void showStatusNotice(const QString& text, std::chrono::milliseconds duration);
    bool notifyChecked() const;
    bool scheduleChecked() const;
    // "仅失败时推送": the summary goes out only when an account is expired or failed.
    NotifyOn notifyOn() const;
    // "保存更新的 Cookie": after a pass the cookies that sites renewed go into Sign.db.
    bool saveRenewedCookiesChecked() const;
    // "同时签到数": how many accounts a pass requests at once (PassPlan::jobs).
    int signInJobs() const;
    int pushChannel() const;  // 1 Bark, 2 ServerChan, 3 DingTalk robot
    void setTimerPeriod(int milliseconds);

    int selectedRow() const;  // -1 when no row is selected
    int rowCount() const;
    const SiteList& siteList() const { return sites_; }
    const PushSettings& pushSettings() const { return push_; }
    SqlDatabase& database() { return db_; }
    Scheduler& scheduler() { return *scheduler_; }
    WindowQueue& calls() { return *calls_; }
    bool passRunning() const { return passRunning_; }
    // The capture windows' hand-over (PendingCapture, CaptureMode, SelectedAccount) and page 1.
    CaptureState& capture() { return capture_; }
    TemplateEditor& editor() { return *editor_; }
    // The tray icon; null where the desktop has no system tray.
    TrayIcon* tray() { return tray_.get(); }

    // How long "签到完毕！" stays up at the end of a pass (two seconds).
    void setFinishedHold(std::chrono::milliseconds hold) { finishedHold_ = hold; }
    std::chrono::milliseconds finishedHold() const { return finishedHold_; }

public slots:
    void startPassFromMenu();   // "开始签到": reload, then the pass
    void startScheduledPass();  // the drawn minute: page 0, the pass without a reload
    void copySelectedResult();  // double-click: "返回内容" of the selected row to the clipboard
    void showPushKey(int channel);
    void savePushKey();       // "保存" on the push page
    void testPush();          // "调试" on the push page, on a thread of its own
    void showPushChannels();  // "更多渠道…": the dialog of every channel
    void showEnabledChannels(const QStringList& channels);
    void showHistory();  // "签到历史": the history window of the last 30 days
    void selectPage(int index);
    void endProcess();  // the close button

signals:
    void statusChanged(const QString& text);
    void passStarted();
    void passFinished();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildTitleStrip();
    void buildStatusStrip();
    void buildPages();
    QWidget* buildListPage();
    QWidget* buildTemplatePage();
    QWidget* buildPushPage();
    QWidget* buildAboutPage();
    void buildContextMenu();

    // The menu's row commands: the selection guard, then the command.
    bool requireSelection();
    void notYet(const QString& what);
    // "登录" → "软件登录": the browser login for the selected account; the captured cookie replaces
    // the account's cookie, or becomes its first account row.
    void browserLogin();
    // The editor's "软件登录 ": the browser login on 编辑框_登录链接; the cookie waits in
    // PendingCapture for the editor's save.
    void editorBrowserLogin();
    // The maintenance commands of the menu (maintenance.cpp).
    void manualFillAccount();  // "登录" → "人工填写"
    void addAccount();         // "增加(&N)"
    void deleteAccount();      // "删除(&D)"
    void modifyTemplate();     // "修改(&U)"
    // Remembers the selected row for an operation; false when the row has no SiteList entry.
    bool rememberSelection();
    void openManualFill(CaptureMode mode);
    void startPass();
    // The pass's end, on this thread after the worker: the rows it requested keep their merged
    // cookies for the next pass without a reload; unless it was stopped, its rows go to
    // History.db, and the cookies sites renewed for accounts that went well are saved when
    // "保存更新的 Cookie" is checked.
    void onPassFinished(const PassResult& result);
    // The scheduler's run record in History.db: whether the scheduled pass of `day`
    // ("yyyy-MM-dd") has been started, and the day of the one starting now.
    bool scheduledPassStarted(const QString& day) const;
    void rememberScheduledPass();

    // The list's cookie warnings from History.db, at load and after each pass.
    void showCookieHealth();
    // showStatusNotice, after the notice still shown, if any.
    void addStatusNotice(const QString& text, std::chrono::milliseconds duration);
    void saveRenewedCookies(const PassResult& result);
    // The two switches of the push page are stored in Sign.db's settings as they are toggled.
    void storeSwitch(std::string_view name, std::string_view value);
    void readSwitches();
    void setPassControlsEnabled(bool enabled);

    std::filesystem::path databasePath_;
    ProgramEnvironment environment_;
    SqlDatabase db_;
    SiteList sites_;
    PushSettings push_;
    // "同步通知" and the checked channel, as the running pass reads them.
    std::shared_ptr<PassSwitches> switches_ = std::make_shared<PassSwitches>();
    std::unique_ptr<PassSession> session_;  // the running pass's, until it has finished

    AccountListModel* model_ = nullptr;
    QTreeView* list_ = nullptr;
    QTabWidget* tabs_ = nullptr;
    QLabel* status_ = nullptr;
    QLabel* counts_ = nullptr;
    QTimer* statusNotice_ = nullptr;  // running while a notice is shown
    QString statusBehindNotice_;
    QMenu* menu_ = nullptr;
    QAction* signInAction_ = nullptr;
    QList<QAction*> rowActions_;
    QList<PictureButton*> pageButtons_;
    QRadioButton* bark_ = nullptr;
    QRadioButton* serverChan_ = nullptr;
    QRadioButton* dingTalk_ = nullptr;
    QLineEdit* pushKey_ = nullptr;
    QComboBox* period_ = nullptr;
    QComboBox* conversion_ = nullptr;
    QCheckBox* notify_ = nullptr;
    QCheckBox* schedule_ = nullptr;
    QCheckBox* failureOnly_ = nullptr;
    QCheckBox* saveCookies_ = nullptr;
    QSpinBox* jobs_ = nullptr;
    QCheckBox* strictTls_ = nullptr;
    QPushButton* pushTestButton_ = nullptr;
    QLabel* enabledChannels_ = nullptr;  // the push page's "已启用 N 个渠道"
    PushTest* pushTest_ = nullptr;
    QPushButton* editorSave_ = nullptr;
    Scheduler* scheduler_ = nullptr;
    WindowQueue* calls_ = nullptr;

    CaptureState capture_;
    TemplateEditor* editor_ = nullptr;
    QPointer<ManualFillDialog> manualFill_;  // the menu's open manual-fill window, if any
    QPointer<HistoryWindow> history_;        // the open history window, if any
    std::unique_ptr<TrayIcon> tray_;

    bool passRunning_ = false;
    std::chrono::milliseconds finishedHold_{2000};
    std::jthread pass_;
};

}  // namespace vesprey::ui
