// The positional number format: a table of exact texts and a round trip over
// random doubles (shortest digits, never an exponent).
#include "core/formats/number_format.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

namespace colenc {
namespace {

struct NumberCase {
  double value;
  std::string text;
};

class NumberFormatTable : public ::testing::TestWithParam<NumberCase> {};

TEST_P(NumberFormatTable, WritesShortestDigitsPositionally) {
  EXPECT_EQ(format_number(GetParam().value), GetParam().text);
}

const double kNegativeNan = -std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Values, NumberFormatTable,
    ::testing::Values(
        NumberCase{1.0, "1"}, NumberCase{2.5, "2.5"}, NumberCase{0.1, "0.1"},
        NumberCase{-1.5, "-1.5"}, NumberCase{123.456, "123.456"}, NumberCase{0.0, "0"},
        NumberCase{-0.0, "-0"}, NumberCase{10.0, "10"}, NumberCase{100.0, "100"},
        NumberCase{0.5, "0.5"}, NumberCase{0.001, "0.001"}, NumberCase{1e-7, "0.0000001"},
        NumberCase{1.5e-7, "0.00000015"}, NumberCase{1e21, "1000000000000000000000"},
        NumberCase{1e15 + 0.5, "1000000000000000.5"},
        NumberCase{std::ldexp(1.0, 53) + 2, "9007199254740994"},
        NumberCase{std::ldexp(1.0, 60), "1152921504606847000"},
        NumberCase{std::ldexp(1.0, 64), "18446744073709552000"},
        NumberCase{1e300, "1" + std::string(300, '0')},
        NumberCase{5e-324, "0." + std::string(323, '0') + "5"},
        NumberCase{std::numeric_limits<double>::max(), "17976931348623157" + std::string(292, '0')},
        NumberCase{std::numeric_limits<double>::quiet_NaN(), "NaN"},
        NumberCase{kNegativeNan, "NaN"},
        NumberCase{std::bit_cast<double>(std::uint64_t{0x7FF0000000000001}), "NaN"},
        NumberCase{std::numeric_limits<double>::infinity(), "inf"},
        NumberCase{-std::numeric_limits<double>::infinity(), "-inf"}));

TEST(NumberFormat, AppendKeepsWhatIsAlreadyThere) {
  std::string out = "x=";
  append_number(out, -2.5);
  append_number(out, 1e-7);
  EXPECT_EQ(out, "x=-2.50.0000001");
}

// Parses `text` back and checks it names `value` exactly, with digits only.
void expect_round_trip(double value) {
  const std::string text = format_number(value);
  ASSERT_EQ(text.find_first_not_of("-0123456789."), std::string::npos) << text;
  // strtod rather than std::from_chars, which libc++ 19 lacks for double.
  char* end = nullptr;
  const double parsed = std::strtod(text.c_str(), &end);
  ASSERT_EQ(end, text.c_str() + text.size()) << text;
  ASSERT_EQ(std::bit_cast<std::uint64_t>(parsed), std::bit_cast<std::uint64_t>(value)) << text;
}

TEST(NumberFormat, RandomBitPatternsReadBackExactly) {
  std::mt19937_64 random(20240601);
  for (int n = 0; n < 100000; ++n) {
    const double value = std::bit_cast<double>(random());
    if (std::isfinite(value)) expect_round_trip(value);
  }
}

TEST(NumberFormat, RandomEverydayValuesReadBackExactly) {
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::uniform_int_distribution<int> scale(-30, 30);
  for (int n = 0; n < 100000; ++n) {
    expect_round_trip(unit(random) * std::pow(10.0, scale(random)));
    expect_round_trip(static_cast<double>(static_cast<std::int64_t>(random())));
  }
}

}  // namespace
}  // namespace colenc
