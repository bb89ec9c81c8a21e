// Native checks of the interpreter-free core: the graph record, the pairwise tests,
// the builders and the exact 64-bit motif scores, each against a naive reference.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <variant>
#include <vector>

#include "core/cancel.hpp"
#include "core/variants.hpp"
#include "core/visibility.hpp"
#include "core/graph_record.hpp"
#include "core/neighbour_chain.hpp"
#include "models.hpp"

using namespace kestrel;

namespace {

int passed = 0, failed = 0;
void check(bool ok, const char* text, int line) {
    if (ok) ++passed;
    else if (++failed <= 20) std::fprintf(stderr, "line %d: CHECK(%s) failed\n", line, text);
}
#define CHECK(condition) check((condition), #condition, __LINE__)

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

using kestrel_models::PlainGraph;
using kestrel_models::same;

// Random edits. `ascending` first adds edges in (low, high) order and retries stored
// ones, self-loops and out-of-range pairs, none of which may disturb that order.
void record_trial(std::mt19937_64& rng, bool ascending) {
    VisibilityGraph graph, moved, assigned;
    PlainGraph naive;
    const std::size_t n = rng() % 9;
    for (std::size_t k = 0; k < n; ++k) {
        CHECK(graph.add_vertex(double(k), -double(k)) == k);
        naive.vertices.push_back(Vertex{double(k), -double(k)});
    }
    for (std::size_t a = 0; ascending && a < n; ++a)
        for (std::size_t b = a + 1; b < n; ++b) {
            if (rng() % 2) CHECK(graph.add_edge(a, b) == naive.add_edge(a, b));
            // A stored edge in either orientation (a self-loop while none is stored), or one
            // end out of range.
            const Edge old = naive.edges.empty() ? Edge{a, a} : naive.edges[rng() % naive.edges.size()];
            const std::size_t x = rng() % 2 ? old.low : old.high;
            const std::size_t y = rng() % 3 ? (x == old.low ? old.high : old.low) : n;
            CHECK(graph.add_edge(x, y) == naive.add_edge(x, y) && same(graph, naive));
        }
    // Copies of the record and held storage (what an export keeps) share the record's
    // blocks; every later edit of either side must leave the other's rows as they were.
    struct Snapshot {
        VisibilityGraph copy;
        SharedRows<Vertex> vertices;
        SharedRows<Edge> edges;
        PlainGraph then;
    };
    std::vector<Snapshot> snapshots;
    for (int step = 0; step < 40; ++step) {
        const std::size_t x = rng() % (graph.node_count() + 2), y = rng() % (graph.node_count() + 2);
        if (rng() % 4 == 0) snapshots.push_back({graph, graph.vertex_rows(), graph.edge_rows(), naive});
        if (!snapshots.empty() && rng() % 8 == 0) {
            Snapshot& s = snapshots[rng() % snapshots.size()];
            s.copy.add_vertex(1.5, 2.5);  // edits the copy alone
            s.then.vertices.push_back(Vertex{1.5, 2.5});
        }
        switch (rng() % 5) {
            case 0: CHECK(graph.remove_vertex(x) == naive.remove_vertex(x)); break;
            case 1: CHECK(graph.remove_edge(x, y) == naive.remove_edge(x, y)); break;
            case 2: graph.add_vertex(kNaN, -kInf); naive.vertices.push_back(Vertex{kNaN, -kInf}); break;
            default: CHECK(graph.add_edge(x, y) == naive.add_edge(x, y));
        }
        CHECK(same(graph, naive));
    }
    for (const Snapshot& s : snapshots) {
        CHECK(same(s.copy, s.then));
        CHECK(s.edges.view() == s.copy.edges());
        CHECK(s.vertices.size() <= s.then.vertices.size() &&
              kestrel_models::same_vertices(s.vertices.view(),
                                            std::span(s.then.vertices).first(s.vertices.size())));
    }
    moved = VisibilityGraph(std::move(graph));
    assigned = std::move(moved);
    for (Edge e : naive.edges) CHECK(assigned.add_edge(e.high, e.low) == GraphStatus::ok);
    CHECK(same(assigned, naive));
}

PlainGraph naive_graph(const Series& v, std::size_t lo, std::size_t hi, bool skip, bool natural) {
    return kestrel_models::literal_graph(v, lo, hi, skip, natural);
}

// The neighbour lists built in chunks against those built in one sweep, with what the
// chain reports of each step (the proofs' input): per low end the same neighbours, each
// with the same w and first. A neighbour reported with kOpen in the first pass takes the
// w of its report in the second. Finite series rich in ties and collinear samples, at
// x_k = k or at given positions, cut anywhere (one-sample chunks, the first and last
// sample alone), the chunks' first passes in reverse order.
struct StepReport {
    std::size_t j, w;
    bool first;
    bool operator==(const StepReport&) const = default;
};

void chunked_chain_trial(std::mt19937_64& rng) {
    const std::size_t n = 1 + rng() % 120;
    Series v(n);
    double level = 0;
    const int shape = int(rng() % 5);
    for (std::size_t k = 0; k < n; ++k) {
        const double t = double(k);
        switch (shape) {
            case 0: v[k] = double(rng() % 4); break;                        // ties, collinear
            case 1: v[k] = level += double(int(rng() % 5) - 2); break;       // integer walk
            case 2: v[k] = double(rng() % 1000) / 1000.0; break;            // noise
            case 3: v[k] = (rng() % 3 ? 1 : -1) * t * t + double(rng() % 2); break;
            default: v[k] = 0.1 * t + 0.3 * double(rng() % 2); break;       // near a line
        }
    }
    std::vector<double> x;
    if (rng() % 3 == 0) {
        double at = 1e3;
        for (std::size_t k = 0; k < n; ++k) x.push_back(at += double(1 + rng() % 3) * 0.5);
    }
    std::vector<std::size_t> cuts{0, n};
    if (n > 1) cuts.push_back(rng() % 2 ? 1 : n - 1);
    for (std::size_t extra = rng() % 4; extra-- > 0;) cuts.push_back(rng() % n);
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    if (cuts.size() < 3) return;

    std::vector<std::vector<StepReport>> serial(n), chunked(n);
    ChainScan whole(v, x);
    auto serial_steps = [&](std::size_t i, std::size_t j, std::size_t w, bool first) {
        serial[i].push_back({j, w, first});
    };
    CHECK(whole.build(ChainScan::budget(n), serial_steps));
    ChunkedChain parts(v, x, cuts);
    auto chunked_steps = [&](std::size_t i, std::size_t j, std::size_t w, bool first) {
        std::vector<StepReport>& seen = chunked[i];
        if (!seen.empty() && seen.back().w == ChainScan::kOpen) {
            CHECK(seen.back().j == j && first);
            seen.back().w = w;
        } else {
            seen.push_back({j, w, first});
        }
    };
    for (std::size_t c = parts.chunks(); c-- > 0;) CHECK(parts.build_chunk(c, ChainScan::budget(n), chunked_steps));
    for (std::size_t c = parts.chunks() - 1; c-- > 0;) {
        CHECK(parts.complete_chunk(c, ChainScan::budget(n), chunked_steps));
    }
    CHECK(parts.entries() == whole.entries());
    // Entries of any range of rows, across chunks too, as the rows' sizes add up.
    for (int trial = 0; trial < 4; ++trial) {
        std::size_t first = rng() % (n + 1), last = rng() % (n + 1);
        if (first > last) std::swap(first, last);
        CHECK(parts.entries(first, last) == whole.entries(first, last));
        std::size_t rows = 0;
        for (std::size_t i = first; i < last; ++i) rows += whole.list(i).size();
        CHECK(whole.entries(first, last) == rows);
    }
    for (std::size_t i = 0, c = 0; i < n; ++i) {
        c = parts.chunk_of(i, c);
        const ChunkedChain::Row row = parts.row(c, i);
        std::vector<std::uint32_t> joined;
        for (std::uint32_t k : row.local) joined.push_back(static_cast<std::uint32_t>(row.start + k));
        joined.insert(joined.end(), row.cross.begin(), row.cross.end());
        const auto expected = whole.list(i);
        CHECK(std::equal(joined.begin(), joined.end(), expected.begin(), expected.end()));
        CHECK(chunked[i] == serial[i]);
    }
}

}  // namespace

