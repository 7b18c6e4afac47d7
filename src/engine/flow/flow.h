// The flow model: a multi-step template in the community format (a JSON array of entries
// {comment, request, rule}) or as a HAR 1.2 file ({log: {entries: [...]}}, the rule lists at the
// top of each entry, entries with "checked": false left out), read into steps and control
// entries and checked once, so that a template that cannot run is refused when it is read.
//
// Every text here is UTF-8 (engine/flow/value.h). Steps are numbered from 1 in the order of the
// entries kept, control entries included, as the step list shows them; every refusal is a
// Chinese sentence that names the step ("第 3 步…").
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/flow/render.h"
#include "web/utf8_regex.h"

namespace vesprey::flow {

// Where a check or an extraction looks: the body, the status code as text, all header lines
// "Name: value" joined by "\n", or one header's value (the name matched ignoring case).
struct Source {
    enum class Kind { Content, Status, Headers, Header };
    Kind kind = Kind::Content;
    std::string header;  // Kind::Header: the header's name
};

// Where a rule looks, read from its "from": "content" (or nothing), "status", "header" or
// "header-Name", without regard to case; nothing for any other text.
std::optional<Source> ruleSource(std::string_view from);

// A regular expression of a rule: the text as written (rendered with the variables before use,
// then read as "/pattern/flags" or as a plain pattern).
struct RulePattern {
    std::string text;
    Template compiled;
    Source from;
    // The regular expression compiled once, when the text holds no variables; the runs of the
    // template's accounts share it.
    std::optional<Utf8Regex> regex;
};

struct Extraction {
    std::string name;
    RulePattern pattern;
};

struct NamedTemplate {
    Template name;
    Template value;
};

// One request, or one answer of a local utility when the URL is api://util/...
struct Step {
    std::string comment;
    Template method;
    Template url;
    std::string urlText;  // as written
    std::vector<NamedTemplate> headers;
    std::vector<NamedTemplate> cookies;
    Template data;
    std::string mimeType;
    std::vector<RulePattern> successAsserts;
    std::vector<RulePattern> failedAsserts;
    std::vector<Extraction> extractions;
};

// A control entry: its statement, and for if/elif/else/for/while the index of the entry that
// closes its part (the next elif/else/endif, or the endfor/endwhile), for an end the index of
// the entry that opened the block.
struct Control {
    Statement statement;
    std::size_t partner = 0;
};

struct Entry {
    std::size_t number = 0;  // the step number, from 1
    std::variant<Step, Control> body;
};

// A template has two parts. Entries marked "login": true (登录 in the step editor) make its
// login part: the steps that sign the account in again and yield a fresh session cookie. The
// other entries make its sign-in part, the one every pass runs. Each part nests its control
// entries on its own, and the step numbers are those of the whole list, so that a message of
// either part names the step the list shows. A template without marked entries (every imported
// one) has no login part and runs all its steps in every pass.
struct Flow {
    std::vector<Entry> entries;  // the sign-in part
    // The variables the sign-in part reads and never sets itself, in order of first use: what the
    // user gives (cookie, username, password, ...).
    std::vector<std::string> inputs;
    // The login part, run only to sign in again when the account's cookie has expired (its own
    // `inputs`: username, password, a TOTP secret...); null when no entry is marked.
    std::shared_ptr<const Flow> login;
};

// Why a template is refused: the step (0 for the file as a whole) and the sentence.
struct FlowError {
    std::size_t step = 0;
    std::string message;
};

// Reads and checks a template: the JSON, the control nesting, every expression and every plain
// regular expression; utilities Vesprey does not offer (captcha recognition, RSA, the toolbox) are
// refused with the step and the reason.
std::variant<Flow, FlowError> parseFlow(std::string_view utf8);

// The regular expression and its flags of a rendered rule text: "/pattern/flags" with flags out
// of "gimsu", or the whole text as a pattern without flags.
struct RuleRegex {
    std::string pattern;
    bool global = false;
    bool ignoreCase = false;
    bool multiline = false;
    bool dotAll = false;
};
RuleRegex ruleRegex(std::string_view rendered);
// The regular expression of a rendered rule text, compiled with its flags.
std::variant<Utf8Regex, Utf8RegexError> compileRuleRegex(const RuleRegex& regex);

}  // namespace vesprey::flow
