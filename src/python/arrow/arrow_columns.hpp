// Typing an Arrow table's columns by their Arrow types and reading them into
// the column pipeline: numbers straight into the matrix, texts as text
// columns, dictionaries and times as the ids of their distinct values.
#pragma once

#include <span>
#include <vector>

#include "core/engine/column_pipeline.hpp"
#include "python/arrow/arrow_stream.hpp"
#include "python/arrow/in_place_codes.hpp"

namespace colenc::py {

// Reads every column of `table` into `pipeline`, which encodes into
// `placed`, the table's column-major matrix. Number columns (integers,
// floats, booleans as 1.0/0.0, decimals to the nearest double, the null type,
// dictionaries of numbers) are written into their run of `placed`, NaN for
// null. Text columns hold their texts, "<NA>" for null. A dictionary of
// texts holds the values its rows use, and a time column the texts of its
// distinct values (see arrow_time_texts.hpp). Runs on the calling thread,
// which holds the interpreter lock; the arrays are only read. Throws
// PythonError with ValueError naming the column and batch of an array that
// breaks the Arrow format, or InternalError.
// For a transform, `numbers_kept` (null otherwise) flags the columns its fit
// holds as numbers: such a column of texts or times is all NaN, its first
// text that is no missing-value label noted as unknown, as a cell that does
// not convert to a number is.
// Columns found in `in_place` (null, or one entry per column) with their
// cells set are not read: their runs of `placed` are left as they are.
// REQUIRES: placed.size() == table.rows * table.column_types.size(), rows > 0.
void read_arrow_columns(const ArrowTable& table, std::span<double> placed, ColumnPipeline& pipeline,
                        const std::vector<bool>* numbers_kept = nullptr,
                        const std::vector<InPlaceCodes>* in_place = nullptr);

// Returns one entry per column of `table`, set for each of `columns` that
// decode can read where it lies: a float64 column of one batch without nulls
// whose values lie aligned.
std::vector<InPlaceCodes> in_place_codes(const ArrowTable& table,
                                         const std::vector<std::size_t>& columns);

}  // namespace colenc::py
