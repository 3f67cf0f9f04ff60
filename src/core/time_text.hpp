// The text pandas gives a Timestamp: "2024-01-31 08:05:09", with ".ffffff"
// when it has microseconds, three more digits when it also has nanoseconds,
// ".000000nnn" when it has nanoseconds alone, and then its UTC offset, if any.
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

}  // namespace colenc
