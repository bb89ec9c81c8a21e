// Releasing the interpreter lock around core work.
#pragma once

#include "binding/object.hpp"

namespace kestrel {

// Releases the interpreter for its lifetime: only for code that touches no Python object
// and no graph object (the core on the call's own copies). Restored on every path,
// exceptions included, before the frame's handlers run.
class InterpreterReleased {
public:
    InterpreterReleased() : state_(PyEval_SaveThread()) {}
    ~InterpreterReleased() { PyEval_RestoreThread(state_); }
    InterpreterReleased(const InterpreterReleased&) = delete;
    InterpreterReleased& operator=(const InterpreterReleased&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace kestrel
