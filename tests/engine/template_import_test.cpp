// The import format shared by the editor's one-click import and `vesprey-cli import`.
#include "engine/template_import.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace vesprey {
namespace {

std::optional<TemplateImport> parseUtf8(std::string_view utf8) {
    return parseTemplateImport(utf8ToAnsi(utf8));
}

TEST(TemplateImport, ReadsAllNineMembers) {
    const auto imported = parseUtf8(R"({
        "网站": "某论坛", "登录链接": "https://bbs.test/login", "签到链接": "https://bbs.test/sign",
        "请求模式": 1, "响应类型": 1, "绑定语句": "#引号msg#引号:#引号(.*?)#引号=>结果：[@]",
        "编码转换": 2, "Headers": "Content-Type: text/plain\r\nX-A: 1", "Date": "a=1&b=2"})");
    ASSERT_TRUE(imported);
    EXPECT_EQ(imported->WebName, utf8ToAnsi("某论坛"));
    EXPECT_EQ(imported->Weblogin, "https://bbs.test/login");
    EXPECT_EQ(imported->WebLink, "https://bbs.test/sign");
    EXPECT_EQ(imported->method, RequestMethod::Post);
    EXPECT_EQ(imported->answerType, AnswerType::Regex);
    EXPECT_EQ(imported->Tying, utf8ToAnsi("#引号msg#引号:#引号(.*?)#引号=>结果：[@]"));
    EXPECT_EQ(imported->conversion, 2);
    EXPECT_EQ(imported->Headers, "Content-Type: text/plain\r\nX-A: 1");
    EXPECT_EQ(imported->Date, "a=1&b=2");

    const TemplateFields fields = importedTemplateFields(*imported);
    EXPECT_EQ(fields.WebName, imported->WebName);
    EXPECT_EQ(fields.Weblogin, imported->Weblogin);
    EXPECT_EQ(fields.WebLink, imported->WebLink);
    EXPECT_EQ(fields.Qtype, RequestMethod::Post);  // request mode 1 is POST
    EXPECT_EQ(fields.Rtype, AnswerType::Regex);    // response type 1 is the regular expression
    EXPECT_EQ(fields.Ctype, 2);
    EXPECT_EQ(fields.Tying, imported->Tying);
    EXPECT_EQ(fields.Headers, imported->Headers);
    EXPECT_EQ(fields.Date, imported->Date);
}

TEST(TemplateImport, NumbersMayBeDigitStrings) {
    const auto strings = parseUtf8(R"({"请求模式": "1", "响应类型": "0", "编码转换": "1"})");
    ASSERT_TRUE(strings);
    EXPECT_EQ(strings->method, RequestMethod::Post);
    EXPECT_EQ(strings->answerType, AnswerType::Json);
    EXPECT_EQ(strings->conversion, 1);
    const TemplateFields fields = importedTemplateFields(*strings);
    EXPECT_EQ(fields.Qtype, RequestMethod::Post);
    EXPECT_EQ(fields.Rtype, AnswerType::Json);
    EXPECT_EQ(fields.Ctype, 1);
}

TEST(TemplateImport, MissingMembersAreEmptyOrZero) {
    const auto imported = parseUtf8(R"({"网站": "只有名字"})");
    ASSERT_TRUE(imported);
    EXPECT_EQ(imported->WebName, utf8ToAnsi("只有名字"));
    EXPECT_EQ(imported->Weblogin, "");
    EXPECT_EQ(imported->WebLink, "");
    EXPECT_EQ(imported->method, RequestMethod::Get);
    EXPECT_EQ(imported->answerType, AnswerType::Json);
    EXPECT_EQ(imported->Tying, "");
    EXPECT_EQ(imported->conversion, 0);
    EXPECT_EQ(imported->Headers, "");
    EXPECT_EQ(imported->Date, "");
    const TemplateFields fields = importedTemplateFields(*imported);
    EXPECT_EQ(fields.Qtype, RequestMethod::Get);
    EXPECT_EQ(fields.Rtype, AnswerType::Json);
    EXPECT_EQ(fields.Ctype, 0);

    // An empty object is a template with nothing in it, not a failure.
    EXPECT_TRUE(parseUtf8("{}"));
}

TEST(TemplateImport, ValuesOutsideTheChoicesSelectNothing) {
    const auto imported = parseUtf8(R"({"请求模式": 2, "响应类型": -1, "编码转换": 7})");
    ASSERT_TRUE(imported);
    EXPECT_EQ(imported->method, std::nullopt);
    EXPECT_EQ(imported->answerType, std::nullopt);
    EXPECT_EQ(importedConversion(imported->conversion), -1);
    EXPECT_EQ(importedConversion(-3), -1);
    EXPECT_EQ(importedConversion(0), 0);
    // Neither radio button is checked, so a save stores POST and the regular expression.
    const TemplateFields fields = importedTemplateFields(*imported);
    EXPECT_EQ(fields.Qtype, RequestMethod::Post);
    EXPECT_EQ(fields.Rtype, AnswerType::Regex);
    EXPECT_EQ(fields.Ctype, -1);
}

TEST(TemplateImport, TextsKeepQuotesBackslashesAndEscapes) {
    // A binding statement with JSON escapes: \" and \\ are unescaped, \u stays as written (the
    // USC2-ANSI conversion and regular expressions need it), a single quote is just a character.
    const auto imported = parseUtf8(
        R"({"绑定语句": "\"msg\":\"(\\d+)\"", "Headers": "Cookie2: it's", "Date": "x=\u7b7e"})");
    ASSERT_TRUE(imported);
    EXPECT_EQ(imported->Tying, R"x("msg":"(\d+)")x");
    EXPECT_EQ(imported->Headers, "Cookie2: it's");
    EXPECT_EQ(imported->Date, "x=\\u7b7e");
}

TEST(TemplateImport, NumbersWhereTextsBelongReadAsTheirLiteral) {
    const auto imported = parseUtf8(R"({"网站": 12306, "Date": true})");
    ASSERT_TRUE(imported);
    EXPECT_EQ(imported->WebName, "12306");
    EXPECT_EQ(imported->Date, "true");
}

TEST(TemplateImport, BrokenJsonIsRefused) {
    for (const char* broken : {"", "{\"网站\": \"x\"", "{\"网站\" \"x\"}", "not json at all",
                               "{\"网站\": \"x\"} trailing", "{\"a\": tru}"}) {
        EXPECT_FALSE(parseUtf8(broken)) << broken;
    }
    EXPECT_EQ(ansiToUtf8(templateImportFailedMessage()),
              "Json数据匹配失败，请检检查语句是否有误！");
}

TEST(TemplateImport, TheShippedExamplesImport) {
    const std::filesystem::path dir = VESPREY_EXAMPLE_TEMPLATES;
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".json") {
            continue;
        }
        std::ifstream file(entry.path(), std::ios::binary);
        const std::string utf8((std::istreambuf_iterator<char>(file)), {});
        const auto imported = parseUtf8(utf8);
        ASSERT_TRUE(imported) << entry.path();
        EXPECT_FALSE(imported->WebName.empty()) << entry.path();
        EXPECT_EQ(imported->WebLink.rfind("https://", 0), 0U) << entry.path();
        EXPECT_FALSE(imported->Tying.empty()) << entry.path();
        EXPECT_TRUE(imported->method.has_value()) << entry.path();
        EXPECT_TRUE(imported->answerType.has_value()) << entry.path();
        EXPECT_NE(importedConversion(imported->conversion), -1) << entry.path();
        ++count;
    }
    EXPECT_GE(count, 2);
}

}  // namespace
}  // namespace vesprey
