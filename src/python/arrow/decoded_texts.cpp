// Decoding codes into Arrow text columns. Each code's label is looked up once
// per row through a flat table by code; rows are decoded in blocks by tasks
// on the pool, each block writing whole bytes of the validity bitmap alone.
#include "python/arrow/decoded_texts.hpp"

#include <oneapi/tbb/blocked_range.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

#include "core/engine/pool.hpp"
#include "python/decode/column_decoder.hpp"

namespace colenc::py {
namespace {

constexpr std::size_t kBlock = std::size_t{1} << 16;  // rows a task decodes; a multiple of 8
constexpr std::size_t kInlineView = 12;

// The labels of a column, found by a cell's code through slots: slot c for
// each code c below the map's size (every code of a fitted column), slot
// size() for NaN and every code without a label, and, for a map with codes
// beyond its size (only from a state read from bytes), one slot per entry
// after that, reached through the map's own search.
class LabelLookup {
 public:
  explicit LabelLookup(const CodeToLabel& labels) : labels_(labels), dense_(is_dense(labels)) {
    const std::size_t slots = labels.size() + 1 + (dense_ ? 0 : labels.size());
    label_.assign(slots, std::string_view(""));  // never a null address, even when empty
    known_.assign(slots, 0);
    std::size_t position = 0;
    for (const auto& [code, label] : labels) {
      if (code < labels.size()) {
        label_[code] = label;
        known_[code] = 1;
      }
      if (!dense_) {
        label_[labels.size() + 1 + position] = label;
        known_[labels.size() + 1 + position] = 1;
      }
      ++position;
    }
  }
  // True when every code is below the map's size: slots are codes.
  bool dense() const { return dense_; }
  static bool is_dense(const CodeToLabel& labels) {
    return std::all_of(labels.begin(), labels.end(),
                       [&](const auto& entry) { return entry.first < labels.size(); });
  }
  std::size_t unknown_slot() const { return labels_.size(); }
  std::size_t slot(double cell) const {
    // NaN's key is 2**64 - 1, beyond every code.
    const Code key = code_key(cell);
    if (key < labels_.size() && known_[key]) return key;
    if (dense_ || std::isnan(cell)) return unknown_slot();
    const auto found = labels_.find(key);
    return found == labels_.end() ? unknown_slot() : labels_.size() + 1 + found.position();
  }
  std::string_view label(std::size_t slot) const { return label_[slot]; }
  std::uint8_t known(std::size_t slot) const { return known_[slot]; }

 private:
  const CodeToLabel& labels_;
  bool dense_;
  std::vector<std::string_view> label_;
  std::vector<std::uint8_t> known_;
};

// Runs body(first, last) for each block of rows, on the pool.
template <class Body>
void for_blocks(std::size_t rows, Body&& body) {
  const std::size_t blocks = (rows + kBlock - 1) / kBlock;
  pool_execute(process_arena(), [&] {
    pool_for(tbb::blocked_range<std::size_t>(0, blocks, 1),
             [&](const tbb::blocked_range<std::size_t>& range) {
               for (std::size_t b = range.begin(); b != range.end(); ++b) {
                 body(b, b * kBlock, std::min(rows, (b + 1) * kBlock));
               }
             });
  });
}

// Runs known = row(k) for each row k of [first, last), first a multiple of
// 8, packing the known bits into `validity` a byte per 8 rows; returns the
// rows that were not known (nulls).
template <class Row>
std::int64_t pack_validity(std::size_t first, std::size_t last, std::uint8_t* validity,
                           Row&& row) {
  std::int64_t nulls = 0;
  for (std::size_t r = first; r < last; r += 8) {
    std::uint8_t bits = 0;
    for (std::size_t k = r; k < std::min(last, r + 8); ++k) {
      const auto known = static_cast<std::uint8_t>(row(k));
      bits = static_cast<std::uint8_t>(bits | (known << (k - r)));
      nulls += 1 - known;
    }
    validity[r >> 3] = bits;
  }
  return nulls;
}

// The labels of a dense map by slot (code, then one empty slot for NaN and
// every code without a label), as DenseSource reads them:
// each label's size in a table of its own, small enough to stay in the
// caches while the sizes of all rows are added up, and apart from it the
// label's first 16 bytes, so that most labels are written with one fixed
// 16-byte move and no read of the map's texts. Both tables are written in
// place, never zero-filled first (see LabelViews).
struct DenseLabels {
  struct Label {
    char head[16];  // the first 16 bytes, zero-padded
    const char* data;
  };
  std::size_t unknown;  // the empty slot: the map's size
  RawBuffer<std::uint32_t> sizes;
  RawBuffer<Label> labels;
  bool fits = true;  // false: a label is too long for the table of sizes

