// Decoding one text column's codes into Python objects: the lookup key of a
// code cell, the decoder that finds each code's label str, and the tally of
// the references that a column's cells take to those strs.
#pragma once

#include <Python.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "core/labels/encoding_info.hpp"
#include "core/hashing/hash_map.hpp"
#include "core/internal_error.hpp"
#include "core/hashing/keyed_hash.hpp"
#include "core/labels/label_maps.hpp"
#include "core/labels/labels.hpp"
#include "python/decode/label_str_cache.hpp"
#include "python/runtime/py_ref.hpp"

namespace colenc::py {

// The lookup key of a code cell: truncation toward zero, saturating at 0 and
// at 2**64 - 1; NaN gives 2**64 - 1, which no full table reaches.
inline Code code_key(double value) {
  if (std::isnan(value)) return ~Code{0};
  if (!(value > 0.0)) return 0;
  if (value >= 18446744073709551616.0) return ~Code{0};
  return static_cast<Code>(value);
}

// Decodes one column's cells into Python objects: the label's str, or
// `missing` (borrowed) for NaN and for codes without a label. Each distinct
// code's str is made once and shared by its cells. Codes below the map's size
// (all of them, for a map the engine fitted) are looked up in a flat table of
// one str per code: the one the cache kept from an earlier decode, or one
// filled here, or, for few cells, one filled as codes turn up.
class ColumnDecoder {
 public:
  // `cells` is the number of cells to be decoded. When it is at least the
  // number of labels, most labels will be needed, and the table is filled at
  // once by walking the map in its own memory order: one sequential pass
  // instead of a random probe of a large map per distinct code. A table that
  // has a str for every code goes into `cache` (may be null) for `column`.
  ColumnDecoder(const CodeToLabel& labels, PyObject* missing, std::size_t cells,
                LabelStrCache* cache, std::size_t column);

  // Returns the str (or `missing`) of every code below the map's size, or an
  // empty span while the table is filled as codes turn up; codes beyond it
  // are decoded by decode().
  std::span<const PyRef> full_table() const {
    if (!full_) return {};
    return *full_;
  }

  // Returns a borrowed reference valid while the decoder lives.
  PyObject* decode(double cell);

 private:
  // Returns a new reference to the str of the code's label, or to missing_.
  PyRef make(Code key);

  const CodeToLabel& labels_;
  PyObject* missing_;
  std::shared_ptr<const LabelStrs> full_;  // null while codes are decoded as they turn up
  std::vector<PyRef> dense_;               // null = not made yet
  HashMap<Code, PyObject*, KeyedHash> sparse_;  // borrowed from sparse_owned_
  std::vector<PyRef> sparse_owned_;
};

// The references that cells take to the labels of a full table: counted per
// code while the cells are filled, and each label's count added to its str
// at the end, in table order, so that the strs' own memory is touched once
// per label, in the order it was made, instead of once per cell at random: a
// column of a million labels keeps its counts in a megabyte that the caches
// hold, and not its strs. Filling touches no Python object, so a pool task
// may fill cells; the tally must die on the calling thread, which adds the
// counts. Until then the cells hold strs that the decoder's table keeps
// alive, in an array no other code can reach yet. The counts are added on
// every way out, an exception included, so that each label holds one
// reference per cell.
class LabelTally {
 public:
  explicit LabelTally(std::span<const PyRef> table) : table_(table), counts_(table.size(), 0) {}
  LabelTally(const LabelTally&) = delete;
  LabelTally& operator=(const LabelTally&) = delete;
  ~LabelTally();

  std::size_t size() const { return table_.size(); }

  // Returns the str of `key`, below size(), counting one reference. Should
  // keeping a full count aside fail, nothing is counted for this cell.
  PyObject* take(Code key) {
    std::uint8_t& count = counts_[key];
    if (count == kMaxCount - 1) {
      // Full counts are kept aside as codes, and added at the end too.
      full_counts_.push_back(key);
      count = 0;
    } else {
      ++count;
    }
    return table_[key].get();
  }

 private:
  static constexpr std::uint8_t kMaxCount = 255;

  std::span<const PyRef> table_;
  std::vector<std::uint8_t> counts_;
  std::vector<Code> full_counts_;
};

// Returns the code-to-label map of `column`; throws InternalError when the
// fitted state has none.
inline const CodeToLabel& column_labels(const EncodingInfo& info, std::size_t column) {
  auto found = info.code_to_label.find(column);
  if (found == info.code_to_label.end()) throw InternalError("no entry found for key");
  return found->second;
}

}  // namespace colenc::py
