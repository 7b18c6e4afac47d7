// `push-set`: a push channel's key or settings saved into Sign.db without a window.

#include <cstdlib>
#include <string>

#include "app/cli.h"
#include "engine/push.h"
#include "store/push_channels.h"
#include "store/site_database.h"

namespace vesprey::cli {
namespace {

// The settings as the user gave them, in code page 936: the option's text, or standard input
// for "-" (which keeps keys out of the shell's history and the process list). Nothing, after
// saying why, for text that cannot be read, is no UTF-8, or holds characters the file cannot
// keep (they would be stored as "?").
std::optional<Text> givenSettings(const std::string& option) {
    std::string utf8 = option;
    if (option == "-") {
        // A channel's settings are a few short members.
        constexpr std::size_t kMaxSettingsBytes = 64 * 1024;
        bool tooLarge = false;
        const std::optional<Bytes> bytes = readInput(option, kMaxSettingsBytes, &tooLarge);
        if (!bytes) {
            printError(tooLarge ? "设置太长（超过 64 KB），不像是一个通道的设置。"
                                : "无法从标准输入读取设置。");
            return std::nullopt;
        }
        utf8 = *bytes;
    }
    if (!isValidUtf8(utf8)) {
        printError("设置不是 UTF-8 文本：请用 UTF-8 写设置。");
        return std::nullopt;
    }
    Text settings = utf8ToAnsi(utf8);
    if (ansiToUtf8(settings) != utf8) {
        printError("设置里有 Sign.db 存不下的字符（如表情符号）：请只用中文、英文和数字。");
        return std::nullopt;
    }
    return settings;
}

// The stored settings of the channel: the plain key of its row for the first three.
int readStored(SqlDatabase& db, const PushChannelInfo& channel, const std::filesystem::path& path,
               Text& stored) {
    ReadResult read;
    if (channel.row != 0) {
        PushSettings keys;
        read = readPushSettings(db, keys);
        const auto entry = static_cast<std::size_t>(channel.row - 1);
        stored = entry < keys.size() ? keys[entry].RobotId : Text{};
    } else {
        read = readChannelSettings(db, channel.name, stored);
    }
    if (!read.ok()) {
        printError("无法读取 " + path.string() + "：" + ansiToUtf8(readFailureText(read)) + "。");
        return kExitDatabase;
    }
    return kExitOk;
}

// The members a push needs that the settings still lack (an address the environment gives is
// not lacking).
std::string stillMissing(const PushChannelInfo& channel, const Text& settings) {
    std::string missing;
    for (const PushSettingField& field : channel.fields) {
        const bool given =
            channel.row != 0 ? !settings.empty() : !channelSetting(settings, field.member).empty();
        const bool fromEnvironment = (field.member == "url" || field.member == "host") &&
                                     environment().push.baseUrls.count(channel.name) != 0;
        if (field.required && !given && !fromEnvironment) {
            missing += (missing.empty() ? "" : "、") + std::string(field.member);
        }
    }
    return missing;
}

int runPushSet(const Arguments& args) {
    if (!args.positionals().empty()) {
        printError("push-set 不接受多余的参数：" + args.positionals().front() + "。");
        return kExitBadInput;
    }
    const auto name = args.value("--channel");
    const PushChannelInfo* channel = name ? findPushChannel(*name) : nullptr;
    if (channel == nullptr) {
        printError((name ? "没有这个推送通道：" + *name + "。"
                         : std::string("请用 --channel 指定通道。")) +
                   "可用的通道：" + pushChannelNames("、") + "。");
        return kExitBadInput;
    }
    const auto option = args.value("--settings");
    if (!option) {
        printError("请用 --settings 给出设置（一个 JSON 对象），如 --settings '{\"" +
                   std::string(channel->fields.front().member) + "\":\"…\"}'；- 从标准输入读。");
        return kExitBadInput;
    }
    const std::optional<Text> given = givenSettings(*option);
    if (!given) {
        return kExitBadInput;
    }

    CommandDatabase database;
    if (const int code = openDatabase(args, database); code != kExitOk) {
        return code;
    }
    SqlDatabase& db = database.db;
    const std::filesystem::path& path = database.path;
    Text stored;
    if (const int code = readStored(db, *channel, path, stored); code != kExitOk) {
        return code;
    }
    const ChannelSettingsUpdate update = updateChannelSettings(*channel, stored, *given);
    if (!update.ok()) {
        printError("--settings 有误：" + ansiToUtf8(update.error) +
                   "。用法见 vesprey-cli push-set "
                   "--help。");
        return kExitBadInput;
    }
    const WriteResult written = channel->row != 0
                                    ? updatePushKey(db, channel->row, update.settings)
                                    : saveChannelSettings(db, channel->name, update.settings);
    if (!written) {
        printError("推送设置没有保存：" + writeFailureText(written) + "（" + path.string() +
                   "）。");
        return kExitDatabase;
    }
    if (!update.unknown.empty()) {
        std::string unknown;
        for (const std::string& member : update.unknown) {
            unknown += (unknown.empty() ? "" : "、") + ansiToUtf8(member);
        }
        printError("注意：" + std::string(channel->name) + " 用不到这些设置，已原样保存：" +
                   unknown + "。");
    }
    if (const std::string missing = stillMissing(*channel, update.settings); !missing.empty()) {
        printError("注意：还没有设置 " + missing + "，推送会失败。");
    }
    std::printf("已保存 %s 的推送设置。\n", std::string(channel->name).c_str());
    return kExitOk;
}

// The channels and their settings, then examples and the exit codes.
std::string pushSetEpilogue() {
    std::string text = "通道和各自的设置（* 为必填）:\n";
    for (const PushChannelInfo& channel : pushChannels()) {
        std::string fields;
        for (const PushSettingField& field : channel.fields) {
            fields += ' ';
            fields += field.member;
            if (field.required) {
                fields += '*';
            }
        }
        text += "  " + padRight(channel.name, 13) + fields + "\n";
    }
    text +=
        "url 是自建服务的地址（环境变量 VESPREY_<通道>_URL 优先，如 VESPREY_NTFY_URL）；\n"
        "email 的 tls 是 starttls（默认，端口 587）、ssl（端口 465）或 none（端口 25），\n"
        "from 默认为 user，to 默认为 from，多个收件人用逗号隔开。\n"
        "\n"
        "例如:\n"
        "  vesprey-cli push-set --channel telegram --settings '{\"token\":\"123:ABC\","
        "\"chat_id\":\"42\"}'\n"
        "  vesprey-cli push-test --channel telegram\n"
        "\n"
        "退出码: 0 已保存；1 参数错误或设置不是有效的 JSON 对象；2 "
        "数据库打不开、读不出或写不进。\n";
    return text;
}

}  // namespace

const Command& pushSetCommand() {
    static const Command command{
        .name = "push-set",
        .summary = "保存一个推送通道的密钥或设置（JSON）",
        .options = {{.name = "--channel",
                     .value = "通道",
                     .help = "要保存设置的推送通道（见下）",
                     .required = true},
                    {.name = "--settings",
                     .value = "JSON|-",
                     .help = "设置，一个 JSON 对象；- 从标准输入读",
                     .required = true},
                    databaseOption("Sign.db 的路径")},
        .description =
            "把一个推送通道的设置存入 Sign.db。设置是一个 JSON 对象；给出的项替换已存的，\n"
            "值为 null 的项被删除，没有给出的项保持不变（不认识的项也原样保留）。\n"
            "--settings - 从标准输入读，密钥就不会留在命令历史和进程列表里。\n"
            "bark、serverchan、dingtalk 只有 key 一项，存为 Send 表第 1–3 行的 RobotId；\n"
            "其余通道的设置存在 Send 表里以通道名命名的一行（id 从 4 起）。\n",
        .epilogue = pushSetEpilogue(),
        .database = DatabaseUse::Open,
        .run = runPushSet};
    return command;
}

}  // namespace vesprey::cli
