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

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <optional>
#include <span>
#include <vector>

#include "core/cancel.hpp"
#include "core/exact_orientation.hpp"
#include "core/horizontal_sweep.hpp"
#include "core/memory.hpp"

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
        prefer_huge_pages(data_, capacity_ * sizeof(std::uint32_t));
    }

    std::uint32_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

class ChainScan {
public:
    // The lists of v; for v the start of a longer series, see bound_past.
    ChainScan(std::span<const double> v, std::span<const double> x) : v_(v), x_(x), n_(v.size()) {}

    // What build reports of each step of a chain: no one listens.
    struct NoSteps {
        void operator()(std::size_t, std::size_t, std::size_t, bool) const {}
    };
    static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
    // w of a last neighbour in a series that is the start of a longer one (bound_past):
    // j's neighbours past the end are not known here, nor is whether i has more.
    static constexpr std::size_t kOpen = kNone - 1;

    // The right-neighbour lists of every finite sample; false when they would hold more
    // than `budget` entries. For each neighbour j of i in turn, calls
    // steps(i, j, w, first): w is the last neighbour of j before i's next neighbour (all
    // of j's when j is i's last), or kNone when there is none; first when j is i's first.
    template <class Steps = NoSteps>
    bool build(std::size_t budget, Steps&& steps = Steps{}) {
        return build_until([budget](std::size_t entries) { return entries > budget; }, steps);
    }

    // build, stopping with false as soon as over(entries held) is true.
    template <class Over, class Steps>
    bool build_until(Over&& over, Steps&& steps) {
        ends_.assign(n_ + 1, 0);
        if (past_) closed_.assign(n_, 0);
        // Polled on the thread that builds: a chunk's lists are built on a thread of its own.
        WorkPoll poll;
        std::size_t next_finite = n_;
        std::size_t next_plus_inf = n_;
        for (std::size_t i = n_; i-- > 0;) {
            const double y = v_[i];
            // Only NaN and -inf lie between i and next_finite: no blocker, so it is the first
            // record; nothing after next_plus_inf is visible from a finite i.
            if (std::isfinite(y) && next_finite < next_plus_inf) chain(i, next_finite, steps, poll);
            ends_[i] = lists_.size();
            // Kept: the caller's other scan runs while they are held (see IndexBuffer).
            if (over(lists_.size())) return false;
            if (std::isfinite(y)) next_finite = i;
            if (y == kInf) next_plus_inf = i;
        }
        return true;
    }

    // v is the start of a longer series whose later samples all lie at positions in
    // [first, last] and at or below top. build then reports kOpen for a last neighbour,
    // unless it closes the list (see closed). Set before build.
    void bound_past(double first, double last, double top) { past_ = Past{first, last, top}; }
    // Whether i's list, built with bound_past, is its whole list in the longer series,
    // and the w build reported for its last neighbour final (not kOpen).
    bool closed(std::size_t i) const { return !closed_.empty() && closed_[i] == (kWhole | kFinal); }

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
        WorkPoll poll;
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
                poll.tick();
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

    // Galloping search for the first true of test over list[0, size) (false, then true):
    // probes at 0, 2, 6, 14, ... from its start, then bisection in the last gap; size when
    // none is true.
    template <class Test>
    static std::size_t first_true(const std::uint32_t* list, std::size_t size, Test&& test) {
        std::size_t first = 0;
        std::size_t last = size;
        for (std::size_t step = 1;; step *= 2) {
            const std::size_t probe = first + step - 1;
            if (probe >= size) break;
            if (test(list[probe])) {
                last = probe;
                break;
            }
            first = probe + 1;
        }
        while (first < last) {  // false before first, true at last (or last == size)
            const std::size_t mid = first + (last - first) / 2;
            if (test(list[mid])) {
                last = mid;
            } else {
                first = mid + 1;
            }
        }
        return first;
    }

    // The entries held.
    std::size_t entries() const { return lists_.size(); }
    // The entries of the lists of the samples [first, last).
    std::size_t entries(std::size_t first, std::size_t last) const { return ends_[first] - ends_[last]; }

