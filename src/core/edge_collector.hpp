// Edges gathered while a scan finds them, when their number is not known in advance.
// Plain C++; no interpreter calls.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "core/graph_record.hpp"
#include "core/memory.hpp"

namespace kestrel {

// Edges in a buffer that is never cleared before use: a page the edges never reach is
// never touched (so costs no memory), and the pages they do reach are first written by
// whichever thread fills them. The edges are storage[first, first + size) of `room`.
struct EdgeBuffer {
    std::unique_ptr<Edge[]> storage;
    std::size_t first = 0;
    std::size_t size = 0;
    std::size_t room = 0;

    // Room for `capacity` edges (at least one, so data() is never null).
    static EdgeBuffer with_room(std::size_t capacity) {
        EdgeBuffer buffer;
        const std::size_t room = capacity == 0 ? 1 : capacity;
        buffer.storage = std::make_unique_for_overwrite<Edge[]>(room);
        buffer.room = room;
        prefer_huge_pages(buffer.storage.get(), room * sizeof(Edge));
        return buffer;
    }
    const Edge* data() const noexcept { return storage.get() + first; }
    Edge* data() noexcept { return storage.get() + first; }

    // The block handed to a graph record as it is: the edges are not copied, and pages
    // below `first` that no edge reached stay untouched.
    SharedRows<Edge> into_rows() && {
        return SharedRows<Edge>(std::move(storage), room, first, size);
    }
};

// Fixed blocks instead of one growing array: a vector that grows holds its old and new
// storage at once, so an edge list of m edges briefly needs up to twice its size. Joining
// the blocks into one array of the final size frees each block as soon as it is copied,
// so the peak is the result plus one block.
class EdgeCollector {
public:
    void push(const Edge& edge) {
        if (fill_ == kBlock) [[unlikely]] add_block();
        current_[fill_++] = edge;
    }

    std::size_t size() const noexcept {
        return blocks_.empty() ? 0 : (blocks_.size() - 1) * kBlock + fill_;
    }

    // The k-th edge pushed.
    const Edge& operator[](std::size_t k) const noexcept { return blocks_[k / kBlock][k % kBlock]; }

    // Calls f(edge) for every edge in the order pushed, freeing each block after it; the
    // collector is empty afterwards.
    template <class F>
    void drain(F&& f) {
        for (std::size_t b = 0; b < blocks_.size(); ++b) {
            const std::size_t count = b + 1 == blocks_.size() ? fill_ : kBlock;
            const Edge* block = blocks_[b].get();
            for (std::size_t k = 0; k < count; ++k) f(block[k]);
            blocks_[b].reset();
        }
        clear();
    }

    void clear() noexcept {
        blocks_.clear();
        current_ = nullptr;
        fill_ = kBlock;
    }

    // The edges as one array of exactly their number.
    std::vector<Edge> finish() {
        std::vector<Edge> edges;
        reserve_large(edges, size());
        for (std::size_t b = 0; b < blocks_.size(); ++b) {
            const std::size_t count = b + 1 == blocks_.size() ? fill_ : kBlock;
            edges.insert(edges.end(), blocks_[b].get(), blocks_[b].get() + count);
            blocks_[b].reset();
        }
        clear();
        return edges;
    }

private:
    static constexpr std::size_t kBlock = std::size_t{1} << 16;  // 1 MiB of edges

    void add_block() {
        blocks_.reserve(blocks_.size() + 1);  // the push_back below then cannot throw
        blocks_.push_back(std::make_unique_for_overwrite<Edge[]>(kBlock));
        current_ = blocks_.back().get();
        fill_ = 0;
    }

    std::vector<std::unique_ptr<Edge[]>> blocks_;
    Edge* current_ = nullptr;
    std::size_t fill_ = kBlock;
};

}  // namespace kestrel
