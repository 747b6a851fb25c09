#pragma once

// The whole load of one file: header, data section of any kind, point buffer.

#include <memory>
#include <string>

#include "pcd/ascii_data.hpp"
#include "pcd/coordinates.hpp"
#include "pcd/pcd_header.hpp"
#include "pcd/point_buffer.hpp"

namespace pcd {

// A file read into memory: its header, the positions in `header.fields` of the
// fields chosen as x, y and z, and the point buffer holding every record.
struct PcdCloud {
    PcdHeader header;
    CoordinateFields xyz{};
    std::unique_ptr<PointBuffer> buffer;
};

// Opens `filename`, parses its header and reads its data section (any of the
// three encodings) into a new point buffer. Throws std::runtime_error with the
// reader's messages, std::length_error "vector too long" for a buffer over the
// limit and std::bad_alloc when memory runs out. `ascii` says how an "ascii"
// section is decoded.
PcdCloud read_pcd(const std::string& filename, const AsciiDecoding& ascii = {});

}  // namespace pcd
