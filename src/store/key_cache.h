// The key of the tool's encrypted files (Sign.db, History.db). The key is fixed and public, but
// SQLCipher derives the page key from it and each file's own salt with tens of thousands of
// rounds on every open: tens of milliseconds that every command would pay, twice when History.db
// is read too. The derived key of each salt seen is kept in a small file in the user's cache
// directory and given to SQLCipher as a raw key on later opens; it holds nothing the fixed key
// does not already give away.
//
// The cache is only ever a shortcut: an entry that is missing, damaged or wrong (the file was
// replaced, the cache edited by hand) is found out by reading the file's first page, and the
// file is then opened with the fixed key as if there were no cache. Nothing is shown to the user.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "store/sql.h"

namespace vesprey {

// Where the derived keys are kept, for every file the process opens from now on. The programs
// set it once at start ($XDG_CACHE_HOME/vesprey/keys, or ~/.cache/vesprey/keys); empty, as
// before it is set, keeps no keys. Folders made for it are the owner's alone (0700).
void setKeyCachePath(std::filesystem::path file);
std::filesystem::path keyCachePath();

// Applies the tool's fixed key to `db`, just opened on `path` with `flags` (SqlDatabase::open's).
// The connection may be opened again on the way, with the same flags. Returns SQLite's code of
// applying the key: a wrong key still only shows as failing statements later. A cached entry is
// forgotten only when the file's first page proves it wrong, never when the page could not be
// read (the file busy, a journal to roll back first).
int applyFileKey(SqlDatabase& db, const std::filesystem::path& path, int flags);

// The file's SQLCipher salt (its first 16 bytes) in hex; nothing for a file too short to have one.
std::optional<std::string> fileSaltHex(const std::filesystem::path& path);

}  // namespace vesprey
