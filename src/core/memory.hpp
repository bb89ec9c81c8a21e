// Large fresh buffers: ask the kernel for huge pages before the first touch, so filling
// tens of megabytes costs a few page faults instead of thousands (Linux with transparent
// huge pages in madvise mode). Only a hint: anywhere else, or on failure, nothing changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace kestrel {

inline void prefer_huge_pages([[maybe_unused]] const void* data, [[maybe_unused]] std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t huge = std::uintptr_t{1} << 21;
    if (bytes < 4 * huge) return;
    // The advice applies to whole huge pages inside the buffer.
    const auto start = (reinterpret_cast<std::uintptr_t>(data) + huge - 1) & ~(huge - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(huge - 1);
    if (end > start) (void)madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#endif
}

// reserve(count), with the huge-page hint for the new storage.
template <class T>
void reserve_large(std::vector<T>& values, std::size_t count) {
    values.reserve(count);
    prefer_huge_pages(values.data(), values.capacity() * sizeof(T));
}

}  // namespace kestrel
