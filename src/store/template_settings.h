// A template's own settings beyond its Template row, in tables of their own that a file gets with
// its first such setting:
//   TemplateProxy (Id, Url)            the proxy its accounts' requests go through;
//   TemplateSchedule (Id, Rule, Start) its 签到周期: "daily", "every:N" (counted from Start,
//                                      "YYYY-MM-DD") or "weekdays:1,3,5".
// Id is the template's id. A file without the tables has no such settings: that is no error.
#pragma once

#include <map>
#include <string_view>

#include "store/site_database.h"
#include "store/sql.h"
#include "text/text.h"

namespace vesprey {

// Every template's proxy address, by template id.
ReadResult readTemplateProxies(SqlDatabase& db, std::map<int, Text>& proxies);
// Stores a template's proxy address; an empty one removes it.
WriteResult saveTemplateProxy(SqlDatabase& db, int templateId, std::string_view url);

struct StoredSchedule {
    Text rule;   // "daily", "every:N", "weekdays:1,3,5"
    Text start;  // "YYYY-MM-DD": the first day of every:N
    bool operator==(const StoredSchedule&) const = default;
};
// Every template's 签到周期, by template id.
ReadResult readTemplateSchedules(SqlDatabase& db, std::map<int, StoredSchedule>& schedules);
// Stores a template's 签到周期; an empty rule, or "daily", removes it (every day is the default).
WriteResult saveTemplateSchedule(SqlDatabase& db, int templateId, const StoredSchedule& schedule);

}  // namespace vesprey
