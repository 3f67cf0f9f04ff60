// Reading a table cell by cell into typed columns: each column stays a number
// column while its cells convert to float64 and turns to text, for good, at the
// first cell that does not.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>

#include "core/column_pipeline.hpp"
#include "core/typed_columns.hpp"

namespace colenc::py {

struct Shape {
  std::size_t rows = 0;
  std::size_t cols = 0;
};

// Reads `obj.shape` as a 2-tuple of non-negative machine-size integers. Borrows
// obj. Throws InternalError otherwise.
Shape read_shape(PyObject* obj);

// Reads every cell of `source` (source[(i, j)], column by column, each cell
// once) into typed columns and hands them to `pipeline`, a group of columns at
// a time; a road may write cells straight into `matrix_buffer`, the matrix
// of shape cells, laid out as `order` says, that the pipeline fills. Borrows
// source. Throws InternalError for a failed fetch or str(), PythonError for
// an interrupt or a non-Exception error.
void scan_cells(PyObject* source, Shape shape, std::span<double> matrix_buffer,
                MatrixOrder order, ColumnPipeline& pipeline);

}  // namespace colenc::py
