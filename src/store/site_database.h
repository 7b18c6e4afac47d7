// Sign.db: the encrypted file that holds the site templates (table Template), one cookie row per
// logged-in account (WebCookie) and the three push keys (Send). The tool reads and changes rows;
// only createSiteDatabase, used by `vesprey-cli init-db` and by the desktop program's offer on a
// first start, ever creates the file or a table.
#pragma once

#include <array>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/site.h"
#include "store/sql.h"
#include "text/text.h"

namespace vesprey {

inline constexpr std::string_view kSiteDatabaseKey = "Xq7LmP2zRt9VwK4s";
inline constexpr std::string_view kSiteDatabaseFileName = "Sign.db";

// Outcome of a write: done when the statement stepped to SQLITE_DONE; otherwise `error` holds
// SQLite's message, for the caller to show. `prepared` tells a statement that could not be
// prepared (callers report that differently) from one that failed to step.
struct WriteResult {
    bool done = false;
    Text error;
    bool prepared = false;
    int code = kSqliteOk;  // SQLite's primary result code of the failure
    int waitedMs = 0;      // how long the file was waited for when it was busy
    explicit operator bool() const { return done; }
    // Another program held the file for longer than the busy timeout.
    bool busy() const { return code == kSqliteBusy || code == kSqliteLocked; }
};

// Where the user's files go, as the environment says: the programs read it at start and hand it
// down.
struct UserFolders {
    std::filesystem::path databaseVariable;  // $VESPREY_DB; empty when it is not set
    // Where an installed program keeps its data: $XDG_DATA_HOME/vesprey, or
    // ~/.local/share/vesprey.
    std::filesystem::path dataDirectory;
};

// The database path: `override` when given (the --db option), else $VESPREY_DB when set, else
// Sign.db in the directory of the running executable when there is one there (portable use) or
// when that directory is a writable one of a build (not an installed program), else Sign.db in
// the user's data directory.
std::filesystem::path siteDatabasePath(const std::optional<std::filesystem::path>& override,
                                       const UserFolders& folders);
// The same choice for a program in `programDirectory`.
std::filesystem::path siteDatabasePathFor(const std::filesystem::path& programDirectory,
                                          const std::optional<std::filesystem::path>& override,
                                          const UserFolders& folders);

// Opens an existing Sign.db read-write (never creating it) and applies the key. False when the
// file could not be opened; the caller tells the user kOpenFailedMessage.
bool openSiteDatabase(SqlDatabase& db, const std::filesystem::path& path);
Text openFailedMessage();  // "打开失败！你选择的文件可能不是Sqlite数据库！"

// The outcome of a read. A read that fails gives no rows at all, never the rows before the
// failure: nothing may be signed from, or shown as, a list cut short by a damaged file.
struct ReadResult {
    int code = kSqliteOk;  // SQLite's primary result code of the failure
    Text error;            // SQLite's message
    bool started = false;  // the query was prepared: the failure came while reading rows
    int waitedMs = 0;      // how long the file was waited for when it was busy
    // What is wrong when it is not SQLite's to say (a file that belongs elsewhere): said in
    // place of readFailureText's sentences.
    Text reason;
    bool ok() const { return code == kSqliteOk; }
    // Another program held the file for longer than the busy timeout.
    bool busy() const { return code == kSqliteBusy || code == kSqliteLocked; }
};

// "文件正被其他程序使用，等了 N 秒仍未释放，请稍后再试", N the seconds actually waited
// (`waitedMs`); without the wait when there was none.
Text busyFailureText(int waitedMs);

// Why a read failed, as a sentence without its final punctuation: the file is in use, it is
// damaged, or the key or the tables are wrong; SQLite's message in brackets.
Text readFailureText(const ReadResult& result);
// The same with another sentence (UTF-8) for a file that could not be read at all.
Text readFailureText(const ReadResult& result, std::string_view unreadable);

// Runs the list query into `list` (emptied first).
ReadResult readSiteList(SqlDatabase& db, SiteList& list);

// Runs the list query handing each record to `onRow` as it is read, in list order. Unlike the
// reads above, a read that fails part way has already handed over the records before the
// failure; a caller that shows them as they come says that the rest is missing.
ReadResult readSiteListRows(SqlDatabase& db, const std::function<void(SiteTemplate&&)>& onRow);

// What a table of the list needs before its first row: the number of rows, the Cid of each row
// (0 for a template without accounts; in no particular order) and the name of every template,
// each once. Read from the index of the accounts and the templates alone, without the cookies.
struct SiteListShape {
    std::size_t rows = 0;
    std::vector<int> cids;
    std::vector<Text> names;
};
ReadResult readSiteListShape(SqlDatabase& db, SiteListShape& shape);
// The same; *ok, when given, tells whether the whole list was read.
SiteList loadSiteList(SqlDatabase& db, bool* ok = nullptr);

// Columns of the account list.
inline constexpr int kColumnNumber = 0;   // 序号
inline constexpr int kColumnSite = 1;     // 网站
inline constexpr int kColumnMethod = 2;   // 请求类型
inline constexpr int kColumnAnswer = 3;   // 响应类型
inline constexpr int kColumnAccount = 4;  // 账号状态: "√" when a pass signs the row
inline constexpr int kColumnResult = 5;   // 返回内容

// The five shown columns of a list row and the empty result column, as the account list shows
// them: 序号, 网站, 请求类型, 响应类型, 账号状态, 返回内容. 账号状态 here says whether the account
// has a cookie; the programs give an account of a multi-step template its readiness instead.
std::array<Text, 6> siteListRow(const SiteTemplate& site, std::size_t index);

ReadResult readPushSettings(SqlDatabase& db, PushSettings& settings);
PushSettings loadPushSettings(SqlDatabase& db, bool* ok = nullptr);

// One function per statement the tool issues.
WriteResult insertTemplate(SqlDatabase& db, const TemplateFields& fields);
std::optional<int> selectMaxTemplateId(SqlDatabase& db);
WriteResult insertWebCookie(SqlDatabase& db, int id, std::string_view ctime,
                            std::string_view cookie);
WriteResult updateTemplate(SqlDatabase& db, int id, const TemplateFields& fields);
WriteResult updateWebCookie(SqlDatabase& db, int cid, std::string_view cookie);
WriteResult deleteWebCookie(SqlDatabase& db, int cid);
WriteResult updatePushKey(SqlDatabase& db, int channel, std::string_view robotId);

// Adding a site: the Template row, then (only when that is done) the largest id, then the first
// WebCookie row with that id, stamped now, all in one transaction: on any failure nothing of the
// site is left in the file. Returns the new site's id on success.
struct AddSiteResult {
    WriteResult write;
    int id = 0;  // 0 unless the site was added
    // The Template row went in before a later step failed (and was rolled back with it); false
    // when the failure came first from the template itself.
    bool templateInserted = false;
};
AddSiteResult addSite(SqlDatabase& db, const TemplateFields& fields, std::string_view cookie);

// Every account's cookie as the file holds it, by Cid.
ReadResult readWebCookies(SqlDatabase& db, std::map<int, Text>& cookies);

// A cookie to write into its WebCookie row, in place of the one that was read from it.
struct CookieUpdate {
    int cid = 0;
    Text read;     // the row's cookie when it was read
    Text renewed;  // what goes in its place
};

// What saveCookies did: the rows written, and the rows left as they are because they no longer
// hold the cookie that was read (changed or deleted since), each by Cid in the order given.
struct CookieSaveResult {
    WriteResult written;
    std::vector<int> saved;
    std::vector<int> changed;
};

// Writes each renewed cookie into its WebCookie row, but only where the row still holds the
// cookie that was read: a cookie changed meanwhile (by the user, another program) is never
// overwritten, and a deleted row is not made again. All in one transaction: when it fails,
// nothing is written and both lists are empty.
CookieSaveResult saveCookies(SqlDatabase& db, const std::vector<CookieUpdate>& cookies);

// The verdict rules of every template that has some, by template id. A file without the Verdict
// table has none: that is no error.
ReadResult readVerdictRules(SqlDatabase& db, std::map<int, VerdictRules>& rules);
// Stores a template's rules (all three replaced; empty ones stored empty), creating the Verdict
// table first in a file that lacks it.
WriteResult saveVerdictRules(SqlDatabase& db, int templateId, const VerdictRules& rules);

// Settings of the program beyond the three shared tables, as name and text (table Setting). A
// missing table or name reads as nothing; writing creates the table when it is missing.
std::optional<Text> readSetting(SqlDatabase& db, std::string_view name);
WriteResult writeSetting(SqlDatabase& db, std::string_view name, std::string_view value);

// "推送语句": the user's own first line of every pushed summary (code page 936, on one line);
// missing or empty: none. The desktop window's "保存" keeps it; both programs' passes use it.
inline constexpr std::string_view kPushOpeningSetting = "push_opening";

// The file's identity: a random id kept in Setting (kFileIdSetting), which History.db keeps too
// so that it is never taken for the history of another Sign.db. Every Sign.db made by
// createSiteDatabase has one; a file of an earlier version gets one with its first write that
// goes through addSite, saveCookies or writeSetting, never from a pass that writes nothing.
inline constexpr std::string_view kFileIdSetting = "FileId";
// The id, nothing for a file without one (no error).
ReadResult readSiteDatabaseId(SqlDatabase& db, std::optional<Text>& id);
// Gives the file an id when it has none; inside the caller's transaction when there is one.
WriteResult ensureSiteDatabaseId(SqlDatabase& db);

// Creates a new encrypted Sign.db with the three tables and the three empty push rows. Refuses
// an existing path. On failure returns false with a sentence in *error and leaves no file.
bool createSiteDatabase(const std::filesystem::path& path, Text* error);

// Two example sites without accounts, so that a new user sees how the list and a template look.
void addDemoSites(SqlDatabase& db);

// A new Sign.db at `path`, as `vesprey-cli init-db` and the desktop program's first start make
// it: the user's data directory (`dataDirectory`) made first when `path` lies in it (a folder
// named otherwise must exist), the file as createSiteDatabase makes it, and with `demo` the
// example sites.
bool initSiteDatabase(const std::filesystem::path& path, bool demo,
                      const std::filesystem::path& dataDirectory, Text* error);

}  // namespace vesprey
