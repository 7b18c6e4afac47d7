// "签到选项…" on the push page: each option set in the dialog, kept in Sign.db's Setting, shown
// again when the dialog opens, and honoured by the window's passes against a site and a push
// service on 127.0.0.1.
#include <QApplication>
#include <QCheckBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <functional>

#include "store/site_database.h"
#include "text/text.h"
#include "ui_fixtures.h"

using namespace vesprey;
using namespace vesprey::uitest;

namespace {

// The Setting row as Sign.db holds it now.
QString settingRow(const std::filesystem::path& path, std::string_view name) {
    SqlDatabase db;
    if (!openSiteDatabase(db, path)) {
        return QStringLiteral("(no file)");
    }
    const std::optional<Text> value = readSetting(db, name);
    return value ? QString::fromStdString(ansiToUtf8(*value)) : QStringLiteral("(none)");
}

// Opens "签到选项" from the push page and hands the dialog to `use` while it is shown; `use`
// closes it with one of its buttons.
void withPassOptions(ui::MainWindow& window, const std::function<void(QWidget&)>& use) {
    bool shown = false;
    QTimer::singleShot(0, &window, [&] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->objectName() == QStringLiteral("窗口_签到选项") && widget->isVisible()) {
                shown = true;
                use(*widget);
            }
        }
    });
    window.findChild<QPushButton*>(QStringLiteral("超级按钮_签到选项"))->click();
    QVERIFY(shown);
}

void click(QWidget& dialog, const QString& name) {
    dialog.findChild<QPushButton*>(name)->click();
}

}  // namespace

class PassOptionsStreakTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        site_ = std::make_unique<FakeSite>();
        site_->server().Get("/fail", [](const httplib::Request&, httplib::Response& response) {
            response.status = 500;
            response.set_content("{}", "application/json");
        });
        site_->start();
        dir_ = std::make_unique<QTemporaryDir>();
        db_ = makeDatabase(
            *dir_,
            {{.name = "甲", .link = site_->url("/fail"), .tying = "msg", .cookies = {"a=1"}}},
            {.bark = "bark-1"});
    }
    void cleanup() {
        site_.reset();
        dir_.reset();
    }

    // "连续失败 N 次才推送": kept as notify_failure_streak, shown again, and with "仅失败时推送"
    // the first failure stays quiet while the second in a row pushes and says why.
    void failureStreakIsKeptAndHoldsThePushBackUntilTheRun() {
        PushService push;
        BoxRecorder boxes;
        auto window = openWindow(db_);
        QCOMPARE(settingRow(db_, "notify_failure_streak"), QStringLiteral("(none)"));
        withPassOptions(*window, [](QWidget& dialog) {
            auto* streak = dialog.findChild<QSpinBox*>(QStringLiteral("数字框_连续失败推送"));
            QCOMPARE(streak->value(), 0);
            QCOMPARE(streak->text(), QStringLiteral("关闭"));
            QVERIFY(streak->toolTip().contains(QStringLiteral("仅失败时推送")));
            streak->setValue(2);
            click(dialog, QStringLiteral("超级按钮_确定"));
        });
        QCOMPARE(settingRow(db_, "notify_failure_streak"), QStringLiteral("2"));
        withPassOptions(*window, [](QWidget& dialog) {
            QCOMPARE(dialog.findChild<QSpinBox*>(QStringLiteral("数字框_连续失败推送"))->value(),
                     2);
            click(dialog, QStringLiteral("超级按钮_取消"));
        });

        check(*window, QStringLiteral("选择框_同步通知"));
        check(*window, QStringLiteral("选择框_仅失败时推送"));
        QVERIFY(runPass(*window));
        QCOMPARE(push.received().size(), 0);
        QVERIFY(runPass(*window));
        QCOMPARE(push.received().size(), 1);
        QVERIFY2(
            push.received()[0].contains(QStringLiteral("/推送原因：甲连续 2 次失效或失败\r\n")),
            qPrintable(push.received()[0]));
        QVERIFY(boxes.boxes.isEmpty());
    }

    // Without "仅失败时推送" every pass pushes, the streak kept or not.
    void failureStreakLeavesAPushOfEveryPassAlone() {
        PushService push;
        BoxRecorder boxes;
        auto window = openWindow(db_);
        withPassOptions(*window, [](QWidget& dialog) {
            dialog.findChild<QSpinBox*>(QStringLiteral("数字框_连续失败推送"))->setValue(3);
            click(dialog, QStringLiteral("超级按钮_确定"));
        });
        check(*window, QStringLiteral("选择框_同步通知"));
        QVERIFY(runPass(*window));
        QCOMPARE(push.received().size(), 1);
        QVERIFY(!push.received()[0].contains(QStringLiteral("推送原因")));
        QVERIFY(boxes.boxes.isEmpty());
    }

private:
    static void check(ui::MainWindow& window, const QString& name) {
        auto* box = window.findChild<QCheckBox*>(name);
        box->click();
        QVERIFY(box->isChecked());
    }

    // "开始签到"; true once the pass has finished.
    [[nodiscard]] static bool runPass(ui::MainWindow& window) {
        QSignalSpy finished(&window, &ui::MainWindow::passFinished);
        window.startPassFromMenu();
        return finished.wait(30000);
    }

    std::unique_ptr<FakeSite> site_;
    std::unique_ptr<QTemporaryDir> dir_;
    std::filesystem::path db_;
};

QTEST_MAIN(PassOptionsStreakTest)
#include "pass_options_streak_test.moc"
