// Natural visibility in exact arithmetic with no blockers allowed (L = 0), at positions
// x_k = k or given ones, by neighbour chaining. Pure C++: no interpreter calls.
//
// Between finite ends a sample blocks exactly when it is +inf, or finite and on or above
// the chord; NaN and -inf samples never do (exact_blocks). So among the finite samples of
// a stretch free of +inf, the right neighbours of i are its strict slope records: j1, the
// first finite sample after i, then each finite sample strictly steeper from i than every
// finite sample before it (a sample on or above the chord is one at least as steep).
//
// Chaining. Let j be a record of i and E the line through i and j. The finite samples
// between j and the next record j' lie on or below E and j' lies strictly above it, so
// they all lie strictly below the chord from j to j': j' is a right neighbour of j. Every
// right neighbour of j before j' lies between them, on or below E. Hence j' is the first
// right neighbour of j strictly above E, and when no right neighbour of j is above E, i
// has no record after j (the first finite sample above E would be one, and a neighbour of
// j). Along j's right neighbours the slopes from j rise strictly, so "strictly above E"
// (steeper from j than E) is false, then true: a galloping search finds the first true.
// A sample exactly on E is not above it; it blocks, and the search passes over it.
//
// Sweeping i from right to left, the lists of all later samples are complete. Each edge
// costs O(log n) orientation tests (each exact), and the end of a chain one more search.
// The lists are the finite-to-finite edges themselves: 4 bytes per edge in one array,
// plus n + 1 offsets.
//
// Non-finite samples, as exact_blocks has them: a non-finite low end sees every later
// sample; from a finite low end, a NaN high is always visible, the first +inf after it is
// visible and nothing after that +inf but NaN highs, and a -inf high only when nothing
// but NaN lies between.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <span>
#include <vector>

#include "core/cancel.hpp"
#include "core/exact_orientation.hpp"

namespace kestrel {

// A growing array of indices that moves by realloc. glibc serves a large block by mapping
// pages and, when such a block is freed, raises its threshold for mapping, so that later
// blocks of up to that size come from its heap, which it keeps when they are freed. A
// vector growing here would free a large block at each step while the edge collector is
// filling, whose blocks would then stay held after they are joined into the result: the
// peak would be twice the edges. realloc moves a mapped block by remapping it, freeing
// nothing; the lists are freed only once the collector is full.
class IndexBuffer {
public:
    IndexBuffer() = default;
    IndexBuffer(const IndexBuffer&) = delete;
    IndexBuffer& operator=(const IndexBuffer&) = delete;
    ~IndexBuffer() { std::free(data_); }

    void push_back(std::uint32_t value) {
        if (size_ == capacity_) [[unlikely]] grow();
        data_[size_++] = value;
    }
    std::uint32_t operator[](std::size_t k) const { return data_[k]; }
    void set_last(std::uint32_t value) { data_[size_ - 1] = value; }
    const std::uint32_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    void release() {
        std::free(data_);
        data_ = nullptr;
        size_ = capacity_ = 0;
    }

private:
    void grow() {
        const std::size_t capacity = capacity_ < 1024 ? 1024 : 2 * capacity_;
        if (capacity > std::numeric_limits<std::size_t>::max() / sizeof(std::uint32_t)) throw std::bad_alloc();
        void* grown = std::realloc(data_, capacity * sizeof(std::uint32_t));
        if (grown == nullptr) throw std::bad_alloc();
        data_ = static_cast<std::uint32_t*>(grown);
        capacity_ = capacity;
    }

    std::uint32_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

class ChainScan {
public:
    ChainScan(std::span<const double> v, std::span<const double> x) : v_(v), x_(x), n_(v.size()) {}

    // What build reports of each step of a chain: no one listens.
    struct NoSteps {
        void operator()(std::size_t, std::size_t, std::size_t, bool) const {}
    };
    static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

    // The right-neighbour lists of every finite sample; false when they would hold more
    // than `budget` entries. For each neighbour j of i in turn, calls
    // steps(i, j, w, first): w is the last neighbour of j before i's next neighbour (all
    // of j's when j is i's last), or kNone when there is none; first when j is i's first.
    template <class Steps = NoSteps>
    bool build(std::size_t budget, Steps&& steps = Steps{}) {
        ends_.assign(n_ + 1, 0);
        std::size_t next_finite = n_;
        std::size_t next_plus_inf = n_;
        for (std::size_t i = n_; i-- > 0;) {
            const double y = v_[i];
            // Only NaN and -inf lie between i and next_finite: no blocker, so it is the first
            // record; nothing after next_plus_inf is visible from a finite i.
            if (std::isfinite(y) && next_finite < next_plus_inf) chain(i, next_finite, steps);
            ends_[i] = lists_.size();
            // Kept: the caller's other scan runs while they are held (see IndexBuffer).
            if (lists_.size() > budget) return false;
            if (std::isfinite(y)) next_finite = i;
            if (y == kInf) next_plus_inf = i;
        }
        return true;
    }

    // The right neighbours of finite sample i (finite samples only), ascending.
    std::span<const std::uint32_t> list(std::size_t i) const {
        return {lists_.data() + ends_[i + 1], ends_[i] - ends_[i + 1]};
    }

