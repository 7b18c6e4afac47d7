// "签到选项" on the push page, driven by objectName: each option set, 确定, its Setting row in
// Sign.db, and a pass of the window that honours it against a site on loopback.
#include "ui/window/pass_options.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QSignalSpy>

#include "editor_test_support.h"
#include "loopback_proxy.h"
#include "ui/window/main_window.h"

using namespace vesprey;
using namespace vesprey::uitest;

namespace {

const QString kWindow = QStringLiteral("窗口_签到选项");

std::optional<Text> settingOf(const std::filesystem::path& path, std::string_view name) {
    SqlDatabase db;
    if (!openSiteDatabase(db, path)) {
        qFatal("cannot open %s", path.string().c_str());
    }
    return readSetting(db, name);
}

}  // namespace

class PassOptionsProxyTest : public QObject {
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

    // ----- Proxies
    void theProxyIsKeptAndAPassGoesThroughIt() {
        test::LoopbackProxy proxy(test::LoopbackProxy::Kind::Socks5, "me", "pw");
        const QString address = QString::fromStdString(proxy.url("socks5h", "me:pw"));
        setOptions([&](QWidget* w) {
            QCOMPARE(boxText(w, "编辑框_签到代理"), QString());
            QVERIFY(!child<QCheckBox>(w, "选择框_推送走代理")->isChecked());
            setBox(w, "编辑框_签到代理", address);
            child<QCheckBox>(w, "选择框_推送走代理")->setChecked(true);
        });
        QCOMPARE(settingOf(db_, ui::kPassProxySetting), std::optional<Text>(address.toStdString()));
        QCOMPARE(settingOf(db_, ui::kPushUsesProxySetting), std::optional<Text>("1"));
        // Opened again, the window shows what it kept.
        setOptions([&](QWidget* w) {
            QCOMPARE(boxText(w, "编辑框_签到代理"), address);
            QVERIFY(child<QCheckBox>(w, "选择框_推送走代理")->isChecked());
        });

        QSignalSpy finished(window_.get(), &ui::MainWindow::passFinished);
        window_->startPassFromMenu();
        QVERIFY(finished.wait(30000));
        QCOMPARE(window_->cellText(0, 5), QStringLiteral("签到成功"));
        QCOMPARE(proxy.targets().size(), std::size_t{1});
        QCOMPARE(site_->sent().size(), std::size_t{1});
    }

    void aProxyThatCannotBeUsedIsSaidAndNotKept() {
        setOptions(
            [&](QWidget* w) { setBox(w, "编辑框_签到代理", QStringLiteral("ftp://127.0.0.1:21")); },
            false);
        QCOMPARE(boxes_->boxes.size(), 1);
        QVERIFY(boxes_->boxes[0].text.contains(QStringLiteral("socks5h://")));
        QCOMPARE(settingOf(db_, ui::kPassProxySetting), std::nullopt);
    }

    void aPassWhoseProxyFailsFailsItsAccounts() {
        setOptions([&](QWidget* w) {
            setBox(w, "编辑框_签到代理",
                   QStringLiteral("http://127.0.0.1:%1").arg(test::closedPort()));
        });
        QSignalSpy finished(window_.get(), &ui::MainWindow::passFinished);
        window_->startPassFromMenu();
        QVERIFY(finished.wait(30000));
        // The row's verdict says why, as its tool tip shows it.
        auto* list = window_->findChild<QAbstractItemView*>(QStringLiteral("超级列表框_签到区"));
        const QString reason =
            list->model()->index(0, kColumnResult).data(Qt::ToolTipRole).toString();
        QVERIFY2(reason.startsWith(QStringLiteral("失败：代理无法连接：")), qPrintable(reason));
        QVERIFY(site_->sent().empty());
    }

private:
    // Opens 签到选项 from the push page, lets `act` fill it, and presses 确定 (which closes it
    // when `closes`; otherwise the window is closed after).
    void setOptions(const std::function<void(QWidget*)>& act, bool closes = true) {
        bool shown = false;
        whenShown(kWindow, [&](QWidget* w) {
            shown = true;
            act(w);
            click(w, "超级按钮_确定");
            QCOMPARE(w->isVisible(), !closes);
            if (w->isVisible()) {
                click(w, "超级按钮_取消");
            }
        });
        click(window_.get(), "超级按钮_签到选项");
        QVERIFY(shown);
    }

    std::unique_ptr<RecordingSite> site_;
    std::unique_ptr<QTemporaryDir> dir_;
    std::filesystem::path db_;
    std::unique_ptr<BoxRecorder> boxes_;
    std::unique_ptr<ui::MainWindow> window_;
};

QTEST_MAIN(PassOptionsProxyTest)
#include "pass_options_proxy_test.moc"
