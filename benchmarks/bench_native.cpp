// Native timings of the fast builders against the literal reference procedures, per
// family and size, from one run (ratios, not absolute times, are what to compare).
//
// Build and run from the repository root:
//   g++ -std=c++20 -O2 $(cat src/core/exactness.flags) -I src src/core/*.cpp benchmarks/bench_native.cpp \
//       -o /tmp/bench_native && /tmp/bench_native [reference_seconds_cap]
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/visibility.hpp"

using namespace kestrel;

namespace {

double seconds(const std::function<void()>& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

Series family(const std::string& name, std::size_t n) {
    std::mt19937_64 rng(12345);
    std::normal_distribution<double> gauss(0.0, 1.0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    Series v(n);
    double walk = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const double x = static_cast<double>(k);
        if (name == "uniform") v[k] = unit(rng);
        else if (name == "walk") v[k] = walk += gauss(rng);
        else if (name == "ramp") v[k] = x;
        else if (name == "decimal ramp") v[k] = 0.1 * x;
        else if (name == "convex") v[k] = x * x;
        else if (name == "constant") v[k] = 1.0;
        else if (name == "sin") v[k] = std::sin(0.05 * x);
        else if (name == "ints 0..9") v[k] = std::floor(unit(rng) * 10);
    }
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    const double reference_cap = argc > 1 ? std::atof(argv[1]) : 5.0;
    struct Case { const char* name; VisibilityRule rule; std::vector<std::size_t> sizes; };
    constexpr auto N = VisibilityRule::Natural, H = VisibilityRule::Horizontal;
    const Case cases[] = {
        {"uniform", N, {1000, 10000, 100000, 1000000}},
        {"walk", N, {1000, 10000, 100000, 1000000}},
        {"sin", N, {1000, 10000, 100000, 1000000}},
        {"ints 0..9", N, {1000, 10000, 100000, 1000000}},
        {"ramp", N, {1000, 10000, 40000, 1000000}},
        {"decimal ramp", N, {1000, 10000, 40000}},
        {"constant", N, {1000, 10000, 40000, 1000000}},
        {"convex", N, {1000, 10000}},
        {"uniform", H, {1000, 100000, 1000000, 10000000}},
        {"walk", H, {1000, 100000, 1000000, 10000000}},
        {"ints 0..9", H, {1000, 100000, 1000000, 10000000}},
        {"constant", H, {1000, 100000, 10000000}},
    };
    std::printf("%-10s %-13s %9s %11s %11s %10s %9s\n", "rule", "family", "n", "fast s",
                "reference s", "ratio", "edges");
    for (const Case& c : cases) {
        double last_reference = 0;
        std::size_t last_n = 1;
        for (std::size_t n : c.sizes) {
            // The reference grows with up to the cube of n: run it only where the previous
            // size predicts it finishes within the cap.
            const double growth = static_cast<double>(n) / static_cast<double>(last_n);
            const bool reference_ok = last_reference * growth * growth * growth < reference_cap;
            const Series v = family(c.name, n);
            std::size_t edges = 0;
            const double fast = seconds([&] { edges = build_series_graph(v, false, c.rule).edge_count(); });
            double slow = -1;
            if (reference_ok) {
                slow = seconds([&] { (void)reference_series_graph(v, false, c.rule); });
                last_reference = slow;
                last_n = n;
            }
            std::printf("%-10s %-13s %9zu %11.4f ", c.rule == N ? "natural" : "horizontal", c.name, n, fast);
            if (slow >= 0) std::printf("%11.4f %10.1f", slow, slow / fast);
            else std::printf("%11s %10s", "-", "-");
            std::printf(" %9zu\n", edges);
            std::fflush(stdout);
        }
    }
    const Series v = family("uniform", 1000000);
    const double build = seconds([&] { (void)build_series_graph(v, false, H); });
    const double motif = seconds([&] { (void)horizontal_window_motif_scores(v, 100, false); });
    std::printf("motif w=100, uniform 1e6: %.4f s, horizontal build %.4f s, ratio %.2f\n", motif,
                build, motif / build);
}
