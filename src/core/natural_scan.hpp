// The natural scan, one template for every natural rule: the float rule at x_k = k or at
// given positions, with up to L blockers (L = 0 is the plain rule), and the exact rule
// (decimal values come here scaled to integers, see scale_decimals). The positions type
// supplies the arithmetic of q and its error bound, the rule class (FloatScan, ExactScan)
// the tests, the limit policy (NoBlockers, Blockers) how top is kept, and ScanBase the
// walk over the max-tree and the non-finite samples. CertifiedChain (at the end) gives the
// float rule with L = 0 its rows from the exact neighbour lists where proofs allow.
//
// For each low end `lo` the highs are visited left to right over a max-tree. The scan
// keeps `top`: up to L + 1 visited samples with the largest slopes from lo, and every
// other sample passed so far is "outside".
//
// Float rule, h = fl(fl(q rise) + y_lo) with q = fl(fl(x_k - x_lo) / fl(x_hi - x_lo)):
//   1. Blockers. When top is full and each of its L + 1 samples blocks the pair under the
//      literal rule, the pair has more than L blockers. Shown at once when the least
//      steep of top is steeper than the high by more than E / g (fact 3's margin,
//      mirrored), else by the literal test of each, the least steep first.
//   2. Bulk blocking. A tree node is passed over when each of the L + 1 samples in top
//      blocks every high in it, shown by monotone upper bounds on the literal line value
//      (from the node's maximum, and from its largest step per unit of x).
//   3. Margin proof. S bounds the exact slope of every outside sample. If the pair's
//      exact slope exceeds S by more than E / g, with E the worst-case distance of the
//      literal line value from the exact line and g the smallest distance x_k - x_lo,
//      no outside sample blocks, so at most the L samples of top other than its last
//      can: visible.
//   Anything else is counted literally. Fact 3 needs the least steep sample of top in S.
//   top is a heap, so a visit costs O(log L) besides the literal tests it needs.
// Exact rule: a finite sample k blocks a finite pair exactly when its exact slope from lo
// is >= the high's. With top a heap by exact slope (comparisons are orientation tests),
// the pair has more than L blockers exactly when the least steep of top, the (L + 1)-th
// steepest, has a slope >= the high's; outside samples are never steeper than it. Nodes
// are passed over when exact tests show no point in them is steeper than that sample (the
// node's corner, a step bound, and last its upper hull, which decides). No literal count,
// and a node is entered only when it holds a high to emit, so a low end costs
// O((e + L) log n) node tests for its e edges, each O(log n) orientation tests at most:
// O((m + nL) log^2 n) in all, plus the hulls' O(n log n).
// With L = 0 the exact rule goes to neighbour_chain.hpp instead. With L >= n - 2 every pair
// is visible under either rule and is emitted as it is.
//
// Non-finite samples (both rules): a non-finite low end sees everything; a NaN high is
// always visible; a -inf high is blocked by every sample between that is not NaN, so it
// is visible when at most L of them lie between; a +inf sample blocks every later high
// that is not NaN, so after the (L + 1)-th +inf only NaN highs are visible. These hold
// for the float rule because q is finite and > 0 for every sample between: the scan asks
// for positions whose whole extent does not overflow and whose smallest gap is at least
// 2^-960 times that extent ("regular"; every x_k = k is). At other positions the float
// scan takes series whose values are all NaN or at most 2^1022 in magnitude (no rise
// overflows there), deciding by literal tests alone, and leaves the rest to the literal
// count pair by pair (cubic time).
//
// Where no margin decides (rises that overflow, subnormal values, q that underflows), a
// pair's literal count searches the max-tree for samples near its line, since the literal
// line value is monotone along the pair (literal_count); once L + 1 samples whose rise from
// lo overflows to +inf are passed, the rest of the row is read off the tree (settled); and
// series on the subnormal grid take the exact lists, each pair tested (grid_pairs).
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/cancel.hpp"
#include "core/exact_orientation.hpp"
#include "core/memory.hpp"
#include "core/neighbour_chain.hpp"
#include "core/parallel.hpp"

namespace kestrel::natural_scan {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kTame = 0x1p1000;
constexpr double k8u = 0x1p-50;
constexpr double k16u = 0x1p-49;
constexpr double k32u = 0x1p-48;
constexpr double k256u = 0x1p-45;
constexpr double kTiny = 0x1p-1060;

inline bool tame(double x) { return std::fabs(x) <= kTame; }

inline double as_double(std::size_t k) { return static_cast<double>(static_cast<std::int64_t>(k)); }

// A computed slope fl(fl(y - y0) / fl(x - x0)) carries three roundings: within 3.01u|s|
// plus 2^-1074 of the exact slope (a subnormal difference is exact). These move it by
// 8u|s| + 2^-1060, more than that plus their own rounding.
inline double slope_up(double s) { return s + (k8u * std::fabs(s) + kTiny); }
inline double slope_down(double s) { return s - (k8u * std::fabs(s) + kTiny); }
// An upper bound of the exact slope behind a computed one; +inf when not finite.
inline double bound_of(double s) { return std::isfinite(s) ? slope_up(s) : kInf; }

// Positions, with kLineError: a factor F such that the literal line value of the float
// rule lies within F (|y0| + |y1|) + 2^-1073 of the exact line through tame ends, with room
// for the rounding of the margin tests themselves (facts 1 and 3).
// x_k = k: every difference of positions is an integer below 2^53, exact. Then q =
// fl(d / span) carries one rounding: |h - L| <= 5.01u (|y0| + |y1|) + 2^-1074 (q within
// u, rise within u, product u, sum u), so 8u.
struct IndexPositions {
    static constexpr double kLineError = k8u;
    double at(std::size_t k) const { return as_double(k); }
    double diff(std::size_t a, std::size_t b) const { return as_double(b - a); }
};

// Given positions: q = fl(fl(x_k - x_lo) / fl(x_hi - x_lo)) carries three roundings, so
// |h - L| <= 7.1u (|y0| + |y1|) + 2^-1073, and 16u.
struct ArrayPositions {
    static constexpr double kLineError = k16u;
    const double* x;
    double at(std::size_t k) const { return x[k]; }
    double diff(std::size_t a, std::size_t b) const { return x[b] - x[a]; }
};

// An upper bound of (v[k] - v[k-1]) / (x[k] - x[k-1]) in exact arithmetic; +inf when a
// value is not finite.
template <class Positions>
inline double step_bound(std::span<const double> v, const Positions& pos, std::size_t k, bool exact_steps) {
    if (!std::isfinite(v[k]) || !std::isfinite(v[k - 1])) return kInf;
    if (!exact_steps) {
        const double rise = v[k] - v[k - 1];
        return std::isfinite(rise) ? bound_of(rise / pos.diff(k - 1, k)) : kInf;
    }
    const double rise = difference_upper(v[k], v[k - 1]);
    // A positive rise over the smallest possible run, a negative one over the largest.
    const double run = rise >= 0 ? difference_lower(pos.at(k), pos.at(k - 1))
                                 : difference_upper(pos.at(k), pos.at(k - 1));
    if (!std::isfinite(rise) || !std::isfinite(run) || !(run > 0)) return kInf;
    return quotient_upper(rise, run);
}

// Fact 3 with the literal error bounded at each sample instead of by the ends. With d =
// x_k - x_lo and sigma the exact slope of the pair, fl(q rise) = d sigma (1 + t), |t| <=
// 3.01u (5.03u at given positions: two more roundings in q), and the sum adds u of
// |fl(q rise) + y0|, so |h - L| <= 4.02u d |sigma| + u |y0| + 2^-1073 (6.04u at given
// positions). An outside sample (exact slope <= S) lies d (sigma - S) below L, and
//     d (sigma - 4.02u |sigma| - S) > u |y0| + 2^-1073
// holds for every d >= g once it holds at g with the bracket positive: no such sample
// blocks. The test below moves sigma down by slope_down and kLineError |slope| (8u, 16u at
// given positions, over the computed slope within 3.01u) and asks 8u |y0| + 2^-1060,
// which covers its own rounding and g's. Ends must be tame, as for fact 3. Where the
// high's value dwarfs those near lo (values over many binades), this decides pairs that
// kLineError (|y0| + |y1|) cannot.
template <class Positions>
bool local_margin_of(double slope, double bound, double y0, double gap, double room = 0.0) {
    return (slope_down(slope) - Positions::kLineError * std::fabs(slope) - bound) * gap > k8u * std::fabs(y0) + kTiny + room;
}

// Max-tree over positions (bottom-up, `size` leaves, a power of two). Per node: the
// largest value (NaN counts as +inf, so a node holding a NaN is never passed over; the
// padding is +inf too) and an upper bound of the largest step slope
// (v[k] - v[k-1]) / (x[k] - x[k-1]) inside it.
struct MaxTree {
    struct Node {
        double top;
        double step;
    };
    std::size_t size = 1;
    LargeArray<Node> nodes;

