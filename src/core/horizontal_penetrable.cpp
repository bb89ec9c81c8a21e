// Horizontal visibility with up to L blockers: a sample k between i < j blocks when
// v[k] >= fmin(v[i], v[j]) (NaN never blocks; the threshold is NaN only when both ends
// are NaN), and the pair is visible when at most L samples between block.
//
// Why the enumeration below is exact. Split the pairs by which end sets the threshold.
//   A. v[i] non-NaN and v[j] >= v[i] or NaN: the threshold is v[i] and the blockers are
//      the samples between with value >= v[i]. A non-NaN high j (v[j] >= v[i]) is then
//      visible exactly when it is one of the first L + 1 samples after i with value >=
//      v[i] (those before it are its blockers). A NaN high is visible exactly when it
//      lies before the (L + 1)-th of them.
//   B. v[j] non-NaN and v[i] > v[j] or NaN: the threshold is v[j]. Mirror image: a
//      non-NaN low is visible when it is one of the first L + 1 samples before j with
//      value >= v[j], and its value is strictly greater (an equal one falls under A); a
//      NaN low when it lies after the (L + 1)-th of them.
//   C. both NaN: nothing blocks; every such pair is visible.
// Every pair falls under exactly one case. "First sample at or after p with value >= t"
// is a descent in a max-tree (NaN counts as below everything), O(log distance) from p.
// Time O(n (L + 1) log n) in the worst case, close to O(n (L + 1)) on noise and walks
// (the next blocker is near), plus the output; edges are put in order by one counting
// pass and short sorts per low end.
#include <algorithm>
#include <cmath>
#include <limits>

#include "core/memory.hpp"
#include "core/cancel.hpp"
#include "core/edge_collector.hpp"
#include "core/variants.hpp"

namespace kestrel {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// Max-tree of the non-NaN values. A threshold t > -inf is never met by a NaN leaf (stored
// as -inf) nor by the padding; t = -inf is answered from the lists of non-NaN positions.
class ThresholdTree {
public:
    explicit ThresholdTree(std::span<const double> v) : n_(v.size()) {
        while (size_ < n_) size_ <<= 1;
        top_.assign(2 * size_, -kInf);
        for (std::size_t k = 0; k < n_; ++k) top_[size_ + k] = std::isnan(v[k]) ? -kInf : v[k];
        for (std::size_t i = size_ - 1; i >= 1; --i) top_[i] = std::max(top_[2 * i], top_[2 * i + 1]);
        next_non_nan_.assign(n_ + 1, n_);
        for (std::size_t k = n_; k-- > 0;) next_non_nan_[k] = std::isnan(v[k]) ? next_non_nan_[k + 1] : k;
        previous_non_nan_.assign(n_ + 1, kNone);  // shifted by one: [p + 1] answers p
        for (std::size_t k = 0; k < n_; ++k) {
            previous_non_nan_[k + 1] = std::isnan(v[k]) ? previous_non_nan_[k] : k;
        }
    }

    // First position >= p with a non-NaN value >= t; n when there is none.
    std::size_t first_at_or_after(std::size_t p, double t) const {
        if (p >= n_) return n_;
        if (t == -kInf) return next_non_nan_[p];
        // The answer is usually near: a few leaves in a row before the climb.
        const std::size_t near = std::min(n_, p + 8);
        for (std::size_t k = p; k < near; ++k) {
            if (top_[size_ + k] >= t) return k;
        }
        if (near == n_) return n_;
        std::size_t i = near + size_;
        for (;;) {
            if (top_[i] >= t) {
                while (i < size_) {
                    i = 2 * i;
                    if (!(top_[i] >= t)) ++i;
                }
                return i - size_;
            }
            while (i & 1) {  // a right child: climb until a left child
                i >>= 1;
                if (i == 0) return n_;
            }
            ++i;  // its right sibling, the next range to the right
        }
    }

