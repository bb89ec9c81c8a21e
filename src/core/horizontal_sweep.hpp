// Horizontal visibility in O(n + m): one right-to-left sweep with a stack of records.
// Plain C++; no interpreter calls.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "core/cancel.hpp"

namespace kestrel {

// Calls emit(low, high) once for every horizontally visible pair (low < high), with
// lows descending and, for each low, highs ascending. Same rule as the literal pairwise
// test: a sample between blocks when it is >= the smaller end (fmin: a NaN end gives
// way to the other end); NaN samples never block.
//
// Why it is exact. Let R(i) be the records of the non-NaN samples after i: positions r
// with v[r] > every non-NaN sample strictly between i and r (the first non-NaN sample
// after i is always one). A non-NaN high j is visible from i only if j is in R(i) (else
// some non-NaN sample between is >= v[j] >= threshold). For a non-NaN low i, the
// records are visible up to and including the first one with value >= v[i], and none
// after it (that record lies between and is >= the threshold); a NaN high is visible
// exactly when it lies before that record. A NaN low sees every record and every NaN.
// `stack` holds R(i) with the nearest record on top; moving to i, the records with
// value <= v[i] stop being records (v[i] lies between and is >= them) and i is pushed.
// Each sample is pushed and popped once; everything else is one step per edge.
//
// A stretch of lows. The sweep's state on arriving at a low i is R(i) and the NaN
// positions after i, both read from the samples after i only. So the sweep over the lows
// [lo, hi) alone, started from `stack` = R(hi - 1) and `nans` = the NaN positions >= hi
// (both nearest last), emits exactly the pairs the whole sweep emits for those lows, in the
// same order; highs may lie anywhere after the low.
template <class Emit>
void horizontal_sweep_lows(std::span<const double> v, std::size_t lo, std::size_t hi,
                           std::vector<std::size_t> stack, std::vector<std::size_t> nans,
                           bool skip_adjacent, Emit&& emit) {
    WorkPoll poll;
    auto visit = [&](std::size_t i, std::size_t j) {
        poll.tick();
        if (!(skip_adjacent && j == i + 1)) emit(i, j);
    };
    for (std::size_t i = hi; i-- > lo;) {
        poll.tick();
        const double y = v[i];
        std::size_t t = nans.size();  // nans[t - 1] is the nearest NaN not yet visited
        if (std::isnan(y)) {
            // Merge every record and every NaN after i in ascending position.
            std::size_t r = stack.size();
            while (r > 0 || t > 0) {
                if (t == 0 || (r > 0 && stack[r - 1] < nans[t - 1])) {
                    visit(i, stack[--r]);
                } else {
                    visit(i, nans[--t]);
                }
            }
            nans.push_back(i);
            continue;
        }
        bool stopped = false;
        while (!stack.empty()) {
            const std::size_t j = stack.back();
            while (t > 0 && nans[t - 1] < j) visit(i, nans[--t]);
            visit(i, j);
            const double w = v[j];
            if (w > y) {  // first record above v[i]: visible, stays a record
                stopped = true;
                break;
            }
            stack.pop_back();  // w <= v[i]: v[i] now hides it from everything to the left
            if (w == y) {      // equal: visible, and blocks everything after it
                stopped = true;
                break;
            }
        }
        if (!stopped) {
            while (t > 0) visit(i, nans[--t]);
        }
        stack.push_back(i);
    }
}

template <class Emit>
void horizontal_sweep(std::span<const double> v, bool skip_adjacent, Emit&& emit) {
    horizontal_sweep_lows(v, 0, v.size(), {}, {}, skip_adjacent, std::forward<Emit>(emit));
}

// Where the sweep of one chunk of lows starts: R(hi - 1) and the NaN positions >= hi, both
// nearest last (see horizontal_sweep_lows).
struct ChunkStart {
    std::vector<std::size_t> stack;
    std::vector<std::size_t> nans;
};

// The starting states of the chunks [cuts[c], cuts[c + 1]) (series_graphs.cpp; the chunks'
// own records are found on several threads). Without `gather_nans` the NaN positions are
// left out: for a caller that knows the series has none, or finds out on its own.
std::vector<ChunkStart> chunk_starts(std::span<const double> v, std::span<const std::size_t> cuts,
                                     bool gather_nans = true);

// The largest of p[0, count), NaN passed over (-inf when there is nothing else): four
// independent lanes, so no chain of dependent steps runs through the block.
inline double block_max(const double* p, std::size_t count) {
    constexpr double kNone = -std::numeric_limits<double>::infinity();
    double lanes[4] = {kNone, kNone, kNone, kNone};
    std::size_t k = 0;
    for (; k + 4 <= count; k += 4) {
        for (std::size_t l = 0; l < 4; ++l) lanes[l] = p[k + l] > lanes[l] ? p[k + l] : lanes[l];
    }
    for (std::size_t l = 0; k + l < count; ++l) lanes[l] = p[k + l] > lanes[l] ? p[k + l] : lanes[l];
    return std::max(std::max(lanes[0], lanes[1]), std::max(lanes[2], lanes[3]));
}

// Records are rare in most series: a block of this many samples whose largest is not
// above the bar is passed over whole.
inline constexpr std::size_t kRecordBlock = 256;

// The left-visible records of the stretch [lo, hi): the non-NaN positions r with v[r]
// greater than every non-NaN sample in [lo, r), ascending (in position and value).
inline std::vector<std::size_t> prefix_records(std::span<const double> v, std::size_t lo,
                                               std::size_t hi) {
    std::vector<std::size_t> records;
    std::size_t k = lo;
    while (k < hi && std::isnan(v[k])) ++k;
    if (k == hi) return records;
    double best = v[k];
    records.push_back(k);
    for (std::size_t from = k + 1; from < hi; from += kRecordBlock) {
        const std::size_t to = std::min(hi, from + kRecordBlock);
        if (!(block_max(v.data() + from, to - from) > best)) continue;
        for (std::size_t r = from; r < to; ++r) {
            // NaN compares false: never a record, never raises the bar.
            if (v[r] > best) {
                best = v[r];
                records.push_back(r);
            }
        }
    }
    return records;
}

}  // namespace kestrel
