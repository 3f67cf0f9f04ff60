// Shape: a table's rows and columns, read from its `shape` attribute before
// any reader reads a cell.
#pragma once

#include <Python.h>

#include <cstddef>

namespace colenc::py {

struct Shape {
  std::size_t rows = 0;
  std::size_t cols = 0;
};

// Reads `obj.shape` as a 2-tuple of non-negative machine-size integers. Borrows
// obj. Throws InternalError otherwise.
Shape read_shape(PyObject* obj);

}  // namespace colenc::py
