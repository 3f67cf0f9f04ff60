// Placed columns read apart and joined: the joined column holds the same
// texts row by row, whether both halves kept ids or either gave them up.
#include "core/columns/placed_column.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace colenc {
namespace {

// Files `texts` into `column` as the cell typing would, text from the start.
void file_texts(PlacedColumn& column, const std::vector<std::string>& texts) {
  if (!column.is_text()) column.turn_to_text();
  for (const std::string& text : texts) column.push_text(text, text.data() + text.size());
}

// The text of each row of `column` once handed over.
std::vector<std::string> row_texts(PlacedColumn& column, const std::vector<double>& cells) {
  TypedColumns out(cells.size(), 1);
  column.hand_over(out, 0);
  std::vector<std::string> texts;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    const std::size_t entry = out.ids_placed[0] ? static_cast<std::size_t>(cells[i]) : i;
    texts.emplace_back(out.text_cells[0].entry(entry));
  }
  return texts;
}

TEST(PlacedColumn, AppendJoinsColumnsReadApart) {
  std::vector<std::string> many;
  for (int k = 0; k < 70000; ++k) {
    std::string text(1, 't');
    text.append(std::to_string(k));
    many.push_back(std::move(text));
  }
  struct Case {
    const char* name;
    std::vector<std::string> first, second;
    bool first_flat = false, second_flat = false;  // rows keep their own texts from the turn
  };
  const std::vector<Case> cases = {
      {"both keep ids", {"b", "a", "b"}, {"c", "a", "a"}},
      {"the second gave up its ids", {"a", "b"}, many},
      {"the first gave up its ids", many, {"a", "t5"}},
      {"both flat from the turn", {"b", "a", "b"}, {"c", "", "a"}, true, true},
      {"only the first flat", {"b", "a"}, {"c", "a", "a"}, true, false},
      {"only the second flat", {"b", "a"}, {"c", "a", "a"}, false, true},
  };
  for (const Case& c : cases) {
    std::vector<double> cells(c.first.size() + c.second.size());
    PlacedColumn first(cells.data(), 1);
    PlacedColumn second(cells.data() + c.first.size(), 1);
    if (c.first_flat) first.keep_texts_flat();
    if (c.second_flat) second.keep_texts_flat();
    file_texts(first, c.first);
    file_texts(second, c.second);
    first.judge_repeats();
    second.judge_repeats();
    first.append(std::move(second));
    std::vector<std::string> expected = c.first;
    expected.insert(expected.end(), c.second.begin(), c.second.end());
    EXPECT_EQ(row_texts(first, cells), expected) << c.name;
  }
}

// Numbers filed before the turn become their decimal texts, whether the rows
// are numbered by id or keep their own texts.
TEST(PlacedColumn, TurnWritesEarlierNumbersAsTexts) {
  for (const bool flat : {false, true}) {
    std::vector<double> cells(3);
    PlacedColumn column(cells.data(), 1);
    if (flat) column.keep_texts_flat();
    column.push_number(1.5);
    column.push_number(-2.0);
    file_texts(column, {"x"});
    EXPECT_EQ(row_texts(column, cells), (std::vector<std::string>{"1.5", "-2", "x"})) << flat;
  }
}

TEST(PlacedColumn, AppendRefusesColumnsThatDoNotFollow) {
  std::vector<double> cells(4);
  PlacedColumn numbers(cells.data(), 1);
  numbers.push_number(1.0);
  PlacedColumn texts(cells.data() + 1, 1);
  file_texts(texts, {"a"});
  EXPECT_THROW(numbers.append(std::move(texts)), std::logic_error);
  PlacedColumn first(cells.data(), 1);
  file_texts(first, {"a"});
  PlacedColumn gap(cells.data() + 2, 1);
  file_texts(gap, {"b"});
  EXPECT_THROW(first.append(std::move(gap)), std::logic_error);
}

}  // namespace
}  // namespace colenc
