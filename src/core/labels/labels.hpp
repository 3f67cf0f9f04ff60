// Labels and codes: the vocabulary of the engine. A label is a distinct UTF-8
// text of a text column, ordered by its bytes; a code is its dense unsigned
// number; "<NA>", "nan" and "NaN" are the missing-value labels, which get no code.
#pragma once

#include <bit>
#include <cstdint>
#include <string_view>

namespace colenc {

using Code = std::uint64_t;

// Bit pattern of the quiet NaN that a missing-value cell encodes to.
inline constexpr std::uint64_t kMissingCodeBits = 0x7FF8000000000000ULL;

// Returns the float64 written for a cell whose label has no code.
inline double missing_code_value() { return std::bit_cast<double>(kMissingCodeBits); }

// Returns true exactly for the byte-exact texts "<NA>", "nan" and "NaN".
inline bool is_missing_label(std::string_view label) {
  return label == "<NA>" || label == "nan" || label == "NaN";
}

// Returns true when `a` sorts before `b` in label order: plain unsigned byte
// order of the UTF-8 bytes, the shorter text first on a common prefix.
inline bool label_less(std::string_view a, std::string_view b) {
  // std::string_view compares through char_traits<char>, which compares as
  // unsigned char, so this is byte order even where char is signed.
  return a < b;
}

}  // namespace colenc
