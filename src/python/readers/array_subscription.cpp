// The subscription reader: one source[(i, j)] per cell, typed by take_cell.
// Any object can claim any shape here, so each column's storage is added only
// when the reader reaches it.
#include "python/readers/array_subscription.hpp"

#include <string>

#include "python/cells/typed_column_sink.hpp"
#include "python/runtime/panic.hpp"
#include "python/runtime/py_ref.hpp"
#include "python/runtime/signal_check.hpp"

namespace colenc::py {

TypedColumns read_by_subscription(PyObject* source, Shape shape,
                                  const std::vector<bool>* numbers_kept) {
  // Without rows no cell is read, and the columns are set up at once.
  TypedColumns columns = shape.rows > 0 ? TypedColumns::growing(shape.rows, shape.cols)
                                        : TypedColumns(shape.rows, shape.cols);
  if (numbers_kept != nullptr) columns.numbers_kept = *numbers_kept;
  SignalCheck signals;
  for (std::size_t j = 0; j < shape.cols; ++j) {
    PyRef column_index = PyRef::steal(PyLong_FromSize_t(j));
    if (!column_index) throw PythonError{};
    if (shape.rows > 0) {
      columns.add_column();
      columns.number_cells[j].reserve(shape.rows);
    }
    for (std::size_t i = 0; i < shape.rows; ++i) {
      PyRef row_index = PyRef::steal(PyLong_FromSize_t(i));
      if (!row_index) throw PythonError{};
      PyRef key = PyRef::steal(PyTuple_Pack(2, row_index.get(), column_index.get()));
      if (!key) throw PythonError{};
      PyRef cell = PyRef::steal(PyObject_GetItem(source, key.get()));
      if (!cell) {
        fail_from_python("failed to read cell (" + std::to_string(i) + ", " + std::to_string(j) +
                         ")");
      }
      take_cell(cell.get(), j, columns);
      signals.tick();
    }
  }
  return columns;
}

}  // namespace colenc::py
