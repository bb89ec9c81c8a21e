// The horizontal stream's native types: the state a stream keeps between calls and the
// update one call returns, whose arrays are made only when read.
#pragma once

#include "binding/errors.hpp"

namespace kestrel {

// Created once at start-up: kestrel_grid._StreamUpdate, then
// kestrel_grid._HorizontalStreamState (which needs the first).
Result<PyObject*> stream_update_type_for_startup();
Result<PyObject*> horizontal_stream_type_for_startup();

}  // namespace kestrel
