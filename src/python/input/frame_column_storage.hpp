// Which reader takes each column of a DataFrame: a column's storage is looked
// up by its dtype (NumPy numeric or object, pandas str with Python or Arrow
// storage, Arrow strings, and category / masked / datetime / timedelta and
// other pd.ArrowDtype columns read by distinct values) before any cell is
// read. A column of no known storage sends the whole frame through `values`.
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "python/cells/numeric_elements.hpp"
#include "python/readers/frame_arrow_chunks.hpp"
#include "python/readers/frame_distinct_values.hpp"
#include "python/runtime/py_ref.hpp"

namespace colenc::py {

enum class StorageKind {
  kNumeric,         // a 1-D bool, integer or float ndarray: frame_numeric_column
  kObjects,         // a 1-D object ndarray: frame_object_columns
  kArrowText,       // Arrow strings, str or pd.ArrowDtype: frame_arrow_str
  kDistinctValues,  // category, masked, datetime, timedelta, other pd.ArrowDtype:
                    // frame_distinct_values
};

// One column's storage, as found before any cell is read.
struct ColumnStorage {
  StorageKind kind = StorageKind::kObjects;
  PyRef series;                                    // the column itself, as the frame gives it
  PyRef storage;                                   // kNumeric, kObjects: a 1-D ndarray
  ColumnReader read = nullptr;                     // kNumeric: the reader of its dtype
  std::shared_ptr<const ArrowColumnChunks> arrow;  // kArrowText: its Arrow arrays
  PyRef missing;             // kArrowText: the object that a null cell stands for
  std::size_t distinct = 0;  // kDistinctValues: its place among those columns
};

// Finds the storage of `column` (borrowed), the Series of column j of a frame
// of `rows` rows; returns false, with no exception set, when it cannot be
// read directly. A column read by its distinct values is appended to
// `distinct`, its stored values held. Throws PythonError for an interrupt.
bool find_column_storage(PyObject* column, std::size_t j, std::size_t rows, ColumnStorage& out,
                         std::vector<DistinctValuesColumn>& distinct);

}  // namespace colenc::py
