// The command table, the program's --help, and each command's --help made from its declarations.

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/cli.h"

namespace vesprey::cli {
namespace {

// --help lines stay within a terminal of 80 columns, the last one left free.
constexpr std::size_t kLineWidth = 79;
// The option list: two blanks, the option and its value, three blanks, its help. An option wider
// than kWidestBeside has its help start on the next line, so that one long option does not push
// every help line to the right.
constexpr std::size_t kListIndent = 2;
constexpr std::size_t kListGap = 3;
constexpr std::size_t kWidestBeside = 18;

std::string entry(const Option& option) {
    std::string text(option.name);
    if (!option.value.empty()) {
        text += ' ';
        text += option.value;
    }
    return text;
}

// The synopsis's words: each option "[--name VALUE]" (bare when required), alternatives joined
// by '|' in one pair of brackets, then the operands.
std::vector<std::string> synopsisWords(const Command& command) {
    std::vector<std::string> words;
    std::string alternatives;
    bool required = true;
    for (const Option& option : command.options) {
        alternatives += (alternatives.empty() ? "" : "|") + entry(option);
        required = required && option.required;
        if (option.orNext) {
            continue;
        }
        words.push_back((required ? alternatives : "[" + alternatives + "]") +
                        (option.repeated ? "…" : ""));
        alternatives.clear();
        required = true;
    }
    if (!command.operands.empty()) {
        words.emplace_back(command.operands);
    }
    return words;
}

std::vector<std::string_view> lines(std::string_view text) {
    std::vector<std::string_view> out;
    while (true) {
        const std::size_t end = text.find('\n');
        out.push_back(text.substr(0, end));
        if (end == std::string_view::npos) {
            return out;
        }
        text.remove_prefix(end + 1);
    }
}

std::string optionList(const std::vector<Option>& options) {
    std::size_t widest = 0;
    for (const Option& option : options) {
        if (const std::size_t width = displayWidth(entry(option)); width <= kWidestBeside) {
            widest = std::max(widest, width);
        }
    }
    const std::string margin(kListIndent + widest + kListGap, ' ');
    std::string out;
    for (const Option& option : options) {
        const std::string name = entry(option);
        const std::vector<std::string_view> help = lines(option.help);
        out += std::string(kListIndent, ' ');
        if (displayWidth(name) <= kWidestBeside) {
            out += padRight(name, widest + kListGap);
        } else {
            out += name + "\n" + margin;
        }
        for (std::size_t i = 0; i < help.size(); ++i) {
            out += (i == 0 ? "" : margin) + std::string(help[i]) + "\n";
        }
    }
    return out;
}

}  // namespace

const std::vector<const Command*>& commands() {
    static const std::vector<const Command*> list = {
        &initDbCommand(),   &listCommand(),    &signCommand(), &historyCommand(),
        &pushTestCommand(), &pushSetCommand(), &evalCommand(), &importCommand(),
        &inputsCommand(),   &exportCommand(),  &tryCommand(),  &cookieCloudCommand(),
        &digestCommand(),   &siteSetCommand(),
    };
    return list;
}

std::string programHelp() {
    std::string help =
        "Vesprey 命令行版：不开窗口完成每日签到。\n"
        "\n"
        "用法: vesprey-cli <命令> [选项]\n"
        "\n"
        "命令:\n";
    for (const Command* command : commands()) {
        help += "  " + padRight(command->name, 12) + std::string(command->summary) + "\n";
    }
    help +=
        "\n"
        "每个命令都有 --help。Sign.db 的位置依次是：选项 --db PATH（不能是空的）；\n"
        "环境变量 VESPREY_DB；程序所在目录下已有的 Sign.db；否则在构建目录里运行的程序用\n"
        "它所在目录下的 Sign.db，安装的程序用 $XDG_DATA_HOME/vesprey/Sign.db（通常是\n"
        "~/.local/share/vesprey/Sign.db）。History.db 总在所用的 Sign.db 旁边。\n"
        "退出码: 0 成功；1 参数或输入有误；2 数据库打不开、读不出（损坏、被其他程序\n"
        "占用超过 5 秒、密钥不对）或写不进；3 有账号 Cookie 失效或签到失败（sign）；\n"
        "4 推送失败（sign --notify、digest --notify、push-test）；\n"
        "6 另一个签到正在同一个 Sign.db 上进行（sign）；\n"
        "7 CookieCloud 连不上或数据解不开（cookiecloud、sign --cookiecloud）。\n";
    return help;
}

std::string synopsis(const Command& command) {
    std::string line = "vesprey-cli " + std::string(command.name);
    for (const std::string& word : synopsisWords(command)) {
        line += " " + word;
    }
    return line;
}

std::string commandHelp(const Command& command) {
    // The synopsis wrapped at the line width, the lines after the first under its first option.
    const std::string start = "用法: vesprey-cli " + std::string(command.name);
    const std::string indent(displayWidth(start) + 1, ' ');
    std::string help;
    std::string line = start;
    bool lineHasWord = false;
    for (const std::string& word : synopsisWords(command)) {
        if (lineHasWord && displayWidth(line) + 1 + displayWidth(word) > kLineWidth) {
            help += line + "\n";
            line = indent + word;
        } else {
            line += " " + word;
        }
        lineHasWord = true;
    }
    help += line + "\n\n" + command.description;
    if (!command.options.empty()) {
        help += "\n" + optionList(command.options);
    }
    if (!command.epilogue.empty()) {
        help += "\n" + command.epilogue;
    }
    return help;
}

int runCommand(const Command& command, const std::vector<std::string>& args) {
    const Arguments parsed(command, args);
    if (parsed.helpRequested()) {
        std::fputs(commandHelp(command).c_str(), stdout);
        return kExitOk;
    }
    if (!parsed.ok()) {
        printError(parsed.error() + " 用法见 vesprey-cli " + std::string(command.name) +
                   " --help。");
        return kExitBadInput;
    }
    return command.run(parsed);
}

}  // namespace vesprey::cli
