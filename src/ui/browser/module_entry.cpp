// The two functions the desktop program looks up in libvesprey_browser.so.
#include <unistd.h>

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

}  // namespace

extern "C" Q_DECL_EXPORT int vesprey_browser_module_version() {
    return vesprey::ui::kBrowserModuleVersion;
}

extern "C" Q_DECL_EXPORT QDialog* vesprey_browser_create_window(
    const vesprey::ui::BrowserWindowSetup& setup) {
    allowRunningAsRoot();
    return new vesprey::ui::LoginWindow(setup);
}
