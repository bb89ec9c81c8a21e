// The one owning reference type. Move-only; every strong reference the module holds
// lives in one of these, so it is released on every path when the scope ends.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace kestrel {

class ref {
public:
    ref() noexcept = default;
    ref(const ref&) = delete;
    ref& operator=(const ref&) = delete;
    ref(ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    ref& operator=(ref&& other) noexcept {
        ref old(std::move(*this));  // released after the swap, even on self-move
        ptr_ = std::exchange(other.ptr_, nullptr);
        return *this;
    }
    ~ref() { Py_XDECREF(ptr_); }

    // Takes over a new reference (may be NULL).
    static ref steal(PyObject* ptr) noexcept { return ref(ptr); }
    // Adds a strong reference to a borrowed one.
    static ref borrow(PyObject* ptr) noexcept {
        Py_XINCREF(ptr);
        return ref(ptr);
    }

    PyObject* get() const noexcept { return ptr_; }
    // Hands the reference to the caller; this object becomes empty.
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit ref(PyObject* ptr) noexcept : ptr_(ptr) {}
    PyObject* ptr_ = nullptr;
};

// Method tables store every entry as a PyCFunction; the flags tell the interpreter
// the real signature. The detour through a plain function pointer keeps the cast
// free of cast-function-type warnings.
template <class F>
PyCFunction as_cfunction(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function));
}

}  // namespace kestrel
