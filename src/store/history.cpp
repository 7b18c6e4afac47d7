#include "store/history.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>
#include <utility>

#include "store/key_cache.h"
#include "store/statements.h"

namespace vesprey {
namespace {

constexpr std::string_view kHistoryTable = "History";
constexpr std::string_view kExpiryTable = "CookieExpiry";
constexpr std::string_view kSettingTable = "Setting";
constexpr std::string_view kRecentTable = "RecentVerdict";
constexpr std::string_view kTriesTable = "Tries";
constexpr std::string_view kLastScheduledPass = "LastScheduledPass";
constexpr std::string_view kWindowPlace = "WindowPlace";

// Every table and index of the file, made when missing. RecentVerdict holds each account's last
// kRecentVerdictCount requested verdicts, kept with every pass, so that reading them never walks
// the whole history and a pass never touches pages all over an index of it. Files of earlier
// versions had an index on History (Cid, Time) for that; it made each pass rewrite a page of it
// for every account, more with every day kept, and goes.
// Tries holds, for each History row of an account requested more than once in its pass (its
// retries), how many times it was requested, by the History row's rowid.
constexpr std::array<std::string_view, 8> kSchema = {
    "CREATE TABLE IF NOT EXISTS History (Time TEXT NOT NULL, TemplateId INTEGER, Cid INTEGER, "
    "WebName TEXT, Verdict TEXT, Reason TEXT, Result TEXT, Status INTEGER, Ms INTEGER)",
    // Reading the last days and removing the oldest rows go by time.
    "CREATE INDEX IF NOT EXISTS HistoryTime ON History (Time)",
    "CREATE TABLE IF NOT EXISTS CookieExpiry (Cid INTEGER PRIMARY KEY, Expires TEXT, "
    "Captured TEXT)",
    "CREATE TABLE IF NOT EXISTS Setting (Name TEXT PRIMARY KEY, Value TEXT)",
    "CREATE TABLE IF NOT EXISTS RecentVerdict (Cid INTEGER NOT NULL, Time TEXT NOT NULL, "
    "Verdict TEXT)",
    "CREATE INDEX IF NOT EXISTS RecentVerdictAccount ON RecentVerdict (Cid, Time)",
    "DROP INDEX IF EXISTS HistoryAccount",
    "CREATE TABLE IF NOT EXISTS Tries (HistoryRow INTEGER PRIMARY KEY, Time TEXT NOT NULL, "
    "Tries INTEGER NOT NULL)",
};

// Setting's row that names History's last row when RecentVerdict was last brought up to date. A
// program that writes History without keeping RecentVerdict (a version of the tool without that
// table) leaves it behind, and RecentVerdict is then made again from the whole history.
constexpr std::string_view kRecentUpTo = "RecentVerdictUpTo";

constexpr std::string_view kInsertRecent =
    "INSERT INTO RecentVerdict (Cid, Time, Verdict) VALUES (@Cid, @Time, @Verdict)";

using statements::execute;
using statements::finish;
using statements::readRows;
using Transaction = statements::Transaction;

WriteResult failure(SqlDatabase& db, bool prepared, int code) {
    return WriteResult{false, db.errorMessage(), prepared, code, db.busyWaitedMs()};
}

// The tables of the file. This is the first read of a connection: a wrong key or a file that is
// no database fails here.
ReadResult readTables(SqlDatabase& db, std::set<std::string>& tables) {
    tables.clear();
    ReadResult read = readRows(
        db, "SELECT name FROM sqlite_master WHERE type='table'", [](SqlStatement&) {},
        [&](const SqlStatement& stmt) { tables.insert(stmt.columnText(0)); },
        [&] { tables.clear(); });
    // Nothing could be read at all: the key or the file is wrong, not a page of it.
    read.started = false;
    return read;
}

// How bad a day with this verdict was: 0 no pass, 1 went well, 2 unknown, 3 needs the user.
int severity(std::string_view verdict) {
    if (verdict.empty() || verdict == "skipped") {
        return 0;
    }
    if (verdict == "success" || verdict == "already") {
        return 1;
    }
    if (verdict == "failed" || verdict == "expired") {
        return 3;
    }
    return 2;
}

bool readNumber(std::string_view text, std::size_t at, std::size_t digits, int& value) {
    if (text.size() < at + digits) {
        return false;
    }
    const char* first = text.data() + at;
    const auto [end, error] = std::from_chars(first, first + digits, value);
    return error == std::errc{} && end == first + digits;
}

// Whether RecentVerdict was brought up to date after History's last row was written.
bool recentIsCurrent(SqlDatabase& db) {
    SqlStatement stmt = db.prepare(
        "SELECT (SELECT ifnull(max(rowid), 0) FROM History) = "
        "ifnull((SELECT CAST(Value AS INTEGER) FROM Setting WHERE Name = @Name), -1)");
    stmt.bindText("@Name", kRecentUpTo);
    return stmt.stepCode() == kSqliteRow && stmt.columnInt(0) == 1;
}

WriteResult markRecentCurrent(SqlDatabase& db) {
    SqlStatement stmt = db.prepare(
        "INSERT OR REPLACE INTO Setting (Name, Value) "
        "SELECT @Name, ifnull(max(rowid), 0) FROM History");
    stmt.bindText("@Name", kRecentUpTo);
    return finish(db, stmt);
}

// A requested verdict of an account, as kept for its last passes.
struct RecentRow {
    Text time;
    Text verdict;
};

// Per account (Cid), its last `count` requested rows, newest first, from one walk over the whole
// history in the order the rows were written: of two rows at the same time the later written is
// the newer.
ReadResult scanRecentVerdicts(SqlDatabase& db, int count,
                              std::map<int, std::vector<RecentRow>>& recent) {
    recent.clear();
    return readRows(
        db,
        "SELECT Cid, Time, Verdict FROM History WHERE Cid <> 0 AND Verdict <> 'skipped' "
        "ORDER BY rowid",
        [](SqlStatement&) {},
        [&](const SqlStatement& stmt) {
            std::vector<RecentRow>& rows = recent[stmt.columnInt(0)];
            RecentRow row{stmt.columnText(1), stmt.columnText(2)};
            const auto older = std::find_if(rows.begin(), rows.end(), [&](const RecentRow& kept) {
                return kept.time <= row.time;
            });
            if (older - rows.begin() < count) {
                rows.insert(older, std::move(row));
                if (rows.size() > static_cast<std::size_t>(count)) {
                    rows.pop_back();
                }
            }
        },
        [&] { recent.clear(); });
}

// A parameter of a statement run once per row of a pass, bound by the index looked up once. A
// text is converted to UTF-8 (as SqlStatement::bindText does) only when it differs from the
// previous row's: the rows of a pass share their time and mostly their site, verdict, reason and
// result. The statement reads the converted text where it is kept, until it is reset: the
// parameter must outlive every step of the statement.
class RowParameter {
public:
    RowParameter(const SqlStatement& stmt, const char* name)
        : stmt_(stmt.handle()), index_(sqlite3_bind_parameter_index(stmt_, name)) {}

