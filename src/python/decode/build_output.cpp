// build_output: the float64 matrix as an ndarray or a DataFrame, and, given an
// EncodingInfo, decode's result: the array form here, with the labels of each
// text column written in place of its codes; the frame form in decode_frame.
#include "python/decode/build_output.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

#include "core/internal_error.hpp"
#include "python/arrow/arrow_export.hpp"
#include "python/decode/cell_view.hpp"
#include "python/decode/column_decoder.hpp"
#include "python/decode/decode_frame.hpp"
#include "python/decode/result_labels.hpp"
#include "python/runtime/interned.hpp"
#include "python/runtime/numpy_api.hpp"
#include "python/runtime/panic.hpp"
#include "python/runtime/py_ref.hpp"
#include "python/runtime/signal_check.hpp"

namespace colenc::py {
namespace {

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
  PyRef array = PyRef::steal(
      PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_FLOAT64), 2, dims, nullptr,
                           cells_data, by_column ? NPY_ARRAY_FARRAY : NPY_ARRAY_CARRAY, nullptr));
  throw_if(!array);
  throw_if(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()),
                                 owner.release()) < 0);  // steals owner
  return array;
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
      decoders[column] = std::make_unique<ColumnDecoder>(column_labels(info, column), missing.get(),
                                                         matrix.rows, cache, column);
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
        const Code key = code_key(cell);
        value =
            key < tallies[c]->size() ? tallies[c]->take(key) : Py_NewRef(decoders[c]->decode(cell));
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
                   LabelStrCache* cache, ResultLibrary library, PyObject* column_labels,
                   const std::vector<InPlaceCodes>& arrow_in_place) {
  if (library != ResultLibrary::kNumPyPandas) {
    if (!column_names) throw InternalError("an Arrow result needs its column names");
    return build_arrow_output(*column_names, std::move(matrix), info, library, arrow_in_place);
  }
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
  PyRef names = result_columns(pandas.get(), *column_names, column_labels);
  throw_if(PyDict_SetItemString(kwargs.get(), "columns", names.get()) < 0);
  // The frame takes the array's columns as they are: a column-major matrix is
  // already the frame's own layout, so nothing is copied.
  throw_if(PyDict_SetItemString(kwargs.get(), "copy", Py_False) < 0);
  PyRef frame_type = get_attribute(pandas.get(), "DataFrame");
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