    // Steps as directed bounds that stay exact where the arithmetic is (exact_steps, for
    // the exact rule), or as computed slopes moved up by bound_of.
    template <class Positions>
    MaxTree(std::span<const double> v, const Positions& pos, bool exact_steps) {
        const std::size_t n = v.size();
        while (size < n) size <<= 1;
        nodes.assign(2 * size, Node{kInf, -kInf});
        for (std::size_t k = 0; k < n; ++k) nodes[size + k].top = std::isnan(v[k]) ? kInf : v[k];
        for (std::size_t i = size - 1; i >= 1; --i) {
            nodes[i].top = std::max(nodes[2 * i].top, nodes[2 * i + 1].top);
            const auto [first, width] = range(2 * i + 1);
            double join = kInf;
            if (first < n) join = step_bound(v, pos, first, exact_steps);
            nodes[i].step = std::max({nodes[2 * i].step, nodes[2 * i + 1].step, join});
        }
    }

    std::pair<std::size_t, std::size_t> range(std::size_t i) const {
        const int level = std::bit_width(i) - 1;
        const std::size_t width = size >> level;
        return {(i - (std::size_t{1} << level)) * width, width};
    }

    // Calls visit(node) for the fewest nodes that cover [first, last) exactly, left to
    // right, until visit returns false.
    template <class Visit>
    void cover(std::size_t first, std::size_t last, Visit&& visit) const {
        std::size_t left = first + size;
        std::size_t right = last + size;  // exclusive
        std::size_t right_nodes[64];
        std::size_t rights = 0;
        while (left < right) {
            if ((left & 1) && !visit(left++)) return;
            if (right & 1) right_nodes[rights++] = --right;
            left >>= 1;
            right >>= 1;
        }
        while (rights > 0) {
            if (!visit(right_nodes[--rights])) return;
        }
    }

    // Depth first over the nodes that cover [first, last), left to right: a node is entered
    // only when enter(node, first, width) holds, and one of width <= read_width is read
    // through by read(first, width) instead, which returns false to end the whole search.
    // Returns false when read ended it. enter must hold for a node whenever it holds for any
    // node below it, so that no sample read would be missed.
    template <class Enter, class Read>
    bool search(std::size_t first, std::size_t last, std::size_t read_width, Enter&& enter,
                Read&& read) const {
        std::size_t stack[2 * 64];
        bool going = true;
        cover(first, last, [&](std::size_t node) {
            std::size_t depth = 0;
            stack[depth++] = node;
            while (depth > 0) {
                const std::size_t i = stack[--depth];
                const auto [from, width] = range(i);
                if (!enter(i, from, width)) continue;
                if (width <= read_width) {
                    if (!read(from, width)) return going = false;
                    continue;
                }
                stack[depth++] = 2 * i + 1;
                stack[depth++] = 2 * i;
            }
            return true;
        });
        return going;
    }
};

// Shared by both rules: the non-finite bookkeeping and the walk over the tree.
template <class Positions, class Sink>
class ScanBase {
protected:
    ScanBase(std::span<const double> v, const Positions& pos, std::size_t limit, bool skip_adjacent,
             Sink& sink, bool exact_steps)
        : v_(v), n_(v.size()), pos_(pos), limit_(limit), skip_adjacent_(skip_adjacent),
          sink_(sink), tree_(v, pos, exact_steps) {
        for (std::size_t k = 0; k < n_; ++k) {
            if (std::isnan(v[k])) nans_.push_back(k);
            if (v[k] == kInf) plus_infs_.push_back(k);
        }
    }

    void emit(std::size_t lo, std::size_t hi) {
        poll_.tick();
        if (!(skip_adjacent_ && hi == lo + 1)) sink_(lo, hi);
    }

    // Samples strictly between lo and hi that are not NaN.
    std::size_t non_nan_between(std::size_t lo, std::size_t hi) const {
        const auto from = std::upper_bound(nans_.begin(), nans_.end(), lo);
        const auto to = std::lower_bound(from, nans_.end(), hi);
        return hi - lo - 1 - static_cast<std::size_t>(to - from);
    }

    // Runs visit(hi) for every candidate high of lo, then the highs from the (L + 1)-th
    // +inf on: it is visible (only the L earlier +inf samples block a +inf line), later
    // highs are blocked by L + 1 samples unless NaN.
    template <class Derived>
    void scan(Derived& self, std::size_t lo) {
        const auto at = std::upper_bound(plus_infs_.begin(), plus_infs_.end(), lo);
        const std::size_t stop =
            static_cast<std::size_t>(plus_infs_.end() - at) > limit_ ? at[static_cast<std::ptrdiff_t>(limit_)] : n_;
        std::size_t from = lo + 1;
        for (;;) {
            const std::size_t hi = next_candidate(self, from, stop);
            if (hi >= stop) break;
            poll_.tick(self.visit_cost());
            self.visit(hi);
            from = hi + 1;
            if constexpr (requires { self.settled(); }) {
                if (self.settled()) {
                    emit_where(lo, from, stop, [&self](double y) { return self.seen_over_all(y); });
                    break;
                }
            }
        }
        if (stop < n_) {
            emit(lo, stop);
            for (auto it = std::upper_bound(nans_.begin(), nans_.end(), stop); it != nans_.end(); ++it) {
                emit(lo, *it);
            }
        }
    }

    // Emits (lo, hi) for every hi in [from, stop) whose value keeps, in order. keep must
    // hold for a node's largest value (NaN counted as +inf) when it holds for any of its
    // values, so that a node whose largest value fails holds none.
    template <class Keep>
    void emit_where(std::size_t lo, std::size_t from, std::size_t stop, Keep&& keep) {
        // A short node costs less read through than entered.
        tree_.search(from, stop, 16,
            [&](std::size_t i, std::size_t, std::size_t) {
                poll_.tick();
                return keep(tree_.nodes[i].top);
            },
            [&](std::size_t first, std::size_t width) {
                for (std::size_t k = first; k < first + width; ++k) {
                    if (keep(v_[k])) emit(lo, k);
                }
                return true;
            });
    }

    // First position in [from, stop) not inside a node that self.passes_over accepts.
    template <class Derived>
    std::size_t next_candidate(Derived& self, std::size_t from, std::size_t stop) {
        if (from >= stop) return stop;
        std::size_t i = from + tree_.size;
        std::size_t first = from;
        std::size_t width = 1;
        for (;;) {
            poll_.tick();
            if (self.passes_over(i, first, width)) {
                while (i & 1) {
                    if (i == 1) return stop;
                    i >>= 1;
                    width <<= 1;
                    first -= width >> 1;
                }
                ++i;
                first += width;
                continue;
            }
            if (i >= tree_.size) return std::min(first, stop);
            i = 2 * i;
            width >>= 1;
        }
    }

