// The interner that numbers a column's distinct texts as a reader adds them,
// and the ends by which its memory of recent texts knows them.
#include "core/columns/text_interner.hpp"

#include <gtest/gtest.h>

#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "core/hashing/recent_texts.hpp"
#include "failing_allocation.hpp"

namespace colenc {
namespace {

// Ids follow first appearance; equal texts share one, also texts longer than
// the recent memory keeps whole that differ only in the middle.
TEST(TextInterner, NumbersDistinctTextsByFirstAppearance) {
  const std::string long_a = "0123456789-abcdefgh-0123456789";
  const std::string long_b = "0123456789-abcdXfgh-0123456789";
  const std::vector<std::string> rows = {
      "b", "", long_a, "b", long_b, long_a, "", std::string("a\0b", 3), "a"};
  TextInterner interner;
  std::vector<TextInterner::Id> ids;
  for (const std::string& text : rows) {
    ids.push_back(interner.intern(text, text.data() + text.size()));
  }
  EXPECT_EQ(ids, (std::vector<TextInterner::Id>{0, 1, 2, 0, 3, 2, 1, 4, 5}));
  const TextColumn entries = interner.entries();
  ASSERT_EQ(entries.size(), 6u);
  EXPECT_EQ(entries[2], long_a);
  EXPECT_EQ(entries[3], long_b);
  EXPECT_EQ(entries[4], std::string("a\0b", 3));
}

std::string word(std::size_t k) { return "word " + std::to_string(k); }

// A vocabulary met again round after round, as a loader's batches of rows
// bring it back, each round in another order: a text keeps its first id while
// the memory of recent texts grows with the texts.
TEST(TextInterner, KeepsEachTextsIdAsTheTextsGrowMany) {
  for (const std::size_t words : {100, 3000, 40000}) {
    SCOPED_TRACE(words);
    TextInterner interner;
    std::map<std::string, TextInterner::Id> first;
    for (std::size_t round = 0; round < 3; ++round) {
      for (std::size_t k = 0; k < words; ++k) {
        const std::string text = word((k * 7919 + round * 13) % words);
        const auto [known, added] =
            first.try_emplace(text, static_cast<TextInterner::Id>(first.size()));
        ASSERT_EQ(interner.intern(text, text.data() + text.size()), known->second);
      }
    }
    EXPECT_EQ(interner.size(), words);
  }
}

// An allocation refused at any point throws and leaves the texts as they
// were; a refused larger memory of recent texts is no failure at all.
TEST(TextInterner, ARefusedAllocationLeavesTheTextsAsTheyWere) {
  constexpr std::size_t kWords = 3000;
  const std::size_t count = test_support::for_each_failing_allocation([](std::size_t k) {
    TextInterner interner;
    std::size_t added = 0;
    const test_support::Attempt attempt = test_support::attempt_with_failing(k, [&] {
      for (; added < kWords; ++added) {
        const std::string text = word(added);
        interner.intern(text, text.data() + text.size());
      }
    });
    EXPECT_EQ(interner.size(), added);
    for (std::size_t i = 0; i < kWords; ++i) {
      const std::string text = word(i);
      EXPECT_EQ(interner.intern(text, text.data() + text.size()), i);
    }
    return attempt;
  });
  EXPECT_GT(count, 2U);
}

// The ends of a text are the same whatever is known readable around it: only
// its own bytes, bytes after it, or the 8 bytes that end with it.
TEST(RecentTexts, EndsAreTheTextsOwnWhateverIsReadable) {
  for (std::size_t n = 0; n <= 24; ++n) {
    SCOPED_TRACE(n);
    std::string buffer(8, '\xA5');
    for (std::size_t k = 0; k < n; ++k) buffer.push_back(static_cast<char>('a' + k));
    buffer.append(8, '\x5A');
    const std::string_view text(buffer.data() + 8, n);
    const RecentTexts::Ends own = RecentTexts::ends_of(text, nullptr);
    const std::initializer_list<const char*> readables = {text.data() + n,
                                                           buffer.data() + buffer.size()};
    for (const char* readable : readables) {
      const RecentTexts::Ends ends = RecentTexts::ends_of(text, readable);
      EXPECT_EQ(ends.head, own.head);
      EXPECT_EQ(ends.tail, own.tail);
    }
    const RecentTexts::Ends ending = RecentTexts::ends_ending_readable(text);
    EXPECT_EQ(ending.head, own.head);
    EXPECT_EQ(ending.tail, own.tail);
  }
}

}  // namespace
}  // namespace colenc
