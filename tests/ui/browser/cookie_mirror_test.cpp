// The cookie rules of the login window's cookie mirror, on hand-made cookies: which cookies an
// address gets and in which order, and how the jar's notifications keep the mirror.
#include "ui/browser/cookie_mirror.h"

#include <QTest>
#include <QTimeZone>

using vesprey::ui::CookieMirror;

namespace {

// A cookie as the engine reports it: a domain cookie's domain starts with a dot, a host-only
// cookie's is the bare host.
QNetworkCookie cookie(const char* name, const char* value, const char* domain,
                      const char* path = "/") {
    QNetworkCookie c(name, value);
    c.setDomain(QString::fromLatin1(domain));
    c.setPath(QString::fromLatin1(path));
    return c;
}

const QDateTime kNow(QDate(2024, 5, 1), QTime(12, 0), Qt::UTC);

}  // namespace

class CookieMirrorTest : public QObject {
    Q_OBJECT
private slots:
    void domainRules_data();
    void domainRules();
    void pathRules_data();
    void pathRules();
    void headerSelectsAndOrders();
    void secureAndExpiry();
    void notificationsKeepTheMirror();
    void oddAddresses();
};

void CookieMirrorTest::domainRules_data() {
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("domain");
    QTest::addColumn<bool>("matches");
    QTest::newRow("host-only, same host") << "a.example.com"
                                          << "a.example.com" << true;
    QTest::newRow("host-only, subdomain") << "b.a.example.com"
                                          << "a.example.com" << false;
    QTest::newRow("host-only, parent") << "example.com"
                                       << "a.example.com" << false;
    QTest::newRow("domain, itself") << "example.com"
                                    << ".example.com" << true;
    QTest::newRow("domain, below") << "x.y.example.com"
                                   << ".example.com" << true;
    QTest::newRow("domain, suffix only") << "badexample.com"
                                         << ".example.com" << false;
    QTest::newRow("domain, letter case") << "www.example.com"
                                         << ".Example.COM" << true;
    QTest::newRow("bare dot") << "example.com"
                              << "." << false;
    QTest::newRow("empty") << "example.com"
                           << "" << false;
    QTest::newRow("address") << "127.0.0.1"
                             << "127.0.0.1" << true;
    QTest::newRow("other address") << "127.0.0.2"
                                   << "127.0.0.1" << false;
}

void CookieMirrorTest::domainRules() {
    QFETCH(QString, host);
    QFETCH(QString, domain);
    QFETCH(bool, matches);
    QCOMPARE(CookieMirror::domainMatches(host, domain), matches);
}

void CookieMirrorTest::pathRules_data() {
    QTest::addColumn<QString>("requestPath");
    QTest::addColumn<QString>("cookiePath");
    QTest::addColumn<bool>("matches");
    QTest::newRow("root covers all") << "/a/b"
                                     << "/" << true;
    QTest::newRow("same") << "/app"
                          << "/app" << true;
    QTest::newRow("directory") << "/app/login"
                               << "/app" << true;
    QTest::newRow("directory with slash") << "/app/login"
                                          << "/app/" << true;
    QTest::newRow("longer name") << "/apple"
                                 << "/app" << false;
    QTest::newRow("deeper cookie") << "/app"
                                   << "/app/login" << false;
    QTest::newRow("slash cookie, bare request") << "/app"
                                                << "/app/" << false;
    QTest::newRow("letter case") << "/App"
                                 << "/app" << false;
}

void CookieMirrorTest::pathRules() {
    QFETCH(QString, requestPath);
    QFETCH(QString, cookiePath);
    QFETCH(bool, matches);
    QCOMPARE(CookieMirror::pathMatches(requestPath, cookiePath), matches);
}

void CookieMirrorTest::headerSelectsAndOrders() {
    CookieMirror mirror;
    mirror.add(cookie("first", "1", "site.test"));
    mirror.add(cookie("deep", "2", "site.test", "/account/login"));
    mirror.add(cookie("wide", "3", ".site.test"));
    mirror.add(cookie("mid", "4", "site.test", "/account"));
    mirror.add(cookie("other", "5", "site.test", "/elsewhere"));
    mirror.add(cookie("sub", "6", "www.site.test"));
    mirror.add(cookie("foreign", "7", "other.test"));
    QNetworkCookie bare("", "token");
    bare.setDomain(QStringLiteral("site.test"));
    bare.setPath(QStringLiteral("/"));
    mirror.add(bare);

    // Longest path first; equal paths in the order the jar first held them.
    QCOMPARE(mirror.headerFor(QUrl("http://site.test/account/login?x=1"), kNow),
             QByteArray("deep=2; mid=4; first=1; wide=3; token"));
    QCOMPARE(mirror.headerFor(QUrl("http://www.site.test/"), kNow), QByteArray("wide=3; sub=6"));
    // No path at all reads as "/".
    QCOMPARE(mirror.headerFor(QUrl("http://site.test"), kNow),
             QByteArray("first=1; wide=3; token"));
    QCOMPARE(mirror.headerFor(QUrl("http://SITE.test/elsewhere/x"), kNow),
             QByteArray("other=5; first=1; wide=3; token"));
    QCOMPARE(mirror.headerFor(QUrl("http://nothing.test/"), kNow), QByteArray());
}

