// _read_columns: the reader of plain decimal text behind the command line's bulk input
// path. Private: set on the module but left out of __all__.
#pragma once

#include <span>

#include "binding/arguments.hpp"

namespace kestrel {

// Registered last, without an entry in __all__. Never freed.
std::span<const ModuleFunction> text_functions();

}  // namespace kestrel
