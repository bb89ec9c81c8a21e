// Cross-check of the variant builders (positions, penetrable visibility, the exact natural
// rule) against the literal reference procedure, on the generated families with random
// increasing positions and L in 0..4; series whose rises overflow get positions with tiny
// and huge gaps beside their huge values 3 times in 4; the first cases are hand-made
// ones of rises overflowing by a rounding tie.
//
//   variants_check [series] [seed] [max_length] [series family or "all"] [rule:L]
//
// Given a series family name, every generated case is of that family. Given "exact:L" or
// "float:L", every case is natural visibility under that rule with that L.
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
#include "models.hpp"

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
    out.push_back({"geometric over many binades", [](Rng& r, std::size_t n) {
        // Gaps far below 2^-960 of the extent: q underflows for the first samples' pairs.
        const double from = static_cast<double>(integer(r, -300, -100));
        const double to = static_cast<double>(integer(r, 100, 300));
        Series x = generate(n, [&](std::size_t k) {
            const double t = n < 2 ? 0.0 : static_cast<double>(k) / static_cast<double>(n - 1);
            return std::pow(10.0, from + (to - from) * t);
        });
        for (std::size_t k = 1; k < n; ++k) {
            if (!(x[k] > x[k - 1])) x[k] = std::nextafter(x[k - 1], kInf);
        }
        return x;
    }});
    out.push_back({"subnormal then huge", [](Rng& r, std::size_t n) {
        Series x = accumulate(r, n, 0.0, [](Rng&) { return std::numeric_limits<double>::denorm_min(); });
        if (n > 2) x.back() = 1e300;
        return x;
    }});
    return out;
}

// Positions for a series with huge values: gaps beside each sample beyond 2^1020 in
// magnitude are tiny (often a run of them after it, as after a pair's low end), huge or
// ordinary at random; other gaps ordinary. x = 0 sits at one sample, mostly one in
// [2^1022, 2^1023) in magnitude before an ordinary one (a low end of a pair), so the tiny gaps after it keep
// their size (a gap of 2^-100 next to x = 3 would round up to an ulp).
Series gaps_beside_huge_values(Rng& r, const Series& v) {
    const std::size_t n = v.size();
    if (n == 0) return {};
    auto huge = [&](std::size_t k) { return std::fabs(v[k]) >= 0x1p1020; };
    auto other = [&](long roll) {
        return roll == 0 ? 0x1p-100 * uniform(r, 1, 2) : roll == 1 ? 0x1p40 * uniform(r, 1, 2)
             : roll == 2 ? 0x1p-30 * uniform(r, 1, 2) : uniform(r, 0.5, 2.0);
    };
    Series gap(n, 1.0);  // gap[k]: from sample k to k + 1
    for (std::size_t k = 0; k + 1 < n; ++k) gap[k] = uniform(r, 0.5, 2.0);
    for (std::size_t k = 0; k < n; ++k) {
        if (!huge(k)) continue;
        if (k > 0) gap[k - 1] = other(integer(r, 0, 3));
        if (integer(r, 0, 2) != 0) {
            for (std::size_t t = k, run = static_cast<std::size_t>(integer(r, 1, 3)); t < k + run && t + 1 < n; ++t) {
                gap[t] = 0x1p-100 * uniform(r, 1, 2);
            }
        } else if (k + 1 < n) {
            gap[k] = other(integer(r, 1, 3));
        }
    }
    std::vector<std::size_t> lows, all;
    for (std::size_t k = 0; k < n; ++k) {
        if (huge(k)) all.push_back(k);
        if (std::fabs(v[k]) >= 0x1p1022 && std::fabs(v[k]) < 0x1p1023 && k + 1 < n && !huge(k + 1)) {
            lows.push_back(k);
        }
    }
    const auto& candidates = lows.empty() ? all : lows;
    const std::size_t origin = !candidates.empty() && integer(r, 0, 3) != 0
        ? candidates[static_cast<std::size_t>(integer(r, 0, static_cast<long>(candidates.size()) - 1))]
        : static_cast<std::size_t>(integer(r, 0, static_cast<long>(n) - 1));
    Series x(n, 0.0);
    for (std::size_t k = origin + 1; k < n; ++k) {
        x[k] = x[k - 1] + gap[k - 1];
        if (!(x[k] > x[k - 1])) x[k] = std::nextafter(x[k - 1], kInf);
    }
    for (std::size_t k = origin; k-- > 0;) {
        x[k] = x[k + 1] - gap[k];
        if (!(x[k] < x[k + 1])) x[k] = std::nextafter(x[k + 1], -kInf);
    }
    return x;
}

// Hand-made cases of rises that overflow by a rounding tie, with a tiny gap after the
// low end: the pair (0, 5) is visible (its line value is +inf), and its mirror images.
struct FixedCase {
    const char* name;
    Series v;
    Series x;
};

