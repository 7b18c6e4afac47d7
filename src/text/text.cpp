#include "text/text.h"

#include <iconv.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

namespace vesprey {
namespace {

// Canonical iconv name for a charset name as people write it.
std::string iconvName(std::string_view name) {
    std::string lower;
    lower.reserve(name.size());
    for (char c : name) {
        lower.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c));
    }
    if (lower.empty() || lower == "utf-8" || lower == "utf8") {
        return "UTF-8";
    }
    if (lower == "gbk" || lower == "gb2312" || lower == "cp936" || lower == "x-gbk" ||
        lower == "windows-936" || lower == "ansi") {
        return "CP936";  // never GB18030: it maps the euro sign differently
    }
    if (lower == "gb18030") {
        return "GB18030";
    }
    if (lower == "big5" || lower == "cp950") {
        return "BIG5";
    }
    if (lower == "unicode" || lower == "utf-16" || lower == "utf-16le" || lower == "utf16le" ||
        lower == "ucs-2" || lower == "ucs-2le") {
        return "UTF-16LE";
    }
    if (lower == "unicodefffe" || lower == "utf-16be" || lower == "utf16be" || lower == "ucs-2be") {
        return "UTF-16BE";
    }
    if (lower == "iso-8859-1" || lower == "latin1" || lower == "iso8859-1") {
        return "ISO-8859-1";
    }
    std::string upper = lower;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](char c) { return static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c); });
    return upper;
}

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);  // iconv_open's failure value

