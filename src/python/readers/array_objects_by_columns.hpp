// The reader of an exact 2-D object ndarray whose str objects repeat (values
// drawn from a vocabulary are the same few objects): column by column, each
// column's repeated objects converted once.
#pragma once

#include <vector>

#include "core/engine/column_pipeline.hpp"
#include "python/input/table_shape.hpp"
#include "python/runtime/numpy_api.hpp"

namespace colenc::py {

// Reads every cell of `array` (an exact object ndarray of `shape`, borrowed),
// column by column in row order, and hands the columns to `pipeline` a few
// at a time. Throws InternalError for a failed str() or a cell gone,
// PythonError for an interrupt or a non-Exception error. Columns flagged in
// `numbers_kept` (null for none) stay numeric throughout.
void read_objects_by_columns(PyArrayObject* array, Shape shape, ColumnPipeline& pipeline,
                             const std::vector<bool>* numbers_kept = nullptr);

}  // namespace colenc::py