// Whether work() ends within `units` units of work on each of its polls (see cancel.hpp):
// a hook installed with that stride is asked first when a poll passes it, and stops.
template <class Work>
bool ends_within(std::int64_t units, Work&& work) {
    struct Stop final : CancelHook {
        bool stop_requested() override { return true; }
    } stop;
    CancelScope scope(&stop, units);
    try {
        work();
        return true;
    } catch (const Cancelled&) {
        return false;
    }
}

// The float rule's natural graph where no margin decides (rises that overflow, values on
// the subnormal grid) stays within O(n log n + m) units of work, which a literal count per
// pair passes by far. Exactly collinear samples at positions over many binades are decided
// by their literal tests alone, a pair at a time: quadratic, the bound asked of them.
void work_bounds() {
    const std::size_t n = 3000;
    std::mt19937_64 rng(7);
    const double max = std::numeric_limits<double>::max();
    const double picks[] = {max, -max, 1.7e308, -1.7e308, 1e308, 0.0};
    Series extreme(n), grid(n), line(n), spaced(n);
    for (std::size_t k = 0; k < n; ++k) {
        extreme[k] = picks[rng() % 6];
        grid[k] = static_cast<double>(rng() % 9) * std::numeric_limits<double>::denorm_min();
        spaced[k] = 0.25 * static_cast<double>(k) - 100.0;
        line[k] = std::pow(10.0, -300.0 + 600.0 * static_cast<double>(k) / static_cast<double>(n - 1));
    }
    const std::int64_t log_n = 12;
    auto bound = [&](const std::vector<std::uint64_t>& degrees) {
        std::uint64_t total = 0;
        for (std::uint64_t d : degrees) total += d;
        return static_cast<std::int64_t>(64 * (n * log_n + total / 2));
    };
    const auto extreme_degrees = natural_visibility_degrees(extreme, false);
    const auto grid_degrees = natural_visibility_degrees(grid, false);
    CHECK(ends_within(bound(extreme_degrees), [&] { natural_visibility_degrees(extreme, false); }));
    CHECK(ends_within(bound(extreme_degrees), [&] { natural_visibility_edges(extreme, true); }));
    CHECK(ends_within(bound(grid_degrees), [&] { natural_visibility_degrees(grid, false); }));
    CHECK(ends_within(bound(grid_degrees), [&] { natural_visibility_edges(grid, false); }));
    VariantOptions options;
    CHECK(ends_within(bound(grid_degrees), [&] { natural_variant_edges(grid, spaced, options); }));
    CHECK(ends_within(static_cast<std::int64_t>(4 * n * n), [&] { natural_variant_edges(line, line, options); }));
    options.penetrable = 1;
    CHECK(ends_within(static_cast<std::int64_t>(4 * n * n), [&] { natural_variant_edges(line, line, options); }));
    CHECK(ends_within(static_cast<std::int64_t>(4 * n * n), [&] { natural_variant_edges(extreme, {}, options); }));
}

