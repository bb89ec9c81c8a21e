// Literal models for the native checks (unit checks, cross-checks, the fuzz target):
// written the plain way, independent of the core's algorithms, one copy each.
//   PlainGraph        the graph record: vectors and linear scans;
//   literal_visible   the pair test of both rules, sample by sample;
//   literal_graph     every pair of a stretch by literal_visible;
//   exact_orientation the orientation sign as big integers: differences first, then
//                     products, then their difference (the core sums six products).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/graph_record.hpp"
#include "core/visibility.hpp"

namespace kestrel_models {

using kestrel::Edge;
using kestrel::GraphStatus;
using kestrel::Series;
using kestrel::Vertex;
using kestrel::VisibilityGraph;

// The record written the plain way: every lookup is a linear scan.
struct PlainGraph {
    std::vector<Vertex> vertices;
    std::vector<Edge> edges;

    GraphStatus add_edge(std::size_t a, std::size_t b) {
        if (a >= vertices.size() || b >= vertices.size()) return GraphStatus::index_out_of_bounds;
        const Edge e{std::min(a, b), std::max(a, b)};
        if (a != b && std::find(edges.begin(), edges.end(), e) == edges.end()) edges.push_back(e);
        return GraphStatus::ok;
    }
    GraphStatus remove_vertex(std::size_t index) {
        if (index >= vertices.size()) return GraphStatus::index_out_of_bounds;
        vertices.erase(vertices.begin() + static_cast<std::ptrdiff_t>(index));
        std::vector<Edge> kept;
        for (Edge e : edges) {
            if (e.low != index && e.high != index) {
                kept.push_back(Edge{e.low - (e.low > index), e.high - (e.high > index)});
            }
        }
        edges = kept;
        return GraphStatus::ok;
    }
    bool remove_edge(std::size_t a, std::size_t b) {
        return a != b && std::erase(edges, Edge{std::min(a, b), std::max(a, b)}) > 0;
    }
};

// Vertices compared bit for bit, so NaN and -0.0 count as stored values.
inline bool same_vertices(std::span<const Vertex> a, std::span<const Vertex> b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(Vertex)) == 0);
}

inline bool same(const VisibilityGraph& g, const PlainGraph& r) {
    return same_vertices(g.vertices(), r.vertices) && g.node_count() == r.vertices.size() &&
           g.edges() == r.edges && g.edge_count() == r.edges.size();
}

// The pair test at x_k = k: natural, h = fl(fl(fl(d / span) * rise) + v_lo); horizontal,
// h = fmin(v_lo, v_hi); blocked when v_k >= h.
inline bool literal_visible(const Series& v, std::size_t i, std::size_t j, bool natural) {
    if (i >= v.size() || j >= v.size() || i == j) return false;
    const std::size_t lo = std::min(i, j), hi = std::max(i, j);
    for (std::size_t k = lo + 1; k < hi; ++k) {
        const double q = double(k - lo) / double(hi - lo);
        const double product = q * (v[hi] - v[lo]);
        if (v[k] >= (natural ? product + v[lo] : std::fmin(v[lo], v[hi]))) return false;
    }
    return true;
}

// The graph of samples lo..hi (vertex a - lo at (a, v_a)), every pair by literal_visible.
inline PlainGraph literal_graph(const Series& v, std::size_t lo, std::size_t hi, bool skip, bool natural) {
    PlainGraph g;
    for (std::size_t a = lo; a <= hi && a < v.size(); ++a) {
        g.vertices.push_back(Vertex{double(a), v[a]});
        for (std::size_t b = a + 1; b <= hi && b < v.size(); ++b) {
            if (!(skip && b == a + 1) && literal_visible(v, a, b, natural)) g.edges.push_back(Edge{a - lo, b - lo});
        }
    }
    return g;
}

// Signed big integers in base 2^32, little-endian magnitude.
struct BigInt {
    bool negative = false;
    std::vector<std::uint32_t> digits;  // no leading zeros; empty for zero

    void trim() {
        while (!digits.empty() && digits.back() == 0) digits.pop_back();
        if (digits.empty()) negative = false;
    }
};

