#include "core/horizontal_stream.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace kestrel {

namespace {

struct Pair {
    std::int64_t low;
    std::int64_t high;
    friend bool operator<(const Pair& a, const Pair& b) noexcept {
        return a.low != b.low ? a.low < b.low : a.high < b.high;
    }
};

struct Changed {
    std::int64_t position;
    std::int64_t degree;
    std::uint8_t settled;
};

}  // namespace

// One call's bookkeeping: which earlier samples it changed and its new edges.
struct HorizontalStream::Work {
    std::int64_t start = 0;  // the piece's first position; every earlier one is below it
    std::span<const std::int64_t> positions;  // empty: start, start + 1, ...
    std::size_t records_before = 0;
    std::size_t nans_before = 0;
    std::size_t low_water = 0;  // fewest records held: the earlier survivors are below it
    std::size_t nan_low = std::numeric_limits<std::size_t>::max();  // lowest NaN gaining
    bool all_records = false;  // a NaN sample of the piece met every record
    bool cross_only = false;
    std::int64_t start_all_gain = 0;
    std::vector<std::int64_t> piece_degree;
    std::vector<std::uint8_t> piece_settled;
    std::vector<Changed> changed;          // earlier samples
    std::vector<Pair> early;               // edges from earlier samples
    std::vector<Pair> inner;               // edges within the piece: (low offset, high)

    std::int64_t position(std::size_t offset) const noexcept {
        return positions.empty() ? start + static_cast<std::int64_t>(offset) : positions[offset];
    }
    std::size_t offset_of(std::int64_t position) const noexcept {
        if (positions.empty()) return static_cast<std::size_t>(position - start);
        return static_cast<std::size_t>(
            std::lower_bound(positions.begin(), positions.end(), position) - positions.begin());
    }
};

void HorizontalStream::touch(Record& r, std::int64_t start_all_gain) {
    if (r.stamp != call_) {
        r.stamp = call_;
        r.start_degree = r.degree + (start_all_gain - r.base);
    }
}

void HorizontalStream::touch(Nan& n) {
    if (n.stamp != call_) {
        n.stamp = call_;
        n.start_degree = n.degree;
    }
}

template <bool Listing>
void HorizontalStream::join(double value, std::int64_t position, std::size_t offset, Work& work) {
    const bool adjacent = skip_adjacent_ && length_ > 0 && length_ == position;
    const std::int64_t before = position - 1;
    std::int64_t count = 0;
    // An edge from an earlier pending sample at `low` to this one; false when left out.
    auto listed = [&](std::int64_t low) {
        if (adjacent && low == before) return false;
        if (low < work.start) {
            work.early.push_back({low, position});
        } else {
            if (work.cross_only) return false;
            work.inner.push_back({static_cast<std::int64_t>(work.offset_of(low)), position});
        }
        return true;
    };
    auto gain_record = [&](Record& r) {
        if (r.position < work.start) touch(r, work.start_all_gain);
        ++r.degree;
        ++count;
    };
    auto gain_nan = [&](Nan& n) {
        if (n.position < work.start) touch(n);
        ++n.degree;
        ++count;
    };
    const std::size_t q = nans_.size();
    if (!std::isnan(value)) {
        bool tie = false;  // a record equal to the value blocks every record before it
        while (!tie && !records_.empty() && records_.back().value <= value) {
            Record& r = records_.back();
            tie = r.value == value;
            if (Listing ? listed(r.position) : !(adjacent && r.position == before)) gain_record(r);
            const std::int64_t degree = record_degree(r);
            if (r.position < work.start) {
                work.changed.push_back({r.position, degree, 1});
            } else {
                work.piece_degree[work.offset_of(r.position)] = degree;
            }
            records_.pop_back();
            work.low_water = std::min(work.low_water, records_.size());
        }
        if (!tie && !records_.empty()) {
            Record& r = records_.back();
            if (Listing ? listed(r.position) : !(adjacent && r.position == before)) gain_record(r);
        }
        std::size_t b = q;
        while (!runs_.empty() && !(runs_.back().after >= value)) {
            b = runs_.back().start;
            runs_.pop_back();
        }
        if (b < q) {
            runs_.push_back({b, value});
            work.nan_low = std::min(work.nan_low, b);
            if constexpr (Listing) {
                for (std::size_t i = b; i < q; ++i) {
                    if (listed(nans_[i].position)) gain_nan(nans_[i]);
                }
            } else {
                nan_diff_[b] += 1;
                nan_diff_total_ += 1;
                count += static_cast<std::int64_t>(q - b);
                if (adjacent && nans_[q - 1].position == before) {
                    nan_diff_[q - 1] -= 1;
                    nan_diff_[q] += 1;
                    --count;
                }
            }
        }
        records_.push_back({position, value, count, all_gain_, 0, 0});
    } else {
        work.all_records = true;
        if (q) work.nan_low = 0;
        if constexpr (Listing) {
            for (Record& r : records_) {
                if (listed(r.position)) gain_record(r);
            }
            for (Nan& n : nans_) {
                if (listed(n.position)) gain_nan(n);
            }
        } else {
            all_gain_ += 1;
            count += static_cast<std::int64_t>(records_.size());
            if (adjacent && !records_.empty() && records_.back().position == before) {
                Record& r = records_.back();
                touch(r, work.start_all_gain);
                --r.degree;
                --count;
            }
            if (q) {
                nan_diff_[0] += 1;
                nan_diff_total_ += 1;
                count += static_cast<std::int64_t>(q);
                if (adjacent && nans_[q - 1].position == before) {
                    nan_diff_[q - 1] -= 1;
                    nan_diff_[q] += 1;
                    --count;
                }
            }
        }
        // The new NaN sample's slot starts from nothing gained.
        nan_diff_[q] -= nan_diff_total_;
        nan_diff_total_ = 0;
        nan_diff_.push_back(0);
        nans_.push_back({position, count, 0, 0});
        if (runs_.empty() || !std::isnan(runs_.back().after)) {
            runs_.push_back({q, std::numeric_limits<double>::quiet_NaN()});
        }
    }
    (void)offset;
    length_ = position + 1;
}

