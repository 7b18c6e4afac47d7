// `vesprey-cli import` driven as a user would from a shell: shared templates saved as new sites
// of a real encrypted Sign.db, with or without a first account.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "shell.h"
#include "store/site_database.h"
#include "text/text.h"

namespace {

namespace fs = std::filesystem;

using vesprey::test::Outcome;
using vesprey::test::quoted;

// One row of the Template table, texts in UTF-8.
struct Row {
    std::string name, login, link;
    int qtype = 0, rtype = 0, ctype = 0;
    std::string tying, headers, body;
};

class CliImport : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vesprey-import-XXXXXX").string();
        dir_ = mkdtemp(pattern.data());
        db_ = dir_ / "Sign.db";
        vesprey::Text error;
        ASSERT_TRUE(vesprey::createSiteDatabase(db_, &error)) << error;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string file(const std::string& bytes, const std::string& name = "site.json") {
        const fs::path path = dir_ / name;
        std::ofstream(path, std::ios::binary) << bytes;
        return quoted(path.string());
    }

    Outcome run(const std::string& args, const std::string& input = {}) {
        std::string command = std::string(VESPREY_CLI) + " import " + args;
        if (!input.empty()) {
            command += " <" + file(input, "stdin.txt");
        }
        return vesprey::test::runCapturingStderr(command, dir_);
    }

    std::string dbOption() const { return "--db " + quoted(db_.string()); }

    std::vector<Row> templates() {
        vesprey::SqlDatabase db;
        EXPECT_TRUE(vesprey::openSiteDatabase(db, db_));
        std::vector<Row> rows;
        vesprey::SqlStatement stmt = db.prepare("select * from Template order by id");
        while (stmt.step()) {
            Row r;
            r.name = vesprey::ansiToUtf8(stmt.columnText(1));
            r.login = vesprey::ansiToUtf8(stmt.columnText(2));
            r.link = vesprey::ansiToUtf8(stmt.columnText(3));
            r.qtype = stmt.columnInt(4);
            r.rtype = stmt.columnInt(5);
            r.ctype = stmt.columnInt(6);
            r.tying = vesprey::ansiToUtf8(stmt.columnText(7));
            r.headers = vesprey::ansiToUtf8(stmt.columnText(8));
            r.body = vesprey::ansiToUtf8(stmt.columnText(9));
            rows.push_back(r);
        }
        return rows;
    }

    vesprey::SiteList list() {
        vesprey::SqlDatabase db;
        EXPECT_TRUE(vesprey::openSiteDatabase(db, db_));
        return vesprey::loadSiteList(db);
    }

    fs::path dir_;
    fs::path db_;
};

const std::string kPostTemplate = R"({
    "网站": "论坛", "登录链接": "https://bbs.test/login", "签到链接": "https://bbs.test/sign",
    "请求模式": 1, "响应类型": 1, "绑定语句": "<div class=#引号c#引号>(.*?)</div>=>[@]",
    "编码转换": 1, "Headers": "Referer: https://bbs.test/\r\nX-A: 1", "Date": "formhash=ab&qdxq=kx"
})";

TEST_F(CliImport, SavesTheTemplateWithItsFirstAccount) {
    const Outcome out =
        run(dbOption() + " --cookie " + quoted("auth='x y'; 名=值") + " " + file(kPostTemplate));
    EXPECT_EQ(out.exitCode, 0) << out.err;
    EXPECT_NE(out.out.find("论坛"), std::string::npos) << out.out;
    EXPECT_NE(out.out.find("POST"), std::string::npos) << out.out;

    const auto rows = templates();
    ASSERT_EQ(rows.size(), 1U);
    EXPECT_EQ(rows[0].name, "论坛");
    EXPECT_EQ(rows[0].login, "https://bbs.test/login");
    EXPECT_EQ(rows[0].link, "https://bbs.test/sign");
    EXPECT_EQ(rows[0].qtype, 2);  // "请求模式" 1 is POST
    EXPECT_EQ(rows[0].rtype, 2);
    EXPECT_EQ(rows[0].ctype, 1);
    EXPECT_EQ(rows[0].tying, "<div class=#引号c#引号>(.*?)</div>=>[@]");
    EXPECT_EQ(rows[0].headers, "Referer: https://bbs.test/\r\nX-A: 1");
    EXPECT_EQ(rows[0].body, "formhash=ab&qdxq=kx");

    // The cookie goes in unchanged, single quote, blank and all.
    const auto sites = list();
    ASSERT_EQ(sites.size(), 1U);
    EXPECT_EQ(vesprey::ansiToUtf8(sites[0].Cookie), "auth='x y'; 名=值");
    EXPECT_NE(sites[0].Cid, 0);
    EXPECT_EQ(vesprey::siteListRow(sites[0], 0)[4], vesprey::utf8ToAnsi("√"));
}

