// The Python face of a load: the point buffer of a cloud shown as NumPy
// arrays, the points and one array per other field, all owned by one capsule.

#include "binding/numpy_views.hpp"

#include <cstddef>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#include "pcd/coordinates.hpp"
#include "pcd/field_types.hpp"
#include "pcd/pcd_reader.hpp"
#include "pcd/point_buffer.hpp"

namespace py = pybind11;

namespace pcd {

py::dtype pcd_dtype(char type, std::int32_t size) {
    const FieldType field = field_type(type, size);
    if (!field.shown) throw std::runtime_error("Unsupported PCD type/size");
    return visit_element(field.element,
                         [](auto value) { return py::dtype::of<decltype(value)>(); });
}

namespace {

py::array points_array(const PcdCloud& cloud, const std::uint8_t* records,
                       const py::capsule& owner) {
    const PcdHeader& header = cloud.header;
    const auto n = static_cast<py::ssize_t>(header.points);
    if (coordinates_are_packed_floats(header, cloud.xyz)) {
        const PcdField& x = header.fields[cloud.xyz[0]];
        return py::array(py::dtype::of<float>(), {n, py::ssize_t{3}},
                         {py::ssize_t{header.point_step}, py::ssize_t{4}}, records + x.offset,
                         owner);
    }
    // Float32 points that no address range here can hold (in a 32-bit process) are
    // out of memory like any allocation that fails; NumPy would say ValueError.
    if (n > std::numeric_limits<py::ssize_t>::max() / 12) throw std::bad_alloc();
    // numpy.zeros takes its memory zero-filled from calloc: the conversion then
    // skips the zeros, and the pages of an all-zero cloud are never touched.
    auto points = py::module_::import("numpy")
                      .attr("zeros")(py::make_tuple(n, 3), py::dtype::of<float>())
                      .cast<py::array_t<float, py::array::c_style>>();
    convert_coordinates(header, cloud.xyz, records, points.mutable_data());
    return std::move(points);
}

}  // namespace

std::pair<py::array, py::dict> load_pcd(const std::string& filename) {
    PcdCloud cloud = read_pcd(filename);
    std::uint8_t* records = cloud.buffer->data.get();
    // The capsule owns the buffer from here on; until it exists, `cloud` does.
    py::capsule owner(cloud.buffer.get(), free_point_buffer);
    cloud.buffer.release();
    const PcdHeader& header = cloud.header;

    const auto n = static_cast<py::ssize_t>(header.points);
    const auto step = static_cast<py::ssize_t>(header.point_step);
    py::array points = points_array(cloud, records, owner);

    py::dict fields;
    for (const PcdField& field : header.fields) {
        if (is_coordinate_name(field.name)) continue;
        py::dtype dtype = pcd_dtype(field.type, field.size);
        std::vector<py::ssize_t> shape{n};
        std::vector<py::ssize_t> strides{step};
        if (field.count > 1) {
            shape.push_back(field.count);
            strides.push_back(field.size);
        }
        py::array view(dtype, shape, strides, records + field.offset, owner);
        fields[py::str(field.name.data(), field.name.size())] = view;
    }
    return {std::move(points), std::move(fields)};
}

}  // namespace pcd
