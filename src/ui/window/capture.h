// What the capture windows (manual fill, the built-in browser, the one-click import) hand over,
// and what they are to do with it. One CaptureState lives in the main window for the life of the
// process; everything here is used on the window thread only.
#pragma once

#include <QDateTime>
#include <utility>

#include "store/site_database.h"
#include "text/text.h"

namespace vesprey::ui {

// Where a capture goes.
enum class CaptureMode {
    ForEditor,       // only into PendingCapture, for the template editor's next trial and save
    UpdateAccount,   // menu "人工填写": the cookie of the remembered account
    AddAccount,      // menu "增加(&N)": a further account of the remembered site
    BrowserAccount,  // menu "软件登录": the browser's cookie for the remembered account
};

// Where the pending cookie came from, as the template page names it.
enum class CookieOrigin {
    Unknown,
    Browser,     // "浏览器": a login in the built-in browser
    ManualFill,  // "人工填写"
    AddAccount,  // "增加": a further account of a listed site
    Import,      // "一键置入": the cookie of a curl command or a browser's HAR file
};

// The cookie, the extra header lines and the request body waiting for the template editor. All
// three are code page 936 and empty at start-up; "初始化" and the page's "清除" empty them.
struct PendingCapture {
    Text Cookie;
    Text Headers;
    Text Date;
    CookieOrigin origin = CookieOrigin::Unknown;  // of Cookie
    Text originSite{};  // the listed site the cookie was captured for; none for the editor's own
    // The earliest expiry of the cookies a browser capture gave (UTC); invalid when unknown. A
    // save that makes an account of the cookie keeps it in History.db.
    QDateTime cookieExpires{};

    void setCookie(Text cookie, CookieOrigin from, Text site = {}, QDateTime expires = {}) {
        Cookie = std::move(cookie);
        origin = from;
        originSite = std::move(site);
        cookieExpires = std::move(expires);
    }

    void clear() {
        Cookie.clear();
        Headers.clear();
        Date.clear();
        origin = CookieOrigin::Unknown;
        originSite.clear();
        cookieExpires = {};
    }
};

// The list row an operation started on, remembered when it started: the index of its SiteList
// entry, the entry's template id as a number, and the entry itself as it was loaded. The capture
// windows work on these values, not on whatever the list shows by the time they store.
struct SelectedAccount {
    int index = -1;
    int templateId = 0;
    SiteTemplate entry;
};

struct CaptureState {
    CaptureMode mode = CaptureMode::ForEditor;
    PendingCapture pending;
    SelectedAccount selected;
};

}  // namespace vesprey::ui
