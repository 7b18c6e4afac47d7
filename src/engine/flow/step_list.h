// A multi-step template as the step editor edits it: the community array read into entries whose
// every field is a text, and written back as the normalized community JSON. The members of an
// entry the editor does not show ("checked" marks of single headers aside) are kept as they were
// read. Each field can be checked on its own, so that the editor marks the field of a text the
// renderer cannot read, with the reason, before the template is saved.
//
// Every text here is UTF-8.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/flow/formats.h"
#include "engine/flow/value.h"

namespace vesprey::flow {

// A check or an extraction: its name (extractions only), its regular expression and where it
// looks, as the community format writes it ("content", "status", "header", "header-Name").
struct EditedRule {
    std::string name;
    std::string re;
    std::string from = "content";
    bool operator==(const EditedRule&) const = default;
};

// A header or a cookie of a step; an unchecked one is kept but not sent.
struct EditedPair {
    std::string name;
    std::string value;
    bool checked = true;
    bool operator==(const EditedPair&) const = default;
};

// The control statements the editor offers, by their keyword.
enum class ControlKind { If, Elif, Else, Endif, For, Endfor, While, Endwhile, Set };

struct EditedEntry {
    bool checked = true;  // false: kept in the template, left out when it runs
    // Part of the template's login part ("login": true; engine/flow/flow.h): run only to sign in
    // again when the account's cookie has expired.
    bool login = false;
    std::string comment;
    // A control entry: its statement; its expression is the text after the keyword ("x > 1",
    // "item in items", "n = n + 1"). Nothing for a request.
    std::optional<ControlKind> control;
    std::string expression;
    // A request.
    std::string method = "GET";
    std::string url;
    std::vector<EditedPair> headers;
    std::vector<EditedPair> cookies;
    std::string data;
    std::string mimeType;
    std::vector<EditedRule> success;
    std::vector<EditedRule> failure;
    std::vector<EditedRule> extractions;
    // The entry as it was read (a map): the members above are written over it. Undefined for an
    // entry made in the editor.
    Value original;

    bool operator==(const EditedEntry& other) const;
};

struct StepList {
    std::vector<EditedEntry> entries;
};

// The keyword of a control kind ("if", "endwhile", ...) and the name the editor shows for it
// ("如果", "否则如果", "否则", "结束如果", "循环", "结束循环", "当…时循环", "结束当…时循环",
// "设置变量").
std::string_view controlKeyword(ControlKind kind);
std::string_view controlCaption(ControlKind kind);
// Whether the statement takes an expression (if, elif, for, while and set do).
bool takesExpression(ControlKind kind);
// The URL a control entry is written with: "{% if x > 1 %}", "{% endif %}".
std::string controlUrl(ControlKind kind, std::string_view expression);

// Reads a community array (the JSON as stored or imported). A HAR file or another JSON is
// refused with a sentence.
std::variant<StepList, FormatError> readStepList(std::string_view utf8);
// The step list of a template: its stored steps when it has some; else its one request as one
// step (communityFromFields) when it has 签到链接; else one empty request sending the account's
// cookie, to begin with.
std::variant<StepList, FormatError> stepListFor(const std::optional<std::string>& steps,
                                                const TemplateFields& fields);
// The normalized community JSON of the list (as normalizedCommunityJson writes it).
std::string writeStepList(const StepList& list);

// How far each entry is indented in the list: one level inside every if/for/while part, the
// opening and closing entries themselves at the level outside. A close without an opening stays
// at the outer level.
std::vector<int> stepIndents(const StepList& list);

// Header and cookie lines: "Name: value" (cookies "name=value"), one per line; a line starting
// with "#" is an unchecked pair. Blank lines are dropped; a line without the separator is a name
// with an empty value.
std::string pairLines(const std::vector<EditedPair>& pairs, char separator);
std::vector<EditedPair> readPairLines(std::string_view text, char separator);

// The fields of an entry a problem can be on.
enum class StepField {
    Entry,  // the entry as a whole (a control that does not close, a refused utility)
    Comment,
    Expression,
    Method,
    Url,
    Headers,  // `row`: the pair's index
    Cookies,  // `row`: the pair's index
    Data,
    Success,      // `row`: the rule's index
    Failure,      // `row`: the rule's index
    Extractions,  // `row`: the rule's index
};

struct StepProblem {
    std::size_t entry = 0;  // index in the list, from 0
    StepField field = StepField::Entry;
    std::size_t row = 0;
    std::string message;  // the reason, a Chinese sentence
};

// What keeps the list from being saved, field by field: an expression the renderer cannot read
// (with the character where it fails), a regular expression that does not compile, a request
// without an address, an extraction without a name, a rule that looks in an unknown place; and,
// when every field reads, what the whole template is refused for (a control entry without its
// partner, a utility Vesprey does not offer), on the entry it names. Nothing when it can be saved.
std::vector<StepProblem> stepListProblems(const StepList& list);

}  // namespace vesprey::flow
