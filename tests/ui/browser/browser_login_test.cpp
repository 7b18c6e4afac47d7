// The login window over the real web engine, run offscreen against a site on 127.0.0.1: which
// cookie a capture gives, when the window takes input, the menu's capture into WebCookie (update
// or insert), the editor's capture, closing without capture, and the loader's answers when the
// module is missing or broken.
#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "login_script.h"
#include "login_site.h"
#include "loopback_server.h"
#include "store/site_database.h"
#include "ui/browser/browser_loader.h"

using namespace vesprey;
using namespace vesprey::ui;
using namespace vesprey::browsertest;

namespace {

struct Notice {
    QString text;
    QString caption;
    bool warning = false;
};

SiteList sitesOf(SqlDatabase& db) {
    bool ok = false;
    SiteList sites = loadSiteList(db, &ok);
    return ok ? sites : SiteList{};
}

bool execute(SqlDatabase& db, const std::string& sql) {
    SqlStatement stmt = db.prepare(sql);
    return stmt.handle() != nullptr && stmt.stepCode() == kSqliteDone;
}

}  // namespace

class BrowserLoginTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void captureGivesThePageCookies();
    void eachWindowStartsWithoutCookies();
    void httpErrorPageStillEnablesTheWindow();
    void addressWithoutSchemeOpensHttpsAndFailedLoadKeepsWindowShut();
    void emptyAddressLoadsNothingAndTheWindowCanBeClosed();
    void menuCaptureUpdatesAnAccountWithCookie();
    void menuCaptureInsertsAnAccountWithoutCookie();
    void menuCaptureThatFailsKeepsTheWindowOpen();
    void editorCaptureTouchesNoRow();
    void closingBeforeCaptureStoresNothing();
    void storeFailuresTellTheUser();
    void loaderExplainsAMissingOrBrokenModule();

private:
    // Runs the login window on `path` of the site with a scripted user.
    BrowserLoginResult login(const std::string& path, WindowRun* run, std::vector<Step> steps,
                             const std::function<bool(const Text&, QWidget*)>& capture);
    // Adds a site; with a cookie it gets an account row.
    int addSiteRow(const char* name, const std::optional<std::string>& cookie);
    Text loginUrl(const std::string& path) const { return site_->url(path); }

    std::unique_ptr<test::LocalServer<>> site_;
    std::mutex seenMutex_;
    std::vector<std::string> plainPageCookies_;  // Cookie headers the cookie-free page received
    std::unique_ptr<QTemporaryDir> dir_;
    SqlDatabase db_;
    QList<Notice> notices_;
    int reloads_ = 0;
};

void BrowserLoginTest::initTestCase() {
    site_ = std::make_unique<test::LocalServer<>>();
    addLoginRoutes(**site_);
    (*site_)->Get("/missing", [](const httplib::Request&, httplib::Response& res) {
        res.status = 404;
        res.set_header("Set-Cookie", "lost=l1; Path=/");
        res.set_content("<html><body>no such page</body></html>", "text/html");
    });
    (*site_)->Get("/plain", [this](const httplib::Request& req, httplib::Response& res) {
        {
            std::lock_guard lock(seenMutex_);
            plainPageCookies_.push_back(req.get_header_value("Cookie"));
        }
        res.set_content("<html><body>nothing to log in</body></html>", "text/html");
    });
    site_->start();
}

void BrowserLoginTest::cleanupTestCase() {
    site_.reset();
}

void BrowserLoginTest::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    const std::filesystem::path file =
        std::filesystem::path(dir_->path().toStdString()) / "Sign.db";
    Text error;
    QVERIFY2(createSiteDatabase(file, &error), error.c_str());
    db_ = SqlDatabase();
    QVERIFY(openSiteDatabase(db_, file));
    notices_.clear();
    reloads_ = 0;
}

void BrowserLoginTest::cleanup() {
    db_ = SqlDatabase();
    dir_.reset();
}

