#pragma once

// Most fields of "ascii" clouds are binary32 (x y z, intensity, normals),
// often side by side with integers (a packed colour, a label, a ring). A run
// of such fields, packed in the record, can be decoded several numbers at a
// time: the numbers are found from a separator mask of the text, and four
// (AVX2) or eight (AVX-512) at a time are valued, converted and rounded in
// vector registers. This header is what the decode loop sees of the vector
// kernels: the shape of a run and the signature of a kernel's run decoder.

#include <array>
#include <cstdint>

namespace pcd {

// The most elements a run may have for a run decoder.
constexpr int max_packed_numbers = 8;

// The elements of a run, packed side by side in the record in the order the
// text lists their numbers: binary32 values and integers.
struct PackedElements {
    int count = 0;           // 1 to max_packed_numbers
    int integer_lanes = 0;   // bit i set: element i is an integer, not a binary32
    int unsigned_lanes = 0;  // and set here as well: an unsigned one
    // Bytes the elements take: 4 * count when each is four bytes. Integers of
    // one or two bytes (a ring number, a class) may be among them only for
    // kernels with eight lanes, which store byte k of the elements from byte
    // `sources[k]` of the values laid out as 32-bit lanes.
    int bytes = 0;
    std::array<std::uint8_t, 4 * max_packed_numbers> sources{};
};

// A kernel's run decoder: decodes the numbers of `run`, starting at `p` (on
// a separator before the first, or on it), into the elements at `elements`.
// Integers take what the scalar decoder stores: the value modulo
// 2^(8 * size). Done only when every number is a plain decimal of at most
// fifteen digits and sixteen bytes ("-12.345678", "123.000000", "7", ".5",
// "5."; integers without a point and below 2^31, unsigned ones without a
// sign), ends at a separator and lies within
// the 64 bytes at `p`, and when no binary32 number lies so close to a rounding
// boundary that the product rounded twice might differ from the decimal's
// correctly rounded value. Returns the byte after the last number, where the
// scalar decoder would stand too; otherwise returns nullptr and writes
// nothing, and the caller decodes the numbers itself. The 64 bytes at `p` must
// be text of the current window and 16 more must be readable.
using PackedDecoder = const char* (*)(const char* p, const PackedElements& run,
                                      std::uint8_t* elements);

}  // namespace pcd
