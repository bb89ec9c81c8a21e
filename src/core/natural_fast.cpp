// Natural visibility, output-sensitive and exact for the literal float rule
//     h = fl(fl(fl(d / span) * rise) + y_lo),   blocked when v[k] >= h.
//
// For each low end `lo` the highs are visited left to right. Three facts decide a pair
// without its literal scan, each exact in floating point:
//   1. Literal blocker. The sample b with the largest computed slope from lo is tested
//      with the literal rule for the pair; if it blocks, the pair is blocked.
//   2. Bulk blocking. Whole nodes of a max-tree are passed over when b blocks every high
//      in them, shown by monotone upper bounds on the literal line value (below).
//   3. Margin proof of visibility. S is an upper bound on the exact slope from lo of
//      every sample passed so far. If the exact slope of the high exceeds S by more than
//      E, the worst-case distance of the literal line value from the exact line, every
//      sample between lies below the literal line and the pair is visible.
// Everything else falls back to the literal pairwise test, so the result is that of the
// reference procedure on every input; the cross-check tool compares the two.
//
// Series of tame finite values go first through CertifiedChain (below): rows that two
// margin proofs show equal to the exact right-neighbour lists are taken from those lists,
// and only the others are scanned.
//
// Non-finite samples follow the literal arithmetic: a non-finite low sees everything
// (h is NaN); a NaN high is always visible; a +inf sample blocks every later high that
// is not NaN; a -inf sample blocks only a -inf high. Finite values beyond 2^1000 in
// magnitude are handled, but only by facts 1 and 2 and the literal test.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "core/cancel.hpp"
#include "core/edge_collector.hpp"
#include "core/neighbour_chain.hpp"
#include "core/visibility.hpp"

namespace kestrel {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// |x| <= 2^1000: no difference, product or sum of two such values overflows.
constexpr double kTame = 0x1p1000;
// 8u and 32u (u = 2^-53) and an absolute term far above every underflow error.
constexpr double k8u = 0x1p-50;
constexpr double k32u = 0x1p-48;
constexpr double k256u = 0x1p-45;
constexpr double kTiny = 0x1p-1060;

bool tame(double x) { return std::fabs(x) <= kTame; }  // false for NaN and +-inf

// Positions and spans are below 2^53 (no series that long fits in memory), so the
// conversion through a signed integer is exact and cheaper than the unsigned one.
double as_double(std::size_t x) { return static_cast<double>(static_cast<std::int64_t>(x)); }

// A computed slope fl(fl(y - y0) / d) is within 2.01u|s| + 2^-1075 of the exact one;
// these add or remove 8u|s| + 2^-1060 (more than that plus their own rounding), so
// slope_up(s) >= exact slope >= slope_down(s).
double slope_up(double s) { return s + (k8u * std::fabs(s) + kTiny); }
double slope_down(double s) { return s - (k8u * std::fabs(s) + kTiny); }

// The literal rule for one sample k between lo and hi (the reference's arithmetic).
bool literal_blocks(const double* v, std::size_t lo, std::size_t k, std::size_t hi) {
    const double y_lo = v[lo];
    const double span = as_double(hi - lo);  // the same doubles as the reference's casts
    const double rise = v[hi] - y_lo;
    const double q = as_double(k - lo) / span;
    const double h = q * rise + y_lo;
    return v[k] >= h;
}

// Upper bound of v[k + 1] - v[k] in exact arithmetic: the rounded difference is within
// half an ulp, so the next double up is an upper bound. +inf when not finite.
double difference_up(double a, double b) {
    const double d = b - a;
    if (!std::isfinite(d)) return kInf;
    return std::nextafter(d, kInf);
}

// Max-tree over positions, bottom-up with `size` leaves (a power of two). Per node: the
// largest value (NaN counts as +inf, so a node holding a NaN is never passed over; the
// padding is +inf too) and the largest upper-bounded step v[k + 1] - v[k] inside it.
struct MaxTree {
    struct Node {
        double top;
        double step;
    };
    std::size_t size = 1;
    std::vector<Node> nodes;  // both values of a node in one cache line

