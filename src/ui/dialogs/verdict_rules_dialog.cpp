#include "ui/dialogs/verdict_rules_dialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "engine/template_import.h"
#include "ui/dialogs/edit_text.h"
#include "ui/dialogs/message_boxes.h"
#include "ui/qt_text.h"

namespace vesprey::ui {
namespace {

constexpr int kWidth = 400;
constexpr int kHeight = 192;
constexpr int kFieldLeft = 75;
constexpr int kFieldWidth = kWidth - kFieldLeft - 10;

const QString kCaption = QStringLiteral("判定规则");

QLineEdit* field(QWidget* parent, const QString& caption, int y) {
    auto* label = new QLabel(caption, parent);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label->setGeometry(4, y + 2, kFieldLeft - 4 - 6, 20);
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QStringLiteral("编辑框_") + caption);
    edit->setGeometry(kFieldLeft, y, kFieldWidth, 24);
    return edit;
}

QPushButton* button(QWidget* parent, const QString& name, const QString& caption, int x, int y) {
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(name);
    b->setGeometry(x, y, 61, 25);
    return b;
}

}  // namespace

VerdictRulesDialog::VerdictRulesDialog(const VerdictRules& rules, QWidget* owner)
    : ToolWindow(kCaption, kCaption, kWidth, kHeight, owner) {
    setObjectName(QStringLiteral("窗口_判定规则"));
    success_ = field(this, QStringLiteral("成功判定"), 36);
    already_ = field(this, QStringLiteral("已签判定"), 66);
    expired_ = field(this, QStringLiteral("失效判定"), 96);
    auto* hint = new QLabel(
        QStringLiteral("正则表达式，不区分大小写，先比失效、再比已签、后比成功；留空用内置规则。"),
        this);
    hint->setObjectName(QStringLiteral("标签_说明"));
    hint->setWordWrap(true);
    hint->setGeometry(kFieldLeft, 124, kFieldWidth, 30);
    hint->setStyleSheet(QStringLiteral("color: #6b7a8c;"));

    auto* ok = button(this, QStringLiteral("超级按钮_确定"), QStringLiteral("确定"),
                      kWidth - 10 - 61 - 10 - 61, 158);
    auto* cancel = button(this, QStringLiteral("超级按钮_取消"), QStringLiteral("取消"),
                          kWidth - 10 - 61, 158);
    ok->setDefault(true);
    cancel->setAutoDefault(false);
    connect(ok, &QPushButton::clicked, this, &VerdictRulesDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &VerdictRulesDialog::reject);

    setEditText(success_, rules.success);
    setEditText(already_, rules.already);
    setEditText(expired_, rules.expired);
    placeBeside(owner, 160, 120);
    success_->setFocus();
}

VerdictRules VerdictRulesDialog::rules() const {
    return VerdictRules{editText(success_), editText(already_), editText(expired_)};
}

void VerdictRulesDialog::accept() {
    if (const auto invalid = invalidVerdictRule(rules())) {
        MessageBoxes::inform(this, fromAnsi(*invalid), kCaption, BoxIcon::Warning);
        return;
    }
    ToolWindow::accept();
}

}  // namespace vesprey::ui
