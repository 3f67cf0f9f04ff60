// The Arrow arrays of a pandas column with Arrow storage (pd.ArrowDtype, or
// str stored in Arrow): the column's stream is taken out of the capsule its
// chunked array exports, every array of it imported, and the stream released.
// Each array is released exactly once, when the chunks are dropped.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/arrow/arrow_owned.hpp"
#include "python/input/arrow_c_abi.hpp"

namespace colenc::py {

// Every array of one column's Arrow stream, in row order, with its schema.
struct ArrowColumnChunks {
  ArrowOwned<ArrowSchema> schema;
  std::vector<ArrowOwned<ArrowArray>> arrays;  // each of length >= 0, offset >= 0
  std::size_t column = 0;                      // its position in the frame, for messages

  std::string_view format() const { return schema.get().format; }
  // Throws InternalError naming the column and `what` is wrong.
  [[noreturn]] void refuse(const std::string& what) const;
};

// Returns the Arrow arrays of `array` (borrowed), the pandas array of column
// j of a frame of `rows` rows, or null, with no exception set, when it exports
// no Arrow stream. Throws InternalError for a stream that fails, or whose
// arrays do not hold `rows` rows or have a negative length or offset; an
// interrupt propagates as PythonError.
std::shared_ptr<ArrowColumnChunks> import_arrow_chunks(PyObject* array, std::size_t j,
                                                       std::size_t rows);

// True when bit `at` of the bitmap `bits` is set: row `at` of an array, its
// offset included, is valid.
inline bool arrow_bit(const std::uint8_t* bits, std::int64_t at) {
  return ((bits[static_cast<std::uint64_t>(at) >> 3] >> (static_cast<std::uint64_t>(at) & 7)) &
          1) != 0;
}

// True when `a` and `b` are the same array, as the dictionaries of two
// chunks often are: the same buffers at the same offset and length.
inline bool same_arrow_array(const ArrowArray& a, const ArrowArray& b) {
  if (a.length != b.length || a.offset != b.offset || a.n_buffers != b.n_buffers) return false;
  for (std::int64_t k = 0; k < a.n_buffers; ++k) {
    if (a.buffers[k] != b.buffers[k]) return false;
  }
  return true;
}

// The validity bitmap of `array`, or null when no row is null; throws
// InternalError (through `chunks`) for a null count without a bitmap.
const std::uint8_t* arrow_validity(const ArrowColumnChunks& chunks, const ArrowArray& array);

}  // namespace colenc::py
