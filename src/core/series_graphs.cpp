#include <algorithm>

#include "core/visibility.hpp"

namespace kestrel {

namespace {

// Adds vertices lo..hi at their whole-series x and joins every visible pair inside
// the stretch, numbering vertices from 0 at lo. Pairs are visited in (low, high)
// lexicographic order, so the record's ascending fast path takes every edge.
VisibilityGraph build_stretch(const Series& v, std::size_t lo, std::size_t hi,
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

}  // namespace

VisibilityGraph build_series_graph(const Series& v, bool skip_adjacent, VisibilityRule rule) {
    if (v.empty()) {
        return VisibilityGraph{};
    }
    return build_stretch(v, 0, v.size() - 1, skip_adjacent, rule);
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
    return build_stretch(v, std::min(i, j), std::max(i, j), skip_adjacent, rule);
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
