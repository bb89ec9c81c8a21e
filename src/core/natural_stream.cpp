// The new sample n's column of the natural visibility graph: the low ends lo < n that see
// it under the float rule, h = fl(fl(q rise) + y_lo) with q = fl(fl(x_k - x_lo) /
// fl(x_n - x_lo)) and rise = fl(y_n - y_lo), sample k blocking when v_k >= h.
//
// Non-finite samples, at regular positions (q finite and > 0 for every sample between):
// a non-finite low end sees every later sample (rise is +-inf or NaN, so h is NaN); a NaN
// high is seen by every low end; a -inf high is seen from a finite low end only when
// nothing but NaN lies between (h = -inf); a +inf sample blocks every later pair of a
// finite low end and a high that is not NaN (natural_scan.hpp shows it), and a +inf high
// (h = +inf) is blocked by nothing else. So past the last +inf before n only non-finite
// low ends see a finite n.
//
// A finite n is walked from n - 1 leftwards, keeping b, the steepest finite sample passed
// as seen from n (largest computed slope sigma_k = (v_k - y_n) / (x_n - x_k)), and S, an
// upper bound of the exact slope of every finite sample passed. With tame ends (lo and n)
// the literal line value lies within E = kLineError (|y_lo| + |y_n|) + 2^-1060 of the
// exact line, and sample k lies (x_n - x_k)(sigma_lo - sigma_k) below the exact line from
// lo to n, at least g (sigma_lo - sigma_k) with g = x_n - x_(n-1). These are the facts of
// natural_scan.hpp seen from the high end (E is symmetric in the two ends):
//   - blocked when slope_down(sigma_b) exceeds an upper bound of sigma_lo by more than
//     E / g: b lies more than E above the exact line, so v_b > h (fact 1);
//   - visible when slope_down(sigma_lo) exceeds S by more than E / g: every finite sample
//     between lies more than E below the exact line, so below h; NaN and -inf samples
//     never reach a finite h (fact 3);
//   - else b's literal test, then the pair's literal test over every sample between.
// A block of samples is passed over when the first fact holds for all of them at once:
// the exact slope of each is at most that of the block's largest value at the block's
// nearer end when that value is at or above y_n, at its farther end otherwise, and its
// |y_lo| at most the larger of |top| and |bottom|. A passed sample's slope is below
// slope_down(sigma_b) <= S, so S already covers it. Pairs with an end that is not tame
// are tested literally, and so is every pair at positions that are not regular.
#include "core/natural_stream.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/natural_scan.hpp"