    void bind(int value) const { sqlite3_bind_int(stmt_, index_, value); }
    void bind(std::string_view text) {
        if (!converted_ || text != last_) {
            last_.assign(text);
            utf8_ = ansiToUtf8(text);
            converted_ = true;
        }
        // An empty std::string still has a valid data pointer, so '' is bound, not NULL.
        sqlite3_bind_text(stmt_, index_, utf8_.c_str(), static_cast<int>(utf8_.size()),
                          SQLITE_STATIC);
    }

private:
    sqlite3_stmt* stmt_;
    int index_;
    bool converted_ = false;
    std::string last_;  // code page 936, as given
    std::string utf8_;
};

// Makes RecentVerdict again from the whole history, inside the caller's transaction.
WriteResult rebuildRecentVerdicts(SqlDatabase& db) {
    std::map<int, std::vector<RecentRow>> recent;
    if (const ReadResult read = scanRecentVerdicts(db, kRecentVerdictCount, recent); !read.ok()) {
        return WriteResult{false, read.error, true, read.code, read.waitedMs};
    }
    if (WriteResult cleared = execute(db, "DELETE FROM RecentVerdict"); !cleared) {
        return cleared;
    }
    SqlStatement insert = db.prepare(kInsertRecent);
    if (insert.handle() == nullptr) {
        return statements::notPrepared(db);
    }
    for (const auto& [cid, rows] : recent) {
        for (auto row = rows.rbegin(); row != rows.rend(); ++row) {  // oldest first
            insert.reset();
            insert.bindInt("@Cid", cid);
            insert.bindText("@Time", row->time);
            insert.bindText("@Verdict", row->verdict);
            if (const int code = insert.stepCode(); code != kSqliteDone) {
                return failure(db, true, code);
            }
        }
    }
    return markRecentCurrent(db);
}

// Setting's rows that name the Sign.db the file belongs to.
constexpr std::string_view kSignIdSetting = "SignDbId";
constexpr std::string_view kSignSaltSetting = "SignDbSalt";

// The names of a Sign.db: its id and its salt, either missing.
struct FileNames {
    std::optional<Text> id;
    std::optional<Text> salt;
    bool none() const { return !id && !salt; }
};

// Whether the History.db that names `kept` belongs to the Sign.db named `sign`: by id when both
// have one, else by salt. A History.db that names nothing, or a missing Sign.db, ties nothing.
bool belongsTo(const FileNames& kept, const FileNames& sign) {
    if (kept.none() || sign.none()) {
        return true;
    }
    if (kept.id && sign.id) {
        return *kept.id == *sign.id;
    }
    return kept.salt && sign.salt && *kept.salt == *sign.salt;
}

ReadResult textFailure(int code, std::string_view utf8Sentence) {
    ReadResult result;
    result.code = code;
    result.reason = utf8ToAnsi(utf8Sentence);
    result.error = result.reason;
    return result;
}

WriteResult asWrite(const ReadResult& read) {
    return WriteResult{false, read.reason.empty() ? read.error : read.reason, read.started,
                       read.code, read.waitedMs};
}

ReadResult ofAnotherFile() {
    return textFailure(kHistoryOfAnotherFile,
                       "这个 History.db 属于另一个 Sign.db（可能是从别处复制来的），没有采用");
}

// Whether the two paths name one file: the same path, or the same file by another name.
bool sameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
    std::error_code ec;
    const std::filesystem::path left = std::filesystem::absolute(a, ec).lexically_normal();
    const std::filesystem::path right = std::filesystem::absolute(b, ec).lexically_normal();
    return left == right || std::filesystem::equivalent(a, b, ec);
}

ReadResult sameFileFailure() {
    return textFailure(kHistoryIsSiteDatabase,
                       "Sign.db 和签到历史是同一个文件，签到历史不能写进 Sign.db：请给 Sign.db "
                       "换个名字，或放到别的文件夹");
}

std::filesystem::path journalPath(const std::filesystem::path& path) {
    return path.string() + "-journal";
}

// A journal left beside the file by a write that did not finish.
bool interruptedWrite(const std::filesystem::path& path) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(journalPath(path), ec);
    return !ec && size > 0;
}