  // REQUIRES: LabelLookup::is_dense(map): every slot below size() is written.
  explicit DenseLabels(const CodeToLabel& map)
      : unknown(map.size()), sizes(map.size() + 1), labels(map.size() + 1) {
    std::uint32_t* const size_of = sizes.data();
    Label* const label_of = labels.data();
    for (const auto& [code, label] : map) {
      fits = fits && label.size() <= std::numeric_limits<std::uint32_t>::max();
      size_of[code] = static_cast<std::uint32_t>(label.size());
      Label& slot = label_of[code];
      std::memset(slot.head, 0, 16);
      if (!label.empty()) {
        std::memcpy(slot.head, label.data(), std::min<std::size_t>(label.size(), 16));
      }
      slot.data = label.data();
    }
    size_of[unknown] = 0;
    std::memset(label_of[unknown].head, 0, 16);
    label_of[unknown].data = nullptr;
  }
};

// Writes a large_string column of `rows` rows, row r the label of slot
// source.slot(cells[r]): each block's bytes are added up first, then each
// block is written from its start by a task of its own. Each row's slot is
// kept in its offset until the offset is written, so the codes are read once
// and the bytes written are exactly the bytes counted.
// Source is a small copyable view giving slot(cell), size(slot),
// known(slot) and write(out, at, end, slot), which writes the slot's label at
// out + at and may write up to out + end, never beyond: the next block's
// bytes are written by another task meanwhile.
template <class Source>
std::unique_ptr<ExportedTexts> write_large_strings(const Source& source, const double* cells,
                                                   std::size_t rows) {
  auto texts = std::make_unique<ExportedTexts>();
  texts->offsets = RawBuffer<std::int64_t>(rows + 1);
  texts->validity = RawBuffer<std::uint8_t>((rows + 7) / 8);
  const std::size_t blocks = (rows + kBlock - 1) / kBlock;
  std::vector<std::int64_t> block_bytes(blocks + 1, 0);
  std::vector<std::int64_t> block_nulls(blocks, 0);
  std::int64_t* const offsets = texts->offsets.data();
  std::uint8_t* const validity = texts->validity.data();
  for_blocks(rows, [&](std::size_t b, std::size_t first, std::size_t last) {
    const Source from = source;
    std::int64_t* const row_slots = offsets;
    std::uint64_t bytes = 0;
    for (std::size_t r = first; r < last; ++r) {
      const std::size_t slot = from.slot(cells[r]);
      row_slots[r] = static_cast<std::int64_t>(slot);
      bytes += from.size(slot);
    }
    block_bytes[b + 1] = static_cast<std::int64_t>(bytes);
  });
  for (std::size_t b = 0; b < blocks; ++b) block_bytes[b + 1] += block_bytes[b];
  offsets[rows] = block_bytes[blocks];
  texts->bytes = RawBuffer<char>(static_cast<std::size_t>(block_bytes[blocks]));
  char* const bytes = texts->bytes.data();
  for_blocks(rows, [&](std::size_t b, std::size_t first, std::size_t last) {
    // Everything the loop reads is held in locals: the bytes it writes
    // through char pointers could alias anything captured by reference,
    // which the compiler would then load again after every label.
    const Source from = source;
    char* const out = bytes;
    std::int64_t* const row_offsets = offsets;
    std::uint8_t* const bits_out = validity;
    std::int64_t at = block_bytes[b];
    const std::int64_t end = block_bytes[b + 1];
    block_nulls[b] = pack_validity(first, last, bits_out, [&](std::size_t k) {
      const auto slot = static_cast<std::size_t>(row_offsets[k]);
      row_offsets[k] = at;
      at += static_cast<std::int64_t>(from.write(out, at, end, slot));
      return from.known(slot);
    });
  });
  for (std::int64_t nulls : block_nulls) texts->null_count += nulls;
  return texts;
}

// The source of write_large_strings for a dense map, through its DenseLabels:
// sizes from the small table of sizes, and most labels written with one fixed
// 16-byte move of their head.
struct DenseSource {
  const std::uint32_t* sizes;
  const DenseLabels::Label* heads;
  std::size_t unknown;

