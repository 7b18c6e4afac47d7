// vesprey-screen-grab: saves the whole screen of $DISPLAY (or a part of it) as a PNG file. The
// README's screenshot is taken with it under Xvfb (scripts/screenshot.sh).
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 2 && args.size() != 6) {
        std::fprintf(stderr, "usage: vesprey-screen-grab OUT.png [X Y WIDTH HEIGHT]\n");
        return 1;
    }
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        std::fprintf(stderr, "no screen\n");
        return 2;
    }
    QPixmap shot = screen->grabWindow(0);
    if (args.size() == 6) {
        shot = shot.copy(args[2].toInt(), args[3].toInt(), args[4].toInt(), args[5].toInt());
    }
    if (shot.isNull() || !shot.save(args[1], "PNG")) {
        std::fprintf(stderr, "cannot save %s\n", qPrintable(args[1]));
        return 2;
    }
    return 0;
}
