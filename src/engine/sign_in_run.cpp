#include "engine/sign_in_run.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <random>
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
    bool passing = false;          // failed for a reason that may pass (passingFailure)
    std::optional<std::chrono::milliseconds> retryAfter;  // the site's Retry-After
    std::chrono::steady_clock::time_point ended;          // when the request ended
};

using Clock = std::chrono::steady_clock;

// The real clock: waits on a condition that only a stop request ends.
class SystemPassClock final : public PassClock {
public:
    Clock::time_point now() override { return Clock::now(); }
    std::chrono::system_clock::time_point calendarNow() override {
        return std::chrono::system_clock::now();
    }
    bool wait(std::chrono::milliseconds span, std::stop_token stop) override {
        std::mutex mutex;
        std::condition_variable_any never;
        std::unique_lock lock(mutex);
        never.wait_for(lock, stop, span, [] { return false; });
        return !stop.stop_requested();
    }
};

// The real clock, its waits shortened.
class ShortenedPassClock final : public PassClock {
public:
    explicit ShortenedPassClock(long divisor) : divisor_(std::max(divisor, 1L)) {}
    Clock::time_point now() override { return Clock::now(); }
    std::chrono::system_clock::time_point calendarNow() override {
        return std::chrono::system_clock::now();
    }
    bool wait(std::chrono::milliseconds span, std::stop_token stop) override {
        return systemPassClock()->wait(span / divisor_, std::move(stop));
    }

private:
    long divisor_;
};

