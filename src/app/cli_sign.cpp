// `sign`: the menu's pass without a window.

#include <malloc.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <stop_token>
#include <thread>

#include "app/cli.h"
#include "engine/messages.h"
#include "engine/push.h"
#include "engine/sign_in_run.h"
#include "json/json.h"
#include "session/pass_session.h"
#include "store/history.h"
#include "store/pass_lock.h"
#include "store/push_channels.h"
#include "store/site_database.h"
#include "web/web_client.h"

namespace vesprey::cli {
namespace {

// The bounds of --answer-memory, in MB.
constexpr int kMinAnswerMemoryMegabytes = 16;
constexpr int kMaxAnswerMemoryMegabytes = 4096;

// Seconds as --gap gives them, "2" or "0.25" (at most three decimals), in milliseconds; nothing
// for another text.
std::optional<long long> secondsAsMs(std::string_view text) {
    const std::size_t point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    const std::string_view part =
        point == std::string_view::npos ? std::string_view{} : text.substr(point + 1);
    auto digits = [](std::string_view s) {
        return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (whole.empty() || whole.size() > 6 || !digits(whole) || part.size() > 3 || !digits(part) ||
        (point != std::string_view::npos && part.empty())) {
        return std::nullopt;
    }
    long long ms = std::atoll(std::string(whole).c_str()) * 1000;
    std::string fraction(part);
    fraction.resize(3, '0');
    return ms + std::atoll(fraction.c_str());
}

// --gap MIN[-MAX] in milliseconds, or nothing after saying why.
std::optional<std::pair<long long, long long>> gapRange(const std::string& given) {
    const std::size_t dash = given.find('-');
    const std::optional<long long> low = secondsAsMs(std::string_view(given).substr(0, dash));
    const std::optional<long long> high =
        dash == std::string::npos ? low : secondsAsMs(std::string_view(given).substr(dash + 1));
    if (!low || !high || *low > kMaxGapMs || *high > kMaxGapMs) {
        printError("--gap 只能是 0 到 " + std::to_string(kMaxGapMs / 1000) +
                   " 之间的秒数（可带小数），或用“-”连起来的两个（如 2-5），不是 " + given + "。");
        return std::nullopt;
    }
    if (*low > *high) {
        printError("--gap 的前一个数不能大于后一个：" + given + "。");
        return std::nullopt;
    }
    return std::pair(*low, *high);
}

// Each failed push on stderr: one channel as "推送失败：…", several each by name
// ("推送失败（telegram）：…"). True when one failed.
bool reportPushFailures(const PassResult& pass) {
    const std::vector<ChannelPush>& pushes = pass.channelPushes;
    if (pushes.size() <= 1) {
        if (pass.push && !pass.push->ok()) {
            printPushFailure(pass.push->error);
            return true;
        }
        return false;
    }
    return cli::reportPushFailures(pushes);
}

// "m:ss", or "h:mm:ss" from an hour on.
std::string clockText(std::chrono::steady_clock::duration elapsed) {
    const long long total = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
    const long long hours = total / 3600;
    const long long minutes = total / 60 % 60;
    const long long seconds = total % 60;
    char text[32];
    if (hours > 0) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", hours, minutes, seconds);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", minutes, seconds);
    }
    return text;
}

// The pass's progress on a terminal: one line on stderr, drawn again in place ("\r", the line,
// then clear to its end) as each row's turn comes and once a second, so that the time moves while
// a site takes its time: "签到 12/40 · 好站 · 已用 0:05 · 还需约 0:12". The line never takes
// the terminal's last column (the cursor would wrap); a long site name is cut to fit. It ends
// with "签到完毕！ 40/40 · 用时 0:20" and a newline. Messages of the pass go on lines of their
// own above it.
class ProgressLine {
public:
    explicit ProgressLine(std::size_t total)
        : total_(total), begin_(std::chrono::steady_clock::now()) {
        ticker_ = std::jthread([this](std::stop_token stop) {
            std::unique_lock lock(mutex_);
            while (!stop.stop_requested()) {
                tick_.wait_for(lock, stop, std::chrono::seconds(1), [] { return false; });
                if (!stop.stop_requested() && shown_ && !finished_) {
                    drawLocked();
                }
            }
        });
    }
    ~ProgressLine() {
        ticker_.request_stop();
        ticker_.join();
        if (shown_ && !finished_) {
            std::fputc('\n', stderr);
        }
    }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // The turn of the next row of the list, of the site named (UTF-8).
    void nextRow(std::string site) {
        std::lock_guard lock(mutex_);
        done_ = started_;
        ++started_;
        site_ = oneLine(std::move(site));
        shown_ = true;
        drawLocked();
    }
    void finish() {
        std::lock_guard lock(mutex_);
        if (finished_) {
            return;
        }
        finished_ = true;
        done_ = total_;
        const std::string line = "签到完毕！ " + std::to_string(total_) + "/" +
                                 std::to_string(total_) + " · 用时 " +
                                 clockText(std::chrono::steady_clock::now() - begin_);
        std::fputs(("\r" + fitWidth(line, columns()) + "\x1b[K\n").c_str(), stderr);
        std::fflush(stderr);
    }
    // Prints on lines of its own, the progress line drawn again under it.
    void printAbove(const std::function<void()>& print) {
        std::lock_guard lock(mutex_);
        if (shown_ && !finished_) {
            std::fputs("\r\x1b[K", stderr);
        }
        print();
        if (shown_ && !finished_) {
            drawLocked();
        }
    }

private:
    // The terminal's width less its last column.
    static std::size_t columns() {
        winsize size{};
        const bool known = ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0;
        return (known ? size.ws_col : 80) - 1;
    }

