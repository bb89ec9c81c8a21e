// The exact natural rule with L = 0 by neighbour chaining (neighbour_chain.hpp), for
// edges and degrees.
#include "core/neighbour_chain.hpp"

#include "core/edge_collector.hpp"
#include "core/variants.hpp"

namespace kestrel {

std::optional<std::vector<Edge>> natural_chain_edges(std::span<const double> v,
                                                     std::span<const double> x,
                                                     bool skip_adjacent) {
    if (!ChainScan::fits(v.size())) return std::nullopt;
    if (v.size() < 2) return std::vector<Edge>{};
    ChainScan scan(v, x);
    (void)scan.build(std::numeric_limits<std::size_t>::max());
    EdgeCollector edges;
    auto sink = [&](std::size_t lo, std::size_t hi) { edges.push(Edge{lo, hi}); };
    scan.stream(skip_adjacent, sink);
    scan.release();
    return edges.finish();
}

std::optional<std::vector<std::uint64_t>> natural_chain_degrees(std::span<const double> v,
                                                                std::span<const double> x,
                                                                bool skip_adjacent) {
    if (!ChainScan::fits(v.size())) return std::nullopt;
    DegreeCounter counter(v.size());
    if (v.size() < 2) return std::move(counter.degrees);
    ChainScan scan(v, x);
    // Degrees need no edge list: give up, for a scan in O(n) memory, once the lists
    // would take several times the room of the degrees themselves.
    if (!scan.build(16 * v.size() + (std::size_t{1} << 20))) return std::nullopt;
    scan.stream(skip_adjacent, counter);
    return std::move(counter.degrees);
}

}  // namespace kestrel
