// The reader of a DataFrame column stored as a 1-D object ndarray: NumPy's
// object dtype, and pandas' str dtype with Python storage. Its cells are read
// in row order on the calling thread, repeated str objects converted once.
#pragma once

#include <cstddef>

#include "core/columns/typed_columns.hpp"
#include "python/runtime/numpy_api.hpp"
#include "python/runtime/signal_check.hpp"

namespace colenc::py {

// Reads `array` (borrowed, held by the caller), an exact 1-D object ndarray of
// columns.row_count cells, into column j of `columns`, each cell typed as
// take_cell types it. Throws as the cell typing does, and InternalError when
// the column changes while it is read.
void read_object_column(PyArrayObject* array, std::size_t j, TypedColumns& columns,
                        SignalCheck& signals);

}  // namespace colenc::py
