// The cells that astype(object) gives for a 1-D array of a frame, made one
// at a time: of a NumPy array of plain elements (by its dtype's getitem, or
// the stored object), or of pandas' strings, stored by Python (the stored
// object) or by Arrow (a str per valid string, read from the Arrow buffers,
// and the dtype's na_value per null).
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>

#include "python/readers/frame_arrow_chunks.hpp"
#include "python/runtime/numpy_api.hpp"
#include "python/runtime/py_ref.hpp"

namespace colenc::py {

// True for the NumPy arrays whose astype(object) takes each element by its
// dtype's getitem (bool, integer, float and complex), or the stored object.
bool is_plain_numpy(PyArrayObject* array);

// Returns a new reference to the element at `at` of `array` (borrowed, a
// NumPy array of plain elements but objects) as its astype(object) gives it,
// by its dtype's getitem; null, with no exception set, when that fails.
// Throws PythonError for an interrupt or the interpreter running out of
// memory.
PyRef numpy_element(PyArrayObject* array, void* at);

// The cells of astype(object) of one 1-D array, one at a time.
class ArrayCells {
 public:
  // Takes `array` (borrowed; held), of `length` elements, column `column` of
  // its frame or the categories of it; false, with no exception set, for an
  // array of another kind, or whose Arrow arrays do not hold `length` cells.
  bool open(PyObject* array, std::size_t length, std::size_t column);

  // Returns a new reference to cell k; null, with no exception set, when it
  // cannot be made here (its bytes are no UTF-8, its Arrow array breaks its
  // layout). Throws PythonError for an interrupt or the interpreter running
  // out of memory.
  // REQUIRES: open() returned true, k < length.
  PyRef cell(std::size_t k);

 private:
  template <class Offset>
  PyRef arrow_cell(std::size_t k);

  PyRef numpy_;    // a NumPy array: its own, or a Python-stored string's
  PyRef missing_;  // Arrow strings: the cell of a null
  std::shared_ptr<ArrowColumnChunks> chunks_;
  bool large_ = false;  // Arrow large_utf8 rather than utf8
};

}  // namespace colenc::py
