// A few-row frame's `values` made from its blocks. pandas' `values` of a
// frame of several blocks interleaves them: it finds their common dtype and,
// when that is object, fills an object array (columns by rows) with each
// block's get_values(object), then transposes it. Here the same is done
// where the common dtype is surely object (a NumPy object block or a pandas
// string block among known dtypes), with each block's cells made as its
// get_values(object) makes them:
// - a NumPy block: astype(object), which takes each element by its dtype's
//   getitem (the stored object of an object block);
// - a string block, and a categorical whose categories are NumPy values or
//   strings: astype(object), a str per valid Arrow string or the stored
//   object of a Python-stored one, the dtype's na_value per null; a
//   category's cell is its category's, a missing one the categories'
//   _na_value;
// - a block of naive datetimes: the text of each Timestamp, as a str, typed
//   as the Timestamp would be (its str()), where that text is written here;
// - any other block (timedeltas, datetimes with a zone, masked numbers,
//   categories of other values): get_values(object) itself.
#include "python/readers/frame_block_values.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/formats/time_text.hpp"
#include "python/cells/object_cell.hpp"
#include "python/input/storage_lookup.hpp"
#include "python/readers/frame_array_cells.hpp"
#include "python/readers/frame_distinct_values.hpp"
#include "python/runtime/errors.hpp"
#include "python/runtime/interned.hpp"
#include "python/runtime/numpy_api.hpp"
#include "python/runtime/panic.hpp"

namespace colenc::py {
namespace {

bool type_named(PyObject* obj, std::string_view name) { return Py_TYPE(obj)->tp_name == name; }

// Returns true when a column of `frame` (borrowed) has a pd.ArrowDtype, read
// from `dtypes` when its blocks cannot be read: its Arrow arrays are checked
// only by their storage reader, while `values` would hand them to pyarrow as
// they are, broken layouts included. Any ordinary failure to tell counts as
// true, so that the storage readers decide.
bool has_arrow_dtype_column(PyObject* frame) {
  PyRef dtypes = get_attribute(frame, "dtypes");
  PyRef each = dtypes ? PyRef::steal(PyObject_GetIter(dtypes.get())) : PyRef{};
  if (!each) {
    clear_ordinary_error();
    return true;
  }
  while (PyRef dtype = PyRef::steal(PyIter_Next(each.get()))) {
    if (type_named(dtype.get(), "ArrowDtype")) return true;
  }
  if (PyErr_Occurred() != nullptr) {
    clear_ordinary_error();
    return true;
  }
  return false;
}

// True when `frame` (borrowed) is exactly a pandas.DataFrame.
bool is_exact_frame(PyObject* frame) {
  PyRef module_name = PyRef::steal(PyUnicode_FromString("pandas"));
  throw_if(!module_name);
  PyRef pandas = PyRef::steal(PyImport_GetModule(module_name.get()));
  if (!pandas) return not_readable();
  PyRef frame_type = attribute(pandas.get(), "DataFrame");
  return frame_type && reinterpret_cast<PyObject*>(Py_TYPE(frame)) == frame_type.get();
}

bool is_masked_dtype_name(std::string_view name) {
  for (std::string_view masked :
       {"Int8Dtype", "Int16Dtype", "Int32Dtype", "Int64Dtype", "UInt8Dtype", "UInt16Dtype",
        "UInt32Dtype", "UInt64Dtype", "Float32Dtype", "Float64Dtype", "BooleanDtype"}) {
    if (name == masked) return true;
  }
  return false;
}

// How a block's dtype takes part in the common dtype of `values`.
enum class DtypeKind {
  kNumPyObject,  // a NumPy object dtype: the common dtype is object
  kString,       // pandas' StringDtype: so is it, beside any other known dtype
  kKnown,        // another NumPy dtype, a categorical of NumPy values or
                 // strings, a masked number or boolean, a datetime with a zone
  kArrow,        // pd.ArrowDtype
  kUnknown,
};

DtypeKind dtype_kind(PyObject* dtype) {
  if (PyArray_DescrCheck(dtype)) {
    return reinterpret_cast<PyArray_Descr*>(dtype)->type_num == NPY_OBJECT ? DtypeKind::kNumPyObject
                                                                            : DtypeKind::kKnown;
  }
  const std::string_view name = Py_TYPE(dtype)->tp_name;
  if (name == "ArrowDtype") return DtypeKind::kArrow;
  if (name == "StringDtype") return DtypeKind::kString;
  if (name == "DatetimeTZDtype" || is_masked_dtype_name(name)) return DtypeKind::kKnown;
  if (name == "CategoricalDtype") {
    PyRef categories = attribute(dtype, "categories");
    PyRef inner = categories ? attribute(categories.get(), "dtype") : PyRef();
    if (inner && (PyArray_DescrCheck(inner.get()) || type_named(inner.get(), "StringDtype"))) {
      return DtypeKind::kKnown;
    }
  }
  return DtypeKind::kUnknown;
}

// The object array `values` is made in: one row per column, as pandas fills
// it, each cell set once per claim (a block that cannot make its cells here
// is asked for them, and its cells set again).
class ObjectValues {
 public:
  explicit ObjectValues(Shape shape) : shape_(shape), claimed_(shape.cols, false) {
    npy_intp dims[2] = {static_cast<npy_intp>(shape.cols), static_cast<npy_intp>(shape.rows)};
    array_ = PyRef::steal(PyArray_SimpleNew(2, dims, NPY_OBJECT));
    throw_if(!array_);
    // A fresh object array holds NULL pointers until its cells are set.
    cells_ = static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array_.get())));
  }

  // Claims `column` for one block; false when it is beyond the frame or
  // claimed already.
  bool claim(npy_intp column) {
    if (column < 0 || static_cast<std::size_t>(column) >= shape_.cols) return false;
    const auto j = static_cast<std::size_t>(column);
    if (claimed_[j]) return false;
    claimed_[j] = true;
    ++claims_;
    return true;
  }
  bool complete() const { return claims_ == shape_.cols; }

  // Sets cell (row, column) to `cell`, a new reference it takes over.
  void set(std::size_t column, std::size_t row, PyObject* cell) {
    // The old cell is released last: its release may run Python code.
    PyRef old = PyRef::steal(std::exchange(cells_[column * shape_.rows + row], cell));
  }

  // Returns the array of rows by columns, as `values` gives it.
  PyRef transposed() const {
    PyRef rows = PyRef::steal(
        PyArray_Transpose(reinterpret_cast<PyArrayObject*>(array_.get()), nullptr));
    throw_if(!rows);
    return rows;
  }

 private:
  Shape shape_;
  PyRef array_;
  PyObject** cells_ = nullptr;
  std::vector<bool> claimed_;
  std::size_t claims_ = 0;
};

