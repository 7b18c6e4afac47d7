// Vesprey's JSON library: a reference-counted value tree (json/value.h), a lenient parser, access
// by path, and a serializer.
//
// A JsonDocument owns one reference to a root value. Copying a document shares the tree; the
// operations that return a new document around a value inside a tree share that value too,
// unless they say "deep copy".
//
// Texts: the plain overloads take and return code page 936 (GBK) text and convert at the edge;
// the std::u16string_view overloads (and the functions named ...Utf16) take and return UTF-16.
// Every text argument ends at its first NUL.
//
// Paths: member names separated by ".", indexes in brackets, "data.list[0].msg", "[2]". A
// backslash before ".", "[", "]" or a backslash makes that character part of the name. An empty
// path is the root. Reading never changes the tree; a path that does not resolve gives the empty
// result (empty text, 0, false, JsonKind::Raw from GetType, an empty document). Writing by path
// creates missing members (as null, at the end) and elements (padding with nulls), and turns a
// value that is in the way into an empty object or array.
//
// Nothing throws: a failed allocation makes a parse return -3 and a setter return false.
//
// A document is used by one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/value.h"
#include "text/text.h"

namespace vesprey {

// Parse error codes (see JsonDocument::Parse).
namespace json_error {
inline constexpr std::int32_t kNone = 0;
inline constexpr std::int32_t kEmpty = -2;         // no root, or empty text
inline constexpr std::int32_t kNoMemory = -3;      // an allocation failed
inline constexpr std::int32_t kObjectSyntax = -4;  // a member name was expected
inline constexpr std::int32_t kUnclosed = -5;      // text ended with containers open
inline constexpr std::int32_t kBadValue = -6;      // malformed or misplaced value
inline constexpr std::int32_t kOpenQuote = -7;     // a quote not closed within its token
inline constexpr std::int32_t kTooLarge = -8;      // more values than kJsonMaxValues
}  // namespace json_error

// The most values one parse makes: the elements and members at every depth, the root not
// counted (a member that a later one of the same name replaces counts too). A text with more
// fails with json_error::kTooLarge. A million values are some 20 MB of ordinary JSON; a value
// takes at most about 90 bytes besides its characters, so a parse of a 64 MiB text, however it is
// nested, takes at most about 350 MB with the text's UTF-16 copy.
inline constexpr std::int32_t kJsonMaxValues = 1'000'000;

// The comparison of JsonDocument::Sort: negative when `a` goes before `b`, positive when after.
using JsonCompare = std::function<int(const JsonValue& a, const JsonValue& b)>;

// A JSON string literal of code page 936 text, in UTF-8 with its quotes: quotes, backslashes and
// every control character escaped, everything else as it is. For JSON written by hand.
std::string jsonUtf8String(std::string_view text);

class JsonDocument {
public:
    // An empty document (no root). `heap` is where Create, Parse and the first write allocate a
    // root; the default resource when null. The rest of a tree comes from its root's heap (a
    // parse into a root on the default heap takes blocks of its own over it, json/arena.h).
    explicit JsonDocument(std::pmr::memory_resource* heap = nullptr) noexcept;
    ~JsonDocument();
    JsonDocument(const JsonDocument& other) noexcept;  // shares the root (adds a reference)
    JsonDocument& operator=(const JsonDocument& other) noexcept;
    JsonDocument(JsonDocument&& other) noexcept;
    JsonDocument& operator=(JsonDocument&& other) noexcept;

    // ----- Parsing -----
    //
    // The parser is lenient: single-quoted strings and names, bare names ({a:1}), trailing
    // commas, empty array elements ([1,,2]) are accepted; a later member of the same name
    // replaces the earlier one at the earlier one's position; a second top-level container
    // continues the root ({"a":1}{"b":2} is one object). Numbers keep their literal text.
    // In strings and names, \n becomes CR LF (a lone LF at the start or after a CR);
    // \uXXXX is decoded only with `decodeUnicodeEscapes` (\u0000 is dropped). Text after the
    // top-level container is an error unless `ignoreTopLevelText`.
    //
    // `errorCode` receives 0 or a code of json_error, `errorPosition` 0 or the UTF-16 index
    // where parsing stopped (the text length + 1 for kUnclosed; for kTooLarge the first character
    // of the value over the limit). After a failure the root is left empty (same kind, no
    // contents) and whatever the parse made is freed.

