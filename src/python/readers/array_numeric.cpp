// The numeric array reader: each column read by its dtype's element reader.
#include "python/readers/array_numeric.hpp"

namespace colenc::py {

TypedColumns read_numeric_array(PyArrayObject* array, Shape shape, ColumnReader read) {
  TypedColumns columns(shape.rows, shape.cols);
  for (std::size_t j = 0; j < shape.cols; ++j) {
    columns.number_cells[j].resize(shape.rows);
    read(PyArray_BYTES(array) + static_cast<npy_intp>(j) * PyArray_STRIDE(array, 1),
         PyArray_STRIDE(array, 0), PyArray_ISBYTESWAPPED(array), shape.rows,
         columns.number_cells[j].data());
  }
  return columns;
}

}  // namespace colenc::py