    std::span<const double> v_;
    std::size_t n_;
    Positions pos_;
    std::size_t limit_;  // L
    bool skip_adjacent_;
    Sink& sink_;
    MaxTree tree_;
    std::vector<std::size_t> nans_;
    std::vector<std::size_t> plus_infs_;
    mutable WorkPoll poll_;  // counts work in const tests too
};

// Positions for which the float rule's q = fl(fl(x_k - x_lo) / fl(x_hi - x_lo)) is
// finite and > 0 for every lo < k < hi: the extent fl(x_last - x_first) is finite (so
// every difference is, and q <= 1), and the smallest gap is >= 2^-960 times it (so
// q >= 2^-960 (1 - 3u) > 0).
inline bool regular(std::span<const double> x) {
    if (x.size() < 2) return true;
    const double extent = x.back() - x.front();
    if (!std::isfinite(extent)) return false;
    double gap = kInf;
    for (std::size_t k = 1; k < x.size(); ++k) gap = std::min(gap, x[k] - x[k - 1]);
    return gap >= extent * 0x1p-960;
}


// Positions the float scan takes: regular ones, and any whose extent is finite when every
// value is NaN or finite and at most 2^1022 in magnitude, so that no rise overflows. At
// the latter a q may be 0 or lose precision, so the scan decides by literal tests alone
// (see FloatScan::regular_); its rules for non-finite values and overflowing rises ask
// for q > 0, which only regular positions promise.
inline bool scan_applies(std::span<const double> v, std::span<const double> x) {
    if (regular(x)) return true;
    if (!std::isfinite(x.back() - x.front())) return false;
    return std::all_of(v.begin(), v.end(), [](double y) { return !(std::fabs(y) > 0x1p1022); });
}

inline bool regular(const IndexPositions&, std::size_t) { return true; }
inline bool regular(const ArrayPositions& pos, std::size_t n) { return regular(std::span<const double>(pos.x, n)); }

// ---------------------------------------------------------------------------------------
// Float rule. Limit is NoBlockers (L = 0, the plain rule: top is one entry held in place)
// or Blockers (any L: top is a heap).
struct NoBlockers {
    static constexpr bool kZero = true;
};
struct Blockers {
    static constexpr bool kZero = false;
};

template <class Positions, class Sink, class Limit = Blockers>
class FloatScan : ScanBase<Positions, Sink> {
    using Base = ScanBase<Positions, Sink>;
    friend Base;

public:
    FloatScan(std::span<const double> v, const Positions& pos, std::size_t limit,
              bool skip_adjacent, Sink& sink)
        : Base(v, pos, limit, skip_adjacent, sink, false), regular_(regular(pos, v.size())) {
        if constexpr (!Limit::kZero) top_.reserve(limit + 2);
    }

    void run() {
        for (std::size_t lo = 0; lo < this->n_; ++lo) run_from(lo);
    }

    // The visible pairs of one low end.
    void run_from(std::size_t lo) {
        if (!std::isfinite(this->v_[lo])) {
            // h = NaN for every pair: rise is +-inf or NaN, q is finite and > 0.
            for (std::size_t hi = lo + 1; hi < this->n_; ++hi) this->emit(lo, hi);
        } else if (lo + 1 < this->n_) {
            lo_ = lo;
            y0_ = this->v_[lo];
            gap_ = this->pos_.diff(lo, lo + 1);
            top_.clear();
            has_single_ = false;
            outside_ = -kInf;
            over_all_ = 0;
            // Without proofs S is never read, so nothing limits the nodes passed over.
            proofs_ = tame(y0_);
            cap_ = proofs_ ? -kInf : kInf;
            this->scan(*this, lo);
        }
    }

    struct Entry {
        std::size_t index;
        double slope;  // computed slope; +inf for a +inf sample
        double value;
        double db;     // fl(x_index - x_lo)
    };

    bool full() const {
        if constexpr (Limit::kZero) return has_single_;
        return top_.size() > this->limit_;
    }
    // The least steep entry of top (when there is one).
    const Entry& least() const {
        if constexpr (Limit::kZero) return single_;
        return top_.front();
    }
    std::span<const Entry> tops() const {
        if constexpr (Limit::kZero) return {&single_, has_single_ ? std::size_t{1} : std::size_t{0}};
        return top_;
    }

    // Rises that overflow. A sample k with fl(v_k - y0) = +inf (or v_k = +inf) blocks every
    // later pair whose rise is finite: with q <= 1, h <= fl(rise + y0) for rise >= 0, and
    // rise <= DBL_MAX < v_k - y0, so h <= v_k; h <= y0 < v_k for rise < 0. It blocks a pair
    // whose rise is -inf too (h = -inf at q > 0), and a -inf high; it never blocks a high
    // whose rise is +inf (h = +inf), nor a NaN high. So once L + 1 of them are passed, at
    // regular positions the row's other highs before the scan's stop are exactly those
    // seen_over_all keeps (+inf highs there have at most L +inf samples between).
    bool settled() const { return regular_ && over_all_ > this->limit_; }
    bool seen_over_all(double y) const { return std::isnan(y) || y - y0_ == kInf; }

    // Whether finite ends lo < hi see each other under the literal rule with at most L
    // blockers: the count of literal_count on its own, for callers that know their pairs.
    bool pair_visible(std::size_t lo, std::size_t hi) {
        lo_ = lo;
        y0_ = this->v_[lo];
        return literal_count(hi, this->pos_.diff(lo, hi), this->v_[hi] - y0_) <= this->limit_;
    }

    // A visit's heap update; walks over top count their own steps.
    std::size_t visit_cost() const {
        if constexpr (Limit::kZero) return 3;
        return 2 + static_cast<std::size_t>(std::bit_width(top_.size()));
    }

    // The literal rule for sample e between lo and hi, given span = fl(x_hi - x_lo).
    bool literal_blocks(double db, double vb, double span, double rise) const {
        const double q = db / span;
        const double h = q * rise + y0_;
        return vb >= h;
    }

    void visit(std::size_t hi) {
        const double y = this->v_[hi];
        if (std::isnan(y)) {
            this->emit(lo_, hi);
            return;
        }
        if (y == -kInf) {
            // h = -inf: every sample between that is not NaN blocks; -inf never blocks a
            // finite or +inf line value, so it never joins top.
            if (this->non_nan_between(lo_, hi) <= this->limit_) this->emit(lo_, hi);
            return;
        }
        const double db = this->pos_.diff(lo_, hi);
        if (y == kInf) {
            // h = +inf (q > 0): only +inf blocks, and fewer than L + 1 lie between.
            this->emit(lo_, hi);
            insert(Entry{hi, kInf, y, db});
            ++over_all_;
            return;
        }
        const double rise = y - y0_;
        if (rise == kInf) ++over_all_;
        const double slope = rise / db;
        bool visible;
        // With L = 0 the one literal test of all_block costs less than the margin test.
        if (!Limit::kZero && full() && proofs_ && regular_ && tame(y) && blocked_by_margin(slope, y)) {
            visible = false;
        } else if (full() && all_block(db, rise)) {
            visible = false;
        } else if (proofs_ && tame(y) && visible_by_margin(slope, y)) {
            visible = true;
        } else {
            visible = literal_count(hi, db, rise) <= this->limit_;
        }
        if (visible) this->emit(lo_, hi);
        insert(Entry{hi, slope, y, db});
    }

