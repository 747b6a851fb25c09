#pragma once

// Which fields are a cloud's x, y and z, and its points as float32 values.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "pcd/pcd_header.hpp"

namespace pcd {

// Positions in `PcdHeader::fields` of the fields chosen as x, y and z.
using CoordinateFields = std::array<std::size_t, 3>;

// True for the names "x", "y" and "z" exactly.
inline bool is_coordinate_name(const std::string& name) {
    return name.size() == 1 && name[0] >= 'x' && name[0] <= 'z';
}

// True when x, y and z are three adjacent 4-byte floats (type F or f, count 1),
// so the points can be shown as an (N, 3) float32 view of the records.
bool coordinates_are_packed_floats(const PcdHeader& header, const CoordinateFields& xyz);

// Writes points x 3 float32 values of x, y, z from `records` to `out`, converted from their
// declared type and size (type letter case ignored; first element of a field
// with count above 1). `out` must hold zeros on entry: values of +0.0 are not
// stored, so a large all-zero cloud leaves freshly allocated zero pages of
// `out` untouched. Throws std::runtime_error "Unsupported PCD type/size"
// for a coordinate of a type or size that has no numeric meaning.
void convert_coordinates(const PcdHeader& header, const CoordinateFields& xyz,
                         const std::uint8_t* records, float* out);

}  // namespace pcd
