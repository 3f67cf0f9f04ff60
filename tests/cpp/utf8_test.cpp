// UTF-8 from fixed-width code units.
#include "core/formats/utf8.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace colenc {
namespace {

struct Utf8Case {
  const char* name;
  std::vector<std::uint32_t> units;
  std::string expected;
};

class Utf8Cases : public ::testing::TestWithParam<Utf8Case> {};

// Every width that can hold the units gives the same bytes.
TEST_P(Utf8Cases, EveryUnitWidthGivesTheSameBytes) {
  const Utf8Case& c = GetParam();
  std::uint32_t widest = 0;
  for (std::uint32_t u : c.units) widest = std::max(widest, u);
  for (unsigned width : {1u, 2u, 4u}) {
    if (widest >= (width == 4 ? 0x110000u : 1u << (8 * width))) continue;
    std::vector<unsigned char> raw(c.units.size() * width);
    for (std::size_t k = 0; k < c.units.size(); ++k) {
      for (unsigned b = 0; b < width; ++b) raw[k * width + b] = (c.units[k] >> (8 * b)) & 0xFF;
    }
    std::string out = "<";
    append_utf8(raw.data(), c.units.size(), width, out);
    EXPECT_EQ(out, "<" + c.expected) << "width " << width;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf8Cases,
    ::testing::Values(
        Utf8Case{"Empty", {}, ""}, Utf8Case{"Ascii", {'a', 'B', 0}, std::string("aB\0", 3)},
        Utf8Case{"Latin1", {'Z', 0xFC, 'r', 0xE9}, "Z\xC3\xBCr\xC3\xA9"},
        Utf8Case{"TwoAndThreeBytes",
                 {0x3A9, 0x7FF, 0x800, 0x20AC, 0xFFFF},
                 "\xCE\xA9\xDF\xBF\xE0\xA0\x80\xE2\x82\xAC\xEF\xBF\xBF"},
        Utf8Case{"FourBytes", {0x1F642, 0x10FFFF}, "\xF0\x9F\x99\x82\xF4\x8F\xBF\xBF"},
        // Each surrogate, paired or not, as a lenient decoder reads its
        // three-byte form: three U+FFFD.
        Utf8Case{"LoneSurrogates",
                 {'x', 0xD800, 0xDFFF},
                 "x\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        Utf8Case{"SurrogatePair",
                 {0xD83D, 0xDE42},
                 "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace colenc
