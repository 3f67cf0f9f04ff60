// prepare_table: the one reader of encode's and decode's argument. It names the
// input's kind, reads a DataFrame's column labels, and turns the table into a
// float64 matrix plus a freshly fitted EncodingInfo (none for a 2-D float64
// array, which is copied as it is).
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <vector>

#include "core/encoding_info.hpp"
#include "core/matrix.hpp"

namespace colenc::py {

struct PreparedTable {
  std::optional<std::vector<std::string>> column_names;  // DataFrame labels
  Matrix matrix;
  std::optional<EncodingInfo> fitted_info;  // absent on the float64 fast path
  // With copy_float64 false, a 2-D float64 array is not copied: it is here
  // (borrowed from the caller) and the matrix stays empty.
  PyObject* float64_array = nullptr;
};

// Reads `obj` (borrowed). Throws PythonError with the interpreter's exception
// set (unsupported type, unreadable labels) or InternalError.
PreparedTable prepare_table(PyObject* obj, bool copy_float64 = true);

}  // namespace colenc::py
