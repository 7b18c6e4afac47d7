#include "session/pass_session.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <set>

#include "store/flows.h"
#include "store/history.h"
#include "store/push_channels.h"
#include "store/template_settings.h"

namespace vesprey {

Text passProgressText(const Text& site) {
    static const Text before = utf8ToAnsi("开始对>>>");
    static const Text after = utf8ToAnsi("<<<进行签到");
    return before + site + after;
}

const Text& passFinishedText() {
    static const Text finished = utf8ToAnsi("签到完毕！");
    return finished;
}

Text passRetryText(int retry, std::size_t rows, std::chrono::milliseconds wait) {
    const auto seconds = std::chrono::ceil<std::chrono::seconds>(wait).count();
    return utf8ToAnsi(std::to_string(rows) + " 个账号稍后第 " + std::to_string(retry) +
                      " 次重试，约 " + std::to_string(seconds) + " 秒后开始");
}

std::vector<PassRow> passRows(const SiteList& sites) {
    std::vector<PassRow> rows;
    rows.reserve(sites.size());
    for (const SiteTemplate& site : sites) {
        rows.push_back({site, site.hasCookie(), nullptr});
    }
    return rows;
}

std::shared_ptr<const FlowAccount> readableFlow(const Text& site, const std::string& steps) {
    auto account = std::make_shared<FlowAccount>();
    auto parsed = flow::parseFlow(steps);
    if (auto* error = std::get_if<flow::FlowError>(&parsed)) {
        account->unreadable =
            utf8ToAnsi("“") + site + utf8ToAnsi("”的步骤读不出：" + error->message);
    } else {
        account->flow = std::make_shared<const flow::Flow>(std::get<flow::Flow>(std::move(parsed)));
    }
    return account;
}

ReadResult FlowBook::read(SqlDatabase& db) {
    templates_.clear();
    inputs_.clear();
    if (ReadResult read = readFlows(db, steps_); !read.ok() || steps_.empty()) {
        return read;
    }
    ReadResult read = readAccountInputs(db, inputs_);
    if (!read.ok()) {
        steps_.clear();
    }
    return read;
}

std::shared_ptr<const FlowAccount> FlowBook::account(const SiteTemplate& site) {
    const auto stored = steps_.find(site.id);
    if (stored == steps_.end()) {
        return nullptr;
    }
    auto& shared = templates_[site.id];
    if (!shared) {
        shared = readableFlow(site.WebName, stored->second);
    }
    const auto given = inputs_.find(site.Cid);
    if (given == inputs_.end() || site.Cid == 0) {
        return shared;
    }
    auto account = std::make_shared<FlowAccount>(*shared);
    account->inputs = given->second;
    return account;
}

bool FlowBook::ready(const SiteTemplate& site) {
    const std::shared_ptr<const FlowAccount> account = this->account(site);
    if (!account) {
        return site.hasCookie();
    }
    return site.Cid != 0 &&
           (!account->flow ||
            missingInputs(*account->flow, account->inputs, site.hasCookie()).empty());
}

ReadResult attachFlows(SqlDatabase& db, std::vector<PassRow>& rows) {
    FlowBook book;
    if (ReadResult read = book.read(db); !read.ok()) {
        return read;
    }
    for (PassRow& row : rows) {
        if (auto account = book.account(row.site)) {
            row.requested = book.ready(row.site);
            row.flow = std::move(account);
        }
    }
    return {};
}

namespace {

// The templates' own proxies and 签到周期 into the plan; both left empty when either cannot be
// read.
ReadResult readTemplateSettings(SqlDatabase& db, PassPlan& plan) {
    std::map<int, Text> proxies;
    std::map<int, StoredSchedule> stored;
    ReadResult read = readTemplateProxies(db, proxies);
    if (read.ok()) {
        read = readTemplateSchedules(db, stored);
    }
    plan.templateProxies.clear();
    plan.schedules.clear();
    if (!read.ok()) {
        return read;
    }
    for (auto& [id, url] : proxies) {
        plan.templateProxies[id] = std::move(url);
    }
    const std::chrono::sys_days today = plan.today.value_or(localToday());
    for (const auto& [id, schedule] : stored) {
        const std::chrono::sys_days start = parseDay(schedule.start).value_or(today);
        if (std::optional<SignSchedule> parsed = parseSchedule(schedule.rule, start)) {
            plan.schedules[id] = *parsed;
        }
    }
    return read;
}

}  // namespace

PassSession::PassSession(SqlDatabase& db, std::filesystem::path database, PassPlan plan)
    : db_(db), database_(std::move(database)), plan_(std::move(plan)) {}

PassPreparation PassSession::prepare(bool cookieDays, bool fileCookies) {
    PassPreparation preparation;
    preparation.flows = attachFlows(db_, plan_.rows);
    fileCookies_.reset();
    if (fileCookies) {
        std::map<int, Text> cookies;
        preparation.cookies = readWebCookies(db_, cookies);
        if (preparation.cookies.ok()) {
            fileCookies_ = std::move(cookies);
        }
    }
    preparation.templateSettings = readTemplateSettings(db_, plan_);
    preparation.rules = readVerdictRules(db_, plan_.rules);
    if (!preparation.rules.ok()) {
        plan_.rules.clear();
    }
    // A file that has only the first three push rows is never asked for more.
    const bool settingsNeeded =
        std::any_of(plan_.channels.begin(), plan_.channels.end(), [](const std::string& name) {
            const PushChannelInfo* channel = findPushChannel(name);
            return channel != nullptr && channel->row == 0;
        });
    if (settingsNeeded) {
        preparation.channelSettings = readChannelSettings(db_, plan_.channelSettings);
        if (!preparation.channelSettings.ok()) {
            plan_.channelSettings.clear();
        }
    }
    const double now = nowDateTime();
    if (cookieDays) {
        CookieHealth health;
        preparation.cookieHealth = readCookieHealth(database_, health);
        plan_.cookieDaysLeft.assign(plan_.rows.size(), std::nullopt);
        for (std::size_t row = 0; row < plan_.rows.size(); ++row) {
            const int cid = plan_.rows[row].site.Cid;
            const auto expiry = health.expiries.find(cid);
            if (cid != 0 && expiry != health.expiries.end()) {
                plan_.cookieDaysLeft[row] = cookieDaysLeft(expiry->second.expires, now);
            }
        }
    }
    if (plan_.notifyOn == NotifyOn::Failure && plan_.failureStreak > 1) {
        preparation.failureRuns = readFailuresBefore();
    }
    time_ = historyTime(now);
    return preparation;
}

ReadResult PassSession::readFailuresBefore() {
    const int wanted = plan_.failureStreak - 1;
    plan_.failuresBefore.assign(plan_.rows.size(), 0);
    std::set<int> cids;
    for (const PassRow& row : plan_.rows) {
        if (row.requested && row.site.Cid != 0) {
            cids.insert(row.site.Cid);
        }
    }
    if (cids.empty() || !HistoryDatabase::exists(database_)) {
        return {};
    }
    HistoryDatabase history;
    std::map<int, int> runs;
    ReadResult read = history.open(database_);
    if (read.ok()) {
        read = history.readFailureRuns(cids, wanted, runs);
    }
    if (!read.ok()) {
        // Without the history no failure is held back: the user hears of each one, as with a
        // streak of one.
        plan_.failureStreak = 1;
        return read;
    }
    for (std::size_t row = 0; row < plan_.rows.size(); ++row) {
        const auto run = runs.find(plan_.rows[row].site.Cid);
        plan_.failuresBefore[row] = run != runs.end() ? run->second : 0;
    }
    return read;
}

PassResult PassSession::run(PassObserver& observer, MessageSink& messages,
                            std::stop_token stop) const {
    return SignInRun(plan_, observer, messages).run(std::move(stop));
}

WriteResult PassSession::writeHistory(const PassResult& result, HistoryStart start,
                                      std::filesystem::path* setAside) const {
    HistoryDatabase history;
    WriteResult written = history.create(database_, start);
    if (setAside != nullptr) {
        *setAside = history.setAsidePath();
    }
    if (written) {
        std::vector<int> tries;
        for (const AccountReport& report : result.reports) {
            tries.push_back(report.tries);
        }
        written = history.appendPass(historyEntries(time_, plan_.rows, result.reports), tries);
    }
    return written;
}

CookieSave PassSession::saveRenewedCookies(const PassResult& result) {
    return saveCookiesRead(renewedCookies(plan_.rows, result.reports));
}

CookieSave PassSession::saveReloginCookies(const PassResult& result) {
    return saveCookiesRead(reloggedCookies(plan_.rows, result.reports));
}

CookieSave PassSession::saveCookiesRead(const std::vector<std::pair<int, Text>>& renewed) {
    CookieSave save;
    save.any = !renewed.empty();
    // Each account's cookie as the pass read it, to write only over that. An account that was
    // gone from the file when the pass began is written nowhere.
    std::map<int, std::size_t> rowOf;
    for (std::size_t row = 0; row < plan_.rows.size(); ++row) {
        rowOf.emplace(plan_.rows[row].site.Cid, row);
    }
    std::vector<CookieUpdate> updates;
    updates.reserve(renewed.size());
    for (const auto& [cid, cookie] : renewed) {
        const Text* read = &plan_.rows[rowOf.at(cid)].site.Cookie;
        if (fileCookies_) {
            const auto held = fileCookies_->find(cid);
            read = held != fileCookies_->end() ? &held->second : nullptr;
        }
        if (read != nullptr) {
            updates.push_back({cid, *read, cookie});
        } else {
            save.changedRows.push_back(rowOf.at(cid));
        }
    }
    const CookieSaveResult saved = saveCookies(db_, updates);
    save.written = saved.written;
    save.saved = static_cast<int>(saved.saved.size());
    for (const int cid : saved.changed) {
        save.changedRows.push_back(rowOf.at(cid));
    }
    std::sort(save.changedRows.begin(), save.changedRows.end());
    return save;
}

Text changedCookiesText(const CookieSave& save, const PassPlan& plan) {
    if (save.changedRows.empty()) {
        return {};
    }
    Text named;
    for (const std::size_t row : save.changedRows) {
        if (row < plan.rows.size()) {
            named += (named.empty() ? Text{} : utf8ToAnsi("、")) + plan.rows[row].site.WebName;
        }
    }
    return utf8ToAnsi("这些账号的 Cookie 在签到期间被改动或删除，没有覆盖：") + named;
}

void keepRequestState(const PassResult& result, SiteList& sites) {
    for (std::size_t row = 0; row < result.reports.size() && row < sites.size(); ++row) {
        const AccountReport& report = result.reports[row];
        if (report.verdict.verdict == Verdict::Skipped) {
            continue;  // not requested, or not reached before a stop
        }
        sites[row].Cookie = report.cookie;
        if (!sites[row].Headers.empty()) {
            sites[row].Headers = report.headers;
        }
    }
}

}  // namespace vesprey
