// The fitted records: `ColumnEncoding`, the engine's result for one text column,
// and `EncodingInfo`, the per-table record an Encoder keeps and pickles, plus the
// Encoder's whole state (`EncoderState`).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/labels/column_map.hpp"
#include "core/labels/label_maps.hpp"

namespace colenc {

// The result of encoding one text column.
struct ColumnEncoding {
  LabelToCode label_to_code;  // every distinct label; no code for missing-value labels
  std::size_t column = 0;     // 0-based column index in the table
  CodeToLabel code_to_label;  // inverse of the coded entries of label_to_code
};

// The fitted record of one table. Fields in the order of their byte form.
struct EncodingInfo {
  std::vector<std::size_t> string_columns;  // text columns, ascending
  ColumnMap<LabelToCode> label_to_code;     // column -> label -> optional code
  ColumnMap<CodeToLabel> code_to_label;     // column -> code -> label

  bool operator==(const EncodingInfo&) const = default;
};

// The encoding strategies an Encoder may be built with; the index is persisted.
enum class EncodingStrategy : std::uint32_t { kLabelEncoding = 0 };

// The whole state of one Encoder.
struct EncoderState {
  std::optional<EncodingInfo> encoding_info;
  EncodingStrategy encoding_strat = EncodingStrategy::kLabelEncoding;

  bool operator==(const EncoderState&) const = default;
};

}  // namespace colenc
