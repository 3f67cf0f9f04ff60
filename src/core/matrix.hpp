// A row-major float64 matrix that owns its cells: the buffer the column driver
// writes in place becomes the matrix without a copy.
#pragma once

#include <cstddef>
#include <vector>

namespace colenc {

struct Matrix {
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::vector<double> data;  // rows * cols cells; cell (r, c) at r * cols + c

  double at(std::size_t r, std::size_t c) const { return data[r * cols + c]; }
};

}  // namespace colenc
