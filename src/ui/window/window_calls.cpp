#include "ui/window/window_calls.h"

#include <QMetaObject>

namespace vesprey::ui {

WindowQueue::WindowQueue(QObject* parent) : QObject(parent) {}

WindowQueue::~WindowQueue() {
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(mutex_);
        dropped.swap(tasks_);
    }
    // Destroying the tasks releases workers that wait for them.
}

void WindowQueue::post(std::function<void()> task) {
    if (onWindowThread()) {
        task();
        return;
    }
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
        wake = !wakePending_;
        wakePending_ = true;
    }
    if (wake) {
        QMetaObject::invokeMethod(this, &WindowQueue::drain, Qt::QueuedConnection);
    }
}

void WindowQueue::drain() {
    std::deque<std::function<void()>> batch;
    {
        std::lock_guard lock(mutex_);
        batch.swap(tasks_);
        wakePending_ = false;
    }
    // A task may open a modal box whose event loop drains the queue again; later tasks then
    // run there, still in order.
    while (!batch.empty()) {
        auto task = std::move(batch.front());
        batch.pop_front();
        task();
    }
}

}  // namespace vesprey::ui
