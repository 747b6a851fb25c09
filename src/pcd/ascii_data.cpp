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

inline bool is_separator(char c) { return static_cast<signed char>(c) <= 32; }

template <typename T>
const char* parse_float(const char* p, const char* end, T& value) {
    const auto result = fast_float::from_chars(p, end, value);
    // Newer fast_float reports overflow and underflow as out of range, with
    // the infinity or signed zero already in `value`.
    if (result.ec == std::errc() || result.ec == std::errc::result_out_of_range) return result.ptr;
    return nullptr;
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
// out-of-range number is consumed without a value.
template <typename T>
const char* parse_integer(const char* p, const char* end, T& value, bool& has_value) {
    const auto result = [&] {
        if constexpr (fast_float_has_integers<T>::value)
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
    switch (slot.store) {
        case Store::float32: {
            float value;
            const char* next = parse_float(p, end, value);
            if (next == nullptr) return p;
            std::memcpy(element, &value, sizeof value);
            return next;
        }
        case Store::float64:
        case Store::float_discard: {
            double value;
            const char* next = parse_float(p, end, value);
            if (next == nullptr) return p;
            if (slot.store == Store::float64) std::memcpy(element, &value, sizeof value);
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

}  // namespace

void decode_ascii_data(std::istream& stream, std::uint64_t available, const PcdHeader& header,
                       PointBuffer& buffer) {
    if (available + 1 > max_point_buffer_bytes) throw std::length_error("vector too long");
    const auto n = static_cast<std::size_t>(available);
    std::unique_ptr<char[]> text(new char[n + 1]);
    stream.read(text.get(), static_cast<std::streamsize>(n));
    const auto delivered = static_cast<std::size_t>(stream.gcount());
    std::memset(text.get() + delivered, 0, n + 1 - delivered);

    const std::vector<AsciiSlot> slots = build_slot_table(header);
    if (slots.empty() || header.points <= 0 || header.point_step <= 0) return;
    const auto step = static_cast<std::size_t>(header.point_step);
    // Never more records than the buffer holds, whatever the header claims.
    std::size_t points = static_cast<std::size_t>(header.points);
    if (points > buffer.size / step) points = buffer.size / step;

    const char* p = text.get();
    const char* const end = p + n;
    std::uint8_t* record = buffer.data.get();
    for (std::size_t i = 0; i < points; ++i, record += step) {
        const char* const point_start = p;
        for (const AsciiSlot& slot : slots) {
            std::uint8_t* element = record + slot.offset;
            for (std::int64_t k = 0; k < slot.count && p != end; ++k, element += slot.size) {
                while (p != end && is_separator(*p)) ++p;
                if (p == end) break;
                const char* const next = convert_slot(slot, p, end, element);
                // An element that consumes nothing stores nothing, and every
                // later element of the run would do the same at the same text.
                if (next == p) break;
                p = next;
            }
            if (p == end) break;
        }
        // A point that consumed nothing leaves the cursor where it found it,
        // so every later point would do the same: the rest stay 0.
        if (p == end || p == point_start) break;
    }
}

}  // namespace pcd
