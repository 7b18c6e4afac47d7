// Recording a sign-in in the login window over the real web engine, run offscreen against a
// forum on 127.0.0.1 (forum_site.h): its page holds a fresh formhash at every load, and its 签到
// button posts it, by fetch or as a plain form. What the recording holds, the sign-in it marks,
// the header lines the engine sent with it, and the template written from it, which then signs
// the forum with the formhash of a later load.
#include "engine/flow/recording.h"

#include <QApplication>
#include <QDialog>
#include <QSet>
#include <QTest>
#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "engine/flow/runner.h"
#include "engine/flow/web_transport.h"
#include "forum_site.h"
#include "login_script.h"
#include "ui/browser/browser_loader.h"
#include "ui/browser/recorded_requests.h"

using namespace vesprey;
using namespace vesprey::ui;
using namespace vesprey::browsertest;

Q_DECLARE_METATYPE(vesprey::browsertest::SignBy)

namespace {

constexpr char kRecordButton[] = "按钮_录制";

std::string headerOf(const flow::RecordedRequest& request, const std::string& name) {
    for (const auto& [key, value] : request.headers) {
        if (QString::fromStdString(key).compare(QString::fromStdString(name),
                                                Qt::CaseInsensitive) == 0) {
            return value;
        }
    }
    return {};
}

bool isPath(const flow::RecordedRequest& request, const char* path) {
    return QUrl(QString::fromStdString(request.url)).path() == QLatin1String(path);
}

}  // namespace

class RecordingTest : public QObject {
    Q_OBJECT
private slots:
    void aRecordedSignInBecomesATemplateThatSignsLater_data() {
        QTest::addColumn<SignBy>("signBy");
        QTest::addColumn<int>("pingsFirst");
        QTest::newRow("fetch") << SignBy::Fetch << 0;
        QTest::newRow("form") << SignBy::Form << 0;
        // More requests than a recording keeps: the oldest plain ones go, the page and the
        // posts stay.
        QTest::newRow("fetch after many requests") << SignBy::Fetch << kBrowserRecordLimit + 200;
    }

