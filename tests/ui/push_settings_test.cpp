// The push page: the key of the checked channel, "保存" per channel, the empty-key message, the
// "调试" test push (to a Bark server on 127.0.0.1), and the switches "仅失败时推送" and
// "保存更新的 Cookie" kept in Sign.db.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include "store/push_channels.h"
#include "store/site_database.h"
#include "text/text.h"
#include "ui/dialogs/push_channels_dialog.h"
#include "ui/qt_text.h"
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

    // With a channel of "更多渠道…" enabled the summary does not go to the checked one, whose key
    // may then be saved empty; the checked channel itself enabled there does not count.
    void emptyKeyIsSavedWhenAnotherChannelIsEnabled_data() {
        QTest::addColumn<QByteArray>("enabled");
        QTest::addColumn<bool>("saved");
        QTest::newRow("ntfy") << QByteArray("ntfy") << true;
        QTest::newRow("bark and telegram") << QByteArray("bark,telegram") << true;
        QTest::newRow("bark itself") << QByteArray("bark") << false;
    }
    void emptyKeyIsSavedWhenAnotherChannelIsEnabled() {
        QFETCH(QByteArray, enabled);
        QFETCH(bool, saved);
        {
            SqlDatabase file;
            QVERIFY(openSiteDatabase(file, db_));
            QVERIFY(writeSetting(file, "push_channels", enabled.toStdString()).done);
        }
        BoxRecorder boxes;
        auto window = openWindow(db_);
        window->findChild<QLineEdit*>(QStringLiteral("编辑框_推送标识"))->clear();
        window->findChild<QPushButton*>(QStringLiteral("超级按钮_推送_保存"))->click();
        QCOMPARE(boxes.boxes.isEmpty(), saved);
        QCOMPARE(storedKeys(db_)[0].RobotId, saved ? std::string() : std::string("bark-1"));
    }

    // "调试" sends with the key the field shows, saved or not, and an empty one is refused as
    // "保存" refuses it.
    void testButtonUsesTheTypedKey() {
        PushService push;
        BoxRecorder boxes;
        auto window = openWindow(db_);
        auto* key = window->findChild<QLineEdit*>(QStringLiteral("编辑框_推送标识"));
        auto* test = window->findChild<QPushButton*>(QStringLiteral("超级按钮_推送_调试"));
        key->setText(QStringLiteral("typed-7"));
        test->click();
        QTRY_VERIFY(test->isEnabled());
        QCOMPARE(push.received().size(), 1);
        QVERIFY2(push.received()[0].startsWith(QStringLiteral("GET /typed-7/")),
                 qPrintable(push.received()[0]));
        QCOMPARE(storedKeys(db_)[0].RobotId, std::string("bark-1"));  // typed, not saved

        key->clear();
        test->click();
        QCOMPARE(boxes.boxes.size(), 1);
        QCOMPARE(boxes.boxes[0].text, QStringLiteral("推送标识信息为空，请补充完毕再调试！"));
        QCOMPARE(boxes.boxes[0].caption, QStringLiteral("推送工具"));
        QVERIFY(test->isEnabled());
        QCOMPARE(push.received().size(), 1);
    }

    // "推送语句", when not empty, is the summary's first line, its lines joined into one.
    void pushOpeningIsTheSummarysFirstLine_data() {
        QTest::addColumn<QString>("opening");
        QTest::addColumn<QString>("firstLine");
        QTest::newRow("typed") << QStringLiteral("早上好\n 各位") << QStringLiteral("早上好 各位");
        QTest::newRow("empty") << QString() << QStringLiteral("【失败】甲");
    }
    void pushOpeningIsTheSummarysFirstLine() {
        QFETCH(QString, opening);
        QFETCH(QString, firstLine);
        PushService push;
        QTemporaryDir own;
        const auto db = makeDatabase(
            own, {{.name = "甲", .link = "http://127.0.0.1:9/sign", .cookies = {"a=1"}}},
            {.bark = "bark-1", .serverChan = "", .dingTalk = ""});
        BoxRecorder boxes;
        auto window = openWindow(db);
        auto* box = window->findChild<QPlainTextEdit*>(QStringLiteral("编辑框_推送语句"));
        QVERIFY(box->toolTip().contains(QStringLiteral("第一行")));
        box->setPlainText(opening);
        window->findChild<QCheckBox*>(QStringLiteral("选择框_同步通知"))->setChecked(true);
        QSignalSpy finished(window.get(), &ui::MainWindow::passFinished);
        window->startPassFromMenu();
        QVERIFY(finished.wait(30000));
        QCOMPARE(push.received().size(), 1);
        // "GET /bark-1/<title>签到提醒/<summary>"
        const QString sent = push.received()[0];
        const QString summary = sent.section(QStringLiteral("签到提醒/"), 1);
        QVERIFY2(summary.startsWith(firstLine), qPrintable(sent));
        QVERIFY2(summary.contains(QStringLiteral("甲")), qPrintable(sent));

        // "保存" keeps it in Sign.db: the next start shows it, and vesprey-cli's pass uses it.
        window->findChild<QPushButton*>(QStringLiteral("超级按钮_推送_保存"))->click();
        window.reset();
        window = openWindow(db);
        QCOMPARE(
            window->findChild<QPlainTextEdit*>(QStringLiteral("编辑框_推送语句"))->toPlainText(),
            opening.simplified());
        QCOMPARE(storedSetting(db, "push_opening"),
                 std::optional<Text>(ui::toAnsi(opening.simplified())));
    }

    // The test push runs beside the window: while the service keeps it waiting the window
    // answers and "调试" is off; then the outcome shows in the status label.
    void testButtonPushesThroughTheCheckedChannel() {
        FakeSite bark;
        std::mutex mutex;
        std::vector<std::string> paths;
        bark.server().Get(".*", [&](const httplib::Request& request, httplib::Response& response) {
            bark.pass();
            std::lock_guard lock(mutex);
            paths.push_back(request.target);
            response.set_content("{\"code\":200}", "application/json");
        });
        bark.start();
        qputenv("VESPREY_BARK_URL", QByteArray::fromStdString(bark.url("/")));

        BoxRecorder boxes;
        auto window = openWindow(db_);
        auto* test = window->findChild<QPushButton*>(QStringLiteral("超级按钮_推送_调试"));
        auto* status = window->findChild<QLabel*>(QStringLiteral("zt1"));
        QVERIFY(status != nullptr);
        bark.closeGate();
        test->click();
        QTRY_COMPARE(bark.waiting.load(), 1);
        bool ticked = false;
        QTimer::singleShot(0, window.get(), [&ticked] { ticked = true; });
        QTRY_VERIFY(ticked);
        QVERIFY(!test->isEnabled());
        QCOMPARE(status->text(), QStringLiteral("正在推送…"));
        bark.openGate();
        QTRY_VERIFY(test->isEnabled());
        QCOMPARE(status->text(), QStringLiteral("推送成功"));
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
        test->click();
        QTRY_VERIFY(test->isEnabled());
        {
            std::lock_guard lock(mutex);
            QCOMPARE(paths.size(), std::size_t{2});
            QVERIFY(paths[1].rfind("/bark-9/", 0) == 0);
        }
        QVERIFY(boxes.boxes.isEmpty());

        // A service that is not there (the window reads the address when it opens): the failure
        // in words.
        qputenv("VESPREY_BARK_URL", "http://127.0.0.1:9/");
        window = openWindow(db_);
        test = window->findChild<QPushButton*>(QStringLiteral("超级按钮_推送_调试"));
        status = window->findChild<QLabel*>(QStringLiteral("zt1"));
        test->click();
        QTRY_VERIFY(test->isEnabled());
        QVERIFY2(status->text().startsWith(QStringLiteral("推送失败：")),
                 qPrintable(status->text()));
    }

    // "更多渠道…": a channel's settings saved from its form, two channels enabled, the test of the
    // shown one with what its form holds (changed after the save, and not stored); then a pass
    // pushes its summary to each enabled channel, one failing (telegram has no token) without
    // keeping it from the other.
    void channelsDialogConfiguresChannelsThatEveryPassUses() {
        PushService push;
        push.serve("VESPREY_NTFY_URL");
        // A site that cannot be reached: the pass is quick and its summary names it.
        QTemporaryDir own;
        const auto db = makeDatabase(
            own, {{.name = "甲", .link = "http://127.0.0.1:9/sign", .cookies = {"a=1"}}},
            {.bark = "bark-1", .serverChan = "", .dingTalk = ""});
        BoxRecorder boxes;
        auto window = openWindow(db);
        auto* enabledLabel = window->findChild<QLabel*>(QStringLiteral("标签_已启用渠道"));
        QCOMPARE(enabledLabel->text(), QString());

        QString testResult;
        QTimer::singleShot(0, window.get(), [&] {
            auto* dialog = qobject_cast<ui::PushChannelsDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog != nullptr);
            auto* list = dialog->findChild<QListWidget*>(QStringLiteral("列表_推送渠道"));
            QCOMPARE(list->count(), 12);
            dialog->showChannel("ntfy");
            dialog->findChild<QLineEdit*>(QStringLiteral("编辑框_topic"))
                ->setText(QStringLiteral("签到 提醒"));
            dialog->findChild<QLineEdit*>(QStringLiteral("编辑框_token"))->setText("tk_1");
            dialog->findChild<QPushButton*>(QStringLiteral("按钮_渠道保存"))->click();
            for (int row = 0; row < list->count(); ++row) {
                const QString name = list->item(row)->data(Qt::UserRole).toString();
                if (name == u"ntfy" || name == u"telegram") {
                    list->item(row)->setCheckState(Qt::Checked);
                }
            }
            dialog->findChild<QLineEdit*>(QStringLiteral("编辑框_topic"))
                ->setText(QStringLiteral("试一下"));
            auto* test = dialog->findChild<QPushButton*>(QStringLiteral("按钮_渠道调试"));
            test->click();
            QVERIFY(!test->isEnabled());
            QTRY_VERIFY(test->isEnabled());
            testResult = dialog->findChild<QLabel*>(QStringLiteral("标签_推送结果"))->text();
            dialog->reject();
        });
        window->findChild<QPushButton*>(QStringLiteral("超级按钮_推送渠道"))->click();
        QCOMPARE(testResult, QStringLiteral("推送成功（ntfy）"));
        QCOMPARE(enabledLabel->text(), QStringLiteral("已启用 2 个渠道"));
        QCOMPARE(storedSetting(db, "push_channels"), std::optional<Text>("ntfy,telegram"));
        {
            SqlDatabase file;
            QVERIFY(openSiteDatabase(file, db));
            Text settings;
            QVERIFY(readChannelSettings(file, "ntfy", settings).ok());
            QCOMPARE(QString::fromStdString(ansiToUtf8(settings)),
                     QStringLiteral("{\"topic\":\"签到 提醒\",\"token\":\"tk_1\",\"url\":\"\"}"));
        }
        QCOMPARE(push.received().size(), 1);
        QVERIFY2(push.received()[0].startsWith(QStringLiteral("POST /试一下 ")),
                 qPrintable(push.received()[0]));

        window->findChild<QCheckBox*>(QStringLiteral("选择框_同步通知"))->setChecked(true);
        QSignalSpy finished(window.get(), &ui::MainWindow::passFinished);
        window->startPassFromMenu();
        QVERIFY(finished.wait(30000));
        QCOMPARE(push.received().size(), 2);  // ntfy only: Bark is not enabled here
        QVERIFY(push.received()[1].contains(QStringLiteral("甲")));
        QVERIFY2(push.received()[1].startsWith(QStringLiteral("POST /签到 提醒 ")),
                 qPrintable(push.received()[1]));  // the saved topic, not the one tried
        auto* status = window->findChild<QLabel*>(QStringLiteral("zt1"));
        QVERIFY2(status->text().contains(QStringLiteral("telegram")), qPrintable(status->text()));
        QVERIFY(boxes.boxes.isEmpty());
    }

    void switchesAreStoredWhenClickedAndReadAtStartUp() {
        struct Switch {
            QString box;
            std::string_view setting;
            const char* on;
            const char* off;
        };
        const Switch switches[] = {
            {QStringLiteral("选择框_仅失败时推送"), "notify_on", "failure", "always"},
            {QStringLiteral("选择框_保存更新的Cookie"), "save_cookies", "1", "0"},
            {QStringLiteral("选择框_签到也校验证书"), "strict_tls", "1", "0"},
        };
        BoxRecorder boxes;
        // A file that never had them: all off, and nothing stored by the start-up. Then each
        // opening finds what the one before clicked, and clicks it back.
        for (const bool stored : {false, true, false}) {
            auto window = openWindow(db_);
            for (const Switch& each : switches) {
                auto* box = window->findChild<QCheckBox*>(each.box);
                QCOMPARE(box->isChecked(), stored);
                if (!stored && !storedSetting(db_, each.setting)) {
                    QTest::mouseClick(box, Qt::LeftButton);
                    QCOMPARE(storedSetting(db_, each.setting), std::optional<Text>(each.on));
                } else if (stored) {
                    QTest::mouseClick(box, Qt::LeftButton);
                    QCOMPARE(storedSetting(db_, each.setting), std::optional<Text>(each.off));
                }
            }
        }
        QVERIFY(boxes.boxes.isEmpty());
    }

private:
    std::unique_ptr<QTemporaryDir> dir_;
    std::filesystem::path db_;
};

QTEST_MAIN(PushSettingsTest)
#include "push_settings_test.moc"
