#include "pcd/point_buffer.hpp"

#include <cstdlib>
#include <new>
#include <stdexcept>

namespace pcd {

void FreeDeleter::operator()(void* p) const noexcept { std::free(p); }

std::unique_ptr<PointBuffer> make_point_buffer(std::size_t size) {
    if (size > max_point_buffer_bytes) throw std::length_error("vector too long");
    auto buffer = std::make_unique<PointBuffer>();
    // calloc(0) may return null; one byte keeps data() valid for empty clouds.
    void* storage = std::calloc(size == 0 ? 1 : size, 1);
    if (storage == nullptr) throw std::bad_alloc();
    buffer->data.reset(static_cast<std::uint8_t*>(storage));
    buffer->size = size;
    return buffer;
}

void free_point_buffer(void* p) noexcept { delete static_cast<PointBuffer*>(p); }

}  // namespace pcd
