// prepare_table: recognition of the input by its type's name, the DataFrame's
// column labels, the float64 fast path, and the main path that scans the cells
// and hands them to the column driver.
#include "python/prepare_table.hpp"

#include <unistd.h>

#include <cstring>
#include <limits>
#include <span>
#include <string_view>

#include "core/column_pipeline.hpp"
#include "core/internal_error.hpp"
#include "core/pool.hpp"
#include "python/cell_scan.hpp"
#include "python/errors.hpp"
#include "python/frame_scan.hpp"
#include "python/numpy_api.hpp"
#include "python/panic.hpp"
#include "python/py_ref.hpp"

namespace colenc::py {
namespace {

enum class InputKind { kArray, kDataFrame };

// Writes `text` to the process's standard output stream (file descriptor 1),
// bypassing Python's sys.stdout.
void write_stdout(std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(STDOUT_FILENO, text.data(), text.size());
    if (written <= 0) return;  // nothing sensible to do about a closed stdout
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

// Names the kind of `obj` by its type's __name__; refuses every other name.
InputKind recognise(PyObject* obj) {
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
  throw_if(!name);
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
  throw_if(utf8 == nullptr);
  const std::string_view kind(utf8, static_cast<std::size_t>(size));
  if (kind == "ndarray" || kind == "memmap") return InputKind::kArray;
  if (kind == "DataFrame") return InputKind::kDataFrame;
  write_stdout(std::string(kind) + "\n");
  PyErr_Format(PyExc_TypeError, "Unsupported type: '%U'. Supported types are: %s", name.get(),
               "numpy.ndarray, pandas.DataFrame");
  throw PythonError{};
}

// First reading of the labels: every element a str. Returns false, with no
// exception left set, when the labels are not all text.
bool read_text_labels(PyObject* labels, std::vector<std::string>& out) {
  if (PyUnicode_Check(labels) || !PySequence_Check(labels)) return false;
  PyRef iterator = PyRef::steal(PyObject_GetIter(labels));
  if (!iterator) {
    if (!error_is_ordinary()) throw PythonError{};
    PyErr_Clear();
    return false;
  }
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_Check(item.get()) ? PyUnicode_AsUTF8AndSize(item.get(), &size)
                                                   : nullptr;
    if (utf8 == nullptr) {
      if (PyErr_Occurred()) {
        if (!error_is_ordinary()) throw PythonError{};
        PyErr_Clear();
      }
      return false;
    }
    out.emplace_back(utf8, static_cast<std::size_t>(size));
  }
  if (PyErr_Occurred()) {
    if (!error_is_ordinary()) throw PythonError{};
    PyErr_Clear();
    return false;
  }
  return true;
}

// Second reading: labels.tolist() as 64-bit integers, each written in decimal.
std::vector<std::string> read_integer_labels(PyObject* labels) {
  PyRef list = PyRef::steal(PyObject_CallMethod(labels, "tolist", nullptr));
  throw_if(!list);
  if (PyUnicode_Check(list.get()) || !PySequence_Check(list.get())) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Sequence'",
                 Py_TYPE(list.get())->tp_name);
    throw PythonError{};
  }
  std::vector<std::string> names;
  const Py_ssize_t hint = PySequence_Size(list.get());
  if (hint < 0) PyErr_Clear();
  else names.reserve(static_cast<std::size_t>(hint));
  PyRef iterator = PyRef::steal(PyObject_GetIter(list.get()));
  throw_if(!iterator);
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    const long long value = PyLong_AsLongLong(item.get());
    throw_if(value == -1 && PyErr_Occurred());
    names.push_back(std::to_string(value));
  }
  throw_if(PyErr_Occurred() != nullptr);
  return names;
}

std::vector<std::string> read_column_labels(PyObject* frame) {
  PyRef labels = PyRef::steal(PyObject_GetAttrString(frame, "columns"));
  throw_if(!labels);
  std::vector<std::string> names;
  if (read_text_labels(labels.get(), names)) return names;
  return read_integer_labels(labels.get());
}

// True for a 2-D ndarray (or subtype) whose dtype is equivalent to native float64.
bool is_float64_matrix(PyObject* obj) {
  if (!PyArray_Check(obj)) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(array) != 2) return false;
  PyArray_Descr* float64 = PyArray_DescrFromType(NPY_FLOAT64);
  const bool equivalent = PyArray_EquivTypes(PyArray_DESCR(array), float64) != 0;
  Py_DECREF(float64);
  return equivalent;
}