// Rolling the journal back writes the file and removes the journal from its folder.
bool mayWrite(const std::filesystem::path& path) {
    std::filesystem::path folder = path.parent_path();
    if (folder.empty()) {
        folder = ".";
    }
    return ::access(path.c_str(), W_OK) == 0 && ::access(folder.c_str(), W_OK) == 0;
}

// Opens `path` to read, read-only, and makes `firstRead` its first read. A file whose last write
// was cut off has a journal that only a connection that may write can roll back: the file is
// then opened read-write when it and its folder may be written (SQLite rolls the journal back
// at the first read), else the failure says what it needs.
template <typename FirstRead>
ReadResult openToRead(SqlDatabase& db, const std::filesystem::path& path, FirstRead&& firstRead) {
    ReadResult result;
    if (!db.open(path, SQLITE_OPEN_READONLY)) {
        result.code = db.errorCode() != kSqliteOk ? db.errorCode() : kSqliteError;
        result.error = db.errorMessage();
        return result;
    }
    applyFileKey(db, path, SQLITE_OPEN_READONLY);
    result = firstRead(db);
    if (result.code != kSqliteReadOnly || !interruptedWrite(path)) {
        return result;
    }
    if (!mayWrite(path)) {
        const Text error = result.error;
        result = textFailure(kSqliteReadOnly,
                             "上次写入被中断，文件要先恢复才能读：请运行一次 vesprey-cli sign，"
                             "或取得这个文件和所在文件夹的写权限");
        result.error = error;
        return result;
    }
    db = SqlDatabase{};
    if (!db.open(path, kOpenReadWrite)) {
        result = ReadResult{};
        result.code = db.errorCode() != kSqliteOk ? db.errorCode() : kSqliteError;
        result.error = db.errorMessage();
        return result;
    }
    applyFileKey(db, path, kOpenReadWrite);
    return firstRead(db);
}

// The names of the Sign.db at `path`; none when there is no file there.
ReadResult readSiteNames(const std::filesystem::path& path, FileNames& names) {
    names = {};
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        return {};
    }
    SqlDatabase db;
    ReadResult read = openToRead(
        db, path, [&](SqlDatabase& opened) { return readSiteDatabaseId(opened, names.id); });
    if (read.ok()) {
        names.salt = fileSaltHex(path);
    }
    return read;
}

// The names History.db keeps of its Sign.db.
ReadResult readKeptNames(SqlDatabase& db, FileNames& names) {
    names = {};
    return readRows(
        db, "SELECT Name, Value FROM Setting WHERE Name IN (@Id, @Salt)",
        [](SqlStatement& stmt) {
            stmt.bindText("@Id", kSignIdSetting);
            stmt.bindText("@Salt", kSignSaltSetting);
        },
        [&](const SqlStatement& stmt) {
            if (stmt.columnText(1).empty()) {
                return;
            }
            (stmt.columnText(0) == kSignIdSetting ? names.id : names.salt) = stmt.columnText(1);
        },
        [&] { names = {}; });
}

// Writes the names of `sign` that `kept` lacks or holds otherwise.
WriteResult keepNames(SqlDatabase& db, const FileNames& kept, const FileNames& sign) {
    std::vector<std::pair<std::string_view, Text>> changed;
    if (sign.id && kept.id != sign.id) {
        changed.emplace_back(kSignIdSetting, *sign.id);
    }
    if (sign.salt && kept.salt != sign.salt) {
        changed.emplace_back(kSignSaltSetting, *sign.salt);
    }
    if (changed.empty()) {
        return WriteResult{true, {}, true};
    }
    Transaction transaction(db);
    if (!transaction.begun()) {
        return transaction.begun();
    }
    for (const auto& [name, value] : changed) {
        SqlStatement stmt =
            db.prepare("INSERT OR REPLACE INTO Setting (Name, Value) VALUES (@Name, @Value)");
        stmt.bindText("@Name", name);
        stmt.bindText("@Value", value);
        if (WriteResult written = finish(db, stmt); !written) {
            return written;
        }
    }
    return transaction.commit();
}

