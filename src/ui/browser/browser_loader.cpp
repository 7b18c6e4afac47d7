#include "ui/browser/browser_loader.h"

#include <QCoreApplication>
#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QLibrary>
#include <QLibraryInfo>
#include <string>
#include <string_view>

namespace vesprey::ui {

namespace {

constexpr char kModuleFileName[] = "libvesprey_browser.so";

QString fromAnsiText(std::string_view text) {
    const std::string utf8 = ansiToUtf8(text);
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

// The web engine starts its pages in this helper program and ends the whole process when it is
// missing, so its absence is found out before the engine is touched.
QString helperPath() {
    const QString chosen = qEnvironmentVariable("QTWEBENGINEPROCESS_PATH");
    if (!chosen.isEmpty()) {
        return chosen;
    }
    return QLibraryInfo::path(QLibraryInfo::LibraryExecutablesPath) +
           QStringLiteral("/QtWebEngineProcess");
}

QString programDirectory() {
    if (QCoreApplication::instance() != nullptr) {
        return QCoreApplication::applicationDirPath();
    }
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath().section(u'/', 0, -2);
}

}  // namespace

QString browserNotBuiltMessage() {
    return QStringLiteral(
        "内置浏览器没有安装，无法软件登录！请安装 Debian 软件包 qt6-webengine-dev 后重新构建 "
        "Vesprey（make run），或用“人工填写”粘贴Cookie！");
}

QString browserLibrariesMissingMessage(const QString& detail) {
    return QStringLiteral(
               "内置浏览器缺少 QtWebEngine 运行库，无法软件登录！请安装 Debian 软件包 "
               "libqt6webenginewidgets6（sudo apt-get install libqt6webenginewidgets6）后再试！") +
           QStringLiteral("\r\n") + detail;
}

QString browserHelperMissingMessage(const QString& helperPath) {
    return QStringLiteral(
               "内置浏览器缺少 QtWebEngineProcess，无法软件登录！请安装 Debian 软件包 "
               "libqt6webenginecore6-bin（sudo apt-get install "
               "libqt6webenginecore6-bin）后再试！") +
           QStringLiteral("\r\n") + helperPath;
}

QString browserVersionMessage() {
    return QStringLiteral(
        "内置浏览器模块与本程序的版本不符，无法软件登录！请重新构建 Vesprey（make run）！");
}

QString browserFailedMessage() {
    return QStringLiteral("内置浏览器无法启动，请重新构建 Vesprey（make run）后再试！");
}

BrowserModule& BrowserModule::instance() {
    static BrowserModule module(defaultCandidates());
    return module;
}

BrowserModule::BrowserModule(QStringList candidates) : candidates_(std::move(candidates)) {}

QStringList BrowserModule::defaultCandidates() {
    // A module named by the user is the only one tried.
    const QString chosen = qEnvironmentVariable("VESPREY_BROWSER_MODULE");
    if (!chosen.isEmpty()) {
        return {chosen};
    }
    QStringList paths;
    const QDir program(programDirectory());
    const QString name = QString::fromLatin1(kModuleFileName);
    paths << program.filePath(name) << program.filePath(QStringLiteral("../lib/") + name)
          << program.filePath(QStringLiteral("../lib/vesprey/") + name);
    return paths;
}

bool BrowserModule::load() {
    if (isLoaded()) {
        return true;
    }
    path_.clear();
    for (const QString& candidate : candidates_) {
        if (QFileInfo(candidate).isFile()) {
            path_ = QFileInfo(candidate).absoluteFilePath();
            break;
        }
    }
    if (path_.isEmpty()) {
        failure_ = browserNotBuiltMessage();
        return false;
    }

    // Never unloaded: the web engine cannot be shut down and started again in one process.
    QLibrary library(path_);
    if (!library.load()) {
        failure_ = browserLibrariesMissingMessage(library.errorString());
        return false;
    }
    const QString helper = helperPath();
    if (!QFileInfo(helper).isExecutable()) {
        failure_ = browserHelperMissingMessage(helper);
        return false;
    }
    auto version = reinterpret_cast<BrowserModuleVersionFunction>(
        library.resolve(kBrowserModuleVersionSymbol));
    auto create =
        reinterpret_cast<BrowserCreateWindowFunction>(library.resolve(kBrowserCreateWindowSymbol));
    if (version == nullptr || create == nullptr || version() != kBrowserModuleVersion) {
        failure_ = browserVersionMessage();
        return false;
    }
    create_ = create;
    failure_.clear();
    return true;
}

std::unique_ptr<QDialog> BrowserModule::createWindow(const BrowserWindowSetup& setup) const {
    if (create_ == nullptr) {
        return nullptr;
    }
    return std::unique_ptr<QDialog>(create_(setup));
}

BrowserLoginResult runBrowserLogin(const BrowserLogin& login, QString* failure) {
    BrowserModule& module = BrowserModule::instance();
    if (!module.load()) {
        if (failure != nullptr) {
            *failure = module.failure();
        }
        return BrowserLoginResult::Unavailable;
    }

    QDialog* shown = nullptr;
    BrowserWindowSetup setup;
    setup.owner = login.owner;
    setup.address = fromAnsiText(login.address);
    setup.capture = [&login, &shown](const QByteArray& cookie, const QDateTime& expires) {
        if (!login.capture) {
            return true;
        }
        // The engine hands over the bytes the site set; sites set ASCII or UTF-8.
        const CapturedCookie captured{
            utf8ToAnsi(
                std::string_view(cookie.constData(), static_cast<std::size_t>(cookie.size()))),
            expires};
        return login.capture(captured, shown);
    };
    setup.loaded = login.loaded;
    bool recorded = false;
    if (login.recorded) {
        setup.recorded = [&login, &shown, &recorded](const QList<BrowserRecordedRequest>& requests,
                                                     const QByteArray& cookie) {
            recorded = login.recorded(requests, cookie, shown);
            return recorded;
        };
    }

    std::unique_ptr<QDialog> window = module.createWindow(setup);
    if (!window) {
        if (failure != nullptr) {
            *failure = browserFailedMessage();
        }
        return BrowserLoginResult::Unavailable;
    }
    shown = window.get();
    if (login.opened) {
        login.opened(window.get());
    }
    const int answer = window->exec();
    if (answer != QDialog::Accepted) {
        return BrowserLoginResult::Closed;
    }
    return recorded ? BrowserLoginResult::Recorded : BrowserLoginResult::Captured;
}

BrowserLoginResult captureForEditor(QWidget* owner, const Text& address, CapturedCookie* captured,
                                    QString* failure, decltype(BrowserLogin::recorded) recorded) {
    BrowserLogin login;
    login.recorded = std::move(recorded);
    login.owner = owner;
    login.address = address;
    login.capture = [captured](const CapturedCookie& taken, QWidget*) {
        *captured = taken;
        return true;
    };
    return runBrowserLogin(login, failure);
}

bool storeAccountCookie(SqlDatabase& db, const SiteTemplate& account, int templateId,
                        const Text& cookie, const CaptureNotice& notice,
                        const std::function<void()>& reload, int* storedCid, bool ownRow) {
    const QString caption = QStringLiteral("修改模板");
    if (storedCid != nullptr) {
        *storedCid = 0;
    }
    if (!account.Cookie.empty() || (ownRow && account.Cid != 0)) {
        const WriteResult updated = updateWebCookie(db, account.Cid, cookie);
        if (!updated.prepared) {
            // Reported, and the window closes as after a success.
            notice(QStringLiteral("Cookie语句执行失败！"), caption, true);
            return true;
        }
        if (!updated) {
            notice(QStringLiteral("修改Cookie记录失败！\r\n") + fromAnsiText(updated.error),
                   caption, false);
            return false;
        }
        notice(QStringLiteral("Cookie信息修改成功！"), caption, false);
        if (storedCid != nullptr) {
            *storedCid = account.Cid;
        }
        if (reload) {
            reload();
        }
        return true;
    }
    // No cookie yet: a new account row for the site, without a message.
    const WriteResult inserted =
        insertWebCookie(db, templateId, dateTimeToText(std::nullopt, 1), cookie);
    if (!inserted) {
        return false;
    }
    if (storedCid != nullptr) {
        *storedCid = static_cast<int>(db.lastInsertId());
    }
    if (reload) {
        reload();
    }
    return true;
}

}  // namespace vesprey::ui
