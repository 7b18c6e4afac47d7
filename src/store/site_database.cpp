#include "store/site_database.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "store/key_cache.h"
#include "store/statements.h"

namespace vesprey {
namespace {

using statements::execute;
using statements::finish;
using statements::hasTable;
using statements::notPrepared;
using statements::readRows;
using statements::Transaction;

constexpr std::string_view kListQuery =
    "SELECT Template.*,WebCookie.Cookie,WebCookie.Cid FROM Template LEFT OUTER JOIN WebCookie ON "
    "WebCookie.Id = Template.Id";

void bindTemplate(SqlStatement& stmt, const TemplateFields& f) {
    stmt.bindText("@WebName", f.WebName);
    stmt.bindText("@Weblogin", f.Weblogin);
    stmt.bindText("@WebLink", f.WebLink);
    stmt.bindInt("@Qtype", storedQtype(f.Qtype));
    stmt.bindInt("@Rtype", storedRtype(f.Rtype));
    stmt.bindInt("@Ctype", f.Ctype);
    stmt.bindText("@Tying", f.Tying);
    stmt.bindText("@Headers", f.Headers);
    stmt.bindText("@Date", f.Date);
}

std::filesystem::path executableDirectory() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) {
        return std::filesystem::current_path(ec);
    }
    return exe.parent_path();
}

SiteTemplate siteFromRow(const SqlStatement& stmt) {
    SiteTemplate s;
    s.id = stmt.columnInt(0);
    s.WebName = stmt.columnText(1);
    s.Weblogin = stmt.columnText(2);
    s.WebLink = stmt.columnText(3);
    s.Qtype = storedMethod(stmt.columnInt(4));
    s.Rtype = storedAnswerType(stmt.columnInt(5));
    s.Ctype = stmt.columnInt(6);
    s.Tying = stmt.columnText(7);
    s.Headers = stmt.columnText(8);
    s.Date = stmt.columnText(9);
    s.Cookie = stmt.columnText(10);
    s.Cid = stmt.columnInt(11);
    return s;
}

}  // namespace

std::filesystem::path siteDatabasePathFor(const std::filesystem::path& programDirectory,
                                          const std::optional<std::filesystem::path>& override,
                                          const UserFolders& folders) {
    if (override && !override->empty()) {
        return *override;
    }
    if (!folders.databaseVariable.empty()) {
        return folders.databaseVariable;
    }
    std::error_code ec;
    const std::filesystem::path beside = programDirectory / kSiteDatabaseFileName;
    if (std::filesystem::exists(beside, ec)) {
        return beside;
    }
    // An installed program (its desktop entry beside it in ../share, or a directory it may not
    // write, like /usr/bin) keeps its data in the user's data directory; a build keeps it beside
    // the program.
    const bool installed = std::filesystem::exists(
        programDirectory.parent_path() / "share" / "applications" / "vesprey.desktop", ec);
    if (!installed && ::access(programDirectory.c_str(), W_OK) == 0) {
        return beside;
    }
    return folders.dataDirectory / kSiteDatabaseFileName;
}

std::filesystem::path siteDatabasePath(const std::optional<std::filesystem::path>& override,
                                       const UserFolders& folders) {
    return siteDatabasePathFor(executableDirectory(), override, folders);
}

Text openFailedMessage() {
    return utf8ToAnsi("打开失败！你选择的文件可能不是Sqlite数据库！");
}

bool openSiteDatabase(SqlDatabase& db, const std::filesystem::path& path) {
    if (!db.open(path, kOpenReadWrite)) {
        return false;
    }
    applyFileKey(db, path, kOpenReadWrite);  // a wrong key only shows as failing statements later
    // Every page is decrypted when read; keep a whole typical Sign.db (a few MB even with
    // thousands of accounts) in the page cache so that reloading the list does not decrypt it
    // again. A wrong key makes this fail quietly, like every later statement.
    db.prepare("PRAGMA cache_size = -32768").step();
    return true;
}

ReadResult readSiteList(SqlDatabase& db, SiteList& list) {
    list.clear();
    return readRows(
        db, kListQuery, [&](const SqlStatement& stmt) { list.push_back(siteFromRow(stmt)); },
        [&] { list.clear(); });
}

ReadResult readSiteListRows(SqlDatabase& db, const std::function<void(SiteTemplate&&)>& onRow) {
    return readRows(
        db, kListQuery, [&](const SqlStatement& stmt) { onRow(siteFromRow(stmt)); }, [] {});
}