    // Each sample of top blocks; the least steep, the likeliest not to, is tested first.
    bool all_block(double span, double rise) const {
        if constexpr (Limit::kZero) return literal_blocks(single_.db, single_.value, span, rise);
        std::size_t walked = 0;
        bool all = true;
        for (const Entry& e : tops()) {
            ++walked;
            if (!literal_blocks(e.db, e.value, span, rise)) {
                all = false;
                break;
            }
        }
        this->poll_.tick(walked);
        return all;
    }

    // The samples strictly between lo and hi that block the pair under the literal rule,
    // counted up to L + 1. Exact over the max-tree: for a finite rise the literal line value
    // h_k = fl(fl(q_k rise) + y0) is monotone in k, since q_k = fl(fl(x_k - x_lo) / span)
    // is and each later rounding is monotone in it (rising for rise >= 0, falling else), so
    // a node whose largest value (NaN counted as +inf) lies below h at the node's lower end
    // holds no blocker, and the others are searched. Near overflow, subnormal values and
    // positions whose q underflows, where no margin decides, this keeps a pair's cost to the
    // samples near its line instead of all those between.
    std::size_t literal_count(std::size_t hi, double span, double rise) const {
        if (!std::isfinite(rise)) return infinite_rise_count(hi, rise);
        // The samples next to lo first, one by one: where blockers lie they are often there.
        // With blockers allowed, L + 1 of them are looked for one by one: on near-ties, where
        // every node would be entered, the search over the tree costs more than it saves.
        const std::size_t near = this->limit_ == 0 ? std::min(hi, lo_ + 1 + kShortSpan) : hi;
        std::size_t count = 0;
        for (std::size_t k = lo_ + 1; k < near; ++k) {
            if (literal_blocks(this->pos_.diff(lo_, k), this->v_[k], span, rise) && ++count > this->limit_) {
                this->poll_.tick(k - lo_);
                return count;
            }
        }
        this->poll_.tick(near - lo_);
        if (near == hi) return count;
        const MaxTree& tree = this->tree_;
        const auto line = [&](std::size_t k) { return (this->pos_.diff(lo_, k) / span) * rise + y0_; };
        // The nodes covering [near, hi - 1]; near-ties fill whole nodes, so short ones are
        // read through.
        tree.search(near, hi, kShortNode,
            [&](std::size_t i, std::size_t first, std::size_t width) {
                this->poll_.tick();
                return tree.nodes[i].top >= line(rise >= 0 ? first : first + width - 1);
            },
            [&](std::size_t first, std::size_t width) {
                this->poll_.tick(width);
                for (std::size_t k = first; k < first + width; ++k) {
                    if (literal_blocks(this->pos_.diff(lo_, k), this->v_[k], span, rise) &&
                        ++count > this->limit_) {
                        return false;
                    }
                }
                return true;
            });
        return count;
    }

    // literal_count when fl(y_hi - y0) overflows (finite ends, regular positions, so q > 0):
    // h = +inf, blocked only by +inf samples, or h = -inf, blocked by every sample that is
    // not NaN. (At other positions the scan takes no series whose rises can overflow.)
    std::size_t infinite_rise_count(std::size_t hi, double rise) const {
        if (rise < 0) return this->non_nan_between(lo_, hi);
        const auto& infs = this->plus_infs_;
        const auto first = std::upper_bound(infs.begin(), infs.end(), lo_);
        return static_cast<std::size_t>(std::lower_bound(first, infs.end(), hi) - first);
    }

    // Fact 3. Outside samples and the last of top (when top is full) have exact slopes
    // <= S. For such k, v_k lies (x_k - x_lo)(sigma_hi - sigma_k) >= g (sigma_hi - S)
    // below the exact line, g = x_lo+1 - x_lo. The literal line value is within
    //     |h - L| <= 7.1u (|y0| + |y1|) + 2^-1073
    // of the exact line (q within 3.01u, q <= 1, rise within u, product u, sum u; no
    // overflow for tame ends), 5.01u at x_k = k. E below is kLineError (|y0| + |y1|) +
    // 2^-1060 (16u, 8u at x_k = k), which also covers the rounding of the test itself and
    // of g (exact at x_k = k). Where |y1| is far above the values near lo, local_margin
    // decides instead.
    bool visible_by_margin(double slope, double y) const {
        double bound = outside_;  // with L = 0 it covers top as well (see insert)
        if (!Limit::kZero && full()) bound = std::max(bound, bound_of(least().slope));
        if (bound == -kInf) return true;  // at most L samples between can block
        // At positions that are not regular q may fall below 2^-1022, off by up to 2^-1075
        // besides its relative error, which moves fl(q rise) by up to 2^-1075 |rise|.
        const double q_room = regular_ ? 0.0 : 0x1p-1072 * (std::fabs(y0_) + std::fabs(y));
        const double margin = Positions::kLineError * (std::fabs(y0_) + std::fabs(y)) + kTiny + q_room;
        return (slope_down(slope) - bound) * gap_ > margin || local_margin(slope, bound, y0_, gap_, q_room);
    }

    bool local_margin(double slope, double bound, double y0, double gap, double room) const {
        return local_margin_of<Positions>(slope, bound, y0, gap, room);
    }

    // Fact 1 without literal tests: each sample b of top has an exact slope >= that of
    // the least steep one, sigma_b >= slope_down(its computed slope). If that exceeds the
    // high's exact slope (<= slope_up(slope)) by more than E / g, b lies at least E above
    // the exact line, so above the literal line value: all L + 1 of top block. The same
    // E and g as in fact 3 (whose argument this mirrors), with the same premises.
    bool blocked_by_margin(double slope, double y) const {
        const double margin = Positions::kLineError * (std::fabs(y0_) + std::fabs(y)) + kTiny;
        return (slope_down(least().slope) - slope_up(slope)) * gap_ > margin;
    }

    void raise_outside(double bound) {
        if (bound > outside_) {
            outside_ = bound;
            if (proofs_) cap_ = std::max(cap_, outside_);
        }
    }

    // Keeps the L + 1 largest computed slopes in a heap with the smallest in front (std's
    // heap keeps in front an element no other is "less" than; "less" is "larger slope");
    // the rest go to S. Which of equal slopes stays makes no difference to the facts.
    // With L = 0 (the plain rule's hot path) S covers every visited sample, top too, and
    // top is the steepest one.
    void insert(const Entry& entry) {
        auto less = [](const Entry& a, const Entry& b) { return a.slope > b.slope; };
        if constexpr (Limit::kZero) {
            raise_outside(bound_of(entry.slope));
            if (has_single_ && !(entry.slope > single_.slope)) return;
            single_ = entry;
            has_single_ = true;
        } else if (full()) {
            if (!(entry.slope > top_.front().slope)) {
                raise_outside(bound_of(entry.slope));
                return;
            }
            raise_outside(bound_of(top_.front().slope));
            std::pop_heap(top_.begin(), top_.end(), less);
            top_.back() = entry;
            std::push_heap(top_.begin(), top_.end(), less);
        } else {
            top_.push_back(entry);
            std::push_heap(top_.begin(), top_.end(), less);
        }
        if (full() && proofs_) {
            const double s = least().slope;
            cap_ = std::max(outside_, std::isfinite(s) ? s + (k256u * std::fabs(s) + kTiny) : kInf);
        }
    }

