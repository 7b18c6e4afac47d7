// The two Template writes of the window, which tell a statement that cannot be prepared from one
// that fails to step: the editor stops silently in the first case and reports the second, the
// modify window warns differently for each.
#pragma once

#include <string_view>

#include "engine/text.h"
#include "store/site_database.h"

namespace vesprey::ui {

enum class WriteOutcome { NotPrepared, Failed, Done };

struct TemplateWrite {
    WriteOutcome outcome = WriteOutcome::NotPrepared;
    Text error;  // SQLite's message when the step failed
};

// "insert into Template (...) values (...)" with the nine fields.
TemplateWrite insertTemplateRow(SqlDatabase& db, const TemplateFields& fields);

// "update Template set ... where id=" + id. An id that is not a decimal number (the list reads it
// from the table's integer key, so it always is one) would change the statement and counts as not
// prepared.
TemplateWrite updateTemplateRow(SqlDatabase& db, std::string_view id, const TemplateFields& fields);

}  // namespace vesprey::ui
