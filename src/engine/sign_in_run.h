// One sign-in pass: a plan goes in (the rows of the account list, the push, the rules and the
// bounds), a request goes out per account that has a cookie, its answer is converted and
// evaluated into a short result and a verdict, and at the end the summary is pushed to the
// chosen channels. What happens is told to a PassObserver as it happens, in list order, and
// returned as a PassResult at the end.
//
// The pass knows nothing of windows or terminals: it shows no text of its own. The desktop
// window and the command line are observers that turn the events into what they show. The pass
// runs on the caller's thread (the window starts it on a worker thread of its own); the observer
// and the message sink are called on that thread only.
//
// Accounts are requested one at a time unless the plan asks for more jobs (see PassPlan::jobs);
// whatever the number, the observer, the messages and the push see the rows in list order, the
// same as one account at a time gives.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "engine/flow_account.h"
#include "engine/push.h"
#include "engine/schedule.h"
#include "engine/verdict.h"
#include "model/site.h"
#include "text/text.h"

namespace vesprey {

class MessageSink;

// How the summary's push goes.
enum class NotifyOn {
    Always,   // after every pass, as "同步通知" asks
    Failure,  // only when at least one account is expired or failed (see PassPlan::failureStreak)
};

// The most passes in a row PassPlan::failureStreak may ask for.
inline constexpr int kMaxFailureStreak = 30;

// The most accounts a pass requests at once.
inline constexpr int kMaxSignInJobs = 64;

// After this many accounts of one site in a row got no answer at all (the name did not resolve,
// the connection was refused, or it timed out before a byte came), the site's accounts not yet
// requested in the pass fail at once with silentSiteText(). "In a row" counts the site's
// requests in the order they end; any answer, even an error status, starts the count again.
// A site is the host and port of the sign-in address.
inline constexpr int kSilentSiteLimit = 3;

// "同一网站前 3 个账号都没有回应，本次跳过" (code page 936).
const Text& silentSiteText();
// "已停止" (code page 936): the text of a row the pass did not finish because it was stopped.
const Text& stoppedRowText();
// The answer bytes a pass holds at once by default (PassPlan::answerBudgetBytes): two answers of
// the body limit. While it is evaluated an answer of 64 MiB takes up to 7 times its size (the
// body, and the JSON library's bound of 384 MiB for its parse), so that a pass stays under 1 GiB
// whatever the answers and the jobs.
inline constexpr std::size_t kDefaultAnswerBudgetBytes = std::size_t{128} * 1024 * 1024;

// Retries and spacing. A requested row that failed for a passing reason (passingFailure) is
// requested again after every row of the list has had its first request, up to
// PassPlan::retries times. Before its n-th retry the row waits kRetryWaits[n-1] (the last one
// for the retries beyond) after its previous try ended, or the site's Retry-After when that is
// longer, either stretched by a random 0-30 % (kRetryJitter) so that the retries of many
// accounts do not arrive together. The rows due for a retry go one at a time on the pass's
// thread, the soonest due first. A stop request ends every wait at once.
inline constexpr int kMaxRetries = 5;
inline constexpr std::chrono::seconds kRetryWaits[] = {
    std::chrono::seconds(30), std::chrono::minutes(2), std::chrono::minutes(10)};
inline constexpr double kRetryJitter = 0.3;
// A Retry-After beyond this is taken as this: a scheduled morning pass that waits longer for a
// site is of no use, and the pass's other rows and its push wait too.
inline constexpr std::chrono::minutes kMaxRetryAfter{15};
// The longest gap between two accounts of one host (PassPlan::gapMaxMs): ten minutes.
inline constexpr long long kMaxGapMs = 10LL * 60 * 1000;

// The time a pass waits by: the waits before its retries and the gaps between accounts of one
// host. Called from any of the pass's threads. Tests give one that does not really wait.
class PassClock {
public:
    virtual ~PassClock() = default;
    virtual std::chrono::steady_clock::time_point now() = 0;
    // The calendar time, for a Retry-After given as a date.
    virtual std::chrono::system_clock::time_point calendarNow() = 0;
    // Waits `span`, ending at once when `stop` is requested; false when it was.
    virtual bool wait(std::chrono::milliseconds span, std::stop_token stop) = 0;
};
// The real clock.
std::shared_ptr<PassClock> systemPassClock();
// A random number in [0, 1), from any of the pass's threads.
using PassRandom = std::function<double()>;
// The real clock whose waits take `divisor` times less, for tests of the whole programs.
std::shared_ptr<PassClock> shortenedPassClock(long divisor);
// Random numbers seeded from the system's random device.
PassRandom systemPassRandom();

// The wait before a row's retry `retry` (1 for the first), `random` in [0, 1) giving its stretch,
// `retryAfter` the site's Retry-After when it gave one (bounded by kMaxRetryAfter).
std::chrono::milliseconds retryWait(int retry, double random,
                                    std::optional<std::chrono::milliseconds> retryAfter);
// The Retry-After of an answer's header lines (CR LF or LF between them, names in any case):
// seconds, or an HTTP date (IMF-fixdate, "Sun, 06 Nov 1994 08:49:37 GMT") less `now`, never less
// than 0 nor more than kMaxRetryAfter. Nothing without one, or when it is neither.
std::optional<std::chrono::milliseconds> retryAfterOf(std::string_view headerLines,
                                                      std::chrono::system_clock::time_point now);
// The text a row's result begins with once it was retried: "重试 2 次后成功", "重试 3 次后失败"
// (the verdict's caption; code page 936).
Text retriedText(int retries, Verdict verdict);

// What the user may change while a pass runs, read by the pass as it goes: whether the summary
// is pushed ("同步通知"), at every row and again at the end, so that switching it on half-way
// pushes a summary from the row then under way; and the one channel of the push page, at the end.
// The window sets them on its own thread as the user clicks; the command line sets them once.
class PassSwitches {
public:
    bool notify() const { return notify_.load(); }
    void setNotify(bool on) { notify_.store(on); }
    int channel() const { return channel_.load(); }  // kPushBark, kPushServerChan, kPushDingTalk
    void setChannel(int channel) { channel_.store(channel); }

private:
    std::atomic<bool> notify_{false};
    std::atomic<int> channel_{kPushBark};
};

// One row of the account list as a pass takes it.
struct PassRow {
    SiteTemplate site;
    // The list shows the account as present: its cookie was not empty when the list was loaded,
    // or, for a multi-step template, every input its flow reads has a value. Only such rows are
    // requested.
    bool requested = false;
    // A multi-step template's flow and the account's inputs; null for a one-request template.
    std::shared_ptr<const FlowAccount> flow;
};

// Everything a pass needs, decided before it starts.
struct PassPlan {
    std::vector<PassRow> rows;  // in list order
    std::shared_ptr<PassSwitches> switches = std::make_shared<PassSwitches>();
    // The channels the summary goes to, by name (pushChannels()), each with its own keys or
    // settings: the first three's from `keys`, the others' from `channelSettings`. One failing
    // does not keep the summary from the next. None: the summary goes to switches->channel().
    std::vector<std::string> channels;
    PushSettings keys;
    ChannelSettings channelSettings;
    PushEnvironment pushEnvironment;
    NotifyOn notifyOn = NotifyOn::Always;
    // The user's own first line of the pushed summary (code page 936); empty: none.
    Text pushOpening;
    // The templates' own verdict rules, by template id; without them the built-in rules alone.
    std::map<int, VerdictRules> rules;
    // Days until each row's cookie runs out, as far as the caller knows (see cookieExpiryLine):
    // the pushed summary ends with the rows that need a new login soon.
    std::vector<std::optional<int>> cookieDaysLeft;
    // Up to this many accounts (1 to kMaxSignInJobs) are requested at once, by as many threads of
    // the pass's own. Accounts whose sign-in addresses have the same host (without regard to
    // case) still go one after the other in list order. 1 requests each account in its turn on
    // the caller's thread.
    int jobs = 1;
    bool strictTls = false;      // sign-in requests check the site's certificate too
    long requestDeadlineMs = 0;  // each sign-in request's bound in all; 0: kRequestDeadlineMs
    // The answers of requests running at once hold at most this many bytes together, from the
    // first byte received until the row is evaluated (answer_budget.h): an answer waits for room
    // within its request's bound, and one that finds none fails with the reason in its row.
    std::size_t answerBudgetBytes = kDefaultAnswerBudgetBytes;

