// The reader of Arrow string columns: each chunk is read straight from its
// buffers. A valid cell is a str, which never converts to float; a null cell
// is the object that stands for it in `values` and goes through the ordinary
// typing. Offsets and views are checked before any text is read by them.
#include "python/readers/frame_arrow_str.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "python/cells/typed_column_sink.hpp"
#include "python/runtime/py_ref.hpp"

namespace colenc::py {
namespace {

// The offsets of a utf8 or large_utf8 array, checked to be non-negative and
// ascending over its slots: in place, or in an aligned copy when their buffer
// does not lie at an address aligned for them, as after a trip through a
// pickle. Indexed by slot, the array's offset included.
template <class Offset>
struct CheckedOffsets {
  const Offset* offsets = nullptr;
  const char* data = nullptr;  // null when every text of the array is empty
  std::vector<Offset> aligned;
};

template <class Offset>
CheckedOffsets<Offset> check_offsets(const ArrowColumnChunks& chunks, const ArrowArray& array) {
  CheckedOffsets<Offset> out;
  if (array.n_buffers != 3 || array.n_children != 0) chunks.refuse("unexpected Arrow layout");
  if (array.length == 0) return out;
  const void* raw = array.buffers[1];
  if (raw == nullptr) chunks.refuse("Arrow strings without offsets");
  const auto slots = static_cast<std::size_t>(array.offset + array.length) + 1;
  if (reinterpret_cast<std::uintptr_t>(raw) % alignof(Offset) != 0) {
    out.aligned.resize(slots);
    std::memcpy(out.aligned.data(), raw, slots * sizeof(Offset));
    out.offsets = out.aligned.data();
  } else {
    out.offsets = static_cast<const Offset*>(raw);
  }
  const Offset* const first = out.offsets + array.offset;
  bool ascending = first[0] >= 0;
  for (std::int64_t k = 0; k < array.length; ++k) ascending &= first[k + 1] >= first[k];
  if (!ascending) chunks.refuse("Arrow string offsets out of order");
  out.data = static_cast<const char*>(array.buffers[2]);
  if (out.data == nullptr && first[array.length] != first[0]) {
    chunks.refuse("Arrow strings without their bytes");
  }
  return out;
}

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

// Returns the texts that the ordinary typing gives a null cell whose object is
// `missing`: before the column's first text (where it is typed first, as a
// number when it reads as one, and written as text when the column turns) and
// after it. Both come from the same typing as any other cell.
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
// The strings of one dictionary, checked, and the entry of each slot once a
// row uses it: values that no row uses are not labels.
struct DictionaryTexts {
  static constexpr auto kNoEntry = TextColumn::kMaxEntries;
  const ArrowArray* array = nullptr;
  const std::uint8_t* validity = nullptr;
  CheckedOffsets<std::int32_t> small;  // utf8
  CheckedOffsets<std::int64_t> large;  // large_utf8
  bool is_large = false;
  std::vector<TextColumn::EntryId> entry_of_slot;

  DictionaryTexts(const ArrowColumnChunks& chunks, const ArrowArray& dictionary, bool large_utf8)
      : array(&dictionary),
        validity(arrow_validity(chunks, dictionary)),
        is_large(large_utf8),
        entry_of_slot(static_cast<std::size_t>(dictionary.length), kNoEntry) {
    if (is_large) {
      large = check_offsets<std::int64_t>(chunks, dictionary);
    } else {
      small = check_offsets<std::int32_t>(chunks, dictionary);
    }
  }

  // The text of `slot` (below the dictionary's length), or nothing if null.
  std::optional<std::string_view> text(std::int64_t slot) const {
    const std::int64_t at = array->offset + slot;
    if (validity != nullptr && !arrow_bit(validity, at)) return std::nullopt;
    const auto view = [](const auto& checked, std::int64_t k) {
      if (checked.data == nullptr) return std::string_view();
      return std::string_view(
          checked.data + checked.offsets[k],
          static_cast<std::size_t>(checked.offsets[k + 1] - checked.offsets[k]));
    };
    return is_large ? view(large, at) : view(small, at);
  }
};

// The entries of a dictionary column's texts, and the one entry of its nulls.
struct DictionaryEntries {
  TextColumn& texts;
  std::string_view null_text;
  TextColumn::EntryId null_entry = DictionaryTexts::kNoEntry;

