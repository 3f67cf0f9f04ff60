// Looking up texts in a fit whose labels lie in label order (see
// LabelToCode::coded_in_label_order), without the map's index: a few texts
// by bisection, and a long column of nearly distinct texts by sorting its
// entries and walking the labels beside them, as fitting such a column sorts
// it. Neither builds the index, a hash table as large as the fit.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "core/columns/typed_columns.hpp"
#include "core/labels/label_maps.hpp"

namespace colenc {

// The coded labels of a fit in label order, label i having code i, and what
// a text looks up to among them.
class OrderedLabels {
 public:
  // REQUIRES: map.coded_in_label_order() == coded.
  OrderedLabels(const LabelToCode& map, std::size_t coded, double unknown_value)
      : map_(&map), coded_(coded), unknown_value_(unknown_value) {}

  std::size_t size() const { return coded_; }
  std::string_view label(std::size_t code) const { return map_->entry(code).first; }

  // Returns the first code from `from` on whose label is not less than
  // `text` (size() when none), stepping ahead in doubling strides first, so
  // that a search close to `from` costs a few comparisons.
  std::size_t lower_bound(std::string_view text, std::size_t from = 0) const;

  // Returns the value of `text`, whose lower bound is `at`: its code, NaN
  // for a missing-value label, or the unknown value (setting `unknown`).
  double value_at(std::size_t at, std::string_view text, bool& unknown) const;

 private:
  const LabelToCode* map_;
  std::size_t coded_;
  double unknown_value_;
};

// Writes the value of every entry of `texts` into entry_codes, one bisection
// each. Returns true when one was unknown.
// REQUIRES: entry_codes.size() == texts.entry_count()
bool bisect_entries(const TextColumn& texts, const OrderedLabels& labels,
                    std::span<double> entry_codes);

// As bisect_entries, by sorting the entries (a radix sort of their prefixes,
// prefix_sort.hpp) and walking them beside the labels, in parallel ranges on
// the current arena.
bool merge_entries(const TextColumn& texts, const OrderedLabels& labels,
                   std::span<double> entry_codes);

}  // namespace colenc
