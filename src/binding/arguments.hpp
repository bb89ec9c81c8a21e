// Binding of positional and keyword arguments against a signature.
#pragma once

#include <array>
#include <cstddef>

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
};

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
