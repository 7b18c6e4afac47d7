#include "store/push_channels.h"

namespace vesprey {
namespace {

ReadResult failedRead(SqlDatabase& db, int code, bool started) {
    ReadResult result;
    result.code = code != kSqliteOk ? code : kSqliteError;
    result.error = db.errorMessage();
    result.started = started;
    return result;
}

// Steps a bound write statement to its end.
WriteResult step(SqlDatabase& db, SqlStatement& stmt) {
    if (stmt.handle() == nullptr) {
        return WriteResult{false, db.errorMessage(), false, db.errorCode()};
    }
    const int code = stmt.stepCode();
    if (code != kSqliteDone) {
        WriteResult failed{false, db.errorMessage(), true, code};
        stmt.finalize();
        return failed;
    }
    stmt.finalize();
    return WriteResult{true, {}, true, kSqliteOk};
}

}  // namespace

ReadResult readChannelSettings(SqlDatabase& db, std::map<Text, Text>& settings) {
    settings.clear();
    SqlStatement stmt = db.prepare("SELECT Name, RobotId FROM Send WHERE id >= 4 ORDER BY id");
    if (stmt.handle() == nullptr) {
        return failedRead(db, db.errorCode(), false);
    }
    int code = stmt.stepCode();
    for (; code == kSqliteRow; code = stmt.stepCode()) {
        settings.emplace(stmt.columnText(0), stmt.columnText(1));
    }
    if (code != kSqliteDone) {
        settings.clear();
        return failedRead(db, code, true);
    }
    return {};
}

ReadResult readChannelSettings(SqlDatabase& db, std::string_view name, Text& settings) {
    settings.clear();
    SqlStatement stmt =
        db.prepare("SELECT RobotId FROM Send WHERE id >= 4 AND Name = @Name ORDER BY id LIMIT 1");
    if (stmt.handle() == nullptr) {
        return failedRead(db, db.errorCode(), false);
    }
    stmt.bindText("@Name", name);
    const int code = stmt.stepCode();
    if (code == kSqliteRow) {
        settings = stmt.columnText(0);
        return {};
    }
    return code == kSqliteDone ? ReadResult{} : failedRead(db, code, true);
}

WriteResult saveChannelSettings(SqlDatabase& db, std::string_view name, std::string_view settings) {
    // Each statement is whole on its own: the row is added only while the channel has none (with
    // these settings already), then the channel's row gets them. Two programs saving at once
    // leave one row with the settings of whichever saved last.
    SqlStatement insert = db.prepare(
        "INSERT INTO Send (id, Name, RobotId) SELECT (SELECT max(3, coalesce(max(id), 0)) + 1 "
        "FROM Send), @Name, @RobotId WHERE NOT EXISTS (SELECT 1 FROM Send WHERE id >= 4 AND "
        "Name = @Name)");
    insert.bindText("@Name", name);
    insert.bindText("@RobotId", settings);
    if (WriteResult inserted = step(db, insert); !inserted) {
        return inserted;
    }
    SqlStatement update = db.prepare(
        "UPDATE Send SET RobotId = @RobotId WHERE id = (SELECT min(id) FROM Send WHERE id >= 4 "
        "AND Name = @Name)");
    update.bindText("@Name", name);
    update.bindText("@RobotId", settings);
    return step(db, update);
}

}  // namespace vesprey
