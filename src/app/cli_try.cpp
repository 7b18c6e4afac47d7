// `try`: one account's multi-step template run once, step by step, as a pass would run it,
// without writing anything: each step's request, its answer's status and time, what decided,
// the variables it set (secrets shortened), then the result and the verdict. Or a template file
// run the same way, with the values given on the command line.

#include <algorithm>
#include <map>

#include "app/cli.h"
#include "engine/account_request.h"
#include "engine/flow_account.h"
#include "engine/messages.h"
#include "engine/verdict.h"
#include "session/pass_session.h"
#include "store/flows.h"

namespace vesprey::cli {
namespace {

// A template file: a browser's HAR may be large.
constexpr std::size_t kMaxTemplateFileBytes = 16 * 1024 * 1024;

class StderrMessages final : public MessageSink {
public:
    void showMessage(const Text& text, const Text& caption, MessageIcon /*icon*/) override {
        printText(stderr, caption);
        printLine(stderr, text);
    }
};

void printStep(const flow::StepTrace& step) {
    const std::string request = step.utility
                                    ? "本地接口 " + shownUrl(step.request.url)
                                    : step.request.method + " " + shownUrl(step.request.url);
    std::string line = "第 " + std::to_string(step.number) + " 步  " + request;
    if (step.response) {
        line += "  →  " + std::to_string(step.response->status);
        if (!step.utility) {
            line += "  " + std::to_string(step.response->elapsedMs) + " 毫秒";
        }
    }
    std::printf("%s\n", escapedUtf8(line).c_str());
    if (step.response && !step.response->encodingNote.empty()) {
        std::printf("    %s\n", escapedUtf8(step.response->encodingNote).c_str());
    }
    if (!step.decided.empty()) {
        std::printf("    %s\n", escapedUtf8(step.decided).c_str());
    }
    for (const auto& [name, value] : step.set) {
        std::printf("    %s = %s\n", escapedUtf8(name).c_str(),
                    escapedUtf8(shownValue(name, value.toText())).c_str());
    }
}

int verdictExit(const AccountVerdict& verdict) {
    return verdict.needsAttention() ? kExitNeedsAttention : kExitOk;
}

void printVerdict(const Text& result, const AccountVerdict& verdict) {
    std::printf("结果：%s\n", oneLine(terminalText(result)).c_str());
    std::printf("判定：%s%s\n", terminalText(verdictCaption(verdict.verdict)).c_str(),
                verdict.reason.empty() ? "" : ("（" + terminalText(verdict.reason) + "）").c_str());
}

int runAccountFlow(const SiteTemplate& site, const FlowAccount& account, const VerdictRules& rules,
                   bool strictTls) {
    if (!account.flow) {
        printError(ansiToUtf8(account.unreadable) + "。");
        return kExitBadInput;
    }
    if (const auto missing = missingInputs(*account.flow, account.inputs, site.hasCookie());
        !missing.empty()) {
        std::string names;
        for (const std::string& name : missing) {
            names += (names.empty() ? "" : "、") + name;
        }
        printError("还缺这些值，没有运行：" + names +
                   "（用 --input 名字=值 给出，cookie 用 --cookie；账号的值用 vesprey-cli inputs "
                   "设置）。");
        return kExitBadInput;
    }
    FlowRunSettings settings;
    settings.strictTls = strictTls;
    settings.requestDeadlineMs = environment().requestDeadlineMs;
    settings.trace = true;
    StderrMessages messages;
    const FlowAccountRun run = runFlowAccount(site, account, settings, messages);
    for (const flow::StepTrace& step : run.result.trace) {
        printStep(step);
    }
    if (!run.result.passed &&
        (run.result.trace.empty() || run.result.trace.back().number != run.result.failedStep)) {
        std::printf("%s\n", escapedUtf8(run.result.message).c_str());
    }
    const AccountVerdict verdict = decideFlowVerdict(run.outcome, site.Weblogin, rules, messages);
    printVerdict(run.listText, verdict);
    return verdictExit(verdict);
}

int runOneRequest(const SiteTemplate& site, const VerdictRules& rules, bool strictTls) {
    AccountRequest request = accountRequestFor(site);
    request.verifyTls = strictTls;
    request.deadlineMs = environment().requestDeadlineMs;
    StderrMessages messages;
    const AccountAnswer outcome = requestAccount(request, messages);
    std::string line = "第 1 步  " +
                       std::string(site.Qtype == RequestMethod::Get ? "GET " : "POST ") +
                       shownUrl(ansiToUtf8(site.WebLink));
    if (outcome.response.answered()) {
        line += "  →  " + std::to_string(outcome.response.status) + "  " +
                std::to_string(outcome.response.elapsedMs) + " 毫秒";
    }
    std::printf("%s\n", escapedUtf8(line).c_str());
    const AccountVerdict verdict = decideVerdict(outcome, site.Weblogin, rules, messages);
    printVerdict(outcome.listText(), verdict);
    return verdictExit(verdict);
}

// Gives the account the values of --cookie and --input, for this run only.
bool applyGivenValues(const Arguments& args, SiteTemplate& site, FlowAccount& account,
                      bool standardInputTaken) {
    std::vector<std::string> given = args.values("--input");
    if (auto cookie = args.value("--cookie")) {
        given.push_back("cookie=" + *cookie);
    }
    const auto assignments = readInputAssignments(given, standardInputTaken);
    if (!assignments) {
        return false;
    }
    for (const InputAssignment& assignment : *assignments) {
        if (assignment.name == "cookie") {
            site.Cookie = utf8ToAnsi(assignment.value.value_or(std::string()));
        } else if (assignment.value) {
            account.inputs[assignment.name] = *assignment.value;
        } else {
            account.inputs.erase(assignment.name);
        }
    }
    return true;
}

int runTry(const Arguments& args) {
    const bool strictTls = args.flag("--strict-tls");
    const std::optional<std::string> cidText = args.value("--cid");
    if (cidText ? !args.positionals().empty() : args.positionals().size() != 1) {
        printError(cidText ? "--cid 和模板文件只能给一个。"
                           : "请用 --cid 给出账号，或给出一个模板文件（- 为标准输入）。");
        return kExitBadInput;
    }
    if (!cidText) {
        const std::string& file = args.positionals().front();
        bool tooLarge = false;
        const auto bytes = readInput(file, kMaxTemplateFileBytes, &tooLarge);
        if (!bytes) {
            printError(tooLarge ? "模板文件太大（超过 16 MB）：" + file + "。"
                                : "无法读取模板文件：" + file + "。");
            return kExitBadInput;
        }
        std::string_view text = *bytes;
        if (text.starts_with("\xEF\xBB\xBF")) {
            text.remove_prefix(3);
        }
        std::vector<std::size_t> picks;
        if (auto given = args.value("--pick")) {
            auto read = picksOf(*given);
            if (!read) {
                return kExitBadInput;
            }
            picks = std::move(*read);
        }
        const auto read = flowOfFile(text, flow::detectTemplateFormat(text), picks, "没有运行");
        if (!read) {
            return kExitBadInput;
        }
        SiteTemplate site;
        site.WebName = utf8ToAnsi(std::filesystem::path(file).stem().string());
        site.Cookie = utf8ToAnsi(read->cookie);
        auto account = std::make_shared<FlowAccount>(*readableFlow(site.WebName, read->json));
        if (!applyGivenValues(args, site, *account, file == "-")) {
            return kExitBadInput;
        }
        return runAccountFlow(site, *account, {}, strictTls);
    }

    const int cid = std::atoi(cidText->c_str());
    if (cid <= 0 || std::to_string(cid) != *cidText) {
        printError("--cid 要写账号的编号（正整数，见 vesprey-cli list），不是 " + *cidText + "。");
        return kExitBadInput;
    }
    CommandDatabase database;
    if (const int code = openDatabase(args, database, DatabaseUse::Accounts); code != kExitOk) {
        return code;
    }
    PassRow row;
    if (const int code = accountRow(database, cid, row); code != kExitOk) {
        return code;
    }
    std::map<int, VerdictRules> rules;
    readVerdictRules(database.db, rules);
    const VerdictRules own = rules.count(row.site.id) != 0 ? rules[row.site.id] : VerdictRules{};
    if (!row.flow) {
        if (!args.values("--input").empty()) {
            printError("这个账号的模板只有一个请求，没有输入可给。");
            return kExitBadInput;
        }
        if (auto cookie = args.value("--cookie")) {
            FlowAccount none;
            if (!applyGivenValues(args, row.site, none, false)) {
                return kExitBadInput;
            }
        }
        if (!row.site.hasCookie()) {
            printError("这个账号没有 Cookie，没有运行（用 --cookie 给出一个试试）。");
            return kExitBadInput;
        }
        return runOneRequest(row.site, own, strictTls);
    }
    FlowAccount account = *row.flow;
    if (!applyGivenValues(args, row.site, account, false)) {
        return kExitBadInput;
    }
    return runAccountFlow(row.site, account, own, strictTls);
}

}  // namespace

const Command& tryCommand() {
    static const Command command{
        .name = "try",
        .summary = "试运行一个账号的模板（或一个模板文件），逐步打印请求、答复和判定，不写文件",
        .options = {databaseOption("Sign.db 的路径（用 --cid 时）"),
                    {.name = "--cid",
                     .value = "CID",
                     .help = "试这个账号（编号见 vesprey-cli list）：用它的 Cookie 和输入"},
                    {.name = "--cookie",
                     .value = "TEXT|-",
                     .help = "这次用这个 Cookie（- 从标准输入读取）；不会保存"},
                    {.name = "--input",
                     .value = "名字=值",
                     .help = "这次给模板的一个输入（名字=- 从标准输入读取）；可写多次，不会保存",
                     .repeated = true},
                    {.name = "--pick",
                     .value = "N,…",
                     .help = "试浏览器保存的 HAR 文件里这些序号的请求（不给时列出所有请求）"},
                    {.name = "--strict-tls", .help = "也检查网站的证书"}},
        .operands = "[文件|-]",
        .description =
            "逐步运行一个多步骤模板，每一步打印渲染后的请求方法和网址、状态码、用时、决定这一步\n"
            "的条件、提取到的变量（cookie、密码和令牌类的值只显示开头），最后打印结果和判定。\n"
            "给 --cid 时运行 Sign.db 里的这个账号；给出文件时运行这个模板文件（社区模板 JSON、\n"
            "HAR 文件或 curl 命令，与 import 相同），不存入 Sign.db。一步请求的模板也可以试，\n"
            "只有一步。\n",
        .epilogue =
            "退出码: 0 成功、已签到或未知；1 参数错误、缺少输入或模板读不出；2 数据库打不开；\n"
            "3 Cookie 失效或失败。\n",
        .database = DatabaseUse::Path,
        .run = runTry};
    return command;
}

}  // namespace vesprey::cli
