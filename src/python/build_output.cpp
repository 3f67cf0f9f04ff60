// build_output: the float64 matrix as an ndarray or a DataFrame, and, given an
// EncodingInfo, the labels of each text column written in place of its codes.
// One Python str is made per distinct code of a column, and kept by the
// Encoder for the decodes that follow. A decoded frame shares the number
// columns that decode left in its input, copy-on-write.
#include "python/build_output.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

#include "core/internal_error.hpp"
#include "python/numpy_api.hpp"
#include "python/panic.hpp"
#include "python/py_ref.hpp"
#include "python/signal_check.hpp"

namespace colenc::py {
namespace {

// Read access to the matrix cells once they live in the result array, or in
// the caller's float64 array: byte strides, unaligned reads allowed.
struct CellView {
  std::size_t rows = 0;
  std::size_t cols = 0;
  const char* base = nullptr;
  std::ptrdiff_t row_stride = 0;
  std::ptrdiff_t col_stride = 0;
  double at(std::size_t r, std::size_t c) const {
    double value;
    std::memcpy(&value,
                base + static_cast<std::ptrdiff_t>(r) * row_stride +
                    static_cast<std::ptrdiff_t>(c) * col_stride,
                sizeof value);
    return value;
  }
};

void free_adopted_cells(PyObject* capsule) {
  delete static_cast<CellBuffer*>(PyCapsule_GetPointer(capsule, "colenc.cells"));
}

// Returns a new float64 ndarray over the cells of `matrix`, which it takes
// over: the buffer the column driver filled becomes the array's storage, in
// C order for a row-major matrix and in Fortran order for a column-major one.
PyRef adopt_as_array(Matrix&& matrix, CellView& view) {
  ensure_numpy_api();
  npy_intp dims[2] = {static_cast<npy_intp>(matrix.rows), static_cast<npy_intp>(matrix.cols)};
  view.rows = matrix.rows;
  view.cols = matrix.cols;
  const bool by_column = matrix.order == MatrixOrder::kColumnMajor;
  constexpr auto kCell = static_cast<std::ptrdiff_t>(sizeof(double));
  view.row_stride = by_column ? kCell : static_cast<std::ptrdiff_t>(matrix.cols) * kCell;
  view.col_stride = by_column ? static_cast<std::ptrdiff_t>(matrix.rows) * kCell : kCell;
  if (matrix.data.empty()) {
    PyRef empty = PyRef::steal(PyArray_SimpleNew(2, dims, NPY_FLOAT64));
    throw_if(!empty);
    return empty;
  }
  auto cells = std::make_unique<CellBuffer>(std::move(matrix.data));
  double* cells_data = cells->data();
  view.base = reinterpret_cast<const char*>(cells_data);
  PyRef owner = PyRef::steal(PyCapsule_New(cells.get(), "colenc.cells", free_adopted_cells));
  throw_if(!owner);
  cells.release();  // the capsule frees it now
  PyRef array = PyRef::steal(PyArray_NewFromDescr(
      &PyArray_Type, PyArray_DescrFromType(NPY_FLOAT64), 2, dims, nullptr,
      cells_data, by_column ? NPY_ARRAY_FARRAY : NPY_ARRAY_CARRAY, nullptr));
  throw_if(!array);
  throw_if(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()),
                                 owner.release()) < 0);  // steals owner
  return array;
}

// The lookup key of a non-NaN code cell: truncation toward zero, saturating at
// 0 and at 2**64 - 1.
Code code_key(double value) {
  if (!(value > 0.0)) return 0;
  if (value >= 18446744073709551616.0) return ~Code{0};
  return static_cast<Code>(value);
}

