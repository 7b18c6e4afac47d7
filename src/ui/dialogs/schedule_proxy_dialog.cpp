#include "ui/dialogs/schedule_proxy_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <algorithm>

#include "engine/schedule.h"
#include "ui/dialogs/edit_text.h"
#include "ui/dialogs/message_boxes.h"
#include "ui/qt_text.h"
#include "web/proxy.h"

namespace vesprey::ui {
namespace {

constexpr int kWidth = 420;
constexpr int kStripHeight = 26;
const QString kCaption = QStringLiteral("周期与代理");
constexpr const char* kDayNames[] = {"一", "二", "三", "四", "五", "六", "日"};

enum Kind { kDaily = 0, kEveryDays = 1, kWeekdays = 2 };

QDate dateOf(std::chrono::sys_days day) {
    const std::chrono::year_month_day date(day);
    return QDate(static_cast<int>(date.year()),
                 static_cast<int>(static_cast<unsigned>(date.month())),
                 static_cast<int>(static_cast<unsigned>(date.day())));
}

std::optional<SignSchedule> scheduleOf(const StoredSchedule& stored) {
    if (stored.rule.empty()) {
        return std::nullopt;
    }
    return parseSchedule(stored.rule, parseDay(stored.start).value_or(localToday()));
}

}  // namespace

QString ownSettingsSummary(const TemplateOwnSettings& settings) {
    const std::optional<SignSchedule> schedule = scheduleOf(settings.schedule);
    return QString::fromStdString("签到周期：" + (schedule ? scheduleWords(*schedule) : "每天") +
                                  "；代理：" +
                                  (settings.proxy.empty() ? "无" : shownProxy(settings.proxy)));
}

ScheduleProxyDialog::ScheduleProxyDialog(const TemplateOwnSettings& settings, QWidget* owner)
    : ToolWindow(kCaption, kCaption, kWidth, 200, owner) {
    setObjectName(QStringLiteral("窗口_周期与代理"));
    auto* body = new QWidget(this);
    body->setObjectName(QStringLiteral("区域_周期与代理"));
    auto* column = new QVBoxLayout(body);
    column->setContentsMargins(12, 8, 12, 10);
    auto* form = new QFormLayout;
    form->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
    form->setFieldGrowthPolicy(QFormLayout::ExpandingFieldsGrow);
    column->addLayout(form);

    kind_ = new QComboBox(body);
    kind_->setObjectName(QStringLiteral("组合框_签到周期"));
    kind_->addItems({QStringLiteral("每天"), QStringLiteral("每隔几天"), QStringLiteral("每周几")});
    form->addRow(QStringLiteral("签到周期："), kind_);

    auto* everyRow = new QHBoxLayout;
    every_ = new QSpinBox(body);
    every_->setObjectName(QStringLiteral("数字框_间隔天数"));
    every_->setRange(2, kMaxScheduleDays);
    every_->setSuffix(QStringLiteral(" 天一次"));
    start_ = new QDateEdit(body);
    start_->setObjectName(QStringLiteral("日期框_开始日期"));
    start_->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    start_->setCalendarPopup(true);
    everyRow->addWidget(every_);
    everyRow->addWidget(start_);
    form->addRow(QStringLiteral("每隔：从"), everyRow);

    auto* daysRow = new QHBoxLayout;
    for (std::size_t day = 0; day < weekdays_.size(); ++day) {
        weekdays_[day] = new QCheckBox(QString::fromUtf8(kDayNames[day]), body);
        weekdays_[day]->setObjectName(QStringLiteral("选择框_周") +
                                      QString::fromUtf8(kDayNames[day]));
        daysRow->addWidget(weekdays_[day]);
    }
    form->addRow(QStringLiteral("每周："), daysRow);

    proxy_ = new QLineEdit(body);
    proxy_->setObjectName(QStringLiteral("编辑框_模板代理"));
    proxy_->setPlaceholderText(QStringLiteral("socks5h://用户名:密码@主机:端口；空：用签到选项的"));
    form->addRow(QStringLiteral("代理："), proxy_);
    column->addStretch(1);

    column->addLayout(okCancelRow(body));

    // The fields from the settings.
    const std::optional<SignSchedule> schedule = scheduleOf(settings.schedule);
    start_->setDate(dateOf(schedule && schedule->kind == SignSchedule::Kind::EveryDays
                               ? schedule->start
                               : localToday()));
    int kind = kDaily;
    if (schedule && schedule->kind == SignSchedule::Kind::EveryDays) {
        kind = kEveryDays;
        every_->setValue(schedule->everyDays);
    }
    if (schedule && schedule->kind == SignSchedule::Kind::Weekdays) {
        kind = kWeekdays;
        for (std::size_t day = 0; day < weekdays_.size(); ++day) {
            weekdays_[day]->setChecked((schedule->weekdays & (1U << (day + 1))) != 0);
        }
    }
    kind_->setCurrentIndex(kind);
    kindChanged(kind);
    connect(kind_, &QComboBox::currentIndexChanged, this, &ScheduleProxyDialog::kindChanged);
    setEditText(proxy_, settings.proxy);

    const int bodyHeight = body->sizeHint().height();
    body->setGeometry(0, kStripHeight, kWidth, bodyHeight);
    setWindowHeight(kStripHeight + bodyHeight);
    placeBeside(owner, 20, 40);
}

void ScheduleProxyDialog::kindChanged(int kind) {
    every_->setEnabled(kind == kEveryDays);
    start_->setEnabled(kind == kEveryDays);
    for (QCheckBox* day : weekdays_) {
        day->setEnabled(kind == kWeekdays);
    }
}

TemplateOwnSettings ScheduleProxyDialog::settings() const {
    TemplateOwnSettings settings;
    settings.proxy = editText(proxy_);
    SignSchedule schedule;
    if (kind_->currentIndex() == kEveryDays) {
        schedule.kind = SignSchedule::Kind::EveryDays;
        schedule.everyDays = every_->value();
        const QDate date = start_->date();
        schedule.start = std::chrono::sys_days(std::chrono::year_month_day{
            std::chrono::year(date.year()), std::chrono::month(static_cast<unsigned>(date.month())),
            std::chrono::day(static_cast<unsigned>(date.day()))});
        settings.schedule = {scheduleText(schedule), dayText(schedule.start)};
    } else if (kind_->currentIndex() == kWeekdays) {
        schedule.kind = SignSchedule::Kind::Weekdays;
        for (std::size_t day = 0; day < weekdays_.size(); ++day) {
            if (weekdays_[day]->isChecked()) {
                schedule.weekdays |= 1U << (day + 1);
            }
        }
        settings.schedule = {scheduleText(schedule), {}};
    }
    return settings;
}

void ScheduleProxyDialog::accept() {
    const TemplateOwnSettings chosen = settings();
    if (!chosen.proxy.empty()) {
        if (const std::optional<std::string> problem = proxyProblem(chosen.proxy)) {
            MessageBoxes::inform(this, QString::fromStdString(*problem), kCaption,
                                 BoxIcon::Warning);
            return;
        }
    }
    if (kind_->currentIndex() == kWeekdays &&
        std::none_of(weekdays_.begin(), weekdays_.end(),
                     [](const QCheckBox* day) { return day->isChecked(); })) {
        MessageBoxes::inform(this, QStringLiteral("请至少选一个星期几，或把签到周期改为“每天”。"),
                             kCaption, BoxIcon::Warning);
        return;
    }
    ToolWindow::accept();
}

}  // namespace vesprey::ui
