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
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "core/cancel.hpp"
#include "core/edge_collector.hpp"
#include "core/memory.hpp"
#include "core/natural_scan.hpp"
#include "core/neighbour_chain.hpp"
#include "core/parallel.hpp"
#include "core/visibility.hpp"

namespace kestrel {

namespace {

using natural_scan::as_double;
using natural_scan::IndexPositions;
using natural_scan::k8u;
using natural_scan::kInf;
using natural_scan::kTiny;
using natural_scan::slope_down;
using natural_scan::slope_up;
using natural_scan::tame;

// The natural scan with no blockers allowed at x_k = k.
template <class Sink>
using PlainScan = natural_scan::FloatScan<IndexPositions, Sink, natural_scan::NoBlockers>;

// The float rule from the exact right-neighbour lists (neighbour_chain.hpp), for series
// of tame finite values, low end by low end where a proof shows the literal rule gives
// the same row, and by the scan where it does not. The exact neighbours of lo are its
// records j_1 = lo + 1 < j_2 < ... < j_T, the prefix maxima of the exact slope from lo.
//   (i) Record j_t, t >= 2, is visible: every sample between has an exact slope <= that
//       of j_(t-1), so fact 3 of natural_scan.hpp applies with S = slope_up of j_(t-1)'s computed slope.
//  (ii) Every other high h lies between two records j_t and j_(t+1), or after j_T. With
//       a = j_t - lo, b = h - j_t (at least 1 each), sigma the exact slope of j_t from lo
//       and mu that of h from j_t, j_t lies ab / (a + b) (sigma - mu) >= (sigma - mu) / 2
//       above the exact line from lo to h. The largest mu over the samples between j_t
//       and j_(t+1) (after j_T: all later ones) is that of the last right neighbour of j_t
//       before j_(t+1) (the neighbours are the prefix maxima of mu). When sigma exceeds it
//       by more than 2E, j_t lies more than E above the exact line, so above the literal
//       line value: h is blocked (fact 1 shown by margin; E with |y_h| <= the largest
//       |v|).
// With every high covered by (i) or (ii), the row is exactly the records. The chain
// reports each record with that neighbour as it finds it: O(1) float steps per edge.
template <class Sink>
class CertifiedChain {
public:
    CertifiedChain(std::span<const double> v, bool skip_adjacent, Sink& sink)
        : v_(v), n_(v.size()), skip_adjacent_(skip_adjacent), sink_(sink), chain_(v, {}) {
        for (double y : v) largest_ = std::max(largest_, std::fabs(y));
    }

    // Every value finite and tame, and few enough samples for the lists.
    static bool applies(std::span<const double> v) {
        if (!ChainScan::fits(v.size())) return false;
        for (double y : v) {
            if (!tame(y)) return false;
        }
        return true;
    }

    // False, with nothing emitted, when the lists would pass `budget` entries.
    bool run(std::size_t budget) {
        if (!build(budget)) return false;
        emit(0, n_, sink_);
        return true;
    }

    // The lists and the proofs of every row; false when the lists would pass `budget`.
    bool build(std::size_t budget) {
        proven_.assign(n_, 1);
        auto steps = [this](std::size_t lo, std::size_t j, std::size_t w, bool first) { step(lo, j, w, first); };
        return chain_.build(budget, steps);
    }

    // The rows of the low ends [first, last) in order, to `sink`: a proven row from its
    // list, any other by the scan from its low end. Reads the lists and proofs only, so
    // threads may emit disjoint ranges at once, each with its own sink; the poll and the
    // scan are made on the calling thread.
    template <class Out>
    void emit(std::size_t first, std::size_t last, Out& sink) const {
        WorkPoll poll;
        std::optional<PlainScan<Out>> fallback;
        for (std::size_t lo = first; lo < last && lo + 1 < n_; ++lo) {
            if (proven_[lo]) {
                for (const std::uint32_t hi : chain_.list(lo)) {
                    poll.tick();
                    if (!(skip_adjacent_ && hi == lo + 1)) sink(lo, hi);
                }
            } else {
                if (!fallback) fallback.emplace(v_, IndexPositions{}, 0, skip_adjacent_, sink);
                fallback->run_from(lo);
            }
        }
    }

private:
    // Record j of lo, in order; w is the last neighbour of j before lo's next record.
    void step(std::size_t lo, std::size_t j, std::size_t w, bool first) {
        const double y0 = v_[lo];
        const double margin_lo = k8u * std::fabs(y0) + kTiny;
        const double slope = (v_[j] - y0) / as_double(j - lo);
        // (i), against the record before
        if (!first && !(slope_down(slope) - previous_up_ > margin_lo + k8u * std::fabs(v_[j]))) proven_[lo] = 0;
        previous_up_ = slope_up(slope);
        if (w == ChainScan::kNone) return;  // nothing between j and the next record
        // (ii), with fact 3's margin for a high of any value
        const double mu = (v_[w] - v_[j]) / as_double(w - j);
        if (!(slope_down(slope) - slope_up(mu) > 2 * (margin_lo + k8u * largest_))) proven_[lo] = 0;
    }

