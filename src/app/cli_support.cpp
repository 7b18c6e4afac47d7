#include <algorithm>
#include <charconv>
#include <cstdio>
#include <utility>

#include "app/cli.h"
#include "session/pass_session.h"
#include "store/history.h"
#include "store/push_channels.h"
#include "store/site_database.h"
#include "web/proxy.h"

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

Arguments::Arguments(const Command& command, const std::vector<std::string>& args)
    : command_(&command) {
    auto declared = [&](const std::string& name) -> const Option* {
        for (const Option& option : command.options) {
            if (option.name == name) {
                return &option;
            }
        }
        return nullptr;
    };
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
        const Option* option = declared(name);
        if (option != nullptr && !option->value.empty()) {
            if (inlineValue) {
                values_[name].push_back(*inlineValue);
            } else if (i + 1 < args.size()) {
                values_[name].push_back(args[++i]);
            } else if (error_.empty()) {
                error_ = "选项 " + name + " 后面缺少取值。";
            }
        } else if (option != nullptr && !inlineValue) {
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
    return it->second.back();
}

std::vector<std::string> Arguments::values(const std::string& name) const {
    auto it = values_.find(name);
    return it == values_.end() ? std::vector<std::string>{} : it->second;
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

std::string escapedUtf8(std::string_view utf8) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(utf8.size());
    auto escape = [&](unsigned char byte) {
        out += "\\x";
        out += kHex[byte >> 4];
        out += kHex[byte & 0x0F];
    };
    for (std::size_t at = 0; at < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[at]);
        if (lead < 0x80) {
            if ((lead < 0x20 && lead != '\n' && lead != '\t') || lead == 0x7F) {
                escape(lead);
            } else {
                out += static_cast<char>(lead);
            }
            ++at;
            continue;
        }
        const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
        const std::string_view sequence = utf8.substr(at, length);
        if (length != 0 && sequence.size() == length && isValidUtf8(sequence)) {
            out += sequence;
            at += length;
        } else {
            escape(lead);
            ++at;
        }
    }
    return out;
}

void printError(std::string_view utf8) {
    std::string line = escapedUtf8(utf8);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
}

std::optional<int> daysOption(const Arguments& args, int fallback) {
    const auto value = args.value("--days");
    if (!value) {
        return fallback;
    }
    int days = 0;
    const char* end = value->data() + value->size();
    const auto parsed = std::from_chars(value->data(), end, days);
    if (parsed.ec != std::errc{} || parsed.ptr != end || days < 1 || days > kHistoryKeepDays) {
        printError("--days 要写 1 到 " + std::to_string(kHistoryKeepDays) + " 之间的天数，不是 " +
                   *value + "。");
        return std::nullopt;
    }
    return days;
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

std::string fitWidth(std::string_view utf8, std::size_t width) {
    if (displayWidth(utf8) <= width) {
        return std::string(utf8);
    }
    std::string out;
    std::size_t used = 0;
    for (std::size_t at = 0; at < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[at]);
        const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        const std::string_view character = utf8.substr(at, length);
        const std::size_t columns = displayWidth(character);
        if (used + columns + 1 > width) {  // one column stays for "…"
            break;
        }
        out += character;
        used += columns;
        at += length;
    }
    return width == 0 ? std::string() : out + "…";
}

std::string padRight(std::string_view utf8, std::size_t width) {
    std::string out(utf8);
    std::size_t w = displayWidth(utf8);
    if (w < width) {
        out.append(width - w, ' ');
    }
    return out;
}

std::optional<Bytes> readInput(const std::string& name, std::size_t limit, bool* tooLarge) {
    if (tooLarge != nullptr) {
        *tooLarge = false;
    }
    const bool fromStdin = name == "-";
    std::FILE* in = fromStdin ? stdin : std::fopen(name.c_str(), "rb");
    if (in == nullptr) {
        return std::nullopt;
    }
    Bytes bytes;
    char buffer[65536];
    std::size_t got = 0;
    bool over = false;
    while (!over && (got = std::fread(buffer, 1, sizeof buffer, in)) > 0) {
        over = bytes.size() + got > limit;
        bytes.append(buffer, over ? 0 : got);
    }
    const bool failed = std::ferror(in) != 0;
    if (!fromStdin) {
        std::fclose(in);
    }
    if (failed || over) {
        if (tooLarge != nullptr) {
            *tooLarge = over;
        }
        return std::nullopt;
    }
    return bytes;
}

