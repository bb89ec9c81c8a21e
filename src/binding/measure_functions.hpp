// _block_tables: the count tables behind the many-series features and graph measures.
// Private: set on the module but left out of __all__.
#pragma once

#include <span>

#include "binding/arguments.hpp"

namespace kestrel {

// Registered after the text functions, without an entry in __all__. Never freed.
std::span<const ModuleFunction> measure_functions();

}  // namespace kestrel
