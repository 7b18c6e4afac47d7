// The multi-step templates of Sign.db and the values their accounts give them, in two tables of
// their own beside the shared ones:
//   Flow (Id INTEGER PRIMARY KEY, Steps TEXT): a template's steps (Id is Template.id) as the
//     community format's JSON array, UTF-8, written as it is to be exported;
//   AccountInput (Cid INTEGER, Name TEXT, Value TEXT, PRIMARY KEY (Cid, Name)): an account's
//     inputs (username, password, ...) by WebCookie.Cid; the cookie stays in WebCookie.
// Both live in the encrypted file with the cookies. A file without the tables has no flows and
// no inputs: that is no error, and the tables are made by the first write that needs them.
//
// Everything here is UTF-8, as the flow code (engine/flow) keeps its texts: names and values
// cross into SQLite without conversion.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/site.h"
#include "store/site_database.h"
#include "store/sql.h"

namespace vesprey {

// An account's inputs by name.
using AccountInputs = std::map<std::string, std::string>;

// Every template's steps, by template id.
ReadResult readFlows(SqlDatabase& db, std::map<int, std::string>& steps);
// One template's steps; nothing for a one-request template.
ReadResult readFlow(SqlDatabase& db, int templateId, std::optional<std::string>& steps);
// Stores a template's steps in place of any it had.
WriteResult saveFlow(SqlDatabase& db, int templateId, std::string_view steps);

// Every account's inputs, by Cid.
ReadResult readAccountInputs(SqlDatabase& db, std::map<int, AccountInputs>& inputs);
// One account's inputs.
ReadResult readAccountInputs(SqlDatabase& db, int cid, AccountInputs& inputs);

// One change of an account's inputs: a value to set, or nothing to remove the input.
using InputChange = std::pair<std::string, std::optional<std::string>>;
// Applies the changes in order, all in one transaction: when one fails, none is kept.
WriteResult changeAccountInputs(SqlDatabase& db, int cid, const std::vector<InputChange>& changes);

// Adding a multi-step site: the Template row, its steps, and its first account (the WebCookie
// row with `cookie`, which may be empty, and the account's inputs), all in one transaction as
// addSite does: on any failure nothing of the site is left. The result's id is the template's;
// `cid` the account's.
struct AddFlowSiteResult {
    AddSiteResult site;
    int cid = 0;
};
AddFlowSiteResult addFlowSite(SqlDatabase& db, const TemplateFields& fields,
                              std::string_view cookie, std::string_view steps,
                              const AccountInputs& inputs);

// A further account of a multi-step template: its WebCookie row with `cookie` (which may be
// empty) stamped `ctime`, and its inputs, in one transaction. `cid` receives the account's Cid
// once it is stored.
WriteResult addFlowAccount(SqlDatabase& db, int templateId, std::string_view ctime,
                           std::string_view cookie, const AccountInputs& inputs, int* cid);

// The Cid of a template's newest account; nothing when it has none.
std::optional<int> selectMaxCid(SqlDatabase& db, int templateId);

// Deletes an account: its WebCookie row, its inputs and its note, in one transaction.
WriteResult deleteAccount(SqlDatabase& db, int cid);
// Deletes a site: its Template row, its accounts with their inputs and notes, its steps, its
// verdict rules, its own proxy and 签到周期, in one transaction.
WriteResult deleteSite(SqlDatabase& db, int templateId);

}  // namespace vesprey
