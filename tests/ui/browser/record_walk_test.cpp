// The whole walk of a new user who records a sign-in with only the window, against a forum on
// 127.0.0.1 (forum_site.h) that asks its visitor to log in and whose 签到 button posts the page's
// formhash by fetch: a fresh Sign.db, the forum's address as the login address, "软件登录 ",
// "录制" on, the login and 签到 in the page, "录制" off, the marked request made into a
// template, its trial, the save, and a pass from the window that signs the forum with the
// formhash of a fresh load of its page.
#include <QAction>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

#include "editor_test_support.h"
#include "engine/verdict.h"
#include "forum_site.h"  // before Qt: httplib.h must not see Qt's macros
#include "login_script.h"
#include "store/history.h"
#include "ui/window/flow_trial.h"
#include "ui/window/template_editor.h"
#include "ui_fixtures.h"

using namespace vesprey;
using namespace vesprey::browsertest;
using namespace vesprey::uitest;

namespace {

constexpr char kRecordButton[] = "按钮_录制";

// The row the recording dialog marks as the sign-in: its method and address, and whether it is
// the one picked.
struct MarkedRow {
    QString method;
    QString url;
    bool picked = false;
    int pickedRows = 0;
};

MarkedRow markedRow(QWidget* dialog) {
    auto* list = child<QTableWidget>(dialog, "列表_录制请求");
    MarkedRow marked;
    for (int row = 0; row < list->rowCount(); ++row) {
        if (list->item(row, 0)->text().endsWith(QStringLiteral("★"))) {
            marked.method = list->item(row, 1)->text();
            marked.url = list->item(row, 3)->text();
            marked.picked = list->item(row, 0)->isSelected();
        }
    }
    marked.pickedRows = static_cast<int>(list->selectionModel()->selectedRows().size());
    return marked;
}

std::vector<HistoryEntry> historyRows(const std::filesystem::path& database) {
    std::vector<HistoryEntry> rows;
    HistoryDatabase history;
    if (history.open(database).ok()) {
        history.readDays(2, nowDateTime(), rows);
    }
    return rows;
}

bool trialFinished(ui::FlowTrialWindow* steps) {
    QSignalSpy finished(steps, &ui::FlowTrialWindow::finished);
    return !steps->running() || finished.wait(30000);
}

}  // namespace

class RecordWalkTest : public QObject {
    Q_OBJECT
private slots:
    void aRecordedSignInIsTriedSavedAndSignsInAPass() {
        ForumOptions options;
        options.login = true;
        Forum forum(options);
        QTemporaryDir dir;
        const std::filesystem::path db = makeDatabase(dir, {});
        BoxRecorder boxes;
        auto window = openWindow(db);
        window->selectPage(1);
        setBox(window.get(), "编辑框_登录链接", QString::fromStdString(forum.url("/forum.php")));

        // The login window: recording on, the login, 签到 once the forum's page is there, and
        // recording off once the forum has answered it and the page has had a moment to report.
        WindowRun run;
        int ticksAfterSignIn = 0;
        const Step startRecording = [&forum](QDialog* w) {
            button(w, kRecordButton)->click();
            forum.command("login");
            return true;
        };
        const Step signOnceIn = [&forum](QDialog*) {
            if (forum.loads() == 0) {
                return false;
            }
            forum.command("sign");
            return true;
        };
        const Step stopRecording = [&](QDialog* w) {
            if (forum.signIns.load() == 0 || ++ticksAfterSignIn < 25) {
                return false;
            }
            button(w, kRecordButton)->click();
            return true;
        };
        NextLoginWindow user(&run, {whenReady(), startRecording, signOnceIn, stopRecording});
        MarkedRow marked;
        whenShown(QStringLiteral("窗口_录制签到"), [&marked](QWidget* dialog) {
            marked = markedRow(dialog);
            click(dialog, "超级按钮_生成模板");
        });
        click(window.get(), "超级按钮_软件登录");
        QVERIFY(user.found);
        QVERIFY(!run.timedOut);
        QCOMPARE(forum.logins.load(), 1);
        QCOMPARE(forum.signIns.load(), 1);

        // The sign-in was marked and picked, and only it.
        QCOMPARE(marked.method, QStringLiteral("POST（脚本）"));
        QCOMPARE(marked.url, QString::fromStdString(forum.url("/plugin.php?id=dsu_paulsign:sign")));
        QVERIFY(marked.picked);
        QCOMPARE(marked.pickedRows, 1);
        QCOMPARE(boxText(window.get(), "编辑框_签到链接"), marked.url);
        QVERIFY(checked(window.get(), "单选框_post"));

        // The trial runs at once: the page is loaded again for its formhash, and the sign-in
        // goes through.
        ui::FlowTrialWindow* steps = window->editor().flowTrialWindow();
        QVERIFY(steps != nullptr && steps->isVisible());
        QVERIFY(trialFinished(steps));
        QCOMPARE(trialVerdict(window.get()), QStringLiteral("判定：成功（全部 2 步通过）"));
        QCOMPARE(boxText(window.get(), "编辑框_返回语句"), QStringLiteral("全部 2 步完成"));
        QCOMPARE(forum.loads(), 2);
        QCOMPARE(forum.signIns.load(), 2);
        QVERIFY(forum.signInsSeen().back().right);
        steps->close();

        setBox(window.get(), "编辑框_网络名称", QStringLiteral("论坛"));
        click(window.get(), "超级按钮_保存");
        QCOMPARE(boxes.boxes.size(), 1);
        QCOMPARE(boxes.boxes[0].text, QStringLiteral("新增网站模板成功！"));
        QCOMPARE(window->rowCount(), 1);
        QCOMPARE(QString::fromStdString(window->siteList().at(0).Cookie),
                 QStringLiteral("auth=ok"));

        // The pass: a fresh load of the page, its formhash posted.
        const int loadsBefore = forum.loads();
        QSignalSpy finished(window.get(), &ui::MainWindow::passFinished);
        window->findChild<QAction*>(QStringLiteral("菜单_开始签到"))->trigger();
        QVERIFY(finished.wait(30000));
        QCOMPARE(window->cellText(0, kColumnResult), QStringLiteral("全部 2 步完成"));
        const std::vector<HistoryEntry> rows = historyRows(db);
        QCOMPARE(rows.size(), std::size_t{1});
        QCOMPARE(QString::fromStdString(rows[0].verdict),
                 QString::fromStdString(std::string(verdictName(Verdict::Success))));
        QCOMPARE(forum.loads(), loadsBefore + 1);
        const std::vector<Forum::SignIn> seen = forum.signInsSeen();
        QCOMPARE(seen.size(), std::size_t{3});
        QCOMPARE(QString::fromStdString(seen[2].issued),
                 QString::fromStdString("f" + std::to_string(loadsBefore + 1) + "e1d2c3"));
        QVERIFY(seen[2].right);
        QCOMPARE(QString::fromStdString(seen[2].body),
                 QString::fromStdString("formhash=" + seen[2].issued + "&qdxq=kx"));
        QCOMPARE(forum.logins.load(), 1);
        QCOMPARE(boxes.boxes.size(), 1);  // the pass showed none
    }
};

QTEST_MAIN(RecordWalkTest)
#include "record_walk_test.moc"
