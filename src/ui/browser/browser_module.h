// The seam between the desktop program and the browser module (libvesprey_browser.so), which
// holds the login window and the web engine. The program opens the module at run time, only when
// a login window is asked for, so the program starts without the web engine and runs where it is
// not installed. Only Qt Core and Qt Widgets types cross this seam; nothing here names QtWebEngine.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QUrl>
#include <functional>

class QDialog;
class QWidget;

namespace vesprey::ui {

// Raised whenever this seam changes; the program refuses a module built for another version.
inline constexpr int kBrowserModuleVersion = 3;

// The module's two exported functions (extern "C").
inline constexpr char kBrowserModuleVersionSymbol[] = "vesprey_browser_module_version";
inline constexpr char kBrowserCreateWindowSymbol[] = "vesprey_browser_create_window";

// How one page load ended. `result` is 0 when the page loaded (a page the server answered with
// an HTTP error status also loaded) and otherwise the engine's error code (never 0), with
// `reason` saying why in the engine's words.
struct BrowserLoad {
    QUrl url;
    int result = 0;
    QString reason;
};

// The most requests one recording keeps; past it the oldest go, plain GET requests that load no
// page first.
inline constexpr int kBrowserRecordLimit = 1000;

// One request a page made while the window recorded, and its answer as far as the page could
// read it: a script's fetch or XMLHttpRequest (with its header lines, body, status and text), a
// form sent (its fields as the body, the page it loads as the answer), a page loaded (its
// address and, as the answer, the page's text once it has loaded), or another request the engine
// made (a beacon, a frame: method and address). Each carries the header lines the page set and
// those of the engine's own that can be known (User-Agent, Referer, Origin).
struct BrowserRecordedRequest {
    QString method;
    QUrl url;
    QList<QPair<QString, QString>> headers;
    QByteArray body;  // UTF-8
    int status = 0;   // 0 when no answer was seen
    QString answer;   // at most 256 K characters
    bool script = false;
};

struct BrowserWindowSetup {
    // The window the login window is placed against; while the login window runs modally it
    // takes no input. May be null.
    QWidget* owner = nullptr;
    // The login address as the user gave it; one without a scheme is opened with https://.
    QString address;
    // The capture button: `cookie` is the Cookie header value the current page would be sent
    // with (name=value pairs joined by "; ", HttpOnly cookies included; the bytes as the site
    // set them, normally ASCII or UTF-8), and `expires` the earliest expiry (UTC) among those
    // cookies, invalid when every one of them ends with the browser session. Answer true to
    // close the window, false to keep it open (storing the cookie failed and the user may try
    // again).
    std::function<bool(const QByteArray& cookie, const QDateTime& expires)> capture;
    // Every finished load, for whoever wants to follow them (optional).
    std::function<void(const BrowserLoad&)> loaded;
    // When set, the window has a "录制" toggle: while it is on, the requests the page makes are
    // recorded; switched off, this is told them in the order the page made them, with the
    // cookie as the capture would give it. Answer true to close the window (accepted).
    std::function<bool(const QList<BrowserRecordedRequest>& requests, const QByteArray& cookie)>
        recorded;
};

using BrowserModuleVersionFunction = int (*)();
// Returns a new, hidden login window (the caller owns it and runs it with exec(); a window closed
// by its close button or Escape ends rejected, one closed by a capture accepted). Null when the
// window cannot be made.
using BrowserCreateWindowFunction = QDialog* (*)(const BrowserWindowSetup& setup);

}  // namespace vesprey::ui
