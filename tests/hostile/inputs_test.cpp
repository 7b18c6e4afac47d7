// Inputs out of all proportion: a template or a cookie pasted with a whole page, a name that would
// widen every line of a table. Each is refused with what is wrong, or shown cut, never taken as
// it is.
#include <fstream>
#include <string>

#include "hostile.h"

namespace vesprey::hostile {
namespace {

class Inputs : public Hostile {
protected:
    // A template file with the given members (UTF-8 JSON text), and its path.
    std::string templateFile(const std::string& members) {
        const fs::path file = dir_ / "template.json";
        std::ofstream(file) << "{" << members << "}";
        return test::quoted(file);
    }
    std::string textFile(const std::string& name, const std::string& text) {
        std::ofstream(dir_ / name) << text;
        return test::quoted(dir_ / name);
    }
    SiteList sites() {
        SqlDatabase db;
        EXPECT_TRUE(openSiteDatabase(db, db_));
        return loadSiteList(db);
    }
};

TEST_F(Inputs, ImportRefusesFieldsBeyondTheirLimitsAndSaysWhich) {
    struct Case {
        std::string members;
        std::string says;
    };
    const Case cases[] = {
        {R"("网站":")" + std::string(201, 'n') + R"(","签到链接":"http://a/")",
         "“网站”太长（201 个字，最多 200 个字）"},
        {R"("网站":"甲","签到链接":"http://a/)" + std::string(9000, 'x') + "\"",
         "“签到链接”太长（9 KB，最多 8 KB）"},
        {R"("网站":"甲","Headers":")" + std::string(70 * 1024, 'h') + "\"",
         "“Headers”太长（70 KB，最多 64 KB）"},
    };
    for (const Case& c : cases) {
        const Outcome out = cli("import " + templateFile(c.members));
        EXPECT_EQ(out.exitCode, 1) << c.says;
        EXPECT_NE(out.err.find(c.says), std::string::npos) << out.err;
    }
    // A name of 200 characters, Chinese ones too, is a name.
    EXPECT_EQ(cli("import " + templateFile(R"("网站":")" + std::string(200, 'n') + "\"")).exitCode,
              0);
    std::string chinese;
    for (int i = 0; i < 200; ++i) {
        chinese += "站";
    }
    EXPECT_EQ(cli("import " + templateFile(R"("网站":")" + chinese + "\"")).exitCode, 0);
    EXPECT_EQ(sites().size(), 2u);

    // A browser's HAR file may be large, nothing else is.
    const Outcome huge = cli("import " + textFile("big.json", std::string(17 * 1024 * 1024, ' ')));
    EXPECT_EQ(huge.exitCode, 1);
    EXPECT_NE(huge.err.find("模板文件太大（超过 16 MB）"), std::string::npos) << huge.err;
}

