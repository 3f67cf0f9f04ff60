// Factorizing stored values: ids by first occurrence, one id for null rows,
// through each direct table and through the hash map alike. Every case states
// the way it must take, so that a changed threshold cannot drop a way unseen.
#include "core/hashing/value_factorizer.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <utility>
#include <vector>

namespace colenc {
namespace {

struct Case {
  const char* name;
  std::vector<std::uint64_t> keys;
  std::vector<std::uint8_t> nulls;
  std::vector<FactorizedValues::Id> row_ids;
  std::vector<std::size_t> first_rows;
  FactorizePath path;
};

using enum FactorizePath;

TEST(FactorizeValues, NumbersDistinctKeysByFirstOccurrence) {
  constexpr std::uint64_t kFar = std::uint64_t{1} << 63;  // too wide for a direct table
  std::vector<Case> cases = {
      {"empty", {}, {}, {}, {}, kExactRange},
      {"narrow", {7, 5, 7, 6, 5}, {}, {0, 1, 0, 2, 1}, {0, 1, 3}, kExactRange},
      {"wide", {kFar, 3, kFar, ~std::uint64_t{0}, 3}, {}, {0, 1, 0, 2, 1}, {0, 1, 3}, kHashMap},
      {"nulls share an id whatever their key",
       {4, 9, 4, 1, 9},
       {0, 1, 0, 1, 0},
       {0, 1, 0, 1, 2},
       {0, 1, 4},
       kExactRange},
      {"only nulls", {1, 2}, {1, 1}, {0, 0}, {0}, kExactRange},
      {"wide with nulls", {kFar, 0, 5, kFar}, {0, 0, 1, 1}, {0, 1, 2, 2}, {0, 1, 2}, kHashMap},
  };
  // 2,560 rows of 7 keys a step apart, of which every 10th is sampled: their
  // keys settle a table reaching from 7 steps below the first to 13 above
  // it. One row that is not sampled holds another key: within that reach,
  // and a whole number of steps from the first, it is numbered there;
  // between steps or beyond the reach, near or far, below or above, it must
  // send the column through its exact range or the hash map.
  constexpr std::uint64_t kDay = 86'400'000'000'000;  // in nanoseconds
  const std::uint64_t kDate = 19'000 * kDay;
  struct Sevens {
    std::uint64_t first;
    std::uint64_t step;
    // Other keys, each with the way its column must take.
    std::vector<std::pair<std::uint64_t, FactorizePath>> others;
  };
  // Keys near the reach: within it, or outside it by one step, between
  // steps, or far above it.
  const auto near = [](std::uint64_t first, std::uint64_t step, FactorizePath within,
                       FactorizePath outside) {
    std::vector<std::pair<std::uint64_t, FactorizePath>> others = {{0, outside},
                                                                   {first - 8 * step, outside},
                                                                   {first - 7 * step, within},
                                                                   {first + 13 * step, within},
                                                                   {first + 14 * step, outside},
                                                                   {first + 5000 * step, outside}};
    if (step > 1) others.emplace_back(first + 3 * step + step / 2, outside);
    return others;
  };
  std::vector<Sevens> configs = {
      {100, 1, near(100, 1, kSampledRange, kExactRange)},
      {kDate, kDay, near(kDate, kDay, kSampledSteps, kHashMap)},
      {kFar, std::uint64_t{1} << 20, near(kFar, std::uint64_t{1} << 20, kSampledSteps, kHashMap)}};
  // Keys at the top of the key space: beyond every reach but the last's, in
  // which kFar - 2^20 lies one step below the first.
  for (Sevens& config : configs) {
    config.others.emplace_back(kFar - config.step, config.first == kFar ? kSampledSteps : kHashMap);
    config.others.emplace_back(~std::uint64_t{0}, kHashMap);
  }
  for (const Sevens& config : configs) {
    const auto [first, step] = std::pair{config.first, config.step};
    std::vector<std::uint64_t> sevens(2560);
    std::vector<FactorizedValues::Id> seven_ids(sevens.size());
    for (std::size_t k = 0; k < sevens.size(); ++k) {
      sevens[k] = first + k % 7 * step;
      seven_ids[k] = static_cast<FactorizedValues::Id>(k % 7);
    }
    for (const auto& [other, path] : config.others) {
      std::vector<std::uint64_t> keys = sevens;
      keys[13] = other;
      std::vector<FactorizedValues::Id> ids = seven_ids;
      ids[13] = 7;
      cases.push_back(
          {"a key met only off the sample", keys, {}, ids, {0, 1, 2, 3, 4, 5, 6, 13}, path});
    }
  }
  for (const Case& c : cases) {
    const std::uint64_t other = c.keys.size() > 13 ? c.keys[13] : 0;
    FactorizePath path{};
    const FactorizedValues got = factorize_values(KeyVector{c.keys, c.nulls}, &path);
    EXPECT_EQ(got.row_ids, c.row_ids) << c.name << ", key " << other;
    EXPECT_EQ(got.first_rows, c.first_rows) << c.name;
    EXPECT_EQ(path, c.path) << c.name << ", key " << other;
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
    // 256 samples 77 rows apart: 77 is prime to both key cycles, so the
    // sampled days show the one-day step rather than a multiple of it.
    for (std::uint64_t k = 0; k < 256 * 77; ++k) {
      const std::uint64_t value = (k * 7919) % distinct;
      narrow.push_back(value);
      days.push_back((19'000 + value) * 86'400'000'000'000);
      wide.push_back((value << 40) | (value % 3));
    }
    FactorizePath path{};
    const FactorizedValues a = factorize_values(KeyVector{narrow, {}}, &path);
    EXPECT_EQ(path, kSampledRange);
    EXPECT_EQ(a.value_count(), distinct);
    const std::pair<FactorizedValues, FactorizePath> others[] = {
        {factorize_values(KeyVector{days, {}}, &path), path},
        {factorize_values(KeyVector{wide, {}}, &path), path},
        {factorize_values(TwoByteKeys{KeyVector{narrow, {}}}, &path), path}};
    const FactorizePath expected[] = {kSampledSteps, kHashMap, kEveryKey};
    for (std::size_t k = 0; k < std::size(others); ++k) {
      const auto& [b, taken] = others[k];
      EXPECT_EQ(taken, expected[k]) << distinct << ", table " << k;
      EXPECT_EQ(a.row_ids, b.row_ids) << distinct;
      EXPECT_EQ(a.first_rows, b.first_rows) << distinct;
    }
  }
}

}  // namespace
}  // namespace colenc
