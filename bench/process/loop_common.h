// What the C/C++ loops that do the tool's work (same_work_loop, flow_loop) share: the tool's
// built-in verdict patterns, Sign.db and History.db opened with SQLCipher by their raw page keys,
// and History.db written as the tool writes it after a pass.
#pragma once

#include <errno.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace loop {

// The built-in verdict patterns of the tool, in the order they are tried.
inline constexpr const char* kBuiltInExpired =
    "未登录|请登录|请先登录|登录失效|登录已过期|重新登录|not logged in|unauthori[sz]ed|"
    "(cookie|token|session)[^\\n]{0,20}(失效|过期|无效|expired|invalid)";
inline constexpr const char* kBuiltInAlready = "已签到|已经签到|重复签到|今日已签|今天已签|already";
inline constexpr const char* kBuiltInSuccess = "签到成功|成功签到|打卡成功|success|获得|奖励";

[[noreturn]] inline void die(const char* what, const char* why) {
    std::fprintf(stderr, "%s: %s: %s\n", program_invocation_short_name, what, why);
    std::exit(2);
}

inline sqlite3* openKeyed(const std::string& path, const char* keyHex) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        die(path.c_str(), sqlite3_errmsg(db));
    }
    sqlite3_busy_timeout(db, 5000);
    const std::string raw = std::string("x'") + keyHex + "'";
    sqlite3_key(db, raw.data(), static_cast<int>(raw.size()));
    return db;
}

inline sqlite3_stmt* prepare(sqlite3* db, const char* sql) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
        die(sql, sqlite3_errmsg(db));
    }
    return stmt;
}

inline void execute(sqlite3* db, const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        die(sql, error);
    }
}

inline void stepDone(sqlite3* db, sqlite3_stmt* stmt) {
    if (sqlite3_step(stmt) != SQLITE_DONE) {
        die("step", sqlite3_errmsg(db));
    }
    sqlite3_reset(stmt);
}

inline std::string columnText(sqlite3_stmt* stmt, int column) {
    const auto* text = sqlite3_column_text(stmt, column);
    return text == nullptr
               ? std::string()
               : std::string(reinterpret_cast<const char*>(text),
                             static_cast<std::size_t>(sqlite3_column_bytes(stmt, column)));
}

inline void bindText(sqlite3_stmt* stmt, int index, std::string_view text) {
    sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
}

// The time of a pass as History.db rows hold it: local time, to the second.
inline std::string historyTime() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

// One History.db row of a pass: a list row with its verdict.
struct HistoryRow {
    int templateId = 0;
    int cid = 0;
    std::string name;
    const char* verdict = "";
    bool skipped = false;
    std::string reason;
    std::string result;
    int status = 0;
    int ms = 0;
};

