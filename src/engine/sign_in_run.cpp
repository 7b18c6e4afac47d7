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
#include "web/cookies.h"

namespace vesprey {
namespace {

struct Literals {
    Text colon = utf8ToAnsi("：");
    Text lineMark = utf8ToAnsi("[换行符]");
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

// What a pass keeps of one account's request: no more than it shows and stores, so that finished
// rows waiting for their turn hold no answers.
struct FinishedRow {
    AccountReport report;
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

// The site of an address as silent sites are counted by: the host and port between "//" and the
// path, without the user and the case of its letters.
std::string siteOf(std::string_view url) {
    const std::size_t scheme = url.find("://");
    std::string_view authority = url.substr(scheme == std::string_view::npos ? 0 : scheme + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
        authority.remove_prefix(at + 1);
    }
    std::string site(authority);
    std::transform(site.begin(), site.end(), site.begin(), gbk::asciiLower);
    return site;
}

// No answer at all: nothing came back from the site, not even an error status.
bool unanswered(const HttpResponse& response) {
    const HttpErrorCode code = response.error.code;
    return code == HttpErrorCode::ResolveFailed || code == HttpErrorCode::ConnectFailed ||
           code == HttpErrorCode::Timeout;
}

// The report of a requested row its 签到周期 leaves out today.
AccountReport offScheduleReport(const SiteTemplate& site) {
    AccountReport report;
    report.verdict = {Verdict::Skipped, offScheduleText()};
    report.listText = offScheduleText();
    report.cookie = site.Cookie;
    report.headers = site.Headers;
    return report;
}

// By row: whether the pass requests it, its list row being requested and its template's
// 签到周期 signing on the plan's day.
std::vector<bool> requestedRows(const PassPlan& plan) {
    std::vector<bool> requested(plan.rows.size());
    std::optional<std::chrono::sys_days> today = plan.today;
    for (std::size_t row = 0; row < plan.rows.size(); ++row) {
        const PassRow& planned = plan.rows[row];
        requested[row] = planned.requested;
        const auto schedule = plan.schedules.find(planned.site.id);
        if (planned.requested && schedule != plan.schedules.end()) {
            if (!today) {
                today = localToday();
            }
            requested[row] = scheduledOn(schedule->second, *today);
        }
    }
    return requested;
}

// The report of a row the pass did not finish because it was stopped.
AccountReport stoppedReport(const SiteTemplate& site) {
    AccountReport report;
    report.listText = stoppedRowText();
    report.cookie = site.Cookie;
    report.headers = site.Headers;
    report.stopped = true;
    return report;
}

// The requests of a pass: with one job each requested row is requested when the pass takes it,
// on the pass's own thread. With more, a fixed set of threads takes the requested rows, the
// lowest row that may go first, a row only when the row before it of the same host is done, and
// the pass takes the finished rows in list order. Destroying the pool stops it from starting
// more rows and waits for the requests under way (each ends within the request's own bound).
class RequestPool {
public:
    // `requested`: by row, whether the pass requests it (its list row is, and its 签到周期 has
    // today).
    RequestPool(const PassPlan& plan, std::vector<bool> requested, std::stop_token passStop)
        : plan_(plan),
          requested_(std::move(requested)),
          began_(plan.rows.size()),
          finished_(plan.rows.size()),
          budget_(std::make_shared<AnswerBudget>(plan.answerBudgetBytes)),
          requestStop_(passStop),
          forwardStop_(std::move(passStop), StopForward{this}) {
        if (plan.jobs <= 1) {
            return;
        }
        // The requested rows of each host, in list order.
        std::map<std::string, std::size_t> chainOfHost;
        for (std::size_t row = 0; row < plan.rows.size(); ++row) {
            if (!requested_[row]) {
                continue;
            }
            const auto [at, added] =
                chainOfHost.try_emplace(hostOf(plan.rows[row].site.WebLink), chains_.size());
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
        const std::size_t threads = std::min(static_cast<std::size_t>(plan.jobs), chains_.size());
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

    // The requested row's request; nothing when the pass was stopped before the row's request
    // began (a request under way is waited for, as the pass of one account at a time finishes
    // its row).
    std::optional<FinishedRow> take(std::size_t row) {
        std::unique_lock lock(mutex_);
        if (threads_.empty()) {
            // One job, or no thread could be started: the rows go one at a time on this one.
            if (stopping_) {
                return std::nullopt;
            }
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

    // One account's request and verdict, or its failure without a request when its site has
    // not answered the last kSilentSiteLimit requests. Reads only the plan, which no one changes
    // during the pass.
    FinishedRow requestRow(std::size_t row) {
        const SiteTemplate& site = plan_.rows[row].site;
        if (plan_.rows[row].flow) {
            return runFlowRow(site, *plan_.rows[row].flow);
        }
        const std::string siteName = siteOf(site.WebLink);
        FinishedRow done;
        AccountReport& report = done.report;
        if (siteIsSilent(siteName)) {
            report = silentReport(site);
            return done;
        }
        AccountRequest request = accountRequestFor(site);
        request.proxy = proxyFor(site);
        request.verifyTls = plan_.strictTls;
        request.deadlineMs = plan_.requestDeadlineMs;
        request.stop = requestStop_;
        request.answerBudget = budget_;
        AccountAnswer outcome = requestAccount(request, done.requestMessages);
        if (outcome.response.error.code == HttpErrorCode::Stopped) {
            done = FinishedRow{};
            done.report = stoppedReport(site);
            return done;
        }
        {
            std::lock_guard lock(silentMutex_);
            int& silent = silentInARow_[siteName];
            silent = unanswered(outcome.response) ? silent + 1 : 0;
        }
        report.listText = outcome.listText();
        const auto own = plan_.rules.find(site.id);
        report.verdict = decideVerdict(outcome, site.Weblogin,
                                       own != plan_.rules.end() ? own->second : VerdictRules{},
                                       done.verdictMessages);
        report.status = outcome.response.status;
        report.ms = outcome.response.elapsedMs;
        report.steps = 1;
        report.cookieRenewed = outcome.response.sent() && outcome.cookie != site.Cookie;
        for (const Text& refused : outcome.response.refusedCookies) {
            report.refusedCookies.push_back(cookieName(refused));
        }
        report.cookie = std::move(outcome.cookie);
        report.headers = std::move(outcome.headers);
        return done;
    }

    // The template's own proxy, else the pass's.
    const std::string& proxyFor(const SiteTemplate& site) const {
        const auto own = plan_.templateProxies.find(site.id);
        return own != plan_.templateProxies.end() && !own->second.empty() ? own->second
                                                                          : plan_.proxy;
    }

    bool siteIsSilent(const std::string& siteName) {
        std::lock_guard lock(silentMutex_);
        return silentInARow_[siteName] >= kSilentSiteLimit;
    }

    // The report of a row whose site has not answered the last kSilentSiteLimit requests.
    static AccountReport silentReport(const SiteTemplate& site) {
        AccountReport report;
        report.verdict = {Verdict::Failed, silentSiteText()};
        report.listText = silentSiteText();
        report.cookie = site.Cookie;
        report.headers = site.Headers;
        return report;
    }

    // A multi-step template's run, counted for silent sites by whether its requests got answers.
    FinishedRow runFlowRow(const SiteTemplate& site, const FlowAccount& account) {
        const std::string siteName = siteOf(site.WebLink);
        FinishedRow done;
        AccountReport& report = done.report;
        if (siteIsSilent(siteName)) {
            report = silentReport(site);
            return done;
        }
        FlowRunSettings settings;
        settings.strictTls = plan_.strictTls;
        settings.requestDeadlineMs = plan_.requestDeadlineMs;
        settings.stop = requestStop_;
        settings.answerBudget = budget_;
        settings.proxy = proxyFor(site);
        settings.now = plan_.flowNow;
        FlowAccountRun run = runFlowAccount(site, account, settings, done.verdictMessages);
        if (run.stopped) {
            done = FinishedRow{};
            done.report = stoppedReport(site);
            return done;
        }
        if (run.result.stepsRun > 0) {
            std::lock_guard lock(silentMutex_);
            int& silent = silentInARow_[siteName];
            const bool noAnswer =
                run.result.transportFailure && run.result.transportFailure->noAnswer;
            silent = noAnswer ? silent + 1 : 0;
        }
        const auto own = plan_.rules.find(site.id);
        report.verdict = decideFlowVerdict(run.outcome, site.Weblogin,
                                           own != plan_.rules.end() ? own->second : VerdictRules{},
                                           done.verdictMessages);
        report.listText = std::move(run.listText);
        report.status = run.result.lastStatus;
        report.ms = run.ms;
        report.steps = run.result.stepsRun;
        report.cookieRenewed = run.cookie != site.Cookie;
        report.cookie = std::move(run.cookie);
        report.headers = site.Headers;
        if (plan_.relogin && report.verdict.verdict == Verdict::Expired && canLogIn(account)) {
            relogin(site, account, settings, done);
        }
        return done;
    }

    // An expired account's login part, then its sign-in once more with the cookie the login
    // gave. The report says what came of it; a login that fails leaves the expired verdict.
    void relogin(const SiteTemplate& site, const FlowAccount& account,
                 const FlowRunSettings& settings, FinishedRow& done) {
        AccountReport& report = done.report;
        FlowLoginRun login = runFlowLogin(site, account, settings);
        report.steps += login.steps;
        report.ms += login.ms;
        if (login.stopped) {
            done = FinishedRow{};
            done.report = stoppedReport(site);
            return;
        }
        if (!login.passed) {
            report.listText =
                gbk::shortened(reloginFailedText() + login.message, kMaxResultCharacters);
            return;
        }
        SiteTemplate loggedIn = site;
        loggedIn.Cookie = login.cookie;
        HeldMessages messages;
        FlowAccountRun again = runFlowAccount(loggedIn, account, settings, messages);
        report.steps += again.result.stepsRun;
        report.ms += again.ms;
        if (again.stopped) {
            done = FinishedRow{};
            done.report = stoppedReport(site);
            return;
        }
        const auto own = plan_.rules.find(site.id);
        report.verdict =
            decideFlowVerdict(again.outcome, site.Weblogin,
                              own != plan_.rules.end() ? own->second : VerdictRules{}, messages);
        done.verdictMessages.held.insert(done.verdictMessages.held.end(), messages.held.begin(),
                                         messages.held.end());
        report.status = again.result.lastStatus;
        const Verdict verdict = report.verdict.verdict;
        if (verdict == Verdict::Success || verdict == Verdict::Already) {
            report.listText = gbk::shortened(reloggedText() + utf8ToAnsi("：") + again.listText,
                                             kMaxResultCharacters);
            report.cookie = std::move(again.cookie);
            report.cookieRenewed = report.cookie != site.Cookie;
            report.relogged = true;
        } else {
            report.listText = gbk::shortened(
                utf8ToAnsi("Cookie 失效，已重新登录，但签到仍未成功：") + again.listText,
                kMaxResultCharacters);
        }
    }

    const PassPlan& plan_;
    std::vector<bool> requested_;
    std::vector<std::vector<std::size_t>> chains_;         // rows of one host, in list order
    std::vector<std::size_t> nextInChain_;                 // the chain's row under way or next
    std::set<std::pair<std::size_t, std::size_t>> ready_;  // (row, chain) that may go now
    std::size_t total_ = 0;                                // requested rows
    std::size_t started_ = 0;                              // of them handed to a thread
    std::vector<bool> began_;                              // by row: its request has begun
    std::vector<std::optional<FinishedRow>> finished_;     // by row, until the pass takes it
    std::shared_ptr<AnswerBudget> budget_;                 // the answers' bytes under way
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    std::mutex silentMutex_;
    std::map<std::string, int> silentInARow_;      // by site: its requests in a row without answer
    std::stop_token requestStop_;                  // the pass's stop, for the requests under way
    std::stop_callback<StopForward> forwardStop_;  // the pass's stop stops the pool too
    std::vector<std::thread> threads_;
};

}  // namespace

const Text& silentSiteText() {
    static const Text text = utf8ToAnsi("同一网站前 " + std::to_string(kSilentSiteLimit) +
                                        " 个账号都没有回应，本次跳过");
    return text;
}

const Text& stoppedRowText() {
    static const Text text = utf8ToAnsi("已停止");
    return text;
}

SignInRun::SignInRun(const PassPlan& plan, PassObserver& observer, MessageSink& messages)
    : plan_(plan), observer_(observer), messages_(messages) {}

PassResult SignInRun::run(std::stop_token stop) {
    const Literals& l = literals();
    PassSwitches& switches = *plan_.switches;
    Text summary;
    const std::size_t count = plan_.rows.size();
    PassResult result;
    result.reports.assign(count, AccountReport{});
    result.stopped = true;  // until the end is reached
    OnceEachSink ruleMessages(messages_);
    // With several jobs the requests start at once; the rows are then taken in their turn below.
    const std::vector<bool> requested = requestedRows(plan_);
    std::optional<RequestPool> pool;
    if (!stop.stop_requested()) {
        pool.emplace(plan_, requested, stop);
    }
    for (std::size_t row = 0; row < count; ++row) {
        const PassRow& planned = plan_.rows[row];
        AccountReport& report = result.reports[row];
        // Before a stop a row's turn is shown while its request goes. After it the rows whose
        // requests ended are still taken, in list order, and the other requested rows are
        // stopped.
        const bool afterStop = stop.stop_requested();
        if (afterStop && !requested[row]) {
            continue;  // its turn never came
        }
        if (!afterStop) {
            observer_.rowStarted(row, planned);
        }
        std::optional<FinishedRow> done;
        if (requested[row] && pool) {
            done = pool->take(row);
        }
        if (requested[row] && (!done || done->report.stopped)) {
            report = stoppedReport(planned.site);
            observer_.rowFinished(row, report);
            continue;
        }
        if (afterStop) {
            observer_.rowStarted(row, planned);
        }
        if (requested[row]) {
            done->requestMessages.showAll(messages_);
            report = std::move(done->report);
            // The verdict's messages come after the row's result, as the list shows them.
            observer_.rowFinished(row, report);
            done->verdictMessages.showAll(ruleMessages);
        } else {
            if (planned.requested) {
                report = offScheduleReport(planned.site);
            }
            observer_.rowFinished(row, report);
        }

        if (switches.notify()) {
            const Verdict verdict = report.verdict.verdict;
            summary += verdict == Verdict::Expired  ? l.expiredMark
                       : verdict == Verdict::Failed ? l.failedMark
                                                    : Text{};
            // A failed or expired row without a result says why instead.
            const bool explained = report.listText.empty() && report.verdict.needsAttention();
            summary += planned.site.WebName + l.colon +
                       (explained ? report.verdict.reason : report.listText) + l.lineMark;
        }
    }
    pool.reset();
    if (stop.stop_requested()) {
        return result;
    }

    observer_.passFinished(result.counts(), stop);
    if (stop.stop_requested()) {
        return result;
    }
    result.stopped = false;
    const bool streak = plan_.notifyOn == NotifyOn::Failure && plan_.failureStreak > 0;
    const Text streakLine = streak ? failureStreakLine(plan_, result.reports) : Text{};
    const bool needed = plan_.notifyOn == NotifyOn::Always || (streak && !streakLine.empty()) ||
                        (!streak && std::any_of(result.reports.begin(), result.reports.end(),
                                                [](const AccountReport& report) {
                                                    return report.verdict.needsAttention();
                                                }));
    if (switches.notify() && !needed) {
        result.pushSkipped = true;
    } else if (switches.notify()) {
        // One line per row; the push gives each the channel's line end and splits the summary
        // into as many requests as the service's limit needs.
        std::vector<Text> lines;
        if (!plan_.pushOpening.empty()) {
            lines.push_back(plan_.pushOpening);
        }
        if (!streakLine.empty()) {
            lines.push_back(streakLine);
        }
        for (std::string_view line : gbk::split(summary, l.lineMark)) {
            lines.emplace_back(line);
        }
        if (Text expiring = cookieExpiryLine(plan_.rows, plan_.cookieDaysLeft); !expiring.empty()) {
            lines.push_back(std::move(expiring));
        }
        PushOutcome outcome = pushLines(lines, result, stop);
        if (stop.stop_requested()) {
            result.stopped = true;
            return result;
        }
        result.push = std::move(outcome);
        observer_.pushFinished(*result.push);
    }
    return result;
}

PushOutcome SignInRun::pushLines(const std::vector<Text>& lines, PassResult& result,
                                 std::stop_token stop) const {
    const Literals& l = literals();
    PushEnvironment environment = plan_.pushEnvironment;
    if (plan_.pushUsesProxy) {
        environment.proxy = plan_.proxy;
    }
    if (plan_.channels.empty()) {
        return pushSummaryTo(pushChannelOfRow(plan_.switches->channel()), l.pushTitle, lines,
                             plan_.keys, plan_.channelSettings, environment, stop);
    }
    std::vector<ChannelPush>& pushes = result.channelPushes;
    for (const std::string& channel : plan_.channels) {
        if (stop.stop_requested()) {
            break;
        }
        pushes.push_back({channel, pushSummaryTo(channel, l.pushTitle, lines, plan_.keys,
                                                 plan_.channelSettings, environment, stop)});
    }
    if (pushes.size() == 1) {
        return pushes.front().outcome;
    }
    // All of them as one: the first failure's kind, every failed channel named in the words.
    PushOutcome all;
    for (const ChannelPush& push : pushes) {
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

std::vector<std::pair<int, Text>> renewedCookies(const std::vector<PassRow>& rows,
                                                 const std::vector<AccountReport>& reports) {
    std::vector<std::pair<int, Text>> renewed;
    for (std::size_t row = 0; row < reports.size() && row < rows.size(); ++row) {
        const AccountReport& report = reports[row];
        const Verdict verdict = report.verdict.verdict;
        if (report.cookieRenewed && !report.relogged && rows[row].site.Cid != 0 &&
            (verdict == Verdict::Success || verdict == Verdict::Already)) {
            renewed.emplace_back(rows[row].site.Cid, report.cookie);
        }
    }
    return renewed;
}

std::vector<std::pair<int, Text>> reloggedCookies(const std::vector<PassRow>& rows,
                                                  const std::vector<AccountReport>& reports) {
    std::vector<std::pair<int, Text>> relogged;
    for (std::size_t row = 0; row < reports.size() && row < rows.size(); ++row) {
        if (reports[row].relogged && rows[row].site.Cid != 0) {
            relogged.emplace_back(rows[row].site.Cid, reports[row].cookie);
        }
    }
    return relogged;
}

const Text& reloggedText() {
    static const Text text = utf8ToAnsi("Cookie 失效，已重新登录并签到成功");
    return text;
}

const Text& reloginFailedText() {
    static const Text text = utf8ToAnsi("重新登录失败：");
    return text;
}

Text cookieExpiryLine(const std::vector<PassRow>& rows,
                      const std::vector<std::optional<int>>& daysLeft) {
    static const Text kStart = utf8ToAnsi("Cookie 即将过期：");
    static const Text kSeparator = utf8ToAnsi("、");
    static const Text kToday = utf8ToAnsi("（今天）");
    static const Text kExpired = utf8ToAnsi("（已过期）");
    Text named;
    for (std::size_t row = 0; row < daysLeft.size() && row < rows.size(); ++row) {
        const std::optional<int>& days = daysLeft[row];
        if (!days || *days > kCookieWarningDays) {
            continue;
        }
        named += named.empty() ? Text{} : kSeparator;
        named += rows[row].site.WebName;
        named += *days < 0    ? kExpired
                 : *days == 0 ? kToday
                              : utf8ToAnsi("（" + std::to_string(*days) + " 天）");
    }
    return named.empty() ? Text{} : kStart + named;
}

Text failureStreakLine(const PassPlan& plan, const std::vector<AccountReport>& reports) {
    static const Text kStart = utf8ToAnsi("推送原因：");
    static const Text kSeparator = utf8ToAnsi("、");
    static const Text kAlso = utf8ToAnsi("；");
    static const Text kCookies = utf8ToAnsi("Cookie 即将过期");
    const int streak = std::max(plan.failureStreak, 1);
    Text named;
    for (std::size_t row = 0; row < reports.size() && row < plan.rows.size(); ++row) {
        const int before = row < plan.failuresBefore.size() ? plan.failuresBefore[row] : 0;
        if (plan.rows[row].requested && reports[row].verdict.needsAttention() &&
            before + 1 >= streak) {
            named += (named.empty() ? Text{} : kSeparator) + plan.rows[row].site.WebName;
        }
    }
    if (!named.empty()) {
        named += utf8ToAnsi(streak > 1 ? "连续 " + std::to_string(streak) + " 次失效或失败"
                                       : "失效或失败");
    }
    const bool expiring = !cookieExpiryLine(plan.rows, plan.cookieDaysLeft).empty();
    if (named.empty() && !expiring) {
        return {};
    }
    return kStart + named + (expiring ? (named.empty() ? Text{} : kAlso) + kCookies : Text{});
}

std::vector<HistoryEntry> historyEntries(const Text& time, const std::vector<PassRow>& rows,
                                         const std::vector<AccountReport>& reports) {
    std::vector<HistoryEntry> entries;
    const std::size_t count = std::min(rows.size(), reports.size());
    entries.reserve(count);
    for (std::size_t row = 0; row < count; ++row) {
        const AccountReport& report = reports[row];
        const SiteTemplate& site = rows[row].site;
        entries.push_back({time, site.id, site.Cid, site.WebName,
                           Text(verdictName(report.verdict.verdict)), report.verdict.reason,
                           report.listText, report.status,
                           static_cast<int>(std::min<long long>(report.ms, INT_MAX))});
    }
    return entries;
}

VerdictCounts PassResult::counts() const {
    VerdictCounts counts{};
    for (const AccountReport& report : reports) {
        ++counts[static_cast<std::size_t>(report.verdict.verdict)];
    }
    return counts;
}

}  // namespace vesprey