TEST_F(Inputs, ACookieComesFromStandardInputAndNoLongerThanItsLimit) {
    const std::string file = templateFile(R"("网站":"甲","签到链接":"http://a/")");
    const Outcome read = cli("import --cookie - " + file + " < " + textFile("c", "sid=1; t=2\n"));
    EXPECT_EQ(read.exitCode, 0) << read.err;
    ASSERT_EQ(sites().size(), 1u);
    EXPECT_EQ(sites()[0].Cookie, "sid=1; t=2");

    for (const std::string& given :
         {"--cookie - " + file + " < " + textFile("long", "a=" + std::string(70 * 1024, 'x')),
          "--cookie " + test::quoted("a=" + std::string(70 * 1024, 'x')) + " " + file}) {
        const Outcome refused = cli("import " + given);
        EXPECT_EQ(refused.exitCode, 1);
        EXPECT_NE(refused.err.find("Cookie 太长"), std::string::npos) << refused.err;
    }
    const Outcome both = cli("import --cookie - - < " + textFile("t", "{}"));
    EXPECT_EQ(both.exitCode, 1);
    EXPECT_NE(both.err.find("不能都从标准输入读取"), std::string::npos) << both.err;
    EXPECT_EQ(sites().size(), 1u);
}

TEST_F(Inputs, APassDoesNotSendACookieOverItsLimitAndSaysWhy) {
    addSite("长Cookie站", "http://127.0.0.1:9/", "a=" + std::string(70 * 1024, 'x'));
    const Outcome out = cli("sign --json");
    EXPECT_EQ(out.exitCode, 3);
    EXPECT_NE(out.out.find("Cookie 太长（超过 64 KB），请求没有发出"), std::string::npos)
        << out.out;
}

TEST_F(Inputs, ACookieWithAControlCharacterIsNeverStored) {
    const std::string body = R"({"msg":"ok 签到成功"})";
    test::RawServer site(
        "HTTP/1.1 200 OK\r\nSet-Cookie: cr=x\ry\r\nSet-Cookie: sid=new\r\n"
        "Content-Length: " +
        std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    addSite("换行站", site.url("/"), "sid=old");
    const Outcome saved = cli("sign --save-cookies");
    EXPECT_EQ(saved.exitCode, 0) << saved.err;
    EXPECT_NE(
        saved.err.find("网站设置的 Cookie 里有控制字符或不是文字的字节，没有采用：换行站（cr）。"),
        std::string::npos)
        << saved.err;
    EXPECT_EQ(sites()[0].Cookie, "sid=new");
    // The next pass sends what was kept.
    EXPECT_EQ(cli("sign").exitCode, 0);
}

TEST_F(Inputs, TablesCutAWideNameInsteadOfWideningEveryLine) {
    // A file written by another program may hold any name.
    addSite(std::string(3000, 'n'), "http://127.0.0.1:9/", "");
    addSite("短", "http://127.0.0.1:9/", "");
    for (const std::string command : {"list", "sign"}) {
        const Outcome out = cli(command);
        std::size_t widest = 0;
        for (std::size_t at = 0; at < out.out.size();) {
            const std::size_t end = std::min(out.out.find('\n', at), out.out.size());
            widest = std::max(widest, end - at);
            at = end + 1;
        }
        EXPECT_LT(widest, 160u) << command;
        EXPECT_NE(out.out.find("…"), std::string::npos) << command;
    }
}

TEST_F(Inputs, PushSettingsTheFileCannotKeepAreRefused) {
    const std::pair<std::string, std::string> cases[] = {
        {"{\"topic\":\"\xff\xfe\"}", "设置不是 UTF-8 文本"},
        {"{\"topic\":\"\xF0\x9F\x98\x80\"}", "设置里有 Sign.db 存不下的字符"},
        {std::string(70 * 1024, ' '), "设置太长（超过 64 KB）"},
    };
    for (const auto& [given, says] : cases) {
        const Outcome out = cli("push-set --channel ntfy --settings - < " + textFile("s", given));
        EXPECT_EQ(out.exitCode, 1) << says;
        EXPECT_NE(out.err.find(says), std::string::npos) << out.err;
    }
    SqlDatabase db;
    ASSERT_TRUE(openSiteDatabase(db, db_));
    EXPECT_FALSE(readSetting(db, "ntfy"));  // nothing stored, in any table
    EXPECT_EQ(
        cli("push-set --channel ntfy --settings " + test::quoted(R"({"topic":"主题"})")).exitCode,
        0);
}

TEST_F(Inputs, ArgumentsThatAreNoTextAreEchoedEscaped) {
    const Outcome out = cli("sign --jobs " + test::quoted("\x1b[2J\xff\xfe"));
    EXPECT_EQ(out.exitCode, 1);
    EXPECT_NE(out.err.find("不是 \\x1B[2J\\xFF\\xFE。"), std::string::npos) << out.err;
    EXPECT_EQ(out.err.find('\x1b'), std::string::npos);
    // A name in UTF-8 comes back as it is.
    EXPECT_NE(cli("sign --notify 钉钉").err.find("没有这个通道：钉钉。"), std::string::npos);
}

}  // namespace
}  // namespace vesprey::hostile
