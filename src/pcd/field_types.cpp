// The field-type table: type letter and size to element and ascii store.

#include "pcd/field_types.hpp"

namespace pcd {
namespace {

// The element of an integer of `size` bytes from the four of its letter
// (sizes 1, 2, 4 and 8); none at any other size.
Element integer_element(std::int32_t size, const Element (&by_size)[4]) {
    switch (size) {
        case 1: return by_size[0];
        case 2: return by_size[1];
        case 4: return by_size[2];
        case 8: return by_size[3];
        default: return Element::none;
    }
}

constexpr Element signed_elements[4] = {Element::int8, Element::int16, Element::int32,
                                        Element::int64};
constexpr Element unsigned_elements[4] = {Element::uint8, Element::uint16, Element::uint32,
                                          Element::uint64};

}  // namespace

FieldType field_type(char type, std::int32_t size) {
    const char upper = (type >= 'a' && type <= 'z') ? static_cast<char>(type - 'a' + 'A') : type;
    FieldType result;
    switch (upper) {
        case 'F':
            result.element = size == 4   ? Element::float32
                             : size == 8 ? Element::float64
                                         : Element::none;
            result.ascii = size == 4   ? Store::float32
                           : size >= 8 ? Store::float64
                                       : Store::float_discard;
            break;
        case 'I':
            result.element = integer_element(size, signed_elements);
            // Wider integers keep their low 8 bytes.
            result.ascii = result.element != Element::none || size > 8 ? Store::signed_int
                                                                       : Store::signed_discard;
            break;
        case 'U':
            result.element = integer_element(size, unsigned_elements);
            result.ascii = result.element != Element::none || size > 8 ? Store::unsigned_int
                                                                       : Store::unsigned_discard;
            break;
        default: break;
    }
    result.shown = upper == type && result.element != Element::none;
    return result;
}

}  // namespace pcd
