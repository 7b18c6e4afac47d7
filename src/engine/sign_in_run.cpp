#include "engine/sign_in_run.h"

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "engine/account_request.h"
#include "engine/messages.h"
#include "engine/push.h"
#include "text/gbk_text.h"

namespace vesprey {
namespace {

struct Literals {
    Text progressBefore = utf8ToAnsi("开始对>>>");
    Text progressAfter = utf8ToAnsi("<<<进行签到");
    Text requested = utf8ToAnsi("√");
    Text colon = utf8ToAnsi("：");
    Text lineMark = utf8ToAnsi("[换行符]");
    Text finished = utf8ToAnsi("签到完毕！");
    Text pushTitle = utf8ToAnsi("12-17/签到提醒");
    Text expiredMark = utf8ToAnsi("【失效】");
    Text failedMark = utf8ToAnsi("【失败】");
    Text listSeparator = utf8ToAnsi("；");
};

const Literals& literals() {
    static const Literals l;
    return l;
}

// Shows each distinct message once: a template's broken rule is said once a pass, not once per
// account of it.
class OnceEachSink final : public MessageSink {
public:
    explicit OnceEachSink(MessageSink& messages) : messages_(messages) {}
    void showMessage(const Text& text, const Text& caption, MessageIcon icon) override {
        if (shown_.insert(text).second) {
            messages_.showMessage(text, caption, icon);
        }
    }

private:
    MessageSink& messages_;
    std::set<Text> shown_;
};

// A message kept to be shown later, on the pass's own thread.
struct HeldMessage {
    Text text;
    Text caption;
    MessageIcon icon;
};

// Keeps the messages of one account's request and evaluation for the pass to show in list order.
class HeldMessages final : public MessageSink {
public:
    void showMessage(const Text& text, const Text& caption, MessageIcon icon) override {
        held.push_back({text, caption, icon});
    }
    void showAll(MessageSink& to) const {
        for (const HeldMessage& message : held) {
            to.showMessage(message.text, message.caption, message.icon);
        }
    }
    std::vector<HeldMessage> held;
};

// What a pass keeps of one account's request done on another thread: no more than it shows and
// stores, so that finished rows waiting for their turn hold no answers.
struct FinishedRow {
    bool sent = false;
    Text cookie;
    Text headers;
    Text listText;
    AccountVerdict verdict{Verdict::Skipped, {}};
    int status = 0;
    long long ms = 0;
    HeldMessages requestMessages;  // shown before the row's result, as the request says them
    HeldMessages verdictMessages;  // shown after it, as the verdict's rules say them
};

// The host of an address as accounts are kept apart by: between "//" and the path, without the
// user, the port and the case of its letters. An address without "//" counts from its start.
std::string hostOf(std::string_view url) {
    const std::size_t scheme = url.find("://");
    std::string_view authority = url.substr(scheme == std::string_view::npos ? 0 : scheme + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
        authority.remove_prefix(at + 1);
    }
    const std::size_t portColon =
        authority.starts_with('[') ? authority.find(':', authority.find(']')) : authority.find(':');
    std::string host(authority.substr(0, portColon));
    std::transform(host.begin(), host.end(), host.begin(), gbk::asciiLower);
    return host;
}

// The requests of a pass with several jobs: a fixed set of threads takes the requested rows,
// the lowest row that may go first, a row only when the row before it of the same host is done.
// The pass takes the finished rows in list order. Destroying the pool stops it from starting
// more rows and waits for the requests under way (each ends within the request's own bound).
class RequestPool {
public:
    RequestPool(SiteList& sites, const std::vector<bool>& requested,
                const std::map<Text, VerdictRules>& rules, int jobs, std::stop_token passStop)
        : sites_(sites),
          rules_(rules),
          requested_(requested),
          began_(sites.size()),
          finished_(sites.size()),
          forwardStop_(std::move(passStop), StopForward{this}) {
        // The requested rows of each host, in list order.
        std::map<std::string, std::size_t> chainOfHost;
        for (std::size_t row = 0; row < requested.size() && row < sites.size(); ++row) {
            if (!requested[row]) {
                continue;
            }
            const auto [at, added] =
                chainOfHost.try_emplace(hostOf(sites[row].WebLink), chains_.size());
            if (added) {
                chains_.emplace_back();
            }
            chains_[at->second].push_back(row);
            ++total_;
        }
        nextInChain_.assign(chains_.size(), 0);
        for (std::size_t chain = 0; chain < chains_.size(); ++chain) {
            ready_.emplace(chains_[chain].front(), chain);
        }
        const std::size_t threads = std::min(static_cast<std::size_t>(jobs), chains_.size());
        for (std::size_t i = 0; i < threads; ++i) {
            try {
                threads_.emplace_back([this] { work(); });
            } catch (const std::system_error&) {
                break;  // the threads already started do the rest
            }
        }
    }

