#include "core/exact_orientation.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace kestrel {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// --- stage 2: exact two-term expansions (Dekker and Knuth) ---------------------------

struct Pair {
    double value;
    double error;  // value + error is exact
};

Pair two_sum(double a, double b) {
    const double s = a + b;
    const double bv = s - a;
    const double av = s - bv;
    return {s, (a - av) + (b - bv)};
}

// Splits a into high and low halves of 26 bits each; exact for |a| < 2^996.
Pair split(double a) {
    const double c = 134217729.0 * a;  // 2^27 + 1
    const double high = c - (c - a);
    return {high, a - high};
}

Pair two_product(double a, double b) {
    const double p = a * b;
    const Pair as = split(a);
    const Pair bs = split(b);
    const double error =
        as.error * bs.error - (((p - as.value * bs.value) - as.error * bs.value) - as.value * bs.error);
    return {p, error};
}

// 0 or 2^-450 <= |d| <= 2^450: products of two such values and their error terms are
// representable without underflow (the last bit of each factor is >= 2^-502, so of the
// product >= 2^-1004) and sums of them cannot overflow.
bool moderate(double d) {
    const double m = std::fabs(d);
    return d == 0.0 || (m >= 0x1p-450 && m <= 0x1p450);
}

// Six coordinates each 0 or 2^-300 <= |c| <= 2^300: every difference and its tail is 0
// or between 2^-352 (the last bit of such a coordinate) and 2^301, so every product of
// two of them and its rounding error is representable (>= 2^-704 apart from zero) and
// nothing overflows: the stages between the filter and the integers need no more.
bool within_expansion_range(double a, double b, double c, double d, double e, double f) {
    auto in = [](double v) {
        const double m = std::fabs(v);
        return v == 0.0 || (m >= 0x1p-300 && m <= 0x1p300);
    };
    return in(a) && in(b) && in(c) && in(d) && in(e) && in(f);
}

int sign_of(double d) { return (d > 0) - (d < 0); }

// Sign of p1 + e1 - p2 - e2, each a double: Grow-Expansion keeps a nonoverlapping
// expansion with components of increasing magnitude, whose sign is that of its largest
// nonzero component.
int expansion_sign(Pair first, Pair second) {
    const Pair head = two_sum(first.value, -second.value);
    std::array<double, 4> parts{};
    // Add e1 to [head.error, head.value].
    Pair q = two_sum(first.error, head.error);
    parts[0] = q.error;
    q = two_sum(q.value, head.value);
    parts[1] = q.error;
    double top = q.value;
    // Add -e2 to [parts[0], parts[1], top].
    q = two_sum(-second.error, parts[0]);
    parts[0] = q.error;
    q = two_sum(q.value, parts[1]);
    parts[1] = q.error;
    q = two_sum(q.value, top);
    parts[2] = q.error;
    parts[3] = q.value;
    for (int k = 3; k >= 0; --k) {
        if (parts[static_cast<std::size_t>(k)] != 0.0) return sign_of(parts[static_cast<std::size_t>(k)]);
    }
    return 0;
}

// --- stage 3: exact integers ------------------------------------------------------------
// Every finite double is m 2^e with 0 <= m < 2^53 (sign apart) and -1074 <= e <= 971. A
// product of two is m1 m2 2^(e1 + e2): at most 106 bits at an offset e1 + e2 + 2148 in
// [0, 4090]. The positive and the negative products are summed apart, each in 4224 bits
// (with room for the carries of three terms), and the two sums compared.
constexpr int kBias = 2148;
constexpr std::size_t kWords = 66;

struct Magnitude {
    std::array<std::uint64_t, kWords> words{};
    std::size_t used = 0;  // words above this one are zero

    // Adds the 128-bit value shifted left by `offset` bits.
    void add(unsigned __int128 value, int offset) {
        const std::size_t word = static_cast<std::size_t>(offset / 64);
        const int bit = offset % 64;
        const auto low = static_cast<std::uint64_t>(value);
        const auto high = static_cast<std::uint64_t>(value >> 64);
        const std::uint64_t parts[3] = {
            low << bit,
            bit == 0 ? high : (high << bit) | (low >> (64 - bit)),
            bit == 0 ? 0 : high >> (64 - bit),
        };
        std::uint64_t carry = 0;
        std::size_t k = word;
        for (; k < kWords && (k < word + 3 || carry != 0); ++k) {
            const std::uint64_t operand = k < word + 3 ? parts[k - word] : 0;
            const std::uint64_t sum = words[k] + operand;
            const std::uint64_t first = sum < operand;
            words[k] = sum + carry;
            carry = first | (words[k] < sum);
        }
        used = std::max(used, k);
    }
};

int compare(const Magnitude& a, const Magnitude& b) {
    for (std::size_t k = std::max(a.used, b.used); k-- > 0;) {
        if (a.words[k] != b.words[k]) return a.words[k] > b.words[k] ? 1 : -1;
    }
    return 0;
}

struct Decomposed {
    std::uint64_t mantissa;  // 0 for zero
    int exponent;
    bool negative;
};