// A free name beside `path` for a History.db set aside: "History.other-yyyyMMdd-HHmmss.db".
std::filesystem::path setAsideName(const std::filesystem::path& path) {
    std::string stamp;
    for (const char c : historyTime(nowDateTime())) {
        if (c >= '0' && c <= '9') {
            stamp += c;
        }
    }
    stamp.insert(std::min<std::size_t>(8, stamp.size()), "-");
    std::error_code ec;
    for (int n = 1;; ++n) {
        const std::string suffix = n == 1 ? std::string() : "-" + std::to_string(n);
        std::filesystem::path name =
            path.parent_path() / ("History.other-" + stamp + suffix + ".db");
        if (!std::filesystem::exists(name, ec) && !std::filesystem::exists(journalPath(name), ec)) {
            return name;
        }
    }
}

}  // namespace

std::filesystem::path historyDatabasePath(const std::filesystem::path& siteDatabase) {
    return siteDatabase.parent_path() / kHistoryFileName;
}

Text historyTime(double dateTime) {
    return formatDateTime(dateTime, "yyyy-MM-dd ", "HH:mm:ss", true);
}

Text historyDay(double dateTime) {
    return formatDateTime(dateTime, "yyyy-MM-dd");
}

bool HistoryDatabase::exists(const std::filesystem::path& siteDatabase) {
    std::error_code ec;
    return std::filesystem::exists(historyDatabasePath(siteDatabase), ec);
}

void HistoryDatabase::close() {
    db_ = SqlDatabase{};
    tables_.clear();
}

WriteResult HistoryDatabase::create(const std::filesystem::path& siteDatabase, HistoryStart start) {
    close();
    setAside_.clear();
    path_ = historyDatabasePath(siteDatabase);
    if (sameFile(siteDatabase, path_)) {
        return asWrite(sameFileFailure());
    }
    FileNames sign;
    if (const ReadResult read = readSiteNames(siteDatabase, sign); !read.ok()) {
        return asWrite(read);
    }
    for (;;) {
        if (WriteResult made = createFile(); !made) {
            return made;
        }
        FileNames kept;
        if (const ReadResult read = readKeptNames(db_, kept); !read.ok()) {
            close();
            return asWrite(read);
        }
        if (belongsTo(kept, sign)) {
            if (WriteResult named = keepNames(db_, kept, sign); !named) {
                close();
                return named;
            }
            return WriteResult{true, {}, true};
        }
        close();
        if (start != HistoryStart::Anew || !setAside_.empty()) {
            return asWrite(ofAnotherFile());
        }
        // Its journal goes with it: it belongs to that file alone.
        const std::filesystem::path aside = setAsideName(path_);
        std::error_code ec;
        const bool journal = std::filesystem::exists(journalPath(path_), ec);
        std::filesystem::rename(path_, aside, ec);
        if (!ec && journal) {
            std::filesystem::rename(journalPath(path_), journalPath(aside), ec);
        }
        if (ec) {
            return WriteResult{false, utf8ToAnsi(ec.message()), false, SQLITE_CANTOPEN};
        }
        setAside_ = aside;
    }
}

WriteResult HistoryDatabase::createFile() {
    // Made here rather than by SQLite, so that it is the owner's alone from the start. O_EXCL
    // tells a file made now, which goes again on failure, from one that was there.
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    const bool made = fd >= 0;
    if (made) {
        ::close(fd);
    } else if (errno != EEXIST) {
        const int error = errno;
        return WriteResult{false, utf8ToAnsi(std::strerror(error)), false, SQLITE_CANTOPEN};
    }
    WriteResult result;
    if (!db_.open(path_, kOpenReadWrite)) {
        result = failure(db_, false, db_.errorCode());
    } else {
        applyFileKey(db_, path_, kOpenReadWrite);
        const ReadResult read = readTables(db_, tables_);
        result = read.ok() ? WriteResult{true, {}, true}
                           : WriteResult{false, read.error, false, read.code, read.waitedMs};
    }
    const bool complete = hasTable(kHistoryTable) && hasTable(kExpiryTable) &&
                          hasTable(kSettingTable) && hasTable(kRecentTable) &&
                          hasTable(kTriesTable);
    if (result && !complete) {
        Transaction transaction(db_);
        result = transaction.begun();
        for (std::size_t i = 0; result && i < kSchema.size(); ++i) {
            result = execute(db_, kSchema[i]);
        }
        if (result) {
            result = transaction.commit();
        }
        if (result) {
            const ReadResult read = readTables(db_, tables_);
            result = read.ok() ? result
                               : WriteResult{false, read.error, false, read.code, read.waitedMs};
        }
    }
    if (!result) {
        db_ = SqlDatabase{};
        tables_.clear();
        if (made) {
            std::error_code ec;
            std::filesystem::remove(path_, ec);
        }
    }
    return result;
}

