#pragma once

#include <cstdint>
#include <istream>

#include "pcd/pcd_header.hpp"
#include "pcd/point_buffer.hpp"

namespace pcd {

// Fills `buffer` from a "binary_compressed" data section: two native-order
// 32-bit words (compressed size, uncompressed size) and one LZF block. The
// block holds the records grouped by field (every point's bytes of the first
// field, then of the second, ...), as PCD writers store it; they are regrouped
// into packed records. `stream` stands at the section's first byte and
// `available` bytes of the file remain from there.
//
// Throws std::runtime_error "LZF decompression failed" for a cut-off or
// corrupt section, one that does not decompress to its declared size, or one
// whose declared size is not that of all the records (with or without their
// "_" padding fields), and std::length_error "vector too long" for a block
// over the size limit.
void decode_compressed_data(std::istream& stream, std::uint64_t available, const PcdHeader& header,
                            PointBuffer& buffer);

}  // namespace pcd
