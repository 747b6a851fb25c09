// Opens a PCD file, parses its header and hands the data section to the
// reader of its kind, with a point buffer allocated once what the header and
// the section's first bytes show has been checked.

#include "pcd/pcd_reader.hpp"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "pcd/ascii_data.hpp"
#include "pcd/compressed_data.hpp"
#include "pcd/file_name.hpp"
#include "pcd/printable.hpp"

namespace pcd {
namespace {

// Only regular files are read: a name with an embedded NUL would silently open
// a shorter name, and a directory opens but cannot be read.
std::ifstream open_pcd_file(const std::string& filename) {
    const auto fail = [&] {
        return std::runtime_error("Cannot open PCD file: " + printable(filename));
    };
    if (filename.find('\0') != std::string::npos) throw fail();
    const auto path = file_system_path(filename);
    if (!path) throw fail();
    std::error_code ec;
    if (!std::filesystem::is_regular_file(*path, ec)) throw fail();
    std::ifstream stream(*path, std::ios::in | std::ios::binary);
    if (!stream.is_open()) throw fail();
    return stream;
}

// The last field named exactly x, y or z wins.
std::optional<CoordinateFields> find_coordinates(const PcdHeader& header) {
    std::array<std::optional<std::size_t>, 3> found;
    for (std::size_t i = 0; i < header.fields.size(); ++i) {
        const std::string& name = header.fields[i].name;
        if (is_coordinate_name(name)) found[name[0] - 'x'] = i;
    }
    if (!found[0] || !found[1] || !found[2]) return std::nullopt;
    return CoordinateFields{*found[0], *found[1], *found[2]};
}

std::runtime_error truncated(std::uint64_t expected, std::uint64_t found) {
    return std::runtime_error("PCD data section is truncated: expected " +
                              std::to_string(expected) + " bytes, found " + std::to_string(found));
}

enum class DataKind { binary, binary_compressed, ascii };

DataKind data_kind(const std::string& data_type) {
    if (data_type == "binary") return DataKind::binary;
    if (data_type == "binary_compressed") return DataKind::binary_compressed;
    if (data_type == "ascii") return DataKind::ascii;
    throw std::runtime_error("Unsupported PCD DATA type: " + printable(data_type));
}

// The caller has checked that the file holds `buffer.size` more bytes.
void read_binary_data(std::istream& stream, PointBuffer& buffer) {
    if (buffer.size == 0) return;
    stream.read(reinterpret_cast<char*>(buffer.data.get()),
                static_cast<std::streamsize>(buffer.size));
    const auto delivered = static_cast<std::uint64_t>(stream.gcount());
    if (delivered != buffer.size) throw truncated(buffer.size, delivered);
}

}  // namespace

PcdCloud read_pcd(const std::string& filename, const AsciiDecoding& ascii) {
    std::ifstream stream = open_pcd_file(filename);
    PcdCloud cloud;
    cloud.header = parse_pcd_header(stream);
    const PcdHeader& header = cloud.header;

    const auto xyz = find_coordinates(header);
    if (!xyz) throw std::runtime_error("PCD must contain x, y, z fields");
    cloud.xyz = *xyz;
    if (!header.layout_valid) throw std::runtime_error("Unsupported PCD field layout");

    const std::int64_t byte_count = std::int64_t{header.points} * header.point_step;
    if (byte_count < 0 || byte_count > static_cast<std::int64_t>(max_point_buffer_bytes))
        throw std::length_error("vector too long");
    const DataKind kind = data_kind(header.data_type);

    // The header parser stops right after the "DATA" line; everything from
    // there to the end of the file is the data section.
    stream.clear();
    stream.seekg(0, std::ios::end);
    const std::int64_t file_size = stream.tellg();
    // A stream that cannot tell its positions (tellg fails) leaves the data
    // section unlocated.
    if (file_size < header.data_offset || header.data_offset < 0)
        throw std::runtime_error("Cannot locate the data section of PCD file: " +
                                 printable(filename));
    const auto available = static_cast<std::uint64_t>(file_size - header.data_offset);
    stream.seekg(header.data_offset);

    // Each decoder allocates the point buffer only once what the header and
    // the section's first bytes show has been checked: a small file claiming
    // a huge cloud fails with its own message, not for want of memory.
    const auto records_size = static_cast<std::size_t>(byte_count);
    switch (kind) {
        case DataKind::binary:
            if (available < records_size) throw truncated(records_size, available);
            // Overwritten whole by the read, or the load fails.
            cloud.buffer = make_point_buffer(records_size, Filling::overwritten);
            read_binary_data(stream, *cloud.buffer);
            break;
        case DataKind::binary_compressed:
            cloud.buffer = decode_compressed_data(stream, available, header);
            break;
        case DataKind::ascii:
            // The text decoder fills the buffer front to back over zeros.
            cloud.buffer = make_point_buffer(records_size, Filling::bulk);
            decode_ascii_data(stream, available, header, *cloud.buffer, ascii);
            break;
    }
    return cloud;
}

}  // namespace pcd
