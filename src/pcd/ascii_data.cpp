#include "pcd/ascii_data.hpp"

#include <fast_float/fast_float.h>

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include "pcd/decimal_text.hpp"
#include "pcd/packed_numbers.hpp"
#include "pcd/text_window.hpp"

namespace pcd {
namespace {

// How a slot's number is converted and stored.
enum class Store : std::uint8_t {
    float32,           // "F" 4: binary32, converted directly
    float64,           // "F" 8 or more: binary64 in the first 8 bytes
    float_discard,     // "F" of another size: converted and consumed, nothing written
    signed_int,        // "I" 1, 2, 4, 8 or more: the low `size` bytes (at most 8)
    unsigned_int,      // "U" likewise
    signed_discard,    // "I" of size 3, 5, 6 or 7: converted and consumed, nothing written
    unsigned_discard,  // "U" likewise
    none,              // any other type byte: nothing converted or consumed
};

// A run of `count` elements of one field, `size` bytes apart from `offset` on,
// in the order the text lists them. One run per field (two when part of the
// field lies outside the record), so the table stays small whatever COUNT says.
struct AsciiSlot {
    std::uint32_t offset;
    char type;
    std::int32_t size;
    Store store;
    std::int64_t count;
};

// Type letters are taken in either case: coordinates declared "f" are floats
// in binary data too, and other fields of a lower-case type are refused after
// decoding anyway.
Store store_for(char type, std::int32_t size) {
    switch (type) {
        case 'f':
        case 'F':
            if (size == 4) return Store::float32;
            return size >= 8 ? Store::float64 : Store::float_discard;
        case 'i':
        case 'I':
            if (size == 1 || size == 2 || size == 4 || size >= 8) return Store::signed_int;
            return Store::signed_discard;
        case 'u':
        case 'U':
            if (size == 1 || size == 2 || size == 4 || size >= 8) return Store::unsigned_int;
            return Store::unsigned_discard;
        default: return Store::none;
    }
}

// Bytes a store writes, so that no slot can reach past its record.
std::int64_t store_width(Store store, std::int32_t size) {
    switch (store) {
        case Store::float32: return 4;
        case Store::float64: return 8;
        case Store::signed_int:
        case Store::unsigned_int: return size >= 8 ? 8 : size;
        default: return 0;
    }
}

Store discarding(Store store) {
    switch (store) {
        case Store::float32:
        case Store::float64: return Store::float_discard;
        case Store::signed_int: return Store::signed_discard;
        case Store::unsigned_int: return Store::unsigned_discard;
        default: return store;
    }
}

std::vector<AsciiSlot> build_slot_table(const PcdHeader& header) {
    std::vector<AsciiSlot> slots;
    slots.reserve(header.fields.size());
    for (const PcdField& field : header.fields) {
        if (field.count < 1) continue;
        const Store store = store_for(field.type, field.size);
        // Elements of a header whose layout does not hold them still have their
        // numbers consumed, but nothing may be written outside the record: the
        // leading elements that fit keep their store, the rest discard.
        std::int64_t fitting = 0;
        if (field.offset >= 0 && field.size >= 1) {
            const std::int64_t room =
                std::int64_t{header.point_step} - field.offset - store_width(store, field.size);
            if (room >= 0) fitting = std::min<std::int64_t>(field.count, room / field.size + 1);
        }
        if (fitting > 0)
            slots.push_back(
                {static_cast<std::uint32_t>(field.offset), field.type, field.size, store, fitting});
        if (fitting < field.count)
            slots.push_back({0, field.type, 0, discarding(store), field.count - fitting});
    }
    return slots;
}

// Top bit set in every byte of `block` that is no digit. Byte values 0..9
// after the xor are digits; adding 0x76 sets the top bit of every other byte
// below 0x80, and the rest have it set already. A carry out of a byte can only
// come from a non-digit and only disturbs the bytes after it.
inline std::uint64_t non_digit_bits(std::uint64_t block) {
    const std::uint64_t values = block ^ 0x3030303030303030u;
    return ((values + 0x7676767676767676u) | values) & 0x8080808080808080u;
}

// Number of leading digit characters in `block` (0 to 8).
inline int leading_digits(std::uint64_t block) {
    const std::uint64_t non_digits = non_digit_bits(block);
    return non_digits == 0 ? 8 : __builtin_ctzll(non_digits) >> 3;
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

constexpr std::uint64_t digit_scale[] = {1,      10,      100,      1000,     10000,
                                         100000, 1000000, 10000000, 100000000};

constexpr double powers_of_ten[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,
                                    1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19};

// Appends the digit run at `q` to `mantissa`; returns the run's length. Runs
// beyond 19 digits stop early: the caller gives such numbers up anyway, and
// the wrapped mantissa is never used.
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

// A plain decimal split into parts: the value is (-1)^negative * mantissa / 10^fraction_digits.
struct ShortDecimal {
    std::uint64_t mantissa;
    int fraction_digits;
    bool negative;
};

// Plain decimal at `p` digit block by digit block, for any length. Returns
// nullptr unless it has 1 to 19 digits, a mantissa of at most 2^53 (so that
// mantissa and power of ten are exact doubles) and no exponent.
inline const char* parse_long_decimal(const char* p, ShortDecimal& decimal) {
    const bool negative = *p == '-';
    const char* q = p + negative;
    std::uint64_t mantissa = 0;
    int digits = read_digit_run(q, mantissa);
    int fraction_digits = 0;
    if (*q == '.') {
        ++q;
        fraction_digits = read_digit_run(q, mantissa);
        digits += fraction_digits;
    }
    // 19 digits cannot wrap 64 bits; the exponent is fast_float's business.
    if (digits == 0 || digits > 19 || mantissa > (std::uint64_t{1} << 53)) return nullptr;
    if (is_exponent_mark(*q)) return nullptr;
    decimal = {mantissa, fraction_digits, negative};
    return q;
}

// The digits of `body` with the byte after its first `integer_digits` (0 to 8)
// squeezed out: the point, or the byte after the digits where there is none.
// Two shifts, so that eight integer digits keep the whole word.
inline std::uint64_t without_point(std::uint64_t body, int integer_digits) {
    const std::uint64_t integer_bytes =
        ~((~std::uint64_t{0} << (4 * integer_digits)) << (4 * integer_digits));
    return (body & integer_bytes) | ((body >> 8) & ~integer_bytes);
}

// A plain decimal at `p` that ends at `end`, within its first 16 bytes, with
// more than eight digits on a side of the point. Long fractions of at most 15
// digits in all ("0.061765905", as written to eight significant digits) are
// valued in two parts: their last eight digits, and those before them, which
// lie in the first eight bytes together with the point. Anything else is read
// digit block by digit block. Out of line, and finding the point again rather
// than being handed its place, so that the usual path keeps its values in
// registers (passing it cost that path two instructions a number).
[[gnu::noinline]] const char* parse_long_fraction(const char* p, int end, ShortDecimal& decimal) {
    const bool negative = *p == '-';
    const char* const point =
        static_cast<const char*>(std::memchr(p, '.', static_cast<std::size_t>(end)));
    if (point == nullptr) return parse_long_decimal(p, decimal);
    const int integer_digits = static_cast<int>(point - p) - negative;
    const int fraction_digits = end - negative - integer_digits - 1;
    if (integer_digits > 8 || integer_digits + fraction_digits > 15)
        return parse_long_decimal(p, decimal);
    if (is_exponent_mark(p[end])) return nullptr;
    const std::uint64_t leading = without_point(load_eight(p + negative), integer_digits);
    const std::uint64_t mantissa =
        nonempty_digits_value(leading, integer_digits + fraction_digits - 8) * digit_scale[8] +
        nonempty_digits_value(load_eight(p + end - 8), 8);
    decimal = {mantissa, fraction_digits, negative};
    return p + end;
}

// A plain decimal at `p` whose point lies at `point`, within its first 16
// bytes, and whose fraction runs on past them: timestamps such as
// "1700000000.000385". With at most seven fraction digits it is valued in
// three parts (up to 16 integer digits in two, the fraction in one), without
// the digit-block loop; anything else is read by that loop. Returns what
// parse_long_decimal would.
[[gnu::noinline]] const char* parse_long_fraction_run(const char* p, int point,
                                                      ShortDecimal& decimal) {
    const bool negative = *p == '-';
    const int integer_digits = point - negative;
    const char* const fraction = p + point + 1;
    const std::uint64_t fraction_block = load_eight(fraction);
    const int fraction_digits = leading_digits(fraction_block);
    if (fraction_digits == 8 || integer_digits + fraction_digits > 19)
        return parse_long_decimal(p, decimal);
    if (is_exponent_mark(fraction[fraction_digits])) return nullptr;
    const char* const q = p + negative;
    const std::uint64_t integer_part =
        integer_digits <= 8
            ? digits_value(load_eight(q), integer_digits)
            : nonempty_digits_value(load_eight(q), 8) * digit_scale[integer_digits - 8] +
                  digits_value(load_eight(q + 8), integer_digits - 8);
    const std::uint64_t mantissa =
        integer_part * digit_scale[fraction_digits] + digits_value(fraction_block, fraction_digits);
    if (mantissa > (std::uint64_t{1} << 53)) return nullptr;
    decimal = {mantissa, fraction_digits, negative};
    return fraction + fraction_digits;
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
    const int point = 8 + (__builtin_ctzll(stops) >> 3);
    if (p[point] != '.') return nullptr;
    stops &= stops - 1;
    const int end =
        stops != 0 ? 8 + (__builtin_ctzll(stops) >> 3) : 16 + leading_digits(load_eight(p + 16));
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

// Index of the lowest set bit of a 128-bit value given as halves; `low` or
// `high` must be non-zero.
inline int lowest_bit(std::uint64_t low, std::uint64_t high) {
    return low != 0 ? __builtin_ctzll(low) : 64 + __builtin_ctzll(high);
}

// Most numbers in real files are short plain decimals ("-12.345", "7", ".5").
// Returns nullptr for anything else (exponent, inf/nan, long mantissa, no
// digits), which then takes the general path from `p` again; where it returns
// a pointer, fast_float would stop at the same byte. `p` lies in a TextWindow,
// whose zero padding stops every digit run and covers every load below.
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
    if ((stops_low | stops_high) == 0) return parse_long_decimal(p, decimal);
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
    if (integer_digits + fraction_digits == 0 || is_exponent_mark(p[end])) return nullptr;
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
        mantissa =
            digits_value(body, integer_digits) * digit_scale[fraction_digits] + fraction_part;
    }
    decimal = {mantissa, fraction_digits, negative};
    return p + end;
}

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

inline double exact_quotient(const ShortDecimal& decimal) {
    return with_sign<double, std::uint64_t>(exact_magnitude(decimal), decimal.negative);
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
    // Rounding is symmetric, so the magnitude decides it alone.
    double rounded = mantissa_value(decimal) * inverse_powers_of_ten[decimal.fraction_digits];
    if (near_binary32_halfway(rounded, 4)) {
        rounded = exact_magnitude(decimal);
        if (near_binary32_halfway(rounded, 0)) return false;
    }
    value = with_sign<float, std::uint32_t>(static_cast<float>(rounded), decimal.negative);
    return true;
}

// Converts the number at `p` to T with fast_float and stores it into
// `element` unless that is null; returns where the conversion stopped, or `p`
// when there is no number. Out of line, so that the short paths around it keep
// their values in registers instead of in memory fast_float could write.
template <typename T>
[[gnu::noinline]] const char* convert_float(const char* p, const char* end, std::uint8_t* element) {
    T value;
    const auto result = fast_float::from_chars(p, end, value);
    // Newer fast_float reports overflow and underflow as out of range, with
    // the infinity or signed zero already in `value`.
    if (result.ec != std::errc() && result.ec != std::errc::result_out_of_range) return p;
    if (element != nullptr) std::memcpy(element, &value, sizeof value);
    return result.ptr;
}

// fast_float parses integers only in its later releases (Debian 13 ships 8.0,
// Debian 12 ships 3.9, which knows floating numbers alone). Their integer
// from_chars takes the base as a fourth `int` argument, where older releases
// take a chars_format enum that an int does not convert to, so the call below
// is well-formed exactly when the integer overload exists. Unsigned numbers
// always take the standard library's: fast_float 8.0 reports some 20-digit
// numbers beyond 2^64 (49918439723058155489) as converted, with a wrapped value.
template <typename T, typename = void>
struct fast_float_has_integers : std::false_type {};

template <typename T>
struct fast_float_has_integers<
    T, std::void_t<decltype(fast_float::from_chars(
           std::declval<const char*>(), std::declval<const char*>(), std::declval<T&>(), 10))>>
    : std::true_type {};

// Most integers in real files are short ("3", "11507646"): at most eight
// digits after an optional '-' (signed types only), valued at once. Returns
// nullptr for anything else, which from_chars then reads; where it returns a
// pointer, from_chars would stop at the same byte with the same value.
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

// Signed or unsigned base-10 integer: an optional "-" for signed only, no "+".
// Both fast_float's and the standard library's from_chars read exactly that.
// Returns where the conversion stopped and whether it gave a value; an
// out-of-range number is consumed without a value.
template <typename T>
const char* parse_integer(const char* p, const char* end, T& value, bool& has_value) {
    std::uint64_t bits;
    if (const char* next = parse_short_integer<std::is_signed_v<T>>(p, bits)) {
        value = static_cast<T>(bits);
        has_value = true;
        return next;
    }
    const auto result = [&] {
        if constexpr (std::is_signed_v<T> && fast_float_has_integers<T>::value)
            return fast_float::from_chars(p, end, value, 10);
        else
            return std::from_chars(p, end, value);
    }();
    has_value = result.ec == std::errc();
    return result.ptr;
}

template <typename T>
void store_low_bytes(std::uint8_t* element, std::uint64_t bits) {
    const auto narrow = static_cast<T>(bits);
    std::memcpy(element, &narrow, sizeof narrow);
}

void store_integer(std::uint8_t* element, std::uint64_t bits, std::int32_t size) {
    switch (size) {
        case 1: return store_low_bytes<std::uint8_t>(element, bits);
        case 2: return store_low_bytes<std::uint16_t>(element, bits);
        case 4: return store_low_bytes<std::uint32_t>(element, bits);
        default: return store_low_bytes<std::uint64_t>(element, bits);
    }
}

// Converts the number at `p` for `slot` and stores it into `element`; returns
// the first byte after what was consumed (`p` itself when nothing was).
const char* convert_slot(const AsciiSlot& slot, const char* p, const char* end,
                         std::uint8_t* element) {
    // Most slots are binary32; testing for them first spares them the jump table.
    if (slot.store == Store::float32) {
        ShortDecimal decimal;
        float value;
        const char* next = parse_short_decimal(p, decimal);
        if (next == nullptr || !short_decimal_to_float(decimal, value))
            return convert_float<float>(p, end, element);
        std::memcpy(element, &value, sizeof value);
        return next;
    }
    switch (slot.store) {
        case Store::float32: break;
        case Store::float64:
        case Store::float_discard: {
            std::uint8_t* const target = slot.store == Store::float64 ? element : nullptr;
            ShortDecimal decimal;
            const char* next = parse_fixed_point(p, decimal);
            if (next == nullptr) next = parse_short_decimal(p, decimal);
            if (next == nullptr) return convert_float<double>(p, end, target);
            const double value = exact_quotient(decimal);
            if (target != nullptr) std::memcpy(target, &value, sizeof value);
            return next;
        }
        case Store::signed_int:
        case Store::signed_discard: {
            std::int64_t value = 0;
            bool has_value = false;
            const char* next = parse_integer(p, end, value, has_value);
            if (has_value && slot.store == Store::signed_int)
                store_integer(element, static_cast<std::uint64_t>(value), slot.size);
            return next;
        }
        case Store::unsigned_int:
        case Store::unsigned_discard: {
            std::uint64_t value = 0;
            bool has_value = false;
            const char* next = parse_integer(p, end, value, has_value);
            if (has_value && slot.store == Store::unsigned_int)
                store_integer(element, value, slot.size);
            return next;
        }
        case Store::none: break;
    }
    return p;
}

// A run of packed elements (x y z intensity, a colour and a normal's three
// components) that decode_packed_numbers may take at once, and the first slot
// after it.
struct RunShape {
    PackedElements lanes;  // count 0 where no run starts at the slot
    std::size_t next_slot = 0;
};

// A run starting at a slot and the state of its tries.
struct PackedRun {
    RunShape shape;
    // Whether the run holds integers that the AVX2 decoder's runs leave out.
    bool beyond_four_lanes = false;
    // Text the vectorised path cannot take (longer numbers, exponents) costs
    // it a try per record: after 8 refusals in a row it rests for 1024 records.
    int refusals = 0;
    std::size_t resumes = 0;  // the record at which it is tried again
};

// Runs of fewer binary32 elements decode as fast one number at a time.
constexpr std::int64_t min_float32_run = 3;

// Binary32 elements are valued four at a time with AVX2; 32-bit integers
// join a run only in lanes its binary32 elements leave free, as a lane of
// their own costs more than the scalar decoder takes for them. The AVX-512
// decoder values eight at a time, so it takes integers in any of its lanes,
// and those of one or two bytes as well (`eight_lanes`).
RunShape longest_run(const std::vector<AsciiSlot>& slots, std::size_t first, bool eight_lanes) {
    RunShape run;
    RunShape longest;
    PackedElements& lanes = run.lanes;
    std::int64_t floats = 0;
    for (std::size_t next = first; next < slots.size(); ++next) {
        const AsciiSlot& slot = slots[next];
        const bool integer =
            (slot.store == Store::signed_int || slot.store == Store::unsigned_int) &&
            (slot.size == 4 || (eight_lanes && (slot.size == 1 || slot.size == 2)));
        if ((slot.store != Store::float32 && !integer) ||
            slot.offset != slots[first].offset + std::int64_t{lanes.bytes} ||
            lanes.count + slot.count > max_packed_numbers)
            break;
        for (std::int64_t k = 0; k < slot.count; ++k, ++lanes.count) {
            if (integer) lanes.integer_lanes |= 1 << lanes.count;
            if (slot.store == Store::unsigned_int) lanes.unsigned_lanes |= 1 << lanes.count;
            for (std::int32_t b = 0; b < slot.size; ++b)
                lanes.sources[lanes.bytes++] = static_cast<std::uint8_t>(4 * lanes.count + b);
        }
        if (!integer) floats += slot.count;
        run.next_slot = next + 1;
        if (floats >= min_float32_run && (eight_lanes || lanes.count <= 4 * ((floats + 3) / 4)))
            longest = run;
    }
    return longest;
}

// One entry per slot, the runs taken from the start of the record on; empty
// when decode_packed_numbers cannot run (`with` is none). With `eight_lanes`
// (the AVX-512 decoder only), runs as longest_run gives them for it.
std::vector<PackedRun> plan_packed_runs(const std::vector<AsciiSlot>& slots, PackedNumbers with,
                                        bool eight_lanes) {
    if (with == PackedNumbers::none) return {};
    std::vector<PackedRun> runs(slots.size());
    for (std::size_t first = 0; first < slots.size();) {
        PackedRun& run = runs[first];
        run.shape = longest_run(slots, first, eight_lanes);
        if (run.shape.lanes.count == 0) {
            ++first;
            continue;
        }
        run.beyond_four_lanes =
            eight_lanes && longest_run(slots, first, false).lanes.count != run.shape.lanes.count;
        first = run.shape.next_slot;
    }
    return runs;
}

}  // namespace

void decode_ascii_data(std::istream& stream, std::uint64_t available, const PcdHeader& header,
                       PointBuffer& buffer) {
    if (available + 1 > max_point_buffer_bytes) throw std::length_error("vector too long");
    // Chunks of a size that stays in the processor's cache between the copy
    // out of the page cache and the conversion.
    constexpr std::size_t chunk = std::size_t{1} << 18;
    TextWindow text(stream, available, chunk);

    const std::vector<AsciiSlot> slots = build_slot_table(header);
    if (slots.empty() || header.points <= 0 || header.point_step <= 0) return;
    const auto step = static_cast<std::size_t>(header.point_step);
    // Never more records than the buffer holds, whatever the header claims.
    std::size_t points = static_cast<std::size_t>(header.points);
    if (points > buffer.size / step) points = buffer.size / step;

    const PackedNumbers vector_path = packed_numbers_support();
    const bool eight_lanes = vector_path == PackedNumbers::avx512;
    std::vector<PackedRun> runs = plan_packed_runs(slots, vector_path, eight_lanes);
    // Integers in a lane of their own may be refused in every record (a field
    // of nine-digit numbers): then the runs of the AVX2 decoder's plan, which
    // leave them to the scalar decoder, take over for the rest of the text.
    std::vector<PackedRun> four_lane_runs;
    if (eight_lanes) four_lane_runs = plan_packed_runs(slots, vector_path, false);

    const char* p = text.begin();
    const char* end = text.end();
    bool finished = false;
    std::uint8_t* record = buffer.data.get();
    for (std::size_t i = 0; i < points && !finished; ++i, record += step) {
        const std::uint64_t point_start = text.position(p);
        for (std::size_t s = 0; s < slots.size();) {
            // The vectorised path reads 64 bytes at the cursor and up to 8
            // bytes past them, which the window's padding covers.
            static_assert(TextWindow::padding >= 8, "the vectorised path reads 8 bytes past 64");
            if (!runs.empty() && runs[s].shape.lanes.count != 0 && i >= runs[s].resumes &&
                end - p >= 64) {
                PackedRun& run = runs[s];
                if (const char* next = decode_packed_numbers(vector_path, p, run.shape.lanes,
                                                             record + slots[s].offset)) {
                    p = next;
                    run.refusals = 0;
                    s = run.shape.next_slot;
                    continue;
                }
                if (++run.refusals == 8) {
                    run.refusals = 0;
                    run.resumes = i + 1024;
                    if (run.beyond_four_lanes) runs = std::move(four_lane_runs);
                }
            }
            const AsciiSlot& slot = slots[s++];
            std::uint8_t* element = record + slot.offset;
            std::int64_t k = 0;  // every slot has at least one element
            do {
                // Usually a number is followed by one separator and the next
                // number, well before the window's end.
                if (end - p > 1 && is_separator(p[0]) && !is_separator(p[1])) {
                    ++p;
                } else {
                    for (;;) {
                        while (p != end && is_separator(*p)) ++p;
                        if (p != end || text.exhausted()) break;
                        p = text.advance(p);
                        end = text.end();
                    }
                    finished = p == end;
                    if (finished) break;
                }
                const char* const next = convert_slot(slot, p, end, element);
                // An element that consumes nothing stores nothing, and every
                // later element of the run would do the same at the same text.
                if (next == p) break;
                p = next;
                element += slot.size;
            } while (++k < slot.count);
            if (finished) break;
        }
        // A point that consumed nothing leaves the cursor where it found it,
        // so every later point would do the same: the rest stay 0.
        if (text.position(p) == point_start) break;
    }
}

}  // namespace pcd
