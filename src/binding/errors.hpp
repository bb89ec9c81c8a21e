// Error values, the internal-fault exception and the call frame. The only code that
// touches the interpreter's error indicator lives under src/binding.
#pragma once

#include "binding/object.hpp"

#include <cstddef>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "core/fault.hpp"

namespace kestrel {

// "'{qualname}' object cannot be converted to '{target}'", formatted when raised.
struct KindMismatch {
    ref type;
    const char* target;
};

// "expected tuple of length 2, but got tuple of length {length}", formatted when raised.
struct TupleLength {
    Py_ssize_t length;
};

// An error fetched from the interpreter, restored unchanged when raised.
struct Fetched {
    ref type;
    ref value;
    ref traceback;
};

// A ready message or argument object.
struct ReadyObject {
    ref object;
};

// The error every operation returns instead of a result. No Python exception object
// exists until it is raised.
struct CallError {
    using Payload = std::variant<const char*, std::string, ReadyObject, KindMismatch, TupleLength,
                                 Fetched>;

    PyObject* type;  // a built-in exception or the PanicException type; both outlive calls
    Payload payload;
    ref cause;
    // Set by wrap_argument_error: a TypeError is then raised as "argument '{name}': ...".
    const char* parameter = nullptr;

    static CallError message(PyObject* type, const char* text) { return {type, text, {}, nullptr}; }
    static CallError message(PyObject* type, std::string text) {
        return {type, std::move(text), {}, nullptr};
    }
    static CallError object(PyObject* type, ref object) {
        return {type, ReadyObject{std::move(object)}, {}, nullptr};
    }
    static CallError kind_mismatch(PyObject* object, const char* target) {
        return {PyExc_TypeError, KindMismatch{ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object))), target},
                {}, nullptr};
    }
    static CallError tuple_length(Py_ssize_t length) {
        return {PyExc_ValueError, TupleLength{length}, {}, nullptr};
    }
};

// A value or a CallError.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(CallError error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return state_.index() == 0; }
    T& value() & { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    CallError& error() & { return std::get<1>(state_); }
    CallError&& error() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, CallError> state_;
};

using Status = Result<std::monostate>;
inline Status success() { return std::monostate{}; }

#define KG_CONCAT_INNER(a, b) a##b
#define KG_CONCAT(a, b) KG_CONCAT_INNER(a, b)
// Declares `name` from a Result, or returns its CallError from the enclosing function.
#define KG_TRY(name, expr)                                                 \
    auto KG_CONCAT(kg_result_, __LINE__) = (expr);                         \
    if (!KG_CONCAT(kg_result_, __LINE__).ok())                             \
        return std::move(KG_CONCAT(kg_result_, __LINE__)).error();         \
    auto name = std::move(KG_CONCAT(kg_result_, __LINE__)).value()
// Returns the CallError of a Status, if any.
#define KG_CHECK(expr)                                                     \
    do {                                                                   \
        auto kg_status = (expr);                                           \
        if (!kg_status.ok()) return std::move(kg_status).error();          \
    } while (0)

// Takes the pending interpreter error. A travelling PanicException is resumed as an
// internal fault (throws InternalFault); nothing pending becomes SystemError.
CallError fetch_error();

// Checks the result of an object constructor. NULL with MemoryError pending becomes
// std::bad_alloc (raised as MemoryError by the frame); any other NULL is printed and
// becomes the internal fault "Python API call failed".
PyObject* checked(PyObject* created);

// A zero-filled instance of a heap type from its tp_alloc slot (the generic allocator
// when it has none), or the fetched allocation error. The caller constructs its fields.
Result<ref> allocate_instance(PyTypeObject* type);

// Marks a conversion failure as belonging to a parameter.
CallError wrap_argument_error(const char* parameter, CallError error);

// Sets the interpreter's error indicator from the error value.
void raise_error(CallError&& error);

// The PanicException type: created by create_panic_type at start-up, before anything
// can fault, so reporting a fault never needs a new type. NULL before that.
PyObject* panic_type();
Status create_panic_type();

// `__qualname__` of a type as a str, or "<failed to extract type name>".
ref type_qualname(PyObject* type);

// Interned attribute names, created once.
PyObject* interned_all();
PyObject* interned_name();
PyObject* interned_qualname();

namespace detail {
inline volatile int exception_state_probe = 0;
// Sets PanicException(message), or MemoryError when even that cannot be made. Never
// throws: it runs inside the frame's exception handlers.
void raise_fault(const char* message, const std::source_location& where) noexcept;
[[noreturn]] void fault_at_boundary() noexcept;
}  // namespace detail

// The call frame every Python entry runs in: runs the body, returns its result as a
// new reference, or raises its CallError, an internal fault as PanicException, or
// bad_alloc as MemoryError, and returns NULL.
template <class Body>
PyObject* call_frame(Body&& body) noexcept {
    // Touch the C++ runtime's per-thread exception state before any work: it is
    // allocated lazily on first use, and the C library aborts the process when that
    // allocation fails, which would turn a later out-of-memory into a crash instead
    // of MemoryError. After the first call on a thread this is a plain TLS read. The
    // query is declared pure, so its result is stored to keep the call.
    detail::exception_state_probe = std::uncaught_exceptions();
    try {
        try {
            Result<ref> result = body();
            if (result.ok()) {
                return std::move(result).value().release();
            }
            raise_error(std::move(result).error());
        } catch (const InternalFault& fault) {
            detail::raise_fault(fault.message.c_str(), fault.where);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::exception& other) {
            detail::raise_fault(other.what(), std::source_location::current());
        }
        return nullptr;
    } catch (...) {
        // Unreachable by construction (the handlers above do not throw); kept so that no
        // exception ever unwinds into the interpreter.
        detail::fault_at_boundary();
    }
}

// The frame for the destructor, which has no result: a fault is raised and at once
// reported as unraisable, so it never propagates.
template <class Body>
void call_frame_void(Body&& body) noexcept {
    PyObject* result = call_frame([&]() -> Result<ref> {
        body();
        return ref::borrow(Py_None);
    });
    if (result == nullptr) {
        PyErr_WriteUnraisable(nullptr);
    } else {
        Py_DECREF(result);
    }
}

}  // namespace kestrel
