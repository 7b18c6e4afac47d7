#include "ui/dialogs/pass_options_dialog.h"

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

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

    // CookieCloud.
    cookieCloudBeforePass_ = new QCheckBox(QStringLiteral("签到前同步 Cookie"), body);
    cookieCloudBeforePass_->setObjectName(QStringLiteral("选择框_签到前同步Cookie"));
    cookieCloudBeforePass_->setToolTip(
        QStringLiteral("每次签到前从 CookieCloud 服务器取回浏览器的 Cookie，合并进各账号"));
    form_->addRow(QStringLiteral("CookieCloud："), cookieCloudBeforePass_);
    cookieCloudUrl_ = new QLineEdit(body);
    cookieCloudUrl_->setObjectName(QStringLiteral("编辑框_CookieCloud地址"));
    cookieCloudUrl_->setPlaceholderText(QStringLiteral("https://cc.example.com"));
    form_->addRow(QStringLiteral("服务器地址："), cookieCloudUrl_);
    cookieCloudUuid_ = new QLineEdit(body);
    cookieCloudUuid_->setObjectName(QStringLiteral("编辑框_CookieCloudUUID"));
    cookieCloudUuid_->setPlaceholderText(QStringLiteral("浏览器扩展里的用户KEY"));
    form_->addRow(QStringLiteral("UUID："), cookieCloudUuid_);
    cookieCloudPassword_ = new QLineEdit(body);
    cookieCloudPassword_->setObjectName(QStringLiteral("编辑框_CookieCloud密码"));
    cookieCloudPassword_->setEchoMode(QLineEdit::Password);
    cookieCloudPassword_->setPlaceholderText(QStringLiteral("端对端加密密码"));
    form_->addRow(QStringLiteral("密码："), cookieCloudPassword_);
    // ----- Proxies
    proxy_ = new QLineEdit(body);
    proxy_->setObjectName(QStringLiteral("编辑框_签到代理"));
    proxy_->setPlaceholderText(QStringLiteral("socks5h://用户名:密码@主机:端口；空：直连"));
    form_->addRow(QStringLiteral("签到代理："), proxy_);
    pushUsesProxy_ = new QCheckBox(QStringLiteral("推送也走代理"), body);
    pushUsesProxy_->setObjectName(QStringLiteral("选择框_推送走代理"));
    form_->addRow(QString(), pushUsesProxy_);
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

    failureStreak_ = new QSpinBox(body);
    failureStreak_->setObjectName(QStringLiteral("数字框_连续失败推送"));
    failureStreak_->setRange(0, kMaxFailureStreak);
    failureStreak_->setSpecialValueText(QStringLiteral("关闭"));
    failureStreak_->setSuffix(QStringLiteral(" 次"));
    failureStreak_->setToolTip(
        QStringLiteral("只在勾选了推送页的“仅失败时推送”时起作用：某个账号最近 N 次签到"
                       "（含这次）都失效或失败、或有 Cookie 在 3 天内过期时才推送，汇总的"
                       "第一行写明推送原因。“关闭”时有失效或失败就推送；"
                       "没勾选“仅失败时推送”时每次都推送，这里不起作用。"));
    form_->addRow(QStringLiteral("连续失败 N 次才推送："), failureStreak_);
    relogin_ = new QCheckBox(QStringLiteral("失效时自动登录"), body);
    relogin_->setObjectName(QStringLiteral("选择框_失效时自动登录"));
    relogin_->setToolTip(QStringLiteral(
        "Cookie 失效的多步骤账号用模板的登录步骤重新登录，再签到一次；成功后保存新的 Cookie"));
    form_->addRow(QStringLiteral("重新登录："), relogin_);

    column->addLayout(okCancelRow(body));

    fill(readPassOptions(db_));
    const int bodyHeight = body->sizeHint().height();
    body->setGeometry(0, kStripHeight, kWidth, bodyHeight);
    setWindowHeight(kStripHeight + bodyHeight);
}

PassOptions PassOptionsDialog::options() const {
    PassOptions options;
    options.cookieCloudBeforePass = cookieCloudBeforePass_->isChecked();
    options.cookieCloud.url = cookieCloudUrl_->text().trimmed().toStdString();
    options.cookieCloud.uuid = cookieCloudUuid_->text().trimmed().toStdString();
    options.cookieCloud.password = cookieCloudPassword_->text().toStdString();
    options.failureStreak = failureStreak_->value();
    // ----- Proxies
    options.proxy = proxy_->text().trimmed().toStdString();
    options.pushUsesProxy = pushUsesProxy_->isChecked();
    options.relogin = relogin_->isChecked();
    // Retries and spacing; a range given the wrong way round is taken in order.
    options.retries = retries_->value();
    const auto low = std::llround(gapMin_->value() * 1000.0);
    const auto high = std::llround(gapMax_->value() * 1000.0);
    options.gapMinMs = std::min(low, high);
    options.gapMaxMs = std::max(low, high);
    return options;
}

void PassOptionsDialog::fill(const PassOptions& options) {
    cookieCloudBeforePass_->setChecked(options.cookieCloudBeforePass);
    cookieCloudUrl_->setText(QString::fromStdString(options.cookieCloud.url));
    cookieCloudUuid_->setText(QString::fromStdString(options.cookieCloud.uuid));
    cookieCloudPassword_->setText(QString::fromStdString(options.cookieCloud.password));
    failureStreak_->setValue(options.failureStreak);
    // ----- Proxies
    proxy_->setText(QString::fromStdString(options.proxy));
    pushUsesProxy_->setChecked(options.pushUsesProxy);
    relogin_->setChecked(options.relogin);
    // Retries and spacing.
    retries_->setValue(options.retries);
    gapMin_->setValue(static_cast<double>(options.gapMinMs) / 1000.0);
    gapMax_->setValue(static_cast<double>(options.gapMaxMs) / 1000.0);
}

void PassOptionsDialog::accept() {
    // CookieCloud's settings are kept as code page 936 text, which lacks some characters.
    for (QLineEdit* field : {cookieCloudUrl_, cookieCloudUuid_, cookieCloudPassword_}) {
        if (fromAnsi(toAnsi(field->text())) != field->text()) {
            MessageBoxes::inform(
                this,
                QStringLiteral("CookieCloud 的设置里有 Sign.db 存不下的字符"
                               "（如表情符号），没有保存：请只用中文、英文和数字。"),
                kCaption, BoxIcon::Warning);
            field->setFocus();
            return;
        }
    }
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