    // Last position <= p with a non-NaN value >= t; kNone when there is none.
    std::size_t last_at_or_before(std::size_t p, double t) const {
        if (p == kNone) return kNone;
        if (t == -kInf) return previous_non_nan_[p + 1];
        const std::size_t near = p >= 8 ? p - 8 : kNone;
        for (std::size_t k = p + 1; k-- > (near == kNone ? 0 : near + 1);) {
            if (top_[size_ + k] >= t) return k;
        }
        if (near == kNone) return kNone;
        std::size_t i = near + size_;
        for (;;) {
            if (top_[i] >= t) {
                while (i < size_) {
                    i = 2 * i + 1;
                    if (!(top_[i] >= t)) --i;
                }
                return i - size_;
            }
            while (!(i & 1)) i >>= 1;  // a left child: climb until a right child
            if (i == 1) return kNone;  // the root: nothing further left
            --i;                       // its left sibling
        }
    }

private:
    std::size_t n_;
    std::size_t size_ = 1;
    std::vector<double> top_;
    std::vector<std::size_t> next_non_nan_;
    std::vector<std::size_t> previous_non_nan_;
};

// Calls emit(i, j) once per visible pair, in no particular order.
template <class Emit>
void penetrable_pairs(std::span<const double> v, std::size_t limit, bool skip_adjacent, Emit&& emit) {
    const std::size_t n = v.size();
    if (n < 2) return;
    limit = std::min(limit, n);  // no pair has more than n - 2 samples between
    const ThresholdTree tree(v);
    std::vector<std::size_t> nans;
    for (std::size_t k = 0; k < n; ++k) {
        if (std::isnan(v[k])) nans.push_back(k);
    }
    WorkPoll poll;
    auto visit = [&](std::size_t i, std::size_t j) {
        poll.tick();
        if (!(skip_adjacent && j == i + 1)) emit(i, j);
    };
    for (std::size_t i = 0; i < n; ++i) {
        poll.tick();
        const double t = v[i];
        if (std::isnan(t)) continue;
        // A: highs with value >= v[i], then NaN highs before the (L + 1)-th of them.
        std::size_t p = i;
        std::size_t found = 0;
        while (found <= limit) {
            poll.tick();  // one tree search
            p = tree.first_at_or_after(p + 1, t);
            if (p >= n) break;
            visit(i, p);
            ++found;
        }
        const std::size_t end = found > limit ? p : n;
        for (auto at = std::upper_bound(nans.begin(), nans.end(), i); at != nans.end() && *at < end; ++at) {
            visit(i, *at);
        }
        // B: lows before i with value > v[i], then NaN lows after the (L + 1)-th.
        std::size_t q = i;
        found = 0;
        while (found <= limit) {
            poll.tick();
            q = q == 0 ? kNone : tree.last_at_or_before(q - 1, t);
            if (q == kNone) break;
            if (v[q] > t) visit(q, i);
            ++found;
        }
        const std::size_t start = found > limit ? q : kNone;
        for (auto at = std::lower_bound(nans.begin(), nans.end(), i); at != nans.begin();) {
            --at;
            if (start != kNone && *at < start) break;
            visit(*at, i);
        }
    }
    // C: every pair of NaN samples.
    for (std::size_t a = 0; a < nans.size(); ++a) {
        for (std::size_t b = a + 1; b < nans.size(); ++b) visit(nans[a], nans[b]);
    }
}

}  // namespace

std::vector<Edge> horizontal_penetrable_edges(std::span<const double> v, std::size_t penetrable,
                                              bool skip_adjacent) {
    // Pairs arrive unordered. A first pass counts each low's pairs and stages them; then
    // each pair is put into its low's range and each range is sorted by high. Staging is
    // capped at 8 n pairs (about L <= 2; a graph has about 2 (L + 1) n), so the peak stays
    // the result plus O(n): past the cap the pass only counts, and a second pass puts the
    // pairs straight into their ranges. Ranges hold about 2 (L + 1) highs each (more only
    // around NaN samples), so the sorts are short.
    const std::size_t n = v.size();
    const std::size_t cap = 8 * n + (std::size_t{1} << 16);
    std::vector<std::size_t> start(n + 1, 0);
    EdgeCollector staged;
    bool staging = true;
    penetrable_pairs(v, penetrable, skip_adjacent, [&](std::size_t i, std::size_t j) {
        ++start[i + 1];
        if (!staging) return;
        if (staged.size() == cap) {
            staging = false;
            staged.clear();
            return;
        }
        staged.push(Edge{i, j});
    });
    for (std::size_t k = 0; k < n; ++k) start[k + 1] += start[k];
    std::vector<Edge> edges;
    reserve_large(edges, start[n]);
    edges.resize(start[n]);
    {
        std::vector<std::size_t> cursor(start.begin(), start.end() - (n == 0 ? 0 : 1));
        auto place = [&](std::size_t i, std::size_t j) { edges[cursor[i]++] = Edge{i, j}; };
        if (staging) {
            staged.drain([&](const Edge& e) { place(e.low, e.high); });
        } else {
            penetrable_pairs(v, penetrable, skip_adjacent, place);
        }
    }
    for (std::size_t k = 0; k < n; ++k) {
        const auto first = edges.begin() + static_cast<std::ptrdiff_t>(start[k]);
        const auto last = edges.begin() + static_cast<std::ptrdiff_t>(start[k + 1]);
        if (last - first <= 16) {
            for (auto it = first + (first == last ? 0 : 1); it < last; ++it) {
                const Edge e = *it;
                auto at = it;
                while (at > first && (at - 1)->high > e.high) {
                    *at = *(at - 1);
                    --at;
                }
                *at = e;
            }
        } else {
            std::sort(first, last, edge_less);
        }
    }
    return edges;
}

std::vector<std::uint64_t> horizontal_penetrable_degrees(std::span<const double> v,
                                                         std::size_t penetrable,
                                                         bool skip_adjacent) {
    DegreeCounter counter(v.size());
    penetrable_pairs(v, penetrable, skip_adjacent, counter);
    return std::move(counter.degrees);
}

}  // namespace kestrel
