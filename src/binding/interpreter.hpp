// Releasing the interpreter lock around core work, with Ctrl-C and other signals noticed
// while the core runs.
#pragma once

#include "binding/errors.hpp"

#include <chrono>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "core/cancel.hpp"

namespace kestrel {

// Re-takes the interpreter lock. While the interpreter finalizes, CPython 3.9 to 3.13 end a
// thread that asks for the lock with pthread_exit; its forced unwinding would meet noexcept
// frames (std::terminate, exit status 134) and run destructors that touch Python objects
// without the lock. Such a thread is parked for good instead, as later CPythons do with it:
// it never runs Python again and the process exits normally around it.
void reacquire_interpreter(PyThreadState* state) noexcept;

// Whether the calling thread is the main thread, the only one that runs signal handlers.
// Asked with the lock held.
bool on_main_thread();

// The hook the core polls while the lock is released: on the main thread, at most every
// 50 ms, it re-takes the lock, runs the pending signal handlers and stops the core when
// one of them raised (KeyboardInterrupt for Ctrl-C), keeping that error for the caller.
class SignalPoll final : public CancelHook {
public:
    SignalPoll() = default;
    ~SignalPoll();  // lock held
    SignalPoll(const SignalPoll&) = delete;
    SignalPoll& operator=(const SignalPoll&) = delete;

    void release() noexcept { state_ = PyEval_SaveThread(); }
    void reacquire() noexcept { reacquire_interpreter(state_); }
    bool stop_requested() override;
    // The error a signal handler raised, as the call's error (lock held).
    CallError take_error();

private:
    PyThreadState* state_ = nullptr;
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
    // Filled by PyErr_Fetch under the lock; owned references.
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// Runs `work` without the interpreter lock and returns its result with the lock held
// again. `work` touches no Python object and no graph object (the core on the call's own
// copies). Exceptions it throws (bad_alloc, internal faults) are rethrown once the lock is
// back, for the call frame to raise; a signal handler's error becomes the CallError.
template <class Work>
auto without_interpreter(Work&& work) -> Result<std::invoke_result_t<Work&>> {
    using Value = std::invoke_result_t<Work&>;
    SignalPoll poll;
    const bool main = on_main_thread();
    std::optional<Value> value;
    std::exception_ptr failure;
    bool cancelled = false;
    poll.release();
    try {
        CancelScope scope(main ? &poll : nullptr);
        value.emplace(work());
    } catch (const Cancelled&) {
        cancelled = true;
    } catch (...) {
        failure = std::current_exception();
    }
    poll.reacquire();
    if (failure) std::rethrow_exception(failure);
    if (cancelled) return poll.take_error();
    return std::move(*value);
}

}  // namespace kestrel
