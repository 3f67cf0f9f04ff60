// The typed columns that cell extraction fills and the column driver reads:
// per column either float64 numbers or UTF-8 texts. Texts of a column live in
// one contiguous byte buffer with an end offset per cell, not one heap string
// per cell.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/hashing/recent_texts.hpp"
#include "core/labels/labels.hpp"
#include "core/labels/text_store.hpp"

namespace colenc {

// The null rows of a borrowed column, as Arrow marks them: row k is null
// when bit (bit_offset + k) of `validity` is clear. A null row stands for
// the text `before` up to row first_valid and for `after` from there on.
struct BorrowedNulls {
  const std::uint8_t* validity = nullptr;  // null: no row is null
  std::int64_t bit_offset = 0;
  std::size_t first_valid = 0;
  std::string before;
  std::string after;
};

// True when a column whose first `rows` rows hold `distinct` distinct texts
// should stop numbering them by id and keep one text per row: past 65,536
// distinct texts that are more than half its rows, ids and the memory that
// finds them cost more than the few texts they share.
inline bool ids_stop_paying(std::size_t distinct, std::size_t rows) {
  constexpr std::size_t kJudgeAfter = std::size_t{1} << 16;
  return distinct >= kJudgeAfter && 2 * distinct > rows;
}

// The texts of one column, in row order. Texts are stored back to back as
// entries; by default row i is entry i. A column that uses row ids instead
// keeps one entry id per row, so that a row whose text is known to equal an
// earlier entry (the same immutable source object) refers to that entry
// instead of storing its bytes again. Equal texts may still sit in different
// entries; fitting compares bytes, never ids. A column may also borrow its
// entries from memory it does not own (an Arrow string array, by its offsets
// or by its 16-byte views), kept alive by a handle it holds.
class TextColumn {
 public:
  using EntryId = std::uint32_t;
  // Most entries a column with row ids can hold.
  static constexpr std::size_t kMaxEntries = std::numeric_limits<EntryId>::max();

  // Makes rows refer to entries by id from now on.
  // REQUIRES: empty().
  void use_row_ids() {
    assert(empty());
    row_ids_ = true;
  }
  bool has_row_ids() const { return row_ids_; }
  // Gives every row its own entry again (a copy of its text) and stops using
  // ids: for a column whose rows turned out to be mostly distinct, ids cost
  // more than the few texts they would share.
  void drop_row_ids() {
    if (!row_ids_) return;
    TextStore rows;
    rows.reserve(ids_.size(), own_.byte_size());
    for (const EntryId id : ids_) rows.push(entry(id));
    own_ = std::move(rows);
    std::vector<EntryId>().swap(ids_);
    row_ids_ = false;
  }

  using BorrowedNulls = colenc::BorrowedNulls;

  // Texts of up to this many bytes lie inside their 16-byte view.
  static constexpr std::int32_t kInlineView = 12;

  // Makes the column's rows `count` texts in memory it does not own: row k's
  // text runs from data + offsets[k] to data + offsets[k + 1], unless `nulls`
  // says the row is null. `keep` keeps that memory alive as long as the column
  // holds it. No row can be added afterwards.
  // REQUIRES: empty() && !has_row_ids() (else throws std::logic_error).
  void borrow(const char* data, const std::int64_t* offsets, std::size_t count,
              std::shared_ptr<const void> keep, const BorrowedNulls& nulls = {}) {
    start_borrowing(count, std::move(keep), nulls);
    borrowed_data_ = data;
    borrowed_offsets_ = offsets;
  }

  // Makes the column's rows `count` texts given by 16-byte Arrow string views
  // in memory it does not own: view k lies at views + 16 * k, its length
  // first (an int32); a text of up to kInlineView bytes follows it inside the
  // view, a longer one lies in buffers[b] from offset o, b and o being the
  // view's last two int32. Null rows are as `nulls` says; `keep` keeps the
  // memory alive. No row can be added afterwards.
  // REQUIRES: empty() && !has_row_ids() (else throws std::logic_error); every
  //           view of a valid row has a length of 0 or more and, beyond
  //           kInlineView, names a buffer of `buffers` that holds its bytes.
  void borrow_views(const char* views, std::vector<const char*> buffers, std::size_t count,
                    std::shared_ptr<const void> keep, const BorrowedNulls& nulls = {}) {
    start_borrowing(count, std::move(keep), nulls);
    borrowed_views_ = views;
    view_buffers_ = std::move(buffers);
  }

