// Reading an exact pandas.DataFrame column by column from each column's own
// storage (NumPy arrays, pandas' string arrays, Arrow buffers) instead of
// building its `values`, with the same cells, conversions and typing.
#pragma once

#include <Python.h>

#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "core/typed_columns.hpp"
#include "python/cell_scan.hpp"
#include "python/numpy_api.hpp"
#include "python/py_ref.hpp"

namespace colenc::py {

// A native float64 column left where it lies instead of being copied into the
// matrix: its array, held, and where its cells are.
struct InPlaceColumn {
  PyRef array;  // null for a column that was not left in place
  const char* first = nullptr;
  npy_intp stride = 0;
  double at(std::size_t row) const {
    double value;
    std::memcpy(&value, first + static_cast<npy_intp>(row) * stride, sizeof value);
    return value;
  }
};

// Returns the typed columns of `frame` (borrowed), or nullopt, having read no
// cell, when `frame` is not exactly pandas.DataFrame or some column's storage
// cannot be read directly; the caller then reads `values`. Throws as
// scan_cells does. When `placed` is a column-major matrix of the frame's shape,
// NumPy numeric columns are read straight into their runs of it (and flagged
// in numbers_placed) instead of into number vectors. Columns flagged in
// `leave` (one flag per column, or null) that are native float64 NumPy columns
// are not read at all: they are flagged as placed, their run of the matrix is
// left untouched, and `left[j]` (sized like `leave`) says where they lie.
std::optional<TypedColumns> scan_frame_columns(PyObject* frame, Shape shape,
                                               std::span<double> placed = {},
                                               const std::vector<bool>* leave = nullptr,
                                               std::vector<InPlaceColumn>* left = nullptr);

}  // namespace colenc::py
