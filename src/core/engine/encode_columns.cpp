// The parallel column driver and the fold of its results into one EncodingInfo.
// Columns are tasks on the arena (a few adjacent ones per task when the matrix
// is row-major); a text column is fitted, its codes written and its map
// inverted, a number column's values are copied. Each task writes only its own
// columns of the shared matrix, so no lock is taken.
#include "core/engine/encode_columns.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/partitioner.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "core/engine/column_writes.hpp"
#include "core/engine/label_encode.hpp"
#include "core/engine/pool.hpp"
#include "core/internal_error.hpp"

namespace colenc {
namespace {

using namespace column_writes;

ColumnEncoding encode_text_column(const TextColumn& texts, std::size_t j, std::span<double> codes) {
  ColumnLabels labels = label_encode_column(texts, codes);
  return ColumnEncoding{std::move(labels.label_to_code), j, std::move(labels.code_to_label)};
}

// Fits a column whose cells hold entry ids: the entries alone are fitted,
// and `entry_codes` receives the code of each.
ColumnEncoding encode_placed_ids(const TextColumn& entries, std::size_t j,
                                 std::vector<double>& entry_codes) {
  entry_codes.resize(entries.size());
  return encode_text_column(entries, j, entry_codes);
}

// The driver. `release` is null or the columns themselves, whose storage is
// then freed column by column; only the task of a column touches it.
std::vector<ColumnEncoding> run_columns(const TypedColumns& columns, TypedColumns* release,
                                        std::span<double> matrix_buffer, tbb::task_arena& arena,
                                        MatrixOrder order, std::size_t first_column,
                                        std::size_t matrix_width) {
  check_shape(columns, matrix_buffer, first_column, matrix_width);
  const std::size_t width = columns.column_count;
  const std::size_t rows = columns.row_count;

  // Each text column owns the result slot of its rank among the text columns,
  // so the results are in ascending column order however the tasks ran.
  std::vector<std::size_t> slot_of(width);
  std::size_t text_count = 0;
  for (std::size_t j = 0; j != width; ++j) {
    if (columns.column_is_text[j]) slot_of[j] = text_count++;
  }
  std::vector<ColumnEncoding> results(text_count);

  // A column-major matrix takes each column's codes or numbers straight into
  // its own run; a row-major one gets a group of columns written row by row.
  const auto encode_group = [&](std::size_t first, std::size_t last) {
    if (order == MatrixOrder::kColumnMajor) {
      for (std::size_t j = first; j != last; ++j) {
        const std::span<double> out = matrix_buffer.subspan((first_column + j) * rows, rows);
        if (columns.ids_placed[j]) {
          std::vector<double> entry_codes;
          results[slot_of[j]] =
              encode_placed_ids(columns.text_cells[j], first_column + j, entry_codes);
          for (double& cell : out) cell = code_of_entry(cell, entry_codes);
        } else if (columns.column_is_text[j]) {
          results[slot_of[j]] = encode_text_column(columns.text_cells[j], first_column + j, out);
        } else if (!columns.numbers_placed[j]) {
          copy_column(columns.number_cells[j], out.data());
        }
        release_column(release, j);
      }
      return;
    }
    std::vector<std::vector<double>> codes(last - first);
    std::vector<ColumnWrite> writes(last - first);
    for (std::size_t j = first; j != last; ++j) {
      const std::size_t k = j - first;
      if (columns.ids_placed[j]) {
        results[slot_of[j]] = encode_placed_ids(columns.text_cells[j], first_column + j, codes[k]);
        writes[k] = ColumnWrite{codes[k], true};
      } else if (columns.column_is_text[j]) {
        codes[k].resize(rows);
        results[slot_of[j]] = encode_text_column(columns.text_cells[j], first_column + j, codes[k]);
        writes[k].values = codes[k];
      } else if (!columns.numbers_placed[j]) {
        writes[k].values = columns.number_cells[j];
      }
    }
    write_rows(writes, first_column + first, matrix_width, rows, matrix_buffer);
    for (std::size_t j = first; j != last; ++j) release_column(release, j);
  };

  const std::size_t group = group_width(rows, width, order);
  const std::size_t group_count = (width + group - 1) / group;
  pool_execute(arena, [&] {
    // Grain 1 with the simple partitioner: every group is a task of its own.
    pool_for(
        tbb::blocked_range<std::size_t>(0, group_count, 1),
        [&](const tbb::blocked_range<std::size_t>& range) {
          for (std::size_t g = range.begin(); g != range.end(); ++g) {
            encode_group(g * group, std::min(width, (g + 1) * group));
          }
        },
        tbb::simple_partitioner());
  });
  return results;
}

}  // namespace

std::vector<ColumnEncoding> encode_columns(const TypedColumns& columns,
                                           std::span<double> matrix_buffer, tbb::task_arena& arena,
                                           MatrixOrder order) {
  return run_columns(columns, nullptr, matrix_buffer, arena, order, 0, columns.column_count);
}

std::vector<ColumnEncoding> encode_columns(TypedColumns&& columns, std::span<double> matrix_buffer,
                                           tbb::task_arena& arena, MatrixOrder order) {
  return run_columns(columns, &columns, matrix_buffer, arena, order, 0, columns.column_count);
}

std::vector<ColumnEncoding> encode_columns(TypedColumns&& columns, std::span<double> matrix_buffer,
                                           tbb::task_arena& arena, MatrixOrder order,
                                           std::size_t first_column, std::size_t matrix_width) {
  return run_columns(columns, &columns, matrix_buffer, arena, order, first_column, matrix_width);
}

EncodingInfo assemble_encoding_info(std::vector<ColumnEncoding> encodings,
                                    const std::vector<bool>& column_is_text) {
  EncodingInfo info;
  for (std::size_t j = 0; j != column_is_text.size(); ++j) {
    if (column_is_text[j]) info.string_columns.push_back(j);
  }
  if (encodings.size() != info.string_columns.size()) {
    throw InternalError(std::to_string(encodings.size()) + " column encodings for " +
                        std::to_string(info.string_columns.size()) + " text columns");
  }
  info.label_to_code.reserve(encodings.size());
  info.code_to_label.reserve(encodings.size());
  for (std::size_t k = 0; k != encodings.size(); ++k) {
    ColumnEncoding& encoding = encodings[k];
    if (encoding.column != info.string_columns[k]) {
      throw InternalError("column encoding for column " + std::to_string(encoding.column) +
                          " where text column " + std::to_string(info.string_columns[k]) +
                          " was expected");
    }
    info.label_to_code.emplace(encoding.column, std::move(encoding.label_to_code));
    info.code_to_label.emplace(encoding.column, std::move(encoding.code_to_label));
  }
  return info;
}

}  // namespace colenc
