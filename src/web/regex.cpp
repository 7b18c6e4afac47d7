#include "web/regex.h"

#include "web/regex_messages.h"

#define PCRE2_CODE_UNIT_WIDTH 16
#include <pcre2.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "text/gbk_text.h"

namespace vesprey {

struct RegexMatcher::Matches {
    // The part of the subject the matches cover, which starts at unit `base` of the subject.
    std::u16string covered;
    std::size_t base = 0;
    int groupCount = 0;
    // Start and end of the whole match and of every group, (groupCount + 1) pairs per match;
    // PCRE2_UNSET for a group that took no part.
    std::vector<PCRE2_SIZE> offsets;
    bool gaveUp = false;  // the search stopped at its budget or a limit of the library

    int count() const {
        const std::size_t perMatch = 2 * (static_cast<std::size_t>(groupCount) + 1);
        return static_cast<int>(std::min<std::size_t>(offsets.size() / perMatch, INT32_MAX));
    }
};

namespace {

using Clock = std::chrono::steady_clock;

// The whole search of one run gives up after this long.
constexpr auto kSearchBudget = std::chrono::milliseconds(500);
// Backtracking steps allowed from one start position (the library's own default, made explicit).
constexpr std::uint32_t kMatchLimit = 10'000'000;
// Memory for the backtracking frames of the interpreter, in KiB, and the JIT's stack in bytes.
constexpr std::uint32_t kHeapLimitKiB = 64 * 1024;
constexpr std::size_t kJitStackStart = 32 * 1024;
constexpr std::size_t kJitStackMax = 32 * 1024 * 1024;

// One call to the library searches start positions up to this many code units ahead; between
// calls the budget is checked. The window grows while calls are quick and shrinks when they are
// slow, so ordinary patterns search in a few large steps and runaway ones are stopped in time.
constexpr std::size_t kWindowFirst = 1;
constexpr std::size_t kWindowMax = 256 * 1024;
constexpr auto kWindowQuick = std::chrono::microseconds(1000);
constexpr auto kWindowSlow = std::chrono::microseconds(8000);
// Matches found between two looks at the clock.
constexpr int kMatchesPerClockCheck = 32;

// Each thread decodes its subjects into buffers kept from run to run while they hold at most
// this many code units (a 4 MB page); a larger one is given back after its run.
constexpr std::size_t kKeptSubjectUnits = std::size_t{2} * 1024 * 1024;
// A subject of at least this many bytes is decoded once for the runs that follow on the same
// text: a pass searches one answer for its result and then again for the verdict rules.
constexpr std::size_t kRememberedSubjectBytes = 4096;

struct CodeFree {
    void operator()(pcre2_code* p) const { pcre2_code_free(p); }
};
struct CompileContextFree {
    void operator()(pcre2_compile_context* p) const { pcre2_compile_context_free(p); }
};
struct MatchContextFree {
    void operator()(pcre2_match_context* p) const { pcre2_match_context_free(p); }
};
struct MatchDataFree {
    void operator()(pcre2_match_data* p) const { pcre2_match_data_free(p); }
};
struct JitStackFree {
    void operator()(pcre2_jit_stack* p) const { pcre2_jit_stack_free(p); }
};

PCRE2_SPTR units(const std::u16string& s) {
    static_assert(sizeof(PCRE2_UCHAR) == sizeof(char16_t));
    return reinterpret_cast<PCRE2_SPTR>(s.data());
}

bool isLowSurrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

// A start offset must not fall between the halves of a surrogate pair.
std::size_t toCharBoundary(const std::u16string& s, std::size_t at) {
    if (at > 0 && at < s.size() && isLowSurrogate(s[at]) && s[at - 1] >= 0xD800 &&
        s[at - 1] <= 0xDBFF) {
        return at + 1;
    }
    return at;
}

std::u16string replaceAll(std::u16string_view s, std::u16string_view from, std::u16string_view to) {
    std::u16string out;
    out.reserve(s.size());
    std::size_t start = 0;
    for (std::size_t at = s.find(from); at != std::u16string_view::npos; at = s.find(from, start)) {
        out.append(s.substr(start, at - start));
        out.append(to);
        start = at + from.size();
    }
    out.append(s.substr(start));
    return out;
}

std::unique_ptr<pcre2_code, CodeFree> compile(const std::u16string& pattern,
                                              const RegexOptions& options,
                                              RegexError* failure = nullptr) {
    std::unique_ptr<pcre2_compile_context, CompileContextFree> context(
        pcre2_compile_context_create(nullptr));
    if (!context) {
        return nullptr;
    }
    pcre2_set_newline(context.get(), PCRE2_NEWLINE_LF);
    pcre2_set_compile_extra_options(context.get(), PCRE2_EXTRA_BAD_ESCAPE_IS_LITERAL);
    // No PCRE2_UCP: \d \w \s and \b stay ASCII. PCRE2_ALT_CIRCUMFLEX lets a multiline "^" match
    // after a final line feed too.
    std::uint32_t flags = PCRE2_UTF | PCRE2_ALT_BSUX | PCRE2_DOLLAR_ENDONLY |
                          PCRE2_MATCH_UNSET_BACKREF | PCRE2_ALT_CIRCUMFLEX | PCRE2_USE_OFFSET_LIMIT;
    if (!options.caseSensitive) {
        flags |= PCRE2_CASELESS;
    }
    if (options.multiline) {
        flags |= PCRE2_MULTILINE;
    }
    int error = 0;
    PCRE2_SIZE errorOffset = 0;
    std::unique_ptr<pcre2_code, CodeFree> code(
        pcre2_compile(units(pattern), pattern.size(), flags, &error, &errorOffset, context.get()));
    if (code) {
        // Without the JIT the interpreter runs the same pattern, only slower.
        pcre2_jit_compile(code.get(), PCRE2_JIT_COMPLETE);
    } else if (failure != nullptr) {
        failure->position = static_cast<std::size_t>(errorOffset) + 1;
        failure->message = utf8ToAnsi(regexErrorText(error));
    }
    return code;
}

std::u16string patternUnits(std::string_view pattern, const RegexOptions& options) {
    std::u16string pattern16 = ansiToUtf16(pattern);
    if (options.expandQuotePlaceholder) {
        pattern16 = replaceAll(pattern16, u"#引号", u"\"");
    }
    return pattern16;
}

constexpr std::size_t npos = std::string_view::npos;

// Reading literal texts off a pattern (regexLiterals). The pattern is walked character by
// character in code page 936 (gbk::charLength): a trail byte may have the value of "|", "(" or
// "\".

// A character that matches itself only, and whose other case (when matching ignores case) is an
// ASCII letter's or none: printable ASCII other than the syntax characters, and the Chinese
// characters of code page 936. Its symbols, Greek, Cyrillic, full-width and accented letters
// (lead bytes 0xA1 to 0xA9) have other cases or second codes, and end a literal.
bool isPlainCharacter(std::string_view text, std::size_t at, std::size_t length) {
    const auto c = static_cast<unsigned char>(text[at]);
    if (length == 1) {
        return c >= 0x20 && c < 0x7F && std::string_view("\\^$.|?*+()[]{}").find(c) == npos;
    }
    return c <= 0xA0 || (c >= 0xB0 && c <= 0xF7);
}

bool isOptionalQuantifier(std::string_view text, std::size_t at) {
    return at < text.size() && (text[at] == '?' || text[at] == '*' || text[at] == '{');
}

// The literals of one top-level alternative: its leading plain characters (after any "^"), less
// a last one a quantifier may leave out; or the alternatives of a group of plain characters it
// starts with. Nothing when it starts otherwise.
std::optional<std::vector<Text>> alternativeLiterals(std::string_view branch) {
    std::size_t at = 0;
    while (at < branch.size() && branch[at] == '^') {
        ++at;
    }
    const std::size_t first = at;
    std::size_t last = at;
    while (at < branch.size()) {
        const std::size_t length = gbk::charLength(branch, at);
        if (!isPlainCharacter(branch, at, length)) {
            break;
        }
        last = at;
        at += length;
    }
    if (at > first) {
        const std::size_t end = isOptionalQuantifier(branch, at) ? last : at;
        if (end == first) {
            return std::nullopt;
        }
        return std::vector<Text>{Text(branch.substr(first, end - first))};
    }
    if (at >= branch.size() || branch[at] != '(') {
        return std::nullopt;
    }
    at += branch.substr(at, 3) == "(?:" ? 3 : 1;
    std::vector<Text> literals(1);
    while (at < branch.size() && branch[at] != ')') {
        const std::size_t length = gbk::charLength(branch, at);
        if (branch[at] == '|') {
            literals.emplace_back();
        } else if (isPlainCharacter(branch, at, length)) {
            literals.back().append(branch.substr(at, length));
        } else {
            return std::nullopt;
        }
        at += length;
    }
    if (at >= branch.size() || isOptionalQuantifier(branch, at + 1) ||
        std::any_of(literals.begin(), literals.end(), [](const Text& t) { return t.empty(); })) {
        return std::nullopt;
    }
    return literals;
}

// Read off the top-level alternatives (alternativeLiterals); none when one of them shows no such
// text, or when the pattern has what could make the reading wrong: inline options or verbs
// ("(?x)", "(*UCP)"), quoting ("\Q"), POSIX classes.
std::vector<Text> patternLiterals(std::string_view source, const RegexOptions& options) {
    const Text expanded = options.expandQuotePlaceholder
                              ? gbk::replaceAll(source, "#\xD2\xFD\xBA\xC5", "\"")
                              : Text(source);
    const std::string_view pattern = expanded;
    std::vector<std::string_view> branches;
    std::size_t branchStart = 0;
    int depth = 0;
    bool inClass = false;
    std::size_t classStart = 0;
    for (std::size_t at = 0; at < pattern.size();) {
        const std::size_t length = gbk::charLength(pattern, at);
        const char c = pattern[at];
        const char next = at + 1 < pattern.size() ? pattern[at + 1] : '\0';
        if (length == 2) {
            at += 2;
            continue;
        }
        if (c == '\\') {
            if (next == 'Q') {
                return {};
            }
            at += 1 + gbk::charLength(pattern, at + 1);
            continue;
        }
        if (inClass) {
            if (c == '[' && next == ':') {
                return {};
            }
            inClass = !(c == ']' && at > classStart);
        } else if (c == '[') {
            inClass = true;
            classStart = at + (next == '^' ? 2 : 1);
        } else if (c == '(') {
            if ((next == '?' && (at + 2 >= pattern.size() || pattern[at + 2] != ':')) ||
                next == '*') {
                return {};
            }
            ++depth;
        } else if (c == ')') {
            if (--depth < 0) {
                return {};
            }
        } else if (c == '|' && depth == 0) {
            branches.push_back(pattern.substr(branchStart, at - branchStart));
            branchStart = at + 1;
        }
        ++at;
    }
    if (depth != 0 || inClass) {
        return {};
    }
    branches.push_back(pattern.substr(branchStart));
    std::vector<Text> literals;
    for (const std::string_view branch : branches) {
        std::optional<std::vector<Text>> found = alternativeLiterals(branch);
        if (!found) {
            return {};
        }
        for (Text& literal : *found) {
            if (!options.caseSensitive) {
                for (std::size_t i = 0; i < literal.size(); i += gbk::charLength(literal, i)) {
                    literal[i] = gbk::asciiLower(literal[i]);
                }
            }
            literals.push_back(std::move(literal));
        }
    }
    return literals;
}

// The byte of `literal` that is looked for first: the second byte of a double-byte character if
// it has one (such a byte never comes in ASCII text), else its letter rarest in English, else its
// first byte.
std::size_t keyByte(std::string_view literal) {
    for (std::size_t at = 0; at < literal.size(); at += gbk::charLength(literal, at)) {
        if (gbk::charLength(literal, at) == 2) {
            return at + 1;
        }
    }
    for (const char letter : std::string_view("qjzxkvbpygfwmucldrhsnioate")) {
        if (const std::size_t at = literal.find(letter); at != npos) {
            return at;
        }
    }
    return 0;
}

// A pattern compiled (and JIT-compiled) once, with the match block sized for it.
struct CompiledPattern {
    std::string source;  // code page 936, as given
    unsigned optionBits = 0;
    std::unique_ptr<pcre2_code, CodeFree> code;
    std::unique_ptr<pcre2_match_data, MatchDataFree> data;
    int groupCount = 0;
    // Texts one of which every match contains (patternLiterals), each with its key byte; none:
    // no such texts known.
    std::vector<std::pair<Text, std::size_t>> literals;
    bool caseless = false;
};

// Whether `text` holds `literal`, with ASCII letters of either case when `caseless` (`literal`
// is then lowered). Each place of its `key` byte (keyByte) (in both cases for a letter) is found
// with the library's search, and only there is the literal compared whole.
bool holds(std::string_view text, std::string_view literal, std::size_t key, bool caseless) {
    const auto same = [&](std::size_t start) {
        for (std::size_t i = 0; i < literal.size(); ++i) {
            const char c = text[start + i];
            if ((caseless ? gbk::asciiLower(c) : c) != literal[i]) {
                return false;
            }
        }
        return true;
    };
    const char wanted = literal[key];
    const char other =
        caseless && wanted >= 'a' && wanted <= 'z' ? static_cast<char>(wanted - 'a' + 'A') : wanted;
    for (const char byte : {wanted, other}) {
        for (std::size_t from = key; from < text.size();) {
            const void* hit = std::memchr(text.data() + from, byte, text.size() - from);
            if (hit == nullptr) {
                break;
            }
            const auto at = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
            if (at - key + literal.size() <= text.size() && same(at - key)) {
                return true;
            }
            from = at + 1;
        }
        if (other == wanted) {
            break;
        }
    }
    return false;
}

// Whether `subject` may hold a match of `pattern`: false only when it holds none of the
// pattern's literals. A byte search suffices: a character of a literal found in the decoded
// subject has the same bytes there.
bool mayMatch(const CompiledPattern& pattern, std::string_view subject) {
    return pattern.literals.empty() ||
           std::any_of(pattern.literals.begin(), pattern.literals.end(), [&](const auto& literal) {
               return holds(subject, literal.first, literal.second, pattern.caseless);
           });
}

unsigned optionBits(const RegexOptions& options) {
    // `global` plays no part in compiling.
    return (options.caseSensitive ? 1U : 0U) | (options.multiline ? 2U : 0U) |
           (options.expandQuotePlaceholder ? 4U : 0U);
}

// The patterns this thread compiled last, the most recently used last. A pass runs the same few
// patterns (a template's, the verdict rules) for account after account: each is compiled once,
// not once per account. Each thread has its own, so passes on several threads share nothing.
constexpr std::size_t kCachedPatterns = 32;

class PatternCache {
public:
    // The compiled pattern, from the cache or compiled now; null when it does not compile
    // (`failure` then says why, when given).
    CompiledPattern* find(std::string_view source, const RegexOptions& options,
                          RegexError* failure = nullptr) {
        const unsigned bits = optionBits(options);
        for (auto at = entries_.begin(); at != entries_.end(); ++at) {
            if ((*at)->optionBits == bits && (*at)->source == source) {
                std::rotate(at, at + 1, entries_.end());  // the most recent goes last
                return entries_.back().get();
            }
        }
        auto entry = std::make_unique<CompiledPattern>();
        entry->code = compile(patternUnits(source, options), options, failure);
        if (!entry->code) {
            return nullptr;
        }
        entry->data.reset(pcre2_match_data_create_from_pattern(entry->code.get(), nullptr));
        if (!entry->data) {
            return nullptr;
        }
        std::uint32_t captures = 0;
        pcre2_pattern_info(entry->code.get(), PCRE2_INFO_CAPTURECOUNT, &captures);
        entry->groupCount = static_cast<int>(captures);
        for (Text& literal : patternLiterals(source, options)) {
            const std::size_t key = keyByte(literal);
            entry->literals.emplace_back(std::move(literal), key);
        }
        entry->caseless = !options.caseSensitive;
        entry->source = source;
        entry->optionBits = bits;
        if (entries_.size() == kCachedPatterns) {
            entries_.erase(entries_.begin());  // the least recently used
        }
        entries_.push_back(std::move(entry));
        return entries_.back().get();
    }

private:
    std::vector<std::unique_ptr<CompiledPattern>> entries_;
};

PatternCache& patternCache() {
    thread_local PatternCache cache;
    return cache;
}

// The match context (with its limits) and the JIT stack of this thread, made once.
struct MatchResources {
    std::unique_ptr<pcre2_match_context, MatchContextFree> context;
    std::unique_ptr<pcre2_jit_stack, JitStackFree> stack;

