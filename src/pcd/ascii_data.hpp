#pragma once

#include <cstdint>
#include <istream>

#include "pcd/pcd_header.hpp"
#include "pcd/point_buffer.hpp"

namespace pcd {

// Fills `buffer` from an "ascii" data section: one decimal number per element,
// fields in declaration order, `count` numbers per field. Bytes up to 0x20 and
// from 0x80 separate numbers; line ends carry no meaning. Lenient by design:
// missing numbers leave their elements 0, surplus text is ignored, and a token
// that no slot can convert ends the conversion without an error.
//
// `stream` stands at the first byte after the "DATA" line and `available`
// bytes of the file remain from there. Throws std::length_error "vector too
// long" for a text over the size limit and std::bad_alloc.
void decode_ascii_data(std::istream& stream, std::uint64_t available, const PcdHeader& header,
                       PointBuffer& buffer);

}  // namespace pcd
