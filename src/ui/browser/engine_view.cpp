#include "ui/browser/engine_view.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <QVBoxLayout>
#include <QWebEngineCookieStore>
#include <QWebEngineLoadingInfo>
#include <QWebEngineNewWindowRequest>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineUrlRequestInfo>
#include <QWebEngineUrlRequestInterceptor>
#include <QWebEngineView>
#include <algorithm>
#include <utility>

namespace vesprey::ui {
namespace {

// What the page's recording script writes on the console ahead of each report.
constexpr QStringView kRecordMark = u"\u0001vesprey-record ";

// The recording script, run in the page's own world at the creation of every document while the
// view records: it wraps fetch, XMLHttpRequest and the sending of forms, and reports each request
// as it starts (method, address, header lines, body) and as its answer ends (status, text) on
// the console, each report a JSON object after kRecordMark. Report ids are unique across
// documents. A form's fields are those a browser sends, the button that sent it included.
constexpr char kRecordingScript[] =
    "(function () {\n"
    "  if (window.__vespreyRecorder) { return; }\n"
    "  window.__vespreyRecorder = true;\n"
    "  var mark = '\\u0001vesprey-record ';\n"
    "  var limit = 262144;\n"
    "  var next = 0;\n"
    "  var documentId = Math.random().toString(36).slice(2) + Date.now().toString(36);\n"
    "  function report(r) { try { console.log(mark + JSON.stringify(r)); } catch (e) {} }\n"
    "  function absolute(u) { try { return new URL(String(u), location.href).href; } catch (e) { "
    "return String(u); } }\n"
    "  function fields(data) {\n"
    "    var p = new URLSearchParams();\n"
    "    data.forEach(function (v, k) { p.append(k, typeof v === 'string' ? v : ''); });\n"
    "    return p.toString();\n"
    "  }\n"
    "  function bodyText(b) {\n"
    "    if (b === undefined || b === null) { return ''; }\n"
    "    if (typeof b === 'string') { return b; }\n"
    "    if (b instanceof URLSearchParams) { return b.toString(); }\n"
    "    if (typeof FormData !== 'undefined' && b instanceof FormData) { return fields(b); }\n"
    "    return '';\n"
    "  }\n"
    "  function headerList(h) {\n"
    "    var out = [];\n"
    "    if (!h) { return out; }\n"
    "    if (typeof Headers !== 'undefined' && h instanceof Headers) {\n"
    "      h.forEach(function (v, k) { out.push([k, v]); });\n"
    "    } else if (Array.isArray(h)) {\n"
    "      h.forEach(function (p) { out.push([String(p[0]), String(p[1])]); });\n"
    "    } else {\n"
    "      Object.keys(h).forEach(function (k) { out.push([k, String(h[k])]); });\n"
    "    }\n"
    "    return out;\n"
    "  }\n"
    "  function start(method, url, headers, body) {\n"
    "    var r = {id: documentId + '.' + (++next), phase: 'start', method: String(method || "
    "'GET').toUpperCase(),\n"
    "             url: absolute(url), headers: headers, body: body, script: true};\n"
    "    report(r);\n"
    "    return r.id;\n"
    "  }\n"
    "  function end(id, status, text) {\n"
    "    report({id: id, phase: 'end', status: status, answer: String(text || '').slice(0, "
    "limit)});\n"
    "  }\n"
    "  if (window.fetch) {\n"
    "    var originalFetch = window.fetch;\n"
    "    window.fetch = function (input, init) {\n"
    "      init = init || {};\n"
    "      var isRequest = typeof Request !== 'undefined' && input instanceof Request;\n"
    "      var id = start(init.method || (isRequest ? input.method : 'GET'),\n"
    "                     isRequest ? input.url : input,\n"
    "                     headerList(init.headers || (isRequest ? input.headers : null)),\n"
    "                     bodyText(init.body));\n"
    "      var answer = originalFetch.apply(this, arguments);\n"
    "      answer.then(function (response) {\n"
    "        return response.clone().text().then(function (text) { end(id, response.status, text); "
    "});\n"
    "      }).catch(function () { end(id, 0, ''); });\n"
    "      return answer;\n"
    "    };\n"
    "  }\n"
    "  var open = XMLHttpRequest.prototype.open;\n"
    "  var send = XMLHttpRequest.prototype.send;\n"
    "  var setHeader = XMLHttpRequest.prototype.setRequestHeader;\n"
    "  XMLHttpRequest.prototype.open = function (method, url) {\n"
    "    this.__vespreyRequest = {method: method, url: url, headers: []};\n"
    "    return open.apply(this, arguments);\n"
    "  };\n"
    "  XMLHttpRequest.prototype.setRequestHeader = function (name, value) {\n"
    "    if (this.__vespreyRequest) { this.__vespreyRequest.headers.push([String(name), "
    "String(value)]); }\n"
    "    return setHeader.apply(this, arguments);\n"
    "  };\n"
    "  XMLHttpRequest.prototype.send = function (body) {\n"
    "    var x = this;\n"
    "    var r = x.__vespreyRequest;\n"
    "    if (r) {\n"
    "      var id = start(r.method, r.url, r.headers, bodyText(body));\n"
    "      x.addEventListener('loadend', function () {\n"
    "        var text = '';\n"
    "        try { text = (x.responseType === '' || x.responseType === 'text') ? x.responseText : "
    "''; } catch (e) {}\n"
    "        end(id, x.status, text);\n"
    "      });\n"
    "    }\n"
    "    return send.apply(this, arguments);\n"
    "  };\n"
    "  function formSent(form, submitter) {\n"
    "    var method = String(form.getAttribute('method') || 'GET').toUpperCase();\n"
    "    var url = absolute(form.getAttribute('action') || location.href);\n"
    "    var sent = new FormData(form);\n"
    "    if (submitter && submitter.name && !submitter.disabled) {\n"
    "      sent.append(submitter.name, submitter.value || '');\n"
    "    }\n"
    "    var data = fields(sent);\n"
    "    var r = {id: documentId + '.' + (++next), phase: 'form', method: method, url: url, "
    "headers: [], body: "
    "data,\n"
    "             script: false};\n"
    "    if (method === 'GET') {\n"
    "      var target = new URL(url);\n"
    "      target.search = data;\n"
    "      r.url = target.href;\n"
    "      r.body = '';\n"
    "    } else {\n"
    "      r.headers = [['Content-Type', 'application/x-www-form-urlencoded']];\n"
    "    }\n"
    "    report(r);\n"
    "  }\n"
    "  document.addEventListener('submit', function (e) {\n"
    "    if (e.target && e.target.tagName === 'FORM') { formSent(e.target, e.submitter); }\n"
    "  }, true);\n"
    "  var submit = HTMLFormElement.prototype.submit;\n"
    "  HTMLFormElement.prototype.submit = function () {\n"
    "    formSent(this, null);\n"
    "    return submit.apply(this, arguments);\n"
    "  };\n"
    "})();\n";

// A page that hands the recording script's reports to its view.
class RecordingPage final : public QWebEnginePage {
public:
    RecordingPage(QWebEngineProfile* profile, std::function<void(const QString&)> reported)
        : QWebEnginePage(profile), reported_(std::move(reported)) {}

protected:
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel, const QString& message, int,
                                  const QString&) override {
        if (message.startsWith(kRecordMark)) {
            reported_(message.mid(kRecordMark.size()));
        }
    }

private:
    std::function<void(const QString&)> reported_;
};

QString recordingScriptName() {
    return QStringLiteral("vesprey-recording");
}

// The text of the page now shown, read as the answer of the request that loaded it: the markup
// of an HTML or XML document, the text itself of any other (plain text, JSON), which the engine
// shows inside a page of its own.
constexpr char kPageTextScript[] =
    "(function () {\n"
    "  var d = document;\n"
    "  if (!d.documentElement) { return ''; }\n"
    "  if (!/html|xml/i.test(d.contentType || '') && d.body) { return d.body.textContent; }\n"
    "  return d.documentElement.outerHTML;\n"
    "})()";

constexpr qsizetype kAnswerLimit = 262144;

// Requests that fetch what a page shows (styles, scripts, images, fonts, media) or that the
// engine makes on its own: none of them signs in, and a page makes many.
bool assetRequest(QWebEngineUrlRequestInfo::ResourceType type) {
    switch (type) {
        case QWebEngineUrlRequestInfo::ResourceTypeStylesheet:
        case QWebEngineUrlRequestInfo::ResourceTypeScript:
        case QWebEngineUrlRequestInfo::ResourceTypeImage:
        case QWebEngineUrlRequestInfo::ResourceTypeFontResource:
        case QWebEngineUrlRequestInfo::ResourceTypeMedia:
        case QWebEngineUrlRequestInfo::ResourceTypeFavicon:
        case QWebEngineUrlRequestInfo::ResourceTypePrefetch:
        case QWebEngineUrlRequestInfo::ResourceTypeCspReport:
        case QWebEngineUrlRequestInfo::ResourceTypeWorker:
        case QWebEngineUrlRequestInfo::ResourceTypeSharedWorker:
        case QWebEngineUrlRequestInfo::ResourceTypeServiceWorker:
        case QWebEngineUrlRequestInfo::ResourceTypeNavigationPreloadMainFrame:
        case QWebEngineUrlRequestInfo::ResourceTypeNavigationPreloadSubFrame:
            return true;
        default:
            return false;
    }
}

// What the interceptor reads of one request.
struct SeenRequest {
    QWebEngineUrlRequestInfo::ResourceType type = QWebEngineUrlRequestInfo::ResourceTypeUnknown;
    QByteArray method;
    QUrl url;
    QUrl initiator;
};

// Hands what it reads of each request to `seen`, on the thread of `context`: directly when the
// engine asks on that thread (as it does), queued when it asks on another.
class RecordingInterceptor final : public QWebEngineUrlRequestInterceptor {
public:
    RecordingInterceptor(QObject* context, std::function<void(const SeenRequest&)> seen)
        : QWebEngineUrlRequestInterceptor(context), context_(context), seen_(std::move(seen)) {}

