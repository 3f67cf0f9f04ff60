// FactorizedValues: the distinct stored values of one column numbered in the
// order they first occur, as a dense id per row and the first row of each id.
// A column whose storage holds coded values (category codes, masked arrays,
// datetimes) is then typed once per distinct value instead of once per row.
#pragma once

#include <algorithm>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numeric>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/hashing/hash_map.hpp"
#include "core/hashing/keyed_hash.hpp"
#include "core/hashing/recent_keys.hpp"

namespace colenc {

struct FactorizedValues {
  using Id = std::uint32_t;
  // Most rows a column can have: every row could hold a value of its own.
  static constexpr std::size_t kMaxRows = std::numeric_limits<Id>::max();

  std::vector<Id> row_ids;              // the id of each row's value
  std::vector<std::size_t> first_rows;  // the first row of each id, ascending

  std::size_t value_count() const { return first_rows.size(); }
};

// Where the values come from: one 64-bit key per row, equal keys for equal
// values and distinct keys for distinct ones, and whether a row is null. A
// source may state, as Keys::kKeyLimit, a bound that no key exceeds.
template <class Keys>
concept KeySource = requires(const Keys& keys, std::size_t row) {
  { keys.size() } -> std::convertible_to<std::size_t>;
  { keys.key(row) } -> std::same_as<std::uint64_t>;
  { keys.is_null(row) } -> std::same_as<bool>;
};

namespace factorize_detail {

using Id = FactorizedValues::Id;
inline constexpr Id kNoId = std::numeric_limits<Id>::max();
static_assert(std::is_same_v<Id, RecentKeys::Id>);

// Numbers the rows with `slot_of`, which returns the slot that holds (or will
// hold) the id of a key; null rows share one slot of their own.
template <KeySource Keys, class SlotOf>
FactorizedValues assign_row_ids(const Keys& keys, SlotOf slot_of) {
  FactorizedValues out;
  out.row_ids.resize(keys.size());
  Id null_id = kNoId;
  Id* row_id = out.row_ids.data();
  for (std::size_t row = 0; row < keys.size(); ++row) {
    Id& id = keys.is_null(row) ? null_id : slot_of(keys.key(row));
    if (id == kNoId) [[unlikely]] {
      id = static_cast<Id>(out.first_rows.size());
      out.first_rows.push_back(row);
    }
    row_id[row] = id;
  }
  return out;
}

// The smallest and largest key of the rows that are not null among every
// `step`-th row, if any.
template <KeySource Keys>
std::optional<std::pair<std::uint64_t, std::uint64_t>> key_range(const Keys& keys,
                                                                 std::size_t step = 1) {
  std::uint64_t low = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t high = 0;
  bool any = false;
  for (std::size_t row = 0; row < keys.size(); row += step) {
    const bool counts = !keys.is_null(row);
    const std::uint64_t key = keys.key(row);
    any |= counts;
    low = counts ? std::min(low, key) : low;
    high = counts ? std::max(high, key) : high;
  }
  if (!any) return std::nullopt;
  return std::pair{low, high};
}

// Numbers the rows through a table of `count` ids, where `slot_of_key` says
// which slot a key's id takes; returns nothing, the numbering dropped, if some
// key has a slot of `count` or beyond.
template <KeySource Keys, class SlotOfKey>
std::optional<FactorizedValues> number_through_table(const Keys& keys, std::uint64_t count,
                                                     SlotOfKey slot_of_key) {
  std::vector<Id> table(count, kNoId);
  bool outside = false;
  Id spare = kNoId;
  FactorizedValues out = assign_row_ids(keys, [&](std::uint64_t key) -> Id& {
    const std::uint64_t slot = slot_of_key(key);
    if (slot >= count) [[unlikely]] {
      outside = true;
      return spare;
    }
    return table[slot];
  });
  if (outside) return std::nullopt;
  return out;
}

// A table of one id per key, `count` keys from `low` on.
template <KeySource Keys>
std::optional<FactorizedValues> number_through_range(const Keys& keys, std::uint64_t low,
                                                     std::uint64_t count) {
  return number_through_table(keys, count, [low](std::uint64_t key) { return key - low; });
}

// The slots of keys a whole number of steps apart: the key `low + k * step`
// takes slot k. A division by a step known only at run time would cost more
// than hashing the key, so a multiple of the step is recognised, and
// divided, by one multiply with the inverse of its odd part and one rotation
// (exact division). An offset from `low` that is not a multiple gives more
// than (2^64 - 1) / step, and a key below `low` wraps to an offset past the
// table's last key, which lies below 2^64: both land beyond every slot.
struct SteppedSlots {
  std::uint64_t low;
  std::uint64_t inverse;  // of the step's odd part, modulo 2^64
  int shift;              // the step's factors of two