void HorizontalStream::finish(Work& work, HorizontalStreamUpdate& out) {
    // NaN samples: the counted gains summed in, the changes of earlier ones reported.
    const std::size_t q = nans_.size();
    std::size_t low = std::min(work.nan_low, work.nans_before);
    std::int64_t running = 0;
    for (std::size_t i = low; i < q; ++i) {
        running += nan_diff_[i];
        nan_diff_[i] = 0;
        Nan& n = nans_[i];
        if (i < work.nans_before) {
            const std::int64_t gain =
                running + (n.stamp == call_ ? n.degree - n.start_degree : 0);
            n.degree += running;
            if (gain > 0) work.changed.push_back({n.position, n.degree, 0});
        } else {
            n.degree += running;
            const std::size_t offset = work.offset_of(n.position);
            work.piece_degree[offset] = n.degree;
            work.piece_settled[offset] = 0;
        }
    }
    nan_diff_[q] = 0;
    nan_diff_total_ = 0;

    // Records: the earlier survivors lie below the low water mark; only the one just below
    // it met a new sample directly, unless a NaN sample met them all.
    const std::size_t survivors = work.low_water;
    const std::size_t first = work.all_records ? 0 : (survivors ? survivors - 1 : 0);
    for (std::size_t k = first; k < survivors; ++k) {
        const Record& r = records_[k];
        const std::int64_t degree = record_degree(r);
        const std::int64_t gain = r.stamp == call_ ? degree - r.start_degree
                                                   : all_gain_ - work.start_all_gain;
        if (gain > 0) work.changed.push_back({r.position, degree, 0});
    }
    for (std::size_t k = survivors; k < records_.size(); ++k) {
        const std::size_t offset = work.offset_of(records_[k].position);
        work.piece_degree[offset] = record_degree(records_[k]);
        work.piece_settled[offset] = 0;
    }

    std::sort(work.changed.begin(), work.changed.end(),
              [](const Changed& a, const Changed& b) { return a.position < b.position; });
    const std::size_t size = work.piece_degree.size();
    const std::size_t total = work.changed.size() + size;
    out.positions.resize(total);
    out.degrees.resize(total);
    out.settled.resize(total);
    std::size_t at = 0;
    for (const Changed& c : work.changed) {
        out.positions[at] = c.position;
        out.degrees[at] = c.degree;
        out.settled[at] = c.settled;
        ++at;
    }
    for (std::size_t i = 0; i < size; ++i, ++at) {
        out.positions[at] = work.position(i);
        out.degrees[at] = work.piece_degree[i];
        out.settled[at] = work.piece_settled[i];
    }

    // Edges in ascending (low, high): the earlier lows sorted, then the piece's lows by a
    // counting sort that keeps each low's highs in the ascending order they were found in.
    std::sort(work.early.begin(), work.early.end());
    out.edges.resize(2 * (work.early.size() + work.inner.size()));
    at = 0;
    for (const Pair& e : work.early) {
        out.edges[at++] = e.low;
        out.edges[at++] = e.high;
    }
    if (!work.inner.empty()) {
        std::vector<std::size_t> starts(size + 1, 0);
        for (const Pair& e : work.inner) ++starts[static_cast<std::size_t>(e.low) + 1];
        for (std::size_t i = 0; i < size; ++i) starts[i + 1] += starts[i];
        const std::size_t base = at / 2;
        for (const Pair& e : work.inner) {
            const std::size_t slot = base + starts[static_cast<std::size_t>(e.low)]++;
            out.edges[2 * slot] = work.position(static_cast<std::size_t>(e.low));
            out.edges[2 * slot + 1] = e.high;
        }
    }
}

