#include "core/measure_tables.hpp"

#include <algorithm>
#include <utility>

#include "core/cancel.hpp"
#include "core/horizontal_sweep.hpp"
#include "core/parallel.hpp"
#include "core/visibility.hpp"

namespace kestrel {

namespace {

// Dense count arrays up to this size (or four per edge) are cheaper than a sort.
constexpr std::uint64_t kDenseCounts = 4096;

// The tallies of one table for a whole block, series after series, before the block's
// width is known: value (or value pair) ascending within each series, with its count.
struct PendingTable {
    struct Tally {
        std::uint64_t series, first, second, count;
    };
    std::vector<Tally> tallies;
    std::uint64_t largest = 0;  // over every value

    void add(std::uint64_t s, std::uint64_t a, std::uint64_t b, std::uint64_t count) {
        tallies.push_back(Tally{s, a, b, count});
        largest = std::max(largest, a);
    }

    // A value table's width: one more than its largest value, 1 for an empty block.
    std::uint64_t width() const { return tallies.empty() ? 1 : largest + 1; }

    // The codes for `w` (a pair table takes its values' table's width). The tallies come
    // series by series and ascending within each, so the codes come ascending.
    CountTable finish(bool pairs, std::uint64_t w) && {
        CountTable table;
        table.width = w;
        table.codes.resize(tallies.size());
        table.counts.resize(tallies.size());
        for (std::size_t k = 0; k < tallies.size(); ++k) {
            const Tally& t = tallies[k];
            table.codes[k] = pairs ? (t.series * w + t.first) * w + t.second : t.series * w + t.first;
            table.counts[k] = t.count;
        }
        std::vector<Tally>().swap(tallies);
        return table;
    }
};

// The distinct values value(0) .. value(n - 1) of one series ascending, with their
// counts; returns the largest. `counts` is scratch kept between series.
template <class Value>
std::uint64_t tally(std::size_t n, Value&& value, std::uint64_t s, std::vector<std::uint64_t>& counts,
                    PendingTable& out) {
    if (n == 0) return 0;
    std::uint64_t top = 0;
    for (std::size_t k = 0; k < n; ++k) top = std::max<std::uint64_t>(top, value(k));
    counts.assign(top + 1, 0);  // top < n
    for (std::size_t k = 0; k < n; ++k) ++counts[value(k)];
    for (std::uint64_t v = 0; v <= top; ++v) {
        if (counts[v] != 0) out.add(s, v, 0, counts[v]);
    }
    return top;
}

// A sample's degrees, packed so that a pass over the edges reads one record per end:
// edges to later samples and to earlier ones in the directed horizontal graph, and the
// degree in the graph measured. Below 2^32: the series are shorter (see the entry).
struct SampleCounts {
    std::uint32_t out = 0;
    std::uint32_t in = 0;
    std::uint32_t degree = 0;
    std::uint32_t unused = 0;
};

// Counts the pairs (a, b) of one series' edges, a below `rows` and b below `columns`: in a
// dense table when it is small beside the edges, else by sorting their codes. Either
// gives the distinct pairs ascending with their counts. Its storage is kept between series.
class PairCounter {
public:
    void start(std::uint64_t rows, std::uint64_t columns, std::size_t edges) {
        columns_ = columns;
        // rows * columns <= n^2 cannot overflow: a series here has fewer than 2^32 samples.
        dense_ = rows * columns <= std::max<std::uint64_t>(kDenseCounts, 4 * edges);
        if (dense_) {
            counts_.assign(rows * columns, 0);
        } else {
            codes_.clear();
        }
    }

    void add(std::uint64_t a, std::uint64_t b) {
        const std::uint64_t code = a * columns_ + b;
        if (dense_) {
            ++counts_[code];
        } else {
            codes_.push_back(code);
        }
    }

    void emit(std::uint64_t s, PendingTable& out) {
        if (dense_) {
            for (std::uint64_t code = 0; code < counts_.size(); ++code) {
                if (counts_[code] != 0) out.add(s, code / columns_, code % columns_, counts_[code]);
            }
            return;
        }
        std::sort(codes_.begin(), codes_.end());
        for (std::size_t k = 0; k < codes_.size();) {
            std::size_t next = k;
            while (next < codes_.size() && codes_[next] == codes_[k]) ++next;
            out.add(s, codes_[k] / columns_, codes_[k] % columns_, next - k);
            k = next;
        }
    }