    void drawLocked() {
        const auto elapsed = std::chrono::steady_clock::now() - begin_;
        const std::string counts =
            "签到 " + std::to_string(done_) + "/" + std::to_string(total_) + " · ";
        std::string times = " · 已用 " + clockText(elapsed);
        if (done_ > 0) {
            times += " · 还需约 " + clockText(elapsed * static_cast<long long>(total_ - done_) /
                                              static_cast<long long>(done_));
        }
        const std::size_t width = columns();
        const std::size_t fixed = displayWidth(counts) + displayWidth(times);
        const std::string line = fixed < width ? counts + fitWidth(site_, width - fixed) + times
                                               : fitWidth(counts + site_ + times, width);
        std::fputs(("\r" + line + "\x1b[K").c_str(), stderr);
        std::fflush(stderr);
    }

    std::mutex mutex_;
    std::condition_variable_any tick_;
    const std::size_t total_;
    std::size_t started_ = 0;  // rows whose turn has come
    std::size_t done_ = 0;     // rows before the current one
    std::string site_;
    const std::chrono::steady_clock::time_point begin_;
    bool shown_ = false;
    bool finished_ = false;
    std::jthread ticker_;  // last: it is stopped before the rest goes
};

// Messages of the evaluation go to stderr; nobody has to close a box.
class StderrMessages : public MessageSink {
public:
    explicit StderrMessages(ProgressLine* progress) : progress_(progress) {}
    void showMessage(const Text& text, const Text& caption, MessageIcon /*icon*/) override {
        auto print = [&] {
            printText(stderr, caption);
            printLine(stderr, text);
        };
        if (progress_ != nullptr) {
            progress_->printAbove(print);
        } else {
            print();
        }
    }

private:
    ProgressLine* progress_;
};

// The pass on a terminal, or in a log: progress on stderr as it happens, the rows' texts kept for
// the table printed at the end. On a terminal the progress is one line drawn again in place;
// otherwise (cron, a pipe, a log file) one line per row, "开始对>>>网站<<<进行签到", and
// "签到完毕！" at the end.
class TerminalObserver : public PassObserver {
public:
    TerminalObserver(const std::vector<PassRow>& rows, ProgressLine* progress)
        : progress_(progress) {
        for (std::size_t i = 0; i < rows.size(); ++i) {
            rows_.push_back(siteListRow(rows[i].site, i));
            if (rows[i].flow) {
                static const Text kYes = utf8ToAnsi("√");
                static const Text kNo = utf8ToAnsi("×");
                rows_.back()[kColumnAccount] = rows[i].requested ? kYes : kNo;
            }
        }
    }

    void rowStarted(std::size_t row, const PassRow& planned) override {
        if (progress_ == nullptr) {
            printLine(stderr, passProgressText(planned.site.WebName));
            std::fflush(stderr);
            return;
        }
        progress_->nextRow(terminalText(rows_[row][kColumnSite]));
    }
    void rowFinished(std::size_t row, const AccountReport& report) override {
        if (report.verdict.verdict != Verdict::Skipped || report.stopped ||
            !report.listText.empty()) {
            rows_[row][kColumnResult] = report.listText;
        }
    }
    void retriesDue(int retry, std::size_t rows, std::chrono::milliseconds wait) override {
        const Text text = passRetryText(retry, rows, wait);
        if (progress_ == nullptr) {
            printLine(stderr, text);
            std::fflush(stderr);
            return;
        }
        progress_->printAbove([&] { printLine(stderr, text); });
    }
    void passFinished(const VerdictCounts& /*counts*/, std::stop_token /*stop*/) override {
        if (progress_ == nullptr) {
            printLine(stderr, passFinishedText());
            std::fflush(stderr);
        } else {
            progress_->finish();
        }
    }

    const std::vector<std::array<Text, 6>>& rows() const { return rows_; }

private:
    std::vector<std::array<Text, 6>> rows_;
    ProgressLine* progress_;
};

// The longest --max-time: a week.
constexpr long kMaxPassSeconds = 7L * 24 * 3600;

// The signals that stop a pass, and the exit code of each (128 and the signal's number).
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The first stop signal received, 0 before; written by the handler only.
std::atomic<int> gStopSignal{0};
// The handler's way to the watcher: one byte per first signal. -1 while no pass runs.
std::atomic<int> gStopPipe{-1};

// The first signal is told to the watcher; a second ends the program at once.
extern "C" void onStopSignal(int signal) {
    int none = 0;
    if (!gStopSignal.compare_exchange_strong(none, signal)) {
        ::_exit(128 + gStopSignal.load());
    }
    const int pipe = gStopPipe.load();
    if (pipe >= 0) {
        const char byte = 's';
        [[maybe_unused]] const ssize_t written = ::write(pipe, &byte, 1);
    }
}

// How a pass is stopped before its end: by the first SIGINT, SIGTERM or SIGHUP, or when
// --max-time runs out. The pass then starts no request, ends the ones under way and gives what it
// did; the rows are printed, recorded and saved as after a whole pass. A second signal ends the
// program at once. Made before the pass and kept until the program's end, so that a signal while
// the results are written still waits for them.
class PassStopper {
public:
    // `maxSeconds`: 0 for no time limit. `progress` is the pass's progress line, if any.
    PassStopper(long maxSeconds, ProgressLine* progress) : progress_(progress) {
        if (::pipe(pipe_) != 0) {
            return;  // no way to the watcher: the signals keep their default action
        }
        gStopPipe.store(pipe_[1]);
        struct sigaction action {};
        action.sa_handler = &onStopSignal;
        sigemptyset(&action.sa_mask);
        for (const int signal : kStopSignals) {
            ::sigaction(signal, &action, nullptr);
        }
        watcher_ = std::thread([this, maxSeconds] { watch(maxSeconds); });
    }
    ~PassStopper() {
        if (!watcher_.joinable()) {
            return;
        }
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        const char byte = 'q';
        [[maybe_unused]] const ssize_t written = ::write(pipe_[1], &byte, 1);
        watcher_.join();
        struct sigaction action {};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        for (const int signal : kStopSignals) {
            ::sigaction(signal, &action, nullptr);
        }
        gStopPipe.store(-1);
        ::close(pipe_[0]);
        ::close(pipe_[1]);
    }
    PassStopper(const PassStopper&) = delete;
    PassStopper& operator=(const PassStopper&) = delete;

