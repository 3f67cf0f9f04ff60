// Fitting and transforming one text column: distinct labels in ascending byte
// order get the dense codes 0..k-1 (missing-value labels get none), every cell
// becomes its code, and the inverse map code -> label shares the labels' texts.
#pragma once

#include <span>
#include <utility>
#include <vector>

#include "core/hashing/keyed_hash.hpp"
#include "core/labels/label_maps.hpp"
#include "core/columns/typed_columns.hpp"

namespace colenc {

// The fitted maps of one text column.
struct ColumnLabels {
  LabelToCode label_to_code;  // every distinct label; no code for missing-value labels
  CodeToLabel code_to_label;  // the inverse of the coded entries of label_to_code
};

// Fits `texts`, writes one float64 per row into `codes` (the code of the row's
// label, or NaN with bit pattern kMissingCodeBits for a missing-value label)
// and returns the column's maps. Throws InternalError unless
// codes.size() == texts.size(). Runs nested parallel work on the current arena.
ColumnLabels label_encode_column(const TextColumn& texts, std::span<double> codes);

// As above, with the codes in a new vector.
std::pair<std::vector<double>, ColumnLabels> label_encode_column(const TextColumn& texts);

}  // namespace colenc
