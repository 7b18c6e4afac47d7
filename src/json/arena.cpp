#include "json/arena.h"

#include <algorithm>
#include <cstddef>

namespace vesprey {
namespace {

constexpr std::size_t kSmallestBlock = 4096;
constexpr std::size_t kLargestBlock = std::size_t{64} << 10;  // small enough for the heap to reuse
constexpr std::size_t kBlockAlign = alignof(std::max_align_t);

}  // namespace

JsonArena::JsonArena(std::pmr::memory_resource* upstream, std::size_t sizeHint)
    : upstream_(upstream), nextSize_(std::clamp(sizeHint, kSmallestBlock, kLargestBlock)) {}

JsonArena::~JsonArena() {
    for (const Block& b : blocks_) {
        upstream_->deallocate(b.data, b.size, kBlockAlign);
    }
}

void JsonArena::newBlock(std::size_t atLeast) {
    const std::size_t size = std::max(nextSize_, atLeast);
    blocks_.reserve(blocks_.size() + 1);
    auto* data = static_cast<char*>(upstream_->allocate(size, kBlockAlign));
    blocks_.push_back({data, size});
    block_ = data;
    used_ = 0;
    size_ = size;
    nextSize_ = std::min(nextSize_ * 2, kLargestBlock);
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
