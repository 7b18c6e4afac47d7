// History.db: what every pass made of each account, kept beside Sign.db in a file of its own, so
// that a pass still never writes to Sign.db and a Sign.db shared with other tools stays as it
// was. The file is SQLCipher with Sign.db's key (kSiteDatabaseKey), made on first use, and holds
//   History       one row per list row per pass: its time, the account, verdict and result; rows
//                 older than kHistoryKeepDays are removed as new passes come;
//   CookieExpiry  per account (Cid), the earliest expiry of the cookies the built-in browser
//                 captured, and when they were captured;
//   Setting       the day of the last scheduled pass, for the desktop's catch-up, where the
//                 desktop's main window was and how large, the names of the Sign.db the file
//                 belongs to (see HistoryDatabase), and the desktop window's own settings (its
//                 schedule, push and tray switches), each name stored with the prefix
//                 kDesktopSettingPrefix;
//   RecentVerdict per account, its last kRecentVerdictCount requested verdicts, kept with every
//                 pass so that they are read without going through the history;
//   Tries         per History row of an account requested more than once in its pass (retries),
//                 how many times it was: HistoryRow (History's rowid), Time, Tries.
// Times are local time texts "yyyy-MM-dd HH:mm:ss" (historyTime), so text order is time order,
// and days are "yyyy-MM-dd" (historyDay).
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "store/site_database.h"
#include "store/sql.h"
#include "text/text.h"

namespace vesprey {

inline constexpr std::string_view kHistoryFileName = "History.db";
inline constexpr int kHistoryKeepDays = 400;
// How many of each account's last verdicts the file keeps at hand (readLastVerdicts).
inline constexpr int kRecentVerdictCount = 2;
// What the desktop window's settings are stored under in Setting, before their own names.
inline constexpr std::string_view kDesktopSettingPrefix = "Desktop.";

// What the built-in browser captured of an account's cookies.
struct CookieExpiry {
    int cid = 0;
    Text expires;   // the earliest expiry among the captured cookies
    Text captured;  // when they were captured
};

// What History.db knows of the accounts' cookies: the captured expiries and each account's last
// two verdicts, by Cid.
struct CookieHealth {
    std::map<int, CookieExpiry> expiries;
    std::map<int, std::vector<Text>> lastVerdicts;
};

// History.db in the directory of `siteDatabase`.
std::filesystem::path historyDatabasePath(const std::filesystem::path& siteDatabase);

// A date-time (text.h) as the stored time "yyyy-MM-dd HH:mm:ss" (24-hour clock, whatever the
// locale) and as its day "yyyy-MM-dd".
Text historyTime(double dateTime);
Text historyDay(double dateTime);

// Codes of failures that are not SQLite's (WriteResult::code, ReadResult::code), each with its
// sentence in the result: History.db belongs to another Sign.db, or the two paths name one file.
inline constexpr int kHistoryOfAnotherFile = 1001;
inline constexpr int kHistoryIsSiteDatabase = 1002;

// What to do with a History.db that belongs to another Sign.db (see HistoryDatabase).
enum class HistoryStart {
    Keep,  // refuse it: nothing is read from it or written to it
    Anew,  // set it aside, renamed beside it ("History.other-yyyyMMdd-HHmmss.db"), and begin anew
};

// One connection to History.db. A failure says what went wrong, with SQLite's message.
//
// History.db is tied to its Sign.db: it keeps the id of the Sign.db it was made for
// (kFileIdSetting) and the salt of that file (the first 16 bytes of every SQLCipher file, which
// stay with the file for its life), in its table Setting. A History.db that names another
// Sign.db, by id or (where one of the two has no id yet) by salt, is refused: nothing is read
// from it or written to it. A History.db that names none (one of an earlier version) is taken
// as it is and, at its next write, given the names of its Sign.db; so is one whose Sign.db has
// just been given its id. Without a Sign.db at `siteDatabase` there is nothing to tie it to.
// When `siteDatabase` is itself the History.db path (a Sign.db named History.db), every open
// is refused.
//
// A History.db left with a journal by a write that was cut off (the program killed mid-write)
// is rolled back by any open that may write the file and its folder, for reading too; a reader
// that may not says that the file needs `vesprey-cli sign` or write access first.
class HistoryDatabase {
public:
    // True when History.db exists beside `siteDatabase`, whatever it holds.
    static bool exists(const std::filesystem::path& siteDatabase);

    // Opens History.db beside `siteDatabase` for reading and writing. A missing file is made
    // (readable by its owner only, like Sign.db) with its tables; an existing one gets any table
    // it lacks. When that fails, a file made here is removed again. One of another Sign.db is
    // refused, or with HistoryStart::Anew set aside first (setAsidePath says where).
    WriteResult create(const std::filesystem::path& siteDatabase,
                       HistoryStart start = HistoryStart::Keep);
    // Opens an existing History.db for reading only: nothing is ever made or changed (but for
    // the rollback of a write that was cut off). Fails when the file is missing, is not a
    // database, has another key or belongs to another Sign.db. A table the file lacks reads as
    // empty.
    ReadResult open(const std::filesystem::path& siteDatabase);

    bool isOpen() const { return db_.isOpen(); }
    const std::filesystem::path& path() const { return path_; }
    // Where create put a History.db of another Sign.db; empty when it put none aside.
    const std::filesystem::path& setAsidePath() const { return setAside_; }

