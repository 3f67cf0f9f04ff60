// The distinct-value reader: the storage of a category, masked, datetime or
// timedelta column is read as one 64-bit key per row and factorized; once
// frame_distinct_values_typing has typed each value by its cell in the frame's
// `values`, every row is added through its value.
#include "python/readers/frame_distinct_values.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

#include "core/formats/number_format.hpp"
#include "python/input/storage_lookup.hpp"
#include "python/runtime/interned.hpp"
#include "python/runtime/numpy_api.hpp"
#include "python/runtime/py_ref.hpp"
#include "python/input/storage_lookup.hpp"
#include "python/readers/frame_arrow_keys.hpp"

namespace colenc::py {
namespace {

// Which rows of a column are null: none by their stored value, those flagged
// in a bool array beside it, or those holding NaT, the smallest int64, among
// datetimes and timedeltas. Null rows share one id whatever their key; NaT
// would too as a key, but the extreme key would hide the others' narrow
// range or common step from the factorizer's sample.
enum class Nulls { kNone, kMasked, kNotATime };

// The keys of the elements of a 1-D ndarray, each element's bytes
// zero-extended, so that distinct bytes give distinct keys whatever the dtype
// and byte order, and its null rows.
// With kContiguous both arrays are known to be contiguous, so that the
// compiler can vectorize the passes over them.
template <class Item, Nulls kNulls, bool kContiguous>
struct StridedKeys {
  static constexpr std::uint64_t kKeyLimit = std::numeric_limits<Item>::max();
  static constexpr std::uint64_t kNotATime = std::uint64_t{1} << 63;
  const char* first;
  npy_intp stride;
  const char* mask;
  npy_intp mask_stride;
  std::size_t rows;
  std::size_t size() const { return rows; }
  std::uint64_t key(std::size_t row) const {
    Item item;
    const npy_intp step = kContiguous ? npy_intp{sizeof(Item)} : stride;
    std::memcpy(&item, first + static_cast<npy_intp>(row) * step, sizeof item);
    return item;
  }
  bool is_null(std::size_t row) const {
    if constexpr (kNulls == Nulls::kMasked) {
      return mask[static_cast<npy_intp>(row) * (kContiguous ? 1 : mask_stride)] != 0;
    }
    if constexpr (kNulls == Nulls::kNotATime) return key(row) == kNotATime;
    return false;
  }
};

template <class Item, Nulls kNulls>
FactorizedValues factorize_keys(const char* first, npy_intp stride, const char* mask,
                                npy_intp mask_stride, std::size_t rows) {
  if (stride == npy_intp{sizeof(Item)} && (kNulls != Nulls::kMasked || mask_stride == 1)) {
    return factorize_values(
        StridedKeys<Item, kNulls, true>{first, stride, mask, mask_stride, rows});
  }
  return factorize_values(StridedKeys<Item, kNulls, false>{first, stride, mask, mask_stride, rows});
}

template <class Item>
FactorizedValues factorize_items(PyArrayObject* values, PyArrayObject* mask, std::size_t rows) {
  const char* first = PyArray_BYTES(values);
  const npy_intp stride = PyArray_STRIDE(values, 0);
  if (mask == nullptr) return factorize_keys<Item, Nulls::kNone>(first, stride, nullptr, 0, rows);
  return factorize_keys<Item, Nulls::kMasked>(first, stride, PyArray_BYTES(mask),
                                              PyArray_STRIDE(mask, 0), rows);
}

// Keeps `values` and `mask` (both borrowed; mask may be null) in `out` when
// `values` is a 1-D ndarray of `rows` items of at most 8 bytes, not objects,
// and `mask` null or a 1-D bool ndarray as long. Returns false for arrays of
// any other kind.
bool keep_key_arrays(PyObject* values, PyObject* mask, std::size_t rows,
                     DistinctValuesColumn& out) {
  if (!is_column_array(values, rows)) return not_readable();
  auto* array = reinterpret_cast<PyArrayObject*>(values);
  auto* flags = reinterpret_cast<PyArrayObject*>(mask);
  if (mask != nullptr && (!is_column_array(mask, rows) || PyArray_TYPE(flags) != NPY_BOOL)) {
    return not_readable();
  }
  if (PyArray_TYPE(array) == NPY_OBJECT) return false;
  switch (PyArray_ITEMSIZE(array)) {
    case 1:
    case 2:
    case 4:
    case 8:
      break;
    default:
      return false;
  }
  out.stored = PyRef::borrow(values);
  out.mask = PyRef::borrow(mask);
  return true;
}

// Keeps the 64-bit values of datetimes or timedeltas, whose smallest value
// is NaT, as keep_key_arrays does.
bool keep_time_arrays(PyObject* values, std::size_t rows, DistinctValuesColumn& out) {
  if (!keep_key_arrays(values, nullptr, rows, out)) return false;
  out.not_a_time = PyArray_ITEMSIZE(reinterpret_cast<PyArrayObject*>(values)) == 8;
  return true;
}

// The digits of a second of a datetime unit: 0 for "s", 3 for "ms", 6 for
// "us", 9 for "ns", -1 for any other unit or object.
int unit_digits(PyObject* unit) {
  for (const auto& [name, digits] :
       {std::pair{"s", 0}, std::pair{"ms", 3}, std::pair{"us", 6}, std::pair{"ns", 9}}) {
    if (text_equals(unit, name)) return digits;
  }
  return -1;
}

// True when `tz` (borrowed) is datetime.timezone.utc itself.
bool is_utc(PyObject* tz) {
  PyRef datetime = PyRef::steal(PyImport_ImportModule("datetime"));
  if (!datetime) return not_readable();
  PyRef timezone = attribute(datetime.get(), "timezone");
  PyRef utc = timezone ? attribute(timezone.get(), "utc") : PyRef();
  return utc && utc.get() == tz;
}

bool is_masked_dtype(std::string_view name) {
  static constexpr std::array<std::string_view, 11> kNames = {
      "Int8Dtype",   "Int16Dtype",  "Int32Dtype",   "Int64Dtype",   "UInt8Dtype",  "UInt16Dtype",
      "UInt32Dtype", "UInt64Dtype", "Float32Dtype", "Float64Dtype", "BooleanDtype"};
  return std::find(kNames.begin(), kNames.end(), name) != kNames.end();
}

// Keeps the arrays of the column's storage in `out`: category codes, a
// masked array's values and mask, or the int64 form of datetimes and
// timedeltas.
bool find_key_arrays(PyObject* series, PyObject* dtype, std::string_view dtype_name,
                     std::size_t rows, DistinctValuesColumn& out) {
  if (PyArray_DescrCheck(dtype)) {
    const int type_num = reinterpret_cast<PyArray_Descr*>(dtype)->type_num;
    if (type_num != NPY_DATETIME && type_num != NPY_TIMEDELTA) return false;
    PyRef stored = call_method(series, "to_numpy");
    if (!stored) return not_readable();
    if (!keep_time_arrays(stored.get(), rows, out)) return false;
    out.time.digits = datetime64_digits(stored.get());
    out.time.timedelta = type_num == NPY_TIMEDELTA;
    return true;
  }
  PyRef array = attribute(series, "array");
  if (!array) return false;
  if (dtype_name == "CategoricalDtype") {
    PyRef codes = attribute(array.get(), "codes");
    return codes && keep_key_arrays(codes.get(), nullptr, rows, out);
  }
  if (dtype_name == "DatetimeTZDtype") {
    PyRef stored = attribute(array.get(), "asi8");
    if (!stored || !keep_time_arrays(stored.get(), rows, out)) return false;
    PyRef tz = attribute(dtype, "tz");
    PyRef unit = attribute(dtype, "unit");
    if (tz && unit && is_utc(tz.get())) {
      out.time.digits = unit_digits(unit.get());
      out.time.offset = "+00:00";
    }
    return true;
  }
  if (is_masked_dtype(dtype_name)) {
    PyRef data = attribute(array.get(), "_data");
    PyRef mask = attribute(array.get(), "_mask");
    return data && mask && keep_key_arrays(data.get(), mask.get(), rows, out);
  }
  return false;
}

}  // namespace

int datetime64_digits(PyObject* array) {
  PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
  PyRef descr = PyRef::borrow(
      reinterpret_cast<PyObject*>(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(array))));
  PyRef data =
      numpy ? PyRef::steal(PyObject_CallMethod(numpy.get(), "datetime_data", "O", descr.get()))
            : PyRef();
  if (!data || !PyTuple_Check(data.get()) || PyTuple_GET_SIZE(data.get()) != 2 ||
      PyLong_AsLong(PyTuple_GET_ITEM(data.get(), 1)) != 1) {
    not_readable();
    return -1;
  }
  return unit_digits(PyTuple_GET_ITEM(data.get(), 0));
}