// Decodes one column's cells into Python objects: the label's str, or
// `missing` (borrowed) for NaN and for codes without a label. Each distinct
// code's str is made once and shared by its cells. Codes below the map's size
// (all of them, for a map the engine fitted) are looked up in a flat table of
// one str per code: the one the cache kept from an earlier decode, or one
// filled here, or, for few cells, one filled as codes turn up.
class ColumnDecoder {
 public:
  // `cells` is the number of cells to be decoded. When it is at least the
  // number of labels, most labels will be needed, and the table is filled at
  // once by walking the map in its own memory order: one sequential pass
  // instead of a random probe of a large map per distinct code. A table that
  // has a str for every code goes into `cache` (may be null) for `column`.
  ColumnDecoder(const CodeToLabel& labels, PyObject* missing, std::size_t cells,
                LabelStrCache* cache, std::size_t column)
      : labels_(labels), missing_(missing) {
    if (cache != nullptr) full_ = cache->find(column);
    if (full_) return;
    if (cells < labels.size()) {
      dense_.resize(labels.size());
      return;
    }
    auto table = std::make_shared<LabelStrs>(labels.size());
    for (const auto& [code, label] : labels) {
      if (code < table->size()) (*table)[code] = make_text(label);
    }
    // A stored map may skip codes: those decode as missing, which differs
    // between the array and the frame form, so such a table is not kept.
    bool every_code = true;
    for (PyRef& slot : *table) {
      if (slot) continue;
      slot = PyRef::borrow(missing_);
      every_code = false;
    }
    if (every_code && cache != nullptr) cache->keep(column, table);
    full_ = std::move(table);
  }

  // Returns the str (or `missing`) of every code below the map's size, or an
  // empty span while the table is filled as codes turn up; codes beyond it
  // are decoded by decode().
  std::span<const PyRef> full_table() const {
    if (!full_) return {};
    return *full_;
  }

  // Returns a borrowed reference valid while the decoder lives.
  PyObject* decode(double cell) {
    if (std::isnan(cell)) return missing_;
    const Code key = code_key(cell);
    if (full_ && key < full_->size()) return (*full_)[key].get();
    if (key < dense_.size()) {
      PyRef& slot = dense_[key];
      if (!slot) slot = make(key);
      return slot.get();
    }
    auto cached = sparse_.find(key);
    if (cached != sparse_.end()) return cached->second;
    // The str is owned by sparse_owned_, so that the table, whose slots are
    // moved as bytes, holds plain pointers.
    sparse_owned_.push_back(make(key));
    PyObject* text = sparse_owned_.back().get();
    sparse_.emplace(key, text);
    return text;
  }

 private:
  // Returns a new reference to the str of the code's label, or to missing_.
  PyRef make(Code key) {
    auto label = labels_.find(key);
    if (label == labels_.end()) return PyRef::borrow(missing_);
    return make_text(label->second);
  }

  // Returns a new reference to the str of `label`.
  static PyRef make_text(std::string_view label) {
    PyRef text = PyRef::steal(
        PyUnicode_DecodeUTF8(label.data(), static_cast<Py_ssize_t>(label.size()), "replace"));
    throw_if(!text);
    return text;
  }

  const CodeToLabel& labels_;
  PyObject* missing_;
  std::shared_ptr<const LabelStrs> full_;  // null while codes are decoded as they turn up
  std::vector<PyRef> dense_;               // null = not made yet
  HashMap<Code, PyObject*, KeyedHash> sparse_;  // borrowed from sparse_owned_
  std::vector<PyRef> sparse_owned_;
};

// The references that the cells of one column take to the labels of a full
// table: counted per code while the cells are filled, and each label's count
// added to its str at the end, in table order, so that the strs' own memory
// is touched once per label, in the order it was made, instead of once per
// cell at random: a column of a million labels keeps its counts in a
// megabyte that the caches hold, and not its strs. A count that reaches its
// limit is added at once. Until then the cells hold strs that the decoder's
// table keeps alive, in an array no other code can reach yet. The counts are
// added on every way out, an exception included, so that each label holds
// one reference per cell.
class LabelTally {
 public:
  explicit LabelTally(std::span<const PyRef> table) : table_(table), counts_(table.size(), 0) {}
  LabelTally(const LabelTally&) = delete;
  LabelTally& operator=(const LabelTally&) = delete;
  ~LabelTally() {
    for (std::size_t k = 0; k < counts_.size(); ++k) {
      if (counts_[k] != 0) add(k, counts_[k]);
    }
  }

