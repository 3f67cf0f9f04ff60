// ExportedTable: a result table in colenc's own memory (float64 columns over
// the matrix, decoded text columns as large_string buffers) and its export as
// an ArrowArrayStream of one record batch. Every exported schema, array and
// stream owns a share of the table through its private_data, so the memory
// lives until the last consumer releases what it took; releasing touches no
// Python object and may happen on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "core/columns/matrix.hpp"
#include "python/input/arrow_c_abi.hpp"

namespace colenc::py {

// A block of malloc'd memory of T, left uninitialized: its writer fills it.
template <class T>
class RawBuffer {
 public:
  // Allocates `count` elements (at least one, so the address is never null);
  // throws std::bad_alloc.
  explicit RawBuffer(std::size_t count = 0) {
    if (count > SIZE_MAX / sizeof(T) - 1) throw std::bad_alloc();
    data_.reset(static_cast<T*>(std::malloc((count + 1) * sizeof(T))));
    if (!data_) throw std::bad_alloc();
    advise_huge_pages(data_.get(), (count + 1) * sizeof(T));
  }
  T* data() { return data_.get(); }
  const T* data() const { return data_.get(); }

 private:
  struct Free {
    void operator()(T* block) const { std::free(block); }
  };
  std::unique_ptr<T, Free> data_;
};

// A text column, null where bit k of `validity` is clear. As large_string,
// row k runs from offsets[k] to offsets[k + 1] of `bytes`; as string_view,
// row k is the 16-byte view k of `views`, whose texts of more than 12 bytes
// lie in `view_data`.
struct ExportedTexts {
  bool string_view = false;
  RawBuffer<std::uint8_t> validity;  // (rows + 7) / 8
  std::int64_t null_count = 0;
  RawBuffer<std::int64_t> offsets;  // large_string: rows + 1
  RawBuffer<char> bytes;
  RawBuffer<char> views;  // string_view: 16 * rows
  std::vector<RawBuffer<char>> view_data;
  std::vector<std::int64_t> view_data_sizes;
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