    MatchResources() : context(pcre2_match_context_create(nullptr)) {
        if (!context) {
            return;
        }
        pcre2_set_match_limit(context.get(), kMatchLimit);
        pcre2_set_depth_limit(context.get(), kMatchLimit);
        pcre2_set_heap_limit(context.get(), kHeapLimitKiB);
        stack.reset(pcre2_jit_stack_create(kJitStackStart, kJitStackMax, nullptr));
        if (stack) {
            pcre2_jit_stack_assign(context.get(), nullptr, stack.get());
        }
    }
};

// The subjects of this thread's runs, decoded to UTF-16.
class DecodedSubjects {
public:
    const std::u16string& decode(std::string_view subject) {
        if (subject.size() < kRememberedSubjectBytes) {
            ansiToUtf16(subject, small_);
            return small_;
        }
        if (subject.size() > kKeptSubjectUnits) {
            // Given back after the run (trim), so not remembered either: no copy of it is kept
            // beside its decoding.
            largeSource_.clear();
            ansiToUtf16(subject, large_);
            return large_;
        }
        if (subject != largeSource_) {
            largeSource_.assign(subject);
            ansiToUtf16(subject, large_);
        }
        return large_;
    }

    // Gives back a buffer that grew past what is kept.
    void trim() {
        if (large_.capacity() > kKeptSubjectUnits) {
            std::u16string().swap(large_);
            std::string().swap(largeSource_);
        }
    }

private:
    std::string largeSource_;  // the last large subject, as given
    std::u16string large_;     // it decoded
    std::u16string small_;     // the last small subject decoded
};

DecodedSubjects& decodedSubjects() {
    thread_local DecodedSubjects subjects;
    return subjects;
}

pcre2_match_context* matchContext() {
    thread_local MatchResources resources;
    return resources.context.get();
}

// Finds matches one call of the library at a time, watching the budget between calls.
struct MatchSearch {
    const pcre2_code* code;
    const std::u16string& subject;
    pcre2_match_context* context;
    pcre2_match_data* data;
    Clock::time_point deadline;
    Clock::time_point lastLook;
    std::size_t window = kWindowFirst;
    int callsSinceLook = 0;
    bool gaveUp = false;  // stopped by the budget or a limit, not by the end of the subject

