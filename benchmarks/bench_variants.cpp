// Native timing of the variant builders against the regular ones on the same series:
// irregular positions, the exact natural rule and penetrable visibility.
//
//   g++ -std=c++20 -O2 $(cat src/core/exactness.flags) -I src src/core/*.cpp benchmarks/bench_variants.cpp
//   ./a.out [n]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <vector>

#include "core/variants.hpp"
#include "core/visibility.hpp"

using namespace kestrel;

namespace {

double best_seconds(const std::function<std::size_t()>& run, std::size_t& size) {
    double best = 1e300;
    for (int r = 0; r < 3; ++r) {
        const auto start = std::chrono::steady_clock::now();
        size = run();
        const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
        best = std::min(best, spent.count());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100000;
    std::mt19937_64 rng(2009);
    std::normal_distribution<double> gauss(0.0, 1.0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    Series noise(n), walk(n), x(n);
    double w = 0, at = 1.7e9;
    for (std::size_t k = 0; k < n; ++k) {
        noise[k] = unit(rng);
        walk[k] = w += gauss(rng);
        x[k] = at;
        at += 0.5 + unit(rng);  // irregular gaps around one second, epoch-sized positions
    }
    const Series none;
    std::printf("n = %zu\n", n);
    std::printf("| family | variant | seconds | edges | ratio to regular |\n|---|---|---|---|---|\n");
    for (const auto& [name, v] : {std::pair<const char*, const Series&>{"noise", noise}, {"walk", walk}}) {
        struct Case {
            const char* label;
            VisibilityRule rule;
            bool positions;
            std::size_t limit;
            bool exact;
        };
        const Case cases[] = {
            {"natural", VisibilityRule::Natural, false, 0, false},
            {"natural, positions", VisibilityRule::Natural, true, 0, false},
            {"natural, exact", VisibilityRule::Natural, false, 0, true},
            {"natural, exact, positions", VisibilityRule::Natural, true, 0, true},
            {"natural, L=1", VisibilityRule::Natural, false, 1, false},
            {"natural, L=2", VisibilityRule::Natural, false, 2, false},
            {"natural, L=2, exact", VisibilityRule::Natural, false, 2, true},
            {"horizontal", VisibilityRule::Horizontal, false, 0, false},
            {"horizontal, L=1", VisibilityRule::Horizontal, false, 1, false},
            {"horizontal, L=2", VisibilityRule::Horizontal, false, 2, false},
        };
        double regular[2] = {0, 0};
        for (const Case& c : cases) {
            VariantOptions options;
            options.rule = c.rule;
            options.penetrable = c.limit;
            options.exact = c.exact;
            std::size_t edges = 0;
            const double seconds = best_seconds(
                [&] { return variant_edges(v, c.positions ? std::span<const double>(x) : none, options).size(); },
                edges);
            double& base = regular[c.rule == VisibilityRule::Natural ? 0 : 1];
            if (base == 0) base = seconds;
            std::printf("| %s | %s | %.4f | %zu | %.2f |\n", name, c.label, seconds, edges, seconds / base);
        }
    }
    return 0;
}
