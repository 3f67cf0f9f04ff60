// The one place that imports NumPy's C API table (lazily: `import colenc`
// must not import NumPy).
#define COLENC_NUMPY_API_IMPORT
#include "python/runtime/numpy_api.hpp"

#include "python/runtime/panic.hpp"

namespace colenc::py {

void ensure_numpy_api() {
  if (PyArray_API != nullptr) return;
  if (_import_array() < 0) {
    PyArray_API = nullptr;
    throw_internal_from_python("Failed to access NumPy array API capsule");
  }
}

}  // namespace colenc::py
