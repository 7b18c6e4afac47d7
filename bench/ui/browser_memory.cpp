// Memory of the whole process tree (the program and every process it started, the web engine's
// helpers included) around the login window: at start, after the browser module is opened,
// while the window shows a loaded page, and after it has closed, twice over. Prints resident
// (RSS) and proportional (PSS) sizes in MiB and each stage's ratio to the start.
//
//   browser_memory [seconds to wait after each close, default 3]
//
// Runs offscreen when there is no display. The page comes from a server on 127.0.0.1.
#include <dirent.h>
#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QTimer>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ui/browser/browser_loader.h"

namespace {

struct Usage {
    double rssKiB = 0;
    double pssKiB = 0;
    int processes = 0;
    std::string detail;  // one line per process: name, RSS, PSS
};

// Parent of every process, from /proc/<pid>/stat (the field after the parenthesised name).
std::map<int, int> parents() {
    std::map<int, int> result;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) {
        return result;
    }
    while (dirent* entry = ::readdir(proc)) {
        const int pid = std::atoi(entry->d_name);
        if (pid <= 0) {
            continue;
        }
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        if (!std::getline(stat, line)) {
            continue;
        }
        const auto close = line.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        std::istringstream rest(line.substr(close + 2));
        char state = 0;
        int parent = 0;
        rest >> state >> parent;
        result[pid] = parent;
    }
    ::closedir(proc);
    return result;
}

Usage treeUsage() {
    const std::map<int, int> parentOf = parents();
    std::vector<int> tree{static_cast<int>(::getpid())};
    for (std::size_t i = 0; i < tree.size(); ++i) {
        for (const auto& [pid, parent] : parentOf) {
            if (parent == tree[i]) {
                tree.push_back(pid);
            }
        }
    }
    Usage usage;
    for (int pid : tree) {
        std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
        std::string key;
        double value = 0;
        std::string unit;
        double rss = -1;
        double pss = 0;
        std::string line;
        while (std::getline(rollup, line)) {
            std::istringstream fields(line);
            if (!(fields >> key >> value >> unit)) {
                continue;
            }
            if (key == "Rss:") {
                rss = value;
            } else if (key == "Pss:") {
                pss = value;
            }
        }
        if (rss < 0) {
            continue;
        }
        usage.rssKiB += rss;
        usage.pssKiB += pss;
        ++usage.processes;
        std::ifstream commandLine("/proc/" + std::to_string(pid) + "/cmdline");
        std::string program;
        std::string type;
        std::getline(commandLine, program, '\0');
        for (std::string argument; std::getline(commandLine, argument, '\0');) {
            if (argument.rfind("--type=", 0) == 0) {
                type = " " + argument;
            }
        }
        char row[256];
        std::snprintf(row, sizeof row, "      %-60s RSS %7.1f MiB  PSS %7.1f MiB\n",
                      (program.substr(program.rfind('/') + 1) + type).substr(0, 60).c_str(),
                      rss / 1024, pss / 1024);
        usage.detail += row;
    }
    return usage;
}

void pause(int milliseconds) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < milliseconds) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void report(const char* stage, const Usage& usage, const Usage& start) {
    std::printf("%-34s %3d processes  RSS %8.1f MiB (x%5.2f)  PSS %8.1f MiB (x%5.2f)\n", stage,
                usage.processes, usage.rssKiB / 1024, usage.rssKiB / start.rssKiB,
                usage.pssKiB / 1024, usage.pssKiB / start.pssKiB);
    std::fputs(usage.detail.c_str(), stdout);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const int settleSeconds = argc > 1 ? std::atoi(argv[1]) : 3;
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);

    httplib::Server site;
    site.set_socket_options([](int socket) {
        httplib::default_socket_options(socket);
        int one = 1;
        ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    });
    std::string page =
        "<!doctype html><html><body><form><input name=user>"
        "<input name=password type=password><button>login</button></form>";
    for (int i = 0; i < 200; ++i) {
        page += "<p>Paragraph " + std::to_string(i) + " of the login page's small print.</p>";
    }
    page += "</body></html>";
    site.Get("/login", [&page](const httplib::Request&, httplib::Response& res) {
        res.set_header("Set-Cookie", "session=abc; Path=/; HttpOnly");
        res.set_content(page, "text/html");
    });
    const int port = site.bind_to_any_port("127.0.0.1");
    std::thread server([&site] { site.listen_after_bind(); });

    QWidget owner;
    owner.resize(720, 400);
    owner.show();
    pause(500);
    const Usage start = treeUsage();
    report("start (window program only)", start, start);

    vesprey::ui::BrowserModule& module = vesprey::ui::BrowserModule::instance();
    if (!module.load()) {
        std::fprintf(stderr, "%s\n", qPrintable(module.failure()));
        site.stop();
        server.join();
        return 1;
    }
    pause(200);
    report("module opened, no window", treeUsage(), start);

    for (int round = 1; round <= 2; ++round) {
        Usage open;
        vesprey::ui::BrowserLogin login;
        login.owner = &owner;
        login.address = "http://127.0.0.1:" + std::to_string(port) + "/login";
        login.opened = [&open](QDialog* window) {
            auto* poll = new QTimer(window);
            QObject::connect(poll, &QTimer::timeout, window, [window, poll, &open] {
                auto* capture =
                    window->findChild<QAbstractButton*>(QString::fromUtf8("超级按钮_获取Cookie"));
                if (capture != nullptr && capture->isEnabled()) {
                    poll->stop();
                    pause(1000);  // let the page settle and paint
                    open = treeUsage();
                    window->reject();
                }
            });
            poll->start(20);
            QTimer::singleShot(60000, window, &QDialog::reject);
        };
        QString failure;
        if (vesprey::ui::runBrowserLogin(login, &failure) ==
            vesprey::ui::BrowserLoginResult::Unavailable) {
            std::fprintf(stderr, "%s\n", qPrintable(failure));
            site.stop();
            server.join();
            return 1;
        }
        const std::string openStage = "window open, page loaded (" + std::to_string(round) + ")";
        report(openStage.c_str(), open, start);
        pause(settleSeconds * 1000);
        const std::string closedStage =
            "closed, " + std::to_string(settleSeconds) + " s later (" + std::to_string(round) + ")";
        report(closedStage.c_str(), treeUsage(), start);
    }

    site.stop();
    server.join();
    return 0;
}
