#include "core/variants.hpp"

#include <algorithm>
#include <cmath>

#include "core/exact_orientation.hpp"
#include "core/memory.hpp"

namespace kestrel {

namespace {

double position(std::span<const double> x, std::size_t k) {
    return x.empty() ? static_cast<double>(k) : x[k];
}

}  // namespace

PositionsCheck check_positions(std::span<const double> x, std::size_t samples) {
    if (x.size() != samples) return {PositionsFault::length, 0};
    for (std::size_t k = 0; k < x.size(); ++k) {
        if (!std::isfinite(x[k])) return {PositionsFault::not_finite, k};
        if (k > 0 && !(x[k] > x[k - 1])) return {PositionsFault::not_increasing, k};
    }
    return {};
}

bool variant_blocks(std::span<const double> v, std::span<const double> x, std::size_t lo,
                    std::size_t k, std::size_t hi, const VariantOptions& options) {
    if (options.rule == VisibilityRule::Horizontal) {
        // IEEE minimum: NaN only when both ends are NaN; a NaN sample never blocks.
        double threshold;
        if (std::isnan(v[lo])) {
            threshold = v[hi];
        } else if (v[hi] < v[lo]) {
            threshold = v[hi];
        } else {
            threshold = v[lo];
        }
        return v[k] >= threshold;
    }
    const double x_lo = position(x, lo);
    if (options.exact) {
        return exact_blocks(x_lo, v[lo], position(x, k), v[k], position(x, hi), v[hi]);
    }
    // Quotient, product and sum as separate roundings, in this order (no contraction).
    const double span = position(x, hi) - x_lo;
    const double rise = v[hi] - v[lo];
    const double q = (position(x, k) - x_lo) / span;
    const double h = q * rise + v[lo];
    return v[k] >= h;  // ordered: NaN on either side never blocks
}

bool variant_pair_visible(std::span<const double> v, std::span<const double> x, std::size_t lo,
                          std::size_t hi, const VariantOptions& options) {
    if (lo >= hi || hi >= v.size()) return false;
    std::size_t blockers = 0;
    for (std::size_t k = lo + 1; k < hi; ++k) {
        if (variant_blocks(v, x, lo, k, hi, options) && ++blockers > options.penetrable) {
            return false;
        }
    }
    return true;
}

VisibilityGraph reference_variant_graph(std::span<const double> v, std::span<const double> x,
                                        const VariantOptions& options) {
    VisibilityGraph graph;
    graph.reserve_vertices(v.size());
    for (std::size_t k = 0; k < v.size(); ++k) graph.add_vertex(position(x, k), v[k]);
    for (std::size_t lo = 0; lo < v.size(); ++lo) {
        for (std::size_t hi = lo + 1; hi < v.size(); ++hi) {
            if (options.skip_adjacent && hi == lo + 1) continue;
            if (variant_pair_visible(v, x, lo, hi, options)) (void)graph.add_edge(lo, hi);
        }
    }
    return graph;
}

std::size_t first_missing(std::span<const double> v) {
    for (std::size_t k = 0; k < v.size(); ++k) {
        if (std::isnan(v[k])) return k;
    }
    return v.size();
}

void omit_missing(std::vector<double>& v, std::vector<double>& x, std::vector<double>* also) {
    const std::size_t first = first_missing(v);
    if (first == v.size()) return;
    if (x.empty()) {
        // Indices below 2^53 are exact doubles; so is every index a series can have.
        reserve_large(x, v.size());
        for (std::size_t k = 0; k < v.size(); ++k) x.push_back(static_cast<double>(k));
    }
    std::size_t kept = first;
    for (std::size_t k = first; k < v.size(); ++k) {
        if (std::isnan(v[k])) continue;
        v[kept] = v[k];
        x[kept] = x[k];
        if (also != nullptr) (*also)[kept] = (*also)[k];
        ++kept;
    }
    v.resize(kept);
    x.resize(kept);
    if (also != nullptr) also->resize(kept);
}

std::size_t scale_decimals(std::span<const double> v, int places, std::vector<double>& scaled) {
    // 10^places is exact for places <= 22.
    double power = 1.0;
    for (int k = 0; k < places; ++k) power *= 10.0;
    scaled.clear();
    reserve_large(scaled, v.size());
    for (std::size_t k = 0; k < v.size(); ++k) {
        const double value = v[k];
        if (std::isnan(value)) {
            scaled.push_back(value);
            continue;
        }
        if (!std::isfinite(value) || !(std::fabs(value) * power < 1e15)) return k;
        // If value is the double nearest to M / 10^places with |M| < 10^15 < 2^50, then
        // |value * 10^places - M| <= 10^places ulp(value) / 2 <= |M| 2^-52 <= 1/4, and the
        // product's own rounding adds at most 1/8: rounding it gives M. Whether value is
        // that nearest double is then one correctly rounded division of exact operands.
        const double m = std::nearbyint(value * power);
        if (!(std::fabs(m) < 1e15) || m / power != value) return k;
        scaled.push_back(m + 0.0);  // -0.0 becomes 0.0: the decimal zero
    }
    return v.size();
}

std::vector<Edge> variant_edges(std::span<const double> v, std::span<const double> x,
                                const VariantOptions& options) {
    if (options.rule == VisibilityRule::Horizontal) {
        // The horizontal rule never reads positions.
        if (options.penetrable == 0) return horizontal_visibility_edges(v, options.skip_adjacent);
        return horizontal_penetrable_edges(v, options.penetrable, options.skip_adjacent);
    }
    if (x.empty() && options.penetrable == 0 && !options.exact) {
        return natural_visibility_edges(v, options.skip_adjacent);
    }
    return natural_variant_edges(v, x, options);
}

std::vector<std::uint64_t> variant_degrees(std::span<const double> v, std::span<const double> x,
                                           const VariantOptions& options) {
    if (options.rule == VisibilityRule::Horizontal) {
        if (options.penetrable == 0) {
            return visibility_degrees(v, options.skip_adjacent, VisibilityRule::Horizontal);
        }
        return horizontal_penetrable_degrees(v, options.penetrable, options.skip_adjacent);
    }
    if (x.empty() && options.penetrable == 0 && !options.exact) {
        return natural_visibility_degrees(v, options.skip_adjacent);
    }
    return natural_variant_degrees(v, x, options);
}

namespace {

// The plain rules: the horizontal rule (it never reads positions) and the natural float
// rule at x_k = k, with no blockers.
bool plain_rule(std::span<const double> x, const VariantOptions& options) {
    return options.penetrable == 0 &&
           (options.rule == VisibilityRule::Horizontal || (x.empty() && !options.exact));
}

// The natural float rule with no blockers at given positions.
bool float_at_positions(std::span<const double> x, const VariantOptions& options) {
    return options.rule == VisibilityRule::Natural && options.penetrable == 0 && !options.exact && !x.empty();
}

}  // namespace

std::vector<Edge> variant_edges(std::span<const double> v, std::span<const double> x,
                                const VariantOptions& options, std::size_t threads) {
    // Edges at positions stay on one thread: the threaded rows are gathered per chunk
    // before the result is sized, which would hold a dense graph's edges twice; the one
    // thread's collector hands its blocks over as it fills the result.
    if (plain_rule(x, options)) return visibility_edges(v, options.skip_adjacent, options.rule, threads);
    return variant_edges(v, x, options);
}

std::vector<std::uint64_t> variant_degrees(std::span<const double> v, std::span<const double> x,
                                           const VariantOptions& options, std::size_t threads) {
    if (plain_rule(x, options)) return visibility_degrees(v, options.skip_adjacent, options.rule, threads);
    if (float_at_positions(x, options)) {
        return natural_positions_degrees(v, x, options.skip_adjacent,
                                         visibility_cuts(v.size(), threads, VisibilityRule::Natural));
    }
    return variant_degrees(v, x, options);
}

VisibilityGraph build_variant_graph(std::span<const double> v, std::span<const double> x,
                                    const VariantOptions& options) {
    return build_variant_graph(v, v, x, options);
}

VisibilityGraph build_variant_graph(std::span<const double> v, std::span<const double> decided,
                                    std::span<const double> x, const VariantOptions& options) {
    std::vector<Edge> edges = variant_edges(decided, x, options);
    std::vector<Vertex> vertices;
    reserve_large(vertices, v.size());
    vertices.resize(v.size());
    for (std::size_t k = 0; k < v.size(); ++k) vertices[k] = Vertex{position(x, k), v[k]};
    return VisibilityGraph::from_sorted(std::move(vertices), std::move(edges));
}

}  // namespace kestrel
