// Closing the main window ends the process at once: during a pass (the worker inside a request
// that the site holds) as well as when idle. The window runs in a child process, this same
// executable started with --child.
#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QTest>
#include <QTimer>
#include <cstring>

#include "ui/application.h"
#include "ui/skin.h"
#include "ui_fixtures.h"

using namespace vesprey;
using namespace vesprey::uitest;

namespace {

constexpr int kChildDidNotEnd = 3;

// The child: start the window, start a pass when asked, click the close button.
int runChild(int argc, char** argv, const char* mode, const char* database) {
    QApplication app(argc, argv);
    ui::applySkin(app);
    auto window = ui::launchMainWindow(database, nullptr);
    window->setFinishedHold(std::chrono::milliseconds(20));
    auto clickClose = [&window] {
        QTest::mouseClick(window->findChild<QWidget*>(QStringLiteral("图形按钮_关闭")),
                          Qt::LeftButton);
    };
    if (std::strcmp(mode, "pass") == 0) {
        QObject::connect(window.get(), &ui::MainWindow::statusChanged, window.get(),
                         [&](const QString& text) {
                             if (text.startsWith(QStringLiteral("开始对"))) {
                                 QTimer::singleShot(300, window.get(), clickClose);
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
        QTest::newRow("during a pass") << QStringLiteral("pass");
        QTest::newRow("idle") << QStringLiteral("idle");
    }
    void closingDuringAPassEndsTheProcessAtOnce() {
        QFETCH(QString, mode);
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
        QCOMPARE(site.requests.load(), mode == QStringLiteral("pass") ? 1 : 0);
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