    void interceptRequest(QWebEngineUrlRequestInfo& info) override {
        SeenRequest request;
        request.type = info.resourceType();
        request.method = info.requestMethod();
        request.url = info.requestUrl();
        request.initiator = info.initiator();
        if (context_->thread() == QThread::currentThread()) {
            seen_(request);
            return;
        }
        QMetaObject::invokeMethod(
            context_, [seen = seen_, request] { seen(request); }, Qt::QueuedConnection);
    }

private:
    QObject* context_;
    std::function<void(const SeenRequest&)> seen_;
};

QUrl withoutFragment(const QUrl& url) {
    return url.adjusted(QUrl::RemoveFragment);
}

// How the reports of two sources name one request: what sent it (a script or a navigation),
// the method and the address.
QString address(const QUrl& url) {
    return withoutFragment(url).toString(QUrl::FullyEncoded);
}

QString requestKey(bool navigation, const QString& method, const QUrl& url) {
    return (navigation ? QStringLiteral("navigation ") : QStringLiteral("script ")) + method +
           u' ' + address(url);
}

QString originOf(const QUrl& url) {
    QUrl origin;
    origin.setScheme(url.scheme());
    origin.setHost(url.host());
    origin.setPort(url.port());
    return origin.toString(QUrl::FullyEncoded);
}

bool hasHeader(const QList<QPair<QString, QString>>& headers, const QString& name) {
    return std::any_of(headers.begin(), headers.end(), [&name](const auto& header) {
        return header.first.compare(name, Qt::CaseInsensitive) == 0;
    });
}

// Adds the lines of `more` whose names `headers` has not.
void mergeHeaders(QList<QPair<QString, QString>>& headers,
                  const QList<QPair<QString, QString>>& more) {
    for (const auto& header : more) {
        if (!hasHeader(headers, header.first)) {
            headers.append(header);
        }
    }
}

}  // namespace