    // The lists are no longer needed (before the edges are joined).
    void release() {
        lists_.release();
        ends_.release();
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

    // Whether every sample past the series lies on or below the line through i and j
    // (j > i): then none is steeper from i than j. The line is monotone, so it is lowest
    // over [first, last] at one end, and exact orientation decides that end against top.
    bool past_below(std::size_t i, std::size_t j) const {
        const double end = v_[j] >= v_[i] ? past_->first : past_->last;
        return orientation_sign(at(i), v_[i], end, past_->top, at(j), v_[j]) >= 0;
    }

    // Appends the right neighbours of the finite sample i, given its first one j.
    template <class Steps>
    void chain(std::size_t i, std::size_t j, Steps& steps, WorkPoll& poll) {
        const double xi = at(i);
        const double yi = v_[i];
        lists_.push_back(static_cast<std::uint32_t>(j));
        for (bool initial = true;; initial = false) {
            const double xj = at(j);
            const double yj = v_[j];
            // w strictly above the line through i and j: j strictly below the chord i-w.
            auto above = [&](std::uint32_t w) {
                poll.tick();
                return orientation_sign(xi, yi, at(w), v_[w], xj, yj) < 0;
            };
            const std::size_t begin = ends_[j + 1];
            const std::size_t end = ends_[j];
            const std::size_t first = begin + first_true(lists_.data() + begin, end - begin, above);
            std::size_t w = first > begin ? std::size_t{lists_[first - 1]} : kNone;
            if (first == end && past_) {
                // i's list is whole unless some later sample lies above the line i-j. Its
                // w is then j's last neighbour, known when j's list is whole too (so not
                // empty: the last sample's first neighbour lies past the series).
                const bool whole = past_below(i, j);
                const bool final = whole && (closed_[j] & kWhole) != 0;
                if (whole) closed_[i] = final ? kWhole | kFinal : kWhole;
                if (!final) w = kOpen;
            }
            steps(i, j, w, initial);
            if (first == end) return;
            j = lists_[first];
            lists_.push_back(static_cast<std::uint32_t>(j));
        }
    }

    std::span<const double> v_;
    std::span<const double> x_;
    std::size_t n_;
    struct Past {
        double first, last, top;
    };
    std::optional<Past> past_;          // see bound_past
    IndexBuffer lists_;                 // the lists of later samples first
    LargeArray<std::size_t> ends_;      // i's list is lists_[ends_[i + 1], ends_[i])
    std::vector<std::uint8_t> closed_;  // with past_: per sample, kWhole and kFinal
    static constexpr std::uint8_t kWhole = 1;  // the list ends in the series
    static constexpr std::uint8_t kFinal = 2;  // and so does the last neighbour's
};

// The lists of ChainScan for a series of finite values, built in chunks by several
// threads: chunk c holds the samples [cuts[c], cuts[c + 1]).
//   Pass 1, every chunk at once: the lists of the chunk's own sub-series. The records of
//   i up to a sample are the strict prefix maxima of its slopes up to there, so i's list
//   in the chunk is the start of its whole list, and the chain there finds the same
//   records with the same w as on the whole series, save the last one it finds, whose w
//   is kOpen: that neighbour's list, and i's, may go on past the chunk. Unless it is
//   closed: every later sample lies on or below the line from i through it (they all lie
//   at or below the largest of them), so i's list is whole, and so is that neighbour's,
//   so its w is known. Indices there are relative to the chunk's start:
//   orientation_sign is exact, so moving every x by the same whole number changes no sign.
//   Pass 2, chunk by chunk from the right, each once every later chunk is whole: the
//   neighbours of the chunk's samples past its end, in a list of their own per sample.
//   Samples are taken from right to left, so the lists of every later sample are whole.
//   Closed lists are passed over.
// The whole list of i is its list in its chunk followed by its list past the chunk.
class ChunkedChain {
public:
    ChunkedChain(std::span<const double> v, std::span<const double> x, std::span<const std::size_t> cuts)
        : v_(v), x_(x), chunks_(cuts.size() - 1) {
        for (std::size_t c = 0; c < chunks_.size(); ++c) {
            Chunk& chunk = chunks_[c];
            chunk.start = cuts[c];
            chunk.end = cuts[c + 1];
            const std::size_t size = chunk.end - chunk.start;
            chunk.local.emplace(v.subspan(chunk.start, size), x.empty() ? x : x.subspan(chunk.start, size));
        }
    }

