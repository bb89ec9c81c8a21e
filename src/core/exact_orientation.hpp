// Exact orientation of three points with finite double coordinates. Pure C++.
#pragma once

namespace kestrel {

// Sign (-1, 0 or +1) of  (xb - xa)(yk - ya) - (xk - xa)(yb - ya)  computed exactly on the
// binary values, for any finite doubles (differences that overflow and subnormals
// included). With xa < xk < xb it is >= 0 exactly when (xk, yk) lies on or above the
// chord from (xa, ya) to (xb, yb). Stages: a floating-point filter with a proven error
// bound decides almost every call; for coordinates of moderate size (2^-300 to 2^300),
// exact differences are decided by an exact expansion and inexact ones by a second
// filter that adds the differences' rounding tails; anything left goes to exact integer
// arithmetic on mantissas and exponents.
int orientation_sign(double xa, double ya, double xb, double yb, double xk, double yk);

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
