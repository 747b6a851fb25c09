#pragma once

#include <cstdint>

namespace pcd {

// Most "ascii" clouds hold nothing but binary32 fields (x y z, intensity,
// normals). Their records can be decoded several numbers at a time: the
// numbers of one record are found from a separator mask of the text, and
// four at a time are valued, converted and rounded in vector registers.

// The most elements a record may have for decode_float32_record.
constexpr int max_float32_record_elements = 8;

// Whether the processor can run decode_float32_record (x86-64 with AVX2).
bool float32_records_available();

// Decodes the record of `count` (1 to 8) packed binary32 elements that
// starts at `p` (on a separator before it, or on its first number) into
// `record`, when every one of its numbers is a plain decimal of at most eight
// bytes after its sign ("-12.345", "7", ".5", "5."), ends at a separator and
// lies within the 64 bytes at `p`, and when no number lies so close to a
// rounding boundary that the product rounded twice might differ from the
// decimal's correctly rounded value. Returns the byte after the record's last
// number, where the scalar decoder would stand too; otherwise returns nullptr
// and writes nothing, and the caller decodes the record itself. The 64 bytes
// at `p` must be text of the current window and 8 more must be readable.
const char* decode_float32_record(const char* p, int count, std::uint8_t* record);

}  // namespace pcd
