// "调试" of a pending multi-step template on page 1 "模板区": the flow runs beside the window
// against a site on 127.0.0.1, its steps in the step window (status, time, what decided, the
// variables set, secrets shortened, a step's request and answer on a double-click), the result
// and the verdict on the page; the inputs it lacks named instead of a run; a run held by a slow
// site or a long delay leaves the window answering and ends on "停止".
#include "ui/window/flow_trial.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTreeWidget>

#include "editor_test_support.h"
#include "store/flows.h"
#include "ui/window/capture.h"
#include "ui/window/template_editor.h"

using namespace vesprey;
using namespace vesprey::uitest;

namespace {

const QString kStepWindow = QStringLiteral("窗口_调试步骤");

// Step 1 reads the page's token (the page in GBK), step 2 posts it and passes on the site's
// "签到成功"; the account's cookie goes with both. `more` is added to the posted form.
std::string twoStepFlow(const FakeSite& site, const std::string& more = {}) {
    return "[{\"request\": {\"method\": \"GET\", \"url\": \"" + site.url("/page") +
           "\", \"headers\": [{\"name\": \"Cookie\", \"value\": \"{{cookie}}\"}]}, \"rule\": "
           "{\"extract_variables\": [{\"name\": \"token\", \"re\": \"name=\\\"token\\\" "
           "value=\\\"(.*?)\\\"\", \"from\": \"content\"}]}}, {\"request\": {\"method\": "
           "\"POST\", \"url\": \"" +
           site.url("/sign") +
           "\", \"headers\": [{\"name\": \"Cookie\", \"value\": \"{{cookie}}\"}], \"data\": "
           "\"token={{token}}&day=1" +
           more +
           "\", \"mimeType\": \"application/x-www-form-urlencoded\"}, "
           "\"rule\": {\"success_asserts\": [{\"re\": \"签到成功\", \"from\": \"content\"}]}}]";
}

// GET requests of `urls` in turn, without checks.
std::string plainFlow(const std::vector<std::string>& urls) {
    std::string steps;
    for (const std::string& url : urls) {
        steps += (steps.empty() ? "[" : ", ") +
                 std::string("{\"request\": {\"method\": \"GET\", ") + "\"url\": \"" + url +
                 "\"}, \"rule\": {}}";
    }
    return steps + "]";
}

}  // namespace

class FlowTrialTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        site_ = std::make_unique<FakeSite>();
        posted_.clear();
        site_->server().Get("/page", [](const httplib::Request&, httplib::Response& response) {
            response.set_header("Set-Cookie", "sid=s9; Path=/");
            response.set_content(gbk("<p>签到页</p><input name=\"token\" value=\"tk1234567890\">"),
                                 "text/html; charset=gbk");
        });
        site_->server().Post("/sign", [this](const httplib::Request& request,
                                             httplib::Response& response) {
            {
                std::lock_guard lock(mutex_);
                posted_ = request.body;
            }
            response.set_content("{\"msg\":\"今日签到成功\"}", "application/json; charset=utf-8");
        });
        site_->server().Get("/slow", [this](const httplib::Request&, httplib::Response& response) {
            site_->pass();
            response.set_content("late", "text/plain");
        });
        site_->start();
        dir_ = std::make_unique<QTemporaryDir>();
        db_ = makeDatabase(*dir_, {{.name = "老站", .cookies = {"old=1"}}});
        boxes_ = std::make_unique<BoxRecorder>();
        window_ = openWindow(db_);
        window_->selectPage(1);
    }

    void cleanup() {
        site_->openGate();
        window_.reset();
        boxes_.reset();
        site_.reset();
        dir_.reset();
    }

    void twoStepsAreListedWithTheResultAndTheVerdict() {
        setBox(window_.get(), "编辑框_网络名称", QStringLiteral("多步站"));
        setBox(window_.get(), "编辑框_绑定语句", QStringLiteral("msg"));
        editor().setPendingFlow(twoStepFlow(*site_));
        window_->capture().pending.Cookie = "uid=7; session=abcdef";
        ui::FlowTrialWindow* steps = startTrial();
        QVERIFY(finishedWithin(steps, 30000));

        auto* list = child<QTreeWidget>(steps, "列表_调试步骤");
        QCOMPARE(list->topLevelItemCount(), 2);
        const QTreeWidgetItem* first = list->topLevelItem(0);
        const QTreeWidgetItem* second = list->topLevelItem(1);
        QCOMPARE(first->text(1),
                 QStringLiteral("GET ") + QString::fromStdString(site_->url("/page")));
        QCOMPARE(second->text(1),
                 QStringLiteral("POST ") + QString::fromStdString(site_->url("/sign")));
        QCOMPARE(first->text(2), QStringLiteral("200"));
        QCOMPARE(second->text(2), QStringLiteral("200"));
        QVERIFY2(first->text(3).endsWith(QStringLiteral(" 毫秒")), qPrintable(first->text(3)));
        // The token is shortened; the site was sent the whole of it.
        QCOMPARE(first->text(5), QStringLiteral("token = tk1234…（12 字）"));
        QVERIFY2(!second->text(4).isEmpty(), "the assert that decided");
        {
            std::lock_guard lock(mutex_);
            QCOMPARE(posted_, std::string("token=tk1234567890&day=1"));
        }

        // The page: the result through the binding statement, the verdict beside the buttons.
        QCOMPARE(boxText(window_.get(), "编辑框_返回语句"), QStringLiteral("今日签到成功"));
        QCOMPARE(trialVerdict(window_.get()), QStringLiteral("判定：成功（全部 2 步通过）"));
        QVERIFY(child<QLabel>(steps, "标签_调试结果")
                    ->text()
                    .endsWith(QStringLiteral("判定：成功（全部 2 步通过）")));
        // The pending cookie now holds what the site set as well.
        QVERIFY2(window_->capture().pending.Cookie.find("sid=s9") != Text::npos,
                 window_->capture().pending.Cookie.c_str());

        // A double-click shows a step's request and answer, secrets shortened.
        auto* detail = child<QPlainTextEdit>(steps, "编辑框_步骤详情");
        doubleClick(list, first);
        const QString page = detail->toPlainText();
        QVERIFY2(page.contains(QStringLiteral("答复按 GBK 解码")), qPrintable(page));
        QVERIFY2(page.contains(QStringLiteral("<p>签到页</p>")), qPrintable(page));
        QVERIFY2(page.contains(QStringLiteral("Cookie: uid=7;…（21 字）")), qPrintable(page));
        QVERIFY2(page.contains(QStringLiteral("Set-Cookie: sid=s9…")), qPrintable(page));
        QVERIFY2(!page.contains(QStringLiteral("abcdef")), qPrintable(page));
        doubleClick(list, second);
        const QString sign = detail->toPlainText();
        QVERIFY2(
            sign.contains(QStringLiteral("POST ") + QString::fromStdString(site_->url("/sign"))),
            qPrintable(sign));
        QVERIFY2(sign.contains(QStringLiteral("\ntoken=tk1234…（12 字）&day=1\n")),
                 qPrintable(sign));
        QVERIFY2(sign.contains(QStringLiteral("{\"msg\":\"今日签到成功\"}")), qPrintable(sign));
        QVERIFY(!sign.contains(QStringLiteral("tk1234567890")));
        QVERIFY(boxes_->boxes.isEmpty());
    }

    // As `try` does: the inputs without a value are named and nothing is sent.
    void missingInputsAreNamedInsteadOfARun() {
        editor().setPendingFlow(
            "[{\"request\": {\"method\": \"POST\", \"url\": \"" + site_->url("/sign") +
            "\", \"headers\": [{\"name\": \"Cookie\", \"value\": \"{{cookie}}\"}], \"data\": "
            "\"u={{username}}\"}, \"rule\": {}}]");
        click(window_.get(), "超级按钮_调试");
        QCOMPARE(boxes_->boxes.size(), 1);
        QVERIFY2(boxes_->boxes[0].text.startsWith(
                     QStringLiteral("还缺这些值，没有调试：cookie、username。")),
                 qPrintable(boxes_->boxes[0].text));
        QCOMPARE(boxes_->boxes[0].caption, QStringLiteral("调试工具"));
        QCOMPARE(editor().flowTrialWindow(), nullptr);
        std::lock_guard lock(mutex_);
        QVERIFY(posted_.empty());
    }

    // A request the site holds and a long delay: the window goes on answering, "停止" ends the
    // run within moments and the verdict says it failed.
    void stopEndsARunWhileTheWindowAnswers_data() {
        QTest::addColumn<bool>("delay");
        QTest::newRow("held request") << false;
        QTest::newRow("delay") << true;
    }
    void stopEndsARunWhileTheWindowAnswers() {
        QFETCH(bool, delay);
        // The delay is followed by a step the stop keeps from running.
        editor().setPendingFlow(delay ? plainFlow({"api://util/delay/50", site_->url("/page")})
                                      : plainFlow({site_->url("/slow")}));
        site_->closeGate();
        ui::FlowTrialWindow* steps = startTrial();
        QVERIFY(steps->running());
        if (!delay) {
            QTRY_COMPARE_WITH_TIMEOUT(site_->waiting.load(), 1, 30000);
        }
        // Timers still fire and another page's command still answers.
        int ticks = 0;
        QTimer tick;
        connect(&tick, &QTimer::timeout, [&ticks] { ++ticks; });
        tick.start(20);
        QTRY_VERIFY(ticks >= 3);
        window_->selectPage(0);
        window_->selectPage(1);
        QVERIFY(steps->running());
        // The step under way is listed already.
        auto* list = child<QTreeWidget>(steps, "列表_调试步骤");
        QTRY_COMPARE(list->topLevelItemCount(), 1);
        QCOMPARE(list->topLevelItem(0)->text(2), QStringLiteral("进行中…"));

        QSignalSpy finished(steps, &ui::FlowTrialWindow::finished);
        QElapsedTimer clock;
        clock.start();
        click(steps, "超级按钮_停止");
        QVERIFY(finished.wait(5000));
        QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(!steps->running());
        QVERIFY2(trialVerdict(window_.get()).startsWith(QStringLiteral("判定：失败")),
                 qPrintable(trialVerdict(window_.get())));
        QCOMPARE(site_->waiting.load(), delay ? 0 : 1);  // cut off, not answered
    }

    // Closing the window while a run is under way stops it and waits for it.
    void closingTheWindowStopsARun() {
        editor().setPendingFlow(plainFlow({site_->url("/slow")}));
        site_->closeGate();
        startTrial();
        QTRY_COMPARE_WITH_TIMEOUT(site_->waiting.load(), 1, 30000);
        QElapsedTimer clock;
        clock.start();
        window_.reset();
        QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
    }

    // The modify window tries an account of a multi-step template with its cookie and inputs.
    void theModifyWindowTriesAnAccountsFlow() {
        {
            SqlDatabase sql;
            QVERIFY(openSiteDatabase(sql, db_));
            TemplateFields fields;
            fields.WebName = gbk("多步站");
            fields.WebLink = site_->url("/page");
            fields.Tying = "msg";
            QVERIFY(addFlowSite(sql, fields, "uid=7", twoStepFlow(*site_, "&u={{user}}"),
                                {{"user", "me"}})
                        .site.write);
        }
        window_.reset();
        window_ = openWindow(db_);
        selectRow(*window_, 1);
        int rows = 0;
        QString verdict;
        whenShown(QStringLiteral("窗口_修改模板"), [&](QWidget* w) {
            click(w, "超级按钮_调试");
            auto* steps = w->findChild<ui::FlowTrialWindow*>();
            QVERIFY(steps != nullptr && steps->isVisible());
            QVERIFY(finishedWithin(steps, 30000));
            rows = child<QTreeWidget>(steps, "列表_调试步骤")->topLevelItemCount();
            verdict = trialVerdict(w);
            steps->close();
            click(w, "图形按钮_关闭");
        });
        child<QAction>(window_.get(), "菜单_修改")->trigger();
        QCOMPARE(rows, 2);
        QCOMPARE(verdict, QStringLiteral("判定：成功（全部 2 步通过）"));
        std::lock_guard lock(mutex_);
        QCOMPARE(posted_, std::string("token=tk1234567890&day=1&u=me"));
    }

