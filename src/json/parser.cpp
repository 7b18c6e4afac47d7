// The lenient JSON parser.
//
// One walk over the text with an explicit stack of open containers (no recursion; the depth is
// bounded only by the number of values). Outside tokens the walk skips blanks and opens
// containers; everything else goes to the token reader of the innermost container, which scans
// one element or one member ("name:value") up to the next "," or closing bracket and stores it.
// Token errors report the index of the token's first character (0 when none had started); an
// unclosed container reports the text length + 1.
//
// The values of an open container wait on a stack of their own; when it closes they move into
// one list (or member map) of the exact size. At most kJsonMaxValues values are made, which
// bounds what any text can cost: a value takes a node of 72 bytes, its key and characters, a
// pointer in its container and, when it is a container, that container's header.
#include "json/parser.h"

#include <locale.h>

#include <algorithm>
#include <array>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <charconv>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>

#include "json/arena.h"
#include "json/json.h"
#include "json/nodes.h"

namespace vesprey::json_detail {
namespace {

using namespace json_error;

constexpr char16_t kCr = 13;
constexpr char16_t kLf = 10;

// The stack states of an open container.
constexpr int kNameExpected = 1;   // object: a member name comes next
constexpr int kValueExpected = 2;  // array, or object after "name:"
constexpr int kChildClosed = 3;    // a nested container has just closed inside this one

// The first position in [p, end) that holds `a` or `b`, else `end`. Eight characters at a time
// where the processor can.
const char16_t* findEither(const char16_t* p, const char16_t* end, char16_t a,
                           char16_t b) noexcept {
#if defined(__SSE2__)
    const __m128i wantA = _mm_set1_epi16(static_cast<short>(a));
    const __m128i wantB = _mm_set1_epi16(static_cast<short>(b));
    while (end - p >= 8) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const int hits = _mm_movemask_epi8(
            _mm_or_si128(_mm_cmpeq_epi16(chunk, wantA), _mm_cmpeq_epi16(chunk, wantB)));
        if (hits != 0) {
            return p + (__builtin_ctz(static_cast<unsigned>(hits)) >> 1);
        }
        p += 8;
    }
#endif
    while (p < end && *p != a && *p != b) {
        ++p;
    }
    return p;
}

bool isBlank(char16_t c) noexcept {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

bool isSpace(char16_t c) noexcept {
    return isBlank(c) || c == u'\v' || c == u'\f';
}

// Hexadecimal digit values by character, -1 for the rest.
constexpr auto kHexDigits = [] {
    std::array<signed char, 128> table{};
    for (int c = 0; c < 128; ++c) {
        table[c] = static_cast<signed char>(c >= '0' && c <= '9'   ? c - '0'
                                            : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                            : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                                   : -1);
    }
    return table;
}();

int hexValue(char16_t c) noexcept {
    return c < 128 ? kHexDigits[c] : -1;
}

// The escapes of a name, or of a string's characters between its quotes (`quote` is the
// string's quote character, 0 for a name). \n becomes CR LF, or a lone LF at the very start of a
// name and right after a CR. \uXXXX (only with `decode`) becomes that one code unit, \u0000
// nothing. An unknown escape keeps its backslash. A backslash right before a string's closing
// quote escapes that quote, which then ends the string: nothing of it stays after a double quote,
// the backslash after a single quote. Writes to `out` unless it is null, and returns the number
// of characters, never more than `in` has: a first call counts, a second one writes in place.
std::size_t unescape(std::u16string_view in, bool decode, char16_t quote, char16_t* out) noexcept {
    std::size_t n = 0;
    char16_t last = quote;  // a string's opening quote comes before its characters
    bool any = quote != 0;
    auto put = [&](char16_t c) {
        if (out != nullptr) {
            out[n] = c;
        }
        ++n;
        last = c;
        any = true;
    };
    const char16_t* p = in.data();
    const char16_t* const end = p + in.size();
    while (p < end) {
        if (*p != u'\\') {  // a run up to the next escape (none between two escapes)
            const char16_t* run = p;
            p = findEither(p + 1, end, u'\\', u'\\');
            if (out != nullptr) {
                std::copy(run, p, out + n);
            }
            n += static_cast<std::size_t>(p - run);
            last = p[-1];
            any = true;
            if (p == end) {
                break;
            }
        }
        if (p + 1 == end) {
            if (quote != u'"') {
                put(u'\\');
            }
            break;
        }
        const char16_t d = p[1];
        switch (d) {
            case u'\\':
            case u'/':
            case u'"':
                put(d);
                p += 2;
                continue;
            case u'b':
                put(u'\b');
                p += 2;
                continue;
            case u't':
                put(u'\t');
                p += 2;
                continue;
            case u'r':
                put(kCr);
                p += 2;
                continue;
            case u'f':
                put(u'\f');
                p += 2;
                continue;
            case u'n':
                if (any && last != kCr) {
                    put(kCr);
                }
                put(kLf);
                p += 2;
                continue;
            case u'u':
                if (decode && end - p >= 6) {
                    const int d0 = hexValue(p[2]);
                    const int d1 = hexValue(p[3]);
                    const int d2 = hexValue(p[4]);
                    const int d3 = hexValue(p[5]);
                    if ((d0 | d1 | d2 | d3) >= 0) {
                        const auto value =
                            static_cast<unsigned>((d0 << 12) | (d1 << 8) | (d2 << 4) | d3);
                        if (value != 0) {
                            put(static_cast<char16_t>(value));
                        }
                        p += 6;
                        continue;
                    }
                }
                break;
            default:
                break;
        }
        put(u'\\');
        ++p;
    }
    return n;
}

// The number check: characters up to 32 are ignored; the first must be a sign, a digit or a
// point, later ones digits, a point, an exponent letter or a sign; at most one point, one
// exponent letter and one sign after the first character.
bool isNumber(std::u16string_view token, bool& isReal) noexcept {
    bool first = true;
    int points = 0;
    int exponents = 0;
    int signs = 0;
    for (const char16_t c : token) {
        if (c <= 32) {
            continue;
        }
        const bool digit = c >= u'0' && c <= u'9';
        if (first) {
            if (!digit && c != u'+' && c != u'-' && c != u'.') {
                return false;
            }
            points += c == u'.' ? 1 : 0;
            first = false;
            continue;
        }
        if (digit) {
            continue;
        }
        if (c == u'.') {
            if (++points > 1) {
                return false;
            }
        } else if (c == u'e' || c == u'E') {
            if (++exponents > 1) {
                return false;
            }
        } else if (c == u'+' || c == u'-') {
            if (++signs > 1) {
                return false;
            }
        } else {
            return false;
        }
    }
    isReal = points > 0 || exponents > 0 || signs > 0;
    return !first;
}

std::u16string_view trimBlanks(std::u16string_view s) noexcept {
    while (!s.empty() && isBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && isBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

// A classified token: the kind and the value; `chars` is a number's literal text or a string's
// characters as they stand between its quotes (with their escapes when `escaped`).
struct Scalar {
    JsonKind kind = JsonKind::Null;
    std::u16string_view chars;
    bool escaped = false;
    char16_t quote = 0;
    double real = 0;
    std::int64_t integer = 0;
    bool boolean = false;
};

// A stack whose first N items live inside the parser: the parse of a short answer allocates
// nothing for it. T is copied as bytes.
template <typename T, std::size_t N>
class InlineStack {
public:
    InlineStack() = default;
    InlineStack(const InlineStack&) = delete;
    InlineStack& operator=(const InlineStack&) = delete;

    bool empty() const noexcept { return size_ == 0; }
    std::size_t size() const noexcept { return size_; }
    T* data() noexcept { return data_; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + size_; }
    T& operator[](std::size_t k) noexcept { return data_[k]; }
    T& back() noexcept { return data_[size_ - 1]; }

    // Throws bad_alloc when it cannot grow, leaving the stack as it was.
    void push_back(const T& item) {
        if (size_ == capacity_) {
            grow();
        }
        data_[size_++] = item;
    }
    void pop_back() noexcept { --size_; }
    void shrink(std::size_t size) noexcept { size_ = size; }
    void clear() noexcept { size_ = 0; }

private:
    void grow() {
        const std::size_t capacity = capacity_ * 2;
        std::unique_ptr<T[]> grown(new T[capacity]);
        std::memcpy(grown.get(), data_, size_ * sizeof(T));
        heap_ = std::move(grown);
        data_ = heap_.get();
        capacity_ = capacity;
    }

    T inline_[N];
    T* data_ = inline_;
    std::size_t size_ = 0;
    std::size_t capacity_ = N;
    std::unique_ptr<T[]> heap_;
};

class Parser {
public:
    Parser(JsonValue* root, std::u16string_view text, bool decode, bool ignoreTopLevelText)
        : root_(root), text_(text), decode_(decode), ignoreTop_(ignoreTopLevelText) {
        // The nodes come from the root's heap; on the default heap, from an arena of this parse.
        if (root_ != nullptr) {
            heap_ = root_->heap();
            if (heap_ == std::pmr::get_default_resource() && !text_.empty()) {
                try {
                    arena_ = JsonArena::create(heap_);
                } catch (const std::bad_alloc&) {
                    arena_ = nullptr;
                }
            }
        }
    }
    ~Parser() {
        if (arena_ != nullptr) {
            if (filled_) {
                JsonNodes::markArenaOwner(root_);
            }
            arena_->seal(filled_ ? root_ : nullptr);
        }
    }
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    std::int32_t run(std::int32_t& position) noexcept {
        position = 0;
        const std::size_t len = text_.size();
        if (root_ == nullptr || len == 0) {
            return kEmpty;
        }
        JsonNodes::clearContents(root_);

        std::int32_t rc = kNone;
        try {
            for (i_ = 0; i_ <= len; ++i_) {
                const char16_t c = i_ < len ? text_[i_] : u'\0';
                if (c == u'\0' || isBlank(c)) {
                    continue;
                }
                rc = (c == u'{' || c == u'[') ? openContainer(c, {}, false) : readToken();
                if (rc != kNone) {
                    break;
                }
            }
        } catch (const std::bad_alloc&) {
            rc = kNoMemory;
        }
        if (rc == kNone && !stack_.empty()) {
            rc = kUnclosed;  // the walk has run to len + 1
        }
        if (rc != kNone) {
            // The values still waiting belong to no container yet (those linked into the root
            // when it was reopened are null).
            for (JsonValue* v : waiting_) {
                if (v != nullptr) {
                    JsonNodes::drop(v);
                }
            }
            waiting_.clear();
            JsonNodes::clearContents(root_);
            position = static_cast<std::int32_t>(
                std::min<std::size_t>(i_, std::numeric_limits<std::int32_t>::max()));
        }
        filled_ = rc == kNone;
        return rc;
    }

private:
    struct Entry {
        JsonValue* node;
        int state;
        std::uint32_t firstWaiting;  // where its values start in waiting_
    };

    // Whether one more value may be made.
    bool roomForValue() noexcept {
        if (made_ == static_cast<std::size_t>(kJsonMaxValues)) {
            return false;
        }
        ++made_;
        return true;
    }

    JsonValue* makeNode(JsonKind kind, std::size_t extraChars) {
        return arena_ != nullptr ? JsonNodes::makeIn(kind, arena_, extraChars)
                                 : JsonNodes::make(kind, heap_, extraChars);
    }

    // A new value of the innermost container waits for it to close. Releases the value when
    // there is no room to keep it.
    void keep(JsonValue* v) {
        try {
            waiting_.push_back(v);
        } catch (const std::bad_alloc&) {
            JsonNodes::drop(v);
            throw;
        }
    }

    // Closes the innermost container: its waiting values move into it.
    std::int32_t closeContainer() {
        const Entry top = stack_.back();
        JsonValue** first = waiting_.data() + top.firstWaiting;
        const std::size_t count = waiting_.size() - top.firstWaiting;
        try {
            if (JsonNodes::items(top.node) == nullptr) {
                JsonNodes::adoptAll(top.node, first, count);
            } else {
                // The root reopened by a second top-level container: one by one.
                for (std::size_t k = 0; k < count; ++k) {
                    if (top.node->kind() == JsonKind::Object) {
                        JsonNodes::putMember(top.node, first[k]);
                    } else {
                        JsonNodes::append(top.node, first[k]);
                    }
                    first[k] = nullptr;
                }
            }
        } catch (const std::bad_alloc&) {
            return kNoMemory;  // the values still waiting are released with the failure
        }
        waiting_.shrink(top.firstWaiting);
        stack_.pop_back();
        if (!stack_.empty()) {
            stack_.back().state = kChildClosed;
        }
        return kNone;
    }

    // Opens an object or array at i_: the root when nothing is open, else a new child of the
    // innermost container, which must be expecting a value (and, for an object, have a name).
    std::int32_t openContainer(char16_t bracket, std::u16string_view rawName, bool nameEscaped) {
        const JsonKind kind = bracket == u'{' ? JsonKind::Object : JsonKind::Array;
        const int state = kind == JsonKind::Object ? kNameExpected : kValueExpected;
        try {
            if (stack_.empty()) {
                if (root_->kind() != kind) {
                    JsonNodes::reset(root_, kind);
                }
                stack_.push_back({root_, state, static_cast<std::uint32_t>(waiting_.size())});
                return kNone;
            }
            const Entry top = stack_.back();
            if (top.state != kValueExpected) {
                return kObjectSyntax;
            }
            const bool member = top.node->kind() == JsonKind::Object;
            if (member && rawName.empty()) {
                return kObjectSyntax;
            }
            if (!roomForValue()) {
                return kTooLarge;
            }
            const std::u16string_view key =
                member ? unescaped(rawName, nameEscaped, 0, keyScratch_) : std::u16string_view{};
            JsonValue* child = makeNode(kind, key.size());
            if (member) {
                JsonNodes::placeKey(child, 0, key);
            }
            keep(child);
            stack_.push_back({child, state, static_cast<std::uint32_t>(waiting_.size())});
        } catch (const std::bad_alloc&) {
            return kNoMemory;  // a child made is waiting: it goes with the failure
        }
        return kNone;
    }

    std::int32_t readToken() {
        if (stack_.empty()) {
            return readTopLevel();
        }
        return stack_.back().node->kind() == JsonKind::Array ? readElement() : readMember();
    }

    // Text outside any container: ignored, or the whole text is the document's one value.
    std::int32_t readTopLevel() {
        if (ignoreTop_) {
            return kNone;
        }
        const std::u16string_view token = trimBlanks(text_);
        Scalar s;
        if (const std::int32_t rc = classify(token, token.find(u'\\') != token.npos, s);
            rc != kNone) {
            i_ = 0;
            return rc;
        }
        try {
            switch (s.kind) {
                case JsonKind::String:
                    JsonNodes::assignString(root_,
                                            unescaped(s.chars, s.escaped, s.quote, charsScratch_));
                    break;
                case JsonKind::Real:
                    JsonNodes::assignReal(root_, s.real, s.chars);
                    break;
                case JsonKind::Integer:
                    JsonNodes::assignInteger(root_, s.integer, s.chars);
                    break;
                case JsonKind::Boolean:
                    JsonNodes::assignBoolean(root_, s.boolean);
                    break;
                default:
                    JsonNodes::reset(root_, JsonKind::Null);
                    break;
            }
        } catch (const std::bad_alloc&) {
            i_ = 0;
            return kNoMemory;
        }
        i_ = text_.size();  // the whole text is consumed
        return kNone;
    }

    // One element of the innermost array, up to "," or "]".
    std::int32_t readElement() {
        const std::size_t depth = stack_.size() - 1;
        JsonValue* array = stack_[depth].node;
        if (stack_[depth].state == kChildClosed) {
            stack_[depth].state = kValueExpected;
            if (text_[i_] == u',') {
                return kNone;
            }
        }
        if (stack_[depth].state != kValueExpected) {
            return kBadValue;
        }
        for (std::int32_t rc = kNone; readPlainElement(array, rc);) {
            if (!nextPlain(rc, depth, true)) {
                return rc;
            }
        }
        const std::size_t len = text_.size();
        std::size_t o = i_;
        std::size_t end = i_;
        bool started = false;
        bool escaped = false;
        char16_t quote = 0;
        bool stop = false;
        bool closes = false;
        while (!stop && i_ < len) {
            if (quote != 0 && skipQuoted(quote)) {
                started = true;
                end = i_;
                continue;
            }
            const char16_t c = text_[i_];
            if (quote == 0 && isBlank(c)) {
                ++i_;
                if (!started) {
                    o = i_;
                }
                continue;
            }
            switch (c) {
                case u'"':
                case u'\'':
                    if (quote == 0) {
                        quote = c;
                    } else if (quote == c) {
                        quote = 0;
                    }
                    break;
                case u'\\':
                    skipEscape();
                    started = true;
                    escaped = true;
                    end = i_;
                    continue;
                case u'{':
                case u'[':
                    if (quote != 0) {
                        break;
                    }
                    if (!started) {
                        return openContainer(c, {}, false);
                    }
                    i_ = o;
                    return kBadValue;
                case u']':
                    if (quote != 0) {
                        break;
                    }
                    closes = true;
                    stop = true;
                    continue;
                case u',':
                    if (quote != 0) {
                        break;
                    }
                    stop = true;
                    continue;
                default:
                    break;
            }
            started = true;
            end = ++i_;
        }
        if (quote != 0) {
            i_ = o;
            return kOpenQuote;
        }
        if (started) {
            if (const std::int32_t rc =
                    store(array, text_.substr(o, end - o), escaped, {}, false, o);
                rc != kNone) {
                return rc;
            }
        }  // else an empty element, as in [1,,2] or [1,]
        return closes ? closeContainer() : kNone;
    }

    // One member of the innermost object, "name:value" up to "," or "}".
    std::int32_t readMember() {
        const std::size_t depth = stack_.size() - 1;
        JsonValue* object = stack_[depth].node;
        if (stack_[depth].state == kChildClosed) {
            stack_[depth].state = kNameExpected;
            if (text_[i_] == u',') {
                return kNone;
            }
        }
        if (stack_[depth].state != kNameExpected) {
            return kObjectSyntax;
        }
        for (std::int32_t rc = kNone; readPlainMember(object, depth, rc);) {
            if (!nextPlain(rc, depth, false)) {
                return rc;
            }
        }
        const std::size_t len = text_.size();
        std::size_t nameStart = i_;
        std::size_t nameEnd = i_;
        bool nameChars = false;
        bool quotedName = false;
        bool closedName = false;
        bool nameEscaped = false;
        bool readingValue = false;
        std::size_t o = 0;
        std::size_t valueEnd = 0;
        bool valueChars = false;
        bool valueEscaped = false;
        char16_t quote = 0;
        bool endedAtBrace = false;
        bool stop = false;

        auto count = [&] {
            if (readingValue) {
                valueChars = true;
                valueEnd = i_;
            } else {
                nameChars = true;
                nameEnd = i_;
            }
        };

        while (!stop && i_ < len) {
            if (quote != 0 && skipQuoted(quote)) {
                count();
                continue;
            }
            const char16_t c = text_[i_];
            if (quote == 0 && isBlank(c)) {
                ++i_;
                if (!readingValue && !nameChars) {
                    nameStart = i_;
                } else if (readingValue && !valueChars) {
                    o = i_;
                }
                continue;
            }
            if (c == u'"' || c == u'\'') {
                if (quote == 0) {
                    quote = c;
                    if (!readingValue) {
                        if (nameChars || closedName) {
                            return kObjectSyntax;  // a quote after the name's characters
                        }
                        quotedName = true;
                        ++i_;
                        nameStart = nameEnd = i_;
                    } else {
                        ++i_;
                        count();
                    }
                } else if (quote == c) {
                    quote = 0;
                    ++i_;
                    if (readingValue) {
                        valueEnd = i_;
                    } else {
                        closedName = true;
                    }
                } else {
                    ++i_;
                    count();
                }
                continue;
            }
            if (c == u'\\') {
                if (quote == 0 && !readingValue && closedName) {
                    return kObjectSyntax;
                }
                skipEscape();
                (readingValue ? valueEscaped : nameEscaped) = true;
                count();
                continue;
            }
            if (quote == 0) {
                if (c == u':' && !readingValue) {
                    if (!nameChars) {
                        return kObjectSyntax;  // an empty name
                    }
                    ++i_;
                    o = valueEnd = i_;
                    readingValue = true;
                    stack_[depth].state = kValueExpected;
                    continue;
                }
                if (c == u'{' || c == u'[') {
                    if (!valueChars) {
                        return openContainer(c, rawName(nameStart, nameEnd, nameChars),
                                             nameEscaped);
                    }
                    i_ = o;
                    return kBadValue;
                }
                if (c == u'}') {
                    if (!nameChars && !quotedName) {
                        return closeContainer();  // {} or a trailing comma
                    }
                    endedAtBrace = true;
                    stop = true;
                    continue;
                }
                if (c == u',') {
                    stop = true;
                    continue;
                }
                if (!readingValue && closedName) {
                    return kObjectSyntax;  // characters between a quoted name and its ":"
                }
            }
            ++i_;
            count();
        }

        const bool nameRead = nameChars || quotedName;
        if (readingValue && !nameRead) {
            i_ = nameStart;
            return kObjectSyntax;
        }
        if (nameRead && !readingValue) {
            i_ = o;
            return kBadValue;  // a name without a value
        }
        if (quote != 0) {
            i_ = nameRead ? nameStart : o;
            return kOpenQuote;
        }
        if (!valueChars) {
            i_ = o;
            return kBadValue;  // an empty member, as in {,"a":1}
        }
        if (const std::int32_t rc = store(object, text_.substr(o, valueEnd - o), valueEscaped,
                                          rawName(nameStart, nameEnd, nameChars), nameEscaped, o);
            rc != kNone) {
            return rc;
        }
        if (endedAtBrace) {
            return closeContainer();
        }
        stack_[depth].state = kNameExpected;
        return kNone;
    }

    // The common shapes, read without the general readers' bookkeeping: a double-quoted name,
    // ":", then a double-quoted string, a bare token of letters, digits, points and signs, or an
    // opening bracket; blanks between; then "," or the closing bracket. They end in the same
    // state and call the same functions with the same arguments as the general readers would.
    // Anything else gives false with i_ where it was, and the general reader takes over.

    static bool isPlainChar(char16_t c) noexcept {
        return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
               c == u'.' || c == u'-' || c == u'+';
    }

    void skipBlanks() noexcept {
        while (i_ < text_.size() && isBlank(text_[i_])) {
            ++i_;
        }
    }

    // From an opening double quote at i_ to past its closing one, escapes skipped as the general
    // readers skip them. False when the text ends first.
    bool skipString(bool& escaped) noexcept {
        const char16_t* const begin = text_.data();
        const char16_t* const end = begin + text_.size();
        const char16_t* p = begin + i_ + 1;
        while (true) {
            p = findEither(p, end, u'"', u'\\');
            if (p == end) {
                return false;
            }
            if (*p == u'"') {
                i_ = static_cast<std::size_t>(p - begin) + 1;
                return true;
            }
            escaped = true;
            do {  // a run of escapes (as in Chinese sent as \uXXXX), each as skipEscape takes it
                const std::ptrdiff_t step = end - p > 1 && p[1] == u'u' ? 6 : 2;
                if (end - p <= step) {
                    return false;
                }
                p += step;
            } while (*p == u'\\');
        }
    }

    // A string or a bare token from i_; false when there is neither.
    bool skipScalar(bool& escaped) noexcept {
        const std::size_t from = i_;
        if (text_[i_] == u'"') {
            return skipString(escaped);
        }
        while (i_ < text_.size() && isPlainChar(text_[i_])) {
            ++i_;
        }
        return i_ != from;
    }

    // After a plain member or element that `rc` reports: whether the next one follows at once
    // after the "," at i_ and blanks (a quote, or for an element a bare token). Then i_ moves to
    // it, as the walk would bring the general reader there; else the walk goes on from i_.
    bool nextPlain(std::int32_t rc, std::size_t depth, bool element) noexcept {
        if (rc != kNone || stack_.size() != depth + 1 || text_[i_] != u',') {
            return false;  // a failure, a container opened or closed
        }
        std::size_t next = i_ + 1;
        while (next < text_.size() && isBlank(text_[next])) {
            ++next;
        }
        if (next == text_.size() ||
            (text_[next] != u'"' && !(element && isPlainChar(text_[next])))) {
            return false;
        }
        i_ = next;
        return true;
    }

    bool readPlainElement(const JsonValue* array, std::int32_t& rc) {
        const std::size_t o = i_;
        if (text_[i_] == u']') {
            rc = closeContainer();
            return true;
        }
        bool escaped = false;
        if (!skipScalar(escaped)) {
            i_ = o;
            return false;
        }
        const std::size_t end = i_;
        skipBlanks();
        if (i_ == text_.size() || (text_[i_] != u',' && text_[i_] != u']')) {
            i_ = o;
            return false;
        }
        const bool closes = text_[i_] == u']';
        rc = store(array, text_.substr(o, end - o), escaped, {}, false, o);
        if (rc == kNone && closes) {
            rc = closeContainer();
        }
        return true;
    }

    bool readPlainMember(const JsonValue* object, std::size_t depth, std::int32_t& rc) {
        const std::size_t start = i_;
        if (text_[i_] == u'}') {
            rc = closeContainer();
            return true;
        }
        bool nameEscaped = false;
        if (text_[i_] != u'"' || !skipString(nameEscaped) || i_ == start + 2) {
            i_ = start;
            return false;
        }
        const std::u16string_view name = text_.substr(start + 1, i_ - start - 2);
        skipBlanks();
        if (i_ == text_.size() || text_[i_] != u':') {
            i_ = start;
            return false;
        }
        ++i_;
        skipBlanks();
        if (i_ == text_.size()) {
            i_ = start;
            return false;
        }
        const std::size_t o = i_;
        if (text_[i_] == u'{' || text_[i_] == u'[') {
            stack_[depth].state = kValueExpected;
            rc = openContainer(text_[i_], name, nameEscaped);
            return true;
        }
        bool escaped = false;
        if (!skipScalar(escaped)) {
            i_ = start;
            return false;
        }
        const std::size_t end = i_;
        skipBlanks();
        if (i_ == text_.size() || (text_[i_] != u',' && text_[i_] != u'}')) {
            i_ = start;
            return false;
        }
        const bool closes = text_[i_] == u'}';
        rc = store(object, text_.substr(o, end - o), escaped, name, nameEscaped, o);
        if (rc == kNone) {
            if (closes) {
                rc = closeContainer();
            } else {
                stack_[depth].state = kNameExpected;
            }
        }
        return true;
    }

    std::u16string_view rawName(std::size_t start, std::size_t end, bool any) const {
        return any ? text_.substr(start, end - start) : std::u16string_view{};
    }

    // Inside quotes only the closing quote and a backslash matter: moves i_ to the next of
    // either (or the end). True when it moved.
    bool skipQuoted(char16_t quote) noexcept {
        const std::size_t from = i_;
        const char16_t* s = text_.data();
        i_ = static_cast<std::size_t>(findEither(s + i_, s + text_.size(), quote, u'\\') - s);
        return i_ != from;
    }

    // Past a backslash and the character after it, or past a whole \uXXXX.
    void skipEscape() noexcept {
        const bool unicode = i_ + 1 < text_.size() && text_[i_ + 1] == u'u';
        i_ = std::min(i_ + (unicode ? 6 : 2), text_.size());
    }

    // A name, or a string's characters, as they go into the node: escaped ones are unescaped
    // once into `scratch` (never longer than their escaped form), then copied from there.
    std::u16string_view unescaped(std::u16string_view raw, bool escaped, char16_t quote,
                                  std::u16string& scratch) const {
        return escaped ? unescapedCopy(raw, quote, scratch) : raw;
    }
    std::u16string_view unescapedCopy(std::u16string_view raw, char16_t quote,
                                      std::u16string& scratch) const {
        scratch.resize(raw.size());
        scratch.resize(unescape(raw, decode_, quote, scratch.data()));
        return scratch;
    }

    // Classifies the token and makes the value, a new one of `container` (under the name for
    // an object).
    std::int32_t store(const JsonValue* container, std::u16string_view token, bool escaped,
                       std::u16string_view name, bool nameEscaped, std::size_t o) {
        Scalar s;
        if (const std::int32_t rc = classify(token, escaped, s); rc != kNone) {
            i_ = o;
            return rc;
        }
        if (!roomForValue()) {
            i_ = o;
            return kTooLarge;
        }
        const bool member = container->kind() == JsonKind::Object;
        try {
            const bool hasChars = s.kind == JsonKind::String || s.kind == JsonKind::Real ||
                                  s.kind == JsonKind::Integer;
            const std::u16string_view key =
                member ? unescaped(name, nameEscaped, 0, keyScratch_) : std::u16string_view{};
            if (s.escaped && arena_ != nullptr) {
                // Unescaped straight into the node, in room for the escaped form (never shorter);
                // what it does not need goes back to the arena.
                JsonValue* v = JsonNodes::makeIn(s.kind, arena_, key.size() + s.chars.size());
                if (member) {
                    JsonNodes::placeKey(v, 0, key);
                }
                char16_t* at = JsonNodes::extra(v) + key.size();
                const std::size_t n = unescape(s.chars, decode_, s.quote, at);
                JsonNodes::trimIn(v, arena_, key.size() + n);
                JsonNodes::fill(v, key.size(), s.kind, {at, n}, s.real, s.integer, s.boolean);
                keep(v);
                return kNone;
            }
            const std::u16string_view chars =
                hasChars ? unescaped(s.chars, s.escaped, s.quote, charsScratch_)
                         : std::u16string_view{};
            JsonValue* v = makeNode(s.kind, key.size() + chars.size());
            if (member) {
                JsonNodes::placeKey(v, 0, key);
            }
            JsonNodes::fill(v, key.size(), s.kind, chars, s.real, s.integer, s.boolean);
            keep(v);
        } catch (const std::bad_alloc&) {
            i_ = o;
            return kNoMemory;
        }
        return kNone;
    }

    std::int32_t classify(std::u16string_view token, bool escaped, Scalar& s) {
        if (token.empty()) {
            return kBadValue;
        }
        const char16_t first = token.front();
        if (first == u'"' || first == u'\'') {
            if (token.size() < 2 || token.back() != first) {
                return kBadValue;
            }
            s.kind = JsonKind::String;
            s.chars = token.substr(1, token.size() - 2);
            s.escaped = escaped;
            s.quote = first;
            return kNone;
        }
        using namespace std::string_view_literals;  // lengths known when compiling
        if (token == u"null"sv) {
            s.kind = JsonKind::Null;
            return kNone;
        }
        if (token == u"true"sv || token == u"false"sv) {
            s.kind = JsonKind::Boolean;
            s.boolean = first == u't';
            return kNone;
        }
        s.chars = token;
        if (readPlainInteger(token, s.integer)) {
            s.kind = JsonKind::Integer;
            return kNone;
        }
        bool real = false;
        if (!isNumber(token, real)) {
            return kBadValue;
        }
        if (real) {
            s.kind = JsonKind::Real;
            s.real = readReal(token);
        } else {
            s.kind = JsonKind::Integer;
            s.integer = readInteger(token);
        }
        return kNone;
    }

    // The common integer, an optional minus and at most 18 digits, read at once: isNumber would
    // take it for an integer and readInteger would give the same value (it cannot overflow).
    static bool readPlainInteger(std::u16string_view token, std::int64_t& value) noexcept {
        const std::size_t from = token.front() == u'-' ? 1 : 0;
        if (token.size() <= from || token.size() > 18) {
            return false;
        }
        std::int64_t v = 0;
        for (std::size_t k = from; k < token.size(); ++k) {
            const unsigned digit = static_cast<unsigned>(token[k]) - u'0';
            if (digit > 9) {
                return false;
            }
            v = v * 10 + digit;
        }
        value = from != 0 ? -v : v;
        return true;
    }

    JsonValue* root_;
    std::pmr::memory_resource* heap_ = nullptr;
    JsonArena* arena_ = nullptr;
    bool filled_ = false;  // the parse succeeded
    std::u16string_view text_;
    bool decode_;
    bool ignoreTop_;
    std::u16string keyScratch_;    // the last escaped name, unescaped
    std::u16string charsScratch_;  // the last escaped string, unescaped
    std::size_t i_ = 0;
    std::size_t made_ = 0;  // values made, against kJsonMaxValues
    InlineStack<Entry, 32> stack_;
    InlineStack<JsonValue*, 128> waiting_;  // values of the open containers, innermost last
};

locale_t cLocale() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", locale_t{});
    return locale;
}

}  // namespace

std::int32_t parseInto(JsonValue* root, std::u16string_view text, bool decodeUnicodeEscapes,
                       bool ignoreTopLevelText, std::int32_t& errorPosition) noexcept {
    text =
        text.substr(0, static_cast<std::size_t>(
                           findEither(text.data(), text.data() + text.size(), 0, 0) - text.data()));
    Parser parser(root, text, decodeUnicodeEscapes, ignoreTopLevelText);
    return parser.run(errorPosition);
}

std::int64_t readInteger(std::u16string_view s) noexcept {
    std::size_t k = 0;
    while (k < s.size() && isSpace(s[k])) {
        ++k;
    }
    bool negative = false;
    if (k < s.size() && (s[k] == u'-' || s[k] == u'+')) {
        negative = s[k] == u'-';
        ++k;
    }
    // Accumulate toward the sign so that the most negative value is reachable.
    std::int64_t value = 0;
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    for (; k < s.size() && s[k] >= u'0' && s[k] <= u'9'; ++k) {
        const int digit = s[k] - u'0';
        if (negative) {
            if (value < (kMin + digit) / 10) {
                return kMin;
            }
            value = value * 10 - digit;
        } else {
            if (value > (kMax - digit) / 10) {
                return kMax;
            }
            value = value * 10 + digit;
        }
    }
    return value;
}

double readReal(std::u16string_view s) noexcept {
    std::size_t k = 0;
    while (k < s.size() && isSpace(s[k])) {
        ++k;
    }
    // The number's characters, narrowed; the reader stops at the first one that does not fit.
    char buffer[128];
    std::string longer;
    std::size_t n = 0;
    const std::size_t start = k;
    for (; k < s.size(); ++k) {
        const char16_t c = s[k];
        const bool fits = (c >= u'0' && c <= u'9') || c == u'.' || c == u'e' || c == u'E' ||
                          c == u'+' || c == u'-';
        if (!fits) {
            break;
        }
    }
    n = k - start;
    char* chars = buffer;
    try {
        if (n >= sizeof buffer) {
            longer.resize(n + 1);
            chars = longer.data();
        }
    } catch (const std::bad_alloc&) {
        return 0;
    }
    for (std::size_t j = 0; j < n; ++j) {
        chars[j] = static_cast<char>(s[start + j]);
    }
    chars[n] = '\0';

    const char* p = chars;
    const char* end = chars + n;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    if (p == end || !((*p >= '0' && *p <= '9') || *p == '.')) {
        return 0;
    }
    double value = 0;
    const auto [last, ec] = std::from_chars(p, end, value);
    if (ec == std::errc::result_out_of_range) {
        value = strtod_l(p, nullptr, cLocale());  // the overflowing or underflowing result
    } else if (ec != std::errc{}) {
        return 0;
    }
    (void)last;
    return negative ? -value : value;
}

}  // namespace vesprey::json_detail
