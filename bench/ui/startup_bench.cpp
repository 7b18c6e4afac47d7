// Start-up of the desktop program with 5,000 accounts: from starting the process to the main
// window shown with the list filled (its first paint), and the resident memory at that moment.
// Target: under 0.5 s and under 80 MB (the browser module is not loaded at start-up).
//
// Each iteration starts this binary again as a child that runs the program's own start-up code
// (runDesktop with the same arguments `vesprey` gets) and reports at the list's first paint. The
// baseline, measured in the same run, is loadSiteList alone on the same file: the part of the
// start-up that is the store's.
//
// Without DISPLAY the window is drawn offscreen; under Xvfb (xvfb-run) it uses the X server.
//
// bench/process/compare.py runs the two children directly, as whole processes side by side:
//   ui_startup_bench --child DB   the desktop program's start-up
//   ui_startup_bench --bare DB    the floor: the same list read with loadSiteList into a plain
//                                 QStandardItemModel shown in a bare QTreeView

#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QStandardItemModel>
#include <QTimer>
#include <QTreeView>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>

#include "common/process_status.h"
#include "common/site_fixture.h"
#include "store/site_database.h"
#include "ui/application.h"
#include "ui/window/main_window.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace vesprey;

constexpr int kSites = 1000;
constexpr int kAccountsPerSite = 5;

const fs::path& fixture() {
    static const fs::path path = bench::makeSiteDatabase(kSites, kAccountsPerSite);
    return path;
}

std::string selfPath() {
    return fs::read_symlink("/proc/self/exe").string();
}

// Reports at the end of the list's first paint: "ready <VmRSS kB> <VmHWM kB> <rows>".
class FirstPaint : public QObject {
public:
    explicit FirstPaint(std::function<int()> rows) : rows_(std::move(rows)) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && !seen_) {
            seen_ = true;
            QTimer::singleShot(0, this, [this] {
                std::printf("ready %ld %ld %d\n", statusKilobytes("VmRSS:"),
                            statusKilobytes("VmHWM:"), rows_());
                std::fflush(stdout);
                std::_Exit(0);
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<int()> rows_;
    bool seen_ = false;
};

void quietOffscreen() {
    if (qgetenv("QT_QPA_PLATFORM") == "offscreen") {
        // The offscreen platform warns about every fixed-size window.
        qputenv("QT_LOGGING_RULES", "default.warning=false");
    }
}

// The floor of the start-up: the list as the desktop shows it, in a bare tree view.
int runBare(const char* database) {
    quietOffscreen();
    int argc = 1;
    std::string program = "bare";
    char* argv[] = {program.data(), nullptr};
    QApplication app(argc, argv);
    SqlDatabase db;
    openSiteDatabase(db, database);
    const SiteList list = loadSiteList(db);
    QStandardItemModel model(static_cast<int>(list.size()), 6);
    model.setHorizontalHeaderLabels({QStringLiteral("序号"), QStringLiteral("网站"),
                                     QStringLiteral("请求类型"), QStringLiteral("响应类型"),
                                     QStringLiteral("账号状态"), QStringLiteral("返回内容")});
    for (std::size_t i = 0; i < list.size(); ++i) {
        const auto cells = siteListRow(list[i], i);
        for (int c = 0; c < 6; ++c) {
            const std::string utf8 = ansiToUtf8(cells[static_cast<std::size_t>(c)]);
            model.setItem(static_cast<int>(i), c,
                          new QStandardItem(
                              QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()))));
        }
    }
    QTreeView view;
    view.setRootIsDecorated(false);
    view.setUniformRowHeights(true);
    view.setModel(&model);
    view.viewport()->installEventFilter(new FirstPaint([&model] { return model.rowCount(); }));
    view.resize(900, 600);
    view.show();
    return app.exec();
}

