#include <algorithm>
#include <limits>

#include "core/horizontal_sweep.hpp"
#include "core/memory.hpp"
#include "core/visibility.hpp"

namespace kestrel {

namespace {

// Reference: adds vertices lo..hi at their whole-series x and joins every visible pair
// inside the stretch, numbering vertices from 0 at lo. Pairs are visited in (low, high)
// lexicographic order, so the record's ascending fast path takes every edge.
VisibilityGraph reference_stretch(const Series& v, std::size_t lo, std::size_t hi,
                                  bool skip_adjacent, VisibilityRule rule) {
    VisibilityGraph graph;
    graph.reserve_vertices(hi - lo + 1);
    for (std::size_t k = lo; k <= hi; ++k) {
        graph.add_vertex(static_cast<double>(k), v[k]);
    }
    for (std::size_t k = lo; k <= hi; ++k) {
        for (std::size_t f = k + 1; f <= hi; ++f) {
            if (skip_adjacent && f == k + 1) {
                continue;
            }
            if (rule_test(rule, v, k, f)) {
                // Both ends exist and each pair is visited once: never rejected.
                (void)graph.add_edge(k - lo, f - lo);
            }
        }
    }
    return graph;
}

// Fast: the stretch's edges from the fast methods on a view of it (both rules read only
// the two ends and the samples between, all inside the stretch), vertices at their
// whole-series x, moved into the record in bulk.
VisibilityGraph fast_stretch(const Series& v, std::size_t lo, std::size_t hi,
                             bool skip_adjacent, VisibilityRule rule) {
    const std::span<const double> stretch(v.data() + lo, hi - lo + 1);
    std::vector<Edge> edges = visibility_edges(stretch, skip_adjacent, rule);
    std::vector<Vertex> vertices;
    reserve_large(vertices, stretch.size());
    vertices.resize(stretch.size());
    for (std::size_t t = 0; t < stretch.size(); ++t) {
        vertices[t] = Vertex{static_cast<double>(lo + t), stretch[t]};
    }
    return VisibilityGraph::from_sorted(std::move(vertices), std::move(edges));
}

}  // namespace

VisibilityGraph reference_series_graph(const Series& v, bool skip_adjacent, VisibilityRule rule) {
    if (v.empty()) {
        return VisibilityGraph{};
    }
    return reference_stretch(v, 0, v.size() - 1, skip_adjacent, rule);
}

std::optional<VisibilityGraph> reference_series_subgraph(const Series& v, std::size_t i,
                                                         std::size_t j, bool skip_adjacent,
                                                         VisibilityRule rule) {
    if (i >= v.size() || j >= v.size()) {
        return std::nullopt;
    }
    return reference_stretch(v, std::min(i, j), std::max(i, j), skip_adjacent, rule);
}

std::vector<Edge> horizontal_visibility_edges(std::span<const double> v, bool skip_adjacent) {
    // The sweep yields lows descending, so one pass counts each low's edges and a second
    // writes them straight into place: O(n + m) time, no sort, and the edge array is
    // allocated once at its final size.
    const std::size_t n = v.size();
    std::vector<std::size_t> start(n + 1, 0);
    horizontal_sweep(v, skip_adjacent, [&](std::size_t i, std::size_t) { ++start[i + 1]; });
    for (std::size_t k = 0; k < n; ++k) start[k + 1] += start[k];
    std::vector<Edge> edges;
    reserve_large(edges, start[n]);
    edges.resize(start[n]);
    std::size_t current = std::numeric_limits<std::size_t>::max();
    std::size_t cursor = 0;
    horizontal_sweep(v, skip_adjacent, [&](std::size_t i, std::size_t j) {
        if (i != current) {
            current = i;
            cursor = start[i];
        }
        edges[cursor++] = Edge{i, j};
    });
    return edges;
}

std::vector<std::uint64_t> visibility_degrees(std::span<const double> v, bool skip_adjacent,
                                              VisibilityRule rule) {
    if (rule == VisibilityRule::Natural) return natural_visibility_degrees(v, skip_adjacent);
    DegreeCounter counter(v.size());
    horizontal_sweep(v, skip_adjacent, counter);
    return std::move(counter.degrees);
}

DegreeCounter::DegreeCounter(std::size_t vertices) {
    reserve_large(degrees, vertices);
    degrees.resize(vertices, 0);
}

std::vector<Edge> visibility_edges(std::span<const double> v, bool skip_adjacent,
                                   VisibilityRule rule) {
    return rule == VisibilityRule::Natural ? natural_visibility_edges(v, skip_adjacent)
                                           : horizontal_visibility_edges(v, skip_adjacent);
}

VisibilityGraph build_series_graph(const Series& v, bool skip_adjacent, VisibilityRule rule) {
    if (v.empty()) {
        return VisibilityGraph{};
    }
    return fast_stretch(v, 0, v.size() - 1, skip_adjacent, rule);
}

VisibilityGraph build_visibility_graph(const Series& v, bool skip_adjacent) {
    return build_series_graph(v, skip_adjacent, VisibilityRule::Natural);
}

VisibilityGraph build_horizontal_visibility_graph(const Series& v, bool skip_adjacent) {
    return build_series_graph(v, skip_adjacent, VisibilityRule::Horizontal);
}

std::optional<Series> subseries_between(const Series& v, std::size_t i, std::size_t j) {
    if (i >= v.size() || j >= v.size()) {
        return std::nullopt;
    }
    const std::size_t lo = std::min(i, j);
    const std::size_t hi = std::max(i, j);
    if (hi <= lo + 1) {
        return Series{};
    }
    return Series(v.begin() + static_cast<std::ptrdiff_t>(lo + 1),
                  v.begin() + static_cast<std::ptrdiff_t>(hi));
}

std::optional<VisibilityGraph> build_series_subgraph(const Series& v, std::size_t i,
                                                     std::size_t j, bool skip_adjacent,
                                                     VisibilityRule rule) {
    if (i >= v.size() || j >= v.size()) {
        return std::nullopt;
    }
    return fast_stretch(v, std::min(i, j), std::max(i, j), skip_adjacent, rule);
}

std::optional<VisibilityGraph> build_subgraph_between(const Series& v, std::size_t i,
                                                      std::size_t j, bool skip_adjacent) {
    return build_series_subgraph(v, i, j, skip_adjacent, VisibilityRule::Natural);
}

std::optional<VisibilityGraph> build_horizontal_subgraph_between(const Series& v, std::size_t i,
                                                                 std::size_t j,
                                                                 bool skip_adjacent) {
    return build_series_subgraph(v, i, j, skip_adjacent, VisibilityRule::Horizontal);
}

}  // namespace kestrel
