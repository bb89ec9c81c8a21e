// Large fresh buffers: ask the kernel for huge pages before the first touch, so filling
// tens of megabytes costs a few page faults instead of thousands (Linux with transparent
// huge pages in madvise mode). Only a hint: anywhere else, or on failure, nothing changes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace kestrel {

inline constexpr std::size_t kHugePage = std::size_t{1} << 21;

// The hint for the whole huge pages inside [data, data + bytes).
inline void advise_huge_pages([[maybe_unused]] const void* data, [[maybe_unused]] std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    const auto start = (reinterpret_cast<std::uintptr_t>(data) + kHugePage - 1) & ~(kHugePage - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kHugePage - 1);
    if (end > start) (void)madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#endif
}

// The hint for a buffer of at least four huge pages, whose head and tail may stay small.
inline void prefer_huge_pages(const void* data, std::size_t bytes) noexcept {
    if (bytes >= 4 * kHugePage) advise_huge_pages(data, bytes);
}

// A fixed number of values set by assign, for large working arrays filled whole (offsets
// per sample). From one huge page up its storage starts and ends on huge-page bounds, so
// that every page of it can be huge: one fault per 2 MiB instead of one per 4 KiB.
template <class T>
class LargeArray {
public:
    void assign(std::size_t count, T value) {
        if (count > (std::numeric_limits<std::size_t>::max() - kHugePage) / sizeof(T)) throw std::bad_alloc();
        const std::size_t bytes = std::max<std::size_t>(count * sizeof(T), 1);
        release();  // the old storage goes first
        void* block = nullptr;
        if (bytes >= kHugePage) {
            const std::size_t whole = (bytes + kHugePage - 1) & ~(kHugePage - 1);
            block = std::aligned_alloc(kHugePage, whole);
            if (block != nullptr) advise_huge_pages(block, whole);
        } else {
            block = std::malloc(bytes);
        }
        if (block == nullptr) throw std::bad_alloc();
        data_.reset(static_cast<T*>(block));
        size_ = count;
        std::fill_n(data_.get(), count, value);
    }
    void release() {
        data_.reset();
        size_ = 0;
    }
    T& operator[](std::size_t k) { return data_[k]; }
    const T& operator[](std::size_t k) const { return data_[k]; }
    bool empty() const { return size_ == 0; }

private:
    struct Free {
        void operator()(T* block) const noexcept { std::free(block); }
    };
    std::unique_ptr<T[], Free> data_;
    std::size_t size_ = 0;
};

// reserve(count), with the huge-page hint for the new storage.
template <class T>
void reserve_large(std::vector<T>& values, std::size_t count) {
    values.reserve(count);
    prefer_huge_pages(values.data(), values.capacity() * sizeof(T));
}

}  // namespace kestrel
