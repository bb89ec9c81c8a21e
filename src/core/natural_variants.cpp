// Natural visibility at given positions, with up to L blockers, under the float rule or
// in exact arithmetic: the scans of natural_scan.hpp (natural_pairs), and for the exact
// rule with L = 0 the neighbour lists of neighbour_chain.hpp.
#include <algorithm>
#include <cstdint>
#include <optional>

#include "core/cancel.hpp"
#include "core/edge_collector.hpp"
#include "core/natural_scan.hpp"
#include "core/neighbour_chain.hpp"
#include "core/variants.hpp"

namespace kestrel {

namespace {

using natural_scan::ArrayPositions;
using natural_scan::ExactScan;
using natural_scan::FloatScan;
using natural_scan::IndexPositions;
using natural_scan::NoBlockers;
using natural_scan::regular;

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
    if (x.empty()) {
        FloatScan<IndexPositions, Sink>(v, IndexPositions{}, limit, skip, sink).run();
    } else if (regular(x) && limit == 0) {
        FloatScan<ArrayPositions, Sink, NoBlockers>(v, ArrayPositions{x.data()}, 0, skip, sink).run();
    } else if (regular(x)) {
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

}  // namespace

std::vector<Edge> natural_variant_edges(std::span<const double> v, std::span<const double> x,
                                        const VariantOptions& options) {
    if (v.size() < 2) return {};
    // The exact rule with L = 0 by its neighbour lists while they stay within their budget;
    // past it, by the scan below while the chain still holds them (see IndexBuffer).
    std::optional<ChainScan> chain;
    if (options.exact && options.penetrable == 0 && ChainScan::fits(v.size())) {
        chain.emplace(v, x);
        if (chain->build(ChainScan::budget(v.size()))) {
            EdgeCollector edges;
            auto sink = [&](std::size_t lo, std::size_t hi) { edges.push(Edge{lo, hi}); };
            chain->stream(options.skip_adjacent, sink);
            chain->release();
            return edges.finish();
        }
    }
    EdgeCollector edges;
    auto sink = [&](std::size_t lo, std::size_t hi) { edges.push(Edge{lo, hi}); };
    natural_pairs(v, x, options, sink);
    return edges.finish();
}

std::vector<std::uint64_t> natural_variant_degrees(std::span<const double> v,
                                                   std::span<const double> x,
                                                   const VariantOptions& options) {
    DegreeCounter counter(v.size());
    if (v.size() >= 2 && options.exact && options.penetrable == 0 && ChainScan::fits(v.size())) {
        ChainScan chain(v, x);
        if (chain.build(ChainScan::budget(v.size()))) {
            chain.stream(options.skip_adjacent, counter);
            return std::move(counter.degrees);
        }
    }
    natural_pairs(v, x, options, counter);
    return std::move(counter.degrees);
}

}  // namespace kestrel
