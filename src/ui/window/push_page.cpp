#include "ui/window/push_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <string>
#include <utility>

#include "engine/push.h"
#include "store/push_channels.h"
#include "ui/dialogs/message_boxes.h"
#include "ui/dialogs/pass_options_dialog.h"
#include "ui/dialogs/push_channels_dialog.h"
#include "ui/layout.h"
#include "ui/qt_text.h"
#include "ui/window/kept_settings.h"
#include "ui/window/push_test.h"
#include "ui/window/scheduler.h"
#include "ui/window/sign_in_pass.h"

namespace vesprey::ui {
namespace {

// The names of the page's switches in Sign.db's settings.
constexpr std::string_view kNotifyOnSetting = "notify_on";
constexpr std::string_view kSaveCookiesSetting = "save_cookies";
constexpr std::string_view kJobsSetting = "sign_in_jobs";
constexpr std::string_view kStrictTlsSetting = "strict_tls";

// Longer than any push request may take.
constexpr std::chrono::seconds kPushTestShown{120};

// The sentence an empty key is refused with, by "保存" and "调试" alike.
QString emptyKeyText(const QString& action) {
    return QStringLiteral("推送标识信息为空，请补充完毕再%1！").arg(action);
}

QPushButton* button(QWidget* parent, const QString& name, const QString& caption, int x, int y,
                    int w = 61, int h = 25) {
    return place(new QPushButton(caption, parent), name, x, y, w, h);
}

}  // namespace

PushPage::PushPage(SqlDatabase& db, PushEnvironment environment,
                   std::shared_ptr<PassSwitches> switches, Notice showNotice)
    : db_(db),
      environment_(std::move(environment)),
      switches_(std::move(switches)),
      notice_(std::move(showNotice)) {
    QWidget* page = this;
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
    opening_ =
        place(new QPlainTextEdit(notice), QStringLiteral("编辑框_推送语句"), 71, 88, 473, 84);
    opening_->setTabChangesFocus(true);
    opening_->setToolTip(
        QStringLiteral("不为空时，作为每次签到推送内容的第一行（几行会连成一行）；为空时不加。"
                       "点“保存”后保留，命令行的 sign --notify 也用它"));
    auto* more = button(notice, QStringLiteral("超级按钮_推送渠道"), QStringLiteral("更多渠道…"),
                        344, 20, 70);
    more->setToolTip(
        QStringLiteral("ntfy、Gotify、Telegram、企业微信、飞书、PushPlus、Server酱³、"
                       "Webhook、电子邮件；可同时启用多个"));
    connect(more, &QPushButton::clicked, this, &PushPage::showPushChannels);
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
    auto* options = place(new QPushButton(QStringLiteral("签到选项…"), timed),
                          QStringLiteral("超级按钮_签到选项"), 320, 47, 90, 24);
    options->setToolTip(QStringLiteral("失败重试、代理、自动登录、同步 Cookie 等更多签到设置"));
    connect(options, &QPushButton::clicked, this, [this] {
        PassOptionsDialog dialog(db_, window());
        dialog.placeBeside(window(), 140, 90);
        dialog.exec();
    });
    scheduler_ = new Scheduler(period_, schedule_, this);
    connect(schedule_, &QAbstractButton::clicked, scheduler_, &Scheduler::armSchedule);

    pushTestButton_ =
        button(page, QStringLiteral("超级按钮_推送_调试"), QStringLiteral("调试"), 442, 312);
    connect(pushTestButton_, &QPushButton::clicked, this, &PushPage::testPush);
    pushTest_ = new PushTest(environment_, this);
    connect(pushTest_, &PushTest::runningChanged, pushTestButton_,
            [this](bool running) { pushTestButton_->setEnabled(!running); });
    connect(
        pushTest_, &PushTest::finished, this, [this](const QString&, const PushOutcome& outcome) {
            notice_(outcome.ok() ? QStringLiteral("推送成功")
                                 : QStringLiteral("推送失败：") + fromAnsi(outcome.error.message),
                    kPushFailureShown);
        });
    auto* save =
        button(page, QStringLiteral("超级按钮_推送_保存"), QStringLiteral("保存"), 514, 312);
    connect(save, &QPushButton::clicked, this, &PushPage::savePushKey);
}

void PushPage::load() {
    readSwitches();
    push_ = loadPushSettings(db_);
    pushKey_->setText(push_.empty() ? QString() : fromAnsi(push_.front().RobotId));
    opening_->setPlainText(fromAnsi(readSetting(db_, kPushOpeningSetting).value_or(Text())));
    period_->setCurrentIndex(0);
}

bool PushPage::strictTlsChecked() const {
    return strictTls_->isChecked();
}

bool PushPage::pushTestRunning() const {
    return pushTest_->running();
}

bool PushPage::notifyChecked() const {
    return notify_->isChecked();
}

bool PushPage::scheduleChecked() const {
    return schedule_->isChecked();
}

NotifyOn PushPage::notifyOn() const {
    return failureOnly_->isChecked() ? NotifyOn::Failure : NotifyOn::Always;
}

bool PushPage::saveRenewedCookiesChecked() const {
    return saveCookies_->isChecked();
}

int PushPage::signInJobs() const {
    return jobs_->value();
}

void PushPage::storeSwitch(std::string_view name, std::string_view value) {
    // Like a push key, a switch that cannot be stored says nothing: it still holds for this
    // session.
    writeSetting(db_, name, value);
}

void PushPage::readSwitches() {
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

int PushPage::pushChannel() const {
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

void PushPage::showPushKey(int channel) {
    const auto entry = static_cast<std::size_t>(channel - 1);
    pushKey_->setText(channel >= 1 && entry < push_.size() ? fromAnsi(push_[entry].RobotId)
                                                           : QString());
}

Text PushPage::pushOpening() const {
    return toAnsi(opening_->toPlainText().simplified());
}

bool PushPage::otherChannelEnabled() {
    const int channel = pushChannel();
    const std::string_view checked =
        channel >= 1 ? pushChannels()[static_cast<std::size_t>(channel - 1)].name
                     : std::string_view();
    for (const std::string& enabled : enabledPushChannels(db_)) {
        if (enabled != checked) {
            return true;
        }
    }
    return false;
}

void PushPage::savePushKey() {
    const QString key = pushKey_->text();
    // With channels enabled in "更多渠道…" the summary goes there, not to the channel checked
    // here: its key may be left empty.
    if (key.isEmpty() && !otherChannelEnabled()) {
        MessageBoxes::inform(window(), emptyKeyText(QStringLiteral("保存")),
                             QStringLiteral("推送工具"), BoxIcon::Information);
        return;
    }
    const int channel = pushChannel();
    const Text robotId = toAnsi(key);
    // A failed write says nothing. A saved key is used from now on, by the push test and by the
    // next pass, not only after a restart.
    writeSetting(db_, kPushOpeningSetting, pushOpening());
    if (updatePushKey(db_, channel, robotId).done) {
        const auto entry = static_cast<std::size_t>(channel - 1);
        if (channel >= 1 && entry < push_.size()) {
            push_[entry].RobotId = robotId;
        }
    }
}

void PushPage::testPush() {
    const int channel = pushChannel();
    if (channel < 1) {
        return;  // no channel checked: nothing to send
    }
    // The key as the field shows it now, saved or not.
    const QString key = pushKey_->text();
    if (key.isEmpty()) {
        MessageBoxes::inform(window(), emptyKeyText(QStringLiteral("调试")),
                             QStringLiteral("推送工具"), BoxIcon::Information);
        return;
    }
    PushSettings keys = push_;
    const auto entry = static_cast<std::size_t>(channel - 1);
    if (keys.size() <= entry) {
        keys.resize(entry + 1);
    }
    keys[entry].RobotId = toAnsi(key);
    if (pushTest_->start(std::string(pushChannels()[entry].name), std::move(keys), {})) {
        // Up until the outcome replaces it; the status before comes back after the outcome.
        notice_(QStringLiteral("正在推送…"), kPushTestShown);
    }
}

void PushPage::showPushChannels() {
    PushChannelsDialog dialog(db_, push_, *pushTest_, window());
    connect(&dialog, &PushChannelsDialog::enabledChanged, this, &PushPage::showEnabledChannels);
    dialog.exec();
    showPushKey(pushChannel());  // a key saved there shows here too
}

void PushPage::showEnabledChannels(const QStringList& channels) {
    enabledChannels_->setText(
        channels.isEmpty() ? QString() : QStringLiteral("已启用 %1 个渠道").arg(channels.size()));
    enabledChannels_->setToolTip(channels.isEmpty()
                                     ? QStringLiteral("没有启用其他渠道：推送到上面选中的一个")
                                     : QStringLiteral("签到完毕后推送到：") +
                                           channels.join(QStringLiteral("、")));
}

void PushPage::keepSettingsIn(KeptSettings& kept) {
    connect(schedule_, &QCheckBox::toggled, this,
            [&kept](bool on) { kept.saveFlag(kKeptSchedule, on); });
    connect(period_, &QComboBox::currentIndexChanged, this, [&kept](int index) {
        if (index >= 0) {
            kept.save(kKeptSchedulePeriod, QString::number(index));
        }
    });
    connect(notify_, &QCheckBox::toggled, this,
            [&kept](bool on) { kept.saveFlag(kKeptNotify, on); });
    for (auto [radio, channel] :
         {std::pair{bark_, kPushBark}, std::pair{serverChan_, kPushServerChan},
          std::pair{dingTalk_, kPushDingTalk}}) {
        connect(radio, &QAbstractButton::toggled, this, [&kept, channel = channel](bool on) {
            if (on) {
                kept.save(kKeptPushChannel, QString::number(channel));
            }
        });
    }
}

void PushPage::restoreKeptSettings(KeptSettings& kept) {
    const KeptSettings::Restoring restoring(kept);
    if (const std::optional<int> index = kept.number(kKeptSchedulePeriod);
        index && *index >= 0 && *index < period_->count()) {
        period_->setCurrentIndex(*index);
    }
    if (const std::optional<int> channel = kept.number(kKeptPushChannel)) {
        for (auto [radio, kind] :
             {std::pair{bark_, kPushBark}, std::pair{serverChan_, kPushServerChan},
              std::pair{dingTalk_, kPushDingTalk}}) {
            if (kind == *channel) {
                radio->setChecked(true);  // the pass's switches follow
                showPushKey(kind);
            }
        }
    }
    notify_->setChecked(kept.flag(kKeptNotify));
    if (kept.flag(kKeptSchedule)) {
        schedule_->setChecked(true);
        scheduler_->armSchedule();
    }
}

}  // namespace vesprey::ui
