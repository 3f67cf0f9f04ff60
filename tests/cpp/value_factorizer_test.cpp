// Factorizing stored values: ids by first occurrence, one id for null rows,
// through the direct table and through the hash map alike.
#include "core/hashing/value_factorizer.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace colenc {
namespace {

struct Case {
  const char* name;
  std::vector<std::uint64_t> keys;
  std::vector<std::uint8_t> nulls;
  std::vector<FactorizedValues::Id> row_ids;
  std::vector<std::size_t> first_rows;
};

TEST(FactorizeValues, NumbersDistinctKeysByFirstOccurrence) {
  constexpr std::uint64_t kFar = std::uint64_t{1} << 63;  // too wide for a direct table
  std::vector<Case> cases = {
      {"empty", {}, {}, {}, {}},
      {"narrow", {7, 5, 7, 6, 5}, {}, {0, 1, 0, 2, 1}, {0, 1, 3}},
      {"wide", {kFar, 3, kFar, ~std::uint64_t{0}, 3}, {}, {0, 1, 0, 2, 1}, {0, 1, 3}},
      {"nulls share an id whatever their key", {4, 9, 4, 1, 9}, {0, 1, 0, 1, 0}, {0, 1, 0, 1, 2},
       {0, 1, 4}},
      {"only nulls", {1, 2}, {1, 1}, {0, 0}, {0}},
      {"wide with nulls", {kFar, 0, 5, kFar}, {0, 0, 1, 1}, {0, 1, 2, 2}, {0, 1, 2}},
  };
  // 2,560 rows of 7 keys a step apart, of which every 10th is sampled: their
  // keys settle a table reaching from 7 steps below the first to 13 above
  // it. One row that is not sampled holds another key: within that reach,
  // and a whole number of steps from the first, it is numbered there;
  // between steps or beyond the reach, near or far, below or above, it must
  // send the column through its exact range or the hash map.
  constexpr std::uint64_t kDay = 86'400'000'000'000;  // in nanoseconds
  const std::uint64_t kDate = 19'000 * kDay;
  for (const auto& [first, step] : {std::pair{std::uint64_t{100}, std::uint64_t{1}},
                                   std::pair{kDate, kDay},
                                   std::pair{kFar, std::uint64_t{1} << 20}}) {
    std::vector<std::uint64_t> sevens(2560);
    std::vector<FactorizedValues::Id> seven_ids(sevens.size());
    for (std::size_t k = 0; k < sevens.size(); ++k) {
      sevens[k] = first + k % 7 * step;
      seven_ids[k] = static_cast<FactorizedValues::Id>(k % 7);
    }
    std::vector<std::uint64_t> others = {0,
                                         first - 8 * step,
                                         first - 7 * step,
                                         first + 13 * step,
                                         first + 14 * step,
                                         first + 5000 * step,
                                         kFar - step,
                                         ~std::uint64_t{0}};
    if (step > 1) others.push_back(first + 3 * step + step / 2);
    for (const std::uint64_t other : others) {
      std::vector<std::uint64_t> keys = sevens;
      keys[13] = other;
      std::vector<FactorizedValues::Id> ids = seven_ids;
      ids[13] = 7;
      cases.push_back({"a key met only off the sample", keys, {}, ids, {0, 1, 2, 3, 4, 5, 6, 13}});
    }
  }
  for (const Case& c : cases) {
    const FactorizedValues got = factorize_values(KeyVector{c.keys, c.nulls});
    EXPECT_EQ(got.row_ids, c.row_ids) << c.name << ", key " << (c.keys.size() > 13 ? c.keys[13] : 0);
    EXPECT_EQ(got.first_rows, c.first_rows) << c.name;
  }
}

// Keys that state a bound of two bytes: numbered through a table of every
// key they can be, with no pass to find their range.
struct TwoByteKeys {
  static constexpr std::uint64_t kKeyLimit = 0xFFFF;
  KeyVector keys;
  std::size_t size() const { return keys.size(); }
  std::uint64_t key(std::size_t row) const { return keys.key(row); }
  bool is_null(std::size_t row) const { return keys.is_null(row); }
};

// Keys in a narrow range and keys a whole number of days apart go through
// direct tables; keys spread wide with no common step go through the keyed map
// and its memory of recent keys: with more distinct keys than that memory has
// slots, keys evict one another; keys with a stated bound of two bytes go
// through a table of every key. All must number the rows alike.
TEST(FactorizeValues, TablesAndHashingAgreeOnManyKeys) {
  for (const std::uint64_t distinct : {1000u, 5000u}) {
    std::vector<std::uint64_t> narrow, days, wide;
    for (std::uint64_t k = 0; k < 20000; ++k) {
      const std::uint64_t value = (k * 7919) % distinct;
      narrow.push_back(value);
      days.push_back((19'000 + value) * 86'400'000'000'000);
      wide.push_back((value << 40) | (value % 3));
    }
    const FactorizedValues a = factorize_values(KeyVector{narrow, {}});
    const FactorizedValues c = factorize_values(TwoByteKeys{KeyVector{narrow, {}}});
    EXPECT_EQ(a.value_count(), distinct);
    for (const FactorizedValues& b : {factorize_values(KeyVector{days, {}}),
                                      factorize_values(KeyVector{wide, {}}), c}) {
      EXPECT_EQ(a.row_ids, b.row_ids) << distinct;
      EXPECT_EQ(a.first_rows, b.first_rows) << distinct;
    }
  }
}

}  // namespace
}  // namespace colenc
