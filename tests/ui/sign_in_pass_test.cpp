// The sign-in pass started from the window, against a site on 127.0.0.1: results in "返回内容",
// the status texts, the commands disabled while it runs, the evaluation's message boxes while the
// worker waits, the reload before a menu pass, the push of the summary, the verdicts as icons,
// the counts in the status strip, the renewed cookies saved when asked for, the rows of every
// pass in History.db, the cookie warnings History.db gives the list and the summary, and
// "同时签到数".
#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>
#include <QTreeView>
#include <cstdlib>

#include "editor_test_support.h"
#include "store/flows.h"
#include "store/history.h"
#include "store/site_database.h"
#include "ui/qt_text.h"
#include "ui/window/account_list.h"
#include "ui_fixtures.h"

using namespace vesprey;
using namespace vesprey::uitest;

namespace {

const QStringList kListCommands = {"菜单_开始签到", "菜单_软件登录", "菜单_人工填写",
                                   "菜单_删除",     "菜单_修改",     "菜单_增加"};

QByteArray fileBytes(const std::filesystem::path& path) {
    QFile file(QString::fromStdString(path.string()));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The counts of a pass over accountsOfEveryKind().
const QString kEveryKindCounts = QStringLiteral("成功 1 · 已签 0 · 失效 1 · 失败 1");

QAbstractItemModel* accountList(ui::MainWindow& window) {
    return window.findChild<QTreeView*>(QStringLiteral("超级列表框_签到区"))->model();
}

QVariant resultCell(ui::MainWindow& window, int row, int role) {
    QAbstractItemModel* model = accountList(window);
    return model->data(model->index(row, kColumnResult), role);
}

QVariant accountCell(ui::MainWindow& window, int row, int role) {
    QAbstractItemModel* model = accountList(window);
    return model->data(model->index(row, kColumnAccount), role);
}

// The rows History.db beside `database` holds of today and yesterday, oldest first.
std::vector<HistoryEntry> historyRows(const std::filesystem::path& database) {
    std::vector<HistoryEntry> rows;
    HistoryDatabase history;
    if (history.open(database).ok()) {
        history.readDays(2, nowDateTime(), rows);
    }
    return rows;
}

// A row of an earlier pass that found the account's cookie expired.
HistoryEntry expiredRow(const SiteTemplate& site, double time) {
    return {.time = historyTime(time),
            .templateId = site.id,
            .cid = site.Cid,
            .site = site.WebName,
            .verdict = Text(verdictName(Verdict::Expired)),
            .reason = {},
            .result = {},
            .status = 401};
}

void checkBox(ui::MainWindow& window, const QString& name) {
    QTest::mouseClick(window.findChild<QCheckBox*>(name), Qt::LeftButton);
    QVERIFY(window.findChild<QCheckBox*>(name)->isChecked());
}

}  // namespace

class SignInPassTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        site_ = std::make_unique<FakeSite>();
        auto& server = site_->server();
        server.Get("/json", [this](const httplib::Request&, httplib::Response& response) {
            ++site_->requests;
            site_->pass();
            response.set_content("{\"code\":0,\"msg\":\"ok 5\"}", "application/json");
        });
        server.Get("/html", [this](const httplib::Request&, httplib::Response& response) {
            ++site_->requests;
            response.set_content(gbk("<div class=\"c\">今日已签到，获得 3 积分</div>"),
                                 "text/html; charset=gbk");
        });
        server.Post("/post", [this](const httplib::Request& request, httplib::Response& response) {
            ++site_->requests;
            response.set_content("{\"echo\":\"" + request.body + "\"}", "application/json");
        });
        server.Get("/empty", [this](const httplib::Request&, httplib::Response& response) {
            ++site_->requests;
            response.set_content("", "text/plain");
        });
        // Signs in and renews the session cookie.
        server.Get("/success", [this](const httplib::Request&, httplib::Response& response) {
            ++site_->requests;
            site_->pass();
            response.set_header("Set-Cookie", "sid=new; Path=/");
            response.set_content(gbk("{\"msg\":\"签到成功\"}"), "application/json");
        });
        // Signs in and leaves the cookie as it is.
        server.Get("/steady", [this](const httplib::Request&, httplib::Response& response) {
            ++site_->requests;
            response.set_content(gbk("{\"msg\":\"签到成功\"}"), "application/json");
        });
        // Turns the cookie away, and sets another one all the same.
        server.Get("/expired", [this](const httplib::Request&, httplib::Response& response) {
            ++site_->requests;
            response.status = 401;
            response.set_header("Set-Cookie", "sid=gone; Path=/");
            response.set_content("{\"msg\":\"unauthorized\"}", "application/json");
        });
        // Sets a cookie whose value is bytes that are no text (the test server refuses to send
        // control characters).
        server.Get("/carriage", [this](const httplib::Request&, httplib::Response& response) {
            ++site_->requests;
            response.set_header("Set-Cookie", "bin=\xE9\xFF; Path=/");
            response.set_content(gbk("{\"msg\":\"签到成功\"}"), "application/json");
        });
        // Renews the cookie, after the user has typed another one into Sign.db meanwhile.
        server.Get("/changed", [this](const httplib::Request&, httplib::Response& response) {
            ++site_->requests;
            SqlDatabase db;
            if (openSiteDatabase(db, changedDuringPass_)) {
                updateWebCookie(db, 1, "tok=MANUAL");
            }
            response.set_header("Set-Cookie", "sid=new; Path=/");
            response.set_content(gbk("{\"msg\":\"签到成功\"}"), "application/json");
        });
        // Answers with a status and nothing else.
        for (const auto& [path, code] :
             {std::pair{"/blank500", 500}, std::pair{"/blank401", 401}}) {
            const int status = code;
            server.Get(path, [this, status](const httplib::Request&, httplib::Response& response) {
                ++site_->requests;
                response.status = status;
            });
        }
        site_->start();
        dir_ = std::make_unique<QTemporaryDir>();
    }

    void cleanup() {
        site_.reset();
        dir_.reset();
    }

    void passFromTheMenuFillsResultsAndStatus() {
        const auto db = makeDatabase(
            *dir_, {{.name = "甲", .link = site_->url("/json"), .tying = "msg", .cookies = {"a=1"}},
                    {.name = "乙", .link = site_->url("/json"), .tying = "msg", .cookies = {}},
                    {.name = "丙",
                     .link = site_->url("/html"),
                     .rtype = 2,
                     .tying = "<div class=#引号c#引号>([^<]*)</div>",
                     .cookies = {"c=3"}},
                    {.name = "丁",
                     .link = site_->url("/post"),
                     .qtype = 2,
                     .tying = "echo",
                     .cookies = {"d=4"},
                     .body = "day=1"}});
        BoxRecorder boxes;
        auto window = openWindow(db);
        QSignalSpy status(window.get(), &ui::MainWindow::statusChanged);
        QSignalSpy finished(window.get(), &ui::MainWindow::passFinished);
        window->findChild<QAction*>(QStringLiteral("菜单_开始签到"))->trigger();
        QVERIFY(finished.wait(30000));

        QCOMPARE(window->cellText(0, 5), QStringLiteral("ok 5"));
        QCOMPARE(window->cellText(1, 5), QString());  // no cookie: not requested
        QCOMPARE(window->cellText(2, 5), QStringLiteral("今日已签到，获得 3 积分"));
        QCOMPARE(window->cellText(3, 5), QStringLiteral("day=1"));
        QCOMPARE(site_->requests.load(), 3);
        QStringList texts;
        for (const auto& args : status) {
            texts << args[0].toString();
        }
        QCOMPARE(texts, QStringList({"开始对>>>甲<<<进行签到", "开始对>>>乙<<<进行签到",
                                     "开始对>>>丙<<<进行签到", "开始对>>>丁<<<进行签到",
                                     "签到完毕！", ""}));
        QCOMPARE(window->findChild<QLabel*>(QStringLiteral("zt1"))->text(), QString());
        QVERIFY(boxes.boxes.isEmpty());
    }

    // A multi-step template's account is signed by the window's pass too: without a cookie, by its
    // inputs, its steps in turn.
    void aMultiStepTemplateRunsInTheWindowsPass() {
        const auto db = makeDatabase(
            *dir_,
            {{.name = "甲", .link = site_->url("/json"), .tying = "msg", .cookies = {"a=1"}}});
        {
            SqlDatabase sql;
            QVERIFY(openSiteDatabase(sql, db));
            TemplateFields fields;
            fields.WebName = gbk("多步");
            fields.WebLink = site_->url("/json");
            // Plain literals: moc does not read raw ones.
            const std::string steps =
                "[{\"request\": {\"method\": \"GET\", \"url\": \"" + site_->url("/json") +
                "\"}, \"rule\": {\"extract_variables\": [{\"name\": \"m\", \"re\": "
                "\"ok (\\\\d)\", \"from\": \"content\"}]}}, {\"request\": {\"method\": "
                "\"POST\", \"url\": \"" +
                site_->url("/post") +
                "\", \"data\": \"m={{m}}&u={{user}}\"}, \"rule\": {\"success_asserts\": "
                "[{\"re\": \"echo\", \"from\": \"content\"}], \"extract_variables\": "
                "[{\"name\": \"__log__\", \"re\": \"\\\"echo\\\":\\\"(.*?)\\\"\", "
                "\"from\": \"content\"}]}}]";
            QVERIFY(addFlowSite(sql, fields, "", steps, {{"user", "me"}}).site.write);
        }
        auto window = openWindow(db);
        QSignalSpy finished(window.get(), &ui::MainWindow::passFinished);
        window->findChild<QAction*>(QStringLiteral("菜单_开始签到"))->trigger();
        QVERIFY(finished.wait(30000));
        QCOMPARE(window->cellText(0, 5), QStringLiteral("ok 5"));
        QCOMPARE(window->cellText(1, 5), QStringLiteral("m=5&u=me"));
        QCOMPARE(site_->requests.load(), 3);
    }

    void commandsAreDisabledWhileThePassRuns() {
        const auto db = makeDatabase(
            *dir_,
            {{.name = "甲", .link = site_->url("/json"), .tying = "msg", .cookies = {"a=1"}},
             {.name = "乙", .link = site_->url("/json"), .tying = "msg", .cookies = {"b=2"}}});
        BoxRecorder boxes;
        auto window = openWindow(db);
        QSignalSpy finished(window.get(), &ui::MainWindow::passFinished);
        site_->closeGate();
        window->findChild<QAction*>(QStringLiteral("菜单_开始签到"))->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(site_->waiting.load(), 1, 30000);

        QVERIFY(window->passRunning());
        for (const QString& name : kListCommands) {
            QVERIFY2(!window->findChild<QAction*>(name)->isEnabled(), qPrintable(name));
        }
        QVERIFY(!window->findChild<QPushButton*>(QStringLiteral("超级按钮_保存"))->isEnabled());
        // Neither a second start nor a reload gets through.
        window->findChild<QAction*>(QStringLiteral("菜单_开始签到"))->trigger();
        window->startPassFromMenu();
        window->startScheduledPass();
        QVERIFY(!window->reloadSiteList());
        QCOMPARE(window->rowCount(), 2);
        // The window thread stays free: the push page still answers.
        window->findChild<QPushButton*>(QStringLiteral("超级按钮_推送_保存"))->click();
        QCOMPARE(boxes.boxes.size(), 1);  // the empty key message

        site_->openGate();
        QVERIFY(finished.wait(30000));
        QCOMPARE(finished.size(), 1);
        QCOMPARE(site_->requests.load(), 2);
        QVERIFY(!window->passRunning());
        for (const QString& name : kListCommands) {
            QVERIFY2(window->findChild<QAction*>(name)->isEnabled(), qPrintable(name));
        }
        QVERIFY(window->findChild<QPushButton*>(QStringLiteral("超级按钮_保存"))->isEnabled());
        QCOMPARE(window->cellText(1, 5), QStringLiteral("ok 5"));
    }

    void evaluationMessageWaitsForTheUser() {
        const auto db = makeDatabase(
            *dir_,
            {{.name = "甲",
              .link = site_->url("/html"),
              .rtype = 2,
              .tying = "<span>([^<]*)</span>",
              .cookies = {"a=1"}},
             {.name = "乙", .link = site_->url("/json"), .tying = "msg", .cookies = {"b=2"}}});
        BoxRecorder boxes;
        auto window = openWindow(db);
        int requestsWhileShown = -1;
        QString statusWhileShown;
        boxes.onBox = [&](const ui::BoxRequest&) {
            // Give a worker that did not wait every chance to go on to the next site.
            QTest::qWait(200);
            requestsWhileShown = site_->requests.load();
            statusWhileShown = window->statusText();
        };
        QSignalSpy finished(window.get(), &ui::MainWindow::passFinished);
        window->startPassFromMenu();
        QVERIFY(finished.wait(30000));

        QCOMPARE(boxes.boxes.size(), 1);
        QCOMPARE(boxes.boxes[0].text,
                 QStringLiteral("匹配失败，请检检查正则语句是否有误，数量：0"));
        QCOMPARE(boxes.boxes[0].caption, QStringLiteral("信息："));
        QCOMPARE(boxes.boxes[0].icon, ui::BoxIcon::Error);
        QCOMPARE(requestsWhileShown, 1);
        QCOMPARE(statusWhileShown, QStringLiteral("开始对>>>甲<<<进行签到"));
        QCOMPARE(window->cellText(0, 5), QStringLiteral("匹配失败"));
        QCOMPARE(window->cellText(1, 5), QStringLiteral("ok 5"));
    }

    void menuPassReloadsTheList() {
        const auto db = makeDatabase(
            *dir_,
            {{.name = "甲", .link = site_->url("/json"), .tying = "msg", .cookies = {"a=1"}}});
        BoxRecorder boxes;
        auto window = openWindow(db);
        QSignalSpy finished(window.get(), &ui::MainWindow::passFinished);
        window->startPassFromMenu();
        QVERIFY(finished.wait(30000));
        QCOMPARE(window->cellText(0, 5), QStringLiteral("ok 5"));

        {  // Another account appears in Sign.db.
            SqlDatabase store;
            QVERIFY(openSiteDatabase(store, db));
            QVERIFY(insertWebCookie(store, 1, "2024-01-01 09:00:00", "z=9").done);
        }
        site_->closeGate();
        window->startPassFromMenu();
        QTRY_COMPARE_WITH_TIMEOUT(site_->waiting.load(), 1, 30000);
        QCOMPARE(window->rowCount(), 2);
        QCOMPARE(window->cellText(0, 5), QString());  // emptied by the reload
        site_->openGate();
        QVERIFY(finished.wait(30000));
        QCOMPARE(window->cellText(1, 5), QStringLiteral("ok 5"));
    }

    void emptyAnswerAndEmptyList() {
        const auto db = makeDatabase(
            *dir_,
            {{.name = "甲", .link = site_->url("/empty"), .tying = "msg", .cookies = {"a=1"}},
             {.name = "乙",
              .link = "http://127.0.0.1:9/refused",
              .tying = "msg",
              .cookies = {"b=1"}}});
        BoxRecorder boxes;
        auto window = openWindow(db);
        QSignalSpy finished(window.get(), &ui::MainWindow::passFinished);
        window->startPassFromMenu();
        QVERIFY(finished.wait(30000));
        QCOMPARE(window->cellText(0, 5), QString());
        QCOMPARE(window->cellText(1, 5), QString());
        QVERIFY(boxes.boxes.isEmpty());

        QTemporaryDir other;
        auto empty = openWindow(makeDatabase(other, {}));
        QSignalSpy status(empty.get(), &ui::MainWindow::statusChanged);
        QSignalSpy done(empty.get(), &ui::MainWindow::passFinished);
        empty->startPassFromMenu();
        QVERIFY(done.wait(30000));
        QCOMPARE(status.size(), 2);
        QCOMPARE(status[0][0].toString(), QStringLiteral("签到完毕！"));
        QCOMPARE(status[1][0].toString(), QString());
    }

    void summaryIsPushedThroughTheCheckedChannel_data() {
        QTest::addColumn<QString>("radio");
        QTest::addColumn<QString>("expected");
        QTest::newRow("Bark") << QStringLiteral("单选框_Brak")
                              << QStringLiteral("GET /bark-1/12-17/签到提醒/甲：ok 5\r\n乙：\r\n");
        QTest::newRow("ServerChan")
            << QStringLiteral("单选框_Server酱")
            << QStringLiteral("POST /sc-2.send text=12-17/签到提醒&desp=甲：ok 5\r\n乙：\r\n");
    }
    void summaryIsPushedThroughTheCheckedChannel() {
        QFETCH(QString, radio);
        QFETCH(QString, expected);
        PushService push;
        const auto db = makeDatabase(
            *dir_,
            {{.name = "甲", .link = site_->url("/json"), .tying = "msg", .cookies = {"a=1"}},
             {.name = "乙", .link = site_->url("/json"), .tying = "msg", .cookies = {}}},
            {.bark = "bark-1", .serverChan = "sc-2", .dingTalk = "ding-3"});
        BoxRecorder boxes;
        auto window = openWindow(db);
        window->findChild<QRadioButton*>(radio)->click();
        window->findChild<QCheckBox*>(QStringLiteral("选择框_同步通知"))->setChecked(true);
        QSignalSpy finished(window.get(), &ui::MainWindow::passFinished);
        window->startPassFromMenu();
        QVERIFY(finished.wait(30000));
        QCOMPARE(push.received(), QStringList({expected}));
    }

    void failureOnlyPushWaitsForAnAccountInTrouble_data() {
        QTest::addColumn<bool>("withFailure");
        QTest::addColumn<int>("pushes");
        QTest::newRow("all signed in") << false << 0;
        QTest::newRow("one failed") << true << 1;
    }
    void failureOnlyPushWaitsForAnAccountInTrouble() {
        QFETCH(bool, withFailure);
        QFETCH(int, pushes);
        PushService push;
        std::vector<SiteSpec> sites = {
            {.name = "甲", .link = site_->url("/steady"), .tying = "msg", .cookies = {"a=1"}}};
        if (withFailure) {
            sites.push_back(
                {.name = "乙", .link = closedAddress(), .tying = "msg", .cookies = {"b=2"}});
        }
        BoxRecorder boxes;
        auto window = openWindow(makeDatabase(*dir_, sites, {.bark = "bark-1"}));
        checkBox(*window, QStringLiteral("选择框_同步通知"));
        checkBox(*window, QStringLiteral("选择框_仅失败时推送"));
        QVERIFY(runPass(*window));
        QCOMPARE(push.received().size(), pushes);
        QVERIFY(boxes.boxes.isEmpty());
    }

    // Every push address of these tests is a closed port: the push fails, and the status label
    // says so after the pass for a few seconds, the countdown of the schedule waiting behind it.
    void failedPushShowsInTheStatusLabel() {
        const auto db = makeDatabase(
            *dir_,
            {{.name = "甲", .link = site_->url("/json"), .tying = "msg", .cookies = {"a=1"}}},
            {.bark = "bark-1"});
        BoxRecorder boxes;
        auto window = openWindow(db);
        window->findChild<QRadioButton*>(QStringLiteral("单选框_Brak"))->click();
        window->findChild<QCheckBox*>(QStringLiteral("选择框_同步通知"))->setChecked(true);
        auto* label = window->findChild<QLabel*>(QStringLiteral("zt1"));
        QSignalSpy status(window.get(), &ui::MainWindow::statusChanged);
        QSignalSpy finished(window.get(), &ui::MainWindow::passFinished);
        window->startPassFromMenu();
        QVERIFY(finished.wait(30000));
        QTRY_COMPARE_WITH_TIMEOUT(label->text(), QStringLiteral("推送失败：无法连接"), 30000);
        QCOMPARE(status.last()[0].toString(), QStringLiteral("推送失败：无法连接"));
        QCOMPARE(status[status.size() - 2][0].toString(), QString());  // after "签到完毕！"

        window->setStatus(QStringLiteral("距离签到时间还有1小时0分0秒"));
        QCOMPARE(label->text(), QStringLiteral("推送失败：无法连接"));
        QTRY_COMPARE_WITH_TIMEOUT(label->text(), QStringLiteral("距离签到时间还有1小时0分0秒"),
                                  30000);
        QVERIFY(boxes.boxes.isEmpty());
    }

    void verdictsShowAsIconsWithTheirReasons() {
        BoxRecorder boxes;
        auto window = openWindow(makeDatabase(*dir_, accountsOfEveryKind()));
        QVERIFY(runPass(*window));

        const struct {
            Verdict verdict;
            QString toolTip;
        } expected[] = {{Verdict::Success, QStringLiteral("成功：内置：成功")},
                        {Verdict::Expired, QStringLiteral("Cookie失效：HTTP 401")},
                        {Verdict::Failed, QStringLiteral("失败：无法连接")}};
        for (int row = 0; row < 3; ++row) {
            QCOMPARE(resultCell(*window, row, ui::kVerdictRole).toInt(),
                     static_cast<int>(expected[row].verdict));
            QCOMPARE(resultCell(*window, row, Qt::ToolTipRole).toString(), expected[row].toolTip);
            const QIcon icon = resultCell(*window, row, Qt::DecorationRole).value<QIcon>();
            QCOMPARE(icon.pixmap(16, 16).toImage(),
                     ui::verdictIcon(expected[row].verdict).pixmap(16, 16).toImage());
        }
        // The text is the result as before.
        QCOMPARE(window->cellText(0, kColumnResult), QStringLiteral("签到成功"));
        // An account without a cookie is not requested and gets no icon.
        QVERIFY(!resultCell(*window, 3, ui::kVerdictRole).isValid());
        QVERIFY(!resultCell(*window, 3, Qt::DecorationRole).isValid());

        QVERIFY(boxes.boxes.isEmpty());
    }

    // A reload (after 修改 → 保存, say) keeps each listed account's result and icon; an entry
    // that is no longer the same account starts without, and the next pass starts afresh.
    void aReloadKeepsTheResultsOfTheRowsListedAgain() {
        BoxRecorder boxes;
        auto window = openWindow(makeDatabase(*dir_, accountsOfEveryKind()));
        QVERIFY(runPass(*window));
        QStringList texts;
        QVariantList verdicts;
        for (int row = 0; row < 3; ++row) {
            texts << window->cellText(row, kColumnResult);
            verdicts << resultCell(*window, row, ui::kVerdictRole);
        }
        QVERIFY(window->reloadSiteList());
        for (int row = 0; row < 3; ++row) {
            QCOMPARE(window->cellText(row, kColumnResult), texts[row]);
            QCOMPARE(resultCell(*window, row, ui::kVerdictRole), verdicts[row]);
            QVERIFY(resultCell(*window, row, Qt::DecorationRole).isValid());
        }

        // The first site's only account goes: the site stays, listed without an account.
        QVERIFY(window->siteBook().deleteAccount(window->siteList()[0].Cid));
        QVERIFY(window->reloadSiteList());
        QCOMPARE(window->cellText(0, kColumnResult), QString());
        QVERIFY(!resultCell(*window, 0, Qt::DecorationRole).isValid());
        for (int row = 1; row < 3; ++row) {
            QCOMPARE(window->cellText(row, kColumnResult), texts[row]);
            QCOMPARE(resultCell(*window, row, ui::kVerdictRole), verdicts[row]);
        }

        // The rows' results reach the list through the event loop, after this.
        QSignalSpy finished(window.get(), &ui::MainWindow::passFinished);
        window->startPassFromMenu();
        for (int row = 0; row < 3; ++row) {
            QCOMPARE(window->cellText(row, kColumnResult), QString());
            QVERIFY(!resultCell(*window, row, Qt::DecorationRole).isValid());
        }
        QVERIFY(finished.wait(30000));
        QVERIFY(boxes.boxes.isEmpty());
    }

    // The status strip's progress bar counts the requested rows as they finish; "停止签到" stops
    // the pass, its rows not yet signed marked "已停止", and says how far it came.
    void aPassCanBeFollowedAndStopped() {
        const auto db = makeDatabase(
            *dir_,
            {{.name = "甲", .link = site_->url("/steady"), .tying = "msg", .cookies = {"a=1"}},
             {.name = "乙", .link = site_->url("/json"), .tying = "msg", .cookies = {}},
             {.name = "丙", .link = site_->url("/json"), .tying = "msg", .cookies = {"c=3"}},
             {.name = "丁", .link = site_->url("/json"), .tying = "msg", .cookies = {"d=4"}}});
        BoxRecorder boxes;
        auto window = openWindow(db);
        auto* progress = window->findChild<QProgressBar*>(QStringLiteral("进度条_签到"));
        auto* stop = window->findChild<QAction*>(QStringLiteral("菜单_停止签到"));
        QVERIFY(progress->isHidden());
        QVERIFY(!stop->isEnabled());
        QSignalSpy finished(window.get(), &ui::MainWindow::passFinished);
        site_->closeGate();
        window->startPassFromMenu();
        QTRY_COMPARE_WITH_TIMEOUT(site_->waiting.load(), 1, 30000);
        QTRY_COMPARE_WITH_TIMEOUT(progress->text(), QStringLiteral("签到 1/3"), 30000);
        QVERIFY(progress->isVisible());
        auto* status = window->findChild<QLabel*>(QStringLiteral("zt1"));
        QVERIFY(status->geometry().right() < progress->geometry().left());
        QVERIFY(stop->isEnabled());

        stop->trigger();
        QVERIFY(finished.wait(30000));
        site_->openGate();
        QCOMPARE(window->cellText(0, kColumnResult), QStringLiteral("签到成功"));
        QCOMPARE(window->cellText(2, kColumnResult), QStringLiteral("已停止"));
        QCOMPARE(window->cellText(3, kColumnResult), QStringLiteral("已停止"));
        QCOMPARE(window->statusText(), QStringLiteral("签到已停止：完成 1/3"));
        QVERIFY(progress->isHidden());
        QVERIFY(!stop->isEnabled());
        QVERIFY(historyRows(db).empty());
        QVERIFY(boxes.boxes.isEmpty());
    }

    // A failed or expired row without a result shows the verdict's reason greyed in its empty
    // cell, and its line of the pushed summary carries the reason; the cell's text stays empty.
    void emptyFailuresShowTheirReason() {
        PushService push;
        const auto db = makeDatabase(
            *dir_,
            {{.name = "甲", .link = site_->url("/blank500"), .tying = "msg", .cookies = {"a=1"}},
             {.name = "乙", .link = site_->url("/blank401"), .tying = "msg", .cookies = {"b=2"}},
             {.name = "丙", .link = site_->url("/json"), .tying = "msg", .cookies = {"c=3"}}},
            {.bark = "bark-1"});
        BoxRecorder boxes;
        auto window = openWindow(db);
        window->findChild<QRadioButton*>(QStringLiteral("单选框_Brak"))->click();
        checkBox(*window, QStringLiteral("选择框_同步通知"));
        QVERIFY(runPass(*window));

        const struct {
            QString shown;
            bool greyed;
        } expected[] = {{QStringLiteral("HTTP 500"), true},
                        {QStringLiteral("HTTP 401"), true},
                        {QStringLiteral("ok 5"), false}};
        for (int row = 0; row < 3; ++row) {
            QCOMPARE(resultCell(*window, row, Qt::DisplayRole).toString(), expected[row].shown);
            const QVariant colour = resultCell(*window, row, Qt::ForegroundRole);
            QCOMPARE(colour.isValid(), expected[row].greyed);
        }
        QCOMPARE(window->cellText(0, kColumnResult), QString());
        QCOMPARE(window->cellText(1, kColumnResult), QString());
        auto* list = window->findChild<QTreeView*>(QStringLiteral("超级列表框_签到区"));
        list->setCurrentIndex(list->model()->index(0, kColumnResult));
        QGuiApplication::clipboard()->setText(QStringLiteral("before"));
        emit list->doubleClicked(list->currentIndex());
        QCOMPARE(QGuiApplication::clipboard()->text(), QString());

        QCOMPARE(push.received(),
                 QStringList({QStringLiteral("GET /bark-1/12-17/签到提醒/【失败】甲：HTTP "
                                             "500\r\n【失效】乙：HTTP 401\r\n丙：ok 5\r\n")}));
        QVERIFY(boxes.boxes.isEmpty());
    }

    // The counts have a label of their own: the schedule's countdown goes on in the status label
    // beside them, and the next pass takes them away.
    void countsStayInTheStatusStripUntilTheNextPass() {
        BoxRecorder boxes;
        auto window = openWindow(makeDatabase(*dir_, accountsOfEveryKind()));
        auto* counts = window->findChild<QLabel*>(QStringLiteral("zt2"));
        QVERIFY(counts->isHidden());
        QVERIFY(runPass(*window));
        QCOMPARE(window->passCountsText(), kEveryKindCounts);
        QVERIFY(counts->isVisible());
        QCOMPARE(window->statusText(), QString());

        auto clock = std::make_shared<FakeClock>();
        clock->set(secondsBefore(0, 0, 0));  // dawn: no drawn time to catch up
        window->scheduler().setClock(clock);
        checkBox(*window, QStringLiteral("选择框_开启定时"));
        window->scheduler().onScheduleTick();
        QVERIFY(window->statusText().startsWith(QStringLiteral("距离签到时间还有")));
        QCOMPARE(window->passCountsText(), kEveryKindCounts);
        QVERIFY(counts->isVisible());
        // Side by side, not over each other.
        auto* status = window->findChild<QLabel*>(QStringLiteral("zt1"));
        QVERIFY(status->geometry().right() < counts->geometry().left());

        QSignalSpy finished(window.get(), &ui::MainWindow::passFinished);
        site_->closeGate();
        window->startPassFromMenu();
        QTRY_COMPARE_WITH_TIMEOUT(site_->waiting.load(), 1, 30000);
        QCOMPARE(window->passCountsText(), QString());
        QVERIFY(counts->isHidden());
        site_->openGate();
        QVERIFY(finished.wait(30000));
        QVERIFY(boxes.boxes.isEmpty());
    }

    void renewedCookiesAreSavedOnlyWhenAsked_data() {
        QTest::addColumn<bool>("save");
        QTest::newRow("box checked") << true;
        QTest::newRow("box unchecked") << false;
    }
    void renewedCookiesAreSavedOnlyWhenAsked() {
        QFETCH(bool, save);
        const auto db = makeDatabase(
            *dir_,
            {{.name = "甲", .link = site_->url("/success"), .tying = "msg", .cookies = {"a=1"}},
             {.name = "乙", .link = site_->url("/steady"), .tying = "msg", .cookies = {"b=2"}},
             {.name = "丙", .link = site_->url("/expired"), .tying = "msg", .cookies = {"c=3"}}});
        BoxRecorder boxes;
        auto window = openWindow(db);
        if (save) {
            checkBox(*window, QStringLiteral("选择框_保存更新的Cookie"));
        }
        const QByteArray before = fileBytes(db);
        QSignalSpy status(window.get(), &ui::MainWindow::statusChanged);
        QVERIFY(runPass(*window));

        if (!save) {
            QCOMPARE(fileBytes(db), before);
            return;
        }
        // Only the account that went well and whose cookie the site renewed.
        const auto stored = accounts(db);
        QCOMPARE(stored.size(), std::size_t{3});
        QCOMPARE(stored[0].cookie, std::string("sid=new; a=1"));
        QCOMPARE(stored[1].cookie, std::string("b=2"));
        QCOMPARE(stored[2].cookie, std::string("c=3"));
        QCOMPARE(status.last()[0].toString(), QStringLiteral("已保存 1 个更新的 Cookie"));
        QVERIFY(boxes.boxes.isEmpty());
    }

    void aCookieOfBytesThatAreNoTextIsNamedAndNeverSaved() {
        BoxRecorder boxes;
        const auto db = makeDatabase(
            *dir_,
            {{.name = "甲", .link = site_->url("/carriage"), .tying = "msg", .cookies = {"a=1"}}});
        auto window = openWindow(db);
        checkBox(*window, QStringLiteral("选择框_保存更新的Cookie"));
        QVERIFY(runPass(*window));
        QCOMPARE(
            window->statusText(),
            QStringLiteral("网站设置的 Cookie 里有控制字符或不是文字的字节，没有采用：甲（bin）"));
        QCOMPARE(accounts(db)[0].cookie, std::string("a=1"));
        QVERIFY(boxes.boxes.isEmpty());
    }

    void aCookieChangedWhileThePassRanIsLeftAndNamed() {
        BoxRecorder boxes;
        const auto db = makeDatabase(
            *dir_,
            {{.name = "甲", .link = site_->url("/changed"), .tying = "msg", .cookies = {"a=1"}},
             {.name = "乙", .link = site_->url("/success"), .tying = "msg", .cookies = {"b=2"}}});
        changedDuringPass_ = db;
        auto window = openWindow(db);
        checkBox(*window, QStringLiteral("选择框_保存更新的Cookie"));
        QVERIFY(runPass(*window));
        const auto stored = accounts(db);
        QCOMPARE(stored[0].cookie, std::string("tok=MANUAL"));
        QCOMPARE(stored[1].cookie, std::string("sid=new; b=2"));
        QCOMPARE(window->statusText(), QStringLiteral("已保存 1 个更新的 Cookie；这些账号的 Cookie "
                                                      "在签到期间被改动或删除，没有覆盖：甲"));
        QVERIFY(boxes.boxes.isEmpty());
    }

    // Every push address here is a closed port: the failed push stays in view beside the saved
    // cookies.
    void savedCookiesJoinAFailedPushInTheStatusLabel() {
        BoxRecorder boxes;
        auto window = openWindow(makeDatabase(
            *dir_,
            {{.name = "甲", .link = site_->url("/success"), .tying = "msg", .cookies = {"a=1"}}},
            {.bark = "bark-1"}));
        checkBox(*window, QStringLiteral("选择框_同步通知"));
        checkBox(*window, QStringLiteral("选择框_保存更新的Cookie"));
        QVERIFY(runPass(*window));
        QCOMPARE(window->statusText(),
                 QStringLiteral("推送失败：无法连接；已保存 1 个更新的 Cookie"));
        QVERIFY(boxes.boxes.isEmpty());
    }

    void failedCookieSaveShowsTheLibraryMessage() {
        const auto db = makeDatabase(
            *dir_,
            {{.name = "甲", .link = site_->url("/success"), .tying = "msg", .cookies = {"a=1"}}});
        execute(db,
                "create trigger refuse before update on WebCookie begin "
                "select raise(abort, 'cookies are kept'); end");
        BoxRecorder boxes;
        auto window = openWindow(db);
        checkBox(*window, QStringLiteral("选择框_保存更新的Cookie"));
        QVERIFY(runPass(*window));
        QCOMPARE(boxes.boxes.size(), 1);
        QCOMPARE(boxes.boxes[0].text,
                 QStringLiteral("更新的 Cookie 保存失败！\r\ncookies are kept"));
        QCOMPARE(boxes.boxes[0].icon, ui::BoxIcon::Warning);
        QCOMPARE(accounts(db)[0].cookie, std::string("a=1"));
    }

    void everyPassIsWrittenToTheHistory_data() {
        QTest::addColumn<bool>("scheduled");
        QTest::newRow("menu") << false;
        QTest::newRow("schedule") << true;
    }
    // Every row goes to History.db beside Sign.db, skipped ones too, with the list's results.
    void everyPassIsWrittenToTheHistory() {
        QFETCH(bool, scheduled);
        const auto db = makeDatabase(*dir_, accountsOfEveryKind());
        BoxRecorder boxes;
        auto window = openWindow(db);
        QSignalSpy finished(window.get(), &ui::MainWindow::passFinished);
        if (scheduled) {
            window->startScheduledPass();
        } else {
            window->startPassFromMenu();
        }
        QVERIFY(finished.wait(30000));

        const auto rows = historyRows(db);
        QCOMPARE(rows.size(), std::size_t{4});
        const QStringList names = {"甲", "乙", "丙", "丁"};
        const Verdict verdicts[] = {Verdict::Success, Verdict::Expired, Verdict::Failed,
                                    Verdict::Skipped};
        for (int row = 0; row < 4; ++row) {
            const HistoryEntry& entry = rows[static_cast<std::size_t>(row)];
            QCOMPARE(entry.time, rows[0].time);
            QCOMPARE(entry.cid, window->siteList()[static_cast<std::size_t>(row)].Cid);
            QCOMPARE(ui::fromAnsi(entry.site), names[row]);
            QCOMPARE(entry.verdict, Text(verdictName(verdicts[row])));
            QCOMPARE(ui::fromAnsi(entry.result), window->cellText(row, kColumnResult));
        }
        QCOMPARE(rows[1].status, 401);
        QVERIFY(boxes.boxes.isEmpty());
    }

    // History.db cannot be made (a directory has its name): the status strip says so, and the
    // pass is as it would have been.
    void unwritableHistoryIsSaidInTheStatusStrip() {
        const auto db = makeDatabase(
            *dir_,
            {{.name = "甲", .link = site_->url("/json"), .tying = "msg", .cookies = {"a=1"}}});
        std::filesystem::create_directory(historyDatabasePath(db));
        BoxRecorder boxes;
        auto window = openWindow(db);
        QVERIFY(runPass(*window));
        QVERIFY2(window->statusText().startsWith(QStringLiteral("签到历史没有保存：")),
                 qPrintable(window->statusText()));
        QCOMPARE(window->cellText(0, kColumnResult), QStringLiteral("ok 5"));
        QVERIFY(boxes.boxes.isEmpty());
    }

    // The captures' expiries and the last two verdicts mark accounts in "账号状态" when the list
    // is loaded.
    void cookieWarningsAreMarkedInTheList() {
        const auto db = makeDatabase(
            *dir_, {{.name = "甲", .link = site_->url("/json"), .tying = "msg", .cookies = {"a=1"}},
                    {.name = "乙", .link = site_->url("/json"), .tying = "msg", .cookies = {"b=2"}},
                    {.name = "丙", .link = site_->url("/json"), .tying = "msg", .cookies = {"c=3"}},
                    {.name = "丁", .link = site_->url("/json"), .tying = "msg", .cookies = {"d=4"}},
                    {.name = "戊", .link = site_->url("/json"), .tying = "msg", .cookies = {}}});
        BoxRecorder boxes;
        auto window = openWindow(db);
        const SiteList sites = window->siteList();
        const double now = nowDateTime();
        {
            HistoryDatabase history;
            QVERIFY(history.create(db));
            QVERIFY(
                history.saveCookieExpiry({sites[0].Cid, historyTime(now + 3), historyTime(now)}));
            QVERIFY(history.saveCookieExpiry(
                {sites[1].Cid, historyTime(now - 1), historyTime(now - 30)}));
            QVERIFY(
                history.saveCookieExpiry({sites[2].Cid, historyTime(now + 30), historyTime(now)}));
            QVERIFY(history.appendPass({expiredRow(sites[3], now - 2)}));
            QVERIFY(history.appendPass({expiredRow(sites[3], now - 1)}));
        }
        QVERIFY(window->reloadSiteList());

        const QStringList warnings = {
            QStringLiteral("Cookie 将于 %1 过期").arg(ui::fromAnsi(historyDay(now + 3))),
            QStringLiteral("Cookie 已过期"), QString(),
            QStringLiteral("最近两次签到都是 Cookie失效"), QString()};
        const QImage mark = ui::cookieWarningIcon().pixmap(16, 16).toImage();
        for (int row = 0; row < 5; ++row) {
            const QVariant icon = accountCell(*window, row, Qt::DecorationRole);
            if (warnings[row].isEmpty()) {
                QVERIFY(!icon.isValid());
                QCOMPARE(accountCell(*window, row, Qt::ToolTipRole).toString(),
                         window->cellText(row, kColumnAccount));
            } else {
                QCOMPARE(icon.value<QIcon>().pixmap(16, 16).toImage(), mark);
                QCOMPARE(accountCell(*window, row, Qt::ToolTipRole).toString(), warnings[row]);
            }
        }
        QVERIFY(boxes.boxes.isEmpty());
    }

    // A second expired pass in a row marks the account as soon as the pass is over.
    void cookieWarningsAreRefreshedAfterThePass() {
        const auto db = makeDatabase(*dir_, accountsOfEveryKind());
        BoxRecorder boxes;
        auto window = openWindow(db);
        {
            HistoryDatabase history;
            QVERIFY(history.create(db));
            QVERIFY(history.appendPass({expiredRow(window->siteList()[1], nowDateTime() - 1)}));
        }
        QVERIFY(window->reloadSiteList());
        QVERIFY(!accountCell(*window, 1, Qt::DecorationRole).isValid());
        QVERIFY(runPass(*window));
        QCOMPARE(accountCell(*window, 1, Qt::ToolTipRole).toString(),
                 QStringLiteral("最近两次签到都是 Cookie失效"));
        QVERIFY(!accountCell(*window, 0, Qt::DecorationRole).isValid());
        QVERIFY(boxes.boxes.isEmpty());
    }

    // The summary names the cookies that run out soon, from the captures History.db keeps.
    void summaryNamesCookiesThatRunOutSoon() {
        PushService push;
        const auto db = makeDatabase(
            *dir_,
            {{.name = "甲", .link = site_->url("/json"), .tying = "msg", .cookies = {"a=1"}}},
            {.bark = "bark-1"});
        BoxRecorder boxes;
        auto window = openWindow(db);
        {
            HistoryDatabase history;
            QVERIFY(history.create(db));
            QVERIFY(
                history.saveCookieExpiry({window->siteList()[0].Cid, historyTime(nowDateTime() + 2),
                                          historyTime(nowDateTime())}));
        }
        checkBox(*window, QStringLiteral("选择框_同步通知"));
        QVERIFY(runPass(*window));
        QCOMPARE(push.received().size(), 1);
        QVERIFY2(push.received()[0].contains(QStringLiteral("Cookie 即将过期：甲（2 天）")),
                 qPrintable(push.received()[0]));
        QVERIFY(boxes.boxes.isEmpty());
    }

    // Destroying the window while the worker is inside a request ends the pass before the next
    // site: nothing more is requested and Sign.db is not touched.
    void windowGoingAwayStopsThePass() {
        const auto db = makeDatabase(
            *dir_,
            {{.name = "甲", .link = site_->url("/json"), .tying = "msg", .cookies = {"a=1"}},
             {.name = "乙", .link = site_->url("/json"), .tying = "msg", .cookies = {"b=2"}}});
        const QByteArray before = fileBytes(db);
        BoxRecorder boxes;
        auto window = openWindow(db);
        site_->closeGate();
        window->startPassFromMenu();
        QTRY_COMPARE_WITH_TIMEOUT(site_->waiting.load(), 1, 30000);
        std::thread opener([this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            site_->openGate();
        });
        window.reset();
        opener.join();
        QCOMPARE(site_->requests.load(), 1);
        QCOMPARE(fileBytes(db), before);
    }

    // "同时签到数" is kept in Sign.db once changed and read at start-up. With 2, the account of
    // another host (127.0.0.2) is requested while the first one waits for its answer, and the
    // list still fills in list order.
    void simultaneousSignInsRequestOtherHostsAtOnce() {
        FakeSite other;
        other.server().Get("/steady", [&other](const httplib::Request&, httplib::Response& res) {
            ++other.requests;
            res.set_content(gbk("{\"msg\":\"签到成功\"}"), "application/json");
        });
        other.start("127.0.0.2");
        const auto db = makeDatabase(
            *dir_,
            {{.name = "甲", .link = site_->url("/json"), .tying = "msg", .cookies = {"a=1"}},
             {.name = "乙", .link = other.url("/steady"), .tying = "msg", .cookies = {"b=2"}}});
        auto storedJobs = [&db] {
            SqlDatabase sql;
            return openSiteDatabase(sql, db) ? readSetting(sql, "sign_in_jobs") : std::nullopt;
        };
        const QString spinBox = QStringLiteral("数字框_同时签到数");
        BoxRecorder boxes;
        {
            auto window = openWindow(db);
            auto* jobs = window->findChild<QSpinBox*>(spinBox);
            QCOMPARE(jobs->value(), 1);
            QVERIFY(!storedJobs());
            QTest::keyClick(jobs, Qt::Key_Up);
            QCOMPARE(storedJobs(), std::optional<Text>("2"));
        }
        auto window = openWindow(db);
        QCOMPARE(window->findChild<QSpinBox*>(spinBox)->value(), 2);
        QSignalSpy status(window.get(), &ui::MainWindow::statusChanged);
        QSignalSpy finished(window.get(), &ui::MainWindow::passFinished);
        site_->closeGate();
        window->startPassFromMenu();
        QTRY_VERIFY_WITH_TIMEOUT(site_->waiting.load() == 1 && other.requests.load() == 1, 30000);
        QCOMPARE(window->cellText(1, 5), QString());  // its turn comes after 甲's
        site_->openGate();
        QVERIFY(finished.wait(30000));
        QCOMPARE(window->cellText(0, 5), QStringLiteral("ok 5"));
        QCOMPARE(window->cellText(1, 5), QStringLiteral("签到成功"));
        QStringList texts;
        for (const auto& args : status) {
            texts << args[0].toString();
        }
        QCOMPARE(texts, QStringList({"开始对>>>甲<<<进行签到", "开始对>>>乙<<<进行签到",
                                     "签到完毕！", ""}));
        QVERIFY(boxes.boxes.isEmpty());
    }

