// The parallel column driver: every column of a table is processed as one task
// on the pool. Text columns are fitted and their codes written into the matrix;
// number columns are copied into it. Results come back in ascending column order.
#pragma once

#include <oneapi/tbb/task_arena.h>

#include <span>
#include <vector>

#include "core/columns/matrix.hpp"
#include "core/columns/typed_columns.hpp"
#include "core/labels/encoding_info.hpp"

namespace colenc {

// Writes every cell of `columns` into `matrix_buffer` (laid out as `order`
// says) and returns one ColumnEncoding per text column in ascending column
// order. Runs inside `arena`; an InternalError from any task reaches the
// caller once the running tasks have finished.
// REQUIRES: matrix_buffer.size() == columns.row_count * columns.column_count,
//           and every column holds row_count cells (else throws InternalError).
std::vector<ColumnEncoding> encode_columns(const TypedColumns& columns,
                                           std::span<double> matrix_buffer, tbb::task_arena& arena,
                                           MatrixOrder order = MatrixOrder::kRowMajor);

// As above, and frees each column's own storage as soon as the column is
// written, so that a wide table's peak memory does not hold every column's
// cells until the last one is done. Afterwards the columns are empty; borrowed
// memory stays kept alive until `columns` is destroyed.
std::vector<ColumnEncoding> encode_columns(TypedColumns&& columns, std::span<double> matrix_buffer,
                                           tbb::task_arena& arena,
                                           MatrixOrder order = MatrixOrder::kRowMajor);

// As above for a group of a table's columns: the group's column k is column
// first_column + k of a matrix of matrix_width columns, and the encodings name
// those table columns.
// REQUIRES: first_column + columns.column_count <= matrix_width, and
//           matrix_buffer holds row_count * matrix_width cells (else throws
//           InternalError).
std::vector<ColumnEncoding> encode_columns(TypedColumns&& columns, std::span<double> matrix_buffer,
                                           tbb::task_arena& arena, MatrixOrder order,
                                           std::size_t first_column, std::size_t matrix_width);

// Folds the driver's results and the text flags into one EncodingInfo:
// string_columns lists the flagged columns in ascending order and both maps get
// each encoding's map under its column.
// REQUIRES: `encodings` in ascending column order, one per flagged column, as
//           encode_columns returns them (else throws InternalError).
EncodingInfo assemble_encoding_info(std::vector<ColumnEncoding> encodings,
                                    const std::vector<bool>& column_is_text);

}  // namespace colenc
