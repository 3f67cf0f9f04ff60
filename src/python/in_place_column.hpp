// InPlaceColumn: a native float64 DataFrame column that encode leaves where it
// lies instead of copying it into the matrix; decode reads its codes there.
#pragma once

#include <cstddef>
#include <cstring>

#include "python/numpy_api.hpp"
#include "python/py_ref.hpp"

namespace colenc::py {

// A native float64 column left where it lies instead of being copied into the
// matrix: its array, held, and where its cells are.
struct InPlaceColumn {
  PyRef array;  // null for a column that was not left in place
  const char* first = nullptr;
  npy_intp stride = 0;
  double at(std::size_t row) const {
    double value;
    std::memcpy(&value, first + static_cast<npy_intp>(row) * stride, sizeof value);
    return value;
  }
};

}  // namespace colenc::py
