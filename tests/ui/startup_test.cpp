// Start-up of the desktop program: the windows, the list filled from Sign.db, the push keys, the
// start-up selections, the offer of a new database on a first start, the font, and the libraries
// the program maps.
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocalSocket>
#include <QMouseEvent>
#include <QProcess>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>
#include <QTreeView>

#include "editor_test_support.h"
#include "store/site_database.h"
#include "ui/application.h"
#include "ui/desktop/single_instance.h"
#include "ui/skin.h"
#include "ui/window/account_list.h"

using namespace vesprey;
using namespace vesprey::uitest;

namespace {

const QString kNewDatabase = QStringLiteral("窗口_新建数据库");

// The desktop program's environment with its folders (and the temporary one, where it keeps its
// lock and socket) inside `dir`.
QProcessEnvironment desktopEnvironment(const QTemporaryDir& dir) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMPDIR"), dir.path());
    env.insert(QStringLiteral("HOME"), dir.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), dir.filePath(QStringLiteral("cache")));
    env.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("data")));
    return env;
}

bool listening(const QString& socketPath) {
    QLocalSocket socket;
    socket.connectToServer(socketPath);
    return socket.waitForConnected(200);
}

}  // namespace

class StartupTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { ui::applySkin(*qApp); }

    void fixtureDatabaseFillsListAndPushPage() {
        QTemporaryDir dir;
        const auto db =
            makeDatabase(dir,
                         {{.name = "论坛甲",
                           .link = "http://127.0.0.1:9/a",
                           .qtype = 1,
                           .rtype = 1,
                           .tying = "msg",
                           .cookies = {"uid=1"}},
                          {.name = "论坛乙",
                           .link = "http://127.0.0.1:9/b",
                           .qtype = 2,
                           .rtype = 2,
                           .tying = "(x)",
                           .cookies = {}},
                          {.name = "论坛丙",
                           .link = "http://127.0.0.1:9/c",
                           .qtype = 7,
                           .rtype = 3,
                           .tying = "msg",
                           .cookies = {"a=1", "b=2"}}},
                         {.bark = "bark-key", .serverChan = "sc-key", .dingTalk = "ding-token"});
        BoxRecorder boxes;
        auto window = openWindow(db);
        QVERIFY(boxes.boxes.isEmpty());

        auto* list = window->findChild<QTreeView*>(QStringLiteral("超级列表框_签到区"));
        QVERIFY(list != nullptr);
        QAbstractItemModel* model = list->model();
        QCOMPARE(model->rowCount(), 4);  // the third site has two accounts
        QCOMPARE(model->columnCount(), 6);
        const QStringList titles = {"序号", "网站", "请求类型", "响应类型", "账号状态", "返回内容"};
        const int widths[] = {50, 100, 70, 70, 70};
        for (int c = 0; c < 6; ++c) {
            QCOMPARE(model->headerData(c, Qt::Horizontal).toString(), titles[c]);
            if (c < 5) {
                QCOMPARE(list->columnWidth(c), widths[c]);
            }
        }
        const QStringList expected[] = {{"1", "论坛甲", "GET", "JSON", "√", ""},
                                        {"2", "论坛乙", "POST", "正则", "×", ""},
                                        {"3", "论坛丙", "POST", "正则", "√", ""},
                                        {"4", "论坛丙", "POST", "正则", "√", ""}};
        for (int r = 0; r < 4; ++r) {
            for (int c = 0; c < 6; ++c) {
                QCOMPARE(model->index(r, c).data().toString(), expected[r][c]);
                QCOMPARE(window->cellText(r, c), expected[r][c]);
            }
        }
        QCOMPARE(window->siteList().size(), std::size_t{4});
        QCOMPARE(window->siteList()[3].Cookie, std::string("b=2"));
        QCOMPARE(window->selectedRow(), -1);

        auto* bark = window->findChild<QRadioButton*>(QStringLiteral("单选框_Brak"));
        QVERIFY(bark != nullptr && bark->isChecked());
        QCOMPARE(bark->text(), QStringLiteral("Bark"));
        QCOMPARE(window->findChild<QLineEdit*>(QStringLiteral("编辑框_推送标识"))->text(),
                 QStringLiteral("bark-key"));
        auto* conversion = window->findChild<QComboBox*>(QStringLiteral("组合框_编码转换"));
        QCOMPARE(conversion->currentText(), QStringLiteral("默认"));
        auto* period = window->findChild<QComboBox*>(QStringLiteral("组合框_执行时间"));
        QCOMPARE(period->count(), 8);
        QCOMPARE(period->currentText(), QStringLiteral("随机"));
        QVERIFY(!window->findChild<QCheckBox*>(QStringLiteral("选择框_同步通知"))->isChecked());
        QVERIFY(!window->findChild<QCheckBox*>(QStringLiteral("选择框_开启定时"))->isChecked());
        QCOMPARE(window->scheduler().timerPeriod(), 0);
        QCOMPARE(window->findChild<QLabel*>(QStringLiteral("zt1"))->text(), QString());
        QCOMPARE(window->findChild<QTabWidget*>(QStringLiteral("选择夹1"))->currentIndex(), 0);
    }

    void mainWindowShape() {
        QTemporaryDir dir;
        BoxRecorder boxes;
        auto window = openWindow(makeDatabase(dir, {}));
        QCOMPARE(window->size(), QSize(720, 400));
        QVERIFY(window->windowFlags().testFlag(Qt::FramelessWindowHint));
        auto* tabs = window->findChild<QTabWidget*>(QStringLiteral("选择夹1"));
        QCOMPARE(tabs->count(), 4);
        const QStringList pages = {"签到区", "模板区", "推送区", "关于我们"};
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(tabs->tabText(i), pages[i]);
        }
        QCOMPARE(tabs->geometry(), QRect(128, 30, 592, 393));
        QCOMPARE(window->findChild<QWidget*>(QStringLiteral("超级列表框_签到区"))->geometry(),
                 QRect(0, -2, 590, 350));
        QCOMPARE(window->findChild<QLabel*>(QStringLiteral("标签1"))->text(),
                 QStringLiteral("Vesprey V1.0"));
        QCOMPARE(window->findChild<QWidget*>(QStringLiteral("外形框1"))->geometry(),
                 QRect(128, 376, 592, 24));
        QCOMPARE(window->findChild<QWidget*>(QStringLiteral("zt1"))->geometry(),
                 QRect(30, 3, 500, 20));
        QCOMPARE(window->findChild<QWidget*>(QStringLiteral("图形按钮_关闭"))->geometry(),
                 QRect(700, 8, 13, 13));
        QCOMPARE(window->findChild<QLabel*>(QStringLiteral("标签2"))->text(),
                 QStringLiteral("“感谢您的支持！有您的陪伴，「Vesprey」会越来越好。”"));
        // The status strip is drawn over the lower end of the tab control.
        QWidget* atStatus = window->childAt(400, 388);
        QVERIFY(atStatus != nullptr);
        QVERIFY(atStatus->objectName() == QStringLiteral("外形框1") ||
                atStatus->parentWidget()->objectName() == QStringLiteral("外形框1"));
    }

    // The window grows from 720 × 400: dragged at its corner (never below that size), the pages,
    // the list and the status strip take the room, "返回内容" all the width; maximised by its
    // button; its place and size come back on the same Sign.db.
    void theWindowGrowsAndKeepsItsPlace() {
        QTemporaryDir dir;
        BoxRecorder boxes;
        const auto db = makeDatabase(dir, {});
        auto window = openWindow(db);
        auto* list = window->findChild<QTreeView*>(QStringLiteral("超级列表框_签到区"));
        const int resultWidth = list->columnWidth(kColumnResult);
        const int siteWidth = list->columnWidth(1);
        QCOMPARE(window->minimumSize(), QSize(720, 400));
        QVERIFY(window->maximumWidth() > 720 && window->maximumHeight() > 400);

        const struct {
            QPoint by;
            QSize size;
        } drags[] = {
            {{280, 200}, {1000, 600}}, {{-400, -300}, {720, 400}}, {{280, 200}, {1000, 600}}};
        auto* grip = window->findChild<QWidget*>(QStringLiteral("拉伸_右下"));
        for (const auto& drag : drags) {
            const QPoint at = grip->rect().center();
            const QPoint global = grip->mapToGlobal(at);
            QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton,
                              Qt::NoModifier);
            QApplication::sendEvent(grip, &press);
            QMouseEvent move(QEvent::MouseMove, at + drag.by, global + drag.by, Qt::NoButton,
                             Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(grip, &move);
            QMouseEvent release(QEvent::MouseButtonRelease, at + drag.by, global + drag.by,
                                Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
            QApplication::sendEvent(grip, &release);
            QCOMPARE(window->size(), drag.size);
        }
        QCOMPARE(window->findChild<QWidget*>(QStringLiteral("选择夹1"))->geometry(),
                 QRect(128, 30, 872, 593));
        QCOMPARE(list->geometry(), QRect(0, -2, 870, 550));
        QCOMPARE(list->columnWidth(kColumnResult), resultWidth + 280);
        QCOMPARE(list->columnWidth(1), siteWidth);
        QCOMPARE(window->findChild<QWidget*>(QStringLiteral("外形框1"))->geometry(),
                 QRect(128, 576, 872, 24));
        QCOMPARE(window->findChild<QWidget*>(QStringLiteral("zt1"))->geometry(),
                 QRect(30, 3, 780, 20));
        QCOMPARE(window->findChild<QWidget*>(QStringLiteral("图形按钮_关闭"))->geometry(),
                 QRect(980, 8, 13, 13));
        window->move(40, 30);
        const QPoint place = window->pos();

        window.reset();
        window = openWindow(db);
        QCOMPARE(window->size(), QSize(1000, 600));
        QCOMPARE(window->pos(), place);
        QTest::mouseClick(window->findChild<QAbstractButton*>(QStringLiteral("最大化")),
                          Qt::LeftButton);
        QTRY_VERIFY(window->isMaximized());

        window.reset();
        window = openWindow(db);
        QTRY_VERIFY(window->isMaximized());
        QVERIFY(boxes.boxes.isEmpty());
    }

    void pageButtonsSelectPages() {
        QTemporaryDir dir;
        BoxRecorder boxes;
        auto window = openWindow(makeDatabase(dir, {}));
        auto* tabs = window->findChild<QTabWidget*>(QStringLiteral("选择夹1"));
        const QStringList buttons = {"推荐板块", "生成模板", "推荐板块2", "推荐板块3"};
        for (int i : {2, 1, 3, 0}) {
            auto* button = window->findChild<QAbstractButton*>(buttons[i]);
            QVERIFY(button != nullptr);
            QCOMPARE(button->geometry(), QRect(0, 107 + 34 * i, 128, 34));
            QTest::mouseClick(button, Qt::LeftButton);
            QCOMPARE(tabs->currentIndex(), i);
        }
    }

    void titleStripDragsTheWindow() {
        QTemporaryDir dir;
        BoxRecorder boxes;
        auto window = openWindow(makeDatabase(dir, {}));
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        const QPoint before = window->pos();
        auto* strip = window->findChild<QWidget*>(QStringLiteral("图片框1"));
        QTest::mousePress(strip, Qt::LeftButton, {}, QPoint(300, 12));
        QTest::mouseMove(strip, QPoint(340, 42));
        QTest::mouseRelease(strip, Qt::LeftButton, {}, QPoint(340, 42));
        QTRY_COMPARE(window->pos(), before + QPoint(40, 30));
    }

    void startupWindowIsReplacedByMainWindow() {
        QTemporaryDir dir;
        BoxRecorder boxes;
        auto* startup = new ui::StartupWindow;
        QCOMPARE(startup->windowTitle(), QStringLiteral("Vesprey v1.0"));
        QCOMPARE(startup->size(), QSize(380, 250));
        startup->show();
        QPointer<ui::StartupWindow> watch(startup);
        auto window =
            ui::launchMainWindow(makeDatabase(dir, {{.name = "甲", .cookies = {"c=1"}}}), startup);
        QVERIFY(window->isVisible());
        QCOMPARE(window->rowCount(), 1);
        QTRY_VERIFY(watch.isNull());
    }

    void aDamagedListIsSaidInsteadOfShownShort() {
        QTemporaryDir dir;
        std::vector<std::string> cookies;
        for (int i = 0; i < 300; ++i) {
            cookies.push_back("account=" + std::to_string(i) + std::string(100, 'c'));
        }
        const auto path = makeDatabase(dir, {{.name = "甲", .cookies = cookies}});
        QFile file(QString::fromStdString(path.string()));
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.size() > 40 * 1024);
        QVERIFY(file.seek(29 * 1024 + 100));
        file.write(QByteArray(16, 'Z'));
        file.close();

        BoxRecorder boxes;
        auto window = openWindow(path);
        QCOMPARE(boxes.boxes.size(), 1);
        QVERIFY2(
            boxes.boxes[0].text.startsWith(QStringLiteral("账号列表读取失败！\r\n读到一半出错")),
            qPrintable(boxes.boxes[0].text));
        QCOMPARE(window->rowCount(), 0);
    }

    // No Sign.db where the program looks (a first start): it offers to make one there.
    void firstStartCreatesTheDatabaseWithTheExampleSites() {
        QTemporaryDir dir;
        BoxRecorder boxes;
        const auto path = std::filesystem::path(dir.path().toStdString()) / "Sign.db";
        QString offer;
        whenShown(kNewDatabase, [&](QWidget* w) {
            offer = child<QLabel>(w, "标签_说明")->text();
            QVERIFY(child<QCheckBox>(w, "选择框_示例网站")->isChecked());
            click(w, "超级按钮_新建");
        });
        auto window = openWindow(path);
        QVERIFY2(offer.contains(QString::fromStdString(path.string())), qPrintable(offer));
        QVERIFY(boxes.boxes.isEmpty());
        QVERIFY(std::filesystem::exists(path));
        QCOMPARE(window->rowCount(), 2);
        QCOMPARE(window->cellText(0, 1), QStringLiteral("示例站点（JSON）"));
        QCOMPARE(window->cellText(1, 1), QStringLiteral("示例论坛（正则）"));
        QCOMPARE(window->cellText(0, 4), QStringLiteral("×"));
        QCOMPARE(window->statusText(), QString());
    }

    void firstStartWithoutExamplesMakesTheUsersDataDirectory() {
        QTemporaryDir dir;
        BoxRecorder boxes;
        const QByteArray before = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", dir.path().toUtf8());
        const auto path = readProgramEnvironment().folders.dataDirectory / "Sign.db";
        QVERIFY(!std::filesystem::exists(path.parent_path()));
        whenShown(kNewDatabase, [](QWidget* w) {
            child<QCheckBox>(w, "选择框_示例网站")->setChecked(false);
            click(w, "超级按钮_新建");
        });
        auto window = openWindow(path);
        qputenv("XDG_DATA_HOME", before);
        QVERIFY(boxes.boxes.isEmpty());
        QCOMPARE(window->rowCount(), 0);
        // The new file is the one in use: a site saved on the template page goes into it.
        window->findChild<QLineEdit*>(QStringLiteral("编辑框_网络名称"))->setText("新站");
        window->findChild<QAbstractButton*>(QStringLiteral("超级按钮_保存"))->click();
        QCOMPARE(boxes.boxes.size(), 1);
        QCOMPARE(boxes.boxes[0].text, QStringLiteral("新增网站模板成功！"));
        QCOMPARE(window->rowCount(), 1);
    }

    void decliningTheNewDatabaseLeavesAnEmptyWindowThatSaysSo() {
        QTemporaryDir dir;
        BoxRecorder boxes;
        const std::filesystem::path missing =
            std::filesystem::path(dir.path().toStdString()) / "nowhere" / "Sign.db";
        whenShown(kNewDatabase, [&](QWidget* w) {
            // A folder that is not there cannot take the file: said, and the offer stays.
            click(w, "超级按钮_新建");
            QCOMPARE(boxes.boxes.size(), 1);
            QVERIFY2(boxes.boxes[0].text.startsWith(QStringLiteral("新建失败！\r\n无法创建文件 ")),
                     qPrintable(boxes.boxes[0].text));
            QCOMPARE(boxes.boxes[0].icon, ui::BoxIcon::Warning);
            QVERIFY(w->isVisible());
            click(w, "超级按钮_不新建");
        });
        auto window = openWindow(missing);
        QCOMPARE(boxes.boxes.size(), 1);  // not "打开失败！…" on top
        QVERIFY(!std::filesystem::exists(missing));
        QCOMPARE(window->rowCount(), 0);
        QCOMPARE(window->statusText(),
                 QStringLiteral("没有 Sign.db：签到和保存都不会生效，重新启动程序可以新建。"));

        // Still usable: the guard still answers.
        window->findChild<QAction*>(QStringLiteral("菜单_修改"))->trigger();
        QCOMPARE(boxes.boxes.size(), 2);
        QCOMPARE(boxes.boxes[1].text, QStringLiteral("请点击选中需要操作的网站！"));
        QVERIFY(!std::filesystem::exists(missing));
    }

    void wrongFileGivesEmptyListWithoutMessage() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Sign.db"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(4096, 'x'));
        file.close();
        BoxRecorder boxes;
        auto window = openWindow(path.toStdString());
        QVERIFY(boxes.boxes.isEmpty());
        QCOMPARE(window->rowCount(), 0);
    }

    // Without a CJK font every caption is a row of empty boxes.
    void fontDrawsChineseCaptions() {
        const QFont font = QApplication::font();
        QCOMPARE(font.pointSize(), 9);
        const QString family = QFontInfo(font).family();
        QVERIFY2(QFontDatabase::families().contains(family), qPrintable(family));
        const QFontMetrics metrics(font);
        for (QChar c : QStringLiteral("签到区推送关于我们请点击选中需要操作的网站")) {
            QVERIFY2(metrics.inFont(c), qPrintable(family + " lacks " + c));
        }
        QCOMPARE(ui::chooseFontFamily({"DejaVu Sans", "WenQuanYi Micro Hei"}),
                 QStringLiteral("WenQuanYi Micro Hei"));
        QCOMPARE(ui::chooseFontFamily({"微软雅黑", "WenQuanYi Micro Hei"}),
                 QStringLiteral("微软雅黑"));
    }

    // libsqlcipher exports the same symbols as the system libsqlite3: the program must map only
    // the first, also after Qt has loaded its plugins.
    void systemSqliteIsNotMapped() {
        QTemporaryDir dir;
        BoxRecorder boxes;
        auto window = openWindow(makeDatabase(dir, {{.name = "甲", .cookies = {"c=1"}}}));
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QFile maps(QStringLiteral("/proc/self/maps"));
        QVERIFY(maps.open(QIODevice::ReadOnly));
        const QByteArray mapped = maps.readAll();
        QVERIFY(mapped.contains("libsqlcipher"));
        QVERIFY2(!mapped.contains("libsqlite3"), "libsqlite3 is mapped");

        QProcess ldd;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LD_TRACE_LOADED_OBJECTS"), QStringLiteral("1"));
        ldd.setProcessEnvironment(env);
        ldd.start(QStringLiteral(VESPREY_DESKTOP), {});
        QVERIFY(ldd.waitForFinished(30000));
        const QByteArray loaded = ldd.readAllStandardOutput();
        QVERIFY2(loaded.contains("libsqlcipher"), loaded.constData());
        QVERIFY2(loaded.contains("libQt6Widgets"), loaded.constData());
        QVERIFY2(!loaded.contains("libsqlite3"), loaded.constData());
        QVERIFY2(!loaded.contains("WebEngine"), loaded.constData());
    }

    // A second start on the Sign.db of a running window brings that window to the front and
    // ends, however the path is spelt; the first one goes on.
    void aSecondStartOnTheSameSignDbShowsTheFirstWindowAndEnds() {
        QTemporaryDir dir;
        const auto db = makeDatabase(dir, {});
        const QString path = QString::fromStdString(db.string());
        QProcess first;
        first.setProcessEnvironment(desktopEnvironment(dir));
        first.start(QStringLiteral(VESPREY_DESKTOP), {QStringLiteral("--db"), path});
        QVERIFY(first.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(listening(dir.filePath(ui::instanceName(db))), 120000);

        for (const QString& named : {path, dir.path() + QStringLiteral("/./Sign.db")}) {
            QProcess second;
            second.setProcessEnvironment(desktopEnvironment(dir));
            second.start(QStringLiteral(VESPREY_DESKTOP), {QStringLiteral("--db"), named});
            QVERIFY2(second.waitForFinished(120000), qPrintable(named));
            const QString said = QString::fromUtf8(second.readAllStandardOutput());
            QCOMPARE(second.exitStatus(), QProcess::NormalExit);
            QCOMPARE(second.exitCode(), 0);
            QVERIFY2(said.contains(QStringLiteral("已显示它的窗口")), qPrintable(said));
        }
        QCOMPARE(first.state(), QProcess::Running);
        first.kill();
        QVERIFY(first.waitForFinished());
    }
};

QTEST_MAIN(StartupTest)
#include "startup_test.moc"