// |a| <=> |b|
inline int compare_magnitudes(const BigInt& a, const BigInt& b) {
    if (a.digits.size() != b.digits.size()) return a.digits.size() < b.digits.size() ? -1 : 1;
    for (std::size_t k = a.digits.size(); k-- > 0;) {
        if (a.digits[k] != b.digits[k]) return a.digits[k] < b.digits[k] ? -1 : 1;
    }
    return 0;
}

// A finite double as the integer d 2^1074.
inline BigInt scaled_integer(double d) {
    BigInt out;
    if (d == 0.0) return out;
    int exponent = 0;
    const double fraction = std::frexp(std::fabs(d), &exponent);         // in [0.5, 1)
    const auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));  // exact
    std::uint64_t m = mantissa;
    int shift = exponent - 53 + 1074;  // below 0 only for subnormals, whose low bits are zero
    if (shift < 0) {
        m >>= -shift;
        shift = 0;
    }
    out.negative = d < 0;
    out.digits.assign(static_cast<std::size_t>(shift / 32) + 3, 0);
    const unsigned __int128 placed = static_cast<unsigned __int128>(m) << (shift % 32);
    for (std::size_t k = 0; k < 3; ++k) {
        out.digits[static_cast<std::size_t>(shift / 32) + k] = static_cast<std::uint32_t>(placed >> (32 * k));
    }
    out.trim();
    return out;
}

inline BigInt add(const BigInt& a, const BigInt& b) {
    BigInt out;
    if (a.negative == b.negative) {
        out.negative = a.negative;
        std::uint64_t carry = 0;
        for (std::size_t k = 0; k < std::max(a.digits.size(), b.digits.size()) || carry; ++k) {
            const std::uint64_t sum = carry + (k < a.digits.size() ? a.digits[k] : 0) + (k < b.digits.size() ? b.digits[k] : 0);
            out.digits.push_back(static_cast<std::uint32_t>(sum));
            carry = sum >> 32;
        }
    } else {
        const bool a_larger = compare_magnitudes(a, b) >= 0;
        const BigInt& big = a_larger ? a : b;
        const BigInt& small = a_larger ? b : a;
        out.negative = big.negative;
        std::int64_t borrow = 0;
        for (std::size_t k = 0; k < big.digits.size(); ++k) {
            std::int64_t d = std::int64_t{big.digits[k]} - borrow - (k < small.digits.size() ? small.digits[k] : 0);
            borrow = d < 0;
            if (d < 0) d += std::int64_t{1} << 32;
            out.digits.push_back(static_cast<std::uint32_t>(d));
        }
    }
    out.trim();
    return out;
}

inline BigInt negated(BigInt a) {
    if (!a.digits.empty()) a.negative = !a.negative;
    return a;
}

inline BigInt multiply(const BigInt& a, const BigInt& b) {
    BigInt out;
    if (a.digits.empty() || b.digits.empty()) return out;
    out.digits.assign(a.digits.size() + b.digits.size(), 0);
    for (std::size_t i = 0; i < a.digits.size(); ++i) {
        std::uint64_t carry = 0;
        for (std::size_t j = 0; j < b.digits.size() || carry; ++j) {
            const std::uint64_t cur = out.digits[i + j] + carry +
                                      (j < b.digits.size() ? std::uint64_t{a.digits[i]} * b.digits[j] : 0);
            out.digits[i + j] = static_cast<std::uint32_t>(cur);
            carry = cur >> 32;
        }
    }
    out.negative = a.negative != b.negative;
    out.trim();
    return out;
}

// Sign of (xb - xa)(yk - ya) - (xk - xa)(yb - ya), exactly, for finite doubles.
inline int exact_orientation(double xa, double ya, double xb, double yb, double xk, double yk) {
    auto difference = [](double p, double q) { return add(scaled_integer(p), negated(scaled_integer(q))); };
    const BigInt det = add(multiply(difference(xb, xa), difference(yk, ya)),
                           negated(multiply(difference(xk, xa), difference(yb, ya))));
    return det.digits.empty() ? 0 : det.negative ? -1 : 1;
}

}  // namespace kestrel_models
