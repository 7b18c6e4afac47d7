// "修改" → "周期与代理…": a template's own 签到周期 and proxy set in the window, stored by 保存,
// shown again when the window opens, and honoured by the window's pass (the template's proxy over
// the pass's, an account out of its 签到周期 skipped with why).
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QSignalSpy>
#include <QSpinBox>

#include "editor_test_support.h"
#include "engine/schedule.h"
#include "loopback_proxy.h"
#include "store/template_settings.h"
#include "ui/window/main_window.h"
#include "ui/window/pass_options.h"

using namespace vesprey;
using namespace vesprey::uitest;

namespace {

const QString kModify = QStringLiteral("窗口_修改模板");
const QString kOwn = QStringLiteral("窗口_周期与代理");
const char* const kDays[] = {"选择框_周一", "选择框_周二", "选择框_周三", "选择框_周四",
                             "选择框_周五", "选择框_周六", "选择框_周日"};

struct Stored {
    std::map<int, Text> proxies;
    std::map<int, StoredSchedule> schedules;
};

Stored storedOf(const std::filesystem::path& path) {
    SqlDatabase db;
    Stored stored;
    if (!openSiteDatabase(db, path) || !readTemplateProxies(db, stored.proxies).ok() ||
        !readTemplateSchedules(db, stored.schedules).ok()) {
        qFatal("cannot read %s", path.string().c_str());
    }
    return stored;
}

}  // namespace

class TemplateOwnSettingsTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        site_ = std::make_unique<RecordingSite>(
            [](const httplib::Request&) -> std::string { return gbk("{\"msg\":\"签到成功\"}"); });
        dir_ = std::make_unique<QTemporaryDir>();
        db_ = makeDatabase(
            *dir_,
            {{.name = "甲站", .link = site_->url("/sign"), .tying = "msg", .cookies = {"a=1"}}});
        boxes_ = std::make_unique<BoxRecorder>();
        window_ = openWindow(db_);
    }

    void cleanup() {
        window_.reset();
        boxes_.reset();
        site_.reset();
        dir_.reset();
    }

    void theSettingsAreSavedWithTheTemplateAndShownAgain() {
        test::LoopbackProxy proxy(test::LoopbackProxy::Kind::Http, "me", "pw");
        const QString address = QString::fromStdString(proxy.url("http", "me:pw"));
        editOwn([&](QWidget* w) {
            QCOMPARE(child<QComboBox>(w, "组合框_签到周期")->currentIndex(), 0);
            QCOMPARE(boxText(w, "编辑框_模板代理"), QString());
            child<QComboBox>(w, "组合框_签到周期")->setCurrentIndex(2);
            child<QCheckBox>(w, kDays[0])->setChecked(true);
            child<QCheckBox>(w, kDays[2])->setChecked(true);
            setBox(w, "编辑框_模板代理", address);
        });
        Stored stored = storedOf(db_);
        QCOMPARE(stored.schedules.size(), std::size_t{1});
        QCOMPARE(stored.schedules.begin()->second.rule, Text("weekdays:1,3"));
        QCOMPARE(stored.proxies.begin()->second, Text(address.toStdString()));

        editOwn([&](QWidget* w) {
            QCOMPARE(child<QComboBox>(w, "组合框_签到周期")->currentIndex(), 2);
            QVERIFY(child<QCheckBox>(w, kDays[0])->isChecked());
            QVERIFY(!child<QCheckBox>(w, kDays[1])->isChecked());
            QVERIFY(child<QCheckBox>(w, kDays[2])->isChecked());
            QCOMPARE(boxText(w, "编辑框_模板代理"), address);
            // Every 3 days from a day of the user's choice, and no proxy of its own.
            child<QComboBox>(w, "组合框_签到周期")->setCurrentIndex(1);
            child<QSpinBox>(w, "数字框_间隔天数")->setValue(3);
            child<QDateEdit>(w, "日期框_开始日期")->setDate(QDate(2026, 12, 1));
            setBox(w, "编辑框_模板代理", QString());
        });
        stored = storedOf(db_);
        QCOMPARE(stored.schedules.begin()->second, (StoredSchedule{"every:3", "2026-12-01"}));
        QVERIFY(stored.proxies.empty());
    }

    void settingsThatCannotBeUsedAreSaid() {
        struct Wrong {
            std::function<void(QWidget*)> fill;
            QString said;
        };
        const std::vector<Wrong> cases = {
            {[](QWidget* w) { setBox(w, "编辑框_模板代理", QStringLiteral("socks4://h:1")); },
             QStringLiteral("socks5h://")},
            {[](QWidget* w) { child<QComboBox>(w, "组合框_签到周期")->setCurrentIndex(2); },
             QStringLiteral("请至少选一个星期几")},
        };
        for (const Wrong& wrong : cases) {
            boxes_->boxes.clear();
            bool stayed = false;
            whenShown(kModify, [&](QWidget* modify) {
                whenShown(kOwn, [&](QWidget* w) {
                    wrong.fill(w);
                    click(w, "超级按钮_确定");
                    stayed = w->isVisible();
                    click(w, "超级按钮_取消");
                });
                click(modify, "超级按钮_周期与代理");
                click(modify, "图形按钮_关闭");
            });
            selectRow(*window_, 0);
            child<QAction>(window_.get(), "菜单_修改")->trigger();
            QVERIFY(stayed);
            QCOMPARE(boxes_->boxes.size(), 1);
            QVERIFY2(boxes_->boxes[0].text.contains(wrong.said), qPrintable(boxes_->boxes[0].text));
        }
        QVERIFY(storedOf(db_).schedules.empty());
    }

    void aPassSkipsTheAccountOnADayOutOfItsSchedule() {
        const unsigned today = std::chrono::weekday(localToday()).iso_encoding();
        editOwn([&](QWidget* w) {
            child<QComboBox>(w, "组合框_签到周期")->setCurrentIndex(2);
            for (unsigned day = 1; day <= 7; ++day) {
                child<QCheckBox>(w, kDays[day - 1])->setChecked(day != today);
            }
        });
        QSignalSpy finished(window_.get(), &ui::MainWindow::passFinished);
        window_->startPassFromMenu();
        QVERIFY(finished.wait(30000));
        QCOMPARE(window_->cellText(0, 5), QStringLiteral("今天不在签到周期内"));
        QVERIFY(site_->sent().empty());
    }

    void theTemplatesProxyWinsOverThePasss() {
        test::LoopbackProxy own(test::LoopbackProxy::Kind::Socks5);
        test::LoopbackProxy pass(test::LoopbackProxy::Kind::Http);
        {
            SqlDatabase db;
            QVERIFY(openSiteDatabase(db, db_));
            QVERIFY(writeSetting(db, ui::kPassProxySetting, pass.url("http")));
        }
        editOwn([&](QWidget* w) {
            setBox(w, "编辑框_模板代理", QString::fromStdString(own.url("socks5")));
        });
        QSignalSpy finished(window_.get(), &ui::MainWindow::passFinished);
        window_->startPassFromMenu();
        QVERIFY(finished.wait(30000));
        QCOMPARE(window_->cellText(0, 5), QStringLiteral("签到成功"));
        QCOMPARE(own.targets().size(), std::size_t{1});
        QVERIFY(pass.targets().empty());
    }

private:
    // Opens 修改 for the first row, then 周期与代理…, lets `fill` set it, 确定, and 保存.
    void editOwn(const std::function<void(QWidget*)>& fill) {
        bool saved = false;
        whenShown(kModify, [&](QWidget* modify) {
            whenShown(kOwn, [&](QWidget* w) {
                fill(w);
                click(w, "超级按钮_确定");
            });
            click(modify, "超级按钮_周期与代理");
            click(modify, "超级按钮_保存1");
            saved = true;
            click(modify, "图形按钮_关闭");
        });
        selectRow(*window_, 0);
        child<QAction>(window_.get(), "菜单_修改")->trigger();
        QVERIFY(saved);
        QCOMPARE(boxes_->boxes.last().text, QStringLiteral("模板信息修改成功！"));
    }

    std::unique_ptr<RecordingSite> site_;
    std::unique_ptr<QTemporaryDir> dir_;
    std::filesystem::path db_;
    std::unique_ptr<BoxRecorder> boxes_;
    std::unique_ptr<ui::MainWindow> window_;
};

QTEST_MAIN(TemplateOwnSettingsTest)
#include "template_own_settings_test.moc"
