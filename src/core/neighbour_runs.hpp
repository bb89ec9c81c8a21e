// Degrees of the exact natural rule with no blockers allowed (L = 0), in time that depends
// on the runs of consecutive neighbours rather than on the edges. Pure C++: no interpreter
// calls.
//
// The right neighbours of a finite sample i among the finite samples of a stretch free of
// +inf are its strict slope records, found by chaining as neighbour_chain.hpp explains.
// Here each list is kept as runs of consecutive indices, and a chain crosses a convex
// stretch in one step:
//
// Convex jump. Let w be a record of i, and let the samples w, w + 1, ..., E be finite with
// each of w + 1 .. E - 1 strictly below the chord of its two neighbours (the slopes
// d_k = slope(k, k + 1) rise strictly from d_w to d_(E-1)). If w + 1 lies strictly above
// the line through i and w, every one of w + 1 .. E is a record of i. Proof: w + 1 above
// that line means slope(i, w) < d_w; slope(i, w + 1) is a weighted mean of slope(i, w)
// and d_w, so slope(i, w + 1) < d_w < d_(w+1): w + 2 lies strictly above the line through
// i and w + 1, and the same step repeats up to E. A record strictly steeper than the
// last record is steeper than everything before, so each is a record. Every test is an
// exact orientation, so the jump is exact.
//
// After a jump the chain goes on from E: the next record is the first right neighbour of
// E strictly above the line through i and E, searched in E's runs (first the run whose
// last index is above, then the index inside it: the test is false, then true, along the
// list). A smooth signal's graph has long runs (sin(0.001 t) at 10^6 samples: 1.87 10^9
// edges in a few runs per sample), so its degrees cost O(runs log n) orientation tests.
// A sample's degree gains a run as one difference-array update.
//
// Non-finite samples, as exact_blocks has them (see neighbour_chain.hpp): a non-finite
// low end sees every later sample; from a finite low end every later NaN is visible, the
// first +inf after it, and a -inf high only when nothing but NaN lies between. These are
// counted from running totals, without visiting the pairs.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "core/cancel.hpp"
#include "core/exact_orientation.hpp"
#include "core/neighbour_chain.hpp"

namespace kestrel {

class RunChain {
public:
    RunChain(std::span<const double> v, std::span<const double> x) : v_(v), x_(x), n_(v.size()) {}

    // The degree of every sample, or false when the runs would number more than `budget`.
    bool degrees(std::size_t budget, bool skip_adjacent, std::vector<std::uint64_t>& degree) {
        degree.assign(n_, 0);
        if (n_ < 2) return true;
        shape_ends();
        // gain[k] - gain[k - 1]: what the lists' runs add to sample k's degree.
        std::vector<std::int64_t> gain(n_ + 1, 0);
        ends_.assign(n_ + 1, 0);
        std::size_t next_finite = n_;
        std::size_t next_plus_inf = n_;
        for (std::size_t i = n_; i-- > 0;) {
            const double y = v_[i];
            if (std::isfinite(y) && next_finite < next_plus_inf) {
                degree[i] += chain(i, next_finite, gain);
            }
            ends_[i] = runs_.size();
            if (runs_.size() > 2 * budget) return false;
            if (std::isfinite(y)) next_finite = i;
            if (y == kInf) next_plus_inf = i;
        }
        std::int64_t running = 0;
        for (std::size_t k = 0; k < n_; ++k) {
            running += gain[k];
            degree[k] += static_cast<std::uint64_t>(running);
        }
        non_finite(degree);
        if (skip_adjacent) {
            // No sample lies between neighbours in time, so every such pair is an edge.
            for (std::size_t k = 0; k + 1 < n_; ++k) {
                --degree[k];
                --degree[k + 1];
            }
        }
        return true;
    }

private:
    static constexpr double kInf = std::numeric_limits<double>::infinity();