  std::size_t size() const { return table_.size(); }

  // Returns the str of `key`, below size(), counting one reference.
  PyObject* take(Code key) {
    if (++counts_[key] == kMaxCount) {
      add(key, kMaxCount);
      counts_[key] = 0;
    }
    return table_[key].get();
  }

 private:
  static constexpr std::uint8_t kMaxCount = 255;

  void add(std::size_t key, Py_ssize_t count) const {
    PyObject* label = table_[key].get();
    // Leaves an immortal object (None, a one-character str) as it is.
    Py_SET_REFCNT(label, Py_REFCNT(label) + count);
  }

  std::span<const PyRef> table_;
  std::vector<std::uint8_t> counts_;
};

const CodeToLabel& column_labels(const EncodingInfo& info, std::size_t column) {
  auto found = info.code_to_label.find(column);
  if (found == info.code_to_label.end()) throw InternalError("no entry found for key");
  return found->second;
}

void check_column_in_matrix(const CellView& matrix, std::size_t column) {
  if (column >= matrix.cols) {
    throw InternalError("matrix index out of bounds: the matrix has " +
                        std::to_string(matrix.cols) + " columns but the column index is " +
                        std::to_string(column));
  }
}

// Array form with decoding: an object array whose text columns hold their
// labels' str (or "NaN") and whose other cells are Python floats. Every listed
// column is checked first, in list order, so that a stored record that does
// not fit the table fails before anything is made; then the array is filled
// row by row, in memory order.
PyRef decode_array(const CellView& matrix, const EncodingInfo& info, LabelStrCache* cache) {
  PyRef missing = PyRef::steal(PyUnicode_FromString("NaN"));
  throw_if(!missing);
  for (std::size_t column : info.string_columns) {
    column_labels(info, column);
    if (matrix.rows > 0) check_column_in_matrix(matrix, column);
  }
  std::vector<std::unique_ptr<ColumnDecoder>> decoders(matrix.cols);
  if (matrix.rows > 0) {
    for (std::size_t column : info.string_columns) {
      if (decoders[column]) continue;
      decoders[column] = std::make_unique<ColumnDecoder>(
          column_labels(info, column), missing.get(), matrix.rows, cache, column);
    }
  }
  npy_intp dims[2] = {static_cast<npy_intp>(matrix.rows), static_cast<npy_intp>(matrix.cols)};
  PyRef objects = PyRef::steal(PyArray_SimpleNew(2, dims, NPY_OBJECT));
  throw_if(!objects);
  // A fresh object array holds NULL pointers; every slot is filled below.
  PyObject** cells =
      static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(objects.get())));
  // Columns with a full table decode most cells by one lookup, without going
  // through their decoder.
  std::vector<std::unique_ptr<LabelTally>> tallies(matrix.cols);
  for (std::size_t c = 0; c < matrix.cols; ++c) {
    if (decoders[c] && !decoders[c]->full_table().empty()) {
      tallies[c] = std::make_unique<LabelTally>(decoders[c]->full_table());
    }
  }
  SignalCheck signals;
  for (std::size_t r = 0; r < matrix.rows; ++r) {
    signals.tick_many(matrix.cols);
    for (std::size_t c = 0; c < matrix.cols; ++c) {
      const double cell = matrix.at(r, c);
      PyObject* value;
      if (tallies[c]) {
        const Code key = std::isnan(cell) ? ~Code{0} : code_key(cell);
        value = key < tallies[c]->size() ? tallies[c]->take(key)
                                         : Py_NewRef(decoders[c]->decode(cell));
      } else if (decoders[c]) {
        value = Py_NewRef(decoders[c]->decode(cell));
      } else {
        value = PyFloat_FromDouble(cell);
      }
      throw_if(value == nullptr);
      cells[r * matrix.cols + c] = value;
    }
  }
  return objects;
}

