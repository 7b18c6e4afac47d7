#include "text/gbk_text.h"

namespace vesprey::gbk {
namespace {

constexpr std::string_view kFullWidthSpace = "\xA1\xA1";

bool isLead(unsigned char c) {
    return c >= 0x81 && c <= 0xFE;
}
bool isTrail(unsigned char c) {
    return c >= 0x40 && c <= 0xFE && c != 0x7F;
}

// Whether `pattern` matches the characters of `text` starting at the boundary `at`: the match has
// to end on a character boundary too.
bool matchesAt(std::string_view text, std::size_t at, std::string_view pattern, bool ignoreCase) {
    std::size_t done = 0;
    while (done < pattern.size()) {
        std::size_t length = charLength(text, at + done);
        if (length == 0 || done + length > pattern.size()) {
            return false;
        }
        if (length == 1) {
            char a = text[at + done];
            char b = pattern[done];
            if (ignoreCase ? asciiLower(a) != asciiLower(b) : a != b) {
                return false;
            }
        } else if (text.compare(at + done, 2, pattern, done, 2) != 0) {
            return false;
        }
        done += length;
    }
    return true;
}

// Whether a space character starts at the boundary `at`; returns its length or 0.
std::size_t spaceAt(std::string_view text, std::size_t at) {
    if (text[at] == ' ') {
        return 1;
    }
    if (charLength(text, at) == 2 && text.compare(at, 2, kFullWidthSpace) == 0) {
        return 2;
    }
    return 0;
}

}  // namespace

std::size_t charLength(std::string_view text, std::size_t at) {
    if (at >= text.size()) {
        return 0;
    }
    if (isLead(static_cast<unsigned char>(text[at])) && at + 1 < text.size() &&
        isTrail(static_cast<unsigned char>(text[at + 1]))) {
        return 2;
    }
    return 1;
}

bool isBoundary(std::string_view text, std::size_t at) {
    std::size_t pos = 0;
    while (pos < at && pos < text.size()) {
        pos += charLength(text, pos);
    }
    return pos == at;
}

std::size_t find(std::string_view text, std::string_view pattern, std::size_t from,
                 bool ignoreCase) {
    std::size_t pos = 0;
    while (pos < from && pos < text.size()) {
        pos += charLength(text, pos);
    }
    if (pos < from) {
        return npos;  // `from` lies past the end
    }
    if (!ignoreCase && !pattern.empty()) {
        // Only where the bytes are equal can the characters be: let the library find those
        // places, and walk the characters up to each to see whether it is a boundary.
        for (std::size_t candidate = text.find(pattern, pos); candidate != npos;
             candidate = text.find(pattern, pos)) {
            while (pos < candidate) {
                pos += charLength(text, pos);
            }
            if (pos == candidate) {
                if (matchesAt(text, pos, pattern, false)) {
                    return pos;
                }
                pos += charLength(text, pos);
            }
        }
        return npos;
    }
    while (pos + pattern.size() <= text.size()) {
        if (matchesAt(text, pos, pattern, ignoreCase)) {
            return pos;
        }
        if (pos == text.size()) {
            break;
        }
        pos += charLength(text, pos);
    }
    return npos;
}

bool endsWith(std::string_view text, std::string_view suffix) {
    if (suffix.size() > text.size()) {
        return false;
    }
    std::size_t at = text.size() - suffix.size();
    return text.substr(at) == suffix && isBoundary(text, at);
}

std::vector<std::string_view> split(std::string_view text, std::string_view separator) {
    std::vector<std::string_view> pieces;
    if (text.empty()) {
        return pieces;
    }
    if (separator.empty()) {
        pieces.push_back(text);
        return pieces;
    }
    // Every piece starts on a character boundary (a match ends on one), so each search starts
    // there rather than walking the text from its beginning again.
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t hit = find(text.substr(start), separator);
        if (hit != npos) {
            hit += start;
        }
        if (hit == npos) {
            pieces.push_back(text.substr(start));
            break;
        }
        pieces.push_back(text.substr(start, hit - start));
        start = hit + separator.size();
    }
    return pieces;
}

std::string replaceAll(std::string_view text, std::string_view from, std::string_view to,
                       bool ignoreCase) {
    if (from.empty()) {
        return std::string(text);
    }
    std::string out;
    out.reserve(text.size());
    std::size_t start = 0;
    while (true) {
        // `start` is a character boundary: the search need not walk up to it again.
        std::size_t hit = find(text.substr(start), from, 0, ignoreCase);
        if (hit != npos) {
            hit += start;
        }
        if (hit == npos) {
            out.append(text.substr(start));
            return out;
        }
        out.append(text.substr(start, hit - start));
        out.append(to);
        start = hit + from.size();
    }
}

std::string_view trimSpaces(std::string_view text) {
    std::size_t begin = npos;
    std::size_t end = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t space = spaceAt(text, pos);
        std::size_t length = space != 0 ? space : charLength(text, pos);
        if (space == 0) {
            if (begin == npos) {
                begin = pos;
            }
            end = pos + length;
        }
        pos += length;
    }
    return begin == npos ? std::string_view{} : text.substr(begin, end - begin);
}

std::string removeSpaces(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t space = spaceAt(text, pos);
        if (space != 0) {
            pos += space;
            continue;
        }
        std::size_t length = charLength(text, pos);
        out.append(text.substr(pos, length));
        pos += length;
    }
    return out;
}

std::size_t characterCount(std::string_view text) {
    std::size_t count = 0;
    for (std::size_t at = 0; at < text.size(); at += charLength(text, at)) {
        ++count;
    }
    return count;
}

std::string shortened(std::string_view text, std::size_t maxChars) {
    constexpr std::string_view kEllipsis = "\xA1\xAD";  // "…"
    std::size_t at = 0;
    std::size_t cut = 0;  // where the first maxChars - 1 characters end
    for (std::size_t count = 0; at < text.size(); ++count) {
        if (count + 1 == maxChars) {
            cut = at;
        }
        if (count == maxChars) {
            return maxChars == 0 ? std::string() : std::string(text.substr(0, cut)) += kEllipsis;
        }
        at += charLength(text, at);
    }
    return std::string(text);
}

}  // namespace vesprey::gbk
