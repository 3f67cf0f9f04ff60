// InPlaceColumn: a native float64 DataFrame column that decode leaves where it
// lies instead of copying it into the matrix: it reads a text column's codes
// there, and gives the result a number column as pandas shares it.
#pragma once

#include "python/decode/cell_view.hpp"
#include "python/runtime/py_ref.hpp"

namespace colenc::py {

// A native float64 column left where it lies instead of being copied into the
// matrix: its array, held, and where its cells are.
struct InPlaceColumn {
  PyRef array;   // null for a column that was not left in place
  PyRef series;  // the frame's column
  ColumnView cells;
};

}  // namespace colenc::py
