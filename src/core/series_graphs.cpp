#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>

#include "core/edge_collector.hpp"
#include "core/fault.hpp"
#include "core/horizontal_sweep.hpp"
#include "core/memory.hpp"
#include "core/parallel.hpp"
#include "core/visibility.hpp"

namespace kestrel {

namespace {

// Reference: adds vertices lo..hi at their whole-series x and joins every visible pair
// inside the stretch, numbering vertices from 0 at lo. Pairs are visited in (low, high)
// lexicographic order, so the record's ascending fast path takes every edge.
VisibilityGraph reference_stretch(const Series& v, std::size_t lo, std::size_t hi,
                                  bool skip_adjacent, VisibilityRule rule) {
    VisibilityGraph graph;
    graph.reserve_vertices(hi - lo + 1);
    for (std::size_t k = lo; k <= hi; ++k) {
        graph.add_vertex(static_cast<double>(k), v[k]);
    }
    for (std::size_t k = lo; k <= hi; ++k) {
        for (std::size_t f = k + 1; f <= hi; ++f) {
            if (skip_adjacent && f == k + 1) {
                continue;
            }
            if (rule_test(rule, v, k, f)) {
                // Both ends exist and each pair is visited once: never rejected.
                (void)graph.add_edge(k - lo, f - lo);
            }
        }
    }
    return graph;
}

// Vertices (x_of(k), v[k]) in a fresh block of exactly their number, each page written
// once (never cleared first) by a loop without capacity checks.
template <class X>
SharedRows<Vertex> vertex_rows(std::span<const double> v, X&& x_of) {
    if (v.empty()) return {};
    std::unique_ptr<Vertex[]> block = std::make_unique_for_overwrite<Vertex[]>(v.size());
    prefer_huge_pages(block.get(), v.size() * sizeof(Vertex));
    Vertex* const out = block.get();
    for (std::size_t k = 0; k < v.size(); ++k) out[k] = Vertex{x_of(k), v[k]};
    return SharedRows<Vertex>(std::move(block), v.size(), 0, v.size());
}

// Fast: the stretch's edges from the fast methods on a view of it (both rules read only
// the two ends and the samples between, all inside the stretch), vertices at their
// whole-series x, both moved into the record as they were made.
VisibilityGraph fast_stretch(const Series& v, std::size_t lo, std::size_t hi,
                             bool skip_adjacent, VisibilityRule rule) {
    const std::span<const double> stretch(v.data() + lo, hi - lo + 1);
    SharedRows<Edge> edges = visibility_edge_rows(stretch, skip_adjacent, rule, 1);
    SharedRows<Vertex> vertices =
        vertex_rows(stretch, [lo](std::size_t t) { return static_cast<double>(lo + t); });
    return VisibilityGraph::from_sorted(std::move(vertices), std::move(edges));
}

}  // namespace

VisibilityGraph reference_series_graph(const Series& v, bool skip_adjacent, VisibilityRule rule) {
    if (v.empty()) {
        return VisibilityGraph{};
    }
    return reference_stretch(v, 0, v.size() - 1, skip_adjacent, rule);
}

std::optional<VisibilityGraph> reference_series_subgraph(const Series& v, std::size_t i,
                                                         std::size_t j, bool skip_adjacent,
                                                         VisibilityRule rule) {
    if (i >= v.size() || j >= v.size()) {
        return std::nullopt;
    }
    return reference_stretch(v, std::min(i, j), std::max(i, j), skip_adjacent, rule);
}

// The starting states of every chunk, from the chunks' own prefix records and NaN
// positions (found in parallel). Folding chunk c into the state from the right is the
// sweep's own step: R(lo - 1) is chunk c's prefix records followed by the records of
// R(hi - 1) above chunk c's largest value (a record r >= hi stays one exactly when v[r]
// exceeds every non-NaN sample in [lo, hi), that is the last prefix record of chunk c).
// Chunk 0's records would only start a chunk before it, so they are not gathered.
std::vector<ChunkStart> chunk_starts(std::span<const double> v, std::span<const std::size_t> cuts,
                                     bool gather_nans) {
    const std::size_t chunks = cuts.size() - 1;
    std::vector<std::vector<std::size_t>> records(chunks);
    std::vector<std::vector<std::size_t>> nans(chunks);
    run_parallel(chunks, [&](std::size_t c) {
        for (std::size_t k = cuts[c]; gather_nans && k < cuts[c + 1]; ++k) {
            if (std::isnan(v[k])) nans[c].push_back(k);
        }
        if (c > 0) records[c] = prefix_records(v, cuts[c], cuts[c + 1]);
    });
    std::vector<ChunkStart> starts(chunks);
    std::vector<std::size_t> stack;     // R(cuts[c + 1] - 1), nearest last
    std::vector<std::size_t> nan_stack;  // NaN positions >= cuts[c + 1], nearest last
    for (std::size_t c = chunks; c-- > 0;) {
        starts[c] = ChunkStart{stack, nan_stack};
        if (c == 0) break;
        if (!records[c].empty()) {
            const double top = v[records[c].back()];
            while (!stack.empty() && !(v[stack.back()] > top)) stack.pop_back();
        }
        stack.insert(stack.end(), records[c].rbegin(), records[c].rend());
        nan_stack.insert(nan_stack.end(), nans[c].rbegin(), nans[c].rend());
    }
    return starts;
}

namespace {

bool single_chunk(std::span<const std::size_t> cuts) { return cuts.size() <= 2; }

// A lone chunk starts from nothing.
std::vector<ChunkStart> starts_of(std::span<const double> v, std::span<const std::size_t> cuts,
                                  bool gather_nans) {
    return single_chunk(cuts) ? std::vector<ChunkStart>(1) : chunk_starts(v, cuts, gather_nans);
}

// Each chunk's sweep yields its lows descending, every low's highs ascending and in one
// run, so one pass counts each low's edges and a second writes each low's run straight
// into place, the chunk's runs filling its range from the top down. The chunks' ranges
// follow one another in order of their lows, so the whole array is in ascending
// (low, high) order with no sort: O(n + m) time. `allocate(m)` gives room for the m
// edges once they are counted; each chunk first touches its own range.
template <class Allocate>
void chunked_horizontal_edges(std::span<const double> v, bool skip_adjacent,
                              std::span<const std::size_t> cuts, std::vector<ChunkStart> starts,
                              Allocate&& allocate) {
    const std::size_t n = v.size();
    const std::size_t chunks = cuts.size() - 1;
    std::vector<std::size_t> count(n, 0);
    std::vector<std::size_t> first(chunks + 1, 0);  // where each chunk's range starts
    run_parallel(chunks, [&](std::size_t c) {
        std::size_t total = 0;
        horizontal_sweep_lows(v, cuts[c], cuts[c + 1], starts[c].stack, starts[c].nans, skip_adjacent,
                              [&](std::size_t i, std::size_t) {
                                  ++count[i];
                                  ++total;
                              });
        first[c + 1] = total;
    });
    for (std::size_t c = 0; c < chunks; ++c) first[c + 1] += first[c];
    Edge* const edges = allocate(first[chunks]);
    run_parallel(chunks, [&](std::size_t c) {
        std::size_t current = std::numeric_limits<std::size_t>::max();
        std::size_t end = first[c + 1];
        std::size_t cursor = 0;
        horizontal_sweep_lows(v, cuts[c], cuts[c + 1], std::move(starts[c].stack),
                              std::move(starts[c].nans), skip_adjacent,
                              [&](std::size_t i, std::size_t j) {
                                  if (i != current) {
                                      current = i;
                                      end -= count[i];
                                      cursor = end;
                                  }
                                  edges[cursor++] = Edge{i, j};
                              });
    });
}

// One sweep of the lows [lo, hi) from `stack` (no NaN anywhere), the edges written from
// out[room] downwards in ascending order: out[top, room); returns top. It is the step of
// horizontal_sweep_lows, arranged to spare branches that random data cannot predict:
//  - The stack keeps each record's value beside its position, above kGuard sentinels of
//    value +inf. Its values grow strictly downward, so the records below y form a run at
//    the top, counted by four comparisons (a longer run by a loop), and the first record
//    not below y is visible (popped too when equal), unless it is a sentinel.
//  - Low i's highs are the run's positions, nearest (smallest) first, so its e edges go to
//    out[top - e, top) ascending by writing out[top - 1 - k] = the (e - k)-th nearest.
//    Four such stores are made whatever e is: those past the run land in room no edge
//    holds yet, which the next runs overwrite; the positions they read may lie just above
//    the stack's top, inside its storage.
//  - With skip_adjacent, the nearest high (i + 1: without NaN the next sample is always a
//    record) is the one left out, the last of the stores.
// Room enough: without NaN no two edges cross (for a < c < b < d, (a, b) needs v[c] < v[b]
// and (c, d) needs v[b] < v[c]), so the edges among any k samples are at most 2k - 3
// (outerplanar); the edges of these lows join the k = (hi - lo) + stack.size() samples of
// the stretch and its starting records.
// Returns nullopt at the first NaN low, which this sweep does not take.
std::optional<std::size_t> sweep_top_down(std::span<const double> v, std::size_t lo, std::size_t hi,
                                          const std::vector<std::size_t>& stack, bool skip_adjacent,
                                          Edge* out, std::size_t room) {
    constexpr std::size_t kGuard = 4;
    constexpr std::size_t kStores = 4;
    constexpr double kInf = std::numeric_limits<double>::infinity();
    // Storage past the top: kStores readable slots at any time.
    std::vector<double> values(kGuard + stack.size() + 64, kInf);
    std::vector<std::size_t> positions(values.size(), 0);
    std::size_t sp = kGuard;
    for (const std::size_t r : stack) {
        values[sp] = v[r];
        positions[sp++] = r;
    }
    std::size_t top = room;
    WorkPoll poll;
    for (std::size_t i = hi; i-- > lo;) {
        const double y = v[i];
        if (std::isnan(y)) [[unlikely]] return std::nullopt;
        std::size_t below = static_cast<std::size_t>(values[sp - 1] < y) + (values[sp - 2] < y) +
                            (values[sp - 3] < y) + (values[sp - 4] < y);
        if (below == 4) {
            while (values[sp - 1 - below] < y) ++below;  // stops at a sentinel at the latest
        }
        const std::size_t stop = sp - 1 - below;  // the first record not below y
        const bool real = stop >= kGuard;
        const std::size_t visible = below + real;
        const std::size_t edges = visible - (skip_adjacent && visible > 0);
        poll.tick(1 + edges);
        const std::size_t deepest = sp - visible;
        if (top >= kStores && edges <= kStores) [[likely]] {
            for (std::size_t k = 0; k < kStores; ++k) out[top - 1 - k] = Edge{i, positions[deepest + k]};
        } else {
            if (top < edges) [[unlikely]] fault("horizontal edges beyond 2k - 3");
            for (std::size_t k = 0; k < edges; ++k) out[top - 1 - k] = Edge{i, positions[deepest + k]};
        }
        top -= edges;
        sp -= below + (real && values[stop] == y);
        values[sp] = y;
        positions[sp++] = i;
        if (sp + kStores >= values.size()) {
            values.resize(2 * values.size(), kInf);
            positions.resize(values.size(), 0);
        }
    }
    return top;
}

std::size_t outerplanar_room(std::size_t samples) { return samples < 2 ? 0 : 2 * samples - 3; }

// Moves data[from, from + count) down to data[to, to + count), to <= from, in pieces on
// `threads` threads. A piece's target may reach over the last (from - to) slots of the
// piece before it, so those are saved first and put in place by their own piece.
void move_down(Edge* data, std::size_t from, std::size_t to, std::size_t count,
               std::size_t threads) {
    const std::size_t shift = from - to;
    if (shift == 0 || count == 0) return;
    const std::vector<std::size_t> pieces = even_cuts(count, threads);
    const std::size_t parts = pieces.size() - 1;
    bool whole = parts == 1;
    for (std::size_t p = 0; p < parts; ++p) whole = whole || pieces[p + 1] - pieces[p] < shift;
    if (whole) {
        std::memmove(data + to, data + from, count * sizeof(Edge));
        return;
    }
    std::vector<Edge> tails(parts * shift);
    for (std::size_t p = 0; p + 1 < parts; ++p) {
        std::memcpy(tails.data() + p * shift, data + from + pieces[p + 1] - shift, shift * sizeof(Edge));
    }
    run_parallel(parts, [&](std::size_t p) {
        const std::size_t length = pieces[p + 1] - pieces[p];
        const std::size_t own = p + 1 < parts ? length - shift : length;  // read in place
        std::memmove(data + to + pieces[p], data + from + pieces[p], own * sizeof(Edge));
        if (p + 1 < parts) {
            std::memcpy(data + to + pieces[p] + own, tails.data() + p * shift, shift * sizeof(Edge));
        }
    });
}

// Lows of [lo, hi) above every non-NaN sample after them, `above` being the largest from
// hi on (-inf: none); a NaN is never one.
std::size_t summits(std::span<const double> v, std::size_t lo, std::size_t hi, double above) {
    std::size_t count = 0;
    for (std::size_t to = hi; to > lo;) {
        const std::size_t from = to - std::min(to - lo, kRecordBlock);
        if (block_max(v.data() + from, to - from) > above) {
            for (std::size_t k = to; k-- > from;) {
                if (v[k] > above) {
                    above = v[k];
                    ++count;
                }
            }
        }
        to = from;
    }
    return count;
}

// The most edges sweep_top_down writes for a chunk of `length` lows, from a starting
// stack of `starting` records to one of `leaving` (the next chunk's start).
// Without NaN: a low's edges are the records it pops below it, plus the first record not
// below it unless the low is a summit (none is left); with skip_adjacent, one less for
// every low but one with an empty stack (only the series' last, in the last chunk). The
// pops number starting + length - leaving, and a pop of an equal record is that low's
// edge to the first record not below it, counted twice here: the room exceeds the edges
// by the ties alone.
// With NaN (records, summits and stacks all pass NaN over): the sweep stops at the
// chunk's last NaN, having written the first edges of the same chunk without its NaN
// samples, whose room is this one less one or two per NaN: the room still holds them.
std::size_t sweep_room(std::size_t length, std::size_t starting, std::size_t leaving,
                       std::size_t summit_count, bool skip_adjacent) {
    // Subtracted in this order no step goes below the result, which is >= 0.
    return starting + 2 * length - leaving - summit_count -
           (skip_adjacent ? length - (starting == 0) : 0);
}

// One sweep per chunk, each into a region of its own, so no pass counts first; nullopt
// when the series holds a NaN (found by the sweeps: `starts` need not list NaN positions).
// Chunk 0's region has the outerplanar size, the others their sweep_room: exact up to
// ties, so without ties each chunk ends where the next begins. The regions lie one after
// another; each chunk's edges fill its region from the top, so chunk 0 ends where chunk
// 1's region begins, and a later chunk that left room unused (ties) is moved down over it.
// The middle chunks' summits are counted first (the regions after them depend on them);
// the last chunk counts its own on its thread. `allocate(room)` gives the room; returns
// where the edges start and how many there are.
template <class Allocate>
std::optional<std::pair<std::size_t, std::size_t>> one_sweep_edges(std::span<const double> v,
                                                                   bool skip_adjacent,
                                                                   std::span<const std::size_t> cuts,
                                                                   const std::vector<ChunkStart>& starts,
                                                                   Allocate&& allocate) {
    const std::size_t chunks = cuts.size() - 1;
    const std::size_t last = chunks - 1;
    auto summits_of = [&](std::size_t c) {
        const std::vector<std::size_t>& after = starts[c].stack;  // deepest: the largest
        return summits(v, cuts[c], cuts[c + 1],
                       after.empty() ? -std::numeric_limits<double>::infinity() : v[after.front()]);
    };
    std::vector<std::size_t> summit_counts(chunks, 0);
    if (chunks > 2) run_parallel(chunks - 2, [&](std::size_t k) { summit_counts[k + 1] = summits_of(k + 1); });
    auto room_of = [&](std::size_t c, std::size_t summit_count) {
        const std::size_t length = cuts[c + 1] - cuts[c];
        if (c == 0) return outerplanar_room(length + starts[0].stack.size());
        return sweep_room(length, starts[c].stack.size(), starts[c - 1].stack.size(), summit_count,
                          skip_adjacent);
    };
    std::vector<std::size_t> base(chunks + 1, 0);
    for (std::size_t c = 0; c < chunks; ++c) base[c + 1] = base[c] + room_of(c, summit_counts[c]);
    // The last chunk's room is taken with no summit here, an upper bound of its own.
    Edge* const out = allocate(base[chunks]);
    std::vector<std::optional<std::size_t>> tops(chunks);
    std::vector<std::size_t> rooms(chunks);
    run_parallel(chunks, [&](std::size_t c) {
        rooms[c] = c == last && c > 0 ? room_of(c, summits_of(c)) : base[c + 1] - base[c];
        tops[c] = sweep_top_down(v, cuts[c], cuts[c + 1], starts[c].stack, skip_adjacent, out + base[c],
                                 rooms[c]);
    });
    if (std::any_of(tops.begin(), tops.end(), [](const auto& top) { return !top; })) return std::nullopt;
    std::size_t end = base[1];
    for (std::size_t c = 1; c < chunks; ++c) {
        const std::size_t count = rooms[c] - *tops[c];
        move_down(out, base[c] + *tops[c], end, count, chunks);
        end += count;
    }
    return std::pair{*tops[0], end - *tops[0]};
}

}  // namespace

std::vector<Edge> horizontal_visibility_edges(std::span<const double> v, bool skip_adjacent,
                                              std::span<const std::size_t> cuts) {
    std::vector<Edge> edges;
    // The room is cleared (a vector's elements exist), the edges moved to its front; room
    // left over beyond a quarter of the edges (sparse graphs: monotone stretches) is
    // given back, so the record never holds much more than its edges.
    // NaN positions are gathered only once a sweep has met a NaN.
    const std::vector<ChunkStart> starts = starts_of(v, cuts, false);
    const auto swept = one_sweep_edges(v, skip_adjacent, cuts, starts, [&](std::size_t room) {
        reserve_large(edges, room);
        edges.resize(room);
        return edges.data();
    });
    if (!swept) {
        edges = {};
        chunked_horizontal_edges(v, skip_adjacent, cuts, starts_of(v, cuts, true), [&](std::size_t m) {
            reserve_large(edges, m);
            edges.resize(m);
            return edges.data();
        });
        return edges;
    }
    const auto [first, count] = *swept;
    if (first != 0) std::memmove(edges.data(), edges.data() + first, count * sizeof(Edge));
    edges.resize(count);
    if (edges.capacity() - count > count / 4) edges.shrink_to_fit();
    return edges;
}

EdgeBuffer horizontal_visibility_edge_buffer(std::span<const double> v, bool skip_adjacent,
                                             std::span<const std::size_t> cuts) {
    EdgeBuffer buffer;
    // Pages no edge reaches are never touched.
    // NaN positions are gathered only once a sweep has met a NaN.
    const std::vector<ChunkStart> starts = starts_of(v, cuts, false);
    const auto swept = one_sweep_edges(v, skip_adjacent, cuts, starts, [&](std::size_t room) {
        buffer = EdgeBuffer::with_room(room);
        return buffer.storage.get();
    });
    if (!swept) {
        buffer = EdgeBuffer{};
        chunked_horizontal_edges(v, skip_adjacent, cuts, starts_of(v, cuts, true), [&](std::size_t m) {
            buffer = EdgeBuffer::with_room(m);
            buffer.size = m;
            return buffer.storage.get();
        });
        return buffer;
    }
    buffer.first = swept->first;
    buffer.size = swept->second;
    return buffer;
}

std::vector<std::uint64_t> horizontal_visibility_degrees(std::span<const double> v,
                                                         bool skip_adjacent,
                                                         std::span<const std::size_t> cuts) {
    DegreeCounter counter(v.size());
    if (single_chunk(cuts)) {
        horizontal_sweep(v, skip_adjacent, counter);
        return std::move(counter.degrees);
    }
    // A chunk counts both ends of its pairs inside it; a high beyond it is a record of its
    // starting stack or a NaN after it, counted against that entry and added in afterwards,
    // so no two threads ever write the same count.
    const std::size_t chunks = cuts.size() - 1;
    const std::vector<ChunkStart> starts = chunk_starts(v, cuts);
    std::vector<std::vector<std::uint64_t>> stack_hits(chunks);
    std::vector<std::vector<std::uint64_t>> nan_hits(chunks);
    std::vector<std::uint64_t>& degrees = counter.degrees;
    run_parallel(chunks, [&](std::size_t c) {
        const ChunkStart& start = starts[c];
        stack_hits[c].assign(start.stack.size(), 0);
        nan_hits[c].assign(start.nans.size(), 0);
        const std::size_t hi = cuts[c + 1];
        // Both lists are in descending position.
        auto slot = [](const std::vector<std::size_t>& list, std::size_t j) {
            return static_cast<std::size_t>(
                std::lower_bound(list.begin(), list.end(), j, std::greater<>()) - list.begin());
        };
        horizontal_sweep_lows(v, cuts[c], hi, start.stack, start.nans, skip_adjacent,
                              [&](std::size_t i, std::size_t j) {
                                  ++degrees[i];
                                  if (j < hi) {
                                      ++degrees[j];
                                  } else if (std::isnan(v[j])) {
                                      ++nan_hits[c][slot(start.nans, j)];
                                  } else {
                                      ++stack_hits[c][slot(start.stack, j)];
                                  }
                              });
    });
    for (std::size_t c = 0; c < chunks; ++c) {
        for (std::size_t k = 0; k < starts[c].stack.size(); ++k) degrees[starts[c].stack[k]] += stack_hits[c][k];
        for (std::size_t k = 0; k < starts[c].nans.size(); ++k) degrees[starts[c].nans[k]] += nan_hits[c][k];
    }
    return std::move(counter.degrees);
}

std::vector<Edge> horizontal_visibility_edges(std::span<const double> v, bool skip_adjacent) {
    const std::size_t whole[2] = {0, v.size()};
    return horizontal_visibility_edges(v, skip_adjacent, whole);
}

std::vector<std::size_t> visibility_cuts(std::size_t n, std::size_t threads, VisibilityRule rule) {
    // Below these sizes starting threads costs more than it saves.
    const std::size_t auto_from = rule == VisibilityRule::Natural ? std::size_t{1} << 15
                                                                   : std::size_t{1} << 17;
    return even_cuts(n, chunk_count(n, threads, auto_from));
}

std::vector<std::uint64_t> visibility_degrees(std::span<const double> v, bool skip_adjacent,
                                              VisibilityRule rule, std::size_t threads) {
    const std::vector<std::size_t> cuts = visibility_cuts(v.size(), threads, rule);
    if (rule == VisibilityRule::Natural) return natural_visibility_degrees(v, skip_adjacent, cuts);
    return horizontal_visibility_degrees(v, skip_adjacent, cuts);
}

std::vector<Edge> visibility_edges(std::span<const double> v, bool skip_adjacent,
                                   VisibilityRule rule, std::size_t threads) {
    const std::vector<std::size_t> cuts = visibility_cuts(v.size(), threads, rule);
    if (rule == VisibilityRule::Natural) return natural_visibility_edges(v, skip_adjacent, cuts);
    return horizontal_visibility_edges(v, skip_adjacent, cuts);
}

std::vector<std::uint64_t> visibility_degrees(std::span<const double> v, bool skip_adjacent,
                                              VisibilityRule rule) {
    return visibility_degrees(v, skip_adjacent, rule, 1);
}

DegreeCounter::DegreeCounter(std::size_t vertices) {
    reserve_large(degrees, vertices);
    degrees.resize(vertices, 0);
}

std::vector<Edge> visibility_edges(std::span<const double> v, bool skip_adjacent,
                                   VisibilityRule rule) {
    return visibility_edges(v, skip_adjacent, rule, 1);
}

VisibilityGraph build_series_graph(const Series& v, bool skip_adjacent, VisibilityRule rule) {
    if (v.empty()) {
        return VisibilityGraph{};
    }
    return fast_stretch(v, 0, v.size() - 1, skip_adjacent, rule);
}

VisibilityGraph graph_from_edges(std::span<const double> v, std::span<const double> x,
                                 std::vector<Edge> edges) {
    return graph_from_edges(v, x, SharedRows<Edge>(std::move(edges)));
}

VisibilityGraph graph_from_edges(std::span<const double> v, std::span<const double> x,
                                 SharedRows<Edge> edges) {
    SharedRows<Vertex> vertices =
        x.empty() ? vertex_rows(v, [](std::size_t k) { return static_cast<double>(k); })
                  : vertex_rows(v, [x](std::size_t k) { return x[k]; });
    return VisibilityGraph::from_sorted(std::move(vertices), std::move(edges));
}

EdgeBuffer visibility_edge_buffer(std::span<const double> v, bool skip_adjacent, VisibilityRule rule,
                                  std::size_t threads) {
    const std::vector<std::size_t> cuts = visibility_cuts(v.size(), threads, rule);
    return rule == VisibilityRule::Natural ? natural_visibility_edge_buffer(v, skip_adjacent, cuts)
                                           : horizontal_visibility_edge_buffer(v, skip_adjacent, cuts);
}

SharedRows<Edge> visibility_edge_rows(std::span<const double> v, bool skip_adjacent,
                                      VisibilityRule rule, std::size_t threads) {
    EdgeBuffer buffer = visibility_edge_buffer(v, skip_adjacent, rule, threads);
    // A record lives on and may grow: room beyond a quarter of the edges (sparse graphs:
    // monotone stretches, whose chunks leave moved-from slots behind) is given back by one
    // copy of the edges; otherwise the buffer is the record's storage as it is.
    if (buffer.room - buffer.size > buffer.size / 4) {
        std::vector<Edge> edges;
        reserve_large(edges, buffer.size);
        edges.insert(edges.end(), buffer.data(), buffer.data() + buffer.size);
        return SharedRows<Edge>(std::move(edges));
    }
    return std::move(buffer).into_rows();
}

VisibilityGraph build_visibility_graph(const Series& v, bool skip_adjacent) {
    return build_series_graph(v, skip_adjacent, VisibilityRule::Natural);
}

VisibilityGraph build_horizontal_visibility_graph(const Series& v, bool skip_adjacent) {
    return build_series_graph(v, skip_adjacent, VisibilityRule::Horizontal);
}

std::optional<Series> subseries_between(const Series& v, std::size_t i, std::size_t j) {
    if (i >= v.size() || j >= v.size()) {
        return std::nullopt;
    }
    const std::size_t lo = std::min(i, j);
    const std::size_t hi = std::max(i, j);
    if (hi <= lo + 1) {
        return Series{};
    }
    return Series(v.begin() + static_cast<std::ptrdiff_t>(lo + 1),
                  v.begin() + static_cast<std::ptrdiff_t>(hi));
}

std::optional<VisibilityGraph> build_series_subgraph(const Series& v, std::size_t i,
                                                     std::size_t j, bool skip_adjacent,
                                                     VisibilityRule rule) {
    if (i >= v.size() || j >= v.size()) {
        return std::nullopt;
    }
    return fast_stretch(v, std::min(i, j), std::max(i, j), skip_adjacent, rule);
}

std::optional<VisibilityGraph> build_subgraph_between(const Series& v, std::size_t i,
                                                      std::size_t j, bool skip_adjacent) {
    return build_series_subgraph(v, i, j, skip_adjacent, VisibilityRule::Natural);
}

std::optional<VisibilityGraph> build_horizontal_subgraph_between(const Series& v, std::size_t i,
                                                                 std::size_t j,
                                                                 bool skip_adjacent) {
    return build_series_subgraph(v, i, j, skip_adjacent, VisibilityRule::Horizontal);
}

}  // namespace kestrel
