// A copy of a web engine profile's cookie jar, kept from the jar's added and removed
// notifications, that answers which cookies a browser would send to an address. The engine has
// no call that gives the cookies of an address (HttpOnly ones included), so the window keeps
// this mirror and asks it.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QNetworkCookie>
#include <QString>
#include <QUrl>
#include <QVector>
#include <cstdint>

namespace vesprey::ui {

class CookieMirror {
public:
    // The jar took a cookie, or replaced one with the same name, domain and path. The engine may
    // report one cookie twice.
    void add(const QNetworkCookie& cookie);
    // The jar dropped a cookie (deleted, expired, or about to be overwritten).
    void remove(const QNetworkCookie& cookie);
    void clear();

    int size() const { return static_cast<int>(cookies_.size()); }

    // The Cookie request-header value for `url` at `now`: the cookies whose domain, path, secure
    // flag and expiry fit, longest path first and, among equal paths, oldest first (the order of
    // a browser), as name=value pairs joined by "; ". Empty when none fits.
    QByteArray headerFor(const QUrl& url, const QDateTime& now) const;
    // The earliest expiry among the cookies headerFor gives for `url` at `now`, in UTC; invalid
    // when none fits or every one that fits lives only as long as the browser session.
    QDateTime earliestExpiryFor(const QUrl& url, const QDateTime& now) const;

    // The matching rules of a cookie jar. `host` is the address's host in its ASCII form.
    static bool domainMatches(const QString& host, const QString& cookieDomain);
    static bool pathMatches(const QString& requestPath, const QString& cookiePath);

private:
    struct Entry {
        QNetworkCookie cookie;
        std::uint64_t order = 0;  // when the jar first held a cookie of this name, domain, path
    };

    int find(const QNetworkCookie& cookie) const;
    // The entries a browser would send to `url` at `now`, in the order it sends them.
    QVector<const Entry*> sendable(const QUrl& url, const QDateTime& now) const;

    QVector<Entry> cookies_;
    std::uint64_t next_ = 0;
    // The engine reports an overwrite as the old cookie's removal right before the new one's
    // addition; the new cookie keeps the old one's place in the sending order.
    bool justRemoved_ = false;
    Entry removed_;
};

}  // namespace vesprey::ui
