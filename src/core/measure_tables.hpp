// The integer count tables behind the graph measures of many equal-length series: degree
// distributions, degree-degree pairs over the edges, window motif codes, and the in- and
// out-degrees of the directed horizontal graph. Pure C++: no interpreter calls.
//
// A table counts one integer value per sample (or a pair per edge) of every series, coded
// series * width + value (series * width^2 + first * width + second for pairs), width
// being one more than the largest value in the whole block. It lists the codes that occur,
// ascending, with their counts: what a sort-and-count of all the codes gives, so the
// float measures computed from it have the same bits whichever way it was made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kestrel {

struct CountTable {
    std::vector<std::uint64_t> codes;
    std::vector<std::uint64_t> counts;
    std::uint64_t width = 1;
};

struct MeasureTables {
    std::vector<std::uint64_t> edge_counts;  // edges of each series' graph
    CountTable degree;                       // degree of each sample
    // Only with measures:
    CountTable joint;                        // (degree(low), degree(high)) of each edge
    std::vector<std::uint64_t> motif_codes;  // (series, 8): windows of 4 by their code
    CountTable out_degree, in_degree;        // of the horizontal graph, edges to the future
    CountTable out_pairs;                    // (out(low), out(high)) of each horizontal edge
    CountTable in_pairs;                     // (in(high), in(low)) of each horizontal edge
    CountTable difference;                   // natural minus horizontal degree (natural only)
};

// The tables of the series values[k * length, (k + 1) * length) under the float rule at
// x_k = k. Without measures only edge_counts and degree are filled (skip_adjacent applies);
// with them the graphs are the ordinary ones (skip_adjacent must be false, and the length
// below 2^32). The window
// code of a sample v is two(v) + 2 two(v + 1) + 4 three(v), where two(u) and three(u) say
// whether the edges (u, u + 2) and (u, u + 3) exist, over the max(length - 3, 0) windows.
MeasureTables block_measure_tables(std::span<const double> values, std::size_t length,
                                   bool natural, bool skip_adjacent, bool measures);

}  // namespace kestrel
