#pragma once

// The point buffer: every record of one file in one allocation from the C
// allocator, which the NumPy arrays of a load share.

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
// it never moves or grows once the records are in it.
struct PointBuffer {
    std::unique_ptr<std::uint8_t[], FreeDeleter> data;
    std::size_t size = 0;
    std::size_t capacity = 0;  // bytes allocated: `size`, or more until trimmed
};

// How a new buffer will be filled, which decides how it is allocated.
enum class Filling {
    overwritten,  // every byte written by one bulk copy before anything reads it:
                  // no zero fill; transparent huge pages when large
    bulk,         // written front to back over zeros: zero-filled; huge pages when large
};

// A buffer of `size` bytes, allocated with room for `capacity` bytes where
// that is more (for a reader that parks other data in it first). Throws
// std::length_error "vector too long" when either is above
// max_point_buffer_bytes and std::bad_alloc when memory is exhausted.
std::unique_ptr<PointBuffer> make_point_buffer(std::size_t size, Filling filling,
                                               std::size_t capacity = 0);

// Gives the allocated bytes beyond `size` back; the storage may move.
void trim_point_buffer(PointBuffer& buffer);

// Release function of the owner capsule: deletes the PointBuffer at `p`.
void free_point_buffer(void* p) noexcept;

}  // namespace pcd