    // Makes a new empty object the root (the old root is released) and, when `text` is given,
    // parses it into the root. Without text `*errorCode` is left alone and the result is whether
    // it is 0 (true when no errorCode is passed).
    bool Create(std::optional<std::string_view> text = std::nullopt,
                bool decodeUnicodeEscapes = false, bool ignoreTopLevelText = false,
                std::int32_t* errorCode = nullptr, std::int32_t* errorPosition = nullptr);
    bool CreateFromUtf16(std::optional<std::u16string_view> text = std::nullopt,
                         bool decodeUnicodeEscapes = false, bool ignoreTopLevelText = false,
                         std::int32_t* errorCode = nullptr, std::int32_t* errorPosition = nullptr);
    // Parses into the existing root (a new empty object when there is none), which is cleared
    // first. True when the error code is 0.
    bool Parse(std::string_view text, bool decodeUnicodeEscapes = false,
               bool ignoreTopLevelText = false, std::int32_t* errorCode = nullptr,
               std::int32_t* errorPosition = nullptr);
    bool ParseUtf16(std::u16string_view text, bool decodeUnicodeEscapes = false,
                    bool ignoreTopLevelText = false, std::int32_t* errorCode = nullptr,
                    std::int32_t* errorPosition = nullptr);

    // ----- The root -----

    // Releases the root; the document is empty.
    void Clear() noexcept;
    // The root value, null when the document is empty.
    JsonValue* RootValue() const noexcept { return root_; }
    // Makes `value` the root (adding a reference) and releases the old root.
    void AttachRoot(JsonValue* value) noexcept;
    // Removes the root value from the container that holds it. False when it has none.
    bool Detach() noexcept;

    // New documents whose root is a new unattached value.
    static JsonDocument NewObject();
    static JsonDocument NewArray();
    static JsonDocument NewNull();
    static JsonDocument NewBoolean(bool value);
    static JsonDocument NewStringUtf16(std::u16string_view value);
    static JsonDocument NewString(std::string_view value);
    static JsonDocument NewReal(double value);
    static JsonDocument NewInteger(std::int64_t value);

    // ----- Serialization -----

    // JSON text of the value at `path`, empty when there is none. Arrays stay on one line;
    // `pretty` puts each object member on a line of its own (CR LF) indented by TABs. With
    // `escapeStrings` backslash, "/", double quote, backspace, TAB, LF, CR and form feed are
    // escaped; nothing else is (no \u escapes). `initialCapacity` sizes the output buffer in
    // bytes when above 0.
    Text ToText(std::string_view path = {}, bool pretty = false, bool escapeStrings = true,
                int initialCapacity = 1024) const;
    std::u16string ToUtf16Text(std::u16string_view path = {}, bool pretty = false,
                               bool escapeStrings = true, int initialCapacity = 1024) const;

    // ----- Reading -----

    // The kind of the value at the path; JsonKind::Raw (-1) when there is none.
    JsonKind GetType(std::string_view path) const;
    JsonKind GetType(std::u16string_view path) const;
    // Members of an object, elements of an array, else 0.
    std::int32_t GetCount(std::string_view path) const;
    std::int32_t GetCount(std::u16string_view path) const;
    // Whether every segment of a non-empty path resolves.
    bool Exists(std::string_view path) const;
    bool Exists(std::u16string_view path) const;

    // A string's text; a number's or boolean's literal ("1e5", "007", "true"); else empty.
    Text GetText(std::string_view path) const;
    std::u16string GetText(std::u16string_view path) const;
    // The literal text unchanged: also "null" for a null and the text of a Raw value.
    Text GetLiteralText(std::string_view path) const;
    std::u16string GetLiteralText(std::u16string_view path) const;
    // The member name of the value at the path, empty when it is no member.
    Text GetKey(std::string_view path) const;
    std::u16string GetKey(std::u16string_view path) const;

