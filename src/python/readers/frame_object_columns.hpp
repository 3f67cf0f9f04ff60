// Reading one tall object column of a frame, whose objects were made one per
// cell or whose texts hardly repeat, in row ranges on the pool: each range
// adds its plain cells straight into the column's run of the matrix, the
// ranges are joined in order, and whatever needs the interpreter is read in
// order on the calling thread.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>

#include "core/columns/typed_columns.hpp"
#include "python/cells/str_sharing.hpp"
#include "python/runtime/numpy_api.hpp"
#include "python/runtime/signal_check.hpp"

namespace colenc::py {

// Rows from which a column is worth reading in ranges on the pool.
inline constexpr std::size_t kTallColumnRows = std::size_t{1} << 17;

// Returns how the str objects of `array`, an exact 1-D object ndarray of
// `rows` cells, repeat when it is worth reading in ranges on the pool: tall,
// a pool of more than one thread, and its texts not drawn from a vocabulary
// of shared objects (one thread reading those by object id is quicker than
// every thread hashing their texts). Returns nullopt otherwise. Runs no
// Python code.
std::optional<StrRepeats> tall_column_repeats(PyArrayObject* array, std::size_t rows);

// Reads `array` (borrowed, held by the caller), an exact 1-D object ndarray of
// columns.row_count cells, into column j of `columns`, writing its numbers or
// text ids into `placed`, its run of row_count cells of a column-major matrix.
// Cells are typed exactly as take_cell types them in row order; with
// `texts_distinct` every row keeps its own text from the turn on, without
// numbering. Throws PythonError for an interrupt, as the cell typing does
// otherwise.
void read_tall_object_column(PyArrayObject* array, std::size_t j, TypedColumns& columns,
                             double* placed, bool texts_distinct, SignalCheck& signals);

}  // namespace colenc::py
