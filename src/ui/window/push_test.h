// The push settings' test ("调试") on a thread of its own: a slow or unreachable service keeps
// the window waiting for up to the request's time-out, and the window must go on answering
// meanwhile. One test at a time; whoever shows the outcome listens to `finished`.
#pragma once

#include <QObject>
#include <QString>
#include <string>
#include <thread>

#include "engine/push.h"

namespace vesprey::ui {

class PushTest : public QObject {
    Q_OBJECT
public:
    // `environment` says where the services are, as the program read it at start.
    explicit PushTest(PushEnvironment environment, QObject* parent = nullptr);
    // Waits for a test still running (its request is bounded by the push's own time-out).
    ~PushTest() override;

    bool running() const { return running_; }

    // Starts the test of `channel` (a name of pushChannels()) with copies of the keys and
    // settings as they are now. False, and nothing started, while another test runs.
    bool start(std::string channel, PushSettings keys, ChannelSettings settings);

signals:
    void runningChanged(bool running);
    // On the window thread, once the test has ended.
    void finished(const QString& channel, const vesprey::PushOutcome& outcome);

private:
    PushEnvironment environment_;
    std::jthread thread_;
    bool running_ = false;
};

// "推送成功（bark）" or "推送失败（bark）：…": the outcome of a test in words.
QString pushTestText(const QString& channel, const PushOutcome& outcome);

}  // namespace vesprey::ui