    // Fact 2 for the node covering [first, first + width), all after every sample of top:
    // true when each of them blocks every high in the node; the node's samples then join
    // the outside, so S grows to cover them. Refused when S would pass cap_.
    bool passes_over(std::size_t i, std::size_t first, std::size_t width) {
        if (!full()) return false;
        const MaxTree::Node& node = this->tree_.nodes[i];
        const double top = node.top;
        // A NaN, a +inf or padding inside: no sample of top blocks a +inf high (fewer than
        // L + 1 +inf samples came before) and the step bound is +inf. Past this point the
        // node lies inside the series.
        if (top == kInf) return false;
        const std::size_t last = first + width - 1;
        const double span_first = this->pos_.diff(lo_, first);
        // (a) The literal value at a sample b of top is monotone in the high's value and in
        // q = fl(db / fl(x_hi - x_lo)), which is monotone in x_hi (each rounding is), so the
        // corner below bounds it for every high in the node.
        const double rise_top = top - y0_;
        const double span_q = rise_top >= 0 ? span_first : this->pos_.diff(lo_, last);
        bool all = true;
        std::size_t walked = 0;
        for (const Entry& e : tops()) {  // the least steep, the likeliest not to block, first
            ++walked;
            if (!(e.value >= (e.db / span_q) * rise_top + y0_)) {
                all = false;
                break;
            }
        }
        this->poll_.tick(walked);
        if (all) {
            // Exact slopes in the node are <= (top - y0) / (x - x_lo) at the same x as q's.
            const double corner = top == -kInf ? -kInf : bound_of(rise_top / span_q);
            if (corner <= cap_) {
                raise_outside(corner);
                return true;
            }
            return false;
        }
        // (b) Steps per unit of x bounded by D: v_hi <= v_first + (x_hi - x_first) D, so the
        // exact slope from lo is <= g(s) = (A + (s - s_first) D) / s, s = x_hi - x_lo,
        // A = v_first - y0, monotone in s: largest at an end. Computed from rounded
        // differences, g is within 10u M of that, M = |A| / s_first + |D|; g_up adds 32u M.
        // For every sample b of top, fl(q rise) <= db g_up exactly (q rise is within 3.01u
        // of db times the exact slope), so b blocks when v_b >= fl(fl(db g_up) + y0).
        // That needs rise within u of v_hi - y0, which fails when it rounds to +inf (h is
        // then +inf, however small the exact slope, and no finite sample blocks). Rounding
        // is monotone, so fl(v_hi - y0) <= fl(top - y0) for every high in the node: when
        // the latter is below +inf, each rise is finite (within u) or -inf (h = -inf,
        // fl(q rise) = -inf <= db g_up), and the bound holds.
        if (rise_top == kInf || !regular_) return false;
        const double d = node.step;
        if (width < 2 || !std::isfinite(d)) return false;
        const double a = this->v_[first] - y0_;
        const double span_last = this->pos_.diff(lo_, last);
        const double extent = this->pos_.diff(first, last);
        if (a > cap_ * span_first + 0x1p-40 * std::fabs(a) ||
            a + extent * d > cap_ * span_last + 0x1p-40 * (std::fabs(a) + extent * std::fabs(d))) {
            return false;
        }
        const double g_first = a / span_first;
        const double g_last = (a + extent * d) / span_last;
        // The 10u M error above holds only without overflow: a sum or product rounding to
        // -inf would make g_last far too small (only refusing, so this stays exact).
        if (!std::isfinite(g_first) || !std::isfinite(g_last)) return false;
        const double m = std::fabs(a) / span_first + std::fabs(d);
        const double g_up = std::max(g_first, g_last) + (k32u * m + kTiny);
        if (!(g_up <= cap_)) return false;
        this->poll_.tick(tops().size());
        for (const Entry& e : tops()) {
            const double product_up = e.db * g_up;
            if (!(std::fabs(product_up) < 0x1p960) || !(e.value >= product_up + y0_)) return false;
        }
        raise_outside(g_up);
        return true;
    }

    std::size_t lo_ = 0;
    double y0_ = 0.0;
    double gap_ = 1.0;
    std::vector<Entry> top_;  // a heap (Blockers)
    Entry single_{};          // top with NoBlockers, when has_single_
    bool has_single_ = false;
    double outside_ = -kInf;  // S
    double cap_ = -kInf;
    bool proofs_ = true;
    // Positions where every q is finite and > 0, which fact 1's margin, fact 2's step bound
    // and the rules for overflowing rises ask for; at others (series whose rises stay
    // finite, see scan_applies) the literal tests, fact 2's corner and fact 3 decide, the
    // last with room for a q that falls below 2^-1022 (see visible_by_margin).
    bool regular_ = true;
    std::size_t over_all_ = 0;  // samples passed whose rise overflows to +inf, or +inf
    static constexpr std::size_t kShortSpan = 48;
    static constexpr std::size_t kShortNode = 16;
};

// ---------------------------------------------------------------------------------------
// Upper convex hulls of the finite samples of max-tree nodes, in exact arithmetic, built
// on first use from the children's hulls (a node's samples all lie left of its right
// child's, so the chain over the two hulls in turn is the node's hull): O(w) orientation
// tests once per node of width w, memory the total size of the hulls built (at most
// 16 bytes a sample: past that, nodes without a hull are descended). A sample
// dropped from a hull lies on or below a hull edge; seen from a point left of the node,
// its slope is then at most that of one of the edge's ends, so the steepest sample of the
// node from such a point is a hull vertex.
template <class Positions>
class NodeHulls {
public:
    static constexpr std::size_t kMinWidth = 16;  // narrower nodes are cheaper to descend

    NodeHulls(std::span<const double> v, const Positions& pos, std::size_t size)
        : v_(v), pos_(pos), size_(size) {}

    // Vertex positions, left to right, of node i (covering [first, first + width), inside
    // the series, every sample finite or -inf; -inf samples are left out). False when the
    // hulls would outgrow their budget (4 positions a sample); the caller then descends.
    bool of(std::size_t i, std::size_t first, std::size_t width, std::span<const std::uint32_t>& hull) {
        // The nodes of width >= 16 are those numbered below size / 8.
        if (start_.empty()) {
            start_.assign(size_ / (kMinWidth / 2), kUnbuilt);
            counts_.assign(start_.size(), 0);
        }
        // A node's hull and its children's missing ones add at most 2 width vertices.
        if (start_[i] == kUnbuilt && (pool_.size() + 2 * width > 4 * v_.size() || !build(i, first, width))) {
            return false;
        }
        hull = {pool_.data() + start_[i], counts_[i]};
        return true;
    }

    // Positions below 2^32 only (vertices are kept as 32-bit positions).
    static bool fits(std::size_t n) { return n <= std::numeric_limits<std::uint32_t>::max(); }

private:
    static constexpr std::size_t kUnbuilt = std::numeric_limits<std::size_t>::max();

    // Andrew's chain over the candidates in x order: a vertex stays only where the chain
    // turns strictly clockwise, so collinear and lower samples go.
    void push(std::size_t start, std::uint32_t k) {
        const double xk = pos_.at(k);
        const double yk = v_[k];
        while (pool_.size() - start >= 2) {
            const std::uint32_t a = pool_[pool_.size() - 2];
            const std::uint32_t b = pool_.back();
            if (orientation_sign(pos_.at(a), v_[a], pos_.at(b), v_[b], xk, yk) < 0) break;
            pool_.pop_back();
        }
        pool_.push_back(k);
    }

    bool build(std::size_t i, std::size_t first, std::size_t width) {
        if (width <= kMinWidth) {
            const std::size_t start = pool_.size();
            for (std::size_t k = first; k < first + width && k < v_.size(); ++k) {
                if (v_[k] != -kInf) push(start, static_cast<std::uint32_t>(k));
            }
            record(i, start);
            return true;
        }
        const std::size_t half = width / 2;
        std::span<const std::uint32_t> left;
        std::span<const std::uint32_t> right;
        if (!of(2 * i, first, half, left)) return false;
        const std::size_t left_start = static_cast<std::size_t>(left.data() - pool_.data());
        if (!of(2 * i + 1, first + half, half, right)) return false;
        const std::size_t right_start = static_cast<std::size_t>(right.data() - pool_.data());
        // Indices, not pointers, into pool_: it grows while this chain is made.
        const std::size_t start = pool_.size();
        for (std::size_t j = 0; j < left.size(); ++j) push(start, pool_[left_start + j]);
        for (std::size_t j = 0; j < right.size(); ++j) push(start, pool_[right_start + j]);
        record(i, start);
        return true;
    }

