// How a column's str objects repeat, judged from a few cells without running
// Python code: the object column readers choose by it whether to remember str
// objects by address, and whether to read a table by rows or by columns.
#pragma once

#include <Python.h>

#include <cstddef>

#include "python/runtime/numpy_api.hpp"

namespace colenc::py {

// Columns of fewer rows share nothing worth remembering: a few rows hold too
// few repeats to pay for sampling them, or for the memory of their objects.
inline constexpr std::size_t kFewestRowsToShare = 16;

// Returns whether the rows of column `column` of an object array (ndim 2; of
// the array itself when ndim is 1) should share entries by str object (see
// RepeatedStrs), judged from a few cells spread over its `rows` rows: not
// when its texts repeat under different objects far more often than its
// objects repeat, as in a table made by a loader, which makes one object per
// cell; never for fewer than kFewestRowsToShare rows. Runs no Python code.
bool column_shares_str_objects(PyArrayObject* array, int ndim, std::size_t column,
                               std::size_t rows);

// What a larger sample of cells spread over an object column's `rows` rows
// shows (see column_str_repeats).
struct StrRepeats {
  // No two sampled cells share a text: ids would save nothing.
  bool texts_distinct = false;
  // Some sampled cell is neither a str, None, a bool, a float nor a small
  // int: the column meets cells whose typing may run Python code.
  bool meets_interpreter = false;
};

// Tallies how the str objects of column `column` of an object array (ndim 2;
// of the array itself when ndim is 1) repeat. Runs no Python code.
StrRepeats column_str_repeats(PyArrayObject* array, int ndim, std::size_t column, std::size_t rows);

// Returns true when a sample of a few columns of `array`, a 2-D object array
// of `rows` rows and `columns` columns, shows texts repeating under different
// str objects far more often than objects repeat: one object per cell, as a
// loader makes them; false for fewer than kFewestRowsToShare rows. Runs no
// Python code.
bool objects_made_per_cell(PyArrayObject* array, std::size_t rows, std::size_t columns);

}  // namespace colenc::py
