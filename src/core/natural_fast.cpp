// Natural visibility under the plain float rule (x_k = k, no blockers allowed), exact for
// the literal procedure
//     h = fl(fl(fl(d / span) * rise) + y_lo),   blocked when v[k] >= h.
//
// Series of tame finite values go first through CertifiedChain (below): rows that two
// margin proofs show equal to the exact right-neighbour lists are taken from those lists,
// and only the others are scanned, low end by low end, by the natural scan of
// natural_scan.hpp with L = 0 at x_k = k (its facts 1 to 3 and the literal test). Every
// other series goes to that scan whole, so the result is that of the reference procedure
// on every input; the cross-check tool compares the two.
//
// Non-finite samples follow the literal arithmetic: a non-finite low sees everything
// (h is NaN); a NaN high is always visible; a +inf sample blocks every later high that
// is not NaN; a -inf sample blocks only a -inf high. Finite values beyond 2^1000 in
// magnitude are handled, but only by facts 1 and 2 and the literal test.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "core/cancel.hpp"
#include "core/edge_collector.hpp"
#include "core/natural_scan.hpp"
#include "core/neighbour_chain.hpp"
#include "core/visibility.hpp"

namespace kestrel {

namespace {

using natural_scan::CertifiedChain;
using natural_scan::IndexPositions;

// The natural scan with no blockers allowed at x_k = k.
template <class Sink>
using PlainScan = natural_scan::FloatScan<IndexPositions, Sink, natural_scan::NoBlockers>;

}  // namespace

std::vector<Edge> natural_visibility_edges(std::span<const double> v, bool skip_adjacent) {
    if (v.size() < 2) return {};
    EdgeCollector edges;
    auto sink = [&](std::size_t lo, std::size_t hi) { edges.push(Edge{lo, hi}); };
    {
        // Past its budget the chain keeps its lists while the scan runs (see IndexBuffer).
        using Chain = CertifiedChain<IndexPositions, decltype(sink)>;
        std::optional<Chain> chain;
        if (Chain::applies(v, {})) chain.emplace(v, std::span<const double>{}, IndexPositions{}, skip_adjacent, sink);
        if (!chain || !chain->run(ChainScan::budget(v.size()))) {
            PlainScan<decltype(sink)>(v, IndexPositions{}, 0, skip_adjacent, sink).run();
        }
    }  // the scan's tree and the lists are freed before the edges are joined
    return edges.finish();
}

std::vector<std::uint64_t> natural_visibility_degrees(std::span<const double> v,
                                                      bool skip_adjacent) {
    DegreeCounter counter(v.size());
    if (v.size() < 2) return std::move(counter.degrees);
    using Chain = CertifiedChain<IndexPositions, DegreeCounter>;
    if (Chain::applies(v, {}) &&
        Chain(v, {}, IndexPositions{}, skip_adjacent, counter).run(ChainScan::budget(v.size()))) {
        return std::move(counter.degrees);
    }
    PlainScan<DegreeCounter>(v, IndexPositions{}, 0, skip_adjacent, counter).run();
    return std::move(counter.degrees);
}

}  // namespace kestrel
