// Start-up of the desktop program: the skin, the small start-up window titled "Vesprey v1.0",
// then the main window, which replaces it and runs its start-up sequence.
#pragma once

#include <QWidget>
#include <filesystem>
#include <functional>
#include <memory>

#include "app/environment.h"

class QApplication;
class QCoreApplication;
class QLocale;
class QTranslator;

namespace vesprey::ui {

class MainWindow;

class StartupWindow : public QWidget {
    Q_OBJECT
public:
    StartupWindow();
};

// Creates the main window for `databasePath`, destroys `startup` (when given), shows the main
// window and runs its start-up sequence. `environment` is what the program read at start.
std::unique_ptr<MainWindow> launchMainWindow(
    const std::filesystem::path& databasePath, StartupWindow* startup,
    ProgramEnvironment environment = readProgramEnvironment());

// Installs Qt's own translations (the standard buttons "OK" and "Cancel", the file dialogs…) for
// `locale`; where Qt has none for it, the Chinese ones, so that the buttons speak the program's
// language. Returns the installed translator (a child of `app`), or null when the translation
// files are not installed (Debian's qt6-translations-l10n).
QTranslator* loadQtTranslations(QCoreApplication& app, const QLocale& locale);

// The whole program: arguments, application, windows, event loop. Returns the exit code.
// `launched`, when given, is called once the main window has run its start-up sequence (the
// start-up benchmark watches the first paint from there).
int runDesktop(int argc, char** argv, const std::function<void(MainWindow&)>& launched = {});

}  // namespace vesprey::ui