    std::span<const double> v_;
    std::size_t n_;
    bool skip_adjacent_;
    Sink& sink_;
    ChainScan chain_;
    double largest_ = 0.0;
    std::vector<std::uint8_t> proven_;  // per low end: the row is its records
    double previous_up_ = -kInf;
};

// A sink that ignores what it is given: the chain built for rows emitted elsewhere.
struct NoSink {
    void operator()(std::size_t, std::size_t) const {}
};

// Degrees counted by several threads at once: every count is changed atomically.
struct SharedDegreeCounter {
    std::vector<std::uint64_t>& degrees;
    void operator()(std::size_t low, std::size_t high) const {
        std::atomic_ref<std::uint64_t>(degrees[low]).fetch_add(1, std::memory_order_relaxed);
        std::atomic_ref<std::uint64_t>(degrees[high]).fetch_add(1, std::memory_order_relaxed);
    }
};

// Every row on several threads, by ranges of low ends. Exact: the row of a low end is
// decided by the same procedure whatever thread runs it (its list when the chain's proofs
// cover it, else the scan from that low end), which reads only the series and the lists
// and proofs, built once before the threads start and never changed; so each range yields
// exactly the rows one thread yields for it, in the same order. make_sink(c) gives chunk
// c's sink.
template <class MakeSink>
void natural_rows_in_parallel(std::span<const double> v, bool skip_adjacent,
                              std::span<const std::size_t> cuts, MakeSink&& make_sink) {
    const std::size_t chunks = cuts.size() - 1;
    NoSink none;
    std::optional<CertifiedChain<NoSink>> chain;
    if (CertifiedChain<NoSink>::applies(v)) {
        chain.emplace(v, skip_adjacent, none);
        if (!chain->build(ChainScan::budget(v.size()))) chain.reset();
    }
    run_parallel(chunks, [&](std::size_t c) {
        auto sink = make_sink(c);
        if (chain) {
            chain->emit(cuts[c], cuts[c + 1], sink);
        } else {
            PlainScan<decltype(sink)> scan(v, IndexPositions{}, 0, skip_adjacent, sink);
            for (std::size_t lo = cuts[c]; lo < cuts[c + 1]; ++lo) scan.run_from(lo);
        }
    });
}

}  // namespace

bool natural_chain_applies(std::span<const double> v) { return CertifiedChain<NoSink>::applies(v); }

std::vector<Edge> natural_visibility_edges(std::span<const double> v, bool skip_adjacent,
                                           std::span<const std::size_t> cuts) {
    if (cuts.size() <= 2 || v.size() < 2) return natural_visibility_edges(v, skip_adjacent);
    const std::size_t chunks = cuts.size() - 1;
    std::vector<EdgeCollector> parts(chunks);
    natural_rows_in_parallel(v, skip_adjacent, cuts, [&](std::size_t c) {
        return [&parts, c](std::size_t lo, std::size_t hi) { parts[c].push(Edge{lo, hi}); };
    });
    // The ranges' rows follow one another: each part is drained into its place.
    std::vector<std::size_t> first(chunks + 1, 0);
    for (std::size_t c = 0; c < chunks; ++c) first[c + 1] = first[c] + parts[c].size();
    std::vector<Edge> edges;
    reserve_large(edges, first[chunks]);
    edges.resize(first[chunks]);
    run_parallel(chunks, [&](std::size_t c) {
        std::size_t at = first[c];
        parts[c].drain([&](const Edge& e) { edges[at++] = e; });
    });
    return edges;
}

std::vector<std::uint64_t> natural_visibility_degrees(std::span<const double> v,
                                                      bool skip_adjacent,
                                                      std::span<const std::size_t> cuts) {
    if (cuts.size() <= 2 || v.size() < 2) return natural_visibility_degrees(v, skip_adjacent);
    DegreeCounter counter(v.size());
    natural_rows_in_parallel(v, skip_adjacent, cuts,
                             [&](std::size_t) { return SharedDegreeCounter{counter.degrees}; });
    return std::move(counter.degrees);
}

std::vector<Edge> natural_visibility_edges(std::span<const double> v, bool skip_adjacent) {
    if (v.size() < 2) return {};
    EdgeCollector edges;
    auto sink = [&](std::size_t lo, std::size_t hi) { edges.push(Edge{lo, hi}); };
    {
        // Past its budget the chain keeps its lists while the scan runs (see IndexBuffer).
        std::optional<CertifiedChain<decltype(sink)>> chain;
        if (CertifiedChain<decltype(sink)>::applies(v)) chain.emplace(v, skip_adjacent, sink);
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
    if (CertifiedChain<DegreeCounter>::applies(v) &&
        CertifiedChain(v, skip_adjacent, counter).run(ChainScan::budget(v.size()))) {
        return std::move(counter.degrees);
    }
    PlainScan<DegreeCounter>(v, IndexPositions{}, 0, skip_adjacent, counter).run();
    return std::move(counter.degrees);
}

}  // namespace kestrel
