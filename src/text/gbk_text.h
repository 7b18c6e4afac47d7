// Searching, splitting and trimming code page 936 text one character at a time.
//
// A GBK character is either one byte or a lead byte 0x81-0xFE followed by a trail byte 0x40-0x7E
// or 0x80-0xFE; a lead byte without a valid trail stands alone. Every search here matches only
// at character boundaries, so a marker never matches across the two bytes of one character (the
// trail byte of many characters is an ASCII letter or sign).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vesprey::gbk {

inline constexpr std::size_t npos = std::string_view::npos;

// An ASCII capital as its small letter; every other byte as it is.
inline char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Length in bytes (1 or 2) of the character that starts at `at`; 0 at or past the end.
std::size_t charLength(std::string_view text, std::size_t at);

// True when `at` is where a character starts (or the end of the text).
bool isBoundary(std::string_view text, std::size_t at);

// Byte position of the first occurrence of `pattern` starting at a character boundary at or after
// `from`, or npos. `ignoreCase` folds ASCII letters only. An empty pattern is found at the first
// boundary at or after `from`.
std::size_t find(std::string_view text, std::string_view pattern, std::size_t from = 0,
                 bool ignoreCase = false);

inline bool contains(std::string_view text, std::string_view pattern) {
    return find(text, pattern) != npos;
}

// True when `text` ends with `suffix` and the suffix starts at a character boundary.
bool endsWith(std::string_view text, std::string_view suffix);

// The pieces between separators, in order: a leading separator or two adjacent ones yield an
// empty piece, a trailing separator yields none, an empty text yields no piece. An empty
// separator yields the whole text as one piece.
std::vector<std::string_view> split(std::string_view text, std::string_view separator);

// Every occurrence of `from` replaced by `to`, left to right, without rescanning replacements.
std::string replaceAll(std::string_view text, std::string_view from, std::string_view to,
                       bool ignoreCase = false);

// How many characters the text holds.
std::size_t characterCount(std::string_view text);

// The text when it has at most `maxChars` characters; otherwise its first maxChars - 1
// characters followed by "…", so that the result has maxChars characters.
std::string shortened(std::string_view text, std::size_t maxChars);

// Spaces are the ASCII blank and the full-width blank A1 A1; tabs and line breaks are not.
std::string_view trimSpaces(std::string_view text);
std::string removeSpaces(std::string_view text);

}  // namespace vesprey::gbk
