#include "ui/desktop/autostart.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QSaveFile>
#include <QSignalBlocker>
#include <cstdlib>
#include <system_error>

#include "ui/dialogs/message_boxes.h"

namespace vesprey::ui {
namespace {

// An Exec argument as desktop entries want it: quoted when it holds anything the launcher would
// split or expand, with " ` $ \ escaped inside the quotes; then the string escapes of every
// desktop entry value (\ and line ends), and % doubled as field codes ask.
std::string execArgument(const std::string& argument) {
    constexpr std::string_view reserved = " \t\n\"'\\><~|&;$*?#()`";
    std::string quoted;
    if (argument.find_first_of(reserved) == std::string::npos) {
        quoted = argument;
    } else {
        quoted = "\"";
        for (const char c : argument) {
            if (c == '"' || c == '`' || c == '$' || c == '\\') {
                quoted += '\\';
            }
            quoted += c;
        }
        quoted += '"';
    }
    std::string value;
    for (const char c : quoted) {
        switch (c) {
            case '\\':
                value += "\\\\";
                break;
            case '\n':
                value += "\\n";
                break;
            case '\t':
                value += "\\t";
                break;
            case '\r':
                value += "\\r";
                break;
            case '%':
                value += "%%";
                break;
            default:
                value += c;
        }
    }
    return value;
}

QString pathText(const std::filesystem::path& path) {
    return QString::fromStdString(path.string());
}

QString systemReason(const std::error_code& error) {
    return QString::fromLocal8Bit(error.message().c_str());
}

}  // namespace

std::filesystem::path autostartEntryPath() {
    // A relative XDG_CONFIG_HOME is to be ignored.
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::filesystem::path base;
    if (config != nullptr && std::filesystem::path(config).is_absolute()) {
        base = config;
    } else {
        const char* home = std::getenv("HOME");
        base = std::filesystem::path(home != nullptr ? home : "") / ".config";
    }
    return base / "autostart" / "vesprey.desktop";
}

bool autostartEnabled() {
    std::error_code ignored;
    return std::filesystem::exists(autostartEntryPath(), ignored);
}

std::string autostartEntry(const std::filesystem::path& executable,
                           const std::vector<std::string>& arguments) {
    std::string exec = execArgument(executable.string());
    for (const std::string& argument : arguments) {
        exec += ' ' + execArgument(argument);
    }
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Vesprey\n"
           "Comment=Daily sign-in for many website accounts\n"
           "Comment[zh_CN]=每日签到\n"
           "Exec=" +
           exec +
           "\n"
           "Icon=vesprey\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

std::vector<std::string> databaseArguments(const std::filesystem::path& database) {
    std::error_code ignored;
    std::filesystem::path absolute = std::filesystem::absolute(database, ignored);
    return {"--db", (absolute.empty() ? database : absolute).lexically_normal().string()};
}

bool setAutostart(bool enabled, const std::filesystem::path& executable,
                  const std::vector<std::string>& arguments, QString* error) {
    const std::filesystem::path path = autostartEntryPath();
    std::error_code ec;
    if (!enabled) {
        std::filesystem::remove(path, ec);
        if (ec) {
            *error = QStringLiteral("无法删除 %1：%2").arg(pathText(path), systemReason(ec));
            return false;
        }
        return true;
    }
    std::filesystem::create_directories(path.parent_path(), ec);
    if (ec) {
        *error = QStringLiteral("无法创建文件夹 %1：%2")
                     .arg(pathText(path.parent_path()), systemReason(ec));
        return false;
    }
    QSaveFile file(pathText(path));
    const std::string text = autostartEntry(executable, arguments);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(text.data(), static_cast<qint64>(text.size())) !=
            static_cast<qint64>(text.size()) ||
        !file.commit()) {
        *error = QStringLiteral("无法写入 %1：%2").arg(pathText(path), file.errorString());
        return false;
    }
    return true;
}

QCheckBox* addAutostartSwitch(QWidget* page, QWidget* owner, std::vector<std::string> arguments) {
    auto* box = new QCheckBox(QStringLiteral("开机启动"), page);
    box->setObjectName(QStringLiteral("选择框_开机启动"));
    box->setToolTip(QStringLiteral("登录桌面时自动启动 Vesprey（") +
                    pathText(autostartEntryPath()) + QStringLiteral("）"));
    box->setChecked(autostartEnabled());
    QObject::connect(
        box, &QCheckBox::toggled, box, [box, owner, arguments = std::move(arguments)](bool on) {
            QString error;
            const std::filesystem::path program =
                QCoreApplication::applicationFilePath().toStdString();
            if (setAutostart(on, program, arguments, &error)) {
                return;
            }
            {
                const QSignalBlocker quiet(box);
                box->setChecked(!on);
            }
            MessageBoxes::inform(owner, QStringLiteral("开机启动设置失败！\r\n") + error,
                                 QStringLiteral("开机启动"), BoxIcon::Warning);
        });
    return box;
}

}  // namespace vesprey::ui
