#include "core/graph_record.hpp"

#include "core/fault.hpp"

#include <algorithm>
#include <utility>

namespace kestrel {

VisibilityGraph::VisibilityGraph(VisibilityGraph&& other) noexcept
    : vertices_(std::move(other.vertices_)),
      edges_(std::move(other.edges_)),
      sorted_(std::exchange(other.sorted_, true)) {}

VisibilityGraph& VisibilityGraph::operator=(VisibilityGraph&& other) noexcept {
    vertices_ = std::move(other.vertices_);
    edges_ = std::move(other.edges_);
    sorted_ = std::exchange(other.sorted_, true);
    other.vertices_.clear();
    other.edges_.clear();
    return *this;
}

VisibilityGraph VisibilityGraph::from_sorted(std::vector<Vertex> vertices,
                                             std::vector<Edge> edges) {
    return from_sorted(SharedRows<Vertex>(std::move(vertices)), SharedRows<Edge>(std::move(edges)));
}

VisibilityGraph VisibilityGraph::from_sorted(SharedRows<Vertex> vertices, SharedRows<Edge> edges) {
    const std::size_t n = vertices.size();
    const Rows<Edge> rows = edges.view();
    // Branch-free over the edges with one test at the end, so the pass runs at memory
    // speed: (low, high) as one 128-bit key is strictly ascending exactly when the edges
    // are strictly ascending in (low, high).
    using Key = unsigned __int128;
    auto key = [](const Edge& e) { return (Key{e.low} << 64) | e.high; };
    auto out_of_order = [n](const Edge& e) { return (e.low >= e.high) | (e.high >= n); };
    bool bad = false;
    if (!rows.empty()) {
        bad = out_of_order(rows[0]);
        Key previous = key(rows[0]);
        for (std::size_t k = 1; k < rows.size(); ++k) {
            const Key current = key(rows[k]);
            bad |= out_of_order(rows[k]) | (current <= previous);
            previous = current;
        }
    }
    if (bad) fault("bulk edges are not strictly ascending or not in range");
    VisibilityGraph graph;
    graph.vertices_ = std::move(vertices);
    graph.edges_ = std::move(edges);
    graph.sorted_ = true;
    return graph;
}

std::size_t VisibilityGraph::add_vertex(double x, double y) {
    const std::size_t index = vertices_.size();
    vertices_.push_back(Vertex{x, y});
    return index;
}

std::size_t VisibilityGraph::find_edge(const Edge& edge) const {
    const Rows<Edge> rows = edges_.view();
    if (sorted_) {
        auto it = std::lower_bound(rows.begin(), rows.end(), edge, edge_less);
        if (it != rows.end() && *it == edge) {
            return static_cast<std::size_t>(it - rows.begin());
        }
        return rows.size();
    }
    auto it = std::find(rows.begin(), rows.end(), edge);
    return static_cast<std::size_t>(it - rows.begin());
}

GraphStatus VisibilityGraph::add_edge(std::size_t v1, std::size_t v2) {
    const std::size_t n = vertices_.size();
    // The range test comes before the self-loop test: (7, 7) on three vertices fails.
    if (v1 >= n || v2 >= n) {
        return GraphStatus::index_out_of_bounds;
    }
    if (v1 == v2) {
        return GraphStatus::ok;
    }
    const Edge edge{std::min(v1, v2), std::max(v1, v2)};
    const bool above_last = edges_.size() == 0 || edge_less(edges_.view().back(), edge);
    if (!(sorted_ && above_last) && find_edge(edge) != edges_.size()) {
        return GraphStatus::ok;  // duplicate, whichever order it was given in
    }
    edges_.push_back(edge);  // may throw bad_alloc (the record unchanged); sorted_ after
    sorted_ = sorted_ && above_last;
    return GraphStatus::ok;
}

void VisibilityGraph::refresh_sorted() {
    const Rows<Edge> rows = edges_.view();
    sorted_ = std::adjacent_find(rows.begin(), rows.end(), [](const Edge& a, const Edge& b) {
                  return !edge_less(a, b);
              }) == rows.end();
}

GraphStatus VisibilityGraph::remove_vertex(std::size_t index) {
    if (index >= vertices_.size()) {
        return GraphStatus::index_out_of_bounds;
    }
    // Both stores are made the record's own (copied when an export or a copy of the record
    // shares them) before either changes, so bad_alloc leaves the graph as it was.
    Vertex* const vertices = vertices_.writable();
    Edge* const edges = edges_.writable();
    std::copy(vertices + index + 1, vertices + vertices_.size(), vertices + index);
    vertices_.truncate(vertices_.size() - 1);
    // One stable pass: drop the edges at `index`, shift the survivors down over them,
    // and renumber. The renumbering is strictly monotonic on surviving indices, so it
    // keeps low < high, distinctness and any ascending order.
    Edge* const kept = std::remove_if(edges, edges + edges_.size(), [index](const Edge& e) {
        return e.low == index || e.high == index;
    });
    edges_.truncate(static_cast<std::size_t>(kept - edges));
    for (Edge* e = edges; e != kept; ++e) {
        if (e->low > index) --e->low;
        if (e->high > index) --e->high;
    }
    if (!sorted_) refresh_sorted();
    return GraphStatus::ok;
}

bool VisibilityGraph::remove_edge(std::size_t v1, std::size_t v2) {
    if (v1 == v2) {
        return false;
    }
    const Edge edge{std::min(v1, v2), std::max(v1, v2)};
    const std::size_t at = find_edge(edge);
    if (at == edges_.size()) {
        return false;
    }
    // The invariant allows at most one equal edge, so erasing it is the whole pass.
    Edge* const edges = edges_.writable();  // may throw bad_alloc; nothing changed yet
    std::copy(edges + at + 1, edges + edges_.size(), edges + at);
    edges_.truncate(edges_.size() - 1);
    if (!sorted_) refresh_sorted();
    return true;
}

}  // namespace kestrel
