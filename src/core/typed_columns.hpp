// The typed columns that cell extraction fills and the column driver reads:
// per column either float64 numbers or UTF-8 texts. Texts of a column live in
// one contiguous byte buffer with an end offset per cell, not one heap string
// per cell.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace colenc {

// The texts of one column, in row order. Texts are stored back to back as
// entries; by default row i is entry i. A column that uses row ids instead
// keeps one entry id per row, so that a row whose text is known to equal an
// earlier entry (the same immutable source object) refers to that entry
// instead of storing its bytes again. Equal texts may still sit in different
// entries; fitting compares bytes, never ids.
class TextColumn {
 public:
  using EntryId = std::uint32_t;
  // Most entries a column with row ids can hold.
  static constexpr std::size_t kMaxEntries = std::numeric_limits<EntryId>::max();

  // Makes rows refer to entries by id from now on; requires an empty column.
  void use_row_ids() { row_ids_ = true; }
  bool has_row_ids() const { return row_ids_; }

  // Appends one row with a new entry holding `text`.
  void push_back(std::string_view text) {
    if (row_ids_) {
      if (ends_.size() >= kMaxEntries) throw std::length_error("too many texts in one column");
      ids_.push_back(static_cast<EntryId>(ends_.size()));
    }
    bytes_.append(text);
    ends_.push_back(bytes_.size());
  }
  // Appends `count` rows with new entries whose texts lie back to back in
  // `data`: row k's text runs from offsets[k] to offsets[k + 1] (count + 1
  // ascending offsets, as Arrow stores a run of strings). One copy of the run's
  // bytes instead of one per row.
  template <class Offset>
  void append_run(const char* data, const Offset* offsets, std::size_t count) {
    if (count == 0) return;
    if (row_ids_) {
      for (std::size_t k = 0; k < count; ++k) push_back(std::string_view(
          data + offsets[k], static_cast<std::size_t>(offsets[k + 1] - offsets[k])));
      return;
    }
    const std::size_t base = bytes_.size();
    const auto first = static_cast<std::size_t>(offsets[0]);
    bytes_.append(data + first, static_cast<std::size_t>(offsets[count]) - first);
    const std::size_t old_size = ends_.size();
    ends_.resize(old_size + count);
    for (std::size_t k = 0; k < count; ++k) {
      ends_[old_size + k] = base + (static_cast<std::size_t>(offsets[k + 1]) - first);
    }
  }
  // Appends one row whose text is entry `id`; requires has_row_ids() and
  // id < entry_count().
  void push_entry(EntryId id) { ids_.push_back(id); }

  // Returns the text of row `i`; requires i < size().
  std::string_view operator[](std::size_t i) const { return entry(row_ids_ ? ids_[i] : i); }
  // Returns the text of entry `k`; requires k < entry_count().
  std::string_view entry(std::size_t k) const {
    const std::size_t begin = k == 0 ? 0 : ends_[k - 1];
    return std::string_view(bytes_).substr(begin, ends_[k] - begin);
  }
  // Returns the entry id of every row; empty unless has_row_ids().
  const std::vector<EntryId>& row_ids() const { return ids_; }

  // Number of rows.
  std::size_t size() const { return row_ids_ ? ids_.size() : ends_.size(); }
  bool empty() const { return size() == 0; }
  std::size_t entry_count() const { return ends_.size(); }
  void reserve(std::size_t cells, std::size_t bytes) {
    if (row_ids_) {
      ids_.reserve(cells);
    } else {
      ends_.reserve(cells);
    }
    bytes_.reserve(bytes);
  }
  // Removes every row and entry; keeps whether rows use ids.
  void clear() {
    bytes_.clear();
    ends_.clear();
    ids_.clear();
  }
  std::size_t byte_size() const { return bytes_.size(); }
  // One past the last byte of the entries' texts: every text lies before it.
  const char* bytes_end() const { return bytes_.data() + bytes_.size(); }

 private:
  std::string bytes_;
  std::vector<std::size_t> ends_;  // end offset of each entry in bytes_
  std::vector<EntryId> ids_;       // entry of each row, when row_ids_
  bool row_ids_ = false;
};

// All columns of one table after the scan. For every column exactly one of its
// two cell vectors holds row_count entries (both are empty when row_count is 0),
// and column_is_text says which; except a number column flagged in
// numbers_placed, whose values the scan wrote straight into their own run of a
// column-major matrix and whose vector stays empty.
struct TypedColumns {
  std::size_t row_count = 0;
  std::size_t column_count = 0;
  std::vector<bool> column_is_text;
  std::vector<std::vector<double>> number_cells;
  std::vector<TextColumn> text_cells;
  std::vector<bool> numbers_placed;

  // Sets up `columns` empty number columns of `rows` rows.
  TypedColumns(std::size_t rows, std::size_t columns)
      : row_count(rows),
        column_count(columns),
        column_is_text(columns, false),
        number_cells(columns),
        text_cells(columns),
        numbers_placed(columns, false) {}

  // Sets up a table of `rows` rows and `columns` columns that holds no column
  // yet: a scan calls add_column() as it reaches each column, so that a width
  // claimed by a table that fails before its end costs no storage.
  static TypedColumns growing(std::size_t rows, std::size_t columns) {
    TypedColumns table(rows, 0);
    table.column_count = columns;
    return table;
  }

  // Adds the next column, an empty number column.
  void add_column() {
    column_is_text.push_back(false);
    number_cells.emplace_back();
    text_cells.emplace_back();
    numbers_placed.push_back(false);
  }

  // Turns number column `j` into a text column: its collected numbers become
  // their number-format texts, in order, and its number vector is emptied.
  // Requires column j to be a number column.
  void turn_to_text(std::size_t j);
};

}  // namespace colenc
