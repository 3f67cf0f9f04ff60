// Read access to float64 cells where they lie: the decoded matrix once it
// lives in the result array, the caller's float64 array, or one column of
// either or of an input frame. Byte strides; unaligned reads allowed.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

#include "core/internal_error.hpp"

namespace colenc::py {

// One column of cells: where its first cell lies and the step between rows.
struct ColumnView {
  const char* first = nullptr;
  std::ptrdiff_t stride = 0;
  double at(std::size_t r) const {
    double value;
    std::memcpy(&value, first + static_cast<std::ptrdiff_t>(r) * stride, sizeof value);
    return value;
  }
};

struct CellView {
  std::size_t rows = 0;
  std::size_t cols = 0;
  const char* base = nullptr;
  std::ptrdiff_t row_stride = 0;
  std::ptrdiff_t col_stride = 0;
  double at(std::size_t r, std::size_t c) const { return column(c).at(r); }
  ColumnView column(std::size_t c) const {
    return {base + static_cast<std::ptrdiff_t>(c) * col_stride, row_stride};
  }
};

// Throws InternalError unless `column` is one of the matrix's columns.
inline void check_column_in_matrix(const CellView& matrix, std::size_t column) {
  if (column >= matrix.cols) {
    throw InternalError("matrix index out of bounds: the matrix has " +
                        std::to_string(matrix.cols) + " columns but the column index is " +
                        std::to_string(column));
  }
}

}  // namespace colenc::py
