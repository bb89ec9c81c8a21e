#include "binding/interpreter.hpp"

#include <thread>

namespace kestrel {

void reacquire_interpreter(PyThreadState* state) noexcept {
    try {
        PyEval_RestoreThread(state);
    } catch (...) {
        // Only pthread_exit's forced unwinding comes out of the C call (caught with
        // `...`: it has no C++ object to bind a reference to). Not rethrown: the
        // unwinding would end in std::terminate. The handler never returns, so the
        // unwinder never learns that it was not rethrown.
        for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
    }
}

bool on_main_thread() {
    // The main thread's identity, read once from threading (with the lock held, so the
    // cell is written once). 0 when it cannot be read: then no thread polls.
    static unsigned long main_ident = 0;
    static bool known = false;
    if (!known) {
        known = true;
        ref threading = ref::steal(PyImport_ImportModule("threading"));
        ref thread = threading ? ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr))
                               : ref();
        ref ident = thread ? ref::steal(PyObject_GetAttrString(thread.get(), "ident")) : ref();
        if (ident && PyLong_Check(ident.get())) main_ident = PyLong_AsUnsignedLong(ident.get());
        if (PyErr_Occurred()) {
            PyErr_Clear();
            main_ident = 0;
        }
    }
    return main_ident != 0 && PyThread_get_thread_ident() == main_ident;
}

SignalPoll::~SignalPoll() {
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
}

bool SignalPoll::stop_requested() {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(50)) return false;
    last_ = now;
    reacquire();
    // Runs the Python-level handlers of signals that arrived; they may run any Python
    // code, which is safe here: the core works only on the call's own copies.
    const bool raised = PyErr_CheckSignals() < 0;
    if (raised) PyErr_Fetch(&type_, &value_, &traceback_);
    release();
    return raised;
}

CallError SignalPoll::take_error() {
    ref type = ref::steal(std::exchange(type_, nullptr));
    ref value = ref::steal(std::exchange(value_, nullptr));
    ref traceback = ref::steal(std::exchange(traceback_, nullptr));
    if (!type) return CallError::message(PyExc_SystemError, "work was stopped without an error");
    PyObject* raw = type.get();
    return CallError{raw, Fetched{std::move(type), std::move(value), std::move(traceback)}, {}, nullptr};
}

}  // namespace kestrel