QUrl loginAddress(const QString& address) {
    const QString text = address.trimmed();
    if (text.isEmpty()) {
        return {};
    }
    // "example.com/login" and "127.0.0.1:8080/login" name no scheme; QUrl would read the part
    // before the colon of the latter as one, so look for "://" and the few schemes without it.
    const bool hasScheme = text.contains(QStringLiteral("://")) ||
                           text.startsWith(QStringLiteral("about:"), Qt::CaseInsensitive) ||
                           text.startsWith(QStringLiteral("data:"), Qt::CaseInsensitive);
    return QUrl(hasScheme ? text : QStringLiteral("https://") + text);
}

EngineView::EngineView(QWidget* parent) : QWidget(parent) {
    // A profile without a storage name is off the record: cookies and cache live in memory and
    // go with it.
    profile_ = new QWebEngineProfile();
    page_ = new RecordingPage(profile_, [this](const QString& json) { onRecorded(json); });
    view_ = new QWebEngineView(this);
    view_->setPage(page_);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view_);

    QWebEngineCookieStore* store = profile_->cookieStore();
    connect(store, &QWebEngineCookieStore::cookieAdded, this,
            [this](const QNetworkCookie& cookie) { cookies_.add(cookie); });
    connect(store, &QWebEngineCookieStore::cookieRemoved, this,
            [this](const QNetworkCookie& cookie) { cookies_.remove(cookie); });
    store->loadAllCookies();

    connect(page_, &QWebEnginePage::loadingChanged, this, &EngineView::onLoadingChanged);
    connect(page_, &QWebEnginePage::urlChanged, this,
            [this](const QUrl& url) { documentUrl_ = url; });
    interceptor_ = new RecordingInterceptor(this, [this](const SeenRequest& seen) {
        if (!recording_ || assetRequest(seen.type)) {
            return;
        }
        NetworkRequest request;
        request.method = QString::fromLatin1(seen.method).toUpper();
        request.url = seen.url;
        request.xhr = seen.type == QWebEngineUrlRequestInfo::ResourceTypeXhr;
        request.mainFrame = seen.type == QWebEngineUrlRequestInfo::ResourceTypeMainFrame;
        request.subFrame = seen.type == QWebEngineUrlRequestInfo::ResourceTypeSubFrame;
        request.headers = engineHeaders(request.method, request.url, seen.initiator);
        onIntercepted(std::move(request));
    });
    // A link or script that asks for a new window opens in this view: the login window has
    // room for one page only, and a login that continues in a pop-up would otherwise be lost.
    connect(page_, &QWebEnginePage::newWindowRequested, this,
            [this](QWebEngineNewWindowRequest& request) { page_->load(request.requestedUrl()); });
}

