// The reader of an exact 2-D object ndarray whose objects were made one per
// cell: its cells are read row by row across the columns, in the order a
// loader makes their objects, for as long as no cell met can run Python code,
// and each column's cells are written straight into the matrix (numbers, or
// the ids of its distinct texts).
#pragma once

#include <Python.h>

#include <span>
#include <vector>

#include "core/columns/matrix.hpp"
#include "core/engine/column_pipeline.hpp"
#include "python/input/table_shape.hpp"
#include "python/runtime/numpy_api.hpp"

namespace colenc::py {

// Reads every cell of `array` (an exact object ndarray of `shape`, borrowed)
// into `matrix_buffer` (shape.rows * shape.cols cells laid out as `order`
// says) and hands the columns to `pipeline`, a group at a time. The outcome is that of
// reading column by column, each cell once: rows are read across columns
// only where no cell can run Python code, which could observe or change the
// order; from the first cell that could, its column is read in order. Throws
// InternalError for a failed str() or a cell gone, PythonError for an
// interrupt or a non-Exception error. Columns flagged in `numbers_kept` (null
// for none) stay numeric throughout (PlacedColumn::keep_numbers).
void read_objects_by_rows(PyArrayObject* array, Shape shape, std::span<double> matrix_buffer,
                          MatrixOrder order, ColumnPipeline& pipeline,
                          const std::vector<bool>* numbers_kept = nullptr);

}  // namespace colenc::py