  // Appends one row with a new entry holding `text`.
  void push_back(std::string_view text) {
    add_row_id();
    own_.push(text);
  }
  // Appends one row with a new entry holding the UTF-8 form of `count` code
  // units of `unit_bytes` bytes each (see append_utf8).
  void push_units(const void* units, std::size_t count, unsigned unit_bytes) {
    add_row_id();
    own_.push_units(units, count, unit_bytes);
  }
  // Appends `count` rows with new entries whose texts lie back to back in
  // `data`: row k's text runs from offsets[k] to offsets[k + 1] (count + 1
  // ascending offsets, as Arrow stores a run of strings). One copy of the run's
  // bytes instead of one per row.
  template <class Offset>
  void append_run(const char* data, const Offset* offsets, std::size_t count) {
    if (count == 0) return;
    if (borrows()) throw std::logic_error("a borrowing column takes no rows");
    if (row_ids_) {
      for (std::size_t k = 0; k < count; ++k)
        push_back(std::string_view(data + offsets[k],
                                   static_cast<std::size_t>(offsets[k + 1] - offsets[k])));
      return;
    }
    own_.append_run(data, offsets, count);
  }
  // Appends `count` rows with new entries, row k's text being text_of(k),
  // its bytes copied at once with the others' (see TextStore::append_texts).
  template <class TextOf>
  void append_texts(std::size_t count, TextOf&& text_of) {
    if (count == 0) return;
    if (borrows()) throw std::logic_error("a borrowing column takes no rows");
    if (row_ids_) {
      for (std::size_t k = 0; k < count; ++k) push_back(text_of(k));
      return;
    }
    own_.append_texts(count, text_of);
  }
  // Appends the rows of `other`; both columns own their entries and use no
  // row ids. One copy of the bytes.
  void append_rows(const TextColumn& other) {
    if (borrows() || other.borrows() || row_ids_ || other.row_ids_) {
      throw std::logic_error("only owned entries without row ids are appended whole");
    }
    own_.append_store(other.own_);
  }
  // Makes `ids` the rows' entry ids in place of the rows added so far, at
  // once.
  // REQUIRES: has_row_ids() (else throws std::logic_error), and every id
  //           below entry_count().
  void replace_row_ids(std::vector<EntryId>&& ids) {
    if (!row_ids_) throw std::logic_error("only a column with row ids takes ids");
    ids_ = std::move(ids);
  }
  // Appends one row whose text is entry `id`.
  // REQUIRES: has_row_ids() && id < entry_count().
  void push_entry(EntryId id) {
    assert(row_ids_ && id < entry_count());
    ids_.push_back(id);
  }

  // Returns the text of row `i`.
  // REQUIRES: i < size().
  std::string_view operator[](std::size_t i) const { return entry(row_ids_ ? ids_[i] : i); }
  // Returns the text of entry `k`.
  // REQUIRES: k < entry_count().
  std::string_view entry(std::size_t k) const {
    if (!borrows()) return own_[k];
    if (validity_ != nullptr && !is_valid(k)) return null_text(k);
    if (borrowed_views_ != nullptr) return view_text(k);
    const std::int64_t begin = borrowed_offsets_[k];
    return std::string_view(borrowed_data_ + begin,
                            static_cast<std::size_t>(borrowed_offsets_[k + 1] - begin));
  }
  // Where entry k's offsets (or view) are kept: prefetching it ahead of the
  // text's own bytes lets reads in an order that jumps around the column (a
  // sorted order) wait on neither.
  const void* entry_locator(std::size_t k) const {
    if (borrowed_offsets_ != nullptr) return borrowed_offsets_ + k;
    if (borrowed_views_ != nullptr) return borrowed_views_ + 16 * k;
    return own_.locator(k);
  }
  // Calls f(k, entry(k)) for every entry k in [begin, end), in order. Where
  // the entries lie is settled once for the range, not once per entry, so
  // the loop over borrowed offsets without nulls is a plain read of them.
  template <class F>
  void for_each_entry(std::size_t begin, std::size_t end, F&& f) const {
    if (borrowed_views_ != nullptr) {
      if (validity_ == nullptr) {
        for (std::size_t k = begin; k != end; ++k) f(k, view_text(k));
      } else {
        for (std::size_t k = begin; k != end; ++k) f(k, is_valid(k) ? view_text(k) : null_text(k));
      }
    } else if (borrowed_offsets_ == nullptr) {
      for (std::size_t k = begin; k != end; ++k) f(k, own_[k]);
    } else if (validity_ == nullptr) {
      const std::int64_t* offsets = borrowed_offsets_;
      for (std::size_t k = begin; k != end; ++k) {
        f(k, std::string_view(borrowed_data_ + offsets[k],
                              static_cast<std::size_t>(offsets[k + 1] - offsets[k])));
      }
    } else {
      const std::int64_t* offsets = borrowed_offsets_;
      for (std::size_t k = begin; k != end; ++k) {
        const auto bit = static_cast<std::uint64_t>(validity_offset_) + k;
        if (((validity_[bit >> 3] >> (bit & 7)) & 1) == 0) {
          f(k, null_text(k));
        } else {
          f(k, std::string_view(borrowed_data_ + offsets[k],
                                static_cast<std::size_t>(offsets[k + 1] - offsets[k])));
        }
      }
    }
  }
  // Returns the entry id of every row; empty unless has_row_ids().
  const std::vector<EntryId>& row_ids() const { return ids_; }

