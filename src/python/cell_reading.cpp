// Reading single cells into typed columns: the float conversion that keeps a
// column numeric, the str() text form once it has turned, the readers of
// numeric array elements, and the periodic check for pending signals.
#include "python/cell_reading.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include "python/errors.hpp"
#include "python/numpy_api.hpp"
#include "python/panic.hpp"
#include "python/py_ref.hpp"

namespace colenc::py {
namespace {

// Appends the UTF-8 text of str(cell) to `out`. Lone surrogates, which UTF-8
// cannot hold, are passed through as bytes and then decoded leniently, so each
// becomes three U+FFFD.
void append_text_form(PyObject* cell, TextColumn& out) {
  Py_ssize_t size = 0;
  if (PyUnicode_CheckExact(cell)) {
    // str() of an exact str is the object itself.
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(cell, &size)) {
      out.push_back(std::string_view(utf8, static_cast<std::size_t>(size)));
      return;
    }
    PyErr_Clear();  // lone surrogates: take the lenient road below
  }
  PyRef text = PyRef::steal(PyObject_Str(cell));
  if (!text) fail_from_python("cant convert to str");
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

}  // namespace

void fail_from_python(const std::string& prefix, std::source_location where) {
  if (!error_is_ordinary()) throw PythonError{};
  throw_internal_from_python(prefix, where);
}

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

namespace {
// Distinct objects seen before the share of repeats is judged.
constexpr std::size_t kJudgeAfter = std::size_t{1} << 16;
}  // namespace

RepeatedStrs::RepeatedStrs(std::size_t j, TypedColumns& columns) {
  if (columns.row_count > TextColumn::kMaxEntries) return;
  columns.text_cells[j].use_row_ids();
  recent_.resize(kRecentSlots);
  active_ = true;
}

void RepeatedStrs::take(PyObject* cell, std::size_t j, TypedColumns& columns) {
  if (!active_ || !columns.column_is_text[j] || !PyUnicode_CheckExact(cell)) {
    take_cell(cell, j, columns);
    return;
  }
  // A str object met for the first time: a text column's cell, exactly one
  // new entry.
  TextColumn& texts = columns.text_cells[j];
  take_cell(cell, j, columns);
  const auto id = static_cast<TextColumn::EntryId>(texts.entry_count() - 1);
  ids_.emplace(cell, id);
  held_.push_back(PyRef::borrow(cell));
  recent_[(reinterpret_cast<std::uintptr_t>(cell) >> 4) % kRecentSlots] = Recent{cell, id};
  if (held_.size() >= kJudgeAfter && 2 * held_.size() > texts.size()) {
    stop();
    texts.drop_row_ids();
  }
}

void RepeatedStrs::stop() {
  // Once the objects are let go their addresses may be reused: forget them all.
  active_ = false;
  std::vector<Recent>().swap(recent_);
  decltype(ids_)().swap(ids_);
  std::vector<PyRef>().swap(held_);
}

void SignalCheck::check_now() {
  countdown_ = kInterval;
  if (PyErr_CheckSignals() < 0) throw PythonError{};
}

namespace {

// Reads one element of a numeric array as float64, exactly as float() of the
// NumPy scalar that subscription would return.
template <class T>
double read_element(const char* at, bool swapped) {
  unsigned char bytes[sizeof(T)];
  std::memcpy(bytes, at, sizeof(T));
  if (swapped) std::reverse(bytes, bytes + sizeof(T));
  T value;
  std::memcpy(&value, bytes, sizeof(T));
  return static_cast<double>(value);
}

template <class T>
void read_column(const char* first, npy_intp stride, bool swapped, std::size_t rows, double* out) {
  if constexpr (std::is_same_v<T, double>) {
    if (!swapped && stride == sizeof(double)) {
      if (rows > 0) std::memcpy(out, first, rows * sizeof(double));  // bit for bit
      return;
    }
  }
  for (std::size_t i = 0; i < rows; ++i) {
    out[i] = read_element<T>(first + static_cast<npy_intp>(i) * stride, swapped);
  }
}

void read_bool_column(const char* first, npy_intp stride, bool, std::size_t rows, double* out) {
  for (std::size_t i = 0; i < rows; ++i) {
    out[i] = first[static_cast<npy_intp>(i) * stride] != 0 ? 1.0 : 0.0;
  }
}

}  // namespace

ColumnReader numeric_reader(int type_num) {
  switch (type_num) {
    case NPY_BOOL: return read_bool_column;
    case NPY_BYTE: return read_column<npy_byte>;
    case NPY_UBYTE: return read_column<npy_ubyte>;
    case NPY_SHORT: return read_column<npy_short>;
    case NPY_USHORT: return read_column<npy_ushort>;
    case NPY_INT: return read_column<npy_int>;
    case NPY_UINT: return read_column<npy_uint>;
    case NPY_LONG: return read_column<npy_long>;
    case NPY_ULONG: return read_column<npy_ulong>;
    case NPY_LONGLONG: return read_column<npy_longlong>;
    case NPY_ULONGLONG: return read_column<npy_ulonglong>;
    case NPY_HALF: return read_column<_Float16>;
    case NPY_FLOAT: return read_column<float>;
    case NPY_DOUBLE: return read_column<double>;
    default: return nullptr;
  }
}

PyObject* object_cell(PyArrayObject* array, const npy_intp* index, int ndim) {
  if (PyArray_NDIM(array) != ndim || PyArray_TYPE(array) != NPY_OBJECT) return nullptr;
  const char* at = PyArray_BYTES(array);
  for (int axis = 0; axis < ndim; ++axis) {
    if (index[axis] >= PyArray_DIM(array, axis)) return nullptr;
    at += index[axis] * PyArray_STRIDE(array, axis);
  }
  PyObject* element;
  std::memcpy(&element, at, sizeof element);
  return element != nullptr ? element : Py_None;
}

}  // namespace colenc::py
