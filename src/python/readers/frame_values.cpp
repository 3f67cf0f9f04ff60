// read_frame_values: `values` taken once, with the NumPy API made ready for
// the array readers that read it.
#include "python/readers/frame_values.hpp"

#include "python/runtime/errors.hpp"
#include "python/runtime/interned.hpp"
#include "python/runtime/numpy_api.hpp"
#include "python/runtime/panic.hpp"

namespace colenc::py {

PyRef read_frame_values(PyObject* frame) {
  PyRef values = get_attribute(frame, "values");
  if (!values) fail_from_python("failed to read the DataFrame's values");
  ensure_numpy_api();  // pandas has imported NumPy; its values are read directly
  return values;
}

}  // namespace colenc::py
