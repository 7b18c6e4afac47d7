// "修改(&U)": the modify window filled from the selected entry, its own trial (the window's
// fields, the entry's cookie, the fields left as they were) and the verdict it shows, the
// template's verdict rules loaded and saved with it, the encoding hint and the conversion change
// after a trial, and "保存" with the GET/POST and JSON/正则 mapping to Qtype and Rtype, its
// messages, and the window staying open.
#include "editor_test_support.h"
#include "ui/dialogs/modify_dialog.h"
#include "ui/dialogs/tool_window.h"

using namespace vesprey;
using namespace vesprey::uitest;

namespace {

const QString kWindow = QStringLiteral("窗口_修改模板");
const QString kRulesWindow = QStringLiteral("窗口_判定规则");

void storeRules(const std::filesystem::path& path, int id, const VerdictRules& rules) {
    SqlDatabase db;
    if (!openSiteDatabase(db, path) || !saveVerdictRules(db, id, rules)) {
        qFatal("cannot store the rules of %d", id);
    }
}

}  // namespace

class ModifyTemplateTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        site_ = std::make_unique<RecordingSite>([](const httplib::Request& request) -> std::string {
            if (request.path == "/utf8") {
                return "{\"msg\":\"签到成功\"}";  // UTF-8
            }
            return "{\"code\":0,\"echo\":\"" + request.body + "\",\"agent\":\"" +
                   request.get_header_value("User-Agent") + "\"}";
        });
        dir_ = std::make_unique<QTemporaryDir>();
        db_ = makeDatabase(*dir_, {{.name = "甲站", .cookies = {"a=1"}},
                                   {.name = "乙站",
                                    .link = site_->url("/sign"),
                                    .qtype = 2,
                                    .rtype = 2,
                                    .ctype = 1,
                                    .tying = "#引号echo#引号:#引号(.*?)#引号",
                                    .cookies = {"u=1; v=2"},
                                    .body = "day=3",
                                    .headers = "X-One: 1\r\nX-Two: 2"}});
        boxes_ = std::make_unique<BoxRecorder>();
        window_ = openWindow(db_);
        window_->move(100, 150);
    }

    void cleanup() {
        window_.reset();
        boxes_.reset();
        site_.reset();
        dir_.reset();
    }

    void theWindowShowsTheEntry() {
        selectRow(*window_, 1);
        bool shown = false;
        whenShown(kWindow, [&](QWidget* w) {
            shown = true;
            QCOMPARE(w->windowTitle(), QStringLiteral("修改模板"));
            QCOMPARE(child<QLabel>(w, "标签_标题")->text(), QStringLiteral("修改模板参数"));
            QCOMPARE(w->size(), QSize(455, 451));
            QCOMPARE(w->pos(), QPoint(100 + 170, 150 - 34));
            QCOMPARE(boxText(w, "编辑框_网络名称"), QStringLiteral("乙站"));
            QCOMPARE(boxText(w, "编辑框_登录链接"), QStringLiteral("http://127.0.0.1/login"));
            QCOMPARE(boxText(w, "编辑框_签到链接"), QString::fromStdString(site_->url("/sign")));
            QCOMPARE(boxText(w, "编辑框_绑定语句"),
                     QStringLiteral("#引号echo#引号:#引号(.*?)#引号"));
            QCOMPARE(boxText(w, "编辑框_Headers"), QStringLiteral("X-One: 1\nX-Two: 2"));
            QCOMPARE(boxText(w, "编辑框_date"), QStringLiteral("day=3"));
            QCOMPARE(boxText(w, "编辑框_返回语句"), QString());
            QCOMPARE(child<QComboBox>(w, "组合框_编码转换")->currentIndex(), 1);
            QVERIFY(checked(w, "单选框_post"));
            QVERIFY(!checked(w, "单选框_get"));
            QVERIFY(checked(w, "单选框_正则表达式"));
            QVERIFY(!checked(w, "单选框_json"));
            QCOMPARE(w->focusWidget(), child<QWidget>(w, "编辑框_网络名称"));
            QCOMPARE(child<QPushButton>(w, "超级按钮_调试")->geometry(), QRect(316, 416, 61, 25));
            QCOMPARE(child<QPushButton>(w, "超级按钮_保存1")->geometry(), QRect(388, 416, 61, 25));
            click(w, "图形按钮_关闭");
        });
        child<QAction>(window_.get(), "菜单_修改")->trigger();
        QVERIFY(shown);
        QVERIFY(boxes_->boxes.isEmpty());
    }

    void saveMapsTheChoicesToTheStoredTypes() {
        selectRow(*window_, 1);
        whenShown(kWindow, [&](QWidget* w) {
            setBox(w, "编辑框_网络名称", QStringLiteral("乙站（改）"));
            click(w, "单选框_get");
            click(w, "单选框_json");
            child<QComboBox>(w, "组合框_编码转换")->setCurrentIndex(2);
            setBox(w, "编辑框_绑定语句", QStringLiteral("data.msg"));
            click(w, "超级按钮_保存1");
            // The window stays open after saving.
            QVERIFY(w->isVisible());
            QCOMPARE(boxes_->boxes.size(), 1);
            QCOMPARE(boxes_->boxes[0].text, QStringLiteral("模板信息修改成功！"));
            QCOMPARE(boxes_->boxes[0].caption, QStringLiteral("修改模板"));
            QCOMPARE(boxes_->boxes[0].icon, ui::BoxIcon::Information);
            const TemplateRow saved = templates(db_)[1];
            QCOMPARE(saved.name, std::string("乙站（改）"));
            QCOMPARE(saved.qtype, 1);
            QCOMPARE(saved.rtype, 1);
            QCOMPARE(saved.ctype, 2);
            QCOMPARE(saved.tying, std::string("data.msg"));
            // Untouched multi-line fields go back byte for byte.
            QCOMPARE(saved.headers, std::string("X-One: 1\r\nX-Two: 2"));
            QCOMPARE(saved.body, std::string("day=3"));
            QCOMPARE(window_->cellText(1, 1), QStringLiteral("乙站（改）"));
            QCOMPARE(window_->cellText(1, 2), QStringLiteral("GET"));
            QCOMPARE(window_->cellText(1, 3), QStringLiteral("JSON"));

            // And back: POST and 正则 are stored as 2; typed header lines end in CR LF.
            boxes_->boxes.clear();
            click(w, "单选框_post");
            click(w, "单选框_正则表达式");
            setBox(w, "编辑框_Headers", QStringLiteral("X-A: 1\nX-B: 2"));
            click(w, "超级按钮_保存1");
            QCOMPARE(boxes_->boxes.size(), 1);
            const TemplateRow again = templates(db_)[1];
            QCOMPARE(again.qtype, 2);
            QCOMPARE(again.rtype, 2);
            QCOMPARE(again.headers, std::string("X-A: 1\r\nX-B: 2"));
            QCOMPARE(window_->cellText(1, 2), QStringLiteral("POST"));
            QCOMPARE(window_->cellText(1, 3), QStringLiteral("正则"));
            click(w, "图形按钮_关闭");
        });
        child<QAction>(window_.get(), "菜单_修改")->trigger();
        QCOMPARE(boxes_->boxes.size(), 1);
        // The other site is as it was.
        QCOMPARE(templates(db_)[0].name, std::string("甲站"));
    }

    void saveNeedsAName() {
        selectRow(*window_, 1);
        whenShown(kWindow, [&](QWidget* w) {
            setBox(w, "编辑框_网络名称", QString());
            click(w, "超级按钮_保存1");
            click(w, "图形按钮_关闭");
        });
        child<QAction>(window_.get(), "菜单_修改")->trigger();
        QCOMPARE(boxes_->boxes.size(), 1);
        QCOMPARE(boxes_->boxes[0].text, QStringLiteral("修改信息不完整，请补充完毕再保存！"));
        QCOMPARE(boxes_->boxes[0].caption, QStringLiteral("修改工具"));
        QCOMPARE(templates(db_)[1].name, std::string("乙站"));
    }

    void saveRefusesANameLongerThanATemplateHolds() {
        selectRow(*window_, 1);
        whenShown(kWindow, [&](QWidget* w) {
            setBox(w, "编辑框_网络名称", QString(300, QChar(u'乙')));
            click(w, "超级按钮_保存1");
            click(w, "图形按钮_关闭");
        });
        child<QAction>(window_.get(), "菜单_修改")->trigger();
        QCOMPARE(boxes_->boxes.size(), 1);
        QCOMPARE(boxes_->boxes[0].text,
                 QStringLiteral("“网站”太长（300 个字，最多 200 个字），请改短后再保存。"));
        QCOMPARE(boxes_->boxes[0].caption, QStringLiteral("修改模板"));
        QCOMPARE(templates(db_)[1].name, std::string("乙站"));
    }

    void failedUpdateShowsTheLibraryMessage() {
        execute(db_,
                "create trigger refuse before update on Template begin "
                "select raise(abort, 'read only site'); end");
        selectRow(*window_, 1);
        whenShown(kWindow, [&](QWidget* w) {
            click(w, "超级按钮_保存1");
            click(w, "图形按钮_关闭");
        });
        child<QAction>(window_.get(), "菜单_修改")->trigger();
        QCOMPARE(boxes_->boxes.size(), 1);
        QCOMPARE(boxes_->boxes[0].text, QStringLiteral("模板信息提交失败！\r\nread only site"));
        QCOMPARE(boxes_->boxes[0].caption, QStringLiteral("修改模板"));
        QCOMPARE(boxes_->boxes[0].icon, ui::BoxIcon::Information);
    }

    void updateThatCannotBePreparedWarns() {
        // A file whose Template has no column Date: the list still loads (it reads the columns by
        // position), the update cannot be prepared.
        window_.reset();
        execute(db_,
                "create table Renamed (id INTEGER PRIMARY KEY AUTOINCREMENT, WebName TEXT, "
                "Weblogin TEXT, WebLink TEXT, Qtype INTEGER, Rtype INTEGER, Ctype INTEGER, "
                "Tying TEXT, Headers TEXT, Body TEXT)");
        execute(db_, "insert into Renamed select * from Template");
        execute(db_, "drop table Template");
        execute(db_, "alter table Renamed rename to Template");
        window_ = openWindow(db_);
        QCOMPARE(window_->rowCount(), 2);
        selectRow(*window_, 1);
        whenShown(kWindow, [&](QWidget* w) {
            click(w, "超级按钮_保存1");
            click(w, "图形按钮_关闭");
        });
        child<QAction>(window_.get(), "菜单_修改")->trigger();
        QCOMPARE(boxes_->boxes.size(), 1);
        QCOMPARE(boxes_->boxes[0].text, QStringLiteral("SQL语句执行失败！"));
        QCOMPARE(boxes_->boxes[0].caption, QStringLiteral("修改模板"));
        QCOMPARE(boxes_->boxes[0].icon, ui::BoxIcon::Warning);
    }

    void trialUsesTheWindowsFieldsAndTheEntrysCookie() {
        selectRow(*window_, 1);
        ui::ModifyDialog* dialog = nullptr;
        whenShown(kWindow, [&](QWidget* w) {
            dialog = qobject_cast<ui::ModifyDialog*>(w);
            // POST with the window's header lines and body; item 1 leaves an answer without %.
            click(w, "超级按钮_调试");
            SentRequest sent = site_->last();
            QCOMPARE(sent.method, std::string("POST"));
            QCOMPARE(sent.body, std::string("day=3"));
            QCOMPARE(sent.header("X-One"), std::string("1"));
            QCOMPARE(sent.header("X-Two"), std::string("2"));
            QCOMPARE(sent.header("Cookie"), std::string("u=1; v=2"));
            QCOMPARE(boxText(w, "编辑框_返回语句"), QStringLiteral("day=3"));
            // The request left the fields alone; the entry's cookie took what the site set.
            QCOMPARE(boxText(w, "编辑框_Headers"), QStringLiteral("X-One: 1\nX-Two: 2"));
            QCOMPARE(boxText(w, "编辑框_date"), QStringLiteral("day=3"));
            QCOMPARE(dialog->entry().Cookie, Text("sid=s1; u=1; v=2"));

            // Without header lines: the User-Agent line, and a GET has no body.
            setBox(w, "编辑框_Headers", QString());
            click(w, "单选框_get");
            click(w, "单选框_json");
            setBox(w, "编辑框_绑定语句", QStringLiteral("agent"));
            click(w, "超级按钮_调试");
            sent = site_->last();
            QCOMPARE(sent.method, std::string("GET"));
            QCOMPARE(sent.body, std::string());
            QCOMPARE(sent.header("Cookie"), std::string("sid=s1; u=1; v=2"));
            QVERIFY(boxText(w, "编辑框_返回语句").contains(QStringLiteral("Chrome/50.0.2661.87")));
            click(w, "图形按钮_关闭");
        });
        child<QAction>(window_.get(), "菜单_修改")->trigger();
        QVERIFY(boxes_->boxes.isEmpty());
        // In memory only: Sign.db keeps the account's cookie.
        QCOMPARE(accounts(db_)[1].cookie, std::string("u=1; v=2"));
    }

    void utf8AnswerHintsAndAConversionChangeEvaluatesItAgain() {
        selectRow(*window_, 1);
        QString hint;
        QString converted;
        bool hintGone = false;
        whenShown(kWindow, [&](QWidget* w) {
            setBox(w, "编辑框_签到链接", QString::fromStdString(site_->url("/utf8")));
            click(w, "单选框_json");
            setBox(w, "编辑框_绑定语句", QStringLiteral("msg"));
            child<QComboBox>(w, "组合框_编码转换")->setCurrentIndex(0);
            click(w, "超级按钮_调试");
            const auto* label = child<QLabel>(w, "标签_编码提示");
            hint = label->isVisible() ? label->text() : QString();
            child<QComboBox>(w, "组合框_编码转换")->setCurrentIndex(1);
            converted = boxText(w, "编辑框_返回语句");
            hintGone = label->isHidden();
            click(w, "图形按钮_关闭");
        });
        child<QAction>(window_.get(), "菜单_修改")->trigger();
        QCOMPARE(hint, QStringLiteral("答复像是 UTF-8 编码，请把“编码转换”设为“UTF-8解码”"));
        QCOMPARE(converted, QStringLiteral("签到成功"));
        QVERIFY(hintGone);
        QCOMPARE(site_->sent().size(), std::size_t{1});
    }

    void rulesAreLoadedAndSavedWithTheTemplate() {
        storeRules(db_, 2, {.success = "ok", .already = "", .expired = "denied"});
        selectRow(*window_, 1);
        QString shownSuccess;
        whenShown(kWindow, [&](QWidget* w) {
            whenShown(kRulesWindow, [&](QWidget* rules) {
                shownSuccess = boxText(rules, "编辑框_成功判定");
                setBox(rules, "编辑框_已签判定", QStringLiteral("今日已领"));
                setBox(rules, "编辑框_失效判定", QString());
                click(rules, "超级按钮_确定");
            });
            click(w, "超级按钮_判定规则");
            click(w, "超级按钮_保存1");
            click(w, "图形按钮_关闭");
        });
        child<QAction>(window_.get(), "菜单_修改")->trigger();
        QCOMPARE(shownSuccess, QStringLiteral("ok"));
        QCOMPARE(boxes_->boxes.size(), 1);
        QCOMPARE(boxes_->boxes[0].text, QStringLiteral("模板信息修改成功！"));
        const VerdictRules saved = storedRules(db_).at(2);
        QCOMPARE(saved.success, Text("ok"));
        QCOMPARE(saved.already, utf8ToAnsi("今日已领"));
        QCOMPARE(saved.expired, Text());
    }

    void trialShowsTheVerdictWithTheWindowsRules() {
        storeRules(db_, 2, {.success = "", .already = "day=3", .expired = ""});
        selectRow(*window_, 1);
        QString verdict;
        whenShown(kWindow, [&](QWidget* w) {
            click(w, "超级按钮_调试");
            verdict = trialVerdict(w);
            click(w, "图形按钮_关闭");
        });
        child<QAction>(window_.get(), "菜单_修改")->trigger();
        QCOMPARE(verdict, QStringLiteral("判定：已签到（规则：已签判定）"));
        QVERIFY(boxes_->boxes.isEmpty());
    }

private:
    std::unique_ptr<RecordingSite> site_;
    std::unique_ptr<QTemporaryDir> dir_;
    std::filesystem::path db_;
    std::unique_ptr<BoxRecorder> boxes_;
    std::unique_ptr<ui::MainWindow> window_;
};

QTEST_MAIN(ModifyTemplateTest)
#include "modify_template_test.moc"