BrowserLoginResult BrowserLoginTest::login(
    const std::string& path, WindowRun* run, std::vector<Step> steps,
    const std::function<bool(const Text&, QWidget*)>& capture) {
    BrowserLogin request;
    request.address =
        path.find("://") == std::string::npos && path.starts_with('/') ? loginUrl(path) : path;
    request.capture = [run, capture](const CapturedCookie& captured, QWidget* window) {
        ++run->captures;
        return capture(captured.cookie, window);
    };
    request.loaded = [run](const BrowserLoad& load) { run->loads.push_back(load); };
    request.opened = [run, &steps](QDialog* window) { script(window, run, std::move(steps)); };
    QString failure;
    const BrowserLoginResult result = runBrowserLogin(request, &failure);
    if (result == BrowserLoginResult::Unavailable) {
        qWarning("browser unavailable: %s", qPrintable(failure));
    }
    return result;
}

int BrowserLoginTest::addSiteRow(const char* name, const std::optional<std::string>& cookie) {
    TemplateFields fields;
    fields.WebName = name;
    fields.WebLink = loginUrl("/sign");
    fields.Weblogin = loginUrl("/start");
    if (!insertTemplate(db_, fields)) {
        return 0;
    }
    const int id = selectMaxTemplateId(db_).value_or(0);
    if (cookie && !insertWebCookie(db_, id, "2024-05-01 12:00:00", *cookie)) {
        return 0;
    }
    return id;
}

void BrowserLoginTest::captureGivesThePageCookies() {
    WindowRun run;
    Text captured;
    bool openAfterEnter = false;
    // Enter (a login form's key) must not work a button of the window.
    const Step enter = [&openAfterEnter](QDialog* window) {
        QTest::keyClick(window, Qt::Key_Return);
        openAfterEnter = window->isVisible();
        return true;
    };
    const BrowserLoginResult result =
        login("/start", &run, {whenReady(), enter, press(kCaptureButton)},
              [&captured](const Text& cookie, QWidget*) {
                  captured = cookie;
                  return true;
              });
    QVERIFY(!run.timedOut);
    QVERIFY(openAfterEnter);
    QCOMPARE(result, BrowserLoginResult::Captured);
    QCOMPARE(run.captures, 1);
    QCOMPARE(QString::fromStdString(captured), QString::fromLatin1(kLoginCookie));
    QVERIFY(!run.loads.empty());
    QCOMPARE(run.loads.back().result, 0);
    QCOMPARE(run.loads.back().url.path(), QStringLiteral("/account/login"));
}

void BrowserLoginTest::eachWindowStartsWithoutCookies() {
    WindowRun first;
    Text firstCookie;
    QCOMPARE(login("/start", &first, {whenReady(), press(kCaptureButton)},
                   [&](const Text& cookie, QWidget*) {
                       firstCookie = cookie;
                       return true;
                   }),
             BrowserLoginResult::Captured);
    QVERIFY(!firstCookie.empty());

    // Same host and path "/": a shared profile would send and capture the first login's cookies.
    WindowRun second;
    Text secondCookie = "unset";
    QCOMPARE(login("/plain", &second, {whenReady(), press(kCaptureButton)},
                   [&](const Text& cookie, QWidget*) {
                       secondCookie = cookie;
                       return true;
                   }),
             BrowserLoginResult::Captured);
    QVERIFY(!second.timedOut);
    QCOMPARE(QString::fromStdString(secondCookie), QString());
    std::lock_guard lock(seenMutex_);
    QVERIFY(!plainPageCookies_.empty());
    for (const std::string& header : plainPageCookies_) {
        QCOMPARE(QString::fromStdString(header), QString());
    }
}

void BrowserLoginTest::httpErrorPageStillEnablesTheWindow() {
    WindowRun run;
    Text captured;
    QCOMPARE(login("/missing", &run, {whenReady(), press(kCaptureButton)},
                   [&](const Text& cookie, QWidget*) {
                       captured = cookie;
                       return true;
                   }),
             BrowserLoginResult::Captured);
    QVERIFY(!run.timedOut);
    QCOMPARE(QString::fromStdString(captured), QStringLiteral("lost=l1"));
    QCOMPARE(run.loads.front().result, 0);
}

