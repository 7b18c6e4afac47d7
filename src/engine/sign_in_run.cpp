#include "engine/sign_in_run.h"

#include <string>

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

// The DingTalk robot's JSON body carries this unescaped, so the service reads a line break and a
// Markdown quote mark: backslash, n, greater-than, twice.
constexpr std::string_view kDingTalkLineEnd = "\\n>\\n>";

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
        const int channel = view_.pushChannel();
        summary = gbk::replaceAll(summary, l.lineMark,
                                  channel == kPushDingTalk ? kDingTalkLineEnd : "\r\n");
        Text title = l.pushTitle;
        sendPush(channel, title, summary, push_);
    }
}

}  // namespace vesprey
