// Fitting and transforming one text column: distinct labels in ascending byte
// order get the dense codes 0..k-1 (missing-value labels get none), every cell
// becomes its code, and the inverse map code -> label is derived.
#pragma once

#include <span>
#include <utility>
#include <vector>

#include "core/keyed_hash.hpp"
#include "core/typed_columns.hpp"

namespace colenc {

// Fits `texts` and returns (codes, label_to_code): one float64 per row, the code
// of the row's label or NaN (bit pattern kMissingCodeBits) for a missing-value
// label. Runs nested parallel work on the current arena.
std::pair<std::vector<double>, LabelToCode> label_encode_column(const TextColumn& texts);

// As above, writing the codes into `codes` (one cell per row, for example a
// column of a column-major matrix) instead of a new vector. Throws
// InternalError unless codes.size() == texts.size().
LabelToCode label_encode_column(const TextColumn& texts, std::span<double> codes);

// Returns the inverse of the coded entries of `label_to_code`.
CodeToLabel invert_label_map(const LabelToCode& label_to_code);

}  // namespace colenc
