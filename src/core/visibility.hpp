// Visibility algorithms on a series of doubles. Pure C++: never includes Python.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "core/graph_record.hpp"

namespace kestrel {

using Series = std::vector<double>;

enum class VisibilityRule { Natural, Horizontal };

// Natural visibility: the straight segment between samples i and j passes strictly
// above every sample between them. False for i == j or any index >= size.
bool indices_are_visible(std::span<const double> v, std::size_t i, std::size_t j);

// Horizontal visibility: every sample between is strictly below the smaller end
// (fmin rule: a NaN end gives way to the other end).
bool indices_are_horizontally_visible(std::span<const double> v, std::size_t i, std::size_t j);

bool rule_test(VisibilityRule rule, std::span<const double> v, std::size_t i, std::size_t j);

// --- reference procedures ------------------------------------------------------------
// The direct procedures, kept literal: every pair (i < j) in lexicographic order, each
// tested on its own by the pairwise test, each edge through add_edge. Every fast method
// below must give exactly their results; the native cross-check and benchmarks use them.
VisibilityGraph reference_series_graph(const Series& v, bool skip_adjacent, VisibilityRule rule);
std::optional<VisibilityGraph> reference_series_subgraph(const Series& v, std::size_t i,
                                                         std::size_t j, bool skip_adjacent,
                                                         VisibilityRule rule);

// --- fast methods ----------------------------------------------------------------------
// Visible pairs of the whole series as edges in ascending (low, high) order.
// Horizontal: O(n + m) time, O(n) memory besides the edges (one pass counts, one writes).
std::vector<Edge> horizontal_visibility_edges(std::span<const double> v, bool skip_adjacent);
// Natural: output-sensitive scan over a max-tree (see natural_scan.hpp for the bounds).
std::vector<Edge> natural_visibility_edges(std::span<const double> v, bool skip_adjacent);
std::vector<Edge> visibility_edges(std::span<const double> v, bool skip_adjacent,
                                   VisibilityRule rule);

// --- on several threads (parallel.hpp) -------------------------------------------------
// `threads`: how many threads may work on one series; kAutoThreads (0) for every core once
// the series is long enough for it to pay. The results are those of one thread, bit for bit.
std::vector<Edge> visibility_edges(std::span<const double> v, bool skip_adjacent,
                                   VisibilityRule rule, std::size_t threads);
std::vector<std::uint64_t> visibility_degrees(std::span<const double> v, bool skip_adjacent,
                                              VisibilityRule rule, std::size_t threads);
// The chunk starts a call with `threads` uses: 0 = cuts[0] <= ... <= cuts.back() = n.
std::vector<std::size_t> visibility_cuts(std::size_t n, std::size_t threads, VisibilityRule rule);
// Natural rule with the rows of the low ends [cuts[c], cuts[c + 1]) on thread c.
std::vector<Edge> natural_visibility_edges(std::span<const double> v, bool skip_adjacent,
                                           std::span<const std::size_t> cuts);
// The same edges in an EdgeBuffer (edge_collector.hpp), written by the threads.
struct EdgeBuffer;
EdgeBuffer natural_visibility_edge_buffer(std::span<const double> v, bool skip_adjacent,
                                          std::span<const std::size_t> cuts);
std::vector<std::uint64_t> natural_visibility_degrees(std::span<const double> v,
                                                      bool skip_adjacent,
                                                      std::span<const std::size_t> cuts);
// Horizontal rule on the chunks [cuts[c], cuts[c + 1]), one thread each, merged exactly.
std::vector<Edge> horizontal_visibility_edges(std::span<const double> v, bool skip_adjacent,
                                              std::span<const std::size_t> cuts);
std::vector<std::uint64_t> horizontal_visibility_degrees(std::span<const double> v,
                                                         bool skip_adjacent,
                                                         std::span<const std::size_t> cuts);
// The same edges in an EdgeBuffer (edge_collector.hpp): without NaN samples and on one
// chunk, one sweep writes them (the graph has at most 2n - 3 edges); otherwise as above,
// with no page of the result written twice.
struct EdgeBuffer;
EdgeBuffer horizontal_visibility_edge_buffer(std::span<const double> v, bool skip_adjacent,
                                             std::span<const std::size_t> cuts);
// Either rule's edge buffer on `threads` threads (kAutoThreads: as many as pay).
EdgeBuffer visibility_edge_buffer(std::span<const double> v, bool skip_adjacent, VisibilityRule rule,
                                  std::size_t threads);

// Counts the degree of every vertex as pairs (low, high) arrive.
struct DegreeCounter {
    std::vector<std::uint64_t> degrees;
    explicit DegreeCounter(std::size_t vertices);
    void operator()(std::size_t low, std::size_t high) {
        ++degrees[low];
        ++degrees[high];
    }
};

// Degree of every vertex of the whole-series graph, counted as the fast methods find the
// pairs, without storing edges: O(n) memory besides the input.
std::vector<std::uint64_t> natural_visibility_degrees(std::span<const double> v,
                                                      bool skip_adjacent);
std::vector<std::uint64_t> visibility_degrees(std::span<const double> v, bool skip_adjacent,
                                              VisibilityRule rule);

// Whole-series graph: vertex k is (k, v[k]); edges from the fast methods, in bulk.
VisibilityGraph build_series_graph(const Series& v, bool skip_adjacent, VisibilityRule rule);
VisibilityGraph build_visibility_graph(const Series& v, bool skip_adjacent);
VisibilityGraph build_horizontal_visibility_graph(const Series& v, bool skip_adjacent);

// Whole-series graph with finished edges (ascending, in range): vertex k is (x_k, v_k),
// or (k, v_k) when x is empty.
VisibilityGraph graph_from_edges(std::span<const double> v, std::span<const double> x,
                                 std::vector<Edge> edges);
VisibilityGraph graph_from_edges(std::span<const double> v, std::span<const double> x,
                                 SharedRows<Edge> edges);
// The edges of the plain rules as storage a record takes over without copying them:
// the horizontal rule's one-sweep buffer as it is, the natural rule's list moved in.
SharedRows<Edge> visibility_edge_rows(std::span<const double> v, bool skip_adjacent,
                                      VisibilityRule rule, std::size_t threads);

// Samples strictly between i and j; nullopt when either index is out of range.
std::optional<Series> subseries_between(const Series& v, std::size_t i, std::size_t j);

// Graph of the closed stretch between i and j: vertices keep their whole-series x,
// edges use local indices. nullopt when either index is out of range.
std::optional<VisibilityGraph> build_series_subgraph(const Series& v, std::size_t i,
                                                     std::size_t j, bool skip_adjacent,
                                                     VisibilityRule rule);
std::optional<VisibilityGraph> build_subgraph_between(const Series& v, std::size_t i,
                                                      std::size_t j, bool skip_adjacent);
std::optional<VisibilityGraph> build_horizontal_subgraph_between(const Series& v, std::size_t i,
                                                                 std::size_t j,
                                                                 bool skip_adjacent);

enum class WindowError { zero_window, window_too_large };

// Score of one window from its pair count: count - (w - 1), exact in 64 bits.
std::int64_t motif_score_from_count(std::uint64_t count, std::uint64_t window_size);

// One score per window of `window_size` consecutive samples: the number of
// horizontally visible pairs inside the window minus its w - 1 neighbouring pairs.
// O(n + m) from the horizontal sweep; only pairs with j - i < w are credited.
std::variant<std::vector<std::int64_t>, WindowError> horizontal_window_motif_scores(
    const Series& v, std::uint64_t window_size, bool skip_adjacent);
// The direct procedure: a literal test for every pair with j - i < w.
std::variant<std::vector<std::int64_t>, WindowError> reference_window_motif_scores(
    const Series& v, std::uint64_t window_size, bool skip_adjacent);

struct Point {
    double x;
    double y;
};

struct Segment {
    Point first;
    Point second;
};

// True when no obstacle shares a point with the closed segment p1-p2.
bool segment_is_visible(Point p1, Point p2, const std::vector<Segment>& obstacles);

}  // namespace kestrel
