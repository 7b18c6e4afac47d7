// `digest`: what the passes of the last days made of each account, for a weekly look or push.

#include <charconv>
#include <string>
#include <system_error>
#include <vector>

#include "app/cli.h"
#include "engine/push.h"
#include "session/digest.h"
#include "store/history.h"

namespace vesprey::cli {
namespace {

int runDigest(const Arguments& args) {
    if (!args.positionals().empty()) {
        printError("digest 不接受多余的参数：" + args.positionals().front() + "。");
        return kExitBadInput;
    }
    const std::optional<int> given = daysOption(args, kDefaultDigestDays);
    if (!given) {
        return kExitBadInput;
    }
    const int days = *given;
    std::vector<std::string> channels;
    if (const auto names = args.value("--notify")) {
        std::optional<std::vector<std::string>> named = channelList(*names);
        if (!named) {
            return kExitBadInput;
        }
        channels = std::move(*named);
    }
    CommandDatabase database;
    const DatabaseUse use = channels.empty() ? DatabaseUse::Open : DatabaseUse::Accounts;
    if (const int code = openDatabase(args, database, use); code != kExitOk) {
        return code;
    }
    Digest digest;
    if (const ReadResult read = readDigest(database.path, days, nowDateTime(), digest);
        !read.ok()) {
        printError("无法读取签到历史 " + historyDatabasePath(database.path).string() + "：" +
                   historyReadFailure(read) + "。");
        return kExitDatabase;
    }
    const std::vector<Text> lines = digestLines(digest);
    for (const Text& line : lines) {
        printLine(stdout, line);
    }
    std::fflush(stdout);
    if (channels.empty()) {
        return kExitOk;
    }
    ChannelSettings settings;
    if (const int code = loadChannelSettings(database.db, database.path, channels, settings);
        code != kExitOk) {
        return code;
    }
    std::vector<ChannelPush> pushes;
    for (const std::string& channel : channels) {
        pushes.push_back({channel, pushSummaryTo(channel, digestTitle(digest), lines, database.push,
                                                 settings, environment().push)});
    }
    return reportPushFailures(pushes) ? kExitPushFailed : kExitOk;
}

}  // namespace

const Command& digestCommand() {
    static const Command command{
        .name = "digest",
        .summary = "每个账号最近几天签到的天数、失败和快过期的 Cookie（可推送）",
        .options = {databaseOption("Sign.db 的路径", "History.db 在它旁边"),
                    {.name = "--days",
                     .value = "N",
                     .help = "看最近几天（含今天），1 到 400，默认 " +
                             std::to_string(kDefaultDigestDays)},
                    {.name = "--notify",
                     .value = "通道[,通道…]",
                     .help = "同时把摘要推送到这些通道（与 sign --notify 相同，逗号隔开，\n"
                             "用 Sign.db 里的密钥和设置）"}},
        .description =
            "读取 Sign.db 旁边的 History.db，把最近 N 天的签到写成摘要打印到标准输出（UTF-8），\n"
            "加 --notify 时也推送出去（标题“签到摘要（最近 N 天）”）。第一行是这几天和最近一次\n"
            "签到的时间，之后每个账号一行：\n"
            "  签到 5/7 天   签到成功（或已签到）的天数 / 该签的天数（从账号第一次出现在\n"
            "                签到历史里的那天算起；今天签过一次后才算今天）\n"
            "  失效或失败    次数，以及最近一次的日期和原因\n"
            "  Cookie        内置浏览器抓到的 Cookie 在 N 天内过期或已过期时写明\n"
            "  最近一次签到  账号不在最近一次签到里时，它最近一次被签到的日期\n"
            "最近一次签到已经过去 2 天多（或者还没有任何签到记录）时，第一行先说明这一点，\n"
            "提醒检查定时签到是否还在运行。History.db 还不存在时也这样说，以 0 退出。\n",
        .epilogue =
            "退出码: 0 完成（也包括还没有历史）；1 参数错误；2 Sign.db 打不开，或 History.db\n"
            "读不出（损坏、被占用、密钥不对、属于另一个 Sign.db）；4 推送失败（摘要照常打印，\n"
            "原因写到标准错误：推送失败：…，几个通道时每个失败的一行）。\n",
        .database = DatabaseUse::Open,
        .run = runDigest};
    return command;
}

}  // namespace vesprey::cli