EngineView::~EngineView() {
    *alive_ = false;
    page_->disconnect(this);
    profile_->cookieStore()->disconnect(this);
    profile_->setUrlRequestInterceptor(nullptr);
    // The page before its profile: the engine refuses to release a profile that still has one.
    delete page_;
    delete profile_;
}

void EngineView::navigate(const QString& address) {
    const QUrl url = loginAddress(address);
    if (!url.isEmpty()) {
        page_->load(url);
    }
}

bool EngineView::isLoadingCompleted() const {
    return !page_->isLoading();
}

void EngineView::queryDocumentReady(std::function<void(bool ready)> answer) {
    // Asked in a world of our own, where the page's scripts cannot change the answer.
    page_->runJavaScript(QStringLiteral("document.readyState"), QWebEngineScript::ApplicationWorld,
                         [alive = alive_, answer = std::move(answer)](const QVariant& state) {
                             if (!*alive) {
                                 return;
                             }
                             const QString text = state.toString();
                             answer(text == u"interactive" || text == u"complete");
                         });
}

QByteArray EngineView::cookieString() const {
    return cookies_.headerFor(page_->url(), QDateTime::currentDateTimeUtc());
}

QDateTime EngineView::cookieExpiry() const {
    return cookies_.earliestExpiryFor(page_->url(), QDateTime::currentDateTimeUtc());
}

