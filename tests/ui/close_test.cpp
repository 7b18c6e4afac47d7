// Closing the main window ends the process at once: during a pass (the worker inside a request
// that the site holds) once the user has agreed to the question, as well as when idle; a question
// answered "取消" leaves the window and its pass running. The window runs in a child process, this
// same executable started with --child, which writes every message box to its standard error.
#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include "ui/application.h"
#include "ui/skin.h"
#include "ui_fixtures.h"

using namespace vesprey;
using namespace vesprey::uitest;

namespace {

constexpr int kChildDidNotEnd = 3;

// The child: start the window, start a pass when asked, click the close button. In "keep" mode
// the first question is answered "取消", the window checked, and the close button clicked again.
int runChild(int argc, char** argv, const char* mode, const char* database) {
    QApplication app(argc, argv);
    ui::applySkin(app);
    const bool keep = std::strcmp(mode, "keep") == 0;
    BoxRecorder boxes;
    boxes.answer = keep ? ui::BoxAnswer::Cancel : ui::BoxAnswer::Ok;
    boxes.onBox = [](const ui::BoxRequest& box) {
        std::fprintf(stderr, "box: %s\n", box.text.toUtf8().constData());
        std::fflush(stderr);
    };
    auto window = ui::launchMainWindow(database, nullptr);
    window->setFinishedHold(std::chrono::milliseconds(20));
    auto clickClose = [&window] {
        QTest::mouseClick(window->findChild<QWidget*>(QStringLiteral("图形按钮_关闭")),
                          Qt::LeftButton);
    };
    auto closeAgain = [&] {
        if (!window->isVisible() || !window->passRunning()) {
            std::fprintf(stderr, "not kept\n");
        }
        boxes.answer = ui::BoxAnswer::Ok;
        clickClose();
    };
    if (std::strcmp(mode, "idle") != 0) {
        QObject::connect(window.get(), &ui::MainWindow::statusChanged, window.get(),
                         [&](const QString& text) {
                             if (text.startsWith(QStringLiteral("开始对>>>甲"))) {
                                 QTimer::singleShot(300, window.get(), clickClose);
                                 if (keep) {
                                     QTimer::singleShot(600, window.get(), closeAgain);
                                 }
                             }
                         });
        window->startPassFromMenu();
    } else {
        QTimer::singleShot(100, window.get(), clickClose);
    }
    const int code = QApplication::exec();
    if (window->passRunning()) {
        return kChildDidNotEnd;  // closing should not have come back here with a pass running
    }
    return code;
}

QByteArray fileBytes(const std::filesystem::path& path) {
    QFile file(QString::fromStdString(path.string()));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace

class CloseTest : public QObject {
    Q_OBJECT

private slots:
    void closingDuringAPassEndsTheProcessAtOnce_data() {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("questions");
        QTest::newRow("during a pass") << QStringLiteral("pass") << 1;
        QTest::newRow("during a pass, kept once") << QStringLiteral("keep") << 2;
        QTest::newRow("idle") << QStringLiteral("idle") << 0;
    }
    void closingDuringAPassEndsTheProcessAtOnce() {
        QFETCH(QString, mode);
        QFETCH(int, questions);
        FakeSite site;
        site.server().Get("/json", [&](const httplib::Request&, httplib::Response& response) {
            ++site.requests;
            site.pass();
            response.set_content("{\"msg\":\"ok\"}", "application/json");
        });
        site.start();
        site.closeGate();
        QTemporaryDir dir;
        const auto db = makeDatabase(
            dir, {{.name = "甲", .link = site.url("/json"), .tying = "msg", .cookies = {"a=1"}},
                  {.name = "乙", .link = site.url("/json"), .tying = "msg", .cookies = {"b=2"}}});
        const QByteArray before = fileBytes(db);

        QProcess child;
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--child"), mode, QString::fromStdString(db.string())});
        // The site still holds the first request: the child can only end by being closed.
        const bool ended = child.waitForFinished(60000);
        const QByteArray errors = child.readAllStandardError();
        site.openGate();
        if (!ended) {
            child.kill();
            child.waitForFinished();
        }
        QVERIFY2(ended, errors.constData());
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QVERIFY2(child.exitCode() == 0, errors.constData());
        QVERIFY2(!errors.contains("Sanitizer"), errors.constData());
        QVERIFY2(!errors.contains("not kept"), errors.constData());
        QCOMPARE(errors.count(QByteArray("box: ") +
                              QStringLiteral("正在签到（0/2），退出会停止签到").toUtf8()),
                 questions);
        QCOMPARE(errors.count("box: "), questions);
        QCOMPARE(site.requests.load(), mode == QStringLiteral("idle") ? 0 : 1);
        QCOMPARE(fileBytes(db), before);
    }
};

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--child") == 0) {
        return runChild(1, argv, argv[2], argv[3]);
    }
    QApplication app(argc, argv);
    CloseTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "close_test.moc"
