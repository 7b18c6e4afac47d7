// The account list's commands: the selection guard of every row command, the context menu and
// its keys, the double-click copy of "返回内容", and what a list of many accounts needs: the
// search, the 备注 edited in place, several rows deleted or signed at once.
#include <QAction>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSet>
#include <QSignalSpy>
#include <QTest>
#include <QTreeView>
#include <map>
#include <mutex>

#include "store/account_notes.h"
#include "store/history.h"
#include "store/site_database.h"
#include "ui/qt_text.h"
#include "ui_fixtures.h"

using namespace vesprey;
using namespace vesprey::uitest;

namespace {

const QStringList kRowCommands = {"菜单_软件登录", "菜单_人工填写", "菜单_删除", "菜单_删除网站",
                                  "菜单_修改",     "菜单_增加",     "菜单_备注", "菜单_签到选中"};

QTreeView* accountView(ui::MainWindow& window) {
    return window.findChild<QTreeView*>(QStringLiteral("超级列表框_签到区"));
}

// The site cells the list shows, top to bottom (with their notes).
QStringList shownSites(ui::MainWindow& window) {
    QAbstractItemModel* shown = accountView(window)->model();
    QStringList sites;
    for (int row = 0; row < shown->rowCount(); ++row) {
        sites << shown->data(shown->index(row, kColumnSite)).toString();
    }
    return sites;
}

// Clicks the shown row, with Ctrl to add it to the selection.
void clickRow(ui::MainWindow& window, int shownRow, Qt::KeyboardModifiers keys = {}) {
    QTreeView* list = accountView(window);
    const QPoint at = list->visualRect(list->model()->index(shownRow, kColumnSite)).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, keys, at);
}

// The window, active: the list's keys go to the widget with the keyboard.
std::unique_ptr<ui::MainWindow> activeWindow(const std::filesystem::path& db) {
    auto window = openWindow(db);
    window->show();
    window->activateWindow();
    if (!QTest::qWaitForWindowActive(window.get())) {
        qWarning("the window did not become active");
    }
    return window;
}

std::map<int, Text> storedNotes(const std::filesystem::path& db) {
    SqlDatabase sql;
    std::map<int, Text> notes;
    if (openSiteDatabase(sql, db)) {
        readAccountNotes(sql, notes);
    }
    return notes;
}

