// "签到选项…" on the push page: each option set in the dialog is kept in Sign.db's Setting and
// honoured by the window's next pass, against a site on 127.0.0.1.
#include "ui/window/pass_options.h"

#include <QCheckBox>
#include <QSignalSpy>
#include <atomic>
#include <memory>

#include "editor_test_support.h"
#include "loopback_server.h"
#include "store/flows.h"
#include "store/site_database.h"
#include "ui_fixtures.h"

using namespace vesprey;
using namespace vesprey::uitest;

namespace {

// Opens 签到选项, lets `set` change the form and presses 确定.
void setPassOptions(ui::MainWindow& window, std::function<void(QWidget*)> set) {
    whenShown(QStringLiteral("窗口_签到选项"), [set = std::move(set)](QWidget* dialog) {
        set(dialog);
        click(dialog, "超级按钮_确定");
    });
    click(&window, "超级按钮_签到选项");
}

std::optional<std::string> setting(const std::filesystem::path& db, std::string_view name) {
    SqlDatabase sql;
    if (!openSiteDatabase(sql, db)) {
        return std::nullopt;
    }
    return readSetting(sql, name);
}

}  // namespace

class PassOptionsReloginTest : public QObject {
    Q_OBJECT

private slots:
    void init() { dir_ = std::make_unique<QTemporaryDir>(); }
    void cleanup() { dir_.reset(); }

    // ----- 失效时自动登录 -----

    void reloginIsKeptAndAnExpiredAccountLogsInAgainInTheNextPass() {
        // The session expires: the login form gives a new one, the check-in answers 401 to any
        // other.
        test::LocalServer<> site;
        std::atomic<int> logins{0};
        site->Post("/login", [&](const httplib::Request& req, httplib::Response& res) {
            ++logins;
            if (req.body == "user=amy&pass=s3cret") {
                res.set_header("Set-Cookie", "sess=good; Path=/");
                res.set_content("{\"ok\":true}", "application/json");
            } else {
                res.set_content("{\"ok\":false}", "application/json");
            }
        });
        site->Get("/checkin", [](const httplib::Request& req, httplib::Response& res) {
            if (req.get_header_value("Cookie").find("sess=good") == std::string::npos) {
                res.status = 401;
                res.set_content("{}", "application/json");
                return;
            }
            res.set_content(gbk("{\"msg\":\"签到成功\"}"), "application/json");
        });
        site.start();
        const auto db = makeDatabase(*dir_, {});
        {
            SqlDatabase sql;
            QVERIFY(openSiteDatabase(sql, db));
            TemplateFields fields;
            fields.WebName = gbk("闸门");
            fields.WebLink = site.url("/checkin");
            fields.Tying = "msg";
            // Plain literals: moc does not read raw ones.
            const std::string steps =
                "[{\"login\": true, \"request\": {\"method\": \"POST\", \"url\": \"" +
                site.url("/login") +
                "\", \"data\": \"user={{username}}&pass={{password}}\"}, \"rule\": "
                "{\"success_asserts\": [{\"re\": \"true\", \"from\": \"content\"}]}}, "
                "{\"request\": {\"method\": \"GET\", \"url\": \"" +
                site.url("/checkin") +
                "\", \"headers\": [{\"name\": \"Cookie\", \"value\": \"{{cookie}}\"}]}, \"rule\": "
                "{\"success_asserts\": [{\"re\": \"200\", \"from\": \"status\"}]}}]";
            QVERIFY(addFlowSite(sql, fields, "sess=stale", steps,
                                {{"username", "amy"}, {"password", "s3cret"}})
                        .site.write);
        }
        BoxRecorder boxes;
        auto window = openWindow(db);

        // Off, as a new Sign.db has it: the pass leaves the account expired.
        QSignalSpy finished(window.get(), &ui::MainWindow::passFinished);
        window->startPassFromMenu();
        QVERIFY(finished.wait(30000));
        QCOMPARE(logins.load(), 0);
        QCOMPARE(templates(db).size(), std::size_t{1});
        QVERIFY(!setting(db, ui::kReloginSetting));

        setPassOptions(*window, [](QWidget* dialog) {
            auto* relogin = child<QCheckBox>(dialog, "选择框_失效时自动登录");
            QVERIFY(!relogin->isChecked());
            relogin->setChecked(true);
        });
        QCOMPARE(setting(db, ui::kReloginSetting), std::optional<std::string>("1"));

        window->startPassFromMenu();
        QVERIFY(finished.wait(30000));
        QCOMPARE(window->cellText(0, 5),
                 QStringLiteral("Cookie 失效，已重新登录并签到成功：签到成功"));
        QCOMPARE(logins.load(), 1);
        QCOMPARE(accounts(db).at(0).cookie, std::string("sess=good"));

        // The dialog shows what is kept; switched off, the row says so.
        setPassOptions(*window, [](QWidget* dialog) {
            auto* relogin = child<QCheckBox>(dialog, "选择框_失效时自动登录");
            QVERIFY(relogin->isChecked());
            relogin->setChecked(false);
        });
        QCOMPARE(setting(db, ui::kReloginSetting), std::optional<std::string>("0"));
    }

private:
    std::unique_ptr<QTemporaryDir> dir_;
};

QTEST_MAIN(PassOptionsReloginTest)
#include "pass_options_relogin_test.moc"
