// The transform driver: fitted text columns looked up in every layout a
// reader leaves them in (texts, row ids, ids placed in the matrix, numbers),
// number columns copied, the unknown value of each mode, the first unknown
// cell, the same output on any arena size, and kept-numeric columns.
#include "core/engine/transform_columns.hpp"

#include <gtest/gtest.h>
#include <oneapi/tbb/task_arena.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "core/columns/placed_column.hpp"
#include "core/engine/column_pipeline.hpp"
#include "core/engine/label_encode.hpp"
#include "core/internal_error.hpp"

namespace colenc {
namespace {

std::uint64_t bits(double value) { return std::bit_cast<std::uint64_t>(value); }

// Column 0 fitted on {"a", "b", "nan"}: a=0, b=1, nan has no code;
// column 2 fitted on {"1", "x"}: 1=0, x=1. Column 1 is a number column.
EncodingInfo sample_fit() {
  EncodingInfo info;
  info.string_columns = {0, 2};
  TextColumn first, third;
  for (const char* text : {"b", "nan", "a"}) first.push_back(text);
  for (const char* text : {"x", "1"}) third.push_back(text);
  for (auto [column, texts] : {std::pair<std::size_t, TextColumn*>{0, &first}, {2, &third}}) {
    ColumnLabels labels = label_encode_column(*texts).second;
    info.label_to_code.emplace(column, std::move(labels.label_to_code));
    info.code_to_label.emplace(column, std::move(labels.code_to_label));
  }
  return info;
}

TypedColumns sample_table() {
  // Rows: ("b", 2.5, 1.0), ("zz", -0.0, 7.0), ("<NA>", nan, 1.0), ("a", 1.0, 1.0)
  TypedColumns table(4, 3);
  table.column_is_text[0] = true;
  for (const char* text : {"b", "zz", "<NA>", "a"}) table.text_cells[0].push_back(text);
  table.number_cells[1] = {2.5, -0.0, std::nan(""), 1.0};
  table.number_cells[2] = {1.0, 7.0, 1.0, 1.0};  // never turned: labels "1", "7"
  return table;
}

std::vector<double> run(TypedColumns table, const AppliedFit& fit, MatrixOrder order,
                        std::optional<UnknownCell>* unknown = nullptr, int threads = 4) {
  std::vector<double> matrix(table.row_count * table.column_count);
  tbb::task_arena arena(threads);
  auto found = transform_columns(std::move(table), matrix, arena, order, 0, 3, fit);
  if (unknown != nullptr) *unknown = std::move(found);
  return matrix;
}

double at(const std::vector<double>& m, MatrixOrder order, std::size_t r, std::size_t c) {
  return m[cell_index(order, 4, 3, r, c)];
}

TEST(TransformColumns, CodesLabelsMissingAndUnknownInEveryMode) {
  const EncodingInfo info = sample_fit();
  for (MatrixOrder order : {MatrixOrder::kRowMajor, MatrixOrder::kColumnMajor}) {
    for (UnknownLabels mode : {UnknownLabels::kNaN, UnknownLabels::kNextCode}) {
      const std::vector<double> m = run(sample_table(), apply_fit(info, 3, mode), order);
      const double unknown_text = mode == UnknownLabels::kNaN ? std::nan("") : 2.0;
      EXPECT_EQ(at(m, order, 0, 0), 1.0);
      EXPECT_EQ(bits(at(m, order, 1, 0)), bits(unknown_text));
      EXPECT_EQ(bits(at(m, order, 2, 0)), kMissingCodeBits);  // missing, though not fitted
      EXPECT_EQ(at(m, order, 3, 0), 0.0);
      EXPECT_EQ(bits(at(m, order, 1, 1)), bits(-0.0));  // numbers bit for bit
      EXPECT_TRUE(std::isnan(at(m, order, 2, 1)));
      EXPECT_EQ(at(m, order, 0, 2), 0.0);  // 1.0 labelled "1"
      EXPECT_EQ(bits(at(m, order, 1, 2)), bits(unknown_text));
    }
  }
}

TEST(TransformColumns, ErrorModeNamesTheFirstUnknownCellByColumnThenRow) {
  const EncodingInfo info = sample_fit();
  const AppliedFit fit = apply_fit(info, 3, UnknownLabels::kError);
  std::optional<UnknownCell> unknown;
  run(sample_table(), fit, MatrixOrder::kRowMajor, &unknown);
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->column, 0u);
  EXPECT_EQ(unknown->row, 1u);
  EXPECT_EQ(unknown->text, "zz");
  TypedColumns known = sample_table();
  known.text_cells[0].clear();
  for (const char* text : {"b", "a", "<NA>", "a"}) known.text_cells[0].push_back(text);
  run(std::move(known), fit, MatrixOrder::kColumnMajor, &unknown);
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->column, 2u);
  EXPECT_EQ(unknown->text, "7");  // a number's label in the number format
}

