// "开机启动": the XDG autostart entry that starts the desktop program when the user logs in,
// $XDG_CONFIG_HOME/autostart/vesprey.desktop (normally ~/.config/autostart/vesprey.desktop).
// The entry starts the executable that wrote it, so the build folder's program and the installed
// one each start themselves, with the options the window was started for (--db and the Sign.db
// it has open), so that login opens the same file.
#pragma once

#include <QString>
#include <filesystem>
#include <string>
#include <vector>

class QCheckBox;
class QWidget;

namespace vesprey::ui {

std::filesystem::path autostartEntryPath();
// The entry is there (whoever wrote it).
bool autostartEnabled();
// The entry's text: a desktop entry whose Exec line starts `executable` with `arguments`, each
// quoted as the launcher needs.
std::string autostartEntry(const std::filesystem::path& executable,
                           const std::vector<std::string>& arguments = {});
// Writes the entry for `executable` and `arguments` (making the folder when needed), or removes
// it. False with a sentence (the system's reason in it) in *error.
bool setAutostart(bool enabled, const std::filesystem::path& executable,
                  const std::vector<std::string>& arguments, QString* error);

// The options that start the desktop program on the Sign.db at `database`: --db and its
// absolute path.
std::vector<std::string> databaseArguments(const std::filesystem::path& database);

// The "开机启动" check box on `page`: checked when the entry is there; a click writes the entry
// for the running executable with `arguments` or removes it, and a failure is said in a message
// box over `owner` and leaves the box as it was.
QCheckBox* addAutostartSwitch(QWidget* page, QWidget* owner, std::vector<std::string> arguments);

}  // namespace vesprey::ui