// From the bits: the stored fraction with the hidden bit for normal numbers; subnormals
// have exponent -1074 and no hidden bit.
Decomposed decompose(double d) {
    const auto bits = std::bit_cast<std::uint64_t>(d);
    const bool negative = bits >> 63;
    const int biased = static_cast<int>((bits >> 52) & 0x7ff);
    const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
    if (biased == 0) return {fraction, -1074, negative};
    return {fraction | (std::uint64_t{1} << 52), biased - 1075, negative};
}

void add_product(Magnitude& positive, Magnitude& negative, double a, double b, bool subtract) {
    const Decomposed da = decompose(a);
    const Decomposed db = decompose(b);
    if (da.mantissa == 0 || db.mantissa == 0) return;
    const bool below = (da.negative != db.negative) != subtract;
    const auto product = static_cast<unsigned __int128>(da.mantissa) * db.mantissa;
    (below ? negative : positive).add(product, da.exponent + db.exponent + kBias);
}

// The determinant expanded into six products of input coordinates, none rounded:
// xb yk - xb ya - xa yk - xk yb + xk ya + xa yb.
int exact_sign(double xa, double ya, double xb, double yb, double xk, double yk) {
    Magnitude positive;
    Magnitude negative;
    add_product(positive, negative, xb, yk, false);
    add_product(positive, negative, xb, ya, true);
    add_product(positive, negative, xa, yk, true);
    add_product(positive, negative, xk, yb, true);
    add_product(positive, negative, xk, ya, false);
    add_product(positive, negative, xa, yb, false);
    return compare(positive, negative);
}

}  // namespace

int orientation_sign_beyond_filter(double xa, double ya, double xb, double yb, double xk, double yk,
                                   double bound) {
    if (bound < kInf && within_expansion_range(xa, ya, xb, yb, xk, yk)) {
        // Each difference is its rounded value plus an exact tail: d = D + t.
        const Pair a = two_sum(xb, -xa);
        const Pair b = two_sum(yk, -ya);
        const Pair c = two_sum(xk, -xa);
        const Pair d = two_sum(yb, -ya);
        const Pair left_exact = two_product(a.value, b.value);
        const Pair right_exact = two_product(c.value, d.value);
        if (a.error == 0.0 && b.error == 0.0 && c.error == 0.0 && d.error == 0.0) {
            return expansion_sign(left_exact, right_exact);
        }
        // det = (A B - C D) + (A tb + ta B - C td - tc D) + (ta tb - tc td). The first part
        // is known exactly as two exact products; its estimate below is within u of it
        // plus 2u^2 T (T = |A B| + |C D|). The second is <= 2u T and computed within 8u^2 T;
        // the third is <= 2u^2 T. So |estimate - det| <= 2u |estimate| + 14u^2 T, and
        // the bound used is 8u |estimate| + 64u^2 T.
        const double head = (left_exact.value - right_exact.value) + (left_exact.error - right_exact.error);
        const double tails = (a.value * b.error + a.error * b.value) - (c.value * d.error + c.error * d.value);
        const double estimate = head + tails;
        const double total = std::fabs(left_exact.value) + std::fabs(right_exact.value);
        const double second_bound = 0x1p-50 * std::fabs(estimate) + 0x1p-100 * total;
        if (estimate > second_bound) return 1;
        if (estimate < -second_bound) return -1;
    }
    return exact_sign(xa, ya, xb, yb, xk, yk);
}

double difference_upper(double a, double b) {
    const Pair d = two_sum(a, -b);  // exact error unless the sum overflowed
    return std::isfinite(d.value) && d.error > 0 ? std::nextafter(d.value, kInf) : d.value;
}

double difference_lower(double a, double b) {
    const Pair d = two_sum(a, -b);
    return std::isfinite(d.value) && d.error < 0 ? std::nextafter(d.value, -kInf) : d.value;
}

double sum_upper(double a, double b) { return difference_upper(a, -b); }

// Rounding to nearest leaves the exact value between the result and its neighbour on
// the exact side, so the next double up is always an upper bound; it is taken only when
// the operation cannot be shown exact.
double product_upper(double a, double b) {
    const double p = a * b;
    if (!std::isfinite(p)) return p;
    if (moderate(a) && moderate(b)) {
        const Pair exact = two_product(a, b);
        if (exact.error <= 0) return p;
    }
    return std::nextafter(p, kInf);
}

double quotient_upper(double a, double b) {
    const double q = a / b;
    if (!std::isfinite(q)) return q;
    if (moderate(q) && moderate(b)) {
        const Pair back = two_product(q, b);  // q b exactly; b > 0, so q >= a / b iff q b >= a
        if (back.value > a || (back.value == a && back.error >= 0)) return q;
    }
    return std::nextafter(q, kInf);
}

bool exact_blocks(double xa, double ya, double xk, double yk, double xb, double yb) {
    if (std::isnan(ya) || std::isnan(yb) || std::isnan(yk) || std::isinf(ya)) return false;
    if (yb == kInf) return yk == kInf;
    if (yb == -kInf) return true;
    if (yk == kInf) return true;
    if (yk == -kInf) return false;
    return orientation_sign(xa, ya, xb, yb, xk, yk) >= 0;
}

}  // namespace kestrel
