#include "store/template_settings.h"

#include "store/statements.h"

namespace vesprey {

using namespace statements;

namespace {

constexpr std::string_view kCreateProxy =
    "CREATE TABLE IF NOT EXISTS TemplateProxy (Id INTEGER PRIMARY KEY, Url TEXT)";
constexpr std::string_view kCreateSchedule =
    "CREATE TABLE IF NOT EXISTS TemplateSchedule (Id INTEGER PRIMARY KEY, Rule TEXT, Start TEXT)";

WriteResult invalidId() {
    return WriteResult{false, "invalid site id"};
}

// Removes the template's row from `table` (a file without the table has none).
WriteResult removeRow(SqlDatabase& db, std::string_view table, int templateId) {
    if (!hasTable(db, table)) {
        return WriteResult{true, {}, true};
    }
    SqlStatement stmt = db.prepare("DELETE FROM " + std::string(table) + " WHERE Id=@Id");
    stmt.bindInt("@Id", templateId);
    return finish(db, stmt);
}

}  // namespace

ReadResult readTemplateProxies(SqlDatabase& db, std::map<int, Text>& proxies) {
    proxies.clear();
    if (!hasTable(db, "TemplateProxy")) {
        return {};
    }
    return readRows(
        db, "SELECT Id, Url FROM TemplateProxy",
        [&](const SqlStatement& stmt) {
            if (Text url = stmt.columnText(1); !url.empty()) {
                proxies[stmt.columnInt(0)] = std::move(url);
            }
        },
        [&] { proxies.clear(); });
}

WriteResult saveTemplateProxy(SqlDatabase& db, int templateId, std::string_view url) {
    if (templateId <= 0) {
        return invalidId();
    }
    if (url.empty()) {
        return removeRow(db, "TemplateProxy", templateId);
    }
    if (WriteResult created = execute(db, kCreateProxy); !created) {
        return created;
    }
    SqlStatement stmt =
        db.prepare("INSERT OR REPLACE INTO TemplateProxy (Id, Url) VALUES (@Id, @Url)");
    if (stmt.handle() == nullptr) {
        return notPrepared(db);
    }
    stmt.bindInt("@Id", templateId);
    stmt.bindText("@Url", url);
    return finish(db, stmt);
}

ReadResult readTemplateSchedules(SqlDatabase& db, std::map<int, StoredSchedule>& schedules) {
    schedules.clear();
    if (!hasTable(db, "TemplateSchedule")) {
        return {};
    }
    return readRows(
        db, "SELECT Id, Rule, Start FROM TemplateSchedule",
        [&](const SqlStatement& stmt) {
            schedules[stmt.columnInt(0)] = {stmt.columnText(1), stmt.columnText(2)};
        },
        [&] { schedules.clear(); });
}

WriteResult saveTemplateSchedule(SqlDatabase& db, int templateId, const StoredSchedule& schedule) {
    if (templateId <= 0) {
        return invalidId();
    }
    if (schedule.rule.empty() || schedule.rule == "daily") {
        return removeRow(db, "TemplateSchedule", templateId);
    }
    if (WriteResult created = execute(db, kCreateSchedule); !created) {
        return created;
    }
    SqlStatement stmt = db.prepare(
        "INSERT OR REPLACE INTO TemplateSchedule (Id, Rule, Start) VALUES (@Id, @Rule, @Start)");
    if (stmt.handle() == nullptr) {
        return notPrepared(db);
    }
    stmt.bindInt("@Id", templateId);
    stmt.bindText("@Rule", schedule.rule);
    stmt.bindText("@Start", schedule.start);
    return finish(db, stmt);
}

}  // namespace vesprey