    void aRecordedSignInBecomesATemplateThatSignsLater() {
        QFETCH(SignBy, signBy);
        QFETCH(int, pingsFirst);
        const bool byForm = signBy == SignBy::Form;
        ForumOptions options;
        options.signBy = signBy;
        options.pingsFirst = pingsFirst;
        Forum forum(options);
        WindowRun run;
        QList<BrowserRecordedRequest> recorded;
        QByteArray cookie;
        bool answerLoaded = false;  // the page the form leads to
        BrowserLogin login;
        login.address = forum.url("/forum.php");
        login.loaded = [&](const BrowserLoad& load) {
            answerLoaded = answerLoaded || (load.result == 0 && load.url.path() == u"/plugin.php");
        };
        login.recorded = [&](const QList<BrowserRecordedRequest>& requests,
                             const QByteArray& pageCookie, QWidget*) {
            recorded = requests;
            cookie = pageCookie;
            return true;
        };
        int ticksAfterSignIn = 0;
        const Step startRecording = [&forum](QDialog* window) {
            button(window, kRecordButton)->click();
            forum.command("sign");  // the page presses its button at its next question
            return true;
        };
        // Stops once the sign-in has been answered and the page has had a moment to report it.
        const Step stopRecording = [&](QDialog* window) {
            if (forum.signIns.load() == 0 || (byForm && !answerLoaded)) {
                return false;
            }
            if (++ticksAfterSignIn < 25) {
                return false;  // about half a second more
            }
            button(window, kRecordButton)->click();
            return true;
        };
        login.opened = [&](QDialog* window) {
            script(window, &run, {whenReady(), startRecording, stopRecording});
        };
        QString failure;
        const BrowserLoginResult result = runBrowserLogin(login, &failure);
        QCOMPARE(int(result), int(BrowserLoginResult::Recorded));
        QVERIFY(!run.timedOut);
        QCOMPARE(cookie, QByteArray("auth=ok"));

        const std::string fields = Forum::moreFields(signBy);
        const std::vector<flow::RecordedRequest> requests = recordedRequests(recorded);
        const std::size_t signIn = flow::likelySignIn(requests);
        QVERIFY(signIn < requests.size());
        const flow::RecordedRequest& posted = requests[signIn];
        QCOMPARE(QString::fromStdString(posted.method), QStringLiteral("POST"));
        QVERIFY(isPath(posted, "/plugin.php"));
        QCOMPARE(posted.script, !byForm);
        QCOMPARE(posted.status, 200);
        QCOMPARE(QString::fromStdString(posted.answer), QStringLiteral("签到成功"));
        QCOMPARE(QString::fromStdString(posted.body),
                 QString::fromStdString("formhash=f1e1d2c3" + fields));
        QCOMPARE(QString::fromStdString(headerOf(posted, "Content-Type")),
                 QStringLiteral("application/x-www-form-urlencoded"));

        // The engine's own lines, as the forum was sent them, in the one entry of the sign-in:
        // the script's (or the form's) report and the engine's are one request.
        const std::vector<Forum::SignIn> seen = forum.signInsSeen();
        QCOMPARE(seen.size(), std::size_t{1});
        QCOMPARE(std::count_if(requests.begin(), requests.end(),
                               [](const auto& r) { return isPath(r, "/plugin.php"); }),
                 1);
        QVERIFY(!seen[0].userAgent.empty());
        QCOMPARE(headerOf(posted, "User-Agent"), seen[0].userAgent);
        QCOMPARE(headerOf(posted, "Referer"), seen[0].referer);
        QCOMPARE(QString::fromStdString(headerOf(posted, "Referer")),
                 QString::fromStdString(forum.url("/forum.php")));
        QCOMPARE(headerOf(posted, "Origin"), seen[0].origin);
        QCOMPARE(QString::fromStdString(headerOf(posted, "Origin")),
                 QString::fromStdString(forum.origin()));
        // Each request once, though the script and the engine both report it; no more than a
        // recording keeps.
        QStringList pings;
        for (const flow::RecordedRequest& r : requests) {
            if (isPath(r, "/ping")) {
                pings << QString::fromStdString(r.url);
            }
        }
        QCOMPARE(pings.size(), QSet<QString>(pings.begin(), pings.end()).size());
        if (pingsFirst > kBrowserRecordLimit) {
            QCOMPARE(requests.size(), std::size_t{kBrowserRecordLimit});
            QVERIFY(pings.size() < pingsFirst);
        }
        // The beacon, which no script of the page reports, with what the engine shows of it.
        const auto beacon = std::find_if(requests.begin(), requests.end(),
                                         [](const auto& r) { return isPath(r, "/stat"); });
        QVERIFY(beacon != requests.end());
        QCOMPARE(QString::fromStdString(beacon->method), QStringLiteral("POST"));
        QVERIFY(!beacon->script);
        QCOMPARE(headerOf(*beacon, "User-Agent"), seen[0].userAgent);

        // The page's own text was recorded before it was needed: the formhash comes from it.
        const flow::RecordedFlow written = flow::flowFromRecording(
            requests, {signIn}, cookie.toStdString(), std::chrono::system_clock::now());
        QCOMPARE(written.steps, std::size_t{2});
        QCOMPARE(written.extracted.size(), std::size_t{1});
        QCOMPARE(QString::fromStdString(written.extracted[0].first), QStringLiteral("formhash"));
        QVERIFY(isPath(requests[written.extracted[0].second], "/forum.php"));

        auto parsed = flow::parseFlow(written.json);
        QVERIFY2(std::holds_alternative<flow::Flow>(parsed), written.json.c_str());
        flow::WebFlowTransport transport({});
        flow::SystemFlowClock clock;
        const flow::FlowResult signed_ =
            flow::runFlow(std::get<flow::Flow>(parsed),
                          {{"cookie", flow::Value(cookie.toStdString())}}, transport, clock);
        QVERIFY2(signed_.passed, signed_.message.c_str());
        QCOMPARE(QString::fromStdString(signed_.lastAnswer.value_or("")),
                 QStringLiteral("签到成功"));
        const std::vector<Forum::SignIn> later = forum.signInsSeen();
        QCOMPARE(later.size(), std::size_t{2});
        QCOMPARE(QString::fromStdString(later[1].body),
                 QString::fromStdString("formhash=f2e1d2c3" + fields));
        QCOMPARE(QString::fromStdString(later[1].cookie), QStringLiteral("auth=ok"));
        QVERIFY(later[1].right);
    }
};

QTEST_MAIN(RecordingTest)
#include "recording_test.moc"