// One open converter per direction and thread; opening iconv is far dearer than converting a
// short text, and the site list converts tens of thousands of cells.
class Converter {
public:
    static iconv_t get(const std::string& to, const std::string& from) {
        thread_local Cache cache;
        auto key = std::make_pair(to, from);
        auto it = cache.handles.find(key);
        if (it == cache.handles.end()) {
            iconv_t cd = iconv_open(to.c_str(), from.c_str());
            it = cache.handles.emplace(std::move(key), cd).first;
        }
        if (it->second != kNoConverter) {
            iconv(it->second, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
        }
        return it->second;
    }

private:
    struct Cache {
        std::map<std::pair<std::string, std::string>, iconv_t> handles;
        ~Cache() {
            for (auto& [key, cd] : handles) {
                if (cd != kNoConverter) {
                    iconv_close(cd);
                }
            }
        }
    };
};

// Runs iconv over the whole input. `unitSize` is the size of one input code unit (2 for UTF-16,
// 1 otherwise): on a sequence that cannot be converted the loop writes `replacement` and skips one
// unit (two for a UTF-16 surrogate pair), so the conversion never stops early.
bool runIconv(iconv_t cd, std::string_view input, std::size_t unitSize,
              std::string_view replacement, std::string& output) {
    if (cd == kNoConverter) {
        return false;
    }
    // iconv takes char** for its input although it never writes through it.
    char* in = const_cast<char*>(input.data());
    std::size_t inLeft = input.size();
    std::size_t used = output.size();
    output.resize(used + input.size() * 2 + 16);
    while (true) {
        char* out = output.data() + used;
        std::size_t outLeft = output.size() - used;
        std::size_t rc = iconv(cd, inLeft ? &in : nullptr, &inLeft, &out, &outLeft);
        used = output.size() - outLeft;
        if (rc != static_cast<std::size_t>(-1)) {
            if (inLeft == 0) {
                break;  // the final flush call succeeded
            }
            continue;
        }
        if (errno == E2BIG) {
            output.resize(output.size() * 2 + 16);
            continue;
        }
        if (errno == EILSEQ || errno == EINVAL) {
            std::size_t skip = std::min(unitSize, inLeft);
            if (unitSize == 2 && inLeft >= 4) {
                // A high surrogate followed by a low one is one character the target lacks.
                auto unit = [&](std::size_t at) {
                    auto lo = static_cast<unsigned char>(in[at]);
                    auto hi = static_cast<unsigned char>(in[at + 1]);
                    return static_cast<unsigned>(lo | (hi << 8));
                };
                if (unit(0) >= 0xD800 && unit(0) < 0xDC00 && unit(2) >= 0xDC00 &&
                    unit(2) < 0xE000) {
                    skip = 4;
                }
            }
            if (errno == EINVAL) {
                skip = inLeft;  // an incomplete sequence at the end
            }
            if (output.size() - used < replacement.size()) {
                output.resize(output.size() * 2 + 16);
            }
            std::copy(replacement.begin(), replacement.end(),
                      output.begin() + static_cast<std::ptrdiff_t>(used));
            used += replacement.size();
            in += skip;
            inLeft -= skip;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            continue;
        }
        output.resize(used);
        return false;
    }
    output.resize(used);
    return true;
}

// True when no byte is above 0x7F. Each block of 64 bytes is tested without an early exit, so
// that the compiler tests a vector of bytes per step; the first block with such a byte ends the
// test, so a long page with text beyond ASCII near its start is not read to its end.
bool isAscii(std::string_view s) {
    constexpr std::size_t kBlock = 64;
    const auto* bytes = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t at = 0;
    for (; at + kBlock <= s.size(); at += kBlock) {
        unsigned char seen = 0;
        for (std::size_t i = 0; i < kBlock; ++i) {
            seen |= bytes[at + i];
        }
        if (seen >= 0x80) {
            return false;
        }
    }
    unsigned char seen = 0;
    for (; at < s.size(); ++at) {
        seen |= bytes[at];
    }
    return seen < 0x80;
}

constexpr std::string_view kQuestionUtf16{"?\0", 2};

// Code page 936 to UTF-16 through a table read once from iconv: pages of HTML run to megabytes
// and are decoded for every regular-expression search, where calling iconv costs most of the
// time. Entry (lead << 8 | trail) is the character of a two-byte sequence, entry b (< 0x100) that
// of a single byte; 0 marks a sequence iconv rejects.
const std::vector<char16_t>& gbkTable() {
    static const std::vector<char16_t> table = [] {
        std::vector<char16_t> t(0x10000, u'\0');
        iconv_t cd = iconv_open("UTF-16LE", "CP936");
        auto decode = [&](const char* in, std::size_t size) -> char16_t {
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            char* src = const_cast<char*>(in);
            unsigned char out[8];
            char* dst = reinterpret_cast<char*>(out);
            std::size_t inLeft = size;
            std::size_t outLeft = sizeof out;
            if (iconv(cd, &src, &inLeft, &dst, &outLeft) == static_cast<std::size_t>(-1) ||
                inLeft != 0 || sizeof out - outLeft != 2) {
                return u'\0';
            }
            return static_cast<char16_t>(out[0] | (out[1] << 8));
        };
        // A row of pairs (one lead byte, every trail) goes to iconv in one call; a pair it
        // rejects is noted and the call goes on after it. Each pair gives one UTF-16 unit: a row
        // where that does not hold is decoded pair by pair.
        auto decodeRow = [&](unsigned lead) {
            char pairs[2 * 0xBF];
            char units[2 * 0xBF];
            for (unsigned trail = 0x40; trail <= 0xFE; ++trail) {
                pairs[2 * (trail - 0x40)] = static_cast<char>(lead);
                pairs[2 * (trail - 0x40) + 1] = static_cast<char>(trail);
            }
            std::size_t done = 0;  // pairs read
            const std::size_t count = sizeof pairs / 2;
            while (done < count) {
                iconv(cd, nullptr, nullptr, nullptr, nullptr);
                char* src = pairs + 2 * done;
                std::size_t inLeft = 2 * (count - done);
                char* dst = units;
                std::size_t outLeft = sizeof units;
                const std::size_t rc = iconv(cd, &src, &inLeft, &dst, &outLeft);
                const std::size_t read = (src - pairs) / 2 - done;
                if ((src - pairs) % 2 != 0 || sizeof units - outLeft != 2 * read) {
                    return false;
                }
                for (std::size_t k = 0; k < read; ++k) {
                    const auto lo = static_cast<unsigned char>(units[2 * k]);
                    const auto hi = static_cast<unsigned char>(units[2 * k + 1]);
                    t[lead << 8 | (0x40 + done + k)] = static_cast<char16_t>(lo | hi << 8);
                }
                done += read;
                if (rc == static_cast<std::size_t>(-1)) {
                    t[lead << 8 | (0x40 + done)] = u'\0';
                    ++done;
                }
            }
            return true;
        };
        if (cd != kNoConverter) {
            for (unsigned b = 0; b < 0x100; ++b) {
                const char one = static_cast<char>(b);
                t[b] = b == 0 ? u'\0' : decode(&one, 1);
            }
            for (unsigned lead = 0x81; lead <= 0xFE; ++lead) {
                if (decodeRow(lead)) {
                    continue;
                }
                for (unsigned trail = 0x40; trail <= 0xFE; ++trail) {
                    const char pair[2] = {static_cast<char>(lead), static_cast<char>(trail)};
                    t[lead << 8 | trail] = decode(pair, 2);
                }
            }
            iconv_close(cd);
        }
        return t;
    }();
    return table;
}

// Decodes code page 936 as iconv does: a byte that starts no valid sequence becomes "?" and the
// next byte is read afresh; a lead byte at the very end becomes "?". Writes at most in.size()
// characters to `out` and returns how many.
std::size_t gbkToUtf16(std::string_view in, char16_t* out) {
    const char16_t* table = gbkTable().data();
    char16_t* dst = out;
    const auto* src = reinterpret_cast<const unsigned char*>(in.data());
    const auto* end = src + in.size();
    while (src < end) {
        // Runs of ASCII, the bulk of most pages, go sixteen bytes at a time.
#if defined(__SSE2__)
        const __m128i zero = _mm_setzero_si128();
        while (end - src >= 16) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
            if (_mm_movemask_epi8(bytes) != 0) {
                break;
            }
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_unpacklo_epi8(bytes, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 8), _mm_unpackhi_epi8(bytes, zero));
            src += 16;
            dst += 16;
        }
#endif
        while (src < end && *src < 0x80) {
            *dst++ = static_cast<char16_t>(*src++);
        }
        // A run of two-byte characters (Chinese text), or bytes that start none.
        while (src < end && *src >= 0x80) {
            const unsigned b = *src;
            if (src + 1 < end) {
                const char16_t pair = table[b << 8 | src[1]];
                if (pair != u'\0') {
                    *dst++ = pair;
                    src += 2;
                    continue;
                }
            }
            *dst++ = table[b] != u'\0' ? table[b] : u'?';
            ++src;
        }
    }
    return static_cast<std::size_t>(dst - out);
}