ReadResult readSiteListShape(SqlDatabase& db, SiteListShape& shape) {
    shape = {};
    // The same join as the list; the Cid comes from the index of WebCookie.Id, whose pages are
    // few, not from the rows with their cookies.
    ReadResult read = readRows(
        db,
        "SELECT WebCookie.Cid FROM Template LEFT OUTER JOIN WebCookie ON WebCookie.Id = "
        "Template.Id",
        [&](const SqlStatement& stmt) { shape.cids.push_back(stmt.columnInt(0)); },
        [&] { shape.cids.clear(); });
    if (read.ok()) {
        read = readRows(
            db, "SELECT WebName FROM Template",
            [&](const SqlStatement& stmt) { shape.names.push_back(stmt.columnText(0)); },
            [&] { shape.names.clear(); });
    }
    shape.rows = read.ok() ? shape.cids.size() : 0;
    if (!read.ok()) {
        shape.cids.clear();
    }
    return read;
}

SiteList loadSiteList(SqlDatabase& db, bool* ok) {
    SiteList list;
    const ReadResult result = readSiteList(db, list);
    if (ok != nullptr) {
        *ok = result.ok();
    }
    return list;
}

Text readFailureText(const ReadResult& result) {
    return readFailureText(result, "密钥不对，或文件里没有 Template 和 WebCookie 表");
}

Text busyFailureText(int waitedMs) {
    if (waitedMs <= 0) {
        return utf8ToAnsi("文件正被其他程序使用，请稍后再试");
    }
    const int tenths = (waitedMs + 50) / 100;
    std::string seconds = std::to_string(tenths / 10);
    if (tenths % 10 != 0) {
        seconds += "." + std::to_string(tenths % 10);
    }
    return utf8ToAnsi("文件正被其他程序使用，等了 " + seconds + " 秒仍未释放，请稍后再试");
}

Text readFailureText(const ReadResult& result, std::string_view unreadable) {
    if (!result.reason.empty()) {
        return result.reason;
    }
    std::string sentence;
    if (result.busy()) {
        sentence = ansiToUtf8(busyFailureText(result.waitedMs));
    } else if (result.started) {
        sentence = "读到一半出错，文件可能已损坏";
    } else {
        sentence = unreadable;
    }
    return utf8ToAnsi(sentence + "（") + result.error + utf8ToAnsi("）");
}

std::array<Text, 6> siteListRow(const SiteTemplate& site, std::size_t index) {
    static const Text kRegex = utf8ToAnsi("正则");
    static const Text kYes = utf8ToAnsi("√");
    static const Text kNo = utf8ToAnsi("×");
    return {std::to_string(index + 1),
            site.WebName,
            site.Qtype == RequestMethod::Get ? "GET" : "POST",
            site.Rtype == AnswerType::Json ? Text("JSON") : kRegex,
            site.hasCookie() ? kYes : kNo,
            Text{}};
}

ReadResult readPushSettings(SqlDatabase& db, PushSettings& settings) {
    settings.clear();
    return readRows(
        db, "SELECT * FROM Send",
        [&](const SqlStatement& stmt) {
            settings.push_back({stmt.columnText(0), stmt.columnText(2)});
        },
        [&] { settings.clear(); });
}

PushSettings loadPushSettings(SqlDatabase& db, bool* ok) {
    PushSettings settings;
    const ReadResult result = readPushSettings(db, settings);
    if (ok != nullptr) {
        *ok = result.ok();
    }
    return settings;
}

WriteResult insertTemplate(SqlDatabase& db, const TemplateFields& fields) {
    SqlStatement stmt = db.prepare(
        "insert into Template (WebName,WebLink,Weblogin,Qtype,Rtype,Ctype,Tying,Headers,Date) "
        "values (@WebName,@WebLink,@Weblogin,@Qtype,@Rtype,@Ctype,@Tying,@Headers,@Date)");
    if (stmt.handle() == nullptr) {
        return notPrepared(db);
    }
    bindTemplate(stmt, fields);
    return finish(db, stmt);
}

std::optional<int> selectMaxTemplateId(SqlDatabase& db) {
    SqlStatement stmt = db.prepare("select max(id) from Template");
    if (!stmt.step()) {
        return std::nullopt;
    }
    return stmt.columnInt(0);
}

WriteResult insertWebCookie(SqlDatabase& db, int id, std::string_view ctime,
                            std::string_view cookie) {
    SqlStatement stmt =
        db.prepare("insert into WebCookie (Id,Ctime,Cookie) values (@Id,@Ctime,@Cookie)");
    if (stmt.handle() == nullptr) {
        return notPrepared(db);
    }
    stmt.bindInt("@Id", id);
    stmt.bindText("@Ctime", ctime);
    stmt.bindText("@Cookie", cookie);
    return finish(db, stmt);
}

