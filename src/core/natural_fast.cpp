// Natural visibility under the plain float rule (x_k = k, no blockers allowed), exact for
// the literal procedure
//     h = fl(fl(fl(d / span) * rise) + y_lo),   blocked when v[k] >= h.
//
// Series of tame finite values go first through CertifiedChain (natural_scan.hpp): rows
// that two margin proofs show equal to the exact right-neighbour lists are taken from
// those lists, and only the others are scanned, low end by low end, by the natural scan of
// natural_scan.hpp with L = 0 at x_k = k (its facts 1 to 3 and the literal test). Every
// other series goes to that scan whole, so the result is that of the reference procedure
// on every input; the cross-check tool compares the two.
//
// Non-finite samples follow the literal arithmetic: a non-finite low sees everything
// (h is NaN); a NaN high is always visible; a +inf sample blocks every later high that
// is not NaN; a -inf sample blocks only a -inf high. Finite values beyond 2^1000 in
// magnitude are handled, but only by facts 1 and 2 and the literal test, searched over
// the max-tree. Series on the subnormal grid go to natural_scan::grid_pairs instead, on
// one thread.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <type_traits>

#include "core/cancel.hpp"
#include "core/edge_collector.hpp"
#include "core/memory.hpp"
#include "core/natural_scan.hpp"
#include "core/neighbour_chain.hpp"
#include "core/parallel.hpp"
#include "core/variants.hpp"
#include "core/visibility.hpp"

