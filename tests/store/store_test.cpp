#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <tuple>
#include <vector>

#include "store/account_notes.h"
#include "store/flows.h"
#include "store/push_channels.h"
#include "store/site_database.h"
#include "store/template_settings.h"

namespace vesprey {
namespace {

namespace fs = std::filesystem;

Text gbk(std::string_view utf8) {
    return utf8ToAnsi(utf8);
}

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "vesprey-store-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// A fresh Sign.db made the way `init-db` makes it, opened with the key.
class SiteStore : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = dir_.path() / "Sign.db";
        Text error;
        ASSERT_TRUE(createSiteDatabase(path_, &error)) << ansiToUtf8(error);
        ASSERT_TRUE(openSiteDatabase(db_, path_));
    }

    void exec(std::string_view sql) {
        SqlStatement stmt = db_.prepare(sql);
        ASSERT_NE(stmt.handle(), nullptr) << db_.errorMessage();
        ASSERT_EQ(stmt.stepCode(), kSqliteDone) << db_.errorMessage();
    }

    static TemplateFields fields(std::string_view name, int qtype = 1, int rtype = 1) {
        TemplateFields f;
        f.WebName = gbk(name);
        f.Weblogin = "https://example.com/login";
        f.WebLink = "https://example.com/sign";
        f.Qtype = storedMethod(qtype);
        f.Rtype = storedAnswerType(rtype);
        f.Ctype = 2;
        f.Tying = gbk("data.msg=>签到结果");
        f.Headers = "X-Test: 1";
        f.Date = "a=1&b=2";
        return f;
    }

    TempDir dir_;
    fs::path path_;
    SqlDatabase db_;
};

TEST_F(SiteStore, NewFileHasThreeEmptyPushChannelsAndNoSites) {
    bool ok = false;
    EXPECT_TRUE(loadSiteList(db_, &ok).empty());
    EXPECT_TRUE(ok);
    PushSettings push = loadPushSettings(db_);
    ASSERT_EQ(push.size(), 3u);
    EXPECT_EQ(push[0].id, "1");
    EXPECT_EQ(push[2].id, "3");
    EXPECT_EQ(push[1].RobotId, "");
}

TEST_F(SiteStore, ListsASiteOncePerAccountAndOnceWithoutAccount) {
    auto a = addSite(db_, fields("签到网站甲"), "sid=abc");
    ASSERT_TRUE(a.write) << a.write.error;
    ASSERT_TRUE(insertWebCookie(db_, a.id, "2020-12-19 08:05:09", "sid=def"));
    ASSERT_TRUE(insertTemplate(db_, fields("没有账号", 2, 2)));

    SiteList list = loadSiteList(db_);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].WebName, gbk("签到网站甲"));
    EXPECT_EQ(list[0].Cookie, "sid=abc");
    EXPECT_EQ(list[1].Cookie, "sid=def");
    EXPECT_NE(list[0].Cid, list[1].Cid);
    EXPECT_EQ(list[0].id, list[1].id);
    EXPECT_EQ(list[0].Ctype, 2);
    EXPECT_EQ(list[0].Tying, gbk("data.msg=>签到结果"));
    EXPECT_EQ(list[0].Headers, "X-Test: 1");
    EXPECT_EQ(list[0].Date, "a=1&b=2");
    EXPECT_EQ(list[0].Weblogin, "https://example.com/login");
    EXPECT_EQ(list[0].WebLink, "https://example.com/sign");
    EXPECT_EQ(list[2].Cookie, "");
    EXPECT_EQ(list[2].Cid, 0);

    auto row0 = siteListRow(list[0], 0);
    EXPECT_EQ(row0[0], "1");
    EXPECT_EQ(row0[2], "GET");
    EXPECT_EQ(row0[3], "JSON");
    EXPECT_EQ(row0[4], gbk("√"));
    EXPECT_EQ(row0[5], "");
    auto row2 = siteListRow(list[2], 2);
    EXPECT_EQ(row2[0], "3");
    EXPECT_EQ(row2[2], "POST");
    EXPECT_EQ(row2[3], gbk("正则"));
    EXPECT_EQ(row2[4], gbk("×"));

    // Deleting one account leaves the other.
    ASSERT_TRUE(deleteWebCookie(db_, list[0].Cid));
    list = loadSiteList(db_);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].Cookie, "sid=def");
}

