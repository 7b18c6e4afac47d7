#include "ui/browser/cookie_mirror.h"

#include <algorithm>

namespace vesprey::ui {

namespace {

// The path a cookie is matched against: the address's path, "/" when it has none.
QString requestPathOf(const QUrl& url) {
    QString path = url.path(QUrl::FullyEncoded);
    return path.isEmpty() ? QStringLiteral("/") : path;
}

// The engine writes an IPv6 host in brackets in a cookie's domain.
QString cookieHostOf(const QUrl& url) {
    QString host = url.host(QUrl::FullyEncoded).toLower();
    if (host.contains(u':')) {
        host = u'[' + host + u']';
    }
    return host;
}

bool isSecureScheme(const QUrl& url) {
    const QString scheme = url.scheme().toLower();
    return scheme == u"https" || scheme == u"wss";
}

// A cookie without a path attribute gets the directory of the address that set it; the engine
// always reports the path it stored, so an empty one only comes from a hand-made cookie.
QString pathOf(const QNetworkCookie& cookie) {
    return cookie.path().isEmpty() ? QStringLiteral("/") : cookie.path();
}

}  // namespace

int CookieMirror::find(const QNetworkCookie& cookie) const {
    for (int i = 0; i < cookies_.size(); ++i) {
        if (cookies_[i].cookie.hasSameIdentifier(cookie)) {
            return i;
        }
    }
    return -1;
}

void CookieMirror::add(const QNetworkCookie& cookie) {
    const int at = find(cookie);
    if (at >= 0) {
        cookies_[at].cookie = cookie;
    } else if (justRemoved_ && removed_.cookie.hasSameIdentifier(cookie)) {
        cookies_.append(Entry{cookie, removed_.order});
    } else {
        cookies_.append(Entry{cookie, next_++});
    }
    justRemoved_ = false;
}

void CookieMirror::remove(const QNetworkCookie& cookie) {
    const int at = find(cookie);
    justRemoved_ = at >= 0;
    if (at >= 0) {
        removed_ = cookies_[at];
        cookies_.remove(at);
    }
}

void CookieMirror::clear() {
    cookies_.clear();
    justRemoved_ = false;
}

bool CookieMirror::domainMatches(const QString& host, const QString& cookieDomain) {
    const QString domain = cookieDomain.toLower();
    if (domain.startsWith(u'.')) {
        // Set with a Domain attribute: that domain and every host below it.
        const QStringView bare = QStringView(domain).mid(1);
        if (bare.isEmpty()) {
            return false;
        }
        return host == bare || host.endsWith(domain);
    }
    // Host-only: exactly the host that set it.
    return !domain.isEmpty() && host == domain;
}

bool CookieMirror::pathMatches(const QString& requestPath, const QString& cookiePath) {
    if (requestPath == cookiePath) {
        return true;
    }
    if (!requestPath.startsWith(cookiePath)) {
        return false;
    }
    // "/app" covers "/app/x" but not "/apple".
    return cookiePath.endsWith(u'/') || requestPath.at(cookiePath.size()) == u'/';
}

QVector<const CookieMirror::Entry*> CookieMirror::sendable(const QUrl& url,
                                                           const QDateTime& now) const {
    QVector<const Entry*> chosen;
    if (!url.isValid() || url.host().isEmpty()) {
        return chosen;
    }
    const QString host = cookieHostOf(url);
    const QString path = requestPathOf(url);
    const bool secure = isSecureScheme(url);

    for (const Entry& entry : cookies_) {
        const QNetworkCookie& c = entry.cookie;
        if (!domainMatches(host, c.domain()) || !pathMatches(path, pathOf(c))) {
            continue;
        }
        if (c.isSecure() && !secure) {
            continue;
        }
        if (!c.isSessionCookie() && c.expirationDate() <= now) {
            continue;
        }
        chosen.append(&entry);
    }
    std::stable_sort(chosen.begin(), chosen.end(), [](const Entry* a, const Entry* b) {
        const qsizetype pa = pathOf(a->cookie).size();
        const qsizetype pb = pathOf(b->cookie).size();
        if (pa != pb) {
            return pa > pb;
        }
        return a->order < b->order;
    });
    return chosen;
}

QByteArray CookieMirror::headerFor(const QUrl& url, const QDateTime& now) const {
    const QVector<const Entry*> chosen = sendable(url, now);
    QByteArray header;
    for (const Entry* entry : chosen) {
        if (!header.isEmpty()) {
            header += "; ";
        }
        // A cookie set without a name is sent as its bare value.
        if (!entry->cookie.name().isEmpty()) {
            header += entry->cookie.name();
            header += '=';
        }
        header += entry->cookie.value();
    }
    return header;
}

QDateTime CookieMirror::earliestExpiryFor(const QUrl& url, const QDateTime& now) const {
    QDateTime earliest;
    for (const Entry* entry : sendable(url, now)) {
        if (entry->cookie.isSessionCookie()) {
            continue;
        }
        const QDateTime expires = entry->cookie.expirationDate().toUTC();
        if (!earliest.isValid() || expires < earliest) {
            earliest = expires;
        }
    }
    return earliest;
}

}  // namespace vesprey::ui
