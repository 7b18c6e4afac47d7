// `vesprey-cli sign --jobs N` as a whole process: 1,000 accounts on 50 hosts (127.0.0.10 …
// 127.0.0.59, 20 accounts each, one template per host as a list of sites has them), every
// answer 100 ms late, the sites in a process of their own. One account at a time that is about
// 100 s; the target with --jobs 32 is 6 s at most.
//
//   parallel_pass_bench [--runs N]      (3 runs of each number of jobs, taken in turn)
//
// Prints every run, then the minimum and the median of each number of jobs, the peak memory of
// the pass's process, and whether the target was met (the exit code says it too). One account
// per host with one job at a time shows what each account costs alone. Exits with 1 only when
// some account was not signed in; a missed target is printed as such.
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "loopback_server.h"
#include "store/site_database.h"

namespace {

namespace fs = std::filesystem;

constexpr int kHosts = 50;
constexpr int kAccountsPerHost = 20;
constexpr auto kAnswerDelay = std::chrono::milliseconds(100);
constexpr double kTargetSeconds = 6.0;
constexpr int kTargetJobs = 32;

std::string hostAddress(int host) {
    return "127.0.0.1" + std::to_string(host);  // 127.0.0.10 … 127.0.0.59
}

// The sites' process: a server on each host, answering /sign after kAnswerDelay. Writes the
// ports to `out`, then serves until it is told to go, or its parent goes.
[[noreturn]] void serveSites(int out) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    std::vector<std::unique_ptr<vesprey::test::LocalServer<>>> servers;
    std::string ports;
    for (int host = 0; host < kHosts; ++host) {
        auto server = std::make_unique<vesprey::test::LocalServer<>>();
        (*server)->Get("/sign", [](const httplib::Request&, httplib::Response& res) {
            std::this_thread::sleep_for(kAnswerDelay);
            res.set_content("{\"code\":0,\"data\":{\"msg\":\"签到成功\"}}", "application/json");
        });
        server->start(hostAddress(host));
        ports += std::to_string(server->port()) + "\n";
        servers.push_back(std::move(server));
    }
    const ssize_t written = ::write(out, ports.data(), ports.size());
    ::close(out);
    if (written != static_cast<ssize_t>(ports.size())) {
        std::_Exit(1);
    }
    while (true) {
        ::pause();
    }
}

// A Sign.db in `dir` with `accountsPerHost` accounts on each host, the hosts' templates in turn.
fs::path makeList(const fs::path& dir, const std::vector<int>& ports, int accountsPerHost) {
    const fs::path path = dir / ("Sign-" + std::to_string(accountsPerHost) + ".db");
    vesprey::createSiteDatabase(path, nullptr);
    vesprey::SqlDatabase db;
    vesprey::openSiteDatabase(db, path);
    db.prepare("BEGIN").stepCode();
    for (int host = 0; host < kHosts; ++host) {
        vesprey::TemplateFields f;
        f.WebName = vesprey::utf8ToAnsi("签到网站 " + std::to_string(host));
        f.WebLink = "http://" + hostAddress(host) + ":" +
                    std::to_string(ports[static_cast<std::size_t>(host)]) + "/sign";
        f.Qtype = vesprey::RequestMethod::Get;
        f.Rtype = vesprey::AnswerType::Json;
        f.Ctype = 1;
        f.Tying = "data.msg";
        vesprey::insertTemplate(db, f);
        for (int account = 0; account < accountsPerHost; ++account) {
            vesprey::insertWebCookie(db, host + 1, "2020-12-19 08:05:09",
                                     "sid=" + std::to_string(host) + "-" + std::to_string(account));
        }
    }
    db.prepare("COMMIT").stepCode();
    return path;
}

struct Run {
    double seconds = 0;
    long peakKb = 0;
    int signedIn = 0;  // lines of the printed list that say so
    int exitCode = -1;
};

