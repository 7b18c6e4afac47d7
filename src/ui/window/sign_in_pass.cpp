#include "ui/window/sign_in_pass.h"

#include <condition_variable>
#include <mutex>
#include <utility>

#include "session/pass_session.h"
#include "store/site_database.h"
#include "ui/dialogs/message_boxes.h"
#include "ui/qt_text.h"
#include "ui/window/main_window.h"
#include "ui/window/window_calls.h"

namespace vesprey::ui {
namespace {

BoxIcon boxIcon(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::None:
            return BoxIcon::None;
        case MessageIcon::Information:
            return BoxIcon::Information;
        case MessageIcon::Warning:
            return BoxIcon::Warning;
        case MessageIcon::Error:
            return BoxIcon::Error;
        case MessageIcon::Question:
            return BoxIcon::Question;
    }
    return BoxIcon::None;
}

}  // namespace

WindowPassObserver::WindowPassObserver(MainWindow& window, std::chrono::milliseconds hold,
                                       const std::vector<int>& listRows)
    : window_(window), hold_(hold), listRows_(listRows) {}

void WindowPassObserver::rowStarted(std::size_t /*row*/, const PassRow& planned) {
    window_.calls().post(
        [window = &window_, shown = fromAnsi(passProgressText(planned.site.WebName))] {
            window->setStatus(shown);
        });
}

void WindowPassObserver::rowFinished(std::size_t planRow, const AccountReport& report) {
    const std::size_t row =
        planRow < listRows_.size() ? static_cast<std::size_t>(listRows_[planRow]) : planRow;
    // A retried row comes twice: its first report moves the progress bar, its last one only
    // shows its result and verdict anew.
    const bool again = retrying_.erase(row) > 0;
    if (report.retryDue) {
        retrying_.insert(row);
    }
    if (!report.stopped && !again) {
        window_.calls().post(
            [window = &window_, r = static_cast<int>(row)] { window->passRowFinished(r); });
    }
    if (report.stopped) {
        window_.calls().post(
            [window = &window_, r = static_cast<int>(row), shown = fromAnsi(report.listText)] {
                window->setCellText(r, kColumnResult, shown);
            });
        return;  // "已停止", without a verdict
    }
    if (report.verdict.verdict == Verdict::Skipped) {
        // Not requested: its cell stays as it is, unless its 签到周期 says why.
        if (!report.listText.empty()) {
            window_.calls().post(
                [window = &window_, r = static_cast<int>(row), shown = fromAnsi(report.listText)] {
                    window->setCellText(r, kColumnResult, shown);
                });
        }
        return;
    }
    window_.calls().post([window = &window_, r = static_cast<int>(row),
                          shown = fromAnsi(report.listText), verdict = report.verdict] {
        window->setCellText(r, kColumnResult, shown);
        window->setRowVerdict(r, verdict);
    });
}

void WindowPassObserver::retriesDue(int retry, std::size_t rows, std::chrono::milliseconds wait) {
    window_.calls().post([window = &window_, shown = fromAnsi(passRetryText(retry, rows, wait))] {
        window->setStatus(shown);
    });
}

void WindowPassObserver::passFinished(const VerdictCounts& counts, std::stop_token stop) {
    window_.calls().post(
        [window = &window_, shown = fromAnsi(passFinishedText())] { window->setStatus(shown); });
    {
        std::mutex mutex;
        std::condition_variable_any never;
        std::unique_lock lock(mutex);
        never.wait_for(lock, stop, hold_, [] { return false; });
    }
    const bool rearm = !stop.stop_requested();
    window_.calls().post([window = &window_, shown = fromAnsi(verdictCountsText(counts)), rearm] {
        window->setStatus(QString());
        window->showPassCounts(shown);
        // The schedule's timer was stopped when a scheduled pass began; it ticks again when
        // the schedule is still switched on.
        if (rearm && window->scheduleChecked()) {
            window->setTimerPeriod(1000);
        }
    });
}

void WindowPassObserver::pushFinished(const PushOutcome& outcome) {
    if (!outcome.error) {
        return;
    }
    window_.calls().post([window = &window_,
                          shown = QStringLiteral("推送失败：") + fromAnsi(outcome.error.message)] {
        window->showStatusNotice(shown, kPushFailureShown);
    });
}

WindowMessageSink::WindowMessageSink(WindowQueue& calls, std::stop_token stop)
    : calls_(calls), stop_(std::move(stop)) {}

void WindowMessageSink::showMessage(const Text& text, const Text& caption, MessageIcon icon) {
    BoxRequest request{fromAnsi(text), fromAnsi(caption), boxIcon(icon), BoxButtons::Ok};
    runOnWindow(calls_, stop_, [request] { MessageBoxes::show(nullptr, request); });
}

}  // namespace vesprey::ui
