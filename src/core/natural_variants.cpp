// Natural visibility at given positions, with up to L blockers, under the float rule or
// in exact arithmetic: the scans of natural_scan.hpp (natural_pairs), and for the exact
// rule with L = 0 the neighbour lists of neighbour_chain.hpp.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>

#include "core/cancel.hpp"
#include "core/edge_collector.hpp"
#include "core/natural_scan.hpp"
#include "core/neighbour_chain.hpp"
#include "core/neighbour_runs.hpp"
#include "core/variants.hpp"

namespace kestrel {

namespace {

using natural_scan::ArrayPositions;
using natural_scan::ExactScan;
using natural_scan::FloatScan;
using natural_scan::IndexPositions;
using natural_scan::NoBlockers;
using natural_scan::regular;
using natural_scan::scan_applies;

template <class Sink>
void natural_pairs(std::span<const double> v, std::span<const double> x,
                   const VariantOptions& options, Sink& sink) {
    if (v.size() < 2) return;
    // No pair has more than n - 2 samples between: larger limits give the same graph.
    const std::size_t limit = std::min(options.penetrable, v.size());
    const bool skip = options.skip_adjacent;
    if (limit >= v.size() - 2) {
        // Every pair has at most n - 2 samples between, so at most L blockers: all visible,
        // under either rule, whatever the values.
        WorkPoll poll;
        for (std::size_t lo = 0; lo < v.size(); ++lo) {
            for (std::size_t hi = skip ? lo + 2 : lo + 1; hi < v.size(); ++hi) {
                poll.tick();
                sink(lo, hi);
            }
        }
        return;
    }
    if (options.exact) {
        if (x.empty()) {
            ExactScan<IndexPositions, Sink>(v, IndexPositions{}, limit, skip, sink).run();
        } else {
            ExactScan<ArrayPositions, Sink>(v, ArrayPositions{x.data()}, limit, skip, sink).run();
        }
        return;
    }
    if (limit == 0 && natural_scan::on_grid(v) && (x.empty() || regular(x))) {
        const bool listed = x.empty() ? natural_scan::grid_pairs(v, x, IndexPositions{}, skip, sink)
                                      : natural_scan::grid_pairs(v, x, ArrayPositions{x.data()}, skip, sink);
        if (listed) return;
    }
    if (x.empty()) {
        FloatScan<IndexPositions, Sink>(v, IndexPositions{}, limit, skip, sink).run();
    } else if (scan_applies(v, x) && limit == 0) {
        FloatScan<ArrayPositions, Sink, NoBlockers>(v, ArrayPositions{x.data()}, 0, skip, sink).run();
    } else if (scan_applies(v, x)) {
        FloatScan<ArrayPositions, Sink>(v, ArrayPositions{x.data()}, limit, skip, sink).run();
    } else {
        WorkPoll poll;
        for (std::size_t lo = 0; lo < v.size(); ++lo) {
            for (std::size_t hi = lo + 1; hi < v.size(); ++hi) {
                if (skip && hi == lo + 1) continue;
                poll.tick(hi - lo);  // the pair test walks the samples between
                if (variant_pair_visible(v, x, lo, hi, options)) sink(lo, hi);
            }
        }
    }
}

// The float rule with L = 0 at given positions: rows from the exact neighbour lists
// where CertifiedChain proves them, the scan elsewhere; past the lists' budget the scan
// runs whole while the chain still holds them (see IndexBuffer).
template <class Sink>
void float_pairs_at_positions(std::span<const double> v, std::span<const double> x, bool skip, Sink& sink) {
    using Chain = natural_scan::CertifiedChain<ArrayPositions, Sink>;
    std::optional<Chain> chain;
    if (Chain::applies(v, x) && !natural_scan::on_grid(v)) {
        chain.emplace(v, x, ArrayPositions{x.data()}, skip, sink);
        if (chain->run(ChainScan::budget(v.size()))) return;
    }
    VariantOptions options;
    options.skip_adjacent = skip;
    natural_pairs(v, x, options, sink);
}

bool float_chain_applies(std::span<const double> v, std::span<const double> x, const VariantOptions& options) {
    return !options.exact && options.penetrable == 0 && !x.empty() && v.size() >= 2;
}

// The exact rule with L = 0 by its neighbour lists (its scan is quadratic) while they stay
// within their budget; true when that gave every pair. A chain past its budget is left in
// `chain`, held while the caller's scan runs (see IndexBuffer).
template <class Sink>
bool exact_chain_pairs(std::span<const double> v, std::span<const double> x,
                       const VariantOptions& options, std::optional<ChainScan>& chain, Sink& sink) {
    if (!options.exact || options.penetrable != 0 || !ChainScan::fits(v.size())) return false;
    chain.emplace(v, x);
    if (!chain->build(ChainScan::budget(v.size()))) return false;
    chain->stream(options.skip_adjacent, sink);
    chain->release();
    return true;
}

}  // namespace

std::vector<Edge> natural_variant_edges(std::span<const double> v, std::span<const double> x,
                                        const VariantOptions& options) {
    if (v.size() < 2) return {};
    std::optional<ChainScan> chain;
    EdgeCollector edges;
    auto sink = [&](std::size_t lo, std::size_t hi) { edges.push(Edge{lo, hi}); };
    if (exact_chain_pairs(v, x, options, chain, sink)) return edges.finish();
    if (float_chain_applies(v, x, options)) {
        float_pairs_at_positions(v, x, options.skip_adjacent, sink);
    } else {
        natural_pairs(v, x, options, sink);
    }
    return edges.finish();  // the lists and the scan's tree are freed by now
}

std::vector<Edge> natural_variant_edges_from(std::span<const double> v, std::span<const double> x,
                                             const VariantOptions& options, std::size_t first_high) {
    if (v.size() < 2 || first_high >= v.size()) return {};
    std::optional<ChainScan> chain;
    EdgeCollector edges;
    auto sink = [&](std::size_t lo, std::size_t hi) {
        if (hi >= first_high) edges.push(Edge{lo, hi});
    };
    // The exact rule's lists take 4 bytes per edge of the stretch; every other rule is
    // scanned row by row in O(n) memory.
    if (exact_chain_pairs(v, x, options, chain, sink)) return edges.finish();
    natural_pairs(v, x, options, sink);
    return edges.finish();
}

std::vector<std::uint64_t> natural_variant_degrees(std::span<const double> v,
                                                   std::span<const double> x,
                                                   const VariantOptions& options) {
    DegreeCounter counter(v.size());
    if (v.size() >= 2 && options.exact && options.penetrable == 0 && ChainScan::fits(v.size())) {
        // By runs of consecutive neighbours; more runs than the lists' budget would mean at
        // least as many edges, so the scan below is then no worse.
        if (RunChain(v, x).degrees(ChainScan::budget(v.size()), options.skip_adjacent,
                                   counter.degrees)) {
            return std::move(counter.degrees);
        }
        counter.degrees.assign(v.size(), 0);
    }
    if (float_chain_applies(v, x, options)) {
        float_pairs_at_positions(v, x, options.skip_adjacent, counter);
    } else {
        natural_pairs(v, x, options, counter);
    }
    return std::move(counter.degrees);
}

}  // namespace kestrel
