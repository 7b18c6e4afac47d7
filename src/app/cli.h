// The headless program's commands. Each command lives in its own file and is listed in
// cli_commands.cpp. Arguments arrive as UTF-8 (the terminal's encoding) and output leaves as UTF-8;
// texts from the core are code page 936 and go through printText / printLine.
#pragma once

#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/environment.h"
#include "engine/flow/formats.h"
#include "engine/push.h"
#include "engine/sign_in_run.h"
#include "store/history.h"
#include "store/site_database.h"
#include "text/text.h"

namespace vesprey::cli {

// The environment as the program read it when it started (main sets it first thing).
const ProgramEnvironment& environment();
void setEnvironment(ProgramEnvironment environment);

// Exit codes shared by every command.
inline constexpr int kExitOk = 0;
inline constexpr int kExitBadInput = 1;
inline constexpr int kExitDatabase = 2;
inline constexpr int kExitNeedsAttention = 3;  // sign: an account expired or failed
inline constexpr int kExitPushFailed = 4;
inline constexpr int kExitTimeUp = 5;  // sign: --max-time ran out before the pass's end
// sign: another pass (the desktop window's or another sign's) is running on the same Sign.db
inline constexpr int kExitPassRunning = 6;
// cookiecloud, sign --cookiecloud: CookieCloud is not set, cannot be reached, or its data does not
// decrypt; nothing was changed
inline constexpr int kExitCookieCloud = 7;

class Arguments;

// One option of a command. The parser takes these declarations and nothing else, and the
// command's --help (its synopsis and option list) is made from them.
struct Option {
    std::string_view name = {};   // "--db"
    std::string_view value = {};  // the value's placeholder ("PATH", "N"); empty for a flag
    std::string help = {};        // the option list's text, '\n' between its lines
    bool required = false;        // written without brackets in the synopsis
    bool orNext = false;          // an alternative to the next option: "[--json|--regex]"
    bool repeated = false;        // may be given several times: "[--input NAME=VALUE]…"
};

// What a command does with Sign.db; openDatabase gives it that much.
enum class DatabaseUse {
    None,      // no Sign.db at all
    Path,      // only its path: --db or the default location (a new file, History.db beside it)
    Open,      // the file opened with its key
    Accounts,  // opened, the account list and the push keys read
};

// A command: its declarations, its --help texts and what it runs. The --help is the synopsis,
// `description`, the option list and `epilogue`, a blank line between them.
struct Command {
    std::string_view name = {};
    std::string_view summary = {};     // one line for the program's --help
    std::vector<Option> options = {};  // in the order of the synopsis and the option list
    std::string_view operands = {};    // the synopsis after the options ("文件|-"), or nothing
    std::string description = {};      // what the command does, several lines
    std::string epilogue = {};         // after the option list: exit codes, examples
    DatabaseUse database = DatabaseUse::None;
    int (*run)(const Arguments& args) = nullptr;
};

// Every command, in the order of the program's --help.
const std::vector<const Command*>& commands();
// The program's --help: what it is, the commands, where Sign.db is found, the exit codes.
std::string programHelp();
// "vesprey-cli sign [--db PATH] [--notify 通道[,通道…]] …" on one line.
std::string synopsis(const Command& command);
// The command's --help.
std::string commandHelp(const Command& command);
// Parses `args` by the command's declarations and runs it. --help prints the command's help
// (kExitOk); an argument it does not take prints why and a hint (kExitBadInput).
int runCommand(const Command& command, const std::vector<std::string>& args);

// Parsed arguments of one command, by its declarations: options that take a value, flags, and
// positionals. "--name value" and "--name=value" both work; "--" ends the options; "-" is a
// positional.
class Arguments {
public:
    Arguments(const Command& command, const std::vector<std::string>& args);

    const Command& command() const { return *command_; }
    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }  // UTF-8 sentence
    bool helpRequested() const { return help_; }

