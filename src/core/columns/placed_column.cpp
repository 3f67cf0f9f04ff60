// Placed columns: numbers and text ids written into the matrix cell by cell.
#include "core/columns/placed_column.hpp"

#include <algorithm>
#include <stdexcept>

#include "core/formats/number_format.hpp"
#include "core/formats/utf8.hpp"

namespace colenc {

void PlacedColumn::turn_to_text() {
  if (numbers_kept_) return;  // the next text is a cell that did not convert
  text_from_ = rows_;
  interner_ = std::make_unique<TextInterner>();
  for (std::size_t i = 0; i < rows_; ++i) {
    scratch_.clear();
    append_number(scratch_, cell(i));
    cell(i) = interner_->intern(scratch_, scratch_.data() + scratch_.size());
  }
  numbered_ = rows_;
  // A column whose texts hardly repeat keeps every row's text from here on.
  if (flat_from_turn_) make_flat();
}

void PlacedColumn::add_text(std::string_view text, const char* readable, std::size_t row) {
  if (flat_) {
    flat_->push_back(text);
  } else {
    cell(row) = interner_->intern(text, readable);
  }
  numbered_ = row + 1;
}

void PlacedColumn::push_stray(std::string_view text) {
  cell(rows_) = missing_code_value();
  if (block_ != nullptr) block_->ends.push_back(block_->bytes.size());
  if (!unknown_ && !is_missing_label(text)) unknown_ = UnknownCell{0, rows_, std::string(text)};
  numbered_ = ++rows_;
}

void PlacedColumn::push_text(std::string_view text, const char* readable) {
  if (text_from_ == kNoRow) [[unlikely]] {
    push_stray(text);
    return;
  }
  if (block_ != nullptr) {
    block_->bytes.append(text);
    block_->ends.push_back(block_->bytes.size());
  } else {
    add_text(text, readable, rows_);
  }
  ++rows_;
}

void PlacedColumn::push_units(const void* units, std::size_t count, unsigned unit_bytes) {
  if (block_ != nullptr && text_from_ != kNoRow) {
    append_utf8(units, count, unit_bytes, block_->bytes);
    block_->ends.push_back(block_->bytes.size());
    ++rows_;
    return;
  }
  scratch_.clear();
  append_utf8(units, count, unit_bytes, scratch_);
  push_text(scratch_, scratch_.data() + scratch_.size());
}

void PlacedColumn::number_block(const RowBlock& block, std::size_t k, std::size_t text_from,
                                std::size_t end_row) {
  const char* const readable = block.bytes.data() + block.bytes.size();
  const std::size_t first = std::max(text_from, block.first_row);
  for (std::size_t row = first; row < end_row; ++row) {
    add_text(block.text((row - block.first_row) * block.width + k), readable, row);
  }
}

void PlacedColumn::make_flat() {
  flat_.emplace();
  flat_->reserve(rows_, interner_->byte_size());
  for (std::size_t i = 0; i < numbered_; ++i) {
    flat_->push_back(interner_->text(static_cast<TextInterner::Id>(cell(i))));
  }
  interner_.reset();
}

void PlacedColumn::judge_repeats() {
  if (flat_ || !interner_ || !ids_stop_paying(interner_->size(), numbered_)) return;
  make_flat();
}

void PlacedColumn::append(PlacedColumn&& next) {
  if (!is_text() || next.text_from_ != 0 || numbered_ != rows_ || next.numbered_ != next.rows_ ||
      next.stride_ != stride_ || next.first_ != first_ + rows_ * stride_) {
    throw std::logic_error("only a text column read whole after this one can be appended");
  }
  if (!flat_ && !next.flat_) {
    // Each of its distinct texts is numbered once, then its rows renumbered.
    std::vector<double> ids(next.interner_->size());
    for (std::size_t k = 0; k < ids.size(); ++k) {
      const std::string_view text = next.interner_->text(static_cast<TextInterner::Id>(k));
      ids[k] = interner_->intern(text, text.data() + text.size());
    }
    for (std::size_t i = 0; i < next.rows_; ++i) {
      next.cell(i) = ids[static_cast<std::size_t>(next.cell(i))];
    }
  } else if (flat_ && next.flat_) {
    flat_->append_rows(*next.flat_);
  } else {
    if (!flat_) make_flat();
    for (std::size_t i = 0; i < next.rows_; ++i) {
      const auto id = static_cast<TextInterner::Id>(next.cell(i));
      flat_->push_back(next.flat_ ? (*next.flat_)[i] : next.interner_->text(id));
    }
  }
  rows_ += next.rows_;
  numbered_ = rows_;
  next = PlacedColumn(nullptr, stride_);
}

void PlacedColumn::hand_over(TypedColumns& out, std::size_t j) {
  std::vector<double>().swap(out.number_cells[j]);
  if (!is_text()) {
    out.numbers_placed[j] = true;
    if (unknown_) out.note_unknown(j, unknown_->row, unknown_->text);
    return;
  }
  out.column_is_text[j] = true;
  if (flat_) {
    out.text_cells[j] = std::move(*flat_);
  } else {
    out.text_cells[j] = interner_->entries();
    out.ids_placed[j] = true;
  }
}

}  // namespace colenc
