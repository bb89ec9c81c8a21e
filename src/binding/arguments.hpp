// Binding of positional and keyword arguments against a signature.
#pragma once

#include <array>
#include <cstddef>
#include <string>

#include "binding/errors.hpp"

namespace kestrel {

inline constexpr std::size_t max_parameters = 9;

struct CallSignature {
    const char* name;
    const char* class_name;  // nullptr for module functions
    std::array<const char*, max_parameters> positional_names;
    std::size_t positional_count;
    std::size_t required_positional_count;
    // Names after the positional ones in positional_names that may only be given by
    // keyword (after a bare * in the signature).
    std::size_t keyword_only_count = 0;
    // Each optional parameter's default as the docstring's signature line shows it;
    // nullptr for a required one.
    std::array<const char*, max_parameters> defaults{};
};

// One module function: how it binds its arguments, its entry, and its docstring after the
// signature line, which start-up writes from `signature` (the parameter list is given once).
struct ModuleFunction {
    const CallSignature* signature;
    PyObject* (*entry)(PyObject*, PyObject*, PyObject*);
    const char* doc;
    bool listed = true;  // named in __all__; false for the tools' private helpers
};

// The "name(a, b=None, *, c=0)\n--\n\n" line from which the interpreter reads a signature.
std::string text_signature(const CallSignature& signature);

// One borrowed argument (or nullptr for an empty slot) per parameter.
using ArgumentSlots = std::array<PyObject*, max_parameters>;

Result<ArgumentSlots> parse_arguments(const CallSignature& signature, PyObject* args,
                                      PyObject* kwargs);

// Runs a conversion on an argument; a failure is marked with the parameter's name.
template <class Convert>
auto convert_argument(const char* parameter, Convert&& convert, PyObject* argument)
    -> decltype(convert(argument)) {
    auto result = convert(argument);
    if (!result.ok()) {
        return wrap_argument_error(parameter, std::move(result).error());
    }
    return result;
}

}  // namespace kestrel