private:
    // A port of 127.0.0.1 that nothing listens on: the request fails.
    static std::string closedAddress() {
        return "http://127.0.0.1:" + std::to_string(test::closedPort()) + "/sign";
    }

    // One account signed in, one whose cookie has expired (HTTP 401), one that fails (nothing
    // listens), and one without a cookie.
    std::vector<SiteSpec> accountsOfEveryKind() const {
        return {{.name = "甲", .link = site_->url("/success"), .tying = "msg", .cookies = {"a=1"}},
                {.name = "乙", .link = site_->url("/expired"), .tying = "msg", .cookies = {"b=2"}},
                {.name = "丙", .link = closedAddress(), .tying = "msg", .cookies = {"c=3"}},
                {.name = "丁", .link = site_->url("/success"), .tying = "msg", .cookies = {}}};
    }

    // "开始签到"; true once the pass has finished.
    [[nodiscard]] static bool runPass(ui::MainWindow& window) {
        QSignalSpy finished(&window, &ui::MainWindow::passFinished);
        window.startPassFromMenu();
        return finished.wait(30000);
    }

    std::unique_ptr<FakeSite> site_;
    std::filesystem::path changedDuringPass_;  // the Sign.db /changed writes into
    std::unique_ptr<QTemporaryDir> dir_;
};

QTEST_MAIN(SignInPassTest)
#include "sign_in_pass_test.moc"
