// Inside the JSON library: the block heap of one parse.
//
// A parse into a root on the default heap takes the nodes it creates, with their keys, strings
// and containers, from 64 KB blocks instead of one allocation each (a request over 16 KB, a long
// string or a large container, gets a block of its own); nothing of it is freed one by one. The
// arena itself sits at the start of its first block, so a parse of a short answer allocates
// nothing but that block. Blocks given back are kept (up to 64 MB) for the next parse. After the
// parse the arena hands out nothing more: later allocations for its nodes (a setter, a grown
// container) come from the heap below it and are freed normally.
//
// The arena lives as long as any of its nodes: it counts them, and the release of its last node
// frees the blocks.
//
// Freeing the tree in one go: as long as nothing has changed the parsed tree since the parse (no
// node added, removed, moved or changed) and no reference to one of its nodes has been taken
// (JsonValue::addRef), every node of the arena is a descendant of the root the parse filled (its
// owner), held once, by its container, and owns nothing outside the blocks. Releasing the owner's
// children then frees the arena without visiting a single node. Each of those events calls
// disturb(), for good: from then on the nodes are released one by one.
//
// A consequence worth knowing: one node kept from a large parsed answer keeps that answer's
// blocks. The program reads a value and drops the whole document, so this costs nothing there.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory_resource>

namespace vesprey {

class JsonValue;

class JsonArena final : public std::pmr::memory_resource {
public:
    // A new open arena over `upstream`, in its first block. Throws bad_alloc.
    static JsonArena* create(std::pmr::memory_resource* upstream);
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
    // The last allocation, `p` of `bytes`, needs only `kept` of them: the rest serves the next
    // ones (unless it was a block of its own).
    void trimLast(void* p, std::size_t bytes, std::size_t kept) noexcept {
        if (static_cast<char*>(p) + bytes == block_ + used_) {
            used_ -= bytes - kept;
        }
    }
    // A node was made from the arena (while open).
    void nodeMade() noexcept { ++pending_; }

    // Ends the parse. `owner` is the root that holds what the parse made (null after a failed
    // parse). The arena frees itself now if no node of it is left, or later with its last node.
    void seal(JsonValue* owner) noexcept;
    // `count` nodes of `arena` are gone.
    static void nodesGone(JsonArena* arena, std::int64_t count) noexcept { release(arena, count); }

    // The parsed tree changed: it can no longer be freed in one go.
    void disturb() noexcept {
        if (!open_) {
            disturbed_.store(true, std::memory_order_relaxed);
        }
    }
    // Whether `container` is the owner of the arena and the tree is as the parse left it: then
    // the arena's nodes are exactly its descendants.
    bool wholeTreeOf(const JsonValue* container) const noexcept {
        return owner_ == container && !disturbed_.load(std::memory_order_relaxed);
    }
    // Frees the arena with all its nodes (after wholeTreeOf gave true).
    static void freeWholeTree(JsonArena* arena) noexcept { release(arena, arena->nodes_); }

private:
    // A block: this header, then the memory handed out.
    struct Block {
        Block* next;
        std::size_t size;  // with the header
    };

    explicit JsonArena(std::pmr::memory_resource* upstream, Block* first) noexcept;
    ~JsonArena() override = default;

    static void release(JsonArena* arena, std::int64_t count) noexcept;
    static void destroy(JsonArena* arena) noexcept;

    // A new block to bump from, or for a large request a block of its own (the current block
    // goes on serving the small ones).
    void* takeSlow(std::size_t bytes, std::size_t align);
    Block* addBlock(std::size_t size);

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

    std::pmr::memory_resource* upstream_;
    Block* first_;             // holds the arena itself
    Block* others_ = nullptr;  // the blocks taken after the first
    char* block_ = nullptr;
    std::size_t used_ = 0;
    std::size_t size_ = 0;
    bool open_ = true;
    std::atomic<bool> disturbed_{false};
    std::int64_t pending_ = 0;  // nodes made or gone while open (the parse's thread only)
    std::int64_t nodes_ = 0;    // nodes at the seal
    const JsonValue* owner_ = nullptr;
    std::atomic<std::int64_t> live_{1};  // nodes after the seal, plus 1 for the open parse
};

}  // namespace vesprey
