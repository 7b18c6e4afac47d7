#include "ui/browser/engine_view.h"

#include <QDateTime>
#include <QVBoxLayout>
#include <QWebEngineCookieStore>
#include <QWebEngineLoadingInfo>
#include <QWebEngineNewWindowRequest>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineView>

namespace vesprey::ui {

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
    page_ = new QWebEnginePage(profile_);
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
    // A link or script that asks for a new window opens in this view: the login window has
    // room for one page only, and a login that continues in a pop-up would otherwise be lost.
    connect(page_, &QWebEnginePage::newWindowRequested, this,
            [this](QWebEngineNewWindowRequest& request) { page_->load(request.requestedUrl()); });
}

EngineView::~EngineView() {
    *alive_ = false;
    page_->disconnect(this);
    profile_->cookieStore()->disconnect(this);
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

void EngineView::onLoadingChanged(const QWebEngineLoadingInfo& info) {
    if (!*alive_ || info.status() == QWebEngineLoadingInfo::LoadStartedStatus) {
        return;
    }
    BrowserLoad load;
    load.url = info.url();
    if (info.status() == QWebEngineLoadingInfo::LoadSucceededStatus ||
        (info.status() == QWebEngineLoadingInfo::LoadFailedStatus &&
         info.errorDomain() == QWebEngineLoadingInfo::HttpStatusCodeDomain)) {
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
