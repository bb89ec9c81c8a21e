#include "binding/arguments.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace kestrel {

namespace {

std::string display_name(const CallSignature& signature) {
    std::string display;
    if (signature.class_name != nullptr) {
        display += signature.class_name;
        display += '.';
    }
    display += signature.name;
    display += "()";
    return display;
}

CallError too_many_positional(const CallSignature& signature, Py_ssize_t given) {
    const std::size_t p = signature.positional_count;
    const std::size_t r = signature.required_positional_count;
    std::string text = display_name(signature) + " takes ";
    if (r == p) {
        text += std::to_string(p);
    } else {
        text += "from " + std::to_string(r) + " to " + std::to_string(p);
    }
    text += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
            " given";
    return CallError::message(PyExc_TypeError, std::move(text));
}

CallError missing_required(const CallSignature& signature, const std::vector<const char*>& missing) {
    std::string text = display_name(signature) + " missing " + std::to_string(missing.size()) +
                       " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                       ": ";
    for (std::size_t k = 0; k < missing.size(); ++k) {
        if (k > 0) {
            if (missing.size() == 2) {
                text += " and ";
            } else if (k + 1 == missing.size()) {
                text += ", and ";
            } else {
                text += ", ";
            }
        }
        text += '\'';
        text += missing[k];
        text += '\'';
    }
    return CallError::message(PyExc_TypeError, std::move(text));
}

std::size_t parameter_count(const CallSignature& signature) {
    return signature.positional_count + signature.keyword_only_count;
}

// Position of a keyword among the parameters (keyword-only ones included), or
// parameter_count(signature) when unmatched.
// Linear scan, lengths first; a key that cannot be encoded matches nothing.

std::size_t match_keyword(const CallSignature& signature, PyObject* key) {
    ref utf8 = ref::steal(PyUnicode_AsUTF8String(key));
    if (!utf8) {
        PyErr_Clear();
        return parameter_count(signature);
    }
    const char* data = PyBytes_AsString(utf8.get());
    const Py_ssize_t size = PyBytes_Size(utf8.get());
    if (data == nullptr || size < 0) {
        PyErr_Clear();
        return parameter_count(signature);
    }
    for (std::size_t k = 0; k < parameter_count(signature); ++k) {
        const char* name = signature.positional_names[k];
        if (std::strlen(name) == static_cast<std::size_t>(size) &&
            std::memcmp(name, data, static_cast<std::size_t>(size)) == 0) {
            return k;
        }
    }
    return parameter_count(signature);
}

}  // namespace

std::string text_signature(const CallSignature& signature) {
    std::string text = std::string(signature.name) + "(";
    for (std::size_t k = 0; k < parameter_count(signature); ++k) {
        if (k > 0) text += ", ";
        if (k == signature.positional_count) text += "*, ";
        text += signature.positional_names[k];
        if (signature.defaults[k] != nullptr) {
            text += '=';
            text += signature.defaults[k];
        }
    }
    return text + ")\n--\n\n";
}

Result<ArgumentSlots> parse_arguments(const CallSignature& signature, PyObject* args,
                                      PyObject* kwargs) {
    ArgumentSlots slots{};
    const Py_ssize_t given = args != nullptr ? PyTuple_Size(args) : 0;
    const auto positional = static_cast<Py_ssize_t>(signature.positional_count);
    for (Py_ssize_t k = 0; k < given && k < positional; ++k) {
        slots[static_cast<std::size_t>(k)] = PyTuple_GetItem(args, k);  // borrowed
    }
    if (given > positional) {
        return too_many_positional(signature, given);
    }
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {  // borrowed key and value
            if (!PyUnicode_Check(key)) {
                return CallError::kind_mismatch(key, "PyString");
            }
            const std::size_t at = match_keyword(signature, key);
            if (at == parameter_count(signature)) {
                // %S runs the key's own __str__, which may raise anything (SystemExit
                // included): that error is the caller's and propagates unchanged.
                ref text = ref::steal(PyUnicode_FromFormat(
                    "%s got an unexpected keyword argument '%S'", display_name(signature).c_str(), key));
                if (!text) {
                    return fetch_error();
                }
                return CallError::object(PyExc_TypeError, std::move(text));
            }
            if (slots[at] != nullptr) {
                return CallError::message(PyExc_TypeError,
                                          display_name(signature) + " got multiple values for argument '" +
                                              signature.positional_names[at] + "'");
            }
            slots[at] = value;
        }
    }
    std::vector<const char*> missing;
    for (std::size_t k = 0; k < signature.required_positional_count; ++k) {
        if (slots[k] == nullptr) {
            missing.push_back(signature.positional_names[k]);
        }
    }
    if (!missing.empty()) {
        return missing_required(signature, missing);
    }
    return slots;
}

}  // namespace kestrel