  // Number of rows.
  std::size_t size() const { return row_ids_ ? ids_.size() : entry_count(); }
  bool empty() const { return size() == 0; }
  std::size_t entry_count() const { return borrows() ? borrowed_count_ : own_.size(); }
  void reserve(std::size_t cells, std::size_t bytes) {
    if (row_ids_) ids_.reserve(cells);
    own_.reserve(row_ids_ ? 0 : cells, bytes);
  }
  // Removes every row and entry (and any borrowed memory); keeps whether rows
  // use ids.
  void clear() {
    own_.clear();
    ids_.clear();
    forget_borrowed();
    keep_.reset();
  }
  // Empties the column and frees the storage it owns. Memory it borrows is
  // still kept alive, until the column is cleared or destroyed: letting go of
  // it may need a lock that the caller of this does not hold.
  void release_storage() {
    own_.release();
    std::vector<EntryId>().swap(ids_);
    forget_borrowed();
  }
  // Bytes of all entries' texts (borrowed views: of the valid rows' texts,
  // found by a walk over the views).
  std::size_t byte_size() const {
    if (borrowed_offsets_ != nullptr) {
      return static_cast<std::size_t>(borrowed_offsets_[borrowed_count_] - borrowed_offsets_[0]);
    }
    if (borrowed_views_ != nullptr) {
      std::size_t bytes = 0;
      for (std::size_t k = 0; k < borrowed_count_; ++k) {
        if (validity_ == nullptr || is_valid(k)) bytes += view_size(k);
      }
      return bytes;
    }
    return own_.byte_size();
  }
  // One past the last byte of the entries' texts: every text lies before it,
  // or (a null row's) is followed by 8 readable bytes. For borrowed views,
  // whose texts lie in several buffers, RecentTexts::eight_readable(): there
  // every text has 8 readable bytes from its start.
  const char* bytes_end() const {
    if (borrowed_offsets_ != nullptr) return borrowed_data_ + borrowed_offsets_[borrowed_count_];
    if (borrowed_views_ != nullptr) return RecentTexts::eight_readable();
    return own_.bytes_end();
  }

 private:
  TextStore own_;             // the entries, unless borrowed
  std::vector<EntryId> ids_;  // entry of each row, when row_ids_
  bool row_ids_ = false;
  // Borrowed entries, when borrowed_offsets_ or borrowed_views_ is set (own_
  // unused).
  const char* borrowed_data_ = nullptr;
  const std::int64_t* borrowed_offsets_ = nullptr;
  const char* borrowed_views_ = nullptr;  // 16 bytes per row
  std::vector<const char*> view_buffers_;
  std::size_t borrowed_count_ = 0;
  std::shared_ptr<const void> keep_;
  // Null rows of borrowed entries (see BorrowedNulls), when validity_ is set.
  const std::uint8_t* validity_ = nullptr;
  std::int64_t validity_offset_ = 0;
  std::size_t first_valid_ = 0;
  std::string null_texts_;  // before, 8 zero bytes, after, 8 zero bytes
  std::size_t null_before_size_ = 0;

  bool borrows() const { return borrowed_offsets_ != nullptr || borrowed_views_ != nullptr; }

