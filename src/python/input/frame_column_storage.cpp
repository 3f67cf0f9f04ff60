// The storage lookup of a DataFrame column: the column is taken by position,
// its dtype names its storage, and the storage object each reader needs is
// fetched. An ordinary exception here only means "read `values` instead".
#include "python/input/frame_column_storage.hpp"

#include <string_view>

#include "python/input/storage_lookup.hpp"
#include "python/readers/frame_arrow_keys.hpp"
#include "python/readers/frame_arrow_str.hpp"
#include "python/runtime/interned.hpp"
#include "python/runtime/numpy_api.hpp"

namespace colenc::py {
namespace {

// Takes a NumPy-backed column: numeric dtypes and object.
bool find_numpy_storage(PyObject* series, std::size_t rows, ColumnStorage& out) {
  PyRef values = call_method(series, "to_numpy");
  if (!is_column_array(values.get(), rows)) return not_readable();
  const int type_num = PyArray_TYPE(reinterpret_cast<PyArrayObject*>(values.get()));
  if (type_num == NPY_OBJECT) {
    out.kind = StorageKind::kObjects;
  } else if ((out.read = numeric_reader(type_num)) != nullptr) {
    out.kind = StorageKind::kNumeric;
  } else {
    return false;
  }
  out.storage = std::move(values);
  return true;
}

// Takes a column of pandas' string dtype, Python- or Arrow-backed.
bool find_string_storage(PyObject* array, PyObject* dtype, std::size_t j, std::size_t rows,
                         ColumnStorage& out) {
  PyRef storage_name = get_attribute(dtype, "storage");
  PyRef missing = get_attribute(dtype, "na_value");
  if (!storage_name || !missing) return not_readable();
  if (text_equals(storage_name.get(), "python")) {
    PyRef kwargs = PyRef::steal(Py_BuildValue("{s:s}", "dtype", "object"));
    PyRef method = get_attribute(array, "to_numpy");
    if (!kwargs || !method) return not_readable();
    PyRef empty = PyRef::steal(PyTuple_New(0));
    if (!empty) return not_readable();
    PyRef objects = PyRef::steal(PyObject_Call(method.get(), empty.get(), kwargs.get()));
    if (!is_column_array(objects.get(), rows)) return not_readable();
    if (PyArray_TYPE(reinterpret_cast<PyArrayObject*>(objects.get())) != NPY_OBJECT) return false;
    out.kind = StorageKind::kObjects;
    out.storage = std::move(objects);
    return true;
  }
  if (!text_equals(storage_name.get(), "pyarrow")) return false;
  out.arrow = import_arrow_chunks(array, j, rows);
  if (!out.arrow || !is_arrow_text_format(out.arrow->format())) return false;
  out.kind = StorageKind::kArrowText;
  out.missing = std::move(missing);
  return true;
}

// Takes a pd.ArrowDtype column: strings and dictionaries of them as text, a
// null cell being the dtype's missing value as in `values`; numbers,
// booleans, dates, times and other dictionaries by their distinct values.
// Any other Arrow type is not read.
bool find_arrow_dtype_storage(PyObject* series, PyObject* dtype, std::size_t j, std::size_t rows,
                              ColumnStorage& out, std::vector<DistinctValuesColumn>& distinct) {
  PyRef array = attribute(series, "array");
  std::shared_ptr<ArrowColumnChunks> chunks =
      array ? import_arrow_chunks(array.get(), j, rows) : nullptr;
  if (!chunks) return false;
  PyRef missing = attribute(dtype, "na_value");
  if (!missing) return false;
  if (is_arrow_text_format(chunks->format()) || is_arrow_text_dictionary(*chunks, missing.get())) {
    out.missing = std::move(missing);
    out.kind = StorageKind::kArrowText;
    out.arrow = std::move(chunks);
    return true;
  }
  DistinctValuesColumn column;
  if (rows >= FactorizedValues::kMaxRows || !find_arrow_keys(std::move(chunks), j, column)) {
    return false;
  }
  out.kind = StorageKind::kDistinctValues;
  out.distinct = distinct.size();
  distinct.push_back(std::move(column));
  return true;
}

}  // namespace

bool find_column_storage(PyObject* column, std::size_t j, std::size_t rows, ColumnStorage& out,
                         std::vector<DistinctValuesColumn>& distinct) {
  PyRef series = PyRef::borrow(column);
  PyRef dtype = get_attribute(series.get(), "dtype");
  if (!dtype) return not_readable();
  const auto by_distinct_values = [&](std::string_view dtype_name) {
    DistinctValuesColumn column;
    if (!find_distinct_values(series.get(), dtype.get(), dtype_name, j, rows, column)) {
      return false;
    }
    out.kind = StorageKind::kDistinctValues;
    out.distinct = distinct.size();
    distinct.push_back(std::move(column));
    return true;
  };
  out.series = PyRef::borrow(series.get());
  if (PyArray_DescrCheck(dtype.get())) {
    return find_numpy_storage(series.get(), rows, out) || by_distinct_values({});
  }
  PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(dtype.get())));
  if (!type_name) return not_readable();
  Py_ssize_t size = 0;
  const char* name = PyUnicode_AsUTF8AndSize(type_name.get(), &size);
  if (name == nullptr) return not_readable();
  const std::string_view dtype_name(name, static_cast<std::size_t>(size));
  if (dtype_name == "ArrowDtype") {
    return find_arrow_dtype_storage(series.get(), dtype.get(), j, rows, out, distinct);
  }
  if (dtype_name != "StringDtype") return by_distinct_values(dtype_name);
  PyRef array = get_attribute(series.get(), "array");
  if (!array) return not_readable();
  return find_string_storage(array.get(), dtype.get(), j, rows, out);
}

}  // namespace colenc::py
