// Recording a sign-in in the login window over the real web engine, run offscreen against a
// forum on 127.0.0.1: its page holds a fresh formhash at every load, and its 签到 button posts it
// with fetch. What the recording holds, the sign-in it marks, and the template written from it,
// which then signs the forum with the formhash of a later load.
#include "engine/flow/recording.h"

#include <QApplication>
#include <QDialog>
#include <QTest>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "engine/flow/runner.h"
#include "engine/flow/web_transport.h"
#include "login_script.h"
#include "loopback_server.h"
#include "ui/browser/browser_loader.h"

using namespace vesprey;
using namespace vesprey::ui;
using namespace vesprey::browsertest;

namespace {

constexpr char kRecordButton[] = "按钮_录制";

// The forum. The page asks /go every 100 ms whether to press its own 签到 button, so that the
// test presses it once recording is on, as a user would.
class Forum {
public:
    Forum() {
        server_->Get("/forum.php", [this](const httplib::Request&, httplib::Response& res) {
            const std::string hash = "f" + std::to_string(++loads_) + "e1d2c3";
            {
                std::lock_guard lock(mutex_);
                issued_ = hash;
            }
            res.set_header("Set-Cookie", "auth=ok; Path=/");
            res.set_content(
                "<!doctype html><html><head><meta charset=\"utf-8\"></head><body>"
                "<form><input type=\"hidden\" name=\"formhash\" value=\"" +
                    hash +
                    "\" /></form>"
                    "<button id=\"sign\" onclick=\"fetch('/plugin.php?id=dsu_paulsign:sign', "
                    "{method: 'POST', headers: {'Content-Type': "
                    "'application/x-www-form-urlencoded'}, body: 'formhash=' + "
                    "document.querySelector('[name=formhash]').value + '&qdxq=kx'})\">签到</button>"
                    "<script>setInterval(function () { fetch('/go').then(function (r) { return "
                    "r.text(); }).then(function (t) { if (t === 'go' && !window.done) { "
                    "window.done = true; document.getElementById('sign').click(); } }); }, "
                    "100);</script></body></html>",
                "text/html; charset=utf-8");
        });
        server_->Get("/go", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content(press ? "go" : "wait", "text/plain");
        });
        server_->Post("/plugin.php", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard lock(mutex_);
            bodies_.push_back(req.body + " | " + req.get_header_value("Cookie"));
            const bool right = req.body == "formhash=" + issued_ + "&qdxq=kx";
            res.set_content(right ? "签到成功" : "表单无效", "text/plain; charset=utf-8");
            ++signIns;
        });
        server_.start();
    }
    std::string url(const std::string& path) const { return server_.url(path); }
    std::vector<std::string> bodies() {
        std::lock_guard lock(mutex_);
        return bodies_;
    }

    std::atomic<bool> press{false};
    std::atomic<int> signIns{0};

private:
    test::LocalServer<> server_;
    std::atomic<int> loads_{0};
    std::mutex mutex_;
    std::string issued_;
    std::vector<std::string> bodies_;
};

std::vector<flow::RecordedRequest> asRecorded(const QList<BrowserRecordedRequest>& requests) {
    std::vector<flow::RecordedRequest> out;
    for (const BrowserRecordedRequest& r : requests) {
        flow::RecordedRequest request;
        request.method = r.method.toStdString();
        request.url = r.url.toString(QUrl::FullyEncoded).toStdString();
        for (const auto& [name, value] : r.headers) {
            request.headers.emplace_back(name.toStdString(), value.toStdString());
        }
        request.body = r.body.toStdString();
        request.status = r.status;
        request.answer = r.answer.toStdString();
        request.script = r.script;
        out.push_back(std::move(request));
    }
    return out;
}

}  // namespace

class RecordingTest : public QObject {
    Q_OBJECT
private slots:
    void aRecordedSignInBecomesATemplateThatSignsLater() {
        Forum forum;
        WindowRun run;
        QList<BrowserRecordedRequest> recorded;
        QByteArray cookie;
        BrowserLogin login;
        login.address = forum.url("/forum.php");
        login.recorded = [&](const QList<BrowserRecordedRequest>& requests,
                             const QByteArray& pageCookie, QWidget*) {
            recorded = requests;
            cookie = pageCookie;
            return true;
        };
        int signInsSeen = 0;
        const Step startRecording = [&forum](QDialog* window) {
            button(window, kRecordButton)->click();
            forum.press = true;  // the page presses its button at its next question
            return true;
        };
        // Stops once the sign-in has been answered and the page has had a moment to report it.
        const Step stopRecording = [&forum, &signInsSeen](QDialog* window) {
            if (forum.signIns.load() == 0) {
                return false;
            }
            if (++signInsSeen < 25) {
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

        const std::vector<flow::RecordedRequest> requests = asRecorded(recorded);
        const std::size_t signIn = flow::likelySignIn(requests);
        QVERIFY(signIn < requests.size());
        const flow::RecordedRequest& posted = requests[signIn];
        QCOMPARE(QString::fromStdString(posted.method), QStringLiteral("POST"));
        QVERIFY(posted.script);
        QCOMPARE(posted.status, 200);
        QCOMPARE(QString::fromStdString(posted.answer), QStringLiteral("签到成功"));
        QCOMPARE(QString::fromStdString(posted.body), QStringLiteral("formhash=f1e1d2c3&qdxq=kx"));

        // The page's own text was recorded before it was needed: the formhash comes from it.
        const flow::RecordedFlow written = flow::flowFromRecording(
            requests, {signIn}, cookie.toStdString(), std::chrono::system_clock::now());
        QCOMPARE(written.steps, std::size_t{2});
        QCOMPARE(written.extracted.size(), std::size_t{1});
        QCOMPARE(QString::fromStdString(written.extracted[0].first), QStringLiteral("formhash"));

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
        const std::vector<std::string> bodies = forum.bodies();
        QCOMPARE(bodies.size(), std::size_t{2});
        QCOMPARE(QString::fromStdString(bodies[1]),
                 QStringLiteral("formhash=f2e1d2c3&qdxq=kx | auth=ok"));
    }
};

QTEST_MAIN(RecordingTest)
#include "recording_test.moc"
