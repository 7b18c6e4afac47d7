// "开机启动": the XDG autostart entry that starts the desktop program when the user logs in,
// $XDG_CONFIG_HOME/autostart/vesprey.desktop (normally ~/.config/autostart/vesprey.desktop).
// The entry starts the executable that wrote it, so the build folder's program and the installed
// one each start themselves.
#pragma once

#include <QString>
#include <filesystem>
#include <string>

class QCheckBox;
class QWidget;

namespace vesprey::ui {

std::filesystem::path autostartEntryPath();
// The entry is there (whoever wrote it).
bool autostartEnabled();
// The entry's text: a desktop entry whose Exec line starts `executable`.
std::string autostartEntry(const std::filesystem::path& executable);
// Writes the entry for `executable` (making the folder when needed), or removes it. False with
// a sentence (the system's reason in it) in *error.
bool setAutostart(bool enabled, const std::filesystem::path& executable, QString* error);

// The "开机启动" check box on `page`: checked when the entry is there; a click writes the entry
// for the running executable or removes it, and a failure is said in a message box over `owner`
// and leaves the box as it was.
QCheckBox* addAutostartSwitch(QWidget* page, QWidget* owner);

}  // namespace vesprey::ui
