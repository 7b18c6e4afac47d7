// The program on a Linux desktop: the tray icon's menu and what its commands do, the window hidden
// to the tray when minimised, the tray icon itself where the desktop has a tray, "开机启动" and
// the XDG autostart entry it writes and removes, and Qt's own translations for the message
// boxes' standard buttons.
#include <QCheckBox>
#include <QEventLoop>
#include <QFile>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTranslator>

#include "editor_test_support.h"
#include "store/pass_lock.h"
#include "ui/application.h"
#include "ui/desktop/autostart.h"
#include "ui/desktop/tray.h"

using namespace vesprey;
using namespace vesprey::uitest;

namespace {

QStringList captions(const QMenu& menu) {
    QStringList shown;
    for (const QAction* action : menu.actions()) {
        shown << (action->isSeparator() ? QStringLiteral("—") : action->text());
    }
    return shown;
}

QAction* action(const QMenu& menu, const char* utf8Name) {
    auto* found = menu.findChild<QAction*>(QString::fromUtf8(utf8Name));
    if (found == nullptr) {
        qFatal("no action %s", utf8Name);
    }
    return found;
}

QString fileText(const std::filesystem::path& path) {
    QFile file(QString::fromStdString(path.string()));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The standard buttons' captions of a message box made now.
QStringList standardButtons() {
    QMessageBox box(QMessageBox::Question, QStringLiteral("t"), QStringLiteral("x"),
                    QMessageBox::Ok | QMessageBox::Cancel);
    return {box.button(QMessageBox::Ok)->text(), box.button(QMessageBox::Cancel)->text()};
}

// Sets an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const QByteArray& value)
        : name_(name), had_(qEnvironmentVariableIsSet(name)), before_(qgetenv(name)) {
        qputenv(name, value);
    }
    ~ScopedEnv() {
        if (had_) {
            qputenv(name_, before_);
        } else {
            qunsetenv(name_);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    bool had_;
    QByteArray before_;
};

}  // namespace

class DesktopTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        site_ = std::make_unique<RecordingSite>(
            [](const httplib::Request&) { return gbk("{\"msg\":\"签到成功\"}"); });
        dir_ = std::make_unique<QTemporaryDir>();
        config_ = std::make_unique<ScopedEnv>("XDG_CONFIG_HOME", dir_->filePath("config").toUtf8());
        db_ = makeDatabase(
            *dir_,
            {{.name = "甲站", .link = site_->url("/sign"), .tying = "msg", .cookies = {"a=1"}}});
        boxes_ = std::make_unique<BoxRecorder>();
        window_ = openWindow(db_);
    }

    void cleanup() {
        window_.reset();
        boxes_.reset();
        config_.reset();
        site_.reset();
        dir_.reset();
    }

    void trayMenuStartsAPassAndIsOffWhileItRuns() {
        const auto menu = ui::buildTrayMenu(*window_);
        QCOMPARE(
            captions(*menu),
            QStringList({QStringLiteral("开始签到"), QStringLiteral("停止签到"),
                         QStringLiteral("显示窗口"), QStringLiteral("—"), QStringLiteral("退出")}));
        QAction* signIn = action(*menu, "托盘_开始签到");
        QAction* stop = action(*menu, "托盘_停止签到");
        QVERIFY(!stop->isEnabled());
        QSignalSpy finished(window_.get(), &ui::MainWindow::passFinished);
        signIn->trigger();
        QVERIFY(window_->passRunning());
        QVERIFY(!signIn->isEnabled());
        QVERIFY(stop->isEnabled());
        QTRY_COMPARE(finished.size(), 1);
        QVERIFY(signIn->isEnabled());
        QVERIFY(!stop->isEnabled());
        QCOMPARE(site_->sent().size(), std::size_t{1});
        QCOMPARE(window_->cellText(0, 5), QStringLiteral("签到成功"));
        QVERIFY(window_->passCountsText().startsWith(QStringLiteral("成功 1")));
    }