// One block of the frame: its values and the frame's columns it holds.
struct Block {
  PyRef block;
  PyRef values;
  PyRef dtype;
  std::vector<npy_intp> columns;
};

// Reads the blocks of `frame`'s BlockManager; false, with no exception
// set, when they cannot be read.
bool read_blocks(PyObject* frame, std::vector<Block>& out) {
  PyRef manager = attribute(frame, "_mgr");
  if (!manager || !type_named(manager.get(), "BlockManager")) return false;
  PyRef blocks = attribute(manager.get(), "blocks");
  if (!blocks || !PyTuple_Check(blocks.get())) return false;
  const Py_ssize_t count = PyTuple_GET_SIZE(blocks.get());
  out.resize(static_cast<std::size_t>(count));
  for (Py_ssize_t b = 0; b < count; ++b) {
    Block& block = out[static_cast<std::size_t>(b)];
    block.block = PyRef::borrow(PyTuple_GET_ITEM(blocks.get(), b));
    block.dtype = attribute(block.block.get(), "dtype");
    if (!block.dtype) return false;
  }
  return true;
}

// Reads the values and columns of `block`; false, with no exception set,
// when they cannot be read.
bool read_block_layout(Block& block) {
  block.values = attribute(block.block.get(), "values");
  PyRef placement = attribute(block.block.get(), "mgr_locs");
  PyRef locations = placement ? attribute(placement.get(), "as_array") : PyRef();
  if (!block.values || !locations) return false;
  PyRef positions = PyRef::steal(PyArray_FROM_OTF(locations.get(), NPY_INTP, NPY_ARRAY_IN_ARRAY));
  if (!positions) return not_readable();
  auto* array = reinterpret_cast<PyArrayObject*>(positions.get());
  if (PyArray_NDIM(array) != 1) return false;
  const auto* first = static_cast<const npy_intp*>(PyArray_DATA(array));
  block.columns.assign(first, first + PyArray_DIM(array, 0));
  return !block.columns.empty();
}