private:
    ui::TemplateEditor& editor() { return window_->editor(); }

    // Presses "调试" and returns the step window it showed.
    ui::FlowTrialWindow* startTrial() {
        click(window_.get(), "超级按钮_调试");
        ui::FlowTrialWindow* steps = editor().flowTrialWindow();
        if (steps == nullptr || steps->objectName() != kStepWindow || !steps->isVisible()) {
            qFatal("no step window");
        }
        return steps;
    }

    // The press the view takes for the item's own comes first, as a user's first click does.
    static void doubleClick(QTreeWidget* list, const QTreeWidgetItem* item) {
        const QPoint at = list->visualItemRect(item).center();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
    }

    static bool finishedWithin(ui::FlowTrialWindow* steps, int ms) {
        if (!steps->running()) {
            return true;
        }
        QSignalSpy finished(steps, &ui::FlowTrialWindow::finished);
        return finished.wait(ms);
    }

    std::unique_ptr<FakeSite> site_;
    std::mutex mutex_;
    std::string posted_;
    std::unique_ptr<QTemporaryDir> dir_;
    std::filesystem::path db_;
    std::unique_ptr<BoxRecorder> boxes_;
    std::unique_ptr<ui::MainWindow> window_;
};

QTEST_MAIN(FlowTrialTest)
#include "flow_trial_test.moc"
