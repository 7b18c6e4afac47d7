// The daily schedule: the periods, the draw, the countdown, arming and disarming, the pass
// started by the first tick at or after the drawn moment, once a day, and the day's missing pass
// caught up when armed after its moment (with a clock the test sets).
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <set>

#include "store/history.h"
#include "store/pass_lock.h"
#include "ui_fixtures.h"

using namespace vesprey;
using namespace vesprey::uitest;

namespace {

// `seconds` after hour:minute:00 of the drawn time on the fixed day of secondsBefore.
ui::LocalTime after(const ui::ScheduleTime& drawn, int seconds) {
    return secondsBefore(drawn.hour, drawn.minute, -seconds);
}

// The evening before the fixed day: every drawn time of that day is still to come.
ui::LocalTime eveningBefore() {
    return secondsBefore(0, 0, 1);
}

// The first second of the fixed day: no drawn time of that day is behind it, so a window armed
// then has nothing to catch up.
ui::LocalTime dawn() {
    return secondsBefore(0, 0, 0);
}

// The last second of the fixed day: every drawn time of that day is behind it.
ui::LocalTime lastSecond() {
    return secondsBefore(23, 59, -59);
}

// The day of the last scheduled pass History.db beside `database` holds.
std::optional<Text> lastScheduledPass(const std::filesystem::path& database) {
    std::optional<Text> day;
    HistoryDatabase history;
    if (history.open(database).ok()) {
        history.readLastScheduledPass(day);
    }
    return day;
}

// A scheduler on controls of its own, with the test's clock. Nothing here runs the event loop,
// so the only ticks are the ones a case makes.
struct Schedule {
    QComboBox period;
    QCheckBox enabled;
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    ui::Scheduler scheduler{&period, &enabled, nullptr};
    QSignalSpy due{&scheduler, &ui::Scheduler::due};
    QSignalSpy status{&scheduler, &ui::Scheduler::statusText};

    Schedule() {
        period.addItems(ui::periodCaptions());
        scheduler.setClock(clock);
    }
    // Switches the schedule on with the clock at `at`; gives the drawn time.
    ui::ScheduleTime arm(const ui::LocalTime& at) {
        clock->set(at);
        enabled.setChecked(true);
        scheduler.armSchedule();
        return scheduler.scheduleTime();
    }
    void disarm() {
        enabled.setChecked(false);
        scheduler.armSchedule();
    }
    void tick(const ui::LocalTime& at) {
        clock->set(at);
        scheduler.onScheduleTick();
    }
    QString lastStatus() const {
        return status.isEmpty() ? QString() : status.last()[0].toString();
    }
};

}  // namespace

class SchedulerTest : public QObject {
    Q_OBJECT

private slots:
    void periodsAndTheirHours() {
        QCOMPARE(ui::periodCaptions(),
                 QStringList({"随机", "凌晨", "早晨", "上午", "中午", "下午", "傍晚", "晚上"}));
        const int ranges[8][2] = {{0, 23},  {0, 5},   {5, 8},   {8, 11},
                                  {11, 13}, {13, 16}, {16, 19}, {19, 23}};
        for (int i = 0; i < 8; ++i) {
            QCOMPARE(ui::periodHours(i).low, ranges[i][0]);
            QCOMPARE(ui::periodHours(i).high, ranges[i][1]);
        }
        QCOMPARE(ui::periodHours(-1).high, 23);
        QCOMPARE(ui::periodHours(8).low, 0);
    }

    void drawFollowsTheGenerator() {
        // t = 0: (2531011 >> 16) & 0x7FFF = 38; t = 1: (2745024 >> 16) = 41.
        QCOMPARE(ui::drawInRange(0, 0, 59), 38);
        QCOMPARE(ui::drawInRange(1, 0, 59), 41);
        QCOMPARE(ui::drawInRange(1, 8, 11), 8 + 41 % 4);
        // 32-bit wrap-around: 0xFFFFFFFF * 214013 + 2531011 = 2316998 (mod 2^32) -> 35.
        QCOMPARE(ui::drawInRange(0xFFFFFFFFu, 0, 23), 35 % 24);
        std::set<int> seen;
        for (std::uint32_t t = 0; t < 200000; t += 7) {
            const int hour = ui::drawInRange(t, 13, 16);
            QVERIFY(hour >= 13 && hour <= 16);
            seen.insert(hour);
        }
        QCOMPARE(seen.size(), std::size_t{4});
    }

