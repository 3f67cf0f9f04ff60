// Writes and reads the byte form of an Encoder's state. The form is positional
// and little-endian on every host; one walk over the state serves both measuring
// and writing, so the two cannot disagree. The reader decodes in place from the
// caller's bytes and refuses malformed input with a fixed detail text.
//
// The byte form, as a grammar:
//
//   state          := 0x00 strategy                      (no fitted record)
//                   | 0x01 encoding_info strategy
//   encoding_info  := string_columns label_to_code code_to_label
//   string_columns := count column[count]
//   label_to_code  := count (column count (text optional_code)[count])[count]
//   optional_code  := 0x00                               (a missing-value label)
//                   | 0x01 code
//   code_to_label  := count (column count (code text)[count])[count]
//   text           := count byte[count]                  (valid UTF-8)
//   count          := fixed64                            (must fit the size type)
//   column         := fixed64                            (must fit the size type)
//   code           := fixed64                            (any value)
//   strategy       := fixed32                            (0 = label encoding)
//   fixed32        := 4 bytes, little-endian
//   fixed64        := 8 bytes, little-endian
//
// The two outer maps list their columns in ascending order (the order a
// ColumnMap keeps them in); the entries of a column's map follow that map's
// own order, which for a fitted column is the
// order the fit made them in. So one fit gives the same bytes in every process.
// The reader takes the columns in any order. Anything after the strategy is
// ignored by the reader.
#include "core/labels/state_format.hpp"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace colenc {
namespace {

constexpr std::uint8_t kAbsent = 0;
constexpr std::uint8_t kPresent = 1;

// ---------------------------------------------------------------------------
// Writing

// Adds up the length of everything put to it.
class LengthCounter {
 public:
  void put_u8(std::uint8_t) { add(1); }
  void put_u32(std::uint32_t) { add(4); }
  void put_u64(std::uint64_t) { add(8); }
  void put_text(std::string_view text) {
    add(8);
    add(text.size());
  }
  std::size_t total() const { return total_; }

 private:
  void add(std::size_t n) {
    // Only reachable on a 32-bit host, where no buffer could hold the bytes.
    if (n > SIZE_MAX - total_) throw std::length_error("encoder state too large to write");
    total_ += n;
  }
  std::size_t total_ = 0;
};

// Fills a buffer of fixed length front to back. Measuring and writing walk the
// same unchanged state, so a mismatch is a broken invariant; it is thrown as a
// standard exception rather than InternalError so that this file builds with
// clang 14 (whose libstdc++ <source_location> is unusable) for the fuzzer.
class BufferWriter {
 public:
  explicit BufferWriter(std::span<std::uint8_t> out) : out_(out) {}

  void put_u8(std::uint8_t value) { put_le(value, 1); }
  void put_u32(std::uint32_t value) { put_le(value, 4); }
  void put_u64(std::uint64_t value) { put_le(value, 8); }
  void put_text(std::string_view text) {
    put_u64(text.size());
    std::copy(text.begin(), text.end(), reserve(text.size()));
  }
  std::size_t written() const { return pos_; }

