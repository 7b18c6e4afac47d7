// The daily schedule: a time of day drawn at random inside the chosen period when "开启定时" is
// switched on, a once-a-second tick that shows the countdown in the status strip, and the start
// of a pass once the drawn moment has passed since the previous tick (at most one a calendar
// day). The clock is behind ScheduleClock so tests can set the time.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class QCheckBox;
class QComboBox;
class QTimer;

namespace vesprey::ui {

// Local calendar time, whole seconds.
struct LocalTime {
    int year = 1970;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

class ScheduleClock {
public:
    virtual ~ScheduleClock() = default;
    virtual LocalTime now() const = 0;
};

class SystemClock final : public ScheduleClock {
public:
    LocalTime now() const override;
};

struct HourRange {
    int low = 0;
    int high = 23;
};

struct ScheduleTime {
    int hour = 0;
    int minute = 0;
};

// The eight periods of "执行时间" in item order, "随机" first.
QStringList periodCaptions();
// Hours of a period, both ends included; any index outside 1-7 counts as "随机" (0-23).
HourRange periodHours(int index);

// The low 32 bits of the processor's time-stamp counter.
std::uint32_t readTimeStampCounter();
// One draw of the generator from a counter value: an integer in [low, high].
int drawInRange(std::uint32_t counter, int low, int high);
// Draws with a fresh counter reading.
int randomInRange(int low, int high);

// Whole seconds from `now` to the next hour:minute:00 (today, or tomorrow when it has passed).
long long secondsUntil(const LocalTime& now, int hour, int minute);
// "距离签到时间还有2小时3分4秒"; whole days are dropped.
QString countdownText(long long seconds);

class Scheduler : public QObject {
    Q_OBJECT
public:
    // `period` is 组合框_执行时间 and `enabled` is 选择框_开启定时; the timer 时钟1 is created
    // here, stopped, as a precise timer.
    Scheduler(QComboBox* period, QCheckBox* enabled, QObject* parent);

    void setClock(std::shared_ptr<const ScheduleClock> clock);
    // Where the days of started runs are kept beyond this process: `started` tells whether the
    // run of a day ("yyyy-MM-dd") has been started. With it, arming after today's drawn moment
    // starts today's run at once when neither this process nor the record has started it.
    void setRunRecord(std::function<bool(const QString& day)> started);
    // The day ("yyyy-MM-dd") whose run was started last by this scheduler.
    std::optional<QString> lastRunDay() const;
    // The run just due could not start (another program's pass holds the Sign.db): the day's run
    // is not taken, and it is due again `seconds` from now while the schedule stays armed (as the
    // run of the day it was due, past midnight too).
    void retryIn(int seconds);
    QTimer* timer() const { return timer_; }
    ScheduleTime scheduleTime() const { return time_; }
    // The scheduler's clock now.
    LocalTime now() const;
    // While "开启定时" is on, the seconds from now to the drawn time's next coming (today's, or
    // tomorrow's once today's has passed); nothing while it is off.
    std::optional<long long> secondsToNextRun() const;

    // 1000 starts the once-a-second tick, 0 stops it.
    void setTimerPeriod(int milliseconds);
    int timerPeriod() const;

public slots:
    // On every click of "开启定时": checked arms (draws the time, starts the tick, and takes the
    // clock as the previous tick, then catches up today's run when a run record says it is
    // missing); unchecked stops the tick and empties the status line.
    void armSchedule();
    // Once a second while armed: the start when hour:minute:00 of the drawn time lies in
    // (previous tick, this tick] and that day has had no run yet; otherwise the countdown.
    void onScheduleTick();

signals:
    void statusText(const QString& text);
    // The drawn minute has come: the timer is already stopped; the window starts the pass.
    void due();

private:
    QComboBox* period_;
    QCheckBox* enabled_;
    QTimer* timer_;
    std::shared_ptr<const ScheduleClock> clock_;
    ScheduleTime time_;
    // The clock at the previous tick (or at arming), as local seconds since 1970-01-01; empty
    // while disarmed.
    std::optional<long long> previousTick_;
    // The calendar day (days since 1970-01-01) whose run was started last; kept when the
    // schedule is switched off and on again, so a day has at most one scheduled run.
    std::optional<long long> lastRunDay_;
    std::function<bool(const QString& day)> runStarted_;
    // Local seconds at which a run that could not start is due again (retryIn).
    std::optional<long long> retryAt_;
    std::optional<long long> retryDay_;  // the day of the run that is tried again
};

}  // namespace vesprey::ui