    ~RequestPool() {
        stop();
        for (std::thread& thread : threads_) {
            thread.join();
        }
    }

    RequestPool(const RequestPool&) = delete;
    RequestPool& operator=(const RequestPool&) = delete;

    bool requested(std::size_t row) const { return requested_[row]; }

    // Waits for the requested row's request; nothing when the pass was stopped before the row's
    // request began (a request under way is waited for, as the pass of one account at a time
    // finishes its row).
    std::optional<FinishedRow> take(std::size_t row) {
        std::unique_lock lock(mutex_);
        if (threads_.empty()) {
            // No thread could be started: the rows go one at a time on this one.
            lock.unlock();
            return requestRow(row);
        }
        changed_.wait(lock, [&] { return finished_[row] || (stopping_ && !began_[row]); });
        std::optional<FinishedRow> taken = std::move(finished_[row]);
        finished_[row].reset();
        return taken;
    }

private:
    struct StopForward {
        RequestPool* pool;
        void operator()() const { pool->stop(); }
    };

    // No row begins after this.
    void stop() {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        changed_.notify_all();
    }

    void work() {
        std::unique_lock lock(mutex_);
        while (true) {
            changed_.wait(lock, [&] { return stopping_ || !ready_.empty() || started_ == total_; });
            if (stopping_ || ready_.empty()) {
                return;
            }
            const auto [row, chain] = *ready_.begin();
            ready_.erase(ready_.begin());
            ++started_;
            began_[row] = true;
            lock.unlock();
            FinishedRow done = requestRow(row);
            lock.lock();
            finished_[row] = std::move(done);
            // The host's next row may go now; this thread takes it itself when it is the lowest,
            // keeping the host's connection.
            if (++nextInChain_[chain] < chains_[chain].size()) {
                ready_.emplace(chains_[chain][nextInChain_[chain]], chain);
            }
            changed_.notify_all();
        }
    }

    // One account's request and verdict. Reads only its own record (and the rules, which no one
    // changes during the pass); the pass writes the record after taking the row.
    FinishedRow requestRow(std::size_t row) const {
        const SiteTemplate& site = sites_[row];
        FinishedRow done;
        AccountAnswer outcome = requestAccount(accountRequestFor(site), done.requestMessages);
        done.sent = outcome.response.sent();
        done.listText = outcome.listText();
        const auto own = rules_.find(site.id);
        done.verdict =
            decideVerdict(outcome, site.Weblogin,
                          own != rules_.end() ? own->second : VerdictRules{}, done.verdictMessages);
        done.status = outcome.response.status;
        done.ms = outcome.response.elapsedMs;
        done.cookie = std::move(outcome.cookie);
        done.headers = std::move(outcome.headers);
        return done;
    }

