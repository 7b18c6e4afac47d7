#include "ui/dialogs/pass_options_dialog.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/dialogs/message_boxes.h"
#include "ui/qt_text.h"

namespace vesprey::ui {
namespace {

constexpr int kWidth = 440;
constexpr int kStripHeight = 26;

const QString kCaption = QStringLiteral("签到选项");

}  // namespace

PassOptionsDialog::PassOptionsDialog(SqlDatabase& db, QWidget* owner)
    : ToolWindow(kCaption, kCaption, kWidth, 200, owner), db_(db) {
    setObjectName(QStringLiteral("窗口_签到选项"));
    auto* body = new QWidget(this);
    body->setObjectName(QStringLiteral("区域_签到选项"));
    auto* column = new QVBoxLayout(body);
    column->setContentsMargins(12, 8, 12, 10);
    form_ = new QFormLayout;
    form_->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
    form_->setFieldGrowthPolicy(QFormLayout::ExpandingFieldsGrow);
    column->addLayout(form_);
    column->addStretch(1);

    relogin_ = new QCheckBox(QStringLiteral("失效时自动登录"), body);
    relogin_->setObjectName(QStringLiteral("选择框_失效时自动登录"));
    relogin_->setToolTip(QStringLiteral(
        "Cookie 失效的多步骤账号用模板的登录步骤重新登录，再签到一次；成功后保存新的 Cookie"));
    form_->addRow(QStringLiteral("重新登录："), relogin_);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    auto* ok = new QPushButton(QStringLiteral("确定"), body);
    ok->setObjectName(QStringLiteral("超级按钮_确定"));
    auto* cancel = new QPushButton(QStringLiteral("取消"), body);
    cancel->setObjectName(QStringLiteral("超级按钮_取消"));
    ok->setDefault(true);
    cancel->setAutoDefault(false);
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    column->addLayout(buttons);
    connect(ok, &QPushButton::clicked, this, &PassOptionsDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &PassOptionsDialog::reject);

    fill(readPassOptions(db_));
    const int bodyHeight = body->sizeHint().height();
    body->setGeometry(0, kStripHeight, kWidth, bodyHeight);
    setWindowHeight(kStripHeight + bodyHeight);
}

PassOptions PassOptionsDialog::options() const {
    PassOptions options;
    options.relogin = relogin_->isChecked();
    return options;
}

void PassOptionsDialog::fill(const PassOptions& options) {
    relogin_->setChecked(options.relogin);
}

void PassOptionsDialog::accept() {
    if (const WriteResult written = writePassOptions(db_, options()); !written) {
        MessageBoxes::inform(this, QStringLiteral("签到选项没有保存：") + fromAnsi(written.error),
                             kCaption, BoxIcon::Error);
        return;
    }
    ToolWindow::accept();
}

}  // namespace vesprey::ui