  // The steps every borrow shares: the column empty, the null rows, the
  // count and the handle that keeps the memory.
  void start_borrowing(std::size_t count, std::shared_ptr<const void> keep,
                       const BorrowedNulls& nulls) {
    if (!empty() || row_ids_) throw std::logic_error("only an empty column can borrow its texts");
    if (nulls.validity != nullptr) {
      // Each null text is followed by 8 zero bytes, so that it can be read
      // with one 8-byte load like any borrowed text.
      null_texts_.assign(nulls.before).append(8, '\0').append(nulls.after).append(8, '\0');
      null_before_size_ = nulls.before.size();
      validity_ = nulls.validity;
      validity_offset_ = nulls.bit_offset;
      first_valid_ = nulls.first_valid;
    }
    borrowed_count_ = count;
    keep_ = std::move(keep);
  }
  bool is_valid(std::size_t k) const {
    const auto bit = static_cast<std::uint64_t>(validity_offset_) + k;
    return ((validity_[bit >> 3] >> (bit & 7)) & 1) != 0;
  }
  std::size_t view_size(std::size_t k) const {
    std::int32_t size;
    std::memcpy(&size, borrowed_views_ + 16 * k, sizeof size);
    return static_cast<std::size_t>(size);
  }
  std::string_view view_text(std::size_t k) const {
    const char* view = borrowed_views_ + 16 * k;
    std::int32_t size;
    std::memcpy(&size, view, sizeof size);
    if (size <= kInlineView) return {view + 4, static_cast<std::size_t>(size)};
    std::int32_t buffer;
    std::int32_t offset;
    std::memcpy(&buffer, view + 8, sizeof buffer);
    std::memcpy(&offset, view + 12, sizeof offset);
    return {view_buffers_[static_cast<std::size_t>(buffer)] + offset,
            static_cast<std::size_t>(size)};
  }

  // Checks that a row can be added and, with row ids, gives the next row the
  // id of the entry about to be added.
  void add_row_id() {
    if (borrows()) throw std::logic_error("a borrowing column takes no rows");
    if (row_ids_) {
      if (own_.size() >= kMaxEntries) throw std::length_error("too many texts in one column");
      ids_.push_back(static_cast<EntryId>(own_.size()));
    }
  }
  std::string_view null_text(std::size_t k) const {
    const std::string_view all(null_texts_);
    if (k < first_valid_) return all.substr(0, null_before_size_);
    return all.substr(null_before_size_ + 8, null_texts_.size() - null_before_size_ - 16);
  }
  void forget_borrowed() {
    borrowed_data_ = nullptr;
    borrowed_offsets_ = nullptr;
    borrowed_views_ = nullptr;
    std::vector<const char*>().swap(view_buffers_);
    borrowed_count_ = 0;
    validity_ = nullptr;
    std::string().swap(null_texts_);
  }
};

// A cell that a transform cannot code: the first of its column whose label
// the fit lacks and is no missing-value label (for a column kept numeric: the
// first that does not convert to a number and whose text is no missing-value
// label). `column` is the column's index in the table, or in a group of
// columns while the group is read.
struct UnknownCell {
  std::size_t column = 0;
  std::size_t row = 0;
  std::string text;
};

// All columns of one table after the scan. For every column exactly one of its
// two cell vectors holds row_count entries (both are empty when row_count is 0),
// and column_is_text says which; except a column whose cells the scan wrote
// straight into the matrix: a number column flagged in numbers_placed has its
// values there and an empty vector, and a text column flagged in ids_placed
// has each row's entry id there (as a float64) and in text_cells only its
// entries, one per id. A column flagged in numbers_kept (a transform's column
// that the fit holds as numbers) never turns to text: a cell that does not
// convert is NaN among its numbers, and the first such cell whose text is no
// missing-value label is noted in unknown_cells.
struct TypedColumns {
  std::size_t row_count = 0;
  std::size_t column_count = 0;
  std::vector<bool> column_is_text;
  std::vector<std::vector<double>> number_cells;
  std::vector<TextColumn> text_cells;
  std::vector<bool> numbers_placed;
  std::vector<bool> ids_placed;
  std::vector<bool> numbers_kept;          // empty (none kept) or one flag per column
  std::vector<UnknownCell> unknown_cells;  // at most one per column, by first row

