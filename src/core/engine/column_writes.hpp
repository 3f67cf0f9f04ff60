// The pieces that the column drivers (encode_columns, transform_columns)
// share: the check of a group's typed columns against the matrix, and the
// writing of a group's values into a row-major or column-major matrix.
#pragma once

#include <oneapi/tbb/blocked_range.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/columns/matrix.hpp"
#include "core/columns/typed_columns.hpp"
#include "core/engine/pool.hpp"
#include "core/internal_error.hpp"

namespace colenc::column_writes {

inline constexpr std::size_t kRowGrain = 4096;

// Throws InternalError unless every column has the cells its kind says and the
// matrix has exactly one cell per (row, column).
inline void check_shape(const TypedColumns& columns, std::span<const double> matrix_buffer,
                        std::size_t first_column, std::size_t matrix_width) {
  const std::size_t rows = columns.row_count;
  const std::size_t width = columns.column_count;
  if (first_column > matrix_width || width > matrix_width - first_column) {
    throw InternalError("columns " + std::to_string(first_column) + " to " +
                        std::to_string(first_column + width) + " lie outside a matrix of " +
                        std::to_string(matrix_width) + " columns");
  }
  if (columns.column_is_text.size() != width || columns.text_cells.size() != width ||
      columns.number_cells.size() != width || columns.numbers_placed.size() != width ||
      columns.ids_placed.size() != width) {
    throw InternalError("typed columns hold " + std::to_string(columns.column_is_text.size()) +
                        " flags, " + std::to_string(columns.text_cells.size()) + " text and " +
                        std::to_string(columns.number_cells.size()) +
                        " number columns for a table of " + std::to_string(width) + " columns");
  }
  if (matrix_width != 0 && rows > std::numeric_limits<std::size_t>::max() / matrix_width) {
    throw InternalError("cell count of " + std::to_string(rows) + " x " +
                        std::to_string(matrix_width) + " overflows");
  }
  if (matrix_buffer.size() != rows * matrix_width) {
    throw InternalError("matrix buffer holds " + std::to_string(matrix_buffer.size()) +
                        " cells for " + std::to_string(rows) + " x " +
                        std::to_string(matrix_width));
  }
  for (std::size_t j = 0; j != width; ++j) {
    const bool is_text = columns.column_is_text[j];
    if (columns.numbers_placed[j]) {
      if (is_text || !columns.number_cells[j].empty()) {
        throw InternalError("column " + std::to_string(j) +
                            " is flagged as placed in the matrix but is not a placed number "
                            "column");
      }
      continue;
    }
    if (columns.ids_placed[j]) {
      if (!is_text || columns.text_cells[j].has_row_ids()) {
        throw InternalError("column " + std::to_string(j) +
                            " is flagged as holding entry ids in the matrix but is not a text "
                            "column of entries");
      }
      continue;
    }
    const std::size_t cells =
        is_text ? columns.text_cells[j].size() : columns.number_cells[j].size();
    if (cells != rows) {
      throw InternalError(std::string(is_text ? "text" : "number") + " column " +
                          std::to_string(j) + " holds " + std::to_string(cells) + " cells for " +
                          std::to_string(rows) + " rows");
    }
  }
}

// Returns the code of the entry whose id `cell` holds, from `entry_codes`.
inline double code_of_entry(double cell, std::span<const double> entry_codes) {
  // Ids were written by the scan as exact integers; anything else is broken.
  if (!(cell >= 0.0 && cell < static_cast<double>(entry_codes.size()))) {
    throw InternalError("no entry found for key");
  }
  return entry_codes[static_cast<std::size_t>(cell)];
}

// Copies values into `out`, bit for bit: NaN payloads, infinities and negative
// zero pass unchanged.
inline void copy_column(std::span<const double> values, double* out) {
  pool_for(tbb::blocked_range<std::size_t>(0, values.size(), kRowGrain),
           [&](const tbb::blocked_range<std::size_t>& range) {
             std::memcpy(out + range.begin(), values.data() + range.begin(),
                         range.size() * sizeof(double));
           });
}

// What one column of a row-major group puts into its cells: a copy of
// `values`, or, when `ids` is set, for the entry id each cell holds, that
// entry's code from `values`; nothing when `values` is empty and ids unset.
struct ColumnWrite {
  std::span<const double> values;
  bool ids = false;
};

// Writes cell (i, first + k) of the row-major matrix as writes[k] says, for
// every row, bit for bit. Row by row, so that adjacent columns fill whole
// cache lines together instead of each column touching one cell per line.
inline void write_rows(const std::vector<ColumnWrite>& writes, std::size_t first, std::size_t width,
                       std::size_t rows, std::span<double> matrix_buffer) {
  // Columns that write nothing (numbers already placed in the matrix) are
  // left out, so that a group of them costs no pass over the rows at all.
  std::vector<std::pair<std::size_t, ColumnWrite>> active;
  for (std::size_t k = 0; k != writes.size(); ++k) {
    if (writes[k].ids || !writes[k].values.empty()) active.emplace_back(k, writes[k]);
  }
  if (active.empty()) return;
  pool_for(tbb::blocked_range<std::size_t>(0, rows, kRowGrain),
           [&](const tbb::blocked_range<std::size_t>& range) {
             for (std::size_t i = range.begin(); i != range.end(); ++i) {
               double* row = matrix_buffer.data() + i * width + first;
               for (const auto& [k, write] : active) {
                 if (write.ids) {
                   row[k] = code_of_entry(row[k], write.values);
                 } else {
                   std::memcpy(row + k, write.values.data() + i, sizeof(double));
                 }
               }
             }
           });
}

// Adjacent columns that one task writes together into a row-major matrix:
// enough for whole cache lines, few enough that their codes, held until the
// rows are written, stay small. A table too small to be worth a task is one
// group.
inline std::size_t group_width(std::size_t rows, std::size_t width, MatrixOrder order) {
  if (rows * width < kCellsWorthATask) return std::max<std::size_t>(1, width);
  if (order == MatrixOrder::kColumnMajor) return 1;
  constexpr std::size_t kMaxGroup = 8;
  constexpr std::size_t kHeldBytes = std::size_t{16} << 20;
  const std::size_t by_memory =
      rows == 0 ? kMaxGroup : std::max<std::size_t>(1, kHeldBytes / (rows * sizeof(double)));
  return std::max<std::size_t>(1, std::min({kMaxGroup, by_memory, width}));
}

// Frees column j's storage in `release`, unless that is null.
inline void release_column(TypedColumns* release, std::size_t j) {
  if (release == nullptr) return;
  release->text_cells[j].release_storage();
  std::vector<double>().swap(release->number_cells[j]);
}

}  // namespace colenc::column_writes