// `out` is replaced; its storage is kept, so a caller that decodes page after page into one
// buffer touches fresh memory only when a page is larger than every one before it.
void gbkToUtf16(std::string_view in, std::u16string& out) {
    if (out.capacity() < in.size()) {
        out.clear();  // nothing to keep: the growth need not copy it
    }
    out.resize(in.size());  // never more characters than bytes
    out.resize(gbkToUtf16(in, out.data()));
}

// UTF-16 to code page 936 through the inverse of gbkTable: entry c is the sequence iconv writes
// for character c, one byte (< 0x100) or lead << 8 | trail; 0 for a character code page 936
// lacks. A character that two sequences decode to (the euro sign, 0x80 and 0xA2E3) takes the one
// iconv writes. (Every character iconv writes is one it also reads: a test holds the two tables
// to iconv on every character.)
const std::vector<std::uint16_t>& unicodeToGbkTable() {
    static const std::vector<std::uint16_t> table = [] {
        std::vector<std::uint16_t> t(0x10000, 0);
        std::vector<char16_t> twice;
        const std::vector<char16_t>& decode = gbkTable();
        for (unsigned code = 0x80; code < 0x10000; ++code) {
            const char16_t c = decode[code];
            if (c == u'\0') {
                continue;
            }
            if (t[c] != 0) {
                twice.push_back(c);
            }
            t[c] = static_cast<std::uint16_t>(code);
        }
        for (unsigned c = 1; c < 0x80; ++c) {
            t[c] = static_cast<std::uint16_t>(c);
        }
        iconv_t cd = iconv_open("CP936", "UTF-16LE");
        for (const char16_t c : cd != kNoConverter ? twice : std::vector<char16_t>{}) {
            const char in[2] = {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
            std::string bytes;
            if (runIconv(cd, std::string_view(in, 2), 2, "?", bytes) && !bytes.empty() &&
                bytes.size() <= 2 && bytes != "?") {
                const auto first = static_cast<unsigned char>(bytes[0]);
                t[c] = static_cast<std::uint16_t>(
                    bytes.size() == 1 ? first : first << 8 | static_cast<unsigned char>(bytes[1]));
            }
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
        if (cd != kNoConverter) {
            iconv_close(cd);
        }
        return t;
    }();
    return table;
}

// Appends the code page 936 form of `unit` (a BMP character that is no surrogate) as iconv
// writes it: "?" when code page 936 has none.
void appendGbk(char16_t unit, std::string& out) {
    const std::uint16_t code = unicodeToGbkTable()[unit];
    if (code >= 0x100) {
        out += static_cast<char>(code >> 8);
        out += static_cast<char>(code & 0xFF);
    } else if (code != 0 || unit == u'\0') {
        out += static_cast<char>(code);
    } else {
        out += '?';
    }
}

// Code page 936 text for UTF-16 `units`, as iconv gives it with the replacements of runIconv:
// a lone surrogate and a whole surrogate pair are one "?" each.
std::string unitsToGbk(std::u16string_view units) {
    std::string out;
    out.reserve(units.size() * 2);
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char16_t unit = units[i];
        if (unit >= 0xD800 && unit < 0xE000) {
            if (unit < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
                units[i + 1] < 0xE000) {
                ++i;
            }
            out += '?';
        } else {
            appendGbk(unit, out);
        }
    }
    return out;
}

// UTF-8 to code page 936 as iconv does with the replacements of runIconv: a byte that starts no
// valid sequence becomes "?" and the next byte is read afresh; a character outside the BMP
// (which code page 936 lacks) is one "?". A lead byte followed by nothing but continuation
// bytes to the end of the text, fewer than its sequence needs, is one "?" for all of them:
// iconv counts leads of the old five- and six-byte forms too, and does not look at the second
// byte's range there.
std::string utf8ToGbk(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    const auto* bytes = reinterpret_cast<const unsigned char*>(utf8.data());
    const std::size_t size = utf8.size();
    const auto continuation = [&](std::size_t at) { return (bytes[at] & 0xC0) == 0x80; };
    std::size_t i = 0;
    while (i < size) {
        const unsigned lead = bytes[i];
        if (lead < 0x80) {
            out += static_cast<char>(lead);
            ++i;
            continue;
        }
        const std::size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                                   : lead >= 0xE0 && lead <= 0xEF ? 3
                                   : lead >= 0xF0 && lead <= 0xF7 ? 4
                                   : lead >= 0xF8 && lead <= 0xFB ? 5
                                   : lead >= 0xFC && lead <= 0xFD ? 6
                                                                  : 0;
        std::size_t following = 0;
        while (length > 0 && following + 1 < length && i + 1 + following < size &&
               continuation(i + 1 + following)) {
            ++following;
        }
        if (length > 0 && following + 1 < length && i + 1 + following == size) {
            out += '?';  // cut off by the end
            break;
        }
        // A whole sequence of at most four bytes, with no overlong form, surrogate or code
        // beyond U+10FFFF.
        const unsigned second = following > 0 ? bytes[i + 1] : 0;
        const bool valid = length >= 2 && length <= 4 && following + 1 == length &&
                           !(lead == 0xE0 && second < 0xA0) && !(lead == 0xED && second > 0x9F) &&
                           !(lead == 0xF0 && second < 0x90) && !(lead == 0xF4 && second > 0x8F) &&
                           lead <= 0xF4;
        if (!valid) {
            out += '?';
            ++i;
            continue;
        }
        unsigned code = lead & (0xFFU >> (length + 1));
        for (std::size_t k = 1; k < length; ++k) {
            code = code << 6 | (bytes[i + k] & 0x3FU);
        }
        if (code >= 0x10000) {
            out += '?';
        } else {
            appendGbk(static_cast<char16_t>(code), out);
        }
        i += length;
    }
    return out;
}

// Code page 936 to UTF-8, decoding as gbkToUtf16 does.
std::string gbkToUtf8(std::string_view gbk) {
    thread_local std::u16string units;
    gbkToUtf16(gbk, units);
    std::string out;
    out.reserve(units.size() * 3);
    for (const char16_t unit : units) {
        if (unit < 0x80) {
            out += static_cast<char>(unit);
        } else if (unit < 0x800) {
            out += static_cast<char>(0xC0 | unit >> 6);
            out += static_cast<char>(0x80 | (unit & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | unit >> 12);
            out += static_cast<char>(0x80 | (unit >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (unit & 0x3F));
        }
    }
    if (units.capacity() > 64 * 1024) {
        std::u16string().swap(units);
    }
    return out;
}

// Decodes bytes in `from` (an iconv name) to UTF-16LE bytes.
std::string decodeToUtf16(std::string_view bytes, const std::string& from) {
    std::string out;
    std::size_t unit = (from == "UTF-16LE" || from == "UTF-16BE") ? 2 : 1;
    if (!runIconv(Converter::get("UTF-16LE", from), bytes, unit, kQuestionUtf16, out)) {
        return {};
    }
    return out;
}

// Encodes UTF-16LE bytes to `to` (an iconv name); characters `to` lacks become "?".
std::string encodeFromUtf16(std::string_view utf16, const std::string& to) {
    std::string out;
    std::string_view question = (to == "UTF-16LE")   ? kQuestionUtf16
                                : (to == "UTF-16BE") ? std::string_view("\0?", 2)
                                                     : std::string_view("?");
    if (!runIconv(Converter::get(to, "UTF-16LE"), utf16, 2, question, out)) {
        return {};
    }
    return out;
}

std::u16string bytesToU16(const std::string& le) {
    std::u16string out(le.size() / 2, u'\0');
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<char16_t>(static_cast<unsigned char>(le[2 * i]) |
                                       (static_cast<unsigned char>(le[2 * i + 1]) << 8));
    }
    return out;
}

std::string u16ToBytes(std::u16string_view u) {
    std::string out(u.size() * 2, '\0');
    for (std::size_t i = 0; i < u.size(); ++i) {
        out[2 * i] = static_cast<char>(u[i] & 0xFF);
        out[2 * i + 1] = static_cast<char>(u[i] >> 8);
    }
    return out;
}

std::u16string widenAscii(std::string_view s) {
    return std::u16string(s.begin(), s.end());
}

bool isAscii16(std::u16string_view s) {
    return std::all_of(s.begin(), s.end(), [](char16_t c) { return c < 0x80; });
}

std::string narrowAscii(std::u16string_view s) {
    std::string out(s.size(), '\0');
    std::transform(s.begin(), s.end(), out.begin(),
                   [](char16_t c) { return static_cast<char>(c); });
    return out;
}

}  // namespace

bool isValidUtf8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = p + text.size();
    auto continuation = [](unsigned char byte) { return (byte & 0xC0) == 0x80; };
    auto asciiWord = [](const unsigned char* at) {
        std::uint64_t word = 0;
        std::memcpy(&word, at, sizeof word);
        return (word & 0x8080808080808080ULL) == 0;
    };
    while (p < end) {
        const unsigned char lead = *p;
        if (lead < 0x80) {
            // A run of ASCII, eight bytes at a time.
            ++p;
            while (end - p >= 8 && asciiWord(p)) {
                p += 8;
            }
            continue;
        }
        if (lead >= 0xE0 && lead <= 0xEF) {  // three bytes: most Chinese text
            if (end - p < 3 || !continuation(p[1]) || !continuation(p[2])) {
                return false;
            }
            p += 3;
            continue;
        }
        std::ptrdiff_t extra = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
        } else {
            return false;
        }
        if (end - p <= extra) {
            return false;
        }
        for (std::ptrdiff_t k = 1; k <= extra; ++k) {
            if (!continuation(p[k])) {
                return false;
            }
        }
        p += extra + 1;
    }
    return true;
}