    std::size_t chunks() const { return chunks_.size(); }

    // Pass 1 for chunk c; steps as for ChainScan::build (indices of the whole series).
    // False when the lists of every chunk together come to hold more than `budget`
    // entries (counted in batches: see entries for the exact count).
    template <class Steps>
    bool build_chunk(std::size_t c, std::size_t budget, Steps& steps) {
        const std::size_t start = chunks_[c].start;
        const std::size_t end = chunks_[c].end;
        if (end < v_.size()) {
            // Every chunk but the last is the start of a longer series. What bounds the
            // later samples lets pass 1 close most lists on noise, which pass 2 passes over.
            chunks_[c].local->bound_past(x_.empty() ? static_cast<double>(end - start) : x_[end],
                                         x_.empty() ? static_cast<double>(v_.size() - 1 - start) : x_.back(),
                                         block_max(v_.data() + end, v_.size() - end));
        }
        auto shifted = [&](std::size_t i, std::size_t j, std::size_t w, bool first) {
            steps(i + start, j + start, w >= ChainScan::kOpen ? w : w + start, first);
        };
        Held held(held_, budget);
        return chunks_[c].local->build_until([&](std::size_t entries) { return held.over(entries); },
                                             shifted);
    }

    // Pass 2 for chunk c, every later chunk whole. steps as for ChainScan::build, but for
    // i's last neighbour in the chunk it is called (with first = true) only here, with
    // that neighbour's w: pass 1 reported it with kOpen after comparing it with the one
    // before. False as build_chunk.
    template <class Steps>
    bool complete_chunk(std::size_t c, std::size_t budget, Steps& steps) {
        Chunk& chunk = chunks_[c];
        const std::size_t start = chunk.start;
        chunk.cross_ends.assign(chunk.end - start + 1, 0);
        Held held(held_, budget);
        WorkPoll poll;
        for (std::size_t i = chunk.end; i-- > start;) {
            const std::span<const std::uint32_t> local = chunk.local->list(i - start);
            if (chunk.local->closed(i - start)) {
                // Whole, its proofs made in pass 1: no neighbour past the chunk.
            } else if (local.empty()) {
                // Only the chunk's last sample has no neighbour in it: every value is
                // finite, so the first sample past the chunk is its first neighbour.
                chunk.cross.push_back(static_cast<std::uint32_t>(chunk.end));
                resume(c, i, chunk.end, false, steps, poll);
            } else {
                // Pass 1 found none of j's neighbours in the chunk above the line i-j: i's
                // next record, if any, is the first of j's later neighbours above it.
                resume(c, i, start + local.back(), true, steps, poll);
            }
            chunk.cross_ends[i - start] = chunk.cross.size();
            if (held.over(chunk.cross.size())) return false;
        }
        return true;
    }

    // Every entry held, once no chunk is building.
    std::size_t entries() const {
        std::size_t total = 0;
        for (const Chunk& chunk : chunks_) total += chunk.local->entries() + chunk.cross.size();
        return total;
    }

    // The entries of the whole lists of the samples [first, last), once no chunk is building.
    std::size_t entries(std::size_t first, std::size_t last) const {
        std::size_t total = 0;
        if (first >= last) return total;
        for (std::size_t c = chunk_of(first); c < chunks_.size() && chunks_[c].start < last; ++c) {
            const Chunk& chunk = chunks_[c];
            const std::size_t from = std::max(first, chunk.start) - chunk.start;
            const std::size_t to = std::min(last, chunk.end) - chunk.start;
            total += chunk.local->entries(from, to);
            if (!chunk.cross_ends.empty()) total += chunk.cross_ends[from] - chunk.cross_ends[to];
        }
        return total;
    }

