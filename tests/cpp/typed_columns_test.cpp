// Typed columns: the packed text column and a number column turning to text.
#include "core/typed_columns.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace colenc {
namespace {

TEST(TextColumn, KeepsEveryCellApartIncludingEmptyOnes) {
  TextColumn column;
  const std::vector<std::string> cells = {"", "ab", "", std::string("c\0d", 3), ""};
  for (const std::string& cell : cells) column.push_back(cell);
  ASSERT_EQ(column.size(), cells.size());
  for (std::size_t i = 0; i < cells.size(); ++i) EXPECT_EQ(column[i], cells[i]) << i;
  EXPECT_EQ(column.byte_size(), 5u);
}

TEST(TypedColumns, TurnToTextRendersTheCollectedNumbersThenTakesTexts) {
  TypedColumns table(4, 2);
  table.number_cells[0] = {1.0, 2.5, std::numeric_limits<double>::quiet_NaN()};
  table.number_cells[1] = {7.0};
  table.turn_to_text(0);
  table.text_cells[0].push_back("x");

  EXPECT_TRUE(table.column_is_text[0]);
  EXPECT_FALSE(table.column_is_text[1]);
  EXPECT_TRUE(table.number_cells[0].empty());
  EXPECT_EQ(table.number_cells[1], std::vector<double>{7.0});
  const std::vector<std::string> expected = {"1", "2.5", "NaN", "x"};
  ASSERT_EQ(table.text_cells[0].size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(table.text_cells[0][i], expected[i]);
}

TEST(TypedColumns, TurnToTextAtTheFirstRowGivesAnEmptyTextColumn) {
  TypedColumns table(1, 1);
  table.turn_to_text(0);
  EXPECT_TRUE(table.column_is_text[0]);
  EXPECT_TRUE(table.text_cells[0].empty());
}

}  // namespace
}  // namespace colenc
