#include "pcd/compressed_data.hpp"

#include <lzf.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

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

void read_block(std::istream& stream, std::uint8_t* block, std::uint32_t size) {
    stream.read(reinterpret_cast<char*>(block), size);
    if (static_cast<std::uint64_t>(stream.gcount()) != size) throw lzf_failed();
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

// One field's run of bytes in the block: `width` bytes per point, all points
// one after another, landing at `offset` in each record.
struct FieldGroup {
    std::size_t offset;
    std::size_t width;
};

// The fields the block holds, in order: every field, or every field but the
// "_" padding that PCL's writer leaves out of the block (its reader leaves
// them 0). Empty when `uncompressed_size` fits neither: the fields of such a
// block cannot be told apart, so it is refused rather than loaded misplaced.
std::vector<FieldGroup> block_groups(const PcdHeader& header, std::uint32_t uncompressed_size) {
    const auto points = static_cast<std::uint64_t>(header.points);
    std::vector<FieldGroup> all;
    std::vector<FieldGroup> unpadded;
    std::uint64_t all_width = 0;
    std::uint64_t unpadded_width = 0;
    for (const PcdField& field : header.fields) {
        const FieldGroup group{static_cast<std::size_t>(field.offset),
                               static_cast<std::size_t>(field.size) * field.count};
        all.push_back(group);
        all_width += group.width;
        if (field.name != "_") {
            unpadded.push_back(group);
            unpadded_width += group.width;
        }
    }
    if (uncompressed_size == points * all_width) return all;
    if (unpadded.size() < all.size() && uncompressed_size == points * unpadded_width)
        return unpadded;
    return {};
}

// `image` holds the block's field groups one after another, each of `points`
// elements; `records` receives them packed. The records are 0 except for their
// first `dirty` bytes, which are cleared first where the groups leave bytes
// of a record unwritten.
void regroup_by_field(const std::uint8_t* image, const std::vector<FieldGroup>& groups,
                      const PcdHeader& header, std::uint8_t* records, std::size_t dirty) {
    const auto points = static_cast<std::size_t>(header.points);
    const auto step = static_cast<std::size_t>(header.point_step);
    std::size_t covered = 0;
    for (const FieldGroup& group : groups) covered += group.width;
    if (covered < step) std::memset(records, 0, dirty);
    for (std::size_t first = 0; first < points; first += chunk_points) {
        const std::size_t n = std::min(chunk_points, points - first);
        std::size_t start = 0;
        for (const FieldGroup& group : groups) {
            scatter(image + start + first * group.width, records + first * step + group.offset, n,
                    group.width, step);
            start += points * group.width;
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

    const std::vector<FieldGroup> groups = block_groups(header, uncompressed_size);
    if (groups.empty()) throw lzf_failed();
    // An empty block decompresses to nothing (lzf_decompress must not see
    // one), and where nothing is expected the block need not be read at all.
    if (compressed_size == 0 || uncompressed_size == 0) {
        if (uncompressed_size != 0) throw lzf_failed();
        return;
    }
    const auto capacity = static_cast<unsigned int>(uncompressed_size);

    // With one field, or at most one point, a block of every field is the
    // record layout itself and decompresses in place.
    if (groups.size() == header.fields.size() && (groups.size() < 2 || header.points < 2)) {
        std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[compressed_size]);
        read_block(stream, block.get(), compressed_size);
        const unsigned int written =
            lzf_decompress(block.get(), compressed_size, buffer.data.get(), capacity);
        if (written != uncompressed_size) throw lzf_failed();
        return;
    }

    // Otherwise the block decompresses into a scratch image that is then
    // regrouped into the records. The regrouping writes every byte of the
    // buffer that a field covers and clears the rest, so the buffer is free
    // until then and holds the compressed block whenever it fits: that saves
    // a block-sized allocation and the page faults of touching it, and the
    // buffer's pages are mapped by the read rather than by the regrouping.
    std::unique_ptr<std::uint8_t[]> own_block;
    std::uint8_t* block = buffer.data.get();
    if (compressed_size > buffer.size) {
        own_block.reset(new std::uint8_t[compressed_size]);
        block = own_block.get();
    }
    read_block(stream, block, compressed_size);
    // The image needs no zero fill: the decompressor writes all of it or the
    // load fails.
    const std::unique_ptr<PointBuffer> image =
        make_point_buffer(uncompressed_size, Filling::overwritten);
    const unsigned int written =
        lzf_decompress(block, compressed_size, image->data.get(), capacity);
    if (written != uncompressed_size) throw lzf_failed();
    own_block.reset();
    regroup_by_field(image->data.get(), groups, header, buffer.data.get(),
                     block == buffer.data.get() ? compressed_size : 0);
}

}  // namespace pcd
