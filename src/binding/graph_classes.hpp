// The two Python graph classes and wrap_graph, which moves a finished record into a
// new instance of either class.
#pragma once

#include <string>

#include "core/graph_record.hpp"
#include "binding/errors.hpp"

namespace kestrel {

enum class GraphClass { Visibility, HorizontalVisibility };

const char* graph_class_name(GraphClass which);

// The class's type object for module start-up: created on first need and kept for the
// process. A failed creation is a RuntimeError whose cause is the interpreter's error.
Result<PyObject*> graph_type_for_startup(GraphClass which);

// What the x of a graph's vertices count when the graph was built from times: the unit
// of the offsets ("D", "h", "m", "s", "ms", "us", "ns") and the first time as ISO text.
// Both empty for plain positions.
struct TimeAxis {
    std::string unit;
    std::string origin;
};

// Moves the record into a new instance of exactly that class. Never returns an
// empty reference: failures unwind as MemoryError or an internal fault.
ref wrap_graph(VisibilityGraph&& record, GraphClass which, TimeAxis axis = {});

}  // namespace kestrel
