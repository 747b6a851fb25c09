#pragma once

// The general conversions behind the decimal shortcuts: fast_float for
// floating-point numbers and, where its release has them, signed integers;
// the standard library's from_chars for the rest. Builds with Debian 12's
// fast_float 3.9 (floating-point only) as with later releases.

#include <fast_float/fast_float.h>

#include <charconv>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <type_traits>
#include <utility>

#include "pcd/decimal_parse.hpp"
#include "pcd/decimal_rounding.hpp"
#include "pcd/platform.hpp"

namespace pcd {

// Converts the number at `p` to T (float or double) with fast_float and
// stores it into `element` unless that is null; returns where the conversion
// stopped, or `p` when there is no number. Out of line, so that the short
// paths around it keep their values in registers instead of in memory
// fast_float could write.
template <typename T>
PCD_NOINLINE const char* convert_float(const char* p, const char* end, std::uint8_t* element) {
    T value;
    const auto result = fast_float::from_chars(p, end, value);
    // Newer fast_float reports overflow and underflow as out of range, with
    // the infinity or signed zero already in `value`.
    if (result.ec != std::errc() && result.ec != std::errc::result_out_of_range) return p;
    if constexpr (std::is_same_v<T, double> && !platform::plain_binary64) {
        // fast_float multiplies a mantissa of up to 2^53 by 10^1 to 10^22 in
        // floating point, which x87 arithmetic rounds twice.
        ScaledDecimal decimal;
        if (parse_scaled_decimal(p, result.ptr, decimal) && decimal.exponent >= 1 &&
            decimal.exponent <= 22 && decimal.mantissa <= (std::uint64_t{1} << 53))
            value = exact_scaled_double(decimal.mantissa, decimal.exponent, decimal.negative);
    }
    if (element != nullptr) std::memcpy(element, &value, sizeof value);
    return result.ptr;
}

// fast_float parses integers only in its later releases (Debian 13 ships 8.0,
// Debian 12 ships 3.9, which knows floating numbers alone). Their integer
// from_chars takes the base as a fourth `int` argument, where older releases
// take a chars_format enum that an int does not convert to, so the call below
// is well-formed exactly when the integer overload exists.
template <typename T, typename = void>
struct fast_float_has_integers : std::false_type {};

template <typename T>
struct fast_float_has_integers<
    T, std::void_t<decltype(fast_float::from_chars(
           std::declval<const char*>(), std::declval<const char*>(), std::declval<T&>(), 10))>>
    : std::true_type {};

// Signed or unsigned base-10 integer: an optional "-" for signed only, no "+".
// Both fast_float's and the standard library's from_chars read exactly that.
// Returns where the conversion stopped and whether it gave a value; an
// out-of-range number is consumed without a value. Unsigned numbers always
// take the standard library's: fast_float 8.0 reports some 20-digit numbers
// beyond 2^64 (49918439723058155489) as converted, with a wrapped value.
template <typename T>
const char* convert_integer(const char* p, const char* end, T& value, bool& has_value) {
    const auto result = [&] {
        if constexpr (std::is_signed_v<T> && fast_float_has_integers<T>::value)
            return fast_float::from_chars(p, end, value, 10);
        else
            return std::from_chars(p, end, value);
    }();
    has_value = result.ec == std::errc();
    return result.ptr;
}

}  // namespace pcd