    // The tooltip tells the next scheduled pass and, once one has finished, its counts; the
    // notice at a pass's end brings the hidden window back when clicked.
    void trayToolTipAndNotice() {
        auto clock = std::make_shared<FakeClock>();
        clock->set(secondsBefore(0, 0, 0));
        window_->scheduler().setClock(clock);
        ui::TrayIcon tray(*window_);
        QCOMPARE(tray.icon().toolTip(), QStringLiteral("Vesprey\n定时签到没有开启"));

        QTest::mouseClick(child<QAbstractButton>(window_.get(), "选择框_开启定时"), Qt::LeftButton);
        window_->scheduler().onScheduleTick();
        const ui::ScheduleTime drawn = window_->scheduler().scheduleTime();
        const QString next = QStringLiteral("下次签到：2024-05-15 %1:%2")
                                 .arg(drawn.hour, 2, 10, QLatin1Char('0'))
                                 .arg(drawn.minute, 2, 10, QLatin1Char('0'));
        QCOMPARE(tray.icon().toolTip(), QStringLiteral("Vesprey\n") + next);

        QSignalSpy finished(window_.get(), &ui::MainWindow::passFinished);
        window_->startPassFromMenu();
        QVERIFY(finished.wait(30000));
        QCOMPARE(tray.icon().toolTip(), QStringLiteral("Vesprey\n") + next +
                                            QStringLiteral("\n上次签到：") +
                                            window_->passCountsText());
        QVERIFY(window_->passCountsText().startsWith(QStringLiteral("成功 1")));

        window_->hide();
        emit tray.icon().messageClicked();
        QVERIFY(window_->isVisible());
    }

