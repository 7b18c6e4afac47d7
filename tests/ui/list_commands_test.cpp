// The account list's commands: the selection guard of every row command, the context menu, and
// the double-click copy of "返回内容".
#include <QAction>
#include <QClipboard>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QTreeView>

#include "ui_fixtures.h"

using namespace vesprey;
using namespace vesprey::uitest;

namespace {

const QStringList kRowCommands = {"菜单_软件登录", "菜单_人工填写", "菜单_删除",
                                  "菜单_删除网站", "菜单_修改",     "菜单_增加"};

}  // namespace

class ListCommandsTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        db_ = makeDatabase(*dir_, {{.name = "甲站", .cookies = {"c=1"}},
                                   {.name = "乙站", .cookies = {}},
                                   {.name = "丙站", .cookies = {"c=3"}}});
    }

    void rowCommandsWithoutSelectionShowTheGuardOnly_data() {
        QTest::addColumn<QString>("command");
        for (const QString& name : kRowCommands) {
            QTest::newRow(qPrintable(name)) << name;
        }
    }
    void rowCommandsWithoutSelectionShowTheGuardOnly() {
        QFETCH(QString, command);
        BoxRecorder boxes;
        auto window = openWindow(db_);
        const auto before = window->siteList().size();
        auto* action = window->findChild<QAction*>(command);
        QVERIFY(action != nullptr);
        action->trigger();
        QCOMPARE(boxes.boxes.size(), 1);
        QCOMPARE(boxes.boxes[0].text, QStringLiteral("请点击选中需要操作的网站！"));
        QCOMPARE(boxes.boxes[0].caption, QStringLiteral("操作提示"));
        QCOMPARE(boxes.boxes[0].icon, ui::BoxIcon::Error);
        QCOMPARE(window->siteList().size(), before);
        QCOMPARE(window->rowCount(), 3);
    }

    void contextMenuHasTheCommandsInOrder() {
        BoxRecorder boxes;
        auto window = openWindow(db_);
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        auto* menu = window->findChild<QMenu*>(QStringLiteral("菜单_主"));
        QVERIFY(menu != nullptr);
        QCOMPARE(menu->title(), QStringLiteral("主"));
        const QList<QAction*> items = menu->actions();
        QCOMPARE(items.size(), 7);
        QCOMPARE(items[0]->text(), QStringLiteral("登录"));
        QVERIFY(items[1]->isSeparator());
        QCOMPARE(items[2]->text(), QStringLiteral("操作"));
        QVERIFY(items[3]->isSeparator());
        QCOMPARE(items[4]->text(), QStringLiteral("开始签到"));
        QCOMPARE(items[5]->text(), QStringLiteral("停止签到"));
        QVERIFY(!items[5]->isEnabled());  // only while a pass runs
        QCOMPARE(items[6]->text(), QStringLiteral("签到历史"));
        QStringList login;
        for (QAction* a : items[0]->menu()->actions()) {
            login << a->text();
        }
        QCOMPARE(login, QStringList({"软件登录", "人工填写"}));
        QStringList edit;
        for (QAction* a : items[2]->menu()->actions()) {
            edit << a->text();
        }
        QCOMPARE(edit, QStringList({"删除(&D)", "删除网站", "修改(&U)", "增加(&N)"}));

        // A right-click in the list pops the menu up where the mouse is.
        auto* list = window->findChild<QTreeView*>(QStringLiteral("超级列表框_签到区"));
        const QPoint at = list->visualRect(list->model()->index(0, 1)).center();
        emit list->customContextMenuRequested(at);
        QTRY_VERIFY(menu->isVisible());
        QCOMPARE(menu->pos(), list->viewport()->mapToGlobal(at));
        menu->hide();
    }

    void doubleClickCopiesTheResult() {
        BoxRecorder boxes;
        auto window = openWindow(db_);
        window->setCellText(2, 5, QStringLiteral("今日已签到，获得 5 积分"));
        auto* list = window->findChild<QTreeView*>(QStringLiteral("超级列表框_签到区"));
        const QPoint row2 = list->visualRect(list->model()->index(2, 1)).center();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, row2);
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, row2);
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("今日已签到，获得 5 积分"));

        // An empty result puts an empty text there.
        const QPoint row0 = list->visualRect(list->model()->index(0, 1)).center();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, row0);
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, row0);
        QCOMPARE(QGuiApplication::clipboard()->text(), QString());
        QVERIFY(boxes.boxes.isEmpty());
    }

private:
    std::unique_ptr<QTemporaryDir> dir_;
    std::filesystem::path db_;
};

QTEST_MAIN(ListCommandsTest)
#include "list_commands_test.moc"
