// "签到选项" on the push page: each option set in the dialog, kept in Sign.db's Setting rows and
// honoured by the window's next pass, against servers on 127.0.0.1.
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include "cookie_cloud_server.h"  // before Qt: httplib.h must not see Qt's macros
#include "editor_test_support.h"
#include "store/site_database.h"
#include "ui_fixtures.h"

using namespace vesprey;
using namespace vesprey::uitest;

namespace {

const QString kDialog = QStringLiteral("窗口_签到选项");
const std::string kUuid = "winUuid";
const std::string kPassword = "win pass";

std::optional<Text> storedSetting(const std::filesystem::path& path, std::string_view name) {
    SqlDatabase db;
    if (!openSiteDatabase(db, path)) {
        return std::nullopt;
    }
    return readSetting(db, name);
}

std::vector<Text> storedCookies(const std::filesystem::path& path) {
    SqlDatabase db;
    std::vector<Text> cookies;
    if (openSiteDatabase(db, path)) {
        for (const SiteTemplate& site : loadSiteList(db)) {
            cookies.push_back(site.Cookie);
        }
    }
    return cookies;
}

// The browser's session cookie for 127.0.0.1.
std::string cloudPlain() {
    return "{\"cookie_data\":{\"127.0.0.1\":[{\"domain\":\"127.0.0.1\",\"name\":\"sid\","
           "\"value\":\"fresh\",\"path\":\"/\",\"hostOnly\":true}]}}";
}

// Whether some status text (a notice may join the one before it) says `text`.
bool said(const QStringList& statuses, const QString& text) {
    return !statuses.filter(text).isEmpty();
}

// The CookieCloud part of the dialog.
struct CloudFields {
    bool before = false;
    QString url;
    QString uuid;
    QString password;
};

}  // namespace

class PassOptionsTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        received_.clear();
        site_ = std::make_unique<FakeSite>();
        (*site_)->Get("/sign", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard lock(mutex_);
            received_.push_back(req.get_header_value("Cookie"));
            res.set_content(gbk("{\"msg\":\"签到成功\"}"), "application/json");
        });
        site_->start();
        SiteSpec site;
        site.name = "好站";
        site.link = site_->url("/sign");
        site.tying = "msg";
        site.cookies = {"sid=old; uid=7"};
        db_ = makeDatabase(*dir_, {site});
        cloud_ = std::make_unique<test::CookieCloudServer>(kUuid);
        cloud_->serve(test::cloudAnswer(
            test::legacyEncrypted(cloudPlain(), test::cloudPassphrase(kUuid, kPassword))));
    }
    void cleanup() {
        cloud_.reset();
        site_.reset();
    }

    // The fields start empty and the box unchecked; what 确定 keeps, the next opening shows;
    // the password is masked.
    void cookieCloudFieldsAreKeptInSettingRows() {
        auto window = openWindow(db_);
        const CloudFields shown =
            setCloudFields(*window, {true, QString::fromStdString(cloud_->url()),
                                     QStringLiteral("winUuid"), QStringLiteral("win pass")});
        QCOMPARE(shown.before, false);
        QCOMPARE(shown.url, QString());
        QCOMPARE(storedSetting(db_, "CookieCloudBeforePass"), std::optional<Text>("1"));
        QCOMPARE(storedSetting(db_, "CookieCloudUrl"), std::optional<Text>(cloud_->url()));
        QCOMPARE(storedSetting(db_, "CookieCloudUuid"), std::optional<Text>(kUuid));
        QCOMPARE(storedSetting(db_, "CookieCloudPassword"), std::optional<Text>(kPassword));

        const CloudFields again = setCloudFields(*window, {false, {}, {}, {}}, false);
        QCOMPARE(again.before, true);
        QCOMPARE(again.url, QString::fromStdString(cloud_->url()));
        QCOMPARE(again.uuid, QStringLiteral("winUuid"));
        QCOMPARE(again.password, QStringLiteral("win pass"));
    }

    // A password with a character Sign.db cannot keep is refused with why, and nothing is kept.
    void aPasswordTheFileCannotKeepIsRefused() {
        BoxRecorder boxes;
        auto window = openWindow(db_);
        bool stayed = false;
        whenShown(kDialog, [&](QWidget* dialog) {
            dialog->findChild<QLineEdit*>(QStringLiteral("编辑框_CookieCloud密码"))
                ->setText(QStringLiteral("密码") + QString::fromUcs4(U"\U0001F600"));
            dialog->findChild<QPushButton*>(QStringLiteral("超级按钮_确定"))->click();
            stayed = dialog->isVisible();
            dialog->findChild<QPushButton*>(QStringLiteral("超级按钮_取消"))->click();
        });
        window->findChild<QPushButton*>(QStringLiteral("超级按钮_签到选项"))->click();
        QVERIFY(stayed);
        QCOMPARE(boxes.boxes.size(), 1);
        QVERIFY(boxes.boxes.front().text.contains(QStringLiteral("存不下的字符")));
        QCOMPARE(storedSetting(db_, "CookieCloudPassword"), std::nullopt);
    }

    // Off, a pass asks nothing of the server; on, the browser's cookie goes into the account
    // (Sign.db too) before the pass signs with it.
    void aPassSyncsTheCookiesFirstWhenAskedTo() {
        auto window = openWindow(db_);
        runPass(*window);
        QCOMPARE(cloud_->requests(), 0);
        QCOMPARE(received().back(), std::string("sid=old; uid=7"));

        setCloudFields(*window, {true, QString::fromStdString(cloud_->url()),
                                 QStringLiteral("winUuid"), QStringLiteral("win pass")});
        const QStringList statuses = runPass(*window);
        QCOMPARE(cloud_->requests(), 1);
        QCOMPARE(received().back(), std::string("sid=fresh; uid=7"));
        QCOMPARE(storedCookies(db_), std::vector<Text>{"sid=fresh; uid=7"});
        QVERIFY2(said(statuses,
                      QStringLiteral("已从 CookieCloud 同步 1 个账号的 Cookie：好站（账号 1）")),
                 qPrintable(statuses.join('|')));
    }

    // A wrong password or a server that is down: one sentence in the status strip, no cookie
    // changed, and the pass signs with the stored one.
    void aSyncThatFailsChangesNothingAndThePassGoesOn() {
        auto window = openWindow(db_);
        setCloudFields(*window, {true, QString::fromStdString(cloud_->url()),
                                 QStringLiteral("winUuid"), QStringLiteral("wrong")});
        QStringList statuses = runPass(*window);
        QVERIFY2(said(statuses,
                      QStringLiteral("用这个 UUID 和密码解不开 CookieCloud 的数据：请检查密码是否与"
                                     "浏览器扩展里的端对端加密密码相同（Cookie 都没有改动）")),
                 qPrintable(statuses.join('|')));
        QCOMPARE(received().back(), std::string("sid=old; uid=7"));

        cloud_->stop();
        statuses = runPass(*window);
        QVERIFY2(said(statuses, QStringLiteral("连不上 CookieCloud 服务器（")),
                 qPrintable(statuses.join('|')));
        QCOMPARE(received().back(), std::string("sid=old; uid=7"));
        QCOMPARE(storedCookies(db_), std::vector<Text>{"sid=old; uid=7"});
    }

