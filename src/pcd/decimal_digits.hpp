#pragma once

// Bit-parallel scanning of decimal digits: eight text bytes are read as one
// 64-bit word (first byte lowest), and the digits among them are found and
// valued with a few integer operations instead of one step per byte. Pure
// functions of their arguments; callers guarantee that eight bytes are
// readable at every position they load from (the text windows end in zero
// padding for that).

#include <cstdint>

#include "pcd/platform.hpp"

namespace pcd {

// Eight text bytes as one integer whose lowest byte is the first character.
inline std::uint64_t load_eight(const char* q) { return platform::load_little_endian(q); }

// Top bit set in every byte of `block` that is no digit. Byte values 0..9
// after the xor are digits; adding 0x76 sets the top bit of every other byte
// below 0x80, and the rest have it set already. A carry out of a byte can only
// come from a non-digit and only disturbs the bytes after it.
inline std::uint64_t non_digit_bits(std::uint64_t block) {
    const std::uint64_t values = block ^ 0x3030303030303030u;
    return ((values + 0x7676767676767676u) | values) & 0x8080808080808080u;
}

// Position of the byte marked by the lowest top bit of `bits` (not 0).
inline int first_marked_byte(std::uint64_t bits) { return platform::lowest_set_bit(bits) >> 3; }

// Number of leading digit characters in `block` (0 to 8).
inline int leading_digits(std::uint64_t block) {
    const std::uint64_t non_digits = non_digit_bits(block);
    return non_digits == 0 ? 8 : first_marked_byte(non_digits);
}

// Value of eight digit values (0 to 9, first digit in the lowest byte),
// combined pairwise in three multiplications instead of one per digit.
inline std::uint64_t combine_digits(std::uint64_t values) {
    values = values * 10 + (values >> 8);
    values = (((values & 0x000000FF000000FFu) * 0x000F424000000064u) +
              (((values >> 16) & 0x000000FF000000FFu) * 0x0000271000000001u)) >>
             32;
    return values & 0xFFFFFFFFu;
}

// Value of the first `length` (0 to 8) digits of `block`.
inline std::uint64_t digits_value(std::uint64_t block, int length) {
    const std::uint64_t values = block ^ 0x3030303030303030u;
    // Shift the digits to the top, the vacated low bytes reading as leading
    // zeros; two shifts, so that a length of 0 shifts everything out.
    return combine_digits(length == 8 ? values : (values << (8 * (7 - length))) << 8);
}

// The same for a `length` of 1 to 8, where one shift does.
inline std::uint64_t nonempty_digits_value(std::uint64_t block, int length) {
    return combine_digits((block ^ 0x3030303030303030u) << (64 - 8 * length));
}

// The digits of `body` with the byte after its first `integer_digits` (0 to 8)
// squeezed out: the point, or the byte after the digits where there is none.
// Two shifts, so that eight integer digits keep the whole word.
inline std::uint64_t without_point(std::uint64_t body, int integer_digits) {
    const std::uint64_t integer_bytes =
        ~((~std::uint64_t{0} << (4 * integer_digits)) << (4 * integer_digits));
    return (body & integer_bytes) | ((body >> 8) & ~integer_bytes);
}

// Index of the lowest set bit of a 128-bit value given as halves; `low` or
// `high` must be non-zero.
inline int lowest_bit(std::uint64_t low, std::uint64_t high) {
    return low != 0 ? platform::lowest_set_bit(low) : 64 + platform::lowest_set_bit(high);
}

inline constexpr std::uint64_t digit_scale[] = {1,      10,      100,      1000,     10000,
                                                100000, 1000000, 10000000, 100000000};

// `mantissa` followed by the first `count` (0 to 15) digits of the sixteen
// bytes held in `low` and `high` (first byte lowest).
inline std::uint64_t append_digits(std::uint64_t mantissa, std::uint64_t low, std::uint64_t high,
                                   int count) {
    if (count > 8)
        return (mantissa * digit_scale[8] + nonempty_digits_value(low, 8)) *
                   digit_scale[count - 8] +
               digits_value(high, count - 8);
    return mantissa * digit_scale[count] + digits_value(low, count);
}

// Appends the digit run at `q` to `mantissa` and moves `q` past it; returns
// the run's length. Runs beyond 19 digits stop early: the caller gives such
// numbers up anyway, and the wrapped mantissa is never used.
inline int read_digit_run(const char*& q, std::uint64_t& mantissa) {
    int run = 0;
    for (;;) {
        const std::uint64_t block = load_eight(q);
        const int length = leading_digits(block);
        mantissa = mantissa * digit_scale[length] + digits_value(block, length);
        q += length;
        run += length;
        if (length < 8 || run > 19) return run;
    }
}

inline bool is_exponent_mark(char c) { return (c | 0x20) == 'e'; }

}  // namespace pcd
