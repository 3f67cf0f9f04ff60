// The reader of Arrow string columns: each chunk is read straight from its
// buffers. A valid cell is a str, which never converts to float; a null cell
// is the object that stands for it in `values` and goes through the ordinary
// typing. Offsets and views are checked before any text is read by them.
#include "python/readers/frame_arrow_str.hpp"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "python/cells/typed_column_sink.hpp"
#include "python/readers/frame_arrow_dictionary_str.hpp"
#include "python/readers/frame_arrow_text.hpp"
#include "python/runtime/py_ref.hpp"

namespace colenc::py {
namespace {

// Walks the cells of `array`: a run of valid cells goes to append(slot,
// count) in one piece, the column turned to text first; a null cell is
// `missing` through the ordinary typing.
template <class AppendRun>
void scan_cells(const ArrowArray& array, const std::uint8_t* validity, PyObject* missing,
                std::size_t j, TypedColumns& columns, SignalCheck& signals, AppendRun&& append) {
  std::int64_t k = 0;
  while (k < array.length) {
    if (validity != nullptr && !arrow_bit(validity, array.offset + k)) {
      take_cell(missing, j, columns);
      signals.tick();
      ++k;
      continue;
    }
    std::int64_t end = validity == nullptr ? array.length : k + 1;
    while (end < array.length && arrow_bit(validity, array.offset + end)) ++end;
    if (!columns.column_is_text[j]) columns.turn_to_text(j);
    const auto count = static_cast<std::size_t>(end - k);
    append(array.offset + k, count);
    signals.tick_many(count);
    k = end;
  }
}

template <class Offset>
void read_offset_chunk(const ArrowColumnChunks& chunks, const ArrowArray& array, PyObject* missing,
                       std::size_t j, TypedColumns& columns, SignalCheck& signals) {
  const CheckedOffsets<Offset> checked = check_offsets<Offset>(chunks, array);
  TextColumn& texts = columns.text_cells[j];
  scan_cells(array, arrow_validity(chunks, array), missing, j, columns, signals,
             [&](std::int64_t slot, std::size_t count) {
               if (checked.data != nullptr) {
                 texts.append_run(checked.data, checked.offsets + slot, count);
               } else {
                 for (std::size_t k = 0; k < count; ++k) texts.push_back({});
               }
             });
}

// A utf8_view array: 16 bytes a cell, its length first; a text of at most 12
// bytes lies in the view itself, a longer one in the data buffer the view
// names, at the offset it names, within that buffer's size as the array's
// last buffer gives it.
void read_view_chunk(const ArrowColumnChunks& chunks, const ArrowArray& array, PyObject* missing,
                     std::size_t j, TypedColumns& columns, SignalCheck& signals) {
  if (array.n_buffers < 3 || array.n_children != 0) chunks.refuse("unexpected Arrow layout");
  const auto* views = static_cast<const char*>(array.buffers[1]);
  const auto* sizes = static_cast<const char*>(array.buffers[array.n_buffers - 1]);
  const std::int64_t data_buffers = array.n_buffers - 3;
  if (array.length > 0 && (views == nullptr || (data_buffers > 0 && sizes == nullptr))) {
    chunks.refuse("Arrow string views without their buffers");
  }
  TextColumn& texts = columns.text_cells[j];
  const auto text_of = [&](std::int64_t slot) -> std::string_view {
    const char* view = views + slot * 16;
    std::int32_t length;
    std::memcpy(&length, view, sizeof length);
    if (length < 0) chunks.refuse("an Arrow string view of negative length");
    if (length <= 12) return {view + 4, static_cast<std::size_t>(length)};
    std::int32_t buffer;
    std::int32_t offset;
    std::memcpy(&buffer, view + 8, sizeof buffer);
    std::memcpy(&offset, view + 12, sizeof offset);
    if (buffer < 0 || buffer >= data_buffers || offset < 0) {
      chunks.refuse("an Arrow string view outside its buffers");
    }
    std::int64_t size;
    std::memcpy(&size, sizes + std::size_t{8} * static_cast<std::size_t>(buffer), sizeof size);
    const auto* data = static_cast<const char*>(array.buffers[2 + buffer]);
    if (data == nullptr || std::int64_t{offset} + length > size) {
      chunks.refuse("an Arrow string view outside its buffers");
    }
    return {data + offset, static_cast<std::size_t>(length)};
  };
  scan_cells(array, arrow_validity(chunks, array), missing, j, columns, signals,
             [&](std::int64_t slot, std::size_t count) {
               for (std::size_t k = 0; k < count; ++k) {
                 texts.push_back(text_of(slot + static_cast<std::int64_t>(k)));
               }
             });
}

// Returns the first row whose bit (bit_offset + row) is set in `validity`,
// or nothing when all `rows` rows are null.
std::optional<std::size_t> first_valid_row(const std::uint8_t* validity, std::int64_t bit_offset,
                                           std::size_t rows) {
  for (std::size_t row = 0; row < rows; ++row) {
    const auto bit = static_cast<std::uint64_t>(bit_offset) + row;
    if ((bit & 7) == 0 && validity[bit >> 3] == 0) {
      row += 7;  // a whole byte of nulls
      continue;
    }
    if (((validity[bit >> 3] >> (bit & 7)) & 1) != 0) return row;
  }
  return std::nullopt;
}

// What a column that borrows its texts keeps alive: the Arrow arrays, and
// the aligned or widened copy of their offsets if one was made.
struct BorrowedArray {
  std::shared_ptr<const ArrowColumnChunks> chunks;
  std::vector<std::int64_t> aligned;
};

// Borrows the texts of one utf8 or large_utf8 array holding every row with at
// least one valid cell: the column is text from its first valid row (a str
// never reads as a number), and its texts are read where they lie, the array
// kept alive by the column; utf8 offsets are widened into a copy of their
// own. Null rows stand for the texts the ordinary typing gives them. Returns
// false, having read nothing, for a column of nulls only, which is typed
// cell by cell.
template <class Offset>
bool borrow_strings(const std::shared_ptr<const ArrowColumnChunks>& chunks, PyObject* missing,
                    std::size_t j, TypedColumns& columns) {
  const ArrowArray& only = chunks->arrays[0].get();
  CheckedOffsets<Offset> checked = check_offsets<Offset>(*chunks, only);
  if (checked.data == nullptr) return false;  // no bytes to borrow
  const std::uint8_t* validity = arrow_validity(*chunks, only);
  TextColumn::BorrowedNulls nulls;
  if (validity != nullptr) {
    const std::optional<std::size_t> first =
        first_valid_row(validity, only.offset, columns.row_count);
    if (!first) return false;
    nulls = null_cell_texts(missing);
    nulls.validity = validity;
    nulls.bit_offset = only.offset;
    nulls.first_valid = *first;
  }
  auto keep = std::make_shared<BorrowedArray>();
  keep->chunks = chunks;
  const Offset* first = checked.offsets + only.offset;
  const std::int64_t* offsets = nullptr;
  if constexpr (std::is_same_v<Offset, std::int64_t>) {
    keep->aligned = std::move(checked.aligned);
    offsets = first;
  } else {
    keep->aligned.assign(first, first + only.length + 1);
    offsets = keep->aligned.data();
  }
  columns.borrow_texts(j, checked.data, offsets, columns.row_count, std::move(keep), nulls);
  return true;
}

}  // namespace

TextColumn::BorrowedNulls null_cell_texts(PyObject* missing) {
  TypedColumns before(1, 1);
  take_cell(missing, 0, before);
  if (!before.column_is_text[0]) before.turn_to_text(0);
  TypedColumns after(1, 1);
  after.turn_to_text(0);
  take_cell(missing, 0, after);
  TextColumn::BorrowedNulls nulls;
  nulls.before = std::string(before.text_cells[0][0]);
  nulls.after = std::string(after.text_cells[0][0]);
  return nulls;
}

bool is_arrow_text_format(std::string_view format) {
  return format == "u" || format == "U" || format == "vu";
}

void read_arrow_str_column(const std::shared_ptr<const ArrowColumnChunks>& chunks,
                           PyObject* missing, std::size_t j, TypedColumns& columns,
                           SignalCheck& signals) {
  if (columns.keeps_numbers(j)) {
    // A column that a transform's fit holds as numbers: its cells are read as
    // a text column's would be, then each added as a cell that does not
    // convert (a str never does). A null's text is a missing-value label, or
    // it stayed a number (NaN) above the scratch column's turn.
    TypedColumns scratch(columns.row_count, 1);
    read_arrow_str_column(chunks, missing, 0, scratch, signals);
    if (!scratch.column_is_text[0]) {
      for (const double value : scratch.number_cells[0]) columns.number_cells[j].push_back(value);
      return;
    }
    const TextColumn& texts = scratch.text_cells[0];
    for (std::size_t row = 0; row < texts.size(); ++row) columns.add_stray_text(j, texts[row]);
    return;
  }
  if (chunks->schema.get().dictionary != nullptr) {
    read_arrow_dictionary_str_column(*chunks, missing, j, columns);
    signals.tick_many(columns.row_count);
    return;
  }
  const std::string_view format = chunks->format();
  const bool one_array = chunks->arrays.size() == 1 && columns.row_count > 0;
  if (one_array && ((format == "U" && borrow_strings<std::int64_t>(chunks, missing, j, columns)) ||
                    (format == "u" && borrow_strings<std::int32_t>(chunks, missing, j, columns)))) {
    signals.tick_many(columns.row_count);
    return;
  }
  for (const ArrowOwned<ArrowArray>& owned : chunks->arrays) {
    const ArrowArray& array = owned.get();
    if (format == "u") {
      read_offset_chunk<std::int32_t>(*chunks, array, missing, j, columns, signals);
    } else if (format == "U") {
      read_offset_chunk<std::int64_t>(*chunks, array, missing, j, columns, signals);
    } else {
      read_view_chunk(*chunks, array, missing, j, columns, signals);
    }
  }
}

}  // namespace colenc::py