  TextColumn::EntryId add(std::string_view text) {
    const auto entry = static_cast<TextColumn::EntryId>(texts.entry_count());
    texts.push_back(text);
    return entry;
  }
  TextColumn::EntryId of_null() {
    if (null_entry == DictionaryTexts::kNoEntry) [[unlikely]]
      null_entry = add(null_text);
    return null_entry;
  }
  // Makes the entry of `slot`, the first time a row uses it.
  TextColumn::EntryId add_slot(DictionaryTexts& dictionary, std::size_t slot) {
    const std::optional<std::string_view> text = dictionary.text(static_cast<std::int64_t>(slot));
    return dictionary.entry_of_slot[slot] = text ? add(*text) : of_null();
  }
};

// Gives each row of `array`, whose indices are of type Index, the entry of
// its dictionary slot, or the null entry; every index is checked first.
template <class Index>
void add_dictionary_rows(const ArrowColumnChunks& chunks, const ArrowArray& array,
                         DictionaryTexts& dictionary, DictionaryEntries& entries,
                         TextColumn::EntryId* ids) {
  const std::uint8_t* validity = arrow_validity(chunks, array);
  const char* indices = static_cast<const char*>(array.buffers[1]) + array.offset * sizeof(Index);
  const std::int64_t limit = dictionary.array->length;
  const auto add_valid_row = [&](std::int64_t k) {
    Index index;
    std::memcpy(&index, indices + k * static_cast<std::int64_t>(sizeof(Index)), sizeof index);
    if (!std::cmp_greater_equal(index, 0) || !std::cmp_less(index, limit)) [[unlikely]] {
      chunks.refuse("an Arrow dictionary index out of range");
    }
    const auto slot = static_cast<std::size_t>(index);
    const TextColumn::EntryId entry = dictionary.entry_of_slot[slot];
    ids[k] = entry != DictionaryTexts::kNoEntry ? entry : entries.add_slot(dictionary, slot);
  };
  for (std::int64_t k = 0; k < array.length; ++k) {
    const std::int64_t bit = array.offset + k;
    if (validity == nullptr) {
      add_valid_row(k);
    } else if ((bit & 7) == 0 && array.length - k >= 8 && validity[bit >> 3] == 0xFF) {
      for (std::int64_t b = 0; b < 8; ++b) add_valid_row(k + b);  // a byte of valid rows
      k += 7;
    } else if (arrow_bit(validity, bit)) {
      add_valid_row(k);
    } else {
      ids[k] = entries.of_null();
    }
  }
}

// Reads a column of dictionaries of strings as text from its first row: the
// texts that rows use become the column's entries, once per dictionary, and
// each row refers to its entry by id; a null row, or one whose slot is null,
// refers to the entry of the text of `missing`.
void read_dictionary_column(const ArrowColumnChunks& chunks, PyObject* missing, std::size_t j,
                            TypedColumns& columns) {
  const std::string null_text = null_cell_texts(missing).after;
  const bool large = std::string_view(chunks.schema.get().dictionary->format) == "U";
  std::vector<double>().swap(columns.number_cells[j]);
  columns.column_is_text[j] = true;
  TextColumn& texts = columns.text_cells[j];
  texts.use_row_ids();
  DictionaryEntries entries{texts, null_text};
  std::vector<TextColumn::EntryId> ids(columns.row_count);
  std::vector<DictionaryTexts> dictionaries;
  std::size_t row = 0;
  for (const ArrowOwned<ArrowArray>& owned : chunks.arrays) {
    const ArrowArray& array = owned.get();
    if (array.n_buffers != 2 || array.n_children != 0 || array.dictionary == nullptr) {
      chunks.refuse("unexpected Arrow layout");
    }
    if (array.length == 0) continue;
    if (array.buffers[1] == nullptr) chunks.refuse("Arrow indices without data");
    const ArrowArray& values = *array.dictionary;
    if (values.length < 0 || values.offset < 0 ||
        values.offset > std::numeric_limits<std::int64_t>::max() - values.length) {
      chunks.refuse("an Arrow dictionary of length " + std::to_string(values.length));
    }
    auto known =
        std::find_if(dictionaries.begin(), dictionaries.end(),
                     [&](const DictionaryTexts& d) { return same_arrow_array(*d.array, values); });
    if (known == dictionaries.end()) {
      dictionaries.emplace_back(chunks, values, large);
      known = dictionaries.end() - 1;
    }
    TextColumn::EntryId* out = ids.data() + row;
    switch (chunks.format()[0]) {
      case 'c':
        add_dictionary_rows<std::int8_t>(chunks, array, *known, entries, out);
        break;
      case 'C':
        add_dictionary_rows<std::uint8_t>(chunks, array, *known, entries, out);
        break;
      case 's':
        add_dictionary_rows<std::int16_t>(chunks, array, *known, entries, out);
        break;
      case 'S':
        add_dictionary_rows<std::uint16_t>(chunks, array, *known, entries, out);
        break;
      case 'i':
        add_dictionary_rows<std::int32_t>(chunks, array, *known, entries, out);
        break;
      case 'I':
        add_dictionary_rows<std::uint32_t>(chunks, array, *known, entries, out);
        break;
      case 'l':
        add_dictionary_rows<std::int64_t>(chunks, array, *known, entries, out);
        break;
      default:
        add_dictionary_rows<std::uint64_t>(chunks, array, *known, entries, out);
        break;
    }
    row += static_cast<std::size_t>(array.length);
  }
  texts.replace_row_ids(std::move(ids));
}

}  // namespace

bool is_arrow_text_dictionary(const ArrowColumnChunks& chunks, PyObject* missing) {
  const ArrowSchema* values = chunks.schema.get().dictionary;
  const std::string_view index = chunks.format();
  if (values == nullptr || values->format == nullptr || values->dictionary != nullptr ||
      index.size() != 1 || std::string_view("cCsSiIlL").find(index[0]) == std::string_view::npos) {
    return false;
  }
  const std::string_view format(values->format);
  if (format != "u" && format != "U") return false;
  // A null that reads as a number would leave rows before the first text
  // numbers: such a column is typed by its distinct values instead.
  TypedColumns alone(1, 1);
  take_cell(missing, 0, alone);
  return alone.column_is_text[0];
}

bool is_arrow_text_format(std::string_view format) {
  return format == "u" || format == "U" || format == "vu";
}

void read_arrow_str_column(const std::shared_ptr<const ArrowColumnChunks>& chunks,
                           PyObject* missing, std::size_t j, TypedColumns& columns,
                           SignalCheck& signals) {
  if (chunks->schema.get().dictionary != nullptr) {
    read_dictionary_column(*chunks, missing, j, columns);
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
