// The inputs of a multi-step template's account in the window: the list's "账号状态" √ only when
// every input the flow reads has a value, "修改(&U)" with one field per input (a password masked,
// its "显示" button showing it), its save setting and removing inputs and refusing one over
// 64 KB, "增加(&N)" giving a further account its inputs, and "人工填写" filling the cookie of the
// account itself.
#include "editor_test_support.h"
#include "store/flows.h"
#include "ui/dialogs/manual_fill_dialog.h"

using namespace vesprey;
using namespace vesprey::uitest;

namespace {

const QString kModify = QStringLiteral("窗口_修改模板");

// Reads username and password; the cookie is not among its inputs.
const std::string kSteps =
    "[{\"request\": {\"method\": \"POST\", \"url\": \"http://127.0.0.1:9/sign\", \"data\": "
    "\"u={{username}}&p={{password}}\"}}]";

AccountInputs inputsOf(const std::filesystem::path& path, int cid) {
    SqlDatabase db;
    AccountInputs inputs;
    if (!openSiteDatabase(db, path) || !readAccountInputs(db, cid, inputs).ok()) {
        qFatal("cannot read the inputs of %d", cid);
    }
    return inputs;
}

QLineEdit* inputField(QWidget* w, const char* name) {
    return child<QLineEdit>(w, (std::string("编辑框_输入_") + name).c_str());
}

}  // namespace

class AccountInputsTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        // Row 0: a one-request site with a cookie; row 1: the multi-step site, its account
        // without a password.
        db_ = makeDatabase(*dir_, {{.name = "甲站", .cookies = {"a=1"}}});
        {
            SqlDatabase sql;
            QVERIFY(openSiteDatabase(sql, db_));
            TemplateFields fields;
            fields.WebName = gbk("多步站");
            const AddFlowSiteResult added =
                addFlowSite(sql, fields, "", kSteps, {{"username", "me"}});
            QVERIFY(added.site.write);
            cid_ = added.cid;
        }
        boxes_ = std::make_unique<BoxRecorder>();
        window_ = openWindow(db_);
        QCOMPARE(window_->rowCount(), 2);
    }

    void cleanup() {
        window_.reset();
        boxes_.reset();
        dir_.reset();
    }

    void theListShowsWhetherTheFlowHasEveryInput() {
        QCOMPARE(window_->cellText(0, 4), QStringLiteral("√"));
        QCOMPARE(window_->cellText(1, 4), QStringLiteral("×"));
        // A cookie alone does not make it ready: the flow does not read it.
        execute(db_, "update WebCookie set Cookie = 'c=1' where Cid = " + std::to_string(cid_));
        window_->reloadSiteList();
        QCOMPARE(window_->cellText(1, 4), QStringLiteral("×"));
        execute(db_,
                "insert into AccountInput values (" + std::to_string(cid_) + ", 'password', 'x')");
        window_->reloadSiteList();
        QCOMPARE(window_->cellText(1, 4), QStringLiteral("√"));
    }

    void modifyStoresAndRemovesThePassword() {
        selectRow(*window_, 1);
        bool shown = false;
        whenShown(kModify, [&](QWidget* w) {
            shown = true;
            QLineEdit* user = inputField(w, "username");
            QLineEdit* password = inputField(w, "password");
            QCOMPARE(user->text(), QStringLiteral("me"));
            QCOMPARE(user->echoMode(), QLineEdit::Normal);
            QVERIFY(w->findChild<QPushButton*>(QStringLiteral("按钮_显示_username")) == nullptr);
            QVERIFY(w->findChild<QLineEdit*>(QStringLiteral("编辑框_输入_cookie")) == nullptr);
            QCOMPARE(password->text(), QString());
            QCOMPARE(password->echoMode(), QLineEdit::Password);
            // The window grows by the two rows; the buttons stay below the fields.
            QCOMPARE(w->height(), 451 + 2 * ui::InputFields::kRowHeight);
            QVERIFY(child<QPushButton>(w, "超级按钮_保存1")->y() >= password->geometry().bottom());

            auto* toggle = child<QPushButton>(w, "按钮_显示_password");
            toggle->click();
            QCOMPARE(password->echoMode(), QLineEdit::Normal);
            toggle->click();
            QCOMPARE(password->echoMode(), QLineEdit::Password);

            password->setFocus();
            QTest::keyClicks(password, QStringLiteral("pw 1"));
            password->insert(QStringLiteral("密"));  // stored as UTF-8
            click(w, "超级按钮_保存1");
            QCOMPARE(boxes_->boxes.size(), 1);
            QCOMPARE(boxes_->boxes[0].text, QStringLiteral("模板信息修改成功！"));
            QCOMPARE(inputsOf(db_, cid_),
                     (AccountInputs{{"password", "pw 1密"}, {"username", "me"}}));
            QCOMPARE(window_->cellText(1, 4), QStringLiteral("√"));

            // A field emptied removes its input; the window keeps what it stored.
            password->clear();
            click(w, "超级按钮_保存1");
            QCOMPARE(boxes_->boxes.size(), 2);
            QCOMPARE(inputsOf(db_, cid_), (AccountInputs{{"username", "me"}}));
            QCOMPARE(window_->cellText(1, 4), QStringLiteral("×"));
            click(w, "图形按钮_关闭");
        });
        child<QAction>(window_.get(), "菜单_修改")->trigger();
        QVERIFY(shown);
    }

    void aValueOver64KbIsRefused() {
        selectRow(*window_, 1);
        bool shown = false;
        whenShown(kModify, [&](QWidget* w) {
            shown = true;
            setBox(w, "编辑框_网络名称", QStringLiteral("多步站（改）"));
            inputField(w, "password")->setText(QString(64 * 1024 + 1, QLatin1Char('p')));
            click(w, "超级按钮_保存1");
            QCOMPARE(boxes_->boxes.size(), 1);
            QCOMPARE(boxes_->boxes[0].text,
                     QStringLiteral("“password”太长（65 KB，最多 64 KB），请改短后再保存。"));
            QCOMPARE(boxes_->boxes[0].icon, ui::BoxIcon::Warning);
            click(w, "图形按钮_关闭");
        });
        child<QAction>(window_.get(), "菜单_修改")->trigger();
        QVERIFY(shown);
        // Nothing of the save went in.
        QCOMPARE(inputsOf(db_, cid_), (AccountInputs{{"username", "me"}}));
        QCOMPARE(templates(db_)[1].name, std::string("多步站"));
    }

    void aOneRequestSiteShowsNoInputs() {
        selectRow(*window_, 0);
        bool shown = false;
        whenShown(kModify, [&](QWidget* w) {
            shown = true;
            QCOMPARE(w->size(), QSize(455, 451));
            QVERIFY(w->findChildren<QLineEdit*>(QRegularExpression(QStringLiteral("^编辑框_输入_")))
                        .isEmpty());
            click(w, "图形按钮_关闭");
        });
        child<QAction>(window_.get(), "菜单_修改")->trigger();
        QVERIFY(shown);
    }

    void aFurtherAccountGetsItsInputs() {
        selectRow(*window_, 1);
        child<QAction>(window_.get(), "菜单_增加")->trigger();
        ui::ManualFillDialog* fill = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (w->objectName() == QStringLiteral("窗口_人工填写") && w->isVisible()) {
                fill = qobject_cast<ui::ManualFillDialog*>(w);
            }
        }
        QVERIFY(fill != nullptr);
        // The new account starts empty, whatever the selected one holds.
        QCOMPARE(inputField(fill, "username")->text(), QString());
        QCOMPARE(inputField(fill, "password")->echoMode(), QLineEdit::Password);
        QVERIFY(child<QPushButton>(fill, "超级按钮_保存")->y() >=
                inputField(fill, "password")->geometry().bottom());
        inputField(fill, "username")->setText(QStringLiteral("you"));
        inputField(fill, "password")->setText(QStringLiteral("pw"));
        click(fill, "超级按钮_保存");

        const auto rows = accounts(db_);
        QCOMPARE(rows.size(), std::size_t{3});
        QCOMPARE(rows[2].id, rows[1].id);
        QCOMPARE(inputsOf(db_, rows[2].cid),
                 (AccountInputs{{"password", "pw"}, {"username", "you"}}));
        QCOMPARE(inputsOf(db_, cid_), (AccountInputs{{"username", "me"}}));
        QCOMPARE(window_->rowCount(), 3);
        QCOMPARE(window_->cellText(1, 4), QStringLiteral("×"));
        QCOMPARE(window_->cellText(2, 4), QStringLiteral("√"));
    }

    // "人工填写" fills the cookie of the account that has none yet, in its own row beside its
    // inputs, rather than making another account.
    void manualFillGivesTheAccountItsCookie() {
        selectRow(*window_, 1);
        child<QAction>(window_.get(), "菜单_人工填写")->trigger();
        QWidget* fill = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (w->objectName() == QStringLiteral("窗口_人工填写") && w->isVisible()) {
                fill = w;
            }
        }
        QVERIFY(fill != nullptr);
        QVERIFY(fill->findChild<QLineEdit*>(QStringLiteral("编辑框_输入_username")) == nullptr);
        setBox(fill, "编辑框_Cookie", QStringLiteral("c=typed"));
        click(fill, "超级按钮_保存");
        const auto rows = accounts(db_);
        QCOMPARE(rows.size(), std::size_t{2});
        QCOMPARE(rows[1].cid, cid_);
        QCOMPARE(rows[1].cookie, std::string("c=typed"));
        QCOMPARE(inputsOf(db_, cid_), (AccountInputs{{"username", "me"}}));
        QCOMPARE(window_->rowCount(), 2);
    }

private:
    std::unique_ptr<QTemporaryDir> dir_;
    std::filesystem::path db_;
    int cid_ = 0;
    std::unique_ptr<BoxRecorder> boxes_;
    std::unique_ptr<ui::MainWindow> window_;
};

QTEST_MAIN(AccountInputsTest)
#include "account_inputs_test.moc"