TEST_F(SiteStore, NullCookieAndCidReadAsEmptyAndZeroAndOddTypesShowAsPostAndRegex) {
    exec("insert into Template (WebName,Qtype,Rtype,Ctype) values ('odd', 7, 0, 1)");
    exec("insert into WebCookie (Id,Ctime,Cookie) values (1, NULL, NULL)");
    SiteList list = loadSiteList(db_);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].Cookie, "");
    EXPECT_NE(list[0].Cid, 0);  // the account row exists, only its cookie is NULL
    EXPECT_EQ(list[0].Tying, "");
    auto row = siteListRow(list[0], 0);
    EXPECT_EQ(row[2], "POST");
    EXPECT_EQ(row[3], gbk("正则"));
    EXPECT_EQ(row[4], gbk("×"));

    // A template row with a NULL key reads Cid and id as 0 / empty.
    SqlStatement stmt = db_.prepare("select NULL, NULL");
    ASSERT_TRUE(stmt.step());
    EXPECT_EQ(stmt.columnText(0), "");
    EXPECT_EQ(stmt.columnInt(1), 0);
}

TEST_F(SiteStore, ChineseTextIsStoredAsUtf8AndReadBackUnchanged) {
    const Text cookie = gbk("昵称=小明; token=签到€'\"");
    auto added = addSite(db_, fields("中文站点"), cookie);
    ASSERT_TRUE(added.write);
    SiteList list = loadSiteList(db_);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].Cookie, cookie);
    // Stored as UTF-8: SQLite's own length() counts characters.
    SqlStatement stmt = db_.prepare("select hex(WebName), length(Cookie) from Template, WebCookie");
    ASSERT_TRUE(stmt.step());
    EXPECT_EQ(stmt.columnText(0), "E4B8ADE69687E7AB99E782B9");
    EXPECT_EQ(stmt.columnInt(1), 18);
}

TEST_F(SiteStore, EachWriteStatement) {
    auto added = addSite(db_, fields("站点"), "");
    ASSERT_TRUE(added.write);
    EXPECT_EQ(added.id, 1);
    SiteList list = loadSiteList(db_);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].Cookie, "");  // saved without capture: an account with an empty cookie
    ASSERT_NE(list[0].Cid, 0);

    // The time stamp of the first account row is the stored text form of now.
    SqlStatement ctime = db_.prepare("select Ctime from WebCookie");
    ASSERT_TRUE(ctime.step());
    EXPECT_EQ(ctime.columnText(0).size(), 19u);
    ctime.finalize();

    ASSERT_TRUE(updateWebCookie(db_, list[0].Cid, "a=1"));
    // A statement that prepares but fails to step.
    exec("create trigger refuse before update on Send begin select raise(abort, 'refused'); end");
    WriteResult refused = updatePushKey(db_, 1, "x");
    EXPECT_TRUE(refused.prepared);
    EXPECT_FALSE(refused.done);
    EXPECT_NE(refused.error.find("refused"), std::string::npos);
    exec("drop trigger refuse");
    TemplateFields changed = fields("改过的站点", 2, 2);
    changed.Ctype = 1;
    ASSERT_TRUE(updateTemplate(db_, list[0].id, changed));
    list = loadSiteList(db_);
    EXPECT_EQ(list[0].Cookie, "a=1");
    EXPECT_EQ(list[0].WebName, gbk("改过的站点"));
    EXPECT_EQ(list[0].Qtype, RequestMethod::Post);
    EXPECT_EQ(list[0].Rtype, AnswerType::Regex);
    EXPECT_EQ(list[0].Ctype, 1);

    ASSERT_TRUE(updatePushKey(db_, 3, "robot-token"));
    EXPECT_EQ(loadPushSettings(db_)[2].RobotId, "robot-token");
    EXPECT_EQ(loadPushSettings(db_)[0].RobotId, "");

    auto second = addSite(db_, fields("第二个"), "x=1");
    EXPECT_EQ(second.id, 2);
    EXPECT_EQ(selectMaxTemplateId(db_), 2);
}

