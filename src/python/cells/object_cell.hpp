// One cell of an object ndarray, read by its index with no call into the
// interpreter and re-checked against the array's current shape, since a
// cell's conversion may have changed the array.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstring>

#include "python/runtime/numpy_api.hpp"

namespace colenc::py {

// Returns the cell at `index` (ndim entries) of an object array, borrowed (None
// for a NULL slot): a caller that may run Python code takes a reference first,
// since that code may drop the array's. A cell's own conversion may also change
// the array, so its dimensions, dtype and buffer are re-read on every call;
// returns nullptr when the array no longer has that cell.
// REQUIRES: `index` holds `ndim` entries.
inline PyObject* object_cell(PyArrayObject* array, const npy_intp* index, int ndim) {
  if (PyArray_NDIM(array) != ndim || PyArray_TYPE(array) != NPY_OBJECT) return nullptr;
  const char* at = PyArray_BYTES(array);
  for (int axis = 0; axis < ndim; ++axis) {
    if (index[axis] >= PyArray_DIM(array, axis)) return nullptr;
    at += index[axis] * PyArray_STRIDE(array, axis);
  }
  PyObject* element;
  std::memcpy(&element, at, sizeof element);
  return element != nullptr ? element : Py_None;
}

// Rows ahead of the current one whose object a column reader asks for early.
inline constexpr std::size_t kObjectsAhead = 16;

}  // namespace colenc::py