std::vector<FixedCase> fixed_cases() {
    const double lo = -0x1.9ffffffffffffp+1022, hi = 0x1.3p+1023, mid = 0x1.2000000000001p+1023;
    std::vector<FixedCase> out;
    out.push_back({"tie to +inf, tiny gap after the low end",
                   {lo, 0.0, 0.0, 0.0, mid, hi}, {0.0, 0x1p-100, 1.0, 2.0, 3.0, 4.0}});
    out.push_back({"tie to +inf, tiny gaps at both ends",
                   {lo, 0.0, 0.0, 0.0, mid, hi}, {0.0, 0x1p-100, 1.0, 2.0, 3.0, 3.0 + 0x1p-50}});
    out.push_back({"tie to +inf, huge gap before the high end",
                   {lo, 0.0, 0.0, 0.0, mid, hi}, {0.0, 0x1p-100, 1.0, 2.0, 3.0, 0x1p40}});
    out.push_back({"reversed", {hi, mid, 0.0, 0.0, 0.0, lo}, {-4.0, -3.0, -2.0, -1.0, -0x1p-100, 0.0}});
    out.push_back({"negated", {-lo, 0.0, 0.0, 0.0, -mid, -hi}, {0.0, 0x1p-100, 1.0, 2.0, 3.0, 4.0}});
    out.push_back({"largest double, no tie",
                   {std::nextafter(lo, 0.0), 0.0, 0.0, 0.0, mid, hi}, {0.0, 0x1p-100, 1.0, 2.0, 3.0, 4.0}});
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

// Random triples against the big-integer model, most of them past both filters: exactly
// collinear small integers scaled by a power of two per axis (anywhere in the double
// range, subnormals included), the middle point nudged by 0 or 1 ulp, and in every other
// case a translation that makes the differences inexact; plus a share of random doubles.
long random_orientation_checks(Rng& rng, long count) {
    long bad = 0;
    for (long t = 0; t < count; ++t) {
        double c[6];
        if (t % 4 == 3) {
            for (double& v : c) {
                v = std::ldexp(uniform(rng, -1, 1), static_cast<int>(integer(rng, -1074, 1023)));
            }
        } else {
            const int ex = static_cast<int>(integer(rng, -1074, 960));
            const int ey = static_cast<int>(integer(rng, -1074, 960));
            const long a = integer(rng, -40, 40), b = integer(rng, -40, 40);
            const long x0 = integer(rng, -50, 50), y0 = integer(rng, -50, 50);
            const long s = integer(rng, 1, 9), u = integer(rng, 1, 9);
            // (x0, y0), (x0 + (s + u) a, ...) and (x0 + s a, ...): k between a and b on a line.
            c[0] = std::ldexp(double(x0), ex);
            c[1] = std::ldexp(double(y0), ey);
            c[2] = std::ldexp(double(x0 + (s + u) * a), ex);
            c[3] = std::ldexp(double(y0 + (s + u) * b), ey);
            c[4] = std::ldexp(double(x0 + s * a), ex);
            c[5] = std::ldexp(double(y0 + s * b), ey);
            if (t % 2 == 1) {  // translated: rounded coordinates, inexact differences
                const double shift_x = std::ldexp(uniform(rng, 1, 2), ex + static_cast<int>(integer(rng, 0, 60)));
                const double shift_y = std::ldexp(uniform(rng, 1, 2), ey + static_cast<int>(integer(rng, 0, 60)));
                for (int k = 0; k < 6; k += 2) {
                    c[k] += shift_x;
                    c[k + 1] += shift_y;
                }
            }
            const long nudge = integer(rng, -1, 1);
            if (nudge != 0) c[5] = std::nextafter(c[5], nudge > 0 ? kInf : -kInf);
        }
        bool finite = true;
        for (double v : c) finite = finite && std::isfinite(v);
        if (!finite) continue;
        const int got = orientation_sign(c[0], c[1], c[2], c[3], c[4], c[5]);
        const int want = kestrel_models::exact_orientation(c[0], c[1], c[2], c[3], c[4], c[5]);
        if (got != want && ++bad <= 5) {
            std::fprintf(stderr, "orientation (%a, %a) (%a, %a) (%a, %a): got %d, want %d\n", c[0], c[1], c[2],
                         c[3], c[4], c[5], got, want);
        }
    }
    return bad;
}

}  // namespace

