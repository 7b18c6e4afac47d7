// vesprey-cli: the headless program, for servers and scripts. No Qt.

#include <clocale>
#include <cstdio>
#include <string>
#include <vector>

#include "app/cli.h"

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    vesprey::cli::setEnvironment(vesprey::startWithEnvironment());
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::fputs(vesprey::cli::programHelp().c_str(), stderr);
        return vesprey::cli::kExitBadInput;
    }
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::fputs(vesprey::cli::programHelp().c_str(), stdout);
        return vesprey::cli::kExitOk;
    }
    for (const vesprey::cli::Command* command : vesprey::cli::commands()) {
        if (args[0] == command->name) {
            return vesprey::cli::runCommand(*command,
                                            std::vector<std::string>(args.begin() + 1, args.end()));
        }
    }
    vesprey::cli::printError("不认识的命令：" + args[0] +
                             "。运行 vesprey-cli --help 查看所有命令。");
    return vesprey::cli::kExitBadInput;
}
