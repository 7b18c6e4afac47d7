#include <algorithm>
#include <charconv>
#include <cmath>
#include <exception>
#include <limits>
#include <memory>
#include <utility>

#include "json/json.h"
#include "json/nodes.h"
#include "json/parser.h"
#include "json/path.h"
#include "json/writer.h"

namespace vesprey {
namespace {

using json_detail::PathSegment;

std::string_view untilNul(std::string_view s) noexcept {
    const std::size_t nul = s.find('\0');
    return nul == s.npos ? s : s.substr(0, nul);
}

std::u16string_view untilNul(std::u16string_view s) noexcept {
    const std::size_t nul = s.find(u'\0');
    return nul == s.npos ? s : s.substr(0, nul);
}

// Code page 936 text (up to its first NUL) as UTF-16, in place when it is short: paths, names
// and the short answers that most parses read allocate nothing for it.
class Wide {
public:
    explicit Wide(std::string_view gbk) {
        gbk = untilNul(gbk);
        char16_t* out = local_;
        if (gbk.size() > kLocal) {
            heap_.reset(new char16_t[gbk.size()]);  // left uninitialized: it is written next
            out = heap_.get();
        }
        view_ = {out, ansiToUtf16(gbk, out)};
    }
    Wide(const Wide&) = delete;
    Wide& operator=(const Wide&) = delete;
    operator std::u16string_view() const noexcept { return view_; }

private:
    static constexpr std::size_t kLocal = 512;
    char16_t local_[kLocal];
    std::unique_ptr<char16_t[]> heap_;
    std::u16string_view view_;
};

Wide widen(std::string_view gbk) {
    return Wide(gbk);
}

// A path of either form as UTF-16.
std::u16string_view utf16Path(std::u16string_view path) noexcept {
    return path;
}
Wide utf16Path(std::string_view path) {
    return widen(path);
}

// Runs `body`; a failed allocation (or any other exception) gives `fallback`.
template <typename R, typename F>
R guarded(R fallback, F&& body) noexcept {
    try {
        return body();
    } catch (const std::exception&) {
        return fallback;
    }
}

std::u16string asciiToUtf16(std::string_view s) {
    return std::u16string(s.begin(), s.end());
}

// The literal of a number set by value: the shortest decimal text that reads back the same.
std::u16string formatReal(double value) {
    if (!std::isfinite(value)) {
        return u"null";  // JSON has no text for these
    }
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return asciiToUtf16(std::string_view(buffer, static_cast<std::size_t>(result.ptr - buffer)));
}

std::u16string formatInteger(std::int64_t value) {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return asciiToUtf16(std::string_view(buffer, static_cast<std::size_t>(result.ptr - buffer)));
}

// A string read by GetInt32: an optional minus sign, then digits.
std::int32_t readInt32Prefix(std::u16string_view s) noexcept {
    std::size_t k = 0;
    const bool negative = !s.empty() && s[0] == u'-';
    k += negative ? 1 : 0;
    std::int64_t value = 0;
    for (; k < s.size() && s[k] >= u'0' && s[k] <= u'9'; ++k) {
        value = std::min<std::int64_t>(value * 10 + (s[k] - u'0'), std::int64_t{1} << 32);
    }
    value = negative ? -value : value;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(
        value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

// Truncation toward zero that saturates instead of overflowing; NaN gives 0.
template <typename Int>
Int truncateReal(double d) noexcept {
    if (std::isnan(d)) {
        return 0;
    }
    constexpr double kTop = -static_cast<double>(std::numeric_limits<Int>::min());  // 2^(bits-1)
    if (d >= kTop) {
        return std::numeric_limits<Int>::max();
    }
    if (d <= -kTop) {
        return std::numeric_limits<Int>::min();
    }
    return static_cast<Int>(d);
}

std::u16string_view textOf(const JsonValue* v) noexcept {
    if (v == nullptr) {
        return {};
    }
    switch (v->kind()) {
        case JsonKind::String:
            return v->string();
        case JsonKind::Real:
        case JsonKind::Integer:
        case JsonKind::Boolean:
            return v->literal();
        default:
            return {};
    }
}

std::int32_t toInt32(const JsonValue* v) noexcept {
    if (v == nullptr) {
        return 0;
    }
    switch (v->kind()) {
        case JsonKind::Real:
            return truncateReal<std::int32_t>(v->realValue());
        case JsonKind::Integer:
            return static_cast<std::int32_t>(static_cast<std::uint32_t>(v->integerValue()));
        case JsonKind::Boolean:
            return v->booleanValue() ? 1 : 0;
        case JsonKind::String:
            return readInt32Prefix(v->string());
        default:
            return 0;
    }
}

std::int64_t toInteger(const JsonValue* v) noexcept {
    if (v == nullptr) {
        return 0;
    }
    switch (v->kind()) {
        case JsonKind::Real:
            return truncateReal<std::int64_t>(v->realValue());
        case JsonKind::Integer:
            return v->integerValue();
        case JsonKind::Boolean:
            return v->booleanValue() ? 1 : 0;
        case JsonKind::String:
            return json_detail::readInteger(v->string());
        default:
            return 0;
    }
}

double toReal(const JsonValue* v) noexcept {
    if (v == nullptr) {
        return 0;
    }
    switch (v->kind()) {
        case JsonKind::Real:
            return v->realValue();
        case JsonKind::Integer:
            return static_cast<double>(v->integerValue());
        case JsonKind::Boolean:
            return v->booleanValue() ? 1.0 : 0.0;
        case JsonKind::String:
            return json_detail::readReal(v->string());
        default:
            return 0;
    }
}

bool toBoolean(const JsonValue* v) noexcept {
    if (v == nullptr) {
        return false;
    }
    switch (v->kind()) {
        case JsonKind::Real:
            return std::fabs(v->realValue()) > 0.0000001;
        case JsonKind::Integer:
            return v->integerValue() != 0;
        case JsonKind::Boolean:
            return v->booleanValue();
        default:
            return false;
    }
}

void ensureKind(JsonValue* v, JsonKind kind) noexcept {
    if (v->kind() != kind) {
        JsonNodes::reset(v, kind);
    }
}

// Adds the references in `children` (detached, keyed when members) to `container`; whatever
// cannot be added is released.
void adoptAll(JsonValue* container, std::vector<JsonValue*>& children) {
    std::size_t k = 0;
    try {
        for (; k < children.size(); ++k) {
            if (container->kind() == JsonKind::Object) {
                JsonNodes::putMember(container, children[k]);
            } else {
                JsonNodes::append(container, children[k]);
            }
        }
    } catch (...) {
        for (; k < children.size(); ++k) {
            children[k]->release();
        }
        throw;
    }
}

char16_t foldAscii(char16_t c) noexcept {
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

int compareNames(std::u16string_view a, std::u16string_view b, bool caseSensitive) noexcept {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t k = 0; k < n; ++k) {
        const char16_t x = caseSensitive ? a[k] : foldAscii(a[k]);
        const char16_t y = caseSensitive ? b[k] : foldAscii(b[k]);
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// A bottom-up merge sort: stable, and safe with any comparison, even an inconsistent one.
template <typename Less>
void mergeSort(std::vector<JsonValue*>& items, Less& less) {
    const std::size_t n = items.size();
    std::vector<JsonValue*> merged(n);
    for (std::size_t width = 1; width < n; width *= 2) {
        for (std::size_t lo = 0; lo < n; lo += 2 * width) {
            const std::size_t mid = std::min(lo + width, n);
            const std::size_t hi = std::min(lo + 2 * width, n);
            std::size_t a = lo;
            std::size_t b = mid;
            std::size_t k = lo;
            while (a < mid && b < hi) {
                merged[k++] = less(items[b], items[a]) ? items[b++] : items[a++];
            }
            while (a < mid) {
                merged[k++] = items[a++];
            }
            while (b < hi) {
                merged[k++] = items[b++];
            }
        }
        items.swap(merged);
    }
}

// Reorders the children of a container by `less`; the order is changed only when the sort has
// finished.
template <typename Less>
void reorder(JsonValue* container, Less&& less) {
    JsonElementList* list = JsonNodes::items(container);
    if (list == nullptr) {
        return;
    }
    std::vector<JsonValue*> sorted(list->items(), list->items() + list->count);
    mergeSort(sorted, less);
    std::copy(sorted.begin(), sorted.end(), list->items());
}

}  // namespace

// ----- Lifetime -----

JsonDocument::JsonDocument(std::pmr::memory_resource* heap) noexcept : heap_(heap) {}

JsonDocument::JsonDocument(JsonValue* adopted, std::pmr::memory_resource* heap) noexcept
    : heap_(heap), root_(adopted) {}

JsonDocument::~JsonDocument() {
    if (root_ != nullptr) {
        root_->release();
    }
}

JsonDocument::JsonDocument(const JsonDocument& other) noexcept
    : heap_(other.heap_), root_(other.root_) {
    if (root_ != nullptr) {
        root_->addRef();
    }
}

JsonDocument& JsonDocument::operator=(const JsonDocument& other) noexcept {
    if (this != &other) {
        JsonValue* old = root_;
        root_ = other.root_;
        heap_ = other.heap_;
        if (root_ != nullptr) {
            root_->addRef();
        }
        if (old != nullptr) {
            old->release();
        }
    }
    return *this;
}

JsonDocument::JsonDocument(JsonDocument&& other) noexcept
    : heap_(other.heap_), root_(std::exchange(other.root_, nullptr)) {}

JsonDocument& JsonDocument::operator=(JsonDocument&& other) noexcept {
    if (this != &other) {
        JsonValue* old = std::exchange(root_, std::exchange(other.root_, nullptr));
        heap_ = other.heap_;
        if (old != nullptr) {
            old->release();
        }
    }
    return *this;
}

JsonDocument JsonDocument::around(JsonValue* value) {
    if (value == nullptr) {
        return JsonDocument();
    }
    value->addRef();
    return JsonDocument(value, value->heap());
}

// ----- Parsing -----

bool JsonDocument::Create(std::optional<std::string_view> text, bool decodeUnicodeEscapes,
                          bool ignoreTopLevelText, std::int32_t* errorCode,
                          std::int32_t* errorPosition) {
    if (!text) {
        return createImpl(std::nullopt, decodeUnicodeEscapes, ignoreTopLevelText, errorCode,
                          errorPosition);
    }
    std::optional<Wide> wide;
    try {
        wide.emplace(*text);
    } catch (const std::exception&) {
        wide.reset();  // as an empty text
    }
    return createImpl(wide ? std::u16string_view(*wide) : std::u16string_view(),
                      decodeUnicodeEscapes, ignoreTopLevelText, errorCode, errorPosition);
}

bool JsonDocument::CreateFromUtf16(std::optional<std::u16string_view> text,
                                   bool decodeUnicodeEscapes, bool ignoreTopLevelText,
                                   std::int32_t* errorCode, std::int32_t* errorPosition) {
    return createImpl(text, decodeUnicodeEscapes, ignoreTopLevelText, errorCode, errorPosition);
}

bool JsonDocument::Parse(std::string_view text, bool decodeUnicodeEscapes, bool ignoreTopLevelText,
                         std::int32_t* errorCode, std::int32_t* errorPosition) {
    std::optional<Wide> wide;
    try {
        wide.emplace(text);
    } catch (const std::exception&) {
        wide.reset();  // as an empty text
    }
    return parseImpl(wide ? std::u16string_view(*wide) : std::u16string_view(),
                     decodeUnicodeEscapes, ignoreTopLevelText, errorCode, errorPosition);
}

bool JsonDocument::ParseUtf16(std::u16string_view text, bool decodeUnicodeEscapes,
                              bool ignoreTopLevelText, std::int32_t* errorCode,
                              std::int32_t* errorPosition) {
    return parseImpl(text, decodeUnicodeEscapes, ignoreTopLevelText, errorCode, errorPosition);
}

bool JsonDocument::createImpl(std::optional<std::u16string_view> text, bool decodeUnicodeEscapes,
                              bool ignoreTopLevelText, std::int32_t* errorCode,
                              std::int32_t* errorPosition) {
    JsonValue* fresh = JsonValue::create(JsonKind::Object, heap_);
    if (fresh == nullptr) {
        if (errorCode != nullptr) {
            *errorCode = json_error::kNoMemory;
        }
        return false;
    }
    AttachRoot(fresh);
    fresh->release();  // the document's reference is the only one
    if (!text) {
        return errorCode == nullptr || *errorCode == 0;
    }
    return parseImpl(*text, decodeUnicodeEscapes, ignoreTopLevelText, errorCode, errorPosition);
}

bool JsonDocument::parseImpl(std::u16string_view text, bool decodeUnicodeEscapes,
                             bool ignoreTopLevelText, std::int32_t* errorCode,
                             std::int32_t* errorPosition) {
    std::int32_t code = json_error::kNoMemory;
    std::int32_t position = 0;
    if (root_ == nullptr) {
        root_ = JsonValue::create(JsonKind::Object, heap_);
    }
    if (root_ != nullptr) {
        code =
            json_detail::parseInto(root_, text, decodeUnicodeEscapes, ignoreTopLevelText, position);
        if (code == json_error::kEmpty) {
            root_->clear();  // nothing of an earlier parse survives a failed one
        }
    }
    if (errorCode != nullptr) {
        *errorCode = code;
    }
    if (errorPosition != nullptr) {
        *errorPosition = position;
    }
    return code == json_error::kNone;
}

// ----- The root -----

void JsonDocument::Clear() noexcept {
    if (root_ != nullptr) {
        std::exchange(root_, nullptr)->release();
    }
}

void JsonDocument::AttachRoot(JsonValue* value) noexcept {
    if (value != nullptr) {
        value->addRef();
    }
    JsonValue* old = std::exchange(root_, value);
    if (old != nullptr) {
        old->release();
    }
}

bool JsonDocument::Detach() noexcept {
    if (root_ == nullptr || root_->parent() == nullptr) {
        return false;
    }
    JsonNodes::remove(root_);  // drops the container's reference; the document keeps its own
    return true;
}

JsonDocument JsonDocument::NewObject() {
    return JsonDocument(JsonValue::create(JsonKind::Object), nullptr);
}

JsonDocument JsonDocument::NewArray() {
    return JsonDocument(JsonValue::create(JsonKind::Array), nullptr);
}

JsonDocument JsonDocument::NewNull() {
    return JsonDocument(JsonValue::create(JsonKind::Null), nullptr);
}

JsonDocument JsonDocument::NewBoolean(bool value) {
    JsonValue* v = JsonValue::create(JsonKind::Boolean);
    if (v != nullptr) {
        JsonNodes::assignBoolean(v, value);
    }
    return JsonDocument(v, nullptr);
}

JsonDocument JsonDocument::NewStringUtf16(std::u16string_view value) {
    return guarded(JsonDocument(), [&] {
        value = untilNul(value);
        JsonValue* v = JsonNodes::make(JsonKind::String, nullptr, value.size());
        JsonNodes::fill(v, 0, JsonKind::String, value, 0, 0, false);
        return JsonDocument(v, nullptr);
    });
}

JsonDocument JsonDocument::NewString(std::string_view value) {
    return guarded(JsonDocument(), [&] { return NewStringUtf16(widen(value)); });
}

JsonDocument JsonDocument::NewReal(double value) {
    return guarded(JsonDocument(), [&] {
        const std::u16string literal = formatReal(value);
        JsonValue* v = JsonNodes::make(JsonKind::Real, nullptr, literal.size());
        JsonNodes::fill(v, 0, JsonKind::Real, literal, value, 0, false);
        return JsonDocument(v, nullptr);
    });
}

JsonDocument JsonDocument::NewInteger(std::int64_t value) {
    return guarded(JsonDocument(), [&] {
        const std::u16string literal = formatInteger(value);
        JsonValue* v = JsonNodes::make(JsonKind::Integer, nullptr, literal.size());
        JsonNodes::fill(v, 0, JsonKind::Integer, literal, 0, value, false);
        return JsonDocument(v, nullptr);
    });
}

// ----- Paths -----

JsonValue* JsonDocument::find(std::u16string_view path) const {
    if (root_ == nullptr) {
        return nullptr;
    }
    return json_detail::resolveForReading(root_, untilNul(path));
}

JsonValue* JsonDocument::ensureRoot() {
    if (root_ == nullptr) {
        root_ = JsonNodes::make(JsonKind::Object, heap_);
    }
    return root_;
}

JsonValue* JsonDocument::reach(std::u16string_view path) {
    const std::vector<PathSegment> segments = json_detail::splitPath(untilNul(path));
    return json_detail::resolveForWriting(ensureRoot(), segments);
}

// ----- Serialization -----

Text JsonDocument::ToText(std::string_view path, bool pretty, bool escapeStrings,
                          int initialCapacity) const {
    return guarded(Text(), [&] {
        return utf16ToAnsi(ToUtf16Text(widen(path), pretty, escapeStrings, initialCapacity));
    });
}

std::u16string JsonDocument::ToUtf16Text(std::u16string_view path, bool pretty, bool escapeStrings,
                                         int initialCapacity) const {
    return guarded(std::u16string(), [&] {
        const JsonValue* v = find(path);
        if (v == nullptr) {
            return std::u16string();
        }
        return json_detail::serialize(*v, pretty, escapeStrings, initialCapacity);
    });
}

// ----- Reading -----

JsonKind JsonDocument::GetType(std::string_view path) const {
    return guarded(JsonKind::Raw, [&] { return GetType(widen(path)); });
}

JsonKind JsonDocument::GetType(std::u16string_view path) const {
    return guarded(JsonKind::Raw, [&] {
        const JsonValue* v = find(path);
        return v != nullptr ? v->kind() : JsonKind::Raw;
    });
}

std::int32_t JsonDocument::GetCount(std::string_view path) const {
    return guarded(0, [&] { return GetCount(widen(path)); });
}

std::int32_t JsonDocument::GetCount(std::u16string_view path) const {
    return guarded(0, [&] {
        const JsonValue* v = find(path);
        return v != nullptr ? v->count() : 0;
    });
}

bool JsonDocument::Exists(std::string_view path) const {
    return guarded(false, [&] { return Exists(widen(path)); });
}

bool JsonDocument::Exists(std::u16string_view path) const {
    return guarded(false, [&] {
        const std::vector<PathSegment> segments = json_detail::splitPath(untilNul(path));
        return root_ != nullptr && !segments.empty() &&
               json_detail::resolveForReading(root_, segments) != nullptr;
    });
}

Text JsonDocument::GetText(std::string_view path) const {
    return guarded(Text(), [&] { return utf16ToAnsi(textOf(find(widen(path)))); });
}

std::u16string JsonDocument::GetText(std::u16string_view path) const {
    return guarded(std::u16string(), [&] { return std::u16string(textOf(find(path))); });
}

Text JsonDocument::GetLiteralText(std::string_view path) const {
    return guarded(Text(), [&] {
        const JsonValue* v = find(widen(path));
        return v != nullptr ? utf16ToAnsi(v->literal()) : Text();
    });
}

std::u16string JsonDocument::GetLiteralText(std::u16string_view path) const {
    return guarded(std::u16string(), [&] {
        const JsonValue* v = find(path);
        return v != nullptr ? std::u16string(v->literal()) : std::u16string();
    });
}

Text JsonDocument::GetKey(std::string_view path) const {
    return guarded(Text(), [&] {
        const JsonValue* v = find(widen(path));
        return v != nullptr ? utf16ToAnsi(v->key()) : Text();
    });
}

std::u16string JsonDocument::GetKey(std::u16string_view path) const {
    return guarded(std::u16string(), [&] {
        const JsonValue* v = find(path);
        return v != nullptr ? std::u16string(v->key()) : std::u16string();
    });
}

bool JsonDocument::GetBoolean(std::string_view path) const {
    return guarded(false, [&] { return toBoolean(find(widen(path))); });
}

bool JsonDocument::GetBoolean(std::u16string_view path) const {
    return guarded(false, [&] { return toBoolean(find(path)); });
}

double JsonDocument::GetReal(std::string_view path) const {
    return guarded(0.0, [&] { return toReal(find(widen(path))); });
}

double JsonDocument::GetReal(std::u16string_view path) const {
    return guarded(0.0, [&] { return toReal(find(path)); });
}

std::int64_t JsonDocument::GetInteger(std::string_view path) const {
    return guarded(std::int64_t{0}, [&] { return toInteger(find(widen(path))); });
}

std::int64_t JsonDocument::GetInteger(std::u16string_view path) const {
    return guarded(std::int64_t{0}, [&] { return toInteger(find(path)); });
}

std::int32_t JsonDocument::GetInt32(std::string_view path) const {
    return guarded(std::int32_t{0}, [&] { return toInt32(find(widen(path))); });
}

std::int32_t JsonDocument::GetInt32(std::u16string_view path) const {
    return guarded(std::int32_t{0}, [&] { return toInt32(find(path)); });
}

std::vector<Text> JsonDocument::GetKeys(std::string_view path) const {
    return guarded(std::vector<Text>(), [&] {
        std::vector<Text> keys;
        for (const std::u16string& key : GetKeys(widen(path))) {
            keys.push_back(utf16ToAnsi(key));
        }
        return keys;
    });
}

std::vector<std::u16string> JsonDocument::GetKeys(std::u16string_view path) const {
    return guarded(std::vector<std::u16string>(), [&] {
        std::vector<std::u16string> keys;
        const JsonValue* v = find(path);
        if (v != nullptr && v->kind() == JsonKind::Object) {
            for (std::int32_t k = 0; k < v->count(); ++k) {
                keys.emplace_back(v->at(k)->key());
            }
        }
        return keys;
    });
}

std::vector<JsonDocument> JsonDocument::GetChildren(std::string_view path) const {
    return guarded(std::vector<JsonDocument>(), [&] { return GetChildren(widen(path)); });
}

std::vector<JsonDocument> JsonDocument::GetChildren(std::u16string_view path) const {
    return guarded(std::vector<JsonDocument>(), [&] {
        std::vector<JsonDocument> children;
        if (const JsonValue* v = find(path); v != nullptr) {
            for (std::int32_t k = 0; k < v->count(); ++k) {
                children.push_back(around(v->at(k)));
            }
        }
        return children;
    });
}

JsonDocument JsonDocument::GetParent(std::string_view path) const {
    return guarded(JsonDocument(), [&] { return GetParent(widen(path)); });
}

JsonDocument JsonDocument::GetParent(std::u16string_view path) const {
    return guarded(JsonDocument(), [&] {
        JsonValue* v = find(path);
        return around(v != nullptr ? v->parent() : nullptr);
    });
}

JsonDocument JsonDocument::GetMember(std::string_view path, std::string_view name) const {
    return guarded(JsonDocument(), [&] { return GetMember(widen(path), widen(name)); });
}

JsonDocument JsonDocument::GetMember(std::u16string_view path, std::u16string_view name) const {
    return guarded(JsonDocument(), [&] {
        const JsonValue* v = find(path);
        return around(v != nullptr ? v->member(untilNul(name)) : nullptr);
    });
}

JsonDocument JsonDocument::GetElement(std::string_view path, std::int32_t index) const {
    return guarded(JsonDocument(), [&] { return GetElement(widen(path), index); });
}

JsonDocument JsonDocument::GetElement(std::u16string_view path, std::int32_t index) const {
    return guarded(JsonDocument(), [&] {
        const JsonValue* v = find(path);
        return around(v != nullptr ? v->at(index) : nullptr);
    });
}

// ----- Writing -----

JsonDocument JsonDocument::GetDocument(std::string_view path) {
    return guarded(JsonDocument(), [&] { return GetDocument(widen(path)); });
}

JsonDocument JsonDocument::GetDocument(std::u16string_view path) {
    return guarded(JsonDocument(), [&] { return around(reach(path)); });
}

JsonDocument JsonDocument::GetCopy(std::string_view path) {
    return guarded(JsonDocument(), [&] { return GetCopy(widen(path)); });
}

JsonDocument JsonDocument::GetCopy(std::u16string_view path) {
    return guarded(JsonDocument(), [&] {
        const JsonValue* v = reach(path);
        if (v == nullptr) {
            return JsonDocument();
        }
        return JsonDocument(JsonNodes::deepCopy(v, v->heap()), v->heap());
    });
}

// The setters of both path forms share one body: the path resolved for writing (created where
// missing), then `write` applied to the value there; false when the path cannot be written or
// memory runs out.
template <typename Path, typename Write>
bool JsonDocument::writeAt(Path path, Write&& write) {
    return guarded(false, [&] {
        JsonValue* v = reach(utf16Path(path));
        if (v == nullptr) {
            return false;
        }
        write(v);
        return true;
    });
}

bool JsonDocument::SetText(std::string_view path, std::string_view value) {
    return writeAt(path, [&](JsonValue* v) { JsonNodes::assignString(v, widen(value)); });
}

bool JsonDocument::SetText(std::u16string_view path, std::u16string_view value) {
    return writeAt(path, [&](JsonValue* v) { JsonNodes::assignString(v, untilNul(value)); });
}

bool JsonDocument::SetNull(std::string_view path) {
    return writeAt(path, [](JsonValue* v) { JsonNodes::reset(v, JsonKind::Null); });
}

bool JsonDocument::SetNull(std::u16string_view path) {
    return writeAt(path, [](JsonValue* v) { JsonNodes::reset(v, JsonKind::Null); });
}

bool JsonDocument::SetBoolean(std::string_view path, bool value) {
    return writeAt(path, [&](JsonValue* v) { JsonNodes::assignBoolean(v, value); });
}

bool JsonDocument::SetBoolean(std::u16string_view path, bool value) {
    return writeAt(path, [&](JsonValue* v) { JsonNodes::assignBoolean(v, value); });
}

bool JsonDocument::SetReal(std::string_view path, double value) {
    return writeAt(path, [&](JsonValue* v) { JsonNodes::assignReal(v, value, formatReal(value)); });
}

bool JsonDocument::SetReal(std::u16string_view path, double value) {
    return writeAt(path, [&](JsonValue* v) { JsonNodes::assignReal(v, value, formatReal(value)); });
}

bool JsonDocument::SetInteger(std::string_view path, std::int64_t value) {
    return writeAt(path,
                   [&](JsonValue* v) { JsonNodes::assignInteger(v, value, formatInteger(value)); });
}

bool JsonDocument::SetInteger(std::u16string_view path, std::int64_t value) {
    return writeAt(path,
                   [&](JsonValue* v) { JsonNodes::assignInteger(v, value, formatInteger(value)); });
}

bool JsonDocument::SetInt32(std::string_view path, std::int32_t value) {
    return SetInteger(path, std::int64_t{value});
}

bool JsonDocument::SetInt32(std::u16string_view path, std::int32_t value) {
    return SetInteger(path, std::int64_t{value});
}

bool JsonDocument::SetRaw(std::string_view path, std::string_view jsonText) {
    return writeAt(path, [&](JsonValue* v) { JsonNodes::assignRaw(v, widen(jsonText)); });
}

bool JsonDocument::SetRaw(std::u16string_view path, std::u16string_view jsonText) {
    return writeAt(path, [&](JsonValue* v) { JsonNodes::assignRaw(v, untilNul(jsonText)); });
}

bool JsonDocument::SetEmptyObject(std::string_view path) {
    return writeAt(path, [](JsonValue* v) { ensureKind(v, JsonKind::Object); });
}

bool JsonDocument::SetEmptyObject(std::u16string_view path) {
    return writeAt(path, [](JsonValue* v) { ensureKind(v, JsonKind::Object); });
}

bool JsonDocument::SetEmptyArray(std::string_view path) {
    return writeAt(path, [](JsonValue* v) { ensureKind(v, JsonKind::Array); });
}

bool JsonDocument::SetEmptyArray(std::u16string_view path) {
    return writeAt(path, [](JsonValue* v) { ensureKind(v, JsonKind::Array); });
}

bool JsonDocument::ClearAt(std::string_view path) {
    return writeAt(path, [](JsonValue* v) { v->clear(); });
}

bool JsonDocument::ClearAt(std::u16string_view path) {
    return writeAt(path, [](JsonValue* v) { v->clear(); });
}

bool JsonDocument::RemoveMember(std::string_view path, std::string_view name) {
    return guarded(false, [&] { return RemoveMember(widen(path), widen(name)); });
}

bool JsonDocument::RemoveMember(std::u16string_view path, std::u16string_view name) {
    return guarded(false, [&] {
        JsonValue* v = reach(path);
        JsonValue* m = v != nullptr ? v->member(untilNul(name)) : nullptr;
        if (m == nullptr) {
            return false;
        }
        JsonNodes::remove(m);
        return true;
    });
}

bool JsonDocument::RemoveElement(std::string_view path, std::int32_t index) {
    return guarded(false, [&] { return RemoveElement(widen(path), index); });
}

bool JsonDocument::RemoveElement(std::u16string_view path, std::int32_t index) {
    return guarded(false, [&] {
        JsonValue* v = reach(path);
        if (v == nullptr || v->kind() != JsonKind::Array) {
            return false;
        }
        JsonValue* e = v->at(index);
        if (e == nullptr) {
            return false;
        }
        JsonNodes::remove(e);
        return true;
    });
}

namespace {

// A deep copy of another document's root for storing into this tree; null when it has none.
// Taken before the target path is resolved, so that resolving cannot change what is copied.
JsonValue* copyOf(const JsonDocument& value, std::pmr::memory_resource* heap) {
    const JsonValue* root = value.RootValue();
    return root != nullptr ? JsonNodes::deepCopy(root, heap) : nullptr;
}

// Owns a reference until it is handed over.
class Held {
public:
    explicit Held(JsonValue* v) noexcept : v_(v) {}
    ~Held() {
        if (v_ != nullptr) {
            v_->release();
        }
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    JsonValue* get() const noexcept { return v_; }
    JsonValue* handOver() noexcept { return std::exchange(v_, nullptr); }

private:
    JsonValue* v_;
};

}  // namespace

bool JsonDocument::SetMemberDocument(std::string_view path, std::string_view name,
                                     const JsonDocument& value) {
    return guarded(false, [&] { return SetMemberDocument(widen(path), widen(name), value); });
}

bool JsonDocument::SetMemberDocument(std::u16string_view path, std::u16string_view name,
                                     const JsonDocument& value) {
    return guarded(false, [&] {
        Held copy(copyOf(value, ensureRoot()->heap()));
        JsonValue* v = copy.get() != nullptr ? reach(path) : nullptr;
        if (v == nullptr) {
            return false;
        }
        ensureKind(v, JsonKind::Object);
        JsonNodes::setKey(copy.get(), untilNul(name));
        JsonNodes::putMember(v, copy.get());
        copy.handOver();
        return true;
    });
}

bool JsonDocument::InsertMemberDocument(std::string_view path, std::string_view name,
                                        std::int32_t position, const JsonDocument& value) {
    return guarded(false,
                   [&] { return InsertMemberDocument(widen(path), widen(name), position, value); });
}

bool JsonDocument::InsertMemberDocument(std::u16string_view path, std::u16string_view name,
                                        std::int32_t position, const JsonDocument& value) {
    return guarded(false, [&] {
        name = untilNul(name);
        Held copy(copyOf(value, ensureRoot()->heap()));
        JsonValue* v = copy.get() != nullptr ? reach(path) : nullptr;
        if (v == nullptr) {
            return false;
        }
        ensureKind(v, JsonKind::Object);
        JsonValue* existing = v->member(name);
        const std::int32_t others = v->count() - (existing != nullptr ? 1 : 0);
        if (position < 0 || position > others) {
            return false;
        }
        JsonNodes::setKey(copy.get(), name);
        JsonNodes::putMember(v, copy.get());  // in place of a member of the same name
        JsonValue* placed = copy.handOver();
        std::int32_t at = 0;
        while (v->at(at) != placed) {
            ++at;
        }
        JsonNodes::moveMember(v, at, position);
        return true;
    });
}

bool JsonDocument::AppendDocument(std::string_view path, const JsonDocument& value) {
    return guarded(false, [&] { return AppendDocument(widen(path), value); });
}

bool JsonDocument::AppendDocument(std::u16string_view path, const JsonDocument& value) {
    return guarded(false, [&] {
        Held copy(copyOf(value, ensureRoot()->heap()));
        JsonValue* v = copy.get() != nullptr ? reach(path) : nullptr;
        if (v == nullptr) {
            return false;
        }
        ensureKind(v, JsonKind::Array);
        JsonNodes::append(v, copy.get());
        copy.handOver();
        return true;
    });
}

bool JsonDocument::InsertDocument(std::string_view path, std::int32_t index,
                                  const JsonDocument& value) {
    return guarded(false, [&] { return InsertDocument(widen(path), index, value); });
}

bool JsonDocument::InsertDocument(std::u16string_view path, std::int32_t index,
                                  const JsonDocument& value) {
    return guarded(false, [&] {
        Held copy(copyOf(value, ensureRoot()->heap()));
        JsonValue* v = copy.get() != nullptr ? reach(path) : nullptr;
        if (v == nullptr) {
            return false;
        }
        ensureKind(v, JsonKind::Array);
        if (index < 0 || index > v->count()) {
            return false;
        }
        JsonNodes::insert(v, index, copy.get());
        copy.handOver();
        return true;
    });
}

bool JsonDocument::SetElementDocument(std::string_view path, std::int32_t index,
                                      const JsonDocument& value) {
    return guarded(false, [&] { return SetElementDocument(widen(path), index, value); });
}

bool JsonDocument::SetElementDocument(std::u16string_view path, std::int32_t index,
                                      const JsonDocument& value) {
    return guarded(false, [&] {
        if (index < 0) {
            return false;
        }
        Held copy(copyOf(value, ensureRoot()->heap()));
        if (copy.get() == nullptr) {
            return false;
        }
        std::vector<PathSegment> segments = json_detail::splitPath(untilNul(path));
        segments.push_back({true, index, {}});
        JsonValue* slot = json_detail::resolveForWriting(ensureRoot(), segments);
        if (slot == nullptr) {
            return false;
        }
        JsonNodes::replaceAt(slot->parent(), index, copy.get());
        copy.handOver();
        return true;
    });
}

bool JsonDocument::MergeMembers(std::string_view path, const JsonDocument& other) {
    return guarded(false, [&] { return MergeMembers(widen(path), other); });
}

bool JsonDocument::MergeMembers(std::u16string_view path, const JsonDocument& other) {
    return guarded(false, [&] {
        if (other.root_ == nullptr || other.root_->kind() != JsonKind::Object) {
            return false;
        }
        Held copy(copyOf(other, ensureRoot()->heap()));
        JsonValue* v = reach(path);
        if (v == nullptr) {
            return false;
        }
        ensureKind(v, JsonKind::Object);
        std::vector<JsonValue*> members = JsonNodes::takeChildren(copy.get());
        adoptAll(v, members);
        return true;
    });
}

bool JsonDocument::AppendElements(std::string_view path, const JsonDocument& other) {
    return guarded(false, [&] { return AppendElements(widen(path), other); });
}

bool JsonDocument::AppendElements(std::u16string_view path, const JsonDocument& other) {
    return guarded(false, [&] {
        if (other.root_ == nullptr || other.root_->kind() != JsonKind::Array) {
            return false;
        }
        Held copy(copyOf(other, ensureRoot()->heap()));
        JsonValue* v = reach(path);
        if (v == nullptr) {
            return false;
        }
        ensureKind(v, JsonKind::Array);
        std::vector<JsonValue*> elements = JsonNodes::takeChildren(copy.get());
        adoptAll(v, elements);
        return true;
    });
}

bool JsonDocument::MergeText(std::string_view path, std::string_view text,
                             bool decodeUnicodeEscapes, bool addMissing, std::int32_t* errorCode,
                             std::int32_t* errorPosition) {
    return guarded(false, [&] {
        return MergeText(widen(path), widen(text), decodeUnicodeEscapes, addMissing, errorCode,
                         errorPosition);
    });
}

bool JsonDocument::MergeText(std::u16string_view path, std::u16string_view text,
                             bool decodeUnicodeEscapes, bool addMissing, std::int32_t* errorCode,
                             std::int32_t* errorPosition) {
    JsonDocument parsed(heap_);
    if (!parsed.ParseUtf16(text, decodeUnicodeEscapes, false, errorCode, errorPosition)) {
        return false;
    }
    return guarded(false, [&] {
        JsonValue* target = reach(path);
        if (target == nullptr) {
            return false;
        }
        // Pairs of (target, source) still to merge; no recursion however deep both sides are.
        std::vector<std::pair<JsonValue*, const JsonValue*>> work{{target, parsed.root_}};
        while (!work.empty()) {
            auto [into, from] = work.back();
            work.pop_back();
            if (into->kind() == JsonKind::Object && from->kind() == JsonKind::Object) {
                for (std::int32_t k = 0; k < from->count(); ++k) {
                    const JsonValue* member = from->at(k);
                    if (JsonValue* same = into->member(member->key()); same != nullptr) {
                        work.emplace_back(same, member);
                    } else if (addMissing) {
                        Held copy(JsonNodes::deepCopy(member, into->heap()));
                        JsonNodes::setKey(copy.get(), member->key());
                        JsonNodes::putMember(into, copy.get());
                        copy.handOver();
                    }
                }
                continue;
            }
            // Anything but two objects: the text's value replaces the target's contents.
            Held copy(JsonNodes::deepCopy(from, into->heap()));
            JsonNodes::moveContents(into, copy.get());
        }
        return true;
    });
}

bool JsonDocument::SortMembers(std::string_view path, bool descending, bool caseSensitive) {
    return guarded(false, [&] { return SortMembers(widen(path), descending, caseSensitive); });
}

bool JsonDocument::SortMembers(std::u16string_view path, bool descending, bool caseSensitive) {
    return guarded(false, [&] {
        JsonValue* v = find(path);
        if (v == nullptr || v->kind() != JsonKind::Object) {
            return false;
        }
        reorder(v, [&](const JsonValue* a, const JsonValue* b) {
            const int order = compareNames(a->key(), b->key(), caseSensitive);
            return descending ? order > 0 : order < 0;
        });
        return true;
    });
}

bool JsonDocument::Sort(std::string_view path, const JsonCompare& compare) {
    return guarded(false, [&] { return Sort(widen(path), compare); });
}

bool JsonDocument::Sort(std::u16string_view path, const JsonCompare& compare) {
    return guarded(false, [&] {
        JsonValue* v = find(path);
        if (v == nullptr || !compare ||
            (v->kind() != JsonKind::Object && v->kind() != JsonKind::Array)) {
            return false;
        }
        reorder(v, [&](const JsonValue* a, const JsonValue* b) { return compare(*a, *b) < 0; });
        return true;
    });
}

std::string jsonUtf8String(std::string_view text) {
    std::string out = "\"";
    for (const char c : ansiToUtf8(text)) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7F) {
            static constexpr char kHex[] = "0123456789abcdef";
            out += "\\u00";
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace vesprey