    void record(std::size_t i, std::size_t start) {
        start_[i] = start;
        counts_[i] = static_cast<std::uint32_t>(pool_.size() - start);
    }

    std::span<const double> v_;
    Positions pos_;
    std::size_t size_;
    std::vector<std::size_t> start_;  // per node of width >= 16: its first vertex in pool_
    std::vector<std::uint32_t> counts_;
    std::vector<std::uint32_t> pool_;
};

// ---------------------------------------------------------------------------------------
// Exact rule.
template <class Positions, class Sink>
class ExactScan : ScanBase<Positions, Sink> {
    using Base = ScanBase<Positions, Sink>;
    friend Base;

public:
    ExactScan(std::span<const double> v, const Positions& pos, std::size_t limit,
              bool skip_adjacent, Sink& sink)
        : Base(v, pos, limit, skip_adjacent, sink, true) {
        top_.reserve(limit + 2);
        if (NodeHulls<Positions>::fits(v.size())) hulls_.emplace(v, pos, this->tree_.size);
    }

    void run() {
        for (std::size_t lo = 0; lo < this->n_; ++lo) {
            if (!std::isfinite(this->v_[lo])) {
                for (std::size_t hi = lo + 1; hi < this->n_; ++hi) this->emit(lo, hi);
            } else if (lo + 1 < this->n_) {
                lo_ = lo;
                y0_ = this->v_[lo];
                x0_ = this->pos_.at(lo);
                top_.clear();
                this->scan(*this, lo);
            }
        }
    }

    bool full() const { return top_.size() > this->limit_; }

    // Exact slope of sample k (before hi) >= exact slope of hi; a +inf k always.
    bool steeper_or_equal(std::size_t k, std::size_t hi) const {
        const double yk = this->v_[k];
        if (yk == kInf) return true;
        return orientation_sign(x0_, y0_, this->pos_.at(hi), this->v_[hi], this->pos_.at(k), yk) >= 0;
    }

    // Sample a strictly steeper from lo than sample b (neither NaN nor -inf; +inf is
    // steeper than every finite sample).
    bool steeper(std::size_t a, std::size_t b) const {
        const double ya = this->v_[a];
        const double yb = this->v_[b];
        if (yb == kInf) return false;
        if (ya == kInf) return true;
        return orientation_sign(x0_, y0_, this->pos_.at(b), yb, this->pos_.at(a), ya) > 0;
    }

    // top is a heap with its least steep sample in front: std's heap keeps in front an
    // element no other is "less" than, and "less" here is "strictly steeper".
    void push(std::size_t hi) {
        auto less = [this](std::size_t a, std::size_t b) { return steeper(a, b); };
        if (full() && this->limit_ == 0) {
            top_.front() = hi;  // a heap of one
            return;
        }
        if (full()) {
            std::pop_heap(top_.begin(), top_.end(), less);
            top_.pop_back();
        }
        top_.push_back(hi);
        std::push_heap(top_.begin(), top_.end(), less);
    }

    // Orientation tests of one visit: one, and a heap update.
    std::size_t visit_cost() const { return 2 + 2 * static_cast<std::size_t>(std::bit_width(top_.size())); }

    void visit(std::size_t hi) {
        const double y = this->v_[hi];
        if (std::isnan(y)) {
            this->emit(lo_, hi);
            return;
        }
        if (y == -kInf) {
            if (this->non_nan_between(lo_, hi) <= this->limit_) this->emit(lo_, hi);
            return;
        }
        if (y == kInf) {  // fewer than L + 1 +inf samples lie between
            this->emit(lo_, hi);
            push(hi);
            return;
        }
        // Blockers: the +inf samples and the finite samples at least as steep. The pair has
        // more than L exactly when the least steep of top, the (L + 1)-th steepest sample
        // passed, is at least as steep as hi: outside samples are no steeper than it.
        const bool blocked = full() && steeper_or_equal(top_.front(), hi);
        if (blocked) return;
        this->emit(lo_, hi);
        push(hi);
    }

    // Every high in the node is blocked by all of top when the last of top, b, is at least
    // as steep as every point of the node; the node's samples are then no steeper than b,
    // as outside samples must be. Three exact ways to show it, the cheapest first:
    //   (a) b is at least as steep as the node's corner, (x_first, top) when top >= y0,
    //       else (x_last, top): no point of the node is steeper than its corner.
    //   (b) Steps per unit of x are <= D (exact upper bounds), so v_hi <= v_first +
    //       (x_hi - x_first) D, and the exact slope from lo is <= g(s) = (A + (s -
    //       s_first) D) / s, monotone in s: at most the slope of sample `first` or of
    //       P = (x_last, P_y) with P_y >= v_first + (x_last - x_first) D, built from
    //       directed bounds (exact when the arithmetic is, so exact lines pass).
    //   (c) b is at least as steep as the steepest vertex of the node's upper hull, which
    //       is the steepest sample (see NodeHulls). It decides, so a node it refuses holds
    //       a high that top does not block: with (c) a low end visits O(e + L) nodes per
    //       tree level, where (a) and (b) alone can visit every sample (lines, ramps).
    // A node of -inf samples only is blocked by the L + 1 samples of top, none NaN.
    bool passes_over(std::size_t i, std::size_t first, std::size_t width) {
        if (!full()) return false;
        const MaxTree::Node& node = this->tree_.nodes[i];
        const double top = node.top;
        if (top == kInf) return false;  // a NaN, a +inf or padding inside
        if (top == -kInf) return true;
        const std::size_t b = top_.front();
        const double vb = this->v_[b];
        if (vb == kInf) return true;
        const double xb = this->pos_.at(b);
        const std::size_t last = first + width - 1;
        const double cx = top >= y0_ ? this->pos_.at(first) : this->pos_.at(last);
        if (orientation_sign(x0_, y0_, cx, top, xb, vb) >= 0) return true;
        if (steps_below(node.step, first, last, xb, vb)) return true;
        return width >= NodeHulls<Positions>::kMinWidth && hulls_ && hull_below(i, first, width, b);
    }

    // Test (b) of passes_over.
    bool steps_below(double d, std::size_t first, std::size_t last, double xb, double vb) const {
        if (first == last || !std::isfinite(d)) return false;
        const double x_first = this->pos_.at(first);
        const double x_last = this->pos_.at(last);
        // A cheap refusal first (only refuses, so any arithmetic will do): P clearly
        // steeper than b, with a relative slack far above the rounding of this test.
        const double left = (this->v_[first] + (x_last - x_first) * d - y0_) * (xb - x0_);
        const double right = (vb - y0_) * (x_last - x0_);
        if (left > right + 0x1p-30 * (std::fabs(left) + std::fabs(right))) return false;
        const double extent = d >= 0 ? difference_upper(x_last, x_first) : difference_lower(x_last, x_first);
        const double p_y = sum_upper(this->v_[first], product_upper(extent, d));
        if (!std::isfinite(p_y)) return false;
        return orientation_sign(x0_, y0_, x_last, p_y, xb, vb) >= 0 &&
               orientation_sign(x0_, y0_, x_first, this->v_[first], xb, vb) >= 0;
    }

