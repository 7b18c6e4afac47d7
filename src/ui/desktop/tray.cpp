#include "ui/desktop/tray.h"

#include <QAction>
#include <QDateTime>
#include <QEvent>
#include <QIcon>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QStringList>
#include <QSystemTrayIcon>
#include <QTimer>

#include "ui/skin.h"
#include "ui/window/main_window.h"
#include "ui/window/scheduler.h"

namespace vesprey::ui {
namespace {

// The installed program's icon (hicolor theme); from the build folder, the list picture on the
// program's blue.
QIcon programIcon() {
    QIcon drawn;
    for (const int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0x2d, 0x7d, 0xd2));
        painter.drawRoundedRect(QRectF(0, 0, size, size), size / 5.0, size / 5.0);
        const qreal margin = size / 5.0;
        paintPicture(painter, QRectF(margin, margin, size - 2 * margin, size - 2 * margin),
                     Picture::SignIn, Qt::white);
        painter.end();
        drawn.addPixmap(pixmap);
    }
    return QIcon::fromTheme(QStringLiteral("vesprey"), drawn);
}

}  // namespace

std::unique_ptr<QMenu> buildTrayMenu(MainWindow& window) {
    auto menu = std::make_unique<QMenu>();
    menu->setObjectName(QStringLiteral("菜单_托盘"));
    QAction* signIn = menu->addAction(QStringLiteral("开始签到"));
    signIn->setObjectName(QStringLiteral("托盘_开始签到"));
    signIn->setEnabled(!window.passRunning());
    QObject::connect(signIn, &QAction::triggered, &window, &MainWindow::startPassFromMenu);
    QObject::connect(&window, &MainWindow::passStarted, signIn,
                     [signIn] { signIn->setEnabled(false); });
    QObject::connect(&window, &MainWindow::passFinished, signIn,
                     [signIn] { signIn->setEnabled(true); });
    QAction* stop = menu->addAction(QStringLiteral("停止签到"));
    stop->setObjectName(QStringLiteral("托盘_停止签到"));
    stop->setEnabled(window.passRunning());
    QObject::connect(stop, &QAction::triggered, &window, &MainWindow::stopPass);
    QObject::connect(&window, &MainWindow::passStarted, stop, [stop] { stop->setEnabled(true); });
    QObject::connect(&window, &MainWindow::passFinished, stop, [stop] { stop->setEnabled(false); });
    QAction* show = menu->addAction(QStringLiteral("显示窗口"));
    show->setObjectName(QStringLiteral("托盘_显示窗口"));
    QObject::connect(show, &QAction::triggered, &window, [&window] { showFromTray(window); });
    menu->addSeparator();
    QAction* quit = menu->addAction(QStringLiteral("退出"));
    quit->setObjectName(QStringLiteral("托盘_退出"));
    QObject::connect(quit, &QAction::triggered, &window, &MainWindow::endProcess);
    return menu;
}

QString trayToolTip(MainWindow& window) {
    QStringList lines{QStringLiteral("Vesprey")};
    const Scheduler& schedule = window.scheduler();
    if (const std::optional<long long> seconds = schedule.secondsToNextRun()) {
        const LocalTime now = schedule.now();
        const QDateTime next =
            QDateTime(QDate(now.year, now.month, now.day), QTime(now.hour, now.minute, now.second))
                .addSecs(*seconds);
        lines << QStringLiteral("下次签到：") + next.toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    } else {
        lines << QStringLiteral("定时签到没有开启");
    }
    if (const QString last = window.lastPassText(); !last.isEmpty()) {
        lines << QStringLiteral("上次签到") + last;
    }
    return lines.join(QLatin1Char('\n'));
}

void showFromTray(QWidget& window) {
    window.showNormal();
    window.raise();
    window.activateWindow();
}

MinimizeToTray::MinimizeToTray(QWidget& window) : QObject(&window), window_(window) {
    window.installEventFilter(this);
}

bool MinimizeToTray::eventFilter(QObject* watched, QEvent* event) {
    if (watched == &window_ && event->type() == QEvent::WindowStateChange &&
        window_.isMinimized()) {
        // Hidden once the state change is through; the window keeps its minimised state
        // until showFromTray restores it.
        QTimer::singleShot(0, &window_, [window = &window_] {
            if (window->isMinimized()) {
                window->hide();
            }
        });
    }
    return QObject::eventFilter(watched, event);
}

std::unique_ptr<TrayIcon> TrayIcon::create(MainWindow& window) {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        return nullptr;
    }
    auto tray = std::make_unique<TrayIcon>(window);
    tray->icon().show();
    new MinimizeToTray(window);
    return tray;
}

TrayIcon::TrayIcon(MainWindow& window) : window_(window) {
    menu_ = buildTrayMenu(window);
    icon_ = new QSystemTrayIcon(programIcon(), this);
    icon_->setObjectName(QStringLiteral("托盘图标"));
    icon_->setContextMenu(menu_.get());
    connect(icon_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason why) {
                if (why == QSystemTrayIcon::Trigger || why == QSystemTrayIcon::DoubleClick) {
                    showFromTray(window_);
                }
            });
    // The notice of a finished pass brings the window back, like a click on the icon.
    connect(icon_, &QSystemTrayIcon::messageClicked, this, [this] { showFromTray(window_); });
    connect(&window, &MainWindow::passFinished, this, &TrayIcon::passFinished);
    // The countdown's every tick, and its end when the schedule is switched off.
    connect(&window.scheduler(), &Scheduler::statusText, this, &TrayIcon::refreshToolTip);
    connect(&window, &MainWindow::passStarted, this, &TrayIcon::refreshToolTip);
    refreshToolTip();
}

void TrayIcon::refreshToolTip() {
    const QString text = trayToolTip(window_);
    if (icon_->toolTip() != text) {
        icon_->setToolTip(text);
    }
}

TrayIcon::~TrayIcon() = default;

void TrayIcon::passFinished() {
    refreshToolTip();
    // A stopped pass has no counts, and nothing to tell.
    const QString counts = window_.passCountsText();
    if (!counts.isEmpty() && icon_->isVisible()) {
        icon_->showMessage(QStringLiteral("签到完毕"), counts, QSystemTrayIcon::Information);
    }
}

}  // namespace vesprey::ui
