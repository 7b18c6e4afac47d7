#include "ui/window/scheduler.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDate>
#include <QTimer>
#include <array>
#include <chrono>
#include <ctime>
#include <utility>

#include "text/text.h"

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

namespace vesprey::ui {
namespace {

constexpr int kTickMilliseconds = 1000;
constexpr double kSecondsPerDay = 86400.0;
constexpr long long kDaySeconds = 86400;
// Keeps a difference of whole seconds from being truncated one second short by rounding.
constexpr double kRoundingGuard = 5.787037037037037e-6;

long long wholeSecondsBetween(double from, double to) {
    return static_cast<long long>((to - from) * kSecondsPerDay + kRoundingGuard);
}

long long dayNumber(const LocalTime& time) {
    using namespace std::chrono;
    const sys_days date{year{time.year} / month{static_cast<unsigned>(time.month)} /
                        day{static_cast<unsigned>(time.day)}};
    return date.time_since_epoch().count();
}

// "yyyy-MM-dd" of a day number.
QString dayText(long long day) {
    return QDate(1970, 1, 1).addDays(day).toString(QStringLiteral("yyyy-MM-dd"));
}

// Wall-clock seconds since 1970-01-01 00:00:00 local time. Offsets and clock changes are left
// out on purpose: the drawn time is a wall-clock time, and a clock set back by them is covered
// by the one-run-a-day rule.
long long localSeconds(const LocalTime& time) {
    return dayNumber(time) * kDaySeconds + time.hour * 3600LL + time.minute * 60LL + time.second;
}

}  // namespace

LocalTime SystemClock::now() const {
    const std::time_t seconds = std::time(nullptr);
    std::tm local{};
    localtime_r(&seconds, &local);
    return LocalTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                     local.tm_hour,        local.tm_min,     local.tm_sec};
}

QStringList periodCaptions() {
    return {QStringLiteral("随机"), QStringLiteral("凌晨"), QStringLiteral("早晨"),
            QStringLiteral("上午"), QStringLiteral("中午"), QStringLiteral("下午"),
            QStringLiteral("傍晚"), QStringLiteral("晚上")};
}

HourRange periodHours(int index) {
    static constexpr std::array<HourRange, 8> ranges = {
        HourRange{0, 23},  HourRange{0, 5},   HourRange{5, 8},   HourRange{8, 11},
        HourRange{11, 13}, HourRange{13, 16}, HourRange{16, 19}, HourRange{19, 23}};
    if (index < 1 || index > 7) {
        return ranges[0];
    }
    return ranges[static_cast<std::size_t>(index)];
}

std::uint32_t readTimeStampCounter() {
#if defined(__x86_64__) || defined(__i386__)
    return static_cast<std::uint32_t>(__rdtsc());
#else
    return static_cast<std::uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
#endif
}

int drawInRange(std::uint32_t counter, int low, int high) {
    const std::uint32_t x = ((counter * 214013U + 2531011U) >> 16) & 0x7FFFU;
    const auto span = static_cast<std::uint32_t>(high - low + 1);
    return low + static_cast<int>(x % span);
}

int randomInRange(int low, int high) {
    return drawInRange(readTimeStampCounter(), low, high);
}

long long secondsUntil(const LocalTime& now, int hour, int minute) {
    const double current =
        makeDateTime(now.year, now.month, now.day, now.hour, now.minute, now.second);
    double target = makeDateTime(now.year, now.month, now.day, hour, minute, 0);
    long long seconds = wholeSecondsBetween(current, target);
    if (seconds < 0) {
        target += 1.0;
        seconds = wholeSecondsBetween(current, target);
    }
    return seconds;
}

QString countdownText(long long seconds) {
    const long long inDay = seconds % 86400;
    return QStringLiteral("距离签到时间还有%1小时%2分%3秒")
        .arg(inDay / 3600)
        .arg(inDay % 3600 / 60)
        .arg(inDay % 3600 % 60);
}

