// Reading of a "binary_compressed" data section: its two size words, the LZF
// block (decompressed by liblzf) and the regrouping of its fields into records.
#pragma once

#include <cstdint>
#include <istream>
#include <memory>

#include "pcd/pcd_header.hpp"
#include "pcd/point_buffer.hpp"

namespace pcd {

// Reads a "binary_compressed" data section into a new point buffer of all the
// header's records: two native-order 32-bit words (compressed size,
// uncompressed size) and one LZF block. The block holds the records grouped by
// field (every point's bytes of the first field, then of the second, ...), as
// PCD writers store it; they are regrouped into packed records. `stream`
// stands at the section's first byte and `available` bytes of the file remain
// from there. Whatever the header and the size words alone show to be wrong
// is refused before any memory is allocated for the cloud.
//
// Throws std::runtime_error "LZF decompression failed" for a cut-off or
// corrupt section, one that does not decompress to its declared size, or one
// whose declared size is not that of all the records (with or without their
// "_" padding fields), and std::length_error "vector too long" for a block
// over the size limit.
std::unique_ptr<PointBuffer> decode_compressed_data(std::istream& stream, std::uint64_t available,
                                                    const PcdHeader& header);

}  // namespace pcd
