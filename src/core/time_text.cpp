#include "core/time_text.hpp"

#include <charconv>
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

// `a` split into whole `b`s, rounded down, and what remains, 0 <= rest < b,
// for b > 0, without overflow at either end of int64.
struct Split {
  std::int64_t whole;
  std::int64_t rest;
};
Split split(std::int64_t a, std::int64_t b) {
  Split out{a / b, a % b};
  if (out.rest < 0) {
    out.rest += b;
    out.whole -= 1;
  }
  return out;
}

// The ticks of a second for a unit of 10^-digits seconds: 0 when the
// digits are not 0, 3, 6 or 9.
std::int64_t ticks_per_second(int digits) {
  switch (digits) {
    case 0: return 1;
    case 3: return 1'000;
    case 6: return 1'000'000;
    case 9: return 1'000'000'000;
    default: return 0;
  }
}

// Appends "HH:MM:SS" for the seconds `of_day` of a day.
void append_clock(std::string& out, std::int64_t of_day) {
  append_digits(out, of_day / 3600, 2);
  out.push_back(':');
  append_digits(out, of_day / 60 % 60, 2);
  out.push_back(':');
  append_digits(out, of_day % 60, 2);
}

}  // namespace

bool append_timestamp_text(std::string& out, std::int64_t count, int digits,
                           std::string_view offset) {
  const std::int64_t per_second = ticks_per_second(digits);
  if (per_second == 0) return false;
  const auto [seconds, ticks] = split(count, per_second);
  const std::int64_t nanos = ticks * (1'000'000'000 / per_second);
  const auto [days, of_day] = split(seconds, 86'400);
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
  append_clock(out, of_day);
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

bool append_timedelta_text(std::string& out, std::int64_t count, int digits) {
  const std::int64_t per_second = ticks_per_second(digits);
  if (per_second == 0) return false;
  const auto [seconds, ticks] = split(count, per_second);
  const std::int64_t nanos = ticks * (1'000'000'000 / per_second);
  const auto [days, of_day] = split(seconds, 86'400);
  char day_digits[24];
  const auto end = std::to_chars(day_digits, day_digits + sizeof day_digits, days).ptr;
  out.append(day_digits, end);
  out.append(count < 0 ? " days +" : " days ");
  append_clock(out, of_day);
  if (nanos != 0) {
    out.push_back('.');
    append_digits(out, nanos / 1000, 6);
    if (nanos % 1000 != 0) append_digits(out, nanos % 1000, 3);
  }
  return true;
}

}  // namespace colenc
