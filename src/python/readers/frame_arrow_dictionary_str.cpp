// The dictionary string reader: a table from each dictionary's slots to the
// column's entries, filled as rows first use a slot, and one pass over each
// chunk's indices writing every row's entry id.
#include "python/readers/frame_arrow_dictionary_str.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/cells/typed_column_sink.hpp"
#include "python/readers/frame_arrow_text.hpp"

namespace colenc::py {
namespace {

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

}  // namespace

void read_arrow_dictionary_str_column(const ArrowColumnChunks& chunks, PyObject* missing,
                                      std::size_t j, TypedColumns& columns) {
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

}  // namespace colenc::py