 private:
  std::uint8_t* reserve(std::size_t n) {
    if (n > out_.size() - pos_) throw std::logic_error("state writer overran its measured buffer");
    std::uint8_t* at = out_.data() + pos_;
    pos_ += n;
    return at;
  }
  // Shifts rather than memcpy so the bytes are little-endian on any host.
  void put_le(std::uint64_t value, std::size_t width) {
    std::uint8_t* at = reserve(width);
    for (std::size_t i = 0; i < width; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
  }

  std::span<std::uint8_t> out_;
  std::size_t pos_ = 0;
};

// Puts `state` to `sink` in the order of the grammar above.
template <class Sink>
void put_state(const EncoderState& state, Sink& sink) {
  if (!state.encoding_info) {
    sink.put_u8(kAbsent);
  } else {
    const EncodingInfo& info = *state.encoding_info;
    sink.put_u8(kPresent);
    sink.put_u64(info.string_columns.size());
    for (std::size_t column : info.string_columns) sink.put_u64(column);
    sink.put_u64(info.label_to_code.size());
    for (const auto& [column, labels] : info.label_to_code) {
      sink.put_u64(column);
      sink.put_u64(labels.size());
      for (const auto& [label, code] : labels) {
        sink.put_text(label);
        if (code) {
          sink.put_u8(kPresent);
          sink.put_u64(*code);
        } else {
          sink.put_u8(kAbsent);
        }
      }
    }
    sink.put_u64(info.code_to_label.size());
    for (const auto& [column, codes] : info.code_to_label) {
      sink.put_u64(column);
      sink.put_u64(codes.size());
      for (const auto& [code, label] : codes) {
        sink.put_u64(code);
        sink.put_text(label);
      }
    }
  }
  sink.put_u32(static_cast<std::uint32_t>(state.encoding_strat));
}

// ---------------------------------------------------------------------------
// UTF-8 validation

// Where and how a text stops being UTF-8. `error_len` is the length of the
// maximal invalid subsequence (1 to 3), or 0 when the text ends inside a
// sequence that could still have been completed.
struct Utf8Fault {
  std::size_t valid_up_to;
  std::size_t error_len;
};

// Returns the first fault of `text`, or nothing when it is valid UTF-8. Refuses
// overlong forms (C0, C1, E0 80..9F, F0 80..8F), surrogates (ED A0..BF) and
// code points above U+10FFFF (F4 90..BF, F5..FF).
std::optional<Utf8Fault> find_utf8_fault(std::span<const std::uint8_t> text) {
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const std::uint8_t first = text[i];
    if (first < 0x80) {
      ++i;
      continue;
    }
    std::size_t width;
    std::uint8_t second_lo = 0x80, second_hi = 0xBF;
    if (first >= 0xC2 && first <= 0xDF) {
      width = 2;
    } else if (first >= 0xE0 && first <= 0xEF) {
      width = 3;
      if (first == 0xE0) second_lo = 0xA0;
      if (first == 0xED) second_hi = 0x9F;
    } else if (first >= 0xF0 && first <= 0xF4) {
      width = 4;
      if (first == 0xF0) second_lo = 0x90;
      if (first == 0xF4) second_hi = 0x8F;
    } else {
      return Utf8Fault{i, 1};
    }
    for (std::size_t k = 1; k < width; ++k) {
      if (i + k >= n) return Utf8Fault{i, 0};
      const std::uint8_t byte = text[i + k];
      const std::uint8_t lo = k == 1 ? second_lo : 0x80;
      const std::uint8_t hi = k == 1 ? second_hi : 0xBF;
      if (byte < lo || byte > hi) return Utf8Fault{i, k};
    }
    i += width;
  }
  return std::nullopt;
}

std::string describe(const Utf8Fault& fault) {
  std::string detail = "string is not valid utf8: ";
  if (fault.error_len == 0) {
    detail += "incomplete utf-8 byte sequence from index " + std::to_string(fault.valid_up_to);
  } else {
    detail += "invalid utf-8 sequence of " + std::to_string(fault.error_len) +
              " bytes from index " + std::to_string(fault.valid_up_to);
  }
  return detail;
}

// ---------------------------------------------------------------------------
// Reading

constexpr std::string_view kUnexpectedEof = "io error: unexpected end of file";
// A text cut short is reported without a cause after the blank.
constexpr std::string_view kTextPastEnd = "io error: ";

// The most storage reserved ahead of reading from one declared count.
constexpr std::size_t kMaxReserveBytes = std::size_t{1} << 20;

// The fewest bytes one entry of each collection takes in the input.
constexpr std::size_t kColumnBytes = 8;            // column index
constexpr std::size_t kColumnEntryBytes = 16;      // column index, inner count
constexpr std::size_t kLabelEntryBytes = 8 + 1;    // text length, option tag
constexpr std::size_t kCodeEntryBytes = 8 + 8;     // code, text length

// Returns how many entries of `Element` to reserve for a declared `count`:
// no more than fit in 1 MiB, nor than the `left` input bytes could hold at
// `min_entry_bytes` each, so a forged count reserves nothing large.
template <class Element>
std::size_t reserve_ahead(std::size_t count, std::size_t left, std::size_t min_entry_bytes) {
  constexpr std::size_t kCap = kMaxReserveBytes / sizeof(Element);
  return std::min({count, kCap, left / min_entry_bytes});
}

// Decodes from a span it does not own. Each read returns false once the input
// is refused, with the detail text kept in error().
class StateReader {
 public:
  StateReader(std::span<const std::uint8_t> bytes, std::uint64_t max_size)
      : rest_(bytes), max_size_(std::min<std::uint64_t>(max_size, SIZE_MAX)) {}

  bool read_state(EncoderState* state) {
    std::uint8_t tag;
    if (!read_tag(&tag)) return false;
    if (tag == kPresent) {
      EncodingInfo info;
      if (!read_encoding_info(&info)) return false;
      state->encoding_info = std::move(info);
    }
    std::uint64_t strategy;
    if (!read_fixed(4, &strategy)) return false;
    if (strategy != static_cast<std::uint32_t>(EncodingStrategy::kLabelEncoding)) {
      return fail("invalid value: integer `" + std::to_string(strategy) +
                  "`, expected variant index 0 <= i < 1");
    }
    state->encoding_strat = EncodingStrategy::kLabelEncoding;
    return true;
  }

  std::string& error() { return error_; }

 private:
  bool fail(std::string_view detail) {
    error_ = detail;
    return false;
  }

  // Reads an unsigned little-endian integer of `width` bytes (at most 8).
  bool read_fixed(std::size_t width, std::uint64_t* value) {
    if (rest_.size() < width) return fail(kUnexpectedEof);
    std::uint64_t v = 0;
    for (std::size_t i = width; i-- > 0;) v = (v << 8) | rest_[i];
    rest_ = rest_.subspan(width);
    *value = v;
    return true;
  }

  // An option tag: 0 (absent) or 1 (present).
  bool read_tag(std::uint8_t* tag) {
    std::uint64_t v;
    if (!read_fixed(1, &v)) return false;
    if (v != kAbsent && v != kPresent) {
      return fail("tag for enum is not valid, found " + std::to_string(v));
    }
    *tag = static_cast<std::uint8_t>(v);
    return true;
  }