    double at(std::size_t k) const {
        return x_.empty() ? static_cast<double>(static_cast<std::int64_t>(k)) : x_[k];
    }
    bool finite(std::size_t k) const { return k < n_ && std::isfinite(v_[k]); }
    // (xb, yb) strictly above the line through a and c, for a < c < b: c strictly below
    // the chord from a to b.
    bool above(std::size_t a, std::size_t c, std::size_t b) {
        poll_.tick();
        return orientation_sign(at(a), v_[a], at(b), v_[b], at(c), v_[c]) < 0;
    }

    // Shape of the samples k, k + 1, k + 2 (all finite): the sign of the orientation,
    // > 0 when k + 1 lies strictly above the chord from k to k + 2 (slopes fall there),
    // 0 on it, < 0 below (slopes rise).
    int bend(std::size_t k) {
        poll_.tick();
        return orientation_sign(at(k), v_[k], at(k + 2), v_[k + 2], at(k + 1), v_[k + 1]);
    }

    // rising_end_[k]: the largest E with k .. E finite and the slopes d_k <= ... <= d_(E-1)
    // (each of k + 1 .. E - 1 on or below the chord of its neighbours); falling_end_[k]
    // likewise with d_k > ... > d_(E-1). Both are k when k + 1 is not finite.
    void shape_ends() {
        rising_end_.assign(n_, 0);
        falling_end_.assign(n_, 0);
        for (std::size_t k = n_; k-- > 0;) {
            if (!finite(k) || !finite(k + 1)) {
                rising_end_[k] = falling_end_[k] = k;
                continue;
            }
            const int shape = finite(k + 2) ? bend(k) : 0;
            const bool more = finite(k + 2);
            rising_end_[k] = more && shape <= 0 ? rising_end_[k + 1] : k + 1;
            falling_end_[k] = more && shape > 0 ? falling_end_[k + 1] : k + 1;
        }
    }

    // Appends to the current sample's runs.
    void push(std::size_t first, std::size_t last) {
        if (runs_.size() > open_ && runs_[runs_.size() - 1] + 1 == first) {
            runs_.set_last(static_cast<std::uint32_t>(last));
            return;
        }
        runs_.push_back(static_cast<std::uint32_t>(first));
        runs_.push_back(static_cast<std::uint32_t>(last));
    }

    // The first right neighbour of j strictly above the line through i and j, from the
    // `skip`-th on; n_ when there is none. The test is false, then true, along the list.
    std::size_t next_record(std::size_t i, std::size_t j, std::size_t skip) {
        const std::size_t begin = ends_[j + 1];
        const std::size_t end = ends_[j];
        // First run whose last index is above.
        std::size_t lo = begin / 2, hi = end / 2;
        while (lo < hi) {
            const std::size_t mid = lo + (hi - lo) / 2;
            if (above(i, j, runs_[2 * mid + 1])) {
                hi = mid;
            } else {
                lo = mid + 1;
            }
        }
        if (lo == end / 2) return n_;
        // Inside that run, the first index above (the run's last one is).
        std::size_t first = runs_[2 * lo];
        std::size_t last = runs_[2 * lo + 1];
        if (lo == begin / 2) first += skip;  // the list's first index is known not above
        while (first < last) {
            const std::size_t mid = first + (last - first) / 2;
            if (above(i, j, mid)) {
                last = mid;
            } else {
                first = mid + 1;
            }
        }
        return first;
    }

