#include "json/arena.h"

#include <algorithm>
#include <cstddef>
#include <mutex>
#include <vector>

namespace vesprey {
namespace {

constexpr std::size_t kBlockSize = std::size_t{64} << 10;
constexpr std::size_t kBlockAlign = alignof(std::max_align_t);

// Blocks of the standard size that parses have given back, for the next parses: handing memory
// to the system and taking it again costs a page fault per 4 KB, more than the parse itself.
// At most kKeep blocks (64 MB) wait here; the rest go back to the heap.
class BlockCache {
public:
    static BlockCache& instance() {
        static BlockCache* cache = new BlockCache;  // never destroyed: arenas may outlive exit
        return *cache;
    }

    void* take() {
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
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (free_.size() < kKeep) {
                free_.push_back(block);
                return;
            }
        }
        heap()->deallocate(block, kBlockSize, kBlockAlign);
    }

    static std::pmr::memory_resource* heap() noexcept { return std::pmr::new_delete_resource(); }

private:
    static constexpr std::size_t kKeep = 1024;

    BlockCache() { free_.reserve(kKeep); }

    std::mutex mutex_;
    std::vector<void*> free_;
};

}  // namespace

JsonArena::JsonArena(std::pmr::memory_resource* upstream) : upstream_(upstream) {}

JsonArena::~JsonArena() {
    const bool cached = upstream_ == BlockCache::heap();
    for (const Block& b : blocks_) {
        if (cached && b.size == kBlockSize) {
            BlockCache::instance().give(b.data);
        } else {
            upstream_->deallocate(b.data, b.size, kBlockAlign);
        }
    }
}

char* JsonArena::addBlock(std::size_t size) {
    if (blocks_.size() == blocks_.capacity()) {
        blocks_.reserve(blocks_.size() * 2 + 16);  // before the block: push_back cannot throw
    }
    char* data = nullptr;
    if (size == kBlockSize && upstream_ == BlockCache::heap()) {
        data = static_cast<char*>(BlockCache::instance().take());
    } else {
        data = static_cast<char*>(upstream_->allocate(size, kBlockAlign));
    }
    blocks_.push_back({data, size});
    return data;
}

void* JsonArena::takeSlow(std::size_t bytes, std::size_t align) {
    if (bytes > kBlockSize / 4) {
        return addBlock(bytes);
    }
    block_ = addBlock(kBlockSize);
    size_ = kBlockSize;
    used_ = 0;
    const std::size_t at = (used_ + align - 1) & ~(align - 1);
    used_ = at + bytes;
    return block_ + at;
}

void JsonArena::seal() noexcept {
    open_ = false;
    const std::int64_t change = pending_ - 1;  // the parse's own hold goes
    if (live_.fetch_add(change, std::memory_order_acq_rel) + change == 0) {
        delete this;
    }
}

void JsonArena::nodesGone(JsonArena* arena, std::int64_t count) noexcept {
    if (arena->open_) {
        arena->pending_ -= count;
        return;
    }
    if (arena->live_.fetch_sub(count, std::memory_order_acq_rel) == count) {
        delete arena;
    }
}

}  // namespace vesprey
