// The distinct-value reader: the storage of a category, masked, datetime or
// timedelta column is read as one 64-bit key per row and factorized; the
// frame's `values` then gives the cell of each value's first row, and the
// usual cell typing of those few cells types every row.
#include "python/readers/frame_distinct_values.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "core/number_format.hpp"
#include "core/utf8.hpp"
#include "python/cells/cell_typing.hpp"
#include "python/cells/object_cell.hpp"
#include "python/numpy_api.hpp"
#include "python/panic.hpp"
#include "python/py_ref.hpp"
#include "python/readers/storage_lookup.hpp"

namespace colenc::py {
namespace {

// The keys of the elements of a 1-D ndarray, each element's bytes
// zero-extended, so that distinct bytes give distinct keys whatever the dtype
// and byte order; with kMasked, null where a bool array of the same length is
// true.
template <class Item, bool kMasked>
struct StridedKeys {
  const char* first;
  npy_intp stride;
  const char* mask;
  npy_intp mask_stride;
  std::size_t rows;
  std::size_t size() const { return rows; }
  std::uint64_t key(std::size_t row) const {
    Item item;
    std::memcpy(&item, first + static_cast<npy_intp>(row) * stride, sizeof item);
    return item;
  }
  bool is_null(std::size_t row) const {
    if constexpr (kMasked) return mask[static_cast<npy_intp>(row) * mask_stride] != 0;
    return false;
  }
};

template <class Item>
FactorizedValues factorize_items(PyArrayObject* values, PyArrayObject* mask, std::size_t rows) {
  const char* first = PyArray_BYTES(values);
  const npy_intp stride = PyArray_STRIDE(values, 0);
  if (mask == nullptr) {
    return factorize_values(StridedKeys<Item, false>{first, stride, nullptr, 0, rows});
  }
  return factorize_values(StridedKeys<Item, true>{first, stride, PyArray_BYTES(mask),
                                                  PyArray_STRIDE(mask, 0), rows});
}

// Factorizes the `rows` elements of `values`, a 1-D ndarray of items of at
// most 8 bytes, null where `mask` (null, or a 1-D bool ndarray as long) is
// true. Returns false for arrays of any other kind.
bool factorize_array(PyObject* values, PyObject* mask, std::size_t rows, FactorizedValues& out) {
  if (!is_column_array(values, rows)) return not_readable();
  auto* array = reinterpret_cast<PyArrayObject*>(values);
  auto* flags = reinterpret_cast<PyArrayObject*>(mask);
  if (mask != nullptr && (!is_column_array(mask, rows) || PyArray_TYPE(flags) != NPY_BOOL)) {
    return not_readable();
  }
  if (PyArray_TYPE(array) == NPY_OBJECT) return false;
  switch (PyArray_ITEMSIZE(array)) {
    case 1: out = factorize_items<std::uint8_t>(array, flags, rows); return true;
    case 2: out = factorize_items<std::uint16_t>(array, flags, rows); return true;
    case 4: out = factorize_items<std::uint32_t>(array, flags, rows); return true;
    case 8: out = factorize_items<std::uint64_t>(array, flags, rows); return true;
    default: return false;
  }
}

bool is_masked_dtype(std::string_view name) {
  static constexpr std::array<std::string_view, 11> kNames = {
      "Int8Dtype",  "Int16Dtype",  "Int32Dtype",  "Int64Dtype",   "UInt8Dtype",  "UInt16Dtype",
      "UInt32Dtype", "UInt64Dtype", "Float32Dtype", "Float64Dtype", "BooleanDtype"};
  return std::find(kNames.begin(), kNames.end(), name) != kNames.end();
}

// Returns a new reference to attribute `name` of `obj` (borrowed), or null
// with no exception set.
PyRef attribute(PyObject* obj, const char* name) {
  PyRef value = PyRef::steal(PyObject_GetAttrString(obj, name));
  if (!value) not_readable();
  return value;
}

// Factorizes the column's storage: category codes, a masked array's values
// and mask, or the int64 form of datetimes and timedeltas.
bool factorize_storage(PyObject* series, PyObject* dtype, std::string_view dtype_name,
                       std::size_t rows, FactorizedValues& out) {
  if (PyArray_DescrCheck(dtype)) {
    const int type_num = reinterpret_cast<PyArray_Descr*>(dtype)->type_num;
    if (type_num != NPY_DATETIME && type_num != NPY_TIMEDELTA) return false;
    PyRef stored = PyRef::steal(PyObject_CallMethod(series, "to_numpy", nullptr));
    if (!stored) return not_readable();
    return factorize_array(stored.get(), nullptr, rows, out);
  }
  PyRef array = attribute(series, "array");
  if (!array) return false;
  if (dtype_name == "CategoricalDtype") {
    PyRef codes = attribute(array.get(), "codes");
    return codes && factorize_array(codes.get(), nullptr, rows, out);
  }
  if (dtype_name == "DatetimeTZDtype") {
    PyRef stored = attribute(array.get(), "asi8");
    return stored && factorize_array(stored.get(), nullptr, rows, out);
  }
  if (is_masked_dtype(dtype_name)) {
    PyRef data = attribute(array.get(), "_data");
    PyRef mask = attribute(array.get(), "_mask");
    return data && mask && factorize_array(data.get(), mask.get(), rows, out);
  }
  return false;
}

// The kinds of cell whose float() and str() depend on nothing but the value:
// the same stored value gives the same forms on every row.
class SteadyCells {
 public:
  SteadyCells() {
    PyRef name = PyRef::steal(PyUnicode_FromString("pandas"));
    PyRef pandas = name ? PyRef::steal(PyImport_GetModule(name.get())) : PyRef();
    if (pandas) {
      for (const char* kind : {"Timestamp", "Timedelta"}) {
        if (PyRef type = attribute(pandas.get(), kind)) pandas_types_.push_back(std::move(type));
      }
      for (const char* singleton : {"NA", "NaT"}) {
        if (PyRef value = attribute(pandas.get(), singleton)) {
          pandas_types_.push_back(PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value.get()))));
        }
      }
    }
    not_readable();
  }

  bool contains(PyObject* cell) const {
    PyTypeObject* const type = Py_TYPE(cell);
    if (type == &PyUnicode_Type || type == &PyFloat_Type || type == &PyLong_Type ||
        type == &PyBool_Type || cell == Py_None) {
      return true;
    }
    if (PyArray_IsScalar(cell, Generic) && std::strncmp(type->tp_name, "numpy.", 6) == 0) {
      return true;
    }
    for (const PyRef& known : pandas_types_) {
      if (reinterpret_cast<PyObject*>(type) == known.get()) return true;
    }
    return false;
  }

 private:
  std::vector<PyRef> pandas_types_;
};

