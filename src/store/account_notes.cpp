#include "store/account_notes.h"

#include <string>

#include "store/statements.h"
#include "text/gbk_text.h"

namespace vesprey {
namespace {

using statements::execute;
using statements::finish;
using statements::hasTable;
using statements::readRows;

constexpr std::string_view kCreateAccountNote =
    "CREATE TABLE IF NOT EXISTS AccountNote (Cid INTEGER PRIMARY KEY, Note TEXT NOT NULL)";

// The note as it is kept: on one line, without blanks at its ends, at most
// kMaxAccountNoteCharacters characters.
std::string keptNote(std::string_view note) {
    std::string line(note);
    for (char& c : line) {
        if (c == '\r' || c == '\n' || c == '\t') {
            c = ' ';
        }
    }
    std::string trimmed(gbk::trimSpaces(line));
    if (gbk::characterCount(trimmed) <= kMaxAccountNoteCharacters) {
        return trimmed;
    }
    return gbk::shortened(trimmed, kMaxAccountNoteCharacters);
}

}  // namespace

ReadResult readAccountNotes(SqlDatabase& db, std::map<int, Text>& notes) {
    notes.clear();
    if (!hasTable(db, "AccountNote")) {
        return {};
    }
    return readRows(
        db, "SELECT Cid, Note FROM AccountNote",
        [&](const SqlStatement& stmt) { notes[stmt.columnInt(0)] = stmt.columnText(1); },
        [&] { notes.clear(); });
}

WriteResult writeAccountNote(SqlDatabase& db, int cid, std::string_view note) {
    const std::string kept = keptNote(note);
    if (kept.empty()) {
        if (!hasTable(db, "AccountNote")) {
            WriteResult nothing;
            nothing.done = true;
            return nothing;
        }
        SqlStatement stmt = db.prepare("DELETE FROM AccountNote WHERE Cid = @Cid");
        stmt.bindInt("@Cid", cid);
        return finish(db, stmt);
    }
    if (WriteResult created = execute(db, kCreateAccountNote); !created) {
        return created;
    }
    SqlStatement stmt =
        db.prepare("INSERT OR REPLACE INTO AccountNote (Cid, Note) VALUES (@Cid, @Note)");
    stmt.bindInt("@Cid", cid);
    stmt.bindText("@Note", kept);
    return finish(db, stmt);
}

}  // namespace vesprey
