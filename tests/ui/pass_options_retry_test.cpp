// "签到选项" on the push page: each option set in the dialog, kept in Sign.db's Setting by
// "确定", shown again when the dialog opens anew, and honoured by the window's next pass
// against a site on 127.0.0.1.
#include <QApplication>
#include <QDoubleSpinBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <functional>
#include <mutex>
#include <vector>

#include "store/history.h"
#include "store/site_database.h"
#include "ui/dialogs/pass_options_dialog.h"
#include "ui_fixtures.h"

using namespace vesprey;
using namespace vesprey::uitest;

namespace {

// The dialog while it is open, from the top-level windows.
QWidget* openDialog() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == QStringLiteral("窗口_签到选项") && widget->isVisible()) {
            return widget;
        }
    }
    return nullptr;
}

// Opens "签到选项…" on the window's push page, lets `edit` work on the open dialog, then
// presses `button` ("超级按钮_确定" or "超级按钮_取消").
void editPassOptions(ui::MainWindow& window, const std::function<void(QWidget&)>& edit,
                     const QString& button = QStringLiteral("超级按钮_确定")) {
    bool edited = false;
    QTimer::singleShot(0, [&] {
        QWidget* dialog = openDialog();
        QVERIFY(dialog != nullptr);
        edit(*dialog);
        dialog->findChild<QPushButton*>(button)->click();
        edited = true;
    });
    window.findChild<QPushButton*>(QStringLiteral("超级按钮_签到选项"))->click();
    QVERIFY(edited);
}

// Sets "失败重试" and "同一网站账号间隔" in the open dialog.
std::function<void(QWidget&)> retriesAndGap(int retries, double low, double high) {
    return [=](QWidget& dialog) {
        dialog.findChild<QSpinBox*>(QStringLiteral("数字框_失败重试"))->setValue(retries);
        dialog.findChild<QDoubleSpinBox*>(QStringLiteral("数字框_间隔最少"))->setValue(low);
        dialog.findChild<QDoubleSpinBox*>(QStringLiteral("数字框_间隔最多"))->setValue(high);
    };
}

std::optional<std::string> setting(const std::filesystem::path& db, std::string_view name) {
    SqlDatabase sql;
    if (!openSiteDatabase(sql, db)) {
        return std::nullopt;
    }
    const std::optional<Text> value = readSetting(sql, name);
    return value ? std::optional<std::string>(*value) : std::nullopt;
}

}  // namespace

class PassOptionsRetryTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        site_ = std::make_unique<FakeSite>();
        // /flaky answers 503 twice, then signs in; /steady always does. Arrivals are kept.
        site_->server().Get("/flaky", [this](const httplib::Request&, httplib::Response& res) {
            arrive();
            if (++flaky_ <= 2) {
                res.status = 503;
                res.set_content("busy", "text/plain");
                return;
            }
            res.set_content("{\"msg\":\"签到成功\"}", "application/json");
        });
        site_->server().Get("/steady", [this](const httplib::Request&, httplib::Response& res) {
            arrive();
            res.set_content("{\"msg\":\"签到成功\"}", "application/json");
        });
        site_->start();
        dir_ = std::make_unique<QTemporaryDir>();
        flaky_ = 0;
        arrivals_.clear();
    }

    void cleanup() {
        site_.reset();
        dir_.reset();
        qunsetenv("VESPREY_TEST_WAIT_DIVISOR");
    }

    void retriesAndGapAreKeptAndShownAgain() {
        const auto db = makeDatabase(*dir_, {});
        BoxRecorder boxes;
        auto window = openWindow(db);
        editPassOptions(*window, retriesAndGap(3, 2.0, 5.5));
        QCOMPARE(setting(db, ui::kRetriesSetting), std::optional<std::string>("3"));
        QCOMPARE(setting(db, ui::kHostGapSetting), std::optional<std::string>("2000-5500"));

        editPassOptions(
            *window,
            [](QWidget& dialog) {
                QCOMPARE(dialog.findChild<QSpinBox*>(QStringLiteral("数字框_失败重试"))->value(),
                         3);
                QCOMPARE(
                    dialog.findChild<QDoubleSpinBox*>(QStringLiteral("数字框_间隔最少"))->value(),
                    2.0);
                QCOMPARE(
                    dialog.findChild<QDoubleSpinBox*>(QStringLiteral("数字框_间隔最多"))->value(),
                    5.5);
                retriesAndGap(1, 0, 0)(dialog);
            },
            QStringLiteral("超级按钮_取消"));
        QCOMPARE(setting(db, ui::kRetriesSetting), std::optional<std::string>("3"));
        QCOMPARE(boxes.boxes.size(), 0);
    }

    void theOptionsGoIntoThePlan() {
        const auto db = makeDatabase(*dir_, {});
        SqlDatabase sql;
        QVERIFY(openSiteDatabase(sql, db));
        QVERIFY(writeSetting(sql, ui::kRetriesSetting, "2"));
        QVERIFY(writeSetting(sql, ui::kHostGapSetting, "200-300"));
        PassPlan plan;
        ui::applyPassOptions(ui::readPassOptions(sql), plan);
        QCOMPARE(plan.retries, 2);
        QCOMPARE(plan.gapMinMs, 200LL);
        QCOMPARE(plan.gapMaxMs, 300LL);

        // Nothing kept, or a row that is no number: a pass as without the options.
        QVERIFY(writeSetting(sql, ui::kRetriesSetting, "many"));
        QVERIFY(writeSetting(sql, ui::kHostGapSetting, "5-2"));
        PassPlan plain;
        ui::applyPassOptions(ui::readPassOptions(sql), plain);
        QCOMPARE(plain.retries, 0);
        QCOMPARE(plain.gapMaxMs, 0LL);
    }

    void aPassRetriesAndShowsTheLastResult() {
        qputenv("VESPREY_TEST_WAIT_DIVISOR", "1000");
        const auto db = makeDatabase(*dir_, {{.name = "甲",
                                              .link = site_->url("/flaky"),
                                              .ctype = 1,
                                              .tying = "msg",
                                              .cookies = {"a=1"}},
                                             {.name = "乙",
                                              .link = site_->url("/steady"),
                                              .ctype = 1,
                                              .tying = "msg",
                                              .cookies = {"b=2"}}});
        BoxRecorder boxes;
        auto window = openWindow(db);
        editPassOptions(*window, retriesAndGap(2, 0, 0));
        QSignalSpy finished(window.get(), &ui::MainWindow::passFinished);
        window->startPassFromMenu();
        QVERIFY(finished.wait(60000));
        QCOMPARE(window->cellText(0, 5), QStringLiteral("重试 2 次后成功：签到成功"));
        QCOMPARE(window->cellText(1, 5), QStringLiteral("签到成功"));
        QCOMPARE(window->passCountsText(), QStringLiteral("成功 2 · 已签 0 · 失效 0 · 失败 0"));
        QCOMPARE(arrivalCount(), 4);

        HistoryDatabase history;
        QVERIFY(history.open(db).ok());
        std::vector<HistoryEntry> rows;
        std::vector<int> tries;
        QVERIFY(history.readDays(1, nowDateTime(), rows, tries).ok());
        QCOMPARE(tries, (std::vector<int>{3, 1}));
    }

    void aPassSpacesTheAccountsOfOneHost() {
        const auto db = makeDatabase(*dir_, {{.name = "甲",
                                              .link = site_->url("/steady"),
                                              .ctype = 1,
                                              .tying = "msg",
                                              .cookies = {"a=1"}},
                                             {.name = "乙",
                                              .link = site_->url("/steady"),
                                              .ctype = 1,
                                              .tying = "msg",
                                              .cookies = {"b=2"}}});
        BoxRecorder boxes;
        auto window = openWindow(db);
        editPassOptions(*window, retriesAndGap(0, 0.2, 0.3));
        QSignalSpy finished(window.get(), &ui::MainWindow::passFinished);
        window->startPassFromMenu();
        QVERIFY(finished.wait(60000));
        std::lock_guard lock(mutex_);
        QCOMPARE(arrivals_.size(), std::size_t{2});
        QVERIFY(arrivals_[1] - arrivals_[0] >= std::chrono::milliseconds(200));
    }

private:
    void arrive() {
        std::lock_guard lock(mutex_);
        arrivals_.push_back(std::chrono::steady_clock::now());
    }
    int arrivalCount() {
        std::lock_guard lock(mutex_);
        return static_cast<int>(arrivals_.size());
    }

    std::unique_ptr<FakeSite> site_;
    std::unique_ptr<QTemporaryDir> dir_;
    std::mutex mutex_;
    std::vector<std::chrono::steady_clock::time_point> arrivals_;
    std::atomic<int> flaky_{0};
};

QTEST_MAIN(PassOptionsRetryTest)
#include "pass_options_retry_test.moc"
