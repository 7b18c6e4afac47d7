#include "store/flows.h"

#include "store/statements.h"

namespace vesprey {
namespace {

using statements::execute;
using statements::finish;
using statements::hasTable;
using statements::notPrepared;
using statements::readRows;
using statements::Transaction;

constexpr std::string_view kCreateFlow =
    "CREATE TABLE IF NOT EXISTS Flow (Id INTEGER PRIMARY KEY, Steps TEXT NOT NULL)";
constexpr std::string_view kCreateAccountInput =
    "CREATE TABLE IF NOT EXISTS AccountInput (Cid INTEGER NOT NULL, Name TEXT NOT NULL, "
    "Value TEXT NOT NULL, PRIMARY KEY (Cid, Name))";

WriteResult doneResult() {
    WriteResult result;
    result.done = true;
    return result;
}

WriteResult changeInputs(SqlDatabase& db, int cid, const std::vector<InputChange>& changes) {
    if (changes.empty()) {
        return doneResult();
    }
    if (WriteResult created = execute(db, kCreateAccountInput); !created) {
        return created;
    }
    for (const auto& [name, value] : changes) {
        SqlStatement stmt = db.prepare(
            value ? "INSERT OR REPLACE INTO AccountInput (Cid, Name, Value) VALUES (@Cid, @Name, "
                    "@Value)"
                  : "DELETE FROM AccountInput WHERE Cid = @Cid AND Name = @Name");
        stmt.bindInt("@Cid", cid);
        stmt.bindUtf8("@Name", name);
        if (value) {
            stmt.bindUtf8("@Value", *value);
        }
        if (WriteResult written = finish(db, stmt); !written) {
            return written;
        }
    }
    return doneResult();
}

WriteResult runDelete(SqlDatabase& db, std::string_view sql, int id) {
    SqlStatement stmt = db.prepare(sql);
    stmt.bindInt("@Id", id);
    return finish(db, stmt);
}

}  // namespace

ReadResult readFlows(SqlDatabase& db, std::map<int, std::string>& steps) {
    steps.clear();
    if (!hasTable(db, "Flow")) {
        return {};
    }
    return readRows(
        db, "SELECT Id, Steps FROM Flow",
        [&](const SqlStatement& stmt) { steps[stmt.columnInt(0)] = stmt.columnUtf8(1); },
        [&] { steps.clear(); });
}

ReadResult readFlow(SqlDatabase& db, int templateId, std::optional<std::string>& steps) {
    steps.reset();
    if (!hasTable(db, "Flow")) {
        return {};
    }
    return readRows(
        db, "SELECT Steps FROM Flow WHERE Id = @Id",
        [&](SqlStatement& stmt) { stmt.bindInt("@Id", templateId); },
        [&](const SqlStatement& stmt) { steps = stmt.columnUtf8(0); }, [&] { steps.reset(); });
}

WriteResult saveFlow(SqlDatabase& db, int templateId, std::string_view steps) {
    if (templateId <= 0) {
        return WriteResult{false, "invalid site id"};
    }
    if (WriteResult created = execute(db, kCreateFlow); !created) {
        return created;
    }
    SqlStatement stmt = db.prepare("INSERT OR REPLACE INTO Flow (Id, Steps) VALUES (@Id, @Steps)");
    stmt.bindInt("@Id", templateId);
    stmt.bindUtf8("@Steps", steps);
    return finish(db, stmt);
}

ReadResult readAccountInputs(SqlDatabase& db, std::map<int, AccountInputs>& inputs) {
    inputs.clear();
    if (!hasTable(db, "AccountInput")) {
        return {};
    }
    return readRows(
        db, "SELECT Cid, Name, Value FROM AccountInput",
        [&](const SqlStatement& stmt) {
            inputs[stmt.columnInt(0)][stmt.columnUtf8(1)] = stmt.columnUtf8(2);
        },
        [&] { inputs.clear(); });
}

ReadResult readAccountInputs(SqlDatabase& db, int cid, AccountInputs& inputs) {
    inputs.clear();
    if (!hasTable(db, "AccountInput")) {
        return {};
    }
    return readRows(
        db, "SELECT Name, Value FROM AccountInput WHERE Cid = @Cid",
        [&](SqlStatement& stmt) { stmt.bindInt("@Cid", cid); },
        [&](const SqlStatement& stmt) { inputs[stmt.columnUtf8(0)] = stmt.columnUtf8(1); },
        [&] { inputs.clear(); });
}

WriteResult changeAccountInputs(SqlDatabase& db, int cid, const std::vector<InputChange>& changes) {
    Transaction transaction(db);
    if (!transaction.begun()) {
        return transaction.begun();
    }
    if (WriteResult changed = changeInputs(db, cid, changes); !changed) {
        return changed;
    }
    if (WriteResult identified = ensureSiteDatabaseId(db); !identified) {
        return identified;
    }
    return transaction.commit();
}

std::optional<int> selectMaxCid(SqlDatabase& db, int templateId) {
    SqlStatement stmt = db.prepare("SELECT max(Cid) FROM WebCookie WHERE Id = @Id");
    stmt.bindInt("@Id", templateId);
    if (!stmt.step() || stmt.columnInt(0) <= 0) {
        return std::nullopt;
    }
    return stmt.columnInt(0);
}

WriteResult addFlowAccount(SqlDatabase& db, int templateId, std::string_view ctime,
                           std::string_view cookie, const AccountInputs& inputs, int* cid) {
    Transaction transaction(db);
    if (!transaction.begun()) {
        return transaction.begun();
    }
    if (WriteResult inserted = insertWebCookie(db, templateId, ctime, cookie); !inserted) {
        return inserted;
    }
    const std::optional<int> added = selectMaxCid(db, templateId);
    if (!added) {
        return WriteResult{false, db.errorMessage(), true};
    }
    std::vector<InputChange> changes;
    for (const auto& [name, value] : inputs) {
        changes.emplace_back(name, value);
    }
    if (WriteResult changed = changeInputs(db, *added, changes); !changed) {
        return changed;
    }
    if (WriteResult identified = ensureSiteDatabaseId(db); !identified) {
        return identified;
    }
    WriteResult committed = transaction.commit();
    if (committed) {
        *cid = *added;
    }
    return committed;
}

AddFlowSiteResult addFlowSite(SqlDatabase& db, const TemplateFields& fields,
                              std::string_view cookie, std::string_view steps,
                              const AccountInputs& inputs) {
    AddFlowSiteResult result;
    AddSiteResult& site = result.site;
    Transaction transaction(db);
    if (!transaction.begun()) {
        site.write = transaction.begun();
        return result;
    }
    site.write = insertTemplate(db, fields);
    if (!site.write) {
        return result;
    }
    site.templateInserted = true;
    const std::optional<int> id = selectMaxTemplateId(db);
    if (!id) {
        site.write = WriteResult{false, db.errorMessage(), true};
        return result;
    }
    site.write = saveFlow(db, *id, steps);
    if (site.write) {
        site.write = insertWebCookie(db, *id, dateTimeToText(std::nullopt, 1), cookie);
    }
    const std::optional<int> cid = site.write ? selectMaxCid(db, *id) : std::nullopt;
    if (site.write && !cid) {
        site.write = WriteResult{false, db.errorMessage(), true};
    }
    if (site.write) {
        std::vector<InputChange> changes;
        for (const auto& [name, value] : inputs) {
            changes.emplace_back(name, value);
        }
        site.write = changeInputs(db, *cid, changes);
    }
    if (site.write) {
        site.write = ensureSiteDatabaseId(db);
    }
    if (site.write) {
        site.write = transaction.commit();
    }
    if (site.write) {
        site.id = *id;
        result.cid = *cid;
    }
    return result;
}

WriteResult deleteAccount(SqlDatabase& db, int cid) {
    Transaction transaction(db);
    if (!transaction.begun()) {
        return transaction.begun();
    }
    if (WriteResult deleted = deleteWebCookie(db, cid); !deleted) {
        return deleted;
    }
    if (hasTable(db, "AccountInput")) {
        if (WriteResult deleted = runDelete(db, "DELETE FROM AccountInput WHERE Cid = @Id", cid);
            !deleted) {
            return deleted;
        }
    }
    if (hasTable(db, "AccountNote")) {
        if (WriteResult deleted = runDelete(db, "DELETE FROM AccountNote WHERE Cid = @Id", cid);
            !deleted) {
            return deleted;
        }
    }
    return transaction.commit();
}

WriteResult deleteSite(SqlDatabase& db, int templateId) {
    Transaction transaction(db);
    if (!transaction.begun()) {
        return transaction.begun();
    }
    std::vector<std::string_view> statements;
    if (hasTable(db, "AccountInput")) {
        statements.push_back(
            "DELETE FROM AccountInput WHERE Cid IN (SELECT Cid FROM WebCookie WHERE Id = @Id)");
    }
    if (hasTable(db, "AccountNote")) {
        statements.push_back(
            "DELETE FROM AccountNote WHERE Cid IN (SELECT Cid FROM WebCookie WHERE Id = @Id)");
    }
    statements.push_back("DELETE FROM WebCookie WHERE Id = @Id");
    if (hasTable(db, "Flow")) {
        statements.push_back("DELETE FROM Flow WHERE Id = @Id");
    }
    if (hasTable(db, "Verdict")) {
        statements.push_back("DELETE FROM Verdict WHERE Id = @Id");
    }
    if (hasTable(db, "TemplateProxy")) {
        statements.push_back("DELETE FROM TemplateProxy WHERE Id = @Id");
    }
    if (hasTable(db, "TemplateSchedule")) {
        statements.push_back("DELETE FROM TemplateSchedule WHERE Id = @Id");
    }
    statements.push_back("DELETE FROM Template WHERE id = @Id");
    for (std::string_view sql : statements) {
        if (WriteResult deleted = runDelete(db, sql, templateId); !deleted) {
            return deleted;
        }
    }
    return transaction.commit();
}

}  // namespace vesprey
