// RepeatedStrs: an object column's cells added so that each exact str object
// is converted only the first time it occurs, its repeats referring to the
// entry that first occurrence made.
#include "python/cells/repeated_strs.hpp"

#include "python/cells/str_sharing.hpp"
#include "python/cells/typed_column_sink.hpp"

namespace colenc::py {

RepeatedStrs::RepeatedStrs(std::size_t j, TypedColumns& columns, bool share) {
  if (!share || columns.row_count < kFewestRowsToShare ||
      columns.row_count > TextColumn::kMaxEntries) {
    return;
  }
  columns.text_cells[j].use_row_ids();
  recent_.resize(kRecentSlots);
  active_ = true;
}

void RepeatedStrs::take(PyObject* cell, std::size_t j, TypedColumns& columns) {
  if (!active_ || !columns.column_is_text[j] || !PyUnicode_CheckExact(cell)) {
    take_cell(cell, j, columns);
    return;
  }
  // A str object met for the first time: a text column's cell, exactly one
  // new entry.
  TextColumn& texts = columns.text_cells[j];
  take_cell(cell, j, columns);
  const auto id = static_cast<TextColumn::EntryId>(texts.entry_count() - 1);
  ids_.emplace(cell, id);
  held_.push_back(PyRef::borrow(cell));
  recent_[(reinterpret_cast<std::uintptr_t>(cell) >> 4) % kRecentSlots] = Recent{cell, id};
  if (ids_stop_paying(held_.size(), texts.size())) {
    stop();
    texts.drop_row_ids();
  }
}

void RepeatedStrs::stop() {
  // Once the objects are let go their addresses may be reused: forget them all.
  active_ = false;
  std::vector<Recent>().swap(recent_);
  decltype(ids_)().swap(ids_);
  std::vector<PyRef>().swap(held_);
}

}  // namespace colenc::py
