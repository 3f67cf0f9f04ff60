// The parallel column driver and the fold of its results into one EncodingInfo.
// Each column is one task on the arena; a text column's task fits it, writes its
// codes and inverts its map, a number column's task copies its values. Each task
// writes only its own column of the shared matrix, so no lock is taken.
#include "core/encode_columns.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <string>

#include "core/internal_error.hpp"
#include "core/label_encode.hpp"

namespace colenc {
namespace {

constexpr std::size_t kRowGrain = 4096;

// Throws InternalError unless every column has the cells its kind says and the
// matrix has exactly one cell per (row, column).
void check_shape(const TypedColumns& columns, std::span<const double> matrix_buffer) {
  const std::size_t rows = columns.row_count;
  const std::size_t width = columns.column_count;
  if (columns.column_is_text.size() != width || columns.text_cells.size() != width ||
      columns.number_cells.size() != width) {
    throw InternalError("typed columns hold " + std::to_string(columns.column_is_text.size()) +
                        " flags, " + std::to_string(columns.text_cells.size()) +
                        " text and " + std::to_string(columns.number_cells.size()) +
                        " number columns for a table of " + std::to_string(width) + " columns");
  }
  if (width != 0 && rows > std::numeric_limits<std::size_t>::max() / width) {
    throw InternalError("cell count of " + std::to_string(rows) + " x " + std::to_string(width) +
                        " overflows");
  }
  if (matrix_buffer.size() != rows * width) {
    throw InternalError("matrix buffer holds " + std::to_string(matrix_buffer.size()) +
                        " cells for " + std::to_string(rows) + " x " + std::to_string(width));
  }
  for (std::size_t j = 0; j != width; ++j) {
    const bool is_text = columns.column_is_text[j];
    const std::size_t cells =
        is_text ? columns.text_cells[j].size() : columns.number_cells[j].size();
    if (cells != rows) {
      throw InternalError(std::string(is_text ? "text" : "number") + " column " +
                          std::to_string(j) + " holds " + std::to_string(cells) +
                          " cells for " + std::to_string(rows) + " rows");
    }
  }
}

// Sets cell (i, j) of the row-major matrix to values[i] for every row, bit for
// bit: NaN payloads, infinities and negative zero pass unchanged.
void write_column(std::span<const double> values, std::size_t j, std::size_t width,
                  std::span<double> matrix_buffer) {
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, values.size(), kRowGrain),
                    [&](const tbb::blocked_range<std::size_t>& range) {
                      for (std::size_t i = range.begin(); i != range.end(); ++i) {
                        const auto bits = std::bit_cast<std::uint64_t>(values[i]);
                        matrix_buffer[i * width + j] = std::bit_cast<double>(bits);
                      }
                    });
}

ColumnEncoding encode_text_column(const TextColumn& texts, std::size_t j, std::size_t width,
                                  std::span<double> matrix_buffer) {
  auto [codes, label_to_code] = label_encode_column(texts);
  write_column(codes, j, width, matrix_buffer);
  std::vector<double>().swap(codes);
  CodeToLabel code_to_label = invert_label_map(label_to_code);
  return ColumnEncoding{std::move(label_to_code), j, std::move(code_to_label)};
}

}  // namespace

std::vector<ColumnEncoding> encode_columns(const TypedColumns& columns,
                                           std::span<double> matrix_buffer,
                                           tbb::task_arena& arena) {
  check_shape(columns, matrix_buffer);
  const std::size_t width = columns.column_count;

  // Each text column owns the result slot of its rank among the text columns,
  // so the results are in ascending column order however the tasks ran.
  std::vector<std::size_t> slot_of(width);
  std::size_t text_count = 0;
  for (std::size_t j = 0; j != width; ++j) {
    if (columns.column_is_text[j]) slot_of[j] = text_count++;
  }
  std::vector<ColumnEncoding> results(text_count);

  arena.execute([&] {
    // Grain 1 with the simple partitioner: every column is a task of its own.
    tbb::parallel_for(
        tbb::blocked_range<std::size_t>(0, width, 1),
        [&](const tbb::blocked_range<std::size_t>& range) {
          for (std::size_t j = range.begin(); j != range.end(); ++j) {
            if (columns.column_is_text[j]) {
              results[slot_of[j]] =
                  encode_text_column(columns.text_cells[j], j, width, matrix_buffer);
            } else {
              write_column(columns.number_cells[j], j, width, matrix_buffer);
            }
          }
        },
        tbb::simple_partitioner());
  });
  return results;
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
