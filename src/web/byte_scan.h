// Scans of whole texts on the request path (cookies, header values, addresses), done so that many
// bytes are tested at a time: these texts are looked at for every request and usually pass.
#pragma once

#include <string_view>

namespace vesprey::bytescan {

// True when no byte is above 0x7F: every byte is then a character of its own. (No early exit:
// the compiler tests a vector of bytes per step.)
inline bool isAscii(std::string_view text) {
    unsigned char seen = 0;
    for (const char c : text) {
        seen |= static_cast<unsigned char>(c);
    }
    return seen < 0x80;
}

// True when the text holds CR, LF or NUL, which no header line may. (Three searches of the
// library's vector memchr beat one loop over the bytes.)
inline bool hasLineBreakOrNul(std::string_view text) {
    constexpr auto npos = std::string_view::npos;
    return text.find('\r') != npos || text.find('\n') != npos || text.find('\0') != npos;
}

// Calls `visit` with each piece of `text` between occurrences of `separator`; a separator at the
// end adds no empty piece. (`separator` must be no trail byte, nor begin with one, so that every
// occurrence separates: ";" and CR LF are such.)
template <class Visit>
void forEachPiece(std::string_view text, std::string_view separator, Visit&& visit) {
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find(separator, start);
        visit(text.substr(start, end - start));
        start = end == std::string_view::npos ? text.size() : end + separator.size();
    }
}

}  // namespace vesprey::bytescan
