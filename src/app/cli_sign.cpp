// `sign` and `push-test`: the menu's pass and the push settings' test without a window.

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "app/cli.h"
#include "engine/messages.h"
#include "engine/push.h"
#include "engine/sign_in_run.h"
#include "store/site_database.h"

namespace vesprey::cli {
namespace {

// A push that did not reach the service, or that the service refused.

// "推送失败：" and the reason, on stderr.
void printPushFailure(const PushError& error) {
    printError("推送失败：" + ansiToUtf8(error.message));
}

std::optional<int> channelByName(const std::string& name) {
    if (name == "bark") {
        return kPushBark;
    }
    if (name == "serverchan") {
        return kPushServerChan;
    }
    if (name == "dingtalk") {
        return kPushDingTalk;
    }
    return std::nullopt;
}

// Messages of the evaluation go to stderr; nobody has to close a box.
class StderrMessages : public MessageSink {
public:
    void showMessage(const Text& text, const Text& caption, MessageIcon /*icon*/) override {
        printText(stderr, caption);
        printLine(stderr, text);
    }
};

// The account list as the pass sees it: cells in memory, progress on stderr as it happens.
class TerminalView : public SignInView {
public:
    TerminalView(const SiteList& sites, std::optional<int> channel) : channel_(channel) {
        for (std::size_t i = 0; i < sites.size(); ++i) {
            rows_.push_back(siteListRow(sites[i], i));
        }
    }

    Text cell(std::size_t row, int column) override {
        return row < rows_.size() ? rows_[row][static_cast<std::size_t>(column)] : Text{};
    }
    void setCell(std::size_t row, int column, const Text& text) override {
        if (row < rows_.size()) {
            rows_[row][static_cast<std::size_t>(column)] = text;
        }
    }
    void setStatus(const Text& text) override {
        if (!text.empty()) {
            printLine(stderr, text);
            std::fflush(stderr);
        }
    }
    void holdFinishedStatus(std::stop_token /*stop*/) override {}
    bool notifyChecked() override { return channel_.has_value(); }
    bool scheduleChecked() override { return false; }
    int pushChannel() override { return channel_.value_or(kPushBark); }
    void setTimerPeriod(int /*milliseconds*/) override {}
    void pushFinished(const PushOutcome& outcome) override { pushError_ = outcome.error; }

