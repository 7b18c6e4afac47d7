// The main window's two ways into the real login window. The account list's "登录" → "软件登录":
// the captured cookie replaces the cookie of an account that has one and becomes the first
// account row of a site without one, with the list reloaded; closing the window stores nothing;
// the web engine is not in the process until the window is first asked for. The template
// editor's "软件登录 ": the cookie waits in PendingCapture, no row changes, and the editor's next
// save stores it with the new site.
#include <QAction>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeView>

#include "login_script.h"
#include "login_site.h"
#include "store/history.h"
#include "store/site_database.h"
#include "ui/browser/browser_loader.h"
#include "ui/window/account_list.h"
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

SiteList storedSites(const std::filesystem::path& path) {
    SqlDatabase db;
    return openSiteDatabase(db, path) ? loadSiteList(db) : SiteList{};
}

// The list's "登录" → "软件登录" for `row`, captured (or closed) by the scripted user.
bool menuLogin(ui::MainWindow& window, int row, std::vector<Step> steps) {
    selectRow(window, row);
    WindowRun run;
    NextLoginWindow user(&run, std::move(steps));
    window.findChild<QAction*>(QStringLiteral("菜单_软件登录"))->trigger();
    return user.found && !run.timedOut;
}

// The editor's "软件登录 " on `address`, captured (or closed) by the scripted user.
bool editorLogin(ui::MainWindow& window, const std::string& address, std::vector<Step> steps) {
    window.selectPage(1);
    window.findChild<QLineEdit*>(QStringLiteral("编辑框_登录链接"))
        ->setText(QString::fromStdString(address));
    WindowRun run;
    NextLoginWindow user(&run, std::move(steps));
    window.findChild<QPushButton*>(QStringLiteral("超级按钮_软件登录"))->click();
    return user.found && !run.timedOut;
}

}  // namespace

class MenuLoginTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        addLoginRoutes(site_.server());
        // A login whose cookies last three days, thirty days and the session.
        site_.server().Get("/lasting", [](const httplib::Request&, httplib::Response& res) {
            res.set_header("Set-Cookie", "month=m1; Max-Age=2592000; Path=/");
            res.set_header("Set-Cookie", "days=d3; Max-Age=259200; Path=/");
            res.set_header("Set-Cookie", "visit=v1; Path=/");
            res.set_content("<html><body>signed in</body></html>", "text/html");
        });
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
        QVERIFY(menuLogin(*window, 0, {whenReady(), press(kCaptureButton)}));

        QVERIFY(mappedFiles().contains("libvesprey_browser"));
        QCOMPARE(boxes.boxes.size(), 1);
        QCOMPARE(boxes.boxes[0].text, QStringLiteral("Cookie信息修改成功！"));
        QCOMPARE(boxes.boxes[0].caption, QStringLiteral("修改模板"));
        QCOMPARE(boxes.boxes[0].icon, ui::BoxIcon::Information);
        QCOMPARE(window->siteList().size(), std::size_t{3});
        QCOMPARE(window->siteList()[0].Cid, before.Cid);
        QCOMPARE(cookieOf(window->siteList()[0]), QString::fromLatin1(kLoginCookie));
        QCOMPARE(cookieOf(window->siteList()[2]), QStringLiteral("c=3"));
        // The capture is also the editor's pending cookie; the mode is back to the editor's.
        QCOMPARE(QString::fromStdString(window->capture().pending.Cookie),
                 QString::fromLatin1(kLoginCookie));
        QCOMPARE(window->capture().mode, ui::CaptureMode::ForEditor);

        // The database has it too, not only the list.
        QCOMPARE(cookieOf(storedSites(db_).at(0)), QString::fromLatin1(kLoginCookie));
    }

    void crossedRowGetsItsFirstAccount() {
        BoxRecorder boxes;
        auto window = openWindow(db_);
        QCOMPARE(window->cellText(1, kStateColumn), QStringLiteral("×"));
        QVERIFY(menuLogin(*window, 1, {whenReady(), press(kCaptureButton)}));

        QVERIFY(boxes.boxes.isEmpty());
        QCOMPARE(window->siteList().size(), std::size_t{3});
        QVERIFY(window->siteList()[1].Cid != 0);
        QCOMPARE(cookieOf(window->siteList()[1]), QString::fromLatin1(kLoginCookie));
        QCOMPARE(window->cellText(1, kStateColumn), QStringLiteral("√"));
        QCOMPARE(cookieOf(window->siteList()[0]), QStringLiteral("old=1"));
    }

    // The capture keeps its cookies' earliest expiry in History.db, and the list marks the
    // account at once; a cookie typed by hand later forgets it.
    void captureRemembersTheEarliestExpiry() {
        {
            SqlDatabase db;
            QVERIFY(openSiteDatabase(db, db_));
            SqlStatement stmt =
                db.prepare("update Template set Weblogin='" + site_.url("/lasting") + "'");
            QCOMPARE(stmt.stepCode(), kSqliteDone);
        }
        BoxRecorder boxes;
        auto window = openWindow(db_);
        const int cid = window->siteList().at(0).Cid;
        const double before = nowDateTime();
        QVERIFY(menuLogin(*window, 0, {whenReady(), press(kCaptureButton)}));
        QCOMPARE(cookieOf(window->siteList()[0]), QStringLiteral("month=m1; days=d3; visit=v1"));

        CookieHealth health;
        QVERIFY(readCookieHealth(db_, health).ok());
        QCOMPARE(health.expiries.size(), std::size_t{1});
        const CookieExpiry kept = health.expiries.at(cid);
        // Three days from the capture, to the second (stored times are rounded), in local time.
        constexpr double kSecond = 1.0 / 86400;
        const Text earliest = historyTime(before + 3 - kSecond);
        const Text latest = historyTime(nowDateTime() + 3 + kSecond);
        QVERIFY2(kept.expires >= earliest && kept.expires <= latest, kept.expires.c_str());
        QCOMPARE(kept.captured.substr(0, 10), historyDay(before));
        auto* list = window->findChild<QTreeView*>(QStringLiteral("超级列表框_签到区"));
        QCOMPARE(list->model()->index(0, kStateColumn).data(Qt::ToolTipRole).toString(),
                 QStringLiteral("Cookie 将于 %1 过期")
                     .arg(QString::fromStdString(kept.expires.substr(0, 10))));

        // The editor's login on the same page: the new site's account gets the expiry too.
        QVERIFY(editorLogin(*window, site_.url("/lasting"), {whenReady(), press(kCaptureButton)}));
        window->findChild<QLineEdit*>(QStringLiteral("编辑框_网络名称"))
            ->setText(QStringLiteral("新站"));
        window->findChild<QPushButton*>(QStringLiteral("超级按钮_保存"))->click();
        const int newCid = window->siteList().at(3).Cid;
        health = {};
        QVERIFY(readCookieHealth(db_, health).ok());
        QCOMPARE(health.expiries.size(), std::size_t{2});
        QCOMPARE(health.expiries.at(newCid).expires.substr(0, 10), kept.expires.substr(0, 10));

        window->rememberCookieExpiry(cid, QDateTime());
        health = {};
        QVERIFY(readCookieHealth(db_, health).ok());
        QCOMPARE(health.expiries.count(cid), std::size_t{0});
    }

    void closingTheWindowStoresNothing() {
        BoxRecorder boxes;
        auto window = openWindow(db_);
        for (int row : {0, 1}) {
            QVERIFY(menuLogin(*window, row, {whenReady(), press(kCloseButton)}));
        }
        QVERIFY(boxes.boxes.isEmpty());
        const SiteList stored = storedSites(db_);
        QCOMPARE(stored.size(), std::size_t{3});
        QCOMPARE(cookieOf(stored[0]), QStringLiteral("old=1"));
        QCOMPARE(stored[1].Cid, 0);
        QCOMPARE(window->cellText(1, kStateColumn), QStringLiteral("×"));
        QCOMPARE(window->capture().mode, ui::CaptureMode::ForEditor);
        QVERIFY(window->capture().pending.Cookie.empty());
    }

    void editorCaptureWaitsForTheSave() {
        BoxRecorder boxes;
        auto window = openWindow(db_);
        QVERIFY(editorLogin(*window, site_.url("/start"), {whenReady(), press(kCaptureButton)}));
        QVERIFY(boxes.boxes.isEmpty());
        QCOMPARE(QString::fromStdString(window->capture().pending.Cookie),
                 QString::fromLatin1(kLoginCookie));
        QCOMPARE(window->capture().mode, ui::CaptureMode::ForEditor);
        const SiteList before = storedSites(db_);
        QCOMPARE(before.size(), std::size_t{3});
        QCOMPARE(cookieOf(before[0]), QStringLiteral("old=1"));
        QCOMPARE(before[1].Cid, 0);

        window->findChild<QLineEdit*>(QStringLiteral("编辑框_网络名称"))
            ->setText(QStringLiteral("新站"));
        window->findChild<QPushButton*>(QStringLiteral("超级按钮_保存"))->click();
        QCOMPARE(boxes.boxes.size(), 1);
        QCOMPARE(boxes.boxes[0].text, QStringLiteral("新增网站模板成功！"));
        const SiteList after = storedSites(db_);
        QCOMPARE(after.size(), std::size_t{4});
        QCOMPARE(cookieOf(after[3]), QString::fromLatin1(kLoginCookie));
        QCOMPARE(after[3].Weblogin, site_.url("/start"));
    }

    // A menu login closed first leaves nothing behind: the editor's login then captures into
    // the editor only.
    void editorAfterClosedMenuLoginCapturesForTheEditorOnly() {
        BoxRecorder boxes;
        auto window = openWindow(db_);
        QVERIFY(menuLogin(*window, 0, {whenReady(), press(kCloseButton)}));
        QVERIFY(editorLogin(*window, site_.url("/start"), {whenReady(), press(kCaptureButton)}));
        QVERIFY(boxes.boxes.isEmpty());
        QCOMPARE(QString::fromStdString(window->capture().pending.Cookie),
                 QString::fromLatin1(kLoginCookie));
        const SiteList stored = storedSites(db_);
        QCOMPARE(stored.size(), std::size_t{3});
        QCOMPARE(cookieOf(stored[0]), QStringLiteral("old=1"));
        QCOMPARE(cookieOf(stored[2]), QStringLiteral("c=3"));
        QCOMPARE(stored[1].Cid, 0);
    }

private:
    FakeSite site_;
    std::unique_ptr<QTemporaryDir> dir_;
    std::filesystem::path db_;
};

QTEST_MAIN(MenuLoginTest)

#include "menu_login_test.moc"
