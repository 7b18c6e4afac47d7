// What the store's files share for running their statements: a write stepped to its end and
// reported, a transaction that rolls back unless committed, and a read that gives every row or
// none. For the store's own sources only.
#pragma once

#include <string_view>

#include "store/site_database.h"
#include "store/sql.h"

namespace vesprey::statements {

inline WriteResult notPrepared(SqlDatabase& db) {
    return WriteResult{false, db.errorMessage(), false,
                       db.errorCode() != kSqliteOk ? db.errorCode() : kSqliteError,
                       db.busyWaitedMs()};
}

// Steps a write statement to its end and reports it; SQLite's message is read before the
// statement goes.
inline WriteResult finish(SqlDatabase& db, SqlStatement& stmt) {
    if (stmt.handle() == nullptr) {
        return notPrepared(db);
    }
    WriteResult result;
    result.prepared = true;
    const int code = stmt.stepCode();
    result.done = code == kSqliteDone;
    if (!result.done) {
        result.error = db.errorMessage();
        result.code = code;
        result.waitedMs = db.busyWaitedMs();
    }
    stmt.finalize();
    return result;
}

// Whether the file has the table: the tables this program added are missing from older files.
inline bool hasTable(SqlDatabase& db, std::string_view table) {
    SqlStatement stmt =
        db.prepare("SELECT count(*) FROM sqlite_master WHERE type='table' AND name=@Name");
    stmt.bindText("@Name", table);
    return stmt.step() && stmt.columnInt(0) > 0;
}

inline WriteResult execute(SqlDatabase& db, std::string_view sql) {
    SqlStatement stmt = db.prepare(sql);
    return finish(db, stmt);
}

// A write transaction that rolls back unless committed. IMMEDIATE takes the write lock at once
// (waiting for it as long as the busy timeout), so no write inside meets a busy file half way.
class Transaction {
public:
    explicit Transaction(SqlDatabase& db)
        : db_(db), begun_(execute(db, "BEGIN IMMEDIATE")), open_(begun_.done) {}
    ~Transaction() {
        if (open_) {
            db_.prepare("ROLLBACK").stepCode();
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    // How BEGIN went: done, or why not.
    const WriteResult& begun() const { return begun_; }
    WriteResult commit() {
        WriteResult committed = execute(db_, "COMMIT");
        open_ = !committed;
        return committed;
    }

private:
    SqlDatabase& db_;
    WriteResult begun_;
    bool open_;
};

// Steps `sql`, after `bind` set its parameters, to its end, handing every row to `onRow`. On a
// failure (preparing, or a step that is neither a row nor the end) `discard` drops what was read
// and the failure is returned: nothing is ever read half.
template <typename Bind, typename OnRow, typename Discard>
ReadResult readRows(SqlDatabase& db, std::string_view sql, Bind&& bind, OnRow&& onRow,
                    Discard&& discard) {
    ReadResult result;
    SqlStatement stmt = db.prepare(sql);
    if (stmt.handle() == nullptr) {
        result.code = db.errorCode() != kSqliteOk ? db.errorCode() : kSqliteError;
        result.error = db.errorMessage();
        result.waitedMs = db.busyWaitedMs();
        return result;
    }
    bind(stmt);
    result.started = true;
    int code = stmt.stepCode();
    for (; code == kSqliteRow; code = stmt.stepCode()) {
        onRow(stmt);
    }
    if (code != kSqliteDone) {
        result.code = code;
        result.error = db.errorMessage();
        result.waitedMs = db.busyWaitedMs();
        discard();
    }
    return result;
}

template <typename OnRow, typename Discard>
ReadResult readRows(SqlDatabase& db, std::string_view sql, OnRow&& onRow, Discard&& discard) {
    return readRows(
        db, sql, [](SqlStatement&) {}, std::forward<OnRow>(onRow), std::forward<Discard>(discard));
}

}  // namespace vesprey::statements
