// Fitting and transforming one text column: codes follow unsigned byte order,
// missing-value labels get none and encode as the canonical quiet NaN, and
// large columns agree with a plain ordered-set reference on any arena size.
// Every case states the way the fit must take (FitPath), so that a changed
// threshold cannot drop a way unseen.
#include "core/engine/label_encode.hpp"

#include <gtest/gtest.h>
#include <oneapi/tbb/task_arena.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/labels/labels.hpp"
#include "string_views.hpp"

namespace colenc {
namespace {

TextColumn make_column(const std::vector<std::string>& rows) {
  TextColumn column;
  for (const std::string& row : rows) column.push_back(row);
  return column;
}

std::map<std::string, std::optional<Code>> as_ordered(const LabelToCode& label_to_code) {
  return {label_to_code.begin(), label_to_code.end()};
}

std::map<Code, std::string> as_ordered(const CodeToLabel& code_to_label) {
  return {code_to_label.begin(), code_to_label.end()};
}

using enum FitPath;

// A missing cell's code is NaN with exactly this bit pattern.
constexpr std::optional<Code> kNone = std::nullopt;

struct FitCase {
  const char* name;
  std::vector<std::string> rows;
  std::map<std::string, std::optional<Code>> labels;
  std::vector<std::optional<Code>> codes;  // per row; kNone for a missing cell
};

class FitTable : public ::testing::TestWithParam<FitCase> {};

// Small columns all go through the chunks.
TEST_P(FitTable, CodesFollowByteOrderAndSkipMissingLabels) {
  const FitCase& c = GetParam();
  FitPath path{};
  const auto [codes, labels] = label_encode_column(make_column(c.rows), &path);
  EXPECT_EQ(path, c.rows.empty() ? FitPath::kEmpty : FitPath::kChunks);
  EXPECT_EQ(as_ordered(labels.label_to_code), c.labels);
  ASSERT_EQ(codes.size(), c.codes.size());
  for (std::size_t i = 0; i < codes.size(); ++i) {
    if (c.codes[i]) {
      EXPECT_EQ(codes[i], static_cast<double>(*c.codes[i])) << "row " << i;
    } else {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(codes[i]), kMissingCodeBits) << "row " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FitTable,
    ::testing::Values(
        FitCase{"WorkedExample",
                {"b", "a", "b", "nan", "C", "B"},
                {{"B", 0}, {"C", 1}, {"a", 2}, {"b", 3}, {"nan", kNone}},
                {3, 2, 3, kNone, 1, 0}},
        FitCase{"RepeatsShareTheirCode", {"b", "a", "b"}, {{"a", 0}, {"b", 1}}, {1, 0, 1}},
        FitCase{"EmptyColumn", {}, {}, {}}, FitCase{"OneRow", {"x"}, {{"x", 0}}, {0}},
        FitCase{"OneMissingRow", {"<NA>"}, {{"<NA>", kNone}}, {kNone}},
        FitCase{"AllTheSame", {"q", "q", "q"}, {{"q", 0}}, {0, 0, 0}},
        FitCase{"OnlyMissing",
                {"nan", "<NA>", "nan", "NaN"},
                {{"<NA>", kNone}, {"NaN", kNone}, {"nan", kNone}},
                {kNone, kNone, kNone, kNone}},
        FitCase{
            "OtherSpellingsOfMissingAreLabels",
            {"NAN", "Nan", "", "None", "nan ", "<na>", "null"},
            {{"", 0}, {"<na>", 1}, {"NAN", 2}, {"Nan", 3}, {"None", 4}, {"nan ", 5}, {"null", 6}},
            {2, 3, 0, 4, 5, 1, 6}},
        FitCase{"CaseAndTrailingSpaceMakeDistinctLabels",
                {"a", "A", "a "},
                {{"A", 0}, {"a", 1}, {"a ", 2}},
                {1, 0, 2}},
        FitCase{"DigitsSortAsText", {"10", "2", "9"}, {{"10", 0}, {"2", 1}, {"9", 2}}, {0, 1, 2}},
        FitCase{"NaSortsBetweenDigitsAndLettersWithoutCode",
                {"a", "<NA>", "1"},
                {{"1", 0}, {"<NA>", kNone}, {"a", 1}},
                {1, kNone, 0}},
        FitCase{"NaNSortsAmongCapitalsWithoutCode",
                {"O", "NaN", "M"},
                {{"M", 0}, {"NaN", kNone}, {"O", 1}},
                {1, kNone, 0}},
        FitCase{"NonAsciiAfterAscii",
                {"\xC3\xA9", "z", "\xE2\x82\xAC", "\xC3\xA0"},
                {{"z", 0}, {"\xC3\xA0", 1}, {"\xC3\xA9", 2}, {"\xE2\x82\xAC", 3}},
                {2, 0, 3, 1}},
        FitCase{"PrefixSortsFirst",
                {"ab", "a", "abc", ""},
                {{"", 0}, {"a", 1}, {"ab", 2}, {"abc", 3}},
                {2, 1, 3, 0}},
        FitCase{"HighBytesAreUnsigned",
                {"\xFF", "\x01", "\x7F", "\x80"},
                {{"\x01", 0}, {"\x7F", 1}, {"\x80", 2}, {"\xFF", 3}},
                {3, 0, 1, 2}},
        FitCase{"EmbeddedNulIsAByte",
                {std::string("a\0b", 3), "a", std::string("a\0", 2)},
                {{"a", 0}, {std::string("a\0", 2), 1}, {std::string("a\0b", 3), 2}},
                {2, 0, 1}}),
    [](const auto& info) { return std::string(info.param.name); });

// Draws `rows` texts from `distinct` different ones, some of them
// missing-value labels, with lengths from 0 to 12 bytes over the whole byte
// range (a length whose every text is taken is drawn again). With
// `shared_ends`, texts are 17 to 19 bytes that all begin and end with the same
// 8 bytes, so they differ only in their middle byte or three.
std::vector<std::string> random_rows(std::size_t rows, std::size_t distinct, std::uint64_t seed,
                                     bool shared_ends = false) {
  std::mt19937_64 random(seed);
  std::vector<std::string> pool = {"nan", "NaN", "<NA>", ""};
  std::uniform_int_distribution<int> length(0, 12);
  std::uniform_int_distribution<int> middle(1, 3);
  std::uniform_int_distribution<int> byte(0, 255);
  std::unordered_set<std::string> seen(pool.begin(), pool.end());
  seen.reserve(distinct);
  while (pool.size() < distinct) {
    std::string text(static_cast<std::size_t>(shared_ends ? middle(random) : length(random)), '\0');
    for (char& c : text) c = static_cast<char>(byte(random));
    if (shared_ends) text = "headHEAD" + text + "tailTAIL";
    if (!seen.insert(text).second) continue;
    pool.push_back(std::move(text));
  }
  pool.resize(distinct);
  std::uniform_int_distribution<std::size_t> pick(0, pool.size() - 1);
  std::vector<std::string> out(rows);
  for (std::string& text : out) text = pool[pick(random)];
  return out;
}

// The plain rule: sort the distinct texts, number the non-missing ones.
std::map<std::string, std::optional<Code>> reference_labels(const std::vector<std::string>& rows) {
  const std::set<std::string> distinct(rows.begin(), rows.end());
  std::map<std::string, std::optional<Code>> labels;
  Code next = 0;
  for (const std::string& label : distinct) {
    labels[label] = is_missing_label(label) ? kNone : std::optional<Code>(next++);
  }
  return labels;
}

struct LargeCase {
  std::size_t rows;
  std::size_t distinct;
  int arena_size;
  FitPath path;
  bool shared_ends = false;
};

void expect_reference_fit(const TextColumn& column, const std::vector<std::string>& rows,
                          int arena_size, FitPath path);

// Encodes `rows` on an arena of `arena_size` threads and checks the way taken,
// the labels, their inverse and every code against the plain rule; the rows
// owned by the column and borrowed as string views alike.
void expect_reference_fit(const std::vector<std::string>& rows, int arena_size, FitPath path) {
  for (const bool views : {false, true}) {
    SCOPED_TRACE(views ? "borrowed views" : "owned texts");
    expect_reference_fit(views ? borrowed_view_column(rows) : make_column(rows), rows, arena_size,
                         path);
  }
}

void expect_reference_fit(const TextColumn& column, const std::vector<std::string>& rows,
                          int arena_size, FitPath path) {
  tbb::task_arena arena(arena_size);
  FitPath taken{};
  const auto [codes, labels] = arena.execute([&] { return label_encode_column(column, &taken); });
  ASSERT_EQ(taken, path);

  const auto expected = reference_labels(rows);
  ASSERT_EQ(as_ordered(labels.label_to_code), expected);
  std::map<Code, std::string> inverse;
  for (const auto& [label, code] : expected) {
    if (code) inverse.emplace(*code, label);
  }
  ASSERT_EQ(as_ordered(labels.code_to_label), inverse);
  ASSERT_EQ(codes.size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::optional<Code> code = expected.at(rows[i]);
    const double want = code ? static_cast<double>(*code) : std::bit_cast<double>(kMissingCodeBits);
    ASSERT_EQ(std::bit_cast<std::uint64_t>(codes[i]), std::bit_cast<std::uint64_t>(want))
        << "row " << i;
  }
}

class LargeColumns : public ::testing::TestWithParam<LargeCase> {};

TEST_P(LargeColumns, MatchTheOrderedSetReference) {
  const LargeCase& c = GetParam();
  expect_reference_fit(random_rows(c.rows, c.distinct, c.rows ^ c.distinct, c.shared_ends),
                       c.arena_size, c.path);
}

// Columns of at least 2^17 rows that are nearly all distinct sort their
// entries; columns of at least 2^18 rows whose first rows repeat a few texts
// are fitted from those; the others go through per-chunk sets. The
// shared-ends cases tie on every sort prefix.
INSTANTIATE_TEST_SUITE_P(
    Sizes, LargeColumns,
    ::testing::Values(LargeCase{200000, 1, 2, kChunks}, LargeCase{200000, 5, 8, kChunks},
                      LargeCase{200000, 1000, 1, kChunks}, LargeCase{200000, 1000, 2, kChunks},
                      LargeCase{300000, 150000, 8, kSortedEntries},
                      LargeCase{200000, 1000000, 1, kSortedEntries},
                      LargeCase{100000, 100000, 2, kChunks}, LargeCase{20000, 37, 8, kChunks},
                      LargeCase{300000, 1000, 2, kSeed}, LargeCase{300000, 5000, 2, kChunks},
                      LargeCase{200000, 3000, 2, kChunks, true},
                      LargeCase{150000, 400000, 2, kSortedEntries, true}));

// A long column whose first rows repeat a few texts numbers the rest from
// those; texts first met later (sorting before, between and after them, and
// missing-value labels) must still renumber every row.
class LateTexts : public ::testing::TestWithParam<std::size_t> {};

TEST_P(LateTexts, RenumberTheFirstRows) {
  std::vector<std::string> rows = random_rows(300000, 30, 11);
  const std::vector<std::string> late = random_rows(GetParam(), 500, 12);
  std::mt19937_64 random(13);
  std::uniform_int_distribution<std::size_t> after_start(20000, rows.size() - 1);
  for (const std::string& text : late) rows[after_start(random)] = text;
  const FitPath path = GetParam() == 0 ? kSeed : kSeedAndChunks;
  for (const int arena_size : {1, 2, 8}) expect_reference_fit(rows, arena_size, path);
}

// None, one and many late texts.
INSTANTIATE_TEST_SUITE_P(Counts, LateTexts, ::testing::Values(0, 1, 3000));

}  // namespace
}  // namespace colenc
