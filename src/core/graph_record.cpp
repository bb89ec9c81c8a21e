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
    const std::size_t n = vertices.size();
    for (std::size_t k = 0; k < edges.size(); ++k) {
        const Edge& e = edges[k];
        if (!(e.low < e.high && e.high < n) || (k > 0 && !edge_less(edges[k - 1], e))) {
            fault("bulk edges are not strictly ascending or not in range");
        }
    }
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
    if (sorted_) {
        auto it = std::lower_bound(edges_.begin(), edges_.end(), edge, edge_less);
        if (it != edges_.end() && *it == edge) {
            return static_cast<std::size_t>(it - edges_.begin());
        }
        return edges_.size();
    }
    auto it = std::find(edges_.begin(), edges_.end(), edge);
    return static_cast<std::size_t>(it - edges_.begin());
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
    const bool above_last = edges_.empty() || edge_less(edges_.back(), edge);
    if (!(sorted_ && above_last) && find_edge(edge) != edges_.size()) {
        return GraphStatus::ok;  // duplicate, whichever order it was given in
    }
    edges_.push_back(edge);  // may throw bad_alloc; sorted_ is updated only after
    sorted_ = sorted_ && above_last;
    return GraphStatus::ok;
}

void VisibilityGraph::refresh_sorted() {
    sorted_ = std::adjacent_find(edges_.begin(), edges_.end(), [](const Edge& a, const Edge& b) {
                  return !edge_less(a, b);
              }) == edges_.end();
}

GraphStatus VisibilityGraph::remove_vertex(std::size_t index) {
    if (index >= vertices_.size()) {
        return GraphStatus::index_out_of_bounds;
    }
    vertices_.erase(vertices_.begin() + static_cast<std::ptrdiff_t>(index));
    // One stable pass: drop the edges at `index`, shift the survivors down over them,
    // and renumber. The renumbering is strictly monotonic on surviving indices, so it
    // keeps low < high, distinctness and any ascending order.
    auto kept = std::remove_if(edges_.begin(), edges_.end(), [index](const Edge& e) {
        return e.low == index || e.high == index;
    });
    edges_.erase(kept, edges_.end());
    for (Edge& e : edges_) {
        if (e.low > index) --e.low;
        if (e.high > index) --e.high;
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
    edges_.erase(edges_.begin() + static_cast<std::ptrdiff_t>(at));
    if (!sorted_) refresh_sorted();
    return true;
}

}  // namespace kestrel
