// The account list's "登录" → "软件登录" in the main window, with the real login window: the
// captured cookie replaces the cookie of an account that has one and becomes the first account
// row of a site without one, with the list reloaded; closing the window stores nothing; and the
// web engine is not in the process until the window is first asked for.
#include <QAction>
#include <QFile>
#include <QTest>
#include <QTreeView>

#include "login_script.h"
#include "login_site.h"
#include "store/site_database.h"
#include "ui/account_list.h"
#include "ui/browser_loader.h"
#include "ui_fixtures.h"

using namespace vesprey;
using namespace vesprey::browsertest;
using namespace vesprey::uitest;

namespace {

constexpr int kStateColumn = 4;  // "账号状态"

void selectRow(ui::MainWindow& window, int row) {
    auto* list = window.findChild<QTreeView*>(QStringLiteral("超级列表框_签到区"));
    const QRect cell = list->visualRect(list->model()->index(row, 1));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, cell.center());
}

QByteArray mappedFiles() {
    QFile maps(QStringLiteral("/proc/self/maps"));
    return maps.open(QIODevice::ReadOnly) ? maps.readAll() : QByteArray();
}

QString cookieOf(const SiteTemplate& site) {
    return QString::fromStdString(site.Cookie);
}

}  // namespace

class MenuLoginTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        addLoginRoutes(site_.server());
        site_.start();
    }

    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        db_ = makeDatabase(*dir_, {{.name = "甲站", .cookies = {"old=1"}},
                                   {.name = "乙站", .cookies = {}},
                                   {.name = "丙站", .cookies = {"c=3"}}});
        SqlDatabase db;
        QVERIFY(openSiteDatabase(db, db_));
        SqlStatement stmt =
            db.prepare("update Template set Weblogin='" + site_.url("/start") + "'");
        QCOMPARE(stmt.stepCode(), kSqliteDone);
    }

    // First of all: the window program has no web engine until the command runs.
    void checkedRowGetsTheNewCookie() {
        BoxRecorder boxes;
        auto window = openWindow(db_);
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QVERIFY2(!mappedFiles().contains("libvesprey_browser"), "module mapped at start-up");
        QVERIFY2(!mappedFiles().contains("WebEngine"), "web engine mapped at start-up");

        const SiteTemplate before = window->siteList().at(0);
        selectRow(*window, 0);
        WindowRun run;
        NextLoginWindow user(&run, {whenReady(), press(kCaptureButton)});
        window->findChild<QAction*>(QStringLiteral("菜单_软件登录"))->trigger();
        QVERIFY(user.found);
        QVERIFY(!run.timedOut);

        QVERIFY(mappedFiles().contains("libvesprey_browser"));
        QCOMPARE(boxes.boxes.size(), 1);
        QCOMPARE(boxes.boxes[0].text, QStringLiteral("Cookie信息修改成功！"));
        QCOMPARE(boxes.boxes[0].caption, QStringLiteral("修改模板"));
        QCOMPARE(boxes.boxes[0].icon, ui::BoxIcon::Information);
        QCOMPARE(window->siteList().size(), std::size_t{3});
        QCOMPARE(window->siteList()[0].Cid, before.Cid);
        QCOMPARE(cookieOf(window->siteList()[0]), QString::fromLatin1(kLoginCookie));
        QCOMPARE(cookieOf(window->siteList()[2]), QStringLiteral("c=3"));

        // The database has it too, not only the list.
        SqlDatabase db;
        QVERIFY(openSiteDatabase(db, db_));
        QCOMPARE(cookieOf(loadSiteList(db).at(0)), QString::fromLatin1(kLoginCookie));
    }

    void crossedRowGetsItsFirstAccount() {
        BoxRecorder boxes;
        auto window = openWindow(db_);
        QCOMPARE(window->cellText(1, kStateColumn), QStringLiteral("×"));
        selectRow(*window, 1);
        WindowRun run;
        NextLoginWindow user(&run, {whenReady(), press(kCaptureButton)});
        window->findChild<QAction*>(QStringLiteral("菜单_软件登录"))->trigger();
        QVERIFY(user.found);
        QVERIFY(!run.timedOut);

        QVERIFY(boxes.boxes.isEmpty());
        QCOMPARE(window->siteList().size(), std::size_t{3});
        QVERIFY(window->siteList()[1].Cid != 0);
        QCOMPARE(cookieOf(window->siteList()[1]), QString::fromLatin1(kLoginCookie));
        QCOMPARE(window->cellText(1, kStateColumn), QStringLiteral("√"));
        QCOMPARE(cookieOf(window->siteList()[0]), QStringLiteral("old=1"));
    }

    void closingTheWindowStoresNothing() {
        BoxRecorder boxes;
        auto window = openWindow(db_);
        for (int row : {0, 1}) {
            selectRow(*window, row);
            WindowRun run;
            NextLoginWindow user(&run, {whenReady(), press(kCloseButton)});
            window->findChild<QAction*>(QStringLiteral("菜单_软件登录"))->trigger();
            QVERIFY(user.found);
            QVERIFY(!run.timedOut);
        }
        QVERIFY(boxes.boxes.isEmpty());
        SqlDatabase db;
        QVERIFY(openSiteDatabase(db, db_));
        const SiteList stored = loadSiteList(db);
        QCOMPARE(stored.size(), std::size_t{3});
        QCOMPARE(cookieOf(stored[0]), QStringLiteral("old=1"));
        QCOMPARE(stored[1].Cid, 0);
        QCOMPARE(window->cellText(1, kStateColumn), QStringLiteral("×"));
    }

private:
    FakeSite site_;
    std::unique_ptr<QTemporaryDir> dir_;
    std::filesystem::path db_;
};

QTEST_MAIN(MenuLoginTest)

#include "menu_login_test.moc"
