// ExportedTable: a result table in colenc's own memory (float64 columns over
// the matrix, decoded text columns as large_string buffers) and its export as
// an ArrowArrayStream of one record batch. Every exported schema, array and
// stream owns a share of the table through its private_data, so the memory
// lives until the last consumer releases what it took; releasing touches no
// Python object and may happen on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/columns/matrix.hpp"
#include "python/input/arrow_c_abi.hpp"

namespace colenc::py {

// A large_string column: row k runs from offsets[k] to offsets[k + 1] of
// `bytes`, unless bit k of `validity` is clear.
struct ExportedTexts {
  std::vector<std::int64_t> offsets;
  std::string bytes;
  std::vector<std::uint8_t> validity;
  std::int64_t null_count = 0;
};

struct ExportedTable {
  std::vector<std::string> names;
  std::size_t rows = 0;
  CellBuffer cells;  // column-major, rows * names.size() cells
  // One per column: decoded texts, or null for a float64 column of `cells`.
  std::vector<std::unique_ptr<ExportedTexts>> texts;
};

// Fills `out` (which the caller then owns) with a stream of `table`: its
// schema, one batch, then the end. Throws std::bad_alloc.
void export_table_stream(std::shared_ptr<const ExportedTable> table, ArrowArrayStream* out);

}  // namespace colenc::py