    // The option's value; the last one when it was given several times.
    std::optional<std::string> value(const std::string& name) const;
    // Every value of the option, in the order given.
    std::vector<std::string> values(const std::string& name) const;
    bool flag(const std::string& name) const { return flags_.count(name) != 0; }
    const std::vector<std::string>& positionals() const { return positionals_; }

private:
    const Command* command_;
    std::map<std::string, std::vector<std::string>> values_;
    std::set<std::string> flags_;
    std::vector<std::string> positionals_;
    std::string error_;
    bool help_ = false;
};

// Core text (code page 936) as the terminal gets it: UTF-8, every control character but CR, LF
// and TAB shown as U+FFFD, so that no site can move the cursor, ring or clear a screen.
std::string terminalText(std::string_view text);
// Output edges: core text (code page 936) to the terminal as UTF-8, through terminalText.
void printText(std::FILE* stream, std::string_view text);
void printLine(std::FILE* stream, std::string_view text);
// UTF-8 text as a terminal may show it: bytes that are no UTF-8 (an argument typed in another
// encoding), and control characters but LF and TAB, written as \xHH.
std::string escapedUtf8(std::string_view utf8);
// A UTF-8 message to stderr with a final newline, through escapedUtf8.
void printError(std::string_view utf8);
// The --days option of history and digest, 1 to kHistoryKeepDays; `fallback` without it; nothing
// (after saying why) for another value.
std::optional<int> daysOption(const Arguments& args, int fallback);

// Display width of UTF-8 text in a terminal (East Asian wide characters take two columns).
std::size_t displayWidth(std::string_view utf8);
// The first characters of UTF-8 text that fit in `width` terminal columns, "…" in place of the
// rest when some are left out.
std::string fitWidth(std::string_view utf8, std::size_t width);
// A table's cells before the last are cut to this many columns: one long name must not widen
// every line of the table.
inline constexpr std::size_t kMaxCellColumns = 48;
// Pads UTF-8 text with blanks to the given display width.
std::string padRight(std::string_view utf8, std::size_t width);

// The bytes of a file as they are, or of standard input for "-"; nothing when it cannot be read.
// More than `limit` bytes are not read: nothing, with *tooLarge set when given.
std::optional<Bytes> readInput(const std::string& name, std::size_t limit,
                               bool* tooLarge = nullptr);

// The --db option of a command that uses Sign.db: `what` the path names ("Sign.db 的路径"),
// the default location, and after a "；" the lines of `more` when given.
Option databaseOption(std::string_view what, std::string_view more = {});

// Sign.db as a command declared it (Command::database): the path of --db or the default
// location, the file opened with its key, the account list and the push keys read.
struct CommandDatabase {
    std::filesystem::path path;
    SqlDatabase db;
    SiteList sites;
    PushSettings push;
};
// Fills `database` as far as the command's DatabaseUse asks. Otherwise prints why not and
// returns the exit code: kExitBadInput for an empty --db, kExitDatabase when the file cannot be
// opened or read (in use, damaged, wrong key). A list is never returned cut short.
int openDatabase(const Arguments& args, CommandDatabase& database);
// The same as far as `use` asks, for a command that needs Sign.db only with some options.
int openDatabase(const Arguments& args, CommandDatabase& database, DatabaseUse use);

// One value a multi-step template's account is given: "NAME=VALUE", "NAME=-" (the value from
// standard input, its final line break dropped) or "NAME=" (removes it: no value).
struct InputAssignment {
    std::string name;
    std::optional<std::string> value;
};
// The account `cid` of the list `database` read, with its multi-step template's flow and inputs
// when it has one; otherwise prints why not and returns the exit code (kExitBadInput for no such
// account, kExitDatabase when the flows cannot be read).
int accountRow(CommandDatabase& database, int cid, PassRow& row);

// The steps of a template file in the community format (a JSON array, or a HAR file of QD), a
// browser's HAR file (the requests `picks` names) or a curl command line, as community JSON, with
// the cookie it held for the account (flow::importFlowText). Otherwise prints why not, `what`
// saying what did not happen ("没有导入"), and gives nothing; a browser's HAR without picks lists
// its requests first.
std::optional<flow::ImportedFlow> flowOfFile(std::string_view utf8, flow::TemplateFormat format,
                                             const std::vector<std::size_t>& picks,
                                             std::string_view what);
