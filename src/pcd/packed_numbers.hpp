#pragma once

#include <array>
#include <cstdint>

namespace pcd {

// Most fields of "ascii" clouds are binary32 (x y z, intensity, normals),
// often side by side with integers (a packed colour, a label, a ring). A run
// of such fields, packed in the record, can be decoded several numbers at a
// time: the numbers are found from a separator mask of the text, and four
// (AVX2) or eight (AVX-512) at a time are valued, converted and rounded in
// vector registers.

// The most elements a run may have for decode_packed_numbers.
constexpr int max_packed_numbers = 8;

// The vector instructions decode_packed_numbers can use; none where it cannot run
// at all. Both give the same results.
enum class PackedNumbers : std::uint8_t {
    none,
    avx2,    // x86-64 with AVX2
    avx512,  // and AVX-512 with byte permutation and compression (VBMI, VBMI2)
};

// The best the processor offers, and the build: one configured without
// AVX-512 code stops at avx2.
PackedNumbers packed_numbers_support();

// The elements of a run, packed side by side in the record in the order the
// text lists their numbers: binary32 values and integers.
struct PackedElements {
    int count = 0;           // 1 to max_packed_numbers
    int integer_lanes = 0;   // bit i set: element i is an integer, not a binary32
    int unsigned_lanes = 0;  // and set here as well: an unsigned one
    // Bytes the elements take: 4 * count when each is four bytes. Integers of
    // one or two bytes (a ring number, a class) may be among them only for
    // the AVX-512 decoder, which stores byte k of the elements from byte
    // `sources[k]` of the values laid out as 32-bit lanes.
    int bytes = 0;
    std::array<std::uint8_t, 4 * max_packed_numbers> sources{};
};

// Decodes the numbers of `run` with the instructions of `with` (other than
// none, and supported), starting at `p` (on a separator before the first, or
// on it), into the elements at `elements`. Integers take what the scalar
// decoder stores: the value modulo 2^(8 * size). Done only when every number
// is a plain decimal of at most eight bytes, sign included ("-12.345", "7",
// ".5", "5."; integers without a point, unsigned ones without a sign), ends
// at a separator and lies within the 64 bytes at `p`, and when no binary32
// number lies so close to a rounding boundary that the product rounded twice
// might differ from the decimal's correctly rounded value. Returns the byte
// after the last number, where the scalar decoder would stand too; otherwise
// returns nullptr and writes nothing, and the caller decodes the numbers
// itself. The 64 bytes at `p` must be text of the current window and 8 more
// must be readable.
const char* decode_packed_numbers(PackedNumbers with, const char* p, const PackedElements& run,
                                  std::uint8_t* elements);

}  // namespace pcd