// Waits until `at` by the plan's clock; false when the stop came first.
bool waitUntil(PassClock& clock, Clock::time_point at, std::stop_token stop) {
    if (stop.stop_requested()) {
        return false;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(at - clock.now());
    return left.count() <= 0 ? true : clock.wait(left, std::move(stop));
}

// A transport failure that may pass: nothing came back, or the connection broke first.
bool passingTransportError(HttpErrorCode code) {
    switch (code) {
        case HttpErrorCode::ResolveFailed:
        case HttpErrorCode::ConnectFailed:
        case HttpErrorCode::Timeout:
        case HttpErrorCode::SlowAnswer:
        case HttpErrorCode::SecureConnection:
        case HttpErrorCode::ConnectionLost:
            return true;
        default:
            return false;
    }
}

bool passingStatus(int status) {
    return status >= 500 || status == 429;
}

// The header lines of a flow's last answer as one text, for retryAfterOf.
std::string joinedHeaders(const flow::HeaderLines& lines) {
    std::string joined;
    for (const auto& [name, value] : lines) {
        joined += name + ": " + value + "\r\n";
    }
    return joined;
}

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
            if (added) {
                chainHost_.push_back(at->first);
            }
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
            return requestSpaced(row);
        }
        changed_.wait(lock, [&] { return finished_[row] || (stopping_ && !began_[row]); });
        std::optional<FinishedRow> taken = std::move(finished_[row]);
        finished_[row].reset();
        return taken;
    }

    // A retry of the row, on the caller's thread after every row was taken; nothing when the pass
    // was stopped first.
    std::optional<FinishedRow> retry(std::size_t row) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_) {
                return std::nullopt;
            }
        }
        return requestSpaced(row);
    }

    // A new round of retries counts its sites' silence anew.
    void forgetSilentSites() {
        std::lock_guard lock(silentMutex_);
        silentInARow_.clear();
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
            // The lowest row whose host may be asked now; when every host still has a gap to
            // wait, the one free soonest, waited for here.
            auto pick = ready_.begin();
            Clock::duration gapLeft{};
            if (spaced()) {
                const Clock::time_point now = plan_.clock->now();
                for (auto it = ready_.begin(); it != ready_.end(); ++it) {
                    if (hostFreeAt(chainHost_[it->second]) <= now) {
                        pick = it;
                        break;
                    }
                    if (hostFreeAt(chainHost_[it->second]) < hostFreeAt(chainHost_[pick->second])) {
                        pick = it;
                    }
                }
                gapLeft = std::max(hostFreeAt(chainHost_[pick->second]) - now, Clock::duration{});
            }
            const auto [row, chain] = *pick;
            ready_.erase(pick);
            ++started_;
            began_[row] = true;
            lock.unlock();
            FinishedRow done;
            if (gapLeft > Clock::duration{} &&
                !plan_.clock->wait(std::chrono::ceil<std::chrono::milliseconds>(gapLeft),
                                   requestStop_)) {
                done.report = stoppedReport(plan_.rows[row].site);
            } else {
                done = requestRow(row);
            }
            lock.lock();
            if (spaced()) {
                hostFree_[chainHost_[chain]] = plan_.clock->now() + drawGap();
            }
            finished_[row] = std::move(done);
            // The host's next row may go now; this thread takes it itself when it is the lowest,
            // keeping the host's connection.
            if (++nextInChain_[chain] < chains_[chain].size()) {
                ready_.emplace(chains_[chain][nextInChain_[chain]], chain);
            }
            changed_.notify_all();
        }
    }

    bool spaced() const { return plan_.gapMaxMs > 0; }

    // When the host may be asked again; mutex_ held.
    Clock::time_point hostFreeAt(const std::string& host) const {
        const auto free = hostFree_.find(host);
        return free != hostFree_.end() ? free->second : Clock::time_point{};
    }

    // A gap between two requests to one host, drawn from the plan's range.
    Clock::duration drawGap() const {
        const long long low = std::clamp<long long>(plan_.gapMinMs, 0, kMaxGapMs);
        const long long high = std::clamp<long long>(plan_.gapMaxMs, low, kMaxGapMs);
        const double random = std::clamp(plan_.random(), 0.0, 1.0);
        return std::chrono::milliseconds(
            low + static_cast<long long>(static_cast<double>(high - low) * random));
    }

    // The row's request on the caller's thread, after the gap its host still has to wait.
    std::optional<FinishedRow> requestSpaced(std::size_t row) {
        if (!spaced()) {
            return requestRow(row);
        }
        const std::string host = hostOf(plan_.rows[row].site.WebLink);
        Clock::time_point freeAt;
        {
            std::lock_guard lock(mutex_);
            freeAt = hostFreeAt(host);
        }
        if (!waitUntil(*plan_.clock, freeAt, requestStop_)) {
            return std::nullopt;
        }
        FinishedRow done = requestRow(row);
        std::lock_guard lock(mutex_);
        hostFree_[host] = plan_.clock->now() + drawGap();
        return done;
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
            done.passing = true;
            done.ended = plan_.clock->now();
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
        if (plan_.retries > 0) {
            done.passing = passingFailure(outcome, report.verdict);
            if (done.passing && outcome.response.answered()) {
                done.retryAfter =
                    retryAfterOf(outcome.response.headers, plan_.clock->calendarNow());
            }
        }
        done.ended = plan_.clock->now();
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
            done.passing = true;
            done.ended = plan_.clock->now();
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
        if (plan_.retries > 0 && report.verdict.verdict == Verdict::Failed) {
            const bool unanswered = run.result.transportFailure.has_value();
            done.passing = unanswered || passingStatus(run.result.lastStatus);
            if (done.passing && !unanswered) {
                done.retryAfter =
                    retryAfterOf(joinedHeaders(run.result.lastHeaders), plan_.clock->calendarNow());
            }
        }
        done.ended = plan_.clock->now();
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
    std::vector<std::string> chainHost_;                   // by chain: its host
    std::map<std::string, Clock::time_point> hostFree_;    // by host: when its gap is over
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

std::shared_ptr<PassClock> systemPassClock() {
    static const std::shared_ptr<PassClock> clock = std::make_shared<SystemPassClock>();
    return clock;
}

std::shared_ptr<PassClock> shortenedPassClock(long divisor) {
    return std::make_shared<ShortenedPassClock>(divisor);
}

PassRandom systemPassRandom() {
    struct Source {
        std::mutex mutex;
        std::mt19937_64 engine{std::random_device{}()};
    };
    auto source = std::make_shared<Source>();
    return [source] {
        std::lock_guard lock(source->mutex);
        return std::uniform_real_distribution<double>(0.0, 1.0)(source->engine);
    };
}

std::chrono::milliseconds retryWait(int retry, double random,
                                    std::optional<std::chrono::milliseconds> retryAfter) {
    constexpr int kWaits = static_cast<int>(std::size(kRetryWaits));
    std::chrono::milliseconds base = kRetryWaits[std::clamp(retry, 1, kWaits) - 1];
    if (retryAfter) {
        base = std::max(base, std::min<std::chrono::milliseconds>(*retryAfter, kMaxRetryAfter));
    }
    const double stretch = 1.0 + kRetryJitter * std::clamp(random, 0.0, 1.0);
    return std::chrono::milliseconds(
        static_cast<long long>(static_cast<double>(base.count()) * stretch));
}

namespace {

// The IMF-fixdate "Sun, 06 Nov 1994 08:49:37 GMT" as a time; nothing for another text.
std::optional<std::chrono::system_clock::time_point> httpDate(std::string_view text) {
    static constexpr std::string_view kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                                   "jul", "aug", "sep", "oct", "nov", "dec"};
    const std::size_t comma = text.find(',');
    if (comma == std::string_view::npos) {
        return std::nullopt;
    }
    text.remove_prefix(comma + 1);
    auto number = [&](int& into) {
        while (!text.empty() && (text.front() == ' ' || text.front() == ':')) {
            text.remove_prefix(1);
        }
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), into);
        text.remove_prefix(static_cast<std::size_t>(end - text.data()));
        return error == std::errc{};
    };
    int day = 0;
    int year = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    if (!number(day)) {
        return std::nullopt;
    }
    while (!text.empty() && text.front() == ' ') {
        text.remove_prefix(1);
    }
    std::string month(text.substr(0, 3));
    std::transform(month.begin(), month.end(), month.begin(), gbk::asciiLower);
    const auto found = std::find(std::begin(kMonths), std::end(kMonths), month);
    if (found == std::end(kMonths) || text.size() < 3) {
        return std::nullopt;
    }
    text.remove_prefix(3);
    if (!number(year) || !number(hour) || !number(minute) || !number(second)) {
        return std::nullopt;
    }
    const std::chrono::year_month_day date{
        std::chrono::year(year),
        std::chrono::month(static_cast<unsigned>(found - std::begin(kMonths) + 1)),
        std::chrono::day(static_cast<unsigned>(day))};
    if (!date.ok() || hour > 23 || minute > 59 || second > 60) {
        return std::nullopt;
    }
    return std::chrono::sys_days(date) + std::chrono::hours(hour) + std::chrono::minutes(minute) +
           std::chrono::seconds(second);
}

}  // namespace