Option databaseOption(std::string_view what, std::string_view more) {
    std::string help(what);
    help += "（默认位置见 vesprey-cli --help）";
    if (!more.empty()) {
        help += "；\n";
        help += more;
    }
    return {.name = "--db", .value = "PATH", .help = std::move(help)};
}

namespace {

// The --db option's path, or the default location. An empty --db is refused with a message.
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

}  // namespace

int openDatabase(const Arguments& args, CommandDatabase& database) {
    return openDatabase(args, database, args.command().database);
}

int accountRow(CommandDatabase& database, int cid, PassRow& row) {
    const auto site = std::find_if(database.sites.begin(), database.sites.end(),
                                   [&](const SiteTemplate& s) { return s.Cid == cid; });
    if (cid <= 0 || site == database.sites.end()) {
        printError("没有编号为 " + std::to_string(cid) +
                   " 的账号（vesprey-cli list 列出所有账号）。");
        return kExitBadInput;
    }
    std::vector<PassRow> rows{{*site, site->hasCookie(), nullptr}};
    if (const ReadResult read = attachFlows(database.db, rows); !read.ok()) {
        printError("无法读取 " + database.path.string() + "：" + ansiToUtf8(readFailureText(read)) +
                   "。");
        return kExitDatabase;
    }
    row = std::move(rows.front());
    return kExitOk;
}

std::optional<std::vector<InputAssignment>> readInputAssignments(
    const std::vector<std::string>& given, bool standardInputTaken) {
    std::vector<InputAssignment> assignments;
    bool fromStandardInput = standardInputTaken;
    for (const std::string& item : given) {
        const std::size_t equals = item.find('=');
        const std::string name = item.substr(0, equals);
        const bool identifier = !name.empty() && !(name[0] >= '0' && name[0] <= '9') &&
                                std::all_of(name.begin(), name.end(), [](char c) {
                                    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                           (c >= '0' && c <= '9') || c == '_';
                                });
        if (equals == std::string::npos || !identifier) {
            printError("“" + item +
                       "”不是 名字=值 的形式：名字只能有字母、数字和下划线，比如 password=- 从标准"
                       "输入读取密码，username=me@example.com。");
            return std::nullopt;
        }
        std::string value = item.substr(equals + 1);
        if (value == "-") {
            if (fromStandardInput) {
                printError("标准输入只能读一个值（" + name +
                           "）：其余的请写在命令行上，或分几次用 vesprey-cli inputs 设置。");
                return std::nullopt;
            }
            fromStandardInput = true;
            bool tooLarge = false;
            const auto read = readInput("-", kMaxInputValueBytes + 2, &tooLarge);
            if (!read) {
                printError(tooLarge ? name + " 的值太长（最多 64 KB）。"
                                    : "无法从标准输入读取 " + name + " 的值。");
                return std::nullopt;
            }
            value = *read;
            while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) {
                value.pop_back();
            }
        }
        if (value.size() > kMaxInputValueBytes) {
            printError(name + " 的值太长（最多 64 KB）。");
            return std::nullopt;
        }
        assignments.push_back({name, value.empty() ? std::nullopt : std::optional(value)});
    }
    return assignments;
}

std::optional<std::string> proxyArgument(const std::string& given, std::string_view option) {
    std::string url = given;
    if (given == "-") {
        const auto read = readInput("-", kMaxInputValueBytes);
        if (!read) {
            printError("无法从标准输入读取 " + std::string(option) + " 的代理地址。");
            return std::nullopt;
        }
        url = read->substr(0, read->find_first_of("\r\n"));
    } else if (proxyHasPassword(url)) {
        printError(std::string(option) +
                   " 的代理地址里有密码：命令行上的密码会留在 shell 的历史和进程列表里。请改用 " +
                   std::string(option) +
                   " -，从标准输入给出地址，比如 printf '%s\\n' "
                   "'socks5://用户名:密码@主机:端口' | vesprey-cli …。");
        return std::nullopt;
    }
    if (const std::optional<std::string> problem = proxyProblem(url)) {
        printError(std::string(option) + "：" + *problem);
        return std::nullopt;
    }
    return url;
}

