#include "ui/application.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTimer>
#include <QTranslator>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "store/site_database.h"
#include "ui/desktop/single_instance.h"
#include "ui/desktop/tray.h"
#include "ui/skin.h"
#include "ui/window/main_window.h"

namespace vesprey::ui {
namespace {

constexpr const char* kUsage =
    "用法：vesprey [--db PATH]\n"
    "  启动 Vesprey 桌面程序。Sign.db 默认在程序所在目录；\n"
    "  --db 或环境变量 VESPREY_DB 指定其它位置（--db 优先）。\n"
    "  同一个 Sign.db 只开一个窗口：再次启动时显示已经打开的窗口，然后退出。\n";

struct Options {
    std::optional<std::filesystem::path> database;
    bool help = false;
    std::string error;
};

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--db" && i + 1 < argc) {
            options.database = argv[++i];
        } else if (arg.rfind("--db=", 0) == 0) {
            options.database = arg.substr(5);
        } else {
            options.error = "未知的参数：" + arg;
        }
    }
    return options;
}

}  // namespace

StartupWindow::StartupWindow() {
    setObjectName(QStringLiteral("启动窗口"));
    setWindowTitle(QStringLiteral("Vesprey v1.0"));
    setFixedSize(380, 250);
}

namespace {

// Qt's Chinese translation, with the few words it lacks: the file dialogs' type column (Qt 6
// asks for them in a context the Chinese file does not have yet), so that a save dialog says
// "文件夹" and not "Folder".
class QtChinese final : public QTranslator {
public:
    using QTranslator::QTranslator;

    QString translate(const char* context, const char* source, const char* disambiguation,
                      int n) const override {
        QString text = QTranslator::translate(context, source, disambiguation, n);
        if (!text.isEmpty() || !language().startsWith(QStringLiteral("zh")) ||
            qstrcmp(context, "QAbstractFileIconProvider") != 0) {
            return text;
        }
        static const std::pair<const char*, const char*> kWords[] = {
            {"Folder", "文件夹"},      {"File", "文件"},         {"%1 File", "%1 文件"},
            {"Drive", "驱动器"},       {"Shortcut", "快捷方式"}, {"Alias", "替身"},
            {"File Folder", "文件夹"},
        };
        for (const auto& [english, chinese] : kWords) {
            if (qstrcmp(source, english) == 0) {
                return QString::fromUtf8(chinese);
            }
        }
        return text;
    }
};

}  // namespace

QTranslator* loadQtTranslations(QCoreApplication& app, const QLocale& locale) {
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    QTranslator* translator = new QtChinese(&app);
    if (!translator->load(locale, QStringLiteral("qtbase"), QStringLiteral("_"), folder) &&
        !translator->load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                          QStringLiteral("_"), folder)) {
        delete translator;
        return nullptr;
    }
    QCoreApplication::installTranslator(translator);
    return translator;
}

std::unique_ptr<MainWindow> launchMainWindow(const std::filesystem::path& databasePath,
                                             StartupWindow* startup,
                                             ProgramEnvironment environment) {
    auto window = std::make_unique<MainWindow>(databasePath, std::move(environment));
    if (startup != nullptr) {
        startup->deleteLater();
        startup->hide();
    }
    window->show();
    window->startUp();
    return window;
}

int runDesktop(int argc, char** argv, const std::function<void(MainWindow&)>& launched) {
    const Options options = parseOptions(argc, argv);
    if (options.help || !options.error.empty()) {
        if (!options.error.empty()) {
            std::fprintf(stderr, "%s\n", options.error.c_str());
        }
        std::fputs(kUsage, options.help ? stdout : stderr);
        return options.help ? 0 : 1;
    }

    QApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vesprey"));
    loadQtTranslations(app, QLocale::system());
    applySkin(app);

    ProgramEnvironment environment = startWithEnvironment();
    const std::filesystem::path databasePath =
        siteDatabasePath(options.database, environment.folders);
    // Another window has this Sign.db open already: it comes to the front instead.
    SingleInstance instance(databasePath);
    if (!instance.claim()) {
        if (instance.askToShow()) {
            std::printf("Vesprey 已经打开了 %s，已显示它的窗口。\n", databasePath.c_str());
            return 0;
        }
        std::fprintf(stderr,
                     "Vesprey 已经打开了 %s，但它没有回应；请在托盘或任务栏里找到它的窗口，"
                     "或结束它后再启动。\n",
                     databasePath.c_str());
        return 1;
    }
    auto* startup = new StartupWindow;
    startup->show();
    std::unique_ptr<MainWindow> window;
    QObject::connect(&instance, &SingleInstance::showRequested, &app, [&window] {
        if (window) {
            showFromTray(*window);
        }
    });
    QTimer::singleShot(0, &app, [&] {
        window = launchMainWindow(databasePath, startup, std::move(environment));
        if (launched) {
            launched(*window);
        }
    });
    const int code = QApplication::exec();
    if (window && window->passRunning()) {
        // The worker may be in a request or waiting for this thread; nothing of it needs
        // finishing, since a pass writes nothing to Sign.db.
        std::fflush(nullptr);
        std::_Exit(code);
    }
    return code;
}

}  // namespace vesprey::ui
