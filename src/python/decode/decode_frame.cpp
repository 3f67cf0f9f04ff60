#include "python/decode/decode_frame.hpp"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include <oneapi/tbb/blocked_range.h>

#include "core/internal_error.hpp"
#include "core/engine/pool.hpp"
#include "python/decode/column_decoder.hpp"
#include "python/runtime/numpy_api.hpp"
#include "python/runtime/panic.hpp"
#include "python/runtime/py_ref.hpp"
#include "python/runtime/signal_check.hpp"

namespace colenc::py {
namespace {

// Rows of one column that a task fills at least, and at least as many as the
// column has labels, so that the tasks' counts take no more than a byte a
// cell.
constexpr std::size_t kFillGrainRows = std::size_t{1} << 16;
// Cells the pool fills between two looks for Ctrl-C, made while its workers
// stand still.
constexpr std::size_t kFillBatchCells = std::size_t{1} << 22;

// One text column of the result while it is decoded: its decoder, the new
// object array of its labels, and where its codes lie.
struct DecodedColumn {
  std::size_t column = 0;
  std::unique_ptr<ColumnDecoder> decoder;
  PyRef values;
  PyObject** cells = nullptr;
  ColumnView codes;
};

// Rows [begin, end) of a column with a full table, filled by a pool task.
// The task touches no Python object: it writes the str pointers of the
// table, counts their references, and leaves NaN and codes beyond the table
// (NULL for now) to the calling thread, as rows in `caller_rows`.
struct FillTask {
  DecodedColumn* target = nullptr;
  std::size_t begin = 0;
  std::size_t end = 0;
  std::unique_ptr<LabelTally> tally;
  std::vector<std::size_t> caller_rows;

  void run() {
    PyObject** cells = target->cells;
    const ColumnView codes = target->codes;
    LabelTally& counts = *tally;
    const std::size_t size = counts.size();
    for (std::size_t r = begin; r < end; ++r) {
      const Code key = code_key(codes.at(r));
      if (key < size) {
        cells[r] = counts.take(key);
      } else {
        cells[r] = nullptr;
        caller_rows.push_back(r);
      }
    }
  }
};

// Fills the cells of every column. Columns with a full table are cut into
// tasks, run on the pool in batches with a look for Ctrl-C between them;
// while a batch runs, the calling thread runs no Python code, and so nothing
// changes the codes the tasks read. The other columns, and the cells the
// tasks left, are decoded on the calling thread.
void fill_columns(std::vector<DecodedColumn>& columns, std::size_t rows, SignalCheck& signals) {
  std::vector<FillTask> tasks;
  for (DecodedColumn& column : columns) {
    const std::span<const PyRef> table = column.decoder->full_table();
    if (table.empty()) {
      for (std::size_t r = 0; r < rows; ++r) {
        signals.tick();
        column.cells[r] = Py_NewRef(column.decoder->decode(column.codes.at(r)));
      }
      continue;
    }
    const std::size_t step = std::max(kFillGrainRows, table.size());
    for (std::size_t begin = 0; begin < rows; begin += step) {
      FillTask& task = tasks.emplace_back();
      task.target = &column;
      task.begin = begin;
      task.end = std::min(rows, begin + step);
      task.tally = std::make_unique<LabelTally>(table);
    }
  }
  tbb::task_arena& arena = process_arena();
  for (std::size_t first = 0; first < tasks.size();) {
    std::size_t last = first;
    std::size_t cells = 0;
    while (last < tasks.size() && cells < kFillBatchCells) {
      cells += tasks[last].end - tasks[last].begin;
      ++last;
    }
    pool_execute(arena, [&] {
      pool_for(tbb::blocked_range<std::size_t>(first, last, 1),
               [&](const tbb::blocked_range<std::size_t>& range) {
                 for (std::size_t t = range.begin(); t < range.end(); ++t) tasks[t].run();
               });
    });
    signals.tick_many(cells);
    first = last;
  }
  for (FillTask& task : tasks) {
    for (std::size_t r : task.caller_rows) {
      task.target->cells[r] = Py_NewRef(task.target->decoder->decode(task.target->codes.at(r)));
    }
    signals.tick_many(task.caller_rows.size());
  }
  // The tasks die here, on the calling thread, before any column: each tally
  // adds its counts before an array that holds its cells could be freed.
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


}  // namespace

void decode_frame(PyObject* pandas, PyObject* frame, const CellView& matrix,
                  const std::vector<std::string>& names, const EncodingInfo& info,
                  const std::vector<InPlaceColumn>& in_place, LabelStrCache* cache) {
  PyRef series_type = PyRef::steal(PyObject_GetAttrString(pandas, "Series"));
  throw_if(!series_type);
  PyRef kwargs = PyRef::steal(Py_BuildValue("{s:s,s:O}", "dtype", "object", "copy", Py_False));
  throw_if(!kwargs);
  std::vector<DecodedColumn> columns;
  columns.reserve(info.string_columns.size());
  for (std::size_t column : info.string_columns) {
    const CodeToLabel& labels = column_labels(info, column);
    if (matrix.rows > 0) check_column_in_matrix(matrix, column);
    if (column >= names.size()) {
      throw InternalError("index out of bounds: the len is " + std::to_string(names.size()) +
                          " but the index is " + std::to_string(column));
    }
    DecodedColumn& decoded = columns.emplace_back();
    decoded.column = column;
    decoded.decoder = std::make_unique<ColumnDecoder>(labels, Py_None, matrix.rows, cache, column);
    npy_intp dims[1] = {static_cast<npy_intp>(matrix.rows)};
    decoded.values = PyRef::steal(PyArray_SimpleNew(1, dims, NPY_OBJECT));
    throw_if(!decoded.values);
    // A fresh object array holds NULL pointers until its cells are filled.
    decoded.cells = static_cast<PyObject**>(
        PyArray_DATA(reinterpret_cast<PyArrayObject*>(decoded.values.get())));
    if (column < in_place.size() && in_place[column].array) {
      decoded.codes = in_place[column].cells;
    } else {
      decoded.codes = matrix.column(column);
    }
  }
  SignalCheck signals;
  fill_columns(columns, matrix.rows, signals);
  for (DecodedColumn& decoded : columns) {
    PyRef args = PyRef::steal(PyTuple_Pack(1, decoded.values.get()));
    throw_if(!args);
    // The fresh array is the Series' storage; nothing else refers to it.
    PyRef series = PyRef::steal(PyObject_Call(series_type.get(), args.get(), kwargs.get()));
    throw_if(!series);
    set_column(frame, decoded.column, series.get());
  }
  share_number_columns(frame, info, in_place);
}

}  // namespace colenc::py
