// The cell scan: reads `shape`, then every cell through source[(i, j)], all
// rows of column 0 first, and sorts each column into numbers or texts.
#include "python/cell_scan.hpp"

#include <string>
#include <string_view>

#include "core/internal_error.hpp"
#include "python/errors.hpp"
#include "python/panic.hpp"
#include "python/py_ref.hpp"

namespace colenc::py {
namespace {

// How often the scan looks for pending signals (Ctrl-C).
constexpr std::size_t kSignalCheckInterval = 1 << 14;

// Turns the set Python exception into an internal failure with `prefix`, but
// lets KeyboardInterrupt and other non-Exception errors through unchanged.
[[noreturn]] void fail_from_python(const std::string& prefix) {
  if (!error_is_ordinary()) throw PythonError{};
  throw_internal_from_python(prefix);
}

std::size_t read_dimension(PyObject* item) {
  PyRef index = PyRef::steal(PyNumber_Index(item));
  if (!index) fail_from_python("failed to read the table's shape");
  const std::size_t value = PyLong_AsSize_t(index.get());
  if (value == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
    fail_from_python("failed to read the table's shape");
  }
  return value;
}

// Appends the UTF-8 text of str(cell) to `out`. Lone surrogates, which UTF-8
// cannot hold, are passed through as bytes and then decoded leniently, so each
// becomes three U+FFFD.
void append_text_form(PyObject* cell, TextColumn& out) {
  PyRef text = PyRef::steal(PyObject_Str(cell));
  if (!text) fail_from_python("cant convert to str");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (utf8 != nullptr) {
    out.push_back(std::string_view(utf8, static_cast<std::size_t>(size)));
    return;
  }
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) fail_from_python("cant convert to str");
  PyErr_Clear();
  PyRef raw = PyRef::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
  if (!raw) fail_from_python("cant convert to str");
  PyRef lenient = PyRef::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.get()),
                                                    PyBytes_GET_SIZE(raw.get()), "replace"));
  if (!lenient) fail_from_python("cant convert to str");
  utf8 = PyUnicode_AsUTF8AndSize(lenient.get(), &size);
  if (utf8 == nullptr) fail_from_python("cant convert to str");
  out.push_back(std::string_view(utf8, static_cast<std::size_t>(size)));
}

// Files one cell into column j: as a float64 while the column is numeric, as
// its str() text once it has turned. A failed float conversion turns it.
void take_cell(PyObject* cell, std::size_t j, TypedColumns& columns) {
  if (!columns.column_is_text[j]) {
    double value;
    if (PyFloat_CheckExact(cell)) {
      value = PyFloat_AS_DOUBLE(cell);
    } else {
      value = PyFloat_AsDouble(cell);
      if (value == -1.0 && PyErr_Occurred()) {
        if (!error_is_ordinary()) throw PythonError{};
        PyErr_Clear();
        columns.turn_to_text(j);
        append_text_form(cell, columns.text_cells[j]);
        return;
      }
    }
    columns.number_cells[j].push_back(value);
    return;
  }
  append_text_form(cell, columns.text_cells[j]);
}

void check_signals(std::size_t& countdown) {
  if (--countdown != 0) return;
  countdown = kSignalCheckInterval;
  if (PyErr_CheckSignals() < 0) throw PythonError{};
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
  TypedColumns columns(shape.rows, shape.cols);
  std::size_t countdown = kSignalCheckInterval;
  for (std::size_t j = 0; j < shape.cols; ++j) {
    PyRef column_index = PyRef::steal(PyLong_FromSize_t(j));
    if (!column_index) throw PythonError{};
    if (shape.rows > 0) columns.number_cells[j].reserve(shape.rows);
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
      check_signals(countdown);
    }
  }
  return columns;
}

}  // namespace colenc::py
