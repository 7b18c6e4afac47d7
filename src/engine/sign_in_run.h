// One sign-in pass over the loaded site list: a request per account that has a cookie, the
// answer converted and evaluated into a short result, the result written into the account's row,
// and at the end the summary pushed to the chosen channel.
//
// The pass sees the main window only through SignInView, so the desktop window (which marshals
// every call to its own thread) and the command line drive the very same code. It runs on the
// caller's thread; the window starts it on a worker thread of its own.
#pragma once

#include <cstddef>
#include <stop_token>

#include "engine/push.h"
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
};

class SignInRun {
public:
    // `sites` is the loaded list: the pass updates the Cookie and Headers of requested records
    // in memory (never in the database). `push` holds the keys of the three channels.
    SignInRun(SiteList& sites, const PushSettings& push, SignInView& view, MessageSink& messages);

    // Runs the whole pass. When `stop` is requested the pass ends before the next row (and
    // before the push, or before the push's next request), leaving what it wrote so far.
    void run(std::stop_token stop = {});

private:
    SiteList& sites_;
    const PushSettings& push_;
    SignInView& view_;
    MessageSink& messages_;
};

}  // namespace vesprey
