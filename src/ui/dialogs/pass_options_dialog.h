// "签到选项": the pass's further options (PassOptions), one row of the form each. "确定" keeps
// them in Sign.db and closes; a row that cannot be written is said and the window stays open.
#pragma once

#include "store/site_database.h"
#include "ui/dialogs/tool_window.h"
#include "ui/window/pass_options.h"

class QDoubleSpinBox;
class QFormLayout;
class QSpinBox;

namespace vesprey::ui {

class PassOptionsDialog : public ToolWindow {
    Q_OBJECT
public:
    PassOptionsDialog(SqlDatabase& db, QWidget* owner);

    // The options as the form holds them.
    PassOptions options() const;

public slots:
    void accept() override;

private:
    // Sets the form's fields from `options`.
    void fill(const PassOptions& options);

    SqlDatabase& db_;
    QFormLayout* form_ = nullptr;
    // Retries and spacing.
    QSpinBox* retries_ = nullptr;
    QDoubleSpinBox* gapMin_ = nullptr;
    QDoubleSpinBox* gapMax_ = nullptr;
};

}  // namespace vesprey::ui
