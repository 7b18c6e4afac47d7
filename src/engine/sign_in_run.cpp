#include "engine/sign_in_run.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <set>
#include <string>
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
    for (std::size_t row = 0; row < count; ++row) {
        if (stop.stop_requested()) {
            return;
        }
        SiteTemplate& site = sites_[row];
        view_.setStatus(l.progressBefore + site.WebName + l.progressAfter);

        if (view_.cell(row, kColumnAccount) == l.requested) {
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