    std::stop_token token() const { return source_.get_token(); }
    // The progress line is gone: the notice goes on a line of its own.
    void progressGone() {
        std::lock_guard lock(mutex_);
        progress_ = nullptr;
    }

    // The exit code the stop asks for: 128 and the signal's number, kExitTimeUp, or 0 when the
    // pass was not stopped.
    int exitCode() const {
        if (const int signal = gStopSignal.load(); signal != 0) {
            return 128 + signal;
        }
        return timeUp_.load() ? kExitTimeUp : 0;
    }

private:
    void watch(long maxSeconds) {
        using Clock = std::chrono::steady_clock;
        const Clock::time_point end = Clock::now() + std::chrono::seconds(maxSeconds);
        while (true) {
            int waitMs = -1;
            if (maxSeconds > 0 && !timeUp_.load()) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
                waitMs = static_cast<int>(std::clamp<long long>(left.count(), 0, 60000));
            }
            pollfd readable{pipe_[0], POLLIN, 0};
            const int ready = ::poll(&readable, 1, waitMs);
            char byte = 0;
            if (ready > 0 && ::read(pipe_[0], &byte, 1) == 1 && byte == 'q') {
                return;
            }
            if (ready > 0 && byte == 's') {
                stop(
                    "正在停止：不再发出新的请求，已签完的账号照常打印和保存；"
                    "再按一次 Ctrl+C（或再发一次信号）立即退出。");
            } else if (ready == 0 && maxSeconds > 0 && !timeUp_.load() && Clock::now() >= end) {
                timeUp_.store(true);
                stop("签到已用满 --max-time 的 " + std::to_string(maxSeconds) +
                     " 秒：不再发出新的请求，已签完的账号照常打印和保存。");
            }
        }
    }

    void stop(const std::string& notice) {
        std::lock_guard lock(mutex_);
        if (source_.stop_requested() || done_) {
            return;
        }
        if (progress_ != nullptr) {
            progress_->printAbove([&] { printError(notice); });
        } else {
            printError(notice);
        }
        source_.request_stop();
    }

    int pipe_[2] = {-1, -1};
    std::stop_source source_;
    std::atomic<bool> timeUp_{false};
    std::mutex mutex_;
    ProgressLine* progress_;
    bool done_ = false;  // the pass and its writing are over: nothing is stopped any more
    std::thread watcher_;
};

}  // namespace

std::string oneLine(std::string utf8) {
    std::replace_if(
        utf8.begin(), utf8.end(), [](char c) { return c == '\r' || c == '\n' || c == '\t'; }, ' ');
    return utf8;
}