    // Test (c) of passes_over. Along an upper hull seen from lo (left of it), the slope
    // from lo rises while the next vertex is strictly steeper than the current one and
    // falls from then on (each slope lies between the one before and the edge's, and edge
    // slopes fall), so a binary search on that turn finds the steepest vertex.
    bool hull_below(std::size_t i, std::size_t first, std::size_t width, std::size_t b) {
        std::span<const std::uint32_t> hull;
        if (!hulls_->of(i, first, width, hull)) return false;
        if (hull.empty()) return true;  // -inf samples only
        std::size_t low = 0;
        std::size_t high = hull.size() - 1;
        while (low < high) {
            const std::size_t mid = low + (high - low) / 2;
            if (steeper(hull[mid + 1], hull[mid])) {
                low = mid + 1;
            } else {
                high = mid;
            }
        }
        return steeper_or_equal(b, hull[low]);
    }

    std::size_t lo_ = 0;
    double y0_ = 0.0;
    double x0_ = 0.0;
    std::vector<std::size_t> top_;  // the L + 1 steepest passed, as a heap (see push)
    std::optional<NodeHulls<Positions>> hulls_;
};

// The float rule with no blockers from the exact right-neighbour lists
// (neighbour_chain.hpp), for series of tame finite values at x_k = k or at regular
// positions, low end by low end where a proof shows the literal rule gives the same row,
// and by the scan (L = 0) where it does not. The exact neighbours of lo are its records
// j_1 = lo + 1 < j_2 < ... < j_T, the prefix maxima of the exact slope from lo. E is fact
// 3's margin, kLineError (|y0| + |y|) + 2^-1060, and g = x_(lo+1) - x_lo.
//   (i) Record j_t, t >= 2, is visible: every sample between has an exact slope <= that
//       of j_(t-1), so fact 3 applies with S = slope_up of j_(t-1)'s computed slope.
//  (ii) Every other high h lies between two records j_t and j_(t+1), or after j_T. With
//       a = x_(j_t) - x_lo >= g, b = x_h - x_(j_t) >= g' = x_(j_t + 1) - x_(j_t), sigma the
//       exact slope of j_t from lo and mu that of h from j_t, j_t lies ab / (a + b)
//       (sigma - mu) >= min(g, g') (sigma - mu) / 2 above the exact line from lo to h.
//       The largest mu over the samples between j_t and j_(t+1) (after j_T: all later
//       ones) is that of the last right neighbour of j_t before j_(t+1) (the neighbours
//       are the prefix maxima of mu). When min(g, g') (sigma - mu) exceeds 2E, j_t lies
//       more than E above the exact line, so above the literal line value: h is blocked
//       (fact 1 shown by margin; E with |y_h| <= the largest |v|; g and g' are computed
//       within u, inside the slack of E as in fact 3). At x_k = k, g = g' = 1, exactly.
// With every high covered by (i) or (ii), the row is exactly the records. The chain
// reports each record with that neighbour as it finds it: O(1) float steps per edge.
template <class Positions, class Sink>
class CertifiedChain {
public:
    CertifiedChain(std::span<const double> v, std::span<const double> x, const Positions& pos,
                   bool skip_adjacent, Sink& sink)
        : v_(v), x_(x), pos_(pos), n_(v.size()), skip_adjacent_(skip_adjacent), sink_(sink), chain_(v, x) {
        for (double y : v) largest_ = std::max(largest_, std::fabs(y));
        if (!regular(x)) q_room_ = 0x1p-1072;
    }

    // Every value finite and tame, positions whose extent is finite, and few enough samples
    // for the lists. At positions that are not regular (see regular) the proofs leave room
    // for a q below 2^-1022 (q_room_), and the rows they do not prove go to the scan, which
    // takes such positions for tame values.
    static bool applies(std::span<const double> v, std::span<const double> x) {
        if (!ChainScan::fits(v.size())) return false;
        if (!regular(x) && !std::isfinite(x.back() - x.front())) return false;
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
        Proofs proofs{*this};
        return chain_.build(budget, proofs);
    }

    // build, the lists built in the chunks cut at `cuts` on a thread each (ChunkedChain),
    // then completed chunk by chunk on the calling thread. A row's proofs are the same
    // tests on the same records and w as on one thread, only split between the passes:
    // proven_ is only ever cleared, so it ends the same whatever the order. False as build;
    // the rows are then not to be read from the chain. Past the budget the lists stay
    // until the chain goes, as one thread's do (see IndexBuffer): the caller's scan then
    // gathers its rows first.
    bool build(std::size_t budget, std::span<const std::size_t> cuts) {
        if (cuts.size() <= 2) return build(budget);
        proven_.assign(n_, 1);
        chunked_.emplace(v_, x_, cuts);
        std::atomic<bool> over{false};
        run_parallel(chunked_->chunks(), [&](std::size_t c) {
            Proofs proofs{*this};
            if (!chunked_->build_chunk(c, budget, proofs)) over.store(true, std::memory_order_relaxed);
        });
        if (over.load(std::memory_order_relaxed)) return false;
        for (std::size_t c = chunked_->chunks() - 1; c-- > 0;) {
            Proofs proofs{*this};
            if (!chunked_->complete_chunk(c, budget, proofs)) return false;
        }
        return chunked_->entries() <= budget;
    }

    // The entries the lists hold, when no pass is running: in all, and those of the lists
    // of the samples [first, last).
    std::size_t entries() const { return chunked_ ? chunked_->entries() : chain_.entries(); }
    std::size_t entries(std::size_t first, std::size_t last) const {
        return chunked_ ? chunked_->entries(first, last) : chain_.entries(first, last);
    }

    // The rows of the low ends [first, last) in order, to `out`: a proven row from its
    // list, any other by the scan from its low end. Reads the series, lists and proofs
    // only, so threads may emit disjoint ranges at once, each with its own sink.
    template <class Out>
    void emit(std::size_t first, std::size_t last, Out& out) const {
        std::optional<FloatScan<Positions, Out, NoBlockers>> fallback;
        emit_listed(first, last, out, [&](std::size_t lo) {
            if (!fallback) fallback.emplace(v_, pos_, 0, skip_adjacent_, out);
            fallback->run_from(lo);
        });
    }

    // The number of edges emit_listed gives for [first, last), calling unlisted(lo) as it
    // does: the entries of the lists, less those of the rows not proven and, with
    // skip_adjacent, one for each proven row (see visit_listed).
    template <class Unlisted>
    std::size_t count_listed(std::size_t first, std::size_t last, Unlisted&& unlisted) const {
        if (first + 1 >= n_) return 0;
        last = std::min(last, n_ - 1);
        if (first >= last) return 0;
        std::size_t total = entries(first, last);
        std::size_t rows = last - first;
        const std::uint8_t* const proven = proven_.data();
        for (std::size_t lo = first; lo < last; ++lo) {
            const void* found = std::memchr(proven + lo, 0, last - lo);
            if (found == nullptr) break;
            lo = static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - proven);
            total -= entries(lo, lo + 1);
            --rows;
            unlisted(lo);
        }
        return total - (skip_adjacent_ ? rows : 0);
    }

    // The proven rows of the low ends [first, last) in order, to `out`, and unlisted(lo)
    // for every other low end below n - 1, in its place.
    template <class Out, class Unlisted>
    void emit_listed(std::size_t first, std::size_t last, Out& out, Unlisted&& unlisted) const {
        WorkPoll poll;
        visit_listed(first, last, [&](std::size_t lo, std::span<const std::uint32_t> run, std::size_t offset) {
            poll.tick(run.size());
            for (const std::uint32_t hi : run) out(lo, offset + hi);
        }, unlisted);
    }