void BrowserLoginTest::addressWithoutSchemeOpensHttpsAndFailedLoadKeepsWindowShut() {
    // The site speaks plain HTTP; opened as https:// the load fails.
    const std::string address = "127.0.0.1:" + std::to_string(site_->port()) + "/start";
    WindowRun run;
    const BrowserLoginResult result =
        login(address, &run, {afterLoads(&run, 1), press(kCloseButton)},
              [](const Text&, QWidget*) { return true; });
    QVERIFY(!run.timedOut);
    QCOMPARE(result, BrowserLoginResult::Closed);
    QCOMPARE(run.captures, 0);
    QCOMPARE(run.loads.front().url.scheme(), QStringLiteral("https"));
    QCOMPARE(run.loads.front().url.port(), site_->port());
    QVERIFY(run.loads.front().result != 0);
    QVERIFY(!run.loads.front().reason.isEmpty());
    QVERIFY(run.captureDisabledBeforeReady);
    QVERIFY(run.closeEnabledBeforeReady);
}

void BrowserLoginTest::emptyAddressLoadsNothingAndTheWindowCanBeClosed() {
    WindowRun run;
    auto polls = std::make_shared<int>(0);
    // A few rounds of the event loop with nothing to load, then the state of the buttons.
    const Step settle = [polls, &run](QDialog* window) {
        if (++*polls < 25) {
            return false;
        }
        run.closeEnabledBeforeReady = button(window, kCloseButton)->isEnabled();
        run.captureDisabledBeforeReady = !button(window, kCaptureButton)->isEnabled();
        return true;
    };
    const BrowserLoginResult result =
        login("  ", &run, {settle, press(kCaptureButton), press(kCloseButton)},
              [](const Text&, QWidget*) { return true; });
    QVERIFY(!run.timedOut);
    QCOMPARE(result, BrowserLoginResult::Closed);
    QVERIFY(run.loads.empty());
    QCOMPARE(run.captures, 0);
    QVERIFY(run.captureDisabledBeforeReady);
    QVERIFY(run.closeEnabledBeforeReady);
}

void BrowserLoginTest::menuCaptureUpdatesAnAccountWithCookie() {
    const int id = addSiteRow("站点甲", std::string("old=1"));
    QVERIFY(id > 0);
    const SiteList before = sitesOf(db_);
    QCOMPARE(before.size(), std::size_t{1});
    const SiteTemplate account = before[0];

    WindowRun run;
    const BrowserLoginResult result = login(
        "/start", &run, {whenReady(), press(kCaptureButton)}, [&](const Text& cookie, QWidget*) {
            return storeAccountCookie(
                db_, account, account.id, cookie,
                [this](const QString& text, const QString& caption, bool warning) {
                    notices_.append({text, caption, warning});
                },
                [this] { ++reloads_; });
        });
    QCOMPARE(result, BrowserLoginResult::Captured);
    const SiteList after = sitesOf(db_);
    QCOMPARE(after.size(), std::size_t{1});
    QCOMPARE(after[0].Cid, account.Cid);
    QCOMPARE(QString::fromStdString(after[0].Cookie), QString::fromLatin1(kLoginCookie));
    QCOMPARE(notices_.size(), 1);
    QCOMPARE(notices_[0].text, QStringLiteral("Cookie信息修改成功！"));
    QCOMPARE(notices_[0].caption, QStringLiteral("修改模板"));
    QVERIFY(!notices_[0].warning);
    QCOMPARE(reloads_, 1);
}

void BrowserLoginTest::menuCaptureInsertsAnAccountWithoutCookie() {
    const int id = addSiteRow("站点乙", std::nullopt);
    QVERIFY(id > 0);
    const SiteList before = sitesOf(db_);
    QCOMPARE(before.size(), std::size_t{1});
    QCOMPARE(before[0].Cid, 0);  // listed with "×"

    WindowRun run;
    const BrowserLoginResult result = login(
        "/start", &run, {whenReady(), press(kCaptureButton)}, [&](const Text& cookie, QWidget*) {
            return storeAccountCookie(
                db_, before[0], before[0].id, cookie,
                [this](const QString& text, const QString& caption, bool warning) {
                    notices_.append({text, caption, warning});
                },
                [this] { ++reloads_; });
        });
    QCOMPARE(result, BrowserLoginResult::Captured);
    const SiteList after = sitesOf(db_);
    QCOMPARE(after.size(), std::size_t{1});
    QVERIFY(after[0].Cid != 0);
    QCOMPARE(QString::number(after[0].id), QString::number(id));
    QCOMPARE(QString::fromStdString(after[0].Cookie), QString::fromLatin1(kLoginCookie));
    QCOMPARE(siteListRow(after[0], 0)[4], utf8ToAnsi("√"));
    QVERIFY(notices_.isEmpty());
    QCOMPARE(reloads_, 1);
}

