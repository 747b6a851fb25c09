// "binary_compressed" sections: checks of the size words, the block mapped
// from the file (or read where it cannot be), liblzf's lzf_decompress into a
// scratch image, and the regrouping of that image into the point buffer.
#include "pcd/compressed_data.hpp"

#include <lzf.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "pcd/compressed_regroup.hpp"
#include "pcd/file_region.hpp"

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

// Maps the pages of a fresh buffer on a second thread while this one
// decompresses: the first touch of fresh memory costs about as much as the
// decompressor's writes into its own fresh image. Stops early when asked; the
// buffer's contents are left unspecified.
class BackgroundTouch {
   public:
    BackgroundTouch(std::uint8_t* data, std::size_t size) {
        if (size < min_size) return;
        try {
            thread_ = std::thread([this, data, size] {
                for (std::size_t at = 0; at < size; at += page) {
                    if (stop_.load(std::memory_order_relaxed)) return;
                    data[at] = 0;
                }
            });
        } catch (const std::system_error&) {
            // No thread to be had: the regrouping maps the pages itself.
        }
    }
    BackgroundTouch(const BackgroundTouch&) = delete;
    BackgroundTouch& operator=(const BackgroundTouch&) = delete;
    ~BackgroundTouch() { finish(); }

    // Returns once the thread no longer writes to the buffer.
    void finish() {
        stop_.store(true, std::memory_order_relaxed);
        if (thread_.joinable()) thread_.join();
    }

   private:
    static constexpr std::size_t page = 4096;
    // Below this the thread costs more than it saves.
    static constexpr std::size_t min_size = std::size_t{4} << 20;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void decompress(const std::uint8_t* block, std::uint32_t compressed_size, std::uint8_t* out,
                std::uint32_t uncompressed_size) {
    const unsigned int written = lzf_decompress(block, compressed_size, out, uncompressed_size);
    if (written != uncompressed_size) throw lzf_failed();
}

}  // namespace

std::unique_ptr<PointBuffer> decode_compressed_data(std::istream& stream,
                                                    const DataSection& section,
                                                    const PcdHeader& header) {
    const auto records_size =
        static_cast<std::size_t>(header.points) * static_cast<std::size_t>(header.point_step);
    const std::uint64_t available = section.file_size - section.offset;
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

    const std::unique_ptr<FileRegion> mapped =
        FileRegion::map(section.filename, section.file_size, section.offset + 8, compressed_size);
    // With one field, or at most one point, a block of every field is the
    // record layout itself and decompresses straight into the buffer.
    const bool in_record_order =
        groups.size() == header.fields.size() && (groups.size() < 2 || header.points < 2);
    if (in_record_order) {
        std::unique_ptr<PointBuffer> read;
        const std::uint8_t* block = mapped ? mapped->data() : nullptr;
        if (!mapped) {
            read = make_point_buffer(compressed_size, Filling::overwritten);
            read_block(stream, read->data.get(), compressed_size);
            block = read->data.get();
        }
        std::unique_ptr<PointBuffer> buffer = make_point_buffer(records_size, Filling::overwritten);
        decompress(block, compressed_size, buffer->data.get(), uncompressed_size);
        return buffer;
    }

    // Otherwise the block decompresses into a scratch image that is then
    // regrouped into the records, which writes every byte of them.
    if (mapped) {
        std::unique_ptr<PointBuffer> buffer = make_point_buffer(records_size, Filling::overwritten);
        BackgroundTouch touch(buffer->data.get(), records_size);
        const std::unique_ptr<PointBuffer> image =
            make_point_buffer(uncompressed_size, Filling::overwritten);
        decompress(mapped->data(), compressed_size, image->data.get(), uncompressed_size);
        touch.finish();
        regroup_by_field(image->data.get(), groups, static_cast<std::size_t>(header.points),
                         static_cast<std::size_t>(header.point_step), buffer->data.get());
        return buffer;
    }
    // Read, the block waits in the point buffer (with room for one a little
    // longer than the records, as incompressible data gives): no block-sized
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
