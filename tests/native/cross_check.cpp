// Cross-check of the fast builders, degree-only counts, motif scores and sub-graphs against the literal
// reference procedures on generated series of many families.
//
//   cross_check [series] [seed] [max_length]
//
// Prints one line per family and a final "cross-check: N series, F failed"; exits 1 on
// the first few mismatches, printing the failing series in full (%a, bit exact).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "core/edge_collector.hpp"
#include "core/graph_record.hpp"
#include "core/visibility.hpp"
#include "families.hpp"

using namespace kestrel;

namespace {

using namespace kestrel_families;

bool same_edges(std::span<const Edge> a, std::span<const Edge> b) { return std::ranges::equal(a, b); }

bool same_vertices(const VisibilityGraph& a, const VisibilityGraph& b) {
    const auto& x = a.vertices();
    const auto& y = b.vertices();
    return x.size() == y.size() &&
           (x.empty() || std::memcmp(x.data(), y.data(), x.size() * sizeof(Vertex)) == 0);
}

void print_series(const Series& v) {
    std::fprintf(stderr, "series (%zu):", v.size());
    for (double x : v) std::fprintf(stderr, " %a", x);
    std::fprintf(stderr, "\n");
}

std::size_t draw_length(Rng& rng, std::size_t max_length, bool cheap) {
    const long roll = integer(rng, 0, 99);
    std::size_t cap = roll < 85 ? 64 : roll < 98 ? 400 : max_length;
    if (!cheap) cap = std::min<std::size_t>(cap, 400);
    cap = std::min(cap, max_length);
    return static_cast<std::size_t>(integer(rng, 0, static_cast<long>(cap)));
}

// Chunk starts for a parallel build, 1 to 4 chunks, cut where a merge is most likely to
// go wrong: just before or after a NaN or an infinity, inside a plateau (between equal
// samples), between near-equal samples, around one-sample chunks, or anywhere.
std::vector<std::size_t> tricky_cuts(Rng& rng, const Series& v) {
    const std::size_t n = v.size();
    std::vector<std::size_t> spots;
    for (std::size_t k = 1; k < n; ++k) {
        const bool special = !std::isfinite(v[k]) || !std::isfinite(v[k - 1]);
        const double gap = std::fabs(v[k] - v[k - 1]);
        const bool close = v[k] == v[k - 1] || gap <= 1e-12 * std::fabs(v[k]);
        if (special || close) spots.push_back(k);
    }
    std::vector<std::size_t> cuts{0, n};
    const long extra = n < 2 ? 0 : integer(rng, 0, 3);
    for (long t = 0; t < extra; ++t) {
        const long roll = integer(rng, 0, 3);
        std::size_t at;
        if (roll < 2 && !spots.empty()) {
            at = spots[static_cast<std::size_t>(integer(rng, 0, static_cast<long>(spots.size()) - 1))];
        } else {
            at = static_cast<std::size_t>(integer(rng, 1, static_cast<long>(n) - 1));
        }
        cuts.push_back(at);
        if (roll == 3 && at + 1 < n) cuts.push_back(at + 1);  // a chunk of one sample
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    if (n == 0) cuts = {0, 0};
    return cuts;
}

}  // namespace

int main(int argc, char** argv) {
    const long total = argc > 1 ? std::atol(argv[1]) : 20000;
    const unsigned long seed = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1;
    const std::size_t max_length = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 3000;
    Rng rng(seed);
    const auto all = families();
    std::vector<long> per_family(all.size(), 0);
    long failed = 0, series_done = 0;
    auto fail = [&](const char* family, const char* what, const Series& v, bool skip) {
        ++failed;
        if (failed <= 5) {
            std::fprintf(stderr, "MISMATCH %s in family '%s' (skip_adjacent=%d)\n", what, family, skip);
            print_series(v);
        }
    };
    for (long t = 0; t < total; ++t) {
        const std::size_t f = static_cast<std::size_t>(t) % all.size();
        const NamedFamily& family = all[f];
        const Series v = family.make(rng, draw_length(rng, max_length, family.cheap));
        const bool skip = integer(rng, 0, 1) == 1;
        for (VisibilityRule rule : {VisibilityRule::Natural, VisibilityRule::Horizontal}) {
            const VisibilityGraph fast = build_series_graph(v, skip, rule);
            const VisibilityGraph slow = reference_series_graph(v, skip, rule);
            if (!same_edges(fast.edges(), slow.edges()) || !same_vertices(fast, slow)) {
                fail(family.name, rule == VisibilityRule::Natural ? "natural graph" : "horizontal graph", v, skip);
            }
            std::vector<std::uint64_t> degrees(v.size(), 0);
            for (const Edge& e : slow.edges()) {
                ++degrees[e.low];
                ++degrees[e.high];
            }
            if (visibility_degrees(v, skip, rule) != degrees) {
                fail(family.name, "degrees", v, skip);
            }
            const std::vector<std::size_t> cuts = tricky_cuts(rng, v);
            if (rule == VisibilityRule::Horizontal) {
                if (horizontal_visibility_edges(v, skip, cuts) != slow.edges()) {
                    fail(family.name, "horizontal edges in chunks", v, skip);
                }
                const EdgeBuffer buffer = horizontal_visibility_edge_buffer(v, skip, cuts);
                const EdgeBuffer whole = horizontal_visibility_edge_buffer(v, skip, std::vector<std::size_t>{0, v.size()});
                if (!std::equal(buffer.data(), buffer.data() + buffer.size, slow.edges().begin(), slow.edges().end()) ||
                    !std::equal(whole.data(), whole.data() + whole.size, slow.edges().begin(), slow.edges().end())) {
                    fail(family.name, "horizontal edge buffer", v, skip);
                }
                if (horizontal_visibility_degrees(v, skip, cuts) != degrees) {
                    fail(family.name, "horizontal degrees in chunks", v, skip);
                }
            }
            if (rule == VisibilityRule::Natural) {
                if (natural_visibility_edges(v, skip, cuts) != slow.edges()) {
                    fail(family.name, "natural edges in chunks", v, skip);
                }
                const EdgeBuffer buffer = natural_visibility_edge_buffer(v, skip, cuts);
                if (!std::equal(buffer.data(), buffer.data() + buffer.size, slow.edges().begin(), slow.edges().end())) {
                    fail(family.name, "natural edge buffer", v, skip);
                }
                if (natural_visibility_degrees(v, skip, cuts) != degrees) {
                    fail(family.name, "natural degrees in chunks", v, skip);
                }
            }
            const std::size_t threads = static_cast<std::size_t>(integer(rng, 1, 4));
            if (visibility_edges(v, skip, rule, threads) != slow.edges() ||
                visibility_degrees(v, skip, rule, threads) != degrees) {
                fail(family.name, "threads", v, skip);
            }
            if (!v.empty()) {
                const std::size_t i = integer(rng, 0, static_cast<long>(v.size()) - 1);
                const std::size_t j = integer(rng, 0, static_cast<long>(v.size()) - 1);
                const auto a = build_series_subgraph(v, i, j, skip, rule);
                const auto b = reference_series_subgraph(v, i, j, skip, rule);
                if (!a || !b || a->edges() != b->edges() || !same_vertices(*a, *b)) {
                    fail(family.name, "sub-graph", v, skip);
                }
            }
        }
        const std::uint64_t w = v.empty() ? 1 : integer(rng, 1, static_cast<long>(v.size()));
        if (horizontal_window_motif_scores(v, w, skip) != reference_window_motif_scores(v, w, skip)) {
            fail(family.name, "motif scores", v, skip);
        }
        ++per_family[f];
        ++series_done;
    }
    for (std::size_t f = 0; f < all.size(); ++f) {
        std::printf("%-28s %ld series\n", all[f].name, per_family[f]);
    }
    std::printf("cross-check: %ld series, %ld failed\n", series_done, failed);
    return failed == 0 ? 0 : 1;
}
