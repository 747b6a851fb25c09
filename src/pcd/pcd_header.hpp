#pragma once

// The PCD text header as read: fields, dimensions, data kind and where the
// data section starts.

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace pcd {

// One declared field of a point record.
struct PcdField {
    std::string name;
    char type = 'F';
    std::int32_t size = 4;
    std::int32_t count = 1;
    std::int32_t offset = 0;
};

// The parsed text header. `offset` of every field and `point_step` describe the
// packed record layout, computed from the final sizes and counts once the header
// has ended; `layout_valid` is false when that layout cannot exist (a size or
// count below 1, or a record too long for 32 bits), in which case every
// `offset` and `point_step` are 0.
struct PcdHeader {
    std::vector<PcdField> fields;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t points = 0;
    std::string data_type;
    std::int32_t point_step = 0;
    bool layout_valid = false;
    // Stream position of the first byte after the "DATA" line, or -1 when the
    // header has no "DATA" line.
    std::int64_t data_offset = -1;
};

// The longest header line read, far above any real one (a FIELDS line of
// thousands of names): past it the header is refused.
constexpr std::size_t max_header_line = std::size_t{1} << 20;

// Reads keyword lines from `stream` up to and including the "DATA" line. Judges
// nothing: unknown keywords and malformed values are ignored, and the caller
// decides what the result means. Throws std::runtime_error for a line longer
// than max_header_line.
PcdHeader parse_pcd_header(std::istream& stream);

}  // namespace pcd