void HorizontalStream::reserve_for_one(double value, bool listing, HorizontalStreamUpdate& out) {
    // Everything one sample may add, so that joining it allocates nothing.
    std::size_t met = 0;
    if (std::isnan(value)) {
        met = records_.size() + nans_.size();
    } else {
        std::size_t k = records_.size();
        while (k > 0 && records_[k - 1].value < value) --k;
        met = records_.size() - k + 1;
        std::size_t b = nans_.size();
        for (std::size_t r = runs_.size(); r > 0 && !(runs_[r - 1].after >= value); --r) {
            b = runs_[r - 1].start;
        }
        met += nans_.size() - b;
    }
    records_.reserve(records_.size() + 1);
    nans_.reserve(nans_.size() + 1);
    runs_.reserve(runs_.size() + 1);
    nan_diff_.reserve(nan_diff_.size() + 1);
    out.positions.reserve(met + 1);
    out.degrees.reserve(met + 1);
    out.settled.reserve(met + 1);
    out.edges.reserve(listing ? 2 * met : 0);
}

void HorizontalStream::extend(std::span<const double> piece,
                              std::span<const std::int64_t> positions, bool listing,
                              bool cross_only, HorizontalStreamUpdate& out) {
    const std::size_t size = piece.size();
    if (!positions.empty()) {
        if (positions.size() != size) throw std::invalid_argument("one position per sample");
        if (positions[0] < length_) throw std::invalid_argument("positions must follow the stream's");
        for (std::size_t i = 1; i < size; ++i) {
            if (positions[i] <= positions[i - 1]) {
                throw std::invalid_argument("positions must be strictly ascending");
            }
        }
        if (positions[size - 1] == std::numeric_limits<std::int64_t>::max()) {
            throw std::invalid_argument("positions must be below 2**63 - 1");
        }
    } else if (static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max() - length_) <
               size) {
        throw std::invalid_argument("the stream would pass 2**63 - 1 samples");
    }
    if (cross_only && !listing) throw std::invalid_argument("cross_only needs listing");
    out.clear();
    if (size == 0) return;

    Work work;
    work.start = positions.empty() ? length_ : positions[0];
    work.positions = positions;
    work.records_before = work.low_water = records_.size();
    work.nans_before = nans_.size();
    work.cross_only = cross_only;
    work.start_all_gain = all_gain_;
    work.piece_degree.assign(size, 0);
    work.piece_settled.assign(size, 1);
    ++call_;

    auto run = [&] {
        for (std::size_t i = 0; i < size; ++i) {
            if (listing) {
                join<true>(piece[i], work.position(i), i, work);
            } else {
                join<false>(piece[i], work.position(i), i, work);
            }
        }
        finish(work, out);
    };
    if (size == 1) {
        reserve_for_one(piece[0], listing, out);
        work.changed.reserve(out.positions.capacity());
        work.early.reserve(out.edges.capacity() / 2);
        run();  // allocates nothing now
        return;
    }
    // A piece: the state is put back as it was if the join fails (out of memory).
    std::vector<Record> records = records_;
    std::vector<Nan> nans = nans_;
    std::vector<Run> runs = runs_;
    std::vector<std::int64_t> diff = nan_diff_;
    const std::int64_t length = length_;
    const std::int64_t all_gain = all_gain_;
    try {
        // A horizontal graph without NaN samples has fewer than 2n edges.
        if (listing && !cross_only) work.inner.reserve(2 * size);
        run();
    } catch (...) {
        records_.swap(records);
        nans_.swap(nans);
        runs_.swap(runs);
        nan_diff_.swap(diff);
        nan_diff_total_ = 0;
        length_ = length;
        all_gain_ = all_gain;
        out.clear();
        throw;
    }
}

void HorizontalStream::pending(std::vector<std::int64_t>& positions,
                               std::vector<std::int64_t>& degrees) const {
    positions.clear();
    degrees.clear();
    positions.reserve(pending_count());
    degrees.reserve(pending_count());
    std::size_t a = 0, b = 0;
    while (a < records_.size() || b < nans_.size()) {
        if (b == nans_.size() || (a < records_.size() && records_[a].position < nans_[b].position)) {
            positions.push_back(records_[a].position);
            degrees.push_back(record_degree(records_[a]));
            ++a;
        } else {
            positions.push_back(nans_[b].position);
            degrees.push_back(nans_[b].degree);
            ++b;
        }
    }
}