  // A collection's element count or a text's byte length.
  bool read_count(std::size_t* count) {
    std::uint64_t v;
    if (!read_fixed(8, &v)) return false;
    if (v > max_size_) {
      return fail("Invalid size " + std::to_string(v) + ": sizes must fit in a usize (0 to " +
                  std::to_string(max_size_) + ")");
    }
    *count = static_cast<std::size_t>(v);
    return true;
  }

  bool read_column(std::size_t* column) {
    std::uint64_t v;
    if (!read_fixed(8, &v)) return false;
    if (v > max_size_) return fail("invalid value: integer `" + std::to_string(v) + "`, expected usize");
    *column = static_cast<std::size_t>(v);
    return true;
  }

  bool read_code(Code* code) { return read_fixed(8, code); }

  // Leaves in `text` a view of the input's bytes.
  bool read_text(std::string_view* text) {
    std::size_t length;
    if (!read_count(&length)) return false;
    if (length > rest_.size()) return fail(kTextPastEnd);
    const std::span<const std::uint8_t> bytes = rest_.first(length);
    if (const auto fault = find_utf8_fault(bytes)) return fail(describe(*fault));
    *text = std::string_view(reinterpret_cast<const char*>(bytes.data()), length);
    rest_ = rest_.subspan(length);
    return true;
  }

  bool read_encoding_info(EncodingInfo* info) {
    return read_string_columns(&info->string_columns) && read_column_maps(&info->label_to_code, &StateReader::read_labels) &&
           read_column_maps(&info->code_to_label, &StateReader::read_codes);
  }

  bool read_string_columns(std::vector<std::size_t>* columns) {
    std::size_t count;
    if (!read_count(&count)) return false;
    columns->reserve(reserve_ahead<std::size_t>(count, rest_.size(), kColumnBytes));
    for (std::size_t i = 0; i < count; ++i) {
      std::size_t column;
      if (!read_column(&column)) return false;
      columns->push_back(column);
    }
    return true;
  }

  // Reads an outer map: per column its index, then its inner map through
  // `read_inner`. A repeated column replaces the whole inner map read before.
  // The columns are gathered in input order and sorted once, so no order of
  // them costs more than a sort.
  template <class Inner>
  bool read_column_maps(ColumnMap<Inner>* columns, bool (StateReader::*read_inner)(Inner*)) {
    using Entry = typename ColumnMap<Inner>::value_type;
    std::size_t count;
    if (!read_count(&count)) return false;
    std::vector<Entry> entries;
    entries.reserve(reserve_ahead<Entry>(count, rest_.size(), kColumnEntryBytes));
    for (std::size_t i = 0; i < count; ++i) {
      std::size_t column;
      Inner inner;
      if (!read_column(&column) || !(this->*read_inner)(&inner)) return false;
      entries.emplace_back(column, std::move(inner));
    }
    *columns = ColumnMap<Inner>(std::move(entries));
    return true;
  }

  bool read_labels(LabelToCode* labels) {
    std::size_t count;
    if (!read_count(&count)) return false;
    labels->reserve(reserve_ahead<LabelToCode::value_type>(count, rest_.size(), kLabelEntryBytes));
    for (std::size_t i = 0; i < count; ++i) {
      std::string_view label;
      std::uint8_t tag;
      if (!read_text(&label) || !read_tag(&tag)) return false;
      std::optional<Code> code;
      if (tag == kPresent) {
        Code value;
        if (!read_code(&value)) return false;
        code = value;
      }
      labels->insert_or_assign(label, code);
    }
    return true;
  }

  bool read_codes(CodeToLabel* codes) {
    std::size_t count;
    if (!read_count(&count)) return false;
    codes->reserve(reserve_ahead<CodeToLabel::value_type>(count, rest_.size(), kCodeEntryBytes));
    for (std::size_t i = 0; i < count; ++i) {
      Code code;
      std::string_view label;
      if (!read_code(&code) || !read_text(&label)) return false;
      codes->insert_or_assign(code, label);
    }
    return true;
  }

  std::span<const std::uint8_t> rest_;  // the bytes not yet read
  std::uint64_t max_size_;              // largest count, length or column index
  std::string error_;
};

}  // namespace

std::size_t measure_state(const EncoderState& state) {
  LengthCounter counter;
  put_state(state, counter);
  return counter.total();
}

std::vector<std::uint8_t> write_state(const EncoderState& state) {
  std::vector<std::uint8_t> bytes(measure_state(state));
  BufferWriter writer(bytes);
  put_state(state, writer);
  if (writer.written() != bytes.size()) {
    throw std::logic_error("state writer fell short of its measured length");
  }
  return bytes;
}

StateReadResult read_state(std::span<const std::uint8_t> bytes, std::uint64_t max_size) {
  StateReader reader(bytes, max_size);
  EncoderState state;
  if (!reader.read_state(&state)) return StateReadError{std::move(reader.error())};
  return state;
}

}  // namespace colenc