private:
    // Opens 签到选项, reads the CookieCloud fields, sets them to `fields` and presses 确定
    // (取消 when `keep` is false). Returns what the fields showed.
    CloudFields setCloudFields(ui::MainWindow& window, const CloudFields& fields,
                               bool keep = true) {
        CloudFields shown;
        bool opened = false;
        whenShown(kDialog, [&](QWidget* dialog) {
            opened = true;
            auto* before = dialog->findChild<QCheckBox*>(QStringLiteral("选择框_签到前同步Cookie"));
            auto* url = dialog->findChild<QLineEdit*>(QStringLiteral("编辑框_CookieCloud地址"));
            auto* uuid = dialog->findChild<QLineEdit*>(QStringLiteral("编辑框_CookieCloudUUID"));
            auto* password =
                dialog->findChild<QLineEdit*>(QStringLiteral("编辑框_CookieCloud密码"));
            QVERIFY(before && url && uuid && password);
            QCOMPARE(password->echoMode(), QLineEdit::Password);
            shown = {before->isChecked(), url->text(), uuid->text(), password->text()};
            before->setChecked(fields.before);
            url->setText(fields.url);
            uuid->setText(fields.uuid);
            password->setText(fields.password);
            dialog
                ->findChild<QPushButton*>(keep ? QStringLiteral("超级按钮_确定")
                                               : QStringLiteral("超级按钮_取消"))
                ->click();
        });
        window.findChild<QPushButton*>(QStringLiteral("超级按钮_签到选项"))->click();
        if (!opened) {
            QTest::qFail("签到选项 did not open", __FILE__, __LINE__);
        }
        return shown;
    }

    // A pass from the menu to its end; the status texts it showed.
    QStringList runPass(ui::MainWindow& window) {
        QSignalSpy finished(&window, &ui::MainWindow::passFinished);
        QStringList statuses;
        auto seen = connect(&window, &ui::MainWindow::statusChanged,
                            [&statuses](const QString& text) { statuses << text; });
        window.startPassFromMenu();
        if (!finished.wait(60000)) {
            QTest::qFail("the pass did not finish", __FILE__, __LINE__);
        }
        disconnect(seen);
        return statuses;
    }

    std::vector<std::string> received() {
        std::lock_guard lock(mutex_);
        return received_;
    }

    std::unique_ptr<QTemporaryDir> dir_;
    std::filesystem::path db_;
    std::unique_ptr<FakeSite> site_;
    std::unique_ptr<test::CookieCloudServer> cloud_;
    std::mutex mutex_;
    std::vector<std::string> received_;
};

QTEST_MAIN(PassOptionsTest)
#include "pass_options_test.moc"
