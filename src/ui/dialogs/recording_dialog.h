// "录制签到": the requests the login window recorded, for the user to pick the ones the sign-in
// needs: number, method, status and address, the likely sign-in request marked and picked. The
// template editor writes the flow of the picked requests.
#pragma once

#include <cstddef>
#include <vector>

#include "engine/flow/recording.h"
#include "ui/dialogs/tool_window.h"

class QTableWidget;

namespace vesprey::ui {

class RecordingDialog : public ToolWindow {
    Q_OBJECT
public:
    RecordingDialog(const std::vector<flow::RecordedRequest>& recorded, std::size_t likely,
                    QWidget* owner);

    // The picked requests' numbers (from 0), in the recording's order.
    std::vector<std::size_t> picks() const;

public slots:
    // "生成模板": refused, with a sentence, while nothing is picked.
    void accept() override;

private:
    QTableWidget* list_ = nullptr;
};

}  // namespace vesprey::ui
