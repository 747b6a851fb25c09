// The points array of a cloud: whether x, y and z can be shown as a view of
// the records, and their conversion to float32 where they cannot.

#include "pcd/coordinates.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "pcd/field_types.hpp"

namespace pcd {
namespace {

bool is_float32(const PcdField& field) {
    return field_type(field.type, field.size).element == Element::float32 && field.count == 1;
}

// Converts one coordinate of `points` records, `step` bytes apart, into every
// third float of `out`; values of +0.0 are left to the zeros already there.
template <typename T>
void convert_axis(const std::uint8_t* element, std::size_t step, std::size_t points, float* out) {
    for (std::size_t i = 0; i < points; ++i, element += step, out += 3) {
        T raw;
        std::memcpy(&raw, element, sizeof raw);
        const float value = static_cast<float>(raw);
        std::uint32_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        if (bits != 0) *out = value;
    }
}

using AxisConverter = void (*)(const std::uint8_t*, std::size_t, std::size_t, float*);

AxisConverter converter_for(const PcdField& field) {
    const Element element = field_type(field.type, field.size).element;
    if (element == Element::none) throw std::runtime_error("Unsupported PCD type/size");
    return visit_element(element,
                         [](auto value) -> AxisConverter { return convert_axis<decltype(value)>; });
}

}  // namespace

bool coordinates_are_packed_floats(const PcdHeader& header, const CoordinateFields& xyz) {
    const PcdField& x = header.fields[xyz[0]];
    const PcdField& y = header.fields[xyz[1]];
    const PcdField& z = header.fields[xyz[2]];
    return is_float32(x) && is_float32(y) && is_float32(z) && y.offset == x.offset + 4 &&
           z.offset == x.offset + 8;
}

void convert_coordinates(const PcdHeader& header, const CoordinateFields& xyz,
                         const std::uint8_t* records, float* out) {
    const auto step = static_cast<std::size_t>(header.point_step);
    const auto points = static_cast<std::size_t>(header.points < 0 ? 0 : header.points);
    for (std::size_t axis = 0; axis < 3; ++axis) {
        const PcdField& field = header.fields[xyz[axis]];
        converter_for(field)(records + field.offset, step, points, out + axis);
    }
}

}  // namespace pcd
