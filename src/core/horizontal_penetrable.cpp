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
// Every pair falls under exactly one case. The first L + 1 samples after (or before) i
// with value >= v[i] are read from a linked list of the samples that reach v[i] (see
// penetrable_pairs): O(n (L + 1) + m) time and O(n) memory besides the edges; edges are
// put in order by one counting pass and short sorts per low end.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include "core/memory.hpp"
#include "core/cancel.hpp"
#include "core/edge_collector.hpp"
#include "core/variants.hpp"

namespace kestrel {

namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// The non-NaN positions in ascending order of value (-0 and +0 as one value): by a radix
// sort on the values' order-preserving 64-bit keys, four passes of 16 bits, O(n); short
// series by a comparison sort.
std::vector<std::size_t> positions_by_value(std::span<const double> v) {
    std::vector<std::size_t> order;
    std::vector<std::uint64_t> keys;
    for (std::size_t k = 0; k < v.size(); ++k) {
        if (std::isnan(v[k])) continue;
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(v[k] + 0.0);  // -0 + 0 = +0
        keys.push_back(bits >> 63 ? ~bits : bits | (std::uint64_t{1} << 63));
        order.push_back(k);
    }
    const std::size_t m = order.size();
    if (m < (std::size_t{1} << 14)) {
        std::vector<std::size_t> index(m);
        for (std::size_t t = 0; t < m; ++t) index[t] = t;
        std::sort(index.begin(), index.end(), [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
        std::vector<std::size_t> sorted(m);
        for (std::size_t t = 0; t < m; ++t) sorted[t] = order[index[t]];
        return sorted;
    }
    std::vector<std::uint64_t> key_out(m);
    std::vector<std::size_t> order_out(m);
    std::vector<std::size_t> count(std::size_t{1} << 16);
    for (int shift = 0; shift < 64; shift += 16) {
        std::fill(count.begin(), count.end(), 0);
        for (std::size_t t = 0; t < m; ++t) ++count[(keys[t] >> shift) & 0xffff];
        std::size_t sum = 0;
        for (std::size_t& c : count) sum += std::exchange(c, sum);
        for (std::size_t t = 0; t < m; ++t) {
            const std::size_t at = count[(keys[t] >> shift) & 0xffff]++;
            key_out[at] = keys[t];
            order_out[at] = order[t];
        }
        keys.swap(key_out);
        order.swap(order_out);
    }
    return order;
}

// Calls emit(i, j) once per visible pair, in no particular order.
//
// The samples are taken in ascending order of value, each run of equal values together,
// from a doubly linked list of positions that at that moment holds exactly the non-NaN
// samples with value >= the run's value (every smaller one was unlinked after its own
// run). So for a sample i of the run, the first L + 1 samples after i with value >= v[i]
// are the next L + 1 entries of the list after i (case A), and the first L + 1 before it
// the previous L + 1 (case B): O(L + 1) steps per sample. NaN highs and lows come from
// the chains of next and previous NaN positions, one step each. O(n (L + 1) + m) in all.
template <class Emit>
void penetrable_pairs(std::span<const double> v, std::size_t limit, bool skip_adjacent, Emit&& emit) {
    const std::size_t n = v.size();
    if (n < 2) return;
    limit = std::min(limit, n);  // no pair has more than n - 2 samples between
    const std::vector<std::size_t> order = positions_by_value(v);
    // The list: node k + 1 for position k, 0 the head and n + 1 the tail. A node holds its
    // links and its sample's value, so one step of a walk reads one place in memory.
    struct Node {
        std::size_t previous;
        std::size_t next;
        double value;
    };
    std::vector<Node> list(n + 2);
    for (std::size_t k = 0; k < n + 2; ++k) {
        list[k] = Node{k == 0 ? 0 : k - 1, k + 1, k >= 1 && k <= n ? v[k - 1] : 0.0};
    }
    auto unlink = [&](std::size_t k) {
        const Node& node = list[k + 1];
        list[node.previous].next = node.next;
        list[node.next].previous = node.previous;
    };
    // NaN positions around each position: first >= k (n when none) and last < k (kNone
    // when none), side by side.
    struct NanLinks {
        std::size_t next;
        std::size_t previous;
    };
    std::vector<NanLinks> nan_links(n + 1, NanLinks{n, kNone});
    std::vector<std::size_t> nans;
    for (std::size_t k = n; k-- > 0;) nan_links[k].next = std::isnan(v[k]) ? k : nan_links[k + 1].next;
    for (std::size_t k = 0; k < n; ++k) {
        nan_links[k + 1].previous = std::isnan(v[k]) ? k : nan_links[k].previous;
        if (std::isnan(v[k])) {
            nans.push_back(k);
            unlink(k);  // NaN never reaches a threshold
        }
    }
    WorkPoll poll;
    auto visit = [&](std::size_t i, std::size_t j) {
        poll.tick();
        if (!(skip_adjacent && j == i + 1)) emit(i, j);
    };
    for (std::size_t run = 0; run < order.size();) {
        const double t = v[order[run]];
        std::size_t run_end = run;
        while (run_end < order.size() && v[order[run_end]] == t) ++run_end;
        for (std::size_t r = run; r < run_end; ++r) {
            poll.tick();
            const std::size_t i = order[r];
            // A: highs with value >= v[i], then NaN highs before the (L + 1)-th of them.
            std::size_t p = i + 1;  // node of i
            std::size_t found = 0;
            std::size_t end = n;
            while (found <= limit) {
                poll.tick();
                p = list[p].next;
                if (p == n + 1) break;
                visit(i, p - 1);
                if (++found > limit) end = p - 1;
            }
            for (std::size_t q = nan_links[i + 1].next; q < end; q = nan_links[q + 1].next) visit(i, q);
            // B: lows before i with value > v[i], then NaN lows after the (L + 1)-th.
            std::size_t q = i + 1;
            found = 0;
            std::size_t start = kNone;
            while (found <= limit) {
                poll.tick();
                q = list[q].previous;
                if (q == 0) break;
                if (list[q].value > t) visit(q - 1, i);
                if (++found > limit) start = q - 1;
            }
            for (std::size_t a = nan_links[i].previous; a != kNone && (start == kNone || a > start);
                 a = nan_links[a].previous) {
                visit(a, i);
            }
        }
        for (std::size_t r = run; r < run_end; ++r) unlink(order[r]);
        run = run_end;
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
