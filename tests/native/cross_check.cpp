// Cross-check of the fast builders, degree-only counts, motif scores and sub-graphs against the literal
// reference procedures on generated series of many families.
//
//   cross_check [series] [seed] [max_length]
//
// Prints one line per family and a final "cross-check: N series, F failed"; exits 1 on
// the first few mismatches, printing the failing series in full (%a, bit exact).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "core/graph_record.hpp"
#include "core/visibility.hpp"

using namespace kestrel;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

using Rng = std::mt19937_64;

double uniform(Rng& rng, double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng); }
long integer(Rng& rng, long a, long b) { return std::uniform_int_distribution<long>(a, b)(rng); }
double gauss(Rng& rng) { return std::normal_distribution<double>(0.0, 1.0)(rng); }

using Family = std::function<Series(Rng&, std::size_t)>;

struct NamedFamily {
    const char* name;
    Family make;
    bool cheap;  // the reference stays fast on long series of this family
};

Series generate(std::size_t n, const std::function<double(std::size_t)>& f) {
    Series v(n);
    for (std::size_t k = 0; k < n; ++k) v[k] = f(k);
    return v;
}

// Sprinkles NaN, +inf and -inf into a series, singly and in runs.
void sprinkle(Rng& rng, Series& v, double rate) {
    const double specials[] = {kNaN, kInf, -kInf};
    for (std::size_t k = 0; k < v.size(); ++k) {
        if (uniform(rng, 0, 1) < rate) {
            const double s = specials[integer(rng, 0, 2)];
            const std::size_t run = integer(rng, 0, 3) == 0 ? integer(rng, 1, 6) : 1;
            for (std::size_t t = 0; t < run && k + t < v.size(); ++t) v[k + t] = s;
        }
    }
}