void keepNote(const std::filesystem::path& db, int cid, const std::string& utf8) {
    SqlDatabase sql;
    QVERIFY(openSiteDatabase(sql, db));
    QVERIFY(writeAccountNote(sql, cid, gbk(utf8)).done);
}

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
        QCOMPARE(items.size(), 9);
        QCOMPARE(items[0]->text(), QStringLiteral("登录"));
        QVERIFY(items[1]->isSeparator());
        QCOMPARE(items[2]->text(), QStringLiteral("操作"));
        QVERIFY(items[3]->isSeparator());
        QCOMPARE(items[4]->text(), QStringLiteral("开始签到"));
        QCOMPARE(items[5]->text(), QStringLiteral("签到选中"));
        QCOMPARE(items[6]->text(), QStringLiteral("停止签到"));
        QVERIFY(!items[6]->isEnabled());  // only while a pass runs
        QCOMPARE(items[7]->text(), QStringLiteral("查找(&F)"));
        QCOMPARE(items[8]->text(), QStringLiteral("签到历史"));
        QStringList login;
        for (QAction* a : items[0]->menu()->actions()) {
            login << a->text();
        }
        QCOMPARE(login, QStringList({"软件登录", "人工填写"}));
        QStringList edit;
        for (QAction* a : items[2]->menu()->actions()) {
            edit << a->text();
        }
        QCOMPARE(edit, QStringList({"删除(&D)", "删除网站", "修改(&U)", "增加(&N)", "备注(&R)",
                                    "复制返回内容(&C)"}));

        // Every command has a key of its own, shown in the menu.
        QSet<QString> keys;
        int commands = 0;
        for (QAction* item : {items[0], items[2]}) {
            for (QAction* command : item->menu()->actions()) {
                keys.insert(command->shortcut().toString());
                ++commands;
            }
        }
        for (QAction* item : items) {
            if (!item->isSeparator() && item->menu() == nullptr) {
                keys.insert(item->shortcut().toString());
                ++commands;
            }
        }
        QVERIFY(!keys.contains(QString()));
        QCOMPARE(keys.size(), commands);

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

    // The search shows the rows holding every word typed, in the site name, the 备注, the
    // result (the greyed reason too) or the verdict; Escape shows every row again.
    void searchShowsTheRowsHoldingEveryWord_data() {
        QTest::addColumn<QString>("search");
        QTest::addColumn<QStringList>("shown");
        const QStringList bothAccounts{"甲站（大号）", "甲站（小号）"};
        QTest::newRow("site name") << "甲站" << bothAccounts;
        QTest::newRow("note") << "小号" << QStringList{"甲站（小号）"};
        QTest::newRow("note without case") << "vip" << QStringList{"丙站（VIP）"};
        QTest::newRow("result") << "积分" << QStringList{"甲站（大号）"};
        QTest::newRow("greyed reason") << "超时" << QStringList{"甲站（小号）"};
        QTest::newRow("verdict") << "失败" << QStringList{"甲站（小号）"};
        QTest::newRow("every word") << "甲站 积分" << QStringList{"甲站（大号）"};
        QTest::newRow("full-width blanks") << "　甲站　" << bothAccounts;
        QTest::newRow("nothing") << "没有这个网站" << QStringList{};
    }
    void searchShowsTheRowsHoldingEveryWord() {
        QFETCH(QString, search);
        QFETCH(QStringList, shown);
        QTemporaryDir own;  // the fixture's Sign.db is in dir_
        const auto db = makeDatabase(own, {{.name = "甲站", .cookies = {"a=1", "a=2"}},
                                           {.name = "乙站", .cookies = {}},
                                           {.name = "丙站", .cookies = {"c=3"}}});
        auto window = activeWindow(db);
        const SiteList& sites = window->siteList();
        keepNote(db, sites[0].Cid, "大号");
        keepNote(db, sites[1].Cid, "小号");
        keepNote(db, sites[3].Cid, "VIP");
        window->reloadSiteList();
        window->setCellText(0, kColumnResult, QStringLiteral("签到成功，获得 5 积分"));
        window->setRowVerdict(0, {Verdict::Success, gbk("内置：签到成功")});
        window->setRowVerdict(1, {Verdict::Failed, gbk("响应超时（15 秒没有收到数据）")});
        window->setCellText(3, kColumnResult, QStringLiteral("今日已签到"));
        window->setRowVerdict(3, {Verdict::Already, gbk("内置：已签到")});
        QTreeView* list = accountView(*window);
        auto* bar = window->findChild<QWidget*>(QStringLiteral("区域_搜索"));
        QVERIFY(bar->isHidden());

        list->setFocus();
        QTest::keyClick(list, Qt::Key_F, Qt::ControlModifier);
        QVERIFY(bar->isVisible());
        auto* field = window->findChild<QLineEdit*>(QStringLiteral("编辑框_搜索"));
        QVERIFY(field->hasFocus());
        field->insert(search);  // keyClicks types ASCII only
        QCOMPARE(shownSites(*window), shown);
        QCOMPARE(window->findChild<QLabel*>(QStringLiteral("标签_搜索结果"))->text(),
                 QStringLiteral("显示 %1/4").arg(shown.size()));
        // The bar takes its room under the list, inside the page.
        QVERIFY(list->geometry().bottom() < bar->geometry().top());

        QTest::keyClick(field, Qt::Key_Escape);
        QVERIFY(bar->isHidden());
        QCOMPARE(shownSites(*window).size(), 4);
    }

    // F2 edits the selected account's 备注 in place; it is kept in Sign.db, shown beside the
    // site's name after a restart, and goes with its account.
    void noteIsEditedInPlaceKeptAndDeletedWithItsAccount() {
        BoxRecorder boxes;
        int cid = 0;
        {
            auto window = activeWindow(db_);
            cid = window->siteList()[0].Cid;
            clickRow(*window, 0);
            QTest::keyClick(accountView(*window), Qt::Key_F2);
            auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
            QVERIFY2(editor != nullptr, "F2 opens an editor in the list");
            editor->insert(QStringLiteral("大号"));
            QTest::keyClick(editor, Qt::Key_Return);
            QTRY_COMPARE(shownSites(*window).front(), QStringLiteral("甲站（大号）"));
        }
        QCOMPARE(storedNotes(db_).at(cid), gbk("大号"));

        auto window = activeWindow(db_);
        QCOMPARE(shownSites(*window),
                 QStringList({"甲站（大号）", QStringLiteral("乙站"), QStringLiteral("丙站")}));
        // The column grows to show the note whole.
        QTreeView* list = accountView(*window);
        const QAbstractItemView* view = list;
        QVERIFY(list->columnWidth(kColumnSite) >= view->sizeHintForColumn(kColumnSite));
        // A site without an account has no note to write.
        clickRow(*window, 1);
        QTest::keyClick(accountView(*window), Qt::Key_F2);
        QCOMPARE(boxes.boxes.size(), 1);
        QCOMPARE(boxes.boxes[0].text, QStringLiteral("这个网站还没有账号，不能写备注。"));

        clickRow(*window, 0);
        QTest::keyClick(accountView(*window), Qt::Key_Delete);
        QCOMPARE(boxes.boxes.size(), 2);  // the delete question, answered Ok
        QVERIFY(storedNotes(db_).empty());
    }

    // Delete on several selected rows deletes their accounts after one question naming them;
    // Delete in the search field is the field's.
    void deleteKeyDeletesTheSelectedAccountsAfterOneQuestion() {
        BoxRecorder boxes;
        auto window = activeWindow(db_);
        const int first = window->siteList()[0].Cid;
        const int third = window->siteList()[2].Cid;
        QTreeView* list = accountView(*window);
        list->setFocus();
        QTest::keyClick(list, Qt::Key_F, Qt::ControlModifier);
        auto* field = window->findChild<QLineEdit*>(QStringLiteral("编辑框_搜索"));
        field->insert(QStringLiteral("站"));
        QTest::keyClick(field, Qt::Key_Home);
        QTest::keyClick(field, Qt::Key_Delete);
        QCOMPARE(field->text(), QString());
        QVERIFY(boxes.boxes.isEmpty());
        QTest::keyClick(field, Qt::Key_Escape);

        clickRow(*window, 0);
        clickRow(*window, 2, Qt::ControlModifier);
        QTest::keyClick(list, Qt::Key_Delete);
        QCOMPARE(boxes.boxes.size(), 1);
        QCOMPARE(boxes.boxes[0].text,
                 QStringLiteral("是否删除选中的 2 个网站账号，不再进行签到？\r\n"
                                "甲站，Cid：%1\r\n丙站，Cid：%2")
                     .arg(first)
                     .arg(third));
        QCOMPARE(window->siteList().size(), 3u);  // the sites stay, listed with "×"
        for (const SiteTemplate& site : window->siteList()) {
            QCOMPARE(site.Cid, 0);
        }
    }

    // "签到选中" (Ctrl+F5) signs the selected accounts alone, also when a search hides rows:
    // the others keep their results and History.db gets the signed rows only.
    void signChosenSignsTheSelectedAccountsAlone() {
        FakeSite site;
        std::mutex mutex;
        QStringList paths;
        site.server().Get(
            "/(a|b|c)", [&](const httplib::Request& request, httplib::Response& response) {
                {
                    std::lock_guard lock(mutex);
                    paths << QString::fromStdString(request.path);
                }
                response.set_content("{\"msg\":\"ok " + request.path.substr(1) + "\"}",
                                     "application/json");
            });
        site.start();
        QTemporaryDir own;  // the fixture's Sign.db is in dir_
        const auto db = makeDatabase(
            own, {{.name = "甲站", .link = site.url("/a"), .tying = "msg", .cookies = {"a=1"}},
                  {.name = "乙站", .link = site.url("/b"), .tying = "msg", .cookies = {"b=1"}},
                  {.name = "丙站", .link = site.url("/c"), .tying = "msg", .cookies = {"c=1"}}});
        BoxRecorder boxes;
        auto window = activeWindow(db);
        QSignalSpy finished(window.get(), &ui::MainWindow::passFinished);
        window->setCellText(1, kColumnResult, QStringLiteral("上次的结果"));
        clickRow(*window, 0);
        clickRow(*window, 2, Qt::ControlModifier);
        QTest::keyClick(accountView(*window), Qt::Key_F5, Qt::ControlModifier);
        QVERIFY(finished.wait(30000));
        QCOMPARE(window->passRowsPlanned(), 2);
        QCOMPARE(window->cellText(0, kColumnResult), QStringLiteral("ok a"));
        QCOMPARE(window->cellText(1, kColumnResult), QStringLiteral("上次的结果"));
        QCOMPARE(window->cellText(2, kColumnResult), QStringLiteral("ok c"));
        {
            std::lock_guard lock(mutex);
            QCOMPARE(paths, QStringList({"/a", "/c"}));
        }
        std::vector<HistoryEntry> rows;
        HistoryDatabase history;
        QVERIFY(history.open(db).ok());
        history.readDays(1, nowDateTime(), rows);
        QCOMPARE(rows.size(), 2u);

        // With a search the shown row is the list's third.
        QTest::keyClick(accountView(*window), Qt::Key_F, Qt::ControlModifier);
        window->findChild<QLineEdit*>(QStringLiteral("编辑框_搜索"))->insert(QStringLiteral("丙"));
        clickRow(*window, 0);
        QTest::keyClick(accountView(*window), Qt::Key_F5, Qt::ControlModifier);
        QVERIFY(finished.wait(30000));
        {
            std::lock_guard lock(mutex);
            QCOMPARE(paths, QStringList({"/a", "/c", "/c"}));
        }
        QVERIFY(boxes.boxes.isEmpty());
    }

private:
    std::unique_ptr<QTemporaryDir> dir_;
    std::filesystem::path db_;
};

QTEST_MAIN(ListCommandsTest)
#include "list_commands_test.moc"