namespace kestrel {

namespace {

using natural_scan::ArrayPositions;
using natural_scan::CertifiedChain;
using natural_scan::IndexPositions;

// The natural scan with no blockers allowed, at x_k = k or at given positions.
template <class Sink, class Positions = IndexPositions>
using PlainScan = natural_scan::FloatScan<Positions, Sink, natural_scan::NoBlockers>;

// Where the samples stand: x empty with IndexPositions (x_k = k), or the given positions.
template <class Positions>
struct Placement {
    std::span<const double> x;
    Positions pos;
};
using IndexPlacement = Placement<IndexPositions>;

// A sink that ignores what it is given: the chain built for rows emitted elsewhere.
struct NoSink {
    void operator()(std::size_t, std::size_t) const {}
};

// Degrees counted by several threads at once, each with the low ends [start, end): its
// low ends and the highs before `end` are counted by plain adds in `own`, which no other
// thread touches there (their low ends lie elsewhere and their highs past their own
// ranges go to `past`); highs from `end` on, by atomic adds in `past`, added in at the
// end. Counts are sums, so the order does not matter.
template <class Past>
struct ChunkDegreeCounter {
    std::uint64_t* own;
    Past* past;
    std::size_t end;
    void operator()(std::size_t low, std::size_t high) const {
        ++own[low];
        if (high < end) {
            ++own[high];
        } else {
            std::atomic_ref<Past>(past[high]).fetch_add(1, std::memory_order_relaxed);
        }
    }
};

// The chain's lists and proofs for rows emitted by several threads, built in chunks cut
// at `cuts` (equal to those of one thread, see CertifiedChain::build); false when the
// series goes to the scan whole. A chain past its budget stays in `chain` until the
// caller is done, so that its lists are freed only after the scan's rows are joined (see
// IndexBuffer). Rows go to sinks of their own, never to the chain's.
template <class Positions>
using SharedChain = CertifiedChain<Positions, NoSink>;
template <class Positions>
bool chain_for_rows(std::span<const double> v, const Placement<Positions>& at, bool skip_adjacent,
                    std::span<const std::size_t> cuts, std::optional<SharedChain<Positions>>& chain) {
    static NoSink none;
    if (!SharedChain<Positions>::applies(v, at.x)) return false;
    chain.emplace(v, at.x, at.pos, skip_adjacent, none);
    return chain->build(ChainScan::budget(v.size()), cuts);
}

// Every row on several threads, by ranges of low ends. Exact: the row of a low end is
// decided by the same procedure whatever thread runs it (its list when the chain's proofs
// cover it, else the scan from that low end), which reads only the series and the lists
// and proofs, never changed once built; so each range yields exactly the rows one thread
// yields for it, in the same order. make_sink(c) gives chunk c's sink.
template <class Positions, class MakeSink>
void natural_rows_in_parallel(std::span<const double> v, const Placement<Positions>& at, bool skip_adjacent,
                              std::span<const std::size_t> cuts, MakeSink&& make_sink) {
    const std::size_t chunks = cuts.size() - 1;
    std::optional<SharedChain<Positions>> chain;
    const bool chained = chain_for_rows(v, at, skip_adjacent, cuts, chain);
    run_parallel(chunks, [&](std::size_t c) {
        auto sink = make_sink(c);
        if (chained) {
            chain->emit(cuts[c], cuts[c + 1], sink);
        } else {
            PlainScan<decltype(sink), Positions> scan(v, at.pos, 0, skip_adjacent, sink);
            for (std::size_t lo = cuts[c]; lo < cuts[c + 1]; ++lo) scan.run_from(lo);
        }
    });
}

std::size_t edge_count(const std::vector<EdgeCollector>& parts) {
    std::size_t total = 0;
    for (const EdgeCollector& part : parts) total += part.size();
    return total;
}

// The ranges' rows follow one another: each part is drained into its place in `out`.
void drain_in_parallel(std::vector<EdgeCollector>& parts, Edge* out) {
    std::vector<std::size_t> first(parts.size() + 1, 0);
    for (std::size_t c = 0; c < parts.size(); ++c) first[c + 1] = first[c] + parts[c].size();
    run_parallel(parts.size(), [&](std::size_t c) {
        Edge* at = out + first[c];
        parts[c].drain([&](const Edge& e) { *at++ = e; });
    });
}

// Every row by the scan, the low ends of a chunk on a thread each, into room for the
// edges that allocate(m) gives.
template <class Positions, class Allocate>
void scan_edges_in_parallel(std::span<const double> v, const Placement<Positions>& at, bool skip_adjacent,
                            std::span<const std::size_t> cuts, Allocate&& allocate) {
    const std::size_t chunks = cuts.size() - 1;
    std::vector<EdgeCollector> scanned(chunks);
    run_parallel(chunks, [&](std::size_t c) {
        auto sink = [&scanned, c](std::size_t lo, std::size_t hi) { scanned[c].push(Edge{lo, hi}); };
        PlainScan<decltype(sink), Positions> scan(v, at.pos, 0, skip_adjacent, sink);
        for (std::size_t lo = cuts[c]; lo < cuts[c + 1]; ++lo) scan.run_from(lo);
    });
    drain_in_parallel(scanned, allocate(edge_count(scanned)));
}

// The number of edges of the rows of the low ends [first, last): listed rows' from the
// lists' sizes, the rows the proofs do not cover scanned into `scanned`.
template <class Positions>
std::size_t count_rows(const SharedChain<Positions>& chain, std::span<const double> v,
                       const Placement<Positions>& at, bool skip_adjacent, std::size_t first, std::size_t last,
                       EdgeCollector& scanned) {
    auto sink = [&scanned](std::size_t lo, std::size_t hi) { scanned.push(Edge{lo, hi}); };
    std::optional<PlainScan<decltype(sink), Positions>> scan;
    const std::size_t listed = chain.count_listed(first, last, [&](std::size_t lo) {
        if (!scan) scan.emplace(v, at.pos, 0, skip_adjacent, sink);
        scan->run_from(lo);
    });
    return listed + scanned.size();
}

// Those rows written from `at` on, up to `end`, the listed ones straight from the lists;
// a scanned row's edges are the next ones of `scanned` (count_rows gathered them in the
// same order).
template <class Positions>
void write_rows(const SharedChain<Positions>& chain, std::size_t first, std::size_t last,
                const EdgeCollector& scanned, Edge* at, Edge* const end) {
    WorkPoll poll;
    std::size_t next = 0;
    auto listed = [&](std::size_t lo, std::span<const std::uint32_t> run, std::size_t offset) {
        const std::uint32_t* const highs = run.data();
        const std::size_t size = run.size();
        poll.tick(size);
        if (size == 0) return;
        if (end - at < 4) {
            for (std::size_t k = 0; k < size; ++k) at[k] = Edge{lo, offset + highs[k]};
        } else {
            // Four edges whatever the run's length (reading its last high again): a loop
            // that ends at a different count on every row costs a mispredicted branch a row.
            // Those past the run lie below `end`, among the slots of the rows after it.
            const std::size_t top = size - 1;
            at[0] = Edge{lo, offset + highs[0]};
            at[1] = Edge{lo, offset + highs[std::min<std::size_t>(1, top)]};
            at[2] = Edge{lo, offset + highs[std::min<std::size_t>(2, top)]};
            at[3] = Edge{lo, offset + highs[std::min<std::size_t>(3, top)]};
            for (std::size_t k = 4; k < size; ++k) at[k] = Edge{lo, offset + highs[k]};
        }
        at += size;
    };
    chain.visit_listed(first, last, listed, [&](std::size_t lo) {
        while (next < scanned.size() && scanned[next].low == lo) *at++ = scanned[next++];
    });
}

// The rows of the low ends cut at `ranges`, a range on a thread each, counted, then
// written from out(m) on, m their number of edges.
template <class Positions, class Out>
void rows_in_parallel(const SharedChain<Positions>& chain, std::span<const double> v, const Placement<Positions>& at,
                      bool skip_adjacent, std::span<const std::size_t> ranges, Out&& out) {
    const std::size_t parts = ranges.size() - 1;
    std::vector<EdgeCollector> scanned(parts);
    std::vector<std::size_t> first(parts + 1, 0);
    run_parallel(parts, [&](std::size_t p) {
        first[p + 1] = count_rows(chain, v, at, skip_adjacent, ranges[p], ranges[p + 1], scanned[p]);
    });
    for (std::size_t p = 0; p < parts; ++p) first[p + 1] += first[p];
    Edge* const start = out(first[parts]);
    run_parallel(parts, [&](std::size_t p) {
        write_rows(chain, ranges[p], ranges[p + 1], scanned[p], start + first[p], start + first[p + 1]);
    });
}

// Every row of a series on the subnormal grid (natural_scan::grid_pairs), into room for
// the edges that allocate(m) gives; false, with nothing allocated, when its lists would
// pass their budget. One thread: the exact lists and a search per edge.
template <class Allocate>
bool grid_edges(std::span<const double> v, bool skip_adjacent, Allocate&& allocate) {
    EdgeCollector edges;
    auto sink = [&](std::size_t lo, std::size_t hi) { edges.push(Edge{lo, hi}); };
    if (!natural_scan::grid_pairs(v, {}, IndexPositions{}, skip_adjacent, sink)) return false;
    Edge* at = allocate(edges.size());
    edges.drain([&](const Edge& e) { *at++ = e; });
    return true;
}

// Every row on several threads, written into room for the edges that allocate(m) gives.
// At given positions the caller keeps series on the subnormal grid to one thread.
template <class Positions, class Allocate>
void natural_edges_in_parallel(std::span<const double> v, const Placement<Positions>& at, bool skip_adjacent,
                               std::span<const std::size_t> cuts, Allocate&& allocate) {
    if constexpr (std::is_same_v<Positions, IndexPositions>) {
        if (natural_scan::on_grid(v) && grid_edges(v, skip_adjacent, allocate)) return;
    }
    std::optional<SharedChain<Positions>> chain;
    if (chain_for_rows(v, at, skip_adjacent, cuts, chain)) {
        rows_in_parallel(*chain, v, at, skip_adjacent, cuts, allocate);
    } else {
        scan_edges_in_parallel(v, at, skip_adjacent, cuts, allocate);
    }
}

// Degrees on several threads: the rows of natural_rows_in_parallel, counted by chunk.
template <class Positions>
std::vector<std::uint64_t> natural_degrees_in_parallel(std::span<const double> v, const Placement<Positions>& at,
                                                       bool skip_adjacent, std::span<const std::size_t> cuts) {
    DegreeCounter counter(v.size());
    const std::size_t chunks = cuts.size() - 1;
    // A degree is below n, so 4 bytes hold the counts from earlier ranges when n fits.
    auto count = [&]<class Past>(std::vector<Past>& past) {
        past.assign(v.size(), 0);
        natural_rows_in_parallel(v, at, skip_adjacent, cuts, [&](std::size_t c) {
            return ChunkDegreeCounter<Past>{counter.degrees.data(), past.data(), cuts[c + 1]};
        });
        run_parallel(chunks, [&](std::size_t c) {
            for (std::size_t k = cuts[c]; k < cuts[c + 1]; ++k) counter.degrees[k] += past[k];
        });
    };
    if (v.size() <= std::numeric_limits<std::uint32_t>::max()) {
        std::vector<std::uint32_t> past;
        count(past);
    } else {
        std::vector<std::uint64_t> past;
        count(past);
    }
    return std::move(counter.degrees);
}

// Whether the float rule with L = 0 at positions x goes to the threads: exactly the
// series that one thread gives to the chain or to the scan (natural_variants.cpp,
// float_pairs_at_positions), leaving the subnormal grid, the literal pair tests and
// series too short to cut to one thread. Edges take one chunk too: its rows are then
// counted and written in place, without gathering them first.
bool positions_threaded(std::span<const double> v, std::span<const double> x, std::span<const std::size_t> cuts,
                        std::size_t least_chunks) {
    return cuts.size() > least_chunks && v.size() > 2 && x.size() == v.size() && !natural_scan::on_grid(v) &&
           natural_scan::scan_applies(v, x);
}

VariantOptions float_options(bool skip_adjacent) {
    VariantOptions options;
    options.skip_adjacent = skip_adjacent;
    return options;
}

}  // namespace

std::vector<Edge> natural_visibility_edges(std::span<const double> v, bool skip_adjacent,
                                           std::span<const std::size_t> cuts) {
    if (cuts.size() <= 2 || v.size() < 2) return natural_visibility_edges(v, skip_adjacent);
    std::vector<Edge> edges;
    natural_edges_in_parallel(v, IndexPlacement{}, skip_adjacent, cuts, [&](std::size_t m) {
        reserve_large(edges, m);
        edges.resize(m);
        return edges.data();
    });
    return edges;
}

EdgeBuffer natural_visibility_edge_buffer(std::span<const double> v, bool skip_adjacent,
                                          std::span<const std::size_t> cuts) {
    if (v.size() < 2) return EdgeBuffer::with_room(0);
    EdgeBuffer buffer;
    // Not cleared first: each page of the result is first written by the thread that fills it.
    natural_edges_in_parallel(v, IndexPlacement{}, skip_adjacent, cuts, [&buffer](std::size_t m) {
        buffer = EdgeBuffer::with_room(m);
        buffer.size = m;
        return buffer.data();
    });
    return buffer;
}

std::vector<std::uint64_t> natural_visibility_degrees(std::span<const double> v,
                                                      bool skip_adjacent,
                                                      std::span<const std::size_t> cuts) {
    if (cuts.size() <= 2 || v.size() < 2 || natural_scan::on_grid(v)) {
        return natural_visibility_degrees(v, skip_adjacent);
    }
    return natural_degrees_in_parallel(v, IndexPlacement{}, skip_adjacent, cuts);
}

std::vector<Edge> natural_visibility_edges(std::span<const double> v, bool skip_adjacent) {
    if (v.size() < 2) return {};
    EdgeCollector edges;
    auto sink = [&](std::size_t lo, std::size_t hi) { edges.push(Edge{lo, hi}); };
    if (natural_scan::on_grid(v) && natural_scan::grid_pairs(v, {}, IndexPositions{}, skip_adjacent, sink)) {
        return edges.finish();
    }
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
    if (natural_scan::on_grid(v) &&
        natural_scan::grid_pairs(v, {}, IndexPositions{}, skip_adjacent, counter)) {
        return std::move(counter.degrees);
    }
    using Chain = CertifiedChain<IndexPositions, DegreeCounter>;
    if (Chain::applies(v, {}) &&
        Chain(v, {}, IndexPositions{}, skip_adjacent, counter).run(ChainScan::budget(v.size()))) {
        return std::move(counter.degrees);
    }
    PlainScan<DegreeCounter>(v, IndexPositions{}, 0, skip_adjacent, counter).run();
    return std::move(counter.degrees);
}

std::vector<std::uint64_t> natural_positions_degrees(std::span<const double> v, std::span<const double> x,
                                                     bool skip_adjacent, std::span<const std::size_t> cuts) {
    if (!positions_threaded(v, x, cuts, 2)) return natural_variant_degrees(v, x, float_options(skip_adjacent));
    return natural_degrees_in_parallel(v, Placement<ArrayPositions>{x, ArrayPositions{x.data()}}, skip_adjacent,
                                       cuts);
}

}  // namespace kestrel
