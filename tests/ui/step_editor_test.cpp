// "多步骤…" on page 1 "模板区": the step list of a template, every field of a step, the checks and
// extractions, the control entries indented, a field the template cannot run with marked before
// the save; a one-request template stays one unless its step is changed; what is saved is what
// `vesprey-cli export` prints for the template.
#include "ui/dialogs/step_editor.h"

#include <QCheckBox>
#include <QComboBox>
#include <QListWidget>
#include <QMenu>
#include <QProcess>
#include <QTableWidget>
#include <memory>
#include <string>
#include <variant>

#include "editor_test_support.h"
#include "engine/flow/step_list.h"
#include "ui/dialogs/modify_dialog.h"
#include "ui/window/capture.h"
#include "ui/window/main_window.h"
#include "ui/window/template_editor.h"

using namespace vesprey;
using namespace vesprey::uitest;

namespace {

QStringList rows(ui::StepEditorDialog* steps) {
    QStringList out;
    auto* list = child<QListWidget>(steps, "列表_步骤");
    for (int i = 0; i < list->count(); ++i) {
        out << list->item(i)->text();
    }
    return out;
}

void selectEntry(ui::StepEditorDialog* steps, int row) {
    child<QListWidget>(steps, "列表_步骤")->setCurrentRow(row);
}

void addControl(ui::StepEditorDialog* steps, const QString& caption) {
    auto* button = child<QPushButton>(steps, "按钮_添加控制");
    for (QAction* action : button->menu()->actions()) {
        if (action->text() == caption) {
            action->trigger();
            return;
        }
    }
    qFatal("no control entry %s", qPrintable(caption));
}

// A new row of the checks (`success` or not) or of the extractions (`name` given), looking in
// `place` (0 内容, 1 状态码, 2 响应头, 3 某个响应头 `header`).
void addRule(ui::StepEditorDialog* steps, const QString& re, int place, const QString& header = {},
             std::optional<bool> success = std::nullopt, const QString& name = {}) {
    const bool check = success.has_value();
    click(steps, check ? "按钮_添加检查" : "按钮_添加提取");
    auto* table = child<QTableWidget>(steps, check ? "表格_检查" : "表格_提取");
    const int row = table->rowCount() - 1;
    if (check) {
        qobject_cast<QComboBox*>(table->cellWidget(row, 0))->setCurrentIndex(*success ? 0 : 1);
    } else {
        table->item(row, 0)->setText(name);
    }
    table->item(row, 1)->setText(re);
    qobject_cast<QComboBox*>(table->cellWidget(row, 2))->setCurrentIndex(place);
    table->item(row, 3)->setText(header);
}

// What `vesprey-cli export` prints for the template.
QByteArray exported(const std::filesystem::path& db, int id) {
    QProcess cli;
    cli.start(QStringLiteral(VESPREY_CLI),
              {QStringLiteral("export"), QStringLiteral("--db"),
               QString::fromStdString(db.string()), QStringLiteral("--id"), QString::number(id)});
    if (!cli.waitForFinished(60000) || cli.exitCode() != 0) {
        qWarning("export failed: %s", cli.readAllStandardError().constData());
        return {};
    }
    return cli.readAllStandardOutput();
}

}  // namespace

class StepEditorTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        db_ = makeDatabase(*dir_,
                           {{.name = "老站", .link = "https://o.test/sign", .cookies = {"a=1"}}});
        boxes_ = std::make_unique<BoxRecorder>();
        window_ = openWindow(db_);
        window_->selectPage(1);
    }

    void cleanup() {
        window_.reset();
        boxes_.reset();
        dir_.reset();
    }

    void aOneRequestTemplateStaysOneUnlessItsStepChanges() {
        setBox(window_.get(), "编辑框_网络名称", QStringLiteral("单站"));
        setBox(window_.get(), "编辑框_签到链接", QStringLiteral("https://a.test/sign"));
        click(window_.get(), "单选框_post");
        window_->capture().pending.Headers = "X-A: 1";
        window_->capture().pending.Date = "day=1";

        ui::StepEditorDialog* steps = openSteps();
        QCOMPARE(rows(steps), QStringList{QStringLiteral("1. POST https://a.test/sign  — 单站")});
        QVERIFY(boxText(steps, "编辑框_请求头").contains(QStringLiteral("X-A: 1")));
        QVERIFY(boxText(steps, "编辑框_请求头").contains(QStringLiteral("Cookie: {{cookie}}")));
        QCOMPARE(boxText(steps, "编辑框_请求体"), QStringLiteral("day=1"));
        close(steps, "按钮_确定");
        QVERIFY(!editor().pendingFlow());
        QVERIFY(window_->capture().pending.Headers == "X-A: 1");

        steps = openSteps();
        setBox(steps, "编辑框_请求体", QStringLiteral("day=2"));
        close(steps, "按钮_确定");
        QVERIFY(editor().pendingFlow());
        // The step holds the header lines and the body now.
        QVERIFY(window_->capture().pending.Headers.empty());
        QVERIFY(window_->capture().pending.Date.empty());
        QCOMPARE(boxText(window_.get(), "编辑框_签到链接"), QStringLiteral("https://a.test/sign"));
        const std::string pending = *editor().pendingFlow();
        click(window_.get(), "超级按钮_保存");
        const auto flows = storedFlows(db_);
        QCOMPARE(flows.size(), std::size_t{1});
        QCOMPARE(flows.begin()->second, pending);
        QVERIFY(!editor().pendingFlow());  // saved with the site
    }

    void everyFieldAndControlEntryIsSavedAsExportPrintsIt() {
        ui::StepEditorDialog* steps = openSteps();
        QCOMPARE(rows(steps).size(), 1);
        // The first request reads the forum's formhash.
        setBox(steps, "编辑框_注释", QStringLiteral("首页"));
        setBox(steps, "编辑框_网址", QStringLiteral("https://f.test/forum.php"));
        setBox(steps, "编辑框_请求头",
               QStringLiteral("Cookie: {{cookie}}\nReferer: https://f.test/\n# DNT: 1"));
        setBox(steps, "编辑框_Cookie条目", QStringLiteral("lang=zh"));
        addRule(steps, QStringLiteral("formhash=(\\w+)"), 0, {}, std::nullopt,
                QStringLiteral("formhash"));
        addRule(steps, QStringLiteral("200"), 1, {}, true);
        // If it has one: post it, checking a header of the answer.
        addControl(steps, QStringLiteral("如果"));
        setBox(steps, "编辑框_表达式", QStringLiteral("formhash"));
        click(steps, "按钮_添加请求");
        child<QComboBox>(steps, "组合框_方法")->setCurrentText(QStringLiteral("POST"));
        setBox(steps, "编辑框_网址", QStringLiteral("https://f.test/sign"));
        setBox(steps, "编辑框_请求体", QStringLiteral("formhash={{formhash}}&t={{timestamp()}}"));
        setBox(steps, "编辑框_类型", QStringLiteral("application/x-www-form-urlencoded"));
        addRule(steps, QStringLiteral("/失败/i"), 3, QStringLiteral("X-Result"), false);
        addRule(steps, QStringLiteral("msg=(.*)"), 2, {}, std::nullopt, QStringLiteral("msg"));
        // A copy of it, not run, moved above the original and back.
        click(steps, "按钮_复制步骤");
        child<QCheckBox>(steps, "复选框_启用")->setChecked(false);
        click(steps, "按钮_上移");
        click(steps, "按钮_下移");
        // Otherwise: a loop, a while loop and a variable, each in its block.
        selectEntry(steps, 3);
        addControl(steps, QStringLiteral("否则"));
        addControl(steps, QStringLiteral("循环"));
        setBox(steps, "编辑框_表达式", QStringLiteral("x in [1, 2]"));
        addControl(steps, QStringLiteral("设置变量"));
        setBox(steps, "编辑框_表达式", QStringLiteral("n = x"));
        selectEntry(steps, 7);  // the end of the loop
        addControl(steps, QStringLiteral("当…时循环"));
        setBox(steps, "编辑框_表达式", QStringLiteral("n < 0"));
        // An entry added by mistake goes again.
        click(steps, "按钮_添加请求");
        click(steps, "按钮_删除步骤");

        QCOMPARE(rows(steps),
                 (QStringList{
                     QStringLiteral("1. GET https://f.test/forum.php  — 首页"),
                     QStringLiteral("2. 如果 formhash"),
                     QStringLiteral("    3. POST https://f.test/sign"),
                     QStringLiteral("    —  POST https://f.test/sign（停用）"),
                     QStringLiteral("4. 否则"), QStringLiteral("    5. 循环 x in [1, 2]"),
                     QStringLiteral("        6. 设置变量 n = x"), QStringLiteral("    7. 结束循环"),
                     QStringLiteral("    8. 当…时循环 n < 0"),
                     QStringLiteral("    9. 结束当…时循环"), QStringLiteral("10. 结束如果")}));
        QCOMPARE(child<QLabel>(steps, "标签_问题")->text(), QString());
        close(steps, "按钮_确定");

        setBox(window_.get(), "编辑框_网络名称", QStringLiteral("论坛"));
        const std::string pending = *editor().pendingFlow();
        click(window_.get(), "超级按钮_保存");
        const auto flows = storedFlows(db_);
        QCOMPARE(flows.size(), std::size_t{1});
        const std::string& saved = flows.begin()->second;
        QCOMPARE(saved, pending);
        QCOMPARE(exported(db_, flows.begin()->first), QByteArray::fromStdString(saved + "\n"));

        // Every field as it was made.
        const auto read = flow::readStepList(saved);
        QVERIFY(std::holds_alternative<flow::StepList>(read));
        const auto& entries = std::get<flow::StepList>(read).entries;
        QCOMPARE(entries.size(), std::size_t{11});
        const flow::EditedEntry& first = entries[0];
        QCOMPARE(first.comment, std::string("首页"));
        QCOMPARE(first.headers.size(), std::size_t{3});
        QVERIFY(!first.headers[2].checked);
        QVERIFY(first.cookies == (std::vector<flow::EditedPair>{{"lang", "zh", true}}));
        QVERIFY(first.extractions ==
                (std::vector<flow::EditedRule>{{"formhash", "formhash=(\\w+)", "content"}}));
        QVERIFY(first.success == (std::vector<flow::EditedRule>{{"", "200", "status"}}));
        const flow::EditedEntry& post = entries[2];
        QCOMPARE(post.method, std::string("POST"));
        QCOMPARE(post.data, std::string("formhash={{formhash}}&t={{timestamp()}}"));
        QCOMPARE(post.mimeType, std::string("application/x-www-form-urlencoded"));
        QVERIFY(post.failure ==
                (std::vector<flow::EditedRule>{{"", "/失败/i", "header-X-Result"}}));
        QVERIFY(post.extractions == (std::vector<flow::EditedRule>{{"msg", "msg=(.*)", "header"}}));
        QVERIFY(!entries[3].checked);
        QCOMPARE(entries[5].control, flow::ControlKind::For);
        QCOMPARE(entries[6].expression, std::string("n = x"));
        QCOMPARE(entries[10].control, flow::ControlKind::Endif);
    }

    void aFieldThatCannotRunIsMarkedAndKeepsTheListOpen() {
        ui::StepEditorDialog* steps = openSteps();
        setBox(steps, "编辑框_网址", QStringLiteral("https://a.test/{{ day"));
        auto* url = child<QLineEdit>(steps, "编辑框_网址");
        QVERIFY(!url->styleSheet().isEmpty());
        QVERIFY2(url->toolTip().startsWith(QStringLiteral("网址：读不懂的表达式（第")),
                 qPrintable(url->toolTip()));
        QVERIFY(rows(steps).front().startsWith(QStringLiteral("⚠ ")));
        addRule(steps, QStringLiteral("("), 0, {}, true);
        QVERIFY(child<QLabel>(steps, "标签_问题")
                    ->text()
                    .contains(QStringLiteral("成功条件第 1 行：正则表达式有误")));
        QCOMPARE(child<QTableWidget>(steps, "表格_检查")->item(0, 1)->background().color(),
                 QColor(255, 222, 222));
        click(steps, "按钮_确定");
        QVERIFY(steps->isVisible());

        setBox(steps, "编辑框_网址", QStringLiteral("https://a.test/{{ day }}"));
        child<QTableWidget>(steps, "表格_检查")->item(0, 1)->setText(QStringLiteral("\\("));
        QVERIFY(url->styleSheet().isEmpty());
        // A block without its end is marked on the entry that opens it.
        addControl(steps, QStringLiteral("如果"));
        setBox(steps, "编辑框_表达式", QStringLiteral("day"));
        selectEntry(steps, 2);
        click(steps, "按钮_删除步骤");
        selectEntry(steps, 0);
        click(steps, "按钮_确定");
        QVERIFY(steps->isVisible());
        QCOMPARE(child<QListWidget>(steps, "列表_步骤")->currentRow(), 1);
        QVERIFY2(child<QLabel>(steps, "标签_问题")->text().contains(QStringLiteral("endif")),
                 qPrintable(child<QLabel>(steps, "标签_问题")->text()));
        QVERIFY(!editor().pendingFlow());

        addControl(steps, QStringLiteral("结束如果"));
        close(steps, "按钮_确定");
        QVERIFY(editor().pendingFlow());
    }

    void theLoginCheckboxMarksARequestAsALoginStepAndComesBackChecked() {
        ui::StepEditorDialog* steps = openSteps();
        setBox(steps, "编辑框_网址", QStringLiteral("https://l.test/login"));
        setBox(steps, "编辑框_请求体",
               QStringLiteral("u={{username}}&code={{ totp(totp_secret) }}"));
        child<QCheckBox>(steps, "复选框_登录")->setChecked(true);
        click(steps, "按钮_添加请求");
        setBox(steps, "编辑框_网址", QStringLiteral("https://l.test/sign"));
        QVERIFY(!child<QCheckBox>(steps, "复选框_登录")->isChecked());
        QCOMPARE(rows(steps), (QStringList{QStringLiteral("1. 【登录】GET https://l.test/login"),
                                           QStringLiteral("2. GET https://l.test/sign")}));
        close(steps, "按钮_确定");

        const std::string pending = *editor().pendingFlow();
        const auto read = flow::readStepList(pending);
        QVERIFY(std::holds_alternative<flow::StepList>(read));
        const auto& entries = std::get<flow::StepList>(read).entries;
        QCOMPARE(entries.size(), std::size_t{2});
        QVERIFY(entries[0].login);
        QVERIFY(!entries[1].login);

        // Opened again, the mark is on the first step, and clearing it takes it out.
        steps = openSteps();
        selectEntry(steps, 0);
        QVERIFY(child<QCheckBox>(steps, "复选框_登录")->isChecked());
        child<QCheckBox>(steps, "复选框_登录")->setChecked(false);
        close(steps, "按钮_确定");
        QVERIFY(editor().pendingFlow()->find("\"login\"") == std::string::npos);
    }

    void anImportedFlowOpensItsSteps() {
        const std::string community =
            "[{\"request\": {\"url\": \"https://c.test/a\"}}, {\"request\": {\"method\": "
            "\"POST\", \"url\": \"https://c.test/b\"}}]";
        QVERIFY(editor().importTemplate(community, Text(community), QString()));
        ui::StepEditorDialog* steps = editor().stepEditor();
        QVERIFY(steps != nullptr && steps->isVisible());
        QCOMPARE(rows(steps), (QStringList{QStringLiteral("1. GET https://c.test/a"),
                                           QStringLiteral("2. POST https://c.test/b")}));
        const std::string imported = *editor().pendingFlow();
        close(steps, "按钮_取消");
        QCOMPARE(*editor().pendingFlow(), imported);
    }

    void theModifyWindowEditsAndSavesASitesSteps() {
        selectRow(*window_, 0);
        whenShown(QStringLiteral("窗口_修改模板"), [&](QWidget* w) {
            auto* modify = qobject_cast<ui::ModifyDialog*>(w);
            click(w, "超级按钮_多步骤");
            ui::StepEditorDialog* steps = modify->stepEditor();
            QVERIFY(steps != nullptr);
            QCOMPARE(rows(steps),
                     QStringList{QStringLiteral("1. GET https://o.test/sign  — 老站")});
            click(steps, "按钮_添加请求");
            setBox(steps, "编辑框_网址", QStringLiteral("https://o.test/second"));
            click(steps, "按钮_确定");
            QTRY_VERIFY(modify->stepEditor() == nullptr);
            click(w, "超级按钮_保存1");
            click(w, "图形按钮_关闭");
        });
        child<QAction>(window_.get(), "菜单_修改")->trigger();
        const int id = templates(db_).at(0).id;
        const auto flows = storedFlows(db_);
        QCOMPARE(flows.size(), std::size_t{1});
        const auto read = flow::readStepList(flows.at(id));
        QVERIFY(std::holds_alternative<flow::StepList>(read));
        QCOMPARE(std::get<flow::StepList>(read).entries.size(), std::size_t{2});
        QCOMPARE(exported(db_, id), QByteArray::fromStdString(flows.at(id) + "\n"));
    }

private:
    ui::TemplateEditor& editor() { return window_->editor(); }

    ui::StepEditorDialog* openSteps() {
        click(window_.get(), "超级按钮_多步骤");
        ui::StepEditorDialog* steps = editor().stepEditor();
        if (steps == nullptr || !steps->isVisible()) {
            qFatal("the step list did not open");
        }
        return steps;
    }

    // Presses `button` of the list and waits for it to go.
    void close(ui::StepEditorDialog* steps, const char* button) {
        click(steps, button);
        QTRY_VERIFY(editor().stepEditor() == nullptr);
    }

    std::unique_ptr<QTemporaryDir> dir_;
    std::filesystem::path db_;
    std::unique_ptr<BoxRecorder> boxes_;
    std::unique_ptr<ui::MainWindow> window_;
};

QTEST_MAIN(StepEditorTest)
#include "step_editor_test.moc"
