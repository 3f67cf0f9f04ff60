// The numeric array reader: an exact 2-D bool, integer or float16/32 ndarray
// (float64 too, when it is not copied whole) read straight from its buffer;
// every cell converts, so every column stays numeric.
#pragma once

#include "core/columns/typed_columns.hpp"
#include "python/cells/numeric_elements.hpp"
#include "python/runtime/numpy_api.hpp"
#include "python/input/table_shape.hpp"

namespace colenc::py {

// Reads every column of `array` (borrowed, of `shape`) with `read`, the reader
// of its dtype, into number columns.
TypedColumns read_numeric_array(PyArrayObject* array, Shape shape, ColumnReader read);

}  // namespace colenc::py
