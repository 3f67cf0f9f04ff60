// FactorizedValues: the distinct stored values of one column numbered in the
// order they first occur, as a dense id per row and the first row of each id.
// A column whose storage holds coded values (category codes, masked arrays,
// datetimes) is then typed once per distinct value instead of once per row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

namespace colenc {

struct FactorizedValues {
  using Id = std::uint32_t;
  // Most rows a column can have: every row could hold a value of its own.
  static constexpr std::size_t kMaxRows = std::numeric_limits<Id>::max();

  std::vector<Id> row_ids;              // the id of each row's value
  std::vector<std::size_t> first_rows;  // the first row of each id, ascending

  std::size_t value_count() const { return first_rows.size(); }
};

// Numbers the distinct `keys`, one per row, in order of first occurrence;
// every row flagged nonzero in `nulls` (empty, or one flag per row) shares one
// id of its own, whatever its key. Equal keys share an id and distinct keys
// never do. A narrow range of keys is numbered through a direct table,
// anything else through a keyed hash map.
// REQUIRES: keys.size() < FactorizedValues::kMaxRows; nulls empty or as long.
FactorizedValues factorize_values(std::span<const std::uint64_t> keys,
                                  std::span<const std::uint8_t> nulls = {});

}  // namespace colenc
