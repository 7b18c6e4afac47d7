#include "json/nodes.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>
#include <new>
#include <utility>
#include <vector>

#include "json/arena.h"

namespace vesprey {
namespace {

constexpr std::u16string_view kNullText = u"null";
constexpr std::u16string_view kTrueText = u"true";
constexpr std::u16string_view kFalseText = u"false";

std::int32_t thresholdFor(std::int32_t bucketCount) noexcept {
    return static_cast<std::int32_t>(static_cast<float>(bucketCount) * JsonMemberMap::kLoadFactor);
}

// The bucket count after adding `members` distinct members one by one: from 11, each time the
// count has reached the threshold, 2 * buckets + 1.
std::int32_t bucketCountFor(std::int32_t members) noexcept {
    std::int32_t buckets = JsonMemberMap::kInitialBuckets;
    while (thresholdFor(buckets) < members) {
        buckets = buckets * 2 + 1;
    }
    return buckets;
}

bool isContainer(JsonKind kind) noexcept {
    return kind == JsonKind::Array || kind == JsonKind::Object;
}

static_assert(sizeof(JsonValue) == 72, "a parsed value costs a node: keep it packed");
static_assert(offsetof(JsonMemberMap, order) + sizeof(JsonElementList) == sizeof(JsonMemberMap),
              "the member order's items follow the map");

}  // namespace

// ----- JsonValue -----

JsonValue* JsonValue::create(JsonKind kind, std::pmr::memory_resource* heap) noexcept {
    try {
        return JsonNodes::make(kind, heap);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void JsonValue::addRef() noexcept {
    if ((flags_ & kArenaNode) != 0) {
        // Held from outside, the node may outlive its tree: the tree is no longer freed in one go.
        static_cast<JsonArena*>(heap_)->disturb();
    }
    refCount_.fetch_add(1, std::memory_order_relaxed);
}

void JsonValue::release() noexcept {
    JsonNodes::drop(this);
}

void JsonValue::clear() noexcept {
    JsonNodes::clearContents(this);
}

std::u16string_view JsonValue::literal() const noexcept {
    switch (kind()) {
        case JsonKind::Null:
            return kNullText;
        case JsonKind::Boolean:
            return payload_.boolean != 0 ? kTrueText : kFalseText;
        case JsonKind::Real:
        case JsonKind::Integer:
        case JsonKind::Raw:
            return {text_, textLength_};
        default:
            return {};
    }
}

std::u16string_view JsonValue::string() const noexcept {
    if (kind() != JsonKind::String) {
        return {};
    }
    return {text_, textLength_};
}

std::int32_t JsonValue::count() const noexcept {
    if (kind() == JsonKind::Array) {
        return payload_.list != nullptr ? payload_.list->count : 0;
    }
    if (kind() == JsonKind::Object) {
        return payload_.map != nullptr ? payload_.map->count() : 0;
    }
    return 0;
}

JsonValue* JsonValue::at(std::int32_t index) const noexcept {
    const JsonElementList* list = nullptr;
    if (kind() == JsonKind::Array) {
        list = payload_.list;
    } else if (kind() == JsonKind::Object && payload_.map != nullptr) {
        list = &payload_.map->order;
    }
    if (list == nullptr || index < 0 || index >= list->count) {
        return nullptr;
    }
    return list->items()[index];
}

JsonValue* JsonValue::member(std::u16string_view name) const noexcept {
    return JsonNodes::findMember(this, name, JsonNodes::hashKey(name));
}

std::pmr::memory_resource* JsonValue::heap() const noexcept {
    return JsonNodes::heapOf(this);
}

std::int32_t JsonValue::bucketCount() const noexcept {
    if (kind() != JsonKind::Object || payload_.map == nullptr) {
        return 0;
    }
    return payload_.map->bucketCount;
}

// ----- Allocation -----

JsonValue* JsonNodes::make(JsonKind kind, std::pmr::memory_resource* heap, std::size_t extraChars) {
    if (heap == nullptr) {
        heap = std::pmr::get_default_resource();
    }
    if (extraChars > std::numeric_limits<std::uint32_t>::max() / 2) {
        throw std::bad_alloc();
    }
    void* block =
        heap->allocate(sizeof(JsonValue) + extraChars * sizeof(char16_t), alignof(JsonValue));
    auto* v = new (block) JsonValue();
    v->kind_ = static_cast<std::int8_t>(kind);
    v->heap_ = heap;
    v->extraChars_ = static_cast<std::uint32_t>(extraChars);
    return v;
}

JsonValue* JsonNodes::makeIn(JsonKind kind, JsonArena* arena, std::size_t extraChars) {
    if (extraChars > std::numeric_limits<std::uint32_t>::max() / 2) {
        throw std::bad_alloc();
    }
    void* block =
        arena->take(sizeof(JsonValue) + extraChars * sizeof(char16_t), alignof(JsonValue));
    auto* v = new (block) JsonValue();
    v->kind_ = static_cast<std::int8_t>(kind);
    v->heap_ = arena;
    v->extraChars_ = static_cast<std::uint32_t>(extraChars);
    v->flags_ = JsonValue::kArenaNode;
    arena->nodeMade();
    return v;
}

void JsonNodes::trimIn(JsonValue* v, JsonArena* arena, std::size_t keptChars) noexcept {
    arena->trimLast(v, sizeof(JsonValue) + std::size_t{v->extraChars_} * sizeof(char16_t),
                    sizeof(JsonValue) + keptChars * sizeof(char16_t));
    v->extraChars_ = static_cast<std::uint32_t>(keptChars);
}

std::pmr::memory_resource* JsonNodes::heapOf(const JsonValue* v) noexcept {
    if ((v->flags_ & JsonValue::kArenaNode) != 0) {
        return static_cast<JsonArena*>(v->heap_)->upstream();
    }
    return v->heap_;
}

void JsonNodes::freeBlock(JsonValue* v) noexcept {
    std::pmr::memory_resource* heap = v->heap_;
    const std::size_t bytes = sizeof(JsonValue) + std::size_t{v->extraChars_} * sizeof(char16_t);
    v->~JsonValue();
    heap->deallocate(v, bytes, alignof(JsonValue));
}

void* JsonNodes::allocateFor(JsonValue* owner, std::size_t bytes, std::size_t align,
                             bool& inArena) {
    if ((owner->flags_ & JsonValue::kArenaNode) != 0) {
        auto* arena = static_cast<JsonArena*>(owner->heap_);
        if (arena->open()) {
            inArena = true;
            return arena->take(bytes, align);
        }
        inArena = false;
        return arena->upstream()->allocate(bytes, align);
    }
    inArena = false;
    return owner->heap_->allocate(bytes, align);
}

void JsonNodes::freeFor(JsonValue* owner, void* p, std::size_t bytes, std::size_t align,
                        bool inArena) noexcept {
    if (!inArena) {  // arena blocks go with the arena
        heapOf(owner)->deallocate(p, bytes, align);
    }
}

void JsonNodes::changed(JsonValue* container) noexcept {
    container->flags_ &= static_cast<std::uint8_t>(~JsonValue::kArenaOwner);
    moved(container);
}

void JsonNodes::moved(JsonValue* v) noexcept {
    if ((v->flags_ & JsonValue::kArenaNode) != 0) {
        static_cast<JsonArena*>(v->heap_)->disturb();
    }
}

void JsonNodes::markArenaOwner(JsonValue* root) noexcept {
    if (items(root) != nullptr && items(root)->count > 0) {
        root->flags_ |= JsonValue::kArenaOwner;
    }
}

void JsonNodes::setFlag(JsonValue* v, std::uint8_t flag, bool on) noexcept {
    if (on) {
        v->flags_ |= flag;
    } else {
        v->flags_ &= static_cast<std::uint8_t>(~flag);
    }
}

char16_t* JsonNodes::copyChars(std::pmr::memory_resource* heap, std::u16string_view s) {
    if (s.empty()) {
        return nullptr;
    }
    if (s.size() > std::numeric_limits<std::uint32_t>::max() / 2) {
        throw std::bad_alloc();
    }
    auto* p =
        static_cast<char16_t*>(heap->allocate(s.size() * sizeof(char16_t), alignof(char16_t)));
    std::memcpy(p, s.data(), s.size() * sizeof(char16_t));
    return p;
}

void JsonNodes::freeChars(std::pmr::memory_resource* heap, char16_t* p, std::uint32_t n) noexcept {
    if (p != nullptr) {
        heap->deallocate(p, std::size_t{n} * sizeof(char16_t), alignof(char16_t));
    }
}

void JsonNodes::placeKey(JsonValue* v, std::size_t offset, std::u16string_view key) noexcept {
    char16_t* p = extra(v) + offset;
    if (!key.empty() && key.data() != p) {
        std::memcpy(p, key.data(), key.size() * sizeof(char16_t));
    }
    v->key_ = p;
    v->keyLength_ = static_cast<std::uint32_t>(key.size());
    v->hash_ = hashKey(key);
    v->flags_ |= JsonValue::kKeyInline;
}

void JsonNodes::placeText(JsonValue* v, std::size_t offset, std::u16string_view s) noexcept {
    char16_t* p = extra(v) + offset;
    if (!s.empty() && s.data() != p) {
        std::memcpy(p, s.data(), s.size() * sizeof(char16_t));
    }
    v->text_ = p;
    v->textLength_ = static_cast<std::uint32_t>(s.size());
    v->flags_ |= JsonValue::kTextInline;
}

void JsonNodes::fill(JsonValue* v, std::size_t offset, JsonKind kind, std::u16string_view chars,
                     double real, std::int64_t integer, bool boolean) noexcept {
    switch (kind) {
        case JsonKind::String:
            placeText(v, offset, chars);
            break;
        case JsonKind::Real:
            v->payload_.real = real;
            placeText(v, offset, chars);
            break;
        case JsonKind::Integer:
            v->payload_.integer = integer;
            placeText(v, offset, chars);
            break;
        case JsonKind::Boolean:
            v->payload_.boolean = boolean ? 1 : 0;
            break;
        default:
            break;
    }
}

void JsonNodes::setKey(JsonValue* v, std::u16string_view key) {
    moved(v);
    char16_t* p = copyChars(heapOf(v), key);
    freeKey(v);
    v->key_ = p;
    v->keyLength_ = static_cast<std::uint32_t>(key.size());
}

void JsonNodes::freeKey(JsonValue* v) noexcept {
    if ((v->flags_ & JsonValue::kKeyInline) == 0) {
        freeChars(heapOf(v), v->key_, v->keyLength_);
    }
    v->key_ = nullptr;
    v->keyLength_ = 0;
    v->flags_ &= static_cast<std::uint8_t>(~JsonValue::kKeyInline);
}

std::int32_t JsonNodes::hashKey(std::u16string_view key) noexcept {
    // Per character the high byte (last in memory, so read first) and then the low byte:
    // h = (h * 31 + high) * 31 + low, folded into one multiplication of h.
    std::uint32_t h = 0;
    for (std::size_t k = key.size(); k-- > 0;) {
        const auto c = static_cast<std::uint32_t>(key[k]);
        h = h * (31u * 31u) + (c >> 8) * 31u + (c & 0xFFu);
    }
    return static_cast<std::int32_t>(h);
}

// ----- Releasing -----

void JsonNodes::releaseChildren(JsonValue* v, JsonValue*& dying) noexcept {
    JsonElementList* list = items(v);
    if (list == nullptr) {
        return;
    }
    JsonValue** it = list->items();
    if ((v->flags_ & JsonValue::kArenaOwner) != 0 && list->count > 0) {
        // The children are the top of a parsed tree, all from one arena.
        v->flags_ &= static_cast<std::uint8_t>(~JsonValue::kArenaOwner);
        auto* arena = static_cast<JsonArena*>(it[0]->heap_);
        if (arena->wholeTreeOf(v)) {
            list->count = 0;
            JsonArena::freeWholeTree(arena);
            return;
        }
    }
    constexpr std::int32_t kAhead = 4;  // children are scattered: ask for them early
    for (std::int32_t k = 0; k < std::min(kAhead, list->count); ++k) {
        __builtin_prefetch(it[k], 1);
    }
    for (std::int32_t k = 0; k < list->count; ++k) {
        JsonValue* child = it[k];
        if (k + kAhead < list->count) {
            __builtin_prefetch(it[k + kAhead], 1);
        }
        // A count of 1 is the container's own reference: nothing else can reach the child, so
        // it dies without an atomic update.
        if (child->refCount_.load(std::memory_order_acquire) == 1 ||
            child->refCount_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            child->refCount_.store(0, std::memory_order_relaxed);
            child->parent_ = nullptr;
            child->next_ = dying;  // the chain link is free now: it strings the dying together
            dying = child;
        } else {
            moved(child);  // held from outside, it outlives its container
            child->parent_ = nullptr;
            child->next_ = nullptr;
            freeKey(child);
        }
    }
    list->count = 0;
}

void JsonNodes::freeContents(JsonValue* v) noexcept {
    const std::uint8_t flags = v->flags_;
    if (v->kind() == JsonKind::Array && v->payload_.list != nullptr) {
        freeFor(v, v->payload_.list, JsonElementList::bytesFor(v->payload_.list->capacity),
                alignof(JsonElementList), (flags & JsonValue::kBlockInArena) != 0);
    } else if (v->kind() == JsonKind::Object && v->payload_.map != nullptr) {
        JsonMemberMap* map = v->payload_.map;
        if (!map->small()) {
            freeFor(v, map->buckets,
                    static_cast<std::size_t>(map->bucketCount) * sizeof(JsonValue*),
                    alignof(JsonValue*), (flags & JsonValue::kBucketsInArena) != 0);
        }
        freeFor(v, map, JsonMemberMap::bytesFor(map->order.capacity), alignof(JsonMemberMap),
                (flags & JsonValue::kBlockInArena) != 0);
    }
    if ((flags & JsonValue::kTextInline) == 0) {
        freeChars(heapOf(v), v->text_, v->textLength_);
    }
    v->payload_.integer = 0;
    v->text_ = nullptr;
    v->textLength_ = 0;
    v->flags_ &= JsonValue::kKeyInline | JsonValue::kArenaNode;
}

void JsonNodes::destroyAll(JsonValue* dying) noexcept {
    // Nodes of an arena are counted off in batches: one atomic update per run of them.
    JsonArena* arena = nullptr;
    std::int64_t gone = 0;
    while (dying != nullptr) {
        JsonValue* v = dying;
        dying = v->next_;
        releaseChildren(v, dying);
        freeContents(v);
        freeKey(v);
        if ((v->flags_ & JsonValue::kArenaNode) != 0) {
            auto* own = static_cast<JsonArena*>(v->heap_);
            if (own != arena) {
                if (arena != nullptr) {
                    JsonArena::nodesGone(arena, gone);
                }
                arena = own;
                gone = 0;
            }
            ++gone;  // its memory goes with the arena
        } else {
            freeBlock(v);
        }
    }
    if (arena != nullptr) {
        JsonArena::nodesGone(arena, gone);
    }
}

void JsonNodes::destroy(JsonValue* v) noexcept {
    v->next_ = nullptr;
    destroyAll(v);
}

void JsonNodes::drop(JsonValue* v) noexcept {
    if (v->refCount_.fetch_sub(1, std::memory_order_acq_rel) != 1) {
        return;
    }
    if (v->parent_ != nullptr) {
        unlink(v);
    }
    destroy(v);
}

void JsonNodes::clearContents(JsonValue* v) noexcept {
    moved(v);  // its own tree changes; a tree it owns is released below
    JsonValue* dying = nullptr;
    releaseChildren(v, dying);
    freeContents(v);
    destroyAll(dying);
}

void JsonNodes::reset(JsonValue* v, JsonKind kind) noexcept {
    clearContents(v);
    v->kind_ = static_cast<std::int8_t>(kind);
}

// ----- Scalars -----

void JsonNodes::assignString(JsonValue* v, std::u16string_view s) {
    char16_t* p = copyChars(heapOf(v), s);
    reset(v, JsonKind::String);
    v->text_ = p;
    v->textLength_ = static_cast<std::uint32_t>(s.size());
}

void JsonNodes::assignReal(JsonValue* v, double value, std::u16string_view literal) {
    char16_t* p = copyChars(heapOf(v), literal);
    reset(v, JsonKind::Real);
    v->payload_.real = value;
    v->text_ = p;
    v->textLength_ = static_cast<std::uint32_t>(literal.size());
}

void JsonNodes::assignInteger(JsonValue* v, std::int64_t value, std::u16string_view literal) {
    char16_t* p = copyChars(heapOf(v), literal);
    reset(v, JsonKind::Integer);
    v->payload_.integer = value;
    v->text_ = p;
    v->textLength_ = static_cast<std::uint32_t>(literal.size());
}

void JsonNodes::assignBoolean(JsonValue* v, bool value) noexcept {
    reset(v, JsonKind::Boolean);
    v->payload_.boolean = value ? 1 : 0;
}

void JsonNodes::assignRaw(JsonValue* v, std::u16string_view text) {
    char16_t* p = copyChars(heapOf(v), text);
    reset(v, JsonKind::Raw);
    v->text_ = p;
    v->textLength_ = static_cast<std::uint32_t>(text.size());
}

// ----- Element lists -----

JsonElementList* JsonNodes::growList(JsonValue* owner, JsonElementList* list, bool ownBlock,
                                     bool listInArena, bool& grownInArena) {
    std::int32_t capacity = JsonElementList::kInitialCapacity;
    if (list != nullptr) {
        if (list->capacity > (std::numeric_limits<std::int32_t>::max() - 1) / 2) {
            throw std::bad_alloc();
        }
        capacity = list->capacity * 2 + 1;
    }
    auto* grown = static_cast<JsonElementList*>(allocateFor(
        owner, JsonElementList::bytesFor(capacity), alignof(JsonElementList), grownInArena));
    grown->capacity = capacity;
    grown->count = 0;
    if (list != nullptr) {
        grown->count = list->count;
        std::memcpy(grown->items(), list->items(),
                    static_cast<std::size_t>(list->count) * sizeof(JsonValue*));
        if (ownBlock) {
            freeFor(owner, list, JsonElementList::bytesFor(list->capacity),
                    alignof(JsonElementList), listInArena);
        }
    }
    return grown;
}

JsonElementList* JsonNodes::items(JsonValue* container) noexcept {
    if (container->kind() == JsonKind::Array) {
        return container->payload_.list;
    }
    if (container->kind() == JsonKind::Object && container->payload_.map != nullptr) {
        return &container->payload_.map->order;
    }
    return nullptr;
}

void JsonNodes::append(JsonValue* array, JsonValue* child) {
    changed(array);
    moved(child);
    JsonElementList* list = array->payload_.list;
    if (list == nullptr || list->count == list->capacity) {
        bool inArena = false;
        list = growList(array, list, list != nullptr,
                        (array->flags_ & JsonValue::kBlockInArena) != 0, inArena);
        array->payload_.list = list;
        setFlag(array, JsonValue::kBlockInArena, inArena);
    }
    list->items()[list->count++] = child;
    child->parent_ = array;
}

void JsonNodes::insert(JsonValue* array, std::int32_t index, JsonValue* child) {
    changed(array);
    moved(child);
    JsonElementList* list = array->payload_.list;
    if (list == nullptr || list->count == list->capacity) {
        bool inArena = false;
        list = growList(array, list, list != nullptr,
                        (array->flags_ & JsonValue::kBlockInArena) != 0, inArena);
        array->payload_.list = list;
        setFlag(array, JsonValue::kBlockInArena, inArena);
    }
    JsonValue** it = list->items();
    std::memmove(it + index + 1, it + index,
                 static_cast<std::size_t>(list->count - index) * sizeof(JsonValue*));
    it[index] = child;
    ++list->count;
    child->parent_ = array;
}

void JsonNodes::replaceAt(JsonValue* array, std::int32_t index, JsonValue* child) {
    changed(array);
    moved(child);
    JsonValue*& slot = array->payload_.list->items()[index];
    JsonValue* old = slot;
    moved(old);
    slot = child;
    child->parent_ = array;
    old->parent_ = nullptr;
    freeKey(old);
    drop(old);
}

// ----- Member maps -----

JsonMemberMap* JsonNodes::ensureMap(JsonValue* object) {
    if (object->payload_.map != nullptr) {
        return object->payload_.map;
    }
    bool inArena = false;
    auto* map = static_cast<JsonMemberMap*>(
        allocateFor(object, JsonMemberMap::bytesFor(JsonMemberMap::kInitialCapacity),
                    alignof(JsonMemberMap), inArena));
    setFlag(object, JsonValue::kBlockInArena, inArena);
    map->bucketCount = JsonMemberMap::kInitialBuckets;
    map->threshold = thresholdFor(map->bucketCount);
    map->divisor = JsonMemberMap::divisorFor(map->bucketCount);
    map->buckets = nullptr;
    map->order.count = 0;
    map->order.capacity = JsonMemberMap::kInitialCapacity;
    object->payload_.map = map;
    return map;
}

JsonMemberMap* JsonNodes::growMap(JsonValue* object, JsonMemberMap* map) {
    const std::int32_t capacity = map->order.capacity;
    if (capacity > (std::numeric_limits<std::int32_t>::max() - 1) / 2) {
        throw std::bad_alloc();
    }
    const std::int32_t grownCapacity = capacity * 2 + 1;
    bool inArena = false;
    auto* grown = static_cast<JsonMemberMap*>(allocateFor(
        object, JsonMemberMap::bytesFor(grownCapacity), alignof(JsonMemberMap), inArena));
    std::memcpy(static_cast<void*>(grown), map, JsonMemberMap::bytesFor(map->order.count));
    grown->order.capacity = grownCapacity;
    freeFor(object, map, JsonMemberMap::bytesFor(capacity), alignof(JsonMemberMap),
            (object->flags_ & JsonValue::kBlockInArena) != 0);
    setFlag(object, JsonValue::kBlockInArena, inArena);
    object->payload_.map = grown;
    return grown;
}

void JsonNodes::chainAll(JsonMemberMap* map) noexcept {
    std::fill_n(map->buckets, map->bucketCount, nullptr);
    JsonValue* const* it = map->order.items();
    for (std::int32_t k = 0; k < map->order.count; ++k) {
        JsonValue*& head = map->buckets[map->bucketOf(it[k]->hash_)];
        it[k]->next_ = head;
        head = it[k];
    }
}

void JsonNodes::growBuckets(JsonValue* object, JsonMemberMap* map, std::int32_t grownCount) {
    bool inArena = false;
    auto* grown = static_cast<JsonValue**>(
        allocateFor(object, static_cast<std::size_t>(grownCount) * sizeof(JsonValue*),
                    alignof(JsonValue*), inArena));
    if (!map->small()) {
        freeFor(object, map->buckets,
                static_cast<std::size_t>(map->bucketCount) * sizeof(JsonValue*),
                alignof(JsonValue*), (object->flags_ & JsonValue::kBucketsInArena) != 0);
    }
    setFlag(object, JsonValue::kBucketsInArena, inArena);
    map->buckets = grown;
    map->bucketCount = grownCount;
    map->divisor = JsonMemberMap::divisorFor(grownCount);
    map->threshold = thresholdFor(grownCount);
    chainAll(map);
}

JsonValue* JsonNodes::findMember(const JsonValue* object, std::u16string_view key,
                                 std::int32_t hash) noexcept {
    if (object->kind() != JsonKind::Object || object->payload_.map == nullptr) {
        return nullptr;
    }
    const JsonMemberMap* map = object->payload_.map;
    if (map->small()) {
        JsonValue* const* it = map->order.items();
        for (std::int32_t k = 0; k < map->order.count; ++k) {
            if (it[k]->hash_ == hash && it[k]->key() == key) {
                return it[k];
            }
        }
        return nullptr;
    }
    for (JsonValue* v = map->buckets[map->bucketOf(hash)]; v != nullptr; v = v->next_) {
        if (v->hash_ == hash && v->key() == key) {
            return v;
        }
    }
    return nullptr;
}

void JsonNodes::putMember(JsonValue* object, std::u16string_view key, JsonValue* child) {
    setKey(child, key);
    putMember(object, child);
}

void JsonNodes::putMember(JsonValue* object, JsonValue* child) {
    changed(object);
    moved(child);
    JsonMemberMap* map = ensureMap(object);
    const std::u16string_view key = child->key();
    const std::int32_t hash = hashKey(key);

    JsonValue** link = nullptr;
    JsonValue* old = nullptr;
    if (map->small()) {
        old = findMember(object, key, hash);
    } else {
        link = &map->buckets[map->bucketOf(hash)];
        while (*link != nullptr && ((*link)->hash_ != hash || (*link)->key() != key)) {
            link = &(*link)->next_;
        }
        old = *link;
    }
    if (old != nullptr) {
        // The later value wins and keeps the earlier one's place in the chain and the order.
        child->next_ = old->next_;
        if (link != nullptr) {
            *link = child;
        }
        JsonValue** it = map->order.items();
        *std::find(it, it + map->order.count, old) = child;
        child->hash_ = hash;
        child->parent_ = object;
        moved(old);
        old->parent_ = nullptr;
        old->next_ = nullptr;
        freeKey(old);
        drop(old);
        return;
    }

    if (map->count() >= map->threshold) {
        if (map->bucketCount > (std::numeric_limits<std::int32_t>::max() - 1) / 2) {
            throw std::bad_alloc();
        }
        growBuckets(object, map, map->bucketCount * 2 + 1);
    }
    if (map->order.count == map->order.capacity) {
        map = growMap(object, map);
    }
    child->next_ = nullptr;
    if (!map->small()) {
        JsonValue*& head = map->buckets[map->bucketOf(hash)];
        child->next_ = head;
        head = child;
    }
    child->hash_ = hash;
    child->parent_ = object;
    map->order.items()[map->order.count++] = child;
}

void JsonNodes::adoptAll(JsonValue* container, JsonValue* const* children, std::size_t count) {
    if (count == 0) {
        return;
    }
    if (count > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        throw std::bad_alloc();
    }
    const auto n = static_cast<std::int32_t>(count);
    changed(container);
    bool inArena = false;
    if (container->kind() == JsonKind::Array) {
        auto* list = static_cast<JsonElementList*>(allocateFor(
            container, JsonElementList::bytesFor(n), alignof(JsonElementList), inArena));
        list->count = n;
        list->capacity = n;
        JsonValue** it = list->items();
        for (std::int32_t k = 0; k < n; ++k) {
            it[k] = children[k];
            it[k]->parent_ = container;
        }
        container->payload_.list = list;
        setFlag(container, JsonValue::kBlockInArena, inArena);
        return;
    }

    // Room for every member, and the buckets that many distinct members would have brought:
    // adding them below then allocates nothing more.
    const std::int32_t bucketCount = bucketCountFor(n);
    auto* map = static_cast<JsonMemberMap*>(
        allocateFor(container, JsonMemberMap::bytesFor(n), alignof(JsonMemberMap), inArena));
    JsonValue** buckets = nullptr;
    bool bucketsInArena = false;
    if (bucketCount != JsonMemberMap::kInitialBuckets) {
        try {
            buckets = static_cast<JsonValue**>(
                allocateFor(container, static_cast<std::size_t>(bucketCount) * sizeof(JsonValue*),
                            alignof(JsonValue*), bucketsInArena));
        } catch (...) {
            freeFor(container, map, JsonMemberMap::bytesFor(n), alignof(JsonMemberMap), inArena);
            throw;
        }
        std::fill_n(buckets, bucketCount, nullptr);
    }
    map->bucketCount = bucketCount;
    map->threshold = thresholdFor(bucketCount);
    map->divisor = JsonMemberMap::divisorFor(bucketCount);
    map->buckets = buckets;
    map->order.count = 0;
    map->order.capacity = n;
    container->payload_.map = map;
    setFlag(container, JsonValue::kBlockInArena, inArena);
    setFlag(container, JsonValue::kBucketsInArena, bucketsInArena);
    // What putMember does, without its checks for room: there is room for every member.
    JsonValue** order = map->order.items();
    for (std::int32_t k = 0; k < n; ++k) {
        JsonValue* child = children[k];
        const std::u16string_view key = child->key();
        const std::int32_t hash = child->hash_;  // set by placeKey
        JsonValue** head = nullptr;
        bool repeated = false;
        if (buckets == nullptr) {
            for (std::int32_t j = 0; j < map->order.count && !repeated; ++j) {
                repeated = order[j]->hash_ == hash && order[j]->key() == key;
            }
        } else {
            head = &buckets[map->bucketOf(hash)];
            for (const JsonValue* v = *head; v != nullptr && !repeated; v = v->next_) {
                repeated = v->hash_ == hash && v->key() == key;
            }
        }
        if (repeated) {
            putMember(container, child);  // in place of the earlier one
            continue;
        }
        child->next_ = head != nullptr ? *head : nullptr;
        if (head != nullptr) {
            *head = child;
        }
        child->parent_ = container;
        order[map->order.count++] = child;
    }

    // Repeated names leave fewer members than there was room for: the buckets they would have.
    const std::int32_t fitting = bucketCountFor(map->count());
    if (fitting == map->bucketCount) {
        return;
    }
    if (fitting == JsonMemberMap::kInitialBuckets) {
        freeFor(container, map->buckets,
                static_cast<std::size_t>(map->bucketCount) * sizeof(JsonValue*),
                alignof(JsonValue*), bucketsInArena);
        setFlag(container, JsonValue::kBucketsInArena, false);
        map->buckets = nullptr;
        map->bucketCount = fitting;
        map->threshold = thresholdFor(fitting);
        map->divisor = JsonMemberMap::divisorFor(fitting);
        for (std::int32_t k = 0; k < map->order.count; ++k) {
            map->order.items()[k]->next_ = nullptr;
        }
        return;
    }
    try {
        growBuckets(container, map, fitting);
    } catch (const std::bad_alloc&) {
        // The larger buckets serve lookups as well.
    }
}

void JsonNodes::moveMember(JsonValue* object, std::int32_t from, std::int32_t to) noexcept {
    JsonValue** it = object->payload_.map->order.items();
    if (from < to) {
        std::rotate(it + from, it + from + 1, it + to + 1);
    } else if (to < from) {
        std::rotate(it + to, it + from, it + from + 1);
    }
}

void JsonNodes::unlink(JsonValue* child) noexcept {
    JsonValue* parent = child->parent_;
    if (parent == nullptr) {
        return;
    }
    changed(parent);
    moved(child);
    child->parent_ = nullptr;
    JsonElementList* list = items(parent);
    if (list == nullptr) {
        child->next_ = nullptr;
        return;
    }
    if (parent->kind() == JsonKind::Object && !parent->payload_.map->small()) {
        JsonMemberMap* map = parent->payload_.map;
        JsonValue** link = &map->buckets[map->bucketOf(child->hash_)];
        while (*link != nullptr && *link != child) {
            link = &(*link)->next_;
        }
        if (*link == child) {
            *link = child->next_;
        }
    }
    JsonValue** it = list->items();
    JsonValue** end = it + list->count;
    JsonValue** at = std::find(it, end, child);
    if (at != end) {
        std::memmove(at, at + 1, static_cast<std::size_t>(end - at - 1) * sizeof(JsonValue*));
        --list->count;
    }
    child->next_ = nullptr;
}

void JsonNodes::remove(JsonValue* child) noexcept {
    unlink(child);
    freeKey(child);
    drop(child);
}

std::vector<JsonValue*> JsonNodes::takeChildren(JsonValue* container) {
    std::vector<JsonValue*> children;
    JsonElementList* list = items(container);
    if (list == nullptr) {
        return children;
    }
    children.assign(list->items(), list->items() + list->count);
    changed(container);
    for (JsonValue* child : children) {
        moved(child);
        child->parent_ = nullptr;
        child->next_ = nullptr;
    }
    list->count = 0;
    if (container->kind() == JsonKind::Object && !container->payload_.map->small()) {
        JsonMemberMap* map = container->payload_.map;
        std::fill_n(map->buckets, map->bucketCount, nullptr);
    }
    return children;
}

void JsonNodes::moveContents(JsonValue* target, JsonValue* source) {
    switch (source->kind()) {
        case JsonKind::String:
            assignString(target, source->string());
            break;
        case JsonKind::Real:
            assignReal(target, source->payload_.real, source->literal());
            break;
        case JsonKind::Integer:
            assignInteger(target, source->payload_.integer, source->literal());
            break;
        case JsonKind::Raw:
            assignRaw(target, source->literal());
            break;
        case JsonKind::Boolean:
            assignBoolean(target, source->payload_.boolean != 0);
            break;
        case JsonKind::Null:
            reset(target, JsonKind::Null);
            break;
        case JsonKind::Array:
        case JsonKind::Object: {
            reset(target, source->kind());
            changed(source);
            target->payload_ = source->payload_;
            source->payload_.integer = 0;
            if (JsonElementList* list = items(target); list != nullptr) {
                for (std::int32_t k = 0; k < list->count; ++k) {
                    moved(list->items()[k]);
                    list->items()[k]->parent_ = target;
                }
            }
            break;
        }
    }
    clearContents(source);
}

// ----- Deep copies -----

JsonValue* JsonNodes::copyShallow(const JsonValue* source, std::pmr::memory_resource* heap) {
    const std::u16string_view text{source->text_, source->textLength_};
    const std::u16string_view key = source->key();
    JsonValue* v = make(source->kind(), heap, key.size() + text.size());
    placeKey(v, 0, key);
    switch (source->kind()) {
        case JsonKind::Real:
            v->payload_.real = source->payload_.real;
            placeText(v, key.size(), text);
            break;
        case JsonKind::Integer:
            v->payload_.integer = source->payload_.integer;
            placeText(v, key.size(), text);
            break;
        case JsonKind::Boolean:
            v->payload_.boolean = source->payload_.boolean;
            break;
        case JsonKind::String:
        case JsonKind::Raw:
            placeText(v, key.size(), text);
            break;
        default:
            break;
    }
    return v;
}

JsonValue* JsonNodes::deepCopy(const JsonValue* source, std::pmr::memory_resource* heap) {
    JsonValue* top = copyShallow(source, heap);
    freeKey(top);  // the copy is unattached
    if (!isContainer(source->kind()) || source->count() == 0) {
        return top;
    }
    try {
        std::vector<std::pair<const JsonValue*, JsonValue*>> work;
        work.emplace_back(source, top);
        while (!work.empty()) {
            auto [from, to] = work.back();
            work.pop_back();
            const std::int32_t n = from->count();
            for (std::int32_t k = 0; k < n; ++k) {
                const JsonValue* child = from->at(k);
                JsonValue* copy = copyShallow(child, heapOf(to));
                try {
                    if (to->kind() == JsonKind::Object) {
                        putMember(to, copy);
                    } else {
                        freeKey(copy);
                        append(to, copy);
                    }
                } catch (...) {
                    copy->release();
                    throw;
                }
                if (isContainer(child->kind()) && child->count() > 0) {
                    work.emplace_back(child, copy);
                }
            }
        }
    } catch (...) {
        top->release();
        throw;
    }
    return top;
}

}  // namespace vesprey
