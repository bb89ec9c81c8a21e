// The graph record: vertices as (x, y) doubles and undirected edges as (low, high)
// index pairs, in two flat growable arrays. Plain C++; no interpreter calls.
#pragma once

#include <cstddef>
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

    const std::vector<Vertex>& vertices() const { return vertices_; }
    const std::vector<Edge>& edges() const { return edges_; }
    std::size_t node_count() const { return vertices_.size(); }
    std::size_t edge_count() const { return edges_.size(); }

    // Reserve room ahead of a known number of vertices; a hint only.
    void reserve_vertices(std::size_t count) { vertices_.reserve(count); }

    // A record made in bulk from finished arrays, without the per-edge duplicate search.
    // The edges must be strictly ascending in (low, high) with high < vertex count; that
    // is checked in one linear pass and a violation is an internal fault, so the
    // record's invariants (no self-loop, no duplicate, in range, ascending flag) hold.
    static VisibilityGraph from_sorted(std::vector<Vertex> vertices, std::vector<Edge> edges);

private:
    // Position of (low, high) in edges_, or edges_.size() when absent.
    std::size_t find_edge(const Edge& edge) const;
    // Recomputes sorted_ after a pass that may have changed the order.
    void refresh_sorted();

    std::vector<Vertex> vertices_;
    std::vector<Edge> edges_;
    // Holds while edges_ is strictly ascending in (low, high). Then an edge above the
    // last one cannot be a duplicate (O(1) append) and any other lookup is a binary
    // search; otherwise lookups fall back to the linear scan.
    bool sorted_ = true;
};

}  // namespace kestrel
