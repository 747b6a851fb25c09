#pragma once

// A file name as Python hands it over (bytes: a str's UTF-8, or bytes as
// given) turned into the path the file system API takes.

#include <filesystem>
#include <optional>
#include <string>

namespace pcd {

// The UTF-16 code units of well-formed UTF-8 `text`, or nothing when `text` is
// not well-formed (see utf8_sequence_length).
std::optional<std::u16string> utf8_to_utf16(const std::string& text);

// The path that opens the file named `name`. Where file names are UTF-16
// (Windows) `name` is read as UTF-8 and opened through the wide-character API,
// since the narrow one would read it in the ANSI code page; a name that is not
// UTF-8 names no file there and gives nothing. Elsewhere names are bytes and
// `name` is taken as it is.
std::optional<std::filesystem::path> file_system_path(const std::string& name);

}  // namespace pcd