TEST_F(SiteStore, RenewedCookiesGoOnlyWhereTheRowStillHoldsTheCookieRead) {
    const int id = addSite(db_, fields("甲站"), "tok=A").id;
    for (const char* cookie : {"tok=B", "tok=C", ""}) {
        ASSERT_TRUE(insertWebCookie(db_, id, "2024-01-01 08:00:00", cookie));
    }
    exec("update WebCookie set Cookie=NULL where Cid=4");
    exec("update WebCookie set Cookie='tok=MANUAL' where Cid=2");  // changed meanwhile
    exec("delete from WebCookie where Cid=3");                     // deleted meanwhile
    const CookieSaveResult result = saveCookies(db_, {{1, "tok=A", "tok=A1"},
                                                      {2, "tok=B", "tok=B1"},
                                                      {3, "tok=C", "tok=C1"},
                                                      {4, "", "tok=D1"}});
    ASSERT_TRUE(result.written) << ansiToUtf8(result.written.error);
    EXPECT_EQ(result.saved, (std::vector<int>{1, 4}));
    EXPECT_EQ(result.changed, (std::vector<int>{2, 3}));
    std::map<int, Text> stored;
    for (const SiteTemplate& site : loadSiteList(db_)) {
        stored[site.Cid] = site.Cookie;
    }
    EXPECT_EQ(stored, (std::map<int, Text>{{1, "tok=A1"}, {2, "tok=MANUAL"}, {4, "tok=D1"}}));
}

