// The object array read by columns: each column in row order on the calling
// thread, its str objects remembered by address (RepeatedStrs) where they
// repeat, a batch of columns handed over together.
#include "python/readers/array_objects_by_columns.hpp"

#include <algorithm>

#include "core/engine/pool.hpp"
#include "python/cells/repeated_strs.hpp"
#include "python/cells/str_sharing.hpp"
#include "python/readers/object_column_in_order.hpp"
#include "python/runtime/py_ref.hpp"

namespace colenc::py {
namespace {

// Columns of shared str objects handed over together: enough for whole cache
// lines of a row-major matrix.
constexpr std::size_t kBatchColumns = 8;

}  // namespace

void read_objects_by_columns(PyArrayObject* array, Shape shape, ColumnPipeline& pipeline,
                             const std::vector<bool>* numbers_kept) {
  PyRef keep = PyRef::borrow(reinterpret_cast<PyObject*>(array));
  SignalCheck signals;
  // A small table goes over as one batch: each batch costs the engine a
  // round of bookkeeping, more than a few rows' cells.
  const std::size_t batch_columns =
      shape.rows * shape.cols < kCellsWorthATask ? shape.cols : kBatchColumns;
  for (std::size_t first = 0; first < shape.cols; first += batch_columns) {
    TypedColumns batch(shape.rows, std::min(batch_columns, shape.cols - first));
    if (numbers_kept != nullptr) {
      batch.numbers_kept.assign(
          numbers_kept->begin() + static_cast<std::ptrdiff_t>(first),
          numbers_kept->begin() + static_cast<std::ptrdiff_t>(first + batch.column_count));
    }
    for (std::size_t k = 0; k < batch.column_count; ++k) {
      batch.number_cells[k].reserve(shape.rows);
      RepeatedStrs repeats(
          k, batch,
          !batch.keeps_numbers(k) && column_shares_str_objects(array, 2, first + k, shape.rows));
      read_object_column_in_order(array, 2, first + k, 0, shape.rows, signals,
                                  [&](PyObject* cell) { repeats.add(cell, k, batch); });
    }
    pipeline.submit(std::move(batch));
  }
}

}  // namespace colenc::py
