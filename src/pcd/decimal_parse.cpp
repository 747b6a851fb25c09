// The longer plain decimals of decimal_parse.hpp, out of line: long
// fractions ("0.061765905"), timestamps whose fraction runs past 16 bytes
// and the long mantissas before an exponent;
// and the parts of a number for the x87 mending of fast_float's results.

#include "pcd/decimal_parse.hpp"

namespace pcd {

// Long fractions of at most 15 digits in all ("0.061765905", as written to
// eight significant digits) are valued in two parts: their last eight digits,
// and those before them, which lie in the first eight bytes together with the
// point. Anything else is left to parse_scientific. Finding the point
// again rather than being handed its place keeps the caller's usual path
// short.
const char* parse_long_fraction(const char* p, int end, ShortDecimal& decimal) {
    const bool negative = *p == '-';
    // The point, if any, ends the integer digits.
    const int integer_digits = leading_digits(load_eight(p + negative));
    if (p[negative + integer_digits] != '.') return nullptr;
    const int fraction_digits = end - negative - integer_digits - 1;
    if (integer_digits > 8 || integer_digits + fraction_digits > 15) return nullptr;
    if (is_exponent_mark(p[end])) return nullptr;
    const std::uint64_t leading = without_point(load_eight(p + negative), integer_digits);
    const std::uint64_t mantissa =
        nonempty_digits_value(leading, integer_digits + fraction_digits - 8) * digit_scale[8] +
        nonempty_digits_value(load_eight(p + end - 8), 8);
    decimal = {mantissa, fraction_digits, negative};
    return p + end;
}

// With at most seven fraction digits the number is valued in three parts (up
// to 16 integer digits in two, the fraction in one). A longer fraction is
// read on only where an exponent follows ("1.234567890123456789e+01" of
// "%.18e"): its mantissa (up to 19 digits, beyond 2^53) goes to the exponent
// reader, so that the number is not scanned again. Anything else is left to
// parse_scientific.
const char* parse_long_fraction_run(const char* p, int point, ShortDecimal& decimal) {
    const bool negative = *p == '-';
    const int integer_digits = point - negative;
    const char* const q = p + negative;
    const std::uint64_t integer_part =
        integer_digits <= 8
            ? digits_value(load_eight(q), integer_digits)
            : nonempty_digits_value(load_eight(q), 8) * digit_scale[integer_digits - 8] +
                  digits_value(load_eight(q + 8), integer_digits - 8);
    const char* fraction = p + point + 1;
    const std::uint64_t fraction_block = load_eight(fraction);
    int fraction_digits = leading_digits(fraction_block);
    if (fraction_digits == 8) {
        // The 16 bytes after the first eight fraction digits at once, so that
        // the mantissa's end is found in one step.
        const char* const rest = fraction + 8;
        const std::uint64_t low = load_eight(rest);
        const std::uint64_t high = load_eight(rest + 8);
        const std::uint64_t stops_low = non_digit_bits(low);
        const std::uint64_t stops_high = non_digit_bits(high);
        if ((stops_low | stops_high) == 0) return nullptr;
        const int more = lowest_bit(stops_low, stops_high) >> 3;
        fraction_digits = 8 + more;
        if (integer_digits + fraction_digits > 19 || !is_exponent_mark(rest[more])) return nullptr;
        const std::uint64_t mantissa =
            append_digits(integer_part * digit_scale[8] + nonempty_digits_value(fraction_block, 8),
                          low, high, more);
        decimal = {mantissa, fraction_digits, negative};
        return rest + more;
    }
    if (integer_digits + fraction_digits > 19) return nullptr;
    if (is_exponent_mark(fraction[fraction_digits])) return nullptr;
    const std::uint64_t mantissa =
        integer_part * digit_scale[fraction_digits] + digits_value(fraction_block, fraction_digits);
    if (mantissa > (std::uint64_t{1} << 53)) return nullptr;
    decimal = {mantissa, fraction_digits, negative};
    return fraction + fraction_digits;
}

bool parse_scaled_decimal(const char* p, const char* end, ScaledDecimal& decimal) {
    decimal = {0, 0, p != end && *p == '-'};
    p += decimal.negative;
    int digits = 0;  // after the leading zeros
    bool any_digit = false;
    bool in_fraction = false;
    for (; p != end; ++p) {
        if (*p == '.' && !in_fraction) {
            in_fraction = true;
            continue;
        }
        const auto digit = static_cast<unsigned char>(*p - '0');
        if (digit > 9) break;
        any_digit = true;
        if (in_fraction) --decimal.exponent;
        if (digits == 0 && digit == 0) continue;
        if (++digits > 19) return false;
        decimal.mantissa = decimal.mantissa * 10 + digit;
    }
    if (!any_digit) return false;
    if (p != end && is_exponent_mark(*p)) {
        ++p;
        const bool negative_exponent = p != end && *p == '-';
        if (p != end && (*p == '-' || *p == '+')) ++p;
        int exponent = 0;
        int exponent_digits = 0;
        for (; p != end && static_cast<unsigned char>(*p - '0') <= 9; ++p) {
            if (++exponent_digits > 5) return false;
            exponent = exponent * 10 + (*p - '0');
        }
        decimal.exponent += negative_exponent ? -exponent : exponent;
    }
    return true;
}

}  // namespace pcd
