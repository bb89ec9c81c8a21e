// The natural visibility graph of a series that grows one sample at a time, under the
// float rule with no blockers allowed (L = 0), at x_k = k or at given positions. Each
// append gives the new edges (lo, n) of the new sample n, in ascending order of lo, and
// keeps the degrees: bit for bit the edges and degrees the batch build gives the series
// so far. Pure C++: never includes Python.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/graph_record.hpp"

namespace kestrel {

enum class StreamFault { none, position_not_finite, position_not_increasing };

class NaturalStream {
public:
    // with_positions: every append gives its sample's position (finite, strictly
    // increasing); otherwise x_k = k.
    NaturalStream(bool skip_adjacent, bool with_positions);

    // Appends one sample. On a fault nothing changes. `x` is read only with positions.
    StreamFault append(double value, double x = 0.0);
    // Appends samples one by one, adding their new edges to `edges` in order; stops at the
    // first fault and returns it with `appended` set to the samples taken. `x` is read only
    // with positions and then holds one position per value.
    StreamFault extend(std::span<const double> values, std::span<const double> x, std::vector<Edge>& edges,
                       std::size_t& appended);

    // The low ends of the last append's edges, ascending; the high end is size() - 1.
    std::span<const std::size_t> last_lows() const { return lows_; }
    std::span<const std::uint64_t> degrees() const { return degrees_; }
    std::span<const double> values() const { return v_; }
    std::span<const double> positions() const { return x_; }
    std::size_t size() const { return v_.size(); }
    std::uint64_t edges() const { return edges_; }
    bool skip_adjacent() const { return skip_adjacent_; }
    bool with_positions() const { return with_positions_; }
    // Whether the proofs apply: at positions that are not regular (natural_scan.hpp) every
    // pair is tested literally, which costs O(n^2) per sample.
    bool regular() const { return regular_; }

private:
    // Largest and smallest value over aligned blocks of 2^l samples, kept as samples come:
    // top_[l][i] covers [i 2^l, (i + 1) 2^l). Non-finite samples count as +inf (top) and
    // -inf (bottom), so a block holding one is never passed over.
    struct Blocks {
        std::vector<std::vector<double>> top;
        std::vector<std::vector<double>> bottom;
        void push(double value);
    };

    double diff(std::size_t a, std::size_t b) const;
    bool literal_blocks(std::size_t lo, std::size_t k, double span, double rise) const;
    bool literal_visible(std::size_t lo) const;
    void column();
    void finite_column();
    bool passes_over(std::size_t level, std::size_t first, std::size_t last) const;
    std::size_t previous_candidate(std::size_t end, std::size_t floor) const;

    bool skip_adjacent_;
    bool with_positions_;
    std::vector<double> v_;
    std::vector<double> x_;
    std::vector<std::uint64_t> degrees_;
    std::uint64_t edges_ = 0;
    std::vector<std::size_t> lows_;
    std::vector<std::size_t> non_finite_;  // indices of the non-finite samples
    std::size_t last_plus_inf_ = 0;        // 1 + index of the last +inf sample; 0: none
    std::size_t last_not_nan_ = 0;         // 1 + index of the last sample that is not NaN
    Blocks blocks_;
    double smallest_gap_ = 0.0;
    bool regular_ = true;
    // The walk of one append (finite_column): the new sample's value and gap, and the
    // steepest finite sample passed so far, seen from the new sample.
    double y_ = 0.0;
    double gap_ = 0.0;
    bool have_steepest_ = false;
    std::size_t steepest_ = 0;
    double steepest_slope_ = 0.0;
    double outside_ = 0.0;
};

}  // namespace kestrel
