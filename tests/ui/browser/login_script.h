// A scripted user for the login window: steps played one after another while the window runs
// modally, and a watcher that hands the script to the next modal login window.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <functional>
#include <memory>
#include <vector>

#include "ui/browser/browser_module.h"

namespace vesprey::browsertest {

inline constexpr char kCaptureButton[] = "超级按钮_获取Cookie";
inline constexpr char kCloseButton[] = "图形按钮_关闭";

// What one window saw: its loads, its captures, how it ended.
struct WindowRun {
    std::vector<ui::BrowserLoad> loads;
    int captures = 0;
    bool timedOut = false;
    bool closeEnabledBeforeReady = false;
    bool captureDisabledBeforeReady = false;
};

// One step: returns true when done, false to be asked again shortly.
using Step = std::function<bool(QDialog* window)>;

inline QAbstractButton* button(QDialog* window, const char* name) {
    return window->findChild<QAbstractButton*>(QString::fromUtf8(name));
}

// Plays `steps` on the window, one at a time, every few milliseconds. A window still open after
// two minutes is closed and the run marked timed out.
inline void script(QDialog* window, WindowRun* run, std::vector<Step> steps) {
    auto* timer = new QTimer(window);
    auto remaining = std::make_shared<std::vector<Step>>(std::move(steps));
    auto next = std::make_shared<std::size_t>(0);
    QObject::connect(timer, &QTimer::timeout, window, [window, remaining, next] {
        while (*next < remaining->size() && (*remaining)[*next](window)) {
            ++*next;
        }
    });
    timer->start(20);
    QTimer::singleShot(120000, window, [window, run] {
        run->timedOut = true;
        window->reject();
    });
}

inline Step whenReady() {
    return [](QDialog* window) { return button(window, kCaptureButton)->isEnabled(); };
}

inline Step press(const char* name) {
    return [name](QDialog* window) {
        button(window, name)->click();
        return true;
    };
}

// Waits until `count` loads have finished, then notes the state of the two buttons.
inline Step afterLoads(WindowRun* run, std::size_t count) {
    return [run, count](QDialog* window) {
        if (run->loads.size() < count) {
            return false;
        }
        run->closeEnabledBeforeReady = button(window, kCloseButton)->isEnabled();
        run->captureDisabledBeforeReady = !button(window, kCaptureButton)->isEnabled();
        return true;
    };
}

// Gives `steps` to the next login window that becomes the modal window, for a command that
// opens the window itself. Lives as long as the object.
class NextLoginWindow {
public:
    NextLoginWindow(WindowRun* run, std::vector<Step> steps) {
        watch_.setInterval(20);
        QObject::connect(&watch_, &QTimer::timeout, [this, run, steps] {
            auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (modal != nullptr && button(modal, kCaptureButton) != nullptr) {
                watch_.stop();
                found = true;
                script(modal, run, steps);
            }
        });
        watch_.start();
    }
    bool found = false;

private:
    QTimer watch_;
};

}  // namespace vesprey::browsertest
