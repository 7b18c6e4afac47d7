// Page 1 "模板区": the trial request against a site on 127.0.0.1 in JSON and regex mode, what
// the pending capture sends and receives and how the page shows it, the verdict the trial shows,
// the encoding hint, the conversion change, "初始化", the rules window, and "保存" with its
// messages and the rows and rules it writes.
#include "ui/window/template_editor.h"

#include <QCursor>
#include <QGuiApplication>

#include "editor_test_support.h"
#include "ui/window/capture.h"

using namespace vesprey;
using namespace vesprey::uitest;

namespace {

const QString kRulesWindow = QStringLiteral("窗口_判定规则");

const std::string kChromeAgent =
    "Mozilla/5.0 (Windows NT 6.1; WOW64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/50.0.2661.87 Safari/537.36";

std::string answerFor(const httplib::Request& request) {
    if (request.path == "/json") {
        return gbk("{\"data\":{\"msg\":\"今日签到成功\",\"days\":3}}");
    }
    if (request.path == "/utf8") {
        return "{\"msg\":\"今日签到成功\"}";  // UTF-8, as many sites answer
    }
    if (request.path == "/failed") {
        // Raw UTF-8: the page decodes it with "UTF-8解码".
        return "{\"msg\":\"匹配失败\",\"tip\":\"签到\"}";
    }
    if (request.path == "/html") {
        return gbk("<html><p class=\"m\">已连续签到 7 天</p></html>");
    }
    if (request.path == "/lines") {
        return "\\u7b7e\\u5230\r\nit's";
    }
    if (request.path == "/echo") {
        return "{\"body\":\"" + request.body + "\"}";
    }
    return "nothing here";
}

}  // namespace

class TemplateEditorTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        site_ = std::make_unique<RecordingSite>(answerFor);
        dir_ = std::make_unique<QTemporaryDir>();
        db_ = makeDatabase(*dir_, {{.name = "老站", .cookies = {"old=1"}}});
        boxes_ = std::make_unique<BoxRecorder>();
        window_ = openWindow(db_);
        window_->selectPage(1);
    }

    void cleanup() {
        window_.reset();
        boxes_.reset();
        site_.reset();
        dir_.reset();
    }

    void trialInJsonModeMergesThePendingCookie() {
        setBox(window_.get(), "编辑框_签到链接", QString::fromStdString(site_->url("/json")));
        setBox(window_.get(), "编辑框_绑定语句", QStringLiteral("data.msg=>结果：[@]"));
        window_->capture().pending.Cookie = "uid=7";
        click(window_.get(), "超级按钮_调试");

        QCOMPARE(boxText(window_.get(), "编辑框_返回语句"), QStringLiteral("结果：今日签到成功"));
        const SentRequest sent = site_->last();
        QCOMPARE(sent.method, std::string("GET"));
        QCOMPARE(sent.body, std::string());
        QCOMPARE(sent.header("Cookie"), std::string("uid=7"));
        QCOMPARE(sent.header("User-Agent"), kChromeAgent);
        // After the trial the pending cookie holds what the site set as well (new cookies
        // first); no header lines were pending, so none are now.
        QCOMPARE(QString::fromStdString(window_->capture().pending.Cookie),
                 QStringLiteral("sid=s1; uid=7"));
        QVERIFY(window_->capture().pending.Headers.empty());
        QVERIFY(boxes_->boxes.isEmpty());
        QCOMPARE(QGuiApplication::overrideCursor(), nullptr);
    }

    void jsonResultMatchFailedShowsTheWholeConvertedAnswer() {
        setBox(window_.get(), "编辑框_签到链接", QString::fromStdString(site_->url("/failed")));
        setBox(window_.get(), "编辑框_绑定语句", QStringLiteral("msg"));
        {
            // Choosing the conversion converts the (empty) box; nothing else happens.
            child<QComboBox>(window_.get(), "组合框_编码转换")->setCurrentIndex(1);
        }
        click(window_.get(), "超级按钮_调试");
        QCOMPARE(boxText(window_.get(), "编辑框_返回语句"),
                 QStringLiteral("{\"msg\":\"匹配失败\",\"tip\":\"签到\"}"));

        // A path that is not there gives the whole answer too.
        setBox(window_.get(), "编辑框_绑定语句", QStringLiteral("data.none"));
        click(window_.get(), "超级按钮_调试");
        QCOMPARE(boxText(window_.get(), "编辑框_返回语句"),
                 QStringLiteral("{\"msg\":\"匹配失败\",\"tip\":\"签到\"}"));
        QVERIFY(boxes_->boxes.isEmpty());
    }

    void trialInRegexMode() {
        setBox(window_.get(), "编辑框_签到链接", QString::fromStdString(site_->url("/html")));
        click(window_.get(), "单选框_正则表达式");
        setBox(window_.get(), "编辑框_绑定语句", QStringLiteral("<p class=#引号m#引号>(.*?)</p>"));
        click(window_.get(), "超级按钮_调试");
        QCOMPARE(boxText(window_.get(), "编辑框_返回语句"), QStringLiteral("已连续签到 7 天"));
        QVERIFY(boxes_->boxes.isEmpty());
    }

    void regexWithoutMatchShowsItsMessageThenTheAnswer() {
        setBox(window_.get(), "编辑框_签到链接", QString::fromStdString(site_->url("/html")));
        click(window_.get(), "单选框_正则表达式");
        setBox(window_.get(), "编辑框_绑定语句", QStringLiteral("<span>(\\d+)</span>"));
        bool busyDuringBox = true;
        boxes_->onBox = [&](const ui::BoxRequest&) {
            busyDuringBox = QGuiApplication::overrideCursor() != nullptr;
        };
        click(window_.get(), "超级按钮_调试");
        QCOMPARE(boxes_->boxes.size(), 1);
        QCOMPARE(boxes_->boxes[0].text,
                 QStringLiteral("匹配失败，请检检查正则语句是否有误，数量：0"));
        QCOMPARE(boxes_->boxes[0].caption, QStringLiteral("信息："));
        QCOMPARE(boxes_->boxes[0].icon, ui::BoxIcon::Error);
        QVERIFY(!busyDuringBox);  // the wait cursor is gone while the user reads the message
        QCOMPARE(boxText(window_.get(), "编辑框_返回语句"),
                 QStringLiteral("<html><p class=\"m\">已连续签到 7 天</p></html>"));
    }

    void pendingHeadersAreSentAsTheyAreWithThePendingBody() {
        setBox(window_.get(), "编辑框_签到链接", QString::fromStdString(site_->url("/echo")));
        click(window_.get(), "单选框_post");
        setBox(window_.get(), "编辑框_绑定语句", QStringLiteral("body"));
        ui::PendingCapture& pending = window_->capture().pending;
        pending.Headers = "X-Token: t7\r\nUser-Agent: VespreyTest/1";
        pending.Date = "day=1&formhash=ab";
        click(window_.get(), "超级按钮_调试");

        const SentRequest sent = site_->last();
        QCOMPARE(sent.method, std::string("POST"));
        QCOMPARE(sent.body, std::string("day=1&formhash=ab"));
        QCOMPARE(sent.header("X-Token"), std::string("t7"));
        QCOMPARE(sent.header("User-Agent"), std::string("VespreyTest/1"));
        QCOMPARE(boxText(window_.get(), "编辑框_返回语句"), QStringLiteral("day=1&formhash=ab"));
        // The pending lines are now completed with the default headers, the given ones first.
        QVERIFY(pending.Headers.starts_with("X-Token: t7\r\nUser-Agent: VespreyTest/1\r\n"));
        QVERIFY(pending.Headers.find("Referer: " + site_->url("/echo")) != Text::npos);
        QCOMPARE(pending.Headers.find("Chrome/50"), Text::npos);
    }

    void trialShowsTheVerdictThePassWouldGive() {
        setBox(window_.get(), "编辑框_签到链接", QString::fromStdString(site_->url("/json")));
        setBox(window_.get(), "编辑框_绑定语句", QStringLiteral("data.msg"));
        click(window_.get(), "超级按钮_调试");
        QCOMPARE(trialVerdict(window_.get()), QStringLiteral("判定：成功（内置：成功）"));

        // The pending rules come before the built-in ones.
        enterRules({.expired = QStringLiteral("今日签到")});
        // The verdict shown was made by the rules before: it goes.
        QCOMPARE(trialVerdict(window_.get()), QString());
        click(window_.get(), "超级按钮_调试");
        QCOMPARE(trialVerdict(window_.get()), QStringLiteral("判定：Cookie失效（规则：失效判定）"));
        // The result box shows what it always did.
        QCOMPARE(boxText(window_.get(), "编辑框_返回语句"), QStringLiteral("今日签到成功"));

        click(window_.get(), "超级按钮_初始化");
        QCOMPARE(trialVerdict(window_.get()), QString());
        QVERIFY(window_->editor().pendingRules().empty());
        QVERIFY(boxes_->boxes.isEmpty());
    }

    void rulesWindowRefusesAnInvalidRule() {
        bool refused = false;
        whenShown(kRulesWindow, [&](QWidget* w) {
            setBox(w, "编辑框_成功判定", QStringLiteral("签到成功"));
            setBox(w, "编辑框_失效判定", QStringLiteral("expired|(login"));
            click(w, "超级按钮_确定");
            refused = w->isVisible();
            click(w, "超级按钮_取消");
        });
        click(window_.get(), "超级按钮_判定规则");
        QVERIFY(refused);
        QCOMPARE(boxes_->boxes.size(), 1);
        QCOMPARE(boxes_->boxes[0].text,
                 QStringLiteral("“失效判定”第 15 个字符有误：括号 ( 没有对应的 )"));
        QCOMPARE(boxes_->boxes[0].caption, QStringLiteral("判定规则"));
        // Cancelled: nothing of it is kept.
        QVERIFY(window_->editor().pendingRules().empty());
    }

    void saveStoresTheRulesWithTheNewSite() {
        setBox(window_.get(), "编辑框_网络名称", QStringLiteral("有规则"));
        setBox(window_.get(), "编辑框_签到链接", QStringLiteral("https://r.test/sign"));
        enterRules(
            {.success = QStringLiteral("打卡完成"), .expired = QStringLiteral("请重新授权")});
        click(window_.get(), "超级按钮_保存");
        QCOMPARE(boxes_->boxes.size(), 1);
        QCOMPARE(boxes_->boxes[0].text, QStringLiteral("新增网站模板成功！"));

        const auto rows = templates(db_);
        QCOMPARE(rows.size(), std::size_t{2});
        const auto rules = storedRules(db_);
        QCOMPARE(rules.size(), std::size_t{1});
        const VerdictRules& stored = rules.at(rows[1].id);
        QCOMPARE(stored.success, utf8ToAnsi("打卡完成"));
        QCOMPARE(stored.already, Text());
        QCOMPARE(stored.expired, utf8ToAnsi("请重新授权"));
    }

    void saveRefusesFieldsLongerThanATemplateHolds() {
        const struct {
            const char* box;
            QString text;
            Text pendingCookie;
            QString said;
        } cases[] = {
            {"编辑框_网络名称",
             QString(201, QChar(u'站')),
             {},
             QStringLiteral("“网站”太长（201 个字，最多 200 个字），请改短后再保存。")},
            {"编辑框_签到链接",
             QStringLiteral("https://l.test/") + QString(8200, QChar(u'a')),
             {},
             QStringLiteral("“签到链接”太长")},
            {"编辑框_签到链接", QStringLiteral("https://c.test/"), Text(65 * 1024 + 1, 'c'),
             QStringLiteral("Cookie 太长")},
        };
        for (const auto& c : cases) {
            boxes_->boxes.clear();
            setBox(window_.get(), "编辑框_网络名称", QStringLiteral("长站"));
            setBox(window_.get(), c.box, c.text);
            window_->capture().pending.Cookie = c.pendingCookie;
            click(window_.get(), "超级按钮_保存");
            QCOMPARE(boxes_->boxes.size(), 1);
            QVERIFY2(boxes_->boxes[0].text.startsWith(c.said), qPrintable(boxes_->boxes[0].text));
            QVERIFY(boxes_->boxes[0].text.endsWith(QStringLiteral("，请改短后再保存。")));
            QCOMPARE(boxes_->boxes[0].icon, ui::BoxIcon::Warning);
            QCOMPARE(templates(db_).size(), std::size_t{1});  // nothing stored
        }
    }

    void postWithoutHeadersSendsTheBodyAndTheUserAgent() {
        setBox(window_.get(), "编辑框_签到链接", QString::fromStdString(site_->url("/echo")));
        click(window_.get(), "单选框_post");
        window_->capture().pending.Date = "k=v";
        click(window_.get(), "超级按钮_调试");
        QCOMPARE(site_->last().method, std::string("POST"));
        QCOMPARE(site_->last().body, std::string("k=v"));
        QCOMPARE(site_->last().header("User-Agent"), kChromeAgent);
        // No statement: the answer itself.
        QCOMPARE(boxText(window_.get(), "编辑框_返回语句"), QStringLiteral("{\"body\":\"k=v\"}"));

        // A GET leaves the pending body out.
        click(window_.get(), "单选框_get");
        click(window_.get(), "超级按钮_调试");
        QCOMPARE(site_->last().method, std::string("GET"));
        QCOMPARE(site_->last().body, std::string());
    }

    void failedRequestShowsAnEmptyAnswer() {
        // Nothing listens on port 9 of 127.0.0.1: the request fails at once.
        setBox(window_.get(), "编辑框_签到链接", QStringLiteral("http://127.0.0.1:9/sign"));
        setBox(window_.get(), "编辑框_绑定语句", QStringLiteral("msg"));
        setBox(window_.get(), "编辑框_返回语句", QStringLiteral("old"));
        window_->capture().pending.Cookie = "a=1";
        click(window_.get(), "超级按钮_调试");
        QCOMPARE(boxText(window_.get(), "编辑框_返回语句"), QString());
        QCOMPARE(window_->capture().pending.Cookie, Text("a=1"));
        QCOMPARE(QGuiApplication::overrideCursor(), nullptr);
        QVERIFY(boxes_->boxes.isEmpty());
    }

    void trialWithoutAddressSaysSo() {
        click(window_.get(), "超级按钮_调试");
        QCOMPARE(boxes_->boxes.size(), 1);
        QCOMPARE(boxes_->boxes[0].text,
                 QStringLiteral("信息不完整，请抓取完整的信息，再进行调试！"));
        QCOMPARE(boxes_->boxes[0].caption, QStringLiteral("调试工具"));
        QCOMPARE(boxes_->boxes[0].icon, ui::BoxIcon::Information);
        QVERIFY(site_->sent().empty());
    }

    void conversionChangeConvertsAndEvaluatesTheBox() {
        auto* conversion = child<QComboBox>(window_.get(), "组合框_编码转换");
        setBox(window_.get(), "编辑框_绑定语句", QStringLiteral("msg"));
        setBox(window_.get(), "编辑框_返回语句",
               QStringLiteral("%7B%22msg%22%3A%22%E7%AD%BE%E5%88%B0%22%7D"));
        conversion->setCurrentIndex(1);
        QCOMPARE(boxText(window_.get(), "编辑框_返回语句"), QStringLiteral("签到"));

        // USC2-ANSI without a statement only converts.
        setBox(window_.get(), "编辑框_绑定语句", QString());
        setBox(window_.get(), "编辑框_返回语句", QStringLiteral("\\u7b7e\\u5230 it's"));
        conversion->setCurrentIndex(2);
        QCOMPARE(boxText(window_.get(), "编辑框_返回语句"), QStringLiteral("签到 it's"));

        // "默认" leaves the text and evaluates it: the regex finds nothing and says so.
        click(window_.get(), "单选框_正则表达式");
        setBox(window_.get(), "编辑框_绑定语句", QStringLiteral("(\\d+)"));
        conversion->setCurrentIndex(0);
        QCOMPARE(boxes_->boxes.size(), 1);
        QCOMPARE(boxText(window_.get(), "编辑框_返回语句"), QStringLiteral("匹配失败"));
    }

    void answerWithLineBreaksConvertsAfterTheTrialAsItWouldInTheTrial() {
        // The box gives back the answer as received, CR LF included, so choosing USC2-ANSI after
        // the trial converts it as the trial itself would have (a bare line feed would make the
        // script step fail and give the UTF-16 fallback).
        setBox(window_.get(), "编辑框_签到链接", QString::fromStdString(site_->url("/lines")));
        click(window_.get(), "超级按钮_调试");
        QCOMPARE(boxText(window_.get(), "编辑框_返回语句"), QStringLiteral("\\u7b7e\\u5230\nit's"));
        child<QComboBox>(window_.get(), "组合框_编码转换")->setCurrentIndex(2);
        QCOMPARE(boxText(window_.get(), "编辑框_返回语句"), QStringLiteral("签到\nit's"));
        QVERIFY(boxes_->boxes.isEmpty());
    }

    void utf8AnswerAtDefaultShowsTheEncodingHint() {
        const auto* hint = child<QLabel>(window_.get(), "标签_编码提示");
        setBox(window_.get(), "编辑框_签到链接", QString::fromStdString(site_->url("/utf8")));
        click(window_.get(), "超级按钮_调试");
        QVERIFY(hint->isVisible());
        QCOMPARE(hint->text(),
                 QStringLiteral("答复像是 UTF-8 编码，请把“编码转换”设为“UTF-8解码”"));

        // A GBK answer, and a UTF-8 one taken with "UTF-8解码", give none.
        setBox(window_.get(), "编辑框_签到链接", QString::fromStdString(site_->url("/json")));
        click(window_.get(), "超级按钮_调试");
        QVERIFY(hint->isHidden());
        setBox(window_.get(), "编辑框_签到链接", QString::fromStdString(site_->url("/utf8")));
        setBox(window_.get(), "编辑框_返回语句", QString());  // the box no longer shows a trial
        child<QComboBox>(window_.get(), "组合框_编码转换")->setCurrentIndex(1);
        click(window_.get(), "超级按钮_调试");
        QVERIFY(hint->isHidden());
        QCOMPARE(boxText(window_.get(), "编辑框_返回语句"),
                 QStringLiteral("{\"msg\":\"今日签到成功\"}"));

        click(window_.get(), "超级按钮_初始化");
        QVERIFY(hint->isHidden());
    }

    void conversionChangeAfterATrialEvaluatesItsAnswerAgain() {
        setBox(window_.get(), "编辑框_签到链接", QString::fromStdString(site_->url("/utf8")));
        setBox(window_.get(), "编辑框_绑定语句", QStringLiteral("msg=>结果：[@]"));
        click(window_.get(), "超级按钮_调试");
        // Read as GBK, the UTF-8 bytes do not make the expected text.
        QVERIFY(boxText(window_.get(), "编辑框_返回语句") != QStringLiteral("结果：今日签到成功"));

        child<QComboBox>(window_.get(), "组合框_编码转换")->setCurrentIndex(1);
        QCOMPARE(boxText(window_.get(), "编辑框_返回语句"), QStringLiteral("结果：今日签到成功"));
        QCOMPARE(trialVerdict(window_.get()), QStringLiteral("判定：成功（内置：成功）"));
        QVERIFY(child<QLabel>(window_.get(), "标签_编码提示")->isHidden());
        QCOMPARE(site_->sent().size(), std::size_t{1});  // no second request

        // And back to "默认": the same answer as the trial gave it, the hint with it.
        child<QComboBox>(window_.get(), "组合框_编码转换")->setCurrentIndex(0);
        QVERIFY(boxText(window_.get(), "编辑框_返回语句") != QStringLiteral("结果：今日签到成功"));
        QVERIFY(child<QLabel>(window_.get(), "标签_编码提示")->isVisible());

        // A result box changed by hand is what a later change converts.
        setBox(window_.get(), "编辑框_返回语句", QStringLiteral("{\"msg\":\"%E5%A5%BD\"}"));
        child<QComboBox>(window_.get(), "组合框_编码转换")->setCurrentIndex(1);
        QCOMPARE(boxText(window_.get(), "编辑框_返回语句"), QStringLiteral("结果：好"));
        QCOMPARE(site_->sent().size(), std::size_t{1});
        QVERIFY(boxes_->boxes.isEmpty());
    }

    void thePendingCaptureIsShownAndClearRemovesIt() {
        const auto* pending = child<QLabel>(window_.get(), "标签_待保存");
        QCOMPARE(pending->text(), QStringLiteral("无"));

        // "增加" for the listed site leaves its cookie waiting for the editor.
        window_->selectPage(0);
        selectRow(*window_, 0);
        whenShown(QStringLiteral("窗口_人工填写"), [](QWidget* w) {
            setBox(w, "编辑框_Cookie", QStringLiteral("a=second"));
            click(w, "超级按钮_保存");
        });
        child<QAction>(window_.get(), "菜单_增加")->trigger();
        QTRY_COMPARE(window_->capture().pending.Cookie, Text("a=second"));
        window_->selectPage(1);
        QCOMPARE(pending->text(), QStringLiteral("Cookie（增加·老站）：a=second"));

        // Header lines and a body show too; a long cookie is cut short.
        window_->capture().pending = {"token=" + std::string(60, 'x'), "X-A: 1\r\nX-B: 2", "day=1"};
        window_->selectPage(0);
        window_->selectPage(1);
        // The cookie's first 23 characters and "…".
        QCOMPARE(pending->text(), QStringLiteral("Cookie：token=") + QString(17, QLatin1Char('x')) +
                                      QStringLiteral("…；Headers 2 行；Date：day=1"));

        click(window_.get(), "超级按钮_清除");
        QCOMPARE(pending->text(), QStringLiteral("无"));
        QVERIFY(window_->capture().pending.Cookie.empty());
        QVERIFY(window_->capture().pending.Headers.empty());
        QVERIFY(window_->capture().pending.Date.empty());

        // The next trial sends no cookie of another site; what this site sets is shown after it.
        setBox(window_.get(), "编辑框_签到链接", QString::fromStdString(site_->url("/json")));
        click(window_.get(), "超级按钮_调试");
        QVERIFY(!site_->last().has("Cookie"));
        QCOMPARE(pending->text(), QStringLiteral("Cookie：sid=s1"));
    }

    void resetKeepsTheLoginAddress() {
        child<QComboBox>(window_.get(), "组合框_编码转换")->setCurrentIndex(2);
        setBox(window_.get(), "编辑框_网络名称", QStringLiteral("某站"));
        setBox(window_.get(), "编辑框_登录链接", QStringLiteral("https://a.test/login"));
        setBox(window_.get(), "编辑框_签到链接", QStringLiteral("https://a.test/sign"));
        setBox(window_.get(), "编辑框_绑定语句", QStringLiteral("msg"));
        setBox(window_.get(), "编辑框_返回语句", QStringLiteral("ok"));
        click(window_.get(), "单选框_post");
        click(window_.get(), "单选框_正则表达式");
        window_->capture().pending = {"c=1", "X-A: 1", "a=1"};

        click(window_.get(), "超级按钮_初始化");
        QCOMPARE(boxText(window_.get(), "编辑框_网络名称"), QString());
        QCOMPARE(boxText(window_.get(), "编辑框_签到链接"), QString());
        QCOMPARE(boxText(window_.get(), "编辑框_绑定语句"), QString());
        QCOMPARE(boxText(window_.get(), "编辑框_返回语句"), QString());
        QCOMPARE(boxText(window_.get(), "编辑框_登录链接"), QStringLiteral("https://a.test/login"));
        QCOMPARE(child<QComboBox>(window_.get(), "组合框_编码转换")->currentIndex(), 0);
        QVERIFY(checked(window_.get(), "单选框_get"));
        QVERIFY(!checked(window_.get(), "单选框_post"));
        QVERIFY(checked(window_.get(), "单选框_json"));
        QVERIFY(!checked(window_.get(), "单选框_正则表达式"));
        QVERIFY(window_->capture().pending.Cookie.empty());
        QVERIFY(window_->capture().pending.Headers.empty());
        QVERIFY(window_->capture().pending.Date.empty());
        QCOMPARE(child<QLabel>(window_.get(), "标签_待保存")->text(), QStringLiteral("无"));
        QVERIFY(boxes_->boxes.isEmpty());
    }

    void saveWithoutCaptureStoresAnAccountWithoutCookie() {
        child<QComboBox>(window_.get(), "组合框_编码转换")->setCurrentIndex(1);
        setBox(window_.get(), "编辑框_网络名称", QStringLiteral("新站"));
        setBox(window_.get(), "编辑框_登录链接", QStringLiteral("https://n.test/login"));
        setBox(window_.get(), "编辑框_签到链接", QStringLiteral("https://n.test/sign"));
        click(window_.get(), "单选框_post");
        click(window_.get(), "单选框_正则表达式");
        setBox(window_.get(), "编辑框_绑定语句", QStringLiteral("<b>(.*?)</b>"));
        click(window_.get(), "超级按钮_保存");

        QCOMPARE(boxes_->boxes.size(), 1);
        QCOMPARE(boxes_->boxes[0].text, QStringLiteral("新增网站模板成功！"));
        QCOMPARE(boxes_->boxes[0].caption, QStringLiteral("增加模板"));
        QCOMPARE(boxes_->boxes[0].icon, ui::BoxIcon::Information);

        const auto rows = templates(db_);
        QCOMPARE(rows.size(), std::size_t{2});
        const TemplateRow& added = rows[1];
        QCOMPARE(added.name, std::string("新站"));
        QCOMPARE(added.login, std::string("https://n.test/login"));
        QCOMPARE(added.link, std::string("https://n.test/sign"));
        QCOMPARE(added.qtype, 2);
        QCOMPARE(added.rtype, 2);
        QCOMPARE(added.ctype, 1);
        QCOMPARE(added.tying, std::string("<b>(.*?)</b>"));
        QCOMPARE(added.headers, std::string());
        QCOMPARE(added.body, std::string());
        const auto stored = accounts(db_);
        QCOMPARE(stored.size(), std::size_t{2});
        QCOMPARE(stored[1].id, added.id);
        QCOMPARE(stored[1].cookie, std::string());

        // The list was reloaded: the new site with "×".
        QCOMPARE(window_->rowCount(), 2);
        QCOMPARE(window_->cellText(1, 1), QStringLiteral("新站"));
        QCOMPARE(window_->cellText(1, 2), QStringLiteral("POST"));
        QCOMPARE(window_->cellText(1, 3), QStringLiteral("正则"));
        QCOMPARE(window_->cellText(1, 4), QStringLiteral("×"));
        // The page keeps its fields.
        QCOMPARE(boxText(window_.get(), "编辑框_网络名称"), QStringLiteral("新站"));
    }

    void saveStoresThePendingCaptureAsTheTrialLeftIt() {
        setBox(window_.get(), "编辑框_网络名称", QStringLiteral("带账号"));
        setBox(window_.get(), "编辑框_签到链接", QString::fromStdString(site_->url("/json")));
        setBox(window_.get(), "编辑框_绑定语句", QStringLiteral("data.days"));
        ui::PendingCapture& pending = window_->capture().pending;
        pending.Cookie = "token='a b'; uid=9";
        pending.Headers = "X-Client: vesprey";
        pending.Date = "x=1";
        click(window_.get(), "超级按钮_调试");
        QCOMPARE(boxText(window_.get(), "编辑框_返回语句"), QStringLiteral("3"));
        click(window_.get(), "超级按钮_保存");

        const auto rows = templates(db_);
        QCOMPARE(rows.back().name, std::string("带账号"));
        QCOMPARE(rows.back().qtype, 1);
        QCOMPARE(rows.back().rtype, 1);
        QCOMPARE(rows.back().ctype, 0);
        QCOMPARE(rows.back().body, std::string("x=1"));
        QVERIFY(rows.back().headers.starts_with("X-Client: vesprey\r\n"));
        QVERIFY(rows.back().headers.find("Referer: ") != std::string::npos);
        const auto stored = accounts(db_);
        QCOMPARE(stored.back().id, rows.back().id);
        // The trial's merge: the site's cookie first, blanks dropped, the quote kept.
        QCOMPARE(QString::fromStdString(stored.back().cookie),
                 QStringLiteral("sid=s1; token='ab'; uid=9"));
        QCOMPARE(window_->cellText(1, 4), QStringLiteral("√"));
        // What was saved is not kept for the next site.
        QVERIFY(pending.Cookie.empty());
        QVERIFY(pending.Headers.empty());
        QVERIFY(pending.Date.empty());
        QCOMPARE(child<QLabel>(window_.get(), "标签_待保存")->text(), QStringLiteral("无"));
    }

    // A second save of the same name asks first; saved anyway, the list has both.
    void saveOfANameTheListHasAsksFirst_data() {
        QTest::addColumn<int>("answer");
        QTest::addColumn<int>("sites");
        QTest::newRow("cancelled") << static_cast<int>(ui::BoxAnswer::Cancel) << 2;
        QTest::newRow("saved anyway") << static_cast<int>(ui::BoxAnswer::Ok) << 3;
    }
    void saveOfANameTheListHasAsksFirst() {
        QFETCH(int, answer);
        QFETCH(int, sites);
        setBox(window_.get(), "编辑框_网络名称", QStringLiteral("新站"));
        setBox(window_.get(), "编辑框_签到链接", QStringLiteral("https://n.test/sign"));
        enterRules({.success = QStringLiteral("打卡完成")});
        click(window_.get(), "超级按钮_保存");
        QCOMPARE(boxes_->boxes.size(), 1);
        QCOMPARE(boxes_->boxes[0].text, QStringLiteral("新增网站模板成功！"));
        QVERIFY(window_->editor().pendingRules().empty());  // stored with the site

        boxes_->answer = static_cast<ui::BoxAnswer>(answer);
        click(window_.get(), "超级按钮_保存");
        QVERIFY(boxes_->boxes.size() >= 2);
        QCOMPARE(boxes_->boxes[1].text,
                 QStringLiteral("已有同名网站“新站”：再保存会多出一个同名的网站。仍要保存吗？"));
        QCOMPARE(boxes_->boxes[1].buttons, ui::BoxButtons::OkCancel);
        QCOMPARE(boxes_->boxes[1].icon, ui::BoxIcon::Question);
        QCOMPARE(templates(db_).size(), static_cast<std::size_t>(sites));
        QCOMPARE(window_->rowCount(), sites);
        QCOMPARE(storedRules(db_).size(), std::size_t{1});  // the rules went with the first

        // A name the list does not have goes in without a question.
        boxes_->boxes.clear();
        setBox(window_.get(), "编辑框_网络名称", QStringLiteral("另一站"));
        click(window_.get(), "超级按钮_保存");
        QCOMPARE(boxes_->boxes.size(), 1);
        QCOMPARE(boxes_->boxes[0].text, QStringLiteral("新增网站模板成功！"));
    }

    void saveNeedsANameOrAnAddress() {
        click(window_.get(), "超级按钮_保存");
        QCOMPARE(boxes_->boxes.size(), 1);
        QCOMPARE(boxes_->boxes[0].text, QStringLiteral("信息不完整，请调试完毕后，再进行保存！"));
        QCOMPARE(boxes_->boxes[0].caption, QStringLiteral("保存工具"));
        QCOMPARE(templates(db_).size(), std::size_t{1});

        // The address alone is enough.
        boxes_->boxes.clear();
        setBox(window_.get(), "编辑框_签到链接", QStringLiteral("https://only.test/sign"));
        click(window_.get(), "超级按钮_保存");
        QCOMPARE(boxes_->boxes.size(), 1);
        QCOMPARE(boxes_->boxes[0].text, QStringLiteral("新增网站模板成功！"));
        QCOMPARE(templates(db_).size(), std::size_t{2});
    }

    void failedInsertShowsTheLibraryMessage() {
        execute(db_,
                "create trigger refuse before insert on Template begin "
                "select raise(abort, 'no more sites'); end");
        setBox(window_.get(), "编辑框_网络名称", QStringLiteral("拒绝"));
        click(window_.get(), "超级按钮_保存");
        QCOMPARE(boxes_->boxes.size(), 1);
        QCOMPARE(boxes_->boxes[0].text,
                 QStringLiteral("增加模板失败，请截图错误提示！\r\nno more sites"));
        QCOMPARE(boxes_->boxes[0].caption, QStringLiteral("增加模板"));
        QCOMPARE(templates(db_).size(), std::size_t{1});
        QCOMPARE(accounts(db_).size(), std::size_t{1});
        QCOMPARE(window_->rowCount(), 1);
    }

    void insertThatCannotBePreparedStopsSilently() {
        // A file whose Template table is missing: the list is empty and the insert cannot be
        // prepared, which ends the save without a word.
        window_.reset();
        execute(db_, "alter table Template rename to Elsewhere");
        window_ = openWindow(db_);
        QCOMPARE(window_->rowCount(), 0);
        setBox(window_.get(), "编辑框_网络名称", QStringLiteral("无表"));
        click(window_.get(), "超级按钮_保存");
        QVERIFY(boxes_->boxes.isEmpty());
        QCOMPARE(accounts(db_).size(), std::size_t{1});
    }

private:
    struct Rules {
        QString success{};
        QString already{};
        QString expired{};
    };

    // Types the rules into the rules window and presses "确定".
    void enterRules(const Rules& rules) {
        whenShown(kRulesWindow, [rules](QWidget* w) {
            setBox(w, "编辑框_成功判定", rules.success);
            setBox(w, "编辑框_已签判定", rules.already);
            setBox(w, "编辑框_失效判定", rules.expired);
            click(w, "超级按钮_确定");
        });
        click(window_.get(), "超级按钮_判定规则");
    }

    std::unique_ptr<RecordingSite> site_;
    std::unique_ptr<QTemporaryDir> dir_;
    std::filesystem::path db_;
    std::unique_ptr<BoxRecorder> boxes_;
    std::unique_ptr<ui::MainWindow> window_;
};

QTEST_MAIN(TemplateEditorTest)
#include "template_editor_test.moc"