int openDatabase(const Arguments& args, CommandDatabase& database, DatabaseUse use) {
    if (!databasePath(args, database.path)) {
        return kExitBadInput;
    }
    const std::filesystem::path& path = database.path;
    if (use == DatabaseUse::None || use == DatabaseUse::Path) {
        return kExitOk;
    }
    if (!openSiteDatabase(database.db, path)) {
        printError(ansiToUtf8(openFailedMessage()) + "（" + path.string() + "）");
        std::error_code ec;
        if (!std::filesystem::exists(path, ec)) {
            printError(
                "这个文件不存在：请先运行 vesprey-cli init-db 创建它（加 --demo 带两个示例"
                "站点），或用 --db 指定已有的 Sign.db。");
        } else if (std::filesystem::is_directory(path, ec)) {
            printError("这是一个文件夹，不是 Sign.db：请用 --db 写出 Sign.db 文件本身的路径。");
        }
        return kExitDatabase;
    }
    if (use == DatabaseUse::Open) {
        return kExitOk;
    }
    ReadResult read = readSiteList(database.db, database.sites);
    if (read.ok()) {
        read = readPushSettings(database.db, database.push);
    }
    if (!read.ok()) {
        printError("无法读取 " + path.string() + "：" + ansiToUtf8(readFailureText(read)) + "。");
        return kExitDatabase;
    }
    return kExitOk;
}

int loadChannelSettings(SqlDatabase& db, const std::filesystem::path& path,
                        const std::vector<std::string>& channels, ChannelSettings& settings) {
    const bool needed = std::any_of(channels.begin(), channels.end(), [](const std::string& name) {
        const PushChannelInfo* channel = findPushChannel(name);
        return channel != nullptr && channel->row == 0;
    });
    if (!needed) {
        return kExitOk;
    }
    if (const ReadResult read = readChannelSettings(db, settings); !read.ok()) {
        printError("无法读取 " + path.string() + "：" + ansiToUtf8(readFailureText(read)) + "。");
        return kExitDatabase;
    }
    return kExitOk;
}

void printPushFailure(const PushError& error) {
    printError("推送失败：" + ansiToUtf8(error.message));
}

std::string writeFailureText(const WriteResult& written) {
    if (written.busy()) {
        return ansiToUtf8(busyFailureText(written.waitedMs)) + "（" + ansiToUtf8(written.error) +
               "）";
    }
    return ansiToUtf8(written.error);
}

std::optional<std::vector<std::string>> channelList(const std::string& option) {
    std::vector<std::string> channels;
    std::size_t at = 0;
    while (at <= option.size()) {
        const std::size_t end = std::min(option.find(',', at), option.size());
        std::string name = option.substr(at, end - at);
        name.erase(0, name.find_first_not_of(' '));
        name.erase(name.find_last_not_of(' ') + 1);
        at = end + 1;
        if (name.empty()) {
            continue;
        }
        if (findPushChannel(name) == nullptr) {
            printError("--notify 里没有这个通道：" + name + "。可用的通道：" +
                       pushChannelNames("、") + "（几个通道用逗号隔开）。");
            return std::nullopt;
        }
        if (std::find(channels.begin(), channels.end(), name) == channels.end()) {
            channels.push_back(std::move(name));
        }
    }
    if (channels.empty()) {
        printError("--notify 后面没有通道。可用的通道：" + pushChannelNames("、") + "。");
        return std::nullopt;
    }
    return channels;
}

bool reportPushFailures(const std::vector<ChannelPush>& pushes) {
    bool failed = false;
    for (const ChannelPush& push : pushes) {
        if (push.outcome.ok()) {
            continue;
        }
        if (pushes.size() == 1) {
            printPushFailure(push.outcome.error);
        } else {
            printError("推送失败（" + push.channel + "）：" +
                       ansiToUtf8(push.outcome.error.message));
        }
        failed = true;
    }
    return failed;
}

}  // namespace vesprey::cli