    // Every visible pair, lows ascending and each low's highs ascending.
    template <class Sink>
    void stream(bool skip_adjacent, Sink& sink) {
        std::vector<std::size_t> nans;
        std::size_t nan_count = 0;
        for (std::size_t k = 0; k < n_; ++k) nan_count += std::isnan(v_[k]) ? 1 : 0;
        nans.reserve(nan_count);  // one allocation (see IndexBuffer)
        for (std::size_t k = 0; k < n_; ++k) {
            if (std::isnan(v_[k])) nans.push_back(k);
        }
        std::size_t nan_at = 0;          // first NaN after lo, in nans
        std::size_t next_non_nan = 0;    // first sample after lo that is not NaN
        std::size_t next_plus_inf = 0;   // first +inf after lo
        for (std::size_t lo = 0; lo + 1 < n_; ++lo) {
            while (nan_at < nans.size() && nans[nan_at] <= lo) ++nan_at;
            if (next_non_nan <= lo) {
                next_non_nan = lo + 1;
                while (next_non_nan < n_ && std::isnan(v_[next_non_nan])) ++next_non_nan;
            }
            if (next_plus_inf <= lo) {
                next_plus_inf = lo + 1;
                while (next_plus_inf < n_ && v_[next_plus_inf] != kInf) ++next_plus_inf;
            }
            auto emit = [&](std::size_t hi) {
                poll_.tick();
                if (!(skip_adjacent && hi == lo + 1)) sink(lo, hi);
            };
            if (!std::isfinite(v_[lo])) {
                for (std::size_t hi = lo + 1; hi < n_; ++hi) emit(hi);
                continue;
            }
            std::size_t a = nan_at;
            auto nans_before = [&](std::size_t limit) {
                while (a < nans.size() && nans[a] < limit) emit(nans[a++]);
            };
            if (next_non_nan < n_ && v_[next_non_nan] == -kInf) {
                nans_before(next_non_nan);
                emit(next_non_nan);
            }
            for (std::size_t k = ends_[lo + 1]; k < ends_[lo]; ++k) {
                nans_before(lists_[k]);
                emit(lists_[k]);
            }
            if (next_plus_inf < n_) {
                nans_before(next_plus_inf);
                emit(next_plus_inf);
            }
            nans_before(n_);
        }
    }

    // The lists are no longer needed (before the edges are joined).
    void release() {
        lists_.release();
        ends_ = {};
    }

    // Indices are kept in 4 bytes.
    static bool fits(std::size_t n) { return n <= std::numeric_limits<std::uint32_t>::max(); }
    // The entries kept at most: 64 bytes a sample and 4 MiB, O(n) working memory like the
    // scans' trees. Denser graphs go to those scans.
    static std::size_t budget(std::size_t n) { return 16 * n + (std::size_t{1} << 20); }

private:
    static constexpr double kInf = std::numeric_limits<double>::infinity();

    double at(std::size_t k) const {
        // Indices below 2^53 are exact doubles.
        return x_.empty() ? static_cast<double>(static_cast<std::int64_t>(k)) : x_[k];
    }

    // Appends the right neighbours of the finite sample i, given its first one j.
    template <class Steps>
    void chain(std::size_t i, std::size_t j, Steps& steps) {
        const double xi = at(i);
        const double yi = v_[i];
        lists_.push_back(static_cast<std::uint32_t>(j));
        for (bool initial = true;; initial = false) {
            const double xj = at(j);
            const double yj = v_[j];
            // w strictly above the line through i and j: j strictly below the chord i-w.
            auto above = [&](std::uint32_t w) {
                poll_.tick();
                return orientation_sign(xi, yi, at(w), v_[w], xj, yj) < 0;
            };
            // Galloping search for the first true in j's list (false, then true): probes
            // at 0, 2, 6, 14, ... from its start, then bisection in the last gap.
            const std::size_t begin = ends_[j + 1];
            const std::size_t end = ends_[j];
            std::size_t first = begin;
            std::size_t last = end;
            for (std::size_t step = 1;; step *= 2) {
                const std::size_t probe = first + step - 1;
                if (probe >= end) break;
                if (above(lists_[probe])) {
                    last = probe;
                    break;
                }
                first = probe + 1;
            }
            while (first < last) {  // false before first, true at last (or last == end)
                const std::size_t mid = first + (last - first) / 2;
                if (above(lists_[mid])) {
                    last = mid;
                } else {
                    first = mid + 1;
                }
            }
            steps(i, j, first > begin ? std::size_t{lists_[first - 1]} : kNone, initial);
            if (first == end) return;
            j = lists_[first];
            lists_.push_back(static_cast<std::uint32_t>(j));
        }
    }

    std::span<const double> v_;
    std::span<const double> x_;
    std::size_t n_;
    IndexBuffer lists_;                 // the lists of later samples first
    std::vector<std::size_t> ends_;     // i's list is lists_[ends_[i + 1], ends_[i])
    WorkPoll poll_;
};

}  // namespace kestrel
