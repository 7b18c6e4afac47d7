// One sign-in pass over the loaded site list: a request per account that has a cookie, the
// answer converted and evaluated into a short result, the result written into the account's row
// with its verdict, and at the end the summary pushed to the chosen channels.
//
// The pass sees the main window only through SignInView, so the desktop window (which marshals
// every call to its own thread) and the command line drive the very same code. It runs on the
// caller's thread; the window starts it on a worker thread of its own.
//
// Accounts are requested one at a time unless setJobs asks for more (see there); whatever the
// number, the view, the messages and the push are called from the caller's thread only, and what
// they are told comes row by row in list order, the same as one account at a time gives.
#pragma once

#include <algorithm>
#include <cstddef>
#include <map>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "engine/push.h"
#include "engine/verdict.h"
#include "model/site.h"
#include "text/text.h"

namespace vesprey {

class MessageSink;

// Columns of the account list.
inline constexpr int kColumnNumber = 0;   // 序号
inline constexpr int kColumnSite = 1;     // 网站
inline constexpr int kColumnMethod = 2;   // 请求类型
inline constexpr int kColumnAnswer = 3;   // 响应类型
inline constexpr int kColumnAccount = 4;  // 账号状态: "√" when the account has a cookie
inline constexpr int kColumnResult = 5;   // 返回内容

// What the pass reads and writes of the main window. Every call may come from the pass's thread.
class SignInView {
public:
    virtual ~SignInView() = default;

    // Text of a cell of the account list (row counted from 0).
    virtual Text cell(std::size_t row, int column) = 0;
    // The pass writes only the result column.
    virtual void setCell(std::size_t row, int column, const Text& text) = 0;
    // The status label: progress "开始对>>>name<<<进行签到", then "签到完毕！", then empty.
    virtual void setStatus(const Text& text) = 0;
    // Called after "签到完毕！" is shown and before the status is cleared: the window keeps the
    // text up for two seconds (returning early when `stop` is requested); the command line
    // returns at once.
    virtual void holdFinishedStatus(std::stop_token stop) = 0;
    // "同步通知", read at each row and at the end.
    virtual bool notifyChecked() = 0;
    // "开启定时", read at the end to re-arm the schedule timer.
    virtual bool scheduleChecked() = 0;
    // The checked push channel: 1 Bark, 2 ServerChan, 3 DingTalk robot.
    virtual int pushChannel() = 0;
    // Period of the schedule timer in milliseconds; the pass sets 1000 to re-arm it.
    virtual void setTimerPeriod(int milliseconds) = 0;
    // The outcome of the summary's push, once it is done (not when the pass was stopped): the
    // window shows a failure in the status label for a few seconds, the command line reports it
    // and exits with its own code. A view that does neither can leave it out.
    virtual void pushFinished(const PushOutcome& /*outcome*/) {}
    // The verdict of a row, once it is decided (requested rows only): the window shows it as an
    // icon with the reason as its tooltip.
    virtual void setVerdict(std::size_t /*row*/, const AccountVerdict& /*verdict*/) {}
    // How many accounts got each verdict, once the status is cleared after "签到完毕！": the
    // window shows them (verdictCountsText) until the next pass.
    virtual void passCounts(const VerdictCounts& /*counts*/) {}
};

// What the pass made of one row of the list.
struct AccountReport {
    AccountVerdict verdict{Verdict::Skipped, {}};  // skipped: not requested
    int status = 0;                                // 0 without an answer
    long long ms = 0;                              // the request's time
    // The cookie merged with what the site set, when that differs from the cookie sent.
    std::optional<Text> renewedCookie;
};

// The accounts whose cookie a site renewed in a pass that went well for them (success or
// already), as (Cid, cookie) pairs for saveCookies. Rows without an account row are left out.
std::vector<std::pair<int, Text>> renewedCookies(const SiteList& sites,
                                                 const std::vector<AccountReport>& reports);

// A cookie that runs out within this many days, or has run out, is named at the end of the
// summary.
inline constexpr int kCookieWarningDays = 3;

// The summary's last line, "Cookie 即将过期：站点A（3 天）、站点B（已过期）" (code page 936): the
// rows whose cookie runs out within kCookieWarningDays days ("今天" for today), or has run out,
// in list order. Entry i of `daysLeft` is for row i: whole days until its cookie runs out,
// negative when it has, nothing when unknown. Empty when no row is named.
Text cookieExpiryLine(const SiteList& sites, const std::vector<std::optional<int>>& daysLeft);

// One named channel's push of the summary.
struct ChannelPush {
    std::string channel;
    PushOutcome outcome;
};

// How the summary's push goes.
enum class NotifyOn {
    Always,   // after every pass, as "同步通知" asks
    Failure,  // only when at least one account is expired or failed
};

// The History.db rows of a pass, one per list row in list order (skipped rows too): `time` is
// the pass's, `results` the list's 返回内容 of each row.
std::vector<HistoryEntry> historyEntries(const Text& time, const SiteList& sites,
                                         const std::vector<AccountReport>& reports,
                                         const std::vector<Text>& results);

// The most accounts a pass requests at once.
inline constexpr int kMaxSignInJobs = 64;

class SignInRun {
public:
    // `sites` is the loaded list: the pass updates the Cookie and Headers of requested records
    // in memory (never in the database). `push` holds the keys of the first three channels.
    SignInRun(SiteList& sites, const PushSettings& push, SignInView& view, MessageSink& messages);