// A sink that keeps the one cell filed into it.
struct CellForms {
  bool text = false;
  double number = 0;
  std::string form;
  bool is_text() const { return text; }
  void push_number(double value) { number = value; }
  void turn_to_text() { text = true; }
  void push_text(std::string_view bytes, const char*) { form.assign(bytes); }
  void push_units(const void* units, std::size_t count, unsigned unit_bytes) {
    form.clear();
    append_utf8(units, count, unit_bytes, form);
  }
};

// Returns a new reference to cell (row, column) of `values`, a 2-D ndarray,
// as a read of the whole table takes it: the stored object of an object
// array, else what subscription gives.
PyRef cell_at(PyArrayObject* values, std::size_t row, std::size_t column) {
  const npy_intp index[2] = {static_cast<npy_intp>(row), static_cast<npy_intp>(column)};
  if (PyArray_TYPE(values) == NPY_OBJECT) {
    return PyRef::borrow(object_cell(values, index, 2));
  }
  PyRef key = PyRef::steal(Py_BuildValue("(nn)", index[0], index[1]));
  if (!key) throw PythonError{};
  return PyRef::steal(PyObject_GetItem(reinterpret_cast<PyObject*>(values), key.get()));
}

// Types each value of `column` by its cell; false for a cell not steady.
bool type_values(PyArrayObject* values, const std::vector<npy_intp>& rows,
                 const SteadyCells& steady, DistinctValuesColumn& column) {
  const std::size_t count = column.values.value_count();
  column.converts.assign(count, false);
  column.numbers.assign(count, 0.0);
  column.texts.assign(count, std::string());
  std::vector<PyRef> cells(count);
  for (std::size_t id = 0; id < count; ++id) {
    const auto first = static_cast<npy_intp>(column.values.first_rows[id]);
    const auto at = std::lower_bound(rows.begin(), rows.end(), first) - rows.begin();
    cells[id] = cell_at(values, static_cast<std::size_t>(at), column.column);
    if (!cells[id]) return not_readable();
    if (!steady.contains(cells[id].get())) return false;
    CellForms forms;
    file_cell(cells[id].get(), forms);
    column.converts[id] = !forms.text;
    if (forms.text) column.texts[id] = std::move(forms.form);
    column.numbers[id] = forms.number;
  }
  const auto& ids = column.values.row_ids;
  const auto turn = std::find_if(ids.begin(), ids.end(),
                                 [&](FactorizedValues::Id id) { return !column.converts[id]; });
  column.turn_row = static_cast<std::size_t>(turn - ids.begin());
  if (turn == ids.end()) return true;
  // Values that convert still need their str() where they occur after the turn.
  for (std::size_t id = 0; id < count; ++id) {
    if (!column.converts[id]) continue;
    CellForms forms;
    forms.text = true;
    file_cell(cells[id].get(), forms);
    column.texts[id] = std::move(forms.form);
  }
  return true;
}

}  // namespace

