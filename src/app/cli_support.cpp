#include <cstdio>
#include <utility>

#include "app/cli.h"
#include "store/site_database.h"

namespace vesprey::cli {
namespace {

ProgramEnvironment& programEnvironment() {
    static ProgramEnvironment environment;
    return environment;
}

}  // namespace

const ProgramEnvironment& environment() {
    return programEnvironment();
}

void setEnvironment(ProgramEnvironment environment) {
    programEnvironment() = std::move(environment);
}

Arguments::Arguments(const std::vector<std::string>& args, std::set<std::string> valueOptions,
                     std::set<std::string> flags) {
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            positionals_.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            help_ = true;
            continue;
        }
        std::string name = arg;
        std::optional<std::string> inlineValue;
        if (auto eq = arg.find('='); eq != std::string::npos && arg.rfind("--", 0) == 0) {
            name = arg.substr(0, eq);
            inlineValue = arg.substr(eq + 1);
        }
        if (valueOptions.count(name) != 0) {
            if (inlineValue) {
                values_[name] = *inlineValue;
            } else if (i + 1 < args.size()) {
                values_[name] = args[++i];
            } else if (error_.empty()) {
                error_ = "选项 " + name + " 后面缺少取值。";
            }
        } else if (flags.count(name) != 0 && !inlineValue) {
            flags_.insert(name);
        } else if (error_.empty()) {
            error_ = "不认识的选项：" + arg + "。";
        }
    }
}

std::optional<std::string> Arguments::value(const std::string& name) const {
    auto it = values_.find(name);
    if (it == values_.end()) {
        return std::nullopt;
    }
    return it->second;
}

bool parseOrExit(const Command& command, const Arguments& args, int* exitCode) {
    if (args.helpRequested()) {
        std::fputs(std::string(command.usage).c_str(), stdout);
        *exitCode = kExitOk;
        return false;
    }
    if (!args.ok()) {
        printError(args.error() + " 用法见 vesprey-cli " + std::string(command.name) + " --help。");
        *exitCode = kExitBadInput;
        return false;
    }
    return true;
}

std::string terminalText(std::string_view text) {
    const std::string utf8 = ansiToUtf8(text);
    std::string out;
    out.reserve(utf8.size());
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        const bool control = (byte < 0x20 && c != '\r' && c != '\n' && c != '\t') || byte == 0x7F;
        if (control) {
            out += "\xEF\xBF\xBD";  // U+FFFD
        } else {
            out += c;
        }
    }
    return out;
}

void printText(std::FILE* stream, std::string_view text) {
    const std::string utf8 = terminalText(text);
    std::fwrite(utf8.data(), 1, utf8.size(), stream);
}

// One write for the line and its end: stderr is unbuffered, and a reader of a pipe then gets
// whole lines.
void printLine(std::FILE* stream, std::string_view text) {
    std::string line = terminalText(text);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stream);
}

void printError(std::string_view utf8) {
    std::string line(utf8);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
}

std::size_t displayWidth(std::string_view utf8) {
    std::size_t width = 0;
    for (char32_t c : utf8ToUtf16(utf8)) {
        if (c >= 0xDC00 && c < 0xE000) {
            continue;  // the second half of a surrogate pair was counted with the first
        }
        const bool wide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) ||
                          (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
                          (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
                          (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0xD800 && c < 0xDC00);
        width += wide ? 2 : 1;
    }
    return width;
}

std::string padRight(std::string_view utf8, std::size_t width) {
    std::string out(utf8);
    std::size_t w = displayWidth(utf8);
    if (w < width) {
        out.append(width - w, ' ');
    }
    return out;
}

std::optional<Bytes> readInput(const std::string& name) {
    const bool fromStdin = name == "-";
    std::FILE* in = fromStdin ? stdin : std::fopen(name.c_str(), "rb");
    if (in == nullptr) {
        return std::nullopt;
    }
    Bytes bytes;
    char buffer[65536];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0) {
        bytes.append(buffer, got);
    }
    const bool failed = std::ferror(in) != 0;
    if (!fromStdin) {
        std::fclose(in);
    }
    if (failed) {
        return std::nullopt;
    }
    return bytes;
}

bool databasePath(const Arguments& args, std::filesystem::path& path) {
    std::optional<std::filesystem::path> option;
    if (auto db = args.value("--db")) {
        if (db->empty()) {
            printError("--db 后面的路径是空的：请写出 Sign.db 的路径，或去掉 --db 使用默认位置。");
            return false;
        }
        option = *db;
    }
    path = siteDatabasePath(option, environment().folders);
    return true;
}

int openDatabase(const Arguments& args, SqlDatabase& db, std::filesystem::path& path) {
    if (!databasePath(args, path)) {
        return kExitBadInput;
    }
    if (!openSiteDatabase(db, path)) {
        printError(ansiToUtf8(openFailedMessage()) + "（" + path.string() + "）");
        std::error_code ec;
        if (!std::filesystem::exists(path, ec)) {
            printError(
                "这个文件不存在：请先运行 vesprey-cli init-db 创建它（加 --demo 带两个示例"
                "站点），或用 --db 指定已有的 Sign.db。");
        }
        return kExitDatabase;
    }
    return kExitOk;
}

int loadDatabase(const Arguments& args, SiteList& sites, PushSettings* push) {
    SqlDatabase db;
    std::filesystem::path path;
    return loadDatabase(args, db, path, sites, push);
}

int loadDatabase(const Arguments& args, SqlDatabase& db, std::filesystem::path& path,
                 SiteList& sites, PushSettings* push) {
    if (const int code = openDatabase(args, db, path); code != kExitOk) {
        return code;
    }
    ReadResult read = readSiteList(db, sites);
    if (read.ok() && push != nullptr) {
        read = readPushSettings(db, *push);
    }
    if (!read.ok()) {
        printError("无法读取 " + path.string() + "：" + ansiToUtf8(readFailureText(read)) + "。");
        return kExitDatabase;
    }
    return kExitOk;
}

std::string writeFailureText(const WriteResult& written) {
    if (written.busy()) {
        return "文件正被其他程序使用，等了 " + std::to_string(kBusyTimeoutMs / 1000) +
               " 秒仍未释放，请稍后再试（" + ansiToUtf8(written.error) + "）";
    }
    return ansiToUtf8(written.error);
}

}  // namespace vesprey::cli
