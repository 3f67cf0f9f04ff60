// The DataFrame scan: each column is taken by position and read from its own
// storage. NumPy-backed numeric columns are converted in C++, object columns
// and pandas' Python-backed strings are read by element pointer, and
// Arrow-backed strings straight from their Arrow buffers. Every cell goes
// through the same typing as a cell of `values` would.
#include "python/frame_scan.hpp"

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/internal_error.hpp"
#include "core/pool.hpp"
#include "python/arrow_c_abi.hpp"
#include "python/cell_reading.hpp"
#include "python/distinct_values_scan.hpp"
#include "python/errors.hpp"
#include "python/numpy_api.hpp"
#include "python/panic.hpp"
#include "python/py_ref.hpp"
#include "python/storage_lookup.hpp"
#include "python/tall_object_column.hpp"

namespace colenc::py {
namespace {

enum class StorageKind { kNumeric, kObjects, kArrowText, kDistinctValues };

// One column's storage, as found before any cell is read.
struct ColumnStorage {
  StorageKind kind = StorageKind::kObjects;
  PyRef storage;                 // a 1-D ndarray, or the capsule of an Arrow stream
  ColumnReader read = nullptr;  // kNumeric
  PyRef missing;                 // kArrowText: the object that a null cell stands for
  std::size_t distinct = 0;      // kDistinctValues: its place among those columns
};

// Owns an Arrow struct and releases it, as the interface requires.
template <class T>
struct ArrowOwned {
  T value{};
  ArrowOwned() = default;
  ArrowOwned(const ArrowOwned&) = delete;
  ArrowOwned& operator=(const ArrowOwned&) = delete;
  ~ArrowOwned() {
    if (value.release != nullptr) value.release(&value);
  }
};

// One array of an Arrow stream, released with it, and where its offsets can
// be read: in place, or in an aligned copy when its offset buffer does not
// lie at an address aligned for them, as after a trip through a pickle.
struct ArrowChunk {
  ArrowOwned<ArrowArray> owned;
  const void* offsets = nullptr;
  std::vector<std::int64_t> aligned;  // the copy, when one was needed

