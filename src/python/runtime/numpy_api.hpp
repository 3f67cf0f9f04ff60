// Access to NumPy's C API. Every source that uses it includes this header; the
// API table is imported lazily, on first use, by ensure_numpy_api() alone.
#pragma once

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL colenc_ARRAY_API
#ifndef COLENC_NUMPY_API_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace colenc::py {

// Loads NumPy's C API table if it is not loaded yet. Throws InternalError
// ("Failed to access NumPy array API capsule: ...") when it cannot be loaded.
void ensure_numpy_api();

}  // namespace colenc::py
