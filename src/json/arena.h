// Inside the JSON library: the block heap of one parse.
//
// A parse into a root on the default heap takes the nodes it creates, with their keys, strings
// and containers, from 64 KB blocks instead of one allocation each (a request over 16 KB, a long
// string or a large container, gets a block of its own); nothing of it is freed one by one.
// Blocks given back are kept (up to 64 MB) for the next parse. The arena lives as long as any
// of its nodes: it counts them, and the release of its last node frees the blocks. After the parse
// it hands out nothing more: later allocations for its nodes (a setter, a grown container) come
// from the heap below it and are freed normally.
//
// A consequence worth knowing: one node kept from a large parsed answer keeps that answer's
// blocks. The program reads a value and drops the whole document, so this costs nothing there.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <vector>

namespace vesprey {

class JsonArena final : public std::pmr::memory_resource {
public:
    explicit JsonArena(std::pmr::memory_resource* upstream);
    JsonArena(const JsonArena&) = delete;
    JsonArena& operator=(const JsonArena&) = delete;

    std::pmr::memory_resource* upstream() const noexcept { return upstream_; }
    // True until seal(): only the parse that made the arena allocates from it, on its thread.
    bool open() const noexcept { return open_; }

    // Bump allocation while open. Throws bad_alloc when the heap below fails.
    void* take(std::size_t bytes, std::size_t align) {
        const std::size_t at = (used_ + align - 1) & ~(align - 1);
        if (at + bytes > size_) {
            return takeSlow(bytes, align);
        }
        used_ = at + bytes;
        return block_ + at;
    }
    // A node was made from the arena (while open).
    void nodeMade() noexcept { ++pending_; }

    // Ends the parse. The arena frees itself now if no node of it is left, or later with its last
    // node.
    void seal() noexcept;
    // `count` nodes of `arena` are gone.
    static void nodesGone(JsonArena* arena, std::int64_t count) noexcept;

private:
    ~JsonArena() override;
    // A new block to bump from, or for a large request a block of its own (the current block
    // goes on serving the small ones).
    void* takeSlow(std::size_t bytes, std::size_t align);
    char* addBlock(std::size_t size);

    // Allocations through the memory_resource interface are passed to the heap below.
    void* do_allocate(std::size_t bytes, std::size_t align) override {
        return upstream_->allocate(bytes, align);
    }
    void do_deallocate(void* p, std::size_t bytes, std::size_t align) override {
        upstream_->deallocate(p, bytes, align);
    }
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
        return this == &other;
    }

    struct Block {
        char* data;
        std::size_t size;
    };

    std::pmr::memory_resource* upstream_;
    std::vector<Block> blocks_;
    char* block_ = nullptr;
    std::size_t used_ = 0;
    std::size_t size_ = 0;
    bool open_ = true;
    std::int64_t pending_ = 0;           // nodes made or gone while open (the parse's thread only)
    std::atomic<std::int64_t> live_{1};  // nodes after the seal, plus 1 for the open parse
};

}  // namespace vesprey
