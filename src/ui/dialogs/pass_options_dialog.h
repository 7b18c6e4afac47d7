// "签到选项": the pass's further options (PassOptions), one row of the form each. "确定" keeps
// them in Sign.db and closes; a row that cannot be written is said and the window stays open.
#pragma once

#include "store/site_database.h"
#include "ui/dialogs/tool_window.h"
#include "ui/window/pass_options.h"

class QCheckBox;
class QDoubleSpinBox;
class QFormLayout;
class QLineEdit;
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
    // CookieCloud: "签到前同步 Cookie", the server, the UUID and the (masked) password.
    QCheckBox* cookieCloudBeforePass_ = nullptr;
    QLineEdit* cookieCloudUrl_ = nullptr;
    QLineEdit* cookieCloudUuid_ = nullptr;
    QLineEdit* cookieCloudPassword_ = nullptr;
    QSpinBox* failureStreak_ = nullptr;  // "连续失败 N 次才推送"
    // ----- Proxies
    QLineEdit* proxy_ = nullptr;
    QCheckBox* pushUsesProxy_ = nullptr;
    QCheckBox* relogin_ = nullptr;  // 失效时自动登录
    // Retries and spacing.
    QSpinBox* retries_ = nullptr;
    QDoubleSpinBox* gapMin_ = nullptr;
    QDoubleSpinBox* gapMax_ = nullptr;
};

}  // namespace vesprey::ui