    // For every proven row of the low ends [first, last), in order, listed(lo, run,
    // offset) with each run of its highs, run[k] + offset, in order: the row's list, or
    // its list in its chunk and then past it. unlisted(lo) for every other low end below
    // n - 1, in its place. Every value is finite, so the row of a low end below n - 1
    // starts with lo + 1, its first neighbour: skip_adjacent leaves out that first high.
    template <class Listed, class Unlisted>
    void visit_listed(std::size_t first, std::size_t last, Listed&& listed, Unlisted&& unlisted) const {
        const std::size_t skip = skip_adjacent_ ? 1 : 0;
        std::size_t c = 0;  // lo's chunk, when the lists are in chunks
        for (std::size_t lo = first; lo < last && lo + 1 < n_; ++lo) {
            if (!proven_[lo]) {
                unlisted(lo);
            } else if (chunked_) {
                c = chunked_->chunk_of(lo, c);
                const ChunkedChain::Row row = chunked_->row(c, lo);
                // Only a chunk's last sample has no neighbour in its chunk.
                const bool local = !row.local.empty();
                listed(lo, row.local.subspan(local ? skip : 0), row.start);
                listed(lo, row.cross.subspan(local ? 0 : skip), std::size_t{0});
            } else {
                listed(lo, chain_.list(lo).subspan(skip), std::size_t{0});
            }
        }
    }

private:
    // The steps of the chain on one thread: the proofs, with the bound of the record before.
    struct Proofs {
        CertifiedChain& chain;
        double previous_up = -kInf;
        void operator()(std::size_t lo, std::size_t j, std::size_t w, bool first) {
            chain.step(lo, j, w, first, previous_up);
        }
    };

    // Record j of lo, in order; w is the last neighbour of j before lo's next record, or
    // kOpen when that is not known yet (the rest comes with first = true, see ChunkedChain).
    // Reads the series and writes lo's proof only: threads may take different low ends.
    void step(std::size_t lo, std::size_t j, std::size_t w, bool first, double& previous_up) {
        const double y0 = v_[lo];
        const double margin_lo = Positions::kLineError * std::fabs(y0) + kTiny;
        const double g = pos_.diff(lo, lo + 1);
        const double slope = (v_[j] - y0) / pos_.diff(lo, j);
        // (i), against the record before
        const double room_j = q_room_ * (std::fabs(y0) + std::fabs(v_[j]));
        if (!first &&
            !((slope_down(slope) - previous_up) * g > margin_lo + Positions::kLineError * std::fabs(v_[j]) + room_j) &&
            !local_margin_of<Positions>(slope, previous_up, y0, g, room_j)) {
            proven_[lo] = 0;
        }
        previous_up = slope_up(slope);
        if (w == ChainScan::kOpen) return;  // (ii) when w is known
        if (w == ChainScan::kNone) return;  // nothing between j and the next record
        // (ii), with fact 3's margin for a high of any value
        const double mu = (v_[w] - v_[j]) / pos_.diff(j, w);
        const double next_gap = pos_.diff(j, j + 1);
        const double gap = std::min(g, next_gap);
        const double apart = slope_down(slope) - slope_up(mu);
        const double room = q_room_ * (std::fabs(y0) + largest_);
        if (!(apart * gap > 2 * (margin_lo + Positions::kLineError * largest_ + room)) &&
            !local_blocking(apart, pos_.diff(lo, j), next_gap, slope, y0, room)) {
            proven_[lo] = 0;
        }
    }

    // (ii) with the literal error bounded at j (see local_margin_of): for the pair (lo, h),
    // |h_j - L| <= 4.02u a |sigma_h| + u |y0| + 2^-1073 with a = x_j - x_lo (6.04u at given
    // positions), and |sigma_h| <= |sigma| + (sigma - sigma_h), as sigma_h <= sigma. j lies
    // a (sigma - sigma_h) = ab / (a + b) (sigma - mu_h) above L, at least c (sigma - mu)
    // with c = a g' / (a + g') (ab / (a + b) rises with b >= g'). So j blocks when
    //     c (sigma - mu) (1 - 4.02u) > 4.02u a |sigma| + u |y0| + 2^-1073;
    // the test takes `apart` <= sigma - mu, lowers c by 8u for its three roundings and
    // asks kLineError a |slope| + 8u |y0| + 2^-1060. Where the largest value of the series
    // dwarfs those near lo, this decides rows that (ii) with that value cannot.
    static bool local_blocking(double apart, double a, double next_gap, double slope, double y0, double room) {
        const double c = a * next_gap / (a + next_gap) * (1 - k8u);
        return apart * c * (1 - k8u) > Positions::kLineError * a * std::fabs(slope) + k8u * std::fabs(y0) + kTiny + room;
    }

    std::span<const double> v_;
    std::span<const double> x_;
    Positions pos_;
    std::size_t n_;
    bool skip_adjacent_;
    Sink& sink_;
    ChainScan chain_;
    std::optional<ChunkedChain> chunked_;  // the lists instead, when built in chunks
    double largest_ = 0.0;
    // Per unit of |y0| + |y|: the room a q below 2^-1022 asks of the proofs (2^-1075 |rise|
    // and slack) at positions that are not regular; 0 at regular ones.
    double q_room_ = 0.0;
    std::vector<std::uint8_t> proven_;  // per low end: the row is its records
};

// Series on the subnormal grid: every finite value within 2^-1025 of zero, so a multiple
// of u0 = 2^-1074 of at most 2^49 units, and every difference and sum of two values is
// exact. Under the float rule with L = 0 at regular positions the literal line value is
// then h = y0 + rint(q R) u0 (R = rise in units, exact; the product rounds to the grid,
// ties to even; the sum is exact), with q within 3.01u of t = (x_k - x_lo) / (x_hi - x_lo)
// (u at x_k = k; q is normal at regular positions). A finite sample k that blocks the pair
// in exact arithmetic lies at D = (v_k - y0) / u0 >= t R units, an integer, so D >= ceil(t R);
// and |q R - t R| <= 3.01u 2^50 < 1/2, so rint(q R) <= ceil(t R) <= D: it blocks under the
// literal rule too. Non-finite samples block alike under both rules (see the top of this
// file and neighbour_chain.hpp), and a pair with a non-finite end is decided alike. So
// every row under the float rule is the exact row less the pairs of finite ends that fail
// the literal test: the exact neighbour lists, each finite pair tested by the max-tree
// (FloatScan::pair_visible). Margins cannot decide here: the literal rounding is half a unit
// of the grid, as large as the gaps between the samples and the lines.
inline bool on_grid(std::span<const double> v) {
    return std::all_of(v.begin(), v.end(), [](double y) { return !std::isfinite(y) || std::fabs(y) <= 0x1p-1025; });
}

struct IgnoredPairs {
    void operator()(std::size_t, std::size_t) const {}
};

// The float rule's pairs (L = 0) of a series on the grid at x_k = k (x empty) or at
// regular positions x, in order, to sink; false, with nothing given, when the exact lists
// would pass their budget.
template <class Positions, class Sink>
bool grid_pairs(std::span<const double> v, std::span<const double> x, const Positions& pos, bool skip_adjacent,
                Sink& sink) {
    if (!ChainScan::fits(v.size())) return false;
    ChainScan chain(v, x);
    if (!chain.build(ChainScan::budget(v.size()))) return false;
    IgnoredPairs none;
    FloatScan<Positions, IgnoredPairs, NoBlockers> literal(v, pos, 0, false, none);
    auto tested = [&](std::size_t lo, std::size_t hi) {
        if (!std::isfinite(v[lo]) || !std::isfinite(v[hi]) || literal.pair_visible(lo, hi)) sink(lo, hi);
    };
    chain.stream(skip_adjacent, tested);
    return true;
}

}  // namespace kestrel::natural_scan
