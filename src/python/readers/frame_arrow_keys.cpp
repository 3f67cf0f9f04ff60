// The Arrow key reader: one chunk is read in place, as a fixed-width value
// or a bit a row, its nulls from the validity bitmap; several chunks are
// gathered into one key a row first, each dictionary's indices lifted past
// those of the different dictionaries before it, so that equal keys always
// stand for equal values.
#include "python/readers/frame_arrow_keys.hpp"

#include <cstring>
#include <limits>
#include <string_view>
#include <utility>
#include <vector>

#include "python/arrow/arrow_type.hpp"

namespace colenc::py {

// The arrays of one column and how a key is read from them.
struct ArrowKeyColumn {
  std::shared_ptr<const ArrowColumnChunks> chunks;
  int width = 0;                        // bytes of a value or index; 0: one bit a row
  bool dictionary = false;              // keys are indices into each chunk's dictionary
  std::vector<std::uint64_t> key_base;  // per chunk: added to its indices
};

namespace {

// Bytes of a value of the Arrow `format`: 0 for booleans (a bit each), -1
// for a type not read by its keys. Integers, floats, date32, date64,
// timestamps and durations of any unit.
int value_width(std::string_view format) {
  if (format == "b") return 0;
  if (format == "c" || format == "C") return 1;
  if (format == "s" || format == "S" || format == "e") return 2;
  if (format == "i" || format == "I" || format == "f" || format == "tdD") return 4;
  if (format == "l" || format == "L" || format == "g" || format == "tdm") return 8;
  const bool unit =
      format.size() >= 3 && std::string_view("smun").find(format[2]) != std::string_view::npos;
  if (unit && format.starts_with("ts") && format.size() >= 4 && format[3] == ':') return 8;
  if (unit && format.starts_with("tD") && format.size() == 3) return 8;
  return -1;
}

bool is_index_format(std::string_view format) {
  return format.size() == 1 &&
         std::string_view("cCsSiIlL").find(format[0]) != std::string_view::npos;
}

// Sets the time form of timestamps (naive or in UTC, whose cells are
// Timestamps in datetime.timezone.utc) and durations.
void set_time_form(std::string_view format, DistinctValuesColumn::TimeForm& time) {
  if (format.starts_with("tD")) {
    time.digits = unit_digits(format[2]);
    time.timedelta = true;
  } else if (format.starts_with("ts")) {
    const std::string_view zone = format.substr(4);
    if (zone.empty() || zone == "UTC" || zone == "+00:00") {
      time.digits = unit_digits(format[2]);
      time.offset = zone.empty() ? std::string_view() : std::string_view("+00:00");
    }
  }
}

// True when every valid index of `array`, of type Index, lies in [0, limit).
// A null slot may hold any index.
template <class Index>
bool indices_inside(const ArrowArray& array, const std::uint8_t* validity, std::int64_t limit) {
  const char* indices = static_cast<const char*>(array.buffers[1]) + array.offset * sizeof(Index);
  const auto inside = [limit](Index index) {
    return std::cmp_greater_equal(index, 0) && std::cmp_less(index, limit);
  };
  bool all = true;
  for (std::int64_t k = 0; k < array.length; ++k) {
    Index index;
    std::memcpy(&index, indices + k * static_cast<std::int64_t>(sizeof(Index)), sizeof index);
    const bool valid = validity == nullptr || arrow_bit(validity, array.offset + k);
    all &= !valid || inside(index);
  }
  return all;
}

bool indices_inside(std::string_view format, const ArrowArray& array, const std::uint8_t* validity,
                    std::int64_t limit) {
  switch (format[0]) {
    case 'c':
      return indices_inside<std::int8_t>(array, validity, limit);
    case 'C':
      return indices_inside<std::uint8_t>(array, validity, limit);
    case 's':
      return indices_inside<std::int16_t>(array, validity, limit);
    case 'S':
      return indices_inside<std::uint16_t>(array, validity, limit);
    case 'i':
      return indices_inside<std::int32_t>(array, validity, limit);
    case 'I':
      return indices_inside<std::uint32_t>(array, validity, limit);
    case 'l':
      return indices_inside<std::int64_t>(array, validity, limit);
    default:
      return indices_inside<std::uint64_t>(array, validity, limit);
  }
}

// Checks the layout of every array of `column` and, for dictionaries, that
// every valid index lies within its dictionary; sets the key bases.
void check_arrays(ArrowKeyColumn& column) {
  const ArrowColumnChunks& chunks = *column.chunks;
  std::uint64_t next_base = 0;
  for (std::size_t c = 0; c < chunks.arrays.size(); ++c) {
    const ArrowArray& array = chunks.arrays[c].get();
    if (array.n_buffers != 2 || array.n_children != 0 ||
        (column.dictionary && array.dictionary == nullptr)) {
      chunks.refuse("unexpected Arrow layout");
    }
    if (array.length > 0 && array.buffers[1] == nullptr) chunks.refuse("Arrow values without data");
    const std::uint8_t* validity = arrow_validity(chunks, array);
    column.key_base.push_back(0);
    if (!column.dictionary || array.length == 0) continue;
    const ArrowArray& values = *array.dictionary;
    if (values.length < 0) chunks.refuse("an Arrow dictionary of negative length");
    std::size_t same = c;
    for (std::size_t earlier = 0; earlier < c && same == c; ++earlier) {
      const ArrowArray& other = chunks.arrays[earlier].get();
      // An empty chunk has no base of its own.
      if (other.length > 0 && same_arrow_array(*other.dictionary, values)) same = earlier;
    }
    if (same != c) {
      column.key_base[c] = column.key_base[same];
    } else {
      column.key_base[c] = next_base;
      next_base += static_cast<std::uint64_t>(values.length);
    }
    if (!indices_inside(chunks.format(), array, validity, values.length)) {
      chunks.refuse("an Arrow dictionary index out of range");
    }
  }
}

// The keys of one array read in place, each value's bytes zero-extended;
// null rows by the validity bitmap when kNullable.
template <class Item, bool kNullable>
struct FixedKeys {
  static constexpr std::uint64_t kKeyLimit = std::numeric_limits<Item>::max();
  const char* values;  // at the array's first row
  const std::uint8_t* validity;
  std::int64_t bit_offset;
  std::size_t rows;
  std::size_t size() const { return rows; }
  std::uint64_t key(std::size_t row) const {
    Item item;
    std::memcpy(&item, values + row * sizeof(Item), sizeof item);
    return item;
  }
  bool is_null(std::size_t row) const {
    return kNullable && !arrow_bit(validity, bit_offset + static_cast<std::int64_t>(row));
  }
};

// The keys of one boolean array read in place, one bit a row.
template <bool kNullable>
struct BitKeys {
  static constexpr std::uint64_t kKeyLimit = 1;
  const std::uint8_t* values;
  const std::uint8_t* validity;
  std::int64_t bit_offset;
  std::size_t rows;
  std::size_t size() const { return rows; }
  std::uint64_t key(std::size_t row) const {
    return arrow_bit(values, bit_offset + static_cast<std::int64_t>(row)) ? 1 : 0;
  }
  bool is_null(std::size_t row) const {
    return kNullable && !arrow_bit(validity, bit_offset + static_cast<std::int64_t>(row));
  }
};

template <class Item>
FactorizedValues factorize_in_place(const ArrowArray& array, const std::uint8_t* validity,
                                    std::size_t rows) {
  const char* values = static_cast<const char*>(array.buffers[1]) + array.offset * sizeof(Item);
  if (validity != nullptr) {
    return factorize_values(FixedKeys<Item, true>{values, validity, array.offset, rows});
  }
  return factorize_values(FixedKeys<Item, false>{values, nullptr, array.offset, rows});
}

template <bool kNullable>
FactorizedValues factorize_bits(const ArrowArray& array, const std::uint8_t* validity,
                                std::size_t rows) {
  return factorize_values(BitKeys<kNullable>{static_cast<const std::uint8_t*>(array.buffers[1]),
                                             validity, array.offset, rows});
}

// The key of `slot` of `array`, before its chunk's base is added.
std::uint64_t raw_key(const ArrowArray& array, std::int64_t slot, int width) {
  const auto* values = static_cast<const char*>(array.buffers[1]);
  if (width == 0) return arrow_bit(reinterpret_cast<const std::uint8_t*>(values), slot) ? 1 : 0;
  std::uint64_t key = 0;
  // The value's bytes zero-extended: distinct values give distinct keys.
  switch (width) {
    case 1: {
      std::uint8_t v;
      std::memcpy(&v, values + slot, 1);
      key = v;
      break;
    }
    case 2: {
      std::uint16_t v;
      std::memcpy(&v, values + slot * 2, 2);
      key = v;
      break;
    }
    case 4: {
      std::uint32_t v;
      std::memcpy(&v, values + slot * 4, 4);
      key = v;
      break;
    }
    default:
      std::memcpy(&key, values + slot * 8, 8);
      break;
  }
  return key;
}

}  // namespace

bool find_arrow_keys(std::shared_ptr<const ArrowColumnChunks> chunks, std::size_t j,
                     DistinctValuesColumn& out) {
  const ArrowSchema& schema = chunks->schema.get();
  const std::string_view format = chunks->format();
  auto column = std::make_shared<ArrowKeyColumn>();
  if (schema.dictionary != nullptr) {
    const ArrowSchema& values = *schema.dictionary;
    if (!is_index_format(format) || values.format == nullptr || values.dictionary != nullptr) {
      return false;
    }
    const std::string_view value_format(values.format);
    if (value_width(value_format) < 0 && value_format != "u" && value_format != "U" &&
        value_format != "vu") {
      return false;
    }
    column->dictionary = true;
    column->width = value_width(format);
  } else {
    column->width = value_width(format);
    if (column->width < 0) return false;
    set_time_form(format, out.time);
  }
  column->chunks = std::move(chunks);
  check_arrays(*column);
  out.arrow = std::move(column);
  out.column = j;
  return true;
}

FactorizedValues factorize_arrow_keys(const ArrowKeyColumn& column, std::size_t rows) {
  const ArrowColumnChunks& chunks = *column.chunks;
  if (chunks.arrays.size() == 1) {
    const ArrowArray& array = chunks.arrays[0].get();
    const std::uint8_t* validity = arrow_validity(chunks, array);
    switch (column.width) {
      case 0:
        return validity != nullptr ? factorize_bits<true>(array, validity, rows)
                                   : factorize_bits<false>(array, nullptr, rows);
      case 1:
        return factorize_in_place<std::uint8_t>(array, validity, rows);
      case 2:
        return factorize_in_place<std::uint16_t>(array, validity, rows);
      case 4:
        return factorize_in_place<std::uint32_t>(array, validity, rows);
      default:
        return factorize_in_place<std::uint64_t>(array, validity, rows);
    }
  }
  KeyVector gathered;
  gathered.keys.resize(rows);
  gathered.nulls.assign(rows, 0);
  std::size_t row = 0;
  for (std::size_t c = 0; c < chunks.arrays.size(); ++c) {
    const ArrowArray& array = chunks.arrays[c].get();
    const std::uint8_t* validity = arrow_validity(chunks, array);
    for (std::int64_t k = 0; k < array.length; ++k, ++row) {
      const std::int64_t slot = array.offset + k;
      if (validity != nullptr && !arrow_bit(validity, slot)) {
        gathered.nulls[row] = 1;  // its slot may hold anything
        continue;
      }
      gathered.keys[row] = column.key_base[c] + raw_key(array, slot, column.width);
    }
  }
  return factorize_values(gathered);
}

std::int64_t arrow_ticks(const ArrowKeyColumn& column, std::size_t row) {
  for (const ArrowOwned<ArrowArray>& owned : column.chunks->arrays) {
    const ArrowArray& array = owned.get();
    const auto length = static_cast<std::size_t>(array.length);
    if (row < length) {
      return static_cast<std::int64_t>(
          raw_key(array, array.offset + static_cast<std::int64_t>(row), 8));
    }
    row -= length;
  }
  column.chunks->refuse("a row beyond the column's arrays");
}

}  // namespace colenc::py
