// The columns of a DataFrame that C++ reads alone from their storage: number
// columns converted into their runs of the matrix, and the stored values of
// distinct-value columns numbered, side by side on the pool.
#pragma once

#include <span>
#include <vector>

#include "core/columns/typed_columns.hpp"
#include "python/input/frame_column_storage.hpp"
#include "python/input/in_place_column.hpp"
#include "python/readers/frame_distinct_values.hpp"

namespace colenc::py {

// Reads every number column of `storage` into `columns` (straight into its
// run of `placed`, the column-major matrix, when that is not empty), except
// those flagged in `keep_in_place` (one flag per column, or null) that are native
// float64, which are kept where they lie, as `in_place[j]` says; and numbers the
// stored values of every column in `distinct`. Python references are taken
// on the calling thread first; then the pool reads, while the calling thread
// runs no Python code and `storage` holds every array read.
void read_stored_columns(std::span<const ColumnStorage> storage,
                         std::span<DistinctValuesColumn> distinct, TypedColumns& columns,
                         std::span<double> placed, const std::vector<bool>* keep_in_place,
                         std::vector<InPlaceColumn>& in_place);

}  // namespace colenc::py