ReadResult HistoryDatabase::open(const std::filesystem::path& siteDatabase) {
    close();
    setAside_.clear();
    path_ = historyDatabasePath(siteDatabase);
    if (sameFile(siteDatabase, path_)) {
        return sameFileFailure();
    }
    FileNames sign;
    ReadResult result = readSiteNames(siteDatabase, sign);
    if (result.ok()) {
        result = openToRead(db_, path_, [&](SqlDatabase& db) { return readTables(db, tables_); });
    }
    FileNames kept;
    if (result.ok() && hasTable(kSettingTable)) {
        result = readKeptNames(db_, kept);
    }
    if (result.ok() && !belongsTo(kept, sign)) {
        result = ofAnotherFile();
    }
    if (!result.ok()) {
        close();
    }
    return result;
}

WriteResult HistoryDatabase::appendPass(const std::vector<HistoryEntry>& rows) {
    return appendPass(rows, {});
}

WriteResult HistoryDatabase::appendPass(const std::vector<HistoryEntry>& rows,
                                        const std::vector<int>& tries) {
    if (rows.empty()) {
        return WriteResult{true, {}, true};
    }
    Transaction transaction(db_);
    if (!transaction.begun()) {
        return transaction.begun();
    }
    if (!recentIsCurrent(db_)) {
        if (WriteResult rebuilt = rebuildRecentVerdicts(db_); !rebuilt) {
            return rebuilt;
        }
    }
    const auto latest = std::max_element(
        rows.begin(), rows.end(),
        [](const HistoryEntry& a, const HistoryEntry& b) { return a.time < b.time; });
    const Text kept = std::to_string(-kHistoryKeepDays) + " days";
    for (const std::string_view table : {kHistoryTable, kRecentTable, kTriesTable}) {
        SqlStatement prune = db_.prepare("DELETE FROM " + std::string(table) +
                                         " WHERE Time < datetime(@Time, @Kept)");
        prune.bindText("@Time", latest->time);
        prune.bindText("@Kept", kept);
        if (WriteResult pruned = finish(db_, prune); !pruned) {
            return pruned;
        }
    }
    // One statement each for every row, made ready again after each.
    SqlStatement insert = db_.prepare(
        "INSERT INTO History (Time, TemplateId, Cid, WebName, Verdict, Reason, Result, "
        "Status, Ms) VALUES (@Time, @TemplateId, @Cid, @WebName, @Verdict, @Reason, "
        "@Result, @Status, @Ms)");
    SqlStatement recent = db_.prepare(kInsertRecent);
    SqlStatement tried = db_.prepare(
        "INSERT INTO Tries (HistoryRow, Time, Tries) VALUES (last_insert_rowid(), @Time, @Tries)");
    if (insert.handle() == nullptr || recent.handle() == nullptr || tried.handle() == nullptr) {
        return statements::notPrepared(db_);
    }
    RowParameter triedTime(tried, "@Time");
    RowParameter triedCount(tried, "@Tries");
    RowParameter time(insert, "@Time");
    RowParameter templateId(insert, "@TemplateId");
    RowParameter cid(insert, "@Cid");
    RowParameter site(insert, "@WebName");
    RowParameter verdict(insert, "@Verdict");
    RowParameter reason(insert, "@Reason");
    RowParameter result(insert, "@Result");
    RowParameter status(insert, "@Status");
    RowParameter ms(insert, "@Ms");
    RowParameter recentCid(recent, "@Cid");
    RowParameter recentTime(recent, "@Time");
    RowParameter recentVerdict(recent, "@Verdict");
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const HistoryEntry& row = rows[i];
        insert.reset();
        time.bind(row.time);
        templateId.bind(row.templateId);
        cid.bind(row.cid);
        site.bind(row.site);
        verdict.bind(row.verdict);
        reason.bind(row.reason);
        result.bind(row.result);
        status.bind(row.status);
        ms.bind(row.ms);
        if (const int code = insert.stepCode(); code != kSqliteDone) {
            return failure(db_, true, code);
        }
        if (i < tries.size() && tries[i] > 1) {
            tried.reset();
            triedTime.bind(row.time);
            triedCount.bind(tries[i]);
            if (const int code = tried.stepCode(); code != kSqliteDone) {
                return failure(db_, true, code);
            }
        }
        if (row.cid == 0 || row.verdict == "skipped") {
            continue;
        }
        recent.reset();
        recentCid.bind(row.cid);
        recentTime.bind(row.time);
        recentVerdict.bind(row.verdict);
        if (const int code = recent.stepCode(); code != kSqliteDone) {
            return failure(db_, true, code);
        }
    }
    insert.finalize();
    recent.finalize();
    tried.finalize();
    // Of each account's kept rows only its newest kRecentVerdictCount stay: a row goes when as
    // many of the account's rows are newer (later, or as late and written after it).
    SqlStatement trim = db_.prepare(
        "DELETE FROM RecentVerdict WHERE (SELECT count(*) FROM RecentVerdict AS newer WHERE "
        "newer.Cid = RecentVerdict.Cid AND (newer.Time > RecentVerdict.Time OR "
        "(newer.Time = RecentVerdict.Time AND newer.rowid > RecentVerdict.rowid))) >= @Count");
    trim.bindInt("@Count", kRecentVerdictCount);
    if (WriteResult trimmed = finish(db_, trim); !trimmed) {
        return trimmed;
    }
    if (WriteResult marked = markRecentCurrent(db_); !marked) {
        return marked;
    }
    return transaction.commit();
}

