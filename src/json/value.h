// One node of a JSON tree.
//
// Every node is reference-counted (atomic counts, so a tree shared between documents may be
// released from any owner) and is allocated from a heap, a std::pmr::memory_resource, that also
// holds its strings and containers. The nodes a parse adds come from the root's heap; when that
// is the default heap, from blocks of the parse's own over it (json/arena.h). Text inside the
// tree is UTF-16.
//
// A container holds one reference on each of its children. Releasing the last reference of a node
// detaches it from its container, releases its children and frees it; none of this recurses, so a
// tree of any depth can be released.
//
// The read-only view below is what callers of the library need (the comparison of
// JsonDocument::Sort receives nodes); building and changing trees goes through JsonDocument.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory_resource>
#include <string_view>

namespace vesprey {

// The type codes; they are returned by JsonDocument::GetType.
enum class JsonKind : std::int32_t {
    Raw = -1,  // JSON text written verbatim by the serializer; GetType's "no value" too
    Null = 0,
    Real = 1,
    Integer = 2,
    Boolean = 3,
    String = 4,
    Array = 5,
    Object = 6,
};

struct JsonElementList;
struct JsonMemberMap;
class JsonNodes;

class JsonValue {
public:
    JsonValue(const JsonValue&) = delete;
    JsonValue& operator=(const JsonValue&) = delete;

    // A new unattached node of `kind` with one reference, empty contents (0, false, no text, no
    // members), allocated from `heap` (the default resource when null). Null when the heap fails.
    static JsonValue* create(JsonKind kind, std::pmr::memory_resource* heap = nullptr) noexcept;

    void addRef() noexcept;
    // Drops one reference; the last one detaches the node from its container and frees it.
    void release() noexcept;
    // Frees the contents (children, strings, literal text) but keeps the kind: a cleared object
    // stays an empty object.
    void clear() noexcept;

    JsonKind kind() const noexcept { return static_cast<JsonKind>(kind_); }
    std::int32_t refCount() const noexcept { return refCount_.load(std::memory_order_acquire); }
    // The heap that new contents of this node (and new children) come from.
    std::pmr::memory_resource* heap() const noexcept;
    // The array or object that holds the node, or null.
    const JsonValue* parent() const noexcept { return parent_; }
    JsonValue* parent() noexcept { return parent_; }

    // The member name while the node is a member of an object, else empty.
    std::u16string_view key() const noexcept { return {key_, keyLength_}; }
    // The hash of key() while the node is a member of an object.
    std::int32_t hash() const noexcept { return hash_; }

    // The literal text: the number as it stood in the source (or as formatted when set by
    // value), the text of a Raw value, "null", "true" or "false"; empty for strings and
    // containers, and for a number or Raw value after clear().
    std::u16string_view literal() const noexcept;
    // The characters of a String (unescaped, without quotes), else empty.
    std::u16string_view string() const noexcept;
    double realValue() const noexcept { return kind() == JsonKind::Real ? payload_.real : 0.0; }
    std::int64_t integerValue() const noexcept {
        return kind() == JsonKind::Integer ? payload_.integer : 0;
    }
    bool booleanValue() const noexcept {
        return kind() == JsonKind::Boolean && payload_.boolean != 0;
    }

    // Members of an object, elements of an array, else 0.
    std::int32_t count() const noexcept;
    // The element at `index` of an array or the member at that position of an object's member
    // order; null when out of range or not a container.
    JsonValue* at(std::int32_t index) const noexcept;
    // The member called `name` of an object (exact, case-sensitive), else null.
    JsonValue* member(std::u16string_view name) const noexcept;
    // The number of hash buckets of an object's member map (0 before its first member).
    std::int32_t bucketCount() const noexcept;

private:
    friend class JsonNodes;
    JsonValue() = default;
    ~JsonValue() = default;

    // Flags: which strings live in the node's own block rather than in allocations of their own,
    // and which blocks a parse took from its arena (json/arena.h; heap_ is then the arena).
    static constexpr std::uint8_t kKeyInline = 1;
    static constexpr std::uint8_t kTextInline = 2;  // a string's characters or a literal
    static constexpr std::uint8_t kArenaNode = 4;
    static constexpr std::uint8_t kBlockInArena = 8;  // the element list or the member map
    static constexpr std::uint8_t kBucketsInArena = 16;
    // The root a parse filled from its arena, whose children have not changed since: the whole
    // tree below it can be freed with the arena.
    static constexpr std::uint8_t kArenaOwner = 32;

    // Every parsed value is one of these, so the fields are packed: 72 bytes.
    std::atomic<std::int32_t> refCount_{1};
    std::int32_t hash_ = 0;
    std::uint32_t keyLength_ = 0;
    std::uint32_t textLength_ = 0;  // characters at text_
    std::uint32_t extraChars_ = 0;  // characters of storage after the node in its block
    std::int8_t kind_ = 0;          // a JsonKind
    std::uint8_t flags_ = 0;
    std::pmr::memory_resource* heap_ = nullptr;
    char16_t* key_ = nullptr;
    JsonValue* next_ = nullptr;  // next node of the same hash chain; the free list while dying
    JsonValue* parent_ = nullptr;
    union Payload {
        double real;
        std::int64_t integer;
        std::int32_t boolean;
        JsonElementList* list;  // array
        JsonMemberMap* map;     // object
    } payload_{};
    char16_t* text_ = nullptr;  // a string's characters, or the literal of a number or Raw value
};

}  // namespace vesprey
