// The cell scan: reads `shape`, then every cell through source[(i, j)], all
// rows of column 0 first, and sorts each column into numbers or texts.
#include "python/cell_scan.hpp"

#include <string>
#include <string_view>

#include "core/internal_error.hpp"
#include "python/cell_reading.hpp"
#include "python/errors.hpp"
#include "python/numpy_api.hpp"
#include "python/object_scan.hpp"
#include "python/panic.hpp"
#include "python/py_ref.hpp"

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

// Scans a numeric ndarray straight from its buffer: every cell converts.
TypedColumns scan_numeric(PyArrayObject* array, Shape shape, ColumnReader read) {
  TypedColumns columns(shape.rows, shape.cols);
  for (std::size_t j = 0; j < shape.cols; ++j) {
    columns.number_cells[j].resize(shape.rows);
    read(PyArray_BYTES(array) + static_cast<npy_intp>(j) * PyArray_STRIDE(array, 1),
         PyArray_STRIDE(array, 0), PyArray_ISBYTESWAPPED(array), shape.rows,
         columns.number_cells[j].data());
  }
  return columns;
}

// The general scan: one subscription source[(i, j)] per cell.
TypedColumns scan_by_subscription(PyObject* source, Shape shape) {
  // Any object can claim any shape here: each column's storage is added when
  // the scan reaches it. Without rows no cell is read, and the columns are
  // set up at once.
  TypedColumns columns = shape.rows > 0 ? TypedColumns::growing(shape.rows, shape.cols)
                                        : TypedColumns(shape.rows, shape.cols);
  SignalCheck signals;
  for (std::size_t j = 0; j < shape.cols; ++j) {
    PyRef column_index = PyRef::steal(PyLong_FromSize_t(j));
    if (!column_index) throw PythonError{};
    if (shape.rows > 0) {
      columns.add_column();
      columns.number_cells[j].reserve(shape.rows);
    }
    for (std::size_t i = 0; i < shape.rows; ++i) {
      PyRef row_index = PyRef::steal(PyLong_FromSize_t(i));
      if (!row_index) throw PythonError{};
      PyRef key = PyRef::steal(PyTuple_Pack(2, row_index.get(), column_index.get()));
      if (!key) throw PythonError{};
      PyRef cell = PyRef::steal(PyObject_GetItem(source, key.get()));
      if (!cell) {
        fail_from_python("failed to read cell (" + std::to_string(i) + ", " + std::to_string(j) +
                         ")");
      }
      take_cell(cell.get(), j, columns);
      signals.tick();
    }
  }
  return columns;
}

}  // namespace

Shape read_shape(PyObject* obj) {
  PyRef shape = PyRef::steal(PyObject_GetAttrString(obj, "shape"));
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

void scan_cells(PyObject* source, Shape shape, std::span<double> matrix_buffer,
                MatrixOrder order, ColumnPipeline& pipeline) {
  // Exactly numpy.ndarray of the table's shape: subscription would return the
  // stored object, or for a numeric dtype a scalar whose float() is the value,
  // so the buffer is read directly. Anything else is subscripted cell by cell.
  if (PyArray_API != nullptr && PyArray_CheckExact(source)) {
    auto* array = reinterpret_cast<PyArrayObject*>(source);
    const bool same_shape = PyArray_NDIM(array) == 2 &&
                            static_cast<std::size_t>(PyArray_DIM(array, 0)) == shape.rows &&
                            static_cast<std::size_t>(PyArray_DIM(array, 1)) == shape.cols;
    if (same_shape && PyArray_TYPE(array) == NPY_OBJECT) {
      return scan_object_array(array, shape, matrix_buffer, order, pipeline);
    }
    if (same_shape) {
      if (ColumnReader read = numeric_reader(PyArray_TYPE(array))) {
        return pipeline.submit(scan_numeric(array, shape, read));
      }
    }
  }
  pipeline.submit(scan_by_subscription(source, shape));
}

}  // namespace colenc::py
