// PlacedColumn: one column of a table whose cells are written straight into
// the matrix as they are read: a number into its cell, a text as the id of
// its distinct text (TextInterner). Rows read across many columns collect
// their texts in a RowBlock first; the pool then numbers each column's share
// of the block, so that each column's interner is visited once per block
// rather than once per cell, and by a worker while the next block is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/columns/text_interner.hpp"
#include "core/columns/typed_columns.hpp"

namespace colenc {

// The texts of a block of rows read across `width` columns, back to back in
// row-major order of their cells: cell (r, k) of the block (row first_row + r)
// ends at ends[r * width + k]; a cell without text has an empty one.
struct RowBlock {
  std::size_t width = 0;
  std::size_t first_row = 0;
  std::string bytes;
  std::vector<std::size_t> ends;

  // Starts the block at row `first` for `columns` columns, keeping its memory.
  void restart(std::size_t first, std::size_t columns) {
    width = columns;
    first_row = first;
    bytes.clear();
    ends.clear();
  }
  // Rows begun in the block.
  std::size_t rows() const { return width == 0 ? 0 : (ends.size() + width - 1) / width; }
  std::string_view text(std::size_t cell) const {
    const std::size_t begin = cell == 0 ? 0 : ends[cell - 1];
    return std::string_view(bytes.data() + begin, ends[cell] - begin);
  }
};

class PlacedColumn {
 public:
  static constexpr std::size_t kNoRow = std::numeric_limits<std::size_t>::max();

  // The column's cell of row i is first[i * stride].
  PlacedColumn(double* first, std::size_t stride) : first_(first), stride_(stride) {}

  // Makes the next rows' texts go to `block` (in the cells of block column
  // `k`) until it is numbered, or straight to the interner when null.
  void collect_into(RowBlock* block) { block_ = block; }

  // The sink of the cell typing (see cell_typing.hpp): each call adds the
  // next row.
  bool is_text() const { return text_from_ != kNoRow; }
  void push_number(double value) {
    cell(rows_++) = value;
    if (block_ != nullptr) block_->ends.push_back(block_->bytes.size());
    numbered_ = rows_;
  }
  void turn_to_text();
  // Keeps the column numeric for good (a transform's column that the fit
  // holds as numbers): a cell that does not convert is NaN in its cell, and
  // the first whose text is no missing-value label is noted (see
  // TypedColumns::numbers_kept). Call before the first row.
  void keep_numbers() { numbers_kept_ = true; }
  // Makes every row keep its own text from the turn on, without ids: for a
  // column whose texts are known to hardly repeat. Call before the turn.
  void keep_texts_flat() { flat_from_turn_ = true; }
  void push_text(std::string_view text, const char* readable);
  void push_units(const void* units, std::size_t count, unsigned unit_bytes);

  // Numbers the texts that this column, block column `k`, left in `block`:
  // those of rows from `text_from` (a copy taken when the block was handed
  // over) to `end_row`. Touches nothing but this column's texts and cells,
  // so the columns of one block can be numbered at once.
  void number_block(const RowBlock& block, std::size_t k, std::size_t text_from,
                    std::size_t end_row);

  // First row that is a text, or kNoRow while the column is numeric.
  std::size_t text_from() const { return text_from_; }
  // Rows added so far.
  std::size_t rows() const { return rows_; }

  // Gives up the ids once most rows bring a new text: every numbered row's
  // text is copied out, and later rows append theirs. Call only while no
  // block of this column is being numbered.
  void judge_repeats();

  // Takes over `next`, a column read apart whose cells follow this column's
  // rows in the same run of the matrix: its rows become this column's next
  // rows, its texts numbered among this column's (or copied out, when either
  // gave up its ids). Throws std::logic_error unless this column is text,
  // `next` is text from its first row and both have every row numbered.
  void append(PlacedColumn&& next);

  // Moves the column into column j of `out`; requires every row added and
  // numbered.
  void hand_over(TypedColumns& out, std::size_t j);

 private:
  double& cell(std::size_t i) { return first_[i * stride_]; }
  // Copies every numbered row's text out of the interner into flat_.
  void make_flat();
  // Adds the next row of a column kept numeric, a cell that did not convert.
  void push_stray(std::string_view text);
  void add_text(std::string_view text, const char* readable, std::size_t row);

  double* first_;
  std::size_t stride_;
  std::size_t rows_ = 0;
  std::size_t numbered_ = 0;  // rows whose cells hold their final value or id
  std::size_t text_from_ = kNoRow;
  RowBlock* block_ = nullptr;
  std::unique_ptr<TextInterner> interner_;
  std::optional<TextColumn> flat_;  // every row's text, once ids stopped paying
  bool flat_from_turn_ = false;
  bool numbers_kept_ = false;
  std::optional<UnknownCell> unknown_;  // a column kept numeric: its first unknown cell
  std::string scratch_;                 // a number's or non-ASCII text, before it is added
};

}  // namespace colenc
