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

// How a new buffer will be filled, which decides how it is allocated.
enum class Filling {
    overwritten,  // every byte written by one bulk copy before anything reads it:
                  // no zero fill; transparent huge pages when large
    bulk,         // written front to back over zeros: zero-filled; huge pages when large
};

// Throws std::length_error "vector too long" above max_point_buffer_bytes and
// std::bad_alloc when memory is exhausted.
std::unique_ptr<PointBuffer> make_point_buffer(std::size_t size, Filling filling);

// Release function of the owner capsule: deletes the PointBuffer at `p`.
void free_point_buffer(void* p) noexcept;

}  // namespace pcd
