#include "ui/dialogs/push_channels_dialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "json/json.h"
#include "store/push_channels.h"
#include "store/site_database.h"
#include "ui/dialogs/message_boxes.h"
#include "ui/qt_text.h"
#include "ui/window/push_test.h"

namespace vesprey::ui {
namespace {

constexpr std::string_view kEnabledSetting = "push_channels";

QString channelCaption(std::string_view name) {
    static const std::pair<std::string_view, const char*> kCaptions[] = {
        {"bark", "Bark"},
        {"serverchan", "Server酱"},
        {"dingtalk", "钉钉群机器人"},
        {"ntfy", "ntfy"},
        {"gotify", "Gotify"},
        {"telegram", "Telegram"},
        {"wecom", "企业微信群机器人"},
        {"feishu", "飞书群机器人"},
        {"pushplus", "PushPlus"},
        {"serverchan3", "Server酱³"},
        {"webhook", "Webhook"},
        {"email", "电子邮件"},
    };
    for (const auto& [channel, caption] : kCaptions) {
        if (channel == name) {
            return QString::fromUtf8(caption);
        }
    }
    return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
}

QString fieldCaption(std::string_view member) {
    static const std::pair<std::string_view, const char*> kCaptions[] = {
        {"key", "密钥"},     {"topic", "主题"},      {"token", "令牌"},  {"chat_id", "chat_id"},
        {"url", "服务地址"}, {"sendkey", "SendKey"}, {"host", "服务器"}, {"port", "端口"},
        {"user", "用户名"},  {"password", "密码"},   {"from", "发件人"}, {"to", "收件人"},
        {"tls", "加密方式"},
    };
    for (const auto& [name, caption] : kCaptions) {
        if (name == member) {
            return QString::fromUtf8(caption);
        }
    }
    return QString::fromUtf8(member.data(), static_cast<qsizetype>(member.size()));
}

QString fieldHint(std::string_view channel, const PushSettingField& field) {
    if (channel == "email" && field.member == "tls") {
        return QStringLiteral("starttls、ssl 或 none");
    }
    if (channel == "email" && field.member == "port") {
        return QStringLiteral("空着：starttls 用 587，ssl 用 465");
    }
    return field.required ? QStringLiteral("必填") : QStringLiteral("可不填");
}

}  // namespace

std::vector<std::string> enabledPushChannels(SqlDatabase& db) {
    std::vector<std::string> enabled;
    const std::optional<Text> stored = readSetting(db, kEnabledSetting);
    if (!stored) {
        return enabled;
    }
    std::vector<std::string_view> named;
    std::string_view rest = *stored;
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        named.push_back(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
    for (const PushChannelInfo& channel : pushChannels()) {
        if (std::find(named.begin(), named.end(), channel.name) != named.end()) {
            enabled.emplace_back(channel.name);
        }
    }
    return enabled;
}

PushChannelsDialog::PushChannelsDialog(SqlDatabase& db, PushSettings& keys, PushTest& test,
                                       QWidget* parent)
    : QDialog(parent), db_(db), keys_(keys), test_(test) {
    setObjectName(QStringLiteral("窗口_推送渠道"));
    setWindowTitle(QStringLiteral("推送渠道"));
    // A file that cannot give them shows empty forms; saving says what is wrong.
    if (!readChannelSettings(db_, settings_).ok()) {
        settings_.clear();
    }

    list_ = new QListWidget(this);
    list_->setObjectName(QStringLiteral("列表_推送渠道"));
    list_->setFixedWidth(170);
    const std::vector<std::string> enabled = enabledPushChannels(db_);
    for (const PushChannelInfo& channel : pushChannels()) {
        auto* item = new QListWidgetItem(channelCaption(channel.name), list_);
        item->setData(
            Qt::UserRole,
            QString::fromLatin1(channel.name.data(), static_cast<qsizetype>(channel.name.size())));
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        const bool on = std::find(enabled.begin(), enabled.end(), channel.name) != enabled.end();
        item->setCheckState(on ? Qt::Checked : Qt::Unchecked);
        item->setToolTip(QStringLiteral("勾选即启用：签到完毕后推送到每个启用的渠道"));
    }

    service_ = new QLabel(this);
    service_->setObjectName(QStringLiteral("标签_服务地址"));
    service_->setWordWrap(true);
    form_ = new QFormLayout;
    result_ = new QLabel(this);
    result_->setObjectName(QStringLiteral("标签_推送结果"));
    result_->setWordWrap(true);
    result_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    testButton_ = new QPushButton(QStringLiteral("调试"), this);
    testButton_->setObjectName(QStringLiteral("按钮_渠道调试"));
    testButton_->setToolTip(
        QStringLiteral("用上面填写的设置发送一条测试推送（不必先保存，也不会保存）"));
    save_ = new QPushButton(QStringLiteral("保存"), this);
    save_->setObjectName(QStringLiteral("按钮_渠道保存"));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(testButton_);
    buttons->addWidget(save_);

    auto* right = new QVBoxLayout;
    right->addWidget(service_);
    right->addLayout(form_);
    right->addLayout(buttons);
    right->addWidget(result_);
    right->addStretch();
    auto* body = new QHBoxLayout;
    body->addWidget(list_);
    body->addLayout(right, 1);
    auto* close = new QDialogButtonBox(QDialogButtonBox::Close, this);
    close->button(QDialogButtonBox::Close)->setText(QStringLiteral("关闭"));
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(body);
    layout->addWidget(close);
    resize(560, 360);

    connect(close, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(list_, &QListWidget::currentRowChanged, this, [this] { fillForm(); });
    connect(list_, &QListWidget::itemChanged, this, [this] { storeEnabled(); });
    connect(save_, &QPushButton::clicked, this, &PushChannelsDialog::save);
    connect(testButton_, &QPushButton::clicked, this, &PushChannelsDialog::test);
    connect(&test_, &PushTest::runningChanged, testButton_,
            [this](bool running) { testButton_->setEnabled(!running); });
    connect(&test_, &PushTest::finished, this,
            [this](const QString& channel, const PushOutcome& outcome) {
                showResult(pushTestText(channel, outcome), !outcome.ok());
            });
    testButton_->setEnabled(!test_.running());
    list_->setCurrentRow(0);
}

void PushChannelsDialog::showChannel(const std::string& name) {
    for (int row = 0; row < list_->count(); ++row) {
        if (list_->item(row)->data(Qt::UserRole).toString().toStdString() == name) {
            list_->setCurrentRow(row);
            return;
        }
    }
}

const PushChannelInfo& PushChannelsDialog::shown() const {
    const int row = std::max(list_->currentRow(), 0);
    return pushChannels()[static_cast<std::size_t>(row)];
}

void PushChannelsDialog::fillForm() {
    const PushChannelInfo& channel = shown();
    while (form_->rowCount() > 0) {
        form_->removeRow(0);
    }
    fields_.clear();
    const QString variable = QString::fromLatin1(
        channel.urlVariable.data(), static_cast<qsizetype>(channel.urlVariable.size()));
    service_->setText(
        channel.defaultUrl.empty()
            ? QStringLiteral("%1：服务地址由你自己填写。").arg(channelCaption(channel.name))
            : QStringLiteral("%1：默认发往 %2（环境变量 %3 可以替换）。")
                  .arg(channelCaption(channel.name),
                       QString::fromLatin1(channel.defaultUrl.data(),
                                           static_cast<qsizetype>(channel.defaultUrl.size())),
                       variable));
    const auto stored = settings_.find(Text(channel.name));
    for (const PushSettingField& field : channel.fields) {
        auto* edit = new QLineEdit(this);
        edit->setObjectName(
            QStringLiteral("编辑框_") +
            QString::fromLatin1(field.member.data(), static_cast<qsizetype>(field.member.size())));
        edit->setPlaceholderText(fieldHint(channel.name, field));
        if (field.secret) {
            edit->setEchoMode(QLineEdit::PasswordEchoOnEdit);
        }
        if (channel.row != 0) {
            const auto entry = static_cast<std::size_t>(channel.row - 1);
            edit->setText(entry < keys_.size() ? fromAnsi(keys_[entry].RobotId) : QString());
        } else if (stored != settings_.end()) {
            edit->setText(fromAnsi(channelSetting(stored->second, field.member)));
        }
        form_->addRow(fieldCaption(field.member) + QStringLiteral("："), edit);
        fields_.push_back(edit);
    }
    result_->clear();
}

void PushChannelsDialog::storeEnabled() {
    std::string names;
    QStringList enabled;
    for (int row = 0; row < list_->count(); ++row) {
        const QListWidgetItem* item = list_->item(row);
        if (item->checkState() != Qt::Checked) {
            continue;
        }
        const QString name = item->data(Qt::UserRole).toString();
        if (!names.empty()) {
            names += ',';
        }
        names += name.toStdString();
        enabled.append(name);
    }
    const WriteResult written = writeSetting(db_, kEnabledSetting, names);
    if (!written) {
        showResult(QStringLiteral("启用的渠道没有保存：") + fromAnsi(written.error), true);
    }
    emit enabledChanged(enabled);
}

ChannelSettingsUpdate PushChannelsDialog::typedSettings() const {
    const PushChannelInfo& channel = shown();
    JsonDocument given;
    given.Create();
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        given.SetText(channel.fields[i].member, toAnsi(fields_[i]->text().trimmed()));
    }
    const auto stored = settings_.find(Text(channel.name));
    return updateChannelSettings(
        channel, stored != settings_.end() ? std::string_view(stored->second) : "", given.ToText());
}

void PushChannelsDialog::save() {
    const PushChannelInfo& channel = shown();
    const QString caption = channelCaption(channel.name);
    const Text name(channel.name);
    const ChannelSettingsUpdate update = typedSettings();
    if (!update.ok()) {
        MessageBoxes::inform(this, fromAnsi(update.error), QStringLiteral("推送渠道"),
                             BoxIcon::Warning);
        return;
    }
    const WriteResult written = channel.row != 0
                                    ? updatePushKey(db_, channel.row, update.settings)
                                    : saveChannelSettings(db_, channel.name, update.settings);
    if (!written) {
        showResult(QStringLiteral("%1 的设置没有保存：").arg(caption) + fromAnsi(written.error),
                   true);
        return;
    }
    if (channel.row != 0) {
        const auto entry = static_cast<std::size_t>(channel.row - 1);
        if (entry < keys_.size()) {
            keys_[entry].RobotId = update.settings;
        }
    } else {
        settings_[name] = update.settings;
    }
    QStringList missing;
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        if (channel.fields[i].required && fields_[i]->text().trimmed().isEmpty()) {
            missing.append(fieldCaption(channel.fields[i].member));
        }
    }
    showResult(missing.isEmpty() ? QStringLiteral("已保存 %1 的设置。").arg(caption)
                                 : QStringLiteral("已保存 %1 的设置；还没有填写%2，推送会失败。")
                                       .arg(caption, missing.join(QStringLiteral("、"))),
               !missing.isEmpty());
}

void PushChannelsDialog::test() {
    // The settings as the form shows them now, saved or not; nothing is stored.
    const PushChannelInfo& channel = shown();
    const ChannelSettingsUpdate update = typedSettings();
    if (!update.ok()) {
        showResult(fromAnsi(update.error), true);
        return;
    }
    PushSettings keys = keys_;
    ChannelSettings settings = settings_;
    if (channel.row != 0) {
        const auto entry = static_cast<std::size_t>(channel.row - 1);
        if (entry < keys.size()) {
            keys[entry].RobotId = update.settings;
        }
    } else {
        settings[Text(channel.name)] = update.settings;
    }
    if (test_.start(std::string(channel.name), keys, settings)) {
        showResult(QStringLiteral("正在推送…"), false);
    }
}

void PushChannelsDialog::showResult(const QString& text, bool failed) {
    result_->setStyleSheet(failed ? QStringLiteral("color: #c0392b;") : QString());
    result_->setText(text);
}

}  // namespace vesprey::ui
