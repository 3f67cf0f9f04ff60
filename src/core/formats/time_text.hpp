// The texts pandas gives a Timestamp and a Timedelta.
//   Timestamp: "2024-01-31 08:05:09", then its UTC offset, if any.
//   Timedelta: "0 days 00:01:00", its days rounded down and the rest of the
//     day after them, so that a negative one reads "-1 days +23:59:00".
// Where part of a second remains, the time of day ends in ".ffffff", and
// three more digits where that part has nanoseconds (".000000005").
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace colenc {

// Appends to `out` the text of the Timestamp that lies `count` ticks of
// 10^-digits seconds (digits 0, 3, 6 or 9) after 1970-01-01 00:00:00, then
// `offset` ("+00:00" for UTC, empty for none). Returns false, appending
// nothing, for a year outside 1..9999 or other digits: its text is then
// left to pandas.
bool append_timestamp_text(std::string& out, std::int64_t count, int digits,
                           std::string_view offset);

// Appends to `out` the date `days` after 1970-01-01 as "YYYY-MM-DD", as
// datetime.date writes it. Returns false, appending nothing, for a year
// outside 1..9999.
bool append_date_text(std::string& out, std::int64_t days);

// Appends to `out` the time of day `count` ticks of 10^-digits seconds after
// midnight as datetime.time writes it ("HH:MM:SS", then ".ffffff" where part
// of a second remains, and three more digits where that part has
// nanoseconds). Returns false, appending nothing, for a count outside one day
// or other digits.
bool append_time_of_day_text(std::string& out, std::int64_t count, int digits);

// Appends to `out` the text of the Timedelta of `count` ticks of 10^-digits
// seconds (digits 0, 3, 6 or 9). Returns false, appending nothing, for other
// digits.
bool append_timedelta_text(std::string& out, std::int64_t count, int digits);

}  // namespace colenc