  // Sets `offsets` for offsets of `width` bytes (4 or 8).
  void align_offsets(std::size_t width) {
    const ArrowArray& array = owned.value;
    offsets = array.n_buffers == 3 ? array.buffers[1] : nullptr;
    if (offsets == nullptr || reinterpret_cast<std::uintptr_t>(offsets) % width == 0 ||
        array.offset < 0 || array.length < 0) {
      return;
    }
    const auto bytes = static_cast<std::size_t>(array.offset + array.length + 1) * width;
    aligned.resize((bytes + sizeof(std::int64_t) - 1) / sizeof(std::int64_t));
    std::memcpy(aligned.data(), offsets, bytes);
    offsets = aligned.data();
  }
};

// Takes a NumPy-backed column: numeric dtypes and object.
bool find_numpy_storage(PyObject* series, std::size_t rows, ColumnStorage& out) {
  PyRef values = PyRef::steal(PyObject_CallMethod(series, "to_numpy", nullptr));
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
bool find_string_storage(PyObject* array, PyObject* dtype, std::size_t rows, ColumnStorage& out) {
  PyRef storage_name = PyRef::steal(PyObject_GetAttrString(dtype, "storage"));
  PyRef missing = PyRef::steal(PyObject_GetAttrString(dtype, "na_value"));
  if (!storage_name || !missing) return not_readable();
  if (text_equals(storage_name.get(), "python")) {
    PyRef kwargs = PyRef::steal(Py_BuildValue("{s:s}", "dtype", "object"));
    PyRef method = PyRef::steal(PyObject_GetAttrString(array, "to_numpy"));
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
  PyRef chunked = PyRef::steal(PyObject_CallMethod(array, "__arrow_array__", nullptr));
  if (!chunked) return not_readable();
  PyRef capsule = PyRef::steal(PyObject_CallMethod(chunked.get(), "__arrow_c_stream__", nullptr));
  if (!capsule || !PyCapsule_IsValid(capsule.get(), "arrow_array_stream")) return not_readable();
  auto* stream = static_cast<ArrowArrayStream*>(
      PyCapsule_GetPointer(capsule.get(), "arrow_array_stream"));
  ArrowOwned<ArrowSchema> schema;
  if (stream->get_schema(stream, &schema.value) != 0 || schema.value.format == nullptr) {
    return false;
  }
  const std::string_view format(schema.value.format);
  if (format != "u" && format != "U") return false;  // utf8 or large_utf8 only
  out.kind = StorageKind::kArrowText;
  out.storage = std::move(capsule);
  out.missing = std::move(missing);
  return true;
}

// Finds the storage of column j; false when it cannot be read directly.
// Columns read by their distinct values are factorized into `distinct`.
bool find_storage(PyObject* iloc, std::size_t j, std::size_t rows, ColumnStorage& out,
                  std::vector<DistinctValuesColumn>& distinct) {
  PyRef key = PyRef::steal(Py_BuildValue("(Nn)", PySlice_New(nullptr, nullptr, nullptr),
                                         static_cast<Py_ssize_t>(j)));
  if (!key) return not_readable();
  PyRef series = PyRef::steal(PyObject_GetItem(iloc, key.get()));
  if (!series) return not_readable();
  PyRef dtype = PyRef::steal(PyObject_GetAttrString(series.get(), "dtype"));
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
  if (PyArray_DescrCheck(dtype.get())) {
    return find_numpy_storage(series.get(), rows, out) || by_distinct_values({});
  }
  PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(dtype.get())));
  if (!type_name) return not_readable();
  Py_ssize_t size = 0;
  const char* name = PyUnicode_AsUTF8AndSize(type_name.get(), &size);
  if (name == nullptr) return not_readable();
  const std::string_view dtype_name(name, static_cast<std::size_t>(size));
  if (dtype_name != "StringDtype") return by_distinct_values(dtype_name);
  PyRef array = PyRef::steal(PyObject_GetAttrString(series.get(), "array"));
  if (!array) return not_readable();
  return find_string_storage(array.get(), dtype.get(), rows, out);
}

// Reads a numeric column: straight into its run of the column-major matrix
// when there is one (`placed` holds row_count x column_count cells), else into
// its number vector.
void scan_numeric_column(PyArrayObject* array, ColumnReader read, std::size_t j,
                         TypedColumns& columns, std::span<double> placed) {
  read(PyArray_BYTES(array), PyArray_STRIDE(array, 0), PyArray_ISBYTESWAPPED(array),
       columns.row_count, columns.number_run(j, placed));
}

void scan_object_column(PyArrayObject* array, std::size_t j, TypedColumns& columns,
                        std::span<double> placed, SignalCheck& signals) {
  // A tall column is read in row ranges on the pool, unless its texts come
  // from a vocabulary of shared objects: one thread reading those by object
  // id is quicker than every thread hashing their texts.
  if (!placed.empty() && columns.row_count >= 2 * kTallColumnRows &&
      process_arena().max_concurrency() > 1) {
    const StrRepeats repeats = column_str_repeats(array, 1, 0, columns.row_count);
    if (!repeats.objects_shared) {
      scan_tall_object_column(array, j, columns, placed.data() + j * columns.row_count,
                              repeats.texts_distinct, signals);
      return;
    }
  }
  const bool shared = column_shares_str_objects(array, 1, 0, columns.row_count);
  columns.number_cells[j].reserve(columns.row_count);
  RepeatedStrs repeats(j, columns, shared);
  for (std::size_t i = 0; i < columns.row_count; ++i) {
    // A table made row by row keeps a column's objects apart in memory:
    // the object of a later row is asked for early. Shared objects are few
    // and stay in the caches.
    if (!shared && i + kObjectsAhead < columns.row_count) {
      const npy_intp ahead[1] = {static_cast<npy_intp>(i + kObjectsAhead)};
      if (PyObject* later = object_cell(array, ahead, 1)) __builtin_prefetch(later);
    }
    const npy_intp index[1] = {static_cast<npy_intp>(i)};
    PyObject* cell = object_cell(array, index, 1);
    if (cell == nullptr) {
      throw InternalError("failed to read cell (" + std::to_string(i) + ", " + std::to_string(j) +
                          "): the column changed during the scan");
    }
    repeats.file(cell, j, columns);
    signals.tick();
  }
}

// Reads an Arrow utf8 / large_utf8 stream: a valid cell is a str, which never
// converts to float, so it turns the column and adds its bytes; a null cell is
// the dtype's missing-value object and goes through the ordinary typing.
template <class Offset>
void scan_arrow_chunk(const ArrowArray& chunk, const void* offset_buffer, PyObject* missing,
                      std::size_t j, TypedColumns& columns, std::size_t& row,
                      SignalCheck& signals) {
  if (chunk.n_buffers != 3 || chunk.length < 0 || chunk.offset < 0) {
    throw InternalError("failed to read column " + std::to_string(j) + ": unexpected Arrow layout");
  }
  const auto* validity = static_cast<const std::uint8_t*>(chunk.buffers[0]);
  const auto* offsets = static_cast<const Offset*>(offset_buffer);
  const auto* data = static_cast<const char*>(chunk.buffers[2]);
  if (static_cast<std::uint64_t>(chunk.length) > columns.row_count - row) {
    throw InternalError("failed to read column " + std::to_string(j) +
                        ": more cells than the table has rows");
  }
  const auto is_valid = [&](std::int64_t at) {
    return chunk.null_count == 0 || validity == nullptr || ((validity[at >> 3] >> (at & 7)) & 1) != 0;
  };
  // Runs of valid cells are appended at once; a null cell goes through the
  // ordinary typing one by one.
  std::int64_t k = 0;
  while (k < chunk.length) {
    const std::int64_t at = chunk.offset + k;
    if (!is_valid(at)) {
      take_cell(missing, j, columns);
      signals.tick();
      ++k;
      ++row;
      continue;
    }
    std::int64_t end = k + 1;
    while (end < chunk.length && is_valid(chunk.offset + end)) ++end;
    if (!columns.column_is_text[j]) columns.turn_to_text(j);
    const auto count = static_cast<std::size_t>(end - k);
    columns.text_cells[j].append_run(data, offsets + at, count);
    signals.tick_many(count);
    row += count;
    k = end;
  }
}

// Returns the first row whose bit (bit_offset + row) is set in `validity`,
// or nothing when all `rows` rows are null.
std::optional<std::size_t> first_valid_row(const std::uint8_t* validity, std::int64_t bit_offset,
                                           std::size_t rows) {
  for (std::size_t row = 0; row < rows; ++row) {
    const auto bit = static_cast<std::uint64_t>(bit_offset) + row;
    if ((bit & 7) == 0 && validity[bit >> 3] == 0) {
      row += 7;  // a whole byte of nulls
      continue;
    }
    if (((validity[bit >> 3] >> (bit & 7)) & 1) != 0) return row;
  }
  return std::nullopt;
}

// Returns the texts that the ordinary typing gives a null cell whose object is
// `missing`: before the column's first text (where it is typed first, as a
// number when it reads as one, and written as text when the column turns) and
// after it. Both come from the same typing as any other cell.
TextColumn::BorrowedNulls null_cell_texts(PyObject* missing) {
  TypedColumns before(1, 1);
  take_cell(missing, 0, before);
  if (!before.column_is_text[0]) before.turn_to_text(0);
  TypedColumns after(1, 1);
  after.turn_to_text(0);
  take_cell(missing, 0, after);
  TextColumn::BorrowedNulls nulls;
  nulls.before = std::string(before.text_cells[0][0]);
  nulls.after = std::string(after.text_cells[0][0]);
  return nulls;
}

void scan_arrow_column(const ColumnStorage& column, std::size_t j, TypedColumns& columns,
                       SignalCheck& signals) {
  auto* stream = static_cast<ArrowArrayStream*>(
      PyCapsule_GetPointer(column.storage.get(), "arrow_array_stream"));
  if (stream == nullptr) throw PythonError{};
  ArrowOwned<ArrowSchema> schema;
  if (stream->get_schema(stream, &schema.value) != 0) {
    throw InternalError("failed to read column " + std::to_string(j) + ": no Arrow schema");
  }
  const bool large = std::string_view(schema.value.format) == "U";
  // Every chunk first: the stream's arrays stay where they are either way.
  std::vector<std::shared_ptr<ArrowChunk>> chunks;
  for (;;) {
    auto chunk = std::make_shared<ArrowChunk>();
    if (stream->get_next(stream, &chunk->owned.value) != 0) {
      const char* why = stream->get_last_error ? stream->get_last_error(stream) : nullptr;
      throw InternalError("failed to read column " + std::to_string(j) + ": " +
                          (why ? why : "Arrow stream error"));
    }
    if (chunk->owned.value.release == nullptr) break;  // end of stream
    chunk->align_offsets(large ? sizeof(std::int64_t) : sizeof(std::int32_t));
    chunks.push_back(std::move(chunk));
  }
  // One large_utf8 array holding every row with at least one valid cell: the
  // column is text from its first valid row (a str never reads as a number),
  // and its texts are read where they lie, the array kept alive by the
  // column. Null rows stand for the texts the ordinary typing gives them.
  if (chunks.size() == 1 && large) {
    const ArrowArray& only = chunks[0]->owned.value;
    const bool whole = only.n_buffers == 3 && only.offset >= 0 &&
                       static_cast<std::uint64_t>(only.length) == columns.row_count;
    const auto* validity =
        whole ? static_cast<const std::uint8_t*>(only.buffers[0]) : nullptr;
    TextColumn::BorrowedNulls nulls;
    bool readable = whole;
    if (whole && only.null_count != 0 && validity != nullptr) {
      const std::optional<std::size_t> first =
          first_valid_row(validity, only.offset, columns.row_count);
      readable = first.has_value();  // a column of nulls only is typed cell by cell
      if (readable) {
        nulls = null_cell_texts(column.missing.get());
        nulls.validity = validity;
        nulls.bit_offset = only.offset;
        nulls.first_valid = *first;
      }
    }
    if (readable) {
      columns.borrow_texts(j, static_cast<const char*>(only.buffers[2]),
                           static_cast<const std::int64_t*>(chunks[0]->offsets) + only.offset,
                           columns.row_count, chunks[0], nulls);
      signals.tick_many(columns.row_count);
      return;
    }
  }
  std::size_t row = 0;
  for (const auto& chunk : chunks) {
    if (large) {
      scan_arrow_chunk<std::int64_t>(chunk->owned.value, chunk->offsets, column.missing.get(), j,
                                     columns, row, signals);
    } else {
      scan_arrow_chunk<std::int32_t>(chunk->owned.value, chunk->offsets, column.missing.get(), j,
                                     columns, row, signals);
    }
  }
  if (row != columns.row_count) {
    throw InternalError("failed to read column " + std::to_string(j) + ": " + std::to_string(row) +
                        " cells for " + std::to_string(columns.row_count) + " rows");
  }
}

}  // namespace

std::optional<TypedColumns> scan_frame_columns(PyObject* frame, Shape shape,
                                               std::span<double> placed,
                                               const std::vector<bool>* leave,
                                               std::vector<InPlaceColumn>* left) {
  ensure_numpy_api();
  PyRef module_name = PyRef::steal(PyUnicode_FromString("pandas"));
  throw_if(!module_name);
  PyRef pandas = PyRef::steal(PyImport_GetModule(module_name.get()));
  if (!pandas) return not_readable(), std::nullopt;
  PyRef frame_type = PyRef::steal(PyObject_GetAttrString(pandas.get(), "DataFrame"));
  if (!frame_type) return not_readable(), std::nullopt;
  // A subclass may change how its cells read; it goes through `values`.
  if (reinterpret_cast<PyObject*>(Py_TYPE(frame)) != frame_type.get()) return std::nullopt;
  PyRef iloc = PyRef::steal(PyObject_GetAttrString(frame, "iloc"));
  if (!iloc) return not_readable(), std::nullopt;

  std::vector<ColumnStorage> storage(shape.cols);
  std::vector<DistinctValuesColumn> distinct;
  for (std::size_t j = 0; j < shape.cols; ++j) {
    if (!find_storage(iloc.get(), j, shape.rows, storage[j], distinct)) return std::nullopt;
  }
  if (!type_distinct_values(iloc.get(), shape.cols, distinct)) return std::nullopt;

  if (!placed.empty() && placed.size() != shape.rows * shape.cols) {
    throw InternalError("matrix of " + std::to_string(placed.size()) + " cells for a frame of " +
                        std::to_string(shape.rows) + " x " + std::to_string(shape.cols));
  }
  TypedColumns columns(shape.rows, shape.cols);
  SignalCheck signals;
  for (std::size_t j = 0; j < shape.cols; ++j) {
    const ColumnStorage& column = storage[j];
    auto* array = reinterpret_cast<PyArrayObject*>(column.storage.get());
    switch (column.kind) {
      case StorageKind::kNumeric:
        if (!placed.empty() && leave != nullptr && (*leave)[j] &&
            PyArray_TYPE(array) == NPY_DOUBLE && !PyArray_ISBYTESWAPPED(array)) {
          columns.numbers_placed[j] = true;
          (*left)[j] = InPlaceColumn{PyRef::borrow(column.storage.get()), PyArray_BYTES(array),
                                     PyArray_STRIDE(array, 0)};
          break;
        }
        scan_numeric_column(array, column.read, j, columns, placed);
        break;
      case StorageKind::kObjects:
        scan_object_column(array, j, columns, placed, signals);
        break;
      case StorageKind::kArrowText:
        scan_arrow_column(column, j, columns, signals);
        break;
      case StorageKind::kDistinctValues:
        file_distinct_values(distinct[column.distinct], columns, placed);
        signals.tick_many(shape.rows);
        break;
    }
  }
  return columns;
}

}  // namespace colenc::py
