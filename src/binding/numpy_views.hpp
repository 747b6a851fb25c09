#pragma once

// load_pcd for Python: a cloud's point buffer as NumPy arrays.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <utility>

namespace pcd {

// NumPy dtype of a field's type byte and size ("F" 4 -> float32, "U" 2 ->
// uint16, ...); throws std::runtime_error "Unsupported PCD type/size".
pybind11::dtype pcd_dtype(char type, std::int32_t size);

// Reads a PCD file and returns (points, fields): the float32 (N, 3) points and
// a dict with an array for every field other than x, y and z. All arrays are
// views over one point buffer owned by a capsule; only points of an unusual
// coordinate layout are a converted copy.
std::pair<pybind11::array, pybind11::dict> load_pcd(const std::string& filename);

}  // namespace pcd
