// Exact orientation of three points with finite double coordinates. Pure C++.
#pragma once

#include <cmath>

namespace kestrel {

// Sign (-1, 0 or +1) of  (xb - xa)(yk - ya) - (xk - xa)(yb - ya)  computed exactly on the
// binary values, for any finite doubles (differences that overflow and subnormals
// included). With xa < xk < xb it is >= 0 exactly when (xk, yk) lies on or above the
// chord from (xa, ya) to (xb, yb). Stages: a floating-point filter with a proven error
// bound decides almost every call; for coordinates of moderate size (2^-300 to 2^300),
// exact differences are decided by an exact expansion and inexact ones by a second
// filter that adds the differences' rounding tails; anything left goes to exact integer
// arithmetic on mantissas and exponents.
// The filter is inline: most callers test millions of clear cases in their inner loops.
int orientation_sign_beyond_filter(double xa, double ya, double xb, double yb, double xk, double yk,
                                   double bound);
inline int orientation_sign(double xa, double ya, double xb, double yb, double xk, double yk) {
    const double left = (xb - xa) * (yk - ya);
    const double right = (xk - xa) * (yb - ya);
    const double det = left - right;
    // Each difference is within u = 2^-53 of its exact value relative to itself (or exact
    // when subnormal), each product adds u relative plus 2^-1075 absolute, and the final
    // subtraction u relative: |det - exact| <= (3u + 3u^2)(|left| + |right|) + 2^-1073.
    // The bound is larger than that plus its own rounding. Any overflow makes it infinite
    // or NaN, and then neither test passes.
    const double bound = 0x1p-51 * (std::fabs(left) + std::fabs(right)) + 0x1p-1070;
    if (det > bound) return 1;
    if (det < -bound) return -1;
    return orientation_sign_beyond_filter(xa, ya, xb, yb, xk, yk, bound);
}

// The exact natural rule for one sample k strictly between a and b (xa < xk < xb), with
// the float rule's meaning of non-finite samples: a NaN anywhere and an infinite low end
// never block; a +inf high end is blocked only by +inf, a -inf high end by every sample
// that is not NaN; between finite ends a +inf sample blocks and a -inf sample does not.
// Otherwise blocked when (xk, yk) lies on or above the chord, exactly.
bool exact_blocks(double xa, double ya, double xk, double yk, double xb, double yb);

// Directed bounds of one operation on finite doubles: a double >= (or <=) the exact
// result. The rounded result itself when the operation was exact or rounded the right
// way (decided from its exact error term), otherwise the next double. Overflow gives
// +-inf, still a bound.
double difference_upper(double a, double b);  // >= a - b
double difference_lower(double a, double b);  // <= a - b
double sum_upper(double a, double b);         // >= a + b
double product_upper(double a, double b);     // >= a b
double quotient_upper(double a, double b);    // >= a / b, b > 0

}  // namespace kestrel
