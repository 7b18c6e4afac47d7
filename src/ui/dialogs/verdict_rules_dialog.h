// "判定规则": a template's own rules for telling how a sign-in went, one regular expression each
// for success, already signed in and expired cookie (searched without case; an empty one leaves
// the built-in rules to decide). The template editor and the modify window keep what "确定"
// accepts and store it with the template.
#pragma once

#include "model/site.h"
#include "ui/dialogs/tool_window.h"

class QLineEdit;

namespace vesprey::ui {

class VerdictRulesDialog : public ToolWindow {
    Q_OBJECT
public:
    VerdictRulesDialog(const VerdictRules& rules, QWidget* owner);

    // The rules as the fields hold them (code page 936).
    VerdictRules rules() const;

public slots:
    // "确定": a rule that is not a valid expression is said, with where it goes wrong, and the
    // window stays open.
    void accept() override;

private:
    QLineEdit* success_ = nullptr;
    QLineEdit* already_ = nullptr;
    QLineEdit* expired_ = nullptr;
};

}  // namespace vesprey::ui