Scheduler::Scheduler(QComboBox* period, QCheckBox* enabled, QObject* parent)
    : QObject(parent),
      period_(period),
      enabled_(enabled),
      timer_(new QTimer(this)),
      clock_(std::make_shared<SystemClock>()) {
    timer_->setObjectName(QStringLiteral("时钟1"));
    // A late tick still starts the run, but the countdown should move one second at a time,
    // and the coarse timer may slip by up to 5% of the period.
    timer_->setTimerType(Qt::PreciseTimer);
    connect(timer_, &QTimer::timeout, this, &Scheduler::onScheduleTick);
}

void Scheduler::setClock(std::shared_ptr<const ScheduleClock> clock) {
    clock_ = std::move(clock);
}

LocalTime Scheduler::now() const {
    return clock_->now();
}

std::optional<long long> Scheduler::secondsToNextRun() const {
    if (!enabled_->isChecked()) {
        return std::nullopt;
    }
    return secondsUntil(clock_->now(), time_.hour, time_.minute);
}

void Scheduler::setTimerPeriod(int milliseconds) {
    if (milliseconds <= 0) {
        timer_->stop();
    } else {
        timer_->start(milliseconds);
    }
}

int Scheduler::timerPeriod() const {
    return timer_->isActive() ? timer_->interval() : 0;
}

void Scheduler::armSchedule() {
    if (!enabled_->isChecked()) {
        setTimerPeriod(0);
        previousTick_.reset();
        retryAt_.reset();
        emit statusText(QString());
        return;
    }
    setTimerPeriod(kTickMilliseconds);
    const HourRange hours = periodHours(period_->currentIndex());
    time_.hour = randomInRange(hours.low, hours.high);
    time_.minute = randomInRange(0, 59);
    // Nothing before this moment counts for the tick: armed at or after today's drawn time, its
    // next run is tomorrow's.
    const LocalTime now = clock_->now();
    previousTick_ = localSeconds(now);
    // Today's drawn moment is already behind: its run is started now unless it has been, here or
    // (by the record) in an earlier process.
    const long long today = dayNumber(now);
    const long long drawn = today * kDaySeconds + time_.hour * 3600LL + time_.minute * 60LL;
    if (runStarted_ && drawn < *previousTick_ && lastRunDay_ != today &&
        !runStarted_(dayText(today))) {
        lastRunDay_ = today;
        setTimerPeriod(0);
        emit due();
    }
}

void Scheduler::setRunRecord(std::function<bool(const QString& day)> started) {
    runStarted_ = std::move(started);
}

std::optional<QString> Scheduler::lastRunDay() const {
    if (!lastRunDay_) {
        return std::nullopt;
    }
    return dayText(*lastRunDay_);
}

void Scheduler::retryIn(int seconds) {
    retryDay_ = std::exchange(lastRunDay_, std::nullopt);
    retryAt_ = localSeconds(clock_->now()) + seconds;
    setTimerPeriod(kTickMilliseconds);
}

void Scheduler::onScheduleTick() {
    const LocalTime now = clock_->now();
    const long long current = localSeconds(now);
    const std::optional<long long> previous = std::exchange(previousTick_, current);
    if (retryAt_ && current >= *retryAt_) {
        retryAt_.reset();
        lastRunDay_ = retryDay_ ? retryDay_ : dayNumber(now);  // the run is the day it was due
        setTimerPeriod(0);
        emit due();
        return;
    }

    // Only the latest drawn moment at or before this tick is looked at: today's once it has
    // come, else yesterday's. A tick that arrives late (a busy window thread, a machine woken
    // from sleep, even days later) therefore starts one run for the moment it missed, never one
    // per missed day. The day it belongs to is remembered, so a clock set back over the drawn
    // moment, or the tick after the pass re-arms, does not start it a second time.
    long long targetDay = dayNumber(now);
    long long target = targetDay * kDaySeconds + time_.hour * 3600LL + time_.minute * 60LL;
    if (target > current) {
        --targetDay;
        target -= kDaySeconds;
    }
    if (previous && *previous < target && lastRunDay_ != targetDay) {
        lastRunDay_ = targetDay;
        setTimerPeriod(0);
        emit due();
        return;
    }
    emit statusText(countdownText(secondsUntil(now, time_.hour, time_.minute)));
}

}  // namespace vesprey::ui