    void secondsUntilTheDrawnTime() {
        QCOMPARE(ui::secondsUntil({2024, 5, 15, 10, 20, 0}, 11, 0), 2400LL);
        QCOMPARE(ui::secondsUntil({2024, 5, 15, 10, 20, 0}, 10, 20), 0LL);
        // Passed today: counts to tomorrow. One second late still truncates to 0 (toward zero).
        QCOMPARE(ui::secondsUntil({2024, 5, 15, 10, 20, 1}, 10, 20), 0LL);
        QCOMPARE(ui::secondsUntil({2024, 5, 15, 10, 20, 2}, 10, 20), 86398LL);
        QCOMPARE(ui::secondsUntil({2024, 5, 15, 10, 20, 0}, 8, 0), 86400LL - 8400);
        QCOMPARE(ui::secondsUntil({2024, 5, 31, 23, 59, 59}, 0, 0), 1LL);
    }

    void countdownText() {
        QCOMPARE(ui::countdownText(2 * 3600 + 3 * 60 + 4),
                 QStringLiteral("距离签到时间还有2小时3分4秒"));
        QCOMPARE(ui::countdownText(0), QStringLiteral("距离签到时间还有0小时0分0秒"));
        QCOMPARE(ui::countdownText(86399), QStringLiteral("距离签到时间还有23小时59分59秒"));
    }

    void armingDrawsInThePeriodAndTheTickCountsDown() {
        QTemporaryDir dir;
        BoxRecorder boxes;
        auto window = openWindow(makeDatabase(dir, {}));
        auto clock = std::make_shared<FakeClock>();
        window->scheduler().setClock(clock);
        auto* period = window->findChild<QComboBox*>(QStringLiteral("组合框_执行时间"));
        auto* enabled = window->findChild<QCheckBox*>(QStringLiteral("选择框_开启定时"));
        auto* timer = window->findChild<QTimer*>(QStringLiteral("时钟1"));
        QVERIFY(timer != nullptr && !timer->isActive());

        period->setCurrentIndex(3);  // 上午
        for (int i = 0; i < 20; ++i) {
            QTest::mouseClick(enabled, Qt::LeftButton);
            QVERIFY(enabled->isChecked());
            QVERIFY(timer->isActive());
            QCOMPARE(timer->interval(), 1000);
            const ui::ScheduleTime drawn = window->scheduler().scheduleTime();
            QVERIFY(drawn.hour >= 8 && drawn.hour <= 11);
            QVERIFY(drawn.minute >= 0 && drawn.minute <= 59);
            QTest::mouseClick(enabled, Qt::LeftButton);
            QVERIFY(!timer->isActive());
        }

        clock->set(dawn());
        QTest::mouseClick(enabled, Qt::LeftButton);
        const ui::ScheduleTime drawn = window->scheduler().scheduleTime();
        clock->set(secondsBefore(drawn.hour, drawn.minute, 2 * 3600 + 3 * 60 + 4));
        window->scheduler().onScheduleTick();
        auto* status = window->findChild<QLabel*>(QStringLiteral("zt1"));
        QCOMPARE(status->text(), QStringLiteral("距离签到时间还有2小时3分4秒"));
        // The real timer ticks too, with the same clock.
        QSignalSpy ticks(timer, &QTimer::timeout);
        status->clear();
        QVERIFY(ticks.wait(5000));
        QCOMPARE(status->text(), QStringLiteral("距离签到时间还有2小时3分4秒"));

        // Switching it off stops the countdown and empties the status line at once.
        QTest::mouseClick(enabled, Qt::LeftButton);
        QVERIFY(!timer->isActive());
        QCOMPARE(status->text(), QString());
        QVERIFY(boxes.boxes.isEmpty());
    }

