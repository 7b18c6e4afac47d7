#include "web/utf8_regex.h"

#include "web/regex_messages.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <cstdint>
#include <utility>

namespace vesprey {

namespace {

// Backtracking steps allowed for one search, and memory for the backtracking frames in KiB.
constexpr std::uint32_t kMatchLimit = 10'000'000;
constexpr std::uint32_t kHeapLimitKiB = 64 * 1024;

struct CodeFree {
    void operator()(pcre2_code* p) const { pcre2_code_free(p); }
};
struct MatchDataFree {
    void operator()(pcre2_match_data* p) const { pcre2_match_data_free(p); }
};
struct MatchContextFree {
    void operator()(pcre2_match_context* p) const { pcre2_match_context_free(p); }
};
struct CompileContextFree {
    void operator()(pcre2_compile_context* p) const { pcre2_compile_context_free(p); }
};

PCRE2_SPTR units(std::string_view s) {
    return reinterpret_cast<PCRE2_SPTR>(s.data());
}

// Python's \Z is the very end of the subject, PCRE2's \z.
std::string translatePattern(std::string_view pattern) {
    std::string out;
    out.reserve(pattern.size());
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '\\' && i + 1 < pattern.size()) {
            out += '\\';
            out += pattern[i + 1] == 'Z' ? 'z' : pattern[i + 1];
            ++i;
        } else {
            out += pattern[i];
        }
    }
    return out;
}

std::size_t utf8Length(unsigned char lead) {
    if (lead >= 0xF0) {
        return 4;
    }
    if (lead >= 0xE0) {
        return 3;
    }
    return lead >= 0xC0 ? 2 : 1;
}

}  // namespace

struct Utf8Regex::Code {
    std::unique_ptr<pcre2_code, CodeFree> code;
    std::unique_ptr<pcre2_match_context, MatchContextFree> context;
    int groups = 0;
};

std::variant<Utf8Regex, Utf8RegexError> Utf8Regex::compile(std::string_view pattern,
                                                           const Utf8RegexFlags& flags) {
    const std::string translated = translatePattern(pattern);
    std::unique_ptr<pcre2_compile_context, CompileContextFree> context(
        pcre2_compile_context_create(nullptr));
    if (!context) {
        return Utf8RegexError{0, "out of memory"};
    }
    pcre2_set_newline(context.get(), PCRE2_NEWLINE_LF);
    std::uint32_t options = PCRE2_UTF | PCRE2_UCP | PCRE2_ALT_BSUX | PCRE2_MATCH_INVALID_UTF;
    if (flags.ignoreCase) {
        options |= PCRE2_CASELESS;
    }
    if (flags.multiline) {
        options |= PCRE2_MULTILINE;
    }
    if (flags.dotAll) {
        options |= PCRE2_DOTALL;
    }
    int error = 0;
    PCRE2_SIZE errorOffset = 0;
    auto code = std::make_shared<Code>();
    code->code.reset(pcre2_compile(units(translated), translated.size(), options, &error,
                                   &errorOffset, context.get()));
    if (!code->code) {
        Utf8RegexError failure;
        // The offset is in bytes of the pattern; the position counts characters.
        std::size_t characters = 0;
        for (std::size_t i = 0; i < errorOffset && i < translated.size(); ++i) {
            if ((static_cast<unsigned char>(translated[i]) & 0xC0) != 0x80) {
                ++characters;
            }
        }
        failure.position = characters + 1;
        failure.message = regexErrorText(error);
        return failure;
    }
    pcre2_jit_compile(code->code.get(), PCRE2_JIT_COMPLETE);
    std::uint32_t captures = 0;
    pcre2_pattern_info(code->code.get(), PCRE2_INFO_CAPTURECOUNT, &captures);
    code->groups = static_cast<int>(captures);
    code->context.reset(pcre2_match_context_create(nullptr));
    if (code->context) {
        pcre2_set_match_limit(code->context.get(), kMatchLimit);
        pcre2_set_heap_limit(code->context.get(), kHeapLimitKiB);
    }
    return Utf8Regex(std::move(code));
}

