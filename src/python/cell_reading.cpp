// Reading single cells into typed columns: the float conversion that keeps a
// column numeric, the str() text form once it has turned, the readers of
// numeric array elements, and the periodic check for pending signals.
#include "python/cell_reading.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include "python/cell_typing.hpp"
#include "python/errors.hpp"
#include "python/numpy_api.hpp"
#include "python/panic.hpp"
#include "python/py_ref.hpp"

namespace colenc::py {

void fail_from_python(const std::string& prefix, std::source_location where) {
  if (!error_is_ordinary()) throw PythonError{};
  throw_internal_from_python(prefix, where);
}

void fail_str_conversion() { fail_from_python("cant convert to str"); }

void take_cell(PyObject* cell, std::size_t j, TypedColumns& columns) {
  TypedColumnSink sink{columns, j};
  file_cell(cell, sink);
}

namespace {

// Orders exact str objects by text: equal texts have equal kinds, lengths
// and code units.
bool str_less(PyObject* a, PyObject* b) {
  const Py_ssize_t length_a = PyUnicode_GET_LENGTH(a);
  const Py_ssize_t length_b = PyUnicode_GET_LENGTH(b);
  if (length_a != length_b) return length_a < length_b;
  if (PyUnicode_KIND(a) != PyUnicode_KIND(b)) return PyUnicode_KIND(a) < PyUnicode_KIND(b);
  return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                     static_cast<std::size_t>(length_a) * PyUnicode_KIND(a)) < 0;
}

// Cells of a column that are looked at to judge how its str objects repeat.
// A tall column gets a larger sample: a vocabulary of 10,000 shared words
// shows hardly a repeat among 64 cells, but dozens among 1,024.
constexpr std::size_t kShareSample = 64;
constexpr std::size_t kTallSample = 1024;

// Returns the exact str cells (borrowed) among up to `count` cells spread
// over column `column` (see column_shares_str_objects).
std::vector<PyObject*> sample_strs(PyArrayObject* array, int ndim, std::size_t column,
                                   std::size_t rows, std::size_t count = kShareSample) {
  std::vector<PyObject*> sample;
  const std::size_t step = std::max<std::size_t>(1, rows / count);
  for (std::size_t i = 0; i < rows && sample.size() < count; i += step) {
    const npy_intp index[2] = {static_cast<npy_intp>(i), static_cast<npy_intp>(column)};
    PyObject* cell = object_cell(array, index, ndim);
    if (cell != nullptr && PyUnicode_CheckExact(cell)) sample.push_back(cell);
  }
  return sample;
}

// Tallies of a sample: its str cells, and the distinct objects and texts
// among them.
struct StrTally {
  std::size_t cells = 0;
  std::size_t objects = 0;
  std::size_t texts = 0;

  // Adds `strs`, exact str objects, which it reorders.
  void add(std::vector<PyObject*>& strs) {
    cells += strs.size();
    std::sort(strs.begin(), strs.end());
    strs.erase(std::unique(strs.begin(), strs.end()), strs.end());
    objects += strs.size();
    std::sort(strs.begin(), strs.end(), str_less);
    for (std::size_t k = 0; k < strs.size(); ++k) {
      if (k == 0 || str_less(strs[k - 1], strs[k])) ++texts;
    }
  }
  // Cells that repeat an earlier sampled object, against those that repeat an
  // earlier sampled text: shared objects repeat about as often as their texts.
  bool objects_repeat_like_texts() const { return 2 * (cells - objects) >= cells - texts; }
};

}  // namespace

StrRepeats column_str_repeats(PyArrayObject* array, int ndim, std::size_t column,
                              std::size_t rows) {
  std::vector<PyObject*> strs = sample_strs(array, ndim, column, rows, kTallSample);
  StrTally tally;
  tally.add(strs);
  return StrRepeats{.texts_distinct = tally.texts == tally.cells,
                    .objects_shared = tally.texts < tally.cells && tally.objects_repeat_like_texts()};
}

bool column_shares_str_objects(PyArrayObject* array, int ndim, std::size_t column,
                               std::size_t rows) {
  std::vector<PyObject*> strs = sample_strs(array, ndim, column, rows);
  StrTally tally;
  tally.add(strs);
  return tally.objects_repeat_like_texts();
}

bool objects_made_per_cell(PyArrayObject* array, std::size_t rows, std::size_t columns) {
  constexpr std::size_t kColumns = 8;
  StrTally tally;
  for (std::size_t j = 0; j < columns; j += std::max<std::size_t>(1, columns / kColumns)) {
    std::vector<PyObject*> strs = sample_strs(array, 2, j, rows);
    tally.add(strs);
  }
  return !tally.objects_repeat_like_texts();
}

RepeatedStrs::RepeatedStrs(std::size_t j, TypedColumns& columns, bool share) {
  if (!share || columns.row_count > TextColumn::kMaxEntries) return;
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
  if (ids_stop_paying(held_.size(), texts.size())) {
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

// An IEEE 754 binary16 value, read by its bits: no compiler type needed
// (_Float16 is not everywhere). Every half converts to float64 exactly; a NaN
// keeps its sign and payload as NumPy's own conversion keeps them.
struct Half {
  std::uint16_t bits;
  explicit operator double() const {
    const std::uint64_t sign = std::uint64_t{bits & 0x8000u} << 48;
    const unsigned exponent = (bits >> 10) & 0x1F;
    const std::uint64_t fraction = bits & 0x3FFu;
    if (exponent == 0x1F) {  // infinity or NaN
      return std::bit_cast<double>(sign | (std::uint64_t{0x7FF} << 52) | (fraction << 42));
    }
    const double magnitude =
        exponent == 0 ? std::ldexp(static_cast<double>(fraction), -24)  // zero or subnormal
                      : std::ldexp(static_cast<double>(fraction | 0x400u),
                                   static_cast<int>(exponent) - 25);
    return sign != 0 ? -magnitude : magnitude;
  }
};
static_assert(sizeof(Half) == 2);

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
    case NPY_HALF: return read_column<Half>;
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
