// "周期与代理": a template's own 签到周期 and proxy (store/template_settings.h), opened from the
// modify window and stored with the template by its "保存". "确定" keeps what the fields hold
// when it can be used (a proxy address that cannot is said, and the window stays open).
#pragma once

#include <array>

#include "store/template_settings.h"
#include "ui/dialogs/tool_window.h"

class QCheckBox;
class QComboBox;
class QDateEdit;
class QLineEdit;
class QSpinBox;

namespace vesprey::ui {

// What a template keeps beside its Template row: its proxy address (empty: the pass's) and its
// 签到周期 (an empty rule: every day).
struct TemplateOwnSettings {
    Text proxy;
    StoredSchedule schedule;
    bool operator==(const TemplateOwnSettings&) const = default;
};

// "每天；代理：无" and the like, for the modify window's button's tool tip.
QString ownSettingsSummary(const TemplateOwnSettings& settings);

class ScheduleProxyDialog : public ToolWindow {
    Q_OBJECT
public:
    ScheduleProxyDialog(const TemplateOwnSettings& settings, QWidget* owner);

    // The settings as the fields hold them.
    TemplateOwnSettings settings() const;

public slots:
    void accept() override;

private:
    void kindChanged(int kind);

    QLineEdit* proxy_ = nullptr;
    QComboBox* kind_ = nullptr;  // 每天, 每隔几天, 每周几
    QSpinBox* every_ = nullptr;
    QDateEdit* start_ = nullptr;
    std::array<QCheckBox*, 7> weekdays_{};  // Monday to Sunday
};

}  // namespace vesprey::ui
