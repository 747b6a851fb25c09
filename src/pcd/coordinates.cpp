#include "pcd/coordinates.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace pcd {
namespace {

char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool is_float32(const PcdField& field) {
    return upper(field.type) == 'F' && field.size == 4 && field.count == 1;
}

template <typename T>
float element_as_float(const std::uint8_t* p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return static_cast<float>(value);
}

using Reader = float (*)(const std::uint8_t*);

Reader reader_for(const PcdField& field) {
    switch (upper(field.type)) {
        case 'F':
            if (field.size == 4) return element_as_float<float>;
            if (field.size == 8) return element_as_float<double>;
            break;
        case 'I':
            if (field.size == 1) return element_as_float<std::int8_t>;
            if (field.size == 2) return element_as_float<std::int16_t>;
            if (field.size == 4) return element_as_float<std::int32_t>;
            if (field.size == 8) return element_as_float<std::int64_t>;
            break;
        case 'U':
            if (field.size == 1) return element_as_float<std::uint8_t>;
            if (field.size == 2) return element_as_float<std::uint16_t>;
            if (field.size == 4) return element_as_float<std::uint32_t>;
            if (field.size == 8) return element_as_float<std::uint64_t>;
            break;
    }
    throw std::runtime_error("Unsupported PCD type/size");
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
    for (std::size_t axis = 0; axis < 3; ++axis) {
        const PcdField& field = header.fields[xyz[axis]];
        const Reader read = reader_for(field);
        const std::uint8_t* element = records + field.offset;
        for (std::int32_t i = 0; i < header.points; ++i, element += step)
            out[static_cast<std::size_t>(i) * 3 + axis] = read(element);
    }
}

}  // namespace pcd