void CookieMirrorTest::secureAndExpiry() {
    CookieMirror mirror;
    QNetworkCookie secure = cookie("secure", "s", "site.test");
    secure.setSecure(true);
    QNetworkCookie httpOnly = cookie("session", "h", "site.test");
    httpOnly.setHttpOnly(true);
    QNetworkCookie later = cookie("later", "l", "site.test");
    later.setExpirationDate(kNow.addSecs(60));
    QNetworkCookie past = cookie("past", "p", "site.test");
    past.setExpirationDate(kNow.addSecs(-1));
    QNetworkCookie now = cookie("now", "n", "site.test");
    now.setExpirationDate(kNow);
    for (const QNetworkCookie& c : {secure, httpOnly, later, past, now}) {
        mirror.add(c);
    }
    QCOMPARE(mirror.headerFor(QUrl("https://site.test/"), kNow),
             QByteArray("secure=s; session=h; later=l"));
    QCOMPARE(mirror.headerFor(QUrl("http://site.test/"), kNow), QByteArray("session=h; later=l"));
    QCOMPARE(mirror.headerFor(QUrl("http://site.test/"), kNow.addSecs(60)),
             QByteArray("session=h"));

    // The earliest expiry is that of the cookies the address gets: not the past one, not one
    // for another path, not one that fits only a secure address; session cookies have none.
    QNetworkCookie elsewhere = cookie("elsewhere", "e", "site.test", "/elsewhere");
    elsewhere.setExpirationDate(kNow.addSecs(5));
    mirror.add(elsewhere);
    secure.setExpirationDate(kNow.addSecs(10));
    mirror.add(secure);
    QNetworkCookie distant = cookie("distant", "d", ".site.test");
    distant.setExpirationDate(QDateTime(QDate(2024, 6, 1), QTime(8, 0), QTimeZone(3600 * 8)));
    mirror.add(distant);
    QCOMPARE(mirror.earliestExpiryFor(QUrl("http://site.test/"), kNow), kNow.addSecs(60));
    QCOMPARE(mirror.earliestExpiryFor(QUrl("https://site.test/"), kNow), kNow.addSecs(10));
    QCOMPARE(mirror.earliestExpiryFor(QUrl("http://site.test/"), kNow.addSecs(60)),
             QDateTime(QDate(2024, 6, 1), QTime(0, 0), Qt::UTC));
    QCOMPARE(mirror.earliestExpiryFor(QUrl("http://site.test/"), kNow.addSecs(60)).timeSpec(),
             Qt::UTC);
    mirror.remove(distant);
    QVERIFY(!mirror.earliestExpiryFor(QUrl("http://site.test/"), kNow.addSecs(60)).isValid());
}

void CookieMirrorTest::notificationsKeepTheMirror() {
    CookieMirror mirror;
    mirror.add(cookie("a", "1", "site.test"));
    mirror.add(cookie("b", "1", "site.test"));
    mirror.add(cookie("c", "1", "site.test"));
    const QUrl url("http://site.test/");

    // Reported twice: one cookie, the later value, same place.
    mirror.add(cookie("a", "2", "site.test"));
    QCOMPARE(mirror.size(), 3);
    QCOMPARE(mirror.headerFor(url, kNow), QByteArray("a=2; b=1; c=1"));

    // An overwrite comes as removal then addition; the cookie keeps its place.
    mirror.remove(cookie("b", "1", "site.test"));
    mirror.add(cookie("b", "2", "site.test"));
    QCOMPARE(mirror.headerFor(url, kNow), QByteArray("a=2; b=2; c=1"));

    // A cookie deleted and set again later is a new cookie and goes last.
    mirror.remove(cookie("a", "2", "site.test"));
    QCOMPARE(mirror.headerFor(url, kNow), QByteArray("b=2; c=1"));
    mirror.add(cookie("d", "1", "site.test"));
    mirror.add(cookie("a", "3", "site.test"));
    QCOMPARE(mirror.headerFor(url, kNow), QByteArray("b=2; c=1; d=1; a=3"));

    // Same name on another path or domain is another cookie.
    mirror.add(cookie("c", "other", "site.test", "/x"));
    mirror.add(cookie("c", "wide", ".site.test"));
    QCOMPARE(mirror.size(), 6);
    mirror.remove(cookie("c", "1", "site.test"));
    QCOMPARE(mirror.headerFor(QUrl("http://site.test/x/y"), kNow),
             QByteArray("c=other; b=2; d=1; a=3; c=wide"));

    // Removing what the mirror never held changes nothing.
    mirror.remove(cookie("zzz", "1", "site.test"));
    QCOMPARE(mirror.size(), 5);

    mirror.clear();
    QCOMPARE(mirror.headerFor(url, kNow), QByteArray());
}

void CookieMirrorTest::oddAddresses() {
    CookieMirror mirror;
    mirror.add(cookie("v6", "1", "[::1]"));
    mirror.add(cookie("word", "1", "localhost"));
    QCOMPARE(mirror.headerFor(QUrl("http://[::1]:8080/"), kNow), QByteArray("v6=1"));
    QCOMPARE(mirror.headerFor(QUrl("http://localhost:8080/"), kNow), QByteArray("word=1"));
    QCOMPARE(mirror.headerFor(QUrl(), kNow), QByteArray());
    QCOMPARE(mirror.headerFor(QUrl("about:blank"), kNow), QByteArray());
}

QTEST_APPLESS_MAIN(CookieMirrorTest)
#include "cookie_mirror_test.moc"
