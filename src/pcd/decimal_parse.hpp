#pragma once

// Parsers of the decimal numbers that make up most "ascii" text: the plain
// ones ("-12.345", "7", ".5", "1700000000.000385") split into a mantissa, a
// count of fraction digits and a sign, and those with exponents or long
// mantissas ("-1.234567890123456789e+01") into a mantissa and a power of ten.
// Each returns nullptr for a form it leaves to the next parser or the general
// conversion (inf/nan, too many digits, no digits). Where one returns a
// pointer, it is the byte fast_float's (or from_chars') reading of the same
// number would stop at. Pure functions of the bytes; `p` lies in text followed
// by zero padding (a TextWindow's), which stops every digit run and covers
// every load.

#include <cstdint>

#include "pcd/decimal_digits.hpp"

namespace pcd {

// A plain decimal split into parts: the value is (-1)^negative * mantissa / 10^fraction_digits.
struct ShortDecimal {
    std::uint64_t mantissa;
    int fraction_digits;
    bool negative;
};

// A plain decimal at `p` that ends at `end`, within its first 16 bytes, with
// more than eight digits on a side of the point. Out of line, like the next
// one, so that the usual path of parse_short_decimal keeps its values in
// registers.
const char* parse_long_fraction(const char* p, int end, ShortDecimal& decimal);

// A plain decimal at `p` whose point lies at `point`, within its first 16
// bytes, and whose fraction runs on past them: timestamps such as
// "1700000000.000385", and the mantissas of "%.18e" up to their exponent
// mark, which is returned as parse_short_decimal returns it (such a mantissa
// may exceed 2^53; it has at most 19 digits).
const char* parse_long_fraction_run(const char* p, int point, ShortDecimal& decimal);

// Most numbers in real files are short plain decimals ("-12.345", "7", ".5").
// A plain decimal whose digits and point lie within its first 16 bytes, or
// that has at most 16 integer and 7 fraction digits, gives its parts when
// its mantissa is at most 2^53 (so that mantissa and power of ten are exact
// doubles); the usual ones without leaving this function. A short mantissa
// followed by an exponent mark ("1.23456789e+01" of "%.8e") gives its parts
// and returns the mark, so that with_exponent reads on from there instead of
// the whole number being scanned again. Longer ones are parse_scientific's.
inline const char* parse_short_decimal(const char* p, ShortDecimal& decimal) {
    // The usual number and the byte after it lie in the 16 bytes at `p`, with
    // at most 8 digits on either side of the point. Its end then follows from
    // one pair of loads, so the search for the next number, on which the
    // whole decoding waits, stays short.
    const std::uint64_t low = load_eight(p);
    const std::uint64_t high = load_eight(p + 8);
    const bool negative = static_cast<char>(low) == '-';
    std::uint64_t stops_low = non_digit_bits(low) & ~std::uint64_t{negative ? 0x80u : 0u};
    const std::uint64_t stops_high = non_digit_bits(high);
    if ((stops_low | stops_high) == 0) return nullptr;
    const int first = lowest_bit(stops_low, stops_high) >> 3;
    int end = first;
    int fraction_digits = 0;
    if (p[first] == '.') {
        if (first < 8) stops_low &= stops_low - 1;
        const std::uint64_t rest_high = first < 8 ? stops_high : stops_high & (stops_high - 1);
        if ((stops_low | rest_high) == 0) return parse_long_fraction_run(p, first, decimal);
        end = lowest_bit(stops_low, rest_high) >> 3;
        fraction_digits = end - first - 1;
    }
    const int integer_digits = first - negative;
    if (integer_digits > 8 || fraction_digits > 8) return parse_long_fraction(p, end, decimal);
    if (integer_digits + fraction_digits == 0) return nullptr;
    // The digits are loaded again rather than shifted out of the 16 bytes:
    // loads are cheaper than 128-bit shifts, and nothing waits for them.
    const std::uint64_t body = load_eight(p + negative);
    std::uint64_t mantissa;
    if (end - negative <= 8) {
        // Digits and point within eight bytes, as in most numbers: all digits
        // valued at once.
        mantissa = nonempty_digits_value(without_point(body, integer_digits),
                                         integer_digits + fraction_digits);
    } else {
        const std::uint64_t fraction_part =
            digits_value(load_eight(p + first + 1), fraction_digits);
        // The one integer digit of a "%e" mantissa needs no valuing; asked
        // about the exponent first, so that other text, whose integer digits
        // vary in number, takes the test the same way every time.
        const std::uint64_t integer_part = is_exponent_mark(p[end]) && integer_digits == 1
                                               ? (body & 0x0F)
                                               : digits_value(body, integer_digits);
        mantissa = integer_part * digit_scale[fraction_digits] + fraction_part;
    }
    decimal = {mantissa, fraction_digits, negative};
    return p + end;
}

// Timestamps ("1700000000.000385") and other unsigned decimals with at least
// eight integer digits, a point after them, at most 7 fraction digits and 16
// digits in all, and a value of at most 2^53: valued in two parts, the first
// digits and the last eight, which are the eight bytes before the end with
// the point squeezed out, after the digit before them. Returns nullptr for
// anything else, which parse_short_decimal then reads; where it returns a
// pointer, that would stop at the same byte with the same parts. binary64
// fields hold most such numbers; there this saves the general path most of
// its work.
inline const char* parse_fixed_point(const char* p, ShortDecimal& decimal) {
    const std::uint64_t leading = load_eight(p);
    if (non_digit_bits(leading) != 0) return nullptr;
    std::uint64_t stops = non_digit_bits(load_eight(p + 8));
    if (stops == 0) return nullptr;
    const int point = 8 + first_marked_byte(stops);
    if (p[point] != '.') return nullptr;
    stops &= stops - 1;
    const int end =
        stops != 0 ? 8 + first_marked_byte(stops) : 16 + leading_digits(load_eight(p + 16));
    const int fraction_digits = end - point - 1;
    const int digits = end - 1;
    if (fraction_digits > 7 || digits > 16 || is_exponent_mark(p[end])) return nullptr;
    const std::uint64_t last_eight =
        (without_point(load_eight(p + end - 8), 7 - fraction_digits) << 8) |
        static_cast<unsigned char>(p[end - 9]);
    const std::uint64_t mantissa =
        digits_value(leading, digits - 8) * digit_scale[8] + nonempty_digits_value(last_eight, 8);
    // Sixteen digits may exceed 2^53, beyond which the quotient is not one rounding.
    if (mantissa > (std::uint64_t{1} << 53)) return nullptr;
    decimal = {mantissa, fraction_digits, false};
    return p + end;
}

// A decimal with an optional exponent ("5813693308871853e9", "-1.5E+20") as
// (-1)^negative * mantissa * 10^exponent, the exponent net of the fraction
// digits.
struct ScaledDecimal {
    std::uint64_t mantissa;
    int exponent;
    bool negative;
};

// The digits of an unsigned mantissa at `q` with fewer than eight integer
// digits ("8.123456789012345678" of "%.18e"). The fraction's first 16 bytes
// are scanned at once, so that its end, on which the search for the next
// number waits, is found in one step for up to 15 fraction digits instead of
// one digit block after another. Returns the byte after the mantissa, with
// its count of digits, their value and minus the count of fraction digits;
// or nullptr for eight integer digits or more. More than 19 digits may wrap
// the value; callers give such numbers up.
inline const char* unsigned_mantissa(const char* q, std::uint64_t& mantissa, int& digits,
                                     int& exponent) {
    const std::uint64_t integer_block = load_eight(q);
    const int integer_digits = leading_digits(integer_block);
    if (integer_digits == 8) return nullptr;
    mantissa = digits_value(integer_block, integer_digits);
    digits = integer_digits;
    exponent = 0;
    if (q[integer_digits] != '.') return q + integer_digits;
    const char* fraction = q + integer_digits + 1;
    const std::uint64_t low = load_eight(fraction);
    const std::uint64_t high = load_eight(fraction + 8);
    const std::uint64_t stops_low = non_digit_bits(low);
    const std::uint64_t stops_high = non_digit_bits(high);
    if ((stops_low | stops_high) == 0) {
        mantissa = (mantissa * digit_scale[8] + nonempty_digits_value(low, 8)) * digit_scale[8] +
                   nonempty_digits_value(high, 8);
        fraction += 16;
        const int fraction_digits = 16 + read_digit_run(fraction, mantissa);
        digits += fraction_digits;
        exponent = -fraction_digits;
        return fraction;
    }
    const int fraction_digits = lowest_bit(stops_low, stops_high) >> 3;
    mantissa = append_digits(mantissa, low, high, fraction_digits);
    digits += fraction_digits;
    exponent = -fraction_digits;
    return fraction + fraction_digits;
}

// The exponent after the mark at `mark` ("e+01", "E-5"): one to three digits
// after an optional sign, added to `exponent`. Returns the byte after it, or
// nullptr for anything else: a mark without digits after it is no part of the
// number, and fast_float knows where such a number stops.
inline const char* read_exponent(const char* mark, int& exponent) {
    // printf's form, a sign and two digits, ends four bytes after the mark:
    // taken by a branch rather than by arithmetic on the loaded bytes, so
    // that the search for the next number need not wait for them.
    const char sign = mark[1];
    const auto tens = static_cast<unsigned char>(mark[2] - '0');
    const auto units = static_cast<unsigned char>(mark[3] - '0');
    if ((sign == '+' || sign == '-') && tens <= 9 && units <= 9 &&
        static_cast<unsigned char>(mark[4] - '0') > 9) {
        const int value = 10 * tens + units;
        exponent += sign == '-' ? -value : value;
        return mark + 4;
    }
    const char* e = mark + 1;
    const bool negative_exponent = *e == '-';
    e += negative_exponent || *e == '+';
    const std::uint64_t block = load_eight(e);
    const int exponent_digits = leading_digits(block);
    if (exponent_digits == 0 || exponent_digits > 3) return nullptr;
    const auto value = static_cast<int>(nonempty_digits_value(block, exponent_digits));
    exponent += negative_exponent ? -value : value;
    return e + exponent_digits;
}

// Decimals as printf's %e and %.Ng print them ("-1.234567890123456789e+01",
// "5.1234567e-05") and plain ones too long for the short parsers, digit block
// by digit block. Returns nullptr unless the number has 1 to 19 digits, leading
// zeros included (so that the mantissa cannot wrap), and an exponent, if any,
// of one to three digits; those are left to fast_float. Where it returns a
// pointer, fast_float would stop at the same byte with the same value.
inline const char* parse_scientific(const char* p, ScaledDecimal& decimal) {
    const bool negative = *p == '-';
    const char* q = p + negative;
    std::uint64_t mantissa = 0;
    int digits;
    int exponent = 0;
    if (const char* const mantissa_end = unsigned_mantissa(q, mantissa, digits, exponent)) {
        q = mantissa_end;
    } else {
        digits = read_digit_run(q, mantissa);
        if (*q == '.') {
            ++q;
            const int fraction_digits = read_digit_run(q, mantissa);
            digits += fraction_digits;
            exponent = -fraction_digits;
        }
    }
    if (digits == 0 || digits > 19) return nullptr;
    if (is_exponent_mark(*q)) {
        q = read_exponent(q, exponent);
        if (q == nullptr) return nullptr;
    }
    decimal = {mantissa, exponent, negative};
    return q;
}

// The number whose short mantissa parse_short_decimal gave as `parts`,
// stopping at the exponent mark `mark`, as a scaled decimal. Returns the byte
// after the exponent, or nullptr where parse_scientific would give up too.
inline const char* with_exponent(const char* mark, const ShortDecimal& parts,
                                 ScaledDecimal& decimal) {
    int exponent = -parts.fraction_digits;
    const char* const next = read_exponent(mark, exponent);
    decimal = {parts.mantissa, exponent, parts.negative};
    return next;
}

// Parts of the number in [p, end), which fast_float has read whole. Returns
// false for more than 19 digits after the leading zeros, an exponent of more
// than five digits, or no digits. Slow and rarely used: only where fast_float
// needs a second opinion.
bool parse_scaled_decimal(const char* p, const char* end, ScaledDecimal& decimal);

// Most integers in real files are short ("3", "11507646"): at most eight
// digits after an optional '-' (signed types only), valued at once, as
// two's complement bits of 64. Returns nullptr for anything else, which
// from_chars then reads; where it returns a pointer, from_chars would stop at
// the same byte with the same value.
template <bool is_signed>
inline const char* parse_short_integer(const char* p, std::uint64_t& bits) {
    const bool negative = is_signed && *p == '-';
    const char* const q = p + negative;
    const std::uint64_t block = load_eight(q);
    const int digits = leading_digits(block);
    if (digits == 0 || (digits == 8 && static_cast<unsigned char>(q[8] - '0') <= 9)) return nullptr;
    const std::uint64_t magnitude = nonempty_digits_value(block, digits);
    bits = negative ? std::uint64_t{0} - magnitude : magnitude;
    return q + digits;
}

}  // namespace pcd