// The picks of --pick ("1,3,4"); nothing after saying why not.
std::optional<std::vector<std::size_t>> picksOf(const std::string& given);

// The longest input value taken.
inline constexpr std::size_t kMaxInputValueBytes = 64 * 1024;
// Reads the assignments given (--input of import and try, the operands of inputs). Standard input
// gives at most one value, none when `standardInputTaken` (it holds the template). Otherwise
// prints why not and gives nothing.
std::optional<std::vector<InputAssignment>> readInputAssignments(
    const std::vector<std::string>& given, bool standardInputTaken);

// The settings of the channels kept as JSON when one of `channels` is such a channel (a file
// that has only the first three rows is never asked for more), or the exit code after saying why
// they cannot be read.
int loadChannelSettings(SqlDatabase& db, const std::filesystem::path& path,
                        const std::vector<std::string>& channels, ChannelSettings& settings);
// "推送失败：" and the reason, on stderr.
void printPushFailure(const PushError& error);
// The channels of --notify, "bark" or "bark,telegram", in the order given, each once; nothing
// (after saying why) when one of them is no channel.
std::optional<std::vector<std::string>> channelList(const std::string& option);
// Each failed push on stderr: one channel as "推送失败：…", several each by name
// ("推送失败（telegram）：…"). True when one failed.
bool reportPushFailures(const std::vector<ChannelPush>& pushes);

// "增加模板失败" and the like for a write, saying "in use" when the busy timeout ran out.
std::string writeFailureText(const WriteResult& written);
// The same for History.db, with the hint of --new-history for a History.db of another Sign.db.
std::string historyWriteFailureText(const WriteResult& written);
// Why History.db could not be read, with the same hint.
std::string historyReadFailure(const ReadResult& read);
// "属于另一个 Sign.db 的签到历史已改名留在 …，新的签到历史从这里开始。" on stderr.
void printSetAsideHistory(const std::filesystem::path& setAside);

// A result in a table row: line breaks and tabs shown as blanks.
std::string oneLine(std::string utf8);

// What History.db beside Sign.db knows of the accounts' cookies (store/history.h), for `list` and
// `sign`. A file that cannot be read is said on stderr and counts as empty.
CookieHealth readCookieHealth(const std::filesystem::path& database);
// "签到历史读不出，这次不看 Cookie 的过期时间：…" on stderr.
void printCookieHealthFailure(const ReadResult& read, const std::filesystem::path& database);
// The account's "Cookie 过期" cell (UTF-8): "失效" when its last two passes found the cookie
// expired, else its cookie's expiry day, "已过期" once that is past, or nothing.
std::string cookieHealthText(const CookieHealth& health, int cid, double now);

// How syncFromCookieCloud reports: every account and what would change in its cookie (names
// only) on standard output, or the accounts written in one line on standard error.
enum class SyncReport { Accounts, Summary };
// Downloads the browser's cookies with the settings Sign.db holds and merges them into the
// accounts of `database.sites`; with `apply` writes the accounts whose cookie changes (only where
// the row still holds the cookie that was read). Failures are one sentence on stderr: the exit
// code kExitCookieCloud when the data could not be had (nothing changed), kExitDatabase when it
// could not be written.
int syncFromCookieCloud(CommandDatabase& database, bool apply, SyncReport report);
// A proxy address given to `option` (--proxy of sign and site-set): the address, or for "-" the
// first line of standard input. An address with a password on the command line is refused (it
// would stay in the shell's history and the process list), and so is one written otherwise than
// web/proxy.h says; nothing after saying why.
std::optional<std::string> proxyArgument(const std::string& given, std::string_view option);

// The commands.
const Command& initDbCommand();
const Command& listCommand();
const Command& signCommand();
const Command& historyCommand();
const Command& pushTestCommand();
const Command& pushSetCommand();
const Command& evalCommand();
const Command& importCommand();
const Command& inputsCommand();
const Command& exportCommand();
const Command& tryCommand();
const Command& cookieCloudCommand();
const Command& digestCommand();
const Command& siteSetCommand();

}  // namespace vesprey::cli
