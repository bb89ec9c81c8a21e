// Positions given as times: numpy datetime64 / timedelta64 arrays are read straight from
// their memory; pandas data, periods and sequences of datetime objects are first turned
// into such arrays (or period ordinals) by calling their own methods and numpy's.
#pragma once

#include <optional>

#include "binding/errors.hpp"
#include "binding/graph_classes.hpp"
#include "core/visibility.hpp"

namespace kestrel {

struct TimePositions {
    Series offsets;
    TimeAxis axis;  // empty for no samples
};

// Offsets from the first time in the coarsest exact unit (for periods: in their
// frequency), with the unit and the first time as text; nullopt when x holds no times.
Result<std::optional<TimePositions>> time_positions(PyObject* object);

}  // namespace kestrel