namespace kestrel {

namespace {
constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
}

using natural_scan::bound_of;
using natural_scan::kInf;
using natural_scan::kTiny;
using natural_scan::slope_down;
using natural_scan::tame;

NaturalStream::NaturalStream(bool skip_adjacent, bool with_positions)
    : skip_adjacent_(skip_adjacent), with_positions_(with_positions) {}

void NaturalStream::Blocks::push(double value) {
    const bool finite = std::isfinite(value);
    if (top.empty()) {
        top.emplace_back();
        bottom.emplace_back();
    }
    top[0].push_back(finite ? value : kInf);
    bottom[0].push_back(finite ? value : -kInf);
    std::size_t i = top[0].size() - 1;
    for (std::size_t level = 1; top[level - 1].size() > 1; ++level) {
        if (level == top.size()) {
            top.emplace_back();
            bottom.emplace_back();
        }
        const std::vector<double>& tops = top[level - 1];
        const std::vector<double>& bottoms = bottom[level - 1];
        const std::size_t parent = i >> 1;
        double high = tops[2 * parent];
        double low = bottoms[2 * parent];
        if (2 * parent + 1 < tops.size()) {
            high = std::max(high, tops[2 * parent + 1]);
            low = std::min(low, bottoms[2 * parent + 1]);
        }
        if (parent == top[level].size()) {
            top[level].push_back(high);
            bottom[level].push_back(low);
        } else {
            top[level][parent] = high;
            bottom[level][parent] = low;
        }
        i = parent;
    }
}

double NaturalStream::diff(std::size_t a, std::size_t b) const {
    return with_positions_ ? x_[b] - x_[a] : natural_scan::as_double(b - a);
}

// At x_k = k the differences of indices are exact, so this is the arithmetic of
// indices_are_visible; at given positions that of variant_blocks.
bool NaturalStream::literal_blocks(std::size_t lo, std::size_t k, double span, double rise) const {
    const double q = diff(lo, k) / span;
    const double h = q * rise + v_[lo];
    return v_[k] >= h;
}

bool NaturalStream::literal_visible(std::size_t lo) const {
    const std::size_t n = v_.size() - 1;
    const double span = diff(lo, n);
    const double rise = v_[n] - v_[lo];
    for (std::size_t k = lo + 1; k < n; ++k) {
        if (literal_blocks(lo, k, span, rise)) return false;
    }
    return true;
}

StreamFault NaturalStream::append(double value, double x) {
    if (with_positions_) {
        if (!std::isfinite(x)) return StreamFault::position_not_finite;
        if (!x_.empty() && !(x > x_.back())) return StreamFault::position_not_increasing;
        if (!x_.empty()) {
            const double gap = x - x_.back();
            smallest_gap_ = x_.size() == 1 ? gap : std::min(smallest_gap_, gap);
            // natural_scan::regular of the positions so far; once lost it stays lost, as the
            // extent only grows and the smallest gap only shrinks.
            const double extent = x - x_.front();
            regular_ = regular_ && std::isfinite(extent) && smallest_gap_ >= extent * 0x1p-960;
        }
        x_.push_back(x);
    }
    v_.push_back(value);
    degrees_.push_back(0);
    blocks_.push(value);
    column();
    const std::size_t n = v_.size() - 1;
    if (skip_adjacent_ && !lows_.empty() && lows_.back() + 1 == n) lows_.pop_back();
    for (const std::size_t lo : lows_) ++degrees_[lo];
    degrees_[n] += lows_.size();
    edges_ += lows_.size();
    if (!std::isfinite(value)) non_finite_.push_back(n);
    if (value == kInf) last_plus_inf_ = n + 1;
    if (!std::isnan(value)) last_not_nan_ = n + 1;
    return StreamFault::none;
}

StreamFault NaturalStream::extend(std::span<const double> values, std::span<const double> x,
                                  std::vector<Edge>& edges, std::size_t& appended) {
    appended = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const StreamFault fault = append(values[i], with_positions_ ? x[i] : 0.0);
        if (fault != StreamFault::none) return fault;
        ++appended;
        const std::size_t n = v_.size() - 1;
        for (const std::size_t lo : lows_) edges.push_back(Edge{lo, n});
    }
    return StreamFault::none;
}

// The low ends of the new sample n, ascending, to lows_ (before skip_adjacent).
void NaturalStream::column() {
    lows_.clear();
    const std::size_t n = v_.size() - 1;
    if (n == 0) return;
    const double y = v_[n];
    if (!regular_) {
        for (std::size_t lo = 0; lo < n; ++lo) {
            if (literal_visible(lo)) lows_.push_back(lo);
        }
    } else if (std::isnan(y)) {
        for (std::size_t lo = 0; lo < n; ++lo) lows_.push_back(lo);
    } else if (y == kInf) {
        // Every non-finite low end, and every low end from the last +inf on.
        const std::size_t from = last_plus_inf_ == 0 ? 0 : last_plus_inf_ - 1;
        for (const std::size_t lo : non_finite_) {
            if (lo >= from) break;
            lows_.push_back(lo);
        }
        for (std::size_t lo = from; lo < n; ++lo) lows_.push_back(lo);
    } else if (y == -kInf) {
        // Every non-finite low end, and the last sample that is not NaN (when finite).
        const std::size_t last = last_not_nan_ == 0 ? kNone : last_not_nan_ - 1;
        bool placed = last == kNone || !std::isfinite(v_[last]);
        for (const std::size_t lo : non_finite_) {
            if (!placed && lo > last) {
                lows_.push_back(last);
                placed = true;
            }
            lows_.push_back(lo);
        }
        if (!placed) lows_.push_back(last);
    } else {
        finite_column();
    }
}

