#include "core/measure_tables.hpp"

#include <algorithm>
#include <utility>

#include "core/cancel.hpp"
#include "core/horizontal_sweep.hpp"
#include "core/visibility.hpp"

namespace kestrel {

namespace {

// Dense count arrays up to this size (or four per edge) are cheaper than a sort.
constexpr std::uint64_t kDenseCounts = 4096;

// The tallies of one table for a whole block, series after series, before the block's
// width is known: value (or value pair) ascending within each series, with its count.
struct PendingTable {
    std::vector<std::uint64_t> series, first, second, counts;
    std::uint64_t largest = 0;  // over every value

    void add(std::uint64_t s, std::uint64_t a, std::uint64_t b, std::uint64_t count) {
        series.push_back(s);
        first.push_back(a);
        second.push_back(b);
        counts.push_back(count);
        largest = std::max(largest, a);
    }

    // A value table's width: one more than its largest value, 1 for an empty block.
    std::uint64_t width() const { return series.empty() ? 1 : largest + 1; }

    // The codes for `w` (a pair table takes its values' table's width). The tallies come
    // series by series and ascending within each, so the codes come ascending.
    CountTable finish(bool pairs, std::uint64_t w) && {
        CountTable table;
        table.width = w;
        table.codes.resize(series.size());
        for (std::size_t k = 0; k < series.size(); ++k) {
            table.codes[k] = pairs ? (series[k] * w + first[k]) * w + second[k]
                                   : series[k] * w + first[k];
        }
        table.counts = std::move(counts);
        return table;
    }
};

// The distinct values of one series' `values` ascending, with their counts. `counts` is
// scratch kept between series.
void tally_values(std::span<const std::uint64_t> values, std::uint64_t s,
                  std::vector<std::uint64_t>& counts, PendingTable& out) {
    if (values.empty()) return;
    const std::uint64_t top = *std::max_element(values.begin(), values.end());
    counts.assign(top + 1, 0);  // top < number of samples
    for (std::uint64_t value : values) ++counts[value];
    for (std::uint64_t value = 0; value <= top; ++value) {
        if (counts[value] != 0) out.add(s, value, 0, counts[value]);
    }
}

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

private:
    std::vector<std::uint64_t> counts_, codes_;
    std::uint64_t columns_ = 1;
    bool dense_ = true;
};

std::uint64_t largest(std::span<const std::uint64_t> values) {
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
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
    // Per-series scratch, kept between series.
    std::vector<std::uint8_t> two(length + 1), three(length + 1);
    std::vector<std::uint64_t> deg(length), out(length), in(length), gap(length), counts;
    PairCounter joint_counter, out_counter, in_counter;
    std::vector<Edge> edges;  // the natural graph's
    WorkPoll poll;
    for (std::size_t s = 0; s < count; ++s) {
        poll.tick(length);
        const std::span<const double> v = values.subspan(s * length, length);
        if (!measures) {
            const std::vector<std::uint64_t> alone = visibility_degrees(v, skip_adjacent, rule);
            std::uint64_t total = 0;
            for (std::uint64_t d : alone) total += d;
            tables.edge_counts[s] = total / 2;
            tally_values(alone, s, counts, degree);
            continue;
        }
        // The tables count edges, so any order serves. The horizontal graph is swept
        // again for each pass rather than stored (a sweep costs about what reading
        // stored edges does); the natural graph's edges are stored once.
        if (natural) edges = natural_visibility_edges(v, false);
        auto flat_edges = [&](auto&& visit) {
            horizontal_sweep(v, false, [&](std::size_t low, std::size_t high) { visit(low, high); });
        };
        auto kind_edges = [&](auto&& visit) {
            if (!natural) return flat_edges(visit);
            for (const Edge& e : edges) visit(e.low, e.high);
        };
        // The degrees (as out + in), their count, and the edges of span 2 and 3 behind
        // the window codes.
        std::fill(two.begin(), two.end(), 0);
        std::fill(three.begin(), three.end(), 0);
        std::fill(out.begin(), out.end(), 0);
        std::fill(in.begin(), in.end(), 0);
        std::uint64_t count_edges = 0;
        kind_edges([&](std::size_t low, std::size_t high) {
            ++out[low];
            ++in[high];
            ++count_edges;
            two[low] |= high - low == 2;
            three[low] |= high - low == 3;
        });
        tables.edge_counts[s] = count_edges;
        for (std::size_t k = 0; k < length; ++k) deg[k] = out[k] + in[k];
        for (std::size_t u = 0; u + 3 < length; ++u) {
            ++tables.motif_codes[s * 8 + two[u] + 2 * two[u + 1] + 4 * three[u]];
        }
        tally_values(deg, s, counts, degree);
        const std::uint64_t top = largest(deg) + 1;
        joint_counter.start(top, top, count_edges);
        // The directed horizontal graph (out-degree counts edges to later samples): the
        // graph itself, or for the natural kind its own degrees from one more sweep.
        std::uint64_t flat_count = count_edges;
        if (natural) {
            kind_edges([&](std::size_t low, std::size_t high) { joint_counter.add(deg[low], deg[high]); });
            std::fill(out.begin(), out.end(), 0);
            std::fill(in.begin(), in.end(), 0);
            flat_count = 0;
            flat_edges([&](std::size_t low, std::size_t high) {
                ++out[low];
                ++in[high];
                ++flat_count;
            });
        }
        const std::uint64_t out_top = largest(out) + 1, in_top = largest(in) + 1;
        out_counter.start(out_top, out_top, flat_count);
        in_counter.start(in_top, in_top, flat_count);
        flat_edges([&](std::size_t low, std::size_t high) {
            if (!natural) joint_counter.add(deg[low], deg[high]);  // the same pass
            out_counter.add(out[low], out[high]);
            in_counter.add(in[high], in[low]);
        });
        if (natural) {
            // The horizontal graph is a subgraph of the natural one: no difference is < 0.
            for (std::size_t k = 0; k < length; ++k) gap[k] = deg[k] - (out[k] + in[k]);
            tally_values(gap, s, counts, difference);
        }
        joint_counter.emit(s, joint);
        tally_values(out, s, counts, out_degree);
        tally_values(in, s, counts, in_degree);
        out_counter.emit(s, out_pairs);
        in_counter.emit(s, in_pairs);
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
