// `eval`: tries a binding statement on a saved answer, as the template editor's trial does, with
// no network and no database.

#include <cstdio>

#include "app/cli.h"
#include "engine/account_request.h"
#include "engine/evaluation.h"
#include "engine/messages.h"

namespace vesprey::cli {
namespace {

// The evaluation's messages go to stderr; nobody has to close a box.
class StderrMessages : public MessageSink {
public:
    void showMessage(const Text& text, const Text& caption, MessageIcon /*icon*/) override {
        printText(stderr, caption);
        printLine(stderr, text);
    }
};

int runEval(const Arguments& args) {
    if (args.positionals().size() > 1) {
        printError("eval 只接受一个答复文件，多出的参数：" + args.positionals()[1] + "。");
        return kExitBadInput;
    }
    int ctype = kCtypeNone;
    if (auto value = args.value("--ctype")) {
        if (*value != "0" && *value != "1" && *value != "2") {
            printError("--ctype 只能是 0（默认）、1（UTF-8解码）或 2（USC2-ANSI），不是 " + *value +
                       "。");
            return kExitBadInput;
        }
        ctype = (*value)[0] - '0';
    }
    const bool json = args.flag("--json");
    const bool regex = args.flag("--regex");
    const Text tying = utf8ToAnsi(args.value("--tying").value_or(""));
    if (json && regex) {
        printError("--json 和 --regex 只能选一个。");
        return kExitBadInput;
    }
    if (!tying.empty() && !json && !regex) {
        printError("请用 --json 或 --regex 说明绑定语句的类型。");
        return kExitBadInput;
    }

    const std::string input = args.positionals().empty() ? "-" : args.positionals().front();
    bool tooLarge = false;
    const auto bytes = readInput(input, kMaxResponseBody, &tooLarge);
    if (!bytes) {
        printError(tooLarge ? "答复文件太大：签到时答复最多保留 64 MB，这个文件比它还大。"
                            : "无法读取答复文件：" + input + "。");
        return kExitBadInput;
    }
    // As in the pass: the answer is the body as text, up to its first NUL; it is converted, then
    // evaluated when there is a statement, and an empty result shows the answer as received.
    const Text rawAnswer = bytes->substr(0, bytes->find('\0'));
    if (const std::optional<Text> hint = encodingHint(rawAnswer, ctype)) {
        printLine(stderr, *hint + utf8ToAnsi("（--ctype 1）。"));
    }
    Text answer = convertAnswer(rawAnswer, ctype);
    if (!tying.empty()) {
        StderrMessages messages;
        answer = json ? evaluateJson(answer, tying) : evaluateRegex(answer, tying, messages);
    }
    printLine(stdout, answer.empty() ? rawAnswer : answer);
    return kExitOk;
}

}  // namespace

const Command& evalCommand() {
    static const Command command{
        .name = "eval",
        .summary = "在保存下来的答复上试用绑定语句（与模板编辑里的试用相同，不联网）",
        .options =
            {{.name = "--json", .help = "绑定语句是 JSON 路径（响应类型 JSON）", .orNext = true},
             {.name = "--regex", .help = "绑定语句是正则表达式（响应类型 正则）"},
             {.name = "--tying", .value = "语句", .help = "绑定语句，可含 =>、||、[@] 和 #引号"},
             {.name = "--ctype",
              .value = "0|1|2",
              .help = "编码转换：0 默认，1 UTF-8解码，2 USC2-ANSI（默认 0）"}},
        .operands = "[文件|-]",
        .description =
            "从文件（省略或为 - 时从标准输入）按原样读取网站的答复，先按编码转换处理，\n"
            "再用绑定语句提取结果，把签到时列表里会显示的内容写到标准输出（UTF-8）：\n"
            "提取出的文本；结果为空时显示收到的原始答复。没有 --tying 时显示转换后的答复。\n"
            "有 --tying 时要用 --json 或 --regex 说明绑定语句的类型。\n"
            "正则语句出错或匹配不到时的提示写到标准错误。\n",
        .epilogue = "退出码: 0 已显示结果；1 参数错误或答复文件读不出。\n",
        .run = runEval};
    return command;
}

}  // namespace vesprey::cli
