// The desktop program's side of the built-in browser: finds and opens the browser module
// (libvesprey_browser.so, which brings QtWebEngine) the first time a login window is asked for,
// runs the login window, and stores a captured cookie for an account. Nothing here links the web
// engine; where the module or QtWebEngine is missing the program runs on, and asking for the
// login window gives a sentence that says what to install.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

#include "store/site_database.h"
#include "text/text.h"
#include "ui/browser/browser_module.h"

class QDialog;
class QWidget;

namespace vesprey::ui {

// The module, opened at most once per process and never closed (the web engine cannot be shut
// down and started again in one process).
class BrowserModule {
public:
    // The one the program uses, looking in defaultCandidates().
    static BrowserModule& instance();
    // One that looks in `candidates`, in order (for tests).
    explicit BrowserModule(QStringList candidates);

    // Opens the module when it is not open yet. False, with failure() set, when it cannot be
    // found or opened.
    bool load();
    bool isLoaded() const { return create_ != nullptr; }
    // A sentence for the user saying why the browser is not available and what to install.
    QString failure() const { return failure_; }
    // The file that was opened (or the last one tried).
    QString path() const { return path_; }

    // A new, hidden login window; null when the module is not open.
    std::unique_ptr<QDialog> createWindow(const BrowserWindowSetup& setup) const;

    // Where the program looks for the module: the file $VESPREY_BROWSER_MODULE names, when set;
    // otherwise beside the program, in ../lib and in ../lib/vesprey, in that order.
    static QStringList defaultCandidates();

private:
    QStringList candidates_;
    BrowserCreateWindowFunction create_ = nullptr;
    QString failure_;
    QString path_;
};

// The sentences of the browser's absence.
QString browserNotBuiltMessage();
QString browserLibrariesMissingMessage(const QString& detail);
QString browserHelperMissingMessage(const QString& helperPath);
QString browserVersionMessage();
QString browserFailedMessage();

enum class BrowserLoginResult {
    Captured,     // the capture was accepted and the window closed
    Recorded,     // a recording was accepted and the window closed
    Closed,       // the user closed the window; nothing was captured
    Unavailable,  // the module could not be opened; `failure` says why
};

// What the capture button took from the login window.
struct CapturedCookie {
    Text cookie;        // the page's cookie string, code page 936
    QDateTime expires;  // the earliest expiry among its cookies (UTC); invalid for session ones
};

struct BrowserLogin {
    QWidget* owner = nullptr;  // placement and modality
    Text address;              // the login address, code page 936
    // The capture button, with what it took and the login window (the parent for any message
    // shown meanwhile). Answer true to close the window, false to keep it open.
    std::function<bool(const CapturedCookie& captured, QWidget* window)> capture;
    // Every finished load (optional).
    std::function<void(const BrowserLoad& load)> loaded;
    // When set, the window has the "录制" toggle: switched off, this gets what was recorded, the
    // page's cookie as a capture gives it, and the login window (the parent for a dialog shown
    // meanwhile). Answer true to close the window.
    std::function<bool(const QList<BrowserRecordedRequest>& requests, const QByteArray& cookie,
                       QWidget* window)>
        recorded;
    // Called once the window exists, before it runs (optional; lets a caller or a test follow
    // the window).
    std::function<void(QDialog* window)> opened;
};

// Opens the login window modally and runs it until it closes. `failure`, when given, receives
// the sentence for the user when the result is Unavailable.
BrowserLoginResult runBrowserLogin(const BrowserLogin& login, QString* failure = nullptr);

// The template editor's "软件登录 ": what the capture took goes into `captured` and nothing else
// happens; a window closed without capture leaves it as it was.
BrowserLoginResult captureForEditor(QWidget* owner, const Text& address, CapturedCookie* captured,
                                    QString* failure = nullptr,
                                    decltype(BrowserLogin::recorded) recorded = {});

// What the program tells the user while storing a capture; the texts and captions are the
// program's own, `warning` selects the warning icon over the information icon.
using CaptureNotice =
    std::function<void(const QString& text, const QString& caption, bool warning)>;

// Stores a cookie captured for an existing account (the menu's "软件登录"). `account` is the
// list entry remembered when the command started, as loaded, and `templateId` its template id:
// an account that has a cookie gets the new one ("update WebCookie ... where Cid="), one without
// gets a new WebCookie row stamped now. `reload` rebuilds the list after a change. Returns true
// when the window may close (also after a statement that could not be prepared, which is
// reported), false when the write failed and the window stays for another try. `storedCid`, when
// given, receives the Cid of the account that now has the cookie, or 0 when none does. With
// `ownRow`, the entry's row gets the cookie even when it has none yet (an account of a
// multi-step template, whose inputs belong to that row).
bool storeAccountCookie(SqlDatabase& db, const SiteTemplate& account, int templateId,
                        const Text& cookie, const CaptureNotice& notice,
                        const std::function<void()>& reload, int* storedCid = nullptr,
                        bool ownRow = false);

}  // namespace vesprey::ui