  explicit DenseSource(const DenseLabels& labels)
      : sizes(labels.sizes.data()), heads(labels.labels.data()), unknown(labels.unknown) {}
  std::size_t slot(double cell) const {
    // NaN's key is 2**64 - 1, beyond every code: the empty slot.
    return static_cast<std::size_t>(std::min<Code>(code_key(cell), unknown));
  }
  std::size_t size(std::size_t slot) const { return sizes[slot]; }
  bool known(std::size_t slot) const { return slot != unknown; }
  std::size_t write(char* out, std::int64_t at, std::int64_t end, std::size_t slot) const {
    const DenseLabels::Label& label = heads[slot];
    const std::size_t size = sizes[slot];
    if (end - at >= 16) {
      std::memcpy(out + at, label.head, 16);
      if (size > 16) std::memcpy(out + at + 16, label.data + 16, size - 16);
    } else {
      // Here size < 16: the head holds the whole label.
      std::memcpy(out + at, label.head, size);
    }
    return size;
  }
};

// The source of write_large_strings for any map, through its LabelLookup.
struct LookupSource {
  const LabelLookup* lookup;

  std::size_t slot(double cell) const { return lookup->slot(cell); }
  std::size_t size(std::size_t slot) const { return lookup->label(slot).size(); }
  bool known(std::size_t slot) const { return lookup->known(slot) != 0; }
  std::size_t write(char* out, std::int64_t at, std::int64_t, std::size_t slot) const {
    const std::string_view label = lookup->label(slot);
    std::memcpy(out + at, label.data(), label.size());
    return label.size();
  }
};

// The 16-byte view of each label of a dense map, made once per label: a
// text of up to 12 bytes inside the view, a longer one as its size, first 4
// bytes, data buffer and offset there. Long labels are stored back to back
// in data buffers of at most 2 GiB (a view's offset has 31 bits). The table
// is written in place, never zero-filled first: a map of a million labels
// would pay for 16 MB of fresh pages twice.
struct LabelViews {
  // The view of each code below the map's size, then the all-zero view of
  // every other code: 16 bytes each.
  RawBuffer<char> by_code;

  // REQUIRES: LabelLookup::is_dense(labels): every slot below size() is written.
  LabelViews(const CodeToLabel& labels, ExportedTexts& texts) : by_code(16 * (labels.size() + 1)) {
    constexpr std::size_t kMaxBuffer = std::numeric_limits<std::int32_t>::max();
    std::vector<std::size_t> sizes;
    for (const auto& [code, label] : labels) {
      if (label.size() <= kInlineView) continue;
      if (sizes.empty() || sizes.back() + label.size() > kMaxBuffer) sizes.push_back(0);
      sizes.back() += label.size();
    }
    for (std::size_t size : sizes) {
      texts.view_data.emplace_back(size);
      texts.view_data_sizes.push_back(0);
    }
    std::size_t buffer = 0;
    char* const views = by_code.data();
    for (const auto& [code, label] : labels) write_view(label, texts, buffer, views + 16 * code);
    std::memset(views + 16 * labels.size(), 0, 16);
  }

