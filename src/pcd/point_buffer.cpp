// Allocation of point buffers: zero-filled or not as their filling needs,
// huge pages advised for large ones, and their trimming once filled.

#include "pcd/point_buffer.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <stdexcept>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace pcd {

void FreeDeleter::operator()(void* p) const noexcept { std::free(p); }

namespace {

// Buffers filled at memory speed spend much of their time in first-touch page
// faults: transparent huge pages take one per 2 MiB instead of one per 4 KiB. Only whole
// 2 MiB pages inside the allocation are advised; pages never written are
// still never backed.
void advise_huge_pages(void* storage, std::size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t huge_page = std::uintptr_t{1} << 21;
    const auto begin = reinterpret_cast<std::uintptr_t>(storage);
    const std::uintptr_t first = (begin + huge_page - 1) & ~(huge_page - 1);
    const std::uintptr_t last = (begin + size) & ~(huge_page - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)storage;
    (void)size;
#endif
}

}  // namespace

std::unique_ptr<PointBuffer> make_point_buffer(std::size_t size, Filling filling,
                                               std::size_t capacity) {
    capacity = std::max(size, capacity);
    if (capacity > max_point_buffer_bytes) throw std::length_error("vector too long");
    auto buffer = std::make_unique<PointBuffer>();
    // calloc(0) may return null; one byte keeps data() valid for empty clouds.
    const std::size_t bytes = capacity == 0 ? 1 : capacity;
    void* storage = filling == Filling::overwritten ? std::malloc(bytes) : std::calloc(bytes, 1);
    if (storage == nullptr) throw std::bad_alloc();
    advise_huge_pages(storage, capacity);
    buffer->data.reset(static_cast<std::uint8_t*>(storage));
    buffer->size = size;
    buffer->capacity = capacity;
    return buffer;
}

void trim_point_buffer(PointBuffer& buffer) {
    if (buffer.capacity <= buffer.size || buffer.size == 0) return;
    // Shrinking in place is what allocators do for large blocks (glibc
    // remaps them); should it fail, the larger storage simply stays.
    void* storage = std::realloc(buffer.data.get(), buffer.size);
    if (storage == nullptr) return;
    (void)buffer.data.release();
    buffer.data.reset(static_cast<std::uint8_t*>(storage));
    buffer.capacity = buffer.size;
}

void free_point_buffer(void* p) noexcept { delete static_cast<PointBuffer*>(p); }

}  // namespace pcd