    // Runs the whole pass. When `stop` is requested the pass ends before the next row (and
    // before the push, or before the push's next request), leaving what it wrote so far.
    void run(std::stop_token stop = {});

    // The templates' own verdict rules, by template id; without them the built-in rules alone.
    void setVerdictRules(std::map<Text, VerdictRules> rules) { rules_ = std::move(rules); }
    void setNotifyOn(NotifyOn when) { notifyOn_ = when; }
    // Up to `jobs` accounts (1 to kMaxSignInJobs) are requested at once, by as many threads of the
    // pass's own. Accounts whose sign-in addresses have the same host (without regard to case)
    // still go one after the other in list order. The results are taken in list order: a row's
    // progress text, its result, its messages and its verdict reach the view when every row
    // before it has had its turn, so what the view, the messages and the push see is what a pass
    // of one account at a time gives (only the requests may already have been made). 1, the
    // default, requests each account in its turn on the caller's thread.
    void setJobs(int jobs) { jobs_ = std::clamp(jobs, 1, kMaxSignInJobs); }
    // The channels the summary goes to, by name (pushChannels()), each with its own keys or
    // settings: the first three's from `push`, the others' from `settings`. One failing does not
    // keep the summary from the next. Without a list (or with an empty one) the summary goes to
    // the view's pushChannel(), as the window's choice of one channel has it.
    void setPushChannels(std::vector<std::string> channels, ChannelSettings settings = {}) {
        channels_ = std::move(channels);
        channelSettings_ = std::move(settings);
    }
    // Days until each row's cookie runs out, as far as the caller knows (see cookieExpiryLine):
    // the pushed summary ends with the rows that need a new login soon.
    void setCookieDaysLeft(std::vector<std::optional<int>> daysLeft) {
        cookieDaysLeft_ = std::move(daysLeft);
    }

    // After run: one report per row of the list, in list order, and how many got each verdict.
    const std::vector<AccountReport>& reports() const { return reports_; }
    VerdictCounts counts() const;
    // The push: nothing when none was asked for (or the pass was stopped first); skipped when
    // NotifyOn::Failure found nothing that needs the user. With several named channels the
    // outcome of them all: failed when one failed, its words naming each failed channel
    // ("telegram：HTTP 401；email：无法连接"); channelPushes() has each one's.
    const std::optional<PushOutcome>& pushOutcome() const { return pushOutcome_; }
    bool pushSkipped() const { return pushSkipped_; }
    // Each named channel's push, in the order given; empty without named channels.
    const std::vector<ChannelPush>& channelPushes() const { return channelPushes_; }

private:
    // Pushes the summary's lines to the named channels, or to the view's.
    PushOutcome pushLines(const std::vector<Text>& lines, std::stop_token stop);

    SiteList& sites_;
    const PushSettings& push_;
    SignInView& view_;
    MessageSink& messages_;
    std::map<Text, VerdictRules> rules_;
    NotifyOn notifyOn_ = NotifyOn::Always;
    int jobs_ = 1;
    std::vector<std::optional<int>> cookieDaysLeft_;
    std::vector<AccountReport> reports_;
    std::optional<PushOutcome> pushOutcome_;
    bool pushSkipped_ = false;
    std::vector<std::string> channels_;
    ChannelSettings channelSettings_;
    std::vector<ChannelPush> channelPushes_;
};

}  // namespace vesprey
