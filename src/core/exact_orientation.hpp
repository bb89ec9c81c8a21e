// Exact orientation of three points with finite double coordinates. Pure C++.
#pragma once

namespace kestrel {

// Sign (-1, 0 or +1) of  (xb - xa)(yk - ya) - (xk - xa)(yb - ya)  computed exactly on the
// binary values, for any finite doubles (differences that overflow and subnormals
// included). With xa < xk < xb it is >= 0 exactly when (xk, yk) lies on or above the
// chord from (xa, ya) to (xb, yb). Three stages: a floating-point filter with a proven
// error bound decides almost every call; when the four differences are exact and of
// moderate size, an exact two-term expansion decides; anything else goes to exact
// integer arithmetic on mantissas and exponents.
int orientation_sign(double xa, double ya, double xb, double yb, double xk, double yk);

// The exact natural rule for one sample k strictly between a and b (xa < xk < xb), with
// the float rule's meaning of non-finite samples: a NaN anywhere and an infinite low end
// never block; a +inf high end is blocked only by +inf, a -inf high end by every sample
// that is not NaN; between finite ends a +inf sample blocks and a -inf sample does not.
// Otherwise blocked when (xk, yk) lies on or above the chord, exactly.
bool exact_blocks(double xa, double ya, double xk, double yk, double xb, double yb);

}  // namespace kestrel
