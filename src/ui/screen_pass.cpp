// vesprey-screen-pass: the desktop program as `vesprey` runs it (same options), which starts a
// sign-in pass as "开始签到" does once the main window is up, writes each status text as
// "status: <text>" and "pass finished" to stdout when the pass is over and its counts are in the
// status strip. With VESPREY_SCREEN_SIZE=WIDTHxHEIGHT the window takes that size first; with
// VESPREY_SCREEN_SEARCH=TEXT the list's search bar is opened with that text before the pass.
// scripts/screenshot.sh takes the README's pictures of the list with its verdicts, and of a pass
// under way in a larger window, with it.
#include <QAction>
#include <QByteArray>
#include <QLineEdit>
#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdio>

#include "ui/application.h"
#include "ui/window/main_window.h"

int main(int argc, char** argv) {
    using vesprey::ui::MainWindow;
    return vesprey::ui::runDesktop(argc, argv, [](MainWindow& window) {
        const QStringList size = QString::fromLocal8Bit(qgetenv("VESPREY_SCREEN_SIZE"))
                                     .split(QLatin1Char('x'), Qt::SkipEmptyParts);
        if (size.size() == 2) {
            window.move(0, 0);
            window.resize(size[0].toInt(), size[1].toInt());
        }
        QObject::connect(&window, &MainWindow::statusChanged, &window, [](const QString& text) {
            std::printf("status: %s\n", text.toUtf8().constData());
            std::fflush(stdout);
        });
        QObject::connect(&window, &MainWindow::passFinished, &window, [] {
            std::puts("pass finished");
            std::fflush(stdout);
        });
        if (const QString search = QString::fromUtf8(qgetenv("VESPREY_SCREEN_SEARCH"));
            !search.isEmpty()) {
            window.findChild<QAction*>(QStringLiteral("菜单_查找"))->trigger();
            window.findChild<QLineEdit*>(QStringLiteral("编辑框_搜索"))->setText(search);
        }
        window.startPassFromMenu();
    });
}
