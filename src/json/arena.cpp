#include "json/arena.h"

#include <cstddef>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace vesprey {
namespace {

constexpr std::size_t kBlockSize = std::size_t{64} << 10;
constexpr std::size_t kBlockAlign = alignof(std::max_align_t);

// Blocks of the standard size that parses have given back, for the next parses: handing memory
// to the system and taking it again costs a page fault per 4 KB, more than the parse itself.
// At most kKeep blocks (64 MB) wait here, and one more per thread; the rest go back to the heap.
class BlockCache {
public:
    static BlockCache& instance() {
        static BlockCache* cache = new BlockCache;  // never destroyed: arenas may outlive exit
        return *cache;
    }

    void* take() {
        if (Spare* spare = threadSpare(); spare != nullptr && spare->block != nullptr) {
            return std::exchange(spare->block, nullptr);
        }
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (!free_.empty()) {
                void* block = free_.back();
                free_.pop_back();
                return block;
            }
        }
        return heap()->allocate(kBlockSize, kBlockAlign);
    }

    void give(void* block) noexcept {
        if (Spare* spare = threadSpare(); spare != nullptr && spare->block == nullptr) {
            spare->block = block;
            return;
        }
        giveShared(block);
    }

    static std::pmr::memory_resource* heap() noexcept { return std::pmr::new_delete_resource(); }

private:
    static constexpr std::size_t kKeep = 1024;

    // The block a thread gave back last waits for its next parse outside the lock: a thread that
    // parses one short answer after another takes and gives back the same block. When the thread
    // ends the block goes to the others; a document released after that (by a destructor that
    // runs later) gives its blocks to them directly.
    struct Spare {
        void* block = nullptr;
        Spare() = default;
        Spare(const Spare&) = delete;
        Spare& operator=(const Spare&) = delete;
        ~Spare() {
            spareGone = true;
            if (block != nullptr) {
                instance().giveShared(block);
            }
        }
    };
    static inline thread_local bool spareGone = false;  // no destructor: readable to the end
    static Spare* threadSpare() noexcept {
        if (spareGone) {
            return nullptr;
        }
        thread_local Spare spare;
        return &spare;
    }

    void giveShared(void* block) noexcept {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (free_.size() < kKeep) {
                free_.push_back(block);
                return;
            }
        }
        heap()->deallocate(block, kBlockSize, kBlockAlign);
    }

    BlockCache() { free_.reserve(kKeep); }

    std::mutex mutex_;
    std::vector<void*> free_;
};

}  // namespace

JsonArena::JsonArena(std::pmr::memory_resource* upstream, Block* first) noexcept
    : upstream_(upstream), first_(first) {}

JsonArena* JsonArena::create(std::pmr::memory_resource* upstream) {
    static_assert(sizeof(Block) % kBlockAlign == 0 && alignof(JsonArena) <= kBlockAlign);
    void* memory = upstream == BlockCache::heap() ? BlockCache::instance().take()
                                                  : upstream->allocate(kBlockSize, kBlockAlign);
    auto* first = static_cast<Block*>(memory);
    first->next = nullptr;
    first->size = kBlockSize;
    auto* arena = new (first + 1) JsonArena(upstream, first);
    arena->block_ = static_cast<char*>(memory);
    arena->size_ = kBlockSize;
    arena->used_ = sizeof(Block) + sizeof(JsonArena);
    return arena;
}

void JsonArena::destroy(JsonArena* arena) noexcept {
    std::pmr::memory_resource* upstream = arena->upstream_;
    const bool cached = upstream == BlockCache::heap();
    auto free = [&](Block* b) {
        if (cached && b->size == kBlockSize) {
            BlockCache::instance().give(b);
        } else {
            upstream->deallocate(b, b->size, kBlockAlign);
        }
    };
    for (Block* b = arena->others_; b != nullptr;) {
        Block* next = b->next;
        free(b);
        b = next;
    }
    Block* first = arena->first_;
    arena->~JsonArena();
    free(first);
}

JsonArena::Block* JsonArena::addBlock(std::size_t size) {
    void* memory = size == kBlockSize && upstream_ == BlockCache::heap()
                       ? BlockCache::instance().take()
                       : upstream_->allocate(size, kBlockAlign);
    auto* b = static_cast<Block*>(memory);
    b->size = size;
    b->next = others_;
    others_ = b;
    return b;
}

void* JsonArena::takeSlow(std::size_t bytes, std::size_t align) {
    if (bytes > kBlockSize / 4) {
        if (align > kBlockAlign || bytes > static_cast<std::size_t>(-1) / 2) {
            throw std::bad_alloc();
        }
        return addBlock(sizeof(Block) + bytes) + 1;
    }
    block_ = reinterpret_cast<char*>(addBlock(kBlockSize));
    size_ = kBlockSize;
    const std::size_t at = (sizeof(Block) + align - 1) & ~(align - 1);
    used_ = at + bytes;
    return block_ + at;
}

void JsonArena::seal(JsonValue* owner) noexcept {
    open_ = false;
    nodes_ = pending_;
    owner_ = pending_ > 0 ? owner : nullptr;
    // The nodes made now count in live_, and the parse's own hold goes.
    const std::int64_t change = pending_ - 1;
    if (live_.fetch_add(change, std::memory_order_acq_rel) + change == 0) {
        destroy(this);
    }
}

void JsonArena::release(JsonArena* arena, std::int64_t count) noexcept {
    if (arena->open_) {
        arena->pending_ -= count;
        return;
    }
    if (arena->live_.fetch_sub(count, std::memory_order_acq_rel) == count) {
        destroy(arena);
    }
}

}  // namespace vesprey