void BrowserLoginTest::menuCaptureThatFailsKeepsTheWindowOpen() {
    QVERIFY(addSiteRow("站点丙", std::string("old=1")) > 0);
    const SiteTemplate account = sitesOf(db_).at(0);
    QVERIFY(execute(db_,
                    "create trigger keep before update on WebCookie begin "
                    "select raise(abort, 'cookie rows are locked'); end"));

    WindowRun run;
    bool openAfterCapture = false;
    const BrowserLoginResult result =
        login("/start", &run,
              {whenReady(), press(kCaptureButton),
               [&openAfterCapture](QDialog* window) {
                   openAfterCapture = window->isVisible();
                   return true;
               },
               press(kCloseButton)},
              [&](const Text& cookie, QWidget*) {
                  return storeAccountCookie(
                      db_, account, account.id, cookie,
                      [this](const QString& text, const QString& caption, bool warning) {
                          notices_.append({text, caption, warning});
                      },
                      [this] { ++reloads_; });
              });
    QVERIFY(!run.timedOut);
    QCOMPARE(result, BrowserLoginResult::Closed);
    QCOMPARE(run.captures, 1);
    QVERIFY(openAfterCapture);
    QCOMPARE(notices_.size(), 1);
    QCOMPARE(notices_[0].text, QStringLiteral("修改Cookie记录失败！\r\ncookie rows are locked"));
    QCOMPARE(notices_[0].caption, QStringLiteral("修改模板"));
    QCOMPARE(reloads_, 0);
    QCOMPARE(QString::fromStdString(sitesOf(db_).at(0).Cookie), QStringLiteral("old=1"));
}

void BrowserLoginTest::editorCaptureTouchesNoRow() {
    QVERIFY(addSiteRow("站点丁", std::string("old=1")) > 0);
    QVERIFY(addSiteRow("站点戊", std::nullopt) > 0);
    // Any write to the two tables would fail the test loudly.
    QVERIFY(execute(
        db_, "create trigger w1 before insert on WebCookie begin select raise(abort,'x'); end"));
    QVERIFY(execute(
        db_, "create trigger w2 before update on WebCookie begin select raise(abort,'x'); end"));
    const SiteList before = sitesOf(db_);

    CapturedCookie pending{"earlier=1", {}};
    WindowRun run;
    QString failure;
    BrowserLoginResult result = BrowserLoginResult::Unavailable;
    {
        // captureForEditor has no hook for the window; the scripted user finds it as the modal one.
        NextLoginWindow user(&run, {whenReady(), press(kCaptureButton)});
        result = captureForEditor(nullptr, loginUrl("/start"), &pending, &failure);
        QVERIFY(user.found);
    }
    QVERIFY(!run.timedOut);
    QCOMPARE(result, BrowserLoginResult::Captured);
    QCOMPARE(QString::fromStdString(pending.cookie), QString::fromLatin1(kLoginCookie));
    QVERIFY(!pending.expires.isValid());  // the login page sets session cookies only
    const SiteList after = sitesOf(db_);
    QCOMPARE(after.size(), before.size());
    for (std::size_t i = 0; i < after.size(); ++i) {
        QCOMPARE(after[i].Cid, before[i].Cid);
        QCOMPARE(after[i].Cookie, before[i].Cookie);
    }

    // Closed without capture: the pending cookie stays.
    WindowRun closed;
    {
        NextLoginWindow user(&closed, {whenReady(), press(kCloseButton)});
        result = captureForEditor(nullptr, loginUrl("/plain"), &pending, &failure);
        QVERIFY(user.found);
    }
    QVERIFY(!closed.timedOut);
    QCOMPARE(result, BrowserLoginResult::Closed);
    QCOMPARE(QString::fromStdString(pending.cookie), QString::fromLatin1(kLoginCookie));
}

