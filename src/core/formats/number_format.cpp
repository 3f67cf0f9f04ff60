// The positional text form of a float64. std::to_chars in scientific form
// supplies the shortest digits that read back to the same value; this file
// places the decimal point itself, because the fixed form would print the exact
// binary value (2**60 as 1152921504606846976 instead of 1152921504606847000).
#include "core/formats/number_format.hpp"

#include <charconv>
#include <cmath>
#include <string_view>
#include <system_error>

#include "core/internal_error.hpp"

namespace colenc {
namespace {

// Parses the exponent of a to_chars scientific text: "+00", "-07", "+308".
int parse_exponent(std::string_view text) {
  const bool negative = text.front() == '-';
  text.remove_prefix(1);  // to_chars always writes the sign of the exponent
  int magnitude = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
  if (ec != std::errc() || end != text.data() + text.size()) {
    throw InternalError("unexpected exponent in shortest float text");
  }
  return negative ? -magnitude : magnitude;
}

}  // namespace

void append_number(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";  // whatever the sign bit and payload
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return;
  }

  // Shortest scientific form, e.g. "-1.152921504606847e+18"; 32 bytes hold the
  // longest one ("-2.2250738585072014e-308" is 24).
  char buffer[32];
  const auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  if (ec != std::errc()) throw InternalError("float does not fit its text buffer");
  std::string_view text(buffer, static_cast<std::size_t>(end - buffer));

  if (text.front() == '-') {  // also negative zero, which prints "-0"
    out.push_back('-');
    text.remove_prefix(1);
  }
  const std::size_t e_pos = text.find('e');
  if (e_pos == std::string_view::npos) throw InternalError("float text without exponent");
  const int exponent = parse_exponent(text.substr(e_pos + 1));

  // The significant digits d1 d2 ... dn of value = d1.d2...dn * 10^exponent.
  char digits[24];
  std::size_t digit_count = 0;
  for (char c : text.substr(0, e_pos)) {
    if (c != '.') digits[digit_count++] = c;
  }
  const std::string_view significand(digits, digit_count);

  // Number of digits before the decimal point; may be <= 0 for values below 1.
  const long integer_digits = static_cast<long>(exponent) + 1;
  if (integer_digits <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-integer_digits), '0');
    out += significand;
  } else if (static_cast<std::size_t>(integer_digits) >= digit_count) {
    out += significand;
    out.append(static_cast<std::size_t>(integer_digits) - digit_count, '0');
  } else {
    const auto split = static_cast<std::size_t>(integer_digits);
    out += significand.substr(0, split);
    out.push_back('.');
    out += significand.substr(split);
  }
}

std::string format_number(double value) {
  std::string out;
  append_number(out, value);
  return out;
}

}  // namespace colenc