// Returns a new list of str holding `names`.
PyRef names_list(const std::vector<std::string>& names) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
  throw_if(!list);
  for (std::size_t i = 0; i < names.size(); ++i) {
    PyObject* name = PyUnicode_DecodeUTF8(names[i].data(), static_cast<Py_ssize_t>(names[i].size()),
                                          "replace");
    throw_if(name == nullptr);
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), name);  // steals name
  }
  return list;
}

// Replaces column j of `frame` by `column` (both borrowed), by position.
void set_column(PyObject* frame, std::size_t j, PyObject* column) {
  PyRef done = PyRef::steal(
      PyObject_CallMethod(frame, "isetitem", "nO", static_cast<Py_ssize_t>(j), column));
  throw_if(!done);
}

// Puts each number column that decode left in place into `frame` as pandas
// shares a column between frames, re-indexed by the result's default index:
// the first write through either frame copies it, as it would copy any
// column that two frames share.
void share_number_columns(PyObject* frame, const EncodingInfo& info,
                          const std::vector<InPlaceColumn>& in_place) {
  std::vector<bool> decoded(in_place.size(), false);
  for (std::size_t column : info.string_columns) {
    if (column < decoded.size()) decoded[column] = true;
  }
  PyRef no_args = PyRef::steal(PyTuple_New(0));
  throw_if(!no_args);
  PyRef drop = PyRef::steal(Py_BuildValue("{s:O}", "drop", Py_True));
  throw_if(!drop);
  for (std::size_t j = 0; j < in_place.size(); ++j) {
    if (!in_place[j].series || decoded[j]) continue;
    PyRef reset = PyRef::steal(PyObject_GetAttrString(in_place[j].series.get(), "reset_index"));
    throw_if(!reset);
    PyRef shared = PyRef::steal(PyObject_Call(reset.get(), no_args.get(), drop.get()));
    throw_if(!shared);
    set_column(frame, j, shared.get());
  }
}

// DataFrame form with decoding. Each text column is replaced by position, so
// columns that share a label each receive their own labels.
void decode_frame(PyObject* pandas, PyObject* frame, const CellView& matrix,
                  const std::vector<std::string>& names, const EncodingInfo& info,
                  const std::vector<InPlaceColumn>& in_place, LabelStrCache* cache) {
  PyRef series_type = PyRef::steal(PyObject_GetAttrString(pandas, "Series"));
  throw_if(!series_type);
  PyRef kwargs = PyRef::steal(Py_BuildValue("{s:s,s:O}", "dtype", "object", "copy", Py_False));
  throw_if(!kwargs);
  for (std::size_t column : info.string_columns) {
    const CodeToLabel& labels = column_labels(info, column);
    if (matrix.rows > 0) check_column_in_matrix(matrix, column);
    ColumnDecoder decoder(labels, Py_None, matrix.rows, cache, column);
    npy_intp dims[1] = {static_cast<npy_intp>(matrix.rows)};
    PyRef values = PyRef::steal(PyArray_SimpleNew(1, dims, NPY_OBJECT));
    throw_if(!values);
    // A fresh object array holds NULL pointers; every slot is filled below.
    PyObject** cells = static_cast<PyObject**>(
        PyArray_DATA(reinterpret_cast<PyArrayObject*>(values.get())));
    SignalCheck signals;
    // With a full table, most cells are decoded by one lookup in it.
    const std::span<const PyRef> table = decoder.full_table();
    const auto fill = [&](const auto& code_at) {
      const std::size_t rows = matrix.rows;
      if (!table.empty()) {
        LabelTally tally(table);
        for (std::size_t r = 0; r < rows; ++r) {
          signals.tick();
          const double cell = code_at(r);
          const Code key = std::isnan(cell) ? ~Code{0} : code_key(cell);
          cells[r] = key < table.size() ? tally.take(key) : Py_NewRef(decoder.decode(cell));
        }
        return;
      }
      for (std::size_t r = 0; r < rows; ++r) {
        signals.tick();
        cells[r] = Py_NewRef(decoder.decode(code_at(r)));
      }
    };
    if (column < in_place.size() && in_place[column].array) {
      const InPlaceColumn& codes = in_place[column];
      fill([&](std::size_t r) { return codes.at(r); });
    } else {
      fill([&](std::size_t r) { return matrix.at(r, column); });
    }
    if (column >= names.size()) {
      throw InternalError("index out of bounds: the len is " + std::to_string(names.size()) +
                          " but the index is " + std::to_string(column));
    }
    PyRef args = PyRef::steal(PyTuple_Pack(1, values.get()));
    throw_if(!args);
    // The fresh array is the Series' storage; nothing else refers to it.
    PyRef series = PyRef::steal(PyObject_Call(series_type.get(), args.get(), kwargs.get()));
    throw_if(!series);
    set_column(frame, column, series.get());
  }
  share_number_columns(frame, info, in_place);
}

}  // namespace

