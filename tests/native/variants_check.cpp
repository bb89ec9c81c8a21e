// Cross-check of the variant builders (positions, penetrable visibility, the exact natural
// rule) against the literal reference procedure, on the generated families with random
// increasing positions and L in 0..4.
//
//   variants_check [series] [seed] [max_length]
//
// Prints one line per position family and "variants-check: N cases, F failed"; prints
// the first failing cases in full (%a, bit exact) and exits 1 on any mismatch.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/exact_orientation.hpp"
#include "core/graph_record.hpp"
#include "core/variants.hpp"
#include "core/visibility.hpp"
#include "families.hpp"

using namespace kestrel;
using namespace kestrel_families;

namespace {

struct PositionFamily {
    const char* name;
    std::function<Series(Rng&, std::size_t)> make;  // empty result: x_k = k
};

// Positions from a start and positive gaps, skipping any gap that rounds away.
Series accumulate(Rng& r, std::size_t n, double start, const std::function<double(Rng&)>& gap) {
    Series x;
    double at = start;
    while (x.size() < n) {
        x.push_back(at);
        double next = at + gap(r);
        while (!(next > at)) next = std::nextafter(at, kInf);
        at = next;
    }
    return x;
}

std::vector<PositionFamily> position_families() {
    std::vector<PositionFamily> out;
    out.push_back({"index (x empty)", [](Rng&, std::size_t) { return Series{}; }});
    out.push_back({"x_k = k given", [](Rng&, std::size_t n) {
        return generate(n, [](std::size_t k) { return static_cast<double>(k); });
    }});
    out.push_back({"integer gaps", [](Rng& r, std::size_t n) {
        return accumulate(r, n, static_cast<double>(integer(r, -100, 100)),
                          [](Rng& g) { return static_cast<double>(integer(g, 1, 4)); });
    }});
    out.push_back({"decimal gaps", [](Rng& r, std::size_t n) {
        return accumulate(r, n, 0.0, [](Rng& g) { return 0.1 * static_cast<double>(integer(g, 1, 5)); });
    }});
    out.push_back({"decimal grid", [](Rng&, std::size_t n) {
        return generate(n, [](std::size_t k) { return 0.1 * static_cast<double>(k); });
    }});
    out.push_back({"uniform gaps", [](Rng& r, std::size_t n) {
        return accumulate(r, n, uniform(r, -5, 5), [](Rng& g) { return uniform(g, 1e-3, 2.0); });
    }});
    out.push_back({"epoch seconds", [](Rng& r, std::size_t n) {
        return accumulate(r, n, 1.7e9 + static_cast<double>(integer(r, 0, 1000)),
                          [](Rng& g) { return integer(g, 0, 3) == 0 ? uniform(g, 0.5, 90.0) : 60.0; });
    }});
    out.push_back({"epoch nanoseconds", [](Rng& r, std::size_t n) {
        return accumulate(r, n, 1.7e18, [](Rng& g) { return 256.0 * static_cast<double>(integer(g, 1, 1000)); });
    }});
    out.push_back({"subnormal gaps", [](Rng& r, std::size_t n) {
        return accumulate(r, n, 0.0, [](Rng& g) {
            return static_cast<double>(integer(g, 1, 3)) * std::numeric_limits<double>::denorm_min();
        });
    }});
    out.push_back({"mixed scales", [](Rng& r, std::size_t n) {
        return accumulate(r, n, -1.0, [](Rng& g) { return std::pow(10.0, integer(g, -8, 8)); });
    }});
    out.push_back({"extent overflows", [](Rng&, std::size_t n) {
        // Differences of the end positions overflow; the float rule's q becomes NaN.
        return generate(n, [n](std::size_t k) {
            const double r = n < 2 ? 0.0 : static_cast<double>(k) / static_cast<double>(n - 1);
            return (-1.6e308 + 1.6e308 * r) + 1.6e308 * r;
        });
    }});
    out.push_back({"subnormal then huge", [](Rng& r, std::size_t n) {
        Series x = accumulate(r, n, 0.0, [](Rng&) { return std::numeric_limits<double>::denorm_min(); });
        if (n > 2) x.back() = 1e300;
        return x;
    }});
    return out;
}

void print(const char* label, const Series& v) {
    std::fprintf(stderr, "%s (%zu):", label, v.size());
    for (double a : v) std::fprintf(stderr, " %a", a);
    std::fprintf(stderr, "\n");
}

bool same_vertices(const VisibilityGraph& a, const VisibilityGraph& b) {
    const auto& x = a.vertices();
    const auto& y = b.vertices();
    return x.size() == y.size() &&
           (x.empty() || std::memcmp(x.data(), y.data(), x.size() * sizeof(Vertex)) == 0);
}

// Orientation of exactly collinear and nearly collinear triples against known signs.
long orientation_checks() {
    long bad = 0;
    auto expect = [&](int got, int want, const char* what) {
        if (got != want) {
            ++bad;
            std::fprintf(stderr, "orientation %s: got %d, want %d\n", what, got, want);
        }
    };
    const double tiny = std::numeric_limits<double>::denorm_min();
    const double big = std::numeric_limits<double>::max();
    expect(orientation_sign(0, 0, 2, 2, 1, 1), 0, "integer line");
    expect(orientation_sign(0, 0, 0.3, 0.3, 0.1, 0.1), 0, "decimal diagonal");
    expect(orientation_sign(0, 0.1, 2, 0.3, 1, 0.2), 1, "0.2 above the 0.1-0.3 chord");
    expect(orientation_sign(0, 0, 2 * tiny, 2 * tiny, tiny, tiny), 0, "subnormal line");
    expect(orientation_sign(0, 0, 2 * tiny, 2 * tiny, tiny, 0), -1, "subnormal below");
    expect(orientation_sign(-big, -big, big, big, 0, 0), 0, "full-range line");
    expect(orientation_sign(-big, -big, big, big, 0, tiny), 1, "full range, tiny above");
    expect(orientation_sign(-big, -big, big, big, 0, -tiny), -1, "full range, tiny below");
    expect(orientation_sign(0, 1e308, 1, -1e308, 0.5, 0.0), 0, "overflowing rise");
    expect(orientation_sign(1.7e18, 0, 1.7e18 + 512, 2, 1.7e18 + 256, 1), 0, "nanoseconds");
    expect(orientation_sign(1.7e18, 0, 1.7e18 + 512, 2, 1.7e18 + 256, std::nextafter(1.0, 0.0)), -1,
           "nanoseconds, one ulp below");
    return bad;
}

}  // namespace

