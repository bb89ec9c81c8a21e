// Cooperative cancellation of long core work. Whoever runs the core may install a hook
// for the current thread; long loops count their work on a local WorkPoll, which asks the
// hook once every kPollStride units. A hook that answers "stop" makes the poll throw
// Cancelled, which unwinds the core (freeing what it holds) to the installer. Without a
// hook the counter still runs but asks nobody. No interpreter here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrel {

struct Cancelled {};

class CancelHook {
public:
    // True to stop the work. Called on the working thread between two units of work.
    virtual bool stop_requested() = 0;

protected:
    ~CancelHook() = default;
};

// A unit is about one tree node, orientation test or sample step, a few nanoseconds to a
// few tens; 2^14 of them keep the hook's own cost (a clock read) far below 1%.
inline constexpr std::int64_t kPollStride = std::int64_t{1} << 14;

namespace detail {
inline thread_local CancelHook* installed_hook = nullptr;
inline thread_local std::int64_t installed_stride = kPollStride;
}  // namespace detail

// Installs `hook` (may be null) for the current thread for this object's lifetime. A
// smaller stride than the default is for tests, which stop the work at every poll point.
class CancelScope {
public:
    explicit CancelScope(CancelHook* hook, std::int64_t stride = kPollStride) noexcept
        : previous_(detail::installed_hook), previous_stride_(detail::installed_stride) {
        detail::installed_hook = hook;
        detail::installed_stride = stride < 1 ? 1 : stride;
    }
    ~CancelScope() {
        detail::installed_hook = previous_;
        detail::installed_stride = previous_stride_;
    }
    CancelScope(const CancelScope&) = delete;
    CancelScope& operator=(const CancelScope&) = delete;

private:
    CancelHook* previous_;
    std::int64_t previous_stride_;
};

// The per-scan counter. Reads the thread's hook and stride once, so the hot path is a
// decrement of a member and a rarely taken branch (no thread-local access per unit).
class WorkPoll {
public:
    WorkPoll() noexcept
        : hook_(detail::installed_hook), stride_(detail::installed_stride), budget_(stride_) {}

    void tick(std::size_t units = 1) {
        budget_ -= static_cast<std::int64_t>(units);
        if (budget_ < 0) [[unlikely]] ask();
    }

private:
    void ask() {
        budget_ = stride_;
        if (hook_ != nullptr && hook_->stop_requested()) throw Cancelled{};
    }

    CancelHook* hook_;
    std::int64_t stride_;
    std::int64_t budget_;
};

}  // namespace kestrel
