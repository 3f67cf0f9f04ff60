// prepare_table: recognition of the input (an Arrow table by its stream
// interface, anything else by its type's name), and the choice
// of a reader: for an array by its dtype and layout, for each DataFrame column
// by its storage, with the frame's `values` read as an array when some column
// has no reader of its own. The readers hand typed columns to the pipeline.
#include "python/input/prepare_table.hpp"

#include <unistd.h>

#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/engine/column_pipeline.hpp"
#include "core/engine/pool.hpp"
#include "core/internal_error.hpp"
#include "python/arrow/arrow_columns.hpp"
#include "python/arrow/arrow_stream.hpp"
#include "python/cells/str_sharing.hpp"
#include "python/input/copy_on_write.hpp"
#include "python/input/frame_column_storage.hpp"
#include "python/input/frame_labels.hpp"
#include "python/input/storage_lookup.hpp"
#include "python/input/table_shape.hpp"
#include "python/readers/array_float64_copy.hpp"
#include "python/readers/array_numeric.hpp"
#include "python/readers/array_objects_by_columns.hpp"
#include "python/readers/array_objects_by_rows.hpp"
#include "python/readers/array_subscription.hpp"
#include "python/readers/frame_arrow_str.hpp"
#include "python/readers/frame_block_values.hpp"
#include "python/readers/frame_distinct_values.hpp"
#include "python/readers/frame_object_columns.hpp"
#include "python/readers/frame_stored_columns.hpp"
#include "python/readers/frame_values.hpp"
#include "python/runtime/errors.hpp"
#include "python/runtime/interned.hpp"
#include "python/runtime/numpy_api.hpp"
#include "python/runtime/panic.hpp"
#include "python/runtime/py_ref.hpp"
#include "python/runtime/signal_check.hpp"

