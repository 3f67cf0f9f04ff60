// RepeatedStrs: an object column's cells added like take_cell, each exact str
// object converted once however often it repeats in the column.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/hashing/hash_map.hpp"
#include "core/columns/typed_columns.hpp"
#include "python/cells/cell_typing.hpp"
#include "python/runtime/py_ref.hpp"

namespace colenc::py {

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
  // says so and its rows fit; otherwise adds every cell with take_cell.
  RepeatedStrs(std::size_t j, TypedColumns& columns, bool share);

  // Files `cell` (borrowed from the array) into column j. A repeat, and any
  // cell whose adding runs no Python code, is added without a reference; any
  // other cell is held while it is converted, since its conversion may drop
  // the array's reference to it.
  void add(PyObject* cell, std::size_t j, TypedColumns& columns) {
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

}  // namespace colenc::py