void NaturalStream::finite_column() {
    const std::size_t n = v_.size() - 1;
    // The non-finite low ends up to the last +inf (itself one), then the walk after it.
    const std::size_t floor = last_plus_inf_;
    for (const std::size_t lo : non_finite_) {
        if (lo >= floor) break;
        lows_.push_back(lo);
    }
    const std::size_t walked = lows_.size();
    y_ = v_[n];
    gap_ = diff(n - 1, n);
    have_steepest_ = false;
    outside_ = -kInf;
    const double line_error = with_positions_ ? natural_scan::ArrayPositions::kLineError
                                              : natural_scan::IndexPositions::kLineError;
    const bool tame_high = tame(y_);
    for (std::size_t end = n;;) {
        const std::size_t lo = previous_candidate(end, floor);
        if (lo == kNone) break;
        end = lo;
        const double value = v_[lo];
        if (!std::isfinite(value)) {
            // Sees n; never blocks: NaN reaches no line value, -inf no finite one, and a
            // pair of a finite low end and a -inf line value has a bound that is not tame.
            lows_.push_back(lo);
            continue;
        }
        const double slope = (value - y_) / diff(lo, n);
        bool visible;
        if (tame_high && tame(value)) {
            // h is finite: |rise| <= 2^1001 and q <= 1.
            const double margin = line_error * (std::fabs(value) + std::fabs(y_)) + kTiny;
            if (!have_steepest_) {
                visible = true;  // only NaN and -inf samples between
            } else if ((slope_down(steepest_slope_) - bound_of(slope)) * gap_ > margin) {
                visible = false;
            } else if (literal_blocks(lo, steepest_, diff(lo, n), y_ - value)) {
                visible = false;
            } else if ((slope_down(slope) - outside_) * gap_ > margin) {
                visible = true;
            } else {
                visible = literal_visible(lo);
            }
        } else {
            visible = !(have_steepest_ && literal_blocks(lo, steepest_, diff(lo, n), y_ - value)) &&
                      literal_visible(lo);
        }
        if (visible) lows_.push_back(lo);
        if (!have_steepest_ || slope > steepest_slope_) {
            have_steepest_ = true;
            steepest_ = lo;
            steepest_slope_ = slope;
        }
        outside_ = std::max(outside_, bound_of(slope));
    }
    std::reverse(lows_.begin() + static_cast<std::ptrdiff_t>(walked), lows_.end());
}

// Whether every sample of the block [first, last] at `level` is blocked from n by the
// steepest sample passed, by the margin of fact 1 (see the top of this file).
bool NaturalStream::passes_over(std::size_t level, std::size_t first, std::size_t last) const {
    if (!have_steepest_ || !tame(y_)) return false;
    const double top = blocks_.top[level][first >> level];
    const double bottom = blocks_.bottom[level][first >> level];
    // Non-finite samples count as +-inf here, so this also keeps out blocks holding one.
    if (!(top <= natural_scan::kTame) || !(bottom >= -natural_scan::kTame)) return false;
    // A rounded difference has the sign of the exact one, so the choice of end is exact.
    const double rise = top - y_;
    const double bound = bound_of(rise / diff(rise >= 0 ? last : first, v_.size() - 1));
    const double line_error = with_positions_ ? natural_scan::ArrayPositions::kLineError
                                              : natural_scan::IndexPositions::kLineError;
    const double largest = std::max(std::fabs(top), std::fabs(bottom));
    const double margin = line_error * (largest + std::fabs(y_)) + kTiny;
    return (slope_down(steepest_slope_) - bound) * gap_ > margin;
}

// The last sample of [floor, end) not inside a block passes_over accepts; kNone if none.
// Tries the largest aligned block that ends at end - 1 and starts at floor or later, then
// its right halves in turn.
std::size_t NaturalStream::previous_candidate(std::size_t end, std::size_t floor) const {
    const std::size_t levels = blocks_.top.size();
    while (end > floor) {
        std::size_t level = 0;
        while (level + 1 < levels && (end & ((std::size_t{2} << level) - 1)) == 0 &&
               end - (std::size_t{2} << level) >= floor) {
            ++level;
        }
        for (;;) {
            const std::size_t first = end - (std::size_t{1} << level);
            if (passes_over(level, first, end - 1)) {
                end = first;
                break;
            }
            if (level == 0) return end - 1;
            --level;
        }
    }
    return kNone;
}

}  // namespace kestrel
