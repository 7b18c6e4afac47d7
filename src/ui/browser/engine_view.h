// One embedded browser view over QtWebEngine, with the operations the login window needs:
// navigate to an address, report each finished load with its result, tell whether loading has
// completed and whether the document is ready, and give the cookie string of the current page.
// Each view has a fresh off-the-record profile of its own: nothing of one login (cookies, cache,
// storage) reaches the next, and nothing is written to disk.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QUrl>
#include <QWidget>
#include <functional>
#include <memory>

#include "ui/browser/browser_module.h"
#include "ui/browser/cookie_mirror.h"

class QWebEngineLoadingInfo;
class QWebEnginePage;
class QWebEngineProfile;
class QWebEngineUrlRequestInterceptor;
class QWebEngineView;

namespace vesprey::ui {

// The address the view opens for what the user gave: trimmed, and with https:// in front when
// it names no scheme. An empty address stays empty (nothing is opened).
QUrl loginAddress(const QString& address);

class EngineView : public QWidget {
    Q_OBJECT
public:
    explicit EngineView(QWidget* parent = nullptr);
    ~EngineView() override;

    // Opens `address` (see loginAddress).
    void navigate(const QString& address);

    // True once the current page (and everything it started loading) has finished loading.
    bool isLoadingCompleted() const;
    // Asks the page whether its document is ready (parsed: ready state "interactive" or
    // "complete"); the answer comes later, on the window thread. Not called when the view goes
    // away first.
    void queryDocumentReady(std::function<void(bool ready)> answer);

    // The Cookie header value a browser would send to the current page's address now.
    QByteArray cookieString() const;
    // The earliest expiry (UTC) among those cookies; invalid when they all end with the session.
    QDateTime cookieExpiry() const;
    QUrl currentUrl() const;

    // Records the requests the page makes from now on (see BrowserRecordedRequest), or stops.
    // Two sources are merged into one entry per request: the page's recording script, which
    // sees what fetch, XMLHttpRequest and forms send (bodies, the page's own header lines,
    // answers), and the profile's request interceptor, which sees every request the engine makes
    // (the method of a navigation, requests no script made) and adds the header lines the engine
    // sends that can be known here (User-Agent, Referer, Origin). At most kRecordLimit entries are
    // kept, their answers together at most kAnswerBudget characters: past either, the oldest
    // entries go, plain GET requests that are no page before pages and requests that send.
    void setRecording(bool on);
    bool isRecording() const { return recording_; }
    // What was recorded since recording began, in the order the page made the requests.
    QList<BrowserRecordedRequest> takeRecording();

    static constexpr qsizetype kRecordLimit = kBrowserRecordLimit;
    static constexpr qsizetype kAnswerBudget = 16 * 1024 * 1024;

signals:
    // A load has ended (succeeded, failed or stopped); see BrowserLoad for `result`.
    void loadFinished(const vesprey::ui::BrowserLoad& load);

private:
    // What the interceptor saw of one request, with the header lines the engine sends for it
    // that can be known here.
    struct NetworkRequest {
        QString method;
        QUrl url;
        bool xhr = false;        // fetch or XMLHttpRequest
        bool mainFrame = false;  // a navigation of the page itself
        bool subFrame = false;   // a navigation of a frame in it
        QList<QPair<QString, QString>> headers;
    };

    // One recorded request and where its parts came from.
    struct Entry {
        BrowserRecordedRequest request;
        quint64 serial = 0;
        bool navigation = false;  // a load of the page: its answer is the page loaded
        bool pageTaken = false;   // the page loaded has been given to it
    };

    // Entries that wait for a report of another source, by what names their request: the
    // oldest first.
    class Awaiting {
    public:
        void add(const QString& key, quint64 serial);
        // The oldest of `key` that `usable` accepts, taken out (with any before it it refuses);
        // 0 when there is none.
        quint64 take(const QString& key, const std::function<bool(quint64)>& usable);
        // Forgets the serials `usable` refuses.
        void prune(const std::function<bool(quint64)>& usable);
        qsizetype size() const { return size_; }
        void clear();

    private:
        QHash<QString, QList<quint64>> byKey_;
        qsizetype size_ = 0;
    };

    void onLoadingChanged(const QWebEngineLoadingInfo& info);
    // A report of the page's recording script (a JSON object; see engine_view.cpp).
    void onRecorded(const QString& json);
    // A request the interceptor saw while recording.
    void onIntercepted(NetworkRequest request);
    // Records the page now shown at `url` (loaded with `status`), its text as the answer once
    // the page gives it; a navigation recorded already takes it.
    void recordPage(const QUrl& url, int status);
    // The header lines the engine sends with a request to `url` by `method`, started by a
    // document of `initiator` (an origin; empty when the user started it).
    QList<QPair<QString, QString>> engineHeaders(const QString& method, const QUrl& url,
                                                 const QUrl& initiator) const;
    // Appends an entry, dropping old ones past the limits.
    Entry& append(Entry entry);
    void keepWithinLimits();
    // The entry of `serial`, or null when it has gone.
    Entry* entryOf(quint64 serial);

    QWebEngineProfile* profile_ = nullptr;
    QWebEnginePage* page_ = nullptr;
    QWebEngineView* view_ = nullptr;
    CookieMirror cookies_;
    QWebEngineUrlRequestInterceptor* interceptor_ = nullptr;
    bool recording_ = false;
    QList<Entry> recorded_;  // in the order of their serials
    quint64 nextSerial_ = 0;
    QHash<QString, quint64> recordedById_;  // a script request's report id to its entry
    Awaiting awaitingNetwork_;  // reported by the script or a form, not seen by the interceptor
    Awaiting awaitingScript_;   // seen by the interceptor, not reported by the script or a form
    Awaiting awaitingPage_;     // navigations whose page has not loaded, by address
    QUrl documentUrl_;          // the page's document now (what a Referer names)
    // Cleared when the view goes, so that answers still on their way are dropped.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace vesprey::ui