    SiteList& sites_;
    const std::map<Text, VerdictRules>& rules_;
    const std::vector<bool> requested_;
    std::vector<std::vector<std::size_t>> chains_;         // rows of one host, in list order
    std::vector<std::size_t> nextInChain_;                 // the chain's row under way or next
    std::set<std::pair<std::size_t, std::size_t>> ready_;  // (row, chain) that may go now
    std::size_t total_ = 0;                                // requested rows
    std::size_t started_ = 0;                              // of them handed to a thread
    std::vector<bool> began_;                              // by row: its request has begun
    std::vector<std::optional<FinishedRow>> finished_;     // by row, until the pass takes it
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    std::stop_callback<StopForward> forwardStop_;  // the pass's stop stops the pool too
    std::vector<std::thread> threads_;
};

}  // namespace

SignInRun::SignInRun(SiteList& sites, const PushSettings& push, SignInView& view,
                     MessageSink& messages)
    : sites_(sites), push_(push), view_(view), messages_(messages) {}

void SignInRun::run(std::stop_token stop) {
    const Literals& l = literals();
    Text summary;
    const std::size_t count = sites_.size();
    reports_.assign(count, AccountReport{});
    pushOutcome_.reset();
    pushSkipped_ = false;
    channelPushes_.clear();
    OnceEachSink ruleMessages(messages_);
    // With several jobs the requests start at once, for the rows the list marks as requested
    // now; the rows are then taken in their turn below.
    std::optional<RequestPool> pool;
    if (jobs_ > 1 && !stop.stop_requested()) {
        std::vector<bool> requested(count);
        for (std::size_t row = 0; row < count; ++row) {
            requested[row] = view_.cell(row, kColumnAccount) == l.requested;
        }
        pool.emplace(sites_, requested, rules_, jobs_, stop);
    }
    for (std::size_t row = 0; row < count; ++row) {
        if (stop.stop_requested()) {
            return;
        }
        SiteTemplate& site = sites_[row];
        view_.setStatus(l.progressBefore + site.WebName + l.progressAfter);

        if (pool && pool->requested(row)) {
            std::optional<FinishedRow> done = pool->take(row);
            if (!done) {
                return;  // stopped before the row's request began
            }
            AccountReport& report = reports_[row];
            done->requestMessages.showAll(messages_);
            if (done->sent && done->cookie != site.Cookie) {
                report.renewedCookie = done->cookie;
            }
            site.Cookie = std::move(done->cookie);
            if (!site.Headers.empty()) {
                site.Headers = std::move(done->headers);
            }
            view_.setCell(row, kColumnResult, done->listText);
            done->verdictMessages.showAll(ruleMessages);
            report.verdict = std::move(done->verdict);
            report.status = done->status;
            report.ms = done->ms;
            view_.setVerdict(row, report.verdict);
        } else if (!pool && view_.cell(row, kColumnAccount) == l.requested) {
            AccountAnswer outcome = requestAccount(accountRequestFor(site), messages_);
            AccountReport& report = reports_[row];
            if (outcome.response.sent() && outcome.cookie != site.Cookie) {
                report.renewedCookie = outcome.cookie;
            }
            // The record keeps the cookie merged with what the site set, and its header lines
            // completed with the defaults, for a later pass without a reload.
            site.Cookie = std::move(outcome.cookie);
            if (!site.Headers.empty()) {
                site.Headers = std::move(outcome.headers);
            }
            view_.setCell(row, kColumnResult, outcome.listText());

            const auto own = rules_.find(site.id);
            report.verdict =
                decideVerdict(outcome, site.Weblogin,
                              own != rules_.end() ? own->second : VerdictRules{}, ruleMessages);
            report.status = outcome.response.status;
            report.ms = outcome.response.elapsedMs;
            view_.setVerdict(row, report.verdict);
        }

        if (view_.notifyChecked()) {
            const Verdict verdict = reports_[row].verdict.verdict;
            summary += verdict == Verdict::Expired  ? l.expiredMark
                       : verdict == Verdict::Failed ? l.failedMark
                                                    : Text{};
            summary += view_.cell(row, kColumnSite) + l.colon + view_.cell(row, kColumnResult) +
                       l.lineMark;
        }
    }
    if (stop.stop_requested()) {
        return;
    }

    view_.setStatus(l.finished);
    view_.holdFinishedStatus(stop);
    view_.setStatus({});
    view_.passCounts(counts());
    if (stop.stop_requested()) {
        return;
    }
    if (view_.scheduleChecked()) {
        view_.setTimerPeriod(1000);
    }
    const bool needed =
        notifyOn_ == NotifyOn::Always ||
        std::any_of(reports_.begin(), reports_.end(),
                    [](const AccountReport& report) { return report.verdict.needsAttention(); });
    if (view_.notifyChecked() && !needed) {
        pushSkipped_ = true;
    } else if (view_.notifyChecked()) {
        // One line per row; the push gives each the channel's line end and splits the summary
        // into as many requests as the service's limit needs.
        std::vector<Text> lines;
        for (std::string_view line : gbk::split(summary, l.lineMark)) {
            lines.emplace_back(line);
        }
        if (Text expiring = cookieExpiryLine(sites_, cookieDaysLeft_); !expiring.empty()) {
            lines.push_back(std::move(expiring));
        }
        const PushOutcome outcome = pushLines(lines, stop);
        if (stop.stop_requested()) {
            return;
        }
        pushOutcome_ = outcome;
        view_.pushFinished(outcome);
    }
}

PushOutcome SignInRun::pushLines(const std::vector<Text>& lines, std::stop_token stop) {
    const Literals& l = literals();
    if (channels_.empty()) {
        return pushSummary(view_.pushChannel(), l.pushTitle, lines, push_, stop);
    }
    for (const std::string& channel : channels_) {
        if (stop.stop_requested()) {
            break;
        }
        channelPushes_.push_back(
            {channel, pushSummaryTo(channel, l.pushTitle, lines, push_, channelSettings_, stop)});
    }
    if (channelPushes_.size() == 1) {
        return channelPushes_.front().outcome;
    }
    // All of them as one: the first failure's kind, every failed channel named in the words.
    PushOutcome all;
    for (const ChannelPush& push : channelPushes_) {
        all.parts += push.outcome.parts;
        all.sent += push.outcome.sent;
        all.answer = push.outcome.answer;
        if (push.outcome.ok()) {
            continue;
        }
        if (!all.error) {
            all.error.code = push.outcome.error.code;
        } else {
            all.error.message += l.listSeparator;
        }
        all.error.message += push.channel + l.colon + push.outcome.error.message;
    }
    return all;
}

std::vector<std::pair<int, Text>> renewedCookies(const SiteList& sites,
                                                 const std::vector<AccountReport>& reports) {
    std::vector<std::pair<int, Text>> renewed;
    for (std::size_t row = 0; row < reports.size() && row < sites.size(); ++row) {
        const AccountReport& report = reports[row];
        const Verdict verdict = report.verdict.verdict;
        if (report.renewedCookie && sites[row].Cid != 0 &&
            (verdict == Verdict::Success || verdict == Verdict::Already)) {
            renewed.emplace_back(sites[row].Cid, *report.renewedCookie);
        }
    }
    return renewed;
}

Text cookieExpiryLine(const SiteList& sites, const std::vector<std::optional<int>>& daysLeft) {
    static const Text kStart = utf8ToAnsi("Cookie 即将过期：");
    static const Text kSeparator = utf8ToAnsi("、");
    static const Text kToday = utf8ToAnsi("（今天）");
    static const Text kExpired = utf8ToAnsi("（已过期）");
    Text named;
    for (std::size_t row = 0; row < daysLeft.size() && row < sites.size(); ++row) {
        const std::optional<int>& days = daysLeft[row];
        if (!days || *days > kCookieWarningDays) {
            continue;
        }
        named += named.empty() ? Text{} : kSeparator;
        named += sites[row].WebName;
        named += *days < 0    ? kExpired
                 : *days == 0 ? kToday
                              : utf8ToAnsi("（" + std::to_string(*days) + " 天）");
    }
    return named.empty() ? Text{} : kStart + named;
}

std::vector<HistoryEntry> historyEntries(const Text& time, const SiteList& sites,
                                         const std::vector<AccountReport>& reports,
                                         const std::vector<Text>& results) {
    std::vector<HistoryEntry> rows;
    const std::size_t count = std::min({sites.size(), reports.size(), results.size()});
    rows.reserve(count);
    for (std::size_t row = 0; row < count; ++row) {
        const AccountReport& report = reports[row];
        rows.push_back({time, std::atoi(sites[row].id.c_str()), sites[row].Cid, sites[row].WebName,
                        Text(verdictName(report.verdict.verdict)), report.verdict.reason,
                        results[row], report.status,
                        static_cast<int>(std::min<long long>(report.ms, INT_MAX))});
    }
    return rows;
}

VerdictCounts SignInRun::counts() const {
    VerdictCounts counts{};
    for (const AccountReport& report : reports_) {
        ++counts[static_cast<std::size_t>(report.verdict.verdict)];
    }
    return counts;
}

}  // namespace vesprey
