// Native timing of the graph record: edges added in ascending order (the builders'
// pattern) against the same edges added in arbitrary order.
//
// Build and run from the repository root:
//   g++ -std=c++20 -O2 $(cat src/core/exactness.flags) -I src benchmarks/bench_record.cpp \
//       src/core/graph_record.cpp -o /tmp/bench_record && /tmp/bench_record
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "core/graph_record.hpp"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Edges (i, i+1) and (i, i+2): ascending in (low, high), like a builder's output.
std::vector<kestrel::Edge> ascending_edges(std::size_t count) {
    std::vector<kestrel::Edge> edges;
    edges.reserve(count);
    for (std::size_t i = 0; edges.size() < count; ++i) {
        edges.push_back({i, i + 1});
        if (edges.size() < count) edges.push_back({i, i + 2});
    }
    return edges;
}

double time_insertion(const std::vector<kestrel::Edge>& edges, std::size_t vertices) {
    kestrel::VisibilityGraph graph;
    for (std::size_t k = 0; k < vertices; ++k) graph.add_vertex(static_cast<double>(k), 0.0);
    const auto start = std::chrono::steady_clock::now();
    for (const kestrel::Edge& e : edges) (void)graph.add_edge(e.high, e.low);
    const double elapsed = seconds_since(start);
    if (graph.edge_count() != edges.size()) std::printf("unexpected edge count\n");
    return elapsed;
}

}  // namespace

int main() {
    std::printf("%10s %14s %10s\n", "edges", "ascending s", "ns/edge");
    for (std::size_t count = 125'000; count <= 1'000'000; count *= 2) {
        const auto edges = ascending_edges(count);
        const double s = time_insertion(edges, count / 2 + 3);
        std::printf("%10zu %14.4f %10.2f\n", count, s, 1e9 * s / static_cast<double>(count));
    }
    std::printf("\n%10s %14s %10s\n", "edges", "arbitrary s", "ns/edge");
    for (std::size_t count = 5'000; count <= 40'000; count *= 2) {
        auto edges = ascending_edges(count);
        std::shuffle(edges.begin(), edges.end(), std::mt19937_64(7));
        const double s = time_insertion(edges, count / 2 + 3);
        std::printf("%10zu %14.4f %10.2f\n", count, s, 1e9 * s / static_cast<double>(count));
    }
    return 0;
}
