// Shared pieces of the window tests: a Sign.db made in a temporary directory, a recorder that
// answers every message box, a site on 127.0.0.1, and lookups of controls by object name.
#pragma once

#include <QApplication>
#include <QByteArray>
#include <QList>
#include <QStringList>
#include <QTemporaryDir>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "loopback_server.h"  // before Qt: httplib.h must not see Qt's macros
#include "ui/dialogs/message_boxes.h"
#include "ui/window/main_window.h"
#include "ui/window/scheduler.h"

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

// A push service on 127.0.0.1 that answers every request with "{}" and records each as
// "METHOD target body" (target and form body URL-decoded). Bark and ServerChan point here while
// it lives; serve() points another channel here too.
class PushService {
public:
    PushService() {
        auto record = [this](const httplib::Request& request, httplib::Response& response) {
            QString line = QString::fromStdString(
                request.method + " " + httplib::detail::decode_url(request.target, false));
            if (!request.body.empty()) {
                line +=
                    " " + QString::fromStdString(httplib::detail::decode_url(request.body, true));
            }
            std::lock_guard lock(mutex_);
            received_ << line;
            response.set_content("{}", "application/json");
        };
        // The summary's line breaks reach the path (Bark): "." would stop at them.
        server_.server().Get(R"([\s\S]*)", record);
        server_.server().Post(R"([\s\S]*)", record);
        server_.start();
        serve("VESPREY_BARK_URL");
        serve("VESPREY_SERVERCHAN_URL");
    }
    // Points the channel's base-address variable here too, until the service goes.
    void serve(const char* variable) {
        qputenv(variable, QByteArray::fromStdString(server_.url("/")));
        served_ << QByteArray(variable);
    }
    ~PushService() {
        for (const QByteArray& variable : served_) {
            qputenv(variable.constData(), "http://127.0.0.1:9/");
        }
    }
    PushService(const PushService&) = delete;
    PushService& operator=(const PushService&) = delete;

    QStringList received() const {
        std::lock_guard lock(mutex_);
        return received_;
    }

private:
    FakeSite server_;
    mutable std::mutex mutex_;
    QStringList received_;
    QList<QByteArray> served_;
};

// The main window for a database, with its start-up sequence run and the finished status held
// only briefly; with `clock`, its schedule reads that clock from the start on (a schedule kept
// from an earlier window is armed at start-up).
std::unique_ptr<ui::MainWindow> openWindow(const std::filesystem::path& database,
                                           std::shared_ptr<const ui::ScheduleClock> clock = {});

// GBK bytes of a UTF-8 literal, for answers of the fake site.
std::string gbk(const std::string& utf8);

// The time `seconds` before hour:minute:00 of a fixed date (after it when negative), wrapping
// to the day before or after when needed.
ui::LocalTime secondsBefore(int hour, int minute, int seconds);

}  // namespace vesprey::uitest