TEST(TransformColumns, RowIdsAndPlacedIdsLookUpEachEntryOnce) {
  const EncodingInfo info = sample_fit();
  const AppliedFit fit = apply_fit(info, 3, UnknownLabels::kNextCode);
  TypedColumns table = sample_table();
  table.text_cells[0] = TextColumn();
  table.text_cells[0].use_row_ids();
  for (const char* text : {"a", "q"}) table.text_cells[0].push_back(text);
  table.text_cells[0].replace_row_ids({1, 0, 0, 1});
  std::vector<double> m = run(std::move(table), fit, MatrixOrder::kRowMajor);
  EXPECT_EQ(at(m, MatrixOrder::kRowMajor, 0, 0), 2.0);
  EXPECT_EQ(at(m, MatrixOrder::kRowMajor, 1, 0), 0.0);

  for (MatrixOrder order : {MatrixOrder::kRowMajor, MatrixOrder::kColumnMajor}) {
    // Column 0 read into the matrix by a placed column: ids of its distinct texts.
    std::vector<double> matrix(12);
    const bool rows_first = order == MatrixOrder::kRowMajor;
    PlacedColumn placed(matrix.data(), rows_first ? 3 : 1);
    placed.turn_to_text();
    for (const char* text : {"b", "zz", "b", "a"}) placed.push_text(text, nullptr);
    TypedColumns group = sample_table();
    group.text_cells[0] = TextColumn();
    group.column_is_text[0] = false;
    placed.hand_over(group, 0);
    for (std::size_t i = 0; i < 4; ++i) {
      for (std::size_t c = 1; c < 3; ++c) matrix[cell_index(order, 4, 3, i, c)] = 0;
    }
    tbb::task_arena arena(2);
    transform_columns(std::move(group), matrix, arena, order, 0, 3, fit);
    EXPECT_EQ(matrix[cell_index(order, 4, 3, 0, 0)], 1.0);
    EXPECT_EQ(matrix[cell_index(order, 4, 3, 1, 0)], 2.0);
    EXPECT_EQ(matrix[cell_index(order, 4, 3, 2, 0)], 1.0);
    EXPECT_EQ(matrix[cell_index(order, 4, 3, 3, 0)], 0.0);
  }
}