QUrl EngineView::currentUrl() const {
    return page_->url();
}

void EngineView::setRecording(bool on) {
    if (on == recording_) {
        return;
    }
    recording_ = on;
    QWebEngineScriptCollection& scripts = page_->scripts();
    for (const QWebEngineScript& script : scripts.find(recordingScriptName())) {
        scripts.remove(script);
    }
    if (!on) {
        profile_->setUrlRequestInterceptor(nullptr);
        return;
    }
    recorded_.clear();
    recordedById_.clear();
    awaitingNetwork_.clear();
    awaitingScript_.clear();
    awaitingPage_.clear();
    documentUrl_ = page_->url();
    profile_->setUrlRequestInterceptor(interceptor_);
    QWebEngineScript script;
    script.setName(recordingScriptName());
    script.setSourceCode(QString::fromUtf8(kRecordingScript));
    script.setInjectionPoint(QWebEngineScript::DocumentCreation);
    script.setWorldId(QWebEngineScript::MainWorld);
    script.setRunsOnSubFrames(true);
    scripts.insert(script);
    // The document already there records from now on too, and is the first page recorded: the
    // page the user starts on may hold what the sign-in sends.
    page_->runJavaScript(QString::fromUtf8(kRecordingScript), QWebEngineScript::MainWorld);
    if (!page_->url().isEmpty() && !page_->isLoading()) {
        recordPage(page_->url(), 200);
    }
}

QList<QPair<QString, QString>> EngineView::engineHeaders(const QString& method, const QUrl& url,
                                                         const QUrl& initiator) const {
    QList<QPair<QString, QString>> headers;
    headers.append({QStringLiteral("User-Agent"), profile_->httpUserAgent()});
    // A document's own request names it as the referrer, by the engine's default policy: the
    // whole address within its origin, only the origin elsewhere, nothing from https to http.
    const bool fromDocument = !initiator.isEmpty() && documentUrl_.isValid() &&
                              originOf(initiator) == originOf(documentUrl_);
    if (fromDocument && documentUrl_.scheme().startsWith(u"http")) {
        QString referrer;
        if (originOf(url) == originOf(documentUrl_)) {
            referrer = withoutFragment(documentUrl_)
                           .adjusted(QUrl::RemoveUserInfo)
                           .toString(QUrl::FullyEncoded);
        } else if (!(documentUrl_.scheme() == u"https" && url.scheme() == u"http")) {
            referrer = originOf(documentUrl_) + u'/';
        }
        if (!referrer.isEmpty()) {
            headers.append({QStringLiteral("Referer"), referrer});
        }
    }
    if (!initiator.isEmpty() && method != u"GET" && method != u"HEAD") {
        headers.append({QStringLiteral("Origin"), originOf(initiator)});
    }
    return headers;
}

EngineView::Entry& EngineView::append(Entry entry) {
    entry.serial = ++nextSerial_;
    recorded_.append(std::move(entry));
    keepWithinLimits();
    return recorded_.last();
}

void EngineView::keepWithinLimits() {
    const auto answerChars = [this] {
        qsizetype total = 0;
        for (const Entry& entry : recorded_) {
            total += entry.request.answer.size();
        }
        return total;
    };
    // The entry just added stays: it is the one being recorded.
    while (recorded_.size() > 1 &&
           (recorded_.size() > kRecordLimit || answerChars() > kAnswerBudget)) {
        const auto plain = std::find_if(
            recorded_.begin(), recorded_.end() - 1,
            [](const Entry& entry) { return !entry.navigation && entry.request.method == u"GET"; });
        recorded_.erase(plain != recorded_.end() - 1 ? plain : recorded_.begin());
    }
    // What names entries gone goes too, so that a long recording does not keep it all.
    if (recordedById_.size() > kRecordLimit) {
        recordedById_.removeIf([this](QHash<QString, quint64>::iterator at) {
            return entryOf(at.value()) == nullptr;
        });
    }
    const auto exists = [this](quint64 serial) { return entryOf(serial) != nullptr; };
    for (Awaiting* awaiting : {&awaitingNetwork_, &awaitingScript_, &awaitingPage_}) {
        if (awaiting->size() > kRecordLimit) {
            awaiting->prune(exists);
        }
    }
}

