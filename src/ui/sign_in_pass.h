// The main window as the sign-in pass sees it from its worker thread. Every call is handed to
// the window thread (WindowCalls); reads wait for their answer, writes are posted in order. When
// the worker is asked to stop, waiting calls return at once with empty answers.
#pragma once

#include <chrono>
#include <stop_token>

#include "engine/messages.h"
#include "engine/sign_in_run.h"

namespace vesprey::ui {

// How long a failed push (of a pass or of the push test) stays in the status label.
inline constexpr std::chrono::seconds kPushFailureShown{5};

class MainWindow;

class WindowSignInView final : public SignInView {
public:
    WindowSignInView(MainWindow& window, std::stop_token stop, std::chrono::milliseconds hold);

    Text cell(std::size_t row, int column) override;
    void setCell(std::size_t row, int column, const Text& text) override;
    void setStatus(const Text& text) override;
    // The counts go to the window's counts label until the next pass.
    void passCounts(const VerdictCounts& counts) override;
    void holdFinishedStatus(std::stop_token stop) override;
    bool notifyChecked() override;
    bool scheduleChecked() override;
    int pushChannel() override;
    void setTimerPeriod(int milliseconds) override;
    // A failed push: "推送失败：" and the reason in the status label for a few seconds.
    void pushFinished(const PushOutcome& outcome) override;
    // The row's icon and tooltip in "返回内容".
    void setVerdict(std::size_t row, const AccountVerdict& verdict) override;

private:
    MainWindow& window_;
    std::stop_token stop_;
    std::chrono::milliseconds hold_;
};

// The evaluation's messages: a modal box without owner on the window thread, while the worker
// waits for it to be closed.
class WindowMessageSink final : public MessageSink {
public:
    WindowMessageSink(MainWindow& window, std::stop_token stop);
    void showMessage(const Text& text, const Text& caption, MessageIcon icon) override;

private:
    MainWindow& window_;
    std::stop_token stop_;
};

}  // namespace vesprey::ui
