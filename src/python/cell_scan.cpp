// The cell scan: reads `shape`, then every cell through source[(i, j)], all
// rows of column 0 first, and sorts each column into numbers or texts.
#include "python/cell_scan.hpp"

#include <string>
#include <string_view>

#include "core/internal_error.hpp"
#include "python/cell_reading.hpp"
#include "python/errors.hpp"
#include "python/numpy_api.hpp"
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

// Cells ahead of the current one whose memory is requested early.
constexpr std::size_t kLookAhead = 16;

// Scans an object ndarray through its element pointers instead of one
// subscription per cell. A cell's str() or __float__ may run Python code that
// reshapes the array, so the buffer and bounds are re-read for every cell.
TypedColumns scan_objects(PyArrayObject* array, Shape shape) {
  TypedColumns columns(shape.rows, shape.cols);
  PyRef keep = PyRef::borrow(reinterpret_cast<PyObject*>(array));
  SignalCheck signals;
  for (std::size_t j = 0; j < shape.cols; ++j) {
    if (shape.rows > 0) columns.number_cells[j].reserve(shape.rows);
    RepeatedStrs repeats(j, columns);
    for (std::size_t i = 0; i < shape.rows; ++i) {
      // Going down a column of a C-ordered array skips a whole row per cell;
      // asking for a later cell's line early hides most of that miss. Only a
      // hint: a stale address is never dereferenced.
      if (i + kLookAhead < shape.rows) {
        __builtin_prefetch(PyArray_BYTES(array) +
                           static_cast<npy_intp>(i + kLookAhead) * PyArray_STRIDE(array, 0) +
                           static_cast<npy_intp>(j) * PyArray_STRIDE(array, 1));
      }
      const npy_intp index[2] = {static_cast<npy_intp>(i), static_cast<npy_intp>(j)};
      PyObject* cell = object_cell(array, index, 2);
      if (cell == nullptr) {
        throw InternalError("failed to read cell (" + std::to_string(i) + ", " +
                            std::to_string(j) + "): the array changed during the scan");
      }
      repeats.file(cell, j, columns);
      signals.tick();
    }
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

TypedColumns scan_cells(PyObject* source, Shape shape) {
  // Exactly numpy.ndarray of the table's shape: subscription would return the
  // stored object, or for a numeric dtype a scalar whose float() is the value,
  // so the buffer is read directly. Anything else is subscripted cell by cell.
  if (PyArray_API != nullptr && PyArray_CheckExact(source)) {
    auto* array = reinterpret_cast<PyArrayObject*>(source);
    const bool same_shape = PyArray_NDIM(array) == 2 &&
                            static_cast<std::size_t>(PyArray_DIM(array, 0)) == shape.rows &&
                            static_cast<std::size_t>(PyArray_DIM(array, 1)) == shape.cols;
    if (same_shape && PyArray_TYPE(array) == NPY_OBJECT) return scan_objects(array, shape);
    if (same_shape) {
      if (ColumnReader read = numeric_reader(PyArray_TYPE(array))) {
        return scan_numeric(array, shape, read);
      }
    }
  }
  return scan_by_subscription(source, shape);
}

}  // namespace colenc::py
