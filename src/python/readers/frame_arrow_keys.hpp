// The keys of a pd.ArrowDtype column read by its distinct values: integers,
// floats, booleans, dates, timestamps, durations and dictionary indices, one
// 64-bit key per row from the Arrow buffers and nulls from the validity
// bitmaps, across chunks. The distinct-value reader types each key once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/hashing/value_factorizer.hpp"
#include "python/readers/frame_arrow_chunks.hpp"
#include "python/readers/frame_distinct_values.hpp"

namespace colenc::py {

// Returns true, with the column's arrays held in `out`, when `chunks` (the
// arrays of column j) are of one of the types above, a dictionary's indices
// all within its values; false, with nothing kept, for any other type. Sets
// out.time for timestamps and durations whose cells' texts can be written
// from their ticks. Throws InternalError for arrays that break their layout.
bool find_arrow_keys(std::shared_ptr<const ArrowColumnChunks> chunks, std::size_t j,
                     DistinctValuesColumn& out);

// Numbers the keys of `column`, its `rows` rows. Runs no Python code: a pool
// task may run it while the arrays stay alive.
// REQUIRES: find_arrow_keys has kept `column`.
FactorizedValues factorize_arrow_keys(const ArrowKeyColumn& column, std::size_t rows);

// Returns the stored 64-bit ticks of `row` of a timestamp or duration column.
// REQUIRES: row < the column's rows, and column.time set by find_arrow_keys.
std::int64_t arrow_ticks(const ArrowKeyColumn& column, std::size_t row);

}  // namespace colenc::py
