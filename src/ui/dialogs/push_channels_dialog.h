// "推送渠道": every push channel in one list, each with its "启用" check and a form of its
// settings, saved and tested one channel at a time. The enabled channels are kept in Sign.db's
// settings ("push_channels", names separated by commas); a pass pushes its summary to each of
// them. While none is enabled, the push page's own choice of Bark, Server酱 or 钉钉 holds.
#pragma once

#include <QDialog>
#include <QStringList>
#include <string>
#include <vector>

#include "engine/push.h"
#include "store/sql.h"

class QFormLayout;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPushButton;

namespace vesprey::ui {

class PushTest;

// The enabled channels as stored, in the order of pushChannels(); names the program does not
// know are left out.
std::vector<std::string> enabledPushChannels(SqlDatabase& db);

class PushChannelsDialog : public QDialog {
    Q_OBJECT
public:
    // `keys` are the window's keys of the first three channels: a saved key is used from then
    // on. `test` runs the "调试" of the shown channel.
    PushChannelsDialog(SqlDatabase& db, PushSettings& keys, PushTest& test,
                       QWidget* parent = nullptr);

    // Shows the channel's form (a name of pushChannels()).
    void showChannel(const std::string& name);

signals:
    // The "启用" checks changed and were stored; `channels` as enabledPushChannels gives them.
    void enabledChanged(const QStringList& channels);

private:
    const PushChannelInfo& shown() const;
    void fillForm();
    void storeEnabled();
    // The shown channel's settings as its fields hold them, merged with what is stored.
    ChannelSettingsUpdate typedSettings() const;
    void save();
    void test();  // "调试" with the typed settings
    void showResult(const QString& text, bool failed);

    SqlDatabase& db_;
    PushSettings& keys_;
    PushTest& test_;
    ChannelSettings settings_;
    QListWidget* list_ = nullptr;
    QLabel* service_ = nullptr;
    QFormLayout* form_ = nullptr;
    std::vector<QLineEdit*> fields_;
    QLabel* result_ = nullptr;
    QPushButton* save_ = nullptr;
    QPushButton* testButton_ = nullptr;
};

}  // namespace vesprey::ui
