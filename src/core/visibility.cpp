#include "core/visibility.hpp"

#include <algorithm>
#include <cmath>

namespace kestrel {

bool indices_are_visible(std::span<const double> v, std::size_t i, std::size_t j) {
    const std::size_t n = v.size();
    if (i >= n || j >= n || i == j) {
        return false;
    }
    const std::size_t lo = std::min(i, j);
    const std::size_t hi = std::max(i, j);
    const double y_lo = v[lo];
    const double span = static_cast<double>(hi - lo);
    const double rise = v[hi] - y_lo;
    for (std::size_t d = 1; lo + d < hi; ++d) {
        // Quotient, product and sum as three separate roundings (built without FP
        // contraction): the line value at ties and infinities depends on this order.
        const double q = static_cast<double>(d) / span;
        const double h = q * rise + y_lo;
        // Ordered comparison: a NaN on either side never blocks.
        if (v[lo + d] >= h) {
            return false;
        }
    }
    return true;
}

bool indices_are_horizontally_visible(std::span<const double> v, std::size_t i, std::size_t j) {
    const std::size_t n = v.size();
    if (i >= n || j >= n || i == j) {
        return false;
    }
    const std::size_t lo = std::min(i, j);
    const std::size_t hi = std::max(i, j);
    // IEEE minimum: NaN only when both ends are NaN.
    double threshold;
    if (std::isnan(v[lo])) {
        threshold = v[hi];
    } else if (v[hi] < v[lo]) {
        threshold = v[hi];
    } else {
        threshold = v[lo];
    }
    for (std::size_t k = lo + 1; k < hi; ++k) {
        if (v[k] >= threshold) {
            return false;
        }
    }
    return true;
}

bool rule_test(VisibilityRule rule, std::span<const double> v, std::size_t i, std::size_t j) {
    return rule == VisibilityRule::Natural ? indices_are_visible(v, i, j)
                                           : indices_are_horizontally_visible(v, i, j);
}

}  // namespace kestrel