bool find_distinct_values(PyObject* series, PyObject* dtype, std::string_view dtype_name,
                          std::size_t j, std::size_t rows, DistinctValuesColumn& out) {
  if (rows >= FactorizedValues::kMaxRows) return false;
  if (!find_key_arrays(series, dtype, dtype_name, rows, out)) return false;
  out.column = j;
  return true;
}

void factorize_distinct_values(DistinctValuesColumn& column, std::size_t rows) {
  if (column.arrow) {
    column.values = factorize_arrow_keys(*column.arrow, rows);
    return;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(column.stored.get());
  auto* mask = reinterpret_cast<PyArrayObject*>(column.mask.get());
  if (column.not_a_time) {
    column.values = factorize_keys<std::uint64_t, Nulls::kNotATime>(
        PyArray_BYTES(array), PyArray_STRIDE(array, 0), nullptr, 0, rows);
    return;
  }
  switch (PyArray_ITEMSIZE(array)) {
    case 1:
      column.values = factorize_items<std::uint8_t>(array, mask, rows);
      break;
    case 2:
      column.values = factorize_items<std::uint16_t>(array, mask, rows);
      break;
    case 4:
      column.values = factorize_items<std::uint32_t>(array, mask, rows);
      break;
    default:
      column.values = factorize_items<std::uint64_t>(array, mask, rows);
      break;
  }
}

void add_distinct_values(DistinctValuesColumn& column, TypedColumns& columns,
                         std::span<double> placed) {
  const std::size_t j = column.column;
  const std::size_t rows = columns.row_count;
  const auto& ids = column.values.row_ids;
  if (columns.keeps_numbers(j)) {
    // Never turns: a value that does not convert is NaN, and noted unless
    // its text is a missing-value label.
    double* const out = columns.number_run(j, placed);
    for (std::size_t row = 0; row < rows; ++row) {
      const auto id = ids[row];
      if (column.converts[id]) {
        out[row] = column.numbers[id];
        continue;
      }
      out[row] = missing_code_value();
      if (!is_missing_label(column.texts[id])) columns.note_unknown(j, row, column.texts[id]);
    }
    return;
  }
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
  static_assert(std::is_same_v<FactorizedValues::Id, TextColumn::EntryId>);
  // Rows from the turn on keep their value ids: entry k holds value k's
  // str(). An entry without a row would still be fitted as a label, so a
  // value met only before the turn gets a copy of the turn row's text, which
  // the column holds anyway, in its entry. The scan for such values stops
  // once every value met before the turn has been met after it, mostly a few
  // rows on.
  auto& entry_of_row = column.values.row_ids;
  const std::size_t count = column.values.value_count();
  std::vector<bool> unmet(count, false);
  std::size_t unmet_count = 0;
  for (std::size_t id = 0; id < count && column.values.first_rows[id] < column.turn_row; ++id) {
    unmet[id] = true;
    ++unmet_count;
  }
  for (std::size_t row = column.turn_row; row < rows && unmet_count > 0; ++row) {
    if (unmet[entry_of_row[row]]) {
      unmet[entry_of_row[row]] = false;
      --unmet_count;
    }
  }
  const std::string& turn_text = column.texts[entry_of_row[column.turn_row]];
  for (std::size_t id = 0; id < count; ++id) {
    texts.push_back(unmet[id] ? turn_text : column.texts[id]);
  }
  // Rows before the turn take entries of their numbers' texts, after those.
  constexpr auto kNone = TextColumn::kMaxEntries;
  std::vector<TextColumn::EntryId> entries(count, kNone);
  std::string scratch;
  for (std::size_t row = 0; row < column.turn_row; ++row) {
    TextColumn::EntryId& entry = entries[entry_of_row[row]];
    if (entry == kNone) [[unlikely]] {
      entry = static_cast<TextColumn::EntryId>(texts.entry_count());
      scratch.clear();
      append_number(scratch, column.numbers[entry_of_row[row]]);
      texts.push_back(scratch);
    }
    entry_of_row[row] = entry;
  }
  texts.replace_row_ids(std::move(entry_of_row));
}

}  // namespace colenc::py