int main() {
    // Scores stay exact far beyond 32 bits.
    CHECK(motif_score_from_count(3'000'000'000ull, 1) == 3'000'000'000ll);
    CHECK(motif_score_from_count(3'000'000'000ull, 5) == 2'999'999'996ll);
    CHECK(motif_score_from_count(1ull << 31, 2) == (1ll << 31) - 1);
    CHECK(motif_score_from_count(1ull << 40, 1ull << 20) == (1ll << 40) - (1ll << 20) + 1);
    CHECK(motif_score_from_count(0, 1'000'000) == -999'999);
    CHECK(std::get<0>(horizontal_window_motif_scores(Series(300, kNaN), 300, false)) ==
          std::vector<std::int64_t>{299 * 298 / 2});
    CHECK(std::get<1>(horizontal_window_motif_scores({}, 0, false)) == WindowError::zero_window &&
          std::get<1>(horizontal_window_motif_scores({1.0}, 2, false)) == WindowError::window_too_large);

    // Record: removals keep the order of the rest; random edits match the naive record.
    VisibilityGraph g;
    for (int k = 0; k < 4; ++k) g.add_vertex(k, k);
    for (auto [a, b] : {std::pair{0, 1}, {0, 2}, {2, 3}, {1, 3}}) g.add_edge(a, b);
    CHECK(g.remove_vertex(1) == GraphStatus::ok);
    CHECK(same(g, PlainGraph{{{0, 0}, {2, 2}, {3, 3}}, {{0, 1}, {1, 2}}}));
    CHECK(g.add_edge(2, 0) == GraphStatus::ok && g.remove_edge(2, 1) && !g.remove_edge(1, 2));
    CHECK((g.edges() == std::vector<Edge>{{0, 1}, {0, 2}}));
    CHECK(g.add_edge(3, 3) == GraphStatus::index_out_of_bounds && g.edge_count() == 2);
    std::mt19937_64 rng(20240611);
    for (int trial = 0; trial < 600; ++trial) record_trial(rng, trial % 2 == 0);

    // Worked examples of the pairwise tests: pairs of [1, 3, 2, 4] and [3, 1, 2, 4].
    const bool natural_table[] = {true, false, false, true, true, true};
    const bool horizontal_table[] = {true, true, true, true, false, true};
    for (std::size_t i = 0, row = 0; i < 4; ++i)
        for (std::size_t j = i + 1; j < 4; ++j, ++row) {
            CHECK(indices_are_visible(Series{1, 3, 2, 4}, i, j) == natural_table[row]);
            CHECK(indices_are_visible(Series{1, 3, 2, 4}, j, i) == natural_table[row]);
            CHECK(indices_are_horizontally_visible(Series{3, 1, 2, 4}, j, i) == horizontal_table[row]);
        }
    struct PairCase { VisibilityRule rule; Series v; std::size_t i, j; bool expected; };
    constexpr auto N = VisibilityRule::Natural, H = VisibilityRule::Horizontal;
    const PairCase cases[] = {
        {N, {0.2, 0.5, 0.8}, 0, 2, false}, {N, {0.6, 0.7, 0.8}, 2, 0, false}, {N, {0, 5, kInf}, 0, 2, true},
        {N, {0, 5, -kInf}, 0, 2, false}, {N, {-kInf, 5, 0}, 0, 2, true}, {N, {1, kNaN, 1}, 0, 2, true},
        {H, {kNaN, 5, 1}, 0, 2, false}, {H, {1, 5, kNaN}, 2, 0, false}, {H, {kNaN, 5, kNaN}, 0, 2, true},
        {H, {kNaN, 0, 1}, 2, 0, true}, {N, {1, 2}, 1, 1, false}, {H, {1, 2}, 0, 2, false},
        {N, {0.3, 0.0, 0.7, 0.9}, 0, 3, false}, {N, {0.4, 0.3, 0.0, 0.1}, 3, 0, true},
    };
    for (const PairCase& c : cases) CHECK(rule_test(c.rule, c.v, c.i, c.j) == c.expected);

    // Builders, sub-graphs and window scores against the naive reference.
    const double pool[] = {0, 1, 2, -1, 0.5, 0.1 * 3, 0.3, -0.0, kNaN, kInf, -kInf, 1.7e308, -1.7e308,
                           5e-324};
    for (int trial = 0; trial < 4000; ++trial) {
        Series v(rng() % 10);
        for (double& x : v) x = pool[rng() % std::size(pool)];
        const bool skip = trial % 2 == 1, natural = trial % 4 < 2;
        const VisibilityRule rule = natural ? VisibilityRule::Natural : VisibilityRule::Horizontal;
        CHECK(same(build_series_graph(v, skip, rule), naive_graph(v, 0, v.size(), skip, natural)));
        const std::size_t i = rng() % (v.size() + 1), j = rng() % (v.size() + 1);
        const auto sub = build_series_subgraph(v, i, j, skip, rule);
        CHECK(sub.has_value() == (i < v.size() && j < v.size()));
        if (sub) CHECK(same(*sub, naive_graph(v, std::min(i, j), std::max(i, j), skip, natural)));
        const std::size_t w = 1 + rng() % (v.size() + 1);
        const auto scores = horizontal_window_motif_scores(v, w, skip);
        CHECK(std::holds_alternative<WindowError>(scores) == (w > v.size()));
        std::vector<std::int64_t> brute;
        for (std::size_t s = 0; s + w <= v.size(); ++s)
            brute.push_back(std::int64_t(naive_graph(v, s, s + w - 1, skip, false).edges.size() - (w - 1)));
        if (w <= v.size()) CHECK(std::get<0>(scores) == brute);
    }

    for (int trial = 0; trial < 3000; ++trial) chunked_chain_trial(rng);
    work_bounds();

    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
