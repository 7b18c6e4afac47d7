#include "ui/sign_in_pass.h"

#include <condition_variable>
#include <mutex>
#include <utility>

#include "ui/main_window.h"
#include "ui/message_boxes.h"
#include "ui/qt_text.h"
#include "ui/window_calls.h"

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

WindowSignInView::WindowSignInView(MainWindow& window, std::stop_token stop,
                                   std::chrono::milliseconds hold)
    : window_(window), stop_(std::move(stop)), hold_(hold) {}

Text WindowSignInView::cell(std::size_t row, int column) {
    const int r = static_cast<int>(row);
    return callOnWindow(
        window_.calls(), stop_,
        [window = &window_, r, column] { return toAnsi(window->cellText(r, column)); }, Text());
}

void WindowSignInView::setCell(std::size_t row, int column, const Text& text) {
    const int r = static_cast<int>(row);
    window_.calls().post([window = &window_, r, column, shown = fromAnsi(text)] {
        window->setCellText(r, column, shown);
    });
}

void WindowSignInView::passCounts(const VerdictCounts& counts) {
    window_.calls().post([window = &window_, shown = fromAnsi(verdictCountsText(counts))] {
        window->showPassCounts(shown);
    });
}

void WindowSignInView::setStatus(const Text& text) {
    window_.calls().post([window = &window_, shown = fromAnsi(text)] { window->setStatus(shown); });
}

void WindowSignInView::holdFinishedStatus(std::stop_token stop) {
    std::mutex mutex;
    std::condition_variable_any never;
    std::unique_lock lock(mutex);
    never.wait_for(lock, stop, hold_, [] { return false; });
}

bool WindowSignInView::notifyChecked() {
    return callOnWindow(
        window_.calls(), stop_, [window = &window_] { return window->notifyChecked(); }, false);
}

bool WindowSignInView::scheduleChecked() {
    return callOnWindow(
        window_.calls(), stop_, [window = &window_] { return window->scheduleChecked(); }, false);
}

int WindowSignInView::pushChannel() {
    return callOnWindow(
        window_.calls(), stop_, [window = &window_] { return window->pushChannel(); }, 0);
}

void WindowSignInView::setTimerPeriod(int milliseconds) {
    window_.calls().post(
        [window = &window_, milliseconds] { window->setTimerPeriod(milliseconds); });
}

void WindowSignInView::pushFinished(const PushOutcome& outcome) {
    if (!outcome.error) {
        return;
    }
    window_.calls().post([window = &window_,
                          shown = QStringLiteral("推送失败：") + fromAnsi(outcome.error.message)] {
        window->showStatusNotice(shown, kPushFailureShown);
    });
}

void WindowSignInView::setVerdict(std::size_t row, const AccountVerdict& verdict) {
    const int r = static_cast<int>(row);
    window_.calls().post([window = &window_, r, verdict] { window->setRowVerdict(r, verdict); });
}

WindowMessageSink::WindowMessageSink(MainWindow& window, std::stop_token stop)
    : window_(window), stop_(std::move(stop)) {}

void WindowMessageSink::showMessage(const Text& text, const Text& caption, MessageIcon icon) {
    BoxRequest request{fromAnsi(text), fromAnsi(caption), boxIcon(icon), BoxButtons::Ok};
    runOnWindow(window_.calls(), stop_, [request] { MessageBoxes::show(nullptr, request); });
}

}  // namespace vesprey::ui
