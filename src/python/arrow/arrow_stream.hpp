// Import of a table through the Arrow PyCapsule stream interface: the
// object's `__arrow_c_stream__` capsule, its schema (a struct of columns) and
// every record batch, owned here and released exactly once whatever happens.
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "python/arrow/arrow_array_view.hpp"
#include "python/arrow/arrow_owned.hpp"
#include "python/arrow/arrow_type.hpp"

namespace colenc::py {

// A whole table read from a stream. The batches are kept until the table dies.
struct ArrowTable {
  std::vector<std::string> column_names;
  std::vector<ArrowType> column_types;
  // Struct arrays, one field per column; shared with the text columns that
  // borrow their bytes, so a batch lives until the last of them lets go.
  std::vector<std::shared_ptr<OwnedArray>> batches;
  std::size_t rows = 0;

  // Returns the view of column j of batch b, with the batch's own offset and
  // length applied. Throws ArrowInvalid when that part of the batch breaks
  // the format.
  // REQUIRES: b < batches.size(), j < column_names.size(), column j's type readable.
  ArrowArrayView column_view(std::size_t b, std::size_t j) const;
};

// Returns true when the type of `obj` (borrowed) has `__arrow_c_stream__`.
// Throws PythonError when looking it up raised.
bool exports_arrow_stream(PyObject* obj);

// Reads the whole stream that `obj` (borrowed) exports; returns nothing, the
// stream released, when its type is not a struct (a column, not a table).
// Raises, through PythonError: TypeError when the capsule is not a stream, or
// when a column's type cannot be encoded (naming the
// column and its type); ValueError when a batch breaks the Arrow format;
// MemoryError or OSError when the producer fails (its message included).
std::optional<ArrowTable> import_arrow_table(PyObject* obj);

}  // namespace colenc::py
