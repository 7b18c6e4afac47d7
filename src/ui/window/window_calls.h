// Hands work from the sign-in worker to the window thread. A call is queued under a mutex of our
// own and the window thread is woken to run the queue, so calls run in the order they were made
// and every hand-over is visible to ThreadSanitizer. A blocking call waits for its result; it
// gives up, returning the fallback, when the worker is asked to stop or when the queue is
// destroyed before the call ran.
#pragma once

#include <QObject>
#include <QThread>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <type_traits>
#include <utility>

namespace vesprey::ui {

class WindowQueue : public QObject {
    Q_OBJECT
public:
    explicit WindowQueue(QObject* parent);
    ~WindowQueue() override;

    // Queues `task` for the window thread; runs it at once when called on that thread.
    void post(std::function<void()> task);

    bool onWindowThread() const { return QThread::currentThread() == thread(); }

private:
    void drain();

    std::mutex mutex_;
    std::deque<std::function<void()>> tasks_;
    bool wakePending_ = false;
};

namespace detail {

template <class R>
struct CallState {
    std::mutex mutex;
    std::condition_variable_any ready;
    bool finished = false;
    std::optional<R> value;

    void finish(std::optional<R> result) {
        std::lock_guard lock(mutex);
        if (!finished) {
            value = std::move(result);
            finished = true;
        }
        ready.notify_all();
    }
};

// Lives inside the queued task: when the task is destroyed without having run, the waiting
// worker is released with no value.
template <class R>
struct Release {
    explicit Release(std::shared_ptr<CallState<R>> s) : state(std::move(s)) {}
    Release(const Release&) = delete;
    Release& operator=(const Release&) = delete;
    ~Release() { state->finish(std::nullopt); }
    std::shared_ptr<CallState<R>> state;
};

}  // namespace detail

// Runs `function` on the window thread and returns its result; `fallback` when `stop` is
// requested before it ran or the queue went away first.
template <class Function, class R = std::invoke_result_t<Function>>
R callOnWindow(WindowQueue& queue, std::stop_token stop, Function function, R fallback) {
    if (queue.onWindowThread()) {
        return function();
    }
    auto state = std::make_shared<detail::CallState<R>>();
    auto release = std::make_shared<detail::Release<R>>(state);
    queue.post([release, function = std::move(function)]() mutable {
        release->state->finish(function());
    });
    release.reset();
    std::unique_lock lock(state->mutex);
    state->ready.wait(lock, stop, [&] { return state->finished; });
    return state->value ? std::move(*state->value) : std::move(fallback);
}

// Waits for a function without a result.
template <class Function>
void runOnWindow(WindowQueue& queue, std::stop_token stop, Function function) {
    callOnWindow(
        queue, std::move(stop),
        [function = std::move(function)]() mutable {
            function();
            return true;
        },
        false);
}

}  // namespace vesprey::ui