namespace colenc::py {
namespace {

enum class InputKind { kArray, kDataFrame, kArrowTable };

// Frames of at most this many rows are read as their `values` gives their
// cells (few_row_source), not by each column's storage.
constexpr std::size_t kFewRows = 4;

// Writes `text` to the process's standard output stream (file descriptor 1),
// bypassing Python's sys.stdout.
void write_stdout(std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(STDOUT_FILENO, text.data(), text.size());
    if (written <= 0) return;  // nothing sensible to do about a closed stdout
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

// Returns the __module__ of `obj`'s type, or "" when it has none that is a str.
std::string type_module(PyObject* obj) {
  PyRef module = get_attribute(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__module__");
  if (!module || !PyUnicode_Check(module.get())) {
    not_readable();
    return {};
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(module.get(), &size);
  throw_if(utf8 == nullptr);
  return std::string(utf8, static_cast<std::size_t>(size));
}

bool in_package(const std::string& module, std::string_view package) {
  return module == package || (module.size() > package.size() && module.starts_with(package) &&
                               module[package.size()] == '.');
}

// True when `obj` (borrowed) is a pandas object: of a type defined by pandas
// (a Series, an Index, ...) or an instance of pandas.DataFrame, subclasses
// included. pandas objects export Arrow streams too, but keep their own
// reading (or refusal) by name.
bool is_pandas_object(PyObject* obj) {
  if (in_package(type_module(obj), "pandas")) return true;
  PyRef module_name = PyRef::steal(PyUnicode_FromString("pandas"));
  throw_if(!module_name);
  PyRef pandas = PyRef::steal(PyImport_GetModule(module_name.get()));
  if (!pandas) {
    throw_if(PyErr_Occurred() != nullptr);
    return false;  // never imported: no object can be a DataFrame
  }
  PyRef frame_type = get_attribute(pandas.get(), "DataFrame");
  if (!frame_type) return not_readable();
  const int is_frame = PyObject_IsInstance(obj, frame_type.get());
  throw_if(is_frame < 0);
  return is_frame == 1;
}

// Writes the name of `obj`'s type to standard output and raises TypeError
// "Unsupported type: ...".
[[noreturn]] void refuse(PyObject* obj) {
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
  throw_if(!name);
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
  throw_if(utf8 == nullptr);
  write_stdout(std::string(utf8, static_cast<std::size_t>(size)) + "\n");
  PyErr_Format(PyExc_TypeError, "Unsupported type: '%U'. Supported types are: %s", name.get(),
               "numpy.ndarray, pandas.DataFrame");
  throw PythonError{};
}

// Names the kind of `obj`. An object that exports an Arrow stream is an
// Arrow table (a polars DataFrame among them, whatever its type's name),
// unless it is a pandas object; the rest is named by its type's __name__,
// and every other name is refused.
InputKind recognise(PyObject* obj) {
  if (!is_pandas_object(obj) && exports_arrow_stream(obj)) return InputKind::kArrowTable;
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
  throw_if(!name);
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
  throw_if(utf8 == nullptr);
  const std::string_view kind(utf8, static_cast<std::size_t>(size));
  if (kind == "ndarray" || kind == "memmap") return InputKind::kArray;
  if (kind == "DataFrame") return InputKind::kDataFrame;
  refuse(obj);
}

// Allocates the matrix buffer, refusing a table whose cell count or byte size
// cannot be addressed. Its cells are not cleared: a reader or the column
// driver writes every one of them, except those of columns left in place
// (decode), which are replaced whole before the result is returned. Its pages
// are not touched until then, after every cell has been read.
Matrix allocate_matrix(Shape shape) {
  constexpr std::size_t kMaxCells = std::numeric_limits<std::ptrdiff_t>::max() / sizeof(double);
  if (shape.rows != 0 && shape.cols > kMaxCells / shape.rows) {
    throw InternalError("table of " + std::to_string(shape.rows) + " by " +
                        std::to_string(shape.cols) + " cells is too large to address");
  }
  Matrix matrix;
  matrix.rows = shape.rows;
  matrix.cols = shape.cols;
  matrix.data = CellBuffer::uninitialized(shape.rows * shape.cols);
  return matrix;
}

// Reads an array (borrowed; a caller's ndarray or a frame's `values`) of
// `shape` into the pipeline, picking the reader by its dtype and layout.
// Only exactly numpy.ndarray is read from its buffer: subscription would
// return its stored object, or for a numeric dtype a scalar whose float() is
// the value. Anything else is subscripted cell by cell.
// Columns flagged in `numbers_kept` (null for none) stay numeric throughout.
void read_array(PyObject* source, Shape shape, std::span<double> matrix_buffer, MatrixOrder order,
                ColumnPipeline& pipeline, const std::vector<bool>* numbers_kept) {
  if (PyArray_API != nullptr && PyArray_CheckExact(source)) {
    auto* array = reinterpret_cast<PyArrayObject*>(source);
    const bool same_shape = PyArray_NDIM(array) == 2 &&
                            static_cast<std::size_t>(PyArray_DIM(array, 0)) == shape.rows &&
                            static_cast<std::size_t>(PyArray_DIM(array, 1)) == shape.cols;
    if (same_shape && PyArray_TYPE(array) == NPY_OBJECT) {
      if (objects_made_per_cell(array, shape.rows, shape.cols)) {
        read_objects_by_rows(array, shape, matrix_buffer, order, pipeline, numbers_kept);
      } else {
        read_objects_by_columns(array, shape, pipeline, numbers_kept);
      }
      return;
    }
    if (same_shape) {
      if (ColumnReader read = numeric_reader(PyArray_TYPE(array))) {
        return pipeline.submit(read_numeric_array(array, shape, read));
      }
    }
  }
  pipeline.submit(read_by_subscription(source, shape, numbers_kept));
}

// Reads object column j of a frame of `storage` and, side by side with it,
// as many of the later object columns as can be; returns the column before
// which every object column is read.
std::size_t read_objects_from(const std::vector<ColumnStorage>& storage, std::size_t j,
                              TypedColumns& columns, std::span<double> placed,
                              SignalCheck& signals) {
  std::vector<ObjectColumn> objects;
  for (std::size_t k = j; k < storage.size(); ++k) {
    if (storage[k].kind != StorageKind::kObjects) continue;
    objects.push_back({reinterpret_cast<PyArrayObject*>(storage[k].storage.get()), k});
  }
  const std::size_t read = read_object_columns(objects, columns, placed, signals);
  return read < objects.size() ? objects[read].j : storage.size();
}

// Reads an exact pandas.DataFrame (borrowed) column by column, each column by
// the reader of its storage, into typed columns handed to `pipeline`: each
// text column as soon as it is read, with the number columns before it, so
// that it is encoded, and its cells freed, while the next is read. NumPy
// numeric columns go straight into their runs of `placed`, the column-major
// matrix. Returns false, having handed over nothing, when `frame` is not
// exactly pandas.DataFrame or some column's storage cannot be read directly:
// the caller then reads `values`. Columns flagged in `keep_in_place` (one
// flag per column, or null) that are native float64 are not read:
// `in_place[j]` says where they lie. Columns flagged in `numbers_kept` (null
// for none) stay numeric throughout.
bool read_frame_columns(PyObject* frame, Shape shape, std::span<double> placed,
                        const std::vector<bool>* keep_in_place,
                        std::vector<InPlaceColumn>& in_place, ColumnPipeline& pipeline,
                        const std::vector<bool>* numbers_kept) {
  ensure_numpy_api();
  PyRef module_name = PyRef::steal(PyUnicode_FromString("pandas"));
  throw_if(!module_name);
  PyRef pandas = PyRef::steal(PyImport_GetModule(module_name.get()));
  if (!pandas) return not_readable();
  PyRef frame_type = get_attribute(pandas.get(), "DataFrame");
  if (!frame_type) return not_readable();
  // A subclass may change how its cells read; it goes through `values`.
  if (reinterpret_cast<PyObject*>(Py_TYPE(frame)) != frame_type.get()) return false;
  PyRef iloc = get_attribute(frame, "iloc");
  if (!iloc) return not_readable();

  std::vector<ColumnStorage> storage(shape.cols);
  std::vector<DistinctValuesColumn> distinct;
  // items() gives each column by position, as iloc[:, j] does, for less.
  PyRef items = call_method(frame, "items");
  if (!items) return not_readable();
  for (std::size_t j = 0; j < shape.cols; ++j) {
    PyRef item = PyRef::steal(PyIter_Next(items.get()));
    if (!item || !PyTuple_Check(item.get()) || PyTuple_GET_SIZE(item.get()) != 2) {
      return not_readable();
    }
    if (!find_column_storage(PyTuple_GET_ITEM(item.get(), 1), j, shape.rows, storage[j],
                             distinct)) {
      return false;
    }
  }
  if (placed.size() != shape.rows * shape.cols) {
    throw InternalError("matrix of " + std::to_string(placed.size()) + " cells for a frame of " +
                        std::to_string(shape.rows) + " x " + std::to_string(shape.cols));
  }
  TypedColumns columns(shape.rows, shape.cols);
  if (numbers_kept != nullptr) columns.numbers_kept = *numbers_kept;
  read_stored_columns(storage, distinct, columns, placed, keep_in_place, in_place);
  if (!type_distinct_values(iloc.get(), shape.cols, distinct)) return false;

  SignalCheck signals;
  std::size_t handed_over = 0;
  std::size_t objects_read_to = 0;  // object columns before it are read
  for (std::size_t j = 0; j < shape.cols; ++j) {
    const ColumnStorage& column = storage[j];
    switch (column.kind) {
      case StorageKind::kNumeric:
        break;  // read with the stored columns
      case StorageKind::kObjects:
        if (j >= objects_read_to)
          objects_read_to = read_objects_from(storage, j, columns, placed, signals);
        break;
      case StorageKind::kArrowText:
        read_arrow_str_column(column.arrow, column.missing.get(), j, columns, signals);
        break;
      case StorageKind::kDistinctValues:
        add_distinct_values(distinct[column.distinct], columns, placed);
        signals.tick_many(shape.rows);
        break;
    }
    if (columns.column_is_text[j]) {
      pipeline.submit(columns.split_off(handed_over, j + 1 - handed_over));
      handed_over = j + 1;
    }
  }
  if (handed_over < shape.cols) {
    pipeline.submit(columns.split_off(handed_over, shape.cols - handed_over));
  }
  return true;
}

// Returns the transform's fit applied to a table of `width` columns; raises
// ValueError (as PythonError) when a fitted text column lies beyond it.
AppliedFit read_fit(const TransformRead& transform, std::size_t width) {
  if (const auto beyond = text_column_beyond(transform.fit, width)) {
    PyErr_Format(PyExc_ValueError, "the fit's text column %zu lies beyond the table's %zu column%s",
                 *beyond, width, width == 1 ? "" : "s");
    throw PythonError{};
  }
  return apply_fit(transform.fit, width, transform.unknown);
}

// A transform's fit applied to a table of `width` columns, and which of its
// columns the fit holds as numbers; nothing when the call fits afresh.
struct TableFit {
  std::optional<AppliedFit> fit;
  std::vector<bool> numbers_kept;

  TableFit(const TransformRead* transform, std::size_t width) {
    if (transform == nullptr) return;
    fit = read_fit(*transform, width);
    numbers_kept.resize(width);
    for (std::size_t j = 0; j < width; ++j) numbers_kept[j] = fit->holds_numbers(j);
  }
  const AppliedFit* applied() const { return fit ? &*fit : nullptr; }
  const std::vector<bool>* kept() const { return fit ? &numbers_kept : nullptr; }
};

// The library of the result for an Arrow table: polars for an object of a
// polars type, pyarrow for any other.
ResultLibrary arrow_result_library(PyObject* obj) {
  return in_package(type_module(obj), "polars") ? ResultLibrary::kPolars : ResultLibrary::kPyArrow;
}

// Reads an Arrow table: its columns typed by their Arrow types, into a
// column-major matrix, as the result's columns are stored apart; coded with
// `transform`'s fit when it is set. An object whose stream is not a table (a
// polars Series) is refused as unsupported. The columns of `in_place` (null
// for none) that decode can read where they lie are not read.
PreparedTable prepare_arrow_table(PyObject* obj, const TransformRead* transform,
                                  const std::vector<std::size_t>* in_place) {
  PreparedTable table;
  table.result_library = arrow_result_library(obj);
  std::optional<ArrowTable> imported = import_arrow_table(obj);
  if (!imported) refuse(obj);
  ArrowTable& arrow = *imported;
  const Shape shape{arrow.rows, arrow.column_types.size()};
  const TableFit table_fit(transform, shape.cols);
  const std::optional<AppliedFit>& fit = table_fit.fit;
  table.matrix = allocate_matrix(shape);
  table.matrix.order = MatrixOrder::kColumnMajor;
  if (shape.rows == 0) {
    // As for any table without rows: every column is an empty number column.
    table.fitted_info = EncodingInfo();
  } else {
    ColumnPipeline pipeline(std::span<double>(table.matrix.data), shape.cols, table.matrix.order,
                            process_arena(), table_fit.applied());
    if (in_place != nullptr) table.arrow_in_place = in_place_codes(arrow, *in_place);
    read_arrow_columns(arrow, std::span<double>(table.matrix.data), pipeline, table_fit.kept(),
                       in_place != nullptr ? &table.arrow_in_place : nullptr);
    table.fitted_info = pipeline.finish();
    if (fit) {
      table.fitted_info.reset();
      table.unknown_cell = pipeline.first_unknown();
    }
  }
  table.column_names = std::move(arrow.column_names);
  return table;
}

}  // namespace

PreparedTable prepare_table(PyObject* obj, bool copy_float64,
                            const std::vector<std::size_t>* in_place,
                            const TransformRead* transform) {
  const InputKind kind = recognise(obj);
  if (kind == InputKind::kArrowTable) return prepare_arrow_table(obj, transform, in_place);
  PreparedTable table;
  if (kind == InputKind::kDataFrame) {
    table.column_names = read_column_labels(obj, &table.column_labels);
  } else {
    ensure_numpy_api();
    if (is_float64_matrix(obj)) {
      if (transform != nullptr) {
        // Its cells are numbers: copied as they are, then a fitted text
        // column's numbers coded as labels in the number format.
        table.matrix = copy_float64_matrix(obj);
        const Shape shape{table.matrix.rows, table.matrix.cols};
        const AppliedFit fit = read_fit(*transform, shape.cols);
        TypedColumns numbers(shape.rows, shape.cols);
        numbers.numbers_placed.assign(shape.cols, true);
        ColumnPipeline pipeline(std::span<double>(table.matrix.data), shape.cols,
                                table.matrix.order, process_arena(), &fit);
        pipeline.submit(std::move(numbers));
        pipeline.finish();
        table.unknown_cell = pipeline.first_unknown();
        return table;
      }
      if (copy_float64) {
        table.matrix = copy_float64_matrix(obj);
      } else {
        table.float64_array = obj;
      }
      return table;
    }
  }

  const Shape shape = read_shape(obj);
  const TableFit table_fit(transform, shape.cols);
  const std::optional<AppliedFit>& fit = table_fit.fit;
  const std::vector<bool>* kept = table_fit.kept();
  table.matrix = allocate_matrix(shape);
  // A DataFrame result stores its columns apart; its matrix is laid out so.
  if (kind == InputKind::kDataFrame) table.matrix.order = MatrixOrder::kColumnMajor;
  if (shape.rows == 0) {
    // No cell to read: every column is an empty number column and the fit is
    // empty, whatever the width, which then costs no storage per column. A
    // DataFrame's `values` is still read, as for any other DataFrame.
    if (kind == InputKind::kDataFrame) read_frame_values(obj);
    table.fitted_info = EncodingInfo();
    return table;
  }
  // Each group of columns is encoded while the next is read, and its cells
  // are freed as soon as its codes are in the matrix.
  ColumnPipeline pipeline(std::span<double>(table.matrix.data), shape.cols, table.matrix.order,
                          process_arena(), table_fit.applied());
  if (kind == InputKind::kDataFrame) {
    std::vector<bool> keep_in_place;
    if (in_place != nullptr) {
      // Where pandas copies on write, number columns are kept in place too: the result
      // shares them with the input as pandas shares columns between frames.
      keep_in_place.assign(shape.cols, pandas_copies_on_write());
      for (std::size_t j : *in_place) {
        if (j < shape.cols) keep_in_place[j] = true;
      }
      table.in_place.resize(shape.cols);
    }
    // A frame of a few rows costs more per column found in its storage than
    // per cell of its `values`, which types every cell alike (serving one row
    // at a time); its `values` is made from its blocks where that costs less
    // than pandas' own. Its Arrow columns are checked by their storage
    // readers alone. Decode, which reads codes where they lie, keeps the
    // columns.
    FewRowRead few_rows;
    if (shape.rows <= kFewRows && in_place == nullptr) {
      few_rows = few_row_source(obj, shape);
    } else {
      few_rows.source = FewRowSource::kStorage;
    }
    if (few_rows.source != FewRowSource::kStorage ||
        !read_frame_columns(obj, shape, std::span<double>(table.matrix.data),
                            in_place != nullptr ? &keep_in_place : nullptr, table.in_place,
                            pipeline, kept)) {
      table.in_place.clear();
      PyRef values = few_rows.source == FewRowSource::kBlockValues ? std::move(few_rows.values)
                                                                : read_frame_values(obj);
      read_array(values.get(), shape, std::span<double>(table.matrix.data), table.matrix.order,
                 pipeline, kept);
    }
  } else {
    read_array(obj, shape, std::span<double>(table.matrix.data), table.matrix.order, pipeline,
               kept);
  }
  table.fitted_info = pipeline.finish();
  if (fit) {
    table.fitted_info.reset();
    table.unknown_cell = pipeline.first_unknown();
  }
  return table;
}

}  // namespace colenc::py
