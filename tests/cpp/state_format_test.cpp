// Tests of the state byte format: the worked 116-byte example, the unfitted and
// empty fitted forms, every refusal with its exact detail text (UTF-8 faults
// included), duplicate keys, forged counts, and random round trips.
#include "core/labels/state_format.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "failing_allocation.hpp"

namespace colenc {

// Prints a state with its maps sorted, for readable failure messages.
void PrintTo(const EncoderState& state, std::ostream* os) {
  if (!state.encoding_info) {
    *os << "{unfitted}";
    return;
  }
  const EncodingInfo& info = *state.encoding_info;
  *os << "{string_columns=[";
  for (std::size_t c : info.string_columns) *os << c << ",";
  *os << "] label_to_code={";
  std::vector<std::size_t> columns;
  for (const auto& [c, labels] : info.label_to_code) columns.push_back(c);
  std::sort(columns.begin(), columns.end());
  for (std::size_t c : columns) {
    std::vector<std::pair<std::string, std::optional<Code>>> entries(
        info.label_to_code.at(c).begin(), info.label_to_code.at(c).end());
    std::sort(entries.begin(), entries.end());
    *os << c << ":{";
    for (const auto& [label, code] : entries) {
      *os << '"' << label << "\":" << (code ? std::to_string(*code) : "none") << ",";
    }
    *os << "},";
  }
  *os << "} code_to_label={";
  columns.clear();
  for (const auto& [c, codes] : info.code_to_label) columns.push_back(c);
  std::sort(columns.begin(), columns.end());
  for (std::size_t c : columns) {
    std::vector<std::pair<Code, std::string>> entries(info.code_to_label.at(c).begin(),
                                                      info.code_to_label.at(c).end());
    std::sort(entries.begin(), entries.end());
    *os << c << ":{";
    for (const auto& [code, label] : entries) *os << code << ":\"" << label << "\",";
    *os << "},";
  }
  *os << "}}";
}

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t k32BitMax = 4294967295u;
constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
const std::string kEof = "io error: unexpected end of file";
const std::string kTextPastEnd = "io error: ";

// Builds input bytes by hand, independently of the writer under test.
struct ByteBuilder {
  Bytes bytes;
  ByteBuilder& u8(std::uint8_t v) {
    bytes.push_back(v);
    return *this;
  }
  ByteBuilder& le(std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
  }
  ByteBuilder& u32(std::uint32_t v) { return le(v, 4); }
  ByteBuilder& u64(std::uint64_t v) { return le(v, 8); }
  ByteBuilder& raw(std::string_view s) {
    bytes.insert(bytes.end(), s.begin(), s.end());
    return *this;
  }
  ByteBuilder& text(std::string_view s) { return u64(s.size()).raw(s); }
  ByteBuilder& append(const Bytes& more) {
    bytes.insert(bytes.end(), more.begin(), more.end());
    return *this;
  }
};

// The worked example: column 1 is the only text column, with "a" -> 0 and
// "nan" without code. `nan_first` swaps the two label records.
Bytes worked_example(bool nan_first = false) {
  ByteBuilder a, nan;
  a.text("a").u8(1).u64(0);
  nan.text("nan").u8(0);
  ByteBuilder b;
  b.u8(1);                     // 0: encoding_info present
  b.u64(1).u64(1);             // 1: string_columns = [1]
  b.u64(1).u64(1).u64(2);      // 17: label_to_code: 1 column, column 1, 2 labels
  b.append(nan_first ? nan.bytes : a.bytes).append(nan_first ? a.bytes : nan.bytes);
  b.u64(1).u64(1).u64(1);      // 71: code_to_label: 1 column, column 1, 1 code
  b.u64(0).text("a");          // 95: code 0 -> "a"
  b.u32(0);                    // 112: label encoding
  return b.bytes;
}

EncoderState worked_example_state() {
  EncodingInfo info;
  info.string_columns = {1};
  info.label_to_code[1] = {{"a", Code{0}}, {"nan", std::nullopt}};
  info.code_to_label[1] = {{0, "a"}};
  return EncoderState{std::move(info), EncodingStrategy::kLabelEncoding};
}

EncoderState empty_fitted_state() {
  return EncoderState{EncodingInfo{}, EncodingStrategy::kLabelEncoding};
}

StateReadResult read(const Bytes& bytes, std::uint64_t max_size = std::numeric_limits<std::size_t>::max()) {
  return read_state(std::span<const std::uint8_t>(bytes), max_size);
}

// Returns the refusal's detail text, or "accepted".
std::string detail_of(const StateReadResult& result) {
  if (const auto* error = std::get_if<StateReadError>(&result)) return error->detail;
  return "accepted";
}

EncoderState accepted(const StateReadResult& result) {
  EXPECT_EQ(detail_of(result), "accepted");
  if (const auto* state = std::get_if<EncoderState>(&result)) return *state;
  return {};
}

// A fitted state whose column 7 holds the single label `label` with code 0.
Bytes state_with_label(std::string_view label) {
  return ByteBuilder{}.u8(1).u64(1).u64(7).u64(1).u64(7).u64(1).text(label).u8(1).u64(0).u64(0).u32(0).bytes;
}

// A fitted state whose column 7 maps code 0 to the label `label`.
Bytes state_with_code_label(std::string_view label) {
  return ByteBuilder{}.u8(1).u64(0).u64(0).u64(1).u64(7).u64(1).u64(0).text(label).u32(0).bytes;
}

TEST(StateFormat, WorkedExampleReadsAndRewritesWithSameContent) {
  const Bytes example = worked_example();
  ASSERT_EQ(example.size(), 116u);
  const EncoderState state = accepted(read(example));
  EXPECT_EQ(state, worked_example_state());

  const Bytes rewritten = write_state(state);
  EXPECT_EQ(rewritten.size(), 116u);
  EXPECT_EQ(measure_state(state), 116u);
  // The two labels come out in the map's order, which is not fixed.
  EXPECT_TRUE(rewritten == example || rewritten == worked_example(/*nan_first=*/true));
  EXPECT_EQ(accepted(read(rewritten)), state);
  EXPECT_EQ(accepted(read(worked_example(/*nan_first=*/true))), state);
}

TEST(StateFormat, UnfittedStateIsFiveZeroBytes) {
  const Bytes unfitted = {0, 0, 0, 0, 0};
  EXPECT_EQ(write_state(EncoderState{}), unfitted);
  EXPECT_EQ(measure_state(EncoderState{}), 5u);
  const EncoderState state = accepted(read(unfitted));
  EXPECT_FALSE(state.encoding_info.has_value());
}

TEST(StateFormat, EmptyFittedRecordIsTwentyNineBytesAndDiffersFromUnfitted) {
  Bytes empty_fitted(29, 0);
  empty_fitted[0] = 1;
  EXPECT_EQ(write_state(empty_fitted_state()), empty_fitted);
  EXPECT_EQ(measure_state(empty_fitted_state()), 29u);
  const EncoderState state = accepted(read(empty_fitted));
  ASSERT_TRUE(state.encoding_info.has_value());
  EXPECT_EQ(state, empty_fitted_state());
  EXPECT_NE(state, EncoderState{});
}

TEST(StateFormat, WritesIntegersLittleEndianAndTextsAsUtf8Bytes) {
  using namespace std::string_view_literals;
  EncodingInfo info;
  info.string_columns = {0x0102030405060708u};
  info.label_to_code[0x0102030405060708u] = {{"\xC3\xA9", Code{0x1122334455667788u}}};
  info.code_to_label[0x0102030405060708u] = {{0x1122334455667788u, "\xC3\xA9"}};
  const std::string_view column = "\x08\x07\x06\x05\x04\x03\x02\x01"sv;
  const std::string_view code = "\x88\x77\x66\x55\x44\x33\x22\x11"sv;
  const std::string_view one = "\x01\0\0\0\0\0\0\0"sv;
  const std::string_view two = "\x02\0\0\0\0\0\0\0"sv;
  const Bytes expected = ByteBuilder{}
                             .u8(1)
                             .raw(one).raw(column)                                    // string_columns
                             .raw(one).raw(column).raw(one).raw(two).raw("\xC3\xA9")  // label_to_code
                             .u8(1).raw(code)
                             .raw(one).raw(column).raw(one).raw(code).raw(two).raw("\xC3\xA9")  // code_to_label
                             .raw("\0\0\0\0"sv)
                             .bytes;
  EXPECT_EQ(write_state(EncoderState{info, EncodingStrategy::kLabelEncoding}), expected);
}

struct RefusalCase {
  const char* name;
  Bytes input;
  std::string detail;
  std::uint64_t max_size = std::numeric_limits<std::size_t>::max();
};

TEST(StateFormat, RefusesMalformedInputWithExactDetail) {
  auto b = [] { return ByteBuilder{}; };
  Bytes label_tag_2 = worked_example();
  label_tag_2[50] = 2;
  const std::string size_2_32 = "Invalid size 4294967296: sizes must fit in a usize (0 to 4294967295)";
  const std::string column_2_32 = "invalid value: integer `4294967296`, expected usize";
  const std::vector<RefusalCase> cases = {
      {"empty input", {}, kEof},
      {"unfitted tag alone", {0}, kEof},
      {"strategy cut short", {0, 0, 0, 0}, kEof},
      {"record tag 2", {2, 0, 0, 0, 0}, "tag for enum is not valid, found 2"},
      {"record tag 2 alone", {2}, "tag for enum is not valid, found 2"},
      {"record tag ff", {0xFF}, "tag for enum is not valid, found 255"},
      {"label tag 2", label_tag_2, "tag for enum is not valid, found 2"},
      {"strategy 1", {0, 1, 0, 0, 0}, "invalid value: integer `1`, expected variant index 0 <= i < 1"},
      {"strategy max", {0, 0xFF, 0xFF, 0xFF, 0xFF},
       "invalid value: integer `4294967295`, expected variant index 0 <= i < 1"},
      {"strategy 1 after fitted record", b().u8(1).u64(0).u64(0).u64(0).u32(1).bytes,
       "invalid value: integer `1`, expected variant index 0 <= i < 1"},
      {"code missing after tag 1", b().u8(1).u64(0).u64(1).u64(3).u64(1).text("x").u8(1).u32(0).bytes, kEof},
      // A 32-bit size type, emulated through max_size.
      {"32-bit: string_columns count", b().u8(1).u64(1ull << 32).bytes, size_2_32, k32BitMax},
      {"32-bit: label_to_code count", b().u8(1).u64(0).u64(1ull << 32).bytes, size_2_32, k32BitMax},
      {"32-bit: label count", b().u8(1).u64(0).u64(1).u64(3).u64(1ull << 32).bytes, size_2_32, k32BitMax},
      {"32-bit: text length", b().u8(1).u64(0).u64(1).u64(3).u64(1).u64(1ull << 32).bytes, size_2_32,
       k32BitMax},
      {"32-bit: code_to_label count", b().u8(1).u64(0).u64(0).u64(1ull << 32).bytes, size_2_32, k32BitMax},
      {"32-bit: code count", b().u8(1).u64(0).u64(0).u64(1).u64(3).u64(1ull << 32).bytes, size_2_32,
       k32BitMax},
      {"32-bit: code_to_label text length", b().u8(1).u64(0).u64(0).u64(1).u64(3).u64(1).u64(0).u64(1ull << 32).bytes,
       size_2_32, k32BitMax},
      {"32-bit: count max", b().u8(1).u64(kU64Max).bytes,
       "Invalid size 18446744073709551615: sizes must fit in a usize (0 to 4294967295)", k32BitMax},
      {"32-bit: string column", b().u8(1).u64(1).u64(1ull << 32).bytes, column_2_32, k32BitMax},
      {"32-bit: label_to_code column", b().u8(1).u64(0).u64(1).u64(1ull << 32).bytes, column_2_32, k32BitMax},
      {"32-bit: code_to_label column", b().u8(1).u64(0).u64(0).u64(1).u64(1ull << 32).bytes, column_2_32,
       k32BitMax},
      {"32-bit: count at the limit is read, then input ends", b().u8(1).u64(k32BitMax).bytes, kEof, k32BitMax},
      // On a 64-bit size type every count fits; the input then runs out.
      {"64-bit: count max", b().u8(1).u64(kU64Max).bytes, kEof},
      {"64-bit: count 2^32", b().u8(1).u64(1ull << 32).bytes, kEof},
      {"64-bit: text length max", b().u8(1).u64(0).u64(1).u64(3).u64(1).u64(kU64Max).raw("ab").bytes,
       kTextPastEnd},
      {"label length past end", b().u8(1).u64(0).u64(1).u64(3).u64(1).u64(5).raw("ab").bytes, kTextPastEnd},
      {"label length past end, nothing left", b().u8(1).u64(0).u64(1).u64(3).u64(1).u64(1).bytes, kTextPastEnd},
      {"code_to_label label past end", b().u8(1).u64(0).u64(0).u64(1).u64(3).u64(1).u64(0).u64(4).raw("abc").bytes,
       kTextPastEnd},
      {"label ff", state_with_label("\xFF"), "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
      {"code_to_label label with bad byte", state_with_code_label("ab\xC0"),
       "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 2"},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(detail_of(read(c.input, c.max_size)), c.detail);
  }
}

TEST(StateFormat, SizeLimitsAreInclusive) {
  const Bytes input = ByteBuilder{}
                          .u8(1)
                          .u64(1).u64(k32BitMax)
                          .u64(1).u64(k32BitMax).u64(0)
                          .u64(1).u64(k32BitMax).u64(0)
                          .u32(0)
                          .bytes;
  const EncoderState state = accepted(read(input, k32BitMax));
  ASSERT_TRUE(state.encoding_info.has_value());
  EXPECT_EQ(state.encoding_info->string_columns, std::vector<std::size_t>{k32BitMax});
  EXPECT_TRUE(state.encoding_info->label_to_code.contains(k32BitMax));
  EXPECT_TRUE(state.encoding_info->code_to_label.contains(k32BitMax));
}

// Every proper prefix of the example is refused: inside a text's bytes as a
// text cut short, anywhere else as the end of a fixed-width field.
TEST(StateFormat, EveryTruncationOfTheWorkedExampleIsRefused) {
  const Bytes example = worked_example();
  auto inside_text = [](std::size_t length) {
    // "a" at 49, "nan" at 67..69, "a" at 111: the length field is whole, its bytes are not.
    return length == 49 || (length >= 67 && length <= 69) || length == 111;
  };
  for (std::size_t length = 0; length < example.size(); ++length) {
    SCOPED_TRACE("prefix of " + std::to_string(length) + " bytes");
    const Bytes prefix(example.begin(), example.begin() + static_cast<std::ptrdiff_t>(length));
    EXPECT_EQ(detail_of(read(prefix)), inside_text(length) ? kTextPastEnd : kEof);
  }
}

TEST(StateFormat, IgnoresBytesAfterTheStrategy) {
  EXPECT_EQ(accepted(read(ByteBuilder{}.append(worked_example()).raw("\xDE\xAD\xBE\xEF").bytes)),
            worked_example_state());
  EXPECT_EQ(accepted(read({0, 0, 0, 0, 0, 2})), EncoderState{});
  EXPECT_EQ(accepted(read(ByteBuilder{}.u8(1).u64(0).u64(0).u64(0).u32(0).u8(0xFF).bytes)), empty_fitted_state());
}

struct DuplicateCase {
  const char* name;
  Bytes input;
  EncodingInfo expected;
};

TEST(StateFormat, LaterDuplicateKeyReplacesEarlierEntry) {
  auto fitted = [](const Bytes& body) { return ByteBuilder{}.u8(1).append(body).u32(0).bytes; };
  auto b = [] { return ByteBuilder{}; };
  std::vector<DuplicateCase> cases;
  {
    EncodingInfo info;
    info.string_columns = {2, 2};  // a sequence, not a map: both kept
    cases.push_back({"string_columns keep repeats", fitted(b().u64(2).u64(2).u64(2).u64(0).u64(0).bytes), info});
  }
  {
    EncodingInfo info;
    info.label_to_code[3] = {{"a", Code{5}}};
    cases.push_back({"label repeated with a new code",
                     fitted(b().u64(0).u64(1).u64(3).u64(2).text("a").u8(1).u64(0).text("a").u8(1).u64(5).u64(0).bytes),
                     info});
  }
  {
    EncodingInfo info;
    info.label_to_code[3] = {{"a", std::nullopt}};
    cases.push_back({"label repeated without code",
                     fitted(b().u64(0).u64(1).u64(3).u64(2).text("a").u8(1).u64(0).text("a").u8(0).u64(0).bytes),
                     info});
  }
  {
    EncodingInfo info;
    info.label_to_code[3] = {{"z", Code{2}}};
    cases.push_back({"label_to_code column repeated replaces the whole inner map",
                     fitted(b().u64(0)
                                .u64(2)
                                .u64(3).u64(2).text("x").u8(1).u64(0).text("y").u8(1).u64(1)
                                .u64(3).u64(1).text("z").u8(1).u64(2)
                                .u64(0)
                                .bytes),
                     info});
  }
  {
    EncodingInfo info;
    info.code_to_label[4] = {{0, "b"}};
    cases.push_back({"code repeated",
                     fitted(b().u64(0).u64(0).u64(1).u64(4).u64(2).u64(0).text("a").u64(0).text("b").bytes), info});
  }
  {
    EncodingInfo info;
    info.code_to_label[4] = {};
    cases.push_back({"code_to_label column repeated replaces the whole inner map",
                     fitted(b().u64(0).u64(0).u64(2).u64(4).u64(2).u64(0).text("a").u64(1).text("b").u64(4).u64(0).bytes),
                     info});
  }
  {
    EncodingInfo info;
    info.label_to_code[1] = {{"c", Code{0}}};
    info.label_to_code[3] = {{"b", Code{0}}};
    info.label_to_code[9] = {{"z", Code{1}}};
    info.code_to_label[2] = {{7, "q"}};
    info.code_to_label[8] = {{0, "p"}};
    cases.push_back({"columns out of order, one repeated: the later entry counts",
                     fitted(b().u64(0)
                                .u64(4)
                                .u64(9).u64(1).text("a").u8(1).u64(0)
                                .u64(3).u64(1).text("b").u8(1).u64(0)
                                .u64(9).u64(1).text("z").u8(1).u64(1)
                                .u64(1).u64(1).text("c").u8(1).u64(0)
                                .u64(3)
                                .u64(8).u64(1).u64(0).text("o")
                                .u64(2).u64(1).u64(7).text("q")
                                .u64(8).u64(1).u64(0).text("p")
                                .bytes),
                     info});
  }
  for (const DuplicateCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(accepted(read(c.input)), (EncoderState{c.expected, EncodingStrategy::kLabelEncoding}));
  }
}

// The three parts of a record are taken as they stand, even when they disagree.
TEST(StateFormat, AcceptsPartsThatNameDifferentColumns) {
  const Bytes input = ByteBuilder{}
                          .u8(1)
                          .u64(1).u64(9)
                          .u64(1).u64(5).u64(1).text("q").u8(1).u64(kU64Max)
                          .u64(0)
                          .u32(0)
                          .bytes;
  EncodingInfo info;
  info.string_columns = {9};
  info.label_to_code[5] = {{"q", Code{kU64Max}}};
  EXPECT_EQ(accepted(read(input)), (EncoderState{info, EncodingStrategy::kLabelEncoding}));
}

// A huge declared count followed by almost nothing must fail at the end of the
// input without first reserving room for the declared entries: reservation is
// bounded by what the bytes left could hold (and by 1 MiB of entries).
TEST(StateFormat, ForgedCountFailsWithoutLargeReservation) {
  constexpr std::size_t kLargestAllowed = 64u << 10;
  auto b = [] { return ByteBuilder{}; };
  for (std::uint64_t count : {std::uint64_t{1} << 26, std::uint64_t{1} << 40, std::uint64_t{1} << 63, kU64Max}) {
    const std::vector<std::pair<const char*, Bytes>> inputs = {
        {"string_columns", b().u8(1).u64(count).u64(0).u64(1).bytes},
        {"label_to_code", b().u8(1).u64(0).u64(count).u64(3).u64(0).bytes},
        {"labels", b().u8(1).u64(0).u64(1).u64(3).u64(count).text("a").u8(0).bytes},
        {"code_to_label", b().u8(1).u64(0).u64(0).u64(count).u64(3).u64(0).bytes},
        {"codes", b().u8(1).u64(0).u64(0).u64(1).u64(3).u64(count).u64(0).text("a").bytes},
    };
    for (const auto& [name, input] : inputs) {
      SCOPED_TRACE(std::string(name) + " count " + std::to_string(count));
      StateReadResult result;
      std::size_t largest = 0;
      {
        const test_support::FailingAllocation counting;
        result = read(input);
        largest = counting.largest();
      }
      EXPECT_EQ(detail_of(result), kEof);
      EXPECT_LE(largest, kLargestAllowed);
    }
  }
}

struct Utf8Case {
  const char* name;
  std::string_view text;
  std::string fault;  // empty for valid UTF-8
};

std::string invalid(int len, int index) {
  return "string is not valid utf8: invalid utf-8 sequence of " + std::to_string(len) + " bytes from index " +
         std::to_string(index);
}
std::string incomplete(int index) {
  return "string is not valid utf8: incomplete utf-8 byte sequence from index " + std::to_string(index);
}

TEST(StateFormat, ChecksTextsAsUtf8WithTheFaultsPositionAndLength) {
  using namespace std::string_view_literals;
  const std::vector<Utf8Case> cases = {
      {"empty", ""sv, ""},
      {"ascii", "abc"sv, ""},
      {"nul byte", "a\0b"sv, ""},
      {"smallest 2-byte", "\xC2\x80"sv, ""},
      {"largest 2-byte", "\xDF\xBF"sv, ""},
      {"smallest 3-byte", "\xE0\xA0\x80"sv, ""},
      {"last before surrogates", "\xED\x9F\xBF"sv, ""},
      {"first after surrogates", "\xEE\x80\x80"sv, ""},
      {"largest 3-byte", "\xEF\xBF\xBF"sv, ""},
      {"smallest 4-byte", "\xF0\x90\x80\x80"sv, ""},
      {"largest code point", "\xF4\x8F\xBF\xBF"sv, ""},
      {"mixed widths", "a\xC3\xA9\xE2\x82\xAC\xF0\x90\x8D\x88z"sv, ""},
      {"lone ff", "\xFF"sv, invalid(1, 0)},
      {"lone fe", "\xFE"sv, invalid(1, 0)},
      {"lone continuation", "\x80"sv, invalid(1, 0)},
      {"continuation after ascii", "ab\xBF"sv, invalid(1, 2)},
      {"overlong c0", "\xC0\x80"sv, invalid(1, 0)},
      {"overlong c1", "\xC1\xBF"sv, invalid(1, 0)},
      {"overlong c0 at end", "\xC0"sv, invalid(1, 0)},
      {"overlong e0 80", "\xE0\x80\x80"sv, invalid(1, 0)},
      {"overlong e0 9f", "\xE0\x9F\xBF"sv, invalid(1, 0)},
      {"overlong e0 80 at end", "\xE0\x80"sv, invalid(1, 0)},
      {"surrogate ed a0", "\xED\xA0\x80"sv, invalid(1, 0)},
      {"surrogate ed bf", "\xED\xBF\xBF"sv, invalid(1, 0)},
      {"surrogate ed a0 at end", "\xED\xA0"sv, invalid(1, 0)},
      {"overlong f0 80", "\xF0\x80\x80\x80"sv, invalid(1, 0)},
      {"overlong f0 8f", "\xF0\x8F\xBF\xBF"sv, invalid(1, 0)},
      {"above max f4 90", "\xF4\x90\x80\x80"sv, invalid(1, 0)},
      {"above max f4 90 at end", "\xF4\x90"sv, invalid(1, 0)},
      {"lead f5", "\xF5\x80\x80\x80"sv, invalid(1, 0)},
      {"lead f8", "\xF8\x88\x80\x80\x80"sv, invalid(1, 0)},
      {"2-byte with ascii second", "\xC2\x41"sv, invalid(1, 0)},
      {"3-byte with bad second", "\xE2\x28\xA1"sv, invalid(1, 0)},
      {"3-byte with bad third", "\xE2\x82\x41"sv, invalid(2, 0)},
      {"3-byte with ff third", "\xE2\x82\xFF"sv, invalid(2, 0)},
      {"4-byte with bad third", "\xF0\x9F\x41"sv, invalid(2, 0)},
      {"4-byte with bad fourth", "\xF0\x9F\x98\x41"sv, invalid(3, 0)},
      {"4-byte with a lead as fourth", "\xF0\x9F\x98\xF0\x9F\x98\x80"sv, invalid(3, 0)},
      {"fault after multibyte prefix", "x\xE2\x82\xAC\xE2\x28\xA1"sv, invalid(1, 4)},
      {"only the first fault counts", "\xC3\xA9\xFF\xE2"sv, invalid(1, 2)},
      {"2-byte cut short", "\xC2"sv, incomplete(0)},
      {"3-byte cut after lead", "\xE0"sv, incomplete(0)},
      {"3-byte cut after second", "\xE2\x82"sv, incomplete(0)},
      {"e0 a0 cut short", "\xE0\xA0"sv, incomplete(0)},
      {"ed 9f cut short", "\xED\x9F"sv, incomplete(0)},
      {"4-byte cut after lead", "\xF4"sv, incomplete(0)},
      {"f4 8f cut short", "\xF4\x8F"sv, incomplete(0)},
      {"4-byte cut after third", "ab\xF0\x9F\x98"sv, incomplete(2)},
      {"cut short after valid multibyte", "\xC3\xA9\xE2\x82"sv, incomplete(2)},
  };
  for (const Utf8Case& c : cases) {
    SCOPED_TRACE(c.name);
    const StateReadResult as_label = read(state_with_label(c.text));
    const StateReadResult as_code_label = read(state_with_code_label(c.text));
    if (c.fault.empty()) {
      const EncoderState a = accepted(as_label);
      const EncoderState b = accepted(as_code_label);
      if (a.encoding_info) {
        EXPECT_TRUE(a.encoding_info->label_to_code.at(7).contains(c.text));
      }
      if (b.encoding_info) {
        EXPECT_EQ(b.encoding_info->code_to_label.at(7).at(0), c.text);
      }
    } else {
      EXPECT_EQ(detail_of(as_label), c.fault);
      EXPECT_EQ(detail_of(as_code_label), c.fault);
    }
  }
}

// Random labels drawn from pieces of every UTF-8 width, the missing-value
// labels, the empty text and a NUL byte.
std::string random_label(std::mt19937_64& rng) {
  static const std::vector<std::string> pieces = {"a", "b", " ", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x90\x8D\x88",
                                                  std::string(1, '\0'), "nan", "NaN", "<NA>", "x"};
  std::string label;
  for (std::size_t n = rng() % 5; n > 0; --n) label += pieces[rng() % pieces.size()];
  return label;
}

std::uint64_t random_number(std::mt19937_64& rng) {
  switch (rng() % 4) {
    case 0:
      return rng() % 8;
    case 1:
      return kU64Max - rng() % 3;
    default:
      return rng();
  }
}

EncoderState random_state(std::mt19937_64& rng) {
  if (rng() % 8 == 0) return EncoderState{};
  EncodingInfo info;
  for (std::size_t n = rng() % 6; n > 0; --n) info.string_columns.push_back(random_number(rng));
  for (std::size_t n = rng() % 5; n > 0; --n) {
    LabelToCode& labels = info.label_to_code[random_number(rng)];
    for (std::size_t m = rng() % 20; m > 0; --m) {
      labels.insert_or_assign(random_label(rng), rng() % 3 == 0 ? std::nullopt : std::optional<Code>(random_number(rng)));
    }
  }
  for (std::size_t n = rng() % 5; n > 0; --n) {
    CodeToLabel& codes = info.code_to_label[random_number(rng)];
    for (std::size_t m = rng() % 20; m > 0; --m) codes.insert_or_assign(random_number(rng), random_label(rng));
  }
  return EncoderState{std::move(info), EncodingStrategy::kLabelEncoding};
}

TEST(StateFormat, RandomStatesRoundTrip) {
  std::mt19937_64 rng(20240611);
  for (int i = 0; i < 500; ++i) {
    SCOPED_TRACE("state " + std::to_string(i));
    const EncoderState state = random_state(rng);
    const Bytes bytes = write_state(state);
    EXPECT_EQ(bytes.size(), measure_state(state));
    EXPECT_EQ(accepted(read(bytes)), state);
    EXPECT_EQ(write_state(accepted(read(bytes))), bytes);  // the same content, the same bytes
  }
}

TEST(StateFormat, WritesColumnMapsInAscendingColumnOrder) {
  constexpr std::size_t kColumns = 64;
  EncodingInfo info;
  for (std::size_t column = kColumns; column-- > 0;) {
    info.string_columns.insert(info.string_columns.begin(), column);
    info.label_to_code[column].insert_or_assign("x", Code{column});
    info.code_to_label[column].insert_or_assign(Code{column}, "x");
  }
  ByteBuilder expected;
  expected.u8(1).u64(kColumns);
  for (std::size_t column = 0; column < kColumns; ++column) expected.u64(column);
  expected.u64(kColumns);
  for (std::size_t column = 0; column < kColumns; ++column) {
    expected.u64(column).u64(1).text("x").u8(1).u64(column);
  }
  expected.u64(kColumns);
  for (std::size_t column = 0; column < kColumns; ++column) {
    expected.u64(column).u64(1).u64(column).text("x");
  }
  expected.u32(0);
  EXPECT_EQ(write_state(EncoderState{std::move(info), EncodingStrategy::kLabelEncoding}),
            expected.bytes);
}

}  // namespace
}  // namespace colenc
