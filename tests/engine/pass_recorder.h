// What the pass tests see of a pass: an observer that keeps the account list's six texts per row
// as the programs show them, the status texts both programs show, and every event as one UTF-8
// line, with the threads it was called from; and a message sink that keeps every message.
#pragma once

#include <array>
#include <mutex>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "engine/messages.h"
#include "engine/sign_in_run.h"
#include "session/pass_session.h"
#include "store/site_database.h"

namespace vesprey::test {

class RecordingObserver : public PassObserver {
public:
    explicit RecordingObserver(const std::vector<PassRow>& planned) {
        for (std::size_t i = 0; i < planned.size(); ++i) {
            rows.push_back(siteListRow(planned[i].site, i));
        }
    }

    void rowStarted(std::size_t /*row*/, const PassRow& planned) override {
        status(passProgressText(planned.site.WebName));
    }
    void rowFinished(std::size_t row, const AccountReport& report) override {
        if (report.verdict.verdict == Verdict::Skipped) {
            note({});
            return;
        }
        rows.at(row)[kColumnResult] = report.listText;
        note("cell " + std::to_string(row) + " " + ansiToUtf8(report.listText));
        note("verdict " + std::to_string(row) + " " +
             std::string(verdictName(report.verdict.verdict)) + " " +
             ansiToUtf8(report.verdict.reason));
        if (stopAtResult != nullptr) {
            stopAtResult->request_stop();
        }
    }
    void passFinished(const VerdictCounts& counts, std::stop_token /*stop*/) override {
        status(passFinishedText());
        ++holds;
        note("hold");
        status({});
        note("counts " + ansiToUtf8(verdictCountsText(counts)));
    }
    void pushFinished(const PushOutcome& outcome) override {
        pushes.push_back(outcome);
        note("push " + ansiToUtf8(outcome.error.message));
    }

    std::vector<std::array<Text, 6>> rows;
    std::vector<Text> statuses;
    std::vector<PushOutcome> pushes;
    std::vector<std::string> calls;
    std::set<std::thread::id> threads;
    int holds = 0;
    // When set, a stop is requested as soon as a row's result is shown.
    std::stop_source* stopAtResult = nullptr;

private:
    void status(const Text& text) {
        statuses.push_back(text);
        note("status " + ansiToUtf8(text));
    }
    void note(std::string call) {
        threads.insert(std::this_thread::get_id());
        if (!call.empty()) {
            calls.push_back(std::move(call));
        }
    }
};

class RecordingMessages : public MessageSink {
public:
    void showMessage(const Text& text, const Text& caption, MessageIcon icon) override {
        std::lock_guard lock(mutex);
        threads.insert(std::this_thread::get_id());
        messages.push_back(ansiToUtf8(caption) + ansiToUtf8(text));
        icons.push_back(icon);
    }
    std::mutex mutex;
    std::vector<std::string> messages;
    std::vector<MessageIcon> icons;
    std::set<std::thread::id> threads;
};

// The plan of a pass over `sites` as loaded, every row with a cookie requested.
inline PassPlan planOf(const SiteList& sites, const PushSettings& keys = {}) {
    PassPlan plan;
    plan.rows = passRows(sites);
    plan.keys = keys;
    return plan;
}

}  // namespace vesprey::test
