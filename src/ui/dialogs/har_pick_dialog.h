// "选择请求": the requests of a browser's HAR file (序号, 方法, 状态, 网址), of which the user
// selects those the sign-in makes. "导 入" keeps the selection, in the file's order, and closes
// the window; the close button keeps nothing.
#pragma once

#include <cstddef>
#include <vector>

#include "engine/flow/formats.h"
#include "ui/dialogs/tool_window.h"

class QPushButton;
class QTableWidget;

namespace vesprey::ui {

class HarPickDialog : public ToolWindow {
    Q_OBJECT
public:
    HarPickDialog(const std::vector<flow::HarEntry>& entries, QWidget* owner);

    // The numbers of the selected requests (HarEntry::number) when "导 入" closed the window.
    const std::vector<std::size_t>& picks() const { return picks_; }

public slots:
    void store();  // "导 入"

private:
    std::vector<flow::HarEntry> entries_;
    QTableWidget* list_ = nullptr;
    QPushButton* import_ = nullptr;
    std::vector<std::size_t> picks_;
};

}  // namespace vesprey::ui
