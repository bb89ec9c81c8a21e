// Variants of the two rules: samples at given positions x (irregular sampling),
// penetrable visibility (a pair stays visible with at most L blockers between), and the
// natural rule decided in exact arithmetic. Pure C++: never includes Python.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/graph_record.hpp"
#include "core/visibility.hpp"

namespace kestrel {

struct VariantOptions {
    VisibilityRule rule = VisibilityRule::Natural;
    // Largest number of blocking samples a visible pair may have between its ends.
    std::size_t penetrable = 0;
    // Natural rule only: decide "on or above the chord" exactly (see exact_orientation.hpp).
    // The horizontal rule compares samples directly and is exact already; it ignores this.
    bool exact = false;
    bool skip_adjacent = false;
};

// Positions: an empty span stands for x_k = k. Otherwise one finite position per sample,
// strictly increasing.
enum class PositionsFault { none, length, not_finite, not_increasing };

struct PositionsCheck {
    PositionsFault fault = PositionsFault::none;
    std::size_t index = 0;  // the first offending position
};

PositionsCheck check_positions(std::span<const double> x, std::size_t samples);

// Missing samples are the NaN values. What a build does with them.
enum class MissingPolicy { raise, omit, keep };

// Index of the first NaN value, or v.size() when there is none.
std::size_t first_missing(std::span<const double> v);

// Leaves the missing samples out; every other sample keeps its position: x_k, or its
// index k when x is empty (x then becomes the kept indices, unless nothing was missing,
// when both stay as they are).
// `also`, when given, is one more array of the same length, thinned the same way.
void omit_missing(std::vector<double>& v, std::vector<double>& x,
                  std::vector<double>* also = nullptr);

// Values recorded as decimals with at most `places` places (0 to 15). Each value must be
// the double nearest to such a decimal D with at most 15 digits in all, that is with
// M = D * 10^places an integer below 10^15 in magnitude; `scaled` receives every M (an
// exact double; NaN stays NaN). Scaling all values by 10^places changes no orientation
// sign, so the exact rule on `scaled` decides visibility exactly on the decimals.
// Returns the index of the first value that is no such decimal, or v.size().
std::size_t scale_decimals(std::span<const double> v, int places, std::vector<double>& scaled);

// --- literal rules --------------------------------------------------------------------
// Whether sample k blocks the pair (lo, hi), lo < k < hi, under the options' rule:
//   natural, float:  q = fl(fl(x_k - x_lo) / fl(x_hi - x_lo)), rise = fl(v_hi - v_lo),
//                    h = fl(fl(q rise) + v_lo), blocked when v_k >= h (with x_k = k the
//                    arithmetic of indices_are_visible, bit for bit);
//   natural, exact:  exact_blocks on the binary values;
//   horizontal:      v_k >= fmin(v_lo, v_hi).
bool variant_blocks(std::span<const double> v, std::span<const double> x, std::size_t lo,
                    std::size_t k, std::size_t hi, const VariantOptions& options);

// The pair test: at most `penetrable` samples between block. False for lo >= hi or an
// index out of range.
bool variant_pair_visible(std::span<const double> v, std::span<const double> x, std::size_t lo,
                          std::size_t hi, const VariantOptions& options);

// --- reference procedure ----------------------------------------------------------------
// Every pair (lo < hi) in lexicographic order, each decided on its own by counting its
// blockers with variant_blocks; vertex k is (x_k, v_k). The fast methods must give exactly
// its edges.
VisibilityGraph reference_variant_graph(std::span<const double> v, std::span<const double> x,
                                        const VariantOptions& options);

// --- fast methods -------------------------------------------------------------------------
// Edges in ascending (low, high) order, and degrees without storing edges.
std::vector<Edge> variant_edges(std::span<const double> v, std::span<const double> x,
                                const VariantOptions& options);
std::vector<std::uint64_t> variant_degrees(std::span<const double> v, std::span<const double> x,
                                           const VariantOptions& options);
// The same on up to `threads` threads (kAutoThreads: as many as pay): the plain rules,
// and the degrees of the natural float rule with L = 0 at given positions (such as the kept
// indices of a series whose missing samples were left out). The results are those of one
// thread, bit for bit; every other variant runs on one.
std::vector<Edge> variant_edges(std::span<const double> v, std::span<const double> x,
                                const VariantOptions& options, std::size_t threads);
std::vector<std::uint64_t> variant_degrees(std::span<const double> v, std::span<const double> x,
                                           const VariantOptions& options, std::size_t threads);
// Whole-series graph from the fast methods: vertex k is (x_k, v_k).
VisibilityGraph build_variant_graph(std::span<const double> v, std::span<const double> x,
                                    const VariantOptions& options);
// The same with visibility decided on `decided` (one value per sample, e.g. scaled
// decimals) while the vertices keep the values v.
VisibilityGraph build_variant_graph(std::span<const double> v, std::span<const double> decided,
                                    std::span<const double> x, const VariantOptions& options);

// Pieces of the fast methods.
// Natural rule, float or exact, any positions and any L (natural_variants.cpp): edges in
// ascending order, or degrees.
std::vector<Edge> natural_variant_edges(std::span<const double> v, std::span<const double> x,
                                        const VariantOptions& options);
std::vector<std::uint64_t> natural_variant_degrees(std::span<const double> v,
                                                   std::span<const double> x,
                                                   const VariantOptions& options);
// The float rule with L = 0 at positions x (natural_fast.cpp), the degrees of the low ends
// [cuts[c], cuts[c + 1]) counted on thread c wherever one thread decides them by the chain
// or the scan: the result of natural_variant_degrees with those options, bit for bit.
std::vector<std::uint64_t> natural_positions_degrees(std::span<const double> v, std::span<const double> x,
                                                     bool skip_adjacent, std::span<const std::size_t> cuts);
// The natural rule's edges whose high end is at least `first_high`, in ascending order,
// in memory for the samples and those edges only (the scans, not the neighbour lists of
// the float rule): how a series that grows joins a new piece to a stretch before it.
std::vector<Edge> natural_variant_edges_from(std::span<const double> v, std::span<const double> x,
                                             const VariantOptions& options, std::size_t first_high);
// Horizontal rule with any L (horizontal_penetrable.cpp).
std::vector<Edge> horizontal_penetrable_edges(std::span<const double> v, std::size_t penetrable,
                                              bool skip_adjacent);
std::vector<std::uint64_t> horizontal_penetrable_degrees(std::span<const double> v,
                                                         std::size_t penetrable,
                                                         bool skip_adjacent);

}  // namespace kestrel
