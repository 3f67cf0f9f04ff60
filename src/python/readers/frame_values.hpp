// The fallback of the DataFrame readers: the frame's `values`, a 2-D array
// that boxes every cell, which the array readers then read.
#pragma once

#include "python/runtime/py_ref.hpp"

namespace colenc::py {

// Returns a new reference to the DataFrame's `values` (frame borrowed).
// Throws PythonError for an interrupt or another non-Exception error,
// InternalError for any other failure.
PyRef read_frame_values(PyObject* frame);

}  // namespace colenc::py
