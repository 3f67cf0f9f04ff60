// Column j of a TypedColumns as the sink of the cell typing, and take_cell,
// which adds one cell there: how the readers that fill typed columns cell by
// cell hand each cell on.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "core/columns/typed_columns.hpp"
#include "core/formats/utf8.hpp"
#include "python/cells/cell_typing.hpp"

namespace colenc::py {

// Column j of `columns` as the sink of the cell typing (see cell_typing.hpp).
// A column kept numeric does not turn: a text pushed while it is numeric is
// a cell that did not convert.
struct TypedColumnSink {
  TypedColumns& columns;
  std::size_t j;
  bool is_text() const { return columns.column_is_text[j]; }
  void push_number(double value) { columns.number_cells[j].push_back(value); }
  void turn_to_text() { columns.turn_to_text(j); }
  void push_text(std::string_view text, const char*) {
    if (!columns.column_is_text[j]) [[unlikely]] {
      columns.add_stray_text(j, text);
      return;
    }
    columns.text_cells[j].push_back(text);
  }
  void push_units(const void* units, std::size_t count, unsigned unit_bytes) {
    if (!columns.column_is_text[j]) [[unlikely]] {
      std::string text;
      append_utf8(units, count, unit_bytes, text);
      columns.add_stray_text(j, text);
      return;
    }
    columns.text_cells[j].push_units(units, count, unit_bytes);
  }
};
static_assert(CellSink<TypedColumnSink>);

// Files one cell (borrowed) into column j: its float64 value while the column
// is numeric; at the first cell whose float conversion fails the column turns
// to text, and from then on each cell's str() text is appended.
inline void take_cell(PyObject* cell, std::size_t j, TypedColumns& columns) {
  TypedColumnSink sink{columns, j};
  add_cell(cell, sink);
}

}  // namespace colenc::py