TEST(TransformColumns, ColumnsKeptNumericNoteTheirFirstUnknownCell) {
  TypedColumns table(5, 1);
  table.numbers_kept = {true};
  table.number_cells[0].push_back(1.5);
  table.turn_to_text(0);  // kept: stays numeric
  EXPECT_FALSE(table.column_is_text[0]);
  table.add_stray_text(0, "<NA>");
  table.add_stray_text(0, "word");
  table.add_stray_text(0, "later");
  table.number_cells[0].push_back(2.0);
  ASSERT_EQ(table.unknown_cells.size(), 1u);
  EXPECT_EQ(table.unknown_cells[0].row, 2u);
  EXPECT_EQ(table.unknown_cells[0].text, "word");

  PlacedColumn placed(nullptr, 1);
  std::vector<double> cells(3);
  placed = PlacedColumn(cells.data(), 1);
  placed.keep_numbers();
  placed.push_number(4.0);
  placed.turn_to_text();
  placed.push_text("nan", nullptr);
  placed.push_text("x", nullptr);
  EXPECT_FALSE(placed.is_text());
  TypedColumns out(3, 1);
  placed.hand_over(out, 0);
  EXPECT_TRUE(out.numbers_placed[0]);
  EXPECT_EQ(cells[0], 4.0);
  EXPECT_TRUE(std::isnan(cells[1]) && std::isnan(cells[2]));
  ASSERT_EQ(out.unknown_cells.size(), 1u);
  EXPECT_EQ(out.unknown_cells[0].row, 2u);
}

TEST(TransformColumns, AColumnHeldAsNumbersThatArrivesAsTextIsRefused) {
  const EncodingInfo info = sample_fit();
  TypedColumns table = sample_table();
  table.number_cells[1].clear();
  table.column_is_text[1] = true;
  for (const char* text : {"a", "b", "c", "d"}) table.text_cells[1].push_back(text);
  EXPECT_THROW(
      run(std::move(table), apply_fit(info, 3, UnknownLabels::kNaN), MatrixOrder::kRowMajor),
      InternalError);
  EXPECT_EQ(text_column_beyond(info, 2), std::optional<std::size_t>(2));
  EXPECT_FALSE(text_column_beyond(info, 3));
}

TEST(TransformColumns, TallColumnsGiveTheSameCodesOnAnyArenaAndThroughThePipeline) {
  // Enough rows for several ranges, each with its memory of recent texts.
  const std::size_t rows = 300'000;
  TextColumn fit_texts;
  const auto word = [](std::size_t k) {
    std::string text(1, 'w');
    text.append(std::to_string(k));
    return text;
  };
  for (std::size_t i = 0; i < 1000; ++i) fit_texts.push_back(word(i * 7));
  EncodingInfo info;
  info.string_columns = {0};
  ColumnLabels labels = label_encode_column(fit_texts).second;
  info.label_to_code.emplace(0, std::move(labels.label_to_code));
  info.code_to_label.emplace(0, std::move(labels.code_to_label));
  const AppliedFit fit = apply_fit(info, 1, UnknownLabels::kNextCode);

  const auto make = [&] {
    TypedColumns table(rows, 1);
    table.column_is_text[0] = true;
    for (std::size_t i = 0; i < rows; ++i) {
      table.text_cells[0].push_back(word((i * 2654435761u) % 1400));
    }
    return table;
  };
  const TypedColumns reference = make();
  std::vector<double> expected(rows);
  for (std::size_t i = 0; i < rows; ++i) {
    expected[i] = look_up_label(fit.columns[0], reference.text_cells[0][i]);
  }
  for (int threads : {1, 4}) {
    std::vector<double> matrix(rows);
    tbb::task_arena arena(threads);
    transform_columns(make(), matrix, arena, MatrixOrder::kColumnMajor, 0, 1, fit);
    EXPECT_EQ(matrix, expected) << threads;

    std::vector<double> piped(rows);
    ColumnPipeline pipeline(piped, 1, MatrixOrder::kRowMajor, arena, &fit);
    pipeline.submit(make());
    EXPECT_TRUE(pipeline.finish().string_columns.empty());
    EXPECT_FALSE(pipeline.first_unknown());
    EXPECT_EQ(piped, expected) << threads;
  }
  EXPECT_EQ(look_up_label(fit.columns[0], "w0"), 0.0);
  EXPECT_EQ(look_up_label(fit.columns[0], "w8"), 1000.0);  // one past the last code
}

}  // namespace
}  // namespace colenc
