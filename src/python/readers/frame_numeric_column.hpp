// The reader of a DataFrame column stored as a 1-D bool, integer or float
// ndarray: converted in C++ straight into its run of the matrix (or its number
// vector), or, for native float64 that decode replaces anyway, kept in place.
#pragma once

#include <Python.h>

#include <cstddef>
#include <functional>
#include <span>

#include "core/columns/typed_columns.hpp"
#include "python/cells/numeric_elements.hpp"
#include "python/input/in_place_column.hpp"
#include "python/runtime/numpy_api.hpp"

namespace colenc::py {

// Returns the read of `array` (borrowed), a 1-D numeric ndarray of
// columns.row_count elements, with `read`, its dtype's reader: straight into
// its run of the column-major matrix when there is one (`placed` holds
// row_count x column_count cells), else into its number vector, which it
// sizes now. The read runs no Python code: a pool task may run it while the
// array stays alive and unchanged.
std::function<void()> numeric_column_read(PyArrayObject* array, ColumnReader read,
                                          std::size_t j, TypedColumns& columns,
                                          std::span<double> placed);

// Leaves column j where it lies and returns true when `array` (borrowed), the
// storage of `series` (borrowed), is native float64: flags it as placed, and
// `in_place` holds both and where its cells are. Returns false, having done
// nothing, for any other dtype.
bool keep_numeric_column_in_place(PyObject* series, PyArrayObject* array, std::size_t j,
                          TypedColumns& columns, InPlaceColumn& in_place);

}  // namespace colenc::py