    // Failures in a row (`sign --notify-on failure:N`, "连续失败 N 次才推送"). With
    // NotifyOn::Failure and a streak N of 1 or more, the summary goes out only when some requested
    // row is expired or failed in this pass and was in each of the N - 1 passes before that
    // requested its account (failuresBefore), or when a cookie runs out within
    // kCookieWarningDays days or has run out (cookieDaysLeft); its first line (after
    // pushOpening) then says why (failureStreakLine). 0: every expired or failed row pushes.
    int failureStreak = 0;
    // Per row: how many of the passes just before this one that requested its account found it
    // expired or failed, in a row, as far as History.db tells (at most failureStreak - 1 count).
    // A row without an entry has none.
    std::vector<int> failuresBefore;
    // ----- Proxies and 签到周期
    // The proxy every sign-in request goes through (web/proxy.h); empty: none, the requests go
    // direct. A template's own proxy (templateProxies, by template id) goes in its place for its
    // accounts. A proxy that fails fails the account ("代理无法连接：…"); nothing goes direct.
    std::string proxy;
    std::map<int, std::string> templateProxies;
    // The summary's push goes through `proxy` as well (never through a template's); false: direct.
    bool pushUsesProxy = false;
    // The templates' 签到周期, by template id; a template without one is signed every day. On
    // another day its requested rows are not requested: skipped with offScheduleText().
    std::map<int, SignSchedule> schedules;
    // The day the schedules are read against; nothing: localToday() as the pass starts.
    std::optional<std::chrono::sys_days> today;
    // 失效时自动登录: a multi-step account whose verdict is expired and that can log in
    // (canLogIn) runs its template's login part, and with the cookie that gives signs in once
    // more (AccountReport::relogged).
    bool relogin = false;
    // The time the templates see (totp(), timestamp()); empty: the system clock.
    std::function<std::chrono::system_clock::time_point()> flowNow;
    // Retries and spacing (see kRetryWaits). `retries`: how many times a row that failed for a
    // passing reason is requested again, 0 (none) to kMaxRetries. Between two requests to one
    // host (sign-in addresses' hosts as for `jobs`; retries too) the pass leaves a gap, from the
    // end of one to the start of the next, drawn from gapMinMs to gapMaxMs (0 to kMaxGapMs);
    // with several jobs the other hosts go on meanwhile. Both 0: no gap.
    int retries = 0;
    long long gapMinMs = 0;
    long long gapMaxMs = 0;
    std::shared_ptr<PassClock> clock = systemPassClock();
    PassRandom random = systemPassRandom();
};

// What the pass made of one row of the list.
struct AccountReport {
    AccountVerdict verdict{Verdict::Skipped, {}};  // skipped: not requested
    // The list's 返回内容: the result, the answer when it gave none, or why no request went
    // (at most kMaxResultCharacters); empty for a row that was not requested, offScheduleText()
    // for a row its 签到周期 skipped today.
    Text listText;
    int status = 0;    // 0 without an answer (a flow's: its last answer's)
    long long ms = 0;  // the request's time (a flow's: the whole run's)
    // The requests a multi-step template's run made (its steps run, local utilities included);
    // 1 for a requested one-request template, 0 for a row not requested.
    std::size_t steps = 0;
    // A requested row's cookie merged with what the site set, and its template's header lines
    // completed with the defaults (empty when the template has none): what the next pass without
    // a reload sends.
    Text cookie;
    Text headers;
    bool cookieRenewed = false;  // the request went out and the merged cookie differs
    // The pass was stopped before the row's request was done: the verdict is Skipped and the
    // text stoppedRowText().
    bool stopped = false;
    // Names of the cookies the site set that were left out of the merge: they hold a control
    // character or bytes that are no text, and no later request could send them.
    std::vector<Text> refusedCookies;
    // The account's cookie had expired, its template's login part ran with PassPlan::relogin
    // and yielded a session cookie, and the sign-in with it went well: `cookie` is that cookie,
    // which the pass's end saves (PassSession::saveReloginCookies) whatever the user's choice of
    // saving renewed cookies.
    bool relogged = false;
    // How many times the row was requested (a flow run): 1 + its retries; 0 when not requested.
    int tries = 0;
    // The row failed for a passing reason and is requested again (PassPlan::retries): this
    // report is not its last, which comes to the observer once more (see PassObserver).
    bool retryDue = false;
};

// Whether a requested row's failure may pass, so that a retry is worth it: the site did not
// answer at all (name, connection, TLS handshake, time-out, a connection lost before an answer,
// or the row failed at once as its site's accounts got no answer), or answered HTTP 5xx or 429
// without any rule of the template or the built-in ones deciding. A flow's run: a step's request
// got no answer, or its answer was HTTP 5xx or 429. Never: an expired cookie, a flow's step
// whose checks failed on another answer, anything the rules decided.
bool passingFailure(const AccountAnswer& outcome, const AccountVerdict& verdict);

// One named channel's push of the summary.
struct ChannelPush {
    std::string channel;
    PushOutcome outcome;
};

struct PassResult {
    // One report per row, in list order; after a stop, the rows done until then (with several
    // jobs, every row whose request had ended) and stopped reports for the other requested rows.
    std::vector<AccountReport> reports;
    bool stopped = false;  // a stop request ended the pass before its end
    // The summary's push: nothing when none was asked for (or the pass was stopped first).
    // With several named channels the outcome of them all: failed when one failed, its words
    // naming each failed channel ("telegram：HTTP 401；email：无法连接").
    std::optional<PushOutcome> push;
    bool pushSkipped = false;                // NotifyOn::Failure found nothing that needs the user
    std::vector<ChannelPush> channelPushes;  // each named channel's, in the plan's order

