// "一键置入": the import window, the nine members into the editor and the pending capture (numbers
// or digit strings, missing members empty), the three verdict rules into the pending rules,
// "请求模式" 1 checking POST and the save storing it, choices out of range unchecking both, broken
// JSON with its message, and a window closed without "解 析". Multi-step templates: a community
// template saved with its steps, a curl command opened from a file (its name the site's, its
// cookie the pending one), a browser's HAR with two of its requests picked, Vesprey's JSON with
// "步骤", and the refusals that say what and where and change nothing.
#include "ui/dialogs/import_dialog.h"

#include <QDialog>
#include <QFile>
#include <QItemSelectionModel>
#include <QTableWidget>

#include "editor_test_support.h"
#include "engine/flow/flow.h"
#include "engine/flow/formats.h"
#include "store/flows.h"
#include "ui/window/capture.h"
#include "ui/window/template_editor.h"

using namespace vesprey;
using namespace vesprey::uitest;

namespace {

const QString kWindow = QStringLiteral("窗口_一键置入");
const QString kPickWindow = QStringLiteral("窗口_选择请求");

// One step of a community template.
std::string step(const std::string& method, const std::string& url, const std::string& data) {
    return "{\"request\": {\"method\": \"" + method + "\", \"url\": \"" + url +
           "\", \"headers\": [{\"name\": \"Cookie\", \"value\": \"{{cookie}}\"}], "
           "\"cookies\": [], \"data\": \"" +
           data + "\", \"mimeType\": \"application/x-www-form-urlencoded\"}, \"rule\": {}}";
}

const std::string kCommunity = "[" + step("GET", "https://c.test/login", "") + ", " +
                               step("POST", "https://c.test/sign", "day=1") + "]";

// A browser's HAR of three requests; the second and third send the user's cookie.
const std::string kBrowserHar =
    "{\"log\": {\"version\": \"1.2\", \"entries\": [\n"
    " {\"request\": {\"method\": \"GET\", \"url\": \"https://h.test/index\", "
    "\"headers\": [], \"cookies\": []}, \"response\": {\"status\": 200}},\n"
    " {\"request\": {\"method\": \"GET\", \"url\": \"https://h.test/logo.png\", "
    "\"headers\": [{\"name\": \"Cookie\", \"value\": \"auth=har\"}], \"cookies\": []}, "
    "\"response\": {\"status\": 304}},\n"
    " {\"request\": {\"method\": \"POST\", \"url\": \"https://h.test/sign\", "
    "\"headers\": [{\"name\": \"Cookie\", \"value\": \"auth=har\"}], \"cookies\": [], "
    "\"postData\": {\"mimeType\": \"application/x-www-form-urlencoded\", \"text\": "
    "\"qd=1\"}}, \"response\": {\"status\": 200}}]}}";

// The URLs of a community template's steps, in order.
std::vector<std::string> stepUrls(const std::string& json) {
    std::vector<std::string> urls;
    auto parsed = flow::parseFlow(json);
    if (const auto* read = std::get_if<flow::Flow>(&parsed)) {
        for (const flow::Entry& entry : read->entries) {
            if (const auto* one = std::get_if<flow::Step>(&entry.body)) {
                urls.push_back(one->urlText);
            }
        }
    }
    return urls;
}

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

    // The text "解 析" could not import is in the window when it opens again; after an import
    // the window opens empty.
    void aRefusedTextComesBackInTheNextWindow() {
        const QString refused = QStringLiteral("{\"网站\": \"坏的\", \"请求模式\": ");
        importText(refused);
        QCOMPARE(boxes_->boxes.size(), 1);
        QString shown;
        whenShown(kWindow, [&shown](QWidget* w) {
            shown = boxText(w, "编辑框_Cookie");
            setBox(w, "编辑框_Cookie", QStringLiteral("{\"网站\": \"好的\"}"));
            click(w, "超级按钮_保存");
        });
        click(window_.get(), "超级按钮_一键置入");
        QCOMPARE(shown, refused);
        QCOMPARE(boxText(window_.get(), "编辑框_网络名称"), QStringLiteral("好的"));
        whenShown(kWindow, [&shown](QWidget* w) {
            shown = boxText(w, "编辑框_Cookie");
            click(w, "图形按钮_关闭");
        });
        click(window_.get(), "超级按钮_一键置入");
        QCOMPARE(shown, QString());
    }