    // Conversions: a real is truncated toward zero (saturating), an integer's low 32 bits give
    // GetInt32, a boolean is 0 or 1, a string is read as a decimal number from its start
    // ("12abc" is 12), anything else is 0. GetBoolean: a non-zero number or a true boolean.
    bool GetBoolean(std::string_view path) const;
    bool GetBoolean(std::u16string_view path) const;
    double GetReal(std::string_view path) const;
    double GetReal(std::u16string_view path) const;
    std::int64_t GetInteger(std::string_view path) const;
    std::int64_t GetInteger(std::u16string_view path) const;
    std::int32_t GetInt32(std::string_view path) const;
    std::int32_t GetInt32(std::u16string_view path) const;

    // The member names of the object at the path, in member order.
    std::vector<Text> GetKeys(std::string_view path) const;
    std::vector<std::u16string> GetKeys(std::u16string_view path) const;
    // The members or elements of the value at the path, in order, each in a document.
    std::vector<JsonDocument> GetChildren(std::string_view path) const;
    std::vector<JsonDocument> GetChildren(std::u16string_view path) const;

    // Documents around values of this tree (shared, not copied); empty when there is none.
    JsonDocument GetParent(std::string_view path) const;
    JsonDocument GetParent(std::u16string_view path) const;
    JsonDocument GetMember(std::string_view path, std::string_view name) const;
    JsonDocument GetMember(std::u16string_view path, std::u16string_view name) const;
    // The element of an array, or the member at that position of an object.
    JsonDocument GetElement(std::string_view path, std::int32_t index) const;
    JsonDocument GetElement(std::u16string_view path, std::int32_t index) const;

    // ----- Writing (each resolves its path for writing, creating it) -----

    // A document around the value at the path.
    JsonDocument GetDocument(std::string_view path);
    JsonDocument GetDocument(std::u16string_view path);
    // A document holding a deep copy of the value at the path.
    JsonDocument GetCopy(std::string_view path);
    JsonDocument GetCopy(std::u16string_view path);

    // Store a value at the path, replacing what was there. False when the path cannot be
    // reached (a negative index) or memory ran out.
    bool SetText(std::string_view path, std::string_view value);
    bool SetText(std::u16string_view path, std::u16string_view value);
    bool SetNull(std::string_view path);
    bool SetNull(std::u16string_view path);
    bool SetBoolean(std::string_view path, bool value);
    bool SetBoolean(std::u16string_view path, bool value);
    // The literal becomes the shortest decimal text that reads back as the same number
    // ("null" for a NaN or an infinity).
    bool SetReal(std::string_view path, double value);
    bool SetReal(std::u16string_view path, double value);
    bool SetInteger(std::string_view path, std::int64_t value);
    bool SetInteger(std::u16string_view path, std::int64_t value);
    bool SetInt32(std::string_view path, std::int32_t value);
    bool SetInt32(std::u16string_view path, std::int32_t value);
    // A Raw value: JSON text the serializer writes as it is.
    bool SetRaw(std::string_view path, std::string_view jsonText);
    bool SetRaw(std::u16string_view path, std::u16string_view jsonText);
    // Turn the value at the path into an empty object or array unless it already is one.
    bool SetEmptyObject(std::string_view path);
    bool SetEmptyObject(std::u16string_view path);
    bool SetEmptyArray(std::string_view path);
    bool SetEmptyArray(std::u16string_view path);
    // Clears the value at the path (it keeps its kind).
    bool ClearAt(std::string_view path);
    bool ClearAt(std::u16string_view path);

    // Remove a member of the object at the path, or an element of the array at the path (later
    // elements move down). False when there is no such member or element.
    bool RemoveMember(std::string_view path, std::string_view name);
    bool RemoveMember(std::u16string_view path, std::u16string_view name);
    bool RemoveElement(std::string_view path, std::int32_t index);
    bool RemoveElement(std::u16string_view path, std::int32_t index);