WriteResult updateTemplate(SqlDatabase& db, int id, const TemplateFields& fields) {
    SqlStatement stmt = db.prepare(
        "update Template set WebName=@WebName,Weblogin=@Weblogin,WebLink=@WebLink,Qtype=@Qtype,"
        "Rtype=@Rtype,Ctype=@Ctype,Tying=@Tying,Headers=@Headers,Date=@Date where id=@Id");
    if (stmt.handle() == nullptr) {
        return notPrepared(db);
    }
    bindTemplate(stmt, fields);
    stmt.bindInt("@Id", id);
    return finish(db, stmt);
}

WriteResult updateWebCookie(SqlDatabase& db, int cid, std::string_view cookie) {
    SqlStatement stmt =
        db.prepare("update WebCookie set Cookie=@Cookie where Cid=" + std::to_string(cid));
    if (stmt.handle() == nullptr) {
        return notPrepared(db);
    }
    stmt.bindText("@Cookie", cookie);
    return finish(db, stmt);
}

WriteResult deleteWebCookie(SqlDatabase& db, int cid) {
    SqlStatement stmt = db.prepare("delete from WebCookie where Cid=" + std::to_string(cid));
    if (stmt.handle() == nullptr) {
        return notPrepared(db);
    }
    return finish(db, stmt);
}

WriteResult updatePushKey(SqlDatabase& db, int channel, std::string_view robotId) {
    SqlStatement stmt =
        db.prepare("update Send set RobotId=@RobotId where id=" + std::to_string(channel));
    if (stmt.handle() == nullptr) {
        return notPrepared(db);
    }
    stmt.bindText("@RobotId", robotId);
    return finish(db, stmt);
}

AddSiteResult addSite(SqlDatabase& db, const TemplateFields& fields, std::string_view cookie) {
    AddSiteResult result;
    Transaction transaction(db);
    if (!transaction.begun()) {
        result.write = transaction.begun();
        return result;
    }
    result.write = insertTemplate(db, fields);
    if (!result.write) {
        return result;
    }
    result.templateInserted = true;
    // The new site's id is the largest id, as the tool has always taken it.
    std::optional<int> id = selectMaxTemplateId(db);
    if (!id) {
        result.write = WriteResult{false, db.errorMessage(), true};
        return result;
    }
    result.id = *id;
    result.write = insertWebCookie(db, *id, dateTimeToText(std::nullopt, 1), cookie);
    if (result.write) {
        result.write = ensureSiteDatabaseId(db);
    }
    if (result.write) {
        result.write = transaction.commit();
    }
    if (!result.write) {
        result.id = 0;  // rolled back
    }
    return result;
}

namespace {

constexpr std::string_view kCreateVerdict =
    "CREATE TABLE IF NOT EXISTS Verdict (Id INTEGER PRIMARY KEY, Success TEXT, Already TEXT, "
    "Expired TEXT)";
constexpr std::string_view kCreateSetting =
    "CREATE TABLE IF NOT EXISTS Setting (Name TEXT PRIMARY KEY, Value TEXT)";

WriteResult storeSetting(SqlDatabase& db, std::string_view name, std::string_view value) {
    if (WriteResult created = execute(db, kCreateSetting); !created) {
        return created;
    }
    SqlStatement stmt =
        db.prepare("INSERT OR REPLACE INTO Setting (Name, Value) VALUES (@Name, @Value)");
    if (stmt.handle() == nullptr) {
        return notPrepared(db);
    }
    stmt.bindText("@Name", name);
    stmt.bindText("@Value", value);
    return finish(db, stmt);
}

}  // namespace

ReadResult readWebCookies(SqlDatabase& db, std::map<int, Text>& cookies) {
    cookies.clear();
    return readRows(
        db, "SELECT Cid, Cookie FROM WebCookie",
        [&](const SqlStatement& stmt) { cookies[stmt.columnInt(0)] = stmt.columnText(1); },
        [&] { cookies.clear(); });
}

