// Page 2 "推送区": the push channel of the list (Bark, Server酱, 钉钉) with its key, the further
// channels ("更多渠道…"), the daily schedule and the pass's switches ("同步通知", "仅失败时推送",
// "保存更新的 Cookie", "同时签到数", "签到也校验证书", "签到选项…"), the push test ("调试") and the
// key's save. The switches are stored in Sign.db's settings as they are toggled; a running pass
// reads "同步通知" and the checked channel through PassSwitches.
#pragma once

#include <QStringList>
#include <QWidget>
#include <chrono>
#include <functional>
#include <memory>
#include <string_view>

#include "app/environment.h"
#include "engine/sign_in_run.h"
#include "store/site_database.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;

namespace vesprey::ui {

class KeptSettings;
class PushTest;
class Scheduler;

class PushPage : public QWidget {
    Q_OBJECT
public:
    // What the page has to say for a while (the push test's outcome) goes to `notice`.
    using Notice = std::function<void(const QString& text, std::chrono::milliseconds duration)>;

    // `db` is the window's Sign.db (opened later, at start-up); `switches` the ones the window's
    // passes read.
    PushPage(SqlDatabase& db, PushEnvironment environment, std::shared_ptr<PassSwitches> switches,
             Notice notice);

    // Reads the push keys and the stored switches, and selects the first schedule item.
    void load();

    const PushSettings& settings() const { return push_; }
    bool notifyChecked() const;
    bool scheduleChecked() const;
    // "仅失败时推送": the summary goes out only when an account is expired or failed.
    NotifyOn notifyOn() const;
    // "保存更新的 Cookie": after a pass the cookies that sites renewed go into Sign.db.
    bool saveRenewedCookiesChecked() const;
    // "同时签到数": how many accounts a pass requests at once (PassPlan::jobs).
    int signInJobs() const;
    // "签到也校验证书"
    bool strictTlsChecked() const;
    int pushChannel() const;  // 1 Bark, 2 ServerChan, 3 DingTalk robot
    // "推送语句" on one line (code page 936): the summary's first line when not empty.
    Text pushOpening() const;
    Scheduler& scheduler() { return *scheduler_; }
    bool pushTestRunning() const;

    // Keeps "开启定时", its period, "同步通知" and the checked channel in `kept` whenever they
    // change, so that the next start finds them as they were left.
    void keepSettingsIn(KeptSettings& kept);
    // After load: sets those controls as `kept` holds them and, when the schedule was on, arms
    // it (the time is drawn anew; a day's missing pass is caught up as at a click).
    void restoreKeptSettings(KeptSettings& kept);

public slots:
    void showPushKey(int channel);
    void savePushKey();       // "保存"; an empty key only when another channel is enabled
    void testPush();          // "调试" with the key shown, on a thread of its own
    void showPushChannels();  // "更多渠道…": the dialog of every channel
    void showEnabledChannels(const QStringList& channels);

private:
    void storeSwitch(std::string_view name, std::string_view value);
    void readSwitches();
    // A channel enabled in "更多渠道…" other than the one checked here.
    bool otherChannelEnabled();

    SqlDatabase& db_;
    PushEnvironment environment_;
    std::shared_ptr<PassSwitches> switches_;
    Notice notice_;
    PushSettings push_;
    QRadioButton* bark_ = nullptr;
    QRadioButton* serverChan_ = nullptr;
    QRadioButton* dingTalk_ = nullptr;
    QLineEdit* pushKey_ = nullptr;
    QPlainTextEdit* opening_ = nullptr;  // "推送语句"
    QComboBox* period_ = nullptr;
    QCheckBox* notify_ = nullptr;
    QCheckBox* schedule_ = nullptr;
    QCheckBox* failureOnly_ = nullptr;
    QCheckBox* saveCookies_ = nullptr;
    QSpinBox* jobs_ = nullptr;
    QCheckBox* strictTls_ = nullptr;
    QPushButton* pushTestButton_ = nullptr;
    QLabel* enabledChannels_ = nullptr;  // "已启用 N 个渠道"
    PushTest* pushTest_ = nullptr;
    Scheduler* scheduler_ = nullptr;
};

}  // namespace vesprey::ui
