// Inside the JSON library: the containers of a node and the operations that build and change
// trees. The functions that allocate throw std::bad_alloc and leave the tree as it was; the
// document layer turns that into failure values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "json/value.h"

namespace vesprey {

// The elements of an array, and the member order of an object: one block, the items right after
// the header. Full at `capacity`; then it grows to 2 * capacity + 1.
struct alignas(alignof(JsonValue*)) JsonElementList {
    static constexpr std::int32_t kInitialCapacity = 8;

    std::int32_t count;
    std::int32_t capacity;

    JsonValue** items() noexcept { return reinterpret_cast<JsonValue**>(this + 1); }
    JsonValue* const* items() const noexcept {
        return reinterpret_cast<JsonValue* const*>(this + 1);
    }
    static std::size_t bytesFor(std::int32_t capacity) noexcept {
        return sizeof(JsonElementList) + static_cast<std::size_t>(capacity) * sizeof(JsonValue*);
    }
};

// The members of an object, in one block: `order` (insertion order, for everything that
// enumerates) with its items right after the map, and hash chains for lookup by name. A small
// map (at most 8 members, the threshold of the initial 11 buckets) has no bucket array yet and is
// searched along its order; the 9th member brings 23 buckets. bucketCount counts from 11 either
// way.
struct JsonMemberMap {
    static constexpr std::int32_t kInitialBuckets = 11;
    static constexpr std::int32_t kInitialCapacity = JsonElementList::kInitialCapacity;
    static constexpr float kLoadFactor = 0.75f;

    std::int32_t bucketCount;
    std::int32_t threshold;  // bucketCount * loadFactor, truncated
    std::uint64_t divisor;   // for the bucket of a hash without a division (see bucketOf)
    JsonValue** buckets;     // null while the map is small
    JsonElementList order;   // must stay last: its items follow it

    std::int32_t count() const noexcept { return order.count; }
    bool small() const noexcept { return buckets == nullptr; }

    // The bucket of a hash: (hash AND 7FFFFFFF) modulo bucketCount, by a multiplication with
    // `divisor` (2^64 / bucketCount rounded up).
    std::int32_t bucketOf(std::int32_t hash) const noexcept {
        return bucketIn(hash, bucketCount, divisor);
    }
    static std::int32_t bucketIn(std::int32_t hash, std::int32_t count,
                                 std::uint64_t countDivisor) noexcept {
        const std::uint64_t low = countDivisor * (static_cast<std::uint32_t>(hash) & 0x7FFFFFFFu);
        const auto n = static_cast<std::uint64_t>(static_cast<std::uint32_t>(count));
        // The high 64 bits of low * n.
        const std::uint64_t bottom = (low & 0xFFFFFFFFu) * n;
        const std::uint64_t top = (low >> 32) * n;
        return static_cast<std::int32_t>((top + (bottom >> 32)) >> 32);
    }
    static std::uint64_t divisorFor(std::int32_t bucketCount) noexcept {
        return ~std::uint64_t{0} / static_cast<std::uint32_t>(bucketCount) + 1;
    }
    static std::size_t bytesFor(std::int32_t capacity) noexcept {
        return sizeof(JsonMemberMap) + static_cast<std::size_t>(capacity) * sizeof(JsonValue*);
    }
};

class JsonArena;

class JsonNodes {
public:
    // A node with one reference and `extraChars` characters of storage in its own block.
    static JsonValue* make(JsonKind kind, std::pmr::memory_resource* heap,
                           std::size_t extraChars = 0);
    // The same from an open arena; the node's containers come from the arena too while it is
    // open.
    static JsonValue* makeIn(JsonKind kind, JsonArena* arena, std::size_t extraChars = 0);
    // Gives back to the arena the storage of the node just made by makeIn beyond `keptChars`.
    static void trimIn(JsonValue* v, JsonArena* arena, std::size_t keptChars) noexcept;
    // Where new allocations for `v` come from (JsonValue::heap).
    static std::pmr::memory_resource* heapOf(const JsonValue* v) noexcept;
    // The storage after the node.
    static char16_t* extra(JsonValue* v) noexcept { return reinterpret_cast<char16_t*>(v + 1); }

    // Places the key, or a string's characters or a literal, into the node's own storage at
    // `offset` characters (where they may have been written already). placeKey also sets the
    // key's hash, while the characters are at hand.
    static void placeKey(JsonValue* v, std::size_t offset, std::u16string_view key) noexcept;
    static void placeText(JsonValue* v, std::size_t offset, std::u16string_view s) noexcept;

    // Stores a parsed scalar into a new node: the characters (a string's, or a number's
    // literal) go into its own storage at `offset`.
    static void fill(JsonValue* v, std::size_t offset, JsonKind kind, std::u16string_view chars,
                     double real, std::int64_t integer, bool boolean) noexcept;

    // Gives an unattached node a key of its own allocation (replacing any key it has).
    static void setKey(JsonValue* v, std::u16string_view key);

    // The hash of a member name: over its UTF-16LE bytes from the last to the first,
    // h = h * 31 + byte in 32-bit arithmetic.
    static std::int32_t hashKey(std::u16string_view key) noexcept;

