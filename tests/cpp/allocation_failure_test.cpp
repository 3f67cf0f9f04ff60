// Every allocation of the engine's calls refused in turn (failing_allocation.hpp):
// fitting a column, encoding a group of columns and a whole table through the
// pipeline, building the label maps, interning a column's texts, and reading
// and writing a state. Each refusal ends the call in std::bad_alloc, with no
// block left behind and nothing else thrown; a map or interner being added to
// is exactly as before the call that failed, and goes on working. A run that
// meets no refusal gives the same result as one without the injection. Under
// make sanitize, AddressSanitizer watches every one of these runs.
#include <gtest/gtest.h>

#include <oneapi/tbb/task_arena.h>

#include <bit>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/engine/column_pipeline.hpp"
#include "core/engine/encode_columns.hpp"
#include "core/engine/label_encode.hpp"
#include "core/labels/label_maps.hpp"
#include "core/labels/state_format.hpp"
#include "core/columns/text_interner.hpp"
#include "failing_allocation.hpp"

namespace colenc {
namespace {

using test_support::Attempt;
using test_support::attempt_with_failing;
using test_support::for_each_failing_allocation;

std::vector<std::uint64_t> bits_of(const std::vector<double>& cells) {
  std::vector<std::uint64_t> bits;
  for (double cell : cells) bits.push_back(std::bit_cast<std::uint64_t>(cell));
  return bits;
}

std::map<std::string, std::optional<Code>> ordered(const LabelToCode& m) {
  return {m.begin(), m.end()};
}
std::map<Code, std::string> ordered(const CodeToLabel& m) { return {m.begin(), m.end()}; }

// A text of a column of `distinct` texts (plus "nan" and "<NA>").
std::string draw_text(std::mt19937_64& random, std::uint64_t distinct) {
  const std::uint64_t draw = random() % (distinct + 2);
  if (draw == distinct) return "nan";
  if (draw == distinct + 1) return "<NA>";
  return "text " + std::to_string(draw * 7919 % (distinct + 1));
}

struct ColumnCase {
  const char* name;
  std::size_t rows;
  std::uint64_t distinct;
  bool row_ids;  // rows share entries by id, every tenth repeat apart
};

TextColumn make_column(const ColumnCase& c) {
  std::mt19937_64 random(c.rows);
  TextColumn column;
  if (c.row_ids) column.use_row_ids();
  std::map<std::string, TextColumn::EntryId> seen;
  for (std::size_t i = 0; i < c.rows; ++i) {
    const std::string text = draw_text(random, c.distinct);
    const auto found = seen.find(text);
    if (c.row_ids && found != seen.end() && i % 10 != 0) {
      column.push_entry(found->second);
    } else {
      column.push_back(text);
      if (c.row_ids) seen[text] = static_cast<TextColumn::EntryId>(column.entry_count() - 1);
    }
  }
  return column;
}

class FittingAColumn : public ::testing::TestWithParam<ColumnCase> {};

// A short column, one split into chunks, one whose entries are nearly all
// distinct (fitted by sorting them), and one whose rows share entries.
TEST_P(FittingAColumn, EndsInBadAllocOrTheFullResult) {
  const TextColumn column = make_column(GetParam());
  tbb::task_arena arena(2);
  const auto [codes, labels] = arena.execute([&] { return label_encode_column(column); });
  const auto expected_labels = ordered(labels.label_to_code);
  const auto expected_codes = ordered(labels.code_to_label);
  const std::size_t count = for_each_failing_allocation([&](std::size_t k) {
    std::optional<std::pair<std::vector<double>, ColumnLabels>> result;
    const Attempt attempt =
        attempt_with_failing(k, [&] { arena.execute([&] { result = label_encode_column(column); }); });
    if (!attempt.threw) {
      EXPECT_EQ(bits_of(result->first), bits_of(codes)) << "allocation " << k;
      EXPECT_EQ(ordered(result->second.label_to_code), expected_labels);
      EXPECT_EQ(ordered(result->second.code_to_label), expected_codes);
    }
    return attempt;
  });
  EXPECT_GT(count, 3u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FittingAColumn,
    ::testing::Values(ColumnCase{"Short", 300, 40, false},
                      ColumnCase{"Chunked", 40000, 3000, false},
                      ColumnCase{"MostlyDistinct", 140000, std::uint64_t{1} << 40, false},
                      ColumnCase{"RowIds", 5000, 200, true}),
    [](const auto& info) { return std::string(info.param.name); });

// A table of number columns, text columns, and text columns with row ids.
TypedColumns make_table(std::size_t rows, std::size_t width) {
  std::mt19937_64 random(width);
  TypedColumns table(rows, width);
  for (std::size_t j = 0; j < width; ++j) {
    if (j % 3 == 0) {
      for (std::size_t i = 0; i < rows; ++i) {
        table.number_cells[j].push_back(static_cast<double>(random() % 1000) / 8);
      }
      continue;
    }
    table.column_is_text[j] = true;
    table.text_cells[j] = make_column(ColumnCase{"", rows, 10 + 50 * j, j % 3 == 2});
  }
  return table;
}

TEST(EncodingAGroupOfColumns, EndsInBadAllocOrTheFullResult) {
  constexpr std::size_t kRows = 2000, kWidth = 6, kFirst = 2, kMatrixWidth = 9;
  tbb::task_arena arena(2);
  std::vector<double> expected_matrix(kRows * kMatrixWidth);
  const std::vector<ColumnEncoding> expected = encode_columns(
      make_table(kRows, kWidth), expected_matrix, arena, MatrixOrder::kRowMajor, kFirst,
      kMatrixWidth);
  const std::size_t count = for_each_failing_allocation([&](std::size_t k) {
    TypedColumns group = make_table(kRows, kWidth);
    std::vector<double> matrix(kRows * kMatrixWidth);
    std::optional<std::vector<ColumnEncoding>> result;
    const Attempt attempt = attempt_with_failing(k, [&] {
      result = encode_columns(std::move(group), matrix, arena, MatrixOrder::kRowMajor, kFirst,
                              kMatrixWidth);
    });
    if (!attempt.threw) {
      EXPECT_EQ(bits_of(matrix), bits_of(expected_matrix)) << "allocation " << k;
      EXPECT_EQ(result->size(), expected.size());
      for (std::size_t e = 0; e < expected.size() && e < result->size(); ++e) {
        EXPECT_EQ((*result)[e].column, expected[e].column);
        EXPECT_EQ(ordered((*result)[e].label_to_code), ordered(expected[e].label_to_code));
        EXPECT_EQ(ordered((*result)[e].code_to_label), ordered(expected[e].code_to_label));
      }
    }
    return attempt;
  });
  EXPECT_GT(count, 10u);
}

// A table handed to the pipeline in three groups, fitted into one record.
TEST(EncodingATableThroughThePipeline, EndsInBadAllocOrTheFullRecord) {
  constexpr std::size_t kRows = 500, kGroupWidth = 3, kGroups = 3;
  tbb::task_arena arena(2);
  const auto run = [&](std::vector<double>& matrix) {
    ColumnPipeline pipeline(matrix, kGroupWidth * kGroups, MatrixOrder::kColumnMajor, arena);
    for (std::size_t g = 0; g < kGroups; ++g) pipeline.submit(make_table(kRows, kGroupWidth));
    return pipeline.finish();
  };
  std::vector<double> expected_matrix(kRows * kGroupWidth * kGroups);
  const EncodingInfo expected = run(expected_matrix);
  for (const auto& [column, labels] : expected.label_to_code) labels.contains("");  // indexed now
  for_each_failing_allocation([&](std::size_t k) {
    std::vector<double> matrix(expected_matrix.size());
    std::optional<EncodingInfo> result;
    const Attempt attempt = attempt_with_failing(k, [&] { result = run(matrix); });
    if (!attempt.threw) {
      EXPECT_EQ(bits_of(matrix), bits_of(expected_matrix)) << "allocation " << k;
      EXPECT_TRUE(*result == expected);
    }
    return attempt;
  });
}

// One change to the label maps, as the state reader and tests make them.
struct Change {
  bool to_labels;  // LabelToCode, else CodeToLabel
  bool assign;     // insert_or_assign, else try_emplace
  std::string label;
  std::optional<Code> code;
};

std::vector<Change> random_changes(std::uint64_t seed, Code code_range) {
  std::mt19937_64 random(seed);
  std::vector<Change> changes;
  for (int i = 0; i < 120; ++i) {
    const std::string label = "label " + std::to_string(random() % 60);
    const std::optional<Code> code =
        random() % 5 == 0 ? std::nullopt : std::optional<Code>(random() % code_range);
    changes.push_back(Change{random() % 2 == 0, random() % 2 == 0, label, code});
  }
  return changes;
}

// The two maps; `share` makes the code map the label map's positional
// inverse first, so that changes copy the shared texts.
struct Maps {
  LabelToCode labels;
  CodeToLabel codes;

  explicit Maps(bool share) {
    if (!share) return;
    for (Code c = 0; c < 8; ++c) labels.try_emplace("label " + std::to_string(c), c);
    codes = *labels.positional_inverse();
  }

  void apply(const Change& change) {
    const Code code = change.code.value_or(0);
    if (change.to_labels && change.assign) labels.insert_or_assign(change.label, change.code);
    if (change.to_labels && !change.assign) labels.try_emplace(change.label, change.code);
    if (!change.to_labels && change.assign) codes.insert_or_assign(code, change.label);
    if (!change.to_labels && !change.assign) codes.try_emplace(code, change.label);
  }
};

// The content of Maps(share) after the first `count` of `changes`.
struct Reference {
  std::map<std::string, std::optional<Code>> labels;
  std::map<Code, std::string> codes;

  Reference(bool share, const std::vector<Change>& changes, std::size_t count) {
    if (share) {
      for (Code c = 0; c < 8; ++c) {
        labels.emplace("label " + std::to_string(c), c);
        codes.emplace(c, "label " + std::to_string(c));
      }
    }
    for (std::size_t i = 0; i < count; ++i) {
      const Change& change = changes[i];
      const Code code = change.code.value_or(0);
      if (change.to_labels && change.assign) labels.insert_or_assign(change.label, change.code);
      if (change.to_labels && !change.assign) labels.try_emplace(change.label, change.code);
      if (!change.to_labels && change.assign) codes.insert_or_assign(code, change.label);
      if (!change.to_labels && !change.assign) codes.try_emplace(code, change.label);
    }
  }
  bool matches(const Maps& maps) const {
    return ordered(maps.labels) == labels && ordered(maps.codes) == codes;
  }
};

struct MapsCase {
  const char* name;
  Code code_range;  // 8: codes mostly stay positional; 1000: the code map indexes them
  bool share;
};

class BuildingTheLabelMaps : public ::testing::TestWithParam<MapsCase> {};

// The change that meets the refusal throws and leaves both maps as they were
// before it; the rest of the changes then apply as if nothing had failed.
TEST_P(BuildingTheLabelMaps, RefusedChangeLeavesTheMapsAsTheyWere) {
  const MapsCase& c = GetParam();
  const std::vector<Change> changes = random_changes(c.code_range, c.code_range);
  const std::size_t count = for_each_failing_allocation([&](std::size_t k) {
    Maps maps(c.share);
    std::size_t applied = 0;
    const Attempt attempt = attempt_with_failing(k, [&] {
      for (; applied < changes.size(); ++applied) maps.apply(changes[applied]);
    });
    EXPECT_TRUE(Reference(c.share, changes, applied).matches(maps))
        << "refused allocation " << k << " at change " << applied;
    for (; applied < changes.size(); ++applied) maps.apply(changes[applied]);
    EXPECT_TRUE(Reference(c.share, changes, changes.size()).matches(maps));
    return attempt;
  });
  EXPECT_GT(count, 20u);
}

INSTANTIATE_TEST_SUITE_P(Cases, BuildingTheLabelMaps,
                         ::testing::Values(MapsCase{"Positional", 8, false},
                                           MapsCase{"Indexed", 1000, false},
                                           MapsCase{"SharedTexts", 8, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// The row reader's memo of texts: the text whose interning fails is not
// numbered, and interning goes on from there.
TEST(InterningTexts, RefusedTextIsNotNumbered) {
  std::mt19937_64 random(5);
  std::vector<std::string> texts;
  for (int i = 0; i < 600; ++i) texts.push_back(draw_text(random, 150) + std::string(i % 3 * 30, '-'));
  std::vector<TextInterner::Id> expected;
  {
    TextInterner interner;
    for (const std::string& text : texts) expected.push_back(interner.intern(text, text.data() + text.size()));
  }
  for_each_failing_allocation([&](std::size_t k) {
    std::optional<TextInterner> interner;
    std::size_t done = 0;
    const Attempt attempt = attempt_with_failing(k, [&] {
      interner.emplace();
      for (; done < texts.size(); ++done) {
        EXPECT_EQ(interner->intern(texts[done], texts[done].data() + texts[done].size()),
                  expected[done]);
      }
    });
    if (!interner) return attempt;  // the interner itself was refused
    for (; done < texts.size(); ++done) {
      EXPECT_EQ(interner->intern(texts[done], texts[done].data() + texts[done].size()),
                expected[done])
          << "refused allocation " << k;
    }
    for (TextInterner::Id id = 0; id < interner->size(); ++id) {
      EXPECT_EQ(interner->intern(interner->text(id), nullptr), id);
    }
    return attempt;
  });
}

// The bytes of a state with columns out of order, a column given twice,
// labels given twice, missing-value labels and codes that are not positions.
std::vector<std::uint8_t> sample_state() {
  std::vector<std::uint8_t> bytes;
  const auto u64 = [&](std::uint64_t v) {
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  const auto text = [&](const std::string& t) {
    u64(t.size());
    bytes.insert(bytes.end(), t.begin(), t.end());
  };
  const auto label = [](std::size_t column, Code c) {
    return "label " + std::to_string(c * column) + std::string(c % 4 * 10, '.');
  };
  bytes.push_back(1);
  u64(3);
  for (std::uint64_t column : {7, 2, 40}) u64(column);
  const std::vector<std::size_t> label_columns = {40, 2, 7, 2};
  u64(label_columns.size());
  for (std::size_t column : label_columns) {
    u64(column);
    u64(31 + column);
    for (Code c = 0; c < 30 + column; ++c) {
      text(label(column, c));
      if (c % 9 == 0) {
        bytes.push_back(0);
      } else {
        bytes.push_back(1);
        u64(c * 3);
      }
    }
    text(label(column, 1));  // again: replaces its first entry's code
    bytes.push_back(0);
  }
  u64(3);
  for (std::size_t column : {7, 40, 2}) {
    u64(column);
    u64(30 + column);
    for (Code c = 0; c < 30 + column; ++c) {
      u64(column == 7 ? c : c * 3);
      text(label(column, c));
    }
  }
  for (int i = 0; i < 4; ++i) bytes.push_back(0);
  return bytes;
}

TEST(ReadingAState, EndsInBadAllocOrTheFullState) {
  const std::vector<std::uint8_t> bytes = sample_state();
  const StateReadResult expected = read_state(bytes);
  ASSERT_TRUE(std::holds_alternative<EncoderState>(expected));
  const EncoderState& expected_state = std::get<EncoderState>(expected);
  for (const auto& [column, labels] : expected_state.encoding_info->label_to_code) labels.contains("");
  EXPECT_EQ(expected_state.encoding_info->label_to_code.size(), 3u);
  const std::size_t count = for_each_failing_allocation([&](std::size_t k) {
    std::optional<StateReadResult> result;
    const Attempt attempt = attempt_with_failing(k, [&] { result = read_state(bytes); });
    if (!attempt.threw) {
      EXPECT_TRUE(std::holds_alternative<EncoderState>(*result));
      EXPECT_TRUE(std::get<EncoderState>(*result) == expected_state) << "allocation " << k;
    }
    return attempt;
  });
  EXPECT_GT(count, 20u);
  const std::vector<std::uint8_t> rewritten = write_state(expected_state);
  for_each_failing_allocation([&](std::size_t k) {
    std::optional<std::vector<std::uint8_t>> written;
    const Attempt attempt = attempt_with_failing(k, [&] { written = write_state(expected_state); });
    if (!attempt.threw) {
      EXPECT_EQ(*written, rewritten);
    }
    return attempt;
  });
}

}  // namespace
}  // namespace colenc