    explicit MaxTree(std::span<const double> v) {
        const std::size_t n = v.size();
        while (size < n) size <<= 1;
        nodes.assign(2 * size, Node{kInf, -kInf});
        for (std::size_t k = 0; k < n; ++k) nodes[size + k].top = std::isnan(v[k]) ? kInf : v[k];
        // Node i covers [first, first + width); its children split at first + width/2.
        for (std::size_t i = size - 1; i >= 1; --i) {
            nodes[i].top = std::max(nodes[2 * i].top, nodes[2 * i + 1].top);
            const auto [first, width] = range(2 * i + 1);
            const double join = first < n ? difference_up(v[first - 1], v[first]) : kInf;
            nodes[i].step = std::max({nodes[2 * i].step, nodes[2 * i + 1].step, join});
        }
    }

    // First position and width of node i.
    std::pair<std::size_t, std::size_t> range(std::size_t i) const {
        const int level = std::bit_width(i) - 1;
        const std::size_t width = size >> level;
        return {(i - (std::size_t{1} << level)) * width, width};
    }
};

// `sink(lo, hi)` receives every visible pair, lows ascending and each low's highs
// ascending: the ascending (low, high) order of the reference.
template <class Sink>
class NaturalScan {
public:
    NaturalScan(std::span<const double> v, bool skip_adjacent, Sink& sink)
        : v_(v), n_(v.size()), skip_adjacent_(skip_adjacent), sink_(sink), tree_(v) {
        for (std::size_t k = 0; k < n_; ++k) {
            if (std::isnan(v[k])) nans_.push_back(k);
            if (v[k] == kInf) plus_infs_.push_back(k);
        }
    }

    void run() {
        for (std::size_t lo = 0; lo < n_; ++lo) run_from(lo);
    }

    // The visible pairs of one low end.
    void run_from(std::size_t lo) {
        if (!std::isfinite(v_[lo])) {
            // h = NaN for every pair (rise is +-inf or NaN, and inf + -inf or NaN).
            for (std::size_t hi = lo + 1; hi < n_; ++hi) emit(lo, hi);
        } else {
            scan_from(lo);
        }
    }

private:
    void emit(std::size_t lo, std::size_t hi) {
        poll_.tick();
        if (!(skip_adjacent_ && hi == lo + 1)) sink_(lo, hi);
    }

    void scan_from(std::size_t lo) {
        lo_ = lo;
        y0_ = v_[lo];
        has_b_ = false;
        seen_non_nan_ = false;
        slope_bound_ = -kInf;
        cap_ = -kInf;
        proofs_ = tame(y0_);
        // The first +inf after lo is visible (h = +inf and nothing between is +inf);
        // after it only NaN highs are (h is never NaN for a finite low and a non-NaN high).
        const auto inf_at = std::upper_bound(plus_infs_.begin(), plus_infs_.end(), lo);
        const std::size_t limit = inf_at == plus_infs_.end() ? n_ : *inf_at;
        std::size_t from = lo + 1;
        for (;;) {
            const std::size_t hi = next_candidate(from, limit);
            if (hi >= limit) break;
            visit(hi);
            from = hi + 1;
        }
        if (limit < n_) {
            emit(lo, limit);
            for (auto it = std::upper_bound(nans_.begin(), nans_.end(), limit); it != nans_.end(); ++it) {
                emit(lo, *it);
            }
        }
    }

    void visit(std::size_t hi) {
        const double y = v_[hi];
        if (std::isnan(y)) {  // h is NaN: always visible; never blocks
            emit(lo_, hi);
            return;
        }
        if (y == -kInf) {  // h = -inf: visible only with nothing but NaN between
            if (!seen_non_nan_) emit(lo_, hi);
            seen_non_nan_ = true;
            return;  // a -inf sample never blocks a finite or +inf line value
        }
        seen_non_nan_ = true;
        const double slope = (y - y0_) / as_double(hi - lo_);
        bool visible;
        if (has_b_ && literal_blocks(v_.data(), lo_, b_, hi)) {
            visible = false;
        } else if (proofs_ && tame(y) && visible_by_margin(slope, y)) {
            visible = true;
        } else {
            poll_.tick(hi - lo_);  // the literal test walks the samples between
            visible = indices_are_visible(v_, lo_, hi);
        }
        if (visible) emit(lo_, hi);
        raise_slope_bound(std::isfinite(slope) ? slope_up(slope) : kInf);
        if (!has_b_ || slope > slope_b_) set_blocker(hi, slope);
    }