    // The next match starting at or after `start`; false when there is none, or when the search
    // ran out of its budget or memory.
    bool next(std::size_t start) {
        while (start <= subject.size()) {
            const std::size_t limit = std::min(subject.size(), start + window);
            pcre2_set_offset_limit(context, limit);
            // The subject is our own decoding of code page 936, whose characters all lie in the
            // BMP outside the surrogates: it is valid UTF-16 and needs no check.
            const int rc = pcre2_match(code, units(subject), subject.size(), start,
                                       PCRE2_NO_UTF_CHECK, data, context);
            ++callsSinceLook;
            if (rc >= 0) {
                if (callsSinceLook >= kMatchesPerClockCheck) {
                    lookAtClock(false);
                    if (lastLook > deadline) {
                        gaveUp = true;
                        return false;
                    }
                }
                return true;
            }
            if (rc != PCRE2_ERROR_NOMATCH) {
                gaveUp = true;  // match, depth, heap or JIT stack limit, or an invalid subject
                return false;
            }
            if (limit >= subject.size()) {
                return false;
            }
            lookAtClock(true);
            if (lastLook > deadline) {
                gaveUp = true;
                return false;
            }
            start = toCharBoundary(subject, limit + 1);
        }
        return false;
    }

    void lookAtClock(bool afterEmptyWindow) {
        const auto now = Clock::now();
        if (afterEmptyWindow && callsSinceLook == 1) {
            const auto took = now - lastLook;
            if (took < kWindowQuick) {
                window = std::min(window * 2, kWindowMax);
            } else if (took > kWindowSlow) {
                window = std::max<std::size_t>(window / 4, 1);
            }
        }
        lastLook = now;
        callsSinceLook = 0;
    }
};

// The offsets of the matches of `code` in `subject`, found one after the other as the script
// engine finds them: after an empty match the next search starts one character further on.
std::vector<PCRE2_SIZE> collect(const CompiledPattern& pattern, bool global,
                                const std::u16string& subject, bool& gaveUp) {
    std::vector<PCRE2_SIZE> offsets;
    pcre2_match_context* context = matchContext();
    if (context == nullptr) {
        return offsets;
    }
    const pcre2_code* code = pattern.code.get();
    pcre2_match_data* data = pattern.data.get();
    const int groupCount = pattern.groupCount;

    const auto now = Clock::now();
    MatchSearch search{code, subject, context, data, now + kSearchBudget, now};
    const std::size_t pairs = static_cast<std::size_t>(groupCount) + 1;
    std::size_t start = 0;
    while (search.next(start)) {
        const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data);
        const std::uint32_t have = pcre2_get_ovector_count(data);
        for (std::size_t i = 0; i < pairs; ++i) {
            const bool set = i < have;
            offsets.push_back(set ? ovector[2 * i] : PCRE2_UNSET);
            offsets.push_back(set ? ovector[2 * i + 1] : PCRE2_UNSET);
        }
        if (!global) {
            break;
        }
        const PCRE2_SIZE begin = ovector[0];
        const PCRE2_SIZE end = ovector[1];
        // A \K inside a lookahead can put the end before the start; never step backwards.
        start = end > begin ? end : toCharBoundary(subject, begin + 1);
    }
    gaveUp = search.gaveUp;
    return offsets;
}

}  // namespace

