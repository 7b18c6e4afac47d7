// Shared pieces of the window tests: a Sign.db made in a temporary directory, a recorder that
// answers every message box, a site on 127.0.0.1, and lookups of controls by object name.
#pragma once

#include <QApplication>
#include <QList>
#include <QTemporaryDir>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "loopback_server.h"  // before Qt: httplib.h must not see Qt's macros
#include "ui/main_window.h"
#include "ui/message_boxes.h"
#include "ui/scheduler.h"

namespace vesprey::uitest {

// One site of a fixture database; texts are UTF-8 here and stored as the tool stores them.
struct SiteSpec {
    std::string name{};
    std::string link{};
    int qtype = 1;  // 1 GET, 2 POST
    int rtype = 1;  // 1 JSON, 2 regex
    int ctype = 0;
    std::string tying{};
    std::vector<std::string> cookies{};  // one account row each; none: the site is listed with "×"
    std::string body{};                  // Date
    std::string headers{};
};

struct PushKeys {
    std::string bark{};
    std::string serverChan{};
    std::string dingTalk{};
};

// Creates `dir`/Sign.db with the sites (in order) and the three push keys.
std::filesystem::path makeDatabase(const QTemporaryDir& dir, const std::vector<SiteSpec>& sites,
                                   const PushKeys& keys = {});

// Records every message box shown through the seam and answers it (Ok unless told otherwise).
class BoxRecorder {
public:
    BoxRecorder();
    ~BoxRecorder();
    BoxRecorder(const BoxRecorder&) = delete;
    BoxRecorder& operator=(const BoxRecorder&) = delete;

    QList<ui::BoxRequest> boxes;
    // Called with each box before it is answered (on the window thread).
    std::function<void(const ui::BoxRequest&)> onBox;
    ui::BoxAnswer answer = ui::BoxAnswer::Ok;
};

// A clock the test sets.
class FakeClock final : public ui::ScheduleClock {
public:
    ui::LocalTime now() const override {
        std::lock_guard lock(mutex_);
        return time_;
    }
    void set(const ui::LocalTime& time) {
        std::lock_guard lock(mutex_);
        time_ = time;
    }

private:
    mutable std::mutex mutex_;
    ui::LocalTime time_;
};

// A site on an ephemeral port of 127.0.0.1, with the gate the pass tests hold requests at.
using FakeSite = test::LocalServer<>;

// The main window for a database, with its start-up sequence run and the finished status held
// only briefly.
std::unique_ptr<ui::MainWindow> openWindow(const std::filesystem::path& database);

// GBK bytes of a UTF-8 literal, for answers of the fake site.
std::string gbk(const std::string& utf8);

// The time `seconds` before hour:minute:00 of a fixed date (after it when negative), wrapping
// to the day before or after when needed.
ui::LocalTime secondsBefore(int hour, int minute, int seconds);

}  // namespace vesprey::uitest
