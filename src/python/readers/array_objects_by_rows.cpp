// The object array read by rows: stretches of columns, row by row, on the
// pool, while every cell is plain (add_plain_cell: adding it only reads the
// object); at the first cell that needs the interpreter, the earliest such
// column keeps the rows it has and goes on in strict order on the calling
// thread, and the rows read of the later columns are dropped and read again.
// Interrupts are looked for without running Python code.
#include "python/readers/array_objects_by_rows.hpp"

#include <oneapi/tbb/task_group.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/columns/placed_column.hpp"
#include "core/engine/pool.hpp"
#include "core/internal_error.hpp"
#include "python/cells/cell_typing.hpp"
#include "python/readers/object_column_in_order.hpp"
#include "python/readers/ranges_on_pool.hpp"
#include "python/runtime/py_ref.hpp"

namespace colenc::py {
namespace {

static_assert(CellSink<PlacedColumn>);

// Cells of one block of rows read across columns: a few hundred kilobytes,
// so that a block stays in the cache while its columns are numbered.
constexpr std::size_t kBlockCells = std::size_t{1} << 15;
// Columns that one task reads at least: whole cache lines of a row-major
// matrix, so that two tasks rarely write the same line.
constexpr std::size_t kTaskColumns = 16;

// Where a range of columns stopped being read by rows: columns before
// `column` hold all their rows; when column < count, that column holds rows
// before `row` and the later columns nothing worth keeping.
struct Stop {
  std::size_t column;
  std::size_t row;
};

// Reads `columns`, the table columns from `first` on, row by row while every
// cell is plain (add_plain_cell), collecting their texts a block at a time
// and numbering each block's columns one by one, so that each column's
// interner is visited once per block. Runs as a task on any thread: it only
// reads the objects. Stops after a block once `pool_stop` says so.
Stop read_rows(PyArrayObject* array, std::size_t first, std::span<PlacedColumn> columns,
               PoolStop& pool_stop) {
  const std::size_t count = columns.size();
  const auto rows = static_cast<std::size_t>(PyArray_DIM(array, 0));
  const char* const base =
      PyArray_BYTES(array) + static_cast<npy_intp>(first) * PyArray_STRIDE(array, 1);
  const npy_intp row_stride = PyArray_STRIDE(array, 0);
  const npy_intp column_stride = PyArray_STRIDE(array, 1);

  RowBlock block;
  block.ends.reserve(kBlockCells);
  std::size_t active = count;  // columns still read row by row
  Stop stop{count, 0};
  const auto start_block = [&](std::size_t from) {
    block.restart(from, active);
    for (std::size_t k = 0; k < active; ++k) columns[k].collect_into(&block);
  };
  const auto number_block = [&](std::size_t with_texts) {
    for (std::size_t k = 0; k < with_texts; ++k) {
      PlacedColumn& column = columns[k];
      column.number_block(block, k, column.text_from(), column.rows());
      column.judge_repeats();
    }
  };
  start_block(0);
  std::size_t block_rows = std::max<std::size_t>(1, kBlockCells / active);
  for (std::size_t i = 0; i < rows && active > 0; ++i) {
    const char* const row = base + static_cast<npy_intp>(i) * row_stride;
    std::size_t k = 0;
    for (; k < active; ++k) {
      PyObject* cell;
      std::memcpy(&cell, row + static_cast<npy_intp>(k) * column_stride, sizeof cell);
      if (!add_plain_cell(cell != nullptr ? cell : Py_None, columns[k])) break;
    }
    if (k < active) {
      // Column k stops here, and the later columns are dropped; the earlier
      // ones go on by rows in blocks of their own.
      number_block(k + 1);
      active = k;
      stop = Stop{k, i};
      if (active == 0) break;
      start_block(i + 1);
      block_rows = std::max<std::size_t>(1, kBlockCells / active);
      continue;
    }
    if (block.rows() == block_rows || i + 1 == rows) {
      number_block(active);
      if (i + 1 == rows) break;
      if (pool_stop.should_stop()) {
        // The first column keeps its rows, the others are dropped.
        stop = Stop{0, i + 1};
        break;
      }
      start_block(i + 1);
    }
  }
  for (PlacedColumn& column : columns) column.collect_into(nullptr);
  return stop;
}

// Reads columns [first, first + columns.size()) by rows, in ranges of columns
// on the pool, and returns where the earliest range stopped (as an index
// into `columns`), or columns.size() when every column was read whole.
Stop read_rows_on_pool(PyArrayObject* array, std::size_t first, std::vector<PlacedColumn>& columns,
                       PoolStop& stop) {
  const std::size_t count = columns.size();
  const std::size_t ranges = std::clamp<std::size_t>(
      count / kTaskColumns, 1, 2 * static_cast<std::size_t>(pool_concurrency(process_arena())));
  std::vector<Stop> stops(ranges);
  read_ranges_on_pool(ranges, stop, [&](std::size_t r) {
    const std::size_t begin = count * r / ranges;
    const std::size_t end = count * (r + 1) / ranges;
    stops[r] = read_rows(array, first + begin,
                         std::span<PlacedColumn>(columns).subspan(begin, end - begin), stop);
    stops[r].column += begin;
  });
  for (std::size_t r = 0; r < ranges; ++r) {
    if (stops[r].column < count * (r + 1) / ranges) return stops[r];
  }
  return Stop{count, 0};
}

// True when the array still holds `columns` columns of `rows` object cells.
bool still_holds(PyArrayObject* array, std::size_t rows, std::size_t columns) {
  return PyArray_NDIM(array) == 2 && PyArray_TYPE(array) == NPY_OBJECT &&
         static_cast<std::size_t>(PyArray_DIM(array, 0)) == rows &&
         static_cast<std::size_t>(PyArray_DIM(array, 1)) >= columns;
}

}  // namespace

void read_objects_by_rows(PyArrayObject* array, Shape shape, std::span<double> matrix_buffer,
                          MatrixOrder order, ColumnPipeline& pipeline,
                          const std::vector<bool>* numbers_kept) {
  if (matrix_buffer.size() != shape.rows * shape.cols) {
    throw InternalError("matrix of " + std::to_string(matrix_buffer.size()) + " cells for " +
                        std::to_string(shape.rows) + " x " + std::to_string(shape.cols));
  }
  const bool by_rows = order == MatrixOrder::kRowMajor;
  PyRef keep = PyRef::borrow(reinterpret_cast<PyObject*>(array));
  SignalCheck signals;
  // Every column at once until a cell may run Python code; then one, and
  // twice as many after each stretch read whole.
  std::size_t width = shape.cols;
  for (std::size_t first = 0; first < shape.cols;) {
    const std::size_t count = std::min(width, shape.cols - first);
    std::vector<PlacedColumn> columns;
    columns.reserve(count);
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t j = first + k;
      columns.emplace_back(matrix_buffer.data() + (by_rows ? j : j * shape.rows),
                           by_rows ? shape.cols : 1);
      if (numbers_kept != nullptr && (*numbers_kept)[j]) columns.back().keep_numbers();
    }
    // Python code run since the last stretch may have reshaped the array.
    PoolStop pool_stop;
    const Stop stop = count > 1 && still_holds(array, shape.rows, first + count)
                          ? read_rows_on_pool(array, first, columns, pool_stop)
                          : Stop{0, 0};
    std::size_t done = stop.column;
    if (stop.column < count) {
      pool_stop.raise_interrupt(signals);
      PlacedColumn& column = columns[stop.column];
      read_object_column_in_order(array, 2, first + stop.column, stop.row, shape.rows, signals,
                                  [&](PyObject* cell) { add_table_cell(cell, column); });
      ++done;
    } else {
      signals.tick_many(shape.rows * count);
    }
    TypedColumns group(shape.rows, done);
    for (std::size_t k = 0; k < done; ++k) columns[k].hand_over(group, k);
    columns.clear();
    pipeline.submit(std::move(group));
    first += done;
    width = done == count ? 2 * count : 1;
  }
}

}  // namespace colenc::py
