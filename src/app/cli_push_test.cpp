// `push-test`: the push settings' test without a window.

#include <string>

#include "app/cli.h"
#include "engine/push.h"

namespace vesprey::cli {
namespace {

int runPushTest(const Arguments& args) {
    const auto name = args.value("--channel");
    const PushChannelInfo* channel = name ? findPushChannel(*name) : nullptr;
    if (channel == nullptr || !args.positionals().empty()) {
        printError("请用 --channel 指定通道：" + pushChannelNames("、") + "。");
        return kExitBadInput;
    }
    CommandDatabase database;
    if (const int code = openDatabase(args, database); code != kExitOk) {
        return code;
    }
    const PushSettings& push = database.push;
    ChannelSettings settings;
    if (const int code =
            loadChannelSettings(database.db, database.path, {std::string(channel->name)}, settings);
        code != kExitOk) {
        return code;
    }
    const auto index = static_cast<std::size_t>(channel->row - 1);
    const bool noKey = channel->row != 0 && (index >= push.size() || push[index].RobotId.empty());
    const PushOutcome outcome = sendTestPush(channel->name, push, settings, environment().push);
    if (noKey) {
        printError("注意：这个通道还没有保存推送密钥，测试消息是用空密钥发出的。");
    }
    if (channel->row == 0 && settings.count(Text(channel->name)) == 0) {
        printError("注意：这个通道还没有保存设置，请先用 vesprey-cli push-set --channel " +
                   std::string(channel->name) + " --settings '{…}' 保存。");
    }
    if (outcome.error) {
        printPushFailure(outcome.error);
        return kExitPushFailed;
    }
    // The service's answer, for the user to read.
    printLine(stdout, outcome.answer);
    return kExitOk;
}

}  // namespace

const Command& pushTestCommand() {
    static const Command command{
        .name = "push-test",
        .summary = "发送一条测试推送（与推送设置里的“调试”相同）",
        .options = {{.name = "--channel",
                     .value = "通道",
                     .help = "发送测试消息的推送通道",
                     .required = true},
                    databaseOption("Sign.db 的路径")},
        .description =
            "用 Sign.db 里保存的密钥或设置，经所选通道发送一条标题为“签到提醒”的测试消息\n"
            "（bark、serverchan、dingtalk 内容为空，其余通道是一句测试的话），并打印服务的回答。\n"
            "通道：bark、serverchan、dingtalk、ntfy、gotify、telegram、wecom、feishu、pushplus、\n"
            "serverchan3、webhook、email（设置用 vesprey-cli push-set 保存）。\n",
        .epilogue = "退出码: 0 已发送；1 参数错误；2 数据库打不开或读不出；4 推送失败。\n",
        .database = DatabaseUse::Accounts,
        .run = runPushTest};
    return command;
}

}  // namespace vesprey::cli