    // The neighbours of i (in chunk c): those in the chunk, relative to `start`, then
    // those past it.
    struct Row {
        std::span<const std::uint32_t> local;
        std::size_t start;
        std::span<const std::uint32_t> cross;
    };
    Row row(std::size_t c, std::size_t i) const {
        const Chunk& chunk = chunks_[c];
        return {chunk.local->list(i - chunk.start), chunk.start, cross(chunk, i)};
    }

    // The chunk holding sample i, from a chunk at or before it.
    std::size_t chunk_of(std::size_t i, std::size_t from = 0) const {
        while (i >= chunks_[from].end) ++from;
        return from;
    }

private:
    struct Chunk {
        std::size_t start = 0;
        std::size_t end = 0;
        std::optional<ChainScan> local;
        IndexBuffer cross;                    // lists past the chunk, later samples first
        LargeArray<std::size_t> cross_ends;   // as ChainScan's ends, from the chunk's start
    };

    // Entries held by every chunk together, counted in batches as they grow, so that the
    // chunks stop soon after the total passes the budget. Only decides when the lists give
    // way to the scan, which yields the same rows.
    class Held {
    public:
        Held(std::atomic<std::size_t>& total, std::size_t budget) : total_(total), budget_(budget) {}
        bool over(std::size_t entries) {
            if (entries - counted_ < kBatch) return false;
            total_.fetch_add(entries - counted_, std::memory_order_relaxed);
            counted_ = entries;
            return total_.load(std::memory_order_relaxed) > budget_;
        }

    private:
        static constexpr std::size_t kBatch = 1 << 12;
        std::atomic<std::size_t>& total_;
        std::size_t budget_;
        std::size_t counted_ = 0;
    };

    static std::span<const std::uint32_t> cross(const Chunk& chunk, std::size_t i) {
        if (chunk.cross_ends.empty()) return {};
        const std::size_t k = i - chunk.start;
        return {chunk.cross.data() + chunk.cross_ends[k + 1], chunk.cross_ends[k] - chunk.cross_ends[k + 1]};
    }

    double at(std::size_t k) const {
        return x_.empty() ? static_cast<double>(static_cast<std::int64_t>(k)) : x_[k];
    }

    // The chain of i (in chunk c) on from its neighbour j, appending every later one to
    // chunk c's lists past the chunk. searched: j's neighbours in its chunk are known to
    // lie on or below the line i-j.
    template <class Steps>
    void resume(std::size_t c, std::size_t i, std::size_t j, bool searched, Steps& steps, WorkPoll& poll) {
        const double xi = at(i);
        const double yi = v_[i];
        std::size_t d = c;
        for (bool first = true;; first = false, searched = false) {
            d = chunk_of(j, d);
            const Chunk& holder = chunks_[d];
            const std::span<const std::uint32_t> local = holder.local->list(j - holder.start);
            const std::span<const std::uint32_t> past = cross(holder, j);
            const double xj = at(j);
            const double yj = v_[j];
            // As in ChainScan::chain: the first of j's neighbours strictly above the line
            // i-j over its whole list, which is its list in its chunk and then past it.
            auto above = [&](std::size_t w) {
                poll.tick();
                return orientation_sign(xi, yi, at(w), v_[w], xj, yj) < 0;
            };
            std::size_t next = ChainScan::kNone;
            std::size_t w = ChainScan::kNone;
            const std::size_t p = searched ? local.size()
                                           : ChainScan::first_true(local.data(), local.size(), [&](std::uint32_t r) {
                                                 return above(holder.start + r);
                                             });
            if (p < local.size()) {
                next = holder.start + local[p];
                if (p > 0) w = holder.start + local[p - 1];
            } else {
                const std::size_t q = ChainScan::first_true(past.data(), past.size(), above);
                if (q < past.size()) next = past[q];
                if (q > 0) {
                    w = past[q - 1];
                } else if (!local.empty()) {
                    w = holder.start + local.back();
                }
            }
            steps(i, j, w, first);
            if (next == ChainScan::kNone) return;
            chunks_[c].cross.push_back(static_cast<std::uint32_t>(next));
            j = next;
        }
    }

    std::span<const double> v_;
    std::span<const double> x_;
    std::vector<Chunk> chunks_;
    std::atomic<std::size_t> held_{0};
};

}  // namespace kestrel
