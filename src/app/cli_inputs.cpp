// `inputs`: the values an account of a multi-step template gives its flow (username, password,
// ...): listed with the names the flow needs and which are set, or set and removed.

#include <algorithm>

#include "app/cli.h"
#include "engine/flow_account.h"
#include "session/pass_session.h"
#include "store/flows.h"

namespace vesprey::cli {
namespace {

void printMissing(const FlowAccount& account, const SiteTemplate& site) {
    const auto missing = missingInputs(*account.flow, account.inputs, site.hasCookie());
    if (missing.empty()) {
        std::printf("每个输入都有值，这个账号会签到。\n");
        return;
    }
    std::string names;
    for (const std::string& name : missing) {
        names += (names.empty() ? "" : "、") + name;
    }
    std::printf("还缺：%s（在签到前设置：vesprey-cli inputs --cid %d %s=-）。\n",
                escapedUtf8(names).c_str(), site.Cid, escapedUtf8(missing.front()).c_str());
}

int runInputs(const Arguments& args) {
    const std::optional<std::string> cidText = args.value("--cid");
    const int cid = cidText ? std::atoi(cidText->c_str()) : 0;
    if (!cidText || cid <= 0 || std::to_string(cid) != *cidText) {
        printError("请用 --cid 给出账号的编号（正整数，见 vesprey-cli list）。");
        return kExitBadInput;
    }
    const auto assignments = readInputAssignments(args.positionals(), false);
    if (!assignments) {
        return kExitBadInput;
    }
    CommandDatabase database;
    if (const int code = openDatabase(args, database); code != kExitOk) {
        return code;
    }
    PassRow row;
    if (const int code = accountRow(database, cid, row); code != kExitOk) {
        return code;
    }
    if (!row.flow) {
        printError("“" + ansiToUtf8(row.site.WebName) +
                   "”是一个请求的模板，只用 Cookie，没有别的输入。");
        return kExitBadInput;
    }
    if (!row.flow->flow) {
        printError(ansiToUtf8(row.flow->unreadable) + "。");
        return kExitBadInput;
    }
    FlowAccount account = *row.flow;
    const std::vector<std::string> needed = templateInputs(*account.flow);

    if (assignments->empty()) {
        std::printf("“%s”的账号 %d 用到的输入：\n", terminalText(row.site.WebName).c_str(), cid);
        for (const std::string& name : needed) {
            const bool isCookie = name == "cookie";
            const auto given = account.inputs.find(name);
            const bool set = isCookie ? row.site.hasCookie()
                                      : given != account.inputs.end() && !given->second.empty();
            std::string shown = "（未设置）";
            if (set) {
                shown = isCookie ? shownValue(name, ansiToUtf8(row.site.Cookie))
                                 : shownValue(name, given->second);
            }
            if (loginOnlyInput(*account.flow, name)) {
                shown += "（重新登录用）";
            }
            std::printf("  %s  %s\n", padRight(escapedUtf8(name), 16).c_str(),
                        escapedUtf8(shown).c_str());
        }
        for (const auto& [name, value] : account.inputs) {
            if (std::find(needed.begin(), needed.end(), name) == needed.end()) {
                std::printf("  %s  %s（模板没有用到）\n", padRight(escapedUtf8(name), 16).c_str(),
                            escapedUtf8(shownValue(name, value)).c_str());
            }
        }
        printMissing(account, row.site);
        return kExitOk;
    }

    std::vector<InputChange> changes;
    std::optional<Text> cookie;
    for (const InputAssignment& assignment : *assignments) {
        if (std::find(needed.begin(), needed.end(), assignment.name) == needed.end() &&
            assignment.value) {
            printError("提示：模板没有用到 " + assignment.name + "，仍然保存了它。");
        }
        if (assignment.name == "cookie") {
            cookie = utf8ToAnsi(assignment.value.value_or(std::string()));
            row.site.Cookie = *cookie;
            continue;
        }
        changes.emplace_back(assignment.name, assignment.value);
        if (assignment.value) {
            account.inputs[assignment.name] = *assignment.value;
        } else {
            account.inputs.erase(assignment.name);
        }
    }
    if (cookie) {
        if (const WriteResult written = updateWebCookie(database.db, cid, *cookie); !written) {
            printError("Cookie 没有保存：" + writeFailureText(written) + "（" +
                       database.path.string() + "）。");
            return kExitDatabase;
        }
    }
    if (const WriteResult written = changeAccountInputs(database.db, cid, changes); !written) {
        printError("输入没有保存：" + writeFailureText(written) + "（" + database.path.string() +
                   "）。");
        return kExitDatabase;
    }
    std::printf("已保存账号 %d 的 %zu 个输入。\n", cid, assignments->size());
    printMissing(account, row.site);
    return kExitOk;
}

}  // namespace

const Command& inputsCommand() {
    static const Command command{
        .name = "inputs",
        .summary = "列出或设置多步骤模板账号的输入（用户名、密码等）",
        .options = {databaseOption("Sign.db 的路径"),
                    {.name = "--cid",
                     .value = "CID",
                     .help = "账号的编号（见 vesprey-cli list）",
                     .required = true}},
        .operands = "[名字=值|名字=-|名字=]…",
        .description =
            "不带赋值时列出这个账号的模板用到的输入，哪些已经设置（密码类的值显示为 ******，\n"
            "Cookie 和令牌只显示开头）。带赋值时保存：名字=值 设置，名字=- 从标准输入读取\n"
            "（密码不留在命令行历史和进程列表里；一次只能有一个），名字= 删除。cookie=… 设置\n"
            "账号的 Cookie。每个输入都有值的账号才签到。\n",
        .epilogue =
            "退出码: 0 已列出或已保存；1 参数错误、没有这个账号或它的模板只有一个请求；\n"
            "2 数据库打不开、读不出或写不进。\n"
            "例: printf '%s' \"$PASS\" | vesprey-cli inputs --cid 3 username=me@example.com "
            "password=-\n",
        .database = DatabaseUse::Accounts,
        .run = runInputs};
    return command;
}

}  // namespace vesprey::cli
