#pragma once

// The unit tests' one builder of a PcdHeader: fields packed in the order
// given, as the header parser lays them out.

#include <cstdint>
#include <string>
#include <vector>

#include "pcd/pcd_header.hpp"

struct TestField {
    // A named field of unsigned type ("x", 4, 1), where only the layout matters.
    TestField(const char* name, std::int32_t size, std::int32_t count)
        : name(name), size(size), count(count) {}
    // An unnamed field of a type ('F', 4, 1), where only the values matter.
    TestField(char type, std::int32_t size, std::int32_t count)
        : type(type), size(size), count(count) {}

    std::string name;
    char type = 'U';
    std::int32_t size;
    std::int32_t count;
};

inline pcd::PcdHeader packed_header(const std::vector<TestField>& fields, std::int32_t points,
                                    const char* data_type = "") {
    pcd::PcdHeader header;
    for (const TestField& declared : fields) {
        pcd::PcdField field;
        field.name = declared.name;
        field.type = declared.type;
        field.size = declared.size;
        field.count = declared.count;
        field.offset = header.point_step;
        header.point_step += declared.size * declared.count;
        header.fields.push_back(field);
    }
    header.points = header.width = points;
    header.height = 1;
    header.data_type = data_type;
    header.layout_valid = true;
    return header;
}
