// Generated series of many families for the native cross-checks: exact lines, V shapes,
// plateaus, ties, decimal ramps, values near the ends of the double range, pairs whose
// difference overflows (by a rounding tie too), subnormals, NaN and +-inf singly and in
// runs, walks and noise, and highs a few ulps below the line past a record.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include "core/visibility.hpp"

namespace kestrel_families {

using kestrel::Series;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

using Rng = std::mt19937_64;

inline double uniform(Rng& rng, double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng); }
inline long integer(Rng& rng, long a, long b) { return std::uniform_int_distribution<long>(a, b)(rng); }
inline double gauss(Rng& rng) { return std::normal_distribution<double>(0.0, 1.0)(rng); }

using Family = std::function<Series(Rng&, std::size_t)>;

struct NamedFamily {
    const char* name;
    Family make;
    bool cheap;  // the reference stays fast on long series of this family
};

inline Series generate(std::size_t n, const std::function<double(std::size_t)>& f) {
    Series v(n);
    for (std::size_t k = 0; k < n; ++k) v[k] = f(k);
    return v;
}

// Sprinkles NaN, +inf and -inf into a series, singly and in runs.
inline void sprinkle(Rng& rng, Series& v, double rate) {
    const double specials[] = {kNaN, kInf, -kInf};
    for (std::size_t k = 0; k < v.size(); ++k) {
        if (uniform(rng, 0, 1) < rate) {
            const double s = specials[integer(rng, 0, 2)];
            const std::size_t run = integer(rng, 0, 3) == 0 ? integer(rng, 1, 6) : 1;
            for (std::size_t t = 0; t < run && k + t < v.size(); ++t) v[k + t] = s;
        }
    }
}

// A pair of values whose difference rounds to +-inf or just stays finite, put at random
// places among ordinary values: b in [2^1023, 1.5 2^1023) and a negative partner a with
// b - a = 2^1024 - (1 + j) 2^970, j in -2..2. At j = 0 the difference lies halfway
// between the largest double and 2^1024 and rounds (to even) to +inf; j = 1 gives the
// largest double exactly, j = 2 a tie rounding down, j < 0 overflows. Sometimes a is
// below -2^1023 instead (a clear overflow).
// The pair is mirrored in sign and in order at random, so rises from the earlier to the
// later sample overflow to +inf and to -inf; runs just below the later value and lone
// values around +-0x1.xp+1023 join them.
inline Series overflowing_rises(Rng& r, std::size_t n) {
    const double max = std::numeric_limits<double>::max();
    Series v = generate(n, [&](std::size_t) {
        return integer(r, 0, 2) == 0 ? static_cast<double>(integer(r, -3, 3)) : gauss(r);
    });
    if (n < 2) return v;
    const long pairs = 1 + static_cast<long>(n / 8);
    for (long t = 0; t < pairs; ++t) {
        std::size_t i = static_cast<std::size_t>(integer(r, 0, static_cast<long>(n) - 2));
        std::size_t k = static_cast<std::size_t>(integer(r, static_cast<long>(i) + 1, static_cast<long>(n) - 1));
        if (integer(r, 0, 3) == 0 && k > i + 1) k = i + 1 + static_cast<std::size_t>(integer(r, 0, 1));
        // b = 2^1023 + m 2^971, m < 2^51; max - b and the sum below are exact.
        const double b = 0x1p1023 + static_cast<double>(integer(r, 0, (1L << 51) - 1)) * 0x1p971;
        double a = -((max - b) + 0x1p970) + static_cast<double>(integer(r, -2, 2)) * 0x1p970;
        if (integer(r, 0, 5) == 0) a = -(0x1p1023 + static_cast<double>(integer(r, 0, 1L << 20)) * 0x1p971);
        const double sign = integer(r, 0, 1) ? 1.0 : -1.0;
        const bool low_first = integer(r, 0, 1) == 1;
        v[i] = sign * (low_first ? a : b);
        v[k] = sign * (low_first ? b : a);
        // Mostly a short run just below the later value (by 2^971 to 2^1019), before it:
        // rises from the earlier value to them stay finite while the one to the later
        // value overflows, and steps between them and the later value are small.
        const double later = v[k];
        for (long run = integer(r, 0, 3) == 0 ? 0 : integer(r, 1, 3); run > 0 && k > i + 1; --run) {
            v[--k] = later - static_cast<double>(integer(r, 1, 1L << integer(r, 1, 48))) * 0x1p971;
        }
    }
    for (long t = integer(r, 0, 2); t > 0; --t) {
        const double m = 0x1p1023 * (1.0 + static_cast<double>(integer(r, 0, 15)) / 16.0) -
                         static_cast<double>(integer(r, 0, 1)) * 0x1p971;
        v[static_cast<std::size_t>(integer(r, 0, static_cast<long>(n) - 1))] = integer(r, 0, 1) ? m : -m;
    }
    return v;
}

inline std::vector<NamedFamily> families() {
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
    out.push_back({"overflowing rises", overflowing_rises, true});
    out.push_back({"near-ties past a record", [](Rng& r, std::size_t n) {
        // Far below everything else, pairs (lo, k) whose high lies on or 1 to 4096 ulps
        // below the line through lo and lo + 1: exactly blocked by lo + 1 (or on the line), while
        // the literal line value may pass above it.
        Series v = generate(n, [&](std::size_t) { return -1e7 + uniform(r, 0, 1); });
        for (std::size_t t = 0; n >= 3 && t < 1 + n / 40; ++t) {
            const long lo = integer(r, 0, static_cast<long>(n) - 3);
            const long k = integer(r, lo + 2, std::min(static_cast<long>(n) - 1, lo + 600));
            const double y0 = uniform(r, -1, 1) * std::ldexp(1.0, static_cast<int>(integer(r, 0, 20)));
            v[lo] = y0;
            v[lo + 1] = y0 + uniform(r, -3, 3);
            double y = y0 + static_cast<double>(k - lo) * (v[lo + 1] - y0);
            for (long m = integer(r, 0, 3) == 0 ? 0 : 1L << integer(r, 0, 12); m > 0; --m) y = std::nextafter(y, -kInf);
            v[k] = y;
        }
        return v;
    }, false});
    out.push_back({"mixed magnitudes", [](Rng& r, std::size_t n) {
        return generate(n, [&](std::size_t) { return gauss(r) * std::pow(10.0, integer(r, -300, 300)); });
    }, true});
    out.push_back({"picks near the double's ends", [](Rng& r, std::size_t n) {
        // Most rises between them overflow: dense rows of +inf line values.
        const double max = std::numeric_limits<double>::max();
        const double picks[] = {max, -max, 1.7e308, -1.7e308, 1e308, 0.0, kNaN};
        return generate(n, [&](std::size_t) { return picks[integer(r, 0, integer(r, 0, 7) == 0 ? 6 : 5)]; });
    }, false});
    out.push_back({"walk over the double's range", [](Rng& r, std::size_t n) {
        Series v = generate(n, [&](std::size_t) { return gauss(r); });
        double top = 0.0;
        for (std::size_t k = 1; k < n; ++k) v[k] += v[k - 1];
        for (double y : v) top = std::max(top, std::fabs(y));
        for (double& y : v) y = y / top * std::numeric_limits<double>::max();
        return v;
    }, true});
    out.push_back({"subnormal levels", [](Rng& r, std::size_t n) {
        const double tiny = std::numeric_limits<double>::denorm_min();
        return generate(n, [&](std::size_t) { return static_cast<double>(integer(r, 0, 8)) * tiny; });
    }, true});
    return out;
}

}  // namespace kestrel_families
