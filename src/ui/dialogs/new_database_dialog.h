// The first start without a Sign.db: instead of failing to open a file that is not there, the
// program offers to create it where it looked ("新建"), with the two example sites or without
// them; "不新建" (or the close button) leaves the program running with an empty list.
#pragma once

#include <filesystem>

#include "ui/dialogs/tool_window.h"

class QCheckBox;

namespace vesprey::ui {

class NewDatabaseDialog : public ToolWindow {
    Q_OBJECT
public:
    // `dataDirectory` is the user's data directory, made first when `path` lies in it.
    NewDatabaseDialog(std::filesystem::path path, std::filesystem::path dataDirectory,
                      QWidget* owner);

    // Whether "新建" made the file.
    bool created() const { return created_; }

public slots:
    // "新建": the file, with the example sites when their box is checked. A failure is said in a
    // message box and the window stays open.
    void create();

private:
    std::filesystem::path path_;
    std::filesystem::path dataDirectory_;
    QCheckBox* demo_ = nullptr;
    bool created_ = false;
};

// Offers the new Sign.db at `path` (modal). True when the file was created.
bool offerNewDatabase(const std::filesystem::path& path, const std::filesystem::path& dataDirectory,
                      QWidget* owner);

}  // namespace vesprey::ui