    // Filled in by the import, a long address shows its start.
    void addressesShowTheirStart() {
        const QString tail = QString(300, QLatin1Char('x'));
        importText(QStringLiteral("{\"网站\": \"长\", \"登录链接\": \"https://l.test/") + tail +
                   QStringLiteral("\", \"签到链接\": \"https://s.test/") + tail +
                   QStringLiteral("\"}"));
        QVERIFY(boxes_->boxes.isEmpty());
        for (const char* name : {"编辑框_登录链接", "编辑框_签到链接"}) {
            QCOMPARE(child<QLineEdit>(window_.get(), name)->cursorPosition(), 0);
        }
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

    void communityTemplateIsSavedWithItsSteps() {
        window_->capture().pending.Headers = "X-Old: 1";
        importText(QString::fromStdString(kCommunity));
        QVERIFY(boxes_->boxes.isEmpty());
        // Pasted: the user names the site.
        QCOMPARE(boxText(window_.get(), "编辑框_网络名称"), QString());
        QCOMPARE(boxText(window_.get(), "编辑框_签到链接"), QStringLiteral("https://c.test/login"));
        QVERIFY(checked(window_.get(), "单选框_get"));
        QVERIFY(window_->capture().pending.Headers.empty());
        QVERIFY(child<QLabel>(window_.get(), "标签_待保存")
                    ->toolTip()
                    .startsWith(QStringLiteral("多步骤模板（2 个请求）")));

        setBox(window_.get(), "编辑框_网络名称", QStringLiteral("社区站"));
        click(window_.get(), "超级按钮_保存");
        const auto rows = templates(db_);
        QCOMPARE(rows.size(), std::size_t{1});
        QCOMPARE(rows[0].name, std::string("社区站"));
        QCOMPARE(rows[0].link, std::string("https://c.test/login"));
        QCOMPARE(rows[0].qtype, 1);
        QCOMPARE(rows[0].headers, std::string());
        const auto normalized = flow::normalizedCommunityJson(kCommunity);
        QVERIFY(std::holds_alternative<std::string>(normalized));
        const auto flows = storedFlows(db_);
        QCOMPARE(flows.size(), std::size_t{1});
        QCOMPARE(flows.at(rows[0].id), std::get<std::string>(normalized));
        // The account is added without a cookie, for the template's inputs.
        QCOMPARE(accounts(db_).size(), std::size_t{1});
    }

    void curlCommandFromAFileNamesTheSiteAndSetsTheCookie() {
        const QString path = dir_->filePath(QStringLiteral("curl 站.txt"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("curl 'https://u.test/api/sign' -H 'Cookie: sid=curl7' --data-raw 'a=1'\n");
        file.close();
        openAndImport(path);
        QVERIFY(boxes_->boxes.isEmpty());
        QCOMPARE(boxText(window_.get(), "编辑框_网络名称"), QStringLiteral("curl 站"));
        QCOMPARE(boxText(window_.get(), "编辑框_签到链接"),
                 QStringLiteral("https://u.test/api/sign"));
        QVERIFY(checked(window_.get(), "单选框_post"));
        const ui::PendingCapture& pending = window_->capture().pending;
        QCOMPARE(pending.Cookie, Text("sid=curl7"));
        QVERIFY(child<QLabel>(window_.get(), "标签_待保存")
                    ->toolTip()
                    .contains(QStringLiteral("Cookie（一键置入）：sid=curl7")));
        QCOMPARE(stepUrls(window_->editor().pendingFlow().value_or("")),
                 std::vector<std::string>{"https://u.test/api/sign"});

        click(window_.get(), "超级按钮_保存");
        QCOMPARE(accounts(db_).size(), std::size_t{1});
        QCOMPARE(accounts(db_)[0].cookie, std::string("sid=curl7"));
        QCOMPARE(templates(db_)[0].qtype, 2);
    }

    void openedFilesAreReadAsUtf8OrCodePage936() {
        const QString path = dir_->filePath(QStringLiteral("gbk.json"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        const std::string json =
            utf8ToAnsi("{\"网站\": \"国标站\", \"签到链接\": \"https://g.test/\"}");
        file.write(json.data(), static_cast<qint64>(json.size()));
        file.close();
        openAndImport(path);
        QVERIFY(boxes_->boxes.isEmpty());
        QCOMPARE(boxText(window_.get(), "编辑框_网络名称"), QStringLiteral("国标站"));
        QVERIFY(!window_->editor().pendingFlow());

        // A file that is not there is said so, and the box keeps what it had.
        const QString missing = dir_->filePath(QStringLiteral("没有.json"));
        whenShown(kWindow, [missing](QWidget* w) {
            setBox(w, "编辑框_Cookie", QStringLiteral("留着"));
            QVERIFY(!qobject_cast<ui::ImportDialog*>(w)->openFile(missing));
            QCOMPARE(boxText(w, "编辑框_Cookie"), QStringLiteral("留着"));
            click(w, "图形按钮_关闭");
        });
        click(window_.get(), "超级按钮_一键置入");
        QCOMPARE(boxes_->boxes.size(), 1);
        QCOMPARE(boxes_->boxes[0].text,
                 QStringLiteral("无法读取模板文件：") + missing + QStringLiteral("。"));
    }

    void browserHarImportsThePickedRequests() {
        bool listed = false;
        whenShown(kPickWindow, [&](QWidget* w) {
            auto* list = child<QTableWidget>(w, "列表_HAR请求");
            QCOMPARE(list->rowCount(), 3);
            const QStringList second = {list->item(1, 0)->text(), list->item(1, 1)->text(),
                                        list->item(1, 2)->text(), list->item(1, 3)->text()};
            QCOMPARE(second,
                     (QStringList{QStringLiteral("2"), QStringLiteral("GET"), QStringLiteral("304"),
                                  QStringLiteral("https://h.test/logo.png")}));
            QVERIFY(!child<QPushButton>(w, "超级按钮_导入")->isEnabled());
            // Picked last to first: they are imported in the file's order.
            for (int row : {2, 0}) {
                list->selectionModel()->select(
                    list->model()->index(row, 0),
                    QItemSelectionModel::Select | QItemSelectionModel::Rows);
            }
            listed = true;
            click(w, "超级按钮_导入");
        });
        importText(QString::fromStdString(kBrowserHar));
        QVERIFY(listed);
        QVERIFY(boxes_->boxes.isEmpty());
        QCOMPARE(stepUrls(window_->editor().pendingFlow().value_or("")),
                 (std::vector<std::string>{"https://h.test/index", "https://h.test/sign"}));
        QCOMPARE(boxText(window_.get(), "编辑框_签到链接"), QStringLiteral("https://h.test/index"));
        QCOMPARE(window_->capture().pending.Cookie, Text("auth=har"));

        // Closing the list imports nothing.
        setBox(window_.get(), "编辑框_签到链接", QStringLiteral("https://kept.test/"));
        whenShown(kPickWindow, [](QWidget* w) { click(w, "图形按钮_关闭"); });
        importText(QString::fromStdString(kBrowserHar));
        QCOMPARE(boxText(window_.get(), "编辑框_签到链接"), QStringLiteral("https://kept.test/"));
        QCOMPARE(stepUrls(*window_->editor().pendingFlow()).size(), std::size_t{2});
    }

    void sharedJsonWithStepsSetsThePendingFlow() {
        importText(QString::fromStdString(
            "{\"网站\": \"分享站\", \"请求模式\": 1, \"步骤\": " + kCommunity + "}"));
        QVERIFY(boxes_->boxes.isEmpty());
        QCOMPARE(boxText(window_.get(), "编辑框_网络名称"), QStringLiteral("分享站"));
        // Without 签到链接 of its own, the first step's address.
        QCOMPARE(boxText(window_.get(), "编辑框_签到链接"), QStringLiteral("https://c.test/login"));
        QVERIFY(checked(window_.get(), "单选框_post"));
        QCOMPARE(window_->editor().pendingFlow(),
                 std::optional(std::get<std::string>(flow::normalizedCommunityJson(kCommunity))));
        // A one-request template imported after it has no steps.
        importText(QStringLiteral("{\"网站\": \"一步站\"}"));
        QVERIFY(!window_->editor().pendingFlow());
        QCOMPARE(child<QLabel>(window_.get(), "标签_待保存")->toolTip(), QStringLiteral("无"));
    }

    void refusalsSayWhatAndWhereAndChangeNothing_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("message");  // the start of the box's text
        QTest::newRow("captcha") << QString::fromStdString(
                                        "[" + step("POST", "api://util/dddd/ocr", "img={{img}}") +
                                        "]")
                                 << QStringLiteral(
                                        "模板没有导入：第 1 步要识别验证码（api://util/dddd/"
                                        "ocr），Vesprey 还不支持");
        QTest::newRow("curl form") << QStringLiteral("curl https://u.test/up -F file=@a.txt")
                                   << QStringLiteral("curl 命令没有导入：");
        QTest::newRow("HAR without entries")
            << QStringLiteral("{\"log\": {\"entries\": []}}")
            << QStringLiteral("HAR 文件没有导入：文件里没有请求。");
        QTest::newRow("broken array")
            << QStringLiteral("[{\"request\": ") << QStringLiteral("模板没有导入：");
        QTest::newRow("shared steps")
            << QString::fromStdString("{\"网站\": \"坏步骤\", \"步骤\": [" +
                                      step("GET", "api://util/dddd/ocr", "") + "]}")
            << QStringLiteral("模板没有导入：模板的“步骤”读不了：第 1 步");
        // The rules are checked as vesprey-cli import checks them.
        QTest::newRow("bad rule")
            << QStringLiteral("{\"网站\": \"坏规则\", \"已签判定\": \"done|(again\"}")
            << QStringLiteral(
                   "模板没有导入：判定规则不是有效的正则表达式：“已签判定”第 12 个字符有误");
        QTest::newRow("neither") << QStringLiteral("wget https://u.test/")
                                 << QStringLiteral("认不出这段内容：");
    }

    void refusalsSayWhatAndWhereAndChangeNothing() {
        QFETCH(QString, text);
        QFETCH(QString, message);
        importText(QString::fromStdString(kCommunity));
        setBox(window_.get(), "编辑框_网络名称", QStringLiteral("原来的"));
        window_->capture().pending.Cookie = "kept=1";
        const std::optional<std::string> flowBefore = window_->editor().pendingFlow();
        const QString labelBefore = child<QLabel>(window_.get(), "标签_待保存")->toolTip();

        importText(text);
        QCOMPARE(boxes_->boxes.size(), 1);
        QVERIFY2(boxes_->boxes[0].text.startsWith(message), qPrintable(boxes_->boxes[0].text));
        QCOMPARE(boxes_->boxes[0].caption, QStringLiteral("信息："));
        QCOMPARE(boxes_->boxes[0].icon, ui::BoxIcon::Error);
        QCOMPARE(boxText(window_.get(), "编辑框_网络名称"), QStringLiteral("原来的"));
        QCOMPARE(boxText(window_.get(), "编辑框_签到链接"), QStringLiteral("https://c.test/login"));
        QCOMPARE(window_->capture().pending.Cookie, Text("kept=1"));
        QCOMPARE(window_->editor().pendingFlow(), flowBefore);
        QCOMPARE(child<QLabel>(window_.get(), "标签_待保存")->toolTip(), labelBefore);
        QVERIFY(templates(db_).empty());
    }

private:
    // Opens the file at `path` in the import window and presses "解 析".
    void openAndImport(const QString& path) {
        whenShown(kWindow, [path](QWidget* w) {
            QVERIFY(qobject_cast<ui::ImportDialog*>(w)->openFile(path));
            click(w, "超级按钮_保存");
        });
        click(window_.get(), "超级按钮_一键置入");
    }

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