int main(int argc, char** argv) {
    const long total = argc > 1 ? std::atol(argv[1]) : 4000;
    const unsigned long seed = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1;
    const std::size_t max_length = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 120;
    Rng rng(seed);
    auto series_families = families();
    int fixed_exact = -1;  // -1: drawn; else 0 (float) or 1 (exact), with fixed_limit
    std::size_t fixed_limit = 0;
    if (argc > 5) {
        const std::string only = argv[5];
        const auto colon = only.find(':');
        const std::string rule = only.substr(0, colon);
        if (colon == std::string::npos || (rule != "exact" && rule != "float")) {
            std::fprintf(stderr, "rule:L expected, not '%s'\n", argv[5]);
            return 2;
        }
        fixed_exact = rule == "exact" ? 1 : 0;
        fixed_limit = std::strtoul(only.c_str() + colon + 1, nullptr, 10);
    }
    if (argc > 4 && std::strcmp(argv[4], "all") != 0) {
        std::erase_if(series_families, [&](const NamedFamily& f) { return std::strcmp(f.name, argv[4]) != 0; });
        if (series_families.empty()) {
            std::fprintf(stderr, "no series family named '%s'\n", argv[4]);
            return 2;
        }
    }
    const auto positions = position_families();
    const auto fixed = fixed_cases();
    // Each fixed case under the float natural rule with L in 0..2, both skip_adjacent values.
    const long fixed_runs = fixed_exact >= 0 ? 0 : static_cast<long>(fixed.size()) * 6;
    // One more count: gaps_beside_huge_values, given to the overflowing rises 3 times in 4.
    std::vector<long> per_family(positions.size() + 1, 0);
    long failed = orientation_checks() + random_orientation_checks(rng, 20 * total), cases = 0;
    for (long t = 0; t < total; ++t) {
        const NamedFamily& family = series_families[static_cast<std::size_t>(t) % series_families.size()];
        std::size_t p = static_cast<std::size_t>(integer(rng, 0, static_cast<long>(positions.size()) - 1));
        const long roll = integer(rng, 0, 99);
        const std::size_t cap = std::min<std::size_t>(max_length, roll < 85 ? 40 : max_length);
        std::size_t n = static_cast<std::size_t>(integer(rng, 0, static_cast<long>(cap)));
        Series v = family.make(rng, n);
        const bool beside = std::strcmp(family.name, "overflowing rises") == 0 && integer(rng, 0, 3) != 0;
        if (beside) p = positions.size();
        Series x = beside ? gaps_beside_huge_values(rng, v) : positions[p].make(rng, n);
        VariantOptions options;
        options.rule = integer(rng, 0, 2) == 0 ? VisibilityRule::Horizontal : VisibilityRule::Natural;
        options.penetrable = static_cast<std::size_t>(integer(rng, 0, 5) == 0 ? 0 : integer(rng, 0, 4));
        options.exact = integer(rng, 0, 1) == 1;
        options.skip_adjacent = integer(rng, 0, 3) == 0;
        if (fixed_exact >= 0) {
            options.rule = VisibilityRule::Natural;
            options.exact = fixed_exact == 1;
            options.penetrable = fixed_limit;
        }
        const char* series_name = family.name;
        const char* positions_name = beside ? "gaps beside huge values" : positions[p].name;
        if (t < fixed_runs) {
            const FixedCase& c = fixed[static_cast<std::size_t>(t) % fixed.size()];
            v = c.v;
            x = c.x;
            n = v.size();
            options.rule = VisibilityRule::Natural;
            options.exact = false;
            options.penetrable = static_cast<std::size_t>(t / static_cast<long>(fixed.size())) % 3;
            options.skip_adjacent = t / static_cast<long>(fixed.size()) >= 3;
            series_name = c.name;
            positions_name = "fixed";
            p = positions.size() + 1;
        }
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
        if (what.empty() && options.rule == VisibilityRule::Natural) {
            const std::size_t first = static_cast<std::size_t>(t) % (n + 1);
            std::vector<Edge> later;
            for (const Edge& e : slow.edges()) {
                if (e.high >= first) later.push_back(e);
            }
            if (natural_variant_edges_from(v, x, options, first) != later) what = "edges from a first high";
        }
        // x_k = k given as positions, the float natural rule with L = 0: today's builder.
        if (what.empty() && !options.exact && options.penetrable == 0 && p == 1) {
            const VisibilityGraph today = build_series_graph(v, options.skip_adjacent, options.rule);
            if (today.edges() != fast.edges() || !same_vertices(today, fast)) what = "x_k = k against today's builder";
        }
        if (!what.empty()) {
            if (++failed <= 5) {
                std::fprintf(stderr, "MISMATCH %s: family '%s', positions '%s', %s, L=%zu, exact=%d, skip=%d\n",
                             what.c_str(), series_name, positions_name,
                             options.rule == VisibilityRule::Natural ? "natural" : "horizontal",
                             options.penetrable, options.exact, options.skip_adjacent);
                print("series", v);
                print("positions", x);
            }
        }
        if (p < per_family.size()) ++per_family[p];
        ++cases;
    }
    for (std::size_t p = 0; p < positions.size(); ++p) {
        std::printf("%-24s %ld cases\n", positions[p].name, per_family[p]);
    }
    std::printf("%-24s %ld cases\n", "gaps beside huge values", per_family[positions.size()]);
    std::printf("%-24s %ld cases\n", "fixed", std::min(total, fixed_runs));
    std::printf("variants-check: %ld cases, %ld failed\n", cases, failed);
    return failed == 0 ? 0 : 1;
}
