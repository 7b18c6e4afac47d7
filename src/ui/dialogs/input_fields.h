// The inputs of a multi-step template's account as fields of a window: one line per input its
// flow reads, in the flow's order, labelled with the input's name and named "编辑框_输入_<name>".
// The cookie is not among them: it keeps the window's own cookie field and the login commands. A
// password-like input is masked, with a "显示" button beside it ("按钮_显示_<name>") that shows
// it while pressed in.
#pragma once

#include <QString>
#include <optional>
#include <string>
#include <vector>

#include "engine/flow_account.h"
#include "store/flows.h"

class QLineEdit;
class QWidget;

namespace vesprey::ui {

// The most an input's value may hold, as the command line allows it.
inline constexpr std::size_t kMaxInputBytes = 64 * 1024;

class InputFields {
public:
    // Lays the fields out in `parent`, one row of kRowHeight pixels each from `top`: the label
    // right-aligned before `fieldLeft`, the field up to `right`, filled with the account's values.
    InputFields(QWidget* parent, const FlowAccount& account, int fieldLeft, int top, int right);

    static constexpr int kRowHeight = 30;

    bool empty() const { return fields_.empty(); }
    int height() const { return static_cast<int>(fields_.size()) * kRowHeight; }

    // "“password”太长（…，最多 64 KB），请改短后再保存。" for the first field over
    // kMaxInputBytes; nothing when every field fits.
    std::optional<QString> oversizedText() const;
    // The fields that differ from what the account held: a value to set, or nothing for a field
    // that was emptied.
    std::vector<InputChange> changes() const;
    // Every field's value (the empty ones left out), for an account that has no inputs yet.
    AccountInputs values() const;
    // The fields as they are now become what the account holds.
    void markStored();

private:
    struct Field {
        std::string name;
        QLineEdit* edit = nullptr;
        std::string stored;  // the value the account held; empty when it had none
    };
    static std::string value(const Field& field);

    std::vector<Field> fields_;
};

}  // namespace vesprey::ui