    // How many accounts got each verdict.
    VerdictCounts counts() const;
};

// What a pass tells as it goes, in list order, on the pass's thread.
class PassObserver {
public:
    virtual ~PassObserver() = default;
    // The row's turn has come: every row, requested or not.
    virtual void rowStarted(std::size_t row, const PassRow& planned) = 0;
    // The row is done (skipped rows too, with Verdict::Skipped and no text). After a stop, the
    // requested rows not done come here too, their report marked stopped; of them only the row
    // under way when the stop came had its rowStarted.
    // A row whose report has retryDue comes here once more, with its last report (retryDue
    // false, tries counting its requests, its text beginning with retriedText), after every row
    // has been here once; those last reports come in list order too. When the pass is stopped
    // while rows wait for a retry, their last reports come at once, as they stand.
    virtual void rowFinished(std::size_t row, const AccountReport& report) = 0;
    // Rows wait for a retry (PassPlan::retries): `rows` of them for their try number
    // `retry` + 1, the first of them after `wait`. Told before the round's waits begin.
    virtual void retriesDue(int /*retry*/, std::size_t /*rows*/,
                            std::chrono::milliseconds /*wait*/) {}
    // Every row is done. The pass goes on to the push when this returns: the window keeps its
    // "签到完毕！" up here for a while, returning early when `stop` is requested.
    virtual void passFinished(const VerdictCounts& counts, std::stop_token stop) = 0;
    // The summary's push is done (not when none was sent, or the pass was stopped first).
    virtual void pushFinished(const PushOutcome& /*outcome*/) {}
};

class SignInRun {
public:
    // The plan, the observer and the messages must outlive the run.
    SignInRun(const PassPlan& plan, PassObserver& observer, MessageSink& messages);

