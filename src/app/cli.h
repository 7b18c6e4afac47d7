// The headless program's commands. Each command lives in its own file and is listed in
// cli_main.cpp. Arguments arrive as UTF-8 (the terminal's encoding) and output leaves as UTF-8;
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

struct Command {
    std::string_view name;
    std::string_view summary;  // one line for the program's --help
    std::string_view usage;    // the command's --help, several lines
    int (*run)(const std::vector<std::string>& args);
};

// Parsed arguments of one command: options that take a value, flags, and positionals.
// "--name value" and "--name=value" both work; "--" ends the options; "-" is a positional.
class Arguments {
public:
    Arguments(const std::vector<std::string>& args, std::set<std::string> valueOptions,
              std::set<std::string> flags);

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }  // UTF-8 sentence
    bool helpRequested() const { return help_; }

    std::optional<std::string> value(const std::string& name) const;
    bool flag(const std::string& name) const { return flags_.count(name) != 0; }
    const std::vector<std::string>& positionals() const { return positionals_; }

private:
    std::map<std::string, std::string> values_;
    std::set<std::string> flags_;
    std::vector<std::string> positionals_;
    std::string error_;
    bool help_ = false;
};

// Parses and handles the common cases: prints the usage for --help (returns kExitOk through
// *exitCode) or the error plus a hint (kExitBadInput). Returns true when the command should run.
bool parseOrExit(const Command& command, const Arguments& args, int* exitCode);

// Core text (code page 936) as the terminal gets it: UTF-8, every control character but CR, LF
// and TAB shown as U+FFFD, so that no site can move the cursor, ring or clear a screen.
std::string terminalText(std::string_view text);
// Output edges: core text (code page 936) to the terminal as UTF-8, through terminalText.
void printText(std::FILE* stream, std::string_view text);
void printLine(std::FILE* stream, std::string_view text);
// A UTF-8 message to stderr with a final newline.
void printError(std::string_view utf8);

// Display width of UTF-8 text in a terminal (East Asian wide characters take two columns).
std::size_t displayWidth(std::string_view utf8);
// Pads UTF-8 text with blanks to the given display width.
std::string padRight(std::string_view utf8, std::size_t width);

// The bytes of a file as they are, or of standard input for "-"; nothing when it cannot be read.
std::optional<Bytes> readInput(const std::string& name);

// The --db option's path, or the default location. An empty --db is refused with a message:
// false, and the command exits with kExitBadInput.
bool databasePath(const Arguments& args, std::filesystem::path& path);

// Sign.db of the command opened with its key, the account list read and, when `push` is given,
// the push keys. Otherwise prints why not and returns the exit code: kExitBadInput for an empty
// --db, kExitDatabase when the file cannot be opened or read (in use, damaged, wrong key). A list
// is never returned cut short.
int openDatabase(const Arguments& args, SqlDatabase& db, std::filesystem::path& path);
int loadDatabase(const Arguments& args, SiteList& sites, PushSettings* push);
int loadDatabase(const Arguments& args, SqlDatabase& db, std::filesystem::path& path,
                 SiteList& sites, PushSettings* push);

// "增加模板失败" and the like for a write, saying "in use" when the busy timeout ran out.
std::string writeFailureText(const WriteResult& written);

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

// The commands.
const Command& initDbCommand();
const Command& listCommand();
const Command& signCommand();
const Command& historyCommand();
const Command& pushTestCommand();
const Command& pushSetCommand();
const Command& evalCommand();
const Command& importCommand();

}  // namespace vesprey::cli
