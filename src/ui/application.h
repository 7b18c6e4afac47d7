// Start-up of the desktop program: the skin, the small start-up window titled "Vesprey v1.0",
// then the main window, which replaces it and runs its start-up sequence.
#pragma once

#include <QWidget>
#include <filesystem>
#include <functional>
#include <memory>

class QApplication;

namespace vesprey::ui {

class MainWindow;

class StartupWindow : public QWidget {
    Q_OBJECT
public:
    StartupWindow();
};

// Creates the main window for `databasePath`, destroys `startup` (when given), shows the main
// window and runs its start-up sequence.
std::unique_ptr<MainWindow> launchMainWindow(const std::filesystem::path& databasePath,
                                             StartupWindow* startup);

// The whole program: arguments, application, windows, event loop. Returns the exit code.
// `launched`, when given, is called once the main window has run its start-up sequence (the
// start-up benchmark watches the first paint from there).
int runDesktop(int argc, char** argv, const std::function<void(MainWindow&)>& launched = {});

}  // namespace vesprey::ui
