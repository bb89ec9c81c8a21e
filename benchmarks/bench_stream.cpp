// Native timing of the natural stream (natural_stream.hpp): samples appended one at a time,
// against the batch natural build of the same series, on uniform noise and a Gaussian walk,
// at x_k = k and at uniform random gaps.
//
//   g++ -std=c++20 -O2 $(cat src/core/exactness.flags) -I src src/core/*.cpp benchmarks/bench_stream.cpp
//   ./a.out [n]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "core/natural_stream.hpp"
#include "core/variants.hpp"

using namespace kestrel;

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void run(const char* label, const std::vector<double>& v, const std::vector<double>& x) {
    NaturalStream stream(false, !x.empty());
    auto start = std::chrono::steady_clock::now();
    for (std::size_t k = 0; k < v.size(); ++k) stream.append(v[k], x.empty() ? 0.0 : x[k]);
    const double streamed = seconds_since(start);
    start = std::chrono::steady_clock::now();
    const std::vector<Edge> edges = natural_variant_edges(v, x, VariantOptions{});
    const double whole = seconds_since(start);
    std::printf("%-22s %12.0f %12.3f %12.3f %12llu%s\n", label, static_cast<double>(v.size()) / streamed, streamed,
                whole, static_cast<unsigned long long>(stream.edges()),
                stream.edges() == edges.size() ? "" : "  (edge counts differ!)");
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000000;
    std::mt19937_64 rng(1);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<double> noise(n), walk(n), x(n);
    double at = 0.0, position = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        noise[k] = unit(rng);
        at += normal(rng);
        walk[k] = at;
        position += 0.5 + unit(rng);
        x[k] = position;
    }
    std::printf("natural stream, %zu samples appended one at a time\n", n);
    std::printf("%-22s %12s %12s %12s %12s\n", "series", "samples/s", "stream (s)", "batch (s)", "edges");
    run("uniform noise", noise, {});
    run("gaussian walk", walk, {});
    run("uniform noise, x", noise, x);
    run("gaussian walk, x", walk, x);
    return 0;
}
