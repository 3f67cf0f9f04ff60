// Reading single cells into typed columns, shared by the table scans: the
// float conversion that keeps a column numeric, the str() text form once it has
// turned, readers of numeric array elements, and the check for pending signals.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/hash_map.hpp"
#include "core/typed_columns.hpp"
#include "python/cell_typing.hpp"
#include "python/numpy_api.hpp"
#include "python/py_ref.hpp"

namespace colenc::py {

// Column j of `columns` as the sink of the cell typing (see cell_typing.hpp).
struct TypedColumnSink {
  TypedColumns& columns;
  std::size_t j;
  bool is_text() const { return columns.column_is_text[j]; }
  void push_number(double value) { columns.number_cells[j].push_back(value); }
  void turn_to_text() { columns.turn_to_text(j); }
  void push_text(std::string_view text, const char*) { columns.text_cells[j].push_back(text); }
  void push_units(const void* units, std::size_t count, unsigned unit_bytes) {
    columns.text_cells[j].push_units(units, count, unit_bytes);
  }
};

// Files one cell (borrowed) into column j: its float64 value while the column
// is numeric; at the first cell whose float conversion fails the column turns
// to text, and from then on each cell's str() text is appended.
void take_cell(PyObject* cell, std::size_t j, TypedColumns& columns);

// Returns whether the rows of column `column` of an object array (ndim 2; of
// the array itself when ndim is 1) should share entries by str object (see
// RepeatedStrs), judged from a few cells spread over its `rows` rows: not
// when its texts repeat under different objects far more often than its
// objects repeat, as in a table made by a loader, which makes one object per
// cell. Runs no Python code.
bool column_shares_str_objects(PyArrayObject* array, int ndim, std::size_t column,
                               std::size_t rows);

// How the str objects of a tall object column repeat, judged from a larger
// sample of cells spread over its `rows` rows (see column_str_repeats).
struct StrRepeats {
  // No two sampled cells share a text: ids would save nothing.
  bool texts_distinct = false;
  // Repeated texts come as the same object about as often as not: a column
  // drawn from a vocabulary of shared objects, cheapest read by object id.
  bool objects_shared = false;
};

// Tallies how the str objects of column `column` of an object array (ndim 2;
// of the array itself when ndim is 1) repeat. Runs no Python code.
StrRepeats column_str_repeats(PyArrayObject* array, int ndim, std::size_t column,
                              std::size_t rows);

// Returns true when a sample of a few columns of `array`, a 2-D object array
// of `rows` rows and `columns` columns, shows texts repeating under different
// str objects far more often than objects repeat: one object per cell, as a
// loader makes them. Runs no Python code.
bool objects_made_per_cell(PyArrayObject* array, std::size_t rows, std::size_t columns);

// Files the cells of one object column like take_cell, converting each exact
// str object only the first time it occurs in the column: a repeat (values
// drawn from a small vocabulary are the same few objects) refers to the entry
// its first occurrence made. Every remembered str is held until the column is
// done, so no new object can take its address meanwhile; str is immutable, so
// an address always stands for the same text. When most str objects of a long
// column turn out to be distinct, remembering them stops paying and stops.
class RepeatedStrs {
 public:
  // Prepares column j (still empty) for entries shared by id, when `share`
  // says so and its rows fit; otherwise files every cell with take_cell.
  RepeatedStrs(std::size_t j, TypedColumns& columns, bool share);

  // Files `cell` (borrowed from the array) into column j. A repeat, and any
  // cell whose filing runs no Python code, is filed without a reference; any
  // other cell is held while it is converted, since its conversion may drop
  // the array's reference to it.
  void file(PyObject* cell, std::size_t j, TypedColumns& columns) {
    if (take_repeat(cell, j, columns)) return;
    if (is_plain_cell(cell, columns.column_is_text[j])) {
      take(cell, j, columns);
    } else {
      take(PyRef::borrow(cell).get(), j, columns);
    }
  }

 private:
  // Files `cell` (borrowed) and returns true when it is a str object already
  // remembered for text column j; returns false, having done nothing, for any
  // other cell. Runs no Python code, so the cell needs no reference of its own.
  bool take_repeat(PyObject* cell, std::size_t j, TypedColumns& columns) {
    if (!active_ || !PyUnicode_CheckExact(cell) || !columns.column_is_text[j]) return false;
    Recent& slot = recent_[(reinterpret_cast<std::uintptr_t>(cell) >> 4) % kRecentSlots];
    if (slot.cell != cell) {
      auto found = ids_.find(cell);
      if (found == ids_.end()) return false;
      slot = Recent{cell, found->second};
    }
    columns.text_cells[j].push_entry(slot.id);
    return true;
  }

  // Files a cell (held by the caller) that take_repeat did not, like take_cell.
  void take(PyObject* cell, std::size_t j, TypedColumns& columns);

  void stop();
  // The last remembered str objects by address, in front of ids_.
  struct Recent {
    PyObject* cell = nullptr;
    TextColumn::EntryId id = 0;
  };
  static constexpr std::size_t kRecentSlots = 256;
  std::vector<Recent> recent_;
  HashMap<PyObject*, TextColumn::EntryId> ids_;
  std::vector<PyRef> held_;
  bool active_ = false;
};

// Reads `rows` elements of a numeric array, at `first`, `first + stride`, ...
// (a column), into out[0..rows), each as float() of its NumPy scalar would.
using ColumnReader = void (*)(const char* first, npy_intp stride, bool byte_swapped,
                              std::size_t rows, double* out);

// Returns the reader for a bool, integer or float16/32/64 type number, or
// nullptr for any other dtype.
ColumnReader numeric_reader(int type_num);

// Returns the cell at `index` (ndim entries) of an object array, borrowed (None
// for a NULL slot): a caller that may run Python code takes a reference first,
// since that code may drop the array's. A cell's own conversion may also change
// the array, so its dimensions, dtype and buffer are re-read on every call;
// returns nullptr when the array no longer has that cell.
PyObject* object_cell(PyArrayObject* array, const npy_intp* index, int ndim);

// Rows ahead of the current one whose object a column scan asks for early.
inline constexpr std::size_t kObjectsAhead = 16;

// Looks for pending signals (Ctrl-C) every few thousand cells; throws
// PythonError with KeyboardInterrupt set when one arrived.
class SignalCheck {
 public:
  void tick() {
    if (--countdown_ == 0) check_now();
  }
  // Looks at once.
  void check() { check_now(); }
  // Counts `cells` cells at once, as after a run read in one piece.
  void tick_many(std::size_t cells) {
    if (cells >= countdown_) {
      check_now();
    } else {
      countdown_ -= cells;
    }
  }

 private:
  static constexpr std::size_t kInterval = 1 << 14;
  void check_now();
  std::size_t countdown_ = kInterval;
};

}  // namespace colenc::py