PyRef decode_float64_array(PyObject* array, const EncodingInfo& info, LabelStrCache* cache) {
  ensure_numpy_api();
  // Held while its cells are read: code run meanwhile (a finalizer, a signal
  // handler) cannot free it, and an ndarray's buffer cannot be swapped.
  PyRef keep = PyRef::borrow(array);
  auto* source = reinterpret_cast<PyArrayObject*>(array);
  CellView cells;
  cells.rows = static_cast<std::size_t>(PyArray_DIM(source, 0));
  cells.cols = static_cast<std::size_t>(PyArray_DIM(source, 1));
  cells.base = PyArray_BYTES(source);
  cells.row_stride = PyArray_STRIDE(source, 0);
  cells.col_stride = PyArray_STRIDE(source, 1);
  return decode_array(cells, info, cache);
}

PyRef build_output(const std::optional<std::vector<std::string>>& column_names, Matrix matrix,
                   const EncodingInfo* info, const std::vector<InPlaceColumn>& in_place,
                   LabelStrCache* cache) {
  CellView cells;
  if (!column_names) {
    if (matrix.order != MatrixOrder::kRowMajor) {
      throw InternalError("an array result needs a row-major matrix");
    }
    PyRef floats = adopt_as_array(std::move(matrix), cells);
    if (info == nullptr) return floats;
    return decode_array(cells, *info, cache);
  }
  PyRef pandas = PyRef::steal(PyImport_ImportModule("pandas"));
  throw_if(!pandas);
  PyRef kwargs = PyRef::steal(PyDict_New());
  throw_if(!kwargs);
  PyRef names = names_list(*column_names);
  throw_if(PyDict_SetItemString(kwargs.get(), "columns", names.get()) < 0);
  // The frame takes the array's columns as they are: a column-major matrix is
  // already the frame's own layout, so nothing is copied.
  throw_if(PyDict_SetItemString(kwargs.get(), "copy", Py_False) < 0);
  PyRef frame_type = PyRef::steal(PyObject_GetAttrString(pandas.get(), "DataFrame"));
  throw_if(!frame_type);
  // The array stays alive until the end: decoding reads the codes from it.
  PyRef floats = adopt_as_array(std::move(matrix), cells);
  PyRef args = PyRef::steal(PyTuple_Pack(1, floats.get()));
  throw_if(!args);
  PyRef frame = PyRef::steal(PyObject_Call(frame_type.get(), args.get(), kwargs.get()));
  throw_if(!frame);
  if (info != nullptr) {
    decode_frame(pandas.get(), frame.get(), cells, *column_names, *info, in_place, cache);
  }
  return frame;
}

}  // namespace colenc::py