CookieSaveResult saveCookies(SqlDatabase& db, const std::vector<CookieUpdate>& cookies) {
    CookieSaveResult result;
    if (cookies.empty()) {
        result.written = WriteResult{true, {}, true};
        return result;
    }
    Transaction transaction(db);
    if (!transaction.begun()) {
        result.written = transaction.begun();
        return result;
    }
    // A NULL cookie reads as empty text, and is compared so.
    SqlStatement update = db.prepare(
        "update WebCookie set Cookie=@Cookie where Cid=@Cid and ifnull(Cookie,'')=@Read");
    if (update.handle() == nullptr) {
        result.written = notPrepared(db);
        return result;
    }
    for (const CookieUpdate& cookie : cookies) {
        update.reset();
        update.bindText("@Cookie", cookie.renewed);
        update.bindInt("@Cid", cookie.cid);
        update.bindText("@Read", cookie.read);
        if (const int code = update.stepCode(); code != kSqliteDone) {
            result.written = WriteResult{false, db.errorMessage(), true, code, db.busyWaitedMs()};
            result.saved.clear();
            result.changed.clear();
            return result;
        }
        (db.changes() > 0 ? result.saved : result.changed).push_back(cookie.cid);
    }
    update.finalize();
    if (!result.saved.empty()) {
        if (WriteResult marked = ensureSiteDatabaseId(db); !marked) {
            result.written = marked;
            result.saved.clear();
            result.changed.clear();
            return result;
        }
    }
    result.written = transaction.commit();
    if (!result.written) {
        result.saved.clear();
        result.changed.clear();
    }
    return result;
}

ReadResult readVerdictRules(SqlDatabase& db, std::map<int, VerdictRules>& rules) {
    rules.clear();
    if (!hasTable(db, "Verdict")) {
        return {};
    }
    return readRows(
        db, "SELECT Id, Success, Already, Expired FROM Verdict",
        [&](const SqlStatement& stmt) {
            rules[stmt.columnInt(0)] = {stmt.columnText(1), stmt.columnText(2), stmt.columnText(3)};
        },
        [&] { rules.clear(); });
}

WriteResult saveVerdictRules(SqlDatabase& db, int templateId, const VerdictRules& rules) {
    if (templateId <= 0) {
        return WriteResult{false, "invalid site id"};
    }
    if (WriteResult created = execute(db, kCreateVerdict); !created) {
        return created;
    }
    SqlStatement stmt = db.prepare(
        "INSERT OR REPLACE INTO Verdict (Id, Success, Already, Expired) "
        "VALUES (@Id, @Success, @Already, @Expired)");
    if (stmt.handle() == nullptr) {
        return notPrepared(db);
    }
    stmt.bindInt("@Id", templateId);
    stmt.bindText("@Success", rules.success);
    stmt.bindText("@Already", rules.already);
    stmt.bindText("@Expired", rules.expired);
    return finish(db, stmt);
}

std::optional<Text> readSetting(SqlDatabase& db, std::string_view name) {
    if (!hasTable(db, "Setting")) {
        return std::nullopt;
    }
    SqlStatement stmt = db.prepare("SELECT Value FROM Setting WHERE Name=@Name");
    stmt.bindText("@Name", name);
    if (!stmt.step()) {
        return std::nullopt;
    }
    return stmt.columnText(0);
}

WriteResult writeSetting(SqlDatabase& db, std::string_view name, std::string_view value) {
    WriteResult written = storeSetting(db, name, value);
    if (written && name != kFileIdSetting) {
        ensureSiteDatabaseId(db);  // only the setting was asked for: an id that fails waits
    }
    return written;
}

namespace {

// 16 random bytes in hex; nothing when the system gives none.
std::optional<std::string> randomId() {
    unsigned char bytes[16];
    if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        return std::nullopt;
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string id;
    for (const unsigned char byte : bytes) {
        id += kDigits[byte >> 4];
        id += kDigits[byte & 0x0F];
    }
    return id;
}

}  // namespace

ReadResult readSiteDatabaseId(SqlDatabase& db, std::optional<Text>& id) {
    id.reset();
    bool settings = false;
    ReadResult read = readRows(
        db, "SELECT count(*) FROM sqlite_master WHERE type='table' AND name='Setting'",
        [&](const SqlStatement& stmt) { settings = stmt.columnInt(0) > 0; }, [&] {});
    read.started = false;  // the first read of the file: nothing of it could be read
    if (!read.ok() || !settings) {
        return read;
    }
    return readRows(
        db, "SELECT Value FROM Setting WHERE Name=@Name",
        [](SqlStatement& stmt) { stmt.bindText("@Name", kFileIdSetting); },
        [&](const SqlStatement& stmt) {
            if (!stmt.columnText(0).empty()) {
                id = stmt.columnText(0);
            }
        },
        [&] { id.reset(); });
}

