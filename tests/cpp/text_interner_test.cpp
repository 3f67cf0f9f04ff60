// The interner that numbers a column's distinct texts as a reader adds them.
#include "core/columns/text_interner.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

}  // namespace
}  // namespace colenc
