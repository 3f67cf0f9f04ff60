// The prefix radix sort against std::sort of the whole texts: random texts,
// texts sharing long prefixes, empty, equal, zero-byte and high-byte texts.
#include "core/engine/prefix_sort.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace colenc {
namespace {

// Returns the texts in the order sort_by_text gives them.
std::vector<std::string> radix_sorted(const std::vector<std::string>& texts) {
  std::vector<PrefixedIndex> items(texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) items[i] = {byte_prefix(texts[i]), i};
  sort_by_text(std::span<PrefixedIndex>(items),
               [&](std::uint64_t i) { return std::string_view(texts[i]); });
  std::vector<std::string> out;
  for (const PrefixedIndex& item : items) out.push_back(texts[item.index]);
  return out;
}

std::vector<std::string> reference_sorted(std::vector<std::string> texts) {
  std::sort(texts.begin(), texts.end(),
            [](const std::string& a, const std::string& b) { return label_less(a, b); });
  return texts;
}

// `count` texts of the shared `stem` followed by up to `tail` random bytes
// drawn from `alphabet`; a few texts are repeated, a few empty.
std::vector<std::string> make_texts(std::size_t count, const std::string& stem, std::size_t tail,
                                    const std::string& alphabet, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::string> texts;
  for (std::size_t i = 0; i < count; ++i) {
    if (i % 97 == 5 && !texts.empty()) {
      texts.push_back(texts[rng() % texts.size()]);
      continue;
    }
    if (i % 1009 == 3) {
      texts.emplace_back();
      continue;
    }
    std::string text = stem;
    const std::size_t length = rng() % (tail + 1);
    for (std::size_t k = 0; k < length; ++k) text.push_back(alphabet[rng() % alphabet.size()]);
    texts.push_back(text);
  }
  return texts;
}

struct Case {
  const char* name;
  std::size_t count;
  std::string stem;
  std::size_t tail;
  std::string alphabet;
};

class PrefixSortTest : public ::testing::TestWithParam<Case> {};

TEST_P(PrefixSortTest, OrdersLikeAComparisonSortOfWholeTexts) {
  const Case& c = GetParam();
  const std::vector<std::string> texts = make_texts(c.count, c.stem, c.tail, c.alphabet, 7);
  EXPECT_EQ(radix_sorted(texts), reference_sorted(texts));
}

const std::string kBytes = [] {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  return all;
}();

INSTANTIATE_TEST_SUITE_P(
    Texts, PrefixSortTest,
    ::testing::Values(Case{"Tiny", 5, "", 3, "ab"}, Case{"RandomAscii", 50000, "", 14, "abcXYZ09"},
                      Case{"EveryByteValue", 70000, "", 12, kBytes},
                      Case{"ZeroBytesAndLengths", 3000, "ab", 10, std::string("\0\x01", 2)},
                      Case{"SharedStem", 40000, "user_00000000_", 6, "0123456789"},
                      Case{"StemPastRadixDepth", 2000, std::string(600, 'q'), 3, "xyz"},
                      Case{"FewValues", 60000, "", 2, "ab"}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(PrefixSortTest, EmptyAndEqualTexts) {
  EXPECT_TRUE(radix_sorted({}).empty());
  const std::vector<std::string> equal(1000, "same text, longer than eight");
  EXPECT_EQ(radix_sorted(equal), equal);
  const std::vector<std::string> empty(100, "");
  EXPECT_EQ(radix_sorted(empty), empty);
}

TEST(PrefixSortTest, PrefixOfTextFromAnOffset) {
  EXPECT_EQ(byte_prefix("abcdefghij", 8), 0x696A000000000000ULL);
  EXPECT_EQ(byte_prefix("abc", 3), 0u);
  EXPECT_EQ(byte_prefix("\xff", 0), 0xFF00000000000000ULL);
}

}  // namespace
}  // namespace colenc