    // Runs the whole pass. When `stop` is requested no request starts any more, the requests
    // under way end within about a second, and the pass ends with the rows done (told to the
    // observer in list order as usual) and the others stopped; before the push, or before the
    // push's next request, it ends the same way.
    PassResult run(std::stop_token stop = {});

private:
    // Pushes the summary's lines to the named channels, or to the switches' one channel.
    PushOutcome pushLines(const std::vector<Text>& lines, PassResult& result,
                          std::stop_token stop) const;

    const PassPlan& plan_;
    PassObserver& observer_;
    MessageSink& messages_;
};

// The accounts whose cookie a site renewed in a pass that went well for them (success or
// already), as (Cid, cookie) pairs for saveCookies. Rows without an account row are left out,
// and so are relogged ones (reloggedCookies has them).
std::vector<std::pair<int, Text>> renewedCookies(const std::vector<PassRow>& rows,
                                                 const std::vector<AccountReport>& reports);
// The accounts that logged in again in the pass (AccountReport::relogged), as (Cid, cookie).
std::vector<std::pair<int, Text>> reloggedCookies(const std::vector<PassRow>& rows,
                                                  const std::vector<AccountReport>& reports);

// "Cookie 失效，已重新登录并签到成功" (code page 936).
const Text& reloggedText();
// "重新登录失败：" (code page 936), before why.
const Text& reloginFailedText();

// A cookie that runs out within this many days, or has run out, is named at the end of the
// summary.
inline constexpr int kCookieWarningDays = 3;

// The summary's last line, "Cookie 即将过期：站点A（3 天）、站点B（已过期）" (code page 936): the
// rows whose cookie runs out within kCookieWarningDays days ("今天" for today), or has run out,
// in list order. Entry i of `daysLeft` is for row i: whole days until its cookie runs out,
// negative when it has, nothing when unknown. Empty when no row is named.
Text cookieExpiryLine(const std::vector<PassRow>& rows,
                      const std::vector<std::optional<int>>& daysLeft);

// Under the plan's failure streak (PassPlan::failureStreak of 1 or more), the line that says why
// a pass whose reports are `reports` pushes its summary: "推送原因：甲站、乙站连续 3 次失效或失败；
// Cookie 即将过期" (code page 936). Empty when nothing calls for a push: the summary then stays
// unsent.
Text failureStreakLine(const PassPlan& plan, const std::vector<AccountReport>& reports);

// The History.db rows of a pass, one per list row in list order (skipped rows too), all with the
// pass's `time`.
std::vector<HistoryEntry> historyEntries(const Text& time, const std::vector<PassRow>& rows,
                                         const std::vector<AccountReport>& reports);

}  // namespace vesprey
