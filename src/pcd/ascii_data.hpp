#pragma once

// Decoding of "ascii" data sections into a point buffer.

#include <cstddef>
#include <cstdint>
#include <istream>
#include <optional>

#include "pcd/kernels/registry.hpp"
#include "pcd/pcd_header.hpp"
#include "pcd/point_buffer.hpp"

namespace pcd {

// How an "ascii" section is decoded: the kernel, and the size of the chunks
// its text is read in (the window slides on, or grows for a longer number,
// at each chunk's end). Loads take the defaults; tests and the fuzzer choose.
struct AsciiDecoding {
    // None: the default kernel, or for a section of many records the one of
    // those the processor runs that decodes its first records fastest.
    std::optional<Kernel> kernel;
    std::size_t window_chunk = std::size_t{1} << 18;
};

// Fills `buffer` from an "ascii" data section: one decimal number per element,
// fields in declaration order, `count` numbers per field. Bytes up to 0x20 and
// from 0x80 separate numbers; line ends carry no meaning. Lenient by design:
// missing numbers leave their elements 0, surplus text is ignored, and a token
// that no slot can convert ends the conversion without an error.
//
// `stream` stands at the first byte after the "DATA" line and `available`
// bytes of the file remain from there. Throws std::length_error "vector too
// long" for a text over the size limit, std::bad_alloc, and what
// kernel_code throws for the kernel asked for.
void decode_ascii_data(std::istream& stream, std::uint64_t available, const PcdHeader& header,
                       PointBuffer& buffer, const AsciiDecoding& decoding = {});

}  // namespace pcd
