// The window's settings that outlive it: the schedule ("开启定时" and its period), "同步通知", the
// checked push channel and "关闭时最小化到托盘", kept in History.db's table Setting beside
// Sign.db (HistoryDatabase's desktop settings), so that Sign.db stays as other tools left it.
#pragma once

#include <QString>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace vesprey::ui {

// The names the window keeps its settings under.
inline constexpr std::string_view kKeptSchedule = "schedule";               // "1" or "0"
inline constexpr std::string_view kKeptSchedulePeriod = "schedule_period";  // item of 执行时间
inline constexpr std::string_view kKeptNotify = "notify";                   // "1" or "0"
inline constexpr std::string_view kKeptPushChannel = "push_channel";        // 1 Bark … 3 钉钉
inline constexpr std::string_view kKeptCloseToTray = "close_to_tray";       // "1" or "0"

class KeptSettings {
public:
    // The settings of the Sign.db at `database`. A setting that cannot be kept is said through
    // `failed` (a sentence); it still holds for this session.
    explicit KeptSettings(std::filesystem::path database);

    void setFailureNotice(std::function<void(const QString& text)> failed);

    // Reads every kept setting once; a missing History.db, or one that cannot be read, keeps
    // none (the window starts with its defaults).
    void read();
    std::optional<QString> value(std::string_view name) const;
    bool flag(std::string_view name) const { return value(name) == QStringLiteral("1"); }
    std::optional<int> number(std::string_view name) const;

    // Keeps `value` under `name` in History.db, making the file when it is missing. Nothing is
    // written while restoring (see Restoring) or when the value is the one kept already.
    void save(std::string_view name, const QString& value);
    void saveFlag(std::string_view name, bool on) {
        save(name, on ? QStringLiteral("1") : QStringLiteral("0"));
    }

    // While one lives, save writes nothing: the window setting its controls from what was kept.
    class Restoring {
    public:
        explicit Restoring(KeptSettings& kept) : kept_(kept), before_(kept.restoring_) {
            kept.restoring_ = true;
        }
        ~Restoring() { kept_.restoring_ = before_; }
        Restoring(const Restoring&) = delete;
        Restoring& operator=(const Restoring&) = delete;

    private:
        KeptSettings& kept_;
        bool before_;
    };

private:
    std::filesystem::path database_;
    std::function<void(const QString&)> failed_;
    std::map<std::string, QString> values_;
    bool restoring_ = false;
};

}  // namespace vesprey::ui
