// The inverse map of a fitted column: exactly the coded labels, keyed by
// their codes; missing-value labels have no entry.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "core/engine/label_encode.hpp"
#include "core/labels/label_maps.hpp"

namespace colenc {
namespace {

TextColumn make_column(const std::vector<std::string>& rows) {
  TextColumn column;
  for (const std::string& row : rows) column.push_back(row);
  return column;
}

std::map<Code, std::string> as_ordered(const CodeToLabel& code_to_label) {
  return {code_to_label.begin(), code_to_label.end()};
}

TEST(CodeToLabel, HoldsExactlyTheCodedLabels) {
  const auto [codes, labels] =
      label_encode_column(make_column({"b", "nan", "a", "<NA>", "c", "NaN", "a"}));
  EXPECT_EQ(as_ordered(labels.code_to_label),
            (std::map<Code, std::string>{{0, "a"}, {1, "b"}, {2, "c"}}));
}

TEST(CodeToLabel, OnlyMissingLabelsGiveAnEmptyMap) {
  const auto [codes, labels] = label_encode_column(make_column({"nan", "<NA>"}));
  EXPECT_EQ(labels.label_to_code.size(), 2u);
  EXPECT_TRUE(labels.code_to_label.empty());
}

}  // namespace
}  // namespace colenc