WriteResult ensureSiteDatabaseId(SqlDatabase& db) {
    std::optional<Text> id;
    if (const ReadResult read = readSiteDatabaseId(db, id); !read.ok()) {
        return WriteResult{false, read.error, read.started, read.code, read.waitedMs};
    }
    if (id) {
        return WriteResult{true, {}, true};
    }
    const std::optional<std::string> made = randomId();
    if (!made) {
        return WriteResult{true, {}, true};  // the file goes on without one, as before
    }
    return storeSetting(db, kFileIdSetting, *made);
}

bool createSiteDatabase(const std::filesystem::path& path, Text* error) {
    auto fail = [&](std::string_view utf8Sentence) {
        if (error != nullptr) {
            *error = utf8ToAnsi(utf8Sentence);
        }
        return false;
    };
    // O_EXCL: an existing file, even one created a moment ago by someone else, is never touched.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == EEXIST) {
            return fail("文件已存在，init-db 不会改动已有的文件：" + path.string() +
                        "。请换一个路径，或先移走它。");
        }
        return fail("无法创建文件 " + path.string() + "：" + std::strerror(errno) + "。");
    }
    ::close(fd);

    bool ok = false;
    Text sqliteError;
    {
        SqlDatabase db;
        if (db.open(path, kOpenReadWrite) && db.setKey(kSiteDatabaseKey) == kSqliteOk) {
            static constexpr std::string_view kSchema[] = {
                "BEGIN",
                "CREATE TABLE Template (id INTEGER PRIMARY KEY AUTOINCREMENT, WebName TEXT, "
                "Weblogin TEXT, WebLink TEXT, Qtype INTEGER, Rtype INTEGER, Ctype INTEGER, "
                "Tying TEXT, Headers TEXT, Date TEXT)",
                "CREATE TABLE WebCookie (Id INTEGER, Ctime TEXT, Cookie TEXT, "
                "Cid INTEGER PRIMARY KEY AUTOINCREMENT)",
                "CREATE TABLE Send (id INTEGER PRIMARY KEY, Name TEXT, RobotId TEXT)",
                // The list query joins every site with its accounts by Id.
                "CREATE INDEX WebCookieSite ON WebCookie (Id)",
                kCreateVerdict,
                kCreateSetting,
                "INSERT INTO Send (id, Name, RobotId) VALUES (1, 'Bark', ''), "
                "(2, 'ServerChan', ''), (3, 'DingTalk', '')",
                "COMMIT",
            };
            ok = true;
            for (std::string_view sql : kSchema) {
                if (sql == "COMMIT") {
                    if (WriteResult marked = ensureSiteDatabaseId(db); !marked) {
                        sqliteError = marked.error;
                        ok = false;
                        break;
                    }
                }
                SqlStatement stmt = db.prepare(sql);
                if (stmt.stepCode() != kSqliteDone) {
                    sqliteError = db.errorMessage();
                    ok = false;
                    break;
                }
            }
        } else {
            sqliteError = db.errorMessage();
        }
    }
    if (!ok) {
        std::error_code ec;
        std::filesystem::remove(path, ec);
        return fail("无法写入新的数据库 " + path.string() + "：" + ansiToUtf8(sqliteError) + "。");
    }
    return true;
}

void addDemoSites(SqlDatabase& db) {
    TemplateFields json;
    json.WebName = utf8ToAnsi("示例站点（JSON）");
    json.Weblogin = "https://example.com/login";
    json.WebLink = "https://example.com/api/checkin";
    json.Qtype = RequestMethod::Post;
    json.Rtype = AnswerType::Json;
    json.Tying = "msg";
    insertTemplate(db, json);

    TemplateFields regex;
    regex.WebName = utf8ToAnsi("示例论坛（正则）");
    regex.Weblogin = "https://example.org/member.php?mod=logging";
    regex.WebLink = "https://example.org/plugin.php?id=sign";
    regex.Qtype = RequestMethod::Get;
    regex.Rtype = AnswerType::Regex;
    regex.Tying = utf8ToAnsi("<div class=\"c\">([^<]*)</div>");
    insertTemplate(db, regex);
}

bool initSiteDatabase(const std::filesystem::path& path, bool demo,
                      const std::filesystem::path& dataDirectory, Text* error) {
    // The user's data directory may not exist yet; a folder named otherwise must.
    if (!dataDirectory.empty() && path.parent_path() == dataDirectory) {
        std::error_code ec;
        std::filesystem::create_directories(path.parent_path(), ec);
    }
    if (!createSiteDatabase(path, error)) {
        return false;
    }
    if (demo) {
        SqlDatabase db;
        if (openSiteDatabase(db, path)) {
            addDemoSites(db);
        }
    }
    return true;
}

}  // namespace vesprey