    void changingThePeriodWaitsForTheNextClick() {
        QTemporaryDir dir;
        BoxRecorder boxes;
        auto window = openWindow(makeDatabase(dir, {}));
        auto* period = window->findChild<QComboBox*>(QStringLiteral("组合框_执行时间"));
        auto* enabled = window->findChild<QCheckBox*>(QStringLiteral("选择框_开启定时"));
        auto clock = std::make_shared<FakeClock>();
        clock->set(dawn());
        window->scheduler().setClock(clock);
        period->setCurrentIndex(1);  // 凌晨 0-5
        QTest::mouseClick(enabled, Qt::LeftButton);
        const ui::ScheduleTime drawn = window->scheduler().scheduleTime();
        QVERIFY(drawn.hour <= 5);
        period->setCurrentIndex(7);  // 晚上 19-23
        QCOMPARE(window->scheduler().scheduleTime().hour, drawn.hour);
        QCOMPARE(window->scheduler().scheduleTime().minute, drawn.minute);
    }

    void tickAtTheDrawnMinuteStartsThePassAndTheEndReArms() {
        FakeSite site;
        site.server().Get("/sign", [&](const httplib::Request&, httplib::Response& response) {
            ++site.requests;
            response.set_content("{\"msg\":\"ok\"}", "application/json");
        });
        site.start();
        QTemporaryDir dir;
        BoxRecorder boxes;
        auto window = openWindow(makeDatabase(
            dir, {{.name = "甲", .link = site.url("/sign"), .tying = "msg", .cookies = {"c=1"}}}));
        auto clock = std::make_shared<FakeClock>();
        window->scheduler().setClock(clock);
        auto* enabled = window->findChild<QCheckBox*>(QStringLiteral("选择框_开启定时"));
        auto* tabs = window->findChild<QTabWidget*>(QStringLiteral("选择夹1"));
        // 上午 8-11: the drawn moment is after the tick at dawn.
        window->findChild<QComboBox*>(QStringLiteral("组合框_执行时间"))->setCurrentIndex(3);
        clock->set(dawn());
        QTest::mouseClick(enabled, Qt::LeftButton);
        const ui::ScheduleTime drawn = window->scheduler().scheduleTime();

        tabs->setCurrentIndex(2);
        QSignalSpy finished(window.get(), &ui::MainWindow::passFinished);
        clock->set(secondsBefore(drawn.hour, drawn.minute, 0));
        window->scheduler().onScheduleTick();
        QVERIFY(window->passRunning());
        QCOMPARE(tabs->currentIndex(), 0);
        QCOMPARE(window->scheduler().timerPeriod(), 0);
        QVERIFY(finished.wait(30000));
        QCOMPARE(site.requests.load(), 1);
        QCOMPARE(window->cellText(0, 5), QStringLiteral("ok"));
        // The pass re-armed the schedule: same drawn time, ticking again.
        QTRY_COMPARE(window->scheduler().timerPeriod(), 1000);
        QCOMPARE(window->scheduler().scheduleTime().hour, drawn.hour);
        QCOMPARE(window->scheduler().scheduleTime().minute, drawn.minute);
        // The ticks after the re-arm count to tomorrow; the day's run is not started again.
        clock->set(after(drawn, 5));
        window->scheduler().onScheduleTick();
        QVERIFY(!window->passRunning());
        QCOMPARE(window->statusText(), QStringLiteral("距离签到时间还有23小时59分55秒"));
        QCOMPARE(site.requests.load(), 1);
        QVERIFY(boxes.boxes.isEmpty());
    }

