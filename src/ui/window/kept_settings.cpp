#include "ui/window/kept_settings.h"

#include <utility>

#include "store/history.h"
#include "ui/qt_text.h"

namespace vesprey::ui {

KeptSettings::KeptSettings(std::filesystem::path database) : database_(std::move(database)) {}

void KeptSettings::setFailureNotice(std::function<void(const QString& text)> failed) {
    failed_ = std::move(failed);
}

void KeptSettings::read() {
    values_.clear();
    if (!HistoryDatabase::exists(database_)) {
        return;
    }
    HistoryDatabase history;
    std::map<std::string, Text> stored;
    ReadResult read = history.open(database_);
    if (read.ok()) {
        read = history.readDesktopSettings(stored);
    }
    if (!read.ok()) {
        return;
    }
    for (const auto& [name, value] : stored) {
        values_[name] = fromAnsi(value);
    }
}

std::optional<QString> KeptSettings::value(std::string_view name) const {
    const auto found = values_.find(std::string(name));
    if (found == values_.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::optional<int> KeptSettings::number(std::string_view name) const {
    const std::optional<QString> text = value(name);
    bool ok = false;
    const int n = text ? text->toInt(&ok) : 0;
    return ok ? std::optional<int>(n) : std::nullopt;
}

void KeptSettings::save(std::string_view name, const QString& value) {
    if (restoring_ || this->value(name) == value) {
        return;
    }
    HistoryDatabase history;
    WriteResult written = history.create(database_);
    if (written) {
        written = history.saveDesktopSetting(name, toAnsi(value));
    }
    if (!written) {
        if (failed_) {
            failed_(QStringLiteral("设置没有保存，下次启动时不会恢复：") + fromAnsi(written.error));
        }
        return;
    }
    values_[std::string(name)] = value;
}

}  // namespace vesprey::ui