    // Before its first pass a new window's tooltip tells the last pass History.db holds.
    void trayToolTipTellsTheLastPassAfterARestart() {
        QSignalSpy finished(window_.get(), &ui::MainWindow::passFinished);
        window_->startPassFromMenu();
        QVERIFY(finished.wait(30000));
        const QString counts = window_->passCountsText();
        window_.reset();
        window_ = openWindow(db_);
        ui::TrayIcon tray(*window_);
        const QStringList lines = tray.icon().toolTip().split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 3);
        QVERIFY2(QRegularExpression(QStringLiteral("^上次签到（\\d\\d-\\d\\d \\d\\d:\\d\\d）："))
                     .match(lines[2])
                     .hasMatch(),
                 qPrintable(lines[2]));
        QVERIFY2(lines[2].endsWith(counts), qPrintable(lines[2]));
    }

    // With "关闭时最小化到托盘" on and a tray icon, the close button hides the window and the
    // program goes on; the choice is kept for the next window on the same Sign.db.
    void closingHidesToTheTrayWhenAskedAndTheChoiceIsKept() {
        auto* option = child<QCheckBox>(window_.get(), "选择框_关闭时最小化到托盘");
        // Without a tray there is nothing to come back from: the option waits for one.
        QCOMPARE(option->isEnabled(), window_->tray() != nullptr);
        window_->useTray(std::make_unique<ui::TrayIcon>(*window_));
        QVERIFY(option->isEnabled());
        QVERIFY(!option->isChecked());
        QVERIFY(!window_->closeHidesToTray());
        option->click();
        QVERIFY(window_->closeHidesToTray());

        // Ending the program would end this loop with 0 before the test's own 7.
        QEventLoop loop;
        bool closed = true;
        bool hiddenByButton = false;
        QTimer::singleShot(0, window_.get(), [&] {
            QTest::mouseClick(child<QAbstractButton>(window_.get(), "图形按钮_关闭"),
                              Qt::LeftButton);
            hiddenByButton = window_->isHidden();
            window_->show();
            closed = window_->close();  // the window manager's close
            QTimer::singleShot(0, &loop, [&loop] { loop.exit(7); });
        });
        QCOMPARE(loop.exec(), 7);
        QVERIFY(hiddenByButton);
        QVERIFY(!closed);
        QVERIFY(window_->isHidden());

        window_.reset();
        auto again = openWindow(db_);
        QVERIFY(child<QCheckBox>(again.get(), "选择框_关闭时最小化到托盘")->isChecked());
        QVERIFY(boxes_->boxes.isEmpty());
    }

    // While another pass holds Sign.db (vesprey-cli sign), the window starts none of its own and
    // says why; once that one is over, it signs as usual.
    void aPassOfTheCommandLineKeepsTheWindowsOwnFromStarting() {
        {
            PassLock running;
            QCOMPARE(running.take(db_), PassLock::Outcome::Taken);
            window_->startPassFromMenu();
            QVERIFY(!window_->passRunning());
            QVERIFY2(window_->statusText().startsWith(
                         QStringLiteral("另一个签到（vesprey-cli sign）正在这个 Sign.db 上进行")),
                     qPrintable(window_->statusText()));
        }
        QSignalSpy finished(window_.get(), &ui::MainWindow::passFinished);
        window_->startPassFromMenu();
        QVERIFY(window_->passRunning());
        QVERIFY(finished.wait(30000));
        QCOMPARE(site_->sent().size(), std::size_t{1});
    }

    // "停止签到" asks the running pass to stop, as the list's menu does.
    void trayMenuStopsThePass() {
        const auto menu = ui::buildTrayMenu(*window_);
        QSignalSpy finished(window_.get(), &ui::MainWindow::passFinished);
        action(*menu, "托盘_开始签到")->trigger();
        action(*menu, "托盘_停止签到")->trigger();
        QCOMPARE(window_->statusText(), QStringLiteral("正在停止签到……"));
        QTRY_COMPARE(finished.size(), 1);
    }

    // After every case that runs an event loop: the program's end it makes stays with the
    // thread, and later loops would return at once.
    void trayMenuShowsTheWindowAndQuits() {
        const auto menu = ui::buildTrayMenu(*window_);
        window_->hide();
        action(*menu, "托盘_显示窗口")->trigger();
        QVERIFY(window_->isVisible());
        QVERIFY(!window_->isMinimized());

        // "退出" ends the event loop as the close button does.
        QEventLoop loop;
        QTimer::singleShot(0, menu.get(), [&] { action(*menu, "托盘_退出")->trigger(); });
        QCOMPARE(loop.exec(), 0);
    }

    void minimisingHidesTheWindowToTheTray() {
        new ui::MinimizeToTray(*window_);
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
        QTest::mouseClick(child<QAbstractButton>(window_.get(), "最小化"), Qt::LeftButton);
        QTRY_VERIFY(window_->isHidden());

        ui::showFromTray(*window_);
        QVERIFY(window_->isVisible());
        QVERIFY(!window_->isMinimized());
    }

    void theTrayIconWhereTheDesktopHasATray() {
        if (!QSystemTrayIcon::isSystemTrayAvailable()) {
            QSKIP("this desktop has no system tray");
        }
        ui::TrayIcon* tray = window_->tray();
        QVERIFY(tray != nullptr);
        QVERIFY(tray->icon().isVisible());
        QCOMPARE(tray->icon().contextMenu(), &tray->menu());
        QCOMPARE(captions(tray->menu()).front(), QStringLiteral("开始签到"));
    }

    void autostartSwitchWritesAndRemovesTheEntry() {
        const std::filesystem::path entry = ui::autostartEntryPath();
        QCOMPARE(QString::fromStdString(entry.string()),
                 dir_->filePath(QStringLiteral("config/autostart/vesprey.desktop")));
        auto* box = child<QCheckBox>(window_.get(), "选择框_开机启动");
        QVERIFY(!box->isChecked());

        box->click();
        QVERIFY(std::filesystem::exists(entry));
        const QString text = fileText(entry);
        QVERIFY2(text.startsWith(QStringLiteral("[Desktop Entry]\nType=Application\n")),
                 qPrintable(text));
        // The window's Sign.db goes with it, so that login opens the same file.
        QVERIFY2(text.contains(QStringLiteral("\nExec=") + QCoreApplication::applicationFilePath() +
                               QStringLiteral(" --db ") + QString::fromStdString(db_.string()) +
                               QStringLiteral("\n")),
                 qPrintable(text));
        const QString validate =
            QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
        if (!validate.isEmpty()) {
            QProcess check;
            check.start(validate, {QString::fromStdString(entry.string())});
            QVERIFY(check.waitForFinished());
            QVERIFY2(check.exitCode() == 0, check.readAllStandardOutput().constData());
        }

        // A window opened now finds it on.
        auto again = openWindow(db_);
        QVERIFY(child<QCheckBox>(again.get(), "选择框_开机启动")->isChecked());

        box->click();
        QVERIFY(!std::filesystem::exists(entry));
        QVERIFY(boxes_->boxes.isEmpty());
    }

    void autostartEntryQuotesWhatTheLauncherWouldSplit() {
        auto exec = [](const std::string& program, const std::vector<std::string>& arguments = {}) {
            const QString text = QString::fromStdString(ui::autostartEntry(program, arguments));
            const qsizetype at = text.indexOf(QStringLiteral("\nExec=")) + 6;
            return text.mid(at, text.indexOf(QLatin1Char('\n'), at) - at);
        };
        QCOMPARE(exec("/usr/bin/vesprey"), QStringLiteral("/usr/bin/vesprey"));
        QCOMPARE(exec("/home/me/my apps/vesprey"), QStringLiteral("\"/home/me/my apps/vesprey\""));
        // Inside the quotes " ` $ \ take a backslash, and every backslash of the value is doubled.
        QCOMPARE(exec("/opt/a$b\"c/vesprey"), QStringLiteral("\"/opt/a\\\\$b\\\\\"c/vesprey\""));
        QCOMPARE(exec("/opt/100%/vesprey"), QStringLiteral("/opt/100%%/vesprey"));
        // The options each quoted on their own.
        QCOMPARE(exec("/usr/bin/vesprey", {"--db", "/home/me/my files/Sign.db"}),
                 QStringLiteral("/usr/bin/vesprey --db \"/home/me/my files/Sign.db\""));
        QCOMPARE(exec("/usr/bin/vesprey", ui::databaseArguments("/srv/a$/100%/Sign.db")),
                 QStringLiteral("/usr/bin/vesprey --db \"/srv/a\\\\$/100%%/Sign.db\""));
    }

    void autostartThatCannotBeWrittenIsSaidAndTheBoxStaysOff() {
        // The configuration "folder" is a file: no autostart folder can be made in it.
        QFile blocker(dir_->filePath(QStringLiteral("config")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        auto* box = child<QCheckBox>(window_.get(), "选择框_开机启动");
        box->click();
        QVERIFY(!box->isChecked());
        QCOMPARE(boxes_->boxes.size(), 1);
        QVERIFY2(boxes_->boxes[0].text.startsWith(QStringLiteral("开机启动设置失败！\r\n")),
                 qPrintable(boxes_->boxes[0].text));
        QCOMPARE(boxes_->boxes[0].caption, QStringLiteral("开机启动"));
    }

    void qtsOwnWordsSpeakChinese() {
        const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
        if (!QFile::exists(folder + QStringLiteral("/qtbase_zh_CN.qm"))) {
            QSKIP("Qt's translations are not installed (qt6-translations-l10n)");
        }
        // A locale Qt has no translation for gets the Chinese buttons.
        QTranslator* chinese = ui::loadQtTranslations(*qApp, QLocale::c());
        QVERIFY(chinese != nullptr);
        QCOMPARE(standardButtons(), QStringList({QStringLiteral("确定"), QStringLiteral("取消")}));
        // The file dialogs' type column (the CSV export's save dialog) too.
        QCOMPARE(QFileIconProvider().type(QFileInfo(dir_->path())), QStringLiteral("文件夹"));
        QCoreApplication::removeTranslator(chinese);
        delete chinese;

        // One it has gets its own.
        QTranslator* german = ui::loadQtTranslations(*qApp, QLocale(QLocale::German));
        QVERIFY(german != nullptr);
        QCOMPARE(standardButtons().back(), QStringLiteral("Abbrechen"));
        QCoreApplication::removeTranslator(german);
        delete german;
    }

private:
    std::unique_ptr<RecordingSite> site_;
    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<ScopedEnv> config_;
    std::filesystem::path db_;
    std::unique_ptr<BoxRecorder> boxes_;
    std::unique_ptr<ui::MainWindow> window_;
};

QTEST_MAIN(DesktopTest)
#include "desktop_test.moc"
