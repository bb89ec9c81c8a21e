// The graph record: vertices as (x, y) doubles and undirected edges as (low, high)
// index pairs, in two flat growable arrays. Plain C++; no interpreter calls.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <span>
#include <utility>
#include <vector>

namespace kestrel {

struct Vertex {
    double x;
    double y;
};

struct Edge {
    std::size_t low;
    std::size_t high;

    friend bool operator==(const Edge&, const Edge&) = default;
};

// Lexicographic order of (low, high); the order in which builders discover edges.
inline bool edge_less(const Edge& a, const Edge& b) {
    return a.low < b.low || (a.low == b.low && a.high < b.high);
}

enum class GraphStatus { ok, index_out_of_bounds };

// A read view of a record's rows, valid until the record's next edit.
template <class T>
class Rows : public std::span<const T> {
public:
    explicit Rows(std::span<const T> rows) : std::span<const T>(rows) {}
    // A copy of the rows, for code that keeps them beyond the record's next edit.
    operator std::vector<T>() const { return std::vector<T>(this->begin(), this->end()); }

    friend bool operator==(const Rows& a, const Rows& b) { return std::ranges::equal(a, b); }
    friend bool operator==(const Rows& a, const std::vector<T>& b) { return std::ranges::equal(a, b); }
};

// Rows of trivially copyable T in one heap block that the record shares with the arrays
// it exports (and with copies of the record). Whoever edits writes the block only while
// it is the block's sole holder and copies it first otherwise, so every other holder's
// rows never change and never dangle. Plain C++: the holders are shared_ptr owners.
template <class T>
class SharedRows {
public:
    SharedRows() = default;
    SharedRows(const SharedRows&) = default;  // shares the block; an edit copies it
    SharedRows& operator=(const SharedRows&) = default;
    SharedRows(SharedRows&& other) noexcept
        : block_(std::move(other.block_)),
          data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    SharedRows& operator=(SharedRows&& other) noexcept {
        SharedRows old(std::move(*this));  // released after the exchange, even on self-move
        block_ = std::move(other.block_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        return *this;
    }

    // Takes over a finished vector's storage; no row is copied.
    explicit SharedRows(std::vector<T>&& rows) {
        if (rows.empty()) return;
        auto holder = std::make_shared<std::vector<T>>(std::move(rows));
        data_ = holder->data();
        size_ = holder->size();
        capacity_ = size_;  // the vector's spare room holds no rows, so it is not written
        block_ = std::move(holder);
    }
    // Takes over rows [first, first + size) of a block of `room` rows; the rows above
    // them are room to grow into.
    SharedRows(std::unique_ptr<T[]> block, std::size_t room, std::size_t first, std::size_t size) {
        if (!block) return;
        T* const base = block.get();
        block_ = std::shared_ptr<T[]>(std::move(block));  // on bad_alloc `block` frees it
        data_ = base + first;
        size_ = size;
        capacity_ = room - first;
    }

    Rows<T> view() const noexcept { return Rows<T>(std::span<const T>(data_, size_)); }
    std::size_t size() const noexcept { return size_; }
    // The block, for an export that reads rows [0, size()) of data() for as long as it
    // holds it.
    std::shared_ptr<const void> owner() const noexcept { return block_; }
    const T* data() const noexcept { return data_; }

    // Strong guarantee on bad_alloc: a full or shared block is replaced (grown) before
    // the row is written.
    void push_back(const T& row) {
        if (size_ == capacity_ || shared()) {
            replace_block(size_ == capacity_ ? size_ + std::max<std::size_t>(size_, 1) : capacity_);
        }
        data_[size_++] = row;
    }
    // Room for `count` rows; a hint only.
    void reserve(std::size_t count) {
        if (count > capacity_) replace_block(count);
    }
    // The rows to write in place: the block is copied first unless this holds it alone.
    // Strong guarantee on bad_alloc (the rows are unchanged either way).
    T* writable() {
        if (shared()) replace_block(std::max<std::size_t>(size_, 1));
        return data_;
    }
    // Drops the rows from `count` on; after writable().
    void truncate(std::size_t count) noexcept { size_ = std::min(size_, count); }
    void clear() noexcept { *this = SharedRows(); }

private:
    bool shared() const noexcept { return block_ && block_.use_count() > 1; }

    // A fresh block of `capacity` rows holding this one's rows; the old block stays with
    // its other holders.
    void replace_block(std::size_t capacity) {
        std::unique_ptr<T[]> fresh = std::make_unique_for_overwrite<T[]>(capacity);
        std::copy(data_, data_ + size_, fresh.get());
        T* const base = fresh.get();
        std::shared_ptr<void> holder = std::shared_ptr<T[]>(std::move(fresh));
        block_ = std::move(holder);
        data_ = base;
        capacity_ = capacity;
    }

    std::shared_ptr<void> block_;
    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;  // rows from data_ to the block's end
};

class VisibilityGraph {
public:
    VisibilityGraph() = default;
    VisibilityGraph(const VisibilityGraph&) = default;
    VisibilityGraph& operator=(const VisibilityGraph&) = default;
    VisibilityGraph(VisibilityGraph&& other) noexcept;
    VisibilityGraph& operator=(VisibilityGraph&& other) noexcept;

    // Appends (x, y) unchanged and returns its index. Strong guarantee on bad_alloc.
    std::size_t add_vertex(double x, double y);
    // Range test first, then a silent drop of self-loops and duplicates.
    GraphStatus add_edge(std::size_t v1, std::size_t v2);
    // Removes the vertex, its edges, and renumbers every later index.
    GraphStatus remove_vertex(std::size_t index);
    // True when an edge was removed; never fails.
    bool remove_edge(std::size_t v1, std::size_t v2);

    Rows<Vertex> vertices() const { return vertices_.view(); }
    Rows<Edge> edges() const { return edges_.view(); }
    std::size_t node_count() const { return vertices_.size(); }
    std::size_t edge_count() const { return edges_.size(); }
    // The storage itself, for exports that share it rather than copy it.
    const SharedRows<Vertex>& vertex_rows() const { return vertices_; }
    const SharedRows<Edge>& edge_rows() const { return edges_; }

    // Reserve room ahead of a known number of vertices; a hint only.
    void reserve_vertices(std::size_t count) { vertices_.reserve(count); }

    // A record made in bulk from finished arrays, without the per-edge duplicate search.
    // The edges must be strictly ascending in (low, high) with high < vertex count; that
    // is checked in one linear pass and a violation is an internal fault, so the
    // record's invariants (no self-loop, no duplicate, in range, ascending flag) hold.
    static VisibilityGraph from_sorted(std::vector<Vertex> vertices, std::vector<Edge> edges);
    // The same from rows already in shared storage (moved in, never copied).
    static VisibilityGraph from_sorted(SharedRows<Vertex> vertices, SharedRows<Edge> edges);

private:
    // Position of (low, high) in edges_, or edges_.size() when absent.
    std::size_t find_edge(const Edge& edge) const;
    // Recomputes sorted_ after a pass that may have changed the order.
    void refresh_sorted();

    SharedRows<Vertex> vertices_;
    SharedRows<Edge> edges_;
    // Holds while edges_ is strictly ascending in (low, high). Then an edge above the
    // last one cannot be a duplicate (O(1) append) and any other lookup is a binary
    // search; otherwise lookups fall back to the linear scan.
    bool sorted_ = true;
};

}  // namespace kestrel