    // Fact 3. With exact slopes sigma_k <= S for every sample k between (NaN and -inf
    // never block a finite line) and sigma_hi - S > E, each k lies d_k (sigma_hi -
    // sigma_k) >= E below the exact line, and the literal line value is within
    //     |h - L| <= 5.01u (|y0| + |y1|) + 2^-1074
    // of it (three roundings on |q rise| <= |y0| + |y1|, one on the sum; no overflow for
    // tame ends). E below uses 8u and 2^-1060; the subtraction's own rounding is inside.
    bool visible_by_margin(double slope, double y) const {
        if (slope_bound_ == -kInf) return true;  // nothing between can block
        const double margin = k8u * (std::fabs(y0_) + std::fabs(y)) + kTiny;
        return slope_down(slope) - slope_bound_ > margin;
    }

    // Fact 2 for the tree node covering [first, first + width), all after b: true when b
    // blocks every high in it; then slope_bound_ grows to cover the node's samples, which
    // stay between for later highs. Passing a node is refused when it would raise S above
    // cap_, a small relative step above b's slope, so margin proofs stay possible.
    bool passes_over(std::size_t i, std::size_t first, std::size_t width) {
        if (!has_b_) return false;
        const MaxTree::Node& node = tree_.nodes[i];
        const double top = node.top;
        const double span_first = as_double(first - lo_);

        // (a) Every value in the node is <= top. The literal line value at b is monotone
        // in the high's value (each rounding is monotone, q > 0) and in q = fl(db / span)
        // (upwards for rise >= 0, downwards for rise < 0), so the corner below bounds it
        // from above for every high in the node; b at or above that bound blocks all.
        const double rise_top = top - y0_;
        const double span_q = rise_top >= 0 ? span_first : as_double(first + width - 1 - lo_);
        if (vb_ >= (db_ / span_q) * rise_top + y0_) {
            // Slopes in the node are <= rise_top / span; for a fixed numerator that is
            // largest at the nearest span when >= 0 and at the farthest when < 0, the same
            // span as q's.
            const double corner = top == -kInf ? -kInf : slope_up(rise_top / span_q);
            if (corner <= cap_) {
                raise_slope_bound(corner);
                return true;
            }
            return false;
        }

        // (b) Steps bounded by D: v[hi] <= v[first] + (hi - first) D, so the exact slope
        // from lo is <= g(s) = (A + (s - s_first) D) / s with A = v[first] - y0, which is
        // monotone in s: its largest value is at an end. This follows linear runs (ramps)
        // that (a) cannot. g's float error is <= 4u M with M = |A| / s_first + |D|; adding
        // 32u M makes g_up an upper bound, and db * g_up then bounds fl(q * rise) (two
        // roundings of <= 2.01u on a value <= db * g). Below 2^960 no rise can overflow.
        const double d = node.step;
        if (width < 2 || !std::isfinite(d)) return false;
        const double a = v_[first] - y0_;
        const double span_last = as_double(first + width - 1 - lo_);
        // Cheap refusals first, without division: g_up >= g at both ends (less 4u M), and
        // g_up must stay under the cap (a few u of slack is left to the exact test).
        const double extent = span_last - span_first;
        if (a > cap_ * span_first + 0x1p-40 * std::fabs(a) ||
            a + extent * d > cap_ * span_last + 0x1p-40 * (std::fabs(a) + extent * std::fabs(d))) {
            return false;
        }
        const double g_first = a / span_first;
        const double g_last = (a + extent * d) / span_last;
        const double m = std::fabs(a) / span_first + std::fabs(d);
        const double g_up = std::max(g_first, g_last) + (k32u * m + kTiny);
        const double product_up = db_ * g_up;
        if (!(std::fabs(product_up) < 0x1p960) || g_up > cap_) return false;
        if (vb_ >= product_up + y0_) {
            raise_slope_bound(g_up);
            return true;
        }
        return false;
    }

    void raise_slope_bound(double bound) {
        if (bound > slope_bound_) {
            slope_bound_ = bound;
            cap_ = std::max(cap_, slope_bound_);
        }
    }

