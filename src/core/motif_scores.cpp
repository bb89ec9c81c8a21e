#include <algorithm>

#include "core/visibility.hpp"

namespace kestrel {

std::int64_t motif_score_from_count(std::uint64_t count, std::uint64_t window_size) {
    // Exact in 64 bits: a window holds at most w(w-1)/2 pairs, far below 2^63 for any
    // window a series in memory can hold, so neither side wraps.
    return static_cast<std::int64_t>(count) - static_cast<std::int64_t>(window_size - 1);
}

std::variant<std::vector<std::int64_t>, WindowError> horizontal_window_motif_scores(
    const Series& v, std::uint64_t window_size, bool skip_adjacent) {
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
    for (std::size_t i = 0; i < n; ++i) {
        // Pairs with j - i >= w lie in no window and are left out of the sweep.
        const std::size_t j_end = std::min(n, i + w);
        for (std::size_t j = i + 1; j < j_end; ++j) {
            if (skip_adjacent && j == i + 1) {
                continue;
            }
            if (!indices_are_horizontally_visible(v, i, j)) {
                continue;
            }
            const std::size_t first = j + 1 >= w ? j + 1 - w : 0;  // earliest window holding j
            const std::size_t last = std::min(i, n - w);           // latest window holding i
            if (first > last) {
                continue;
            }
            diff[first] += 1;
            diff[last + 1] -= 1;
        }
    }
    std::vector<std::int64_t> scores(windows);
    std::int64_t running = 0;
    for (std::size_t s = 0; s < windows; ++s) {
        running += diff[s];
        scores[s] = motif_score_from_count(static_cast<std::uint64_t>(running), w);
    }
    return scores;
}

}  // namespace kestrel
