// The manual-fill window "填写必要参数": for the editor (all three fields into PendingCapture), and
// from the list's menu for one account ("人工填写": update or insert; "增加(&N)": a further
// account), with the window's two shapes, the close button and a failed insert.
#include "editor_test_support.h"
#include "ui/dialogs/manual_fill_dialog.h"
#include "ui/dialogs/tool_window.h"
#include "ui/window/capture.h"

using namespace vesprey;
using namespace vesprey::uitest;

namespace {

const QString kWindow = QStringLiteral("窗口_人工填写");

ui::ManualFillDialog* openWindowOf(const ui::MainWindow& window) {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->objectName() == kWindow && w->isVisible() && w->parentWidget() == &window) {
            return qobject_cast<ui::ManualFillDialog*>(w);
        }
    }
    return nullptr;
}

}  // namespace

class ManualFillTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        // Rows: 0 甲站 "a=1" (√), 1 乙站 without account (×), 2 丙站 "c=3" (√).
        db_ = makeDatabase(*dir_, {{.name = "甲站", .cookies = {"a=1"}},
                                   {.name = "乙站", .cookies = {}},
                                   {.name = "丙站", .cookies = {"c=3"}}});
        boxes_ = std::make_unique<BoxRecorder>();
        window_ = openWindow(db_);
        window_->move(100, 150);
    }

    void cleanup() {
        window_.reset();
        boxes_.reset();
        dir_.reset();
    }

    void editorFillsThePendingCapture() {
        window_->capture().pending.Cookie = "earlier=1";
        bool shown = false;
        whenShown(kWindow, [&](QWidget* w) {
            shown = true;
            QCOMPARE(w->windowTitle(), QStringLiteral("填写必要参数"));
            QCOMPARE(child<QLabel>(w, "标签_标题")->text(), QStringLiteral("手动填写参数"));
            QCOMPARE(w->size(), QSize(451, 277));
            QCOMPARE(w->pos(), QPoint(100 + 170, 150 + 75));
            QCOMPARE(child<QPushButton>(w, "超级按钮_保存")->text(), QStringLiteral("保 存"));
            QCOMPARE(child<QPushButton>(w, "超级按钮_保存")->geometry(), QRect(356, 245, 85, 25));
            QCOMPARE(child<QPlainTextEdit>(w, "编辑框_Cookie")->geometry(), QRect(71, 33, 369, 63));
            QCOMPARE(child<QPlainTextEdit>(w, "编辑框_date")->geometry(), QRect(72, 104, 369, 63));
            QCOMPARE(child<QPlainTextEdit>(w, "编辑框_Headers")->geometry(),
                     QRect(72, 176, 369, 63));
            QVERIFY(!child<QPlainTextEdit>(w, "编辑框_date")->isHidden());
            QVERIFY(!child<QLabel>(w, "标签_date")->isHidden());
            // The fields start empty.
            QCOMPARE(boxText(w, "编辑框_Cookie"), QString());
            setBox(w, "编辑框_Cookie", QStringLiteral("sid=x'1; 名=值"));
            setBox(w, "编辑框_date", QStringLiteral("a=1&b=2"));
            setBox(w, "编辑框_Headers", QStringLiteral("X-A: 1\nX-B: 2"));
            click(w, "超级按钮_保存");
        });
        click(window_.get(), "超级按钮_人工填写");
        QVERIFY(shown);
        const ui::PendingCapture& pending = window_->capture().pending;
        QCOMPARE(ansiToUtf8(pending.Cookie), std::string("sid=x'1; 名=值"));
        QCOMPARE(pending.Date, Text("a=1&b=2"));
        // Typed line breaks become the CR LF that separates header lines.
        QCOMPARE(pending.Headers, Text("X-A: 1\r\nX-B: 2"));
        QCOMPARE(window_->capture().mode, ui::CaptureMode::ForEditor);
        QCOMPARE(accounts(db_).size(), std::size_t{2});
        QVERIFY(boxes_->boxes.isEmpty());
    }

    void editorWindowClosedStoresNothing() {
        window_->capture().pending = {"keep=1", "X-K: 1", "k=1"};
        whenShown(kWindow, [](QWidget* w) {
            setBox(w, "编辑框_Cookie", QStringLiteral("lost=1"));
            click(w, "图形按钮_关闭");
        });
        click(window_.get(), "超级按钮_人工填写");
        QCOMPARE(window_->capture().pending.Cookie, Text("keep=1"));
        QCOMPARE(window_->capture().pending.Headers, Text("X-K: 1"));
        QCOMPARE(window_->capture().pending.Date, Text("k=1"));
    }

    void menuUpdatesTheCookieOfAnAccountThatHasOne() {
        window_->capture().pending = {"p=1", "X-P: 1", "p=1"};
        selectRow(*window_, 2);
        child<QAction>(window_.get(), "菜单_人工填写")->trigger();
        ui::ManualFillDialog* fill = openWindowOf(*window_);
        QVERIFY(fill != nullptr);
        QVERIFY(!fill->isModal());
        QCOMPARE(window_->capture().mode, ui::CaptureMode::UpdateAccount);
        QCOMPARE(window_->capture().selected.index, 2);
        // The cookie only: a shorter window, lower down, the button moved up.
        QCOMPARE(fill->size(), QSize(451, 131));
        QCOMPARE(fill->pos(), QPoint(100 + 170, 150 + 130));
        QCOMPARE(child<QPushButton>(fill, "超级按钮_保存")->geometry(), QRect(356, 101, 85, 25));
        QVERIFY(child<QPlainTextEdit>(fill, "编辑框_date")->isHidden());
        QVERIFY(child<QLabel>(fill, "标签_date")->isHidden());

        // A cookie with a single quote goes in as it is.
        setBox(fill, "编辑框_Cookie", QStringLiteral("c=it's; d=4"));
        QPointer<QWidget> alive(fill);
        click(fill, "超级按钮_保存");
        QTRY_VERIFY(alive.isNull());  // closed and deleted

        const auto rows = accounts(db_);
        QCOMPARE(rows.size(), std::size_t{2});  // updated, not inserted
        QCOMPARE(rows[1].cookie, std::string("c=it's; d=4"));
        QCOMPARE(rows[0].cookie, std::string("a=1"));
        QCOMPARE(window_->capture().mode, ui::CaptureMode::ForEditor);
        // The fields go to the pending capture; the hidden ones were empty.
        QCOMPARE(window_->capture().pending.Cookie, Text("c=it's; d=4"));
        QVERIFY(window_->capture().pending.Headers.empty());
        QVERIFY(window_->capture().pending.Date.empty());
        QCOMPARE(window_->rowCount(), 3);
        QVERIFY(boxes_->boxes.isEmpty());
    }

    void aCookieLongerThanAPassSendsIsRefused() {
        selectRow(*window_, 2);
        child<QAction>(window_.get(), "菜单_人工填写")->trigger();
        ui::ManualFillDialog* fill = openWindowOf(*window_);
        QVERIFY(fill != nullptr);
        setBox(fill, "编辑框_Cookie", QStringLiteral("big=") + QString(70 * 1024, QChar(u'x')));
        QPointer<QWidget> alive(fill);
        click(fill, "超级按钮_保存");
        QCOMPARE(boxes_->boxes.size(), 1);
        QVERIFY2(boxes_->boxes[0].text.startsWith(QStringLiteral("Cookie 太长")),
                 qPrintable(boxes_->boxes[0].text));
        QVERIFY(!alive.isNull());  // open for a shorter one
        QCOMPARE(accounts(db_)[1].cookie, std::string("c=3"));
        fill->reject();
    }

    void anEmptyCookieIsRefusedAndTheStoredOneStays_data() {
        QTest::addColumn<QByteArray>("menu");
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("typed");
        QTest::newRow("人工填写, empty") << QByteArray("菜单_人工填写") << 2 << QString();
        QTest::newRow("人工填写, blank")
            << QByteArray("菜单_人工填写") << 2 << QStringLiteral("  \n ");
        QTest::newRow("人工填写 on a row without cookie")
            << QByteArray("菜单_人工填写") << 1 << QString();
        QTest::newRow("增加") << QByteArray("菜单_增加") << 0 << QString();
    }

    void anEmptyCookieIsRefusedAndTheStoredOneStays() {
        QFETCH(QByteArray, menu);
        QFETCH(int, row);
        QFETCH(QString, typed);
        selectRow(*window_, row);
        child<QAction>(window_.get(), menu.constData())->trigger();
        ui::ManualFillDialog* fill = openWindowOf(*window_);
        QVERIFY(fill != nullptr);
        setBox(fill, "编辑框_Cookie", typed);
        QPointer<QWidget> alive(fill);
        click(fill, "超级按钮_保存");
        QCOMPARE(boxes_->boxes.size(), 1);
        QVERIFY2(boxes_->boxes[0].text.startsWith(QStringLiteral("Cookie 为空")),
                 qPrintable(boxes_->boxes[0].text));
        QCOMPARE(boxes_->boxes[0].icon, ui::BoxIcon::Warning);
        QVERIFY(!alive.isNull());  // open for the cookie
        const auto rows = accounts(db_);
        QCOMPARE(rows.size(), std::size_t{2});
        QCOMPARE(rows[0].cookie, std::string("a=1"));
        QCOMPARE(rows[1].cookie, std::string("c=3"));
        QCOMPARE(window_->cellText(2, 4), QStringLiteral("√"));
        fill->reject();
    }

    void menuOnARowWithoutCookieInsertsAnAccount() {
        selectRow(*window_, 1);
        QCOMPARE(window_->cellText(1, 4), QStringLiteral("×"));
        child<QAction>(window_.get(), "菜单_人工填写")->trigger();
        ui::ManualFillDialog* fill = openWindowOf(*window_);
        QVERIFY(fill != nullptr);
        setBox(fill, "编辑框_Cookie", QStringLiteral("b=2"));
        click(fill, "超级按钮_保存");

        const auto rows = accounts(db_);
        QCOMPARE(rows.size(), std::size_t{3});
        QCOMPARE(rows[2].id, window_->siteList()[1].id);
        QCOMPARE(rows[2].cookie, std::string("b=2"));
        QCOMPARE(window_->rowCount(), 3);
        QCOMPARE(window_->cellText(1, 1), QStringLiteral("乙站"));
        QCOMPARE(window_->cellText(1, 4), QStringLiteral("√"));
    }

    void addAccountGivesTheSiteASecondRow() {
        selectRow(*window_, 0);
        child<QAction>(window_.get(), "菜单_增加")->trigger();
        QCOMPARE(window_->capture().mode, ui::CaptureMode::AddAccount);
        ui::ManualFillDialog* fill = openWindowOf(*window_);
        QVERIFY(fill != nullptr);
        QCOMPARE(fill->size(), QSize(451, 131));
        setBox(fill, "编辑框_Cookie", QStringLiteral("a=second"));
        click(fill, "超级按钮_保存");

        const auto rows = accounts(db_);
        QCOMPARE(rows.size(), std::size_t{3});
        QCOMPARE(rows[2].id, rows[0].id);
        QCOMPARE(rows[0].cookie, std::string("a=1"));
        QCOMPARE(rows[2].cookie, std::string("a=second"));
        QCOMPARE(window_->rowCount(), 4);
        int signedRows = 0;
        for (int r = 0; r < window_->rowCount(); ++r) {
            if (window_->cellText(r, 1) == QStringLiteral("甲站")) {
                QCOMPARE(window_->cellText(r, 4), QStringLiteral("√"));
                ++signedRows;
            }
        }
        QCOMPARE(signedRows, 2);
        QCOMPARE(window_->capture().mode, ui::CaptureMode::ForEditor);
    }

    void closeButtonStoresNothingAndEndsTheMode() {
        window_->capture().pending = {"keep=1", "X-K: 1", "k=1"};
        selectRow(*window_, 0);
        child<QAction>(window_.get(), "菜单_人工填写")->trigger();
        ui::ManualFillDialog* fill = openWindowOf(*window_);
        QVERIFY(fill != nullptr);
        setBox(fill, "编辑框_Cookie", QStringLiteral("never=1"));
        QPointer<QWidget> alive(fill);
        click(fill, "图形按钮_关闭");
        QTRY_VERIFY(alive.isNull());
        QCOMPARE(window_->capture().mode, ui::CaptureMode::ForEditor);
        QCOMPARE(accounts(db_)[0].cookie, std::string("a=1"));
        QCOMPARE(window_->capture().pending.Cookie, Text("keep=1"));
    }

    void failedInsertKeepsTheWindowOpenWithoutAWord() {
        execute(db_,
                "create trigger refuse before insert on WebCookie begin "
                "select raise(abort, 'full'); end");
        selectRow(*window_, 2);
        child<QAction>(window_.get(), "菜单_增加")->trigger();
        ui::ManualFillDialog* fill = openWindowOf(*window_);
        QVERIFY(fill != nullptr);
        setBox(fill, "编辑框_Cookie", QStringLiteral("x=1"));
        click(fill, "超级按钮_保存");
        QCoreApplication::processEvents();
        QVERIFY(fill->isVisible());
        QCOMPARE(window_->capture().mode, ui::CaptureMode::AddAccount);
        QVERIFY(boxes_->boxes.isEmpty());
        QCOMPARE(accounts(db_).size(), std::size_t{2});

        // Once the insert goes through, the same window stores and closes.
        execute(db_, "drop trigger refuse");
        QPointer<QWidget> alive(fill);
        click(fill, "超级按钮_保存");
        QTRY_VERIFY(alive.isNull());
        QCOMPARE(accounts(db_).size(), std::size_t{3});
    }

    void theWindowKeepsTheRowItWasOpenedFor() {
        selectRow(*window_, 0);
        child<QAction>(window_.get(), "菜单_人工填写")->trigger();
        ui::ManualFillDialog* fill = openWindowOf(*window_);
        QVERIFY(fill != nullptr);
        // The user picks another row meanwhile; the window still works for 甲站.
        selectRow(*window_, 2);
        setBox(fill, "编辑框_Cookie", QStringLiteral("a=changed"));
        click(fill, "超级按钮_保存");
        const auto rows = accounts(db_);
        QCOMPARE(rows[0].cookie, std::string("a=changed"));
        QCOMPARE(rows[1].cookie, std::string("c=3"));
    }

    void aSecondMenuCommandReplacesTheOpenWindow() {
        selectRow(*window_, 0);
        child<QAction>(window_.get(), "菜单_人工填写")->trigger();
        QPointer<ui::ManualFillDialog> first = openWindowOf(*window_);
        QVERIFY(first != nullptr);
        selectRow(*window_, 2);
        child<QAction>(window_.get(), "菜单_增加")->trigger();
        QTRY_VERIFY(first.isNull());
        ui::ManualFillDialog* second = openWindowOf(*window_);
        QVERIFY(second != nullptr);
        QCOMPARE(second->mode(), ui::CaptureMode::AddAccount);
        QCOMPARE(window_->capture().mode, ui::CaptureMode::AddAccount);
        QCOMPARE(window_->capture().selected.index, 2);
        setBox(second, "编辑框_Cookie", QStringLiteral("c=second"));
        click(second, "超级按钮_保存");
        const auto rows = accounts(db_);
        QCOMPARE(rows.size(), std::size_t{3});
        QCOMPARE(rows[2].id, rows[1].id);
    }

private:
    std::unique_ptr<QTemporaryDir> dir_;
    std::filesystem::path db_;
    std::unique_ptr<BoxRecorder> boxes_;
    std::unique_ptr<ui::MainWindow> window_;
};

QTEST_MAIN(ManualFillTest)
#include "manual_fill_test.moc"
