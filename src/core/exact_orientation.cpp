#include "core/exact_orientation.hpp"

#include <array>
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

// True when a - b is exact: the rounding error of the difference is zero.
bool difference_is_exact(double a, double b, double d) {
    const Pair s = two_sum(a, -b);
    return s.value == d && s.error == 0.0;
}

// 0 or 2^-450 <= |d| <= 2^450: products of two such values and their error terms are
// representable without underflow (the last bit of each factor is >= 2^-502, so of the
// product >= 2^-1004) and sums of them cannot overflow.
bool moderate(double d) {
    const double m = std::fabs(d);
    return d == 0.0 || (m >= 0x1p-450 && m <= 0x1p450);
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
// Every finite double is m 2^e with |m| < 2^53 and e >= -1126 (frexp normalises
// subnormals too) and e <= 971. A product of two is m1 m2 2^(e1 + e2): at most 106 bits
// at an offset e1 + e2 + 2252 in [0, 4194]. Six such terms fit, with carries and the
// sign, in 4304 bits of two's complement.
constexpr int kBias = 2252;
constexpr std::size_t kWords = 70;  // 4480 bits

struct Wide {
    std::array<std::uint64_t, kWords> words{};

    // Adds (negative: subtracts) the 128-bit magnitude shifted left by `offset` bits.
    void add(unsigned __int128 magnitude, int offset, bool negative) {
        std::array<std::uint64_t, 3> parts{};
        const int word = offset / 64;
        const int bit = offset % 64;
        const auto low = static_cast<std::uint64_t>(magnitude);
        const auto high = static_cast<std::uint64_t>(magnitude >> 64);
        parts[0] = low << bit;
        parts[1] = bit == 0 ? high : (high << bit) | (low >> (64 - bit));
        parts[2] = bit == 0 ? 0 : high >> (64 - bit);
        unsigned carry = 0;
        for (std::size_t k = static_cast<std::size_t>(word); k < kWords; ++k) {
            const std::size_t t = k - static_cast<std::size_t>(word);
            const std::uint64_t operand = t < 3 ? parts[t] : 0;
            if (t >= 3 && carry == 0) break;
            const std::uint64_t before = words[k];
            if (!negative) {
                const std::uint64_t sum = before + operand;
                const unsigned overflow = sum < before;
                words[k] = sum + carry;
                carry = overflow | (words[k] < sum);
            } else {
                const std::uint64_t difference = before - operand;
                const unsigned borrow = before < operand;
                words[k] = difference - carry;
                carry = borrow | (difference < carry);
            }
        }
    }

    int sign() const {
        if (words[kWords - 1] >> 63) return -1;
        for (std::uint64_t w : words) {
            if (w != 0) return 1;
        }
        return 0;
    }
};

struct Decomposed {
    std::int64_t mantissa;
    int exponent;
};

Decomposed decompose(double d) {
    if (d == 0.0) return {0, 0};
    int e = 0;
    const double fraction = std::frexp(d, &e);  // d = fraction 2^e, 0.5 <= |fraction| < 1
    return {static_cast<std::int64_t>(std::ldexp(fraction, 53)), e - 53};
}

void add_product(Wide& sum, double a, double b, bool subtract) {
    const Decomposed da = decompose(a);
    const Decomposed db = decompose(b);
    if (da.mantissa == 0 || db.mantissa == 0) return;
    const bool negative = ((da.mantissa < 0) != (db.mantissa < 0)) != subtract;
    const auto ma = static_cast<unsigned __int128>(da.mantissa < 0 ? -da.mantissa : da.mantissa);
    const auto mb = static_cast<unsigned __int128>(db.mantissa < 0 ? -db.mantissa : db.mantissa);
    sum.add(ma * mb, da.exponent + db.exponent + kBias, negative);
}

// The determinant expanded into six products of input coordinates, none rounded:
// xb yk - xb ya - xa yk - xk yb + xk ya + xa yb.
int exact_sign(double xa, double ya, double xb, double yb, double xk, double yk) {
    Wide sum;
    add_product(sum, xb, yk, false);
    add_product(sum, xb, ya, true);
    add_product(sum, xa, yk, true);
    add_product(sum, xk, yb, true);
    add_product(sum, xk, ya, false);
    add_product(sum, xa, yb, false);
    return sum.sign();
}

}  // namespace

int orientation_sign(double xa, double ya, double xb, double yb, double xk, double yk) {
    const double dxb = xb - xa;
    const double dyk = yk - ya;
    const double dxk = xk - xa;
    const double dyb = yb - ya;
    const double left = dxb * dyk;
    const double right = dxk * dyb;
    const double det = left - right;
    // Filter. Each difference is within u = 2^-53 of its exact value relative to itself
    // (or exact when subnormal), each product adds u relative plus 2^-1075 absolute, and
    // the final subtraction u relative: |det - exact| <= (3u + 3u^2)(|left| + |right|) +
    // 2^-1073. The bound below is larger than that plus its own rounding. Any overflow
    // makes the bound infinite or NaN, and then neither test passes.
    const double bound = 0x1p-51 * (std::fabs(left) + std::fabs(right)) + 0x1p-1070;
    if (det > bound) return 1;
    if (det < -bound) return -1;
    if (bound < kInf && moderate(dxb) && moderate(dyk) && moderate(dxk) && moderate(dyb) &&
        difference_is_exact(xb, xa, dxb) && difference_is_exact(yk, ya, dyk) &&
        difference_is_exact(xk, xa, dxk) && difference_is_exact(yb, ya, dyb)) {
        return expansion_sign(two_product(dxb, dyk), two_product(dxk, dyb));
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
