// The column driver: results in ascending column order, every matrix cell
// written by its column's task, number cells copied bit for bit, the same
// output on any arena size, refused shapes, and the fold into EncodingInfo.
#include "core/engine/encode_columns.hpp"

#include <gtest/gtest.h>

#include <oneapi/tbb/task_arena.h>

#include <bit>
#include <charconv>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/engine/column_pipeline.hpp"
#include "core/internal_error.hpp"
#include "core/labels/labels.hpp"
#include "core/engine/pool.hpp"
#include "core/columns/text_interner.hpp"

namespace colenc {
namespace {

// A pattern no encoder writes: a signalling NaN with a distinctive payload.
constexpr std::uint64_t kSentinelBits = 0x7FF4DEADBEEF0001ULL;

std::uint64_t bits(double value) { return std::bit_cast<std::uint64_t>(value); }

// Builds a table from per-column cells: a column given texts is a text column.
struct ColumnCells {
  std::vector<std::string> texts;
  std::vector<double> numbers;
  bool is_text = false;
};

ColumnCells text(std::vector<std::string> texts) { return {std::move(texts), {}, true}; }
ColumnCells number(std::vector<double> numbers) { return {{}, std::move(numbers), false}; }

TypedColumns make_table(std::size_t rows, const std::vector<ColumnCells>& columns) {
  TypedColumns table(rows, columns.size());
  for (std::size_t j = 0; j < columns.size(); ++j) {
    table.column_is_text[j] = columns[j].is_text;
    table.number_cells[j] = columns[j].numbers;
    for (const std::string& t : columns[j].texts) table.text_cells[j].push_back(t);
  }
  return table;
}

std::vector<double> sentinel_matrix(const TypedColumns& table) {
  return std::vector<double>(table.row_count * table.column_count,
                             std::bit_cast<double>(kSentinelBits));
}

const double kInf = std::numeric_limits<double>::infinity();
const double kNan = std::bit_cast<double>(kMissingCodeBits);
const double kNanPayload = std::bit_cast<double>(std::uint64_t{0xFFF8000000000123});

TEST(EncodeColumns, FiveColumnsWithTextInOneAndThree) {
  const TypedColumns table =
      make_table(3, {number({1.0, -0.0, kNanPayload}), text({"b", "a", "nan"}),
                     number({kInf, -kInf, 0.0}), text({"x", "x", "<NA>"}),
                     number({2.5, 1e300, -5e-324})});
  for (int workers : {1, 2, 8}) {
    SCOPED_TRACE(workers);
    tbb::task_arena arena(workers);
    std::vector<double> matrix = sentinel_matrix(table);
    const std::vector<ColumnEncoding> result = encode_columns(table, matrix, arena);

    ASSERT_EQ(result.size(), 2u);
    EXPECT_EQ(result[0].column, 1u);
    EXPECT_EQ(result[1].column, 3u);
    EXPECT_EQ(result[0].label_to_code.size(), 3u);
    EXPECT_EQ(result[0].code_to_label.size(), 2u);
    EXPECT_EQ(result[1].code_to_label.at(0), "x");

    const std::vector<std::uint64_t> expected = {
        bits(1.0), bits(1.0), bits(kInf),  bits(0.0), bits(2.5),
        bits(-0.0), bits(0.0), bits(-kInf), bits(0.0), bits(1e300),
        bits(kNanPayload), bits(kNan), bits(0.0), bits(kNan), bits(-5e-324)};
    ASSERT_EQ(matrix.size(), expected.size());
    for (std::size_t k = 0; k < matrix.size(); ++k) {
      EXPECT_EQ(bits(matrix[k]), expected[k]) << "cell " << k;
    }
  }
}

struct ShapeCase {
  const char* name;
  std::size_t rows;
  std::vector<ColumnCells> columns;
  std::size_t encodings;
};

class EdgeShapes : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(EdgeShapes, WriteEveryCellAndReturnOneEncodingPerTextColumn) {
  const ShapeCase& c = GetParam();
  const TypedColumns table = make_table(c.rows, c.columns);
  std::vector<double> matrix = sentinel_matrix(table);
  const auto result = encode_columns(table, matrix, process_arena());
  EXPECT_EQ(result.size(), c.encodings);
  for (std::size_t k = 0; k < matrix.size(); ++k) {
    EXPECT_NE(bits(matrix[k]), kSentinelBits) << "cell " << k << " never written";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EdgeShapes,
    ::testing::Values(ShapeCase{"NoColumns", 4, {}, 0},
                      ShapeCase{"NoRows", 0, {number({}), number({})}, 0},
                      ShapeCase{"NoRowsTextColumn", 0, {text({}), number({})}, 1},
                      ShapeCase{"OnlyNumbers", 2, {number({1, 2}), number({3, 4})}, 0},
                      ShapeCase{"OneTextColumn", 3, {text({"a", "b", "a"})}, 1},
                      ShapeCase{"TwoTextColumns", 1, {text({"a"}), text({"nan"})}, 2},
                      ShapeCase{"OneRowWide", 1,
                                {number({1}), text({"z"}), number({2}), text({""}), number({3}),
                                 text({"NaN"})},
                                3}),
    [](const auto& info) { return std::string(info.param.name); });

// A table mixing tall text and number columns, large enough for row loops to
// split, so that arenas of different sizes really spread it differently.
TypedColumns random_table(std::size_t rows, std::size_t width, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  TypedColumns table(rows, width);
  for (std::size_t j = 0; j < width; ++j) {
    if (j % 3 == 0) {
      for (std::size_t i = 0; i < rows; ++i) {
        table.number_cells[j].push_back(std::bit_cast<double>(random()));
      }
      continue;
    }
    table.column_is_text[j] = true;
    const std::uint64_t distinct = j % 3 == 1 ? 50 : rows;
    for (std::size_t i = 0; i < rows; ++i) {
      const std::uint64_t draw = random() % (distinct + 1);
      char label[24] = {'t'};
      const auto end = std::to_chars(label + 1, label + sizeof label, draw).ptr;
      table.text_cells[j].push_back(draw == distinct ? std::string_view("nan")
                                                     : std::string_view(label, end - label));
    }
  }
  return table;
}

std::map<std::string, std::optional<Code>> ordered(const LabelToCode& m) {
  return {m.begin(), m.end()};
}
std::map<Code, std::string> ordered(const CodeToLabel& m) { return {m.begin(), m.end()}; }

TEST(EncodeColumns, SameMatrixAndRecordsOnEveryArenaSize) {
  const TypedColumns table = random_table(40000, 7, 99);
  std::vector<std::vector<std::uint64_t>> matrices;
  std::vector<std::vector<ColumnEncoding>> results;
  for (int workers : {1, 2, 8}) {
    tbb::task_arena arena(workers);
    std::vector<double> matrix = sentinel_matrix(table);
    results.push_back(encode_columns(table, matrix, arena));
    std::vector<std::uint64_t> matrix_bits;
    for (double cell : matrix) matrix_bits.push_back(bits(cell));
    matrices.push_back(std::move(matrix_bits));
  }
  for (std::size_t k = 1; k < matrices.size(); ++k) {
    EXPECT_TRUE(matrices[k] == matrices[0]) << "arena " << k;
    ASSERT_EQ(results[k].size(), results[0].size());
    for (std::size_t e = 0; e < results[0].size(); ++e) {
      EXPECT_EQ(results[k][e].column, results[0][e].column);
      EXPECT_EQ(ordered(results[k][e].label_to_code), ordered(results[0][e].label_to_code));
      EXPECT_EQ(ordered(results[k][e].code_to_label), ordered(results[0][e].code_to_label));
    }
  }
  for (std::uint64_t cell : matrices[0]) ASSERT_NE(cell, kSentinelBits);
}

// The same table with every text column's repeated texts shared by row id.
TypedColumns with_row_ids(const TypedColumns& table) {
  TypedColumns shared(table.row_count, table.column_count);
  shared.column_is_text = table.column_is_text;
  shared.number_cells = table.number_cells;
  for (std::size_t j = 0; j < table.column_count; ++j) {
    TextColumn& out = shared.text_cells[j];
    out.use_row_ids();
    std::map<std::string_view, TextColumn::EntryId> seen;
    for (std::size_t i = 0; i < table.text_cells[j].size(); ++i) {
      const std::string_view text = table.text_cells[j][i];
      if (auto found = seen.find(text); found != seen.end() && i % 7 != 0) {
        out.push_entry(found->second);
      } else {
        out.push_back(text);  // every seventh repeat gets an entry of its own
        seen[text] = static_cast<TextColumn::EntryId>(out.entry_count() - 1);
      }
    }
  }
  return shared;
}

// Row-major and column-major matrices, columns with row ids, with ids given
// up again, and columns handed over to be freed as they are done, all hold the
// same cells and give the same records; 20 columns span several of the groups
// a row-major write uses.
TEST(EncodeColumns, SameCellsInEveryLayoutAndWithRowIds) {
  const TypedColumns plain = random_table(40000, 20, 7);
  const TypedColumns shared = with_row_ids(plain);
  TypedColumns dropped = with_row_ids(plain);
  for (TextColumn& column : dropped.text_cells) column.drop_row_ids();
  const std::size_t rows = plain.row_count;
  const std::size_t width = plain.column_count;
  std::vector<double> reference = sentinel_matrix(plain);
  const auto expected = encode_columns(plain, reference, process_arena());
  const std::pair<const TypedColumns*, const char*> tables[] = {
      {&plain, "plain"}, {&shared, "row ids"}, {&dropped, "ids dropped"}};
  for (const auto& [table, name] : tables) {
    EXPECT_EQ(table->text_cells[0].has_row_ids(), table == &shared);
    for (MatrixOrder order : {MatrixOrder::kRowMajor, MatrixOrder::kColumnMajor}) {
      for (const bool handed_over : {false, true}) {
        SCOPED_TRACE(std::string(name) +
                     (order == MatrixOrder::kRowMajor ? " row-major" : " column-major") +
                     (handed_over ? " handed over" : ""));
        std::vector<double> matrix = sentinel_matrix(*table);
        TypedColumns copy = *table;
        const auto result = handed_over
                                ? encode_columns(std::move(copy), matrix, process_arena(), order)
                                : encode_columns(*table, matrix, process_arena(), order);
        for (std::size_t j = 0; handed_over && j < width; ++j) {
          EXPECT_TRUE(copy.text_cells[j].empty() && copy.number_cells[j].empty()) << j;
        }
        for (std::size_t i = 0; i < rows; ++i) {
          for (std::size_t j = 0; j < width; ++j) {
            ASSERT_EQ(bits(matrix[cell_index(order, rows, width, i, j)]),
                      bits(reference[i * width + j]))
                << "cell (" << i << ", " << j << ")";
          }
        }
        ASSERT_EQ(result.size(), expected.size());
        for (std::size_t e = 0; e < expected.size(); ++e) {
          EXPECT_EQ(ordered(result[e].label_to_code), ordered(expected[e].label_to_code));
          EXPECT_EQ(ordered(result[e].code_to_label), ordered(expected[e].code_to_label));
        }
      }
    }
  }
}

// The table with every cell already in `matrix` (laid out as `order` says):
// numbers as values, texts as the ids of their column's distinct texts.
TypedColumns placed_copy(const TypedColumns& plain, MatrixOrder order,
                         std::vector<double>& matrix) {
  const std::size_t rows = plain.row_count;
  const std::size_t width = plain.column_count;
  TypedColumns placed(rows, width);
  for (std::size_t j = 0; j < width; ++j) {
    const bool is_text = plain.column_is_text[j];
    TextInterner interner;
    for (std::size_t i = 0; i < rows; ++i) {
      double& cell = matrix[cell_index(order, rows, width, i, j)];
      if (!is_text) {
        cell = plain.number_cells[j][i];
        continue;
      }
      const std::string_view text = plain.text_cells[j][i];
      cell = interner.intern(text, text.data() + text.size());
    }
    placed.column_is_text[j] = is_text;
    placed.numbers_placed[j] = !is_text;
    placed.ids_placed[j] = is_text;
    if (is_text) placed.text_cells[j] = interner.entries();
  }
  return placed;
}

// Columns whose cells the scan placed in the matrix, and groups of columns
// handed to the pipeline one after another, give the cells and records of
// the whole table encoded at once.
TEST(EncodeColumns, PlacedCellsAndGroupsMatchTheWholeTable) {
  const TypedColumns plain = random_table(40000, 20, 11);
  const std::size_t rows = plain.row_count;
  const std::size_t width = plain.column_count;
  std::vector<double> reference = sentinel_matrix(plain);
  EncodingInfo expected =
      assemble_encoding_info(encode_columns(plain, reference, process_arena()),
                             plain.column_is_text);
  for (MatrixOrder order : {MatrixOrder::kRowMajor, MatrixOrder::kColumnMajor}) {
    for (const bool placed : {false, true}) {
      SCOPED_TRACE(std::string(order == MatrixOrder::kRowMajor ? "row-major" : "column-major") +
                   (placed ? " placed" : ""));
      std::vector<double> matrix = sentinel_matrix(plain);
      TypedColumns table = placed ? placed_copy(plain, order, matrix) : plain;
      ColumnPipeline pipeline(matrix, width, order, process_arena());
      for (std::size_t first = 0; first < width;) {
        const std::size_t count = std::min<std::size_t>(1 + first % 4, width - first);
        TypedColumns group(rows, count);
        for (std::size_t k = 0; k < count; ++k) {
          group.column_is_text[k] = table.column_is_text[first + k];
          group.numbers_placed[k] = table.numbers_placed[first + k];
          group.ids_placed[k] = table.ids_placed[first + k];
          group.text_cells[k] = table.text_cells[first + k];
          group.number_cells[k] = table.number_cells[first + k];
        }
        pipeline.submit(std::move(group));
        first += count;
      }
      const EncodingInfo info = pipeline.finish();
      for (std::size_t i = 0; i < rows; ++i) {
        for (std::size_t j = 0; j < width; ++j) {
          ASSERT_EQ(bits(matrix[cell_index(order, rows, width, i, j)]),
                    bits(reference[i * width + j]))
              << "cell (" << i << ", " << j << ")";
        }
      }
      EXPECT_EQ(info, expected);
    }
  }
}

// A group handed over beyond the table's columns, or too few columns in
// all, is an internal error.
TEST(EncodeColumns, PipelineRefusesGroupsThatDoNotFit) {
  std::vector<double> matrix(4);
  {
    ColumnPipeline pipeline(matrix, 2, MatrixOrder::kRowMajor, process_arena());
    pipeline.submit(make_table(2, {number({1, 2})}));
    EXPECT_THROW(pipeline.submit(make_table(2, {number({1, 2}), number({3, 4})})),
                 InternalError);
    EXPECT_THROW(pipeline.finish(), InternalError);
  }
}

// A number column whose values the scan already placed in the matrix keeps
// them; the other columns are written around it, in either layout.
TEST(EncodeColumns, PlacedNumberColumnsAreLeftAsTheyAre) {
  for (MatrixOrder order : {MatrixOrder::kRowMajor, MatrixOrder::kColumnMajor}) {
    TypedColumns table = make_table(2, {text({"b", "a"}), number({}), number({4.0, 5.0})});
    table.numbers_placed[1] = true;
    std::vector<double> matrix = sentinel_matrix(table);
    matrix[cell_index(order, 2, 3, 0, 1)] = -0.0;
    matrix[cell_index(order, 2, 3, 1, 1)] = kNanPayload;
    encode_columns(table, matrix, process_arena(), order);
    const std::vector<std::vector<std::uint64_t>> expected = {
        {bits(1.0), bits(-0.0), bits(4.0)}, {bits(0.0), bits(kNanPayload), bits(5.0)}};
    for (std::size_t i = 0; i < 2; ++i) {
      for (std::size_t j = 0; j < 3; ++j) {
        EXPECT_EQ(bits(matrix[cell_index(order, 2, 3, i, j)]), expected[i][j]) << i << j;
      }
    }
  }
}

struct BrokenCase {
  const char* name;
  std::function<void(TypedColumns&)> damage;
  std::ptrdiff_t matrix_size_change;
};

class BrokenShapes : public ::testing::TestWithParam<BrokenCase> {};

TEST_P(BrokenShapes, AreInternalErrors) {
  TypedColumns table = make_table(2, {text({"a", "b"}), number({1, 2})});
  GetParam().damage(table);
  std::vector<double> matrix(static_cast<std::size_t>(4 + GetParam().matrix_size_change));
  EXPECT_THROW(encode_columns(table, matrix, process_arena()), InternalError);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BrokenShapes,
    ::testing::Values(
        BrokenCase{"MatrixTooSmall", [](TypedColumns&) {}, -1},
        BrokenCase{"MatrixTooLarge", [](TypedColumns&) {}, 1},
        BrokenCase{"MissingFlag", [](TypedColumns& t) { t.column_is_text.pop_back(); }, 0},
        BrokenCase{"MissingTextColumn", [](TypedColumns& t) { t.text_cells.pop_back(); }, 0},
        BrokenCase{"MissingNumberColumn", [](TypedColumns& t) { t.number_cells.pop_back(); }, 0},
        BrokenCase{"ShortTextColumn", [](TypedColumns& t) { t.text_cells[0] = TextColumn(); }, 0},
        BrokenCase{"LongNumberColumn", [](TypedColumns& t) { t.number_cells[1].push_back(3); }, 0},
        BrokenCase{"MissingPlacedFlag", [](TypedColumns& t) { t.numbers_placed.pop_back(); }, 0},
        BrokenCase{"PlacedIdsOnNumberColumn", [](TypedColumns& t) { t.ids_placed[1] = true; }, 0},
        BrokenCase{"MissingIdsFlag", [](TypedColumns& t) { t.ids_placed.pop_back(); }, 0},
        BrokenCase{"PlacedTextColumn", [](TypedColumns& t) { t.numbers_placed[0] = true; }, 0},
        BrokenCase{"TextFlagOnNumberColumn", [](TypedColumns& t) { t.column_is_text[1] = true; },
                   0},
        BrokenCase{"OverflowingCellCount",
                   [](TypedColumns& t) { t.row_count = std::numeric_limits<std::size_t>::max(); },
                   0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AssembleEncodingInfo, FiledUnderTheTextColumns) {
  const TypedColumns table =
      make_table(2, {text({"a", "nan"}), number({1, 2}), text({"y", "x"})});
  std::vector<double> matrix(6);
  EncodingInfo info = assemble_encoding_info(encode_columns(table, matrix, process_arena()),
                                             table.column_is_text);
  EXPECT_EQ(info.string_columns, (std::vector<std::size_t>{0, 2}));
  ASSERT_EQ(info.label_to_code.size(), 2u);
  ASSERT_EQ(info.code_to_label.size(), 2u);
  EXPECT_EQ(ordered(info.label_to_code.at(0)),
            (std::map<std::string, std::optional<Code>>{{"a", 0}, {"nan", std::nullopt}}));
  EXPECT_EQ(ordered(info.code_to_label.at(0)), (std::map<Code, std::string>{{0, "a"}}));
  EXPECT_EQ(ordered(info.code_to_label.at(2)), (std::map<Code, std::string>{{0, "x"}, {1, "y"}}));
  // Row-major: row 0 is code(a), 1, code(y); row 1 is NaN, 2, code(x).
  const std::vector<double> expected = {0, 1, 1, kNan, 2, 0};
  for (std::size_t k = 0; k < matrix.size(); ++k) EXPECT_EQ(bits(matrix[k]), bits(expected[k]));
}

TEST(AssembleEncodingInfo, NoTextColumnsGiveAnEmptyRecord) {
  const EncodingInfo info = assemble_encoding_info({}, {false, false});
  EXPECT_EQ(info, EncodingInfo{});
}

TEST(AssembleEncodingInfo, RefusesEncodingsThatDoNotMatchTheFlags) {
  std::vector<ColumnEncoding> one(1);
  one[0].column = 1;
  EXPECT_THROW(assemble_encoding_info(std::move(one), {true, false}), InternalError);
  EXPECT_THROW(assemble_encoding_info({}, {true}), InternalError);
}

}  // namespace
}  // namespace colenc
