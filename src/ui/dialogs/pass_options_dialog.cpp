#include "ui/dialogs/pass_options_dialog.h"

#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

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

    // Retries and spacing.
    retries_ = new QSpinBox(body);
    retries_->setObjectName(QStringLiteral("数字框_失败重试"));
    retries_->setRange(0, kMaxRetries);
    retries_->setSuffix(QStringLiteral(" 次"));
    retries_->setToolTip(QStringLiteral(
        "没有回应、连不上、超时、HTTP 5xx 或 429 的账号在其余账号签完后再试：依次等 30 秒、"
        "2 分钟、10 分钟（各加 0–30% 的随机）；Cookie 失效和规则判定的结果不重试"));
    form_->addRow(QStringLiteral("失败重试："), retries_);
    auto* gap = new QHBoxLayout;
    auto gapBox = [&](const QString& name) {
        auto* box = new QDoubleSpinBox(body);
        box->setObjectName(name);
        box->setDecimals(1);
        box->setRange(0.0, static_cast<double>(kMaxGapMs) / 1000.0);
        box->setSingleStep(0.5);
        box->setToolTip(
            QStringLiteral("同一网站两个账号的请求之间隔的秒数，每次在两数之间随机取；"
                           "别的网站的账号不受影响"));
        gap->addWidget(box);
        return box;
    };
    gapMin_ = gapBox(QStringLiteral("数字框_间隔最少"));
    gap->addWidget(new QLabel(QStringLiteral("–"), body));
    gapMax_ = gapBox(QStringLiteral("数字框_间隔最多"));
    gap->addWidget(new QLabel(QStringLiteral("秒"), body));
    gap->addStretch(1);
    form_->addRow(QStringLiteral("同一网站账号间隔："), gap);

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
    // Retries and spacing; a range given the wrong way round is taken in order.
    options.retries = retries_->value();
    const auto low = std::llround(gapMin_->value() * 1000.0);
    const auto high = std::llround(gapMax_->value() * 1000.0);
    options.gapMinMs = std::min(low, high);
    options.gapMaxMs = std::max(low, high);
    return options;
}

void PassOptionsDialog::fill(const PassOptions& options) {
    // Retries and spacing.
    retries_->setValue(options.retries);
    gapMin_->setValue(static_cast<double>(options.gapMinMs) / 1000.0);
    gapMax_->setValue(static_cast<double>(options.gapMaxMs) / 1000.0);
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