  // Writes the view of `label` at `view`, storing a long one in data buffer
  // `buffer`, or the next one when it is full, as the buffers were sized.
  // Written where it goes, in parts: a view put together on the stack and
  // then moved whole would wait on its own parts' stores.
  static void write_view(std::string_view label, ExportedTexts& texts, std::size_t& buffer,
                         char* view) {
    const auto size = static_cast<std::int32_t>(label.size());
    std::memcpy(view, &size, 4);
    if (label.size() <= kInlineView) {
      std::memset(view + 4, 0, kInlineView);
      if (!label.empty()) std::memcpy(view + 4, label.data(), label.size());
      return;
    }
    std::memcpy(view + 4, label.data(), 4);
    if (static_cast<std::size_t>(texts.view_data_sizes[buffer]) + label.size() >
        static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
      ++buffer;
    }
    const auto offset = static_cast<std::int32_t>(texts.view_data_sizes[buffer]);
    std::memcpy(texts.view_data[buffer].data() + offset, label.data(), label.size());
    texts.view_data_sizes[buffer] += static_cast<std::int64_t>(label.size());
    const auto index = static_cast<std::int32_t>(buffer);
    std::memcpy(view + 8, &index, 4);
    std::memcpy(view + 12, &offset, 4);
  }
};

// REQUIRES: LabelLookup::is_dense(labels).
std::unique_ptr<ExportedTexts> decode_string_views(const CodeToLabel& labels, const double* cells,
                                                   std::size_t rows) {
  auto texts = std::make_unique<ExportedTexts>();
  texts->string_view = true;
  texts->validity = RawBuffer<std::uint8_t>((rows + 7) / 8);
  texts->views = RawBuffer<char>(rows * 16);
  const LabelViews views(labels, *texts);
  const std::size_t blocks = (rows + kBlock - 1) / kBlock;
  std::vector<std::int64_t> block_nulls(blocks, 0);
  std::uint8_t* validity = texts->validity.data();
  char* out = texts->views.data();
  const Code unknown = labels.size();
  for_blocks(rows, [&](std::size_t b, std::size_t first, std::size_t last) {
    // Locals, not captures: the views written through a char pointer could
    // alias anything captured by reference, loaded again after every row.
    const char* const by_code = views.by_code.data();
    const double* const codes = cells;
    char* const views_out = out;
    std::uint8_t* const bits_out = validity;
    const Code unknown_key = unknown;
    block_nulls[b] = pack_validity(first, last, bits_out, [&](std::size_t k) {
      // NaN's key is 2**64 - 1, beyond every code: the all-zero view. In a
      // dense map every other code below its size has a label.
      const Code key = std::min(code_key(codes[k]), unknown_key);
      std::memcpy(views_out + 16 * k, by_code + 16 * key, 16);
      return key != unknown_key;
    });
  });
  for (std::int64_t nulls : block_nulls) texts->null_count += nulls;
  return texts;
}

}  // namespace

std::unique_ptr<ExportedTexts> decode_texts(const CodeToLabel& labels, const double* cells,
                                            std::size_t rows, bool views) {
  // Views are made per code below the map's size; a map with codes beyond it
  // (only from a state read from bytes) is decoded as large_string.
  const bool dense = LabelLookup::is_dense(labels);
  if (views && dense) return decode_string_views(labels, cells, rows);
  if (dense) {
    const DenseLabels dense_labels(labels);
    if (dense_labels.fits) return write_large_strings(DenseSource(dense_labels), cells, rows);
  }
  const LabelLookup lookup(labels);
  return write_large_strings(LookupSource{&lookup}, cells, rows);
}

}  // namespace colenc::py
