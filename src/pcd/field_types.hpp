#pragma once

// The one table of PCD field types: what a declared type letter and size mean
// to every part of the reader, the element they hold (which NumPy dtype shows
// it, how a coordinate is converted from it) and how an "ascii" section's
// number for it is parsed and stored.

#include <cstdint>

namespace pcd {

// The element a field of a given type and size holds in its record.
enum class Element : std::uint8_t {
    none,  // no numeric meaning: neither shown nor converted
    int8,
    int16,
    int32,
    int64,
    uint8,
    uint16,
    uint32,
    uint64,
    float32,
    float64,
};

// How an "ascii" number of a field is converted and stored.
enum class Store : std::uint8_t {
    float32,           // "F" 4: binary32, converted directly
    float64,           // "F" 8 or more: binary64 in the first 8 bytes
    float_discard,     // "F" of another size: converted and consumed, nothing written
    signed_int,        // "I" 1, 2, 4, 8 or more: the low `size` bytes (at most 8)
    unsigned_int,      // "U" likewise
    signed_discard,    // "I" of size 3, 5, 6 or 7: converted and consumed, nothing written
    unsigned_discard,  // "U" likewise
    none,              // any other type letter: nothing converted or consumed
};

struct FieldType {
    Element element = Element::none;
    Store ascii = Store::none;
    // Whether the field is shown as an array of its own: the format's
    // upper-case letters only. Other tools write coordinates as "f", so the
    // letter's case is ignored for the element and the ascii store (x, y and
    // z of type "f" load), while any other field so declared is refused.
    bool shown = false;
};

// What TYPE letter `type` with SIZE `size` means; any letter, any size.
FieldType field_type(char type, std::int32_t size);

// Calls `visit` with a value-initialised object of the C++ type of `element`
// (std::int8_t to double) and returns what it returns; `element` must not be
// Element::none.
template <typename Visitor>
decltype(auto) visit_element(Element element, Visitor&& visit) {
    switch (element) {
        case Element::int8: return visit(std::int8_t{});
        case Element::int16: return visit(std::int16_t{});
        case Element::int32: return visit(std::int32_t{});
        case Element::int64: return visit(std::int64_t{});
        case Element::uint8: return visit(std::uint8_t{});
        case Element::uint16: return visit(std::uint16_t{});
        case Element::uint32: return visit(std::uint32_t{});
        case Element::uint64: return visit(std::uint64_t{});
        case Element::float32: return visit(float{});
        case Element::none:
        case Element::float64: break;
    }
    return visit(double{});
}

}  // namespace pcd
