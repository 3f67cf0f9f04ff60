// The texts of Arrow time values, written as pandas and datetime write them:
// date32/date64 as datetime.date ("2024-01-31"), timestamp as
// pandas.Timestamp with its zone's offset, duration as pandas.Timedelta,
// time32/time64 as datetime.time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "python/arrow/arrow_type.hpp"

namespace colenc::py {

// Returns the text of each of `ticks`, values of a time column of `type`.
// Timestamps of a zone other than UTC, and those beyond the years 1 to 9999,
// are written by pandas on the calling thread (which must hold the
// interpreter lock): one call for all of them. Throws PythonError with
// ValueError for a date or time of day that no Python object can hold, or
// with pandas' exception.
// REQUIRES: type.role() == ArrowRole::kTime.
std::vector<std::string> time_texts(const ArrowType& type, const std::vector<std::int64_t>& ticks);

}  // namespace colenc::py
