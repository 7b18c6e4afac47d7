// The push page: the key of the checked channel, "保存" per channel, the empty-key message, the
// "调试" test push (to a Bark server on 127.0.0.1), and the switches "仅失败时推送" and
// "保存更新的 Cookie" kept in Sign.db.
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include "store/site_database.h"
#include "text/text.h"
#include "ui_fixtures.h"

using namespace vesprey;
using namespace vesprey::uitest;

namespace {

PushSettings storedKeys(const std::filesystem::path& path) {
    SqlDatabase db;
    if (!openSiteDatabase(db, path)) {
        return {};
    }
    return loadPushSettings(db);
}

std::optional<Text> storedSetting(const std::filesystem::path& path, std::string_view name) {
    SqlDatabase db;
    if (!openSiteDatabase(db, path)) {
        return std::nullopt;
    }
    return readSetting(db, name);
}

}  // namespace

class PushSettingsTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        db_ =
            makeDatabase(*dir_, {}, {.bark = "bark-1", .serverChan = "sc-2", .dingTalk = "ding-3"});
    }

    void radioButtonsShowTheirChannelsKey() {
        BoxRecorder boxes;
        auto window = openWindow(db_);
        auto* key = window->findChild<QLineEdit*>(QStringLiteral("编辑框_推送标识"));
        const QStringList radios = {"单选框_Server酱", "单选框_钉钉", "单选框_Brak"};
        const QStringList keys = {"sc-2", "ding-3", "bark-1"};
        for (int i = 0; i < 3; ++i) {
            QTest::mouseClick(window->findChild<QRadioButton*>(radios[i]), Qt::LeftButton);
            QCOMPARE(key->text(), keys[i]);
            QCOMPARE(window->pushChannel(), i == 0 ? 2 : i == 1 ? 3 : 1);
        }
    }

    void saveWritesTheCheckedChannelsKey_data() {
        QTest::addColumn<QString>("radio");
        QTest::addColumn<int>("channel");
        QTest::newRow("Bark") << QStringLiteral("单选框_Brak") << 1;
        QTest::newRow("ServerChan") << QStringLiteral("单选框_Server酱") << 2;
        QTest::newRow("DingTalk") << QStringLiteral("单选框_钉钉") << 3;
    }
    void saveWritesTheCheckedChannelsKey() {
        QFETCH(QString, radio);
        QFETCH(int, channel);
        BoxRecorder boxes;
        auto window = openWindow(db_);
        QTest::mouseClick(window->findChild<QRadioButton*>(radio), Qt::LeftButton);
        auto* key = window->findChild<QLineEdit*>(QStringLiteral("编辑框_推送标识"));
        key->setText(QStringLiteral("新密钥-'\"; drop"));
        window->findChild<QPushButton*>(QStringLiteral("超级按钮_推送_保存"))->click();
        QVERIFY(boxes.boxes.isEmpty());

        const PushSettings stored = storedKeys(db_);
        QCOMPARE(stored.size(), std::size_t{3});
        const Text expected = utf8ToAnsi("新密钥-'\"; drop");
        const std::string before[] = {"bark-1", "sc-2", "ding-3"};
        for (int c = 1; c <= 3; ++c) {
            QCOMPARE(stored[static_cast<std::size_t>(c - 1)].RobotId,
                     c == channel ? expected : before[c - 1]);
        }
        // The saved key is the one in use from now on.
        QCOMPARE(window->pushSettings()[static_cast<std::size_t>(channel - 1)].RobotId, expected);
        QTest::mouseClick(
            window->findChild<QRadioButton*>(channel == 1 ? QStringLiteral("单选框_钉钉")
                                                          : QStringLiteral("单选框_Brak")),
            Qt::LeftButton);
        QTest::mouseClick(window->findChild<QRadioButton*>(radio), Qt::LeftButton);
        QCOMPARE(key->text(), QStringLiteral("新密钥-'\"; drop"));
    }

    void emptyKeyIsNotSaved() {
        BoxRecorder boxes;
        auto window = openWindow(db_);
        window->findChild<QLineEdit*>(QStringLiteral("编辑框_推送标识"))->clear();
        window->findChild<QPushButton*>(QStringLiteral("超级按钮_推送_保存"))->click();
        QCOMPARE(boxes.boxes.size(), 1);
        QCOMPARE(boxes.boxes[0].text, QStringLiteral("推送标识信息为空，请补充完毕再保存！"));
        QCOMPARE(boxes.boxes[0].caption, QStringLiteral("推送工具"));
        QCOMPARE(boxes.boxes[0].icon, ui::BoxIcon::Information);
        QCOMPARE(storedKeys(db_)[0].RobotId, std::string("bark-1"));
    }

    void testButtonPushesThroughTheCheckedChannel() {
        FakeSite bark;
        std::mutex mutex;
        std::vector<std::string> paths;
        bark.server().Get(".*", [&](const httplib::Request& request, httplib::Response& response) {
            std::lock_guard lock(mutex);
            paths.push_back(request.target);
            response.set_content("{\"code\":200}", "application/json");
        });
        bark.start();
        qputenv("VESPREY_BARK_URL", QByteArray::fromStdString(bark.url("/")));

        BoxRecorder boxes;
        auto window = openWindow(db_);
        window->findChild<QPushButton*>(QStringLiteral("超级按钮_推送_调试"))->click();
        {
            std::lock_guard lock(mutex);
            QCOMPARE(paths.size(), std::size_t{1});
            // The empty title becomes "签到提醒"; the empty content leaves the last segment empty.
            QCOMPARE(QString::fromStdString(paths[0]),
                     QStringLiteral("/bark-1/%E7%AD%BE%E5%88%B0%E6%8F%90%E9%86%92/"));
        }
        // After a save the test push uses the new key.
        window->findChild<QLineEdit*>(QStringLiteral("编辑框_推送标识"))->setText("bark-9");
        window->findChild<QPushButton*>(QStringLiteral("超级按钮_推送_保存"))->click();
        window->findChild<QPushButton*>(QStringLiteral("超级按钮_推送_调试"))->click();
        {
            std::lock_guard lock(mutex);
            QCOMPARE(paths.size(), std::size_t{2});
            QVERIFY(paths[1].rfind("/bark-9/", 0) == 0);
        }
        QVERIFY(boxes.boxes.isEmpty());
        qputenv("VESPREY_BARK_URL", "http://127.0.0.1:9/");
    }

    void switchesAreStoredWhenClickedAndReadAtStartUp() {
        BoxRecorder boxes;
        const QString failureOnly = QStringLiteral("选择框_仅失败时推送");
        const QString saveCookies = QStringLiteral("选择框_保存更新的Cookie");
        {
            auto window = openWindow(db_);
            // A file that never had them: both off, and nothing stored by the start-up.
            QVERIFY(!window->findChild<QCheckBox*>(failureOnly)->isChecked());
            QVERIFY(!window->findChild<QCheckBox*>(saveCookies)->isChecked());
            QVERIFY(!storedSetting(db_, "notify_on"));
            QTest::mouseClick(window->findChild<QCheckBox*>(failureOnly), Qt::LeftButton);
            QTest::mouseClick(window->findChild<QCheckBox*>(saveCookies), Qt::LeftButton);
            QCOMPARE(storedSetting(db_, "notify_on"), std::optional<Text>("failure"));
            QCOMPARE(storedSetting(db_, "save_cookies"), std::optional<Text>("1"));
        }
        {
            auto window = openWindow(db_);
            QVERIFY(window->findChild<QCheckBox*>(failureOnly)->isChecked());
            QVERIFY(window->findChild<QCheckBox*>(saveCookies)->isChecked());
            QTest::mouseClick(window->findChild<QCheckBox*>(failureOnly), Qt::LeftButton);
            QTest::mouseClick(window->findChild<QCheckBox*>(saveCookies), Qt::LeftButton);
            QCOMPARE(storedSetting(db_, "notify_on"), std::optional<Text>("always"));
            QCOMPARE(storedSetting(db_, "save_cookies"), std::optional<Text>("0"));
        }
        auto window = openWindow(db_);
        QVERIFY(!window->findChild<QCheckBox*>(failureOnly)->isChecked());
        QVERIFY(!window->findChild<QCheckBox*>(saveCookies)->isChecked());
        QVERIFY(boxes.boxes.isEmpty());
    }

private:
    std::unique_ptr<QTemporaryDir> dir_;
    std::filesystem::path db_;
};

QTEST_MAIN(PushSettingsTest)
#include "push_settings_test.moc"