    void scheduledPassDoesNotReloadAndKeepsMergedCookies() {
        FakeSite site;
        std::mutex mutex;
        std::vector<std::string> cookies;
        site.server().Get("/sign",
                          [&](const httplib::Request& request, httplib::Response& response) {
                              {
                                  std::lock_guard lock(mutex);
                                  cookies.push_back(request.get_header_value("Cookie"));
                              }
                              response.set_header("Set-Cookie", "session=new; Path=/");
                              response.set_content("{\"msg\":\"ok\"}", "application/json");
                          });
        site.start();
        QTemporaryDir dir;
        BoxRecorder boxes;
        auto window = openWindow(makeDatabase(
            dir,
            {{.name = "甲", .link = site.url("/sign"), .tying = "msg", .cookies = {"uid=7"}}}));
        auto clock = std::make_shared<FakeClock>();
        window->scheduler().setClock(clock);
        QSignalSpy finished(window.get(), &ui::MainWindow::passFinished);

        QTest::mouseClick(window->findChild<QCheckBox*>(QStringLiteral("选择框_开启定时")),
                          Qt::LeftButton);
        const ui::ScheduleTime drawn = window->scheduler().scheduleTime();
        for (int day = 0; day < 2; ++day) {
            clock->set(after(drawn, day * 86400));
            window->scheduler().onScheduleTick();
            QVERIFY(finished.wait(30000));
        }
        std::lock_guard lock(mutex);
        QCOMPARE(cookies.size(), std::size_t{2});
        QCOMPARE(cookies[0], std::string("uid=7"));
        QVERIFY2(cookies[1].find("session=new") != std::string::npos, cookies[1].c_str());
    }

    void theTickIsAPreciseTimer() {
        Schedule schedule;
        QCOMPARE(schedule.scheduler.timer()->timerType(), Qt::PreciseTimer);
        schedule.arm(eveningBefore());
        QCOMPARE(schedule.scheduler.timer()->timerType(), Qt::PreciseTimer);
    }

    void aTickThatSkipsTheDrawnSecondStillStartsTheRun() {
        Schedule schedule;
        const ui::ScheduleTime drawn = schedule.arm(eveningBefore());
        schedule.tick(after(drawn, -1));
        QCOMPARE(schedule.due.count(), 0);
        QCOMPARE(schedule.lastStatus(), QStringLiteral("距离签到时间还有0小时0分1秒"));

        schedule.tick(after(drawn, 1));
        QCOMPARE(schedule.due.count(), 1);
        QCOMPARE(schedule.scheduler.timerPeriod(), 0);
    }

    void aTickLateByMinutesStartsOneRun() {
        Schedule schedule;
        const ui::ScheduleTime drawn = schedule.arm(eveningBefore());
        // The first tick after arming, minutes past the drawn time.
        schedule.tick(after(drawn, 7 * 60 + 3));
        QCOMPARE(schedule.due.count(), 1);

        // The end of the pass re-arms; the rest of the day counts to tomorrow.
        schedule.scheduler.setTimerPeriod(1000);
        schedule.tick(after(drawn, 7 * 60 + 4));
        schedule.tick(after(drawn, 3 * 3600));
        QCOMPARE(schedule.due.count(), 1);
        QCOMPARE(schedule.lastStatus(), QStringLiteral("距离签到时间还有21小时0分0秒"));
        QCOMPARE(schedule.scheduler.timerPeriod(), 1000);
    }

    void aClockSetBackOverTheDrawnTimeDoesNotRunTheDayTwice() {
        Schedule schedule;
        const ui::ScheduleTime drawn = schedule.arm(eveningBefore());
        schedule.tick(after(drawn, 0));
        QCOMPARE(schedule.due.count(), 1);
        schedule.scheduler.setTimerPeriod(1000);

        schedule.tick(after(drawn, -30 * 60));
        schedule.tick(after(drawn, 1));
        QCOMPARE(schedule.due.count(), 1);
        // The next day runs as usual.
        schedule.tick(after(drawn, 86400 - 1));
        schedule.tick(after(drawn, 86400));
        QCOMPARE(schedule.due.count(), 2);
    }

