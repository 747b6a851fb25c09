#include "pcd/compressed_data.hpp"

#include <lzf.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace pcd {
namespace {

std::runtime_error lzf_failed() { return std::runtime_error("LZF decompression failed"); }

std::uint32_t read_word(std::istream& stream) {
    char bytes[4];
    stream.read(bytes, sizeof bytes);
    std::uint32_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

// Points regrouped per pass: enough for long runs of each field, small enough
// that the records being written stay in cache across the fields.
constexpr std::size_t chunk_points = 2048;

template <std::size_t Width>
void scatter_fixed(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::size_t step) {
    for (std::size_t i = 0; i < n; ++i) std::memcpy(dst + i * step, src + i * Width, Width);
}

void scatter(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::size_t width,
             std::size_t step) {
    switch (width) {
        case 1: return scatter_fixed<1>(src, dst, n, step);
        case 2: return scatter_fixed<2>(src, dst, n, step);
        case 4: return scatter_fixed<4>(src, dst, n, step);
        case 8: return scatter_fixed<8>(src, dst, n, step);
        case 12: return scatter_fixed<12>(src, dst, n, step);
        case 16: return scatter_fixed<16>(src, dst, n, step);
        default:
            for (std::size_t i = 0; i < n; ++i) std::memcpy(dst + i * step, src + i * width, width);
    }
}

// `image` holds the records grouped by field; `records` receives them packed.
void regroup_by_field(const std::uint8_t* image, const PcdHeader& header, std::uint8_t* records) {
    const auto points = static_cast<std::size_t>(header.points);
    const auto step = static_cast<std::size_t>(header.point_step);
    for (std::size_t first = 0; first < points; first += chunk_points) {
        const std::size_t n = std::min(chunk_points, points - first);
        std::size_t group = 0;
        for (const PcdField& field : header.fields) {
            const auto width = static_cast<std::size_t>(field.size) * field.count;
            scatter(image + group + first * width, records + first * step + field.offset, n, width,
                    step);
            group += points * width;
        }
    }
}

}  // namespace

void decode_compressed_data(std::istream& stream, std::uint64_t available, const PcdHeader& header,
                            PointBuffer& buffer) {
    if (available < 8) throw lzf_failed();
    const std::uint32_t compressed_size = read_word(stream);
    const std::uint32_t uncompressed_size = read_word(stream);
    if (compressed_size > max_point_buffer_bytes) throw std::length_error("vector too long");
    // A block reaching past the end of the file is a cut-off file; refuse it
    // before allocating anything for it.
    if (compressed_size > available - 8) throw lzf_failed();
    if (compressed_size == 0) {
        // lzf_decompress must not see an empty block; it decompresses to nothing.
        if (uncompressed_size != 0) throw lzf_failed();
        return;
    }

    std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[compressed_size]);
    stream.read(reinterpret_cast<char*>(block.get()), compressed_size);
    if (static_cast<std::uint64_t>(stream.gcount()) != compressed_size) throw lzf_failed();

    const auto capacity =
        static_cast<unsigned int>(std::min<std::uint64_t>(uncompressed_size, buffer.size));
    if (capacity == 0) {
        if (uncompressed_size != 0) throw lzf_failed();
        return;
    }

    // With one field, or at most one point, the field-grouped image is the
    // record layout itself and decompresses in place.
    const bool grouped = header.fields.size() > 1 && header.points > 1;
    std::unique_ptr<PointBuffer> image;
    std::uint8_t* target = buffer.data.get();
    if (grouped) {
        image = make_point_buffer(buffer.size);
        target = image->data.get();
    }
    const unsigned int written = lzf_decompress(block.get(), compressed_size, target, capacity);
    if (written != uncompressed_size) throw lzf_failed();
    block.reset();
    if (grouped) regroup_by_field(target, header, buffer.data.get());
}

}  // namespace pcd