int runChild(const char* database) {
    quietOffscreen();
    std::string program = "vesprey";
    std::string option = "--db";
    std::string path = database;
    char* argv[] = {program.data(), option.data(), path.data(), nullptr};
    int argc = 3;
    return ui::runDesktop(argc, argv, [](ui::MainWindow& window) {
        auto* list = window.findChild<QTreeView*>(QStringLiteral("超级列表框_签到区"));
        list->viewport()->installEventFilter(
            new FirstPaint([&window] { return window.rowCount(); }));
    });
}

struct ChildResult {
    double seconds = 0;
    long rssKb = 0;
    long peakKb = 0;
    int rows = 0;
};

// Starts the child and waits for its report.
bool startChild(ChildResult* result) {
    int out[2];
    if (pipe(out) != 0) {
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::string self = selfPath();
    std::string flag = "--child";
    std::string db = fixture().string();
    char* argv[] = {self.data(), flag.data(), db.data(), nullptr};
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) {
        close(out[0]);
        return false;
    }
    char buffer[256] = {};
    std::size_t used = 0;
    while (used + 1 < sizeof buffer) {
        const ssize_t n = read(out[0], buffer + used, sizeof buffer - 1 - used);
        if (n <= 0) {
            break;
        }
        used += static_cast<std::size_t>(n);
        if (std::memchr(buffer, '\n', used) != nullptr) {
            break;
        }
    }
    const auto end = std::chrono::steady_clock::now();
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result->seconds = std::chrono::duration<double>(end - start).count();
    return std::sscanf(buffer, "ready %ld %ld %d", &result->rssKb, &result->peakKb,
                       &result->rows) == 3;
}

double baselineSeconds = 0;

void BM_LoadSiteListBaseline(benchmark::State& state) {
    std::size_t rows = 0;
    for (auto _ : state) {
        SqlDatabase db;
        openSiteDatabase(db, fixture());
        SiteList list = loadSiteList(db);
        rows = list.size();
        benchmark::DoNotOptimize(list);
    }
    state.counters["rows"] = static_cast<double>(rows);
}

void BM_DesktopStartUp(benchmark::State& state) {
    // The baseline of this run: the store's share of the start-up.
    {
        const auto start = std::chrono::steady_clock::now();
        constexpr int kRounds = 5;
        for (int i = 0; i < kRounds; ++i) {
            SqlDatabase db;
            openSiteDatabase(db, fixture());
            benchmark::DoNotOptimize(loadSiteList(db));
        }
        baselineSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
            kRounds;
    }
    ChildResult last;
    double total = 0;
    long maxRss = 0;
    long maxPeak = 0;
    for (auto _ : state) {
        ChildResult r;
        if (!startChild(&r)) {
            state.SkipWithError("the child did not report");
            return;
        }
        state.SetIterationTime(r.seconds);
        total += r.seconds;
        maxRss = std::max(maxRss, r.rssKb);
        maxPeak = std::max(maxPeak, r.peakKb);
        last = r;
    }
    const double mean = total / static_cast<double>(state.iterations());
    state.counters["rows"] = last.rows;
    state.counters["rss_MB"] = static_cast<double>(maxRss) / 1024.0;
    state.counters["peak_rss_MB"] = static_cast<double>(maxPeak) / 1024.0;
    state.counters["x_list_load"] = mean / baselineSeconds;
    std::printf(
        "start-up to first paint with %d accounts: %.3f s (target 0.5 s), %.1f MB resident "
        "(target 80 MB), %.1fx the list load alone (%.4f s)\n",
        last.rows, mean, static_cast<double>(maxRss) / 1024.0, mean / baselineSeconds,
        baselineSeconds);
}

BENCHMARK(BM_LoadSiteListBaseline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DesktopStartUp)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--child") == 0) {
        return runChild(argv[2]);
    }
    if (argc == 3 && std::strcmp(argv[1], "--bare") == 0) {
        return runBare(argv[2]);
    }
    if (std::getenv("DISPLAY") == nullptr && std::getenv("QT_QPA_PLATFORM") == nullptr) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