ReadResult HistoryDatabase::readDays(int days, double now, std::vector<HistoryEntry>& rows,
                                     std::vector<int>& tries) {
    rows.clear();
    tries.clear();
    const std::vector<Text> shown = historyDays(days, now);
    if (shown.empty() || !hasTable(kHistoryTable)) {
        return {};
    }
    if (!hasTable(kTriesTable)) {
        const ReadResult read = readDays(days, now, rows);
        for (const HistoryEntry& row : rows) {
            tries.push_back(row.verdict == "skipped" ? 0 : 1);
        }
        return read;
    }
    return readRows(
        db_,
        "SELECT History.Time, TemplateId, Cid, WebName, Verdict, Reason, Result, Status, Ms, "
        "Tries.Tries FROM History LEFT JOIN Tries ON Tries.HistoryRow = History.rowid "
        "WHERE History.Time >= @First ORDER BY History.Time, History.rowid",
        [&](SqlStatement& stmt) { stmt.bindText("@First", shown.front()); },
        [&](const SqlStatement& stmt) {
            rows.push_back({stmt.columnText(0), stmt.columnInt(1), stmt.columnInt(2),
                            stmt.columnText(3), stmt.columnText(4), stmt.columnText(5),
                            stmt.columnText(6), stmt.columnInt(7), stmt.columnInt(8)});
            const int stored = stmt.columnInt(9);
            tries.push_back(stored > 0 ? stored : rows.back().verdict == "skipped" ? 0 : 1);
        },
        [&] {
            rows.clear();
            tries.clear();
        });
}

ReadResult HistoryDatabase::readDays(int days, double now, std::vector<HistoryEntry>& rows) {
    rows.clear();
    const std::vector<Text> shown = historyDays(days, now);
    if (shown.empty() || !hasTable(kHistoryTable)) {
        return {};
    }
    return readRows(
        db_,
        "SELECT Time, TemplateId, Cid, WebName, Verdict, Reason, Result, Status, Ms FROM History "
        "WHERE Time >= @First ORDER BY Time, rowid",
        [&](SqlStatement& stmt) { stmt.bindText("@First", shown.front()); },
        [&](const SqlStatement& stmt) {
            rows.push_back({stmt.columnText(0), stmt.columnInt(1), stmt.columnInt(2),
                            stmt.columnText(3), stmt.columnText(4), stmt.columnText(5),
                            stmt.columnText(6), stmt.columnInt(7), stmt.columnInt(8)});
        },
        [&] { rows.clear(); });
}

ReadResult HistoryDatabase::readLastPass(std::vector<HistoryEntry>& rows) {
    rows.clear();
    if (!hasTable(kHistoryTable)) {
        return {};
    }
    return readRows(
        db_,
        "SELECT Time, TemplateId, Cid, WebName, Verdict, Reason, Result, Status, Ms FROM History "
        "WHERE Time = (SELECT MAX(Time) FROM History) ORDER BY rowid",
        [](SqlStatement&) {},
        [&](const SqlStatement& stmt) {
            rows.push_back({stmt.columnText(0), stmt.columnInt(1), stmt.columnInt(2),
                            stmt.columnText(3), stmt.columnText(4), stmt.columnText(5),
                            stmt.columnText(6), stmt.columnInt(7), stmt.columnInt(8)});
        },
        [&] { rows.clear(); });
}

