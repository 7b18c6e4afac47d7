// The desktop program in the system tray: an icon with a menu (开始签到, 停止签到, 显示窗口, 退出),
// the main window hidden to the tray when minimised (and, with "关闭时最小化到托盘", when closed),
// a tooltip with the next scheduled pass and the last pass's counts, and a desktop notice with the
// verdict counts after each pass that brings the window back when clicked. Only where the
// desktop has a tray; elsewhere minimising leaves the window on the task bar. Hidden to the tray,
// the window's timers go on, so the daily schedule still runs.
#pragma once

#include <QObject>
#include <memory>

class QMenu;
class QSystemTrayIcon;
class QWidget;

namespace vesprey::ui {

class MainWindow;

// The tray icon's menu acting on `window`: "开始签到" starts a pass as the list's menu does (and
// is disabled while one runs), "停止签到" stops the running pass (enabled only then), "显示窗口"
// brings the window back, "退出" ends the program as the close button does.
std::unique_ptr<QMenu> buildTrayMenu(MainWindow& window);

// Brings a window hidden to the tray (or minimised) back to the front.
void showFromTray(QWidget& window);

// The tray icon's tooltip: "Vesprey", the next scheduled pass ("下次签到：2024-05-16 09:12", or
// that the schedule is off) and the last pass's counts ("上次签到：成功 12 · …"; before this
// session's first pass, the last one History.db holds, with its time).
QString trayToolTip(MainWindow& window);

// Installed on the main window: minimising it hides it instead, so that only the tray icon is
// left.
class MinimizeToTray : public QObject {
    Q_OBJECT
public:
    explicit MinimizeToTray(QWidget& window);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget& window_;
};

class TrayIcon : public QObject {
    Q_OBJECT
public:
    // The tray icon for `window`, shown; null when the desktop has no system tray.
    static std::unique_ptr<TrayIcon> create(MainWindow& window);

    explicit TrayIcon(MainWindow& window);
    ~TrayIcon() override;

    QSystemTrayIcon& icon() { return *icon_; }
    QMenu& menu() { return *menu_; }

private:
    // The notice at the end of a pass: "签到完毕" and the counts the status strip shows.
    void passFinished();
    // Sets the tooltip anew when what it says has changed.
    void refreshToolTip();

    MainWindow& window_;
    std::unique_ptr<QMenu> menu_;
    QSystemTrayIcon* icon_ = nullptr;
};

}  // namespace vesprey::ui
