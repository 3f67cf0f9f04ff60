#include "core/time_text.hpp"

#include <chrono>

namespace colenc {
namespace {

// Appends `value` in `width` decimal digits, zero-padded.
void append_digits(std::string& out, std::int64_t value, int width) {
  char digits[9];
  for (int k = width - 1; k >= 0; --k) {
    digits[k] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  out.append(digits, static_cast<std::size_t>(width));
}

// The largest integer not above a / b, for b > 0.
std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return (a % b != 0 && a < 0) ? q - 1 : q;
}

}  // namespace

bool append_timestamp_text(std::string& out, std::int64_t count, int digits,
                           std::string_view offset) {
  std::int64_t per_second = 0;
  switch (digits) {
    case 0: per_second = 1; break;
    case 3: per_second = 1'000; break;
    case 6: per_second = 1'000'000; break;
    case 9: per_second = 1'000'000'000; break;
    default: return false;
  }
  const std::int64_t seconds = floor_div(count, per_second);
  const std::int64_t nanos = (count - seconds * per_second) * (1'000'000'000 / per_second);
  const std::int64_t days = floor_div(seconds, 86'400);
  const std::int64_t of_day = seconds - days * 86'400;
  // Days beyond any 4-digit year would overflow the calendar's int days.
  if (days < -800'000 || days > 3'000'000) return false;
  const std::chrono::year_month_day date{
      std::chrono::sys_days{std::chrono::days{static_cast<int>(days)}}};
  const int year = static_cast<int>(date.year());
  if (year < 1 || year > 9999) return false;
  append_digits(out, year, 4);
  out.push_back('-');
  append_digits(out, static_cast<unsigned>(date.month()), 2);
  out.push_back('-');
  append_digits(out, static_cast<unsigned>(date.day()), 2);
  out.push_back(' ');
  append_digits(out, of_day / 3600, 2);
  out.push_back(':');
  append_digits(out, of_day / 60 % 60, 2);
  out.push_back(':');
  append_digits(out, of_day % 60, 2);
  const std::int64_t micros = nanos / 1000;
  if (micros != 0) {
    out.push_back('.');
    append_digits(out, micros, 6);
    if (nanos % 1000 != 0) append_digits(out, nanos % 1000, 3);
  } else if (nanos != 0) {
    out.push_back('.');
    append_digits(out, nanos, 9);
  }
  out.append(offset);
  return true;
}

}  // namespace colenc
