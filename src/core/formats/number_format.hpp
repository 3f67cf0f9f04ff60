// The text form of a float64 that a column had collected before it turned to
// text: the shortest round-trip digits laid out positionally, never with an
// exponent; "NaN", "inf", "-inf", and "-0" for negative zero.
#pragma once

#include <string>

namespace colenc {

// Returns the text of `value`: 1.0 -> "1", 0.1 -> "0.1", 1e21 ->
// "1000000000000000000000", 1e-7 -> "0.0000001", 2**60 -> "1152921504606847000".
std::string format_number(double value);

// Appends the text of `value` to `out` (no allocation beyond out's growth).
void append_number(std::string& out, double value);

}  // namespace colenc
