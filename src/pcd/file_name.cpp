// UTF-8 file names decoded to UTF-16 for file systems whose names are UTF-16.

#include "pcd/file_name.hpp"

#include <cstdint>

#include "pcd/platform.hpp"
#include "pcd/printable.hpp"

namespace pcd {

std::optional<std::u16string> utf8_to_utf16(const std::string& text) {
    std::u16string units;
    units.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = utf8_sequence_length(text, i);
        if (length == 0) return std::nullopt;
        // Lead byte bits, then six bits per continuation byte.
        static const unsigned char lead_mask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
        std::uint32_t code = static_cast<unsigned char>(text[i]) & lead_mask[length];
        for (std::size_t k = 1; k < length; ++k)
            code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
        if (code < 0x10000) {
            units += static_cast<char16_t>(code);
        } else {
            code -= 0x10000;
            units += static_cast<char16_t>(0xD800 + (code >> 10));
            units += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
        }
        i += length;
    }
    return units;
}

std::optional<std::filesystem::path> file_system_path(const std::string& name) {
    if constexpr (platform::utf16_file_names) {
        const auto units = utf8_to_utf16(name);
        if (!units) return std::nullopt;
        // wchar_t is UTF-16 wherever names are: the units go over unchanged.
        return std::filesystem::path(std::wstring(units->begin(), units->end()));
    } else {
        return std::filesystem::path(name);
    }
}

}  // namespace pcd
