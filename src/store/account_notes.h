// Each account's 备注 (a nickname the user gives it, so that two accounts of one site tell apart
// in the list), kept in Sign.db's table AccountNote by the account's Cid. The table is made on the
// first note; files without it have no notes. Notes are code page 936 text in the core, UTF-8 in
// the file, like the other texts.
#pragma once

#include <map>
#include <string_view>

#include "store/site_database.h"
#include "text/text.h"

namespace vesprey {

// The longest note kept, in characters: longer ones are cut there.
inline constexpr std::size_t kMaxAccountNoteCharacters = 40;

// Every account's note, by Cid; none when the file has no notes or cannot be read (`notes` is
// then empty and the result says why).
ReadResult readAccountNotes(SqlDatabase& db, std::map<int, Text>& notes);
// Keeps `note` for the account (its line breaks and tabs made spaces, its ends trimmed, cut at
// kMaxAccountNoteCharacters); an empty note removes the account's note.
WriteResult writeAccountNote(SqlDatabase& db, int cid, std::string_view note);

}  // namespace vesprey
