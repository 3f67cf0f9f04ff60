// Typed columns: the packed text column, a number column turning to text,
// and a group of columns split off for the pipeline.
#include "core/columns/typed_columns.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/hashing/recent_texts.hpp"
#include "string_views.hpp"

namespace colenc {
namespace {

// Walking the entries of [begin, end) gives each entry's index and text, in
// order, exactly as entry() does one at a time.
void expect_walk_reads_entries(const TextColumn& texts, std::size_t begin, std::size_t end) {
  std::size_t next = begin;
  texts.for_each_entry(begin, end, [&](std::size_t k, std::string_view text) {
    EXPECT_EQ(k, next++);
    EXPECT_EQ(text, texts.entry(k)) << k;
  });
  EXPECT_EQ(next, end);
}

TEST(TextColumn, KeepsEveryCellApartIncludingEmptyOnes) {
  TextColumn column;
  const std::vector<std::string> cells = {"", "ab", "", std::string("c\0d", 3), ""};
  for (const std::string& cell : cells) column.push_back(cell);
  ASSERT_EQ(column.size(), cells.size());
  for (std::size_t i = 0; i < cells.size(); ++i) EXPECT_EQ(column[i], cells[i]) << i;
  EXPECT_EQ(column.byte_size(), 5u);
  expect_walk_reads_entries(column, 0, cells.size());
  expect_walk_reads_entries(column, 1, 3);
}

TEST(TextColumn, AppendTextsAddsRowsInOnePieceAfterEarlierOnes) {
  const std::vector<std::string> texts = {"x", "", "a longer text", "ß"};
  for (const bool row_ids : {false, true}) {
    TextColumn column;
    if (row_ids) column.use_row_ids();
    column.push_back("first");
    column.append_texts(texts.size(), [&](std::size_t k) { return std::string_view(texts[k]); });
    column.append_texts(0, [&](std::size_t) { return std::string_view("never"); });
    ASSERT_EQ(column.size(), 5u) << row_ids;
    EXPECT_EQ(column[0], "first");
    for (std::size_t k = 0; k < texts.size(); ++k) EXPECT_EQ(column[k + 1], texts[k]) << k;
    EXPECT_EQ(column.byte_size(), 5u + 1 + 13 + 2);
  }
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

// A group split off takes its columns' cells and flags, in order, and leaves
// them empty in the table; the other columns stay as they were.
TEST(TypedColumns, SplitOffMovesAGroupOfColumnsWithTheirFlags) {
  TypedColumns table(2, 4);
  table.number_cells[0] = {1.0, 2.0};
  table.numbers_placed[1] = true;
  table.column_is_text[2] = true;
  table.ids_placed[2] = true;
  table.text_cells[2].push_back("a");
  table.number_cells[3] = {3.0, 4.0};

  TypedColumns group = table.split_off(1, 2);
  EXPECT_EQ(group.row_count, 2u);
  EXPECT_EQ(group.column_count, 2u);
  EXPECT_EQ(group.numbers_placed, (std::vector<bool>{true, false}));
  EXPECT_EQ(group.column_is_text, (std::vector<bool>{false, true}));
  EXPECT_EQ(group.ids_placed, (std::vector<bool>{false, true}));
  ASSERT_EQ(group.text_cells[1].size(), 1u);
  EXPECT_EQ(group.text_cells[1][0], "a");
  EXPECT_TRUE(table.text_cells[2].empty());
  EXPECT_EQ(table.number_cells[0], (std::vector<double>{1.0, 2.0}));
  EXPECT_EQ(table.number_cells[3], (std::vector<double>{3.0, 4.0}));
}

// A column borrowing Arrow-style buffers reads its texts in place, keeps the
// buffers alive, and takes no further rows; only an untouched column borrows.
TEST(TypedColumns, BorrowedTextsAreReadInPlaceAndKeptAlive) {
  auto buffer = std::make_shared<std::string>("xxabcdé");
  const std::vector<std::int64_t> offsets = {2, 2, 5, 8};  // "", "abc", "dé" after a skipped "xx"
  std::weak_ptr<std::string> watch = buffer;
  TypedColumns table(3, 2);
  table.borrow_texts(0, buffer->data(), offsets.data(), 3, buffer);
  buffer.reset();
  EXPECT_FALSE(watch.expired());
  const TextColumn& texts = table.text_cells[0];
  ASSERT_TRUE(table.column_is_text[0]);
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[0], "");
  EXPECT_EQ(texts[1], "abc");
  EXPECT_EQ(texts[2], "d\xC3\xA9");
  EXPECT_EQ(texts.byte_size(), 6u);
  EXPECT_EQ(texts.bytes_end(), texts[2].data() + texts[2].size());
  expect_walk_reads_entries(texts, 0, 3);
  expect_walk_reads_entries(texts, 2, 2);
  EXPECT_THROW(table.text_cells[0].push_back("y"), std::logic_error);

  table.number_cells[1] = {1.0};
  EXPECT_THROW(table.borrow_texts(1, "", offsets.data(), 3, nullptr), std::logic_error);
  EXPECT_THROW(table.borrow_texts(0, "", offsets.data(), 3, nullptr), std::logic_error);
  table.text_cells[0].clear();
  EXPECT_TRUE(watch.expired());
}

// Null rows of a borrowed column read as the text before or after its first
// valid row, whatever bytes their offsets span; the validity bits may start
// inside a byte. A copy reads the same.
TEST(TypedColumns, BorrowedNullRowsReadAsTheirTexts) {
  auto buffer = std::make_shared<std::string>("junkabcd");
  const std::vector<std::int64_t> offsets = {0, 4, 4, 5, 7, 8, 8, 8};
  // Bits from offset 3: rows 0 and 1 null, row 2 "a", row 3 null, rows 4, 5 valid, row 6 null.
  const std::uint8_t validity[2] = {0b10100000, 0b00000001};
  BorrowedNulls nulls{validity, 3, 2, "NaN", "nan"};
  TypedColumns table(7, 1);
  table.borrow_texts(0, buffer->data(), offsets.data(), 7, buffer, nulls);
  const TypedColumns copy = table;
  for (const TypedColumns* t : {static_cast<const TypedColumns*>(&table), &copy}) {
    const TextColumn& texts = t->text_cells[0];
    const std::vector<std::string> expected = {"NaN", "NaN", "a", "nan", "d", "", "nan"};
    ASSERT_EQ(texts.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(texts[i], expected[i]) << i;
    expect_walk_reads_entries(texts, 0, expected.size());
    expect_walk_reads_entries(texts, 3, 6);
  }
}

// A column borrowing string views reads short texts inside their views and
// long ones in the buffers they name, null rows as their texts; it keeps the
// views alive, takes no further rows, and a copy reads the same.
TEST(TypedColumns, BorrowedViewsAreReadInPlaceWithTheirNulls) {
  const std::vector<std::string> rows = {"",  "short", "exactly12byt", "thirteen byte",
                                         "x", "skipped",  "thirteen byte", "ü"};
  auto views = std::make_shared<StringViews>(rows);
  std::memset(views->views.data() + 16 * 5, 0xFF, 16);  // a null row's view is never read
  std::weak_ptr<const StringViews> watch = views;
  // Bits from offset 2: row 5 null, the others valid.
  const std::uint8_t validity[2] = {0b01111100, 0b00000011};
  BorrowedNulls nulls{validity, 2, 0, "<NA>", "<NA>"};
  TypedColumns table(rows.size(), 2);
  table.borrow_views(0, views->views.data(), views->buffer_addresses(), rows.size(), views, nulls);
  views.reset();
  EXPECT_FALSE(watch.expired());
  std::vector<std::string> expected = rows;
  expected[5] = "<NA>";
  const TypedColumns copy = table;
  for (const TypedColumns* t : {static_cast<const TypedColumns*>(&table), &copy}) {
    const TextColumn& texts = t->text_cells[0];
    ASSERT_TRUE(t->column_is_text[0]);
    ASSERT_EQ(texts.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(texts[i], expected[i]) << i;
    expect_walk_reads_entries(texts, 0, expected.size());
    expect_walk_reads_entries(texts, 3, 6);
    EXPECT_EQ(texts.byte_size(), 0u + 5 + 12 + 13 + 1 + 13 + 2);
    EXPECT_EQ(texts.bytes_end(), RecentTexts::eight_readable());
  }
  EXPECT_THROW(table.text_cells[0].push_back("y"), std::logic_error);
  EXPECT_THROW(table.borrow_views(0, nullptr, {}, rows.size(), nullptr), std::logic_error);
  table.number_cells[1] = {1.0};
  EXPECT_THROW(table.borrow_views(1, nullptr, {}, rows.size(), nullptr), std::logic_error);
  table.text_cells[0].clear();
  EXPECT_FALSE(watch.expired());  // the copy still holds them
}

}  // namespace
}  // namespace colenc
