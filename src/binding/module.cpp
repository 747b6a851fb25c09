// The kelvarin extension module: load_pcd and its documentation.

#include <pybind11/pybind11.h>

#include "binding/numpy_views.hpp"

namespace py = pybind11;

PYBIND11_MODULE(kelvarin, m) {
    m.doc() = "Fast PCD loading (ASCII, binary, binary_compressed)";
    m.def("load_pcd", &pcd::load_pcd, py::arg("filename"),
          R"doc(
        Load a PCD file into NumPy arrays.

        Returns:
            points: np.ndarray of shape (N,3) with x,y,z
            fields: dict of other 1D NumPy arrays with arbitrary names/dtypes;
                a field with COUNT above 1 is a 2D array of shape (N, COUNT)
    )doc");
}
