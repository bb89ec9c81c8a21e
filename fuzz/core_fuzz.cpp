// Fuzz target over the interpreter-free core: every input becomes a series (or a run of
// record edits), and the fast methods must give exactly what the literal reference
// procedures give. Any difference aborts after printing the input and the series.
//
// Input layout (reads past the end yield zero bytes):
//   byte 0   bit 0: skip_adjacent; bits 1-3: how the samples are made (see make_series);
//            0xF0 and above: record-edit mode instead (see record_edits)
//   byte 1   motif window selector (0, n + 1 and 2^64 - 1 reach the error paths)
//   byte 2-3 sub-graph indices i and j (0xF8 and above: out of range)
//   byte 4   segment-test selector
//   rest     the samples, at most kMaxSamples of them
//
// Built with libFuzzer (clang -fsanitize=fuzzer) or linked with standalone_driver.cpp;
// fuzz/run.sh does either, with AddressSanitizer and UBSan.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <variant>
#include <vector>

#include "core/cancel.hpp"
#include "core/edge_collector.hpp"
#include "core/exact_orientation.hpp"
#include "core/graph_record.hpp"
#include "core/variants.hpp"
#include "core/horizontal_stream.hpp"
#include "core/visibility.hpp"
#include "../tests/native/models.hpp"

using namespace kestrel;