std::vector<Text> regexLiterals(std::string_view pattern, const RegexOptions& options) {
    return patternLiterals(pattern, options);
}

RegexMatcher::RegexMatcher() = default;
RegexMatcher::~RegexMatcher() = default;
RegexMatcher::RegexMatcher(const RegexMatcher&) = default;
RegexMatcher& RegexMatcher::operator=(const RegexMatcher&) = default;
RegexMatcher::RegexMatcher(RegexMatcher&&) noexcept = default;
RegexMatcher& RegexMatcher::operator=(RegexMatcher&&) noexcept = default;

std::optional<RegexError> regexError(std::string_view pattern, const RegexOptions& options) {
    RegexError failure;
    if (patternCache().find(pattern, options, &failure) != nullptr) {
        return std::nullopt;
    }
    return failure;
}

bool RegexMatcher::run(std::string_view pattern, std::string_view subject,
                       const RegexOptions& options) {
    matches_.reset();
    const CompiledPattern* compiled = patternCache().find(pattern, options);
    if (compiled == nullptr) {
        return false;
    }
    auto m = std::make_shared<Matches>();
    m->groupCount = compiled->groupCount;
    if (!mayMatch(*compiled, subject)) {
        matches_ = std::move(m);  // no match, and nothing decoded or searched
        return true;
    }
    DecodedSubjects& subjects = decodedSubjects();
    const std::u16string& decoded = subjects.decode(subject);
    m->offsets = collect(*compiled, options.global, decoded, m->gaveUp);
    PCRE2_SIZE first = PCRE2_UNSET;
    PCRE2_SIZE last = 0;
    for (std::size_t i = 0; i + 1 < m->offsets.size(); i += 2) {
        const PCRE2_SIZE begin = m->offsets[i];
        const PCRE2_SIZE end = m->offsets[i + 1];
        if (begin != PCRE2_UNSET && end != PCRE2_UNSET && end >= begin) {
            first = std::min(first, begin);
            last = std::max(last, end);
        }
    }
    if (first != PCRE2_UNSET) {
        m->base = first;
        m->covered.assign(decoded, first, last - first);
    }
    subjects.trim();
    matches_ = std::move(m);
    return true;
}

bool RegexMatcher::gaveUp() const {
    return matches_ && matches_->gaveUp;
}

int RegexMatcher::matchCount() const {
    return matches_ ? matches_->count() : 0;
}

int RegexMatcher::subMatchCount() const {
    return matchCount() > 0 ? matches_->groupCount : 0;
}

Text RegexMatcher::subMatch(int matchIndex, int groupIndex) const {
    if (matchIndex < 1 || matchIndex > matchCount() || groupIndex < 1 ||
        groupIndex > matches_->groupCount) {
        return {};
    }
    const std::size_t pairs = static_cast<std::size_t>(matches_->groupCount) + 1;
    const std::size_t at = 2 * (static_cast<std::size_t>(matchIndex - 1) * pairs +
                                static_cast<std::size_t>(groupIndex));
    const PCRE2_SIZE begin = matches_->offsets[at];
    const PCRE2_SIZE end = matches_->offsets[at + 1];
    if (begin == PCRE2_UNSET || end == PCRE2_UNSET || end < begin) {
        return {};
    }
    return utf16ToAnsi(
        std::u16string_view(matches_->covered).substr(begin - matches_->base, end - begin));
}

}  // namespace vesprey