TEST_F(SiteStore, ANewFileHasAnIdAndAnEarlierOneGetsOneWithItsFirstWriteOnly) {
    std::optional<Text> made;
    ASSERT_TRUE(readSiteDatabaseId(db_, made).ok());
    ASSERT_TRUE(made);
    EXPECT_EQ(made->size(), 32u);

    // A file of an earlier version: reading it leaves it without one.
    exec("delete from Setting");
    auto fileBytes = [&] {
        std::ifstream in(path_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    const std::string before = fileBytes();
    std::optional<Text> none;
    ASSERT_TRUE(readSiteDatabaseId(db_, none).ok());
    EXPECT_FALSE(none);
    SiteList list;
    EXPECT_TRUE(readSiteList(db_, list).ok());
    EXPECT_EQ(fileBytes(), before);

    ASSERT_TRUE(addSite(db_, fields("甲站"), "a=1").write);
    std::optional<Text> given;
    ASSERT_TRUE(readSiteDatabaseId(db_, given).ok());
    ASSERT_TRUE(given);
    EXPECT_NE(*given, *made);
    ASSERT_TRUE(writeSetting(db_, "x", "1"));
    std::optional<Text> kept;
    ASSERT_TRUE(readSiteDatabaseId(db_, kept).ok());
    EXPECT_EQ(kept, given);
}

TEST_F(SiteStore, UpdateTemplateChangesTheRowOfItsIdAlone) {
    ASSERT_TRUE(insertTemplate(db_, fields("a")));
    ASSERT_TRUE(insertTemplate(db_, fields("b")));
    EXPECT_TRUE(updateTemplate(db_, 999, fields("nobody")));
    EXPECT_TRUE(updateTemplate(db_, 1, fields("changed")));
    SiteList list = loadSiteList(db_);
    EXPECT_EQ(list[0].WebName, "changed");
    EXPECT_EQ(list[1].WebName, "b");
}

TEST_F(SiteStore, FailedWritesReportSqliteMessage) {
    exec("drop table WebCookie");
    auto result = insertWebCookie(db_, 1, "now", "c");
    EXPECT_FALSE(result);
    EXPECT_FALSE(result.prepared);  // no such table: the statement cannot be prepared
    EXPECT_NE(result.error.find("no such table"), std::string::npos) << result.error;
    bool ok = true;
    EXPECT_TRUE(loadSiteList(db_, &ok).empty());
    EXPECT_FALSE(ok);
}

TEST(SqlLayer, MissingFileIsNotCreated) {
    TempDir dir;
    SqlDatabase db;
    const fs::path path = dir.path() / "missing.db";
    EXPECT_FALSE(openSiteDatabase(db, path));
    EXPECT_FALSE(fs::exists(path));
    EXPECT_FALSE(db.errorMessage().empty());
}

TEST(SqlLayer, NullHandlesGiveFailureValues) {
    SqlDatabase never;
    EXPECT_EQ(never.setKey("k"), kSqliteError);
    bool ok = true;
    SqlStatement stmt = never.prepare("select 1", &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(stmt.handle(), nullptr);
    EXPECT_FALSE(stmt.step());
    EXPECT_EQ(stmt.stepCode(), kSqliteError);
    EXPECT_EQ(stmt.columnCount(), 0);
    EXPECT_FALSE(stmt.bindText("@a", "b"));
    EXPECT_FALSE(stmt.bindInt("@a", 1));
    EXPECT_EQ(stmt.finalize(), kSqliteError);
}

TEST_F(SiteStore, StatementMechanics) {
    bool ok = true;
    SqlStatement bad = db_.prepare("SELEC nonsense", &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(bad.handle(), nullptr);
    EXPECT_FALSE(bad.step());

    SqlStatement empty = db_.prepare("", &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(empty.handle(), nullptr);

    // A name the statement lacks fails to bind; the statement still runs with NULL there.
    SqlStatement ins =
        db_.prepare("insert into WebCookie (Id,Ctime,Cookie) values (@Id,@Ctime,@Cookie)");
    EXPECT_FALSE(ins.bindText("@Nope", "x"));
    EXPECT_TRUE(ins.bindInt("@Id", 5));
    EXPECT_TRUE(ins.bindText("@Cookie", ""));
    EXPECT_EQ(ins.stepCode(), kSqliteDone);
    EXPECT_EQ(ins.finalize(), kSqliteOk);
    EXPECT_EQ(ins.stepCode(), kSqliteError);  // finalized behaves as null

    SqlStatement check = db_.prepare("select Ctime is NULL, Cookie = '' from WebCookie");
    ASSERT_TRUE(check.step());
    EXPECT_EQ(check.columnCount(), 2);
    EXPECT_EQ(check.columnInt(0), 1);
    EXPECT_EQ(check.columnInt(1), 1);  // an empty value is '' not NULL

    // Moving hands the statement over; the moved-from object is null.
    SqlStatement moved = std::move(check);
    EXPECT_EQ(check.handle(), nullptr);  // NOLINT(bugprone-use-after-move)
    EXPECT_NE(moved.handle(), nullptr);
}

// How many descriptors of this process are open on `path`.
int openDescriptors(const fs::path& path) {
    int count = 0;
    for (const fs::directory_entry& fd : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        count += fs::read_symlink(fd.path(), ec) == path ? 1 : 0;
    }
    return count;
}

TEST_F(SiteStore, AStatementOutlivingItsConnectionClosesTheFileWhenFinalized) {
    db_ = SqlDatabase();  // the fixture's connection goes
    SqlStatement statement;
    {
        SqlDatabase db;
        ASSERT_TRUE(openSiteDatabase(db, path_));
        statement = db.prepare("select count(*) from Template");
        ASSERT_NE(statement.handle(), nullptr);
    }
    EXPECT_EQ(openDescriptors(path_), 1);
    statement.finalize();
    EXPECT_EQ(openDescriptors(path_), 0);
}

TEST(SiteFile, WrongKeyAndFileWithoutTablesGiveAnEmptyList) {
    TempDir dir;
    const fs::path path = dir.path() / "Sign.db";
    ASSERT_TRUE(createSiteDatabase(path, nullptr));
    {
        SqlDatabase db;
        ASSERT_TRUE(db.open(path));
        db.setKey("not-the-key-0000");
        bool ok = true;
        EXPECT_TRUE(loadSiteList(db, &ok).empty());
        EXPECT_FALSE(ok);
    }
    // An encrypted database with the right key but no tables.
    const fs::path bare = dir.path() / "bare.db";
    std::ofstream(bare).close();
    {
        SqlDatabase db;
        ASSERT_TRUE(openSiteDatabase(db, bare));
        SqlStatement stmt = db.prepare("create table Other (x)");
        ASSERT_EQ(stmt.stepCode(), kSqliteDone);
    }
    SqlDatabase db;
    ASSERT_TRUE(openSiteDatabase(db, bare));
    bool ok = true;
    EXPECT_TRUE(loadSiteList(db, &ok).empty());
    EXPECT_FALSE(ok);
    EXPECT_TRUE(loadPushSettings(db).empty());
}

TEST(SiteFile, CreateRefusesAnExistingFileAndLeavesItAlone) {
    TempDir dir;
    const fs::path path = dir.path() / "Sign.db";
    std::ofstream(path) << "keep me";
    Text error;
    EXPECT_FALSE(createSiteDatabase(path, &error));
    EXPECT_NE(ansiToUtf8(error).find("已存在"), std::string::npos);
    std::ifstream in(path);
    std::string content((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(content, "keep me");

    EXPECT_FALSE(createSiteDatabase(dir.path() / "no-such-dir" / "Sign.db", &error));
    EXPECT_FALSE(fs::exists(dir.path() / "no-such-dir"));
}

TEST(SiteFile, PathOptionThenEnvironmentThenExecutableDirectory) {
    UserFolders folders;
    EXPECT_EQ(siteDatabasePath(fs::path("/x/y.db"), folders), fs::path("/x/y.db"));
    folders.databaseVariable = "/env/Sign.db";
    EXPECT_EQ(siteDatabasePath({}, folders), fs::path("/env/Sign.db"));
    EXPECT_EQ(siteDatabasePath(fs::path("/x/y.db"), folders), fs::path("/x/y.db"));
    folders.databaseVariable.clear();
    EXPECT_EQ(siteDatabasePath({}, folders),
              fs::read_symlink("/proc/self/exe").parent_path() / "Sign.db");
}

TEST(SiteFile, AnInstalledProgramKeepsItsDataInTheUsersDataDirectoryUnlessOneIsBesideIt) {
    TempDir root;
    const fs::path bin = root.path() / "usr" / "bin";
    fs::create_directories(bin);
    fs::create_directories(root.path() / "usr" / "share" / "applications");
    const UserFolders folders{{}, root.path() / "data" / "vesprey"};
    // A build's writable folder: beside the program.
    EXPECT_EQ(siteDatabasePathFor(bin, {}, folders), bin / "Sign.db");
    // Installed (its desktop entry in ../share): the data directory.
    std::ofstream(root.path() / "usr" / "share" / "applications" / "vesprey.desktop") << "";
    EXPECT_EQ(siteDatabasePathFor(bin, {}, folders), root.path() / "data" / "vesprey" / "Sign.db");
    // A Sign.db beside the program still wins, and --db over everything.
    std::ofstream(bin / "Sign.db") << "";
    EXPECT_EQ(siteDatabasePathFor(bin, {}, folders), bin / "Sign.db");
    EXPECT_EQ(siteDatabasePathFor(bin, fs::path("/x/y.db"), folders), fs::path("/x/y.db"));
}

// The Send rows as (id, Name, RobotId) in id order.
std::vector<std::tuple<int, Text, Text>> sendRows(SqlDatabase& db) {
    std::vector<std::tuple<int, Text, Text>> rows;
    SqlStatement stmt = db.prepare("SELECT id, Name, RobotId FROM Send ORDER BY id");
    while (stmt.step()) {
        rows.emplace_back(stmt.columnInt(0), stmt.columnText(1), stmt.columnText(2));
    }
    return rows;
}

TEST_F(SiteStore, PushChannelSettingsKeepARowOfTheirOwnAfterTheFirstThree) {
    ASSERT_TRUE(saveChannelSettings(db_, "ntfy", R"({"topic":"a"})"));
    ASSERT_TRUE(saveChannelSettings(db_, "telegram", gbk(R"({"chat_id":"频道"})")));
    ASSERT_TRUE(saveChannelSettings(db_, "ntfy", R"({"topic":"b"})"));
    using Row = std::tuple<int, Text, Text>;
    EXPECT_EQ(sendRows(db_), (std::vector<Row>{{1, "Bark", ""},
                                               {2, "ServerChan", ""},
                                               {3, "DingTalk", ""},
                                               {4, "ntfy", R"({"topic":"b"})"},
                                               {5, "telegram", gbk(R"({"chat_id":"频道"})")}}));

    std::map<Text, Text> all;
    ASSERT_TRUE(readChannelSettings(db_, all).ok());
    EXPECT_EQ(all, (std::map<Text, Text>{{"ntfy", R"({"topic":"b"})"},
                                         {"telegram", gbk(R"({"chat_id":"频道"})")}}));
    Text one = "stale";
    ASSERT_TRUE(readChannelSettings(db_, "telegram", one).ok());
    EXPECT_EQ(one, gbk(R"({"chat_id":"频道"})"));
    ASSERT_TRUE(readChannelSettings(db_, "email", one).ok());
    EXPECT_EQ(one, "");
}

TEST_F(SiteStore, ANewChannelRowTakesTheNextFreeIdFromFourAndLeavesTheFirstThreeAlone) {
    exec("DELETE FROM Send WHERE id = 3");
    exec("UPDATE Send SET Name = 'ntfy', RobotId = 'bark key' WHERE id = 1");
    ASSERT_TRUE(saveChannelSettings(db_, "ntfy", "{}"));
    exec("INSERT INTO Send (id, Name, RobotId) VALUES (9, 'other', '')");
    ASSERT_TRUE(saveChannelSettings(db_, "gotify", "{}"));
    using Row = std::tuple<int, Text, Text>;
    EXPECT_EQ(sendRows(db_), (std::vector<Row>{{1, "ntfy", "bark key"},
                                               {2, "ServerChan", ""},
                                               {4, "ntfy", "{}"},
                                               {9, "other", ""},
                                               {10, "gotify", "{}"}}));
}

// ----- Multi-step templates and their accounts' inputs -----

TEST_F(SiteStore, AFileWithoutTheFlowTablesHasNoFlowsAndNoInputs) {
    std::map<int, std::string> flows{{9, "stale"}};
    std::map<int, AccountInputs> inputs{{9, {{"a", "b"}}}};
    EXPECT_TRUE(readFlows(db_, flows).ok());
    EXPECT_TRUE(readAccountInputs(db_, inputs).ok());
    EXPECT_TRUE(flows.empty());
    EXPECT_TRUE(inputs.empty());
}

TEST_F(SiteStore, ASiteWithAFlowGoesInAndOutWhole) {
    const std::string steps = R"([{"request": {"url": "https://a.test/签到"}}])";
    const AddFlowSiteResult first =
        addFlowSite(db_, fields("甲站"), "c=1", steps, {{"password", "密码 1"}, {"user", "me"}});
    ASSERT_TRUE(first.site.write) << ansiToUtf8(first.site.write.error);
    const AddFlowSiteResult second = addFlowSite(db_, fields("乙站"), "", steps, {{"user", "you"}});
    ASSERT_TRUE(second.site.write);
    ASSERT_TRUE(saveVerdictRules(db_, first.site.id, {gbk("好"), {}, {}}));
    // A second account of the first site, with its own inputs.
    int other = 0;
    ASSERT_TRUE(addFlowAccount(db_, first.site.id, "2026-01-01 00:00:00", "c=2", {{"user", "him"}},
                               &other));
    EXPECT_EQ(other, selectMaxCid(db_, first.site.id).value_or(0));
    EXPECT_NE(other, first.cid);
    ASSERT_TRUE(changeAccountInputs(db_, other, {{"password", "x"}}));
    ASSERT_TRUE(changeAccountInputs(db_, other, {{"password", std::nullopt}}));

    std::optional<std::string> stored;
    ASSERT_TRUE(readFlow(db_, first.site.id, stored).ok());
    EXPECT_EQ(stored, steps);  // UTF-8 as it was given
    AccountInputs inputs;
    ASSERT_TRUE(readAccountInputs(db_, first.cid, inputs).ok());
    EXPECT_EQ(inputs, (AccountInputs{{"password", "密码 1"}, {"user", "me"}}));
    ASSERT_TRUE(readAccountInputs(db_, other, inputs).ok());
    EXPECT_EQ(inputs, (AccountInputs{{"user", "him"}}));

    ASSERT_TRUE(writeAccountNote(db_, first.cid, gbk("大号")));
    ASSERT_TRUE(writeAccountNote(db_, other, gbk("小号")));
    ASSERT_TRUE(saveTemplateProxy(db_, first.site.id, "http://127.0.0.1:3128"));
    ASSERT_TRUE(saveTemplateSchedule(db_, first.site.id, {"every:2", "2026-01-01"}));

    ASSERT_TRUE(deleteAccount(db_, other));
    std::map<int, Text> notes;
    ASSERT_TRUE(readAccountNotes(db_, notes).ok());
    EXPECT_EQ(notes, (std::map<int, Text>{{first.cid, gbk("大号")}}));
    std::map<int, AccountInputs> all;
    ASSERT_TRUE(readAccountInputs(db_, all).ok());
    EXPECT_EQ(all.count(other), 0U);

    ASSERT_TRUE(deleteSite(db_, first.site.id));
    std::map<int, std::string> flows;
    ASSERT_TRUE(readFlows(db_, flows).ok());
    EXPECT_EQ(flows.size(), 1U);
    EXPECT_EQ(flows.count(second.site.id), 1U);
    ASSERT_TRUE(readAccountInputs(db_, all).ok());
    EXPECT_EQ(all.size(), 1U);
    EXPECT_EQ(all.count(second.cid), 1U);
    std::map<int, VerdictRules> rules;
    ASSERT_TRUE(readVerdictRules(db_, rules).ok());
    EXPECT_TRUE(rules.empty());
    ASSERT_TRUE(readAccountNotes(db_, notes).ok());
    EXPECT_TRUE(notes.empty());
    std::map<int, Text> proxies;
    ASSERT_TRUE(readTemplateProxies(db_, proxies).ok());
    EXPECT_TRUE(proxies.empty());
    std::map<int, StoredSchedule> schedules;
    ASSERT_TRUE(readTemplateSchedules(db_, schedules).ok());
    EXPECT_TRUE(schedules.empty());
    const SiteList sites = loadSiteList(db_);
    ASSERT_EQ(sites.size(), 1U);
    EXPECT_EQ(sites[0].WebName, gbk("乙站"));
}

TEST_F(SiteStore, AFurtherAccountWhoseInputsCannotBeStoredLeavesNoRow) {
    const AddFlowSiteResult site = addFlowSite(db_, fields("甲站"), "", "[]", {});
    ASSERT_TRUE(site.site.write);
    exec("CREATE VIEW AccountInput AS SELECT 1 AS Cid, 'a' AS Name, 'b' AS Value");
    int cid = -1;
    EXPECT_FALSE(
        addFlowAccount(db_, site.site.id, "2026-01-01 00:00:00", "c=2", {{"user", "me"}}, &cid));
    EXPECT_EQ(cid, -1);
    EXPECT_EQ(selectMaxCid(db_, site.site.id), site.cid);
}

TEST_F(SiteStore, AFlowSiteThatCannotBeAddedLeavesNothing) {
    exec("DROP TABLE WebCookie");
    const AddFlowSiteResult added = addFlowSite(db_, fields("甲站"), "c=1", "[]", {{"user", "me"}});
    EXPECT_FALSE(added.site.write);
    EXPECT_TRUE(added.site.templateInserted);
    EXPECT_EQ(added.site.id, 0);
    std::map<int, std::string> flows;
    ASSERT_TRUE(readFlows(db_, flows).ok());
    EXPECT_TRUE(flows.empty());
    SqlStatement count = db_.prepare("SELECT count(*) FROM Template");
    ASSERT_TRUE(count.step());
    EXPECT_EQ(count.columnInt(0), 0);
}

}  // namespace
}  // namespace vesprey
