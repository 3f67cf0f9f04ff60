// prepare_table: the one reader of encode's and decode's argument. It names the
// input's kind, reads a DataFrame's column labels, and turns the table into a
// float64 matrix plus a freshly fitted EncodingInfo (none for a 2-D float64
// array, which is copied as it is).
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <vector>

#include "core/columns/matrix.hpp"
#include "core/columns/typed_columns.hpp"
#include "core/engine/transform_columns.hpp"
#include "core/labels/encoding_info.hpp"
#include "python/arrow/in_place_codes.hpp"
#include "python/arrow/result_library.hpp"
#include "python/input/in_place_column.hpp"
#include "python/runtime/py_ref.hpp"

namespace colenc::py {

struct PreparedTable {
  std::optional<std::vector<std::string>> column_names;  // DataFrame labels
  // A DataFrame's `columns` when every label is exactly a str: the result
  // may take them as they are (build_output).
  PyRef column_labels;
  Matrix matrix;
  std::optional<EncodingInfo> fitted_info;  // absent on the float64 fast path
  // With copy_float64 false, a 2-D float64 array is not copied: it is here
  // (borrowed from the caller) and the matrix stays empty.
  PyObject* float64_array = nullptr;
  // Empty, or one per column: the DataFrame columns left where they lie (see
  // prepare_table's `in_place`); their runs of the matrix stay zero.
  std::vector<InPlaceColumn> in_place;
  // The library of the result: polars or pyarrow for a table read through
  // Arrow (its matrix is then column-major and column_names are its fields).
  ResultLibrary result_library = ResultLibrary::kNumPyPandas;
  // Empty, or one per column of an Arrow table: the columns of `in_place`
  // that decode reads where they lie; their runs of the matrix stay unwritten.
  std::vector<InPlaceCodes> arrow_in_place;
  // A transform naming its unknown cells: the first, by column and then row.
  std::optional<UnknownCell> unknown_cell;
};

// What a transform reads its table with: a stored fit (borrowed) and what
// the labels it lacks give.
struct TransformRead {
  const EncodingInfo& fit;
  UnknownLabels unknown;
};

// Reads `obj` (borrowed): a pandas DataFrame, an ndarray or memmap by its
// type's name, any other object with `__arrow_c_stream__` as an Arrow table.
// Throws PythonError with the interpreter's exception
// set (unsupported type, unreadable labels) or InternalError. The DataFrame
// columns listed in `in_place` (null for none) that are native float64 NumPy
// columns are not copied into the matrix: decode reads their codes where they
// lie, since it replaces those columns anyway; so are an Arrow table's
// float64 columns of one batch without nulls (arrow_in_place).
// With `transform` set, the table is coded with its fit instead of a new one
// (fitted_info stays empty): every column the fit holds as numbers is read
// as numbers throughout, a float64 array included; a fitted text column
// beyond the table's width is a ValueError (PythonError).
PreparedTable prepare_table(PyObject* obj, bool copy_float64 = true,
                            const std::vector<std::size_t>* in_place = nullptr,
                            const TransformRead* transform = nullptr);

}  // namespace colenc::py
