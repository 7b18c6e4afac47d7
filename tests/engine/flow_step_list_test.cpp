// The step list the step editor edits: read from a community template and written back, the
// control entries and their indentation, the header lines, and the problems marked on fields.
#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "engine/flow/flow.h"
#include "engine/flow/formats.h"
#include "engine/flow/step_list.h"

namespace vesprey::flow {
namespace {

StepList read(const std::string& json) {
    auto list = readStepList(json);
    EXPECT_TRUE(std::holds_alternative<StepList>(list)) << json;
    return std::holds_alternative<StepList>(list) ? std::get<StepList>(std::move(list))
                                                  : StepList{};
}

std::string normalized(const std::string& json) {
    return std::get<std::string>(normalizedCommunityJson(json));
}

EditedEntry request(std::string url) {
    EditedEntry entry;
    entry.url = std::move(url);
    return entry;
}

EditedEntry control(ControlKind kind, std::string expression = {}) {
    EditedEntry entry;
    entry.control = kind;
    entry.expression = std::move(expression);
    return entry;
}

// A template in the community shape, with members the editor does not show: written back
// unchanged it is the same text.
const std::string kStored =
    "[{\"comment\": \"首页\", \"request\": {\"method\": \"GET\", \"url\": \"https://a.test/\","
    " \"headers\": [{\"name\": \"Cookie\", \"value\": \"{{cookie}}\"}, {\"name\": \"X-Off\","
    " \"value\": \"1\", \"checked\": false}], \"cookies\": [], \"data\": \"\", \"mimeType\": \"\","
    " \"comment\": \"kept\"}, \"rule\": {\"success_asserts\": [{\"re\": \"200\", \"from\":"
    " \"status\"}], \"failed_asserts\": [], \"extract_variables\": [{\"name\": \"formhash\","
    " \"re\": \"formhash=(\\\\w+)\", \"from\": \"content\"}]}, \"extra\": {\"a\": 1}},"
    " {\"checked\": false, \"comment\": \"\", \"request\": {\"method\": \"GET\", \"url\":"
    " \"{% if formhash %}\", \"headers\": [], \"cookies\": [], \"data\": \"\", \"mimeType\": \"\"},"
    " \"rule\": {\"success_asserts\": [], \"failed_asserts\": [], \"extract_variables\": []}}]";

TEST(StepList, ReadsEveryFieldAndWritesAnUnchangedListBackAsItWas) {
    const StepList list = read(kStored);
    ASSERT_EQ(list.entries.size(), 2u);
    const EditedEntry& first = list.entries[0];
    EXPECT_EQ(first.comment, "首页");
    EXPECT_FALSE(first.control);
    EXPECT_EQ(first.url, "https://a.test/");
    ASSERT_EQ(first.headers.size(), 2u);
    EXPECT_FALSE(first.headers[1].checked);
    EXPECT_EQ(first.success, (std::vector<EditedRule>{{"", "200", "status"}}));
    EXPECT_EQ(first.extractions[0].name, "formhash");
    const EditedEntry& second = list.entries[1];
    EXPECT_FALSE(second.checked);
    EXPECT_EQ(second.control, ControlKind::If);
    EXPECT_EQ(second.expression, "formhash");

    EXPECT_EQ(writeStepList(list), normalized(kStored));
}

TEST(StepList, TheLoginMarkIsReadWrittenAndDroppedWhenCleared) {
    const std::string stored =
        "[{\"login\": true, \"comment\": \"登录\", \"request\": {\"method\": \"POST\","
        " \"url\": \"https://a.test/login\"}}, {\"request\": {\"url\": \"https://a.test/\"}}]";
    StepList list = read(stored);
    ASSERT_EQ(list.entries.size(), 2u);
    EXPECT_TRUE(list.entries[0].login);
    EXPECT_FALSE(list.entries[1].login);
    EXPECT_TRUE(read(writeStepList(list)).entries[0].login);

    list.entries[0].login = false;
    list.entries[1].login = true;
    const std::string written = writeStepList(list);
    const std::size_t mark = written.find("\"login\"");
    EXPECT_EQ(mark, written.rfind("\"login\""));  // one mark, on the second entry
    const StepList again = read(written);
    EXPECT_FALSE(again.entries[0].login);
    EXPECT_TRUE(again.entries[1].login);
}

TEST(StepList, EditedFieldsAreWrittenOverTheEntryAndParse) {
    StepList list = read(kStored);
    EditedEntry& first = list.entries[0];
    first.method = "POST";
    first.data = "formhash={{formhash}}";
    first.failure.push_back({"", "/失败/i", "content"});
    first.headers = readPairLines("Referer: https://a.test/\n# DNT: 1", ':');
    list.entries[1].checked = true;
    const EditedEntry edited = first;
    list.entries.push_back(request("https://a.test/sign"));
    list.entries.push_back(control(ControlKind::Endif));

    const std::string written = writeStepList(list);
    const StepList again = read(written);
    ASSERT_EQ(again.entries.size(), 4u);
    EXPECT_EQ(again.entries[0].method, "POST");
    EXPECT_EQ(again.entries[0].data, "formhash={{formhash}}");
    EXPECT_EQ(again.entries[0].failure, edited.failure);
    EXPECT_EQ(again.entries[0].headers, edited.headers);
    EXPECT_NE(written.find("\"extra\": {"), std::string::npos) << "an unshown member is lost";
    EXPECT_NE(written.find("\"comment\": \"kept\""), std::string::npos);
    EXPECT_EQ(written, normalized(written));

    auto parsed = parseFlow(written);
    ASSERT_TRUE(std::holds_alternative<Flow>(parsed)) << std::get<FlowError>(parsed).message;
    EXPECT_EQ(std::get<Flow>(parsed).entries.size(), 4u);
}

TEST(StepList, AHarShapedEntryIsWrittenInTheCommunityShape) {
    const StepList list = read(
        "[{\"request\": {\"method\": \"POST\", \"url\": \"https://a.test/s\", \"postData\": "
        "{\"mimeType\": \"application/json\", \"text\": \"{}\"}}, \"success_asserts\": "
        "[{\"re\": \"ok\"}]}]");
    EXPECT_EQ(list.entries[0].data, "{}");
    EXPECT_EQ(list.entries[0].mimeType, "application/json");
    EXPECT_EQ(list.entries[0].success[0].from, "content");
    const std::string written = writeStepList(list);
    EXPECT_EQ(written.find("postData"), std::string::npos);
    const StepList again = read(written);
    EXPECT_EQ(again.entries[0].data, "{}");
    EXPECT_EQ(again.entries[0].success, list.entries[0].success);
}

TEST(StepList, RefusesWhatIsNotACommunityArray) {
    for (const char* text : {"{\"log\": {\"entries\": []}}", "[1]", "[{"}) {
        EXPECT_TRUE(std::holds_alternative<FormatError>(readStepList(text))) << text;
    }
}

TEST(StepList, ControlEntriesAreReadAndWritten) {
    struct Case {
        const char* url;
        std::optional<ControlKind> kind;
        const char* expression;
        const char* written;
    };
    const Case cases[] = {
        {"{% if a > 1 %}", ControlKind::If, "a > 1", "{% if a > 1 %}"},
        {"{%- for x in items -%}", ControlKind::For, "x in items", "{% for x in items %}"},
        {" {%endwhile%} ", ControlKind::Endwhile, "", "{% endwhile %}"},
        {"{% set n = n + 1 %}", ControlKind::Set, "n = n + 1", "{% set n = n + 1 %}"},
        {"https://a.test/{% if a %}x{% endif %}", std::nullopt, "", nullptr},
        {"{% macro m() %}", std::nullopt, "", nullptr},
    };
    for (const Case& c : cases) {
        const StepList list = read(std::string("[{\"request\": {\"url\": \"") + c.url + "\"}}]");
        EXPECT_EQ(list.entries[0].control, c.kind) << c.url;
        EXPECT_EQ(list.entries[0].expression, c.expression) << c.url;
        if (c.kind) {
            EXPECT_EQ(controlUrl(*c.kind, c.expression), c.written);
        }
    }
}

TEST(StepList, EntriesAreIndentedInsideTheirBlocks) {
    StepList list;
    list.entries = {request("a"),
                    control(ControlKind::For, "x in y"),
                    request("b"),
                    control(ControlKind::If, "x"),
                    request("c"),
                    control(ControlKind::Else),
                    request("d"),
                    control(ControlKind::Endif),
                    control(ControlKind::Endfor),
                    control(ControlKind::Endwhile),
                    request("e")};
    EXPECT_EQ(stepIndents(list), (std::vector<int>{0, 0, 1, 1, 2, 1, 2, 1, 0, 0, 0}));
}

TEST(StepList, PairLinesRoundTrip) {
    const std::vector<EditedPair> headers{
        {"Referer", "https://a.test/x?y=1", true}, {"X-Time", "12:30", false}, {"Empty", "", true}};
    const std::string lines = pairLines(headers, ':');
    EXPECT_EQ(lines, "Referer: https://a.test/x?y=1\n# X-Time: 12:30\nEmpty: ");
    EXPECT_EQ(readPairLines(lines + "\r\n\r\n", ':'), headers);
    const std::vector<EditedPair> cookies{{"sid", "a=b", true}};
    EXPECT_EQ(readPairLines(pairLines(cookies, '='), '='), cookies);
    EXPECT_EQ(readPairLines("  NoValue  ", ':'), (std::vector<EditedPair>{{"NoValue", "", true}}));
}

TEST(StepList, ProblemsAreMarkedOnTheirFields) {
    struct Case {
        const char* what;
        EditedEntry entry;
        StepField field;
        std::size_t row;
        const char* reason;  // a part of the message
    };
    EditedEntry badHeader = request("https://a.test/");
    badHeader.headers = readPairLines("A: 1\nB: {{ b", ':');
    EditedEntry badRegex = request("https://a.test/");
    badRegex.success = {{"", "ok", "content"}, {"", "(", "content"}};
    EditedEntry badPlace = request("https://a.test/");
    badPlace.extractions = {{"v", "x", "body"}};
    EditedEntry badData = request("https://a.test/");
    badData.data = "a={{ a | }}";
    const Case cases[] = {
        {"an empty URL", request(" "), StepField::Url, 0, "网址"},
        {"a URL that does not render", request("https://a.test/{{ x"), StepField::Url, 0,
         "读不懂的表达式（第"},
        {"a header value", badHeader, StepField::Headers, 1, "读不懂的表达式"},
        {"a regular expression", badRegex, StepField::Success, 1, "正则表达式有误"},
        {"an unknown place", badPlace, StepField::Extractions, 0, "body"},
        {"the body", badData, StepField::Data, 0, "读不懂的表达式"},
        {"an if without its condition", control(ControlKind::If, " "), StepField::Expression, 0,
         "如果"},
        {"a condition that does not parse", control(ControlKind::While, "a >"),
         StepField::Expression, 0, "读不懂的表达式"},
    };
    for (const Case& c : cases) {
        StepList list;
        list.entries = {request("https://a.test/first"), c.entry};
        const std::vector<StepProblem> problems = stepListProblems(list);
        ASSERT_EQ(problems.size(), 1u) << c.what;
        EXPECT_EQ(problems[0].entry, 1u) << c.what;
        EXPECT_EQ(problems[0].field, c.field) << c.what;
        EXPECT_EQ(problems[0].row, c.row) << c.what;
        EXPECT_NE(problems[0].message.find(c.reason), std::string::npos)
            << c.what << ": " << problems[0].message;
    }
}

TEST(StepList, ANestingProblemIsOnTheEntryItNamesCountingOnlyCheckedEntries) {
    StepList list;
    EditedEntry off = request("https://a.test/off");
    off.checked = false;
    list.entries = {off, request("https://a.test/"), control(ControlKind::If, "a"),
                    request("https://a.test/b")};
    std::vector<StepProblem> problems = stepListProblems(list);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].entry, 2u);
    EXPECT_EQ(problems[0].field, StepField::Entry);
    EXPECT_NE(problems[0].message.find("endif"), std::string::npos) << problems[0].message;

    list.entries.push_back(control(ControlKind::Endif));
    EXPECT_TRUE(stepListProblems(list).empty());
}

}  // namespace
}  // namespace vesprey::flow