void BrowserLoginTest::closingBeforeCaptureStoresNothing() {
    QVERIFY(addSiteRow("站点己", std::string("old=1")) > 0);
    QVERIFY(addSiteRow("站点庚", std::nullopt) > 0);
    const SiteList before = sitesOf(db_);
    for (const SiteTemplate& account : before) {
        WindowRun run;
        const BrowserLoginResult result = login(
            "/start", &run, {whenReady(), press(kCloseButton)}, [&](const Text& cookie, QWidget*) {
                return storeAccountCookie(
                    db_, account, account.id, cookie,
                    [this](const QString& text, const QString& caption, bool warning) {
                        notices_.append({text, caption, warning});
                    },
                    [this] { ++reloads_; });
            });
        QVERIFY(!run.timedOut);
        QCOMPARE(result, BrowserLoginResult::Closed);
        QCOMPARE(run.captures, 0);
    }
    const SiteList after = sitesOf(db_);
    QCOMPARE(after.size(), before.size());
    for (std::size_t i = 0; i < after.size(); ++i) {
        QCOMPARE(after[i].Cid, before[i].Cid);
        QCOMPARE(after[i].Cookie, before[i].Cookie);
    }
    QVERIFY(notices_.isEmpty());
    QCOMPARE(reloads_, 0);
}

void BrowserLoginTest::storeFailuresTellTheUser() {
    auto notice = [this](const QString& text, const QString& caption, bool warning) {
        notices_.append({text, caption, warning});
    };
    auto reload = [this] { ++reloads_; };

    // An account without a cookie whose insert fails: no message, the window stays.
    QVERIFY(addSiteRow("站点辛", std::nullopt) > 0);
    const SiteTemplate bare = sitesOf(db_).at(0);
    QVERIFY(execute(db_,
                    "create trigger no_insert before insert on WebCookie begin "
                    "select raise(abort, 'no'); end"));
    QVERIFY(!storeAccountCookie(db_, bare, bare.id, "a=1", notice, reload));
    QVERIFY(notices_.isEmpty());
    QCOMPARE(reloads_, 0);
    QCOMPARE(sitesOf(db_).at(0).Cid, 0);

    // A statement that cannot be prepared: the warning, and the window may close.
    SiteTemplate account = bare;
    account.Cid = 7;
    account.Cookie = "old=1";
    QVERIFY(execute(db_, "drop table WebCookie"));
    QVERIFY(storeAccountCookie(db_, account, account.id, "a=1", notice, reload));
    QCOMPARE(notices_.size(), 1);
    QCOMPARE(notices_[0].text, QStringLiteral("Cookie语句执行失败！"));
    QCOMPARE(notices_[0].caption, QStringLiteral("修改模板"));
    QVERIFY(notices_[0].warning);
    QCOMPARE(reloads_, 0);
}

void BrowserLoginTest::loaderExplainsAMissingOrBrokenModule() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString missing = dir.filePath(QStringLiteral("libvesprey_browser.so"));
    BrowserModule nowhere({missing, dir.filePath(QStringLiteral("lib/libvesprey_browser.so"))});
    QVERIFY(!nowhere.load());
    QVERIFY(!nowhere.isLoaded());
    QCOMPARE(nowhere.failure(), browserNotBuiltMessage());
    QVERIFY(nowhere.failure().contains(QStringLiteral("qt6-webengine-dev")));
    QVERIFY(nowhere.createWindow(BrowserWindowSetup{}) == nullptr);

    // A file that is no library: the libraries message with the loader's own words after it.
    {
        QFile broken(missing);
        QVERIFY(broken.open(QIODevice::WriteOnly));
        broken.write("not an ELF file");
    }
    BrowserModule broken({missing});
    QVERIFY(!broken.load());
    QVERIFY(broken.failure().startsWith(browserLibrariesMissingMessage(QString())));
    QVERIFY(broken.failure().contains(QStringLiteral("libqt6webenginewidgets6")));
    QVERIFY(broken.failure().size() > browserLibrariesMissingMessage(QString()).size());

    // A library without the two functions.
    BrowserModule foreign({QStringLiteral(VESPREY_FOREIGN_LIBRARY)});
    QVERIFY(!foreign.load());
    QCOMPARE(foreign.failure(), browserVersionMessage());

    // The program's own lookup finds the module built beside it.
    BrowserModule& module = BrowserModule::instance();
    QVERIFY2(module.load(), qPrintable(module.failure()));
    QVERIFY(module.path().endsWith(QStringLiteral("/libvesprey_browser.so")));
}

QTEST_MAIN(BrowserLoginTest)

#include "browser_login_test.moc"
