// Factorizing a column's stored values: a direct table indexed by key when
// the keys span a range not much wider than the column, else a hash map.
#include "core/value_factorizer.hpp"

#include <algorithm>
#include <cassert>
#include <optional>

#include "core/keyed_hash.hpp"

namespace colenc {
namespace {

using Id = FactorizedValues::Id;
constexpr Id kNoId = std::numeric_limits<Id>::max();

// Numbers the rows with `id_of`, which returns the slot that holds (or will
// hold) the id of a key; null rows share the slot `null_id`.
template <class SlotOf>
FactorizedValues number_rows(std::span<const std::uint64_t> keys,
                             std::span<const std::uint8_t> nulls, SlotOf slot_of) {
  FactorizedValues out;
  out.row_ids.resize(keys.size());
  Id null_id = kNoId;
  for (std::size_t row = 0; row < keys.size(); ++row) {
    Id& id = (!nulls.empty() && nulls[row] != 0) ? null_id : slot_of(keys[row]);
    if (id == kNoId) {
      id = static_cast<Id>(out.first_rows.size());
      out.first_rows.push_back(row);
    }
    out.row_ids[row] = id;
  }
  return out;
}

// The smallest and largest key of the rows that are not null, if any.
std::optional<std::pair<std::uint64_t, std::uint64_t>> key_range(
    std::span<const std::uint64_t> keys, std::span<const std::uint8_t> nulls) {
  std::optional<std::pair<std::uint64_t, std::uint64_t>> range;
  for (std::size_t row = 0; row < keys.size(); ++row) {
    if (!nulls.empty() && nulls[row] != 0) continue;
    if (!range) {
      range.emplace(keys[row], keys[row]);
    } else {
      range->first = std::min(range->first, keys[row]);
      range->second = std::max(range->second, keys[row]);
    }
  }
  return range;
}

}  // namespace

FactorizedValues factorize_values(std::span<const std::uint64_t> keys,
                                  std::span<const std::uint8_t> nulls) {
  assert(keys.size() < FactorizedValues::kMaxRows);
  assert(nulls.empty() || nulls.size() == keys.size());
  const auto range = key_range(keys, nulls);
  // A table of one id per key in the range costs at most a few times the
  // column's own ids, and no hashing.
  const std::uint64_t widest = std::max<std::uint64_t>(4096, 2 * keys.size());
  if (!range || range->second - range->first < widest) {
    const std::uint64_t low = range ? range->first : 0;
    std::vector<Id> table(range ? range->second - range->first + 1 : 0, kNoId);
    return number_rows(keys, nulls, [&](std::uint64_t key) -> Id& { return table[key - low]; });
  }
  HashMap<std::uint64_t, Id, KeyedHash> ids;
  return number_rows(keys, nulls, [&](std::uint64_t key) -> Id& {
    return ids.try_emplace(key, kNoId).first->second;
  });
}

}  // namespace colenc
