// Work split over threads: one series cut into consecutive chunks, each built by its own
// thread and merged exactly afterwards. Plain C++; no interpreter calls.
//
// Cancellation: the calling thread's hook (cancel.hpp) may run code that must stay on the
// calling thread, so worker threads never call it. Each worker polls a hook of its own
// that reads a shared atomic flag; the calling thread sets the flag when its own hook asks
// to stop (or any chunk fails), and every worker then unwinds at its next poll.
// Exceptions: whatever a chunk throws is caught on its thread, every thread is joined, and
// the first failure is rethrown on the calling thread.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <span>
#include <system_error>
#include <thread>
#include <vector>

#include "core/cancel.hpp"

namespace kestrel {

// Passed as `threads` for "as many as pays": all cores from a size where it pays, else one.
inline constexpr std::size_t kAutoThreads = 0;
// No more threads than this are started, whatever is asked.
inline constexpr std::size_t kMaxThreads = 256;

// The number of chunks a series of n samples is cut into for `threads` (kAutoThreads:
// every core once n >= auto_from). Never more chunks than samples, never zero.
inline std::size_t chunk_count(std::size_t n, std::size_t threads, std::size_t auto_from) {
    if (threads == kAutoThreads) {
        const unsigned cores = std::thread::hardware_concurrency();
        threads = n >= auto_from && cores > 1 ? cores : 1;
    }
    return std::max<std::size_t>(1, std::min({threads, kMaxThreads, n}));
}

// Chunk starts for `chunks` chunks of near-equal size: cuts[0] = 0 < ... < cuts[chunks] = n.
inline std::vector<std::size_t> even_cuts(std::size_t n, std::size_t chunks) {
    chunks = std::max<std::size_t>(1, std::min(chunks, std::max<std::size_t>(n, 1)));
    std::vector<std::size_t> cuts(chunks + 1);
    for (std::size_t c = 0; c <= chunks; ++c) cuts[c] = n / chunks * c + std::min(c, n % chunks);
    return cuts;
}

namespace detail {
// A worker's hook: stops when the shared flag is set. Never runs anything else.
class StopFlag final : public CancelHook {
public:
    explicit StopFlag(const std::atomic<bool>& flag) noexcept : flag_(flag) {}
    bool stop_requested() override { return flag_.load(std::memory_order_relaxed); }

private:
    const std::atomic<bool>& flag_;
};
}  // namespace detail

// Runs work(c) once for every c in [0, count): c = 0 on the calling thread, the others on
// threads of their own. The calling thread keeps polling its own hook until every chunk is
// done. When a thread cannot be started, its chunk runs on the calling thread instead.
template <class Work>
void run_parallel(std::size_t count, Work&& work) {
    if (count == 0) return;
    if (count == 1) {
        work(std::size_t{0});
        return;
    }
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable done;
    std::size_t finished = 0;
    std::exception_ptr first;  // guarded by mutex
    auto record = [&](std::exception_ptr failure) {
        stop.store(true, std::memory_order_relaxed);
        std::lock_guard lock(mutex);
        if (!first) first = std::move(failure);
    };
    auto body = [&](std::size_t c) noexcept {
        try {
            detail::StopFlag hook(stop);
            CancelScope scope(&hook, kPollStride);
            work(c);
        } catch (...) {
            record(std::current_exception());
        }
        {
            std::lock_guard lock(mutex);
            ++finished;
        }
        done.notify_one();
    };
    std::vector<std::thread> threads;
    std::size_t started = 0;
    try {
        threads.reserve(count - 1);
        for (std::size_t c = 1; c < count; ++c) {
            threads.emplace_back(body, c);
            ++started;
        }
    } catch (...) {
        // No memory or no more threads: the chunks not started run here, after chunk 0.
    }
    try {
        work(std::size_t{0});
        for (std::size_t c = started + 1; c < count; ++c) {
            if (stop.load(std::memory_order_relaxed)) break;
            work(c);
        }
        // Wait for the workers, still answering the calling thread's hook.
        WorkPoll poll;
        std::unique_lock lock(mutex);
        while (finished < started) {
            done.wait_for(lock, std::chrono::milliseconds(2));
            lock.unlock();
            poll.tick(std::size_t{1} << 40);  // past any stride: asks the hook (rate-limited there)
            lock.lock();
        }
    } catch (...) {
        record(std::current_exception());
    }
    for (std::thread& thread : threads) thread.join();
    if (first) std::rethrow_exception(first);
}

}  // namespace kestrel
