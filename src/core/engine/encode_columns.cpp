// The parallel column driver and the fold of its results into one EncodingInfo.
// Columns are tasks on the arena (a few adjacent ones per task when the matrix
// is row-major); a text column is fitted, its codes written and its map
// inverted, a number column's values are copied. Each task writes only its own
// columns of the shared matrix, so no lock is taken.
#include "core/engine/encode_columns.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "core/internal_error.hpp"
#include "core/engine/label_encode.hpp"

namespace colenc {
namespace {

constexpr std::size_t kRowGrain = 4096;

// Throws InternalError unless every column has the cells its kind says and the
// matrix has exactly one cell per (row, column).
void check_shape(const TypedColumns& columns, std::span<const double> matrix_buffer,
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
                        " flags, " + std::to_string(columns.text_cells.size()) +
                        " text and " + std::to_string(columns.number_cells.size()) +
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
                          std::to_string(j) + " holds " + std::to_string(cells) +
                          " cells for " + std::to_string(rows) + " rows");
    }
  }
}

// Returns the code of the entry whose id `cell` holds, from `entry_codes`.
double code_of_entry(double cell, std::span<const double> entry_codes) {
  // Ids were written by the scan as exact integers; anything else is broken.
  if (!(cell >= 0.0 && cell < static_cast<double>(entry_codes.size()))) {
    throw InternalError("no entry found for key");
  }
  return entry_codes[static_cast<std::size_t>(cell)];
}

// Copies values into `out`, bit for bit: NaN payloads, infinities and negative
// zero pass unchanged.
void copy_column(std::span<const double> values, double* out) {
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, values.size(), kRowGrain),
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
void write_rows(const std::vector<ColumnWrite>& writes, std::size_t first, std::size_t width,
                std::size_t rows, std::span<double> matrix_buffer) {
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, rows, kRowGrain),
                    [&](const tbb::blocked_range<std::size_t>& range) {
                      for (std::size_t i = range.begin(); i != range.end(); ++i) {
                        double* row = matrix_buffer.data() + i * width + first;
                        for (std::size_t k = 0; k != writes.size(); ++k) {
                          const ColumnWrite& write = writes[k];
                          if (write.ids) {
                            row[k] = code_of_entry(row[k], write.values);
                          } else if (!write.values.empty()) {
                            std::memcpy(row + k, write.values.data() + i, sizeof(double));
                          }
                        }
                      }
                    });
}

ColumnEncoding encode_text_column(const TextColumn& texts, std::size_t j,
                                  std::span<double> codes) {
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

// Adjacent columns that one task writes together into a row-major matrix:
// enough for whole cache lines, few enough that their codes, held until the
// rows are written, stay small.
std::size_t group_width(std::size_t rows, std::size_t width, MatrixOrder order) {
  if (order == MatrixOrder::kColumnMajor) return 1;
  constexpr std::size_t kMaxGroup = 8;
  constexpr std::size_t kHeldBytes = std::size_t{16} << 20;
  const std::size_t by_memory =
      rows == 0 ? kMaxGroup : std::max<std::size_t>(1, kHeldBytes / (rows * sizeof(double)));
  return std::max<std::size_t>(1, std::min({kMaxGroup, by_memory, width}));
}

// Frees column j's storage in `release`, unless that is null.
void release_column(TypedColumns* release, std::size_t j) {
  if (release == nullptr) return;
  release->text_cells[j].release_storage();
  std::vector<double>().swap(release->number_cells[j]);
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
        results[slot_of[j]] =
            encode_placed_ids(columns.text_cells[j], first_column + j, codes[k]);
        writes[k] = ColumnWrite{codes[k], true};
      } else if (columns.column_is_text[j]) {
        codes[k].resize(rows);
        results[slot_of[j]] =
            encode_text_column(columns.text_cells[j], first_column + j, codes[k]);
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
  arena.execute([&] {
    // Grain 1 with the simple partitioner: every group is a task of its own.
    tbb::parallel_for(
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
                                           std::span<double> matrix_buffer,
                                           tbb::task_arena& arena, MatrixOrder order) {
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
