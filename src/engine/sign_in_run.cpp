#include "engine/sign_in_run.h"

#include <string>
#include <vector>

#include "engine/account_request.h"
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
};

const Literals& literals() {
    static const Literals l;
    return l;
}

}  // namespace

SignInRun::SignInRun(SiteList& sites, const PushSettings& push, SignInView& view,
                     MessageSink& messages)
    : sites_(sites), push_(push), view_(view), messages_(messages) {}

void SignInRun::run(std::stop_token stop) {
    const Literals& l = literals();
    Text summary;
    const std::size_t count = sites_.size();
    for (std::size_t row = 0; row < count; ++row) {
        if (stop.stop_requested()) {
            return;
        }
        SiteTemplate& site = sites_[row];
        view_.setStatus(l.progressBefore + site.WebName + l.progressAfter);

        if (view_.cell(row, kColumnAccount) == l.requested) {
            AccountAnswer outcome = requestAccount(accountRequestFor(site), messages_);
            // The record keeps the cookie merged with what the site set, and its header lines
            // completed with the defaults, for a later pass without a reload.
            site.Cookie = std::move(outcome.cookie);
            if (!site.Headers.empty()) {
                site.Headers = std::move(outcome.headers);
            }
            view_.setCell(row, kColumnResult, outcome.listText());
        }

        if (view_.notifyChecked()) {
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
    if (stop.stop_requested()) {
        return;
    }
    if (view_.scheduleChecked()) {
        view_.setTimerPeriod(1000);
    }
    if (view_.notifyChecked()) {
        // One line per row; the push gives each the channel's line end and splits the summary
        // into as many requests as the service's limit needs.
        std::vector<Text> lines;
        for (std::string_view line : gbk::split(summary, l.lineMark)) {
            lines.emplace_back(line);
        }
        const PushOutcome outcome =
            pushSummary(view_.pushChannel(), l.pushTitle, lines, push_, stop);
        if (stop.stop_requested()) {
            return;
        }
        view_.pushFinished(outcome);
    }
}

}  // namespace vesprey
