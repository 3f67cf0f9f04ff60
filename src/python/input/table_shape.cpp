// read_shape: `shape` as two non-negative machine-size integers; anything else
// is an internal failure, an interrupt travels on.
#include "python/input/table_shape.hpp"

#include <string>

#include "core/internal_error.hpp"
#include "python/cells/cell_typing.hpp"
#include "python/runtime/interned.hpp"
#include "python/runtime/py_ref.hpp"

namespace colenc::py {
namespace {

std::size_t read_dimension(PyObject* item) {
  PyRef index = PyRef::steal(PyNumber_Index(item));
  if (!index) fail_from_python("failed to read the table's shape");
  const std::size_t value = PyLong_AsSize_t(index.get());
  if (value == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
    fail_from_python("failed to read the table's shape");
  }
  return value;
}

}  // namespace

Shape read_shape(PyObject* obj) {
  PyRef shape = get_attribute(obj, "shape");
  if (!shape) fail_from_python("failed to read the table's shape");
  if (!PyTuple_Check(shape.get())) {
    throw InternalError("failed to read the table's shape: expected a tuple of two integers");
  }
  if (PyTuple_GET_SIZE(shape.get()) != 2) {
    throw InternalError("failed to read the table's shape: expected 2 dimensions, got " +
                        std::to_string(PyTuple_GET_SIZE(shape.get())));
  }
  Shape result;
  result.rows = read_dimension(PyTuple_GET_ITEM(shape.get(), 0));
  result.cols = read_dimension(PyTuple_GET_ITEM(shape.get(), 1));
  return result;
}

}  // namespace colenc::py
