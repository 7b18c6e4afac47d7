#include "ui/template_writes.h"

#include <string>

namespace vesprey::ui {
namespace {

TemplateWrite write(SqlDatabase& db, const std::string& sql, const TemplateFields& f) {
    bool prepared = false;
    SqlStatement stmt = db.prepare(sql, &prepared);
    if (!prepared || stmt.handle() == nullptr) {
        return {};
    }
    stmt.bindText("@WebName", f.WebName);
    stmt.bindText("@Weblogin", f.Weblogin);
    stmt.bindText("@WebLink", f.WebLink);
    stmt.bindInt("@Qtype", f.Qtype);
    stmt.bindInt("@Rtype", f.Rtype);
    stmt.bindInt("@Ctype", f.Ctype);
    stmt.bindText("@Tying", f.Tying);
    stmt.bindText("@Headers", f.Headers);
    stmt.bindText("@Date", f.Date);
    TemplateWrite result;
    if (stmt.stepCode() == kSqliteDone) {
        result.outcome = WriteOutcome::Done;
    } else {
        // The message is read before the statement goes.
        result.outcome = WriteOutcome::Failed;
        result.error = db.errorMessage();
    }
    stmt.finalize();
    return result;
}

}  // namespace

TemplateWrite insertTemplateRow(SqlDatabase& db, const TemplateFields& fields) {
    return write(db,
                 "insert into Template (WebName,WebLink,Weblogin,Qtype,Rtype,Ctype,Tying,Headers,"
                 "Date) values (@WebName,@WebLink,@Weblogin,@Qtype,@Rtype,@Ctype,@Tying,@Headers,"
                 "@Date)",
                 fields);
}

TemplateWrite updateTemplateRow(SqlDatabase& db, std::string_view id,
                                const TemplateFields& fields) {
    if (id.empty() || id.find_first_not_of("0123456789") != std::string_view::npos) {
        return {};
    }
    return write(db,
                 "update Template set WebName=@WebName,Weblogin=@Weblogin,WebLink=@WebLink,"
                 "Qtype=@Qtype,Rtype=@Rtype,Ctype=@Ctype,Tying=@Tying,Headers=@Headers,Date=@Date "
                 "where id=" +
                     std::string(id),
                 fields);
}

}  // namespace vesprey::ui
