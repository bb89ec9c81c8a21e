#include <cmath>

#include "core/visibility.hpp"

namespace kestrel {

namespace {

// Sign of an orientation value; NaN counts as collinear (0), like both zeros.
int sign_of(double value) {
    if (value > 0.0) return 1;
    if (value < 0.0) return -1;
    return 0;
}

// (q.y - p.y)(r.x - q.x) - (q.x - p.x)(r.y - q.y), each difference and product rounded
// on its own (no contraction): positive is clockwise of p->q.
double orient(Point p, Point q, Point r) {
    const double a = (q.y - p.y) * (r.x - q.x);
    const double b = (q.x - p.x) * (r.y - q.y);
    return a - b;
}

// Smaller and larger of two coordinates ignoring a single NaN operand.
double nan_min(double a, double b) {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return b < a ? b : a;
}

double nan_max(double a, double b) {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return b > a ? b : a;
}

struct Box {
    double lo_x, hi_x, lo_y, hi_y;

    Box(Point p, Point q)
        : lo_x(nan_min(p.x, q.x)), hi_x(nan_max(p.x, q.x)),
          lo_y(nan_min(p.y, q.y)), hi_y(nan_max(p.y, q.y)) {}

    // Inclusive bounds; ordered comparisons, so a NaN on either side is outside.
    bool holds(Point r) const {
        return lo_x <= r.x && r.x <= hi_x && lo_y <= r.y && r.y <= hi_y;
    }
};

}  // namespace

bool segment_is_visible(Point p1, Point p2, const std::vector<Segment>& obstacles) {
    // The sight segment's box and its orientation factors are shared by all obstacles.
    const Box sight_box(p1, p2);
    const double sight_dy = p2.y - p1.y;
    const double sight_dx = p2.x - p1.x;
    auto orient_sight = [&](Point r) {
        const double a = sight_dy * (r.x - p2.x);
        const double b = sight_dx * (r.y - p2.y);
        return a - b;
    };
    for (const Segment& obstacle : obstacles) {
        const Point a = obstacle.first;
        const Point b = obstacle.second;
        const int o1 = sign_of(orient(a, b, p1));
        const int o2 = sign_of(orient(a, b, p2));
        const int o3 = sign_of(orient_sight(a));
        const int o4 = sign_of(orient_sight(b));
        if (o1 != o2 && o3 != o4) {
            return false;  // proper crossing
        }
        const Box obstacle_box(a, b);
        if ((o1 == 0 && obstacle_box.holds(p1)) || (o2 == 0 && obstacle_box.holds(p2)) ||
            (o3 == 0 && sight_box.holds(a)) || (o4 == 0 && sight_box.holds(b))) {
            return false;  // touching or overlapping
        }
    }
    return true;
}

}  // namespace kestrel
