#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace pcd {

// The largest point buffer a file may ask for, in bytes.
constexpr std::size_t max_point_buffer_bytes = 2147483647;

struct FreeDeleter {
    void operator()(void* p) const noexcept;
};

// All point records of one file, packed one after another. The storage comes
// from the C allocator (calloc, so fresh pages cost no separate zeroing pass);
// it never moves or grows after creation.
struct PointBuffer {
    std::unique_ptr<std::uint8_t[], FreeDeleter> data;
    std::size_t size = 0;
};

// Throws std::length_error "vector too long" above max_point_buffer_bytes and
// std::bad_alloc when memory is exhausted. The storage is zero-filled unless
// `zero_filled` is false, for a caller that overwrites every byte before
// anything reads it (or discards the buffer).
std::unique_ptr<PointBuffer> make_point_buffer(std::size_t size, bool zero_filled = true);

// Release function of the owner capsule: deletes the PointBuffer at `p`.
void free_point_buffer(void* p) noexcept;

}  // namespace pcd
