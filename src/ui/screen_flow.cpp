// vesprey-screen-flow: the desktop program as `vesprey` runs it (same options), walking through
// 录制签到 as a new user does, for the README's pictures of it: on page 1 it opens 软件登录 at
// $VESPREY_SCREEN_FORUM, switches 录制 on once the page has loaded, off again after
// $VESPREY_SCREEN_RECORD_MS (8000 by default; the forum's page presses its own 签到 button
// meanwhile), generates the template of the marked request, lets the trial run, and opens the step
// list. It saves into the folder $VESPREY_SCREEN_SHOTS recording.png (the recorded requests),
// flow-trial.png (the trial, step by step) and steps.png (the step list), writing "walk finished"
// to stdout at the end, or a sentence saying where it stopped. scripts/screenshot-flow.sh runs it
// under Xvfb.
#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QTimer>
#include <cstdio>
#include <functional>

#include "ui/application.h"
#include "ui/dialogs/step_editor.h"
#include "ui/window/flow_trial.h"
#include "ui/window/main_window.h"
#include "ui/window/template_editor.h"

namespace {

using vesprey::ui::MainWindow;

QWidget* shown(const QString& name) {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->objectName() == name && w->isVisible()) {
            return w;
        }
    }
    return nullptr;
}

// Clicks a button of `parent` from the event loop, so that a window the click opens runs its own
// loop outside the walk's step.
void clickLater(QWidget* parent, const char* name) {
    auto* button = parent->findChild<QAbstractButton*>(QString::fromUtf8(name));
    if (button == nullptr) {
        std::fprintf(stderr, "no button %s\n", name);
        QApplication::exit(2);
        return;
    }
    QTimer::singleShot(0, button, &QAbstractButton::click);
}

// The walk, one step at a time: each waits for what it needs to see, acts and hands on.
class Walk : public QObject {
public:
    Walk(MainWindow& window, QString forum, QString shots, int recordMs)
        : QObject(&window),
          window_(window),
          forum_(std::move(forum)),
          shots_(std::move(shots)),
          recordMs_(recordMs) {
        timer_.setInterval(50);
        connect(&timer_, &QTimer::timeout, this, &Walk::tick);
    }

    void start() {
        window_.selectPage(1);
        window_.findChild<QLineEdit*>(QStringLiteral("编辑框_网络名称"))
            ->setText(QStringLiteral("示例论坛"));
        window_.findChild<QLineEdit*>(QStringLiteral("编辑框_登录链接"))->setText(forum_);
        clickLater(&window_, "超级按钮_软件登录");
        next(QStringLiteral("the login window did not open"), [this] {
            // 录制 can be pressed once the page has loaded.
            QWidget* login = shown(QStringLiteral("浏览器登录窗口"));
            auto* record = login != nullptr
                               ? login->findChild<QAbstractButton*>(QStringLiteral("按钮_录制"))
                               : nullptr;
            if (record == nullptr || !record->isEnabled()) {
                return false;
            }
            clickLater(login, "按钮_录制");
            since_.start();
            next(QStringLiteral("the recording did not end"), [this] { return stopRecording(); });
            return true;
        });
        timer_.start();
    }

private:
    bool stopRecording() {
        QWidget* login = shown(QStringLiteral("浏览器登录窗口"));
        if (login == nullptr || since_.elapsed() < recordMs_) {
            return false;
        }
        clickLater(login, "按钮_录制");
        next(QStringLiteral("no recorded requests were listed"), [this] {
            QWidget* list = shown(QStringLiteral("窗口_录制签到"));
            if (list == nullptr || !settled()) {
                return false;
            }
            save(list, "recording.png");
            clickLater(list, "超级按钮_生成模板");
            next(QStringLiteral("the trial did not end"), [this] { return trialEnded(); });
            return true;
        });
        return true;
    }

    bool trialEnded() {
        vesprey::ui::FlowTrialWindow* trial = window_.editor().flowTrialWindow();
        if (trial == nullptr || !trial->isVisible() || trial->running() || !settled()) {
            return false;
        }
        save(trial, "flow-trial.png");
        trial->close();
        clickLater(&window_, "超级按钮_多步骤");
        next(QStringLiteral("the step list did not open"), [this] {
            vesprey::ui::StepEditorDialog* steps = window_.editor().stepEditor();
            if (steps == nullptr || !steps->isVisible()) {
                return false;
            }
            // The sign-in request, the last step.
            auto* list = steps->findChild<QListWidget*>(QStringLiteral("列表_步骤"));
            list->setCurrentRow(list->count() - 1);
            if (!settled()) {
                return false;
            }
            save(steps, "steps.png");
            steps->reject();
            std::puts("walk finished");
            std::fflush(stdout);
            timer_.stop();
            return true;
        });
        return true;
    }

    // True once a window has been up for a moment: its first paint is done.
    bool settled() {
        if (!settling_.isValid()) {
            settling_.start();
        }
        if (settling_.elapsed() < 700) {
            return false;
        }
        settling_.invalidate();
        return true;
    }

    void save(QWidget* w, const char* file) {
        const QString path = QDir(shots_).filePath(QString::fromUtf8(file));
        if (!w->grab().save(path, "PNG")) {
            std::fprintf(stderr, "cannot save %s\n", qPrintable(path));
            QApplication::exit(2);
        }
    }

    void next(QString failure, std::function<bool()> step) {
        failure_ = std::move(failure);
        step_ = std::move(step);
        waited_.start();
    }

    void tick() {
        if (!step_) {
            return;
        }
        if (waited_.elapsed() > 60000) {
            std::fprintf(stderr, "%s within a minute\n", qPrintable(failure_));
            // What was on the screen then, window by window, to see why.
            int n = 0;
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (w->isVisible()) {
                    const QString file = QStringLiteral("stopped-%1.png").arg(++n);
                    w->grab().save(QDir(shots_).filePath(file), "PNG");
                    std::fprintf(stderr, "  %s: %s\n", qPrintable(file),
                                 qPrintable(w->objectName()));
                }
            }
            timer_.stop();
            QApplication::exit(2);
            return;
        }
        // A step may hand on to the next: it runs from the next tick.
        std::function<bool()> step = step_;
        step();
    }

    MainWindow& window_;
    QString forum_;
    QString shots_;
    int recordMs_;
    QTimer timer_;
    QElapsedTimer since_;
    QElapsedTimer waited_;
    QElapsedTimer settling_;
    std::function<bool()> step_;
    QString failure_;
};

}  // namespace

int main(int argc, char** argv) {
    const QString forum = qEnvironmentVariable("VESPREY_SCREEN_FORUM");
    const QString shots = qEnvironmentVariable("VESPREY_SCREEN_SHOTS", QStringLiteral("."));
    bool ok = false;
    int recordMs = qEnvironmentVariableIntValue("VESPREY_SCREEN_RECORD_MS", &ok);
    if (!ok || recordMs <= 0) {
        recordMs = 8000;
    }
    if (forum.isEmpty()) {
        std::fprintf(stderr, "VESPREY_SCREEN_FORUM must give the forum's page address\n");
        return 1;
    }
    return vesprey::ui::runDesktop(argc, argv, [&](MainWindow& window) {
        auto* walk = new Walk(window, forum, shots, recordMs);
        walk->start();
    });
}
