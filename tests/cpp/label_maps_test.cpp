// The compact label maps against plain ordered maps: any sequence of inserts
// and replacements leaves the same content, in both the positional and the
// indexed form of CodeToLabel, through copies and moves.
#include "core/labels/label_maps.hpp"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace colenc {
namespace {

std::map<std::string, std::optional<Code>> as_ordered(const LabelToCode& labels) {
  return {labels.begin(), labels.end()};
}
std::map<Code, std::string> as_ordered(const CodeToLabel& codes) {
  return {codes.begin(), codes.end()};
}

std::string random_text(std::mt19937_64& rng) {
  std::string text(rng() % 4, 'a');
  for (char& c : text) c = static_cast<char>('a' + rng() % 3);
  return text;
}

// Replays random inserts and replacements on both the map and a reference.
struct Replay {
  LabelToCode labels;
  CodeToLabel codes;
  std::map<std::string, std::optional<Code>> label_reference;
  std::map<Code, std::string> code_reference;

  Replay(std::uint64_t seed, Code code_range) {
    std::mt19937_64 rng(seed);
    for (int i = 0; i < 400; ++i) {
      const std::string text = random_text(rng);
      const std::optional<Code> code = rng() % 4 == 0 ? std::nullopt : std::optional<Code>(rng() % 50);
      const Code key = rng() % code_range;
      if (rng() % 2 == 0) {
        labels.insert_or_assign(text, code);
        label_reference.insert_or_assign(text, code);
        codes.insert_or_assign(key, text);
        code_reference.insert_or_assign(key, text);
      } else {
        EXPECT_EQ(labels.try_emplace(text, code).second, label_reference.try_emplace(text, code).second);
        EXPECT_EQ(codes.try_emplace(key, text).second, code_reference.try_emplace(key, text).second);
      }
    }
  }
};

class LabelMapsReplay : public ::testing::TestWithParam<Code> {};

TEST_P(LabelMapsReplay, MatchOrderedMaps) {
  for (std::uint64_t seed = 1; seed <= 20; ++seed) {
    Replay replay(seed, GetParam());
    EXPECT_EQ(as_ordered(replay.labels), replay.label_reference);
    EXPECT_EQ(as_ordered(replay.codes), replay.code_reference);
    for (const auto& [text, code] : replay.label_reference) EXPECT_EQ(replay.labels.at(text), code);
    for (const auto& [code, text] : replay.code_reference) EXPECT_EQ(replay.codes.at(code), text);
    EXPECT_FALSE(replay.labels.contains("dddd"));
    EXPECT_FALSE(replay.codes.contains(GetParam()));
    EXPECT_THROW(replay.codes.at(GetParam()), std::out_of_range);

    // Copies are equal and independent; moved-from maps are empty.
    LabelToCode labels = replay.labels;
    CodeToLabel codes = replay.codes;
    EXPECT_EQ(labels, replay.labels);
    EXPECT_EQ(codes, replay.codes);
    labels.insert_or_assign("zzzzz", Code{1});
    codes.insert_or_assign(GetParam(), "zzzzz");
    EXPECT_NE(labels, replay.labels);
    EXPECT_NE(codes, replay.codes);
    EXPECT_FALSE(replay.labels.contains("zzzzz"));
    LabelToCode moved_labels = std::move(labels);
    CodeToLabel moved_codes = std::move(codes);
    EXPECT_TRUE(labels.empty() && codes.empty());  // NOLINT: moved-from state is specified
    EXPECT_TRUE(moved_labels.contains("zzzzz") && moved_codes.contains(GetParam()));
  }
}

// A code range of 1 keeps CodeToLabel positional throughout (only code 0,
// replaced over and over); wider ranges make it index its codes.
INSTANTIATE_TEST_SUITE_P(CodeRanges, LabelMapsReplay, ::testing::Values(1, 8, 1000));

TEST(CodeToLabel, EqualityIgnoresOrderAndForm) {
  CodeToLabel positional{{0, "a"}, {1, "b"}, {2, "c"}};
  CodeToLabel indexed{{2, "c"}, {0, "a"}, {1, "b"}};
  EXPECT_EQ(positional, indexed);
  indexed.insert_or_assign(1, "x");
  EXPECT_NE(positional, indexed);
  positional.insert_or_assign(1, "x");
  EXPECT_EQ(positional, indexed);
  EXPECT_EQ(positional.size(), 3u);
}

// A fitted layout (label i has code i, missing-value labels last) gives an
// inverse that shares the texts; changing either map afterwards leaves the
// other as it was.
TEST(LabelToCode, PositionalInverseSharesTextsUntilEitherChanges) {
  const LabelToCode fitted{{"a", Code{0}}, {"b", Code{1}}, {"nan", std::nullopt}};
  for (int change = 0; change < 4; ++change) {
    LabelToCode labels = fitted;
    std::optional<CodeToLabel> inverse = labels.positional_inverse();
    ASSERT_TRUE(inverse.has_value());
    EXPECT_EQ(as_ordered(*inverse), (std::map<Code, std::string>{{0, "a"}, {1, "b"}}));
    std::map<Code, std::string> expected = {{0, "a"}, {1, "b"}};
    switch (change) {
      case 0: inverse->try_emplace(2, "c"); expected[2] = "c"; break;
      case 1: inverse->insert_or_assign(0, "z"); expected[0] = "z"; break;
      case 2: inverse->try_emplace(9, "q"); expected[9] = "q"; break;
      case 3: labels.try_emplace("c", Code{2}); break;
    }
    EXPECT_EQ(as_ordered(*inverse), expected) << "change " << change;
    if (change < 3) {
      EXPECT_EQ(labels, fitted) << "change " << change;
    }
    EXPECT_EQ(as_ordered(labels).size(), change == 3 ? 4u : 3u);
  }
  EXPECT_FALSE((LabelToCode{{"nan", std::nullopt}, {"a", Code{0}}}.positional_inverse()));
  EXPECT_FALSE((LabelToCode{{"a", Code{1}}}.positional_inverse()));
  EXPECT_TRUE(LabelToCode().positional_inverse().has_value());
}

// A built or copied map is indexed on its first search, which threads may
// start together; a builder given a label twice is caught by that search.
TEST(LabelToCode, IndexIsMadeOnFirstSearchFromAnyThread) {
  LabelToCode::Builder builder;
  for (int i = 0; i < 5000; ++i) builder.append(std::to_string(i), Code(i));
  const LabelToCode built = std::move(builder).finish();
  const LabelToCode copy = built;
  std::vector<int> found(8, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = t; i < 5000; i += 8) found[t] += copy.at(std::to_string(i)) == Code(i);
    });
  }
  for (std::thread& thread : threads) thread.join();
  int total = 0;
  for (int n : found) total += n;
  EXPECT_EQ(total, 5000);
  EXPECT_FALSE(copy.contains("5000"));
  EXPECT_EQ(built, copy);
  LabelToCode::Builder twice;
  twice.append("a", Code{0});
  twice.append("a", Code{1});
  const LabelToCode broken = std::move(twice).finish();
  EXPECT_THROW(broken.contains("b"), std::logic_error);
}

}  // namespace
}  // namespace colenc