    const std::vector<std::array<Text, 6>>& rows() const { return rows_; }
    const PushError& pushError() const { return pushError_; }

private:
    std::vector<std::array<Text, 6>> rows_;
    std::optional<int> channel_;
    PushError pushError_;
};

// A result may hold line breaks and tabs; in the table they are shown as blanks.
std::string oneLine(std::string utf8) {
    std::replace_if(
        utf8.begin(), utf8.end(), [](char c) { return c == '\r' || c == '\n' || c == '\t'; }, ' ');
    return utf8;
}

// A JSON string of core text: UTF-8, with the escapes JSON requires.
std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (const char c : ansiToUtf8(text)) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// One JSON object for scripts: every row in list order, the counts, and the push.
void printJson(const SiteList& sites, const std::vector<std::array<Text, 6>>& rows,
               const SignInRun& pass, const std::optional<std::string>& channel) {
    std::string out = "{\"accounts\":[";
    const auto& reports = pass.reports();
    for (std::size_t row = 0; row < rows.size() && row < reports.size(); ++row) {
        const AccountReport& report = reports[row];
        out += row == 0 ? "{" : ",{";
        out += "\"row\":" + std::to_string(row + 1);
        out += ",\"site\":" + jsonString(sites[row].WebName);
        out += ",\"id\":" + std::to_string(std::atoll(sites[row].id.c_str()));
        out += ",\"cid\":" + std::to_string(sites[row].Cid);
        out += ",\"verdict\":\"" + std::string(verdictName(report.verdict.verdict)) + "\"";
        out += ",\"reason\":" + jsonString(report.verdict.reason);
        out += ",\"result\":" + jsonString(rows[row][kColumnResult]);
        out += ",\"status\":" + std::to_string(report.status);
        out += ",\"ms\":" + std::to_string(report.ms) + "}";
    }
    out += "],\"counts\":{";
    const VerdictCounts counts = pass.counts();
    for (std::size_t v = 0; v < kVerdictCount; ++v) {
        out += (v == 0 ? "\"" : ",\"") + std::string(verdictName(static_cast<Verdict>(v))) +
               "\":" + std::to_string(counts[v]);
    }
    out += "},\"push\":";
    if (!channel) {
        out += "null";
    } else {
        const bool sent = pass.pushOutcome() && pass.pushOutcome()->ok();
        const Text error = pass.pushSkipped()   ? utf8ToAnsi("无需推送")
                           : pass.pushOutcome() ? pass.pushOutcome()->error.message
                                                : Text{};
        out += "{\"channel\":" + jsonString(*channel) + ",\"sent\":" + (sent ? "true" : "false") +
               ",\"error\":" + jsonString(error) + "}";
    }
    out += "}\n";
    std::fputs(out.c_str(), stdout);
}

void printTable(const std::vector<std::array<Text, 6>>& rows) {
    std::vector<std::array<std::string, 6>> table;
    table.push_back({"序号", "网站", "请求类型", "响应类型", "账号状态", "返回内容"});
    for (const auto& row : rows) {
        std::array<std::string, 6> line;
        for (std::size_t c = 0; c < 6; ++c) {
            line[c] = oneLine(terminalText(row[c]));
        }
        table.push_back(std::move(line));
    }
    std::array<std::size_t, 6> widths{};
    for (const auto& line : table) {
        for (std::size_t c = 0; c < 5; ++c) {
            widths[c] = std::max(widths[c], displayWidth(line[c]));
        }
    }
    for (const auto& line : table) {
        std::string out;
        for (std::size_t c = 0; c < 5; ++c) {
            out += padRight(line[c], widths[c] + 2);
        }
        out += line[5];
        while (!out.empty() && out.back() == ' ') {
            out.pop_back();
        }
        std::fputs((out + "\n").c_str(), stdout);
    }
}

int runSign(const std::vector<std::string>& argv) {
    Arguments args(argv, {"--db", "--notify", "--notify-on"}, {"--json", "--save-cookies"});
    int exitCode = kExitOk;
    if (!parseOrExit(signCommand(), args, &exitCode)) {
        return exitCode;
    }
    if (!args.positionals().empty()) {
        printError("sign 不接受多余的参数：" + args.positionals().front() + "。");
        return kExitBadInput;
    }
    std::optional<int> channel;
    if (auto name = args.value("--notify")) {
        channel = channelByName(*name);
        if (!channel) {
            printError("--notify 只能是 bark、serverchan 或 dingtalk，不是 " + *name + "。");
            return kExitBadInput;
        }
    }
    NotifyOn notifyOn = NotifyOn::Always;
    if (auto when = args.value("--notify-on")) {
        if (*when != "always" && *when != "failure") {
            printError("--notify-on 只能是 always 或 failure，不是 " + *when + "。");
            return kExitBadInput;
        }
        notifyOn = *when == "failure" ? NotifyOn::Failure : NotifyOn::Always;
    }
    SqlDatabase db;
    std::filesystem::path path;
    SiteList sites;
    PushSettings push;
    if (const int code = loadDatabase(args, db, path, sites, &push); code != kExitOk) {
        return code;
    }
    std::map<Text, VerdictRules> rules;
    if (const ReadResult read = readVerdictRules(db, rules); !read.ok()) {
        printError("判定规则读不出，本次只用内置规则：" + ansiToUtf8(readFailureText(read)) + "。");
    }
    const SiteList stored = sites;  // the pass merges renewed cookies into `sites`

    TerminalView view(sites, channel);
    StderrMessages messages;
    SignInRun pass(sites, push, view, messages);
    pass.setVerdictRules(std::move(rules));
    pass.setNotifyOn(notifyOn);
    pass.run();
    if (args.flag("--json")) {
        printJson(stored, view.rows(), pass, args.value("--notify"));
    } else {
        printTable(view.rows());
    }

    bool saveFailed = false;
    if (args.flag("--save-cookies")) {
        int saved = 0;
        const WriteResult written = saveCookies(db, renewedCookies(stored, pass.reports()), &saved);
        if (written) {
            printError("已保存 " + std::to_string(saved) + " 个更新的 Cookie。");
        } else {
            printError("更新的 Cookie 没有保存：" + writeFailureText(written) + "（" +
                       path.string() + "）。");
            saveFailed = true;
        }
    }
    if (view.pushError()) {
        printPushFailure(view.pushError());
        return kExitPushFailed;
    }
    if (saveFailed) {
        return kExitDatabase;
    }
    const VerdictCounts counts = pass.counts();
    const bool attention = counts[static_cast<std::size_t>(Verdict::Expired)] +
                               counts[static_cast<std::size_t>(Verdict::Failed)] >
                           0;
    return attention ? kExitNeedsAttention : kExitOk;
}

int runPushTest(const std::vector<std::string>& argv) {
    Arguments args(argv, {"--db", "--channel"}, {});
    int exitCode = kExitOk;
    if (!parseOrExit(pushTestCommand(), args, &exitCode)) {
        return exitCode;
    }
    const auto name = args.value("--channel");
    const auto channel = name ? channelByName(*name) : std::nullopt;
    if (!channel || !args.positionals().empty()) {
        printError("请用 --channel 指定 bark、serverchan 或 dingtalk。");
        return kExitBadInput;
    }
    SiteList sites;
    PushSettings push;
    if (const int code = loadDatabase(args, sites, &push); code != kExitOk) {
        return code;
    }
    const auto index = static_cast<std::size_t>(*channel - 1);
    const bool noKey = index >= push.size() || push[index].RobotId.empty();
    Text title = utf8ToAnsi("签到提醒");
    const PushOutcome outcome = sendPush(*channel, title, {}, push);
    if (noKey) {
        printError("注意：这个通道还没有保存推送密钥，测试消息是用空密钥发出的。");
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

const Command& signCommand() {
    static const Command command{
        "sign", "对所有有 Cookie 的账号签到一遍，打印结果和判定（可推送汇总）",
        "用法: vesprey-cli sign [--db PATH] [--notify bark|serverchan|dingtalk]\n"
        "                        [--notify-on always|failure] [--json] [--save-cookies]\n"
        "\n"
        "重新读取账号列表，对账号状态为 √ 的每个账号发送签到请求，进度\n"
        "（开始对>>>网站<<<进行签到）写到标准错误，结束后把带“返回内容”的列表\n"
        "写到标准输出（UTF-8），各判定的数目（成功 · 已签 · 失效 · 失败）写到标准错误。\n"
        "每个请求最多 60 秒；每个账号的返回内容最多保留 500 个字，超出的以“…”结尾；\n"
        "控制字符显示为 �。列表读到一半出错（文件损坏）时一个账号也不签。\n"
        "\n"
        "每个账号得到一个判定：success 成功、already 已签到、expired Cookie失效、\n"
        "failed 失败、unknown 未知、skipped 跳过（没有 Cookie）。依次看：没有回答→失败；\n"
        "HTTP 401/403→失效；跳转到登录页→失效；模板自己的规则（失效、已签、成功判定），\n"
        "再是内置规则；HTTP 5xx→失败；其余为未知。失效和失败的账号在推送里以\n"
        "【失效】/【失败】开头。\n"
        "\n"
        "  --db PATH          Sign.db 的路径（默认：$VESPREY_DB，否则程序所在目录下的 Sign.db）\n"
        "  --notify 通道      签完后把汇总推送到 bark、serverchan 或 dingtalk（用 Sign.db "
        "里的密钥）\n"
        "  --notify-on 时机   always（默认）每次都推送；failure 只在有失效或失败的账号时推送\n"
        "  --json             标准输出改为一个 JSON 对象：每个账号的判定、原因、结果、状态码、\n"
        "                     用时，各判定的数目，以及推送的结果\n"
        "  --save-cookies     把网站更新过的 Cookie（仅成功和已签到的账号）写回 Sign.db，\n"
        "                     在一个事务里；不加这个选项时签到不写数据库\n"
        "\n"
        "退出码: 0 全部正常；1 参数错误；2 数据库打不开或读不出（损坏、被占用、密钥不对），\n"
        "或更新的 Cookie 写不进；3 有账号 Cookie 失效或签到失败；4 推送失败（优先于 2 和 3；\n"
        "结果照常打印，原因写到标准错误：推送失败：…）。\n",
        runSign};
    return command;
}

const Command& pushTestCommand() {
    static const Command command{
        "push-test", "发送一条测试推送（与推送设置里的“调试”相同）",
        "用法: vesprey-cli push-test --channel bark|serverchan|dingtalk [--db PATH]\n"
        "\n"
        "用 Sign.db 里保存的密钥，经所选通道发送标题为“签到提醒”、内容为空的测试消息，\n"
        "并打印服务的回答。\n"
        "\n"
        "退出码: 0 已发送；1 参数错误；2 数据库打不开或读不出；4 推送失败。\n",
        runPushTest};
    return command;
}

}  // namespace vesprey::cli
