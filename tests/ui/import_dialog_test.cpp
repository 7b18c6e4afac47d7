// "一键置入": the import window, the nine members into the editor and the pending capture (numbers
// or digit strings, missing members empty), the three verdict rules into the pending rules,
// "请求模式" 1 checking POST and the save storing it, choices out of range unchecking both, broken
// JSON with its message, and a window closed without "解 析".
#include <QDialog>
#include <QFile>

#include "editor_test_support.h"
#include "ui/window/capture.h"
#include "ui/window/template_editor.h"

using namespace vesprey;
using namespace vesprey::uitest;

namespace {

const QString kWindow = QStringLiteral("窗口_一键置入");

}  // namespace

class ImportDialogTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        db_ = makeDatabase(*dir_, {});
        boxes_ = std::make_unique<BoxRecorder>();
        window_ = openWindow(db_);
        window_->move(100, 150);
        window_->selectPage(1);
    }

    void cleanup() {
        window_.reset();
        boxes_.reset();
        dir_.reset();
    }

    void theWindow() {
        bool shown = false;
        whenShown(kWindow, [&](QWidget* w) {
            shown = true;
            QCOMPARE(child<QLabel>(w, "标签_标题")->text(), QStringLiteral("一键置入签到数据"));
            QCOMPARE(w->size(), QSize(451, 277));
            QCOMPARE(w->pos(), QPoint(100 + 170, 150 + 75));
            QCOMPARE(child<QPlainTextEdit>(w, "编辑框_Cookie")->geometry(),
                     QRect(71, 33, 369, 202));
            QCOMPARE(child<QPushButton>(w, "超级按钮_保存")->text(), QStringLiteral("解 析"));
            QCOMPARE(child<QPushButton>(w, "超级按钮_保存")->geometry(), QRect(356, 245, 85, 25));
            QVERIFY(qobject_cast<QDialog*>(w)->isModal());
            click(w, "图形按钮_关闭");
        });
        click(window_.get(), "超级按钮_一键置入");
        QVERIFY(shown);
        QVERIFY(boxes_->boxes.isEmpty());
    }

    void postTemplateFillsTheEditorAndSavesAsPost() {
        window_->capture().pending.Cookie = "kept=1";
        importText(QStringLiteral(
            "{\n"
            "\"网站\": \"导入站\", \"登录链接\": \"https://i.test/login\", \"签到链接\": "
            "\"https://i.test/sign\",\n"
            "\"请求模式\": 1, \"响应类型\": 1, \"绑定语句\": \"<b>(.*?)</b>\", \"编码转换\": 2,\n"
            "\"Headers\": \"Content-Type: text/plain\\r\\nX-Sig: 'q'\", \"Date\": \"a=1&b=2\"}"));
        QVERIFY(boxes_->boxes.isEmpty());
        QCOMPARE(boxText(window_.get(), "编辑框_网络名称"), QStringLiteral("导入站"));
        QCOMPARE(boxText(window_.get(), "编辑框_登录链接"), QStringLiteral("https://i.test/login"));
        QCOMPARE(boxText(window_.get(), "编辑框_签到链接"), QStringLiteral("https://i.test/sign"));
        QVERIFY(checked(window_.get(), "单选框_post"));
        QVERIFY(!checked(window_.get(), "单选框_get"));
        QVERIFY(checked(window_.get(), "单选框_正则表达式"));
        QVERIFY(!checked(window_.get(), "单选框_json"));
        QCOMPARE(boxText(window_.get(), "编辑框_绑定语句"), QStringLiteral("<b>(.*?)</b>"));
        QCOMPARE(child<QComboBox>(window_.get(), "组合框_编码转换")->currentIndex(), 2);
        const ui::PendingCapture& pending = window_->capture().pending;
        QCOMPARE(pending.Headers, Text("Content-Type: text/plain\r\nX-Sig: 'q'"));
        QCOMPARE(pending.Date, Text("a=1&b=2"));
        QCOMPARE(pending.Cookie, Text("kept=1"));  // the import sets no cookie
        QCOMPARE(window_->editor().importText().empty(), false);

        click(window_.get(), "超级按钮_保存");
        const auto rows = templates(db_);
        QCOMPARE(rows.size(), std::size_t{1});
        QCOMPARE(rows[0].name, std::string("导入站"));
        QCOMPARE(rows[0].qtype, 2);
        QCOMPARE(rows[0].rtype, 2);
        QCOMPARE(rows[0].ctype, 2);
        QCOMPARE(rows[0].headers, std::string("Content-Type: text/plain\r\nX-Sig: 'q'"));
        QCOMPARE(rows[0].body, std::string("a=1&b=2"));
        QCOMPARE(accounts(db_)[0].cookie, std::string("kept=1"));
    }

    void digitStringsAndMissingMembers() {
        setBox(window_.get(), "编辑框_登录链接", QStringLiteral("https://before.test/"));
        window_->capture().pending.Headers = "X-Old: 1";
        importText(
            QStringLiteral("{\"网站\": \"只有几项\", \"请求模式\": \"1\", \"响应类型\": \"0\"}"));
        QVERIFY(checked(window_.get(), "单选框_post"));
        QVERIFY(checked(window_.get(), "单选框_json"));
        // Missing members read as empty text or 0.
        QCOMPARE(boxText(window_.get(), "编辑框_登录链接"), QString());
        QCOMPARE(boxText(window_.get(), "编辑框_签到链接"), QString());
        QCOMPARE(boxText(window_.get(), "编辑框_绑定语句"), QString());
        QCOMPARE(child<QComboBox>(window_.get(), "组合框_编码转换")->currentIndex(), 0);
        QVERIFY(window_->capture().pending.Headers.empty());
        QVERIFY(window_->capture().pending.Date.empty());
    }

    void verdictRulesBecomeThePendingRules() {
        importText(
            QStringLiteral("{\"网站\": \"有规则\", \"成功判定\": \"领取成功\", "
                           "\"已签判定\": \"明天再来\", \"失效判定\": \"请登录\"}"));
        const VerdictRules& pending = window_->editor().pendingRules();
        QCOMPARE(pending.success, utf8ToAnsi("领取成功"));
        QCOMPARE(pending.already, utf8ToAnsi("明天再来"));
        QCOMPARE(pending.expired, utf8ToAnsi("请登录"));
        // A template without them leaves none.
        importText(QStringLiteral("{\"网站\": \"没有规则\"}"));
        QVERIFY(window_->editor().pendingRules().empty());
        QVERIFY(boxes_->boxes.isEmpty());
    }

    void invalidImportedRuleIsRefusedAtTheSave() {
        importText(QStringLiteral("{\"网站\": \"坏规则\", \"已签判定\": \"done|(again\"}"));
        click(window_.get(), "超级按钮_保存");
        QCOMPARE(boxes_->boxes.size(), 1);
        QCOMPARE(boxes_->boxes[0].text,
                 QStringLiteral("“已签判定”第 12 个字符有误：missing closing parenthesis"));
        QVERIFY(templates(db_).empty());
    }

    void choicesOutOfRangeUncheckBoth() {
        importText(QStringLiteral(
            "{\"网站\": \"怪值\", \"请求模式\": 5, \"响应类型\": -1, \"编码转换\": 9}"));
        QVERIFY(!checked(window_.get(), "单选框_get"));
        QVERIFY(!checked(window_.get(), "单选框_post"));
        QVERIFY(!checked(window_.get(), "单选框_json"));
        QVERIFY(!checked(window_.get(), "单选框_正则表达式"));
        QCOMPARE(child<QComboBox>(window_.get(), "组合框_编码转换")->currentIndex(), -1);
        // Neither checked: the save stores POST and 正则.
        click(window_.get(), "超级按钮_保存");
        const auto rows = templates(db_);
        QCOMPARE(rows.size(), std::size_t{1});
        QCOMPARE(rows[0].qtype, 2);
        QCOMPARE(rows[0].rtype, 2);
        QCOMPARE(rows[0].ctype, -1);
        // A later import checks one again.
        importText(QStringLiteral("{\"请求模式\": 0, \"响应类型\": 0}"));
        QVERIFY(checked(window_.get(), "单选框_get"));
        QVERIFY(checked(window_.get(), "单选框_json"));
    }

    void brokenJsonShowsTheParseMessage() {
        setBox(window_.get(), "编辑框_网络名称", QStringLiteral("原来的"));
        importText(QStringLiteral("{\"网站\": \"坏的\", \"请求模式\": "));
        QCOMPARE(boxes_->boxes.size(), 1);
        QCOMPARE(boxes_->boxes[0].text, QStringLiteral("Json数据匹配失败，请检检查语句是否有误！"));
        QCOMPARE(boxes_->boxes[0].caption, QStringLiteral("信息："));
        QCOMPARE(boxes_->boxes[0].icon, ui::BoxIcon::Error);
        QCOMPARE(boxText(window_.get(), "编辑框_网络名称"), QStringLiteral("原来的"));
    }

    void closingTheWindowImportsNothing() {
        importText(QStringLiteral("{\"网站\": \"第一次\"}"));
        setBox(window_.get(), "编辑框_网络名称", QStringLiteral("改过了"));
        whenShown(kWindow, [](QWidget* w) {
            setBox(w, "编辑框_Cookie", QStringLiteral("{\"网站\": \"不要\"}"));
            click(w, "图形按钮_关闭");
        });
        click(window_.get(), "超级按钮_一键置入");
        QCOMPARE(boxText(window_.get(), "编辑框_网络名称"), QStringLiteral("改过了"));
        // An empty text parsed with "解 析" imports nothing either.
        importText(QString());
        QCOMPARE(boxText(window_.get(), "编辑框_网络名称"), QStringLiteral("改过了"));
        QVERIFY(boxes_->boxes.isEmpty());
    }

    void theShippedExampleImports() {
        QFile file(QStringLiteral(VESPREY_EXAMPLE_TEMPLATES "/discuz-forum.json"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        importText(QString::fromUtf8(file.readAll()));
        QVERIFY(boxes_->boxes.isEmpty());
        QVERIFY(checked(window_.get(), "单选框_post"));
        QVERIFY(checked(window_.get(), "单选框_正则表达式"));
        QVERIFY(boxText(window_.get(), "编辑框_签到链接").startsWith(QStringLiteral("https://")));
        QVERIFY(window_->capture().pending.Headers.find("\r\nReferer: ") != Text::npos);
    }

private:
    // Pastes `json` into the import window and presses "解 析".
    void importText(const QString& json) {
        whenShown(kWindow, [json](QWidget* w) {
            setBox(w, "编辑框_Cookie", json);
            click(w, "超级按钮_保存");
        });
        click(window_.get(), "超级按钮_一键置入");
    }

    std::unique_ptr<QTemporaryDir> dir_;
    std::filesystem::path db_;
    std::unique_ptr<BoxRecorder> boxes_;
    std::unique_ptr<ui::MainWindow> window_;
};

QTEST_MAIN(ImportDialogTest)
#include "import_dialog_test.moc"