namespace {

// One JSON object for scripts: every row in list order, the counts, and the push.
void printJson(const std::vector<PassRow>& planned, const std::vector<std::array<Text, 6>>& rows,
               const PassResult& pass, const std::vector<std::string>& channels) {
    std::string out = "{\"accounts\":[";
    const auto& reports = pass.reports;
    for (std::size_t row = 0; row < rows.size() && row < reports.size(); ++row) {
        const AccountReport& report = reports[row];
        const SiteTemplate& site = planned[row].site;
        out += row == 0 ? "{" : ",{";
        out += "\"row\":" + std::to_string(row + 1);
        out += ",\"site\":" + jsonUtf8String(site.WebName);
        out += ",\"id\":" + std::to_string(site.id);
        out += ",\"cid\":" + std::to_string(site.Cid);
        out += ",\"verdict\":\"" + std::string(verdictName(report.verdict.verdict)) + "\"";
        out += ",\"reason\":" + jsonUtf8String(report.verdict.reason);
        out += ",\"result\":" + jsonUtf8String(rows[row][kColumnResult]);
        out += ",\"status\":" + std::to_string(report.status);
        out += ",\"ms\":" + std::to_string(report.ms);
        out += ",\"steps\":" + std::to_string(report.steps);
        out += ",\"tries\":" + std::to_string(report.tries) + "}";
    }
    out += "],\"counts\":{";
    const VerdictCounts counts = pass.counts();
    for (std::size_t v = 0; v < kVerdictCount; ++v) {
        out += (v == 0 ? "\"" : ",\"") + std::string(verdictName(static_cast<Verdict>(v))) +
               "\":" + std::to_string(counts[v]);
    }
    // One channel: its object; several: an array of them, in the order of --notify.
    out += "},\"push\":";
    if (channels.empty()) {
        out += "null";
    }
    if (channels.size() > 1) {
        out += "[";
    }
    for (std::size_t i = 0; i < channels.size(); ++i) {
        const PushOutcome* outcome =
            i < pass.channelPushes.size() ? &pass.channelPushes[i].outcome : nullptr;
        const bool sent = outcome != nullptr && outcome->ok();
        const Text error = pass.pushSkipped     ? utf8ToAnsi("无需推送")
                           : outcome != nullptr ? outcome->error.message
                                                : Text{};
        out += (i == 0 ? "{\"channel\":" : ",{\"channel\":") + jsonUtf8String(channels[i]) +
               ",\"sent\":" + (sent ? "true" : "false") + ",\"error\":" + jsonUtf8String(error) +
               "}";
    }
    if (channels.size() > 1) {
        out += "]";
    }
    out += "}\n";
    std::fputs(out.c_str(), stdout);
}

void printTable(const std::vector<std::array<Text, 6>>& rows) {
    std::vector<std::array<std::string, 6>> table;
    table.push_back({"序号", "网站", "请求类型", "响应类型", "账号状态", "返回内容"});
    for (const auto& row : rows) {
        std::array<std::string, 6> line;
        for (std::size_t c = 0; c < 6; ++c) {
            line[c] = oneLine(terminalText(row[c]));
            if (c < 5) {
                line[c] = fitWidth(line[c], kMaxCellColumns);
            }
        }
        table.push_back(std::move(line));
    }
    std::array<std::size_t, 6> widths{};
    for (const auto& line : table) {
        for (std::size_t c = 0; c < 5; ++c) {
            widths[c] = std::max(widths[c], displayWidth(line[c]));
        }
    }
    for (const auto& line : table) {
        std::string out;
        for (std::size_t c = 0; c < 5; ++c) {
            out += padRight(line[c], widths[c] + 2);
        }
        out += line[5];
        while (!out.empty() && out.back() == ' ') {
            out.pop_back();
        }
        std::fputs((out + "\n").c_str(), stdout);
    }
}

// The accounts of multi-step templates that were not signed for want of an input, one line each
// on stderr with how to give it: "“面板”的账号 3 还缺 password，没有签到（vesprey-cli inputs --cid
// 3 password=-）".
void printMissingInputs(const std::vector<PassRow>& rows) {
    for (const PassRow& row : rows) {
        if (!row.flow || !row.flow->flow || row.requested || row.site.Cid == 0) {
            continue;
        }
        const auto missing = missingInputs(*row.flow->flow, row.flow->inputs, row.site.hasCookie());
        std::string names;
        for (const std::string& name : missing) {
            names += (names.empty() ? "" : "、") + name;
        }
        printError("“" + ansiToUtf8(row.site.WebName) + "”的账号 " + std::to_string(row.site.Cid) +
                   " 还缺 " + names + "，没有签到（vesprey-cli inputs --cid " +
                   std::to_string(row.site.Cid) + " " + missing.front() + "=-）。");
    }
}

// The cookies sites set that the merge left out, on one line of stderr:
// "网站设置的 Cookie 里有控制字符或不是文字的字节，没有采用：甲站（cr）、乙站（a、b）".
void printRefusedCookies(const std::vector<PassRow>& rows, const PassResult& pass) {
    std::string named;
    for (std::size_t row = 0; row < pass.reports.size() && row < rows.size(); ++row) {
        const std::vector<Text>& refused = pass.reports[row].refusedCookies;
        if (refused.empty()) {
            continue;
        }
        std::string names;
        for (const Text& name : refused) {
            names += (names.empty() ? "" : "、") + terminalText(name);
        }
        named += (named.empty() ? "" : "、") + terminalText(rows[row].site.WebName) + "（" + names +
                 "）";
    }
    if (!named.empty()) {
        printError("网站设置的 Cookie 里有控制字符或不是文字的字节，没有采用：" + named + "。");
    }
}

// A pass receives answer after answer of up to a few hundred KB. glibc would give each such
// block back to the kernel when it is freed and have the next one faulted in page by page;
// blocks up to kHeapBlockLimit come from the heap instead, and up to kKeptFreeHeap of freed heap
// stays with the process for the next answers. glibc keeps that much in each heap of its own,
// and the threads of several jobs would each take one, keeping what their largest answer left
// there: they share kJobHeaps heaps, and the amount is shared among the jobs.
void keepFreedAnswers(int jobs) {
    constexpr int kHeapBlockLimit = 16 * 1024 * 1024;
    constexpr int kKeptFreeHeap = 32 * 1024 * 1024;
    constexpr int kKeptFreeHeapLeast = 1024 * 1024;
    constexpr int kJobHeaps = 2;
    mallopt(M_MMAP_THRESHOLD, kHeapBlockLimit);
    mallopt(M_TRIM_THRESHOLD, std::max(kKeptFreeHeap / std::max(jobs, 1), kKeptFreeHeapLeast));
    mallopt(M_ARENA_MAX, kJobHeaps);
}

int runSign(const Arguments& args) {
    if (!args.positionals().empty()) {
        printError("sign 不接受多余的参数：" + args.positionals().front() + "。");
        return kExitBadInput;
    }
    std::vector<std::string> channels;
    if (auto names = args.value("--notify")) {
        std::optional<std::vector<std::string>> named = channelList(*names);
        if (!named) {
            return kExitBadInput;
        }
        channels = std::move(*named);
    }
    NotifyOn notifyOn = NotifyOn::Always;
    int failureStreak = 0;
    if (auto when = args.value("--notify-on")) {
        // failure:N, N passes in a row.
        const std::string_view streak = std::string_view(*when).substr(0, 8);
        if (streak == "failure:") {
            const std::string count = when->substr(8);
            const bool digits = !count.empty() && count.size() <= 2 &&
                                std::all_of(count.begin(), count.end(),
                                            [](char c) { return c >= '0' && c <= '9'; });
            failureStreak = digits ? std::atoi(count.c_str()) : 0;
            if (failureStreak < 1 || failureStreak > kMaxFailureStreak) {
                printError("--notify-on failure:N 的 N 只能是 1 到 " +
                           std::to_string(kMaxFailureStreak) + " 之间的整数，不是 " + count + "。");
                return kExitBadInput;
            }
        } else if (*when != "always" && *when != "failure") {
            printError("--notify-on 只能是 always、failure 或 failure:N（N 为 1 到 " +
                       std::to_string(kMaxFailureStreak) + "），不是 " + *when + "。");
            return kExitBadInput;
        }
        notifyOn = *when == "always" ? NotifyOn::Always : NotifyOn::Failure;
    }
    int jobs = 1;
    if (auto given = args.value("--jobs")) {
        const bool digits =
            !given->empty() && given->size() <= 2 &&
            std::all_of(given->begin(), given->end(), [](char c) { return c >= '0' && c <= '9'; });
        jobs = digits ? std::atoi(given->c_str()) : 0;
        if (jobs < 1 || jobs > kMaxSignInJobs) {
            printError("--jobs 只能是 1 到 " + std::to_string(kMaxSignInJobs) +
                       " 之间的整数，不是 " + *given + "。");
            return kExitBadInput;
        }
    }
    long maxSeconds = 0;
    if (auto given = args.value("--max-time")) {
        const bool digits =
            !given->empty() && given->size() <= 6 &&
            std::all_of(given->begin(), given->end(), [](char c) { return c >= '0' && c <= '9'; });
        maxSeconds = digits ? std::atol(given->c_str()) : 0;
        if (maxSeconds < 1 || maxSeconds > kMaxPassSeconds) {
            printError("--max-time 只能是 1 到 " + std::to_string(kMaxPassSeconds) +
                       " 之间的整数（秒），不是 " + *given + "。");
            return kExitBadInput;
        }
    }
    std::size_t answerBudget = kDefaultAnswerBudgetBytes;
    if (auto given = args.value("--answer-memory")) {
        const bool digits =
            !given->empty() && given->size() <= 4 &&
            std::all_of(given->begin(), given->end(), [](char c) { return c >= '0' && c <= '9'; });
        const int megabytes = digits ? std::atoi(given->c_str()) : 0;
        if (megabytes < kMinAnswerMemoryMegabytes || megabytes > kMaxAnswerMemoryMegabytes) {
            printError("--answer-memory 只能是 " + std::to_string(kMinAnswerMemoryMegabytes) +
                       " 到 " + std::to_string(kMaxAnswerMemoryMegabytes) +
                       " 之间的整数（MB），不是 " + *given + "。");
            return kExitBadInput;
        }
        answerBudget = static_cast<std::size_t>(megabytes) * 1024 * 1024;
    }
    // ----- Proxies
    std::string proxy;
    if (auto given = args.value("--proxy")) {
        std::optional<std::string> url = proxyArgument(*given, "--proxy");
        if (!url) {
            return kExitBadInput;
        }
        proxy = std::move(*url);
    }
    if (args.flag("--push-proxy") && proxy.empty()) {
        printError("--push-proxy 要和 --proxy 一起用：推送走的是 --proxy 给出的代理。");
        return kExitBadInput;
    }

    // Retries and spacing.
    int retries = 0;
    if (auto given = args.value("--retry")) {
        const bool digit = given->size() == 1 && (*given)[0] >= '0' && (*given)[0] <= '9';
        retries = digit ? (*given)[0] - '0' : -1;
        if (retries < 0 || retries > kMaxRetries) {
            printError("--retry 只能是 0 到 " + std::to_string(kMaxRetries) + " 之间的整数，不是 " +
                       *given + "。");
            return kExitBadInput;
        }
    }
    std::pair<long long, long long> gap{0, 0};
    if (auto given = args.value("--gap")) {
        const auto range = gapRange(*given);
        if (!range) {
            return kExitBadInput;
        }
        gap = *range;
    }
    CommandDatabase database;
    if (const int code = openDatabase(args, database); code != kExitOk) {
        return code;
    }
    const std::filesystem::path& path = database.path;
    // One pass per Sign.db at a time, this program's or the desktop window's. A folder where no
    // lock can be made (read-only) does not stop the pass.
    PassLock lock;
    if (lock.take(path) == PassLock::Outcome::Held) {
        printError(
            "另一个签到正在 " + path.string() +
            " 上进行（桌面程序或另一个 vesprey-cli sign），这次没有签到；请等它结束后再运行。");
        return kExitPassRunning;
    }
    // --cookiecloud: the browser's cookies go into the accounts first, and the pass signs with
    // the list as the file then holds it. A sync that fails changes nothing; the pass goes on
    // with the stored cookies.
    int cookieCloudExit = kExitOk;
    if (args.flag("--cookiecloud")) {
        cookieCloudExit = syncFromCookieCloud(database, true, SyncReport::Summary);
        if (cookieCloudExit == kExitOk) {
            if (const ReadResult read = readSiteList(database.db, database.sites); !read.ok()) {
                printError("无法读取 " + path.string() + "：" + ansiToUtf8(readFailureText(read)) +
                           "。");
                return kExitDatabase;
            }
        }
    }
    PassPlan plan;
    plan.keys = std::move(database.push);
    plan.rows = passRows(database.sites);
    database.sites = SiteList();
    plan.switches->setNotify(!channels.empty());
    plan.channels = channels;
    plan.notifyOn = notifyOn;
    plan.pushOpening = readSetting(database.db, kPushOpeningSetting).value_or(Text());
    plan.failureStreak = failureStreak;
    plan.jobs = jobs;
    plan.answerBudgetBytes = answerBudget;
    plan.strictTls = args.flag("--strict-tls");
    plan.relogin = args.flag("--relogin");
    plan.pushEnvironment = environment().push;
    plan.requestDeadlineMs = environment().requestDeadlineMs;
    plan.proxy = std::move(proxy);
    plan.pushUsesProxy = args.flag("--push-proxy");
    plan.retries = retries;
    plan.gapMinMs = gap.first;
    plan.gapMaxMs = gap.second;
    if (environment().waitDivisor > 0) {
        plan.clock = shortenedPassClock(environment().waitDivisor);
    }
    PassSession session(database.db, path, std::move(plan));
    // The rows were read from the file moments before: they hold its cookies.
    const PassPreparation prepared = session.prepare(!channels.empty(), false);
    if (!prepared.flows.ok()) {
        printError("无法读取 " + path.string() + " 里的多步骤模板，没有签到：" +
                   ansiToUtf8(readFailureText(prepared.flows)) + "。");
        return kExitDatabase;
    }
    if (!prepared.templateSettings.ok()) {
        printError("无法读取 " + path.string() + " 里模板的代理和签到周期，没有签到：" +
                   ansiToUtf8(readFailureText(prepared.templateSettings)) + "。");
        return kExitDatabase;
    }
    if (!prepared.channelSettings.ok()) {
        printError("无法读取 " + path.string() + "：" +
                   ansiToUtf8(readFailureText(prepared.channelSettings)) + "。");
        return kExitDatabase;
    }
    if (!prepared.rules.ok()) {
        printError("判定规则读不出，本次只用内置规则：" +
                   ansiToUtf8(readFailureText(prepared.rules)) + "。");
    }
    if (!prepared.cookieHealth.ok()) {
        printCookieHealthFailure(prepared.cookieHealth, path);
    }
    if (!prepared.failureRuns.ok()) {
        printError("签到历史读不出，这次有失效或失败的账号就推送（不看连续几次）：" +
                   historyReadFailure(prepared.failureRuns) + "（" +
                   historyDatabasePath(path).string() + "）。");
    }

    // The progress line lives as long as the pass; the results come after its last line.
    std::optional<ProgressLine> progress;
    if (::isatty(STDERR_FILENO) == 1) {
        progress.emplace(session.plan().rows.size());
    }
    ProgressLine* line = progress ? &*progress : nullptr;
    TerminalObserver observer(session.plan().rows, line);
    StderrMessages messages(line);
    keepFreedAnswers(jobs);
    PassStopper stopper(maxSeconds, line);
    const PassResult pass = session.run(observer, messages, stopper.token());
    stopper.progressGone();
    progress.reset();
    if (args.flag("--json")) {
        printJson(session.plan().rows, observer.rows(), pass, channels);
    } else {
        printTable(observer.rows());
    }
    printRefusedCookies(session.plan().rows, pass);
    printMissingInputs(session.plan().rows);
    // A history that cannot be written is only a warning: the pass and its exit code stay as
    // they are.
    if (!args.flag("--no-history")) {
        std::filesystem::path setAside;
        const WriteResult written = session.writeHistory(
            pass, args.flag("--new-history") ? HistoryStart::Anew : HistoryStart::Keep, &setAside);
        if (!setAside.empty()) {
            printSetAsideHistory(setAside);
        }
        if (!written) {
            printError("签到历史没有保存：" + historyWriteFailureText(written) + "（" +
                       historyDatabasePath(path).string() + "）。");
        }
    }

    bool saveFailed = false;
    if (args.flag("--save-cookies")) {
        const CookieSave save = session.saveRenewedCookies(pass);
        if (save.written) {
            printError("已保存 " + std::to_string(save.saved) + " 个更新的 Cookie。");
            if (const Text left = changedCookiesText(save, session.plan()); !left.empty()) {
                printError(terminalText(left) + "。");
            }
        } else {
            printError("更新的 Cookie 没有保存：" + writeFailureText(save.written) + "（" +
                       path.string() + "）。");
            saveFailed = true;
        }
    }
    // The cookies of the accounts that logged in again are written whatever --save-cookies says:
    // without them the next pass would log in once more.
    if (session.plan().relogin) {
        const CookieSave save = session.saveReloginCookies(pass);
        if (save.any && save.written) {
            printError("已保存 " + std::to_string(save.saved) + " 个重新登录得到的 Cookie。");
            if (const Text left = changedCookiesText(save, session.plan()); !left.empty()) {
                printError(terminalText(left) + "。");
            }
        } else if (save.any) {
            printError("重新登录得到的 Cookie 没有保存：" + writeFailureText(save.written) + "（" +
                       path.string() + "）。");
            saveFailed = true;
        }
    }
    if (const int stopped = stopper.exitCode(); stopped != 0) {
        return stopped;
    }
    if (reportPushFailures(pass)) {
        return kExitPushFailed;
    }
    if (saveFailed) {
        return kExitDatabase;
    }
    if (cookieCloudExit != kExitOk) {
        return cookieCloudExit;
    }
    const VerdictCounts counts = pass.counts();
    const bool attention = counts[static_cast<std::size_t>(Verdict::Expired)] +
                               counts[static_cast<std::size_t>(Verdict::Failed)] >
                           0;
    return attention ? kExitNeedsAttention : kExitOk;
}

}  // namespace