// A NumPy block: its values a 2-D array of one row per column.
bool numpy_block_cells(const Block& block, Shape shape, ObjectValues& out) {
  auto* array = reinterpret_cast<PyArrayObject*>(block.values.get());
  if (PyArray_NDIM(array) != 2 || !is_plain_numpy(array) ||
      static_cast<std::size_t>(PyArray_DIM(array, 0)) != block.columns.size() ||
      static_cast<std::size_t>(PyArray_DIM(array, 1)) != shape.rows) {
    return false;
  }
  for (std::size_t k = 0; k < block.columns.size(); ++k) {
    const auto column = static_cast<std::size_t>(block.columns[k]);
    for (std::size_t r = 0; r < shape.rows; ++r) {
      const npy_intp index[2] = {static_cast<npy_intp>(k), static_cast<npy_intp>(r)};
      PyRef cell = PyArray_TYPE(array) == NPY_OBJECT
                       ? PyRef::borrow(object_cell(array, index, 2))
                       : numpy_element(array, PyArray_GetPtr(array, const_cast<npy_intp*>(index)));
      if (!cell) return false;
      out.set(column, r, cell.release());
    }
  }
  return true;
}

// A block of one column of pandas' strings.
bool string_block_cells(const Block& block, Shape shape, ObjectValues& out) {
  if (block.columns.size() != 1) return false;
  const auto column = static_cast<std::size_t>(block.columns[0]);
  ArrayCells cells;
  if (!cells.open(block.values.get(), shape.rows, column)) return false;
  for (std::size_t r = 0; r < shape.rows; ++r) {
    PyRef cell = cells.cell(r);
    if (!cell) return false;
    out.set(column, r, cell.release());
  }
  return true;
}

// A block of one categorical column whose categories are NumPy values or
// strings: each row the cell of its category, as astype(object) of the
// categories gives it (one object per category, as pandas takes them), the
// categories' _na_value where the code is -1.
bool categorical_block_cells(const Block& block, Shape shape, ObjectValues& out) {
  if (block.columns.size() != 1 || !type_named(block.values.get(), "Categorical")) return false;
  const auto column = static_cast<std::size_t>(block.columns[0]);
  PyRef stored_codes = attribute(block.values.get(), "_codes");
  if (!is_column_array(stored_codes.get(), shape.rows) ||
      PyArray_DESCR(reinterpret_cast<PyArrayObject*>(stored_codes.get()))->kind != 'i') {
    return false;
  }
  PyRef codes = PyRef::steal(PyArray_FROM_OTF(stored_codes.get(), NPY_INT64, NPY_ARRAY_IN_ARRAY));
  if (!codes) return not_readable();
  PyRef categories = attribute(block.values.get(), "categories");
  PyRef values = categories ? attribute(categories.get(), "_values") : PyRef();
  PyRef missing = values ? attribute(categories.get(), "_na_value") : PyRef();
  if (!missing) return false;
  const Py_ssize_t count = PyObject_Length(categories.get());
  if (count <= 0) return not_readable();  // no categories: pandas makes them otherwise
  ArrayCells cells;
  if (!cells.open(values.get(), static_cast<std::size_t>(count), column)) return false;
  const auto* code = static_cast<const std::int64_t*>(
      PyArray_DATA(reinterpret_cast<PyArrayObject*>(codes.get())));
  std::vector<std::pair<std::int64_t, PyRef>> made;  // the cell of each category met
  for (std::size_t r = 0; r < shape.rows; ++r) {
    if (code[r] == -1) {
      out.set(column, r, Py_NewRef(missing.get()));
      continue;
    }
    if (code[r] < 0 || code[r] >= count) return false;
    PyObject* cell = nullptr;
    for (const auto& [category, object] : made) {
      if (category == code[r]) cell = object.get();
    }
    if (cell == nullptr) {
      PyRef fresh = cells.cell(static_cast<std::size_t>(code[r]));
      if (!fresh) return false;
      cell = made.emplace_back(code[r], std::move(fresh)).second.get();
    }
    out.set(column, r, Py_NewRef(cell));
  }
  return true;
}

