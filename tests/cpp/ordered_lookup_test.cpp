// Lookups in a large fit without its index: which maps count as in label
// order, the doubling search, and bisection and the sorted walk giving the
// codes the index gives, for fits in label order and out of it.
#include "core/engine/ordered_lookup.hpp"

#include <gtest/gtest.h>
#include <oneapi/tbb/task_arena.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/engine/label_encode.hpp"
#include "core/engine/label_lookup.hpp"
#include "core/formats/number_format.hpp"

namespace colenc {
namespace {

std::uint64_t bits(double value) { return std::bit_cast<std::uint64_t>(value); }

// Texts of varied length sharing long prefixes, so that the sort and the
// walk compare past the first 8 bytes.
std::string word(std::uint64_t k) {
  return (k % 3 == 0 ? "prefix-shared-by-many:" : "w") + std::to_string(k * 2654435761u % 100'000'007);
}

TEST(LabelToCode, CodedInLabelOrderOnlyAsAFitLaysItOut) {
  TextColumn texts;
  for (const char* text : {"b", "nan", "a", "<NA>", "c"}) texts.push_back(text);
  LabelToCode fitted = label_encode_column(texts).second.label_to_code;
  EXPECT_EQ(fitted.coded_in_label_order(), std::optional<std::size_t>(3));
  EXPECT_EQ(LabelToCode().coded_in_label_order(), std::optional<std::size_t>(0));
  const std::vector<LabelToCode> out_of_order = {
      {{"b", 0}, {"a", 1}},                          // texts descending
      {{"a", 1}, {"b", 0}},                          // codes not positions
      {{"a", 0}, {"x", std::nullopt}},               // an uncoded text that is not missing
      {{"a", 0}, {"nan", std::nullopt}, {"b", 1}},   // a coded label after the uncoded ones
      {{"nan", 0}, {"a", 1}},                        // a coded missing label out of order
  };
  for (const LabelToCode& map : out_of_order) {
    EXPECT_FALSE(map.coded_in_label_order()) << map.entry(0).first << " " << map.entry(1).first;
  }
  // A change is seen at the next ask.
  LabelToCode map{{"a", 0}, {"b", 1}};
  EXPECT_EQ(map.coded_in_label_order(), std::optional<std::size_t>(2));
  map.insert_or_assign("b", 5);
  EXPECT_FALSE(map.coded_in_label_order());
  map.insert_or_assign("b", 1);
  map.try_emplace("NaN", std::nullopt);
  EXPECT_EQ(map.coded_in_label_order(), std::optional<std::size_t>(2));
  map.try_emplace("c", 2);
  EXPECT_FALSE(map.coded_in_label_order());
}

TEST(OrderedLabels, LowerBoundFromAnyStartNotPastTheAnswer) {
  TextColumn texts;
  for (std::uint64_t k = 0; k < 5000; ++k) texts.push_back(word(k));
  const LabelToCode map = label_encode_column(texts).second.label_to_code;
  const OrderedLabels labels(map, *map.coded_in_label_order(), -1.0);
  std::vector<std::string_view> sorted;
  for (std::size_t i = 0; i < labels.size(); ++i) sorted.push_back(labels.label(i));
  std::mt19937_64 random(7);
  for (int trial = 0; trial < 2000; ++trial) {
    const std::string probe = trial % 2 == 0 ? word(random() % 6000) : word(random() % 6000) + "~";
    const auto expected = static_cast<std::size_t>(
        std::lower_bound(sorted.begin(), sorted.end(), std::string_view(probe)) - sorted.begin());
    const std::size_t from = expected == 0 ? 0 : random() % (expected + 1);
    EXPECT_EQ(labels.lower_bound(probe, from), expected) << probe << " from " << from;
  }
  EXPECT_EQ(labels.lower_bound("", 0), 0u);
  EXPECT_EQ(labels.lower_bound("\xff", 17), labels.size());
}

// A fit of 100k labels (with missing-value labels), looked up by a column
// of `rows` texts, a fifth of them unknown and some missing.
struct LargeFit {
  LabelToCode map;
  TextColumn column(std::size_t rows, std::uint64_t seed) const {
    std::mt19937_64 random(seed);
    TextColumn texts;
    for (std::size_t i = 0; i < rows; ++i) {
      const std::uint64_t pick = random() % 125'000;
      texts.push_back(pick % 997 == 0 ? (pick % 2 == 0 ? "nan" : "<NA>") : word(pick));
    }
    return texts;
  }
};

LargeFit large_fit(bool shuffled) {
  TextColumn texts;
  for (std::uint64_t k = 0; k < 100'000; ++k) texts.push_back(k % 50'000 == 7 ? "NaN" : word(k));
  LargeFit fit{label_encode_column(texts).second.label_to_code};
  if (shuffled) {
    // The same labels and codes entered in another order: searched by index.
    std::vector<std::pair<std::string, std::optional<Code>>> entries;
    for (const auto& [label, code] : fit.map) entries.emplace_back(label, code);
    std::shuffle(entries.begin(), entries.end(), std::mt19937_64(3));
    LabelToCode map;
    for (const auto& [label, code] : entries) map.try_emplace(label, code);
    fit.map = std::move(map);
  }
  return fit;
}

// Few rows are bisected, 200k nearly distinct rows walked beside the labels,
// 5k rows (neither) looked up through the index, as is every fit out of
// label order.
LookupPath expected_path(bool shuffled, std::size_t rows) {
  if (shuffled || rows == 5000) return LookupPath::kIndex;
  return rows == 1 ? LookupPath::kBisection : LookupPath::kSortedWalk;
}

class LargeFitLookup : public ::testing::TestWithParam<std::tuple<bool, std::size_t, int>> {};

TEST_P(LargeFitLookup, GivesTheIndexedCodesOnAnyArena) {
  const auto [shuffled, rows, threads] = GetParam();
  const LargeFit fit = large_fit(shuffled);
  EXPECT_EQ(fit.map.coded_in_label_order().has_value(), !shuffled);
  const ColumnLookup lookup{&fit.map, 1e9};
  const TextColumn texts = fit.column(rows, rows);
  std::vector<double> expected(rows);
  bool any_unknown = false;
  for (std::size_t i = 0; i < rows; ++i) {
    expected[i] = look_up_label(lookup, texts[i]);
    any_unknown |= expected[i] == 1e9;
  }
  std::vector<double> codes(rows);
  tbb::task_arena arena(threads);
  bool unknown = false;
  LookupPath path = LookupPath::kIndex;
  arena.execute([&] { unknown = look_up_entries(texts, lookup, codes, &path); });
  EXPECT_EQ(path, expected_path(shuffled, rows));
  EXPECT_EQ(unknown, any_unknown);
  for (std::size_t i = 0; i < rows; ++i) {
    ASSERT_EQ(bits(codes[i]), bits(expected[i])) << "row " << i << ": " << texts[i];
  }
}

INSTANTIATE_TEST_SUITE_P(Ways, LargeFitLookup,
                         ::testing::Combine(::testing::Bool(),
                                            ::testing::Values(1, 5000, 200'000),
                                            ::testing::Values(1, 4)));

TEST(OrderedLabels, NumbersOfAColumnNeverTurnedLookUpAsTheirTexts) {
  TextColumn texts;
  for (std::uint64_t k = 0; k < 70'000; ++k) texts.push_back(std::to_string(k) + ".5");
  const LabelToCode map = label_encode_column(texts).second.label_to_code;
  const ColumnLookup lookup{&map, -1.0};
  const std::vector<double> numbers = {0.5, 69'999.5, 70'000.5, 3.25, 12.5};
  std::vector<double> codes(numbers.size());
  EXPECT_TRUE(look_up_numbers(numbers, lookup, codes));
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    std::string text;
    append_number(text, numbers[i]);
    EXPECT_EQ(codes[i], look_up_label(lookup, text)) << text;
  }
}

}  // namespace
}  // namespace colenc
