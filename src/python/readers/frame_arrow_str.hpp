// The reader of a DataFrame column of pandas' str dtype with Arrow storage
// (utf8 or large_utf8): its cells are read from the Arrow buffers, the one
// large array of a whole column borrowed where it lies.
#pragma once

#include <Python.h>

#include <cstddef>

#include "core/columns/typed_columns.hpp"
#include "python/runtime/py_ref.hpp"
#include "python/runtime/signal_check.hpp"

namespace colenc::py {

// Sets `capsule` to the Arrow stream of `array` (borrowed), the pandas array
// of a pyarrow-backed str column, and returns true when its type is utf8 or
// large_utf8. Returns false, with no exception set, otherwise.
bool find_arrow_str_stream(PyObject* array, PyRef& capsule);

// Reads the stream in `capsule` (borrowed, from find_arrow_str_stream) into
// column j of `columns`; a null cell is `missing` (borrowed), the dtype's
// missing-value object, and is typed as a cell of `values` would be. Throws
// InternalError for a stream that fails or does not hold row_count cells.
void read_arrow_str_column(PyObject* capsule, PyObject* missing, std::size_t j,
                           TypedColumns& columns, SignalCheck& signals);

}  // namespace colenc::py
