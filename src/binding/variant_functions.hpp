// build_graph, graph_degrees and graph_edge_array: the variant builders (positions,
// penetrable visibility, the exact natural rule) behind one signature.
#pragma once

#include <span>

#include "binding/arguments.hpp"

namespace kestrel {

// Listed after the array functions, in this order.
std::span<const ModuleFunction> variant_functions();

}  // namespace kestrel
