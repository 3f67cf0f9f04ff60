// Timestamp and Timedelta texts, as pandas writes them, from ticks of each unit.
#include "core/formats/time_text.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace colenc {
namespace {

struct Case {
  std::int64_t count;
  int digits;
  const char* offset;
  const char* text;  // null: left to pandas
};

TEST(TimestampText, MatchesPandas) {
  constexpr std::int64_t kYear1 = -62'135'596'800;  // 0001-01-01 in seconds
  constexpr std::int64_t kYear10000 = 253'402'300'800;
  const Case cases[] = {
      {0, 9, "", "1970-01-01 00:00:00"},
      {-1, 9, "", "1969-12-31 23:59:59.999999999"},
      {1, 9, "", "1970-01-01 00:00:00.000000001"},
      {1'000, 9, "", "1970-01-01 00:00:00.000001"},
      {1'000'001, 9, "", "1970-01-01 00:00:00.001000001"},
      {-123'456'789, 9, "", "1969-12-31 23:59:59.876543211"},
      {946'080'000'000'000'005, 9, "+00:00", "1999-12-25 00:00:00.000000005+00:00"},
      {1'709'164'800'123, 3, "", "2024-02-29 00:00:00.123000"},
      {INT64_MIN + 1, 9, "", "1677-09-21 00:12:43.145224193"},
      {INT64_MAX, 9, "", "2262-04-11 23:47:16.854775807"},
      {-1, 6, "", "1969-12-31 23:59:59.999999"},
      {kYear1, 0, "", "0001-01-01 00:00:00"},
      {kYear10000 - 1, 0, "+00:00", "9999-12-31 23:59:59+00:00"},
      {kYear1 - 1, 0, "", nullptr},
      {kYear10000, 0, "", nullptr},
      {INT64_MIN + 1, 0, "", nullptr},
      {INT64_MAX, 3, "", nullptr},
      {0, 2, "", nullptr},
  };
  for (const Case& c : cases) {
    std::string out = "x";
    const bool written = append_timestamp_text(out, c.count, c.digits, c.offset);
    EXPECT_EQ(written, c.text != nullptr) << c.count;
    EXPECT_EQ(out, std::string("x") + (c.text ? c.text : "")) << c.count << " / " << c.digits;
  }
}

TEST(TimedeltaText, MatchesPandas) {
  const Case cases[] = {
      {0, 9, "", "0 days 00:00:00"},
      {1, 9, "", "0 days 00:00:00.000000001"},
      {-1, 9, "", "-1 days +23:59:59.999999999"},
      {-60'000'000'000, 9, "", "-1 days +23:59:00"},
      {-86'400'000'000'000, 9, "", "-1 days +00:00:00"},
      {1'000'000, 9, "", "0 days 00:00:00.001000"},
      {INT64_MAX, 9, "", "106751 days 23:47:16.854775807"},
      {INT64_MIN + 1, 9, "", "-106752 days +00:12:43.145224193"},
      {-1, 3, "", "-1 days +23:59:59.999000"},
      {-86'400'000, 0, "", "-1000 days +00:00:00"},
      {std::int64_t{1} << 62, 0, "", "53375995583650 days 07:45:04"},
      {0, 1, "", nullptr},
  };
  for (const Case& c : cases) {
    std::string out = "x";
    EXPECT_EQ(append_timedelta_text(out, c.count, c.digits), c.text != nullptr) << c.count;
    EXPECT_EQ(out, std::string("x") + (c.text ? c.text : "")) << c.count << " / " << c.digits;
  }
}

TEST(DateText, MatchesDatetimeDate) {
  const Case cases[] = {
      {0, 0, "", "1970-01-01"},         {-1, 0, "", "1969-12-31"},
      {19'723, 0, "", "2024-01-01"},    {-719'162, 0, "", "0001-01-01"},
      {2'932'896, 0, "", "9999-12-31"}, {-719'163, 0, "", nullptr},
      {2'932'897, 0, "", nullptr},      {INT64_MIN, 0, "", nullptr},
  };
  for (const Case& c : cases) {
    std::string out = "x";
    EXPECT_EQ(append_date_text(out, c.count), c.text != nullptr) << c.count;
    EXPECT_EQ(out, std::string("x") + (c.text ? c.text : "")) << c.count;
  }
}

TEST(TimeOfDayText, MatchesDatetimeTime) {
  const Case cases[] = {
      {0, 0, "", "00:00:00"},
      {86'399, 0, "", "23:59:59"},
      {45'296'789, 3, "", "12:34:56.789000"},
      {45'296'000'001, 6, "", "12:34:56.000001"},
      {45'296'000'000'005, 9, "", "12:34:56.000000005"},
      {86'400, 0, "", nullptr},
      {-1, 6, "", nullptr},
  };
  for (const Case& c : cases) {
    std::string out = "x";
    EXPECT_EQ(append_time_of_day_text(out, c.count, c.digits), c.text != nullptr) << c.count;
    EXPECT_EQ(out, std::string("x") + (c.text ? c.text : "")) << c.count;
  }
}

}  // namespace
}  // namespace colenc
