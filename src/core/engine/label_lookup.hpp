// Coding one column with a stored fit: each label is looked up in the
// column's fitted LabelToCode, never added. A fitted label gives its code, a
// missing-value label NaN, and any other label the column's unknown value.
#pragma once

#include <bit>
#include <cstdint>
#include <span>

#include "core/columns/typed_columns.hpp"
#include "core/labels/label_maps.hpp"

namespace colenc {

// Bit pattern of the NaN written for an unknown label while a transform looks
// for the first unknown cell rather than coding it; no lookup writes it else.
inline constexpr std::uint64_t kUnknownMarkBits = 0x7FF8000000DEC0DEULL;

// Returns the marker NaN of kUnknownMarkBits, and whether `value` is it.
inline double unknown_mark() { return std::bit_cast<double>(kUnknownMarkBits); }
inline bool is_unknown_mark(double value) {
  return std::bit_cast<std::uint64_t>(value) == kUnknownMarkBits;
}

// How one fitted text column codes its labels.
struct ColumnLookup {
  const LabelToCode* label_to_code = nullptr;  // the column's fit; never null
  double unknown_value = 0;                    // what a label the fit lacks gives
};

// Returns what `label` codes to: its code, NaN (bit pattern kMissingCodeBits)
// for a missing-value label, or lookup.unknown_value.
double look_up_label(const ColumnLookup& lookup, std::string_view label);

// The way a column's entries were looked up. Only tests read it, to show
// that each way is still taken; callers leave it out.
enum class LookupPath : std::uint8_t {
  kIndex,       // the map's index, behind a memory of recent texts
  kBisection,   // a few texts in a large fit in label order
  kSortedWalk,  // many nearly distinct texts, sorted, beside such a fit
};

// Writes the value of every entry of `texts` (its entries, whatever its rows)
// into entry_codes[k], in row ranges on the current arena, and the way taken
// into `*path` when `path` is not null. Returns true when some entry was
// unknown. Safe to run from several threads on one fit: the map's lazy index
// is built once, under its own guard.
// REQUIRES: entry_codes.size() == texts.entry_count()
bool look_up_entries(const TextColumn& texts, const ColumnLookup& lookup,
                     std::span<double> entry_codes, LookupPath* path = nullptr);

// Writes the value of every row of `texts` into codes[i], looking up each
// entry once however many rows share it. Returns true when some row was unknown.
// REQUIRES: codes.size() == texts.size()
bool look_up_rows(const TextColumn& texts, const ColumnLookup& lookup, std::span<double> codes);

// Writes into codes[i] the value of numbers[i] as a label, its text in the
// number format (a fitted text column whose cells all converted). Returns
// true when some row was unknown. `codes` may be `numbers` itself.
// REQUIRES: codes.size() == numbers.size()
bool look_up_numbers(std::span<const double> numbers, const ColumnLookup& lookup,
                     std::span<double> codes);

}  // namespace colenc
