// "删除(&D)": the question naming the account, OK deleting the selected account row only, Cancel
// changing nothing, and the site that lost its last account listed once with "×".
#include "editor_test_support.h"

using namespace vesprey;
using namespace vesprey::uitest;

class DeleteAccountTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        // Rows: 0 甲站 "a=1", 1 甲站 "a=2", 2 乙站 "b=1", 3 丙站 without account.
        db_ = makeDatabase(*dir_, {{.name = "甲站", .cookies = {"a=1", "a=2"}},
                                   {.name = "乙站", .cookies = {"b=1"}},
                                   {.name = "丙站", .cookies = {}}});
        boxes_ = std::make_unique<BoxRecorder>();
        window_ = openWindow(db_);
        QCOMPARE(window_->rowCount(), 4);
    }

    void cleanup() {
        window_.reset();
        boxes_.reset();
        dir_.reset();
    }

    void okDeletesTheSelectedAccountOnly() {
        selectRow(*window_, 1);
        child<QAction>(window_.get(), "菜单_删除")->trigger();

        QCOMPARE(boxes_->boxes.size(), 1);
        const ui::BoxRequest& question = boxes_->boxes[0];
        QCOMPARE(question.text,
                 QStringLiteral(
                     "是否删除该网站账号，不再进行签到？\r\n网站：甲站\r\nCid：2\r\nCookie：a=2"));
        QCOMPARE(question.caption, QStringLiteral("删除签到网站"));
        QCOMPARE(question.icon, ui::BoxIcon::Question);
        QCOMPARE(question.buttons, ui::BoxButtons::OkCancel);

        const auto rows = accounts(db_);
        QCOMPARE(rows.size(), std::size_t{2});
        QCOMPARE(rows[0].cookie, std::string("a=1"));
        QCOMPARE(rows[1].cookie, std::string("b=1"));
        QCOMPARE(window_->rowCount(), 3);
        QCOMPARE(window_->cellText(0, 1), QStringLiteral("甲站"));
        QCOMPARE(window_->cellText(0, 4), QStringLiteral("√"));
        QCOMPARE(window_->cellText(1, 1), QStringLiteral("乙站"));
    }

    void theQuestionShowsOnlyTheStartOfALongCookie() {
        execute(db_, "update WebCookie set Cookie = 'session=" + std::string(40, '7') +
                         "; uid=1' where Cid = 1");
        window_->reloadSiteList();
        boxes_->answer = ui::BoxAnswer::Cancel;
        selectRow(*window_, 0);
        child<QAction>(window_.get(), "菜单_删除")->trigger();
        QCOMPARE(boxes_->boxes.size(), 1);
        // 24 characters in all, the last "…".
        const QString start = QStringLiteral("session=") + QString(15, QLatin1Char('7'));
        QVERIFY2(boxes_->boxes[0].text.endsWith(QStringLiteral("\r\nCid：1\r\nCookie：") + start +
                                                QStringLiteral("…")),
                 qPrintable(boxes_->boxes[0].text));
    }

    void cancelChangesNothing() {
        boxes_->answer = ui::BoxAnswer::Cancel;
        selectRow(*window_, 0);
        child<QAction>(window_.get(), "菜单_删除")->trigger();
        QCOMPARE(boxes_->boxes.size(), 1);
        QCOMPARE(accounts(db_).size(), std::size_t{3});
        QCOMPARE(window_->rowCount(), 4);
        QCOMPARE(window_->cellText(0, 4), QStringLiteral("√"));
    }

    void theLastAccountGoesAndTheSiteStays() {
        selectRow(*window_, 2);
        child<QAction>(window_.get(), "菜单_删除")->trigger();
        QCOMPARE(accounts(db_).size(), std::size_t{2});
        QCOMPARE(templates(db_).size(), std::size_t{3});
        QCOMPARE(window_->rowCount(), 4);
        QCOMPARE(window_->cellText(2, 1), QStringLiteral("乙站"));
        QCOMPARE(window_->cellText(2, 4), QStringLiteral("×"));

        // Deleting on a "×" row asks, then changes nothing.
        boxes_->boxes.clear();
        selectRow(*window_, 2);
        child<QAction>(window_.get(), "菜单_删除")->trigger();
        QCOMPARE(boxes_->boxes.size(), 1);
        QCOMPARE(boxes_->boxes[0].text,
                 QStringLiteral(
                     "是否删除该网站账号，不再进行签到？\r\n网站：乙站\r\n（该网站还没有账号）"));
        QCOMPARE(accounts(db_).size(), std::size_t{2});
        QCOMPARE(window_->rowCount(), 4);
        QCOMPARE(window_->cellText(2, 4), QStringLiteral("×"));
    }

private:
    std::unique_ptr<QTemporaryDir> dir_;
    std::filesystem::path db_;
    std::unique_ptr<BoxRecorder> boxes_;
    std::unique_ptr<ui::MainWindow> window_;
};

QTEST_MAIN(DeleteAccountTest)
#include "delete_account_test.moc"
