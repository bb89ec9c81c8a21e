// Times as exact positions: integer ticks (a datetime64 or timedelta64 count in some unit,
// or period ordinals) become offsets from the first tick, counted in the coarsest unit
// that holds every offset exactly, as doubles. An offset beyond 2^53 in its unit is
// refused: a double would no longer hold it exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string_view>
#include <vector>

namespace kestrel {

// A missing time (numpy's NaT) is the smallest int64.
inline constexpr std::int64_t kMissingTick = std::numeric_limits<std::int64_t>::min();
inline constexpr std::int64_t kExactLimit = std::int64_t{1} << 53;

// Length in nanoseconds of a time unit ("D", "h", "m", "s", "ms", "us", "ns"); 0 for any
// other unit.
std::int64_t unit_nanoseconds(std::string_view unit);

enum class TimeFault { none, missing, beyond };

struct TimeOffsets {
    TimeFault fault = TimeFault::none;
    std::size_t index = 0;      // the offending tick
    std::int64_t count = 0;     // its offset in `unit` (fault beyond)
    std::string_view unit;      // the offsets' unit
    std::string_view origin_unit;  // the coarsest unit holding the first tick exactly
    std::vector<double> offsets;
};

// Index of the first missing tick, or ticks.size().
std::size_t first_missing_tick(std::span<const std::int64_t> ticks);

// Non-empty ticks in `unit` (a unit unit_nanoseconds knows), none missing: offsets from
// the first in the coarsest exact unit. Differences wrap around as int64 arithmetic does.
TimeOffsets time_offsets(std::span<const std::int64_t> ticks, std::string_view unit);

// Offsets of non-empty counts (period ordinals) from the first, in their own `unit`.
TimeOffsets count_offsets(std::span<const std::int64_t> counts, std::string_view unit);

}  // namespace kestrel
