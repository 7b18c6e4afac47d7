#include "ui/window/push_test.h"

#include <utility>

#include "ui/qt_text.h"

namespace vesprey::ui {

PushTest::PushTest(PushEnvironment environment, QObject* parent)
    : QObject(parent), environment_(std::move(environment)) {}

PushTest::~PushTest() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool PushTest::start(std::string channel, PushSettings keys, ChannelSettings settings) {
    if (running_) {
        return false;
    }
    if (thread_.joinable()) {
        thread_.join();  // the last test's thread has ended; only its join was left
    }
    running_ = true;
    emit runningChanged(true);
    thread_ = std::jthread([this, channel = std::move(channel), keys = std::move(keys),
                            settings = std::move(settings)] {
        PushOutcome outcome = sendTestPush(channel, keys, settings, environment_);
        // Run on the window thread; dropped if this object is gone by then (its destructor
        // has joined this thread first).
        QMetaObject::invokeMethod(
            this,
            [this, name = QString::fromStdString(channel), outcome = std::move(outcome)] {
                running_ = false;
                emit runningChanged(false);
                emit finished(name, outcome);
            },
            Qt::QueuedConnection);
    });
    return true;
}

QString pushTestText(const QString& channel, const PushOutcome& outcome) {
    if (outcome.ok()) {
        return QStringLiteral("推送成功（%1）").arg(channel);
    }
    return QStringLiteral("推送失败（%1）：").arg(channel) + fromAnsi(outcome.error.message);
}

}  // namespace vesprey::ui
