// The two functions the desktop program looks up in libvesprey_browser.so.
#include <unistd.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QtGlobal>

#include "ui/browser/browser_module.h"
#include "ui/browser/login_window.h"

namespace {

// The web engine's sandbox refuses to start as root ("Running as root without --no-sandbox is
// not supported") and aborts the process. Root is how containers and CI run; only there is the
// sandbox turned off, and only when the user has not decided already.
void allowRunningAsRoot() {
    if (::geteuid() == 0 && !qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX")) {
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    }
}

// The engine hands its frames to the window through an OpenGL context shared with Qt's, which
// exists only when the program asked for it before making its application object
// (prepareApplicationForBrowser). Without it, on a display with OpenGL, the engine crashes the
// process as it starts; platforms without OpenGL (offscreen) do not need it.
bool engineCanStart() {
    if (QCoreApplication::testAttribute(Qt::AA_ShareOpenGLContexts)) {
        return true;
    }
    const QString platform = QGuiApplication::platformName();
    return platform == u"offscreen" || platform == u"minimal";
}

}  // namespace

extern "C" Q_DECL_EXPORT int vesprey_browser_module_version() {
    return vesprey::ui::kBrowserModuleVersion;
}

extern "C" Q_DECL_EXPORT QDialog* vesprey_browser_create_window(
    const vesprey::ui::BrowserWindowSetup& setup) {
    if (!engineCanStart()) {
        return nullptr;
    }
    allowRunningAsRoot();
    return new vesprey::ui::LoginWindow(setup);
}
