#include "core/time_offsets.hpp"

#include <array>
#include <utility>

namespace kestrel {

namespace {

// Units from the coarsest, with their length in nanoseconds.
constexpr std::array<std::pair<std::string_view, std::int64_t>, 7> kUnits{{
    {"D", 86'400'000'000'000},
    {"h", 3'600'000'000'000},
    {"m", 60'000'000'000},
    {"s", 1'000'000'000},
    {"ms", 1'000'000},
    {"us", 1'000},
    {"ns", 1},
}};

// a - b as int64 arithmetic wraps (the offsets numpy would compute).
std::int64_t wrapped_difference(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}

// |c| > 2^53, with the smallest int64 counted as its own wrapped absolute value (negative).
bool beyond_exact(std::int64_t c) {
    if (c == std::numeric_limits<std::int64_t>::min()) return false;
    return (c < 0 ? -c : c) > kExactLimit;
}

// Fills offsets from counts, or marks the first count beyond 2^53.
void finish(TimeOffsets& result, const std::vector<std::int64_t>& counts) {
    for (std::size_t k = 0; k < counts.size(); ++k) {
        if (beyond_exact(counts[k])) {
            result.fault = TimeFault::beyond;
            result.index = k;
            result.count = counts[k];
            return;
        }
    }
    result.offsets.reserve(counts.size());
    for (const std::int64_t c : counts) result.offsets.push_back(static_cast<double>(c));
}

}  // namespace

std::int64_t unit_nanoseconds(std::string_view unit) {
    for (const auto& [name, length] : kUnits) {
        if (name == unit) return length;
    }
    return 0;
}

std::size_t first_missing_tick(std::span<const std::int64_t> ticks) {
    for (std::size_t k = 0; k < ticks.size(); ++k) {
        if (ticks[k] == kMissingTick) return k;
    }
    return ticks.size();
}

TimeOffsets time_offsets(std::span<const std::int64_t> ticks, std::string_view unit) {
    const std::int64_t base_ns = unit_nanoseconds(unit);
    TimeOffsets result;
    std::vector<std::int64_t> counts(ticks.size());
    for (std::size_t k = 0; k < ticks.size(); ++k) counts[k] = wrapped_difference(ticks[k], ticks[0]);
    result.unit = unit;
    std::int64_t size = 1;
    for (const auto& [name, length] : kUnits) {
        if (length < base_ns || length % base_ns != 0) continue;
        const std::int64_t step = length / base_ns;
        bool divides = true;
        for (const std::int64_t c : counts) {
            if (c % step != 0) {
                divides = false;
                break;
            }
        }
        if (divides) {
            result.unit = name;
            size = step;
            break;
        }
    }
    if (size != 1) {
        for (std::int64_t& c : counts) c /= size;  // exact: size divides every offset
    }
    result.origin_unit = unit;
    for (const auto& [name, length] : kUnits) {
        if (length >= base_ns && length % base_ns == 0 && ticks[0] % (length / base_ns) == 0) {
            result.origin_unit = name;
            break;
        }
    }
    finish(result, counts);
    return result;
}

TimeOffsets count_offsets(std::span<const std::int64_t> counts, std::string_view unit) {
    TimeOffsets result;
    result.unit = unit;
    result.origin_unit = unit;
    std::vector<std::int64_t> offsets(counts.size());
    for (std::size_t k = 0; k < counts.size(); ++k) offsets[k] = wrapped_difference(counts[k], counts[0]);
    finish(result, offsets);
    return result;
}

}  // namespace kestrel