bool find_distinct_values(PyObject* series, PyObject* dtype, std::string_view dtype_name,
                          std::size_t j, std::size_t rows, DistinctValuesColumn& out) {
  if (rows >= FactorizedValues::kMaxRows) return false;
  if (!factorize_storage(series, dtype, dtype_name, rows, out.values)) return false;
  out.column = j;
  return true;
}

bool type_distinct_values(PyObject* iloc, std::size_t frame_columns,
                          std::span<DistinctValuesColumn> columns) {
  if (columns.empty()) return true;
  std::vector<npy_intp> rows;
  for (const DistinctValuesColumn& column : columns) {
    rows.insert(rows.end(), column.values.first_rows.begin(), column.values.first_rows.end());
  }
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  npy_intp count = static_cast<npy_intp>(rows.size());
  PyRef positions = PyRef::steal(PyArray_SimpleNew(1, &count, NPY_INTP));
  if (!positions) throw PythonError{};
  if (count > 0) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(positions.get())), rows.data(),
                rows.size() * sizeof(npy_intp));
  }
  // The frame's own rows, so that `values` is built from the same dtypes.
  PyRef part = PyRef::steal(PyObject_GetItem(iloc, positions.get()));
  if (!part) return not_readable();
  PyRef values = PyRef::steal(PyObject_GetAttrString(part.get(), "values"));
  if (!values) return not_readable();
  if (!PyArray_CheckExact(values.get())) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(values.get());
  if (PyArray_NDIM(array) != 2 || PyArray_DIM(array, 0) != count ||
      static_cast<std::size_t>(PyArray_DIM(array, 1)) != frame_columns) {
    return false;
  }
  const SteadyCells steady;
  for (DistinctValuesColumn& column : columns) {
    if (!type_values(array, rows, steady, column)) return false;
  }
  return true;
}

void file_distinct_values(const DistinctValuesColumn& column, TypedColumns& columns,
                          std::span<double> placed) {
  const std::size_t j = column.column;
  const std::size_t rows = columns.row_count;
  const auto& ids = column.values.row_ids;
  if (column.turn_row == rows) {
    double* const out = columns.number_run(j, placed);
    for (std::size_t row = 0; row < rows; ++row) out[row] = column.numbers[ids[row]];
    return;
  }
  // Rows share one entry per value and form: the number's text before the
  // turn, the cell's str() from it on.
  std::vector<double>().swap(columns.number_cells[j]);
  columns.column_is_text[j] = true;
  TextColumn& texts = columns.text_cells[j];
  texts.use_row_ids();
  texts.reserve(rows, 0);
  constexpr auto kNone = TextColumn::kMaxEntries;
  std::vector<TextColumn::EntryId> entries(column.values.value_count(), kNone);
  std::string scratch;
  for (std::size_t row = 0; row < column.turn_row; ++row) {
    TextColumn::EntryId& entry = entries[ids[row]];
    if (entry == kNone) [[unlikely]] {
      entry = static_cast<TextColumn::EntryId>(texts.entry_count());
      scratch.clear();
      append_number(scratch, column.numbers[ids[row]]);
      texts.push_back(scratch);
    } else {
      texts.push_entry(entry);
    }
  }
  entries.assign(entries.size(), kNone);
  for (std::size_t row = column.turn_row; row < rows; ++row) {
    TextColumn::EntryId& entry = entries[ids[row]];
    if (entry == kNone) [[unlikely]] {
      entry = static_cast<TextColumn::EntryId>(texts.entry_count());
      texts.push_back(column.texts[ids[row]]);
    } else {
      texts.push_entry(entry);
    }
  }
}

}  // namespace colenc::py
