// The inverse map of a fitted column: exactly the coded labels, keyed by
// their codes; missing-value labels have no entry.
#include <gtest/gtest.h>

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "core/engine/label_encode.hpp"
#include "core/labels/label_maps.hpp"

namespace colenc {
namespace {

struct InverseCase {
  std::vector<std::string> rows;
  std::size_t labels;                   // entries of label_to_code
  std::map<Code, std::string> inverse;  // code_to_label
};

TEST(CodeToLabel, HoldsExactlyTheCodedLabels) {
  const std::vector<InverseCase> cases = {
      {{"b", "nan", "a", "<NA>", "c", "NaN", "a"}, 6, {{0, "a"}, {1, "b"}, {2, "c"}}},
      {{"nan", "<NA>"}, 2, {}},
      {{}, 0, {}},
      {{"z", "<NA>", "A"}, 3, {{0, "A"}, {1, "z"}}},
  };
  for (const InverseCase& c : cases) {
    TextColumn column;
    for (const std::string& row : c.rows) column.push_back(row);
    const auto [codes, labels] = label_encode_column(column);
    EXPECT_EQ(labels.label_to_code.size(), c.labels) << c.rows.size() << " rows";
    const std::map<Code, std::string> inverse(labels.code_to_label.begin(),
                                              labels.code_to_label.end());
    EXPECT_EQ(inverse, c.inverse) << c.rows.size() << " rows";
  }
}

}  // namespace
}  // namespace colenc