    // Frees contents and keeps the kind (JsonValue::clear).
    static void clearContents(JsonValue* v) noexcept;
    // Clears and sets the kind.
    static void reset(JsonValue* v, JsonKind kind) noexcept;
    // Replace the contents of `v` (cleared first) with a value of the kind. Throw before
    // changing anything when the new string cannot be allocated.
    static void assignString(JsonValue* v, std::u16string_view s);
    static void assignReal(JsonValue* v, double value, std::u16string_view literal);
    static void assignInteger(JsonValue* v, std::int64_t value, std::u16string_view literal);
    static void assignBoolean(JsonValue* v, bool value) noexcept;
    static void assignRaw(JsonValue* v, std::u16string_view text);

    // Children. The functions that add take over the caller's reference on `child`, which must
    // be unattached; they throw before linking anything.
    static void append(JsonValue* array, JsonValue* child);
    static void insert(JsonValue* array, std::int32_t index, JsonValue* child);  // 0..count
    // Replaces the element at `index` (< count); the old element is released.
    static void replaceAt(JsonValue* array, std::int32_t index, JsonValue* child);
    // Adds `child` under its key (set with placeKey or setKey); a member of the same name is
    // replaced in place and released.
    static void putMember(JsonValue* object, JsonValue* child);
    // The same with an explicit key: gives the child the key first.
    static void putMember(JsonValue* object, std::u16string_view key, JsonValue* child);
    // Fills an empty container (no list or map yet) with `children` in order, taking over their
    // references, in blocks of the exact size: what a parse does when a container closes. For an
    // object a later member of the same name replaces the earlier one in its place, and the
    // bucket count is the one that adding the members one by one gives. Members come with their
    // keys placed by placeKey. Throws before linking anything.
    static void adoptAll(JsonValue* container, JsonValue* const* children, std::size_t count);
    static JsonValue* findMember(const JsonValue* object, std::u16string_view key,
                                 std::int32_t hash) noexcept;
    // Moves the member at order position `from` to position `to`.
    static void moveMember(JsonValue* object, std::int32_t from, std::int32_t to) noexcept;
    // Removes `child` from its container and releases the container's reference.
    static void remove(JsonValue* child) noexcept;
    // Removes `child` from its container without touching any reference count.
    static void unlink(JsonValue* child) noexcept;
    // The items of an array or the member order of an object, for reordering in place.
    static JsonElementList* items(JsonValue* container) noexcept;

    // Detaches every child of a container without releasing it: the caller takes over the
    // references. Members keep their keys.
    static std::vector<JsonValue*> takeChildren(JsonValue* container);
    // Replaces the contents of `target` with those of the unattached `source`, which is left
    // empty. For a container both must use the same heap.
    static void moveContents(JsonValue* target, JsonValue* source);

    // A deep copy from `heap`: every kind, literal texts, keys in member order. No recursion.
    static JsonValue* deepCopy(const JsonValue* source, std::pmr::memory_resource* heap);

    // Releasing the last reference (JsonValue::release).
    static void destroy(JsonValue* v) noexcept;
    // Drops a reference that is no outside one: a container's, or the one a new node starts
    // with while the parse or a setter holds it.
    static void drop(JsonValue* v) noexcept;
    // After a successful parse into `root` from an arena: its children are the arena's tree.
    static void markArenaOwner(JsonValue* root) noexcept;

private:
    static void releaseChildren(JsonValue* v, JsonValue*& dying) noexcept;
    static void freeContents(JsonValue* v) noexcept;
    static void freeKey(JsonValue* v) noexcept;
    static void freeBlock(JsonValue* v) noexcept;
    static void* allocateFor(JsonValue* owner, std::size_t bytes, std::size_t align, bool& inArena);
    static void freeFor(JsonValue* owner, void* p, std::size_t bytes, std::size_t align,
                        bool inArena) noexcept;
    static void setFlag(JsonValue* v, std::uint8_t flag, bool on) noexcept;
    // The children of `container` change, or its contents: a parsed tree it belongs to or owns
    // can no longer be freed in one go.
    static void changed(JsonValue* container) noexcept;
    // `v` leaves its place, or takes one, in a tree.
    static void moved(JsonValue* v) noexcept;
    static void destroyAll(JsonValue* dying) noexcept;
    static char16_t* copyChars(std::pmr::memory_resource* heap, std::u16string_view s);
    static void freeChars(std::pmr::memory_resource* heap, char16_t* p, std::uint32_t n) noexcept;
    // A list of the next capacity for `owner` with the items of `list` (none: a new one);
    // frees `list` when it is a block of its own.
    static JsonElementList* growList(JsonValue* owner, JsonElementList* list, bool ownBlock,
                                     bool listInArena, bool& grownInArena);
    static JsonMemberMap* ensureMap(JsonValue* object);
    static JsonMemberMap* growMap(JsonValue* object, JsonMemberMap* map);
    static void growBuckets(JsonValue* object, JsonMemberMap* map, std::int32_t grownCount);
    static void chainAll(JsonMemberMap* map) noexcept;
    static JsonValue* copyShallow(const JsonValue* source, std::pmr::memory_resource* heap);
};

}  // namespace vesprey