    void armingAfterTodaysDrawnTimeWaitsForTomorrow() {
        Schedule schedule;
        schedule.period.setCurrentIndex(3);  // 上午 8-11: the draw is before noon
        const ui::ScheduleTime drawn = schedule.arm(secondsBefore(12, 0, 0));
        schedule.tick(secondsBefore(12, 0, -1));
        QCOMPARE(schedule.due.count(), 0);
        const int drawnSecond = drawn.hour * 3600 + drawn.minute * 60;
        QCOMPARE(schedule.lastStatus(), ui::countdownText(86400 - (12 * 3600 + 1 - drawnSecond)));

        schedule.tick(after(drawn, 86400 - 1));
        QCOMPARE(schedule.due.count(), 0);
        schedule.tick(after(drawn, 86400));
        QCOMPARE(schedule.due.count(), 1);
    }

    void aMachineWokenBeforeTheDrawnTimeRunsTheMissedDayAndThenItsOwn() {
        Schedule schedule;
        const ui::ScheduleTime drawn = schedule.arm(eveningBefore());
        schedule.tick(after(drawn, -3600));
        schedule.tick(after(drawn, 86400 - 3600));
        QCOMPARE(schedule.due.count(), 1);
        schedule.scheduler.setTimerPeriod(1000);
        schedule.tick(after(drawn, 86400 - 1));
        QCOMPARE(schedule.due.count(), 1);
        schedule.tick(after(drawn, 86400));
        QCOMPARE(schedule.due.count(), 2);
    }

    void aMachineAsleepPastTwoDrawnTimesRunsOnceOnWaking() {
        Schedule schedule;
        const ui::ScheduleTime drawn = schedule.arm(eveningBefore());
        schedule.tick(after(drawn, -3600));
        // Asleep over the drawn time of this day and of the next one.
        schedule.tick(after(drawn, 86400 + 2 * 3600));
        QCOMPARE(schedule.due.count(), 1);
        schedule.scheduler.setTimerPeriod(1000);
        schedule.tick(after(drawn, 86400 + 2 * 3600 + 1));
        QCOMPARE(schedule.due.count(), 1);
    }

    // With a run record, arming after today's drawn moment starts today's run at once unless
    // the record or this scheduler has started it; arming before it waits for the tick.
    void armingAfterTheDrawnTimeCatchesUpTodaysMissingRun() {
        Schedule schedule;
        QStringList asked;
        schedule.scheduler.setRunRecord([&asked](const QString& day) {
            asked << day;
            return day == QStringLiteral("2024-05-14");
        });
        schedule.arm(secondsBefore(0, 0, 1));  // 2024-05-14, already run by the record
        QCOMPARE(schedule.due.count(), 0);
        QCOMPARE(schedule.scheduler.timerPeriod(), 1000);
        schedule.arm(lastSecond());
        QCOMPARE(schedule.due.count(), 1);
        QCOMPARE(schedule.scheduler.timerPeriod(), 0);
        QCOMPARE(schedule.scheduler.lastRunDay(), std::optional<QString>("2024-05-15"));
        schedule.arm(lastSecond());  // started here already: the record is not asked
        QCOMPARE(schedule.due.count(), 1);
        QCOMPARE(asked, QStringList({"2024-05-14", "2024-05-15"}));
        schedule.arm(secondsBefore(0, 0, -86400));  // dawn of the 16th: nothing behind it
        QCOMPARE(schedule.due.count(), 1);
        QCOMPARE(asked.size(), 2);
    }