// ASCII text is the same in both; every column text, bound value and header line of a pass goes
// through one of these two.
Text utf8ToAnsi(std::string_view utf8) {
    return isAscii(utf8) ? Text(utf8) : utf8ToGbk(utf8);
}

std::string ansiToUtf8(std::string_view ansi) {
    return isAscii(ansi) ? std::string(ansi) : gbkToUtf8(ansi);
}

std::u16string ansiToUtf16(std::string_view ansi) {
    std::u16string out;
    gbkToUtf16(ansi, out);
    return out;
}

void ansiToUtf16(std::string_view ansi, std::u16string& out) {
    gbkToUtf16(ansi, out);
}

std::size_t ansiToUtf16(std::string_view ansi, char16_t* out) {
    return gbkToUtf16(ansi, out);
}

Text utf16ToAnsi(std::u16string_view utf16) {
    if (isAscii16(utf16)) {
        return narrowAscii(utf16);
    }
    return unitsToGbk(utf16);
}

std::u16string utf8ToUtf16(std::string_view utf8) {
    if (isAscii(utf8)) {
        return widenAscii(utf8);
    }
    return bytesToU16(decodeToUtf16(utf8, "UTF-8"));
}

std::string utf16ToUtf8(std::u16string_view utf16) {
    if (isAscii16(utf16)) {
        return narrowAscii(utf16);
    }
    return encodeFromUtf16(u16ToBytes(utf16), "UTF-8");
}

