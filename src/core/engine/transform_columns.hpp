// The transform driver: a table's typed columns coded with a stored fit
// instead of a new one. Nothing is fitted and nothing sorted: each text
// column's labels are looked up in its fitted map, by columns and by row
// ranges on the pool, and number columns are copied.
#pragma once

#include <oneapi/tbb/task_arena.h>

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "core/columns/matrix.hpp"
#include "core/columns/typed_columns.hpp"
#include "core/engine/label_lookup.hpp"
#include "core/labels/encoding_info.hpp"

namespace colenc {

// What a label that the fit lacks (and that is no missing-value label) gives.
enum class UnknownLabels {
  kNaN,       // NaN
  kError,     // nothing: the first such cell is named and the call fails
  kNextCode,  // one past the column's last code, in a text column; NaN in a number column
};

// A stored fit as one table's transform applies it.
struct AppliedFit {
  // Per column of the table: the lookup of a fitted text column, or one
  // whose label_to_code is null for a column the fit holds as numbers.
  std::vector<ColumnLookup> columns;
  // Unknown labels are written as the unknown mark and the first is named.
  bool names_unknown = false;

  // True when the fit holds table column c as numbers.
  bool holds_numbers(std::size_t c) const {
    return c >= columns.size() || columns[c].label_to_code == nullptr;
  }
};

// Returns the first text column of `info` (any order) at or beyond `width`.
std::optional<std::size_t> text_column_beyond(const EncodingInfo& info, std::size_t width);

// Returns `info` applied to a table of `width` columns, unknown labels
// coded as `mode` says. The returned fit refers to info's maps.
// REQUIRES: !text_column_beyond(info, width)
AppliedFit apply_fit(const EncodingInfo& info, std::size_t width, UnknownLabels mode);

// Writes every cell of `columns`, a group whose column k is column
// first_column + k of a matrix of matrix_width columns (laid out as `order`
// says), into `matrix_buffer`: a fitted text column's cells as their values
// (look_up_label), a number column's cells as they are. Frees each column's
// storage once written. With fit.names_unknown, returns the first unknown
// cell of the group, by column and then row (its column a table index);
// otherwise nothing. Runs inside `arena`; throws InternalError for a column
// the fit holds as numbers that was read as text, or for a broken group.
std::optional<UnknownCell> transform_columns(TypedColumns&& columns,
                                             std::span<double> matrix_buffer,
                                             tbb::task_arena& arena, MatrixOrder order,
                                             std::size_t first_column, std::size_t matrix_width,
                                             const AppliedFit& fit);

}  // namespace colenc
