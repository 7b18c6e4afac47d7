// A sign-in pass from Sign.db to its end, the same for the desktop window and `vesprey-cli sign`:
//
//   prepare  what the pass needs beyond the list, read from the files: the templates' verdict
//            rules, the settings of the channels it pushes to, the cookies' expiry days (from
//            History.db), and the pass's time;
//   run      the pass itself (SignInRun), on whatever thread the program likes;
//   finish   the pass's rows into History.db, and the cookies the sites renewed into Sign.db
//            when the user asked for that.
//
// The programs differ only in their PassObserver and in what they say of a step's problems: the
// session reports each as a value and shows nothing. prepare and finish use the open Sign.db and
// belong to the thread that owns it; run reads only the plan.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "engine/messages.h"
#include "engine/sign_in_run.h"
#include "store/history.h"
#include "store/site_database.h"
#include "text/text.h"

namespace vesprey {

// "开始对>>>网站<<<进行签到": both programs show it as a row's turn comes.
Text passProgressText(const Text& site);
// "签到完毕！": both programs show it when the rows are done.
const Text& passFinishedText();
// "2 个账号稍后第 1 次重试，约 35 秒后开始": both programs show it as a round of retries waits
// (PassObserver::retriesDue); the wait in whole seconds, rounded up.
Text passRetryText(int retry, std::size_t rows, std::chrono::milliseconds wait);

// The list's rows as a pass takes them: each row requested when its account has a cookie.
std::vector<PassRow> passRows(const SiteList& sites);

// A template's stored steps read into a flow, or why they cannot be (code page 936: "“甲站”的步骤
// 读不出：第 3 步…").
std::shared_ptr<const FlowAccount> readableFlow(const Text& site, const std::string& steps);

// Gives the rows of multi-step templates their flow and their account's inputs from Sign.db,
// each template's steps read once: such a row is requested when it has an account and every input
// its flow reads has a value (its cookie only when the flow reads "cookie"), or when its steps
// cannot be read (the row then fails with why). A read that fails leaves the rows as they were.
ReadResult attachFlows(SqlDatabase& db, std::vector<PassRow>& rows);

// The multi-step templates of Sign.db and their accounts' inputs, read once, each template's
// steps read into a flow when first asked for.
class FlowBook {
public:
    ReadResult read(SqlDatabase& db);
    // The account's flow and inputs; null for a one-request template.
    std::shared_ptr<const FlowAccount> account(const SiteTemplate& site);
    // Whether the row is signed: for a multi-step template, it has an account and every input its
    // flow reads has a value (or its steps cannot be read, which its row then says); otherwise
    // it has a cookie.
    bool ready(const SiteTemplate& site);

private:
    std::map<int, std::string> steps_;
    std::map<int, std::map<std::string, std::string>> inputs_;
    std::map<int, std::shared_ptr<const FlowAccount>> templates_;
};

// What prepare could not read. The pass can still run: without rules the built-in ones alone
// decide, without a channel's settings that channel fails with what it lacks.
struct PassPreparation {
    ReadResult rules;
    ReadResult channelSettings;
    ReadResult cookieHealth;  // History.db, for the expiry days; a missing file is no failure
    ReadResult cookies;       // the accounts' cookies as Sign.db holds them when the pass starts
    // The multi-step templates and their accounts' inputs. When they cannot be read the pass must
    // not run: their rows would go as one request each.
    ReadResult flows;
    // History.db, for the failures in a row of PassPlan::failureStreak; a missing file is no
    // failure. When it cannot be read the streak becomes 1: every expired or failed row pushes.
    ReadResult failureRuns;
    // The templates' own proxies and 签到周期 (store/template_settings.h). When they cannot be
    // read the pass must not run either: a template's accounts would go without their proxy.
    ReadResult templateSettings;
};

// What finish did with the renewed cookies.
struct CookieSave {
    WriteResult written;  // done when nothing needed writing
    int saved = 0;        // rows written
    bool any = false;     // some site renewed a cookie of an account that went well
    // Rows of the plan whose renewed cookie was not written because their WebCookie row no
    // longer held the cookie the pass read (changed or deleted while the pass ran), in list order.
    std::vector<std::size_t> changedRows;
};

// "这些账号的 Cookie 在签到期间被改动或删除，没有覆盖：甲站、乙站", naming the rows left (by
// their site names, in list order); empty when none was left.
Text changedCookiesText(const CookieSave& save, const PassPlan& plan);

class PassSession {
public:
    // `plan` as the program decided it: rows, keys, switches, channels, jobs and the rest;
    // prepare fills in what comes from the files. `db` is the open Sign.db at `database`.
    PassSession(SqlDatabase& db, std::filesystem::path database, PassPlan plan);

    // Reads the multi-step templates (attachFlows), the templates' proxies and 签到周期 (into
    // PassPlan::templateProxies and ::schedules; a stored rule that cannot be read counts as
    // every day, an every:N without a readable start day counts from today), the rules, the named
    // channels' settings (only when a named channel keeps its settings as JSON), with `cookieDays`
    // the cookies' expiry days, and with a failure streak of 2 or more (PassPlan::failureStreak,
    // NotifyOn::Failure) each requested account's failures in a row before this pass; takes the
    // pass's time. With `fileCookies`, keeps each account's cookie as Sign.db holds it at that
    // moment: the cookie saveRenewedCookies writes only over. Without it (or when it cannot be
    // read), the cookies of the plan's rows stand for that, which is right when the rows were just
    // read from the file; a program that keeps cookies of its own between passes (merged from
    // earlier answers, not saved) asks for it.
    PassPreparation prepare(bool cookieDays, bool fileCookies = true);

    const PassPlan& plan() const { return plan_; }
    const Text& time() const { return time_; }

    PassResult run(PassObserver& observer, MessageSink& messages, std::stop_token stop = {}) const;

    // Appends the pass's rows (every list row, skipped ones too) to History.db beside Sign.db,
    // making the file on first use. A History.db of another Sign.db is refused, or with
    // HistoryStart::Anew set aside (`setAside`, when given, receives where; empty when not).
    WriteResult writeHistory(const PassResult& result, HistoryStart start = HistoryStart::Keep,
                             std::filesystem::path* setAside = nullptr) const;
    // Writes the cookies sites renewed for accounts that went well, in one transaction, each
    // only where its row still holds the cookie the pass read.
    CookieSave saveRenewedCookies(const PassResult& result);
    // Writes the cookies of the accounts that logged in again (PassPlan::relogin), in one
    // transaction, each only where its row still holds the cookie the pass read: both programs
    // call it after every pass whose plan asked for relogin, whether or not renewed cookies are
    // saved.
    CookieSave saveReloginCookies(const PassResult& result);

private:
    // PassPlan::failuresBefore from History.db.
    ReadResult readFailuresBefore();
    // Writes (Cid, cookie) pairs over the cookies the pass read.
    CookieSave saveCookiesRead(const std::vector<std::pair<int, Text>>& renewed);

    SqlDatabase& db_;
    std::filesystem::path database_;
    PassPlan plan_;
    Text time_;
    std::optional<std::map<int, Text>> fileCookies_;  // by Cid, when prepare read them
};

// Keeps in `sites` (the list the pass was planned from) what the pass's requests left: each
// requested row's cookie merged with what the site set, and its header lines completed with the
// defaults, for the next pass without a reload.
void keepRequestState(const PassResult& result, SiteList& sites);

}  // namespace vesprey
