// Cross-check of the natural stream (natural_stream.hpp) against the batch natural build
// under the float rule: every generated family, at x_k = k and at given positions
// (integer gaps, uniform gaps, geometric spacing, epoch nanoseconds, subnormal gaps, an
// extent that overflows), with and without skip_adjacent, fed one sample at a time and in
// random pieces. The stream's edges (in the batch's order within each high end) and its
// degrees must equal the batch's after every piece; bad positions must be refused without changing the stream.
//
//   stream_check [series] [seed] [max_length]
//
// Prints "stream-check: N cases, F failed"; the first failing cases in full (%a).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "core/natural_stream.hpp"
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
    out.push_back({"index", [](Rng&, std::size_t) { return Series{}; }});
    out.push_back({"integer gaps", [](Rng& r, std::size_t n) {
        return accumulate(r, n, static_cast<double>(integer(r, -100, 100)),
                          [](Rng& g) { return static_cast<double>(integer(g, 1, 4)); });
    }});
    out.push_back({"uniform gaps", [](Rng& r, std::size_t n) {
        return accumulate(r, n, uniform(r, -5, 5), [](Rng& g) { return uniform(g, 1e-3, 2.0); });
    }});
    out.push_back({"geometric", [](Rng& r, std::size_t n) {
        const double to = static_cast<double>(integer(r, 1, 6));
        Series x = generate(n, [&](std::size_t k) {
            return std::pow(10.0, to * static_cast<double>(k) / static_cast<double>(std::max<std::size_t>(n, 2) - 1));
        });
        for (std::size_t k = 1; k < n; ++k) {
            if (!(x[k] > x[k - 1])) x[k] = std::nextafter(x[k - 1], kInf);
        }
        return x;
    }});
    out.push_back({"epoch nanoseconds", [](Rng& r, std::size_t n) {
        return accumulate(r, n, 1.7e18, [](Rng& g) { return 256.0 * static_cast<double>(integer(g, 1, 1000)); });
    }});
    out.push_back({"subnormal then huge gaps", [](Rng& r, std::size_t n) {
        Series x = accumulate(r, n, 0.0, [](Rng&) { return std::numeric_limits<double>::denorm_min(); });
        if (n > 2) x.back() = 1e300;
        return x;
    }});
    out.push_back({"extent overflows", [](Rng&, std::size_t n) {
        return generate(n, [n](std::size_t k) {
            const double t = n < 2 ? 0.0 : static_cast<double>(k) / static_cast<double>(n - 1);
            return (-1.6e308 + 1.6e308 * t) + 1.6e308 * t;
        });
    }});
    return out;
}

void print_series(const char* what, const Series& s) {
    std::printf("  %s = [", what);
    for (std::size_t k = 0; k < s.size(); ++k) std::printf("%s%a", k ? ", " : "", s[k]);
    std::printf("]\n");
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t cases = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 2000;
    const unsigned seed = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 7;
    const std::size_t max_length = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 200;
    Rng rng(seed);
    const auto series_families = families();
    const auto positions = position_families();
    std::size_t failed = 0;
    for (std::size_t c = 0; c < cases; ++c) {
        const auto& family = series_families[c % series_families.size()];
        const auto& place = positions[(c / series_families.size()) % positions.size()];
        const std::size_t n = static_cast<std::size_t>(integer(rng, 0, static_cast<long>(max_length)));
        const Series v = family.make(rng, n);
        const Series x = place.make(rng, v.size());
        const bool skip = integer(rng, 0, 1) == 1;
        VariantOptions options;
        options.skip_adjacent = skip;
        NaturalStream stream(skip, !x.empty());
        std::vector<Edge> got;
        std::string fault;
        // Pieces of random sizes (one sample at a time every other case); after each, the
        // edges so far and the degrees against the batch build of the prefix.
        const bool one_by_one = c % 2 == 0;
        for (std::size_t at = 0; at < v.size() && fault.empty();) {
            const std::size_t piece = one_by_one ? 1 : std::min<std::size_t>(v.size() - at, integer(rng, 1, 40));
            if (!x.empty() && at > 0 && integer(rng, 0, 7) == 0) {
                // A position that is not past the last one is refused and changes nothing.
                const std::size_t before = stream.size();
                if (stream.append(1.0, x[at - 1]) != StreamFault::position_not_increasing ||
                    stream.append(1.0, kNaN) != StreamFault::position_not_finite || stream.size() != before) {
                    fault = "a bad position was taken";
                }
            }
            std::size_t appended = 0;
            const std::span<const double> xs = x.empty() ? std::span<const double>{} : std::span<const double>(x).subspan(at, piece);
            if (stream.extend(std::span<const double>(v).subspan(at, piece), xs, got, appended) != StreamFault::none ||
                appended != piece) {
                fault = "a piece was refused";
            }
            at += piece;
            const Series prefix(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(at));
            const Series xprefix = x.empty() ? Series{} : Series(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(at));
            const bool last = at == v.size();
            if (!last && integer(rng, 0, 3) != 0) continue;  // the batch of some prefixes only
            const std::vector<Edge> want = natural_variant_edges(prefix, xprefix, options);
            // The stream gives each sample's edges as it comes, low ends ascending: the batch's
            // edges ordered by high end first.
            std::vector<Edge> by_high = want;
            std::stable_sort(by_high.begin(), by_high.end(), [](const Edge& a, const Edge& b) { return a.high < b.high; });
            if (got != by_high) {
                fault = "edges differ after " + std::to_string(at) + " samples (" + std::to_string(got.size()) +
                        " vs " + std::to_string(want.size()) + ")";
            } else {
                std::vector<std::uint64_t> degrees(at, 0);
                for (const Edge& e : want) {
                    ++degrees[e.low];
                    ++degrees[e.high];
                }
                const auto have = stream.degrees();
                if (!std::equal(have.begin(), have.end(), degrees.begin(), degrees.end()) ||
                    stream.edges() != want.size()) {
                    fault = "degrees differ after " + std::to_string(at) + " samples";
                }
            }
        }
        if (!fault.empty()) {
            if (++failed <= 5) {
                std::printf("FAIL %s, %s positions, skip_adjacent=%d, %s: %s\n", family.name, place.name, skip ? 1 : 0,
                            one_by_one ? "one by one" : "in pieces", fault.c_str());
                print_series("v", v);
                if (!x.empty()) print_series("x", x);
            }
        }
    }
    std::printf("stream-check: %zu cases, %zu failed\n", cases, failed);
    return failed == 0 ? 0 : 1;
}