  // Sets up `columns` empty number columns of `rows` rows.
  TypedColumns(std::size_t rows, std::size_t columns)
      : row_count(rows),
        column_count(columns),
        column_is_text(columns, false),
        number_cells(columns),
        text_cells(columns),
        numbers_placed(columns, false),
        ids_placed(columns, false) {}

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
    ids_placed.push_back(false);
  }

  // Makes number column `j`, which holds no cell yet, a text column whose rows
  // are borrowed as TextColumn::borrow describes; `count` must be row_count.
  void borrow_texts(std::size_t j, const char* data, const std::int64_t* offsets, std::size_t count,
                    std::shared_ptr<const void> keep, const TextColumn::BorrowedNulls& nulls = {}) {
    if (column_is_text[j] || !number_cells[j].empty() || count != row_count) {
      throw std::logic_error("only an untouched column can borrow all its texts");
    }
    std::vector<double>().swap(number_cells[j]);
    text_cells[j].borrow(data, offsets, count, std::move(keep), nulls);
    column_is_text[j] = true;
  }

  // As borrow_texts, for rows given by 16-byte string views (see
  // TextColumn::borrow_views).
  void borrow_views(std::size_t j, const char* views, std::vector<const char*> buffers,
                    std::size_t count, std::shared_ptr<const void> keep,
                    const TextColumn::BorrowedNulls& nulls = {}) {
    if (column_is_text[j] || !number_cells[j].empty() || count != row_count) {
      throw std::logic_error("only an untouched column can borrow all its texts");
    }
    std::vector<double>().swap(number_cells[j]);
    text_cells[j].borrow_views(views, std::move(buffers), count, std::move(keep), nulls);
    column_is_text[j] = true;
  }

  // Returns where number column j's row_count values go: its run of
  // `placed`, a column-major matrix of the table, flagged in numbers_placed,
  // when there is one; else its number vector, sized to hold them.
  double* number_run(std::size_t j, std::span<double> placed) {
    if (!placed.empty()) {
      numbers_placed[j] = true;
      return placed.data() + j * row_count;
    }
    number_cells[j].resize(row_count);
    return number_cells[j].data();
  }

  // Moves columns [first, first + count) into a table of their own, the
  // group that a pipeline takes, flags and all; they are left empty here.
  TypedColumns split_off(std::size_t first, std::size_t count) {
    TypedColumns group(row_count, count);
    for (std::size_t k = 0; k < count; ++k) {
      group.column_is_text[k] = column_is_text[first + k];
      group.number_cells[k] = std::move(number_cells[first + k]);
      group.text_cells[k] = std::move(text_cells[first + k]);
      group.numbers_placed[k] = numbers_placed[first + k];
      group.ids_placed[k] = ids_placed[first + k];
    }
    if (!numbers_kept.empty()) {
      group.numbers_kept.assign(numbers_kept.begin() + static_cast<std::ptrdiff_t>(first),
                                numbers_kept.begin() + static_cast<std::ptrdiff_t>(first + count));
    }
    for (UnknownCell& cell : unknown_cells) {
      if (cell.column >= first && cell.column < first + count) {
        group.unknown_cells.push_back(
            UnknownCell{cell.column - first, cell.row, std::move(cell.text)});
      }
    }
    return group;
  }

  // True when column j is kept numeric (see numbers_kept).
  bool keeps_numbers(std::size_t j) const { return j < numbers_kept.size() && numbers_kept[j]; }

  // Turns number column `j` into a text column: its collected numbers become
  // their number-format texts, in order, and its number vector is emptied.
  // Does nothing to a column kept numeric, whose next text is a cell that
  // did not convert (add_stray_text).
  // REQUIRES: j < column_count, and column j is a number column.
  void turn_to_text(std::size_t j);

  // Adds the next row of column j, kept numeric, for a cell that does not
  // convert and whose text is `text`: NaN, noting the cell when its text is
  // no missing-value label and none of the column's is noted yet.
  void add_stray_text(std::size_t j, std::string_view text) {
    number_cells[j].push_back(missing_code_value());
    if (!is_missing_label(text)) note_unknown(j, number_cells[j].size() - 1, text);
  }

  // Notes `text` in row `row` as column j's unknown cell, unless it has one.
  void note_unknown(std::size_t j, std::size_t row, std::string_view text) {
    for (const UnknownCell& cell : unknown_cells) {
      if (cell.column == j) return;
    }
    unknown_cells.push_back(UnknownCell{j, row, std::string(text)});
  }
};

}  // namespace colenc
