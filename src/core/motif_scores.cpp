#include <algorithm>

#include "core/horizontal_sweep.hpp"
#include "core/visibility.hpp"

namespace kestrel {

std::int64_t motif_score_from_count(std::uint64_t count, std::uint64_t window_size) {
    // Exact in 64 bits: a window holds at most w(w-1)/2 pairs, far below 2^63 for any
    // window a series in memory can hold, so neither side wraps.
    return static_cast<std::int64_t>(count) - static_cast<std::int64_t>(window_size - 1);
}

namespace {

// Window count from the difference array: scores[s] = prefix sum of diff up to s,
// minus the window's w - 1 neighbouring pairs.
std::vector<std::int64_t> scores_from_differences(const std::vector<std::int64_t>& diff,
                                                  std::size_t windows, std::size_t w) {
    std::vector<std::int64_t> scores(windows);
    std::int64_t running = 0;
    for (std::size_t s = 0; s < windows; ++s) {
        running += diff[s];
        scores[s] = motif_score_from_count(static_cast<std::uint64_t>(running), w);
    }
    return scores;
}

// Credits a visible pair (i, j) to every window holding both ends: windows
// first..last, first = the earliest holding j, last = the latest holding i.
inline void credit_pair(std::vector<std::int64_t>& diff, std::size_t i, std::size_t j,
                        std::size_t n, std::size_t w) {
    const std::size_t first = j + 1 >= w ? j + 1 - w : 0;
    const std::size_t last = std::min(i, n - w);
    if (first > last) {
        return;  // j - i >= w: the pair lies in no window
    }
    diff[first] += 1;
    diff[last + 1] -= 1;
}

// The window checks, the difference array and the scores around `credit_all(diff, w)`,
// which credits every visible pair of the series with j - i < w.
template <class CreditAll>
std::variant<std::vector<std::int64_t>, WindowError> scores_over_windows(
    const Series& v, std::uint64_t window_size, CreditAll credit_all) {
    const std::size_t n = v.size();
    // Both checks compare the full 64-bit window size before it is used as a size.
    if (window_size == 0) {
        return WindowError::zero_window;
    }
    if (window_size > static_cast<std::uint64_t>(n)) {
        return WindowError::window_too_large;
    }
    const auto w = static_cast<std::size_t>(window_size);
    const std::size_t windows = n - w + 1;
    // diff[s] is the change of the pair count from window s-1 to window s; the last
    // entry only absorbs the closing decrements of pairs in the last window.
    std::vector<std::int64_t> diff(windows + 1, 0);
    credit_all(diff, w);
    return scores_from_differences(diff, windows, w);
}

}  // namespace

std::variant<std::vector<std::int64_t>, WindowError> horizontal_window_motif_scores(
    const Series& v, std::uint64_t window_size, bool skip_adjacent) {
    return scores_over_windows(v, window_size, [&](std::vector<std::int64_t>& diff, std::size_t w) {
        // Whether (i, j) is visible depends only on the samples i..j, so the pairs of the
        // whole series' horizontal graph are exactly the visible pairs of every window.
        horizontal_sweep(v, skip_adjacent, [&](std::size_t i, std::size_t j) {
            if (j - i < w) credit_pair(diff, i, j, v.size(), w);
        });
    });
}

std::variant<std::vector<std::int64_t>, WindowError> reference_window_motif_scores(
    const Series& v, std::uint64_t window_size, bool skip_adjacent) {
    return scores_over_windows(v, window_size, [&](std::vector<std::int64_t>& diff, std::size_t w) {
        const std::size_t n = v.size();
        for (std::size_t i = 0; i < n; ++i) {
            // Pairs with j - i >= w lie in no window and are left out of the sweep.
            const std::size_t j_end = std::min(n, i + w);
            for (std::size_t j = i + 1; j < j_end; ++j) {
                if (skip_adjacent && j == i + 1) {
                    continue;
                }
                if (indices_are_horizontally_visible(v, i, j)) {
                    credit_pair(diff, i, j, n, w);
                }
            }
        }
    });
}

}  // namespace kestrel
