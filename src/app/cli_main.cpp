// vesprey-cli: the headless program, for servers and scripts. No Qt.

#include <clocale>
#include <cstdio>
#include <string>
#include <vector>

#include "app/cli.h"

namespace {

using vesprey::cli::Command;

const std::vector<const Command*>& commands() {
    static const std::vector<const Command*> list = {
        &vesprey::cli::initDbCommand(),   &vesprey::cli::listCommand(),
        &vesprey::cli::signCommand(),     &vesprey::cli::historyCommand(),
        &vesprey::cli::pushTestCommand(), &vesprey::cli::pushSetCommand(),
        &vesprey::cli::evalCommand(),     &vesprey::cli::importCommand(),
    };
    return list;
}

void printUsage(std::FILE* stream) {
    std::fputs(
        "Vesprey 命令行版：不开窗口完成每日签到。\n"
        "\n"
        "用法: vesprey-cli <命令> [选项]\n"
        "\n"
        "命令:\n",
        stream);
    for (const Command* c : commands()) {
        std::fprintf(stream, "  %s%s\n", vesprey::cli::padRight(c->name, 12).c_str(),
                     std::string(c->summary).c_str());
    }
    std::fputs(
        "\n"
        "每个命令都有 --help。数据库默认是程序所在目录下的 Sign.db，\n"
        "可以用环境变量 VESPREY_DB 或选项 --db PATH 指定别处（--db 不能是空的）。\n"
        "退出码: 0 成功；1 参数或输入有误；2 数据库打不开、读不出（损坏、被其他程序\n"
        "占用超过 5 秒、密钥不对）或写不进；4 推送失败（sign --notify、push-test）。\n",
        stream);
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    vesprey::cli::setEnvironment(vesprey::startWithEnvironment());
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        printUsage(stderr);
        return vesprey::cli::kExitBadInput;
    }
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        printUsage(stdout);
        return vesprey::cli::kExitOk;
    }
    for (const Command* c : commands()) {
        if (args[0] == c->name) {
            return c->run(std::vector<std::string>(args.begin() + 1, args.end()));
        }
    }
    vesprey::cli::printError("不认识的命令：" + args[0] +
                             "。运行 vesprey-cli --help 查看所有命令。");
    return vesprey::cli::kExitBadInput;
}