Run signAll(const fs::path& list, int jobs, const fs::path& output) {
    std::fflush(stdout);  // the child's stdout is reopened, which would write this again
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        std::FILE* out = std::freopen(output.c_str(), "w", stdout);
        std::FILE* err = std::freopen("/dev/null", "w", stderr);
        if (out != nullptr && err != nullptr) {
            const std::string count = std::to_string(jobs);
            ::execl(VESPREY_CLI, VESPREY_CLI, "sign", "--no-history", "--jobs", count.c_str(),
                    "--db", list.c_str(), nullptr);
        }
        std::_Exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    Run run;
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.peakKb = usage.ru_maxrss;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream in(output);
    for (std::string line; std::getline(in, line);) {
        run.signedIn += line.find("签到成功") != std::string::npos ? 1 : 0;
    }
    return run;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 3;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0) {
            runs = std::max(1, std::atoi(argv[i + 1]));
        }
    }

    // The sites' process is made before this one has any thread.
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0) {
        return 1;
    }
    const pid_t sites = ::fork();
    if (sites == 0) {
        ::close(pipeEnds[0]);
        serveSites(pipeEnds[1]);
    }
    ::close(pipeEnds[1]);
    std::string portText;
    char buffer[1024];
    for (ssize_t got = 0; (got = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0;) {
        portText.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(pipeEnds[0]);
    std::vector<int> ports;
    for (std::size_t at = 0; at < portText.size();) {
        const std::size_t end = portText.find('\n', at);
        ports.push_back(std::atoi(portText.substr(at, end - at).c_str()));
        at = end == std::string::npos ? portText.size() : end + 1;
    }
    if (ports.size() != kHosts) {
        std::fprintf(stderr, "the sites did not start\n");
        ::kill(sites, SIGTERM);
        return 1;
    }

    std::string pattern = (fs::temp_directory_path() / "vesprey-parallel-XXXXXX").string();
    const fs::path dir = ::mkdtemp(pattern.data());
    const fs::path all = makeList(dir, ports, kAccountsPerHost);
    const fs::path onePerHost = makeList(dir, ports, 1);
    const fs::path output = dir / "out.txt";

    std::printf("%d accounts on %d hosts, each answer %lld ms late; sites in process %d\n",
                kHosts * kAccountsPerHost, kHosts, static_cast<long long>(kAnswerDelay.count()),
                static_cast<int>(sites));
    const Run alone = signAll(onePerHost, 1, output);
    std::printf("  --jobs 1, one account per host (%d): %.2f s, %.1f ms an account\n", kHosts,
                alone.seconds, alone.seconds * 1000 / kHosts);

    const std::vector<int> jobCounts = {kTargetJobs, 64};
    std::vector<std::vector<double>> seconds(jobCounts.size());
    std::vector<long> peakKb(jobCounts.size());
    bool allSigned = true;
    for (int round = 0; round < runs; ++round) {
        for (std::size_t j = 0; j < jobCounts.size(); ++j) {
            const Run run = signAll(all, jobCounts[j], output);
            seconds[j].push_back(run.seconds);
            peakKb[j] = std::max(peakKb[j], run.peakKb);
            allSigned = allSigned && run.exitCode == 0 && run.signedIn == kHosts * kAccountsPerHost;
            std::printf("  --jobs %-2d run %d: %.2f s (%d signed in, exit %d)\n", jobCounts[j],
                        round + 1, run.seconds, run.signedIn, run.exitCode);
        }
    }
    std::printf("\n  %-9s %8s %8s %10s\n", "jobs", "min s", "median s", "peak MiB");
    for (std::size_t j = 0; j < jobCounts.size(); ++j) {
        std::printf("  --jobs %-2d %8.2f %8.2f %10.1f\n", jobCounts[j],
                    *std::min_element(seconds[j].begin(), seconds[j].end()), median(seconds[j]),
                    static_cast<double>(peakKb[j]) / 1024);
    }
    const double target = median(seconds[0]);
    const bool met = allSigned && target <= kTargetSeconds;
    std::printf(
        "  one at a time would take about %.0f s; --jobs %d median %.2f s, target %.0f s: "
        "%s\n",
        alone.seconds * kAccountsPerHost, kTargetJobs, target, kTargetSeconds,
        met         ? "met"
        : allSigned ? "MISSED"
                    : "MISSED (not every account signed in)");

    ::kill(sites, SIGTERM);
    ::waitpid(sites, nullptr, 0);
    fs::remove_all(dir);
    return allSigned ? 0 : 1;
}
