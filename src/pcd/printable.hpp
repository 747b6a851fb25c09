#pragma once

// Text from the file system or a file, made fit for an error message.

#include <cstddef>
#include <string>

namespace pcd {

// Length of the well-formed UTF-8 sequence at `s[i]` (no overlong forms, no
// surrogates, nothing above U+10FFFF, nothing cut off by the end of `s`), or 0
// when there is none. `i` must be below s.size().
std::size_t utf8_sequence_length(const std::string& s, std::size_t i);

// `text` as it can be shown in a message: NUL bytes and bytes that are not
// UTF-8 become \xNN escapes, so the message reaches Python whole, as the
// RuntimeError it is, rather than cut at a NUL or turned into a decoding error.
std::string printable(const std::string& text);

}  // namespace pcd