  SteppedSlots(std::uint64_t low, std::uint64_t step) : low(low), shift(std::countr_zero(step)) {
    const std::uint64_t odd = step >> shift;
    inverse = odd;  // right in its lowest 3 bits; each step below doubles that
    for (int k = 0; k < 5; ++k) inverse *= 2 - odd * inverse;
  }
  std::uint64_t operator()(std::uint64_t key) const {
    return std::rotr((key - low) * inverse, shift);
  }
};

// The greatest common divisor of the offsets from `low` of every `stride`-th
// key that is not null: 0 if they are all `low`.
template <KeySource Keys>
std::uint64_t sampled_step(const Keys& keys, std::size_t stride, std::uint64_t low) {
  std::uint64_t step = 0;
  for (std::size_t row = 0; row < keys.size() && step != 1; row += stride) {
    if (!keys.is_null(row)) step = std::gcd(step, keys.key(row) - low);
  }
  return step;
}

}  // namespace factorize_detail

// The way factorize_values numbered a column. Only tests read it, to show
// that each way is still taken; callers leave it out.
enum class FactorizePath : std::uint8_t {
  kEveryKey,      // a table of every key a stated bound of two bytes allows
  kSampledRange,  // a table over the sampled range, widened
  kSampledSteps,  // a table of keys a whole number of sampled steps apart
  kExactRange,    // a table over the range found by a pass over every key
  kHashMap,       // the keyed hash map behind RecentKeys
};

// Numbers the distinct keys of `keys` in order of first occurrence; every
// null row shares one id of its own, whatever its key. Equal keys share an id
// and distinct keys never do. A narrow range of keys is numbered through a
// direct table, anything else through a keyed hash map. Stores the way taken
// in `*path` when `path` is not null.
// REQUIRES: keys.size() < FactorizedValues::kMaxRows.
template <KeySource Keys>
FactorizedValues factorize_values(const Keys& keys, FactorizePath* path = nullptr) {
  using namespace factorize_detail;
  const auto took = [path](FactorizePath taken) {
    if (path != nullptr) *path = taken;
  };
  // Keys of one or two bytes index a table of every key they can be, with
  // no pass to find their range.
  if constexpr (requires { Keys::kKeyLimit; }) {
    if constexpr (Keys::kKeyLimit <= 0xFFFF) {
      took(FactorizePath::kEveryKey);
      return number_through_range(keys, 0, Keys::kKeyLimit + 1).value();
    }
  }
  // A table of one id per key in the range costs at most a few times the
  // column's own ids, and no hashing.
  const std::uint64_t widest = std::max<std::uint64_t>(4096, 2 * keys.size());
  const auto too_wide = [widest](const auto& range) {
    return range && range->second - range->first >= widest;
  };
  // Keys spread wider than that among a few hundred rows (dates, times,
  // fractions) already settle it, without a pass over every row.
  constexpr std::size_t kSampleRows = 256;
  const std::size_t stride = keys.size() / kSampleRows;
  const auto sampled = keys.size() > kSampleRows ? key_range(keys, stride) : std::nullopt;
  const bool sampled_too_wide = too_wide(sampled);
  // Keys as narrow as that, or keys a whole number of steps apart (dates
  // held in nanoseconds are whole days apart) and as few steps wide, are
  // numbered at once, with no pass to find their range: through a table
  // reaching up to one sampled width beyond each end and no wider than a
  // table may be, if every key has a slot in it. A key without one sends the
  // column through its exact range, or, spread as wide as the sample says,
  // through the hash map.
  if (sampled) {
    const std::uint64_t step = sampled_too_wide ? sampled_step(keys, stride, sampled->first) : 1;
    const std::uint64_t units = (sampled->second - sampled->first) / step + 1;
    if (units < widest) {
      const std::uint64_t extra = std::min(units, (widest - units) / 2);
      const std::uint64_t below = std::min(extra, sampled->first / step);
      const std::uint64_t above =
          std::min(extra, (std::numeric_limits<std::uint64_t>::max() - sampled->second) / step);
      const std::uint64_t low = sampled->first - below * step;
      const std::uint64_t count = below + units + above;
      auto out = step == 1 ? number_through_range(keys, low, count)
                           : number_through_table(keys, count, SteppedSlots(low, step));
      if (out) {
        took(step == 1 ? FactorizePath::kSampledRange : FactorizePath::kSampledSteps);
        return std::move(*out);
      }
    }
  }
  const auto range = sampled_too_wide ? std::nullopt : key_range(keys);
  if (!sampled_too_wide && !too_wide(range)) {
    // Every key lies in its exact range, so the table always serves.
    took(FactorizePath::kExactRange);
    return number_through_range(keys, range ? range->first : 0,
                                range ? range->second - range->first + 1 : 0)
        .value();
  }
  took(FactorizePath::kHashMap);
  HashMap<std::uint64_t, Id, KeyedHash> ids;
  RecentKeys recent;
  return assign_row_ids(keys, [&](std::uint64_t key) -> Id& {
    if (Id* known = recent.find(key)) return *known;
    Id& id = ids.try_emplace(key, kNoId).first->second;
    // A key met for the first time gets its id from the caller; the memory
    // learns it at the key's next row.
    if (id != kNoId) recent.remember(key, id);
    return id;
  });
}

// Keys held in memory, one per row, with an optional null flag per row.
struct KeyVector {
  std::vector<std::uint64_t> keys;
  std::vector<std::uint8_t> nulls;  // empty: no row is null
  std::size_t size() const { return keys.size(); }
  std::uint64_t key(std::size_t row) const { return keys[row]; }
  bool is_null(std::size_t row) const { return !nulls.empty() && nulls[row] != 0; }
};

}  // namespace colenc
