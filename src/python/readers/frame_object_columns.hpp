// The reader of a frame's columns stored as 1-D object ndarrays (NumPy's
// object dtype, pandas' str dtype with Python storage): their plain cells are
// read side by side on the pool, in row ranges, each written straight into
// its column's run of the matrix (numbers, or the ids of its distinct texts);
// whatever needs the interpreter is read in order on the calling thread.
#pragma once

#include <cstddef>
#include <span>

#include "core/columns/typed_columns.hpp"
#include "python/runtime/numpy_api.hpp"
#include "python/runtime/signal_check.hpp"

namespace colenc::py {

// One object column of a frame.
struct ObjectColumn {
  PyArrayObject* array;  // borrowed: an exact 1-D object ndarray of row_count cells
  std::size_t j;         // its place in the frame
};

// Reads the columns of `objects`, in frame order, into their columns of
// `columns`, writing their numbers or text ids into `placed`, the frame's
// column-major matrix. Cells are typed exactly as take_cell types them,
// column by column in row order, each read once: the plain cells of several
// columns are read at once by workers, which only read them, and from the
// first cell that needs the interpreter its column goes on in order on the
// calling thread. Returns how many of `objects`, from the first, are read;
// the others (when that cell may have run Python code, which may change
// them) are to be read by calling again. Throws as the cell typing does,
// InternalError for a cell gone, PythonError for an interrupt.
// REQUIRES: objects not empty; the caller holds the arrays and the
// interpreter lock.
std::size_t read_object_columns(std::span<const ObjectColumn> objects, TypedColumns& columns,
                                std::span<double> placed, SignalCheck& signals);

}  // namespace colenc::py
