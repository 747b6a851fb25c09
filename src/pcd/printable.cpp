// UTF-8 validation and escaping for error messages.

#include "pcd/printable.hpp"

namespace pcd {

std::size_t utf8_sequence_length(const std::string& s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;  // range of the second byte
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (i + length > s.size() || byte(i + 1) < low || byte(i + 1) > high) return 0;
    for (std::size_t k = 2; k < length; ++k)
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    return length;
}

std::string printable(const std::string& text) {
    static const char hex[] = "0123456789abcdef";
    std::string shown;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = text[i] == '\0' ? 0 : utf8_sequence_length(text, i);
        if (length == 0) {
            const auto byte = static_cast<unsigned char>(text[i++]);
            shown += {'\\', 'x', hex[byte >> 4], hex[byte & 15]};
        } else {
            shown.append(text, i, length);
            i += length;
        }
    }
    return shown;
}

}  // namespace pcd
