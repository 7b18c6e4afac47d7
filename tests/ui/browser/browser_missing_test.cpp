// "软件登录" where the browser module is not installed: the program says so and how to install
// it, and nothing else happens. Run with $VESPREY_BROWSER_MODULE naming a file that is not there.
#include <QAction>
#include <QTest>
#include <QTreeView>

#include "ui/browser/browser_loader.h"
#include "ui_fixtures.h"

using namespace vesprey;
using namespace vesprey::uitest;

class BrowserMissingTest : public QObject {
    Q_OBJECT
private slots:
    void loginSaysTheBrowserIsNotInstalled() {
        QVERIFY(!QFile::exists(qEnvironmentVariable("VESPREY_BROWSER_MODULE")));
        QTemporaryDir dir;
        const auto db = makeDatabase(dir, {{.name = "甲站", .cookies = {"old=1"}}});
        BoxRecorder boxes;
        auto window = openWindow(db);
        auto* list = window->findChild<QTreeView*>(QStringLiteral("超级列表框_签到区"));
        list->setCurrentIndex(list->model()->index(0, 1));
        QCOMPARE(window->selectedRow(), 0);

        window->findChild<QAction*>(QStringLiteral("菜单_软件登录"))->trigger();
        QCOMPARE(boxes.boxes.size(), 1);
        QCOMPARE(boxes.boxes[0].text, ui::browserNotBuiltMessage());
        QVERIFY(boxes.boxes[0].text.contains(QStringLiteral("qt6-webengine-dev")));
        QVERIFY(boxes.boxes[0].text.endsWith(QStringLiteral("！")));
        QCOMPARE(boxes.boxes[0].caption, QStringLiteral("软件登录"));
        QCOMPARE(boxes.boxes[0].icon, ui::BoxIcon::Warning);
        QCOMPARE(QString::fromStdString(window->siteList().at(0).Cookie), QStringLiteral("old=1"));

        // Asked again, the same answer (nothing half-open stays behind).
        window->findChild<QAction*>(QStringLiteral("菜单_软件登录"))->trigger();
        QCOMPARE(boxes.boxes.size(), 2);
        QCOMPARE(boxes.boxes[1].text, ui::browserNotBuiltMessage());
    }
};

QTEST_MAIN(BrowserMissingTest)
#include "browser_missing_test.moc"
