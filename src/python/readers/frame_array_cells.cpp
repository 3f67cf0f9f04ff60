// The object cells of a frame's 1-D arrays: NumPy elements by getitem, as
// NumPy's cast to object takes them; pandas' strings by their storage, as
// their astype(object) gives them (pyarrow's str of each valid string).
#include "python/readers/frame_array_cells.hpp"

#include <cstdint>
#include <string_view>
#include <utility>

#include "core/internal_error.hpp"
#include "python/cells/object_cell.hpp"
#include "python/input/storage_lookup.hpp"
#include "python/readers/frame_arrow_text.hpp"
#include "python/runtime/panic.hpp"

namespace colenc::py {

PyRef numpy_element(PyArrayObject* array, void* at) {
  PyRef element = PyRef::steal(PyArray_GETITEM(array, static_cast<char*>(at)));
  if (!element) not_readable();
  return element;
}

bool is_plain_numpy(PyArrayObject* array) {
  const char kind = PyArray_DESCR(array)->kind;
  return kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f' || kind == 'c' || kind == 'O';
}

bool ArrayCells::open(PyObject* array, std::size_t length, std::size_t column) {
  if (is_column_array(array, length)) {
    numpy_ = PyRef::borrow(array);
    return is_plain_numpy(reinterpret_cast<PyArrayObject*>(array));
  }
  PyRef dtype = attribute(array, "dtype");
  if (!dtype || Py_TYPE(dtype.get())->tp_name != std::string_view("StringDtype")) return false;
  PyRef storage = attribute(dtype.get(), "storage");
  if (!storage) return false;
  if (text_equals(storage.get(), "python")) {
    PyRef stored = attribute(array, "_ndarray");
    if (!is_column_array(stored.get(), length) ||
        PyArray_TYPE(reinterpret_cast<PyArrayObject*>(stored.get())) != NPY_OBJECT) {
      return false;
    }
    numpy_ = std::move(stored);
    return true;
  }
  if (!text_equals(storage.get(), "pyarrow")) return false;
  missing_ = attribute(dtype.get(), "na_value");
  if (!missing_) return false;
  try {
    chunks_ = import_arrow_chunks(array, column, length);
  } catch (const InternalError&) {
    return false;  // `values` has its own say about such arrays
  }
  if (!chunks_) return false;
  large_ = chunks_->format() == "U";
  return large_ || chunks_->format() == "u";
}

PyRef ArrayCells::cell(std::size_t k) {
  if (numpy_) {
    auto* array = reinterpret_cast<PyArrayObject*>(numpy_.get());
    const npy_intp index[1] = {static_cast<npy_intp>(k)};
    if (PyArray_TYPE(array) == NPY_OBJECT) return PyRef::borrow(object_cell(array, index, 1));
    return numpy_element(array, PyArray_GETPTR1(array, index[0]));
  }
  try {
    return large_ ? arrow_cell<std::int64_t>(k) : arrow_cell<std::int32_t>(k);
  } catch (const InternalError&) {
    return PyRef();
  }
}

template <class Offset>
PyRef ArrayCells::arrow_cell(std::size_t k) {
  for (const ArrowOwned<ArrowArray>& owned : chunks_->arrays) {
    const ArrowArray& chunk = owned.get();
    const auto length = static_cast<std::size_t>(chunk.length);
    if (k >= length) {
      k -= length;
      continue;
    }
    const std::int64_t slot = chunk.offset + static_cast<std::int64_t>(k);
    const std::uint8_t* validity = arrow_validity(*chunks_, chunk);
    if (validity != nullptr && !arrow_bit(validity, slot)) return PyRef::borrow(missing_.get());
    const CheckedOffsets<Offset> checked = check_offsets<Offset>(*chunks_, chunk);
    const Offset begin = checked.offsets[slot];
    const Offset end = checked.offsets[slot + 1];
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(
        checked.data != nullptr ? checked.data + begin : "", static_cast<Py_ssize_t>(end - begin),
        nullptr));
    if (!text) not_readable();
    return text;
  }
  return PyRef();
}

}  // namespace colenc::py