    // The following store deep copies of another document's root (false when it has none).
    // Under `name` in the object at the path (a member of that name is replaced in place).
    bool SetMemberDocument(std::string_view path, std::string_view name, const JsonDocument& value);
    bool SetMemberDocument(std::u16string_view path, std::u16string_view name,
                           const JsonDocument& value);
    // Under `name` at `position` (0..count) of the member order of the object at the path; a
    // member of that name is removed first.
    bool InsertMemberDocument(std::string_view path, std::string_view name, std::int32_t position,
                              const JsonDocument& value);
    bool InsertMemberDocument(std::u16string_view path, std::u16string_view name,
                              std::int32_t position, const JsonDocument& value);
    // At the end of the array at the path.
    bool AppendDocument(std::string_view path, const JsonDocument& value);
    bool AppendDocument(std::u16string_view path, const JsonDocument& value);
    // At `index` (0..count) of the array at the path.
    bool InsertDocument(std::string_view path, std::int32_t index, const JsonDocument& value);
    bool InsertDocument(std::u16string_view path, std::int32_t index, const JsonDocument& value);
    // In place of the element at `index` of the array at the path, padding with nulls when the
    // index lies beyond the end. False for a negative index.
    bool SetElementDocument(std::string_view path, std::int32_t index, const JsonDocument& value);
    bool SetElementDocument(std::u16string_view path, std::int32_t index,
                            const JsonDocument& value);
    // Every member of the other root object into the object at the path (same names replaced).
    bool MergeMembers(std::string_view path, const JsonDocument& other);
    bool MergeMembers(std::u16string_view path, const JsonDocument& other);
    // Every element of the other root array at the end of the array at the path.
    bool AppendElements(std::string_view path, const JsonDocument& other);
    bool AppendElements(std::u16string_view path, const JsonDocument& other);

    // Parses `text` and merges it into the value at the path: where both sides are objects,
    // members present in both are merged in turn and members only in the text are added when
    // `addMissing`; otherwise the value from the text replaces the target's contents. False
    // when the text does not parse (`errorCode`, `errorPosition` as for Parse).
    bool MergeText(std::string_view path, std::string_view text, bool decodeUnicodeEscapes = false,
                   bool addMissing = true, std::int32_t* errorCode = nullptr,
                   std::int32_t* errorPosition = nullptr);
    bool MergeText(std::u16string_view path, std::u16string_view text,
                   bool decodeUnicodeEscapes = false, bool addMissing = true,
                   std::int32_t* errorCode = nullptr, std::int32_t* errorPosition = nullptr);

    // Reorder the members of the object at the path by name (UTF-16 code units; without
    // `caseSensitive` ASCII letters compare without case).
    bool SortMembers(std::string_view path, bool descending = false, bool caseSensitive = true);
    bool SortMembers(std::u16string_view path, bool descending = false, bool caseSensitive = true);
    // Reorders the members of an object or the elements of an array at the path with
    // `compare` (stable: equal values keep their order).
    bool Sort(std::string_view path, const JsonCompare& compare);
    bool Sort(std::u16string_view path, const JsonCompare& compare);

private:
    explicit JsonDocument(JsonValue* adopted, std::pmr::memory_resource* heap) noexcept;
    static JsonDocument around(JsonValue* value);  // adds a reference

    bool createImpl(std::optional<std::u16string_view> text, bool decodeUnicodeEscapes,
                    bool ignoreTopLevelText, std::int32_t* errorCode, std::int32_t* errorPosition);
    bool parseImpl(std::u16string_view text, bool decodeUnicodeEscapes, bool ignoreTopLevelText,
                   std::int32_t* errorCode, std::int32_t* errorPosition);
    JsonValue* find(std::u16string_view path) const;
    JsonValue* reach(std::u16string_view path);  // resolves for writing; may throw bad_alloc
    template <typename Path, typename Write>
    bool writeAt(Path path, Write&& write);
    JsonValue* ensureRoot();

    std::pmr::memory_resource* heap_ = nullptr;
    JsonValue* root_ = nullptr;
};

}  // namespace vesprey