    // Switched on after the day's drawn moment, with no scheduled pass of that day in
    // History.db: the pass starts at once and its day is kept, so that neither switching on
    // again nor a later window on the same Sign.db starts it a second time.
    void windowArmedLateCatchesUpOnceADay() {
        FakeSite site;
        site.server().Get("/sign", [&](const httplib::Request&, httplib::Response& response) {
            ++site.requests;
            response.set_content("{\"msg\":\"ok\"}", "application/json");
        });
        site.start();
        QTemporaryDir dir;
        BoxRecorder boxes;
        const auto db = makeDatabase(
            dir, {{.name = "甲", .link = site.url("/sign"), .tying = "msg", .cookies = {"c=1"}}});
        auto clock = std::make_shared<FakeClock>();
        clock->set(lastSecond());
        auto switchOn = [&clock](ui::MainWindow& window) {
            window.scheduler().setClock(clock);
            auto* enabled = window.findChild<QCheckBox*>(QStringLiteral("选择框_开启定时"));
            if (enabled->isChecked()) {
                QTest::mouseClick(enabled, Qt::LeftButton);
            }
            QTest::mouseClick(enabled, Qt::LeftButton);
        };
        auto window = openWindow(db);
        QSignalSpy finished(window.get(), &ui::MainWindow::passFinished);
        switchOn(*window);
        QVERIFY(window->passRunning());
        QVERIFY(finished.wait(30000));
        QCOMPARE(site.requests.load(), 1);
        QCOMPARE(lastScheduledPass(db), std::optional<Text>("2024-05-15"));

        switchOn(*window);
        QVERIFY(!window->passRunning());
        window.reset();
        auto later = openWindow(db, clock);
        switchOn(*later);
        QVERIFY(!later->passRunning());
        QCOMPARE(site.requests.load(), 1);
        QVERIFY(boxes.boxes.isEmpty());
    }

    // A scheduled pass that finds vesprey-cli signing on the same Sign.db does not count as the
    // day's run: it is tried again a minute later, as that day's run, past midnight too.
    void scheduledPassRefusedByAnotherPassIsTriedAgain() {
        FakeSite site;
        site.server().Get("/sign", [&](const httplib::Request&, httplib::Response& response) {
            ++site.requests;
            response.set_content("{\"msg\":\"ok\"}", "application/json");
        });
        site.start();
        QTemporaryDir dir;
        BoxRecorder boxes;
        const auto db = makeDatabase(
            dir, {{.name = "甲", .link = site.url("/sign"), .tying = "msg", .cookies = {"c=1"}}});
        auto clock = std::make_shared<FakeClock>();
        clock->set(lastSecond());
        auto window = openWindow(db, clock);
        {
            PassLock cli;
            QCOMPARE(cli.take(db), PassLock::Outcome::Taken);
            QTest::mouseClick(window->findChild<QCheckBox*>(QStringLiteral("选择框_开启定时")),
                              Qt::LeftButton);
            QVERIFY(!window->passRunning());
            QCOMPARE(lastScheduledPass(db), std::optional<Text>());
            clock->set(secondsBefore(23, 59, -60));  // 30 seconds on: not yet
            window->scheduler().onScheduleTick();
            QVERIFY(!window->passRunning());
        }
        QSignalSpy finished(window.get(), &ui::MainWindow::passFinished);
        clock->set(secondsBefore(23, 59, -120));  // 00:01:00 of the next day
        window->scheduler().onScheduleTick();
        QVERIFY(window->passRunning());
        QVERIFY(finished.wait(30000));
        QCOMPARE(site.requests.load(), 1);
        QCOMPARE(lastScheduledPass(db), std::optional<Text>("2024-05-15"));
        QVERIFY(boxes.boxes.isEmpty());
    }