int Utf8Regex::groupCount() const {
    return code_->groups;
}

std::optional<Utf8Match> Utf8Regex::search(std::string_view subject, std::size_t from) const {
    if (from > subject.size()) {
        return std::nullopt;
    }
    std::unique_ptr<pcre2_match_data, MatchDataFree> data(
        pcre2_match_data_create_from_pattern(code_->code.get(), nullptr));
    if (!data) {
        return std::nullopt;
    }
    const int rc = pcre2_match(code_->code.get(), units(subject), subject.size(), from, 0,
                               data.get(), code_->context.get());
    if (rc <= 0) {
        return std::nullopt;
    }
    const PCRE2_SIZE* offsets = pcre2_get_ovector_pointer(data.get());
    Utf8Match match;
    match.start = offsets[0];
    match.end = offsets[1];
    for (int g = 0; g <= code_->groups; ++g) {
        const PCRE2_SIZE begin = offsets[2 * g];
        const PCRE2_SIZE end = offsets[2 * g + 1];
        if (g >= rc || begin == PCRE2_UNSET) {
            match.groups.emplace_back(std::nullopt);
        } else {
            match.groups.emplace_back(std::string(subject.substr(begin, end - begin)));
        }
    }
    return match;
}

std::vector<Utf8Match> Utf8Regex::findAll(std::string_view subject, std::size_t limit) const {
    std::vector<Utf8Match> matches;
    std::size_t from = 0;
    while (matches.size() < limit && from <= subject.size()) {
        auto match = search(subject, from);
        if (!match) {
            break;
        }
        from = match->end;
        if (match->end == match->start) {
            from +=
                from < subject.size() ? utf8Length(static_cast<unsigned char>(subject[from])) : 1;
        }
        matches.push_back(std::move(*match));
    }
    return matches;
}

std::string Utf8Regex::substitute(std::string_view subject, std::string_view replacement,
                                  std::size_t count) const {
    std::string out;
    std::size_t copied = 0;
    const auto groupText = [](const Utf8Match& match, std::size_t index) {
        return index < match.groups.size() && match.groups[index] ? *match.groups[index]
                                                                  : std::string();
    };
    const std::vector<Utf8Match> matches =
        findAll(subject, count == 0 ? static_cast<std::size_t>(-1) : count);
    for (const Utf8Match& match : matches) {
        out.append(subject.substr(copied, match.start - copied));
        for (std::size_t i = 0; i < replacement.size(); ++i) {
            const char c = replacement[i];
            if (c != '\\' || i + 1 == replacement.size()) {
                out += c;
                continue;
            }
            const char next = replacement[++i];
            if (next >= '0' && next <= '9') {
                std::size_t index = static_cast<std::size_t>(next - '0');
                if (i + 1 < replacement.size() && replacement[i + 1] >= '0' &&
                    replacement[i + 1] <= '9') {
                    index = index * 10 + static_cast<std::size_t>(replacement[++i] - '0');
                }
                out += groupText(match, index);
            } else if (next == 'g' && i + 1 < replacement.size() && replacement[i + 1] == '<') {
                const std::size_t close = replacement.find('>', i + 2);
                if (close == std::string_view::npos) {
                    out += "\\g";
                    continue;
                }
                const std::string name(replacement.substr(i + 2, close - i - 2));
                i = close;
                if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos) {
                    out += groupText(match, std::stoul(name));
                } else {
                    const int number =
                        pcre2_substring_number_from_name(code_->code.get(), units(name));
                    if (number > 0) {
                        out += groupText(match, static_cast<std::size_t>(number));
                    }
                }
            } else if (next == 'n') {
                out += '\n';
            } else if (next == 't') {
                out += '\t';
            } else if (next == 'r') {
                out += '\r';
            } else if (next == '\\') {
                out += '\\';
            } else {
                out += '\\';
                out += next;
            }
        }
        copied = match.end;
    }
    out.append(subject.substr(copied));
    return out;
}

}  // namespace vesprey
