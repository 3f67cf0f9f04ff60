// The typing of a distinct-value column: the frame's `values` is asked for
// the rows that first hold each distinct value, and the usual cell typing of
// those few cells types every value, as a read of the whole `values` would.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/formats/time_text.hpp"
#include "core/formats/utf8.hpp"
#include "python/cells/cell_typing.hpp"
#include "python/cells/object_cell.hpp"
#include "python/runtime/interned.hpp"
#include "python/runtime/numpy_api.hpp"
#include "python/runtime/panic.hpp"
#include "python/runtime/py_ref.hpp"
#include "python/readers/frame_arrow_keys.hpp"
#include "python/readers/frame_distinct_values.hpp"
#include "python/input/storage_lookup.hpp"

namespace colenc::py {
namespace {

// The kinds of cell whose float() and str() depend on nothing but the value:
// the same stored value gives the same forms on every row.
class SteadyCells {
 public:
  SteadyCells() {
    PyRef name = PyRef::steal(PyUnicode_FromString("pandas"));
    PyRef pandas = name ? PyRef::steal(PyImport_GetModule(name.get())) : PyRef();
    if (pandas) {
      for (const auto& [kind, known] : {std::pair{"Timestamp", &timestamp_type_},
                                        std::pair{"Timedelta", &timedelta_type_}}) {
        if (PyRef type = attribute(pandas.get(), kind)) {
          *known = type.get();
          known_types_.push_back(std::move(type));
        }
      }
      for (const char* singleton : {"NA", "NaT"}) {
        if (PyRef value = attribute(pandas.get(), singleton)) {
          known_types_.push_back(PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value.get()))));
        }
      }
    }
    // The cells of Arrow date columns.
    PyRef datetime = PyRef::steal(PyImport_ImportModule("datetime"));
    if (PyRef date = datetime ? attribute(datetime.get(), "date") : PyRef()) {
      known_types_.push_back(std::move(date));
    }
    not_readable();
  }

  // True when `cell` is exactly a pandas Timedelta, or else a Timestamp.
  bool is_time(PyObject* cell, bool timedelta) const {
    PyObject* const type = timedelta ? timedelta_type_ : timestamp_type_;
    return type != nullptr && reinterpret_cast<PyObject*>(Py_TYPE(cell)) == type;
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
    for (const PyRef& known : known_types_) {
      if (reinterpret_cast<PyObject*>(type) == known.get()) return true;
    }
    return false;
  }

 private:
  std::vector<PyRef> known_types_;
  PyObject* timestamp_type_ = nullptr;  // both held in known_types_
  PyObject* timedelta_type_ = nullptr;
};

// A sink that keeps the one cell added to it.
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
static_assert(CellSink<CellForms>);

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

// The stored 64-bit datetime or timedelta of `row` of `column`.
std::int64_t stored_time(const DistinctValuesColumn& column, npy_intp row) {
  if (column.arrow) return arrow_ticks(*column.arrow, static_cast<std::size_t>(row));
  auto* array = reinterpret_cast<PyArrayObject*>(column.stored.get());
  std::int64_t value;
  std::memcpy(&value, PyArray_BYTES(array) + row * PyArray_STRIDE(array, 0), sizeof value);
  return value;
}

// Writes the text of `cell` (borrowed), the cell of `row` of a datetime or
// timedelta column, into `text` when it is exactly a Timestamp or Timedelta
// whose text the column's unit lets us write; false otherwise.
bool write_time_text(const DistinctValuesColumn& column, const SteadyCells& steady,
                     PyObject* cell, npy_intp row, std::string& text) {
  const auto& time = column.time;
  if (time.digits < 0 || !steady.is_time(cell, time.timedelta)) return false;
  const std::int64_t ticks = stored_time(column, row);
  return time.timedelta ? append_timedelta_text(text, ticks, time.digits)
                        : append_timestamp_text(text, ticks, time.digits, time.offset);
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
    if (write_time_text(column, steady, cells[id].get(), first, column.texts[id])) {
      continue;  // never converts to float
    }
    CellForms forms;
    add_cell(cells[id].get(), forms);
    column.converts[id] = !forms.text;
    if (forms.text) column.texts[id] = std::move(forms.form);
    column.numbers[id] = forms.number;
  }
  // The turn is the first row of the first value, by first row, that does
  // not convert: one look per value rather than per row.
  column.turn_row = column.values.row_ids.size();
  for (std::size_t id = 0; id < count; ++id) {
    if (!column.converts[id]) {
      column.turn_row = column.values.first_rows[id];  // ascending by id
      break;
    }
  }
  if (column.turn_row == column.values.row_ids.size()) return true;
  // Values that convert still need their str() where they occur after the turn.
  for (std::size_t id = 0; id < count; ++id) {
    if (!column.converts[id]) continue;
    CellForms forms;
    forms.text = true;
    add_cell(cells[id].get(), forms);
    column.texts[id] = std::move(forms.form);
  }
  return true;
}

}  // namespace

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
  PyRef values = get_attribute(part.get(), "values");
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


}  // namespace colenc::py
