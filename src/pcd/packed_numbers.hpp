#pragma once

#include <cstdint>

namespace pcd {

// Most fields of "ascii" clouds are binary32 (x y z, intensity, normals),
// often side by side with 32-bit integers (a packed colour, a label). A run
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

// Decodes `count` (1 to 8) numbers with the instructions of `with` (other
// than none, and supported), starting at `p` (on a separator before
// the first, or on it), into as many packed four-byte elements at `elements`:
// binary32, or 32-bit integers where the element's bit is set in
// `integer_lanes` (element i is bit i), unsigned where it is set in
// `unsigned_lanes` as well. Done only when every number is a plain decimal of
// at most eight bytes, sign included ("-12.345", "7", ".5", "5."; integers
// without a point, unsigned ones without a sign), ends at a separator and
// lies within the 64 bytes at `p`, and when no binary32 number lies so close
// to a rounding boundary that the product rounded twice might differ from the
// decimal's correctly rounded value. Returns the byte after the last number,
// where the scalar decoder would stand too; otherwise returns nullptr and
// writes nothing, and the caller decodes the numbers itself. The 64 bytes at
// `p` must be text of the current window and 8 more must be readable.
const char* decode_packed_numbers(PackedNumbers with, const char* p, int count, int integer_lanes,
                                  int unsigned_lanes, std::uint8_t* elements);

}  // namespace pcd
