// The one loop that reads a column of an object ndarray strictly in row order
// on the calling thread, for every reader of object columns: the cells go to
// the caller one by one, each re-read from the array as it now stands.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>

#include "core/internal_error.hpp"
#include "python/cells/object_cell.hpp"
#include "python/runtime/numpy_api.hpp"
#include "python/runtime/signal_check.hpp"

namespace colenc::py {

// Hands rows [from, rows) of column j of `array` to `add(cell)`, strictly in
// order, each cell borrowed from the array. `array` has `ndim` dimensions: 1
// (it is the column; j only names it in messages) or 2. A cell's str() or
// __float__ may run Python code that reshapes the array, so the buffer and
// bounds are re-read for every cell. `signals` (a SignalCheck, or anything
// with its tick()) ticks once a cell. Throws InternalError when a cell is gone.
template <class Signals, class Add>
void read_object_column_in_order(PyArrayObject* array, int ndim, std::size_t j, std::size_t from,
                                 std::size_t rows, Signals& signals, Add&& add) {
  // Slots ahead of the current one whose memory is requested early.
  constexpr std::size_t kLookAhead = 16;
  const auto index_of = [&](std::size_t i, npy_intp (&index)[2]) {
    index[0] = static_cast<npy_intp>(i);
    index[1] = static_cast<npy_intp>(j);
  };
  for (std::size_t i = from; i < rows; ++i) {
    // Going down a column of a C-ordered array skips a whole row per cell;
    // asking for a later cell's line early hides most of that miss. Only a
    // hint: a stale address is never dereferenced.
    if (ndim == 2 && i + kLookAhead < rows) {
      __builtin_prefetch(PyArray_BYTES(array) +
                         static_cast<npy_intp>(i + kLookAhead) * PyArray_STRIDE(array, 0) +
                         static_cast<npy_intp>(j) * PyArray_STRIDE(array, 1));
    }
    // And the object of a nearer row, whose slot was asked for earlier.
    npy_intp index[2];
    if (i + kObjectsAhead / 2 < rows) {
      index_of(i + kObjectsAhead / 2, index);
      if (PyObject* later = object_cell(array, index, ndim)) __builtin_prefetch(later);
    }
    index_of(i, index);
    PyObject* cell = object_cell(array, index, ndim);
    if (cell == nullptr) {
      throw InternalError("failed to read cell (" + std::to_string(i) + ", " +
                          std::to_string(j) + "): the " + (ndim == 1 ? "column" : "array") +
                          " changed during the scan");
    }
    add(cell);
    signals.tick();
  }
}

}  // namespace colenc::py
