// Fitting and transforming one text column: distinct labels in ascending byte
// order get the dense codes 0..k-1 (missing-value labels get none), every cell
// becomes its code, and the inverse map code -> label shares the labels' texts.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/columns/typed_columns.hpp"
#include "core/hashing/keyed_hash.hpp"
#include "core/labels/label_maps.hpp"

namespace colenc {

// The fitted maps of one text column.
struct ColumnLabels {
  LabelToCode label_to_code;  // every distinct label; no code for missing-value labels
  CodeToLabel code_to_label;  // the inverse of the coded entries of label_to_code
};

// The way a column's entries were fitted. Only tests read it, to show that
// each way is still taken; callers leave it out.
enum class FitPath : std::uint8_t {
  kEmpty,          // no rows
  kSortedEntries,  // nearly all entries distinct: the entries sorted directly
  kChunks,         // per-chunk sets of distinct texts, whose union is sorted
  kSeed,           // the first rows' fit held for every later row: no sort
  kSeedAndChunks,  // the first rows' fit, then chunks that met other texts
};

// Returns true when `texts` has many entries (2^17 or more) and a sample of
// them spread over the column is nearly all distinct.
bool mostly_distinct(const TextColumn& texts);

// Fits `texts`, writes one float64 per row into `codes` (the code of the row's
// label, or NaN with bit pattern kMissingCodeBits for a missing-value label)
// and returns the column's maps; stores the way taken in `*path` when `path`
// is not null. Runs nested parallel work on the current arena.
// REQUIRES: codes.size() == texts.size() (else throws InternalError).
ColumnLabels label_encode_column(const TextColumn& texts, std::span<double> codes,
                                 FitPath* path = nullptr);

// As above, with the codes in a new vector.
std::pair<std::vector<double>, ColumnLabels> label_encode_column(const TextColumn& texts,
                                                                 FitPath* path = nullptr);

}  // namespace colenc
