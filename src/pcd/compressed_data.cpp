// "binary_compressed" sections: checks of the size words, the block read into
// the point buffer, liblzf's lzf_decompress into a scratch image, and the
// regrouping of that image into the point buffer.
#include "pcd/compressed_data.hpp"

// liblzf's own header declares its functions without C linkage; some packages
// add it, and a second extern "C" around theirs changes nothing.
extern "C" {
#include <lzf.h>
}

#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "pcd/compressed_regroup.hpp"

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

// What a block of `compressed` bytes can decompress to, by the LZF format: a
// literal run costs one byte more than it yields, and a back reference of
// three bytes yields at most 264.
bool sizes_possible(std::uint64_t compressed, std::uint64_t uncompressed) {
    return uncompressed <= 88 * compressed && compressed <= 2 * uncompressed;
}

void decompress(const std::uint8_t* block, std::uint32_t compressed_size, std::uint8_t* out,
                std::uint32_t uncompressed_size) {
    const unsigned int written = lzf_decompress(block, compressed_size, out, uncompressed_size);
    if (written != uncompressed_size) throw lzf_failed();
}

}  // namespace

std::unique_ptr<PointBuffer> decode_compressed_data(std::istream& stream, std::uint64_t available,
                                                    const PcdHeader& header) {
    const auto records_size =
        static_cast<std::size_t>(header.points) * static_cast<std::size_t>(header.point_step);
    if (available < 8) throw lzf_failed();
    const std::uint32_t compressed_size = read_word(stream);
    const std::uint32_t uncompressed_size = read_word(stream);
    if (compressed_size > max_point_buffer_bytes) throw std::length_error("vector too long");
    // A block reaching past the end of the file is a cut-off file.
    if (compressed_size > available - 8) throw lzf_failed();
    const std::vector<FieldGroup> groups = image_groups(header, uncompressed_size);
    if (groups.empty()) throw lzf_failed();
    // An empty block decompresses to nothing (lzf_decompress must not see
    // one), and where nothing is expected the block need not be read at all.
    if (compressed_size == 0 || uncompressed_size == 0) {
        if (uncompressed_size != 0) throw lzf_failed();
        return make_point_buffer(records_size, Filling::bulk);
    }
    if (!sizes_possible(compressed_size, uncompressed_size)) throw lzf_failed();

    // With one field, or at most one point, a block of every field is the
    // record layout itself and decompresses straight into the buffer.
    const bool in_record_order =
        groups.size() == header.fields.size() && (groups.size() < 2 || header.points < 2);
    if (in_record_order) {
        const std::unique_ptr<PointBuffer> block =
            make_point_buffer(compressed_size, Filling::overwritten);
        read_block(stream, block->data.get(), compressed_size);
        std::unique_ptr<PointBuffer> buffer = make_point_buffer(records_size, Filling::overwritten);
        decompress(block->data.get(), compressed_size, buffer->data.get(), uncompressed_size);
        return buffer;
    }

    // Otherwise the block decompresses into a scratch image that is then
    // regrouped into the records, which writes every byte of them. Until then
    // the block waits in the point buffer (with room for one a little longer
    // than the records, as incompressible data gives): no block-sized
    // allocation, and the buffer's pages are mapped by the read.
    std::unique_ptr<PointBuffer> buffer =
        make_point_buffer(records_size, Filling::overwritten, compressed_size);
    read_block(stream, buffer->data.get(), compressed_size);
    const std::unique_ptr<PointBuffer> image =
        make_point_buffer(uncompressed_size, Filling::overwritten);
    decompress(buffer->data.get(), compressed_size, image->data.get(), uncompressed_size);
    regroup_by_field(image->data.get(), groups, static_cast<std::size_t>(header.points),
                     static_cast<std::size_t>(header.point_step), buffer->data.get());
    trim_point_buffer(*buffer);
    return buffer;
}

}  // namespace pcd
