#pragma once

#include <cstdint>

#include "pcd/pcd_reader.hpp"

namespace pcd {

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
