// Horizontal visibility of a series that grows: the state a stream keeps between pieces
// and the join of each new sample to it. Plain C++; no interpreter calls.
//
// Only two kinds of earlier sample can still be seen from a sample yet to come:
// * the records: non-NaN samples strictly above every non-NaN sample after them. Any
//   other non-NaN sample k has a later non-NaN r with v[r] >= v[k], which lies between k
//   and every later sample and blocks it. The records fall strictly, so they form a
//   stack: a new non-NaN sample v sees the records <= v (each then stops being a record,
//   v being at least as high) and the first record above v, and is pushed.
// * the NaN samples: they never block, and a NaN end gives way to the other end, so NaN
//   sample p sees a later non-NaN sample j exactly when no non-NaN sample between is
//   >= v[j]: when the largest non-NaN sample after p ("after", NaN when none) is not
//   >= v[j]. "after" does not rise with p and its NaN entries come last, so the NaN
//   samples seeing j are the last ones. A NaN sample sees every record and NaN sample.
// Every other sample's degree is final.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

// What one call added: new edges (low, high) in ascending order as the whole-series
// builders give them, and the positions (ascending) whose degree changed or became final
// with their degree now and whether they can gain no further edge.
struct HorizontalStreamUpdate {
    std::vector<std::int64_t> edges;  // low, high, low, high, ...
    std::vector<std::int64_t> positions;
    std::vector<std::int64_t> degrees;
    std::vector<std::uint8_t> settled;

    void clear() noexcept {
        edges.clear();
        positions.clear();
        degrees.clear();
        settled.clear();
    }
};

class HorizontalStream {
public:
    explicit HorizontalStream(bool skip_adjacent = false) : skip_adjacent_(skip_adjacent) {}

    // Joins the samples of `piece` at positions length(), length() + 1, ... or, when
    // `positions` is not empty, at those (strictly ascending, the first >= length()).
    // `listing` lists the new edges; else their degrees are counted without listing them.
    // `cross_only` (with listing) leaves out the pairs within the piece. On any exception
    // (std::bad_alloc, std::invalid_argument for bad positions) the stream is unchanged.
    void extend(std::span<const double> piece, std::span<const std::int64_t> positions,
                bool listing, bool cross_only, HorizontalStreamUpdate& out);
    void append(double value, bool listing, HorizontalStreamUpdate& out) {
        extend(std::span<const double>(&value, 1), {}, listing, false, out);
    }

    bool skip_adjacent() const noexcept { return skip_adjacent_; }
    std::int64_t length() const noexcept { return length_; }
    std::size_t pending_count() const noexcept { return records_.size() + nans_.size(); }
    // The pending samples' positions (ascending) and degrees.
    void pending(std::vector<std::int64_t>& positions, std::vector<std::int64_t>& degrees) const;

    // The whole state as bytes, and a stream from such bytes (std::invalid_argument when
    // they do not describe a state a stream can reach).
    std::string serialise() const;
    static HorizontalStream restore(std::string_view bytes);

private:
    struct Record {
        std::int64_t position;
        double value;
        std::int64_t degree;  // plus `all_gain_ - base`, gains from NaN samples counted at once
        std::int64_t base;
        std::uint64_t stamp;  // the call that first changed it directly, and its degree before
        std::int64_t start_degree;
    };
    struct Nan {
        std::int64_t position;
        std::int64_t degree;  // plus the pending sum of `nan_diff_` up to its index
        std::uint64_t stamp;
        std::int64_t start_degree;
    };
    // NaN samples [start, next run's start) share the largest non-NaN sample after them.
    struct Run {
        std::size_t start;
        double after;
    };
    struct Work;

    template <bool Listing>
    void join(double value, std::int64_t position, std::size_t offset, Work& work);
    void finish(Work& work, HorizontalStreamUpdate& out);
    void reserve_for_one(double value, bool listing, HorizontalStreamUpdate& out);
    std::int64_t record_degree(const Record& r) const noexcept {
        return r.degree + (all_gain_ - r.base);
    }
    void touch(Record& r, std::int64_t start_all_gain);
    void touch(Nan& n);

    bool skip_adjacent_;
    std::int64_t length_ = 0;
    std::vector<Record> records_;
    std::vector<Nan> nans_;
    std::vector<Run> runs_;
    // Counting only: gains of NaN samples as a difference array over their indices, with
    // one slot past the last; summed into their degrees at the end of each call.
    std::vector<std::int64_t> nan_diff_{0};
    std::int64_t nan_diff_total_ = 0;  // the sum of nan_diff_ up to the last slot
    std::int64_t all_gain_ = 0;        // NaN samples met by every record, counting only
    std::uint64_t call_ = 0;
};

}  // namespace kestrel