std::optional<std::chrono::milliseconds> retryAfterOf(std::string_view headerLines,
                                                      std::chrono::system_clock::time_point now) {
    constexpr std::string_view kName = "retry-after:";
    while (!headerLines.empty()) {
        const std::size_t end = std::min(headerLines.find('\n'), headerLines.size());
        std::string_view line = headerLines.substr(0, end);
        headerLines.remove_prefix(std::min(end + 1, headerLines.size()));
        if (line.size() < kName.size() ||
            !std::equal(kName.begin(), kName.end(), line.begin(),
                        [](char a, char b) { return a == gbk::asciiLower(b); })) {
            continue;
        }
        line.remove_prefix(kName.size());
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
            line.remove_prefix(1);
        }
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
            line.remove_suffix(1);
        }
        std::chrono::milliseconds after{};
        long long seconds = 0;
        const auto [at, error] = std::from_chars(line.data(), line.data() + line.size(), seconds);
        if (!line.empty() && error == std::errc{} && at == line.data() + line.size()) {
            after = std::chrono::seconds(std::clamp<long long>(seconds, 0, 24LL * 3600));
        } else if (const auto date = httpDate(line)) {
            after = std::chrono::duration_cast<std::chrono::milliseconds>(*date - now);
        } else {
            return std::nullopt;
        }
        return std::clamp<std::chrono::milliseconds>(after, std::chrono::milliseconds{},
                                                     kMaxRetryAfter);
    }
    return std::nullopt;
}

Text retriedText(int retries, Verdict verdict) {
    return utf8ToAnsi("重试 " + std::to_string(retries) + " 次后") + verdictCaption(verdict);
}

bool passingFailure(const AccountAnswer& outcome, const AccountVerdict& verdict) {
    const HttpResponse& response = outcome.response;
    if (!response.answered()) {
        return passingTransportError(response.error.code);
    }
    // Of the verdicts of an answer only rule 7 fails one; 429 is left unknown by the rules.
    return (verdict.verdict == Verdict::Failed && response.status >= 500) ||
           (verdict.verdict == Verdict::Unknown && response.status == 429);
}