namespace {

// The reference is cubic in the worst case (complete graphs); this keeps one input
// within a few milliseconds under the sanitizers. Parabolas are complete graphs, so
// they get fewer samples; a literal sub-graph reference is run on short stretches only
// (longer ones are checked against the stretch of the whole-series reference).
constexpr std::size_t kMaxSamples = 256;
constexpr std::size_t kMaxParabola = 128;
constexpr std::size_t kMaxReferenceStretch = 48;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

const std::uint8_t* g_data = nullptr;
std::size_t g_size = 0;
const Series* g_series = nullptr;

[[noreturn]] void fail(const char* what, bool skip_adjacent) {
    std::fprintf(stderr, "\n==== core_fuzz MISMATCH: %s (skip_adjacent=%d)\n", what, skip_adjacent);
    std::fprintf(stderr, "input (%zu bytes):", g_size);
    for (std::size_t k = 0; k < g_size; ++k) std::fprintf(stderr, "%s%02x", k % 32 ? "" : "\n  ", g_data[k]);
    std::fprintf(stderr, "\n");
    if (g_series != nullptr) {
        std::fprintf(stderr, "series (%zu):", g_series->size());
        for (double x : *g_series) std::fprintf(stderr, " %a", x);
        std::fprintf(stderr, "\n");
    }
    std::fflush(stderr);
    std::abort();
}

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool done() const { return at_ >= size_; }
    std::size_t left() const { return done() ? 0 : size_ - at_; }

    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }

    std::uint16_t u16() {
        const std::uint16_t lo = byte();
        return static_cast<std::uint16_t>(lo | (byte() << 8));
    }

    // Eight bytes taken as the bits of a double, so every NaN payload, infinity,
    // subnormal and signed zero can occur.
    double raw_double() {
        std::uint64_t bits = 0;
        for (int k = 0; k < 8; ++k) bits |= static_cast<std::uint64_t>(byte()) << (8 * k);
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

double from_bits(std::uint64_t bits) {
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Values that sit on the edges of the arithmetic.
const double kSpecials[16] = {
    kNaN,
    -kNaN,
    from_bits(0x7ff0000000000001ULL),  // signalling NaN payload
    kInf,
    -kInf,
    -0.0,
    0.0,
    std::numeric_limits<double>::denorm_min(),
    -std::numeric_limits<double>::denorm_min(),
    std::numeric_limits<double>::min(),
    std::numeric_limits<double>::max(),
    -std::numeric_limits<double>::max(),
    0x1p53,
    0x1p53 + 2.0,
    0x1p1000,  // the natural scan switches strategies at this magnitude
    -0x1.0000000000001p1000,
};

// One byte as a sample from a small set, so that equal values (ties) are common:
// 0..7 as is, negated, halved or in tenths; 0xF0 and above pick a special value.
double tie_value(std::uint8_t b) {
    if (b >= 0xF0) return kSpecials[b & 15];
    const double k = b & 7;
    switch ((b >> 3) & 3) {
        case 0: return k;
        case 1: return -k;
        case 2: return k / 2;
        default: return k * 0.1;
    }
}

// Slopes and scales for the shaped series.
const double kSteps[16] = {
    1.0, -1.0, 0.1, -0.1, 1.0 / 3.0, 0.5, 1e-300, 0x1p-1070, 0x1p52, 3.0, 0.0, 1e-3,
    7.0 / 3.0, 1e300, 0x1p990, -2.5,
};

// A value moved by `ulps` representable steps (a no-op on NaN and stops at infinity).
double nudge(double x, int ulps) {
    for (; ulps > 0; --ulps) x = std::nextafter(x, kInf);
    for (; ulps < 0; ++ulps) x = std::nextafter(x, -kInf);
    return x;
}

// A shaped sample: the exact value when the control byte says so, else a few ulps off
// it, else replaced by a tie value (specials included).
double perturb(double exact, std::uint8_t control) {
    switch (control >> 6) {
        case 0:
        case 1: return exact;
        case 2: return nudge(exact, static_cast<int>(control & 15) - 8);
        default: return tie_value(control);
    }
}

// Finite doubles whose exponent comes from a short list (tiny, subnormal, ordinary, and
// near the overflow and 2^1000 boundaries) and whose mantissa has only 16 free bits.
double shaped_magnitude(Reader& in) {
    static const int kExponents[16] = {-1074, -1060, -1022, -500, -60, -2, 0, 1,
                                       30, 52, 60, 500, 990, 999, 1000, 1022};
    const std::uint8_t e = in.byte();
    const std::uint16_t mantissa = in.u16();
    const int exponent = std::clamp(kExponents[e & 15] + ((e >> 4) & 7) - 3, -1074, 1023);
    const double m = 1.0 + static_cast<double>(mantissa) / 65536.0;
    const double value = std::ldexp(m, exponent);
    return (e & 0x80) ? -value : value;
}

Series make_series(Reader& in, unsigned mode) {
    Series v;
    switch (mode) {
        case 0:  // raw doubles
            while (in.left() >= 8 && v.size() < kMaxSamples) v.push_back(in.raw_double());
            break;
        case 1:  // one tie value per byte
            while (!in.done() && v.size() < kMaxSamples) v.push_back(tie_value(in.byte()));
            break;
        case 2:  // raw doubles mixed with tie values, by a tag byte each
            while (!in.done() && v.size() < kMaxSamples) {
                const std::uint8_t tag = in.byte();
                v.push_back((tag & 3) == 0 ? in.raw_double() : tie_value(tag));
            }
            break;
        case 3: {  // a line, as a running sum or on the literal line between the ends
            const double base = tie_value(in.byte());
            const std::uint8_t shape = in.byte();
            const double step = kSteps[shape & 15];
            const std::size_t n = std::min(in.left(), kMaxSamples);
            const double span = static_cast<double>(n > 1 ? n - 1 : 1);
            const double rise = step * span;
            for (std::size_t k = 0; k < n; ++k) {
                const double x = static_cast<double>(k);
                const double exact = (shape & 16) ? (x / span) * rise + base : base + step * x;
                v.push_back(perturb(exact, in.byte()));
            }
            break;
        }
        case 4: {  // convex or concave parabola
            const double scale = kSteps[in.byte() & 15];
            const double centre = in.byte() / 4.0;
            const double offset = tie_value(in.byte());
            const std::size_t n = std::min(in.left(), kMaxParabola);
            for (std::size_t k = 0; k < n; ++k) {
                const double x = static_cast<double>(k) - centre;
                v.push_back(perturb(scale * (x * x) + offset, in.byte()));
            }
            break;
        }
        case 5:  // restricted exponents, short mantissas
            while (in.left() >= 3 && v.size() < kMaxSamples) v.push_back(shaped_magnitude(in));
            break;
        case 6: {  // walk with steps in a tie set: plateaus and repeated levels
            double level = 0.0;
            while (!in.done() && v.size() < kMaxSamples) {
                const std::uint8_t b = in.byte();
                level = b >= 0xF0 ? tie_value(b) : (std::isfinite(level) ? level : 0.0) + tie_value(b & 0x3f) - 2.0;
                v.push_back(level);
            }
            break;
        }
        default: {  // a repeated pattern with a per-period shift
            const std::size_t period = 1 + in.byte() % 16;
            Series pattern;
            for (std::size_t k = 0; k < period; ++k) pattern.push_back(tie_value(in.byte()));
            const double shift = tie_value(in.byte() & 0xef);
            while (!in.done() && v.size() < kMaxSamples) {
                const std::uint8_t b = in.byte();
                for (std::size_t k = 0; k < period && v.size() < kMaxSamples; ++k) {
                    v.push_back(pattern[k] + shift * static_cast<double>(b & 3));
                }
            }
            break;
        }
    }
    return v;
}

using kestrel_models::same_vertices;

bool same_graph(const VisibilityGraph& a, const VisibilityGraph& b) {
    return a.edges() == b.edges() && same_vertices(a.vertices(), b.vertices()) &&
           a.node_count() == b.node_count() && a.edge_count() == b.edge_count();
}

std::uint64_t window_for(std::uint8_t selector, std::size_t n) {
    switch (selector) {
        case 0: return 0;
        case 1: return static_cast<std::uint64_t>(n) + 1;
        case 2: return std::numeric_limits<std::uint64_t>::max();
        case 3: return (std::uint64_t{1} << 32) + 1;
        default: return n == 0 ? 1 : 1 + (selector - 4u) % n;
    }
}

std::size_t index_for(std::uint8_t selector, std::size_t n) {
    if (selector >= 0xF8 || n == 0) {
        return selector == 0xFF ? std::numeric_limits<std::size_t>::max() : n + (selector & 7);
    }
    return selector % n;
}

// Closed segments p1-p2 and a-b share a point, in exact integer arithmetic (coordinates
// below 2^20 in magnitude, so every product fits easily).
bool exact_segments_meet(const std::int64_t p[2][2], const std::int64_t q[2][2]) {
    auto orient = [](const std::int64_t* a, const std::int64_t* b, const std::int64_t* c) {
        const std::int64_t cross = (b[0] - a[0]) * (c[1] - a[1]) - (b[1] - a[1]) * (c[0] - a[0]);
        return (cross > 0) - (cross < 0);
    };
    auto within = [](const std::int64_t* a, const std::int64_t* b, const std::int64_t* c) {
        return std::min(a[0], b[0]) <= c[0] && c[0] <= std::max(a[0], b[0]) &&
               std::min(a[1], b[1]) <= c[1] && c[1] <= std::max(a[1], b[1]);
    };
    const int o1 = orient(q[0], q[1], p[0]);
    const int o2 = orient(q[0], q[1], p[1]);
    const int o3 = orient(p[0], p[1], q[0]);
    const int o4 = orient(p[0], p[1], q[1]);
    if (o1 != o2 && o3 != o4) return true;
    return (o1 == 0 && within(q[0], q[1], p[0])) || (o2 == 0 && within(q[0], q[1], p[1])) ||
           (o3 == 0 && within(p[0], p[1], q[0])) || (o4 == 0 && within(p[0], p[1], q[1]));
}

// The segment test on small integer coordinates taken from the series (exact in doubles,
// so the result must match the integer test), and on the raw values themselves for the
// sanitizers' sake.
void check_segments(const Series& v, std::uint8_t selector, bool skip) {
    if (v.size() < 4) return;
    auto coordinate = [&](std::size_t k) -> std::int64_t {
        const double x = v[k % v.size()];
        if (!std::isfinite(x)) return static_cast<std::int64_t>(k % 7) - 3;
        return static_cast<std::int64_t>(std::fmod(std::trunc(x), 1 << 19));
    };
    const std::size_t start = selector % v.size();
    std::int64_t sight[2][2] = {{coordinate(start), coordinate(start + 1)},
                                {coordinate(start + 2), coordinate(start + 3)}};
    const Point p1{static_cast<double>(sight[0][0]), static_cast<double>(sight[0][1])};
    const Point p2{static_cast<double>(sight[1][0]), static_cast<double>(sight[1][1])};
    std::vector<Segment> obstacles;
    bool expected = true;
    const std::size_t count = std::min<std::size_t>(8, (v.size() - 4) / 4);
    for (std::size_t s = 0; s < count; ++s) {
        const std::size_t at = start + 4 + 4 * s;
        std::int64_t q[2][2] = {{coordinate(at), coordinate(at + 1)}, {coordinate(at + 2), coordinate(at + 3)}};
        obstacles.push_back(Segment{{static_cast<double>(q[0][0]), static_cast<double>(q[0][1])},
                                    {static_cast<double>(q[1][0]), static_cast<double>(q[1][1])}});
        const bool meets = exact_segments_meet(sight, q);
        expected = expected && !meets;
        if (segment_is_visible(p1, p2, {obstacles.back()}) == meets) {
            fail("segment test on integer coordinates", skip);
        }
    }
    if (segment_is_visible(p1, p2, obstacles) != expected) fail("segment test over all obstacles", skip);

    // Raw values: no oracle beyond "one obstacle at a time gives the same answer".
    std::vector<Segment> raw;
    bool all_clear = true;
    for (std::size_t at = 4; at + 3 < v.size() && raw.size() < 8; at += 4) {
        raw.push_back(Segment{{v[at], v[at + 1]}, {v[at + 2], v[at + 3]}});
        all_clear = all_clear && segment_is_visible({v[0], v[1]}, {v[2], v[3]}, {raw.back()});
    }
    if (segment_is_visible({v[0], v[1]}, {v[2], v[3]}, raw) != all_clear) {
        fail("segment test is not the conjunction of its obstacles", skip);
    }
}

void check_series(const Series& v, bool skip, std::uint8_t window_selector, std::uint8_t i_selector,
                  std::uint8_t j_selector, std::uint8_t segment_selector) {
    for (VisibilityRule rule : {VisibilityRule::Natural, VisibilityRule::Horizontal}) {
        const bool natural = rule == VisibilityRule::Natural;
        const VisibilityGraph fast = build_series_graph(v, skip, rule);
        const VisibilityGraph slow = reference_series_graph(v, skip, rule);
        if (!same_graph(fast, slow)) fail(natural ? "natural graph" : "horizontal graph", skip);
        if (visibility_edges(v, skip, rule) != slow.edges()) {
            fail(natural ? "natural edges" : "horizontal edges", skip);
        }
        // The series cut into up to three chunks where two input bytes say, each built on
        // its own thread and joined.
        std::vector<std::size_t> cuts{0, i_selector % (v.size() + 1), j_selector % (v.size() + 1), v.size()};
        std::sort(cuts.begin(), cuts.end());
        cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
        if (cuts.size() < 2) cuts = {0, 0};
        const EdgeBuffer chunked = natural ? natural_visibility_edge_buffer(v, skip, cuts)
                                           : horizontal_visibility_edge_buffer(v, skip, cuts);
        if (!std::equal(chunked.data(), chunked.data() + chunked.size, slow.edges().begin(), slow.edges().end()) ||
            (natural ? natural_visibility_edges(v, skip, cuts) : horizontal_visibility_edges(v, skip, cuts)) !=
                slow.edges()) {
            fail(natural ? "natural edges in chunks" : "horizontal edges in chunks", skip);
        }
        // Degrees counted without storing edges, against the reference's edges.
        std::vector<std::uint64_t> degrees(v.size(), 0);
        for (const Edge& e : slow.edges()) {
            ++degrees[e.low];
            ++degrees[e.high];
        }
        if (visibility_degrees(v, skip, rule) != degrees) {
            fail(natural ? "natural degrees" : "horizontal degrees", skip);
        }
        if (natural && natural_visibility_degrees(v, skip) != degrees) fail("natural_visibility_degrees", skip);
        const VisibilityGraph named = natural ? build_visibility_graph(v, skip)
                                              : build_horizontal_visibility_graph(v, skip);
        if (!same_graph(named, slow)) fail("named builder", skip);

        const std::size_t i = index_for(i_selector, v.size());
        const std::size_t j = index_for(j_selector, v.size());
        const bool in_range = i < v.size() && j < v.size();
        const auto a = build_series_subgraph(v, i, j, skip, rule);
        const auto named_sub = natural ? build_subgraph_between(v, i, j, skip)
                                       : build_horizontal_subgraph_between(v, i, j, skip);
        if (a.has_value() != in_range || named_sub.has_value() != in_range) {
            fail("sub-graph builders disagree on the index range", skip);
        }
        if (!in_range) {
            if (reference_series_subgraph(v, i, j, skip, rule)) fail("reference sub-graph out of range", skip);
            continue;
        }
        // Visibility inside a stretch depends only on the samples in it (and on index
        // differences), so the stretch's graph is the whole reference graph's pairs
        // inside it, shifted down, with the vertices at their whole-series x.
        const std::size_t lo = std::min(i, j), hi = std::max(i, j);
        std::vector<Edge> inside;
        for (const Edge& e : slow.edges()) {
            if (e.low >= lo && e.high <= hi) inside.push_back(Edge{e.low - lo, e.high - lo});
        }
        const std::vector<Vertex> stretch_vertices(slow.vertices().begin() + lo, slow.vertices().begin() + hi + 1);
        if (a->edges() != inside || !same_vertices(a->vertices(), stretch_vertices) ||
            a->node_count() != hi - lo + 1 || a->edge_count() != inside.size()) {
            fail(natural ? "natural sub-graph" : "horizontal sub-graph", skip);
        }
        if (!same_graph(*named_sub, *a)) fail("named sub-graph builder", skip);
        if (hi - lo <= kMaxReferenceStretch) {
            const auto b = reference_series_subgraph(v, i, j, skip, rule);
            if (!b || !same_graph(*a, *b)) fail("sub-graph against its literal reference", skip);
        }
    }

    const std::size_t i = index_for(i_selector, v.size());
    const std::size_t j = index_for(j_selector, v.size());
    const auto between = subseries_between(v, i, j);
    if (i >= v.size() || j >= v.size()) {
        if (between) fail("subseries_between accepted an index out of range", skip);
    } else {
        const std::size_t lo = std::min(i, j), hi = std::max(i, j);
        const Series expected = hi > lo + 1 ? Series(v.begin() + lo + 1, v.begin() + hi) : Series{};
        if (!between || between->size() != expected.size() ||
            (!expected.empty() &&
             std::memcmp(between->data(), expected.data(), expected.size() * sizeof(double)) != 0)) {
            fail("subseries_between", skip);
        }
    }

    const std::uint64_t w = window_for(window_selector, v.size());
    const auto fast_scores = horizontal_window_motif_scores(v, w, skip);
    const auto slow_scores = reference_window_motif_scores(v, w, skip);
    if (fast_scores != slow_scores) fail("motif scores", skip);
    if (const auto* scores = std::get_if<std::vector<std::int64_t>>(&slow_scores)) {
        // Each window's score from its own horizontal graph, built from scratch.
        const std::size_t width = static_cast<std::size_t>(w);
        for (std::size_t s = 0; s < scores->size(); s += 1 + scores->size() / 8) {
            const Series window(v.begin() + s, v.begin() + s + width);
            const std::uint64_t pairs = build_horizontal_visibility_graph(window, skip).edge_count();
            if ((*scores)[s] != motif_score_from_count(pairs, w)) fail("motif score of one window", skip);
        }
    } else if (w != 0 && w <= v.size()) {
        fail("motif scores refused a valid window", skip);
    }

    check_segments(v, segment_selector, skip);
}

// The record written the plain way, every lookup a linear scan (tests/native/models.hpp).
using PlainRecord = kestrel_models::PlainGraph;

void check_record(const VisibilityGraph& graph, const PlainRecord& plain, const char* after) {
    if (graph.edges() != plain.edges || !same_vertices(graph.vertices(), plain.vertices) ||
        graph.node_count() != plain.vertices.size() || graph.edge_count() != plain.edges.size()) {
        fail(after, false);
    }
}

// A run of edits on the record, each mirrored on the plain one. The record may start
// from a built graph (the bulk path) so that edits meet its ascending fast path.
void record_edits(Reader& in, bool skip) {
    VisibilityGraph graph;
    PlainRecord plain;
    const std::uint8_t start = in.byte();
    if (start & 1) {
        Series v;
        for (std::size_t k = 0, n = start >> 3; k < n; ++k) v.push_back(tie_value(in.byte()));
        graph = build_series_graph(v, skip, (start & 2) ? VisibilityRule::Natural : VisibilityRule::Horizontal);
        plain.vertices = graph.vertices();
        plain.edges = graph.edges();
    }
    check_record(graph, plain, "record built from a series");
    // Indices a little past the end reach the range checks; 0xFF means SIZE_MAX.
    auto index = [&](std::uint8_t b) -> std::size_t {
        if (b == 0xFF) return std::numeric_limits<std::size_t>::max();
        return b % (plain.vertices.size() + 3);
    };
    for (std::size_t step = 0; !in.done() && step < 512; ++step) {
        const std::uint8_t op = in.byte();
        switch (op % 6) {
            case 0:
            case 1: {
                const double x = (op & 8) ? in.raw_double() : tie_value(in.byte());
                const double y = tie_value(in.byte());
                if (graph.add_vertex(x, y) != plain.vertices.size()) fail("add_vertex index", false);
                plain.vertices.push_back(Vertex{x, y});
                check_record(graph, plain, "add_vertex");
                break;
            }
            case 2: {
                const std::size_t a = index(in.byte()), b = index(in.byte());
                if (graph.add_edge(a, b) != plain.add_edge(a, b)) fail("add_edge status", false);
                check_record(graph, plain, "add_edge");
                break;
            }
            case 3: {
                const std::size_t k = index(in.byte());
                if (graph.remove_vertex(k) != plain.remove_vertex(k)) fail("remove_vertex status", false);
                check_record(graph, plain, "remove_vertex");
                break;
            }
            case 4: {
                const std::size_t a = index(in.byte()), b = index(in.byte());
                if (graph.remove_edge(a, b) != plain.remove_edge(a, b)) fail("remove_edge result", false);
                check_record(graph, plain, "remove_edge");
                break;
            }
            default: {  // copies and moves keep the record whole; a moved-from one is empty
                VisibilityGraph copy = graph;
                check_record(copy, plain, "copy");
                VisibilityGraph moved = std::move(copy);
                check_record(moved, plain, "move construction");
                if (copy.node_count() != 0 || copy.edge_count() != 0) fail("moved-from record not empty", false);
                graph = std::move(moved);
                check_record(graph, plain, "move assignment");
                if (moved.node_count() != 0 || moved.edge_count() != 0) fail("moved-from record not empty", false);
                // A moved-from record is usable again.
                (void)moved.add_vertex(0.0, 0.0);
                if (moved.add_edge(0, 0) != GraphStatus::ok || moved.edge_count() != 0) fail("reused record", false);
                break;
            }
        }
    }
}

// The variant builders (positions, penetrable visibility, the exact natural rule) against
// their literal reference, with options and positions drawn from the selector bytes.
// Stops the work at its `stop_at`-th poll, polling every `stride` units.
struct StopAt final : CancelHook {
    std::size_t asked = 0;
    std::size_t stop_at = 0;
    bool stop_requested() override { return ++asked == stop_at; }
};

// Cancelling a build at any poll point unwinds it cleanly (the sanitizers see every block
// freed); a build that is never stopped gives the same result as without a hook.
void check_cancellation(const Series& v, const Series& x, const VariantOptions& options,
                        std::uint8_t selector) {
    StopAt hook;
    hook.stop_at = selector >> 3;  // 0: never
    const CancelScope scope(&hook, 1 + (selector & 7));
    const auto run = [&](auto build, const auto& expected, const char* what) {
        hook.asked = 0;
        try {
            if (build() != expected) fail(what, options.skip_adjacent);
        } catch (const Cancelled&) {
            if (hook.asked != hook.stop_at) fail("cancelled without being asked to", options.skip_adjacent);
        }
    };
    std::vector<Edge> edges;
    std::vector<std::uint64_t> degrees;
    {
        const CancelScope none(nullptr);
        edges = variant_edges(v, x, options);
        degrees = variant_degrees(v, x, options);
    }
    run([&] { return variant_edges(v, x, options); }, edges, "variant edges under a hook");
    run([&] { return variant_degrees(v, x, options); }, degrees, "variant degrees under a hook");
}

void check_variants(const Series& v, bool skip, std::uint8_t a, std::uint8_t b) {
    constexpr std::size_t kMaxVariant = 96;  // the reference counts blockers per pair
    const Series head(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(std::min(v.size(), kMaxVariant)));
    VariantOptions options;
    options.rule = (a & 1) ? VisibilityRule::Horizontal : VisibilityRule::Natural;
    options.exact = a & 2;
    options.penetrable = (a >> 2) % 5;
    options.skip_adjacent = skip;
    Series x;
    const double tiny = std::numeric_limits<double>::denorm_min();
    double at = 0.0;
    for (std::size_t k = 0; k < head.size() && (b & 7) != 0; ++k) {
        const double gap = 1.0 + static_cast<double>((b >> 3) ^ (k * 7 % 5));
        switch (b & 7) {
            case 1: at += gap; x.push_back(at); break;
            case 2: at += gap; x.push_back(1.7e18 + 256.0 * at); break;
            case 3: at += gap; x.push_back(at * tiny); break;
            case 4: at += gap; x.push_back(0.1 * at); break;
            case 5: x.push_back(1.7e9 + 60.0 * static_cast<double>(k) + 0.25 * gap); break;
            case 6: x.push_back(static_cast<double>(k) * 3e305 - 1.6e308); break;
            default: x.push_back(static_cast<double>(k)); break;
        }
    }
    if (!x.empty() && check_positions(x, head.size()).fault != PositionsFault::none) return;
    const VisibilityGraph slow = reference_variant_graph(head, x, options);
    const VisibilityGraph fast = build_variant_graph(head, x, options);
    if (fast.edges() != slow.edges() || !same_vertices(fast.vertices(), slow.vertices())) {
        fail("variant graph against its literal reference", skip);
    }
    std::vector<std::uint64_t> degrees(head.size(), 0);
    for (const Edge& e : slow.edges()) {
        ++degrees[e.low];
        ++degrees[e.high];
    }
    if (variant_degrees(head, x, options) != degrees) fail("variant degrees", skip);
    if (options.rule == VisibilityRule::Natural) {
        // The edges from a first high end on: the reference's, those ending there or later.
        const std::size_t first = head.empty() ? 0 : (a ^ b) % (head.size() + 1);
        std::vector<Edge> later;
        for (const Edge& e : slow.edges()) {
            if (e.high >= first) later.push_back(e);
        }
        if (natural_variant_edges_from(head, x, options, first) != later) {
            fail("natural edges from a first high end", skip);
        }
    }
    check_cancellation(head, x, options, a ^ b);
}

// The exact orientation against the big-integer model on triples of the series' finite
// values, the third point a rounded mix of the first two (close calls for the filters).
void check_orientation(const Series& v) {
    Series c;
    for (double y : v) {
        if (std::isfinite(y)) c.push_back(y);
    }
    for (std::size_t k = 0; k + 4 <= c.size() && k < 64; k += 4) {
        const double xk = c[k] + 0.5 * (c[k + 2] - c[k]);
        const double yk = c[k + 1] + 0.5 * (c[k + 3] - c[k + 1]);
        for (const double y : {yk, c[k + 1]}) {
            if (!std::isfinite(xk) || !std::isfinite(y)) continue;
            if (orientation_sign(c[k], c[k + 1], c[k + 2], c[k + 3], xk, y) !=
                kestrel_models::exact_orientation(c[k], c[k + 1], c[k + 2], c[k + 3], xk, y)) {
                fail("orientation sign against the big-integer model", false);
            }
        }
    }
}

}  // namespace

// The horizontal stream fed the series in pieces of 1 to 8 samples (the selector's bits,
// a few pieces by one sample), saved and restored after the first piece: each piece's
// edges are the whole-series edges whose high end is in it, in the same order, and the
// degrees it reports end at the whole-series degrees.
void check_stream(const Series& v, bool skip, std::uint8_t selector) {
    const std::vector<Edge> whole = horizontal_visibility_edges(v, skip);
    std::vector<std::int64_t> degree(v.size(), 0);
    for (const Edge& e : whole) {
        ++degree[e.low];
        ++degree[e.high];
    }
    for (const bool listing : {true, false}) {
        HorizontalStream stream(skip);
        HorizontalStreamUpdate update;
        std::vector<std::int64_t> seen(v.size(), 0);
        std::size_t from = 0;
        for (unsigned k = 0; from < v.size(); ++k) {
            const std::size_t size = std::min<std::size_t>(v.size() - from, 1 + ((selector >> (k % 6)) & 7));
            stream.extend(std::span<const double>(v.data() + from, size), {}, listing, false, update);
            if (k == 0) stream = HorizontalStream::restore(stream.serialise());
            std::vector<std::int64_t> expected;
            for (const Edge& e : whole) {
                if (listing && e.high >= from && e.high < from + size) {
                    expected.push_back(static_cast<std::int64_t>(e.low));
                    expected.push_back(static_cast<std::int64_t>(e.high));
                }
            }
            if (listing && expected != update.edges) fail("horizontal stream edges", skip);
            for (std::size_t i = 0; i < update.positions.size(); ++i) {
                seen[static_cast<std::size_t>(update.positions[i])] = update.degrees[i];
            }
            from += size;
        }
        std::vector<std::int64_t> positions, degrees;
        stream.pending(positions, degrees);
        for (std::size_t i = 0; i < positions.size(); ++i) seen[static_cast<std::size_t>(positions[i])] = degrees[i];
        if (seen != degree) fail("horizontal stream degrees", skip);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    g_data = data;
    g_size = size;
    g_series = nullptr;
    Reader in(data, size);
    const std::uint8_t flags = in.byte();
    const bool skip = flags & 1;
    if (flags >= 0xF0) {
        record_edits(in, skip);
        return 0;
    }
    const std::uint8_t window_selector = in.byte();
    const std::uint8_t i_selector = in.byte();
    const std::uint8_t j_selector = in.byte();
    const std::uint8_t segment_selector = in.byte();
    const Series v = make_series(in, (flags >> 1) & 7);
    g_series = &v;
    check_series(v, skip, window_selector, i_selector, j_selector, segment_selector);
    check_variants(v, skip, window_selector ^ i_selector, j_selector ^ segment_selector);
    check_orientation(v);
    check_stream(v, skip, i_selector);
    g_series = nullptr;
    return 0;
}
