#include "store/push_channels.h"

#include "store/statements.h"

namespace vesprey {

using statements::finish;
using statements::readRows;

ReadResult readChannelSettings(SqlDatabase& db, std::map<Text, Text>& settings) {
    settings.clear();
    return readRows(
        db, "SELECT Name, RobotId FROM Send WHERE id >= 4 ORDER BY id",
        [&](const SqlStatement& stmt) { settings.emplace(stmt.columnText(0), stmt.columnText(1)); },
        [&] { settings.clear(); });
}

ReadResult readChannelSettings(SqlDatabase& db, std::string_view name, Text& settings) {
    settings.clear();
    bool found = false;
    return readRows(
        db, "SELECT RobotId FROM Send WHERE id >= 4 AND Name = @Name ORDER BY id LIMIT 1",
        [&](SqlStatement& stmt) { stmt.bindText("@Name", name); },
        [&](const SqlStatement& stmt) {
            if (!found) {
                settings = stmt.columnText(0);
                found = true;
            }
        },
        [&] { settings.clear(); });
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
    if (WriteResult inserted = finish(db, insert); !inserted) {
        return inserted;
    }
    SqlStatement update = db.prepare(
        "UPDATE Send SET RobotId = @RobotId WHERE id = (SELECT min(id) FROM Send WHERE id >= 4 "
        "AND Name = @Name)");
    update.bindText("@Name", name);
    update.bindText("@RobotId", settings);
    return finish(db, update);
}

}  // namespace vesprey