PassResult SignInRun::run(std::stop_token stop) {
    const Literals& l = literals();
    PassSwitches& switches = *plan_.switches;
    const std::size_t count = plan_.rows.size();
    PassResult result;
    result.reports.assign(count, AccountReport{});
    result.stopped = true;  // until the end is reached
    OnceEachSink ruleMessages(messages_);
    // Each row's part of the summary, when the summary was asked for at its turn.
    std::vector<std::optional<Text>> summaryParts(count);
    auto summaryPart = [&](std::size_t row) {
        const AccountReport& report = result.reports[row];
        const Verdict verdict = report.verdict.verdict;
        Text part = verdict == Verdict::Expired  ? l.expiredMark
                    : verdict == Verdict::Failed ? l.failedMark
                                                 : Text{};
        // A failed or expired row without a result says why instead.
        const bool explained = report.listText.empty() && report.verdict.needsAttention();
        part += plan_.rows[row].site.WebName + l.colon +
                (explained ? report.verdict.reason : report.listText) + l.lineMark;
        return part;
    };
    // The rows due for a retry: when their last try ended and the site's Retry-After.
    struct DueRetry {
        std::size_t row;
        Clock::time_point ended;
        std::optional<std::chrono::milliseconds> retryAfter;
    };
    std::vector<DueRetry> due;
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
            report.tries = 1;
            if (plan_.retries > 0 && done->passing) {
                report.retryDue = true;
                due.push_back({row, done->ended, done->retryAfter});
            }
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
            summaryParts[row] = summaryPart(row);
        }
    }

    // The retries, round after round; each retried row's last report is told, in list order,
    // as soon as it and the retried rows before it have theirs.
    std::vector<std::size_t> retried;
    for (const DueRetry& entry : due) {
        retried.push_back(entry.row);
    }
    std::size_t told = 0;
    auto finish = [&](std::size_t row) {
        AccountReport& report = result.reports[row];
        report.retryDue = false;
        if (report.tries > 1) {
            const Text note = retriedText(report.tries - 1, report.verdict.verdict);
            report.listText = report.listText.empty() ? note : note + l.colon + report.listText;
        }
        while (told < retried.size() && !result.reports[retried[told]].retryDue) {
            const std::size_t next = retried[told++];
            observer_.rowFinished(next, result.reports[next]);
            if (summaryParts[next] || switches.notify()) {
                summaryParts[next] = summaryPart(next);
            }
        }
    };
    for (int retry = 1; retry <= plan_.retries && !due.empty() && pool; ++retry) {
        pool->forgetSilentSites();
        std::vector<std::pair<Clock::time_point, DueRetry>> order;
        for (const DueRetry& entry : due) {
            const auto wait = retryWait(retry, plan_.random(), entry.retryAfter);
            order.emplace_back(entry.ended + wait, entry);
        }
        std::stable_sort(order.begin(), order.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        observer_.retriesDue(retry, order.size(),
                             std::max(std::chrono::ceil<std::chrono::milliseconds>(
                                          order.front().first - plan_.clock->now()),
                                      std::chrono::milliseconds{}));
        std::vector<DueRetry> again;
        for (const auto& [at, entry] : order) {
            std::optional<FinishedRow> done;
            if (waitUntil(*plan_.clock, at, stop)) {
                done = pool->retry(entry.row);
            }
            if (!done || done->report.stopped) {
                break;  // stopped: the row keeps the report of its last try
            }
            AccountReport& report = result.reports[entry.row];
            const int tries = report.tries + 1;
            done->requestMessages.showAll(ruleMessages);
            done->verdictMessages.showAll(ruleMessages);
            report = std::move(done->report);
            report.tries = tries;
            if (done->passing && retry < plan_.retries) {
                report.retryDue = true;
                again.push_back({entry.row, done->ended, done->retryAfter});
            } else {
                finish(entry.row);
            }
        }
        if (stop.stop_requested()) {
            break;
        }
        due = std::move(again);
    }
    // After a stop the rows still due stay as their last try left them.
    for (const std::size_t row : retried) {
        if (result.reports[row].retryDue) {
            finish(row);
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
        Text summary;
        for (const std::optional<Text>& part : summaryParts) {
            if (part) {
                summary += *part;
            }
        }
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
