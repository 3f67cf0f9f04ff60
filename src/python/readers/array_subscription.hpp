// The array reader of last resort: any object with a `shape` and
// subscription, read cell by cell through source[(i, j)], all rows of column
// 0 first, each column typed as its cells come.
#pragma once

#include <Python.h>

#include <vector>

#include "core/columns/typed_columns.hpp"
#include "python/input/table_shape.hpp"

namespace colenc::py {

// Reads every cell of `source` (source[(i, j)], column by column, each cell
// once) into typed columns. Borrows source. Throws InternalError for a failed
// fetch or str(), PythonError for an interrupt or a non-Exception error.
// Columns flagged in `numbers_kept` (null for none) stay numeric throughout.
TypedColumns read_by_subscription(PyObject* source, Shape shape,
                                  const std::vector<bool>* numbers_kept = nullptr);

}  // namespace colenc::py
