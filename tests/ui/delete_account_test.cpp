// "删除(&D)": the question naming the account, OK deleting the selected account row only, Cancel
// changing nothing, and the site that lost its last account listed once with "×". "删除网站": the
// question naming the site's template, accounts, steps and rules, OK deleting them all.
#include "editor_test_support.h"
#include "store/flows.h"

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

        // "删除" on a "×" row has no account to delete: it asks about the site.
        boxes_->boxes.clear();
        boxes_->answer = ui::BoxAnswer::Cancel;
        selectRow(*window_, 2);
        child<QAction>(window_.get(), "菜单_删除")->trigger();
        QCOMPARE(boxes_->boxes.size(), 1);
        QCOMPARE(boxes_->boxes[0].text,
                 QStringLiteral("是否删除网站“乙站”？删除后不能恢复，以下内容一起删除：\r\n"
                                "模板：乙站\r\n账号：没有"));
        QCOMPARE(boxes_->boxes[0].caption, QStringLiteral("删除网站"));
        QCOMPARE(templates(db_).size(), std::size_t{3});
        QCOMPARE(window_->rowCount(), 4);
    }

    void deleteSiteTakesTheSiteAndItsAccounts_data() {
        QTest::addColumn<QByteArray>("menu");
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("accountLine");
        QTest::addColumn<int>("accountsLeft");
        QTest::addColumn<int>("rowsLeft");
        QTest::newRow("two accounts") << QByteArray("菜单_删除网站") << 1
                                      << QStringLiteral("账号：2 个（Cid：1、2）") << 1 << 2;
        QTest::newRow("no account")
            << QByteArray("菜单_删除网站") << 3 << QStringLiteral("账号：没有") << 3 << 3;
        QTest::newRow("删除 on a row without account")
            << QByteArray("菜单_删除") << 3 << QStringLiteral("账号：没有") << 3 << 3;
    }
    void deleteSiteTakesTheSiteAndItsAccounts() {
        QFETCH(QByteArray, menu);
        QFETCH(int, row);
        QFETCH(QString, accountLine);
        QFETCH(int, accountsLeft);
        QFETCH(int, rowsLeft);
        const QString name = window_->cellText(row, 1);
        selectRow(*window_, row);
        child<QAction>(window_.get(), menu.constData())->trigger();
        QCOMPARE(boxes_->boxes.size(), 1);
        const ui::BoxRequest& question = boxes_->boxes[0];
        QCOMPARE(question.text,
                 QStringLiteral("是否删除网站“%1”？删除后不能恢复，以下内容一起删除：\r\n"
                                "模板：%1\r\n")
                         .arg(name) +
                     accountLine);
        QCOMPARE(question.caption, QStringLiteral("删除网站"));
        QCOMPARE(question.icon, ui::BoxIcon::Question);
        QCOMPARE(question.buttons, ui::BoxButtons::OkCancel);
        const auto sites = templates(db_);
        QCOMPARE(sites.size(), std::size_t{2});
        for (const TemplateRow& site : sites) {
            QVERIFY(QString::fromStdString(site.name) != name);
        }
        QCOMPARE(accounts(db_).size(), static_cast<std::size_t>(accountsLeft));
        QCOMPARE(window_->rowCount(), rowsLeft);
    }

    void deleteSiteCancelledChangesNothing() {
        boxes_->answer = ui::BoxAnswer::Cancel;
        selectRow(*window_, 3);
        child<QAction>(window_.get(), "菜单_删除网站")->trigger();
        QCOMPARE(boxes_->boxes.size(), 1);
        QCOMPARE(templates(db_).size(), std::size_t{3});
        QCOMPARE(window_->rowCount(), 4);
    }

    // A multi-step site: its steps, its account's inputs and its rules go with it.
    void deleteSiteTakesStepsInputsAndRules() {
        int cid = 0;
        {
            SqlDatabase sql;
            QVERIFY(openSiteDatabase(sql, db_));
            TemplateFields fields;
            fields.WebName = gbk("多步站");
            const AddFlowSiteResult added = addFlowSite(
                sql, fields, "",
                "[{\"request\": {\"method\": \"POST\", \"url\": \"http://127.0.0.1:9/s\", "
                "\"data\": \"u={{username}}\"}}]",
                {{"username", "me"}});
            QVERIFY(added.site.write);
            cid = added.cid;
            VerdictRules rules;
            rules.success = gbk("成功");
            QVERIFY(saveVerdictRules(sql, added.site.id, rules).done);
        }
        window_->reloadSiteList();
        QCOMPARE(window_->rowCount(), 5);
        QCOMPARE(storedFlows(db_).size(), std::size_t{1});
        selectRow(*window_, 4);
        child<QAction>(window_.get(), "菜单_删除网站")->trigger();
        QCOMPARE(boxes_->boxes.size(), 1);
        QCOMPARE(boxes_->boxes[0].text,
                 QStringLiteral("是否删除网站“多步站”？删除后不能恢复，以下内容一起删除：\r\n"
                                "模板：多步站\r\n账号：1 个（Cid：%1）\r\n"
                                "多步骤：它的步骤和各账号填写的参数\r\n判定规则")
                     .arg(cid));
        QCOMPARE(templates(db_).size(), std::size_t{3});
        QVERIFY(storedFlows(db_).empty());
        QVERIFY(storedRules(db_).empty());
        SqlDatabase sql;
        QVERIFY(openSiteDatabase(sql, db_));
        AccountInputs inputs;
        QVERIFY(readAccountInputs(sql, cid, inputs).ok());
        QVERIFY(inputs.empty());
        QCOMPARE(window_->rowCount(), 4);
    }

private:
    std::unique_ptr<QTemporaryDir> dir_;
    std::filesystem::path db_;
    std::unique_ptr<BoxRecorder> boxes_;
    std::unique_ptr<ui::MainWindow> window_;
};

QTEST_MAIN(DeleteAccountTest)
#include "delete_account_test.moc"