    // 开启定时, its period, 同步通知 and the checked channel outlive the window: one opened
    // later on the same Sign.db has them as they were left, armed with a time drawn anew in the
    // period, catching up the day's pass when its moment is behind; switched off stays off.
    void theScheduleAndThePushSwitchesOutliveTheWindow() {
        FakeSite site;
        site.server().Get("/sign", [&](const httplib::Request&, httplib::Response& response) {
            ++site.requests;
            response.set_content("{\"msg\":\"ok\"}", "application/json");
        });
        site.start();
        PushService push;
        QTemporaryDir dir;
        BoxRecorder boxes;
        const auto db = makeDatabase(
            dir, {{.name = "甲", .link = site.url("/sign"), .tying = "msg", .cookies = {"c=1"}}},
            {.bark = "bark-key", .serverChan = "sc-key"});
        auto clock = std::make_shared<FakeClock>();
        clock->set(dawn());
        auto check = [](ui::MainWindow& window, const char* name) {
            return window.findChild<QCheckBox*>(QString::fromUtf8(name));
        };
        auto window = openWindow(db, clock);
        window->findChild<QComboBox*>(QStringLiteral("组合框_执行时间"))->setCurrentIndex(3);
        QTest::mouseClick(window->findChild<QRadioButton*>(QStringLiteral("单选框_Server酱")),
                          Qt::LeftButton);
        QTest::mouseClick(check(*window, "选择框_同步通知"), Qt::LeftButton);
        QTest::mouseClick(check(*window, "选择框_开启定时"), Qt::LeftButton);
        window.reset();

        struct Start {
            ui::LocalTime at;
            bool passStarts;
        };
        // Before the period (上午 8-11) the window waits for the tick; after it, the day's pass
        // starts at once, and a window opened again that day does not start it a second time.
        for (const Start& start :
             {Start{dawn(), false}, Start{lastSecond(), true}, Start{lastSecond(), false}}) {
            clock->set(start.at);
            auto again = openWindow(db, clock);
            QSignalSpy finished(again.get(), &ui::MainWindow::passFinished);
            QCOMPARE(
                again->findChild<QComboBox*>(QStringLiteral("组合框_执行时间"))->currentIndex(), 3);
            QVERIFY(check(*again, "选择框_开启定时")->isChecked());
            QVERIFY(again->scheduleChecked());
            const ui::ScheduleTime drawn = again->scheduler().scheduleTime();
            QVERIFY(drawn.hour >= 8 && drawn.hour <= 11);
            QVERIFY(check(*again, "选择框_同步通知")->isChecked());
            QVERIFY(again->notifyChecked());
            QCOMPARE(again->pushChannel(), 2);
            QCOMPARE(again->findChild<QLineEdit*>(QStringLiteral("编辑框_推送标识"))->text(),
                     QStringLiteral("sc-key"));
            QCOMPARE(again->passRunning(), start.passStarts);
            if (start.passStarts) {
                QVERIFY(finished.wait(30000));
            } else {
                QCOMPARE(again->scheduler().timerPeriod(), 1000);
            }
        }
        QCOMPARE(site.requests.load(), 1);
        // The caught-up pass pushed to the kept channel.
        const QStringList pushed = push.received();
        QVERIFY(!pushed.isEmpty());
        QVERIFY2(pushed.first().contains(QStringLiteral("sc-key")), qPrintable(pushed.first()));

        auto last = openWindow(db, clock);
        QTest::mouseClick(check(*last, "选择框_开启定时"), Qt::LeftButton);
        last.reset();
        auto off = openWindow(db, clock);
        QVERIFY(!check(*off, "选择框_开启定时")->isChecked());
        QCOMPARE(off->scheduler().timerPeriod(), 0);
        QVERIFY(boxes.boxes.isEmpty());
    }

    void timeSwitchedOffDoesNotCountAfterSwitchingOnAgain() {
        Schedule schedule;
        schedule.arm(eveningBefore());
        schedule.disarm();
        QCOMPARE(schedule.scheduler.timerPeriod(), 0);
        QCOMPARE(schedule.lastStatus(), QString());

        // Every drawn time of the day is behind this moment, and was behind the tick only
        // counting from when the schedule was first switched on.
        schedule.arm(secondsBefore(23, 59, -58));
        schedule.tick(secondsBefore(23, 59, -59));
        QCOMPARE(schedule.due.count(), 0);
        QCOMPARE(schedule.scheduler.timerPeriod(), 1000);
    }
};

QTEST_MAIN(SchedulerTest)
#include "scheduler_test.moc"
