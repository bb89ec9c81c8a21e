// build_graph, graph_degrees and graph_edge_array: the variant builders (positions,
// penetrable visibility, the exact natural rule) behind one signature.
#pragma once

#include <span>

#include "binding/object.hpp"

namespace kestrel {

// Registered after the array functions, in this order. Never freed.
std::span<PyMethodDef> variant_function_definitions();

}  // namespace kestrel