ReadResult HistoryDatabase::readLastVerdicts(int count,
                                             std::map<int, std::vector<Text>>& verdicts) {
    verdicts.clear();
    count = std::min(count, kRecentVerdictCount);
    if (count <= 0 || !hasTable(kHistoryTable)) {
        return {};
    }
    if (hasTable(kRecentTable) && recentIsCurrent(db_)) {
        return readRows(
            db_,
            "SELECT Cid, Verdict FROM RecentVerdict WHERE Cid <> 0 "
            "ORDER BY Cid, Time DESC, rowid DESC",
            [](SqlStatement&) {},
            [&](const SqlStatement& stmt) {
                std::vector<Text>& last = verdicts[stmt.columnInt(0)];
                if (last.size() < static_cast<std::size_t>(count)) {
                    last.push_back(stmt.columnText(1));
                }
            },
            [&] { verdicts.clear(); });
    }
    // A file written by a version without RecentVerdict and only read since: the history itself.
    std::map<int, std::vector<RecentRow>> recent;
    ReadResult read = scanRecentVerdicts(db_, count, recent);
    for (auto& [cid, rows] : recent) {
        std::vector<Text>& last = verdicts[cid];
        for (RecentRow& row : rows) {
            last.push_back(std::move(row.verdict));
        }
    }
    return read;
}

ReadResult HistoryDatabase::readFailureRuns(const std::set<int>& cids, int count,
                                            std::map<int, int>& runs) {
    runs.clear();
    for (const int cid : cids) {
        runs[cid] = 0;
    }
    if (count <= 0 || cids.empty() || !hasTable(kHistoryTable)) {
        return {};
    }
    ReadResult result;
    SqlStatement stmt = db_.prepare(
        "SELECT Cid, Verdict FROM History WHERE Cid <> 0 AND Verdict <> 'skipped' "
        "ORDER BY rowid DESC");
    if (stmt.handle() == nullptr) {
        result.code = db_.errorCode() != kSqliteOk ? db_.errorCode() : kSqliteError;
        result.error = db_.errorMessage();
        result.waitedMs = db_.busyWaitedMs();
        runs.clear();
        return result;
    }
    result.started = true;
    // The accounts whose run may still grow: their rows so far were all failures.
    std::set<int> open = cids;
    int code = kSqliteRow;
    while (!open.empty() && (code = stmt.stepCode()) == kSqliteRow) {
        const int cid = stmt.columnInt(0);
        if (open.count(cid) == 0) {
            continue;
        }
        const bool failed = severity(stmt.columnText(1)) == 3;
        int& run = runs[cid];
        run += failed ? 1 : 0;
        if (!failed || run >= count) {
            open.erase(cid);
        }
    }
    if (!open.empty() && code != kSqliteDone) {
        result.code = code;
        result.error = db_.errorMessage();
        result.waitedMs = db_.busyWaitedMs();
        runs.clear();
    }
    return result;
}

ReadResult HistoryDatabase::readPassSpan(std::optional<Text>& first, std::optional<Text>& last) {
    first.reset();
    last.reset();
    if (!hasTable(kHistoryTable)) {
        return {};
    }
    return readRows(
        db_, "SELECT min(Time), max(Time) FROM History WHERE Time IS NOT NULL",
        [](SqlStatement&) {},
        [&](const SqlStatement& stmt) {
            if (!stmt.columnText(1).empty()) {
                first = stmt.columnText(0);
                last = stmt.columnText(1);
            }
        },
        [&] {
            first.reset();
            last.reset();
        });
}

WriteResult HistoryDatabase::saveCookieExpiry(const CookieExpiry& expiry) {
    SqlStatement stmt = db_.prepare(
        "INSERT OR REPLACE INTO CookieExpiry (Cid, Expires, Captured) "
        "VALUES (@Cid, @Expires, @Captured)");
    stmt.bindInt("@Cid", expiry.cid);
    stmt.bindText("@Expires", expiry.expires);
    stmt.bindText("@Captured", expiry.captured);
    return finish(db_, stmt);
}

WriteResult HistoryDatabase::removeCookieExpiry(int cid) {
    SqlStatement stmt = db_.prepare("DELETE FROM CookieExpiry WHERE Cid = @Cid");
    stmt.bindInt("@Cid", cid);
    return finish(db_, stmt);
}

ReadResult HistoryDatabase::readCookieExpiries(std::map<int, CookieExpiry>& expiries) {
    expiries.clear();
    if (!hasTable(kExpiryTable)) {
        return {};
    }
    return readRows(
        db_, "SELECT Cid, Expires, Captured FROM CookieExpiry", [](SqlStatement&) {},
        [&](const SqlStatement& stmt) {
            const int cid = stmt.columnInt(0);
            expiries[cid] = {cid, stmt.columnText(1), stmt.columnText(2)};
        },
        [&] { expiries.clear(); });
}

ReadResult HistoryDatabase::readSetting(std::string_view name, std::optional<Text>& value) {
    value.reset();
    if (!hasTable(kSettingTable)) {
        return {};
    }
    return readRows(
        db_, "SELECT Value FROM Setting WHERE Name = @Name",
        [name](SqlStatement& stmt) { stmt.bindText("@Name", name); },
        [&](const SqlStatement& stmt) { value = stmt.columnText(0); }, [&] { value.reset(); });
}

WriteResult HistoryDatabase::saveSetting(std::string_view name, std::string_view value) {
    SqlStatement stmt =
        db_.prepare("INSERT OR REPLACE INTO Setting (Name, Value) VALUES (@Name, @Value)");
    stmt.bindText("@Name", name);
    stmt.bindText("@Value", value);
    return finish(db_, stmt);
}