EngineView::Entry* EngineView::entryOf(quint64 serial) {
    const auto at =
        std::lower_bound(recorded_.begin(), recorded_.end(), serial,
                         [](const Entry& entry, quint64 wanted) { return entry.serial < wanted; });
    return at != recorded_.end() && at->serial == serial ? &*at : nullptr;
}

void EngineView::Awaiting::add(const QString& key, quint64 serial) {
    byKey_[key].append(serial);
    ++size_;
}

quint64 EngineView::Awaiting::take(const QString& key, const std::function<bool(quint64)>& usable) {
    const auto at = byKey_.find(key);
    if (at == byKey_.end()) {
        return 0;
    }
    quint64 found = 0;
    QList<quint64>& serials = at.value();
    while (!serials.isEmpty() && found == 0) {
        const quint64 serial = serials.takeFirst();
        --size_;
        if (usable(serial)) {
            found = serial;
        }
    }
    if (serials.isEmpty()) {
        byKey_.erase(at);
    }
    return found;
}

void EngineView::Awaiting::prune(const std::function<bool(quint64)>& usable) {
    size_ = 0;
    for (auto at = byKey_.begin(); at != byKey_.end();) {
        at.value().removeIf([&usable](quint64 serial) { return !usable(serial); });
        size_ += at.value().size();
        at = at.value().isEmpty() ? byKey_.erase(at) : std::next(at);
    }
}

void EngineView::Awaiting::clear() {
    byKey_.clear();
    size_ = 0;
}

void EngineView::recordPage(const QUrl& url, int status) {
    // The navigation that loaded it, recorded as it started (a form sent, or the request the
    // interceptor saw), takes the page as its answer.
    Entry* entry = entryOf(awaitingPage_.take(address(url), [this](quint64 serial) {
        const Entry* e = entryOf(serial);
        return e != nullptr && !e->pageTaken;
    }));
    if (entry == nullptr) {
        Entry page;
        page.request.method = QStringLiteral("GET");
        page.request.url = url;
        page.navigation = true;
        entry = &append(std::move(page));
    }
    entry->pageTaken = true;
    entry->request.status = status;
    const quint64 serial = entry->serial;
    // Read in a world of our own, where the page's scripts cannot change the answer.
    page_->runJavaScript(QString::fromUtf8(kPageTextScript), QWebEngineScript::ApplicationWorld,
                         [this, alive = alive_, serial](const QVariant& text) {
                             if (!*alive) {
                                 return;
                             }
                             if (Entry* answered = entryOf(serial)) {
                                 answered->request.answer = text.toString().left(kAnswerLimit);
                                 keepWithinLimits();
                             }
                         });
}

QList<BrowserRecordedRequest> EngineView::takeRecording() {
    recordedById_.clear();
    awaitingNetwork_.clear();
    awaitingScript_.clear();
    awaitingPage_.clear();
    QList<BrowserRecordedRequest> out;
    out.reserve(recorded_.size());
    for (Entry& entry : recorded_) {
        out.append(std::move(entry.request));
    }
    recorded_.clear();
    return out;
}