// Every list row of the pass, with the upkeep of each pass, in one transaction: the tables made
// when the file lacks one, rows older than 400 days removed, each account's last two verdicts
// kept in RecentVerdict and the table marked current.
inline void writeHistory(const std::string& historyPath, const char* keyHex,
                         const std::string& passTime, const std::vector<HistoryRow>& rows) {
    int tables = 0;
    sqlite3* history = openKeyed(historyPath, keyHex);
    sqlite3_stmt* names = prepare(history, "SELECT name FROM sqlite_master WHERE type='table'");
    while (sqlite3_step(names) == SQLITE_ROW) {
        const std::string name = columnText(names, 0);
        tables += name == "History" || name == "CookieExpiry" || name == "Setting" ||
                  name == "RecentVerdict";
    }
    sqlite3_finalize(names);
    if (tables < 4) {
        execute(history,
                "BEGIN IMMEDIATE;"
                "CREATE TABLE IF NOT EXISTS History (Time TEXT NOT NULL, TemplateId INTEGER, "
                "Cid INTEGER, WebName TEXT, Verdict TEXT, Reason TEXT, Result TEXT, Status "
                "INTEGER, Ms INTEGER);"
                "CREATE INDEX IF NOT EXISTS HistoryTime ON History (Time);"
                "CREATE TABLE IF NOT EXISTS CookieExpiry (Cid INTEGER PRIMARY KEY, Expires TEXT, "
                "Captured TEXT);"
                "CREATE TABLE IF NOT EXISTS Setting (Name TEXT PRIMARY KEY, Value TEXT);"
                "CREATE TABLE IF NOT EXISTS RecentVerdict (Cid INTEGER NOT NULL, Time TEXT NOT "
                "NULL, Verdict TEXT);"
                "CREATE INDEX IF NOT EXISTS RecentVerdictAccount ON RecentVerdict (Cid, Time);"
                "DROP INDEX IF EXISTS HistoryAccount;"
                "COMMIT");
    }
    constexpr const char* kTrimRecent =
        "DELETE FROM RecentVerdict WHERE (SELECT count(*) FROM RecentVerdict AS newer WHERE "
        "newer.Cid = RecentVerdict.Cid AND (newer.Time > RecentVerdict.Time OR "
        "(newer.Time = RecentVerdict.Time AND newer.rowid > RecentVerdict.rowid))) >= 2";
    constexpr const char* kMarkRecent =
        "INSERT OR REPLACE INTO Setting (Name, Value) "
        "SELECT 'RecentVerdictUpTo', ifnull(max(rowid), 0) FROM History";
    execute(history, "BEGIN IMMEDIATE");
    sqlite3_stmt* current =
        prepare(history,
                "SELECT (SELECT ifnull(max(rowid), 0) FROM History) = ifnull((SELECT CAST(Value AS "
                "INTEGER) FROM Setting WHERE Name = 'RecentVerdictUpTo'), -1)");
    const bool recentCurrent =
        sqlite3_step(current) == SQLITE_ROW && sqlite3_column_int(current, 0) == 1;
    sqlite3_finalize(current);
    if (!recentCurrent) {
        // Another program wrote History without keeping RecentVerdict: made again from it.
        execute(history,
                "DELETE FROM RecentVerdict;"
                "INSERT INTO RecentVerdict (Cid, Time, Verdict) SELECT Cid, Time, Verdict FROM "
                "History WHERE Cid <> 0 AND Verdict <> 'skipped' ORDER BY rowid");
        execute(history, kTrimRecent);
        execute(history, kMarkRecent);
    }
    for (const char* table : {"History", "RecentVerdict"}) {
        const std::string sql =
            std::string("DELETE FROM ") + table + " WHERE Time < datetime(?1, '-400 days')";
        sqlite3_stmt* prune = prepare(history, sql.c_str());
        bindText(prune, 1, passTime);
        stepDone(history, prune);
        sqlite3_finalize(prune);
    }
    sqlite3_stmt* insert = prepare(
        history,
        "INSERT INTO History (Time, TemplateId, Cid, WebName, Verdict, Reason, Result, Status, "
        "Ms) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
    sqlite3_stmt* recent =
        prepare(history, "INSERT INTO RecentVerdict (Cid, Time, Verdict) VALUES (?1, ?2, ?3)");
    for (const HistoryRow& row : rows) {
        bindText(insert, 1, passTime);
        sqlite3_bind_int(insert, 2, row.templateId);
        sqlite3_bind_int(insert, 3, row.cid);
        bindText(insert, 4, row.name);
        bindText(insert, 5, row.verdict);
        bindText(insert, 6, row.reason);
        bindText(insert, 7, row.result);
        sqlite3_bind_int(insert, 8, row.status);
        sqlite3_bind_int(insert, 9, row.ms);
        stepDone(history, insert);
        if (row.cid == 0 || row.skipped) {
            continue;
        }
        sqlite3_bind_int(recent, 1, row.cid);
        bindText(recent, 2, passTime);
        bindText(recent, 3, row.verdict);
        stepDone(history, recent);
    }
    sqlite3_finalize(insert);
    sqlite3_finalize(recent);
    execute(history, kTrimRecent);
    execute(history, kMarkRecent);
    execute(history, "COMMIT");
    sqlite3_close(history);
}

}  // namespace loop