Text urlEncode(std::string_view text, bool keepUnreserved, bool asUtf8) {
    if (text.empty()) {
        return {};
    }
    const std::string bytes = asUtf8 ? ansiToUtf8(text) : std::string(text);
    static constexpr char kHex[] = "0123456789ABCDEF";
    Text out;
    out.reserve(bytes.size() * 3);
    for (char ch : bytes) {
        auto c = static_cast<unsigned char>(ch);
        bool keep = keepUnreserved && (c == '-' || c == '.' || (c >= '0' && c <= '9') ||
                                       (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'));
        if (keep) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0x0F]);
        }
    }
    return out;
}

Text decodeUtf16Bytes(std::string_view bytes) {
    std::string_view even = bytes.substr(0, bytes.size() & ~std::size_t{1});
    // The stream reads a leading byte-order mark as a marker, not as text.
    if (even.size() >= 2 && static_cast<unsigned char>(even[0]) == 0xFF &&
        static_cast<unsigned char>(even[1]) == 0xFE) {
        even.remove_prefix(2);
    }
    if (even.empty()) {
        return {};
    }
    return encodeFromUtf16(even, "CP936");
}

Bytes transcodeBytes(std::string_view bytes, std::string_view fromCharset,
                     std::string_view toCharset, std::optional<int> skip) {
    const std::string from = iconvName(fromCharset.empty() ? "UTF-8" : fromCharset);
    const std::string to = iconvName(toCharset.empty() ? "GBK" : toCharset);

    // Like the platform's text stream, reading skips a byte-order mark of the source charset, and
    // writing UTF-8 or "unicode" starts with one (which is what callers pass `skip` to drop).
    std::string_view input = bytes;
    auto startsWith = [&](std::string_view bom) { return input.substr(0, bom.size()) == bom; };
    if (from == "UTF-8" && startsWith("\xEF\xBB\xBF")) {
        input.remove_prefix(3);
    } else if (from == "UTF-16LE" && startsWith("\xFF\xFE")) {
        input.remove_prefix(2);
    } else if (from == "UTF-16BE" && startsWith("\xFE\xFF")) {
        input.remove_prefix(2);
    }

    if (Converter::get("UTF-16LE", from) == kNoConverter ||
        Converter::get(to, "UTF-16LE") == kNoConverter) {
        return {};
    }
    Bytes out;
    if (!input.empty()) {
        out = encodeFromUtf16(decodeToUtf16(input, from), to);
    }
    std::string lowerName;
    for (char c : toCharset) {
        lowerName.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c));
    }
    if (lowerName == "utf-8" || lowerName == "utf8") {
        out.insert(0, "\xEF\xBB\xBF");
    } else if (lowerName == "unicode" || lowerName == "utf-16") {
        out.insert(0, "\xFF\xFE");
    }
    if (skip) {
        auto n = static_cast<std::size_t>(std::max(0, *skip));
        out.erase(0, std::min(n, out.size()));
    }
    return out;
}

}  // namespace vesprey