    // Builds the runs of finite sample i, given its first neighbour j; returns their total
    // length and adds one to each neighbour's gain.
    std::uint64_t chain(std::size_t i, std::size_t j, std::vector<std::int64_t>& gain) {
        open_ = runs_.size();
        std::uint64_t count = 0;
        auto take = [&](std::size_t first, std::size_t last) {
            push(first, last);
            count += last - first + 1;
            gain[first] += 1;
            gain[last + 1] -= 1;
        };
        take(j, j);
        bool tested = false;  // whether j + 1 is known not to lie above the line i-j
        for (;;) {
            // The list of j starts with j + 1 when that is finite: P(j) = "j + 1 above the
            // line through i and j" makes j + 1 the next record.
            if (finite(j + 1) && !tested) {
                if (above(i, j, j + 1)) {
                    const std::size_t rising = rising_end_[j];
                    if (rising > j + 1) {  // jump over slopes that never fall (see above)
                        take(j + 1, rising);
                        j = rising;
                        continue;
                    }
                    // Falling slopes d_j > d_(j+1) > ...: P is true, then false, on
                    // j .. falling - 1 (if P(u) is false, slope(i, u + 1), a weighted mean
                    // of slope(i, u) >= d_u and d_u, is >= d_u > d_(u+1)), and while it
                    // holds the samples are consecutive records. Bisect for the first
                    // false, P(j) being true.
                    const std::size_t falling = falling_end_[j];
                    std::size_t lo = j + 1;
                    std::size_t hi = falling;  // first false in [lo, hi), or hi for none
                    while (lo < hi) {
                        const std::size_t mid = lo + (hi - lo) / 2;
                        if (above(i, mid, mid + 1)) {
                            lo = mid + 1;
                        } else {
                            hi = mid;
                        }
                    }
                    take(j + 1, lo);
                    tested = lo < falling;  // P(lo) was found false
                    j = lo;
                    continue;
                }
                tested = true;
            }
            const std::size_t w = next_record(i, j, tested && finite(j + 1) ? 1 : 0);
            if (w == n_) return count;
            take(w, w);
            j = w;
            tested = false;
        }
    }

    // The pairs with a non-finite end, from running totals.
    void non_finite(std::vector<std::uint64_t>& degree) const {
        std::uint64_t finite_before = 0;     // finite samples so far
        std::uint64_t finite_since_inf = 0;  // finite samples since the last +inf
        std::uint64_t non_finite_before = 0;
        std::size_t last_non_nan = n_;       // nearest sample before k that is not NaN
        for (std::size_t k = 0; k < n_; ++k) {
            const double y = v_[k];
            // Every earlier non-finite low sees k.
            degree[k] += non_finite_before;
            if (std::isnan(y)) {
                degree[k] += finite_before;  // seen from every finite low
            } else if (y == kInf) {
                degree[k] += finite_since_inf;  // the first +inf after each of them
            } else if (y == -kInf && last_non_nan < n_ && std::isfinite(v_[last_non_nan])) {
                degree[k] += 1;  // only the nearest non-NaN sample before, when finite
            }
            if (!std::isfinite(y)) {
                degree[k] += n_ - 1 - k;  // sees every later sample
                ++non_finite_before;
            }
            if (y == kInf) finite_since_inf = 0;
            if (std::isfinite(y)) {
                ++finite_before;
                ++finite_since_inf;
            }
            if (!std::isnan(y)) last_non_nan = k;
        }
        // And each finite low's own non-finite highs: the later NaNs, its first later +inf,
        // and the first later non-NaN sample when that is -inf.
        std::uint64_t nans_after = 0;
        bool inf_after = false;
        std::size_t next_non_nan = n_;
        for (std::size_t k = n_; k-- > 0;) {
            const double y = v_[k];
            if (std::isfinite(y)) {
                degree[k] += nans_after + (inf_after ? 1 : 0) +
                             (next_non_nan < n_ && v_[next_non_nan] == -kInf ? 1 : 0);
            }
            if (std::isnan(y)) ++nans_after;
            if (y == kInf) inf_after = true;
            if (!std::isnan(y)) next_non_nan = k;
        }
    }

    std::span<const double> v_;
    std::span<const double> x_;
    std::size_t n_;
    std::vector<std::size_t> rising_end_, falling_end_;
    IndexBuffer runs_;               // (first, last) pairs; the lists of later samples first
    std::vector<std::size_t> ends_;  // i's runs are runs_[ends_[i + 1], ends_[i])
    std::size_t open_ = 0;           // where the current sample's runs start
    WorkPoll poll_;
};

}  // namespace kestrel