    // Appends the rows of one pass in one transaction, first removing the rows older than
    // kHistoryKeepDays days before the latest time among them: all of it is done, or none.
    WriteResult appendPass(const std::vector<HistoryEntry>& rows);
    // The same, with how many times each row was requested (`tries[i]` for rows[i]; missing
    // entries count as once): the rows requested more than once are kept in Tries too.
    WriteResult appendPass(const std::vector<HistoryEntry>& rows, const std::vector<int>& tries);
    // The rows of the last `days` days up to the day of `now` (today is one of them), oldest
    // first; every row of a pass in list order.
    ReadResult readDays(int days, double now, std::vector<HistoryEntry>& rows);
    // The rows of the newest pass (those of the latest time), in their order; none before the
    // first pass.
    ReadResult readLastPass(std::vector<HistoryEntry>& rows);
    // The same, with how many times each row was requested beside it: its Tries, else 1 for a
    // requested row and 0 for a skipped one.
    ReadResult readDays(int days, double now, std::vector<HistoryEntry>& rows,
                        std::vector<int>& tries);
    // Per account (Cid), the verdict names of its last `count` passes that requested it, newest
    // first; `count` is at most kRecentVerdictCount. Skipped rows and sites without an account
    // are left out.
    ReadResult readLastVerdicts(int count, std::map<int, std::vector<Text>>& verdicts);
    // Per account of `cids`, how many of its last passes in a row (those that requested it,
    // newest first in the order the passes were written) found it expired or failed, counting no
    // further than `count`: 0 when its last pass went otherwise or it has none. The history is
    // read from its end only as far as the accounts need. On a failure `runs` is empty.
    ReadResult readFailureRuns(const std::set<int>& cids, int count, std::map<int, int>& runs);
    // The time of the earliest and of the latest row; nothing in a file without rows.
    ReadResult readPassSpan(std::optional<Text>& first, std::optional<Text>& last);

    // Keeps `expiry` as the account's record, replacing the one before.
    WriteResult saveCookieExpiry(const CookieExpiry& expiry);
    // Forgets the account's record, for a capture without any cookie that expires.
    WriteResult removeCookieExpiry(int cid);
    // Every record, by Cid.
    ReadResult readCookieExpiries(std::map<int, CookieExpiry>& expiries);

    // The day ("yyyy-MM-dd") of the last scheduled pass; nothing before the first one.
    ReadResult readLastScheduledPass(std::optional<Text>& day);
    WriteResult saveLastScheduledPass(std::string_view day);
    // The main window's place as the desktop kept it ("x,y,width,height,maximised"); nothing
    // before it was first kept.
    ReadResult readWindowPlace(std::optional<Text>& place);
    WriteResult saveWindowPlace(std::string_view place);

    // The desktop window's settings, by their names without the prefix; none in a file that
    // has never kept one.
    ReadResult readDesktopSettings(std::map<std::string, Text>& settings);
    // Keeps `value` as the desktop setting `name`, replacing the one before.
    WriteResult saveDesktopSetting(std::string_view name, std::string_view value);

private:
    bool hasTable(std::string_view table) const { return tables_.count(std::string(table)) != 0; }
    // A row of Setting.
    ReadResult readSetting(std::string_view name, std::optional<Text>& value);
    WriteResult saveSetting(std::string_view name, std::string_view value);
    // Opens or makes the file at path_ with its tables.
    WriteResult createFile();
    void close();

    SqlDatabase db_;
    std::filesystem::path path_;
    std::set<std::string> tables_;
    std::filesystem::path setAside_;
};

// Why History.db could not be read, as a sentence without its final punctuation: the file is in
// use, it is damaged, or it is not a history with the tool's key; SQLite's message in brackets.
Text historyReadFailureText(const ReadResult& result);

// The last `count` days up to the day of `now`, oldest first, as "yyyy-MM-dd".
std::vector<Text> historyDays(int count, double now);

// What the history shows of one account over a run of days.
struct AccountHistory {
    int templateId = 0;
    int cid = 0;
    Text site;               // the name in its latest row
    std::vector<Text> days;  // per day, the verdict name that stands for it; empty: no pass
    HistoryEntry last;       // its latest row
};

// One entry per account (template id and Cid) that has rows in `rows` (oldest first), ordered by
// template id, then Cid. `days` are the days shown, oldest first. The verdict that stands for a
// day is its worst: failed or expired over unknown over success or already, the later of two
// equally bad ones; a skipped row is no pass.
std::vector<AccountHistory> accountHistories(const std::vector<HistoryEntry>& rows,
                                             const std::vector<Text>& days);

// Whole days from the day of `now` to the day of `expires` (a stored time): 0 when it is today,
// -1 when it is not after `now`, nothing when `expires` is not a time.
std::optional<int> cookieDaysLeft(std::string_view expires, double now);

// Reads the cookie health for the Sign.db at `siteDatabase`, never making History.db: without
// the file there is nothing to know (no error). On a failure `health` is empty.
ReadResult readCookieHealth(const std::filesystem::path& siteDatabase, CookieHealth& health);
// Whether the account's last two passes both found its cookie expired.
bool expiredTwice(const CookieHealth& health, int cid);

}  // namespace vesprey