int main(int argc, char** argv) {
    const long total = argc > 1 ? std::atol(argv[1]) : 4000;
    const unsigned long seed = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1;
    const std::size_t max_length = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 120;
    Rng rng(seed);
    const auto series_families = families();
    const auto positions = position_families();
    std::vector<long> per_family(positions.size(), 0);
    long failed = orientation_checks(), cases = 0;
    for (long t = 0; t < total; ++t) {
        const NamedFamily& family = series_families[static_cast<std::size_t>(t) % series_families.size()];
        const std::size_t p = static_cast<std::size_t>(integer(rng, 0, static_cast<long>(positions.size()) - 1));
        const long roll = integer(rng, 0, 99);
        const std::size_t cap = std::min<std::size_t>(max_length, roll < 85 ? 40 : max_length);
        const std::size_t n = static_cast<std::size_t>(integer(rng, 0, static_cast<long>(cap)));
        const Series v = family.make(rng, n);
        const Series x = positions[p].make(rng, n);
        VariantOptions options;
        options.rule = integer(rng, 0, 2) == 0 ? VisibilityRule::Horizontal : VisibilityRule::Natural;
        options.penetrable = static_cast<std::size_t>(integer(rng, 0, 5) == 0 ? 0 : integer(rng, 0, 4));
        options.exact = integer(rng, 0, 1) == 1;
        options.skip_adjacent = integer(rng, 0, 3) == 0;
        const VisibilityGraph slow = reference_variant_graph(v, x, options);
        const VisibilityGraph fast = build_variant_graph(v, x, options);
        std::vector<std::uint64_t> degrees(n, 0);
        for (const Edge& e : slow.edges()) {
            ++degrees[e.low];
            ++degrees[e.high];
        }
        std::string what;
        if (fast.edges() != slow.edges()) what = "edges";
        else if (!same_vertices(fast, slow)) what = "vertices";
        else if (variant_degrees(v, x, options) != degrees) what = "degrees";
        else if (variant_edges(v, x, options) != slow.edges()) what = "edge array";
        // x_k = k given as positions, the float natural rule with L = 0: today's builder.
        if (what.empty() && !options.exact && options.penetrable == 0 && p == 1) {
            const VisibilityGraph today = build_series_graph(v, options.skip_adjacent, options.rule);
            if (today.edges() != fast.edges() || !same_vertices(today, fast)) what = "x_k = k against today's builder";
        }
        if (!what.empty()) {
            if (++failed <= 5) {
                std::fprintf(stderr, "MISMATCH %s: family '%s', positions '%s', %s, L=%zu, exact=%d, skip=%d\n",
                             what.c_str(), family.name, positions[p].name,
                             options.rule == VisibilityRule::Natural ? "natural" : "horizontal",
                             options.penetrable, options.exact, options.skip_adjacent);
                print("series", v);
                print("positions", x);
            }
        }
        ++per_family[p];
        ++cases;
    }
    for (std::size_t p = 0; p < positions.size(); ++p) {
        std::printf("%-24s %ld cases\n", positions[p].name, per_family[p]);
    }
    std::printf("variants-check: %ld cases, %ld failed\n", cases, failed);
    return failed == 0 ? 0 : 1;
}
