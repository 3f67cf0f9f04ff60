// The numeric column reader: its dtype's element reader over the column, into
// the run of the matrix that the column's codes would take.
#include "python/readers/frame_numeric_column.hpp"

namespace colenc::py {

std::function<void()> numeric_column_read(PyArrayObject* array, ColumnReader read,
                                          std::size_t j, TypedColumns& columns,
                                          std::span<double> placed) {
  return [read, first = PyArray_BYTES(array), stride = PyArray_STRIDE(array, 0),
          swapped = PyArray_ISBYTESWAPPED(array), rows = columns.row_count,
          out = columns.number_run(j, placed)] { read(first, stride, swapped, rows, out); };
}

bool keep_numeric_column_in_place(PyObject* series, PyArrayObject* array, std::size_t j,
                          TypedColumns& columns, InPlaceColumn& in_place) {
  if (PyArray_TYPE(array) != NPY_DOUBLE || PyArray_ISBYTESWAPPED(array)) return false;
  columns.numbers_placed[j] = true;
  in_place = InPlaceColumn{PyRef::borrow(reinterpret_cast<PyObject*>(array)), PyRef::borrow(series),
                       ColumnView{PyArray_BYTES(array), PyArray_STRIDE(array, 0)}};
  return true;
}

}  // namespace colenc::py
