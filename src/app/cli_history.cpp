// `history`: what the passes of the last days made of each account, from History.db beside
// Sign.db; and the cookie health that `list` and `sign` read from the same file.

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <string>
#include <system_error>
#include <vector>

#include "app/cli.h"
#include "engine/verdict.h"
#include "json/json.h"
#include "store/history.h"

namespace vesprey::cli {
namespace {

constexpr int kDefaultDays = 30;

// One character a day: ✓ went well, ✗ failed, ! cookie expired, ? unknown, · no pass.
std::string dayMark(std::string_view verdict) {
    if (verdict.empty()) {
        return "·";
    }
    if (verdict == verdictName(Verdict::Success) || verdict == verdictName(Verdict::Already)) {
        return "✓";
    }
    if (verdict == verdictName(Verdict::Failed)) {
        return "✗";
    }
    if (verdict == verdictName(Verdict::Expired)) {
        return "!";
    }
    return "?";
}

// The result of the latest row; the verdict's caption when it has none (a skipped account).
std::string lastResult(const HistoryEntry& last) {
    if (!last.result.empty()) {
        return oneLine(terminalText(last.result));
    }
    for (std::size_t v = 0; v < kVerdictCount; ++v) {
        const auto verdict = static_cast<Verdict>(v);
        if (last.verdict == verdictName(verdict)) {
            return terminalText(verdictCaption(verdict));
        }
    }
    return {};
}

void printRowsJson(const std::vector<HistoryEntry>& rows) {
    std::string out = "[";
    for (const HistoryEntry& row : rows) {
        out += out.size() == 1 ? "{" : ",{";
        out += "\"time\":" + jsonUtf8String(row.time);
        out += ",\"id\":" + std::to_string(row.templateId);
        out += ",\"cid\":" + std::to_string(row.cid);
        out += ",\"site\":" + jsonUtf8String(row.site);
        out += ",\"verdict\":" + jsonUtf8String(row.verdict);
        out += ",\"reason\":" + jsonUtf8String(row.reason);
        out += ",\"result\":" + jsonUtf8String(row.result);
        out += ",\"status\":" + std::to_string(row.status);
        out += ",\"ms\":" + std::to_string(row.ms) + "}";
    }
    out += "]\n";
    std::fputs(out.c_str(), stdout);
}

// Columns 网站, Cid, one character a day, 最近结果, aligned on display width like `list`.
void printAccounts(const std::vector<AccountHistory>& accounts, int days) {
    std::vector<std::array<std::string, 4>> table;
    table.push_back({"网站", "Cid", "最近 " + std::to_string(days) + " 天（旧→新）", "最近结果"});
    for (const AccountHistory& account : accounts) {
        std::string marks;
        for (const Text& verdict : account.days) {
            marks += dayMark(verdict);
        }
        table.push_back({oneLine(terminalText(account.site)),
                         account.cid != 0 ? std::to_string(account.cid) : "-", marks,
                         lastResult(account.last)});
    }
    std::array<std::size_t, 4> widths{};
    for (const auto& line : table) {
        for (std::size_t c = 0; c < widths.size(); ++c) {
            widths[c] = std::max(widths[c], displayWidth(line[c]));
        }
    }
    for (const auto& line : table) {
        std::string out;
        for (std::size_t c = 0; c + 1 < line.size(); ++c) {
            out += padRight(line[c], widths[c] + 2);
        }
        out += line.back();
        while (!out.empty() && out.back() == ' ') {
            out.pop_back();
        }
        std::fputs((out + "\n").c_str(), stdout);
    }
}

int runHistory(const Arguments& args) {
    if (!args.positionals().empty()) {
        printError("history 不接受多余的参数：" + args.positionals().front() + "。");
        return kExitBadInput;
    }
    const std::optional<int> given = daysOption(args, kDefaultDays);
    if (!given) {
        return kExitBadInput;
    }
    const int days = *given;
    CommandDatabase signDb;
    if (const int code = openDatabase(args, signDb); code != kExitOk) {
        return code;
    }
    const std::filesystem::path& database = signDb.path;
    const std::string file = historyDatabasePath(database).string();
    const bool json = args.flag("--json");
    if (args.flag("--new-history") && HistoryDatabase::exists(database)) {
        HistoryDatabase anew;
        const WriteResult made = anew.create(database, HistoryStart::Anew);
        if (!anew.setAsidePath().empty()) {
            printSetAsideHistory(anew.setAsidePath());
        }
        if (!made) {
            printError("无法读取签到历史 " + file + "：" + historyWriteFailureText(made) + "。");
            return kExitDatabase;
        }
    }
    if (!HistoryDatabase::exists(database)) {
        printError("还没有签到历史：" + file + " 还不存在，签到一次（vesprey-cli sign）后就有了。");
        if (json) {
            std::fputs("[]\n", stdout);
        }
        return kExitOk;
    }
    HistoryDatabase history;
    std::vector<HistoryEntry> rows;
    const double now = nowDateTime();
    ReadResult read = history.open(database);
    if (read.ok()) {
        read = history.readDays(days, now, rows);
    }
    if (!read.ok()) {
        printError("无法读取签到历史 " + file + "：" + historyReadFailure(read) + "。");
        return kExitDatabase;
    }
    if (json) {
        printRowsJson(rows);
        return kExitOk;
    }
    const std::vector<AccountHistory> accounts = accountHistories(rows, historyDays(days, now));
    if (accounts.empty()) {
        printError("最近 " + std::to_string(days) + " 天没有签到记录（" + file + "）。");
        return kExitOk;
    }
    printAccounts(accounts, days);
    return kExitOk;
}

}  // namespace

namespace {

constexpr std::string_view kNewHistoryHint = "；要把它留在一边、另起一个新的，请加 --new-history";

}  // namespace

std::string historyWriteFailureText(const WriteResult& written) {
    std::string text = writeFailureText(written);
    if (written.code == kHistoryOfAnotherFile) {
        text += kNewHistoryHint;
    }
    return text;
}

std::string historyReadFailure(const ReadResult& read) {
    std::string text = ansiToUtf8(historyReadFailureText(read));
    if (read.code == kHistoryOfAnotherFile) {
        text += kNewHistoryHint;
    }
    return text;
}

void printSetAsideHistory(const std::filesystem::path& setAside) {
    printError("属于另一个 Sign.db 的签到历史已改名留在 " + setAside.string() +
               "，新的签到历史从这里开始。");
}

CookieHealth readCookieHealth(const std::filesystem::path& database) {
    CookieHealth health;
    if (const ReadResult read = vesprey::readCookieHealth(database, health); !read.ok()) {
        printCookieHealthFailure(read, database);
    }
    return health;
}

void printCookieHealthFailure(const ReadResult& read, const std::filesystem::path& database) {
    printError("签到历史读不出，这次不看 Cookie 的过期时间：" +
               ansiToUtf8(historyReadFailureText(read)) + "（" +
               historyDatabasePath(database).string() + "）。");
}

std::string cookieHealthText(const CookieHealth& health, int cid, double now) {
    if (cid == 0) {
        return {};
    }
    if (expiredTwice(health, cid)) {
        return "失效";
    }
    const auto expiry = health.expiries.find(cid);
    if (expiry == health.expiries.end()) {
        return {};
    }
    const std::optional<int> days = cookieDaysLeft(expiry->second.expires, now);
    if (!days) {
        return {};
    }
    return *days < 0 ? "已过期" : terminalText(expiry->second.expires.substr(0, 10));
}

const Command& historyCommand() {
    static const Command command{
        .name = "history",
        .summary = "每个账号最近几天的签到结果（每天一个字符）和最近的返回内容",
        .options = {databaseOption("Sign.db 的路径", "History.db 在它旁边"),
                    {.name = "--days", .value = "N", .help = "显示最近几天，1 到 400，默认 30"},
                    {.name = "--json",
                     .help = "标准输出改为 JSON 数组（UTF-8），最近 N 天的每一行记录从旧到新：\n"
                             "time、id（模板）、cid、site、verdict、reason、result、status、ms"},
                    {.name = "--new-history",
                     .help = "History.db 属于另一个 Sign.db 时，把它改名留在旁边\n"
                             "（History.other-日期-时间.db），另起一个新的（空的）签到历史"}},
        .description =
            "读取 Sign.db 旁边的 History.db（每次 sign 追加，保留 400 天），每个账号一行：\n"
            "网站、Cid、最近 N 天每天一个字符（从旧到新），以及最近一次的返回内容。\n"
            "  ✓ 成功或已签到   ✗ 失败   ! Cookie 失效   ? 未知   · 那天没有签到\n"
            "一天签了几次时取最差的一次：失败、失效优先于未知，未知优先于成功。\n"
            "History.db 还不存在时说明一句（标准错误），以 0 退出，--json 时输出 []。\n",
        .epilogue =
            "退出码: 0 成功（也包括还没有历史）；1 参数错误；2 History.db 读不出（损坏、\n"
            "被占用、密钥不对）。\n"
            "Sign.db 打不开（不存在、是文件夹）、History.db 属于另一个 Sign.db、或两者是同一个\n"
            "文件时也以 2 退出。\n",
        .database = DatabaseUse::Open,
        .run = runHistory};
    return command;
}

}  // namespace vesprey::cli
