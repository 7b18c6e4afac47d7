#include "ui/dialogs/import_dialog.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

#include "ui/dialogs/edit_text.h"

namespace vesprey::ui {

ImportDialog::ImportDialog(QWidget* owner)
    : ToolWindow(QStringLiteral("一键置入"), QStringLiteral("一键置入签到数据"), 451, 277, owner) {
    setObjectName(QStringLiteral("窗口_一键置入"));
    auto* label = new QLabel(QStringLiteral("Json数据："), this);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label->setGeometry(4, 35, 64, 20);
    json_ = new QPlainTextEdit(this);
    json_->setObjectName(QStringLiteral("编辑框_Cookie"));
    json_->setGeometry(71, 33, 369, 202);
    json_->setTabChangesFocus(true);
    parse_ = new QPushButton(QStringLiteral("解 析"), this);
    parse_->setObjectName(QStringLiteral("超级按钮_保存"));
    parse_->setGeometry(356, 245, 85, 25);
    parse_->setAutoDefault(false);
    connect(parse_, &QPushButton::clicked, this, &ImportDialog::store);
    placeBeside(owner, 170, 75);
    json_->setFocus();
}

void ImportDialog::store() {
    text_ = editText(json_);
    stored_ = true;
    accept();
}

}  // namespace vesprey::ui
