// The typed columns that cell extraction fills and the column driver reads:
// per column either float64 numbers or UTF-8 texts. Texts of a column live in
// one contiguous byte buffer with an end offset per cell, not one heap string
// per cell.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace colenc {

// The texts of one column, in row order, stored back to back.
class TextColumn {
 public:
  // Appends one cell's text.
  void push_back(std::string_view text) {
    bytes_.append(text);
    ends_.push_back(bytes_.size());
  }
  // Returns the text of row `i`; requires i < size().
  std::string_view operator[](std::size_t i) const {
    const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(bytes_).substr(begin, ends_[i] - begin);
  }
  std::size_t size() const { return ends_.size(); }
  bool empty() const { return ends_.empty(); }
  void reserve(std::size_t cells, std::size_t bytes) {
    ends_.reserve(cells);
    bytes_.reserve(bytes);
  }
  void clear() {
    bytes_.clear();
    ends_.clear();
  }
  std::size_t byte_size() const { return bytes_.size(); }

 private:
  std::string bytes_;
  std::vector<std::size_t> ends_;
};

// All columns of one table after the scan. For every column exactly one of its
// two cell vectors holds row_count entries (both are empty when row_count is 0),
// and column_is_text says which.
struct TypedColumns {
  std::size_t row_count = 0;
  std::size_t column_count = 0;
  std::vector<bool> column_is_text;
  std::vector<std::vector<double>> number_cells;
  std::vector<TextColumn> text_cells;

  // Sets up `columns` empty number columns of `rows` rows.
  TypedColumns(std::size_t rows, std::size_t columns)
      : row_count(rows),
        column_count(columns),
        column_is_text(columns, false),
        number_cells(columns),
        text_cells(columns) {}

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
  }

  // Turns number column `j` into a text column: its collected numbers become
  // their number-format texts, in order, and its number vector is emptied.
  // Requires column j to be a number column.
  void turn_to_text(std::size_t j);
};

}  // namespace colenc