// Copies a 2-D float64 array, whatever its strides and alignment.
Matrix copy_float64_matrix(PyObject* obj) {
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  Matrix matrix;
  matrix.rows = static_cast<std::size_t>(PyArray_DIM(array, 0));
  matrix.cols = static_cast<std::size_t>(PyArray_DIM(array, 1));
  matrix.data = CellBuffer::uninitialized(matrix.rows * matrix.cols);  // all copied below
  const char* base = PyArray_BYTES(array);
  const npy_intp row_stride = PyArray_STRIDE(array, 0);
  const npy_intp col_stride = PyArray_STRIDE(array, 1);
  double* out = matrix.data.data();
  if (PyArray_IS_C_CONTIGUOUS(array)) {
    if (!matrix.data.empty()) std::memcpy(out, base, matrix.data.size() * sizeof(double));
    return matrix;
  }
  for (std::size_t r = 0; r < matrix.rows; ++r) {
    const char* row = base + static_cast<npy_intp>(r) * row_stride;
    for (std::size_t c = 0; c < matrix.cols; ++c) {
      std::memcpy(out++, row + static_cast<npy_intp>(c) * col_stride, sizeof(double));
    }
  }
  return matrix;
}

// Allocates the zero-filled matrix buffer, refusing a table whose cell count or
// byte size cannot be addressed. Its pages are not touched until the column
// driver writes them, after every cell has been read.
Matrix allocate_matrix(Shape shape) {
  constexpr std::size_t kMaxCells = std::numeric_limits<std::ptrdiff_t>::max() / sizeof(double);
  if (shape.rows != 0 && shape.cols > kMaxCells / shape.rows) {
    throw InternalError("table of " + std::to_string(shape.rows) + " by " +
                        std::to_string(shape.cols) + " cells is too large to address");
  }
  Matrix matrix;
  matrix.rows = shape.rows;
  matrix.cols = shape.cols;
  matrix.data = CellBuffer::zeroed(shape.rows * shape.cols);
  return matrix;
}

// Returns a new reference to the DataFrame's `values`, the table that its
// cells are read from when its columns cannot be read from their storage.
PyRef read_frame_values(PyObject* frame) {
  PyRef values = PyRef::steal(PyObject_GetAttrString(frame, "values"));
  if (!values) {
    if (!error_is_ordinary()) throw PythonError{};
    throw_internal_from_python("failed to read the DataFrame's values");
  }
  ensure_numpy_api();  // pandas has imported NumPy; its values are read directly
  return values;
}

}  // namespace

PreparedTable prepare_table(PyObject* obj, bool copy_float64,
                            const std::vector<std::size_t>* in_place) {
  const InputKind kind = recognise(obj);
  PreparedTable table;
  if (kind == InputKind::kDataFrame) {
    table.column_names = read_column_labels(obj);
  } else {
    ensure_numpy_api();
    if (is_float64_matrix(obj)) {
      if (copy_float64) {
        table.matrix = copy_float64_matrix(obj);
      } else {
        table.float64_array = obj;
      }
      return table;
    }
  }

  const Shape shape = read_shape(obj);
  table.matrix = allocate_matrix(shape);
  // A DataFrame result stores its columns apart; its matrix is laid out so.
  if (kind == InputKind::kDataFrame) table.matrix.order = MatrixOrder::kColumnMajor;
  if (shape.rows == 0) {
    // No cell to read: every column is an empty number column and the fit is
    // empty, whatever the width, which then costs no storage per column. A
    // DataFrame's `values` is still read, as for any other DataFrame.
    if (kind == InputKind::kDataFrame) read_frame_values(obj);
    table.fitted_info = EncodingInfo();
    return table;
  }
  // Each group of columns is encoded while the next is read, and its cells
  // are freed as soon as its codes are in the matrix.
  ColumnPipeline pipeline(std::span<double>(table.matrix.data), shape.cols, table.matrix.order,
                          process_arena());
  if (kind == InputKind::kDataFrame) {
    std::vector<bool> leave;
    if (in_place != nullptr) {
      leave.assign(shape.cols, false);
      for (std::size_t j : *in_place) {
        if (j < shape.cols) leave[j] = true;
      }
      table.in_place.resize(shape.cols);
    }
    std::optional<TypedColumns> columns =
        scan_frame_columns(obj, shape, std::span<double>(table.matrix.data),
                           in_place != nullptr ? &leave : nullptr, &table.in_place);
    if (columns) {
      pipeline.submit(std::move(*columns));
    } else {
      table.in_place.clear();
      scan_cells(read_frame_values(obj).get(), shape, std::span<double>(table.matrix.data),
                 table.matrix.order, pipeline);
    }
  } else {
    scan_cells(obj, shape, std::span<double>(table.matrix.data), table.matrix.order, pipeline);
  }
  table.fitted_info = pipeline.finish();
  return table;
}

}  // namespace colenc::py
