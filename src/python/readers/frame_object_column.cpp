// The object column reader: the shared in-order loop over the column, each
// cell added through RepeatedStrs, which converts a str object once however
// often the column repeats it.
#include "python/readers/frame_object_column.hpp"

#include "python/cells/repeated_strs.hpp"
#include "python/cells/str_sharing.hpp"
#include "python/readers/object_column_in_order.hpp"

namespace colenc::py {

void read_object_column(PyArrayObject* array, std::size_t j, TypedColumns& columns,
                        SignalCheck& signals) {
  const std::size_t rows = columns.row_count;
  columns.number_cells[j].reserve(rows);
  RepeatedStrs repeats(j, columns,
                       !columns.keeps_numbers(j) && column_shares_str_objects(array, 1, 0, rows));
  read_object_column_in_order(array, 1, j, 0, rows, signals,
                              [&](PyObject* cell) { repeats.add(cell, j, columns); });
}

}  // namespace colenc::py