ReadResult HistoryDatabase::readLastScheduledPass(std::optional<Text>& day) {
    return readSetting(kLastScheduledPass, day);
}

WriteResult HistoryDatabase::saveLastScheduledPass(std::string_view day) {
    return saveSetting(kLastScheduledPass, day);
}

ReadResult HistoryDatabase::readWindowPlace(std::optional<Text>& place) {
    return readSetting(kWindowPlace, place);
}

WriteResult HistoryDatabase::saveWindowPlace(std::string_view place) {
    return saveSetting(kWindowPlace, place);
}

ReadResult HistoryDatabase::readDesktopSettings(std::map<std::string, Text>& settings) {
    settings.clear();
    if (!hasTable(kSettingTable)) {
        return {};
    }
    return readRows(
        db_, "SELECT Name, Value FROM Setting WHERE substr(Name, 1, @Length) = @Prefix",
        [](SqlStatement& stmt) {
            stmt.bindInt("@Length", static_cast<int>(kDesktopSettingPrefix.size()));
            stmt.bindText("@Prefix", kDesktopSettingPrefix);
        },
        [&](const SqlStatement& stmt) {
            settings[stmt.columnText(0).substr(kDesktopSettingPrefix.size())] = stmt.columnText(1);
        },
        [&] { settings.clear(); });
}

WriteResult HistoryDatabase::saveDesktopSetting(std::string_view name, std::string_view value) {
    SqlStatement stmt =
        db_.prepare("INSERT OR REPLACE INTO Setting (Name, Value) VALUES (@Name, @Value)");
    stmt.bindText("@Name", std::string(kDesktopSettingPrefix) + std::string(name));
    stmt.bindText("@Value", value);
    return finish(db_, stmt);
}

Text historyReadFailureText(const ReadResult& result) {
    return readFailureText(result, "打不开，或密钥不对、不是 Vesprey 的签到历史");
}

std::vector<Text> historyDays(int count, double now) {
    std::vector<Text> days;
    const double today = std::floor(now);
    for (int back = count - 1; back >= 0; --back) {
        days.push_back(historyDay(today - back));
    }
    return days;
}

std::vector<AccountHistory> accountHistories(const std::vector<HistoryEntry>& rows,
                                             const std::vector<Text>& days) {
    std::map<Text, std::size_t> dayIndex;
    for (std::size_t i = 0; i < days.size(); ++i) {
        dayIndex[days[i]] = i;
    }
    std::map<std::pair<int, int>, AccountHistory> accounts;
    for (const HistoryEntry& row : rows) {
        AccountHistory& account = accounts[{row.templateId, row.cid}];
        if (account.days.empty()) {
            account.templateId = row.templateId;
            account.cid = row.cid;
            account.days.assign(days.size(), Text{});
        }
        account.site = row.site;
        account.last = row;
        const auto day = dayIndex.find(row.time.substr(0, 10));
        const int bad = severity(row.verdict);
        if (day != dayIndex.end() && bad > 0 && bad >= severity(account.days[day->second])) {
            account.days[day->second] = row.verdict;
        }
    }
    std::vector<AccountHistory> list;
    list.reserve(accounts.size());
    for (auto& [key, account] : accounts) {
        list.push_back(std::move(account));
    }
    return list;
}

std::optional<int> cookieDaysLeft(std::string_view expires, double now) {
    int year = 0;
    int month = 0;
    int day = 0;
    if (expires.size() < 10 || !readNumber(expires, 0, 4, year) || expires[4] != '-' ||
        !readNumber(expires, 5, 2, month) || expires[7] != '-' || !readNumber(expires, 8, 2, day) ||
        month < 1 || month > 12 || day < 1 || day > 31) {
        return std::nullopt;
    }
    if (const Text current = historyTime(now); expires <= current) {
        return -1;
    }
    return static_cast<int>(std::lround(makeDateTime(year, month, day) - std::floor(now)));
}

ReadResult readCookieHealth(const std::filesystem::path& siteDatabase, CookieHealth& health) {
    health = {};
    if (!HistoryDatabase::exists(siteDatabase)) {
        return {};
    }
    HistoryDatabase history;
    ReadResult read = history.open(siteDatabase);
    if (read.ok()) {
        read = history.readCookieExpiries(health.expiries);
    }
    if (read.ok()) {
        read = history.readLastVerdicts(2, health.lastVerdicts);
    }
    if (!read.ok()) {
        health = {};
    }
    return read;
}

bool expiredTwice(const CookieHealth& health, int cid) {
    const auto verdicts = health.lastVerdicts.find(cid);
    return cid != 0 && verdicts != health.lastVerdicts.end() && verdicts->second.size() == 2 &&
           std::all_of(verdicts->second.begin(), verdicts->second.end(),
                       [](const Text& verdict) { return verdict == "expired"; });
}

}  // namespace vesprey
