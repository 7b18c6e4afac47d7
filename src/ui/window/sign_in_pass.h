// The sign-in pass as the main window shows it. The pass runs on a worker thread of its own; its
// events are handed to the window thread (WindowQueue) without waiting, in order, so that the
// worker never waits for the window except while a message box is open. When the worker is
// asked to stop, a box it waits for releases it at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <set>
#include <stop_token>
#include <vector>

#include "engine/messages.h"
#include "engine/sign_in_run.h"

namespace vesprey::ui {

// How long a failed push (of a pass or of the push test) stays in the status label.
inline constexpr std::chrono::seconds kPushFailureShown{5};

class MainWindow;
class WindowQueue;

// What the window makes of a pass's events: each row's progress text in the status label and
// its end in the progress bar, its result in "返回内容" with the verdict's icon; "签到完毕！" held
// for `hold` (the worker waits, and the push goes out after it), then the status cleared, the
// counts shown and the schedule re-armed when "开启定时" is still checked; a failed push for a few
// seconds in the status label. While rows wait for a retry the status label says so; a retried
// row's last report replaces its result and verdict.
class WindowPassObserver final : public PassObserver {
public:
    // `listRows` gives the list row of each of the plan's rows; it outlives the observer.
    WindowPassObserver(MainWindow& window, std::chrono::milliseconds hold,
                       const std::vector<int>& listRows);

    void rowStarted(std::size_t row, const PassRow& planned) override;
    void rowFinished(std::size_t row, const AccountReport& report) override;
    void retriesDue(int retry, std::size_t rows, std::chrono::milliseconds wait) override;
    void passFinished(const VerdictCounts& counts, std::stop_token stop) override;
    void pushFinished(const PushOutcome& outcome) override;

private:
    MainWindow& window_;
    std::chrono::milliseconds hold_;
    const std::vector<int>& listRows_;
    std::set<std::size_t> retrying_;  // rows whose last report is still to come
};

// The evaluation's messages: a modal box without owner on the window thread, while the worker
// waits for it to be closed.
class WindowMessageSink final : public MessageSink {
public:
    WindowMessageSink(WindowQueue& calls, std::stop_token stop);
    void showMessage(const Text& text, const Text& caption, MessageIcon icon) override;

private:
    WindowQueue& calls_;
    std::stop_token stop_;
};

}  // namespace vesprey::ui
