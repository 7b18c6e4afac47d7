#include "ui/dialogs/input_fields.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "ui/layout.h"

namespace vesprey::ui {
namespace {

constexpr int kToggleWidth = 44;

QString sizeText(std::size_t bytes) {
    return bytes >= 1024 * 1024 ? QStringLiteral("%1 MB").arg(bytes / (1024 * 1024))
                                : QStringLiteral("%1 KB").arg((bytes + 1023) / 1024);
}

}  // namespace

InputFields::InputFields(QWidget* parent, const FlowAccount& account, int fieldLeft, int top,
                         int right) {
    if (!account.flow) {
        return;
    }
    for (const std::string& name : templateInputs(*account.flow)) {
        if (name == "cookie") {
            continue;
        }
        const QString shownName = QString::fromStdString(name);
        const int y = top + static_cast<int>(fields_.size()) * kRowHeight;
        auto* caption = new QLabel(shownName + QStringLiteral("："), parent);
        caption->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        caption->setGeometry(2, y + 2, fieldLeft - 5, 20);
        Field field;
        field.name = name;
        const auto given = account.inputs.find(name);
        if (given != account.inputs.end()) {
            field.stored = given->second;
        }
        const bool masked = isPasswordLike(name);
        const int width = right - fieldLeft - (masked ? kToggleWidth + 4 : 0);
        field.edit = place(new QLineEdit(parent), QStringLiteral("编辑框_输入_") + shownName,
                           fieldLeft, y, width, 24);
        // Room past the limit (QLineEdit cuts at 32767 characters by itself), so that a value
        // too long is said rather than cut short without a word.
        field.edit->setMaxLength(static_cast<int>(kMaxInputBytes) * 4);
        field.edit->setText(QString::fromStdString(field.stored));
        caption->setBuddy(field.edit);
        if (masked) {
            field.edit->setEchoMode(QLineEdit::Password);
            auto* toggle = place(new QPushButton(QStringLiteral("显示"), parent),
                                 QStringLiteral("按钮_显示_") + shownName, right - kToggleWidth, y,
                                 kToggleWidth, 24);
            toggle->setCheckable(true);
            toggle->setAutoDefault(false);
            QLineEdit* edit = field.edit;
            QObject::connect(toggle, &QPushButton::toggled, edit, [edit](bool shown) {
                edit->setEchoMode(shown ? QLineEdit::Normal : QLineEdit::Password);
            });
        }
        fields_.push_back(std::move(field));
    }
}

std::string InputFields::value(const Field& field) {
    return field.edit->text().toStdString();
}

std::optional<QString> InputFields::oversizedText() const {
    for (const Field& field : fields_) {
        const std::size_t bytes = value(field).size();
        if (bytes > kMaxInputBytes) {
            return QStringLiteral("“%1”太长（%2，最多 %3），请改短后再保存。")
                .arg(QString::fromStdString(field.name), sizeText(bytes), sizeText(kMaxInputBytes));
        }
    }
    return std::nullopt;
}

std::vector<InputChange> InputFields::changes() const {
    std::vector<InputChange> changes;
    for (const Field& field : fields_) {
        std::string now = value(field);
        if (now == field.stored) {
            continue;
        }
        changes.emplace_back(
            field.name, now.empty() ? std::nullopt : std::optional<std::string>(std::move(now)));
    }
    return changes;
}

AccountInputs InputFields::values() const {
    AccountInputs values;
    for (const Field& field : fields_) {
        if (std::string now = value(field); !now.empty()) {
            values.emplace(field.name, std::move(now));
        }
    }
    return values;
}

void InputFields::markStored() {
    for (Field& field : fields_) {
        field.stored = value(field);
    }
}

}  // namespace vesprey::ui
