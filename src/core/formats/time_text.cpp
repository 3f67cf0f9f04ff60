#include "core/formats/time_text.hpp"

#include <charconv>
#include <chrono>
#include <optional>

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

// A count of ticks of 10^-digits seconds from an epoch, as whole days
// (rounded down), the seconds of the day after them, and the nanoseconds of
// the second after those.
struct DayTicks {
  std::int64_t days;
  std::int64_t of_day;
  std::int64_t nanos;
};

// Splits `count`; nothing for digits other than 0, 3, 6 or 9.
std::optional<DayTicks> day_ticks(std::int64_t count, int digits) {
  std::int64_t per_second = 0;
  switch (digits) {
    case 0:
      per_second = 1;
      break;
    case 3:
      per_second = 1'000;
      break;
    case 6:
      per_second = 1'000'000;
      break;
    case 9:
      per_second = 1'000'000'000;
      break;
    default:
      return std::nullopt;
  }
  const auto [seconds, ticks] = split(count, per_second);
  const auto [days, of_day] = split(seconds, 86'400);
  return DayTicks{days, of_day, ticks * (1'000'000'000 / per_second)};
}

// Appends "HH:MM:SS" for the seconds of a day, then, if part of a second
// remains, ".ffffff" and three more digits if that has nanoseconds.
void append_clock(std::string& out, const DayTicks& time) {
  append_digits(out, time.of_day / 3600, 2);
  out.push_back(':');
  append_digits(out, time.of_day / 60 % 60, 2);
  out.push_back(':');
  append_digits(out, time.of_day % 60, 2);
  if (time.nanos == 0) return;
  out.push_back('.');
  append_digits(out, time.nanos / 1000, 6);
  if (time.nanos % 1000 != 0) append_digits(out, time.nanos % 1000, 3);
}

}  // namespace

bool append_timestamp_text(std::string& out, std::int64_t count, int digits,
                           std::string_view offset) {
  const std::optional<DayTicks> time = day_ticks(count, digits);
  // Days beyond any 4-digit year would overflow the calendar's int days.
  if (!time || time->days < -800'000 || time->days > 3'000'000) return false;
  if (!append_date_text(out, time->days)) return false;
  out.push_back(' ');
  append_clock(out, *time);
  out.append(offset);
  return true;
}

bool append_date_text(std::string& out, std::int64_t days) {
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
  return true;
}

bool append_time_of_day_text(std::string& out, std::int64_t count, int digits) {
  const std::optional<DayTicks> time = day_ticks(count, digits);
  if (!time || time->days != 0) return false;
  append_clock(out, *time);
  return true;
}

bool append_timedelta_text(std::string& out, std::int64_t count, int digits) {
  const std::optional<DayTicks> time = day_ticks(count, digits);
  if (!time) return false;
  char day_digits[24];
  const auto end = std::to_chars(day_digits, day_digits + sizeof day_digits, time->days).ptr;
  out.append(day_digits, end);
  out.append(count < 0 ? " days +" : " days ");
  append_clock(out, *time);
  return true;
}

}  // namespace colenc
