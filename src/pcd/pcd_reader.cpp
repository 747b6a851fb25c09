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

namespace pcd {
namespace {

// Length of the well-formed UTF-8 sequence at `s[i]` (no overlong forms, no
// surrogates, nothing above U+10FFFF), or 0 when there is none.
std::size_t utf8_sequence_length(const std::string& s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;  // range of the second byte
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (i + length > s.size() || byte(i + 1) < low || byte(i + 1) > high) return 0;
    for (std::size_t k = 2; k < length; ++k)
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    return length;
}

// Text from the file system or the file, as it can be shown in a message: NUL
// bytes and bytes that are not UTF-8 become \xNN escapes, so the message
// reaches Python whole, as the RuntimeError it is, rather than cut at a NUL or
// turned into a decoding error.
std::string printable(const std::string& text) {
    static const char hex[] = "0123456789abcdef";
    std::string shown;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = text[i] == '\0' ? 0 : utf8_sequence_length(text, i);
        if (length == 0) {
            const auto byte = static_cast<unsigned char>(text[i++]);
            shown += {'\\', 'x', hex[byte >> 4], hex[byte & 15]};
        } else {
            shown.append(text, i, length);
            i += length;
        }
    }
    return shown;
}

// Only regular files are read: a name with an embedded NUL would silently open
// a shorter name, and a directory opens but cannot be read.
std::ifstream open_pcd_file(const std::string& filename) {
    const auto fail = [&] {
        return std::runtime_error("Cannot open PCD file: " + printable(filename));
    };
    if (filename.find('\0') != std::string::npos) throw fail();
    std::error_code ec;
    if (!std::filesystem::is_regular_file(std::filesystem::path(filename), ec)) throw fail();
    std::ifstream stream(filename, std::ios::in | std::ios::binary);
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

PcdCloud read_pcd(const std::string& filename) {
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
    if (file_size < header.data_offset || header.data_offset < 0)
        throw std::runtime_error("Cannot open PCD file: " + printable(filename));
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
            decode_ascii_data(stream, available, header, *cloud.buffer);
            break;
    }
    return cloud;
}

}  // namespace pcd
