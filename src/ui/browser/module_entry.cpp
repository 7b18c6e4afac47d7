// The two functions the desktop program looks up in libvesprey_browser.so.
#include <unistd.h>

#include <QCoreApplication>
#include <QOpenGLContext>
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

// QtGui's setter of the context that every later OpenGL context shares with; exported by QtGui
// (version Qt_6) but declared only in its private headers.
Q_GUI_EXPORT void qt_gl_set_global_share_context(QOpenGLContext* context);

namespace {

// The engine hands its frames to the window through an OpenGL context that Qt's contexts share,
// and reads its format as it starts: without one it crashes the process. Qt makes that context
// at start-up when asked before the application object exists (Qt::AA_ShareOpenGLContexts),
// which would cost every start of the program the driver's memory (about 35 MB on Mesa) for a
// window most starts never open. Made here, as Qt would make it, it comes with the first login
// window; no OpenGL context of the program's exists before then (its windows draw in software),
// so none misses the sharing. Where no OpenGL context can be made (offscreen, no GLX) it stays
// invalid and the engine draws without OpenGL. (The engine, loaded without the attribute, warns
// that it "seems to be initialized from a plugin"; with the context made here that is harmless.)
void shareOpenGLContext() {
    if (QOpenGLContext::globalShareContext() != nullptr) {
        return;
    }
    auto* context = new QOpenGLContext(QCoreApplication::instance());
    context->create();
    qt_gl_set_global_share_context(context);
}

}  // namespace

extern "C" Q_DECL_EXPORT int vesprey_browser_module_version() {
    return vesprey::ui::kBrowserModuleVersion;
}

extern "C" Q_DECL_EXPORT QDialog* vesprey_browser_create_window(
    const vesprey::ui::BrowserWindowSetup& setup) {
    shareOpenGLContext();
    allowRunningAsRoot();
    return new vesprey::ui::LoginWindow(setup);
}