void EngineView::onRecorded(const QString& json) {
    if (!recording_) {
        return;
    }
    const QJsonObject report = QJsonDocument::fromJson(json.toUtf8()).object();
    const QString id = report.value(u"id").toString();
    const QString phase = report.value(u"phase").toString();
    if (phase == u"end") {
        const auto at = recordedById_.constFind(id);
        if (at != recordedById_.constEnd()) {
            if (Entry* entry = entryOf(*at)) {
                entry->request.status = report.value(u"status").toInt();
                entry->request.answer = report.value(u"answer").toString().left(kAnswerLimit);
                keepWithinLimits();
            }
        }
        return;
    }
    BrowserRecordedRequest request;
    request.method = report.value(u"method").toString().toUpper();
    request.url = QUrl(report.value(u"url").toString());
    for (const QJsonValue& pair : report.value(u"headers").toArray()) {
        const QJsonArray item = pair.toArray();
        request.headers.append({item.at(0).toString(), item.at(1).toString()});
    }
    request.body = report.value(u"body").toString().toUtf8();
    request.script = report.value(u"script").toBool();
    const bool form = phase == u"form";
    const QString key = requestKey(form, request.method, request.url);
    // The interceptor may have seen the request first: the report completes its entry.
    if (Entry* seen = entryOf(awaitingScript_.take(key, [this, form](quint64 serial) {
            const Entry* e = entryOf(serial);
            return e != nullptr && (!form || !e->pageTaken);
        }))) {
        mergeHeaders(request.headers, seen->request.headers);
        seen->request.headers = std::move(request.headers);
        seen->request.body = std::move(request.body);
        seen->request.url = request.url;
        recordedById_.insert(id, seen->serial);
        return;
    }
    Entry entry;
    entry.request = std::move(request);
    entry.navigation = form;
    const Entry& added = append(std::move(entry));
    recordedById_.insert(id, added.serial);
    awaitingNetwork_.add(key, added.serial);
    if (form) {
        awaitingPage_.add(address(added.request.url), added.serial);
    }
}

void EngineView::onIntercepted(NetworkRequest request) {
    // A script reports its fetch and XMLHttpRequest requests, a form what it sends to the page
    // or a frame; nothing reports the rest.
    const bool navigation = request.mainFrame || request.subFrame;
    const bool awaited = request.xhr || navigation;
    const QString key = requestKey(navigation, request.method, request.url);
    // The script's (or the form's) report of the same request, when it came first, gets the
    // engine's lines.
    if (awaited) {
        if (Entry* reported = entryOf(awaitingNetwork_.take(key, [this](quint64 serial) {
                const Entry* e = entryOf(serial);
                return e != nullptr && !e->pageTaken;
            }))) {
            mergeHeaders(reported->request.headers, request.headers);
            return;
        }
    }
    Entry entry;
    entry.request.method = request.method;
    entry.request.url = request.url;
    entry.request.headers = std::move(request.headers);
    entry.request.script = request.xhr;
    entry.navigation = request.mainFrame;
    const Entry& added = append(std::move(entry));
    if (awaited) {
        awaitingScript_.add(key, added.serial);
    }
    if (request.mainFrame) {
        awaitingPage_.add(address(added.request.url), added.serial);
    }
}

void EngineView::onLoadingChanged(const QWebEngineLoadingInfo& info) {
    if (!*alive_ || info.status() == QWebEngineLoadingInfo::LoadStartedStatus) {
        return;
    }
    const bool httpError = info.status() == QWebEngineLoadingInfo::LoadFailedStatus &&
                           info.errorDomain() == QWebEngineLoadingInfo::HttpStatusCodeDomain;
    if (recording_ && (info.status() == QWebEngineLoadingInfo::LoadSucceededStatus || httpError)) {
        // A page loaded while recording: its text is the answer later requests may take
        // values from.
        recordPage(info.url(), httpError ? info.errorCode() : 200);
    }
    BrowserLoad load;
    load.url = info.url();
    if (info.status() == QWebEngineLoadingInfo::LoadSucceededStatus || httpError) {
        // An HTTP error status still brings the site's own page, which may carry the login.
        load.result = 0;
    } else {
        load.result = info.errorCode() != 0 ? info.errorCode() : -1;
        load.reason = info.errorString();
        if (load.reason.isEmpty() && info.status() == QWebEngineLoadingInfo::LoadStoppedStatus) {
            load.reason = QStringLiteral("stopped");
        }
    }
    emit loadFinished(load);
}

}  // namespace vesprey::ui