    void set_blocker(std::size_t b, double slope) {
        has_b_ = true;
        b_ = b;
        slope_b_ = slope;
        vb_ = v_[b];
        db_ = as_double(b - lo_);
        cap_ = std::max(slope_bound_, slope + (k256u * std::fabs(slope) + kTiny));
    }

    // First position in [from, limit) not inside a node that passes_over accepts; limit
    // when there is none. Bottom-up: skip a node, then move to the next node to its right
    // (climbing while it is a right child); descend into a node that cannot be skipped.
    std::size_t next_candidate(std::size_t from, std::size_t limit) {
        if (from >= limit) return limit;
        std::size_t i = from + tree_.size;
        std::size_t first = from;
        std::size_t width = 1;
        for (;;) {
            poll_.tick();
            if (passes_over(i, first, width)) {
                while (i & 1) {
                    if (i == 1) return limit;
                    i >>= 1;
                    width <<= 1;
                    first -= width >> 1;
                }
                ++i;
                first += width;
                continue;
            }
            if (i >= tree_.size) return std::min(first, limit);
            i = 2 * i;
            width >>= 1;
        }
    }

    std::span<const double> v_;
    std::size_t n_;
    bool skip_adjacent_;
    Sink& sink_;
    MaxTree tree_;
    std::vector<std::size_t> nans_;
    std::vector<std::size_t> plus_infs_;
    WorkPoll poll_;

    // State of the scan from one low end.
    std::size_t lo_ = 0;
    double y0_ = 0.0;
    bool has_b_ = false;       // some finite sample has been visited
    std::size_t b_ = 0;        // the visited sample with the largest computed slope
    double slope_b_ = 0.0;
    double vb_ = 0.0;          // v[b] and b - lo
    double db_ = 0.0;
    double cap_ = -kInf;       // largest slope bound that passing a node may set
    double slope_bound_ = -kInf;  // S: >= the exact slope of every sample passed
    bool seen_non_nan_ = false;
    bool proofs_ = true;          // the low end is tame, so fact 3 applies
};

// The float rule from the exact right-neighbour lists (neighbour_chain.hpp), for series
// of tame finite values, low end by low end where a proof shows the literal rule gives
// the same row, and by NaturalScan where it does not. The exact neighbours of lo are its
// records j_1 = lo + 1 < j_2 < ... < j_T, the prefix maxima of the exact slope from lo.
//   (i) Record j_t, t >= 2, is visible: every sample between has an exact slope <= that
//       of j_(t-1), so fact 3 applies with S = slope_up of j_(t-1)'s computed slope.
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
        proven_.assign(n_, 1);
        auto steps = [this](std::size_t lo, std::size_t j, std::size_t w, bool first) { step(lo, j, w, first); };
        if (!chain_.build(budget, steps)) return false;
        for (std::size_t lo = 0; lo + 1 < n_; ++lo) {
            if (proven_[lo]) {
                for (const std::uint32_t hi : chain_.list(lo)) {
                    poll_.tick();
                    if (!(skip_adjacent_ && hi == lo + 1)) sink_(lo, hi);
                }
            } else {
                if (!fallback_) fallback_.emplace(v_, skip_adjacent_, sink_);
                fallback_->run_from(lo);
            }
        }
        return true;
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
    std::optional<NaturalScan<Sink>> fallback_;
    WorkPoll poll_;
};

}  // namespace

std::vector<Edge> natural_visibility_edges(std::span<const double> v, bool skip_adjacent) {
    if (v.size() < 2) return {};
    EdgeCollector edges;
    auto sink = [&](std::size_t lo, std::size_t hi) { edges.push(Edge{lo, hi}); };
    {
        // Past its budget the chain keeps its lists while the scan runs (see IndexBuffer).
        std::optional<CertifiedChain<decltype(sink)>> chain;
        if (CertifiedChain<decltype(sink)>::applies(v)) chain.emplace(v, skip_adjacent, sink);
        if (!chain || !chain->run(ChainScan::budget(v.size()))) {
            NaturalScan scan(v, skip_adjacent, sink);
            scan.run();
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
    NaturalScan scan(v, skip_adjacent, counter);
    scan.run();
    return std::move(counter.degrees);
}

}  // namespace kestrel