const Command& signCommand() {
    static const Command command{
        .name = "sign",
        .summary = "对所有有 Cookie 的账号签到一遍，打印结果和判定（可推送汇总）",
        .options = {databaseOption("Sign.db 的路径"),
                    {.name = "--notify",
                     .value = "通道[,通道…]",
                     .help = "签完后把汇总推送到这些通道（逗号隔开，用 Sign.db 里的密钥和设置）：\n"
                             "bark、serverchan、dingtalk、ntfy、gotify、telegram、wecom、\n"
                             "feishu、pushplus、serverchan3、webhook、email；一个失败不影响\n"
                             "其余的（设置见 vesprey-cli push-set --help）；桌面程序里保存的\n"
                             "推送语句是汇总的第一行"},
                    {.name = "--notify-on",
                     .value = "always|failure|failure:N",
                     .help = "always（默认）每次都推送；failure 只在有失效或失败的账号时推送；\n"
                             "failure:N（N 为 1–30）只在某个账号最近 N 次签到（含这次，按\n"
                             "History.db）都失效或失败、或有 Cookie 在 3 天内过期时推送，\n"
                             "汇总的第一行写明推送原因"},
                    {.name = "--json",
                     .help = "标准输出改为一个 JSON 对象：每个账号的判定、原因、结果、状态码、\n"
                             "用时、请求数（steps，多步骤模板的步数）、请求了几次（tries，\n"
                             "重试的也算；没签的为 0），各判定的数目，以及推送的结果（几个通道\n"
                             "时是一个数组）"},
                    {.name = "--save-cookies",
                     .help = "把网站更新过的 Cookie（仅成功和已签到的账号）写回 Sign.db，\n"
                             "在一个事务里；不加这个选项时签到不写数据库"},
                    {.name = "--relogin",
                     .help = "失效时自动登录：Cookie 失效的多步骤账号，模板有登录步骤且登录用的\n"
                             "输入（用户名、密码、TOTP 密钥…）都有值时，跑一遍登录步骤，用得到\n"
                             "的 Cookie 再签到一次；签到成功才把新 Cookie 写回 Sign.db（签到期间\n"
                             "账号的 Cookie 被改动过时不覆盖）"},
                    {.name = "--no-history", .help = "这次不写 History.db"},
                    {.name = "--new-history",
                     .help = "History.db 属于另一个 Sign.db 时，把它改名留在旁边\n"
                             "（History.other-日期-时间.db），另起一个新的签到历史"},
                    {.name = "--cookiecloud",
                     .help = "签到前从 CookieCloud 同步浏览器的 Cookie 到各账号（设置见\n"
                             "vesprey-cli cookiecloud --help）；同步失败时说明原因、不改\n"
                             "Cookie，照常签到，退出码 7"},
                    {.name = "--strict-tls",
                     .help = "签到请求也检查网站的证书（默认不检查；推送总是检查）"},
                    {.name = "--jobs",
                     .value = "N",
                     .help = "最多同时签 N 个账号（1–64，默认 1：一个接一个）；同一网站（签到\n"
                             "链接的主机名相同）的账号仍按列表顺序一个接一个。进度、结果、\n"
                             "判定、推送和 History.db 都按列表顺序，与 --jobs 1 相同"},
                    {.name = "--max-time",
                     .value = "秒",
                     .help = "这次签到最多用这么多秒（1–604800，默认不限）；到时像收到 SIGTERM\n"
                             "一样停止（见下），退出码 5，供 cron 判断"},
                    {.name = "--answer-memory",
                     .value = "MB",
                     .help = "同时收在内存里的答复最多占这么多 MB（" +
                             std::to_string(kMinAnswerMemoryMegabytes) + "–" +
                             std::to_string(kMaxAnswerMemoryMegabytes) + "，默认 " +
                             std::to_string(kDefaultAnswerBudgetBytes >> 20) +
                             "）；放不下的答复等\n"
                             "别的答复处理完，等不到或比这还大的答复不收，该账号失败并写明原因"},
                    {.name = "--proxy",
                     .value = "URL|-",
                     .help = "签到请求都走这个代理：http://、https://、socks5:// 或 socks5h://\n"
                             "主机:端口，需要时在主机前加 用户名:密码@；有密码时写 - 从标准输入\n"
                             "读取地址。模板自己的代理（vesprey-cli site-set）优先。代理连不上\n"
                             "或拒绝时账号失败：代理无法连接：…，不会改为直连"},
                    {.name = "--push-proxy", .help = "推送也走 --proxy 的代理（默认推送直连）"},
                    {.name = "--retry",
                     .value = "N",
                     .help = "因暂时的原因失败的账号（没有回应、连不上、TLS 握手失败、超时、\n"
                             "HTTP 5xx 或 429）在其余账号签完后再试，最多 N 次（0–5，默认 0：\n"
                             "不重试）；依次等 30 秒、2 分钟、10 分钟（之后都是 10 分钟），各加\n"
                             "0–30% 的随机，网站给了 Retry-After 时至少等那么久（最多 15 分钟）。\n"
                             "Cookie 失效、多步骤模板的检查不通过、判定规则决定的结果不重试。\n"
                             "结果写明“重试 2 次后成功”"},
                    {.name = "--gap",
                     .value = "秒[-秒]",
                     .help = "同一网站（签到链接的主机名相同）两个账号的请求之间至少隔这么多\n"
                             "秒（0–600，可带小数；给两个数时每次在其间随机取）；重试也算。\n"
                             "与 --jobs 同用时，别的网站的账号照常同时签"}},
        .description =
            "重新读取账号列表，对账号状态为 √ 的每个账号发送签到请求，进度\n"
            "（开始对>>>网站<<<进行签到）写到标准错误，结束后把带“返回内容”的列表\n"
            "写到标准输出（UTF-8）。\n"
            "标准错误是终端时，进度改为一行、原地刷新：已签/总数、当前网站、已用时间、\n"
            "预计还需的时间，签完换行。\n"
            "每个请求最多 60 秒；每个账号的返回内容最多保留 500 个字，超出的以“…”结尾；\n"
            "控制字符显示为 �。列表读到一半出错（文件损坏）时一个账号也不签。\n"
            "同一网站（签到链接的主机和端口相同）连续 3 个账号都没有回应（域名解析失败、\n"
            "无法连接、超时且一个字节也没收到）时，它其余的账号这次不再请求，直接判为失败：\n"
            "同一网站前 3 个账号都没有回应，本次跳过。\n"
            "\n"
            "收到 SIGINT（Ctrl+C）、SIGTERM 或 SIGHUP 时：不再发出新的请求，进行中的请求在\n"
            "几秒内结束，已签完的账号照常打印、写入 History.db、保存 Cookie（--save-cookies），\n"
            "其余的记为“已停止”，不推送；再收到一次信号立即退出。\n"
            "重试（--retry）和同一网站的间隔（--gap）的等待也立即结束，还在等重试的账号保留\n"
            "最后一次的结果。\n"
            "\n"
            "多步骤模板（vesprey-cli import 导入的社区模板、HAR、curl）的账号在每个输入都有值时\n"
            "签到（用到 cookie 时还要有 Cookie），一步接一步；任何一步不通过即失败（401/403、\n"
            "跳转到登录页或失效规则时为失效），原因写明第几步、哪条规则。\n"
            "标成“登录”的步骤（模板 JSON 里的 \"login\": true）是模板的登录部分：平时不跑，\n"
            "只在加了 --relogin 且 Cookie 失效时跑，结果写明“Cookie 失效，已重新登录并签到\n"
            "成功”或“重新登录失败：第 1 步…”。模板里可以用 totp(密钥[, 位数, 周期]) 算出\n"
            "验证器上的一次性密码（RFC 6238，密钥是 Base32）。\n"
            "\n"
            "每个账号得到一个判定：success 成功、already 已签到、expired Cookie失效、\n"
            "failed 失败、unknown 未知、skipped 跳过（没有 Cookie）。依次看：没有回答→失败；\n"
            "HTTP 401/403→失效；跳转到登录页→失效；模板自己的规则（失效、已签、成功判定），\n"
            "再是内置规则；HTTP 5xx→失败；其余为未知。失效和失败的账号在推送里以\n"
            "【失效】/【失败】开头。内置浏览器抓到的 Cookie 在 3 天内过期（或已过期）时，推送的\n"
            "最后一行是“Cookie 即将过期：网站（N 天）”。\n"
            "\n"
            "每次签到后，每个账号（跳过的也算）的时间、判定、原因、返回内容、状态码和用时追加到\n"
            "Sign.db 旁边的 History.db（第一次自动创建，同一个密钥，保留 400 天；用 history 命令\n"
            "查看）。Sign.db 不会因此被写。History.db 写不进时只在标准错误说一次\n"
            "“签到历史没有保存：…”，结果照常打印和推送，退出码不受影响。\n"
            "History.db 记着它属于哪个 Sign.db：属于另一个的（比如从别处复制来的）不读也不写，\n"
            "加 --new-history 才把它留在一边、另起一个新的。\n"
            "\n"
            "模板设了签到周期（vesprey-cli site-set --schedule）而今天不在周期内的账号不请求，\n"
            "判定为跳过，返回内容和原因都是“今天不在签到周期内”。\n"
            "\n"
            "--save-cookies 只写回签到期间没有变过的账号：签到时有人改了或删了的账号保持原样，\n"
            "标准错误里列出它们的网站。\n",
        .epilogue =
            "退出码: 0 全部正常；1 参数错误；2 数据库打不开或读不出（损坏、被占用、密钥不对），\n"
            "或更新的 Cookie 写不进；3 有账号 Cookie 失效或签到失败；4 推送失败（优先于 2、3 和 "
            "7；\n"
            "结果照常打印，原因写到标准错误：推送失败：…，几个通道时每个失败的一行：\n"
            "推送失败（telegram）：…）；5 到了 --max-time 还没签完（优先于 2 和 3）；\n"
            "6 另一个签到（桌面程序或另一个 sign）正在同一个 Sign.db 上进行，这次没有签到；\n"
            "7 --cookiecloud 的同步失败（优先于 3）；\n"
            "130、143、129 被 SIGINT、SIGTERM、SIGHUP 停止。\n",
        .database = DatabaseUse::Accounts,
        .run = runSign};
    return command;
}

}  // namespace vesprey::cli