TEST_F(CliImport, WithoutCookieTheSiteHasNoAccountYet) {
    const Outcome out =
        run(dbOption() + " " +
            file(R"({"网站": "接口站", "签到链接": "https://api.test/checkin", "请求模式": "0",
                 "响应类型": "0", "绑定语句": "data.msg"})"));
    EXPECT_EQ(out.exitCode, 0) << out.err;
    const auto rows = templates();
    ASSERT_EQ(rows.size(), 1U);
    EXPECT_EQ(rows[0].qtype, 1);
    EXPECT_EQ(rows[0].rtype, 1);
    EXPECT_EQ(rows[0].ctype, 0);
    EXPECT_EQ(rows[0].login, "");
    EXPECT_EQ(rows[0].headers, "");
    EXPECT_EQ(rows[0].body, "");
    const auto sites = list();
    ASSERT_EQ(sites.size(), 1U);
    EXPECT_EQ(sites[0].Cid, 0);  // no WebCookie row
    EXPECT_EQ(vesprey::siteListRow(sites[0], 0)[4], vesprey::utf8ToAnsi("×"));

    // A second import is a second site.
    EXPECT_EQ(run(dbOption() + " --cookie a=1 " + file(kPostTemplate)).exitCode, 0);
    EXPECT_EQ(templates().size(), 2U);
    EXPECT_EQ(list().size(), 2U);
}

TEST_F(CliImport, BrokenJsonIsRefusedWithTheParseMessage) {
    const Outcome out = run(dbOption() + " " + file(R"({"网站": "坏", "请求模式": )"));
    EXPECT_EQ(out.exitCode, 1);
    EXPECT_NE(out.err.find("Json数据匹配失败，请检检查语句是否有误！"), std::string::npos)
        << out.err;
    EXPECT_TRUE(templates().empty());
}

TEST_F(CliImport, ReadsStdinAndCodePage936Files) {
    EXPECT_EQ(run(dbOption() + " -", kPostTemplate).exitCode, 0);
    // A file saved by a Windows editor in code page 936, with the site name in GBK bytes.
    const std::string gbk =
        vesprey::utf8ToAnsi(R"({"网站": "旧站", "签到链接": "http://x.test/"})");
    const Outcome out = run(dbOption() + " " + file(gbk, "gbk.json"));
    EXPECT_EQ(out.exitCode, 0) << out.err;
    // A UTF-8 file with a byte order mark.
    EXPECT_EQ(run(dbOption() + " " + file("\xEF\xBB\xBF" + kPostTemplate, "bom.json")).exitCode, 0);
    const auto rows = templates();
    ASSERT_EQ(rows.size(), 3U);
    EXPECT_EQ(rows[0].name, "论坛");
    EXPECT_EQ(rows[1].name, "旧站");
    EXPECT_EQ(rows[2].name, "论坛");
}

TEST_F(CliImport, TheShippedExamplesImport) {
    int count = 0;
    for (const auto& entry : fs::directory_iterator(VESPREY_EXAMPLE_TEMPLATES)) {
        if (entry.path().extension() == ".json") {
            const Outcome out = run(dbOption() + " " + quoted(entry.path().string()));
            EXPECT_EQ(out.exitCode, 0) << entry.path() << out.err;
            ++count;
        }
    }
    EXPECT_GE(count, 2);
    EXPECT_EQ(templates().size(), static_cast<std::size_t>(count));
}

TEST_F(CliImport, BadInvocationsAndDatabases) {
    EXPECT_EQ(run(dbOption()).exitCode, 1);  // no file
    EXPECT_EQ(run(dbOption() + " a.json b.json").exitCode, 1);
    EXPECT_EQ(run(dbOption() + " " + quoted((dir_ / "missing.json").string())).exitCode, 1);
    // Nothing to save: neither a name nor an address.
    const Outcome empty = run(dbOption() + " " + file(R"({"绑定语句": "msg"})"));
    EXPECT_EQ(empty.exitCode, 1);
    EXPECT_FALSE(empty.err.empty());
    // No database there.
    const Outcome noDb =
        run("--db " + quoted((dir_ / "none" / "Sign.db").string()) + " " + file(kPostTemplate));
    EXPECT_EQ(noDb.exitCode, 2);
    EXPECT_NE(noDb.err.find("打开失败"), std::string::npos) << noDb.err;
    // A file that is not a Sign.db: the insert fails and says why.
    const fs::path plain = dir_ / "plain.db";
    std::ofstream(plain, std::ios::binary) << std::string(4096, 'x');
    const Outcome notDb = run("--db " + quoted(plain.string()) + " " + file(kPostTemplate));
    EXPECT_EQ(notDb.exitCode, 2);
    EXPECT_NE(notDb.err.find("增加模板失败"), std::string::npos) << notDb.err;
    EXPECT_TRUE(templates().empty());

    const Outcome help = run("--help");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("请求模式"), std::string::npos);
}

}  // namespace
