// Regular expressions over UTF-8 text in the dialect of Python's `re` module, for the multi-step
// templates (engine/flow), whose patterns are written for that module.
//
// Unlike the adapter of web/regex.h, texts here are UTF-8 and never code page 936: patterns,
// subjects and captures stay UTF-8, and positions are byte offsets into the subject. \d \w \s and
// \b are Unicode-aware as in Python 3, "." does not match a line feed unless dot-all is on, "$"
// matches at the end and before a final line feed, \Z is the very end, \xHH takes two hex digits
// and \uHHHH four, and (?P<name>...) names a group. A subject that is not valid UTF-8 is searched
// around its invalid bytes, which no pattern matches.
//
// A search that runs away (catastrophic backtracking) stops at a fixed budget of backtracking steps
// and counts as finding nothing from there on.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vesprey {

struct Utf8RegexFlags {
    bool ignoreCase = false;  // i
    bool multiline = false;   // m: "^" and "$" also match at line feeds
    bool dotAll = false;      // s: "." also matches a line feed
};

// Why a pattern does not compile: the character of the pattern where it goes wrong (from 1) and
// the regex library's words (English, ASCII).
struct Utf8RegexError {
    std::size_t position = 0;
    std::string message;
};

// One match: the byte range in the subject and every group's text, nothing for a group that took
// no part. groups[0] is the whole match.
struct Utf8Match {
    std::size_t start = 0;
    std::size_t end = 0;
    std::vector<std::optional<std::string>> groups;
};

class Utf8Regex {
public:
    // The compiled pattern, or why it does not compile.
    static std::variant<Utf8Regex, Utf8RegexError> compile(std::string_view pattern,
                                                           const Utf8RegexFlags& flags = {});

    // The number of capture groups of the pattern.
    int groupCount() const;
    // The first match at or after byte `from`.
    std::optional<Utf8Match> search(std::string_view subject, std::size_t from = 0) const;
    // Every match from the start, left to right, not overlapping; an empty match moves on by one
    // character. At most `limit` matches.
    std::vector<Utf8Match> findAll(std::string_view subject, std::size_t limit = 100000) const;
    // Every match replaced by `replacement` as Python's re.sub reads it: \1 to \99 and \g<n> or
    // \g<name> insert a group (empty when it took no part), \n \t \r \\ are escapes. `count` 0
    // replaces every match.
    std::string substitute(std::string_view subject, std::string_view replacement,
                           std::size_t count = 0) const;

private:
    struct Code;
    explicit Utf8Regex(std::shared_ptr<const Code> code) : code_(std::move(code)) {}
    std::shared_ptr<const Code> code_;
};

}  // namespace vesprey
