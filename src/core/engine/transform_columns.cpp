// The transform driver: groups of columns are tasks on the arena, as in
// encode_columns; each fitted text column's labels are looked up (per entry
// where rows share entries), each number column copied. Each task writes
// only its own columns of the shared matrix; the fit is only read.
#include "core/engine/transform_columns.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/partitioner.h>

#include <algorithm>
#include <string>

#include "core/engine/column_writes.hpp"
#include "core/engine/pool.hpp"
#include "core/formats/number_format.hpp"
#include "core/internal_error.hpp"

namespace colenc {
namespace {

using column_writes::check_shape;
using column_writes::code_of_entry;
using column_writes::ColumnWrite;
using column_writes::copy_column;
using column_writes::group_width;
using column_writes::release_column;
using column_writes::write_rows;

// The map of a text column listed without one (a restored state may lack it):
// every label but the missing-value ones is unknown.
const LabelToCode& empty_map() {
  static const LabelToCode map;
  return map;
}

// One past the largest code of either map of column c, or 0 without codes.
double next_code(const EncodingInfo& info, std::size_t c) {
  Code next = 0;
  if (const auto found = info.label_to_code.find(c); found != info.label_to_code.end()) {
    for (const auto& [label, code] : found->second) {
      if (code && *code >= next) next = *code + 1;
    }
  }
  if (const auto found = info.code_to_label.find(c); found != info.code_to_label.end()) {
    for (const auto& [code, label] : found->second) {
      if (code >= next) next = code + 1;
    }
  }
  return static_cast<double>(next);
}

// Returns the first row of `values` holding the unknown mark, if any.
std::optional<std::size_t> first_marked(std::span<const double> values) {
  const auto found = std::find_if(values.begin(), values.end(), is_unknown_mark);
  if (found == values.end()) return std::nullopt;
  return static_cast<std::size_t>(found - values.begin());
}

std::string number_text(double value) {
  std::string text;
  append_number(text, value);
  return text;
}

}  // namespace

std::optional<std::size_t> text_column_beyond(const EncodingInfo& info, std::size_t width) {
  std::optional<std::size_t> beyond;
  for (const std::size_t c : info.string_columns) {
    if (c >= width && (!beyond || c < *beyond)) beyond = c;
  }
  return beyond;
}

AppliedFit apply_fit(const EncodingInfo& info, std::size_t width, UnknownLabels mode) {
  AppliedFit fit;
  fit.columns.resize(width);
  fit.names_unknown = mode == UnknownLabels::kError;
  for (const std::size_t c : info.string_columns) {
    if (c >= width)
      throw InternalError("fitted text column " + std::to_string(c) + " lies beyond a table of " +
                          std::to_string(width));
    ColumnLookup& lookup = fit.columns[c];
    const auto found = info.label_to_code.find(c);
    lookup.label_to_code = found != info.label_to_code.end() ? &found->second : &empty_map();
    switch (mode) {
      case UnknownLabels::kNaN:
        lookup.unknown_value = missing_code_value();
        break;
      case UnknownLabels::kError:
        lookup.unknown_value = unknown_mark();
        break;
      case UnknownLabels::kNextCode:
        lookup.unknown_value = next_code(info, c);
        break;
    }
  }
  return fit;
}

std::optional<UnknownCell> transform_columns(TypedColumns&& columns,
                                             std::span<double> matrix_buffer,
                                             tbb::task_arena& arena, MatrixOrder order,
                                             std::size_t first_column, std::size_t matrix_width,
                                             const AppliedFit& fit) {
  check_shape(columns, matrix_buffer, first_column, matrix_width);
  const std::size_t width = columns.column_count;
  const std::size_t rows = columns.row_count;
  for (std::size_t j = 0; j != width; ++j) {
    if (columns.column_is_text[j] && fit.holds_numbers(first_column + j)) {
      throw InternalError("column " + std::to_string(first_column + j) +
                          ", which the fit holds as numbers, was read as text");
    }
  }
  // One slot per column, so that tasks never share one.
  std::vector<std::optional<UnknownCell>> unknown(fit.names_unknown ? width : 0);
  if (fit.names_unknown) {
    for (UnknownCell& cell : columns.unknown_cells) {
      if (cell.column < width) {
        unknown[cell.column] =
            UnknownCell{first_column + cell.column, cell.row, std::move(cell.text)};
      }
    }
  }
  const auto note = [&](std::size_t j, std::size_t row, std::string text) {
    unknown[j] = UnknownCell{first_column + j, row, std::move(text)};
  };

  // The values of text column j when the fit holds it as text and its cells
  // all converted: its numbers, from the matrix when they were placed there.
  const auto numbers_of = [&](std::size_t j) {
    if (!columns.numbers_placed[j]) return std::move(columns.number_cells[j]);
    std::vector<double> numbers(rows);
    const std::size_t c = first_column + j;
    for (std::size_t i = 0; i != rows; ++i) {
      numbers[i] = matrix_buffer[cell_index(order, rows, matrix_width, i, c)];
    }
    return numbers;
  };
  // Codes rows whose values are in `values`; names the first unknown of
  // them, whose text `text_of(row)` gives.
  const auto name_unknown = [&](std::size_t j, bool any, std::span<const double> values,
                                const auto& text_of) {
    if (!fit.names_unknown || !any) return;
    if (const auto row = first_marked(values)) note(j, *row, std::string(text_of(*row)));
  };
  // Looks up a column whose cells hold entry ids (ids_placed); the ids are
  // read from `ids(row)` to name the first unknown.
  const auto look_up_placed = [&](std::size_t j, std::vector<double>& entry_codes,
                                  const auto& id_of_row) {
    const TextColumn& entries = columns.text_cells[j];
    entry_codes.resize(entries.entry_count());
    const bool any = look_up_entries(entries, fit.columns[first_column + j], entry_codes);
    if (!fit.names_unknown || !any) return;
    for (std::size_t i = 0; i != rows; ++i) {
      const double id = id_of_row(i);
      if (is_unknown_mark(code_of_entry(id, entry_codes))) {
        note(j, i, std::string(entries.entry(static_cast<std::size_t>(id))));
        return;
      }
    }
  };
  // Writes the values of text column j (not placed ids) into `out`.
  const auto look_up_column = [&](std::size_t j, std::span<double> out) {
    const ColumnLookup& lookup = fit.columns[first_column + j];
    if (columns.column_is_text[j]) {
      const TextColumn& texts = columns.text_cells[j];
      const bool any = look_up_rows(texts, lookup, out);
      name_unknown(j, any, out, [&](std::size_t row) { return std::string(texts[row]); });
      return;
    }
    const std::vector<double> numbers = numbers_of(j);
    const bool any = look_up_numbers(numbers, lookup, out);
    name_unknown(j, any, out, [&](std::size_t row) { return number_text(numbers[row]); });
  };

  const auto transform_group = [&](std::size_t first, std::size_t last) {
    if (order == MatrixOrder::kColumnMajor) {
      for (std::size_t j = first; j != last; ++j) {
        const std::span<double> out = matrix_buffer.subspan((first_column + j) * rows, rows);
        if (fit.holds_numbers(first_column + j)) {
          if (!columns.numbers_placed[j]) copy_column(columns.number_cells[j], out.data());
        } else if (columns.ids_placed[j]) {
          std::vector<double> entry_codes;
          look_up_placed(j, entry_codes, [&](std::size_t i) { return out[i]; });
          for (double& cell : out) cell = code_of_entry(cell, entry_codes);
        } else {
          look_up_column(j, out);
        }
        release_column(&columns, j);
      }
      return;
    }
    std::vector<std::vector<double>> codes(last - first);
    std::vector<ColumnWrite> writes(last - first);
    for (std::size_t j = first; j != last; ++j) {
      const std::size_t k = j - first;
      const std::size_t c = first_column + j;
      if (fit.holds_numbers(c)) {
        if (!columns.numbers_placed[j]) writes[k].values = columns.number_cells[j];
      } else if (columns.ids_placed[j]) {
        look_up_placed(j, codes[k],
                       [&](std::size_t i) { return matrix_buffer[i * matrix_width + c]; });
        writes[k] = ColumnWrite{codes[k], true};
      } else {
        codes[k].resize(rows);
        look_up_column(j, codes[k]);
        writes[k].values = codes[k];
      }
    }
    write_rows(writes, first_column + first, matrix_width, rows, matrix_buffer);
    for (std::size_t j = first; j != last; ++j) release_column(&columns, j);
  };

  const std::size_t group = group_width(rows, width, order);
  const std::size_t group_count = (width + group - 1) / group;
  if (group_count == 1) {
    // A single group (a narrow table, or one row) needs no task of its own.
    pool_execute(arena, [&] { transform_group(0, width); });
  } else {
    pool_execute(arena, [&] {
      pool_for(
          tbb::blocked_range<std::size_t>(0, group_count, 1),
          [&](const tbb::blocked_range<std::size_t>& range) {
            for (std::size_t g = range.begin(); g != range.end(); ++g) {
              transform_group(g * group, std::min(width, (g + 1) * group));
            }
          },
          tbb::simple_partitioner());
    });
  }
  for (std::optional<UnknownCell>& cell : unknown) {
    if (cell) return std::move(cell);
  }
  return std::nullopt;
}

}  // namespace colenc
