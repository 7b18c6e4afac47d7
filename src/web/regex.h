// The regex adapter: runs one regular expression over one text and answers questions about the
// matches.
//
// Patterns are written in the dialect of the Windows script engines' RegExp object, which the
// stored templates were made for: "." matches anything but a line feed, "$" without multiline
// matches only at the very end, \d \w \s are ASCII, \xHH takes two hex digits and \uHHHH four,
// and an escaped ordinary character is that character. Texts enter and leave as code page 936;
// matching works on UTF-16, so a pattern never matches half of a double-byte character, and
// positions are counted in UTF-16 units as that engine counts them.
//
// A search that runs away (catastrophic backtracking, or a pattern that rescans a large page from
// every position) gives up after a fixed budget of about half a second and counts as finding
// nothing from there on; matches found before it stay.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "text/text.h"

namespace vesprey {

struct RegexOptions {
    bool caseSensitive = false;  // false: matching ignores case
    bool multiline = true;       // "^" and "$" also match at line feeds
    bool global = true;          // all matches, not only the first
    // Every "#引号" in the pattern stands for a double quote (case-sensitive, all occurrences).
    bool expandQuotePlaceholder = false;
};

// Why a pattern does not compile.
struct RegexError {
    std::size_t position = 0;  // the character of the pattern where it goes wrong, from 1
    Text message;              // what is wrong, in words (web/regex_messages.h)
};

// The error of a pattern that does not compile with `options`; nothing when it compiles.
std::optional<RegexError> regexError(std::string_view pattern, const RegexOptions& options = {});

// Literal texts one of which every match of `pattern` contains, lowered (ASCII letters) when
// matching ignores case; none when the pattern does not show such texts plainly. A run over a
// subject that holds none of them finds nothing without decoding or searching it: the built-in
// verdict rules, for one, are searched in whole pages.
std::vector<Text> regexLiterals(std::string_view pattern, const RegexOptions& options = {});

class RegexMatcher {
public:
    RegexMatcher();
    ~RegexMatcher();
    // A copy shares the match collection of the last run (which no later run changes).
    RegexMatcher(const RegexMatcher&);
    RegexMatcher& operator=(const RegexMatcher&);
    RegexMatcher(RegexMatcher&&) noexcept;
    RegexMatcher& operator=(RegexMatcher&&) noexcept;

    // Compiles `pattern` and collects its matches in `subject`, replacing the previous run's.
    // False only when the pattern does not compile; a pattern that matches nothing is true.
    bool run(std::string_view pattern, std::string_view subject, const RegexOptions& options = {});

    // The last run's search ran out of its budget (or of a limit of the engine) before the end of
    // the subject: what it did not find may be there.
    bool gaveUp() const;
    // The number of matches of the last run; 0 before the first run or after a failed one.
    int matchCount() const;
    // The number of capture groups of the pattern, read from the first match; 0 with no match.
    int subMatchCount() const;
    // The text captured by group `groupIndex` (1-based) in match `matchIndex` (1-based); empty for
    // a group that took no part in the match and for indices out of range.
    Text subMatch(int matchIndex, int groupIndex) const;

private:
    struct Matches;
    std::shared_ptr<const Matches> matches_;
};

}  // namespace vesprey