// A block of naive datetimes (a NumPy datetime64 dtype): each cell the text
// of its Timestamp, as a str, which is typed as the Timestamp's str() would
// be, without pandas making the Timestamps; false for a NaT, a year pandas
// writes otherwise, or a unit of several ticks, whose cells it then makes.
bool datetime_block_cells(const Block& block, Shape shape, ObjectValues& out) {
  if (!PyArray_DescrCheck(block.dtype.get()) ||
      reinterpret_cast<PyArray_Descr*>(block.dtype.get())->type_num != NPY_DATETIME) {
    return false;
  }
  PyRef stored = attribute(block.values.get(), "_ndarray");
  if (!stored || !PyArray_CheckExact(stored.get())) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(stored.get());
  if (PyArray_TYPE(array) != NPY_DATETIME || PyArray_NDIM(array) != 2 ||
      static_cast<std::size_t>(PyArray_DIM(array, 0)) != block.columns.size() ||
      static_cast<std::size_t>(PyArray_DIM(array, 1)) != shape.rows) {
    return false;
  }
  const int digits = datetime64_digits(stored.get());
  if (digits < 0) return false;
  std::string text;
  for (std::size_t k = 0; k < block.columns.size(); ++k) {
    for (std::size_t r = 0; r < shape.rows; ++r) {
      const npy_intp index[2] = {static_cast<npy_intp>(k), static_cast<npy_intp>(r)};
      std::int64_t ticks;
      std::memcpy(&ticks, PyArray_GetPtr(array, const_cast<npy_intp*>(index)), sizeof ticks);
      text.clear();
      if (ticks == NPY_DATETIME_NAT || !append_timestamp_text(text, ticks, digits, {})) {
        return false;
      }
      PyObject* cell =
          PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
      throw_if(cell == nullptr);
      out.set(static_cast<std::size_t>(block.columns[k]), r, cell);
    }
  }
  return true;
}

// Any block: its own get_values(object), a 2-D object array of one row per
// column.
bool asked_block_cells(const Block& block, Shape shape, ObjectValues& out) {
  PyRef object_dtype =
      PyRef::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_OBJECT)));
  throw_if(!object_dtype);
  PyRef cells = PyRef::steal(PyObject_CallMethodOneArg(block.block.get(), interned("get_values"),
                                                       object_dtype.get()));
  if (!cells) return not_readable();
  if (!PyArray_Check(cells.get())) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(cells.get());
  if (PyArray_NDIM(array) != 2 || PyArray_TYPE(array) != NPY_OBJECT ||
      static_cast<std::size_t>(PyArray_DIM(array, 0)) != block.columns.size() ||
      static_cast<std::size_t>(PyArray_DIM(array, 1)) != shape.rows) {
    return false;
  }
  for (std::size_t k = 0; k < block.columns.size(); ++k) {
    for (std::size_t r = 0; r < shape.rows; ++r) {
      const npy_intp index[2] = {static_cast<npy_intp>(k), static_cast<npy_intp>(r)};
      out.set(static_cast<std::size_t>(block.columns[k]), r,
              Py_NewRef(object_cell(array, index, 2)));
    }
  }
  return true;
}

// Makes `values` of a frame whose blocks are `blocks`, its common dtype
// object; null, with no exception set, when some block cannot give its cells.
PyRef block_values(std::vector<Block>& blocks, Shape shape) {
  ObjectValues out(shape);
  for (Block& block : blocks) {
    if (!read_block_layout(block)) return PyRef();
    for (npy_intp column : block.columns) {
      if (!out.claim(column)) return PyRef();
    }
    bool made = false;
    if (PyArray_CheckExact(block.values.get())) {
      made = numpy_block_cells(block, shape, out);
    } else if (type_named(block.dtype.get(), "StringDtype")) {
      made = string_block_cells(block, shape, out);
    } else if (type_named(block.dtype.get(), "CategoricalDtype")) {
      made = categorical_block_cells(block, shape, out);
    } else {
      made = datetime_block_cells(block, shape, out);
    }
    if (!made && !asked_block_cells(block, shape, out)) return PyRef();
  }
  if (!out.complete()) return PyRef();
  return out.transposed();
}

}  // namespace

FewRowRead few_row_source(PyObject* frame, Shape shape) {
  FewRowRead read;
  if (!is_exact_frame(frame)) return read;
  ensure_numpy_api();
  std::vector<Block> blocks;
  if (!read_blocks(frame, blocks)) {
    if (has_arrow_dtype_column(frame)) read.source = FewRowSource::kStorage;
    return read;
  }
  bool object = false;
  bool known = true;
  for (const Block& block : blocks) {
    switch (dtype_kind(block.dtype.get())) {
      case DtypeKind::kArrow:
        read.source = FewRowSource::kStorage;
        return read;
      case DtypeKind::kNumPyObject:
      case DtypeKind::kString:
        object = true;
        break;
      case DtypeKind::kKnown:
        break;
      case DtypeKind::kUnknown:
        known = false;
        break;
    }
  }
  // One block gives `values` without interleaving; blocks of other dtypes
  // may have a common dtype other than object.
  if (blocks.size() < 2 || !object || !known || shape.rows == 0) return read;
  if (PyRef values = block_values(blocks, shape)) {
    read.source = FewRowSource::kBlockValues;
    read.values = std::move(values);
  }
  return read;
}

}  // namespace colenc::py