    // Adds the pairs another counter, started alike, has counted.
    void merge(const PairCounter& other) {
        if (dense_) {
            for (std::size_t k = 0; k < counts_.size(); ++k) counts_[k] += other.counts_[k];
        } else {
            codes_.insert(codes_.end(), other.codes_.begin(), other.codes_.end());
        }
    }

private:
    std::vector<std::uint64_t> counts_, codes_;
    std::uint64_t columns_ = 1;
    bool dense_ = true;
};

// Series at least this long are swept in chunks on every core when measured alone.
constexpr std::size_t kChunkedFrom = std::size_t{1} << 16;

// The horizontal edges of v, each once, given to make(c)'s visitor on the thread of chunk
// c, which sweeps the lows [cuts[c], cuts[c + 1]) (see chunk_starts). Each chunk's visitor
// keeps its own state, so nothing it counts is shared between threads.
template <class MakeVisit>
void sweep_chunks(std::span<const double> v, std::span<const std::size_t> cuts,
                  const std::vector<ChunkStart>& starts, MakeVisit&& make) {
    run_parallel(cuts.size() - 1, [&](std::size_t c) {
        auto visit = make(c);
        horizontal_sweep_lows(v, cuts[c], cuts[c + 1], starts[c].stack, starts[c].nans, false, visit);
    });
}

}  // namespace

MeasureTables block_measure_tables(std::span<const double> values, std::size_t length,
                                   bool natural, bool skip_adjacent, bool measures) {
    const std::size_t count = length == 0 ? 0 : values.size() / length;
    const VisibilityRule rule = natural ? VisibilityRule::Natural : VisibilityRule::Horizontal;
    MeasureTables tables;
    tables.edge_counts.assign(count, 0);
    if (measures) tables.motif_codes.assign(count * 8, 0);
    PendingTable degree, joint, out_degree, in_degree, out_pairs, in_pairs, difference;
    // A series measured alone is cut into chunks, one thread each; a block's series go one
    // at a time (many blocks are measured at once by their callers).
    const std::vector<std::size_t> cuts =
        even_cuts(length, count == 1 && length >= kChunkedFrom ? chunk_count(length, kAutoThreads, 0) : 1);
    const std::size_t chunks = cuts.size() - 1;
    // Per-series scratch, kept between series.
    std::vector<std::uint8_t> two(length + 1), three(length + 1);
    std::vector<SampleCounts> at(length);
    std::vector<std::uint64_t> counts;
    std::vector<PairCounter> joint_counter(chunks), out_counter(chunks), in_counter(chunks);
    std::vector<std::vector<std::size_t>> beyond(chunks);  // highs past the chunk's end
    std::vector<Edge> edges;  // the natural graph's
    // A short series' horizontal edges are kept (in cache) for the second pass; a long
    // one's are swept again in chunks rather than stored.
    const bool keep_flat = chunks == 1 && length <= kChunkedFrom;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> flat;
    WorkPoll poll;
    for (std::size_t s = 0; s < count; ++s) {
        poll.tick(length);
        const std::span<const double> v = values.subspan(s * length, length);
        if (!measures) {
            const std::vector<std::uint64_t> alone = visibility_degrees(v, skip_adjacent, rule);
            std::uint64_t total = 0;
            for (std::uint64_t d : alone) total += d;
            tables.edge_counts[s] = total / 2;
            tally(length, [&](std::size_t k) { return alone[k]; }, s, counts, degree);
            continue;
        }
        // The tables count edges, so any order serves. The natural graph's edges are
        // stored once.
        const std::vector<ChunkStart> starts = chunks > 1 ? chunk_starts(v, cuts) : std::vector<ChunkStart>(1);
        if (natural) edges = visibility_edges(v, false, rule, chunks > 1 ? kAutoThreads : 1);
        // out and in of every sample. A chunk's lows are its own, and so are the highs
        // inside it; highs past it, which other chunks' lows also reach, are counted once
        // the threads are done.
        auto count_flat = [&](auto&& also) {
            for (SampleCounts& a : at) a.out = a.in = 0;
            for (auto& highs : beyond) highs.clear();
            flat.clear();
            sweep_chunks(v, cuts, starts, [&](std::size_t c) {
                return [&, end = cuts[c + 1], &highs = beyond[c]](std::size_t low, std::size_t high) {
                    ++at[low].out;
                    if (high < end) {
                        ++at[high].in;
                    } else {
                        highs.push_back(high);
                    }
                    if (keep_flat) flat.push_back({static_cast<std::uint32_t>(low), static_cast<std::uint32_t>(high)});
                    also(low, high);
                };
            });
            std::uint64_t total = 0;
            for (const auto& highs : beyond) {
                for (std::size_t high : highs) ++at[high].in;
            }
            for (const SampleCounts& a : at) total += a.out;
            return total;
        };
        // The degrees, their count, and the edges of span 2 and 3 behind the window
        // codes (written for lows only, so chunks never share one).
        std::fill(two.begin(), two.end(), 0);
        std::fill(three.begin(), three.end(), 0);
        auto spans = [&](std::size_t low, std::size_t high) {
            two[low] |= high - low == 2;
            three[low] |= high - low == 3;
        };
        std::uint64_t count_edges = 0;
        if (natural) {
            for (SampleCounts& a : at) a.degree = 0;
            for (const Edge& e : edges) {
                ++at[e.low].degree;
                ++at[e.high].degree;
                spans(e.low, e.high);
            }
            count_edges = edges.size();
        } else {
            count_edges = count_flat(spans);
            for (SampleCounts& a : at) a.degree = a.out + a.in;
        }
        tables.edge_counts[s] = count_edges;
        for (std::size_t u = 0; u + 3 < length; ++u) {
            ++tables.motif_codes[s * 8 + two[u] + 2 * two[u + 1] + 4 * three[u]];
        }
        const std::uint64_t top =
            tally(length, [&](std::size_t k) { return at[k].degree; }, s, counts, degree) + 1;
        for (PairCounter& counter : joint_counter) counter.start(top, top, count_edges);
        // The directed horizontal graph (out-degree counts edges to later samples): the
        // graph itself, or for the natural kind its own degrees from one more sweep.
        std::uint64_t flat_count = count_edges;
        if (natural) {
            for (const Edge& e : edges) joint_counter[0].add(at[e.low].degree, at[e.high].degree);
            flat_count = count_flat([](std::size_t, std::size_t) {});
            // The horizontal graph is a subgraph of the natural one: no difference is < 0.
            tally(length, [&](std::size_t k) { return at[k].degree - (at[k].out + at[k].in); }, s,
                  counts, difference);
        }
        const std::uint64_t out_top = tally(length, [&](std::size_t k) { return at[k].out; }, s, counts, out_degree) + 1;
        const std::uint64_t in_top = tally(length, [&](std::size_t k) { return at[k].in; }, s, counts, in_degree) + 1;
        for (std::size_t c = 0; c < chunks; ++c) {
            out_counter[c].start(out_top, out_top, flat_count);
            in_counter[c].start(in_top, in_top, flat_count);
        }
        auto pairs = [&](std::size_t c) {
            return [&, &both = joint_counter[c], &forward = out_counter[c],
                    &backward = in_counter[c]](std::size_t low, std::size_t high) {
                const SampleCounts a = at[low], b = at[high];
                if (!natural) both.add(a.degree, b.degree);  // the same pass
                forward.add(a.out, b.out);
                backward.add(b.in, a.in);
            };
        };
        if (keep_flat) {
            auto visit = pairs(0);
            for (const auto& [low, high] : flat) visit(low, high);
        } else {
            sweep_chunks(v, cuts, starts, pairs);
        }
        for (std::size_t c = 1; c < chunks; ++c) {
            joint_counter[0].merge(joint_counter[c]);
            out_counter[0].merge(out_counter[c]);
            in_counter[0].merge(in_counter[c]);
        }
        joint_counter[0].emit(s, joint);
        out_counter[0].emit(s, out_pairs);
        in_counter[0].emit(s, in_pairs);
    }
    const std::uint64_t w = degree.width();
    tables.degree = std::move(degree).finish(false, w);
    if (measures) {
        // Both directions' tables share one width, as do the pairs with their values.
        const std::uint64_t flat_width = std::max(out_degree.width(), in_degree.width());
        tables.joint = std::move(joint).finish(true, w);
        tables.out_degree = std::move(out_degree).finish(false, flat_width);
        tables.in_degree = std::move(in_degree).finish(false, flat_width);
        tables.out_pairs = std::move(out_pairs).finish(true, flat_width);
        tables.in_pairs = std::move(in_pairs).finish(true, flat_width);
        const std::uint64_t gap_width = difference.width();
        tables.difference = std::move(difference).finish(false, gap_width);
    }
    return tables;
}

}  // namespace kestrel