std::vector<NamedFamily> families() {
    std::vector<NamedFamily> out;
    out.push_back({"integer line", [](Rng& r, std::size_t n) {
        const double a = integer(r, -50, 50), c = integer(r, -4, 4);
        return generate(n, [&](std::size_t k) { return a + c * static_cast<double>(k); });
    }, false});
    out.push_back({"V shape", [](Rng& r, std::size_t n) {
        const double m = integer(r, 0, static_cast<long>(n)), c = integer(r, 1, 3);
        const double s = integer(r, 0, 1) ? 1 : -1;
        return generate(n, [&](std::size_t k) { return s * c * std::fabs(static_cast<double>(k) - m); });
    }, false});
    out.push_back({"triangle wave", [](Rng& r, std::size_t n) {
        const long p = integer(r, 2, 12);
        return generate(n, [&](std::size_t k) {
            const long t = static_cast<long>(k) % (2 * p);
            return static_cast<double>(t < p ? t : 2 * p - t);
        });
    }, true});
    out.push_back({"sawtooth", [](Rng& r, std::size_t n) {
        const long p = integer(r, 2, 12);
        const double step = integer(r, 0, 1) ? 1.0 : 0.1;
        return generate(n, [&](std::size_t k) { return step * static_cast<double>(static_cast<long>(k) % p); });
    }, true});
    out.push_back({"integer walk", [](Rng& r, std::size_t n) {
        double x = 0;
        return generate(n, [&](std::size_t) { return x += integer(r, -1, 1); });
    }, true});
    out.push_back({"plateaus", [](Rng& r, std::size_t n) {
        double level = integer(r, 0, 5);
        return generate(n, [&](std::size_t) {
            if (integer(r, 0, 5) == 0) level = integer(r, 0, 5);
            return level;
        });
    }, true});
    out.push_back({"huge negative among tiny", [](Rng& r, std::size_t n) {
        Series v = generate(n, [&](std::size_t) { return uniform(r, 0, 1) * 1e-300; });
        const double huge = integer(r, 0, 1) ? -1e300 : -1.7976931348623157e308;
        for (int t = 0; t < 1 + static_cast<int>(n / 50) && n > 0; ++t) v[integer(r, 0, static_cast<long>(n) - 1)] = huge;
        return v;
    }, true});
    out.push_back({"near max double", [](Rng& r, std::size_t n) {
        return generate(n, [&](std::size_t) {
            const double m = uniform(r, 1.5e308, 1.7976931348623157e308);
            return integer(r, 0, 1) ? m : -m;
        });
    }, false});
    out.push_back({"subnormals", [](Rng& r, std::size_t n) {
        return generate(n, [&](std::size_t) {
            const double tiny = std::numeric_limits<double>::denorm_min();
            return static_cast<double>(integer(r, -8, 8)) * tiny * (integer(r, 0, 3) == 0 ? 1e6 : 1.0);
        });
    }, true});
    out.push_back({"specials sprinkled", [](Rng& r, std::size_t n) {
        Series v = generate(n, [&](std::size_t) { return uniform(r, -1, 1); });
        sprinkle(r, v, uniform(r, 0.01, 0.3));
        return v;
    }, false});
    out.push_back({"specials in integers", [](Rng& r, std::size_t n) {
        Series v = generate(n, [&](std::size_t) { return static_cast<double>(integer(r, 0, 4)); });
        sprinkle(r, v, uniform(r, 0.01, 0.2));
        return v;
    }, false});
    out.push_back({"-inf at the ends", [](Rng& r, std::size_t n) {
        Series v = generate(n, [&](std::size_t) { return gauss(r); });
        if (n > 0) v.front() = -kInf;
        if (n > 1 && integer(r, 0, 1)) v.back() = -kInf;
        return v;
    }, true});
    out.push_back({"convex", [](Rng& r, std::size_t n) {
        const double c = uniform(r, 0.1, 3), m = integer(r, 0, static_cast<long>(n));
        return generate(n, [&](std::size_t k) { const double x = static_cast<double>(k) - m; return c * x * x; });
    }, false});
    out.push_back({"convex integers", [](Rng&, std::size_t n) {
        return generate(n, [&](std::size_t k) { return static_cast<double>(k * k); });
    }, false});
    out.push_back({"concave", [](Rng& r, std::size_t n) {
        const double c = uniform(r, 0.1, 3), m = integer(r, 0, static_cast<long>(n));
        return generate(n, [&](std::size_t k) { const double x = static_cast<double>(k) - m; return -c * x * x; });
    }, true});
    out.push_back({"decimal ramp", [](Rng& r, std::size_t n) {
        const int form = static_cast<int>(integer(r, 0, 2));
        return generate(n, [&](std::size_t k) {
            const double x = static_cast<double>(k);
            return form == 0 ? 0.1 * x : form == 1 ? x / 10.0 : 1e15 + 0.1 * x;
        });
    }, false});
    out.push_back({"ramp near 2^53", [](Rng& r, std::size_t n) {
        const double base = integer(r, 0, 1) ? 0x1p52 : 0x1p53;
        return generate(n, [&](std::size_t k) { return base + static_cast<double>(k); });
    }, false});
    out.push_back({"gaussian walk", [](Rng& r, std::size_t n) {
        double x = 0;
        return generate(n, [&](std::size_t) { return x += gauss(r); });
    }, true});
    out.push_back({"gaussian noise", [](Rng& r, std::size_t n) {
        return generate(n, [&](std::size_t) { return gauss(r); });
    }, true});
    out.push_back({"uniform noise", [](Rng& r, std::size_t n) {
        return generate(n, [&](std::size_t) { return uniform(r, 0, 1); });
    }, true});
    out.push_back({"integers 0..9", [](Rng& r, std::size_t n) {
        return generate(n, [&](std::size_t) { return static_cast<double>(integer(r, 0, 9)); });
    }, true});
    out.push_back({"sin", [](Rng& r, std::size_t n) {
        const double f = uniform(r, 0.01, 0.5);
        return generate(n, [&](std::size_t k) { return std::sin(f * static_cast<double>(k)); });
    }, true});
    out.push_back({"signed zeros and ties", [](Rng& r, std::size_t n) {
        const double values[] = {0.0, -0.0, 1.0, -1.0, 0.5};
        return generate(n, [&](std::size_t) { return values[integer(r, 0, 4)]; });
    }, true});
    out.push_back({"mixed magnitudes", [](Rng& r, std::size_t n) {
        return generate(n, [&](std::size_t) { return gauss(r) * std::pow(10.0, integer(r, -300, 300)); });
    }, true});
    return out;
}

