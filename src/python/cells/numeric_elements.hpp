// The readers of numeric ndarray elements: a bool, integer or float16/32/64
// column read straight from its buffer into float64.
#pragma once

#include <cstddef>

#include "python/runtime/numpy_api.hpp"

namespace colenc::py {

// Reads `rows` elements of a numeric array, at `first`, `first + stride`, ...
// (a column), into out[0..rows), each as float() of its NumPy scalar would.
// REQUIRES: the `rows` elements are readable, and out holds `rows` doubles.
using ColumnReader = void (*)(const char* first, npy_intp stride, bool byte_swapped,
                              std::size_t rows, double* out);

// Returns the reader for a bool, integer or float16/32/64 type number, or
// nullptr for any other dtype.
ColumnReader numeric_reader(int type_num);

}  // namespace colenc::py
