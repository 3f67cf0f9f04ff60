// The float64 array reader: a 2-D array whose dtype is native float64 holds no
// text, so it is copied as it is (or, when the caller allows, not at all).
#pragma once

#include <Python.h>

#include "core/columns/matrix.hpp"

namespace colenc::py {

// True for a 2-D ndarray (or subtype) whose dtype is equivalent to native
// float64. Borrows obj.
bool is_float64_matrix(PyObject* obj);

// Copies a 2-D float64 array (borrowed), whatever its strides and alignment.
// REQUIRES: is_float64_matrix(obj)
Matrix copy_float64_matrix(PyObject* obj);

}  // namespace colenc::py