bool same_edges(const std::vector<Edge>& a, const std::vector<Edge>& b) { return a == b; }

bool same_vertices(const VisibilityGraph& a, const VisibilityGraph& b) {
    const auto& x = a.vertices();
    const auto& y = b.vertices();
    return x.size() == y.size() &&
           (x.empty() || std::memcmp(x.data(), y.data(), x.size() * sizeof(Vertex)) == 0);
}

void print_series(const Series& v) {
    std::fprintf(stderr, "series (%zu):", v.size());
    for (double x : v) std::fprintf(stderr, " %a", x);
    std::fprintf(stderr, "\n");
}

std::size_t draw_length(Rng& rng, std::size_t max_length, bool cheap) {
    const long roll = integer(rng, 0, 99);
    std::size_t cap = roll < 85 ? 64 : roll < 98 ? 400 : max_length;
    if (!cheap) cap = std::min<std::size_t>(cap, 400);
    cap = std::min(cap, max_length);
    return static_cast<std::size_t>(integer(rng, 0, static_cast<long>(cap)));
}

}  // namespace

int main(int argc, char** argv) {
    const long total = argc > 1 ? std::atol(argv[1]) : 20000;
    const unsigned long seed = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1;
    const std::size_t max_length = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 3000;
    Rng rng(seed);
    const auto all = families();
    std::vector<long> per_family(all.size(), 0);
    long failed = 0, series_done = 0;
    auto fail = [&](const char* family, const char* what, const Series& v, bool skip) {
        ++failed;
        if (failed <= 5) {
            std::fprintf(stderr, "MISMATCH %s in family '%s' (skip_adjacent=%d)\n", what, family, skip);
            print_series(v);
        }
    };
    for (long t = 0; t < total; ++t) {
        const std::size_t f = static_cast<std::size_t>(t) % all.size();
        const NamedFamily& family = all[f];
        const Series v = family.make(rng, draw_length(rng, max_length, family.cheap));
        const bool skip = integer(rng, 0, 1) == 1;
        for (VisibilityRule rule : {VisibilityRule::Natural, VisibilityRule::Horizontal}) {
            const VisibilityGraph fast = build_series_graph(v, skip, rule);
            const VisibilityGraph slow = reference_series_graph(v, skip, rule);
            if (!same_edges(fast.edges(), slow.edges()) || !same_vertices(fast, slow)) {
                fail(family.name, rule == VisibilityRule::Natural ? "natural graph" : "horizontal graph", v, skip);
            }
            std::vector<std::uint64_t> degrees(v.size(), 0);
            for (const Edge& e : slow.edges()) {
                ++degrees[e.low];
                ++degrees[e.high];
            }
            if (visibility_degrees(v, skip, rule) != degrees) {
                fail(family.name, "degrees", v, skip);
            }
            if (!v.empty()) {
                const std::size_t i = integer(rng, 0, static_cast<long>(v.size()) - 1);
                const std::size_t j = integer(rng, 0, static_cast<long>(v.size()) - 1);
                const auto a = build_series_subgraph(v, i, j, skip, rule);
                const auto b = reference_series_subgraph(v, i, j, skip, rule);
                if (!a || !b || a->edges() != b->edges() || !same_vertices(*a, *b)) {
                    fail(family.name, "sub-graph", v, skip);
                }
            }
        }
        const std::uint64_t w = v.empty() ? 1 : integer(rng, 1, static_cast<long>(v.size()));
        if (horizontal_window_motif_scores(v, w, skip) != reference_window_motif_scores(v, w, skip)) {
            fail(family.name, "motif scores", v, skip);
        }
        ++per_family[f];
        ++series_done;
    }
    for (std::size_t f = 0; f < all.size(); ++f) {
        std::printf("%-28s %ld series\n", all[f].name, per_family[f]);
    }
    std::printf("cross-check: %ld series, %ld failed\n", series_done, failed);
    return failed == 0 ? 0 : 1;
}