namespace {

constexpr char kMagic[8] = {'K', 'G', 'H', 'S', 'T', 'R', '0', '1'};

void put(std::string& bytes, const void* data, std::size_t size) {
    bytes.append(static_cast<const char*>(data), size);
}

template <class T>
T take(std::string_view bytes, std::size_t& at) {
    T value;
    std::memcpy(&value, bytes.data() + at, sizeof(T));
    at += sizeof(T);
    return value;
}

}  // namespace

// Magic, then int64 skip_adjacent, length, records, NaN samples; then each record as
// (position, value, degree) and each NaN sample as (position, after, degree), 8 bytes
// each in native byte order.
std::string HorizontalStream::serialise() const {
    std::string bytes;
    bytes.reserve(8 + 32 + 24 * pending_count());
    put(bytes, kMagic, 8);
    const std::int64_t head[4] = {skip_adjacent_ ? 1 : 0, length_,
                                  static_cast<std::int64_t>(records_.size()),
                                  static_cast<std::int64_t>(nans_.size())};
    put(bytes, head, sizeof head);
    for (const Record& r : records_) {
        const std::int64_t degree = record_degree(r);
        put(bytes, &r.position, 8);
        put(bytes, &r.value, 8);
        put(bytes, &degree, 8);
    }
    std::size_t run = 0;
    for (std::size_t i = 0; i < nans_.size(); ++i) {
        while (run + 1 < runs_.size() && runs_[run + 1].start <= i) ++run;
        put(bytes, &nans_[i].position, 8);
        put(bytes, &runs_[run].after, 8);
        put(bytes, &nans_[i].degree, 8);
    }
    return bytes;
}

HorizontalStream HorizontalStream::restore(std::string_view bytes) {
    auto bad = [] { return std::invalid_argument("not the state of a horizontal stream"); };
    if (bytes.size() < 40 || std::memcmp(bytes.data(), kMagic, 8) != 0) throw bad();
    std::size_t at = 8;
    const auto skip = take<std::int64_t>(bytes, at);
    const auto length = take<std::int64_t>(bytes, at);
    const auto records = take<std::int64_t>(bytes, at);
    const auto nans = take<std::int64_t>(bytes, at);
    if ((skip != 0 && skip != 1) || length < 0 || records < 0 || nans < 0 ||
        records > length || nans > length || records + nans > length ||
        static_cast<std::uint64_t>(records + nans) != (bytes.size() - 40) / 24 ||
        (bytes.size() - 40) % 24 != 0) {
        throw bad();
    }
    HorizontalStream stream(skip == 1);
    stream.length_ = length;
    stream.records_.reserve(static_cast<std::size_t>(records));
    for (std::int64_t k = 0; k < records; ++k) {
        const auto position = take<std::int64_t>(bytes, at);
        const auto value = take<double>(bytes, at);
        const auto degree = take<std::int64_t>(bytes, at);
        if (position < 0 || position >= length || std::isnan(value) || degree < 0 ||
            degree >= length ||
            (k && (position <= stream.records_.back().position ||
                   !(value < stream.records_.back().value)))) {
            throw bad();
        }
        stream.records_.push_back({position, value, degree, 0, 0, 0});
    }
    stream.nans_.reserve(static_cast<std::size_t>(nans));
    stream.nan_diff_.assign(static_cast<std::size_t>(nans) + 1, 0);
    for (std::int64_t k = 0; k < nans; ++k) {
        const auto position = take<std::int64_t>(bytes, at);
        const auto after = take<double>(bytes, at);
        const auto degree = take<std::int64_t>(bytes, at);
        if (position < 0 || position >= length || degree < 0 || degree >= length ||
            (k && position <= stream.nans_.back().position)) {
            throw bad();
        }
        const auto index = static_cast<std::size_t>(k);
        if (stream.runs_.empty()) {
            stream.runs_.push_back({index, after});
        } else {
            const double last = stream.runs_.back().after;
            // Non-increasing, the NaN entries last.
            if (std::isnan(last) ? !std::isnan(after) : after > last) throw bad();
            if (!(after == last || (std::isnan(after) && std::isnan(last)))) {
                stream.runs_.push_back({index, after});
            }
        }
        stream.nans_.push_back({position, degree, 0, 0});
    }
    // Records and NaN samples are different samples, and the last sample is pending.
    std::vector<std::int64_t> positions, degrees;
    stream.pending(positions, degrees);
    for (std::size_t i = 1; i < positions.size(); ++i) {
        if (positions[i] == positions[i - 1]) throw bad();
    }
    if (length > 0 && (positions.empty() || positions.back() != length - 1)) throw bad();
    return stream;
}

}  // namespace kestrel
