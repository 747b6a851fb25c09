#pragma once

// Rounding of a ShortDecimal (mantissa / 10^k, mantissa at most 2^53, k at
// most 19) and of a ScaledDecimal (mantissa * 10^k, with an exponent) to
// binary64 and binary32, where one or two floating-point operations give the
// correctly rounded result. Each shortcut relies on every
// double operation being rounded once to binary64
// (platform::plain_binary64); where it is not, the functions report that they
// cannot decide, and the caller converts with fast_float.

#include <cmath>
#include <cstdint>
#include <cstring>

#include "pcd/decimal_parse.hpp"
#include "pcd/platform.hpp"

namespace pcd {

// 10^k, exact doubles up to 10^22.
inline constexpr double powers_of_ten[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                           1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                           1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// 10^-k, each rounded once, for scaling a decimal's digits down by k places.
inline constexpr double inverse_powers_of_ten[] = {1e-0,  1e-1,  1e-2,  1e-3,  1e-4,  1e-5,  1e-6,
                                                   1e-7,  1e-8,  1e-9,  1e-10, 1e-11, 1e-12, 1e-13,
                                                   1e-14, 1e-15, 1e-16, 1e-17, 1e-18, 1e-19};

// Whether a double lies within `units` units of the last place of a value
// halfway between two binary32 values (only meaningful below 2^28 units).
// The 29 fraction bits that a conversion to binary32 drops read 2^28 exactly
// halfway; one unsigned comparison tests both sides.
inline bool near_binary32_halfway(double value, std::uint64_t units) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    constexpr std::uint64_t dropped = (std::uint64_t{1} << 29) - 1;  // 52 - 23 fraction bits
    constexpr std::uint64_t halfway = std::uint64_t{1} << 28;
    return (bits & dropped) - (halfway - units) <= 2 * units;
}

// The sign goes in as a bit, last: a branch on it would be mispredicted half
// the time in clouds whose numbers change sign at random.
template <typename T, typename Bits>
inline T with_sign(T magnitude, bool negative) {
    static_assert(sizeof(T) == sizeof(Bits), "bits must match the value");
    Bits bits;
    std::memcpy(&bits, &magnitude, sizeof bits);
    bits |= static_cast<Bits>(negative) << (8 * sizeof(Bits) - 1);
    std::memcpy(&magnitude, &bits, sizeof bits);
    return magnitude;
}

// Mantissas stay below 2^63, so the signed conversion (one instruction) is exact.
inline double mantissa_value(const ShortDecimal& decimal) {
    return static_cast<double>(static_cast<std::int64_t>(decimal.mantissa));
}

// Correctly rounded magnitude of a short decimal in binary64: one correctly
// rounded division of two exact doubles.
inline double exact_magnitude(const ShortDecimal& decimal) {
    return mantissa_value(decimal) / powers_of_ten[decimal.fraction_digits];
}

// Correctly rounded binary64 of a short decimal, when the arithmetic gives it.
inline bool short_decimal_to_double(const ShortDecimal& decimal, double& value) {
    if constexpr (!platform::plain_binary64) return false;
    value = with_sign<double, std::uint64_t>(exact_magnitude(decimal), decimal.negative);
    return true;
}

// Correctly rounded binary32 of a short decimal, when it can be had cheaply.
// The product of the mantissa and the rounded 10^-k lies within 2 units of the
// last place of the exact quotient (two roundings of at most half a unit each,
// relative), so where it is farther than that from every binary32 halfway
// point, it rounds to binary32 as the exact quotient does. Otherwise the
// correctly rounded quotient decides, which in turn rounds to binary32 as the
// decimal does unless it lies exactly halfway: every halfway point is a
// double, so rounding to double can land on one but never carry a value
// across one. Short decimals lie far inside the normal binary32 range.
inline bool short_decimal_to_float(const ShortDecimal& decimal, float& value) {
    if constexpr (!platform::plain_binary64) return false;
    // Rounding is symmetric, so the magnitude decides it alone.
    double rounded = mantissa_value(decimal) * inverse_powers_of_ten[decimal.fraction_digits];
    if (near_binary32_halfway(rounded, 4)) {
        rounded = exact_magnitude(decimal);
        if (near_binary32_halfway(rounded, 6)) return false;
    }
    value = with_sign<float, std::uint32_t>(static_cast<float>(rounded), decimal.negative);
    return true;
}

// 10^k for k from scale_first to scale_last, each rounded once: every scale
// by which a mantissa of up to 19 digits lands in the normal binary32 range.
inline constexpr int scale_first = -64;
inline constexpr int scale_last = 38;
inline constexpr double scales[] = {
    1e-64, 1e-63, 1e-62, 1e-61, 1e-60, 1e-59, 1e-58, 1e-57, 1e-56, 1e-55, 1e-54, 1e-53, 1e-52,
    1e-51, 1e-50, 1e-49, 1e-48, 1e-47, 1e-46, 1e-45, 1e-44, 1e-43, 1e-42, 1e-41, 1e-40, 1e-39,
    1e-38, 1e-37, 1e-36, 1e-35, 1e-34, 1e-33, 1e-32, 1e-31, 1e-30, 1e-29, 1e-28, 1e-27, 1e-26,
    1e-25, 1e-24, 1e-23, 1e-22, 1e-21, 1e-20, 1e-19, 1e-18, 1e-17, 1e-16, 1e-15, 1e-14, 1e-13,
    1e-12, 1e-11, 1e-10, 1e-9,  1e-8,  1e-7,  1e-6,  1e-5,  1e-4,  1e-3,  1e-2,  1e-1,  1e0,
    1e1,   1e2,   1e3,   1e4,   1e5,   1e6,   1e7,   1e8,   1e9,   1e10,  1e11,  1e12,  1e13,
    1e14,  1e15,  1e16,  1e17,  1e18,  1e19,  1e20,  1e21,  1e22,  1e23,  1e24,  1e25,  1e26,
    1e27,  1e28,  1e29,  1e30,  1e31,  1e32,  1e33,  1e34,  1e35,  1e36,  1e37,  1e38};
static_assert(sizeof scales / sizeof scales[0] == scale_last - scale_first + 1);

// Correctly rounded binary32 of a scaled decimal, when it can be had cheaply.
// The mantissa (up to 19 digits) rounded to binary64, times the rounded
// scale, rounded again: three roundings, each off by at most 2^-53 of its
// value, which is at most one unit of the last place. So the product lies
// within 3 units of the last place of the exact value, and where
// it is farther than 6 from every binary32 halfway point it rounds to binary32
// as the decimal does. Results outside the normal binary32 range (subnormal,
// or past the largest binary32) and anything near a halfway point go to the
// exact conversion; so does everything where double arithmetic is not
// rounded once (x87).
inline bool scaled_decimal_to_float(const ScaledDecimal& decimal, float& value) {
    if constexpr (!platform::plain_binary64) return false;
    if (decimal.exponent < scale_first || decimal.exponent > scale_last) return false;
    const double rounded =
        static_cast<double>(decimal.mantissa) * scales[decimal.exponent - scale_first];
    std::uint64_t bits;
    std::memcpy(&bits, &rounded, sizeof bits);
    // Biased binary64 exponents of 2^-126 to 2^127, in one unsigned comparison.
    if ((bits >> 52) - (1023 - 126) > 253) {
        if (decimal.mantissa != 0) return false;
        value = with_sign<float, std::uint32_t>(0.0f, decimal.negative);
        return true;
    }
    if (near_binary32_halfway(rounded, 6)) return false;
    value = with_sign<float, std::uint32_t>(static_cast<float>(rounded), decimal.negative);
    return true;
}

// Correctly rounded binary64 of a scaled decimal whose mantissa (at most
// 2^53) and power of ten (10^0 to 10^22) are exact doubles: one correctly
// rounded product or quotient. Anything else, and everything where double
// arithmetic is not rounded once, goes to the exact conversion.
inline bool scaled_decimal_to_double(const ScaledDecimal& decimal, double& value) {
    if constexpr (!platform::plain_binary64) return false;
    if (decimal.mantissa > (std::uint64_t{1} << 53) || decimal.exponent < -22 ||
        decimal.exponent > 22)
        return false;
    const double mantissa = static_cast<double>(static_cast<std::int64_t>(decimal.mantissa));
    const double magnitude = decimal.exponent < 0 ? mantissa / powers_of_ten[-decimal.exponent]
                                                  : mantissa * powers_of_ten[decimal.exponent];
    value = with_sign<double, std::uint64_t>(magnitude, decimal.negative);
    return true;
}

// Correctly rounded binary64 of mantissa * 10^exponent, for a mantissa of at
// most 2^53 and an exponent of 1 to 22, by integer arithmetic alone: the
// product mantissa * 5^exponent (below 2^106) is rounded to 53 bits, ties to
// even, and the power of two is applied exactly. For where the floating-point
// product would be rounded twice (x87).
inline double exact_scaled_double(std::uint64_t mantissa, int exponent, bool negative) {
    std::uint64_t five_power = 1;
    for (int k = 0; k < exponent; ++k) five_power *= 5;
    // 64 x 64 -> 128 bits from 32-bit halves.
    const std::uint64_t a_low = mantissa & 0xFFFFFFFFu, a_high = mantissa >> 32;
    const std::uint64_t b_low = five_power & 0xFFFFFFFFu, b_high = five_power >> 32;
    const std::uint64_t low_low = a_low * b_low;
    const std::uint64_t middle = (low_low >> 32) + (a_high * b_low & 0xFFFFFFFFu) + a_low * b_high;
    std::uint64_t high = a_high * b_high + (a_high * b_low >> 32) + (middle >> 32);
    std::uint64_t low = (middle << 32) | (low_low & 0xFFFFFFFFu);
    int bits = 0;
    for (std::uint64_t rest = high; rest != 0; rest >>= 1) ++bits;
    if (high == 0)
        for (std::uint64_t rest = low; rest != 0; rest >>= 1) ++bits;
    else
        bits += 64;
    int shift = bits > 53 ? bits - 53 : 0;  // at most 52
    std::uint64_t kept = low;
    if (shift != 0) {
        const std::uint64_t dropped = low & ((std::uint64_t{1} << shift) - 1);
        const std::uint64_t half = std::uint64_t{1} << (shift - 1);
        kept = (low >> shift) | (high << (64 - shift));
        if (dropped > half || (dropped == half && (kept & 1) != 0)) ++kept;
        if (kept == std::uint64_t{1} << 53) {
            kept >>= 1;
            ++shift;
        }
    }
    // Both factors exact: a 53-bit integer and a power of two.
    return with_sign<double, std::uint64_t>(
        std::ldexp(static_cast<double>(static_cast<std::int64_t>(kept)), shift + exponent),
        negative);
}

}  // namespace pcd
