#include "ui/dialogs/pass_options_dialog.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/dialogs/message_boxes.h"
#include "ui/qt_text.h"
#include "web/proxy.h"

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
    // ----- Proxies
    proxy_ = new QLineEdit(body);
    proxy_->setObjectName(QStringLiteral("编辑框_签到代理"));
    proxy_->setPlaceholderText(QStringLiteral("socks5h://用户名:密码@主机:端口；空：直连"));
    form_->addRow(QStringLiteral("签到代理："), proxy_);
    pushUsesProxy_ = new QCheckBox(QStringLiteral("推送也走代理"), body);
    pushUsesProxy_->setObjectName(QStringLiteral("选择框_推送走代理"));
    form_->addRow(QString(), pushUsesProxy_);
    column->addStretch(1);

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
    // ----- Proxies
    options.proxy = proxy_->text().trimmed().toStdString();
    options.pushUsesProxy = pushUsesProxy_->isChecked();
    return options;
}

void PassOptionsDialog::fill(const PassOptions& options) {
    // ----- Proxies
    proxy_->setText(QString::fromStdString(options.proxy));
    pushUsesProxy_->setChecked(options.pushUsesProxy);
}

void PassOptionsDialog::accept() {
    // ----- Proxies
    if (const std::string proxy = options().proxy; !proxy.empty()) {
        if (const std::optional<std::string> problem = proxyProblem(proxy)) {
            MessageBoxes::inform(this, QString::fromStdString(*problem), kCaption,
                                 BoxIcon::Warning);
            return;
        }
    }
    if (const WriteResult written = writePassOptions(db_, options()); !written) {
        MessageBoxes::inform(this, QStringLiteral("签到选项没有保存：") + fromAnsi(written.error),
                             kCaption, BoxIcon::Error);
        return;
    }
    ToolWindow::accept();
}

}  // namespace vesprey::ui
