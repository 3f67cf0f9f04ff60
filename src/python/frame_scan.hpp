// Reading an exact pandas.DataFrame column by column from each column's own
// storage (NumPy arrays, pandas' string arrays, Arrow buffers) instead of
// building its `values`, with the same cells, conversions and typing.
#pragma once

#include <Python.h>

#include <optional>
#include <span>

#include "core/typed_columns.hpp"
#include "python/cell_scan.hpp"

namespace colenc::py {

// Returns the typed columns of `frame` (borrowed), or nullopt, having read no
// cell, when `frame` is not exactly pandas.DataFrame or some column's storage
// cannot be read directly; the caller then reads `values`. Throws as
// scan_cells does. When `placed` is a column-major matrix of the frame's shape,
// NumPy numeric columns are read straight into their runs of it (and flagged
// in numbers_placed) instead of into number vectors.
std::optional<TypedColumns> scan_frame_columns(PyObject* frame, Shape shape,
                                               std::span<double> placed = {});

}  // namespace colenc::py
