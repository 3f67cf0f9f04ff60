// Reading Arrow columns into typed columns. Each column is read batch by
// batch through checked views; a text column is handed to the pipeline as
// soon as it is read, so that it is encoded while the next one is read.
#include "python/arrow/arrow_columns.hpp"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/columns/typed_columns.hpp"
#include "core/hashing/hash_map.hpp"
#include "core/hashing/keyed_hash.hpp"
#include "core/labels/labels.hpp"
#include "python/arrow/arrow_invalid.hpp"
#include "python/arrow/arrow_time_texts.hpp"
#include "python/runtime/panic.hpp"
#include "python/runtime/signal_check.hpp"

namespace colenc::py {
namespace {

constexpr std::string_view kNullText = "<NA>";
const double kNaN = std::numeric_limits<double>::quiet_NaN();

double half_to_double(std::uint16_t half) {
  const int exponent = (half >> 10) & 0x1f;
  const int mantissa = half & 0x3ff;
  double value;
  if (exponent == 0) {
    value = std::ldexp(mantissa, -24);
  } else if (exponent == 31) {
    value = mantissa == 0 ? std::numeric_limits<double>::infinity() : kNaN;
  } else {
    value = std::ldexp(mantissa + 1024, exponent - 25);
  }
  return (half & 0x8000) != 0 ? -value : value;
}

// The nearest double of a decimal: `width` bytes of little-endian two's
// complement, divided by 10^scale. Its decimal digits are parsed by strtod,
// which rounds correctly, as float(decimal.Decimal) does.
double decimal_to_double(const unsigned char* bytes, int width, int scale) {
  std::uint32_t limbs[8] = {};
  const int count = width / 4;
  for (int k = 0; k < count; ++k) std::memcpy(&limbs[k], bytes + 4 * k, 4);
  const bool negative = (limbs[count - 1] & 0x80000000u) != 0;
  if (negative) {
    std::uint64_t carry = 1;
    for (int k = 0; k < count; ++k) {
      const std::uint64_t sum = static_cast<std::uint64_t>(~limbs[k]) + carry;
      limbs[k] = static_cast<std::uint32_t>(sum);
      carry = sum >> 32;
    }
  }
  // Groups of nine digits, least significant first.
  std::uint32_t groups[10];
  int group_count = 0;
  for (;;) {
    bool zero = true;
    std::uint64_t rest = 0;
    for (int k = count - 1; k >= 0; --k) {
      const std::uint64_t part = (rest << 32) | limbs[k];
      limbs[k] = static_cast<std::uint32_t>(part / 1'000'000'000u);
      rest = part % 1'000'000'000u;
      zero = zero && limbs[k] == 0;
    }
    groups[group_count++] = static_cast<std::uint32_t>(rest);
    if (zero) break;
  }
  std::string text = negative ? "-" : "";
  text += std::to_string(groups[group_count - 1]);
  for (int k = group_count - 2; k >= 0; --k) {
    const std::string digits = std::to_string(groups[k]);
    text.append(9 - digits.size(), '0').append(digits);
  }
  text += 'e';
  text += std::to_string(-static_cast<std::int64_t>(scale));
  // Digits and an exponent only: no decimal point, so the locale plays no
  // part. Beyond the doubles, strtod gives infinity above them and zero or
  // the nearest subnormal below, as float() of a Decimal does.
  return std::strtod(text.c_str(), nullptr);
}

// The float64 of valid row i of a number array (not null-typed).
double number_at(const ArrowArrayView& view, std::int64_t i) {
  const ArrowType& type = *view.type;
  switch (type.kind) {
    case ArrowKind::kBool:
      return view.bit(i) ? 1.0 : 0.0;
    case ArrowKind::kInt:
      switch (type.byte_width) {
        case 1:
          return view.value<std::int8_t>(i);
        case 2:
          return view.value<std::int16_t>(i);
        case 4:
          return view.value<std::int32_t>(i);
        default:
          return static_cast<double>(view.value<std::int64_t>(i));
      }
    case ArrowKind::kUInt:
      switch (type.byte_width) {
        case 1:
          return view.value<std::uint8_t>(i);
        case 2:
          return view.value<std::uint16_t>(i);
        case 4:
          return view.value<std::uint32_t>(i);
        default:
          return static_cast<double>(view.value<std::uint64_t>(i));
      }
    case ArrowKind::kFloat16:
      return half_to_double(view.value<std::uint16_t>(i));
    case ArrowKind::kFloat32:
      return view.value<float>(i);
    case ArrowKind::kFloat64:
      return view.value<double>(i);
    case ArrowKind::kDecimal:
      return decimal_to_double(view.fixed_bytes(i), type.byte_width, type.scale);
    default:
      return kNaN;
  }
}

// Writes the values of a plain array of T, NaN for null rows.
template <class T>
void write_plain(const ArrowArrayView& view, double* out) {
  for (std::int64_t i = 0; i < view.length; ++i) {
    out[i] = view.is_valid(i) ? static_cast<double>(view.value<T>(i)) : kNaN;
  }
}

void write_numbers(const ArrowArrayView& view, double* out) {
  const ArrowType& type = *view.type;
  if (type.kind == ArrowKind::kNull) {
    std::fill(out, out + view.length, kNaN);
    return;
  }
  if (type.kind == ArrowKind::kFloat64) return write_plain<double>(view, out);
  if (type.kind == ArrowKind::kInt && type.byte_width == 8)
    return write_plain<std::int64_t>(view, out);
  if (type.kind == ArrowKind::kInt && type.byte_width == 4)
    return write_plain<std::int32_t>(view, out);
  if (type.kind == ArrowKind::kDictionary) {
    const ArrowArrayView& values = view.dictionary();
    for (std::int64_t i = 0; i < view.length; ++i) {
      if (!view.is_valid(i)) {
        out[i] = kNaN;
        continue;
      }
      const std::int64_t k = view.index(i);
      out[i] =
          values.is_valid(k) && values.type->kind != ArrowKind::kNull ? number_at(values, k) : kNaN;
    }
    return;
  }
  for (std::int64_t i = 0; i < view.length; ++i) {
    out[i] = view.is_valid(i) ? number_at(view, i) : kNaN;
  }
}

// Appends rows [0, length) of a utf8 / large_utf8 array, "<NA>" for null
// rows. A run of rows whose offsets lie aligned is copied in one piece;
// offsets that lie unaligned, row by row in one pass.
void append_texts(const ArrowArrayView& view, TextColumn& texts) {
  const ArrowKind kind = view.type->kind;
  const std::size_t width = kind == ArrowKind::kUtf8 ? 4 : 8;
  const bool runs = !view.has_nulls() && view.length > 0 &&
                    reinterpret_cast<std::uintptr_t>(view.text_offsets(0)) % width == 0;
  const auto count = static_cast<std::size_t>(view.length);
  if (!runs) {
    texts.append_texts(count, [&](std::size_t k) {
      const auto i = static_cast<std::int64_t>(k);
      return view.is_valid(i) ? view.text(i) : kNullText;
    });
  } else if (kind == ArrowKind::kUtf8) {
    texts.append_run(view.text_data(), static_cast<const std::int32_t*>(view.text_offsets(0)),
                     count);
  } else {
    texts.append_run(view.text_data(), static_cast<const std::int64_t*>(view.text_offsets(0)),
                     count);
  }
}

// What a column that borrows string views keeps alive: the batches, and,
// for a column of several batches, its views gathered in one buffer.
struct BorrowedViews {
  std::vector<std::shared_ptr<OwnedArray>> batches;
  std::unique_ptr<char[]> views;
};

// Makes text column j borrow its rows' 16-byte views, read by the fit where
// they lie: no text is copied. The views of several batches are gathered
// into one buffer, each long view's buffer index moved past the buffers of
// the batches before, and a null row given the view of "<NA>".
void borrow_view_column(const ArrowTable& table, std::size_t j, TypedColumns& columns) {
  auto keep = std::make_shared<BorrowedViews>();
  keep->batches = table.batches;
  if (table.batches.size() == 1) {
    const ArrowArrayView view = table.column_view(0, j);
    TextColumn::BorrowedNulls nulls;
    if (view.validity() != nullptr) {
      nulls.validity = view.validity();
      nulls.bit_offset = view.offset();
      nulls.before = nulls.after = std::string(kNullText);
    }
    const char* views = view.text_view(0);
    columns.borrow_views(j, views, view.view_buffers(), table.rows, std::move(keep), nulls);
    return;
  }
  keep->views.reset(new char[16 * table.rows]);
  char* out = keep->views.get();
  std::vector<const char*> buffers;
  char null_view[16] = {};
  const auto null_size = static_cast<std::int32_t>(kNullText.size());
  std::memcpy(null_view, &null_size, 4);
  std::memcpy(null_view + 4, kNullText.data(), kNullText.size());
  for (std::size_t b = 0; b < table.batches.size(); ++b) {
    const ArrowArrayView view = table.column_view(b, j);
    const std::size_t base = buffers.size();
    buffers.insert(buffers.end(), view.view_buffers().begin(), view.view_buffers().end());
    if (buffers.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
      throw ArrowInvalid("more string view buffers than a view can name");
    }
    for (std::int64_t i = 0; i < view.length; ++i, out += 16) {
      if (!view.is_valid(i)) {
        std::memcpy(out, null_view, 16);
        continue;
      }
      std::memcpy(out, view.text_view(i), 16);
      std::int32_t size;
      std::memcpy(&size, out, 4);
      if (size > TextColumn::kInlineView && base != 0) {
        std::int32_t buffer;
        std::memcpy(&buffer, out + 8, 4);
        buffer += static_cast<std::int32_t>(base);
        std::memcpy(out + 8, &buffer, 4);
      }
    }
  }
  const char* views = keep->views.get();
  columns.borrow_views(j, views, std::move(buffers), table.rows, std::move(keep));
}

// Entries of a column whose rows hold entry ids (placed in the matrix): an
// entry per distinct key, in order of first use, and one for null rows.
class EntryIds {
 public:
  // Returns the id of `key`, adding an entry for it on first use.
  double id_of(std::uint64_t key) {
    const auto [at, added] = ids_.try_emplace(key, keys_.size());
    if (added) keys_.push_back(key);
    return static_cast<double>(at->second);
  }
  double null_id() {
    if (null_entry_ == kNone) {
      null_entry_ = keys_.size();
      keys_.push_back(0);
    }
    return static_cast<double>(null_entry_);
  }
  const std::vector<std::uint64_t>& keys() const { return keys_; }
  bool is_null_entry(std::size_t k) const { return k == null_entry_; }
  void restart() { HashMap<std::uint64_t, std::uint64_t, KeyedHash>().swap(ids_); }

 private:
  static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
  HashMap<std::uint64_t, std::uint64_t, KeyedHash> ids_;
  std::vector<std::uint64_t> keys_;
  std::size_t null_entry_ = kNone;
};

// Reads a dictionary of texts: each row's id is that of its dictionary value,
// numbered in order of first use per batch (a value no row uses is no entry),
// so the entries are the used values of each batch's dictionary.
void read_text_dictionary(const ArrowTable& table, std::size_t j, double* out, TextColumn& texts,
                          SignalCheck& signals) {
  std::int64_t null_entry = -1;
  for (std::size_t b = 0; b < table.batches.size(); ++b) {
    const ArrowArrayView view = table.column_view(b, j);
    const ArrowArrayView& values = view.dictionary();
    std::vector<std::int64_t> entry_of(static_cast<std::size_t>(values.length), -1);
    for (std::int64_t i = 0; i < view.length; ++i) {
      std::int64_t* slot = nullptr;
      if (view.is_valid(i)) {
        const std::int64_t k = view.index(i);
        slot = values.is_valid(k) ? &entry_of[static_cast<std::size_t>(k)] : &null_entry;
        if (*slot < 0) {
          *slot = static_cast<std::int64_t>(texts.size());
          texts.push_back(slot == &null_entry ? kNullText : values.text(k));
        }
      } else {
        slot = &null_entry;
        if (*slot < 0) {
          *slot = static_cast<std::int64_t>(texts.size());
          texts.push_back(kNullText);
        }
      }
      out[i] = static_cast<double>(*slot);
    }
    out += view.length;
    signals.tick_many(static_cast<std::size_t>(view.length));
  }
}

// Reads a time column: each row's id is that of its distinct tick, and the
// entries are the ticks' texts.
void read_times(const ArrowTable& table, std::size_t j, double* out, TextColumn& texts,
                SignalCheck& signals) {
  const ArrowType& type = table.column_types[j];
  EntryIds ids;
  for (std::size_t b = 0; b < table.batches.size(); ++b) {
    const ArrowArrayView view = table.column_view(b, j);
    const bool narrow = type.byte_width == 4;
    for (std::int64_t i = 0; i < view.length; ++i) {
      if (!view.is_valid(i)) {
        out[i] = ids.null_id();
        continue;
      }
      const std::int64_t tick = narrow ? view.value<std::int32_t>(i) : view.value<std::int64_t>(i);
      out[i] = ids.id_of(static_cast<std::uint64_t>(tick));
    }
    out += view.length;
    signals.tick_many(static_cast<std::size_t>(view.length));
  }
  ids.restart();
  std::vector<std::int64_t> ticks;
  ticks.reserve(ids.keys().size());
  for (std::size_t k = 0; k < ids.keys().size(); ++k) {
    // The null entry's tick is a stand-in; its text is replaced below.
    ticks.push_back(ids.is_null_entry(k) ? 0 : static_cast<std::int64_t>(ids.keys()[k]));
  }
  std::vector<std::string> written = time_texts(type, ticks);
  for (std::size_t k = 0; k < written.size(); ++k) {
    texts.push_back(ids.is_null_entry(k) ? kNullText : std::string_view(written[k]));
  }
}

// Returns the text of the first row of column j whose text is no
// missing-value label (every time text is none), and that row; nothing when
// every row is null or missing.
std::optional<std::pair<std::size_t, std::string>> first_text(const ArrowTable& table,
                                                              std::size_t j) {
  const ArrowType& type = table.column_types[j];
  std::size_t row = 0;
  for (std::size_t b = 0; b < table.batches.size(); ++b) {
    const ArrowArrayView view = table.column_view(b, j);
    for (std::int64_t i = 0; i < view.length; ++i, ++row) {
      if (!view.is_valid(i)) continue;
      if (type.role() == ArrowRole::kTime) {
        const std::int64_t tick =
            type.byte_width == 4 ? view.value<std::int32_t>(i) : view.value<std::int64_t>(i);
        return std::pair(row, time_texts(type, {tick})[0]);
      }
      std::string_view text;
      if (type.kind == ArrowKind::kDictionary) {
        const std::int64_t k = view.index(i);
        if (!view.dictionary().is_valid(k)) continue;
        text = view.dictionary().text(k);
      } else {
        text = view.text(i);
      }
      if (!is_missing_label(text)) return std::pair(row, std::string(text));
    }
  }
  return std::nullopt;
}

void read_column(const ArrowTable& table, std::size_t j, std::span<double> placed,
                 TypedColumns& columns, SignalCheck& signals) {
  const ArrowType& type = table.column_types[j];
  double* run = placed.data() + j * table.rows;
  const ArrowRole role = type.role();
  if (role != ArrowRole::kNumber && columns.keeps_numbers(j)) {
    // Texts in a column a transform's fit holds as numbers: none converts.
    std::fill(columns.number_run(j, placed), run + table.rows, missing_code_value());
    if (auto text = first_text(table, j)) columns.note_unknown(j, text->first, text->second);
    signals.tick_many(table.rows);
    return;
  }
  if (role == ArrowRole::kNumber) {
    double* out = columns.number_run(j, placed);
    for (std::size_t b = 0; b < table.batches.size(); ++b) {
      const ArrowArrayView view = table.column_view(b, j);
      write_numbers(view, out);
      out += view.length;
      signals.tick_many(static_cast<std::size_t>(view.length));
    }
    return;
  }
  if (type.kind == ArrowKind::kLargeUtf8 && table.batches.size() == 1) {
    // A large_string column of one batch whose offsets lie aligned is read
    // where it lies, the batch kept alive by the column.
    const ArrowArrayView view = table.column_view(0, j);
    if (view.text_data() != nullptr &&
        reinterpret_cast<std::uintptr_t>(view.text_offsets(0)) % sizeof(std::int64_t) == 0) {
      TextColumn::BorrowedNulls nulls;
      if (view.has_nulls()) {
        nulls.validity = view.validity();
        nulls.bit_offset = view.offset();
        nulls.before = nulls.after = std::string(kNullText);
      }
      columns.borrow_texts(j, view.text_data(),
                           static_cast<const std::int64_t*>(view.text_offsets(0)), table.rows,
                           table.batches[0], nulls);
      signals.tick_many(table.rows);
      return;
    }
  }
  if (type.kind == ArrowKind::kUtf8View) {
    borrow_view_column(table, j, columns);
    signals.tick_many(table.rows);
    return;
  }
  TextColumn& texts = columns.text_cells[j];
  columns.column_is_text[j] = true;
  if (role == ArrowRole::kTime || type.kind == ArrowKind::kDictionary) {
    columns.ids_placed[j] = true;
    if (role == ArrowRole::kTime) {
      read_times(table, j, run, texts, signals);
    } else {
      read_text_dictionary(table, j, run, texts, signals);
    }
    return;
  }
  texts.reserve(table.rows, 0);
  for (std::size_t b = 0; b < table.batches.size(); ++b) {
    const ArrowArrayView view = table.column_view(b, j);
    append_texts(view, texts);
    signals.tick_many(static_cast<std::size_t>(view.length));
  }
}

}  // namespace

std::vector<InPlaceCodes> in_place_codes(const ArrowTable& table,
                                         const std::vector<std::size_t>& columns) {
  std::vector<InPlaceCodes> in_place(table.column_types.size());
  if (table.batches.size() != 1) return in_place;
  for (const std::size_t j : columns) {
    if (j >= in_place.size() || table.column_types[j].kind != ArrowKind::kFloat64) continue;
    try {
      const ArrowArrayView view = table.column_view(0, j);
      const double* cells = view.float64_values();
      if (view.validity() != nullptr || cells == nullptr) continue;
      in_place[j] = InPlaceCodes{cells, table.batches[0]};
    } catch (const ArrowInvalid&) {
      // Read as usual, where the failure is reported.
    }
  }
  return in_place;
}

void read_arrow_columns(const ArrowTable& table, std::span<double> placed, ColumnPipeline& pipeline,
                        const std::vector<bool>* numbers_kept,
                        const std::vector<InPlaceCodes>* in_place) {
  const std::size_t width = table.column_types.size();
  if (placed.size() != table.rows * width) {
    throw InternalError("matrix of " + std::to_string(placed.size()) + " cells for a table of " +
                        std::to_string(table.rows) + " x " + std::to_string(width));
  }
  TypedColumns columns(table.rows, width);
  if (numbers_kept != nullptr) columns.numbers_kept = *numbers_kept;
  SignalCheck signals;
  std::size_t handed_over = 0;
  for (std::size_t j = 0; j < width; ++j) {
    if (in_place != nullptr && (*in_place)[j].cells != nullptr) {
      columns.number_run(j, placed);  // placed: left as it is
      continue;
    }
    try {
      read_column(table, j, placed, columns, signals);
    } catch (const ArrowInvalid& invalid) {
      PyErr_Format(PyExc_ValueError, "column %zu ('%s') of the Arrow table is invalid: %s", j,
                   table.column_names[j].c_str(), invalid.what());
      throw PythonError{};
    }
    if (columns.column_is_text[j]) {
      pipeline.submit(columns.split_off(handed_over, j + 1 - handed_over));
      handed_over = j + 1;
    }
  }
  if (handed_over < width) pipeline.submit(columns.split_off(handed_over, width - handed_over));
}

}  // namespace colenc::py
